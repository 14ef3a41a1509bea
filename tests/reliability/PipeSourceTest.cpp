// The named-pipe test source must end whatever its readers did: a test that
// stops a job early must not hang in the source's clean-up.
#include "FixturePipe.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>

using namespace kestro::test;
namespace fs = std::filesystem;

namespace {

std::string PipePath(const char* name) {
  const fs::path folder = fs::temp_directory_path() / ("kestro-pipe-" + std::to_string(getpid()));
  fs::create_directories(folder);
  return (folder / name).string();
}

// Reads `bytes` from the pipe (or less at its end) and closes it.
size_t ReadSome(const std::string& path, size_t bytes) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0)
    return 0;
  std::vector<char> buf(4096);
  size_t got = 0;
  while (got < bytes) {
    const ssize_t n = read(fd, buf.data(), std::min(buf.size(), bytes - got));
    if (n <= 0)
      break;
    got += size_t(n);
  }
  close(fd);
  return got;
}

} // namespace

TEST(PipeSource, EndsWhateverItsReadersDid) {
  struct TCase {
    const char* Name;
    int Readers;      // how many readers come
    size_t ReadBytes; // what each reads before it leaves
  };
  const TCase cases[] = {
      {"no reader ever comes", 0, 0},
      {"the first reader leaves early, the second never comes", 1, 1000},
      {"the stalled reader leaves", 2, 1000},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto source = std::make_unique<TPipeSource>(PipePath("p.avi"), "clip.avi", 2, 0.4);
    for (int r = 0; r < c.Readers; ++r)
      EXPECT_GT(ReadSome(source->Path, c.ReadBytes), 0u);
    auto gone = std::async(std::launch::async, [&] { source.reset(); });
    EXPECT_EQ(gone.wait_for(std::chrono::seconds(2)), std::future_status::ready)
        << "the source's writer is still blocked";
    gone.wait(); // a failed case still has to end before the next
  }
}
