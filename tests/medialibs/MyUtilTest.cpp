#include "MediaLibs.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

using namespace kestro;

namespace {

// Runs the test body under a comma-decimal locale, as the window does for a
// German user, and restores the previous one.
class CommaLocale : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(LoadAllLibraries("", true)) << LibraryLoadError();
    Previous = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
        << "de_DE.UTF-8 is missing: scripts/install-deps.sh generates it";
    char plain[32];
    std::snprintf(plain, sizeof plain, "%0.2f", 1.5);
    ASSERT_STREQ(plain, "1,50") << "the locale does not use a decimal comma";
  }
  void TearDown() override { std::setlocale(LC_ALL, Previous.c_str()); }
  std::string Previous;
};

std::vector<std::string> Words(std::string text, const char* separators) {
  std::vector<std::string> words;
  for (char* w = myutil::my_strtok(text.data(), separators); w;
       w = myutil::my_strtok(nullptr, separators))
    words.emplace_back(w);
  return words;
}

} // namespace

TEST_F(CommaLocale, FormattingAlwaysUsesADot) {
  char buffer[64];
  myutil::my_snprintf(buffer, sizeof buffer, "%0.2f", 3.14159);
  EXPECT_STREQ(buffer, "3.14");
  myutil::my_snprintf(buffer, sizeof buffer, "q=%4.1f size=%8.0fkB %d %s", 2.5, 12.0, 7, "x");
  EXPECT_STREQ(buffer, "q= 2.5 size=      12kB 7 x");

  // Never past the size given, always terminated.
  EXPECT_EQ(myutil::my_snprintf(buffer, 5, "%s", "abcdefgh"), 8);
  EXPECT_STREQ(buffer, "abcd");

  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  myutil::my_fprintf(file, "%f %.3f\n", 0.5, 1.0 / 3);
  const long size = myutil::my_ftell(file);
  ASSERT_EQ(myutil::my_fseek(file, 0, SEEK_SET), 0);
  std::string text(size, '\0');
  EXPECT_EQ(myutil::my_fread(text.data(), 1, size, file), size_t(size));
  EXPECT_EQ(text, "0.500000 0.333\n");
  myutil::my_fclose(file);
}

TEST_F(CommaLocale, ParsingAlwaysReadsADot) {
  char* end = nullptr;
  EXPECT_DOUBLE_EQ(myutil::my_strtod("2.75rest", &end), 2.75);
  EXPECT_STREQ(end, "rest");
  EXPECT_DOUBLE_EQ(myutil::my_strtod("1,5", &end), 1.0);
  EXPECT_STREQ(end, ",5");
}

TEST(MyUtil, StrtolHonoursBaseZeroPrefixes) {
  ASSERT_TRUE(LoadAllLibraries("", true)) << LibraryLoadError();
  struct Case {
    const char* Text;
    long Value;
    const char* Rest;
  } cases[] = {{"0x10", 16, ""}, {"010", 8, ""}, {"10", 10, ""}, {"-3:1", -3, ":1"}, {"z", 0, "z"}};
  for (const Case& c : cases) {
    char* end = nullptr;
    EXPECT_EQ(myutil::my_strtol(c.Text, &end, 0), c.Value) << c.Text;
    EXPECT_STREQ(end, c.Rest) << c.Text;
  }
}

TEST(MyUtil, StrtokJoinsSeparatorRunsAndSkipsEmptyWords) {
  ASSERT_TRUE(LoadAllLibraries("", true)) << LibraryLoadError();
  EXPECT_EQ(Words("||a||b c|", "| "), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(Words("   ", " "), std::vector<std::string>{});
  EXPECT_EQ(Words("one", " "), std::vector<std::string>{"one"});
}
