// The line a size-limited job logs before its first pass: the plan in exact
// figures, so that an encode of the same settings can be made by hand (the
// benchmark reads it to time one pass against the job).
#include "OptionRecords.h"
#include "SizeFit.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace kestro;
namespace fs = std::filesystem;

namespace {

TEST(SizePlanLog, TheFirstLineStatesThePlannedRatesSizeAndPasses) {
  char pattern[] = "/tmp/kestro-plan-XXXXXX";
  const fs::path folder = mkdtemp(pattern);
  const std::string output = (folder / "out.mp4").string();
  struct {
    int VideoBitrate, AudioBitrate, Width, Height, Passes;
    const char* Expected;
  } cases[] = {
      {2'345'678, 96'000, 1280, 720, 2,
       "Planned for 10 MB: pictures 1280x720 at 2345678 bit/s, sound 96000 bit/s a track, "
       "2 passes"},
      // A song: no pictures, one pass whatever the fit says.
      {0, 64'000, 0, 0, 2, "Planned for 10 MB: pictures none, sound 64000 bit/s a track, 1 pass"},
      {800'000, 0, 640, 360, 1,
       "Planned for 10 MB: pictures 640x360 at 800000 bit/s, no sound, 1 pass"},
  };
  for (const auto& c : cases) {
    TSizeFit fit;
    fit.LimitBytes = 10'000'000;
    fit.VideoBitrate = c.VideoBitrate;
    fit.AudioBitrate = c.AudioBitrate;
    fit.Width = c.Width;
    fit.Height = c.Height;
    fit.Passes = c.Passes;
    fit.VideoCodec = "libx264";
    TOutputOptions options;
    InitOutputOptions(options);
    std::vector<std::string> log;
    const std::string failure = RunWithinSize(
        fit, options, output,
        [&](const TOutputOptions&, int, int) {
          std::ofstream(output) << "small";
          return std::string();
        },
        [&](const std::string& line) { log.push_back(line); });
    EXPECT_EQ(failure, "");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), c.Expected);
  }
  fs::remove_all(folder);
}

} // namespace
