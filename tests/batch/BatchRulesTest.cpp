#include "BatchRules.h"
#include "PresetTable.h"

#include <gtest/gtest.h>

#include <set>

using namespace kestro;

TEST(BatchRules, PresetEntryGivesExtensionAndShortName) {
  const TPresetTable table;
  const TPresetRow* row = table.Find("3gp");
  ASSERT_NE(row, nullptr);
  const std::string entry = row->Text;
  EXPECT_EQ(entry, "3GPP 176*144 (*.3gp)");
  EXPECT_EQ(PresetExtension(entry), ".3gp");
  EXPECT_EQ(PresetShortName(entry), "3GPP 176x144");
  EXPECT_EQ(table.Find("3GPP 176x144"), row);
  EXPECT_EQ(table.Find(entry), row);
  EXPECT_EQ(table.Find("MP4 1080p"), nullptr);
}

TEST(BatchRules, UniqueNamesCountUpPastTakenOnes) {
  std::set<std::string> taken;
  auto exists = [&](const std::string& name) { return taken.count(name) > 0; };
  const std::vector<std::string> expected = {
      "/v/clip (3GPP 176x144).3gp", "/v/clip (3GPP 176x144 [1]).3gp",
      "/v/clip (3GPP 176x144 [2]).3gp"};
  for (const std::string& name : expected) {
    EXPECT_EQ(UniqueOutputName("/v/clip.avi", ".3gp", "3GPP 176x144", exists), name);
    taken.insert(name);
  }
  // Only the last extension goes; dots elsewhere in the name stay.
  EXPECT_EQ(UniqueOutputName("/v/my.holiday.mp4", ".3gp", "3GPP 176x144", exists),
            "/v/my.holiday (3GPP 176x144).3gp");
}

TEST(BatchRules, AudioOnlyIsDecidedByWholeExtensionsWithoutRegardToCase) {
  struct Case {
    const char* Output;
    const char* Source;
    bool AudioOnly;
  } cases[] = {
      {".3gp", "/m/song.mp3", true},  {".3gp", "/m/clip.MP3", true},
      {".3gp", "/m/clip.avi", false}, {".mp3", "/m/clip.avi", true},
      {".3gp", "/m/radio.ra", true},  {".3gp", "/m/archive.rar", false},
      {".3gp", "/m/movie", false},    {".3gp", "/m/odd.a", false},   {".3gp", "/m/Radio.Ra", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsAudioOnlyOutput(c.Output, c.Source), c.AudioOnly) << c.Source;
}

TEST(BatchRules, OutputBaseIsBesideTheSourceOrInTheFolder) {
  EXPECT_EQ(OutputBase(true, "/src/a/clip.avi", "/out"), "/src/a/clip.avi");
  EXPECT_EQ(OutputBase(false, "/src/a/clip.avi", "/out"), "/out/clip.avi");
  EXPECT_EQ(OutputBase(false, "/src/a/clip.avi", "/out/"), "/out/clip.avi");
}
