// Outputs that must fit a size: the plan from the source's duration, the
// retries when an encode comes out over, and whole conversions that hold.
#include "CliSupport.h"
#include "FixtureMedia.h"
#include "MediaLibs.h"
#include "PresetTable.h"
#include "SizeFit.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>

using namespace kestro;
using namespace kestro::test;
namespace fs = std::filesystem;

namespace {

const TPresetRow& Row(const char* name) {
  static const TPresetTable table;
  const TPresetRow* row = table.Find(name);
  EXPECT_NE(row, nullptr) << name;
  return *row;
}

TEST(SizeFit, SizesAreDecimalUnlessAskedInBinary) {
  const struct {
    const char* Text;
    int64_t Bytes; // 0: not a size
  } cases[] = {
      {"8M", 8'000'000},        {"500K", 500'000},       {"500k", 500'000},
      {"1.5G", 1'500'000'000},  {"100Mi", 104'857'600}, {"2Gi", 2'147'483'648},
      {"10MB", 10'000'000},     {"4096", 4096},          {"64KiB", 65'536},
      {"0", 0},                 {"-1M", 0},             {"abc", 0},
      {"5X", 0},                {"", 0},                 {"1 M", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    const std::optional<int64_t> bytes = ParseSize(c.Text);
    if (c.Bytes == 0)
      EXPECT_FALSE(bytes.has_value());
    else
      EXPECT_EQ(bytes.value_or(-1), c.Bytes);
  }
  EXPECT_EQ(SizeText(10'000'000), "10 MB");
  EXPECT_EQ(SizeText(1'500'000'000), "1.5 GB");
  EXPECT_EQ(SizeText(137'303), "137.3 kB");
}

TEST(SizeFit, ThePlanStepsDownSoundAndPictureAsTheBudgetShrinks) {
  const struct {
    const char* Name;
    const char* Row;
    TSizeSource Source;
    int64_t Limit;
    bool AudioOnly;
    int Lines;        // the picture's shorter side; 0: no picture
    int AudioBitrate; // per track
    int Passes;
    const char* Error; // part of the message; empty: it fits
  } cases[] = {
      {"a minute of 1080p in 40 MB keeps its size", "10mb", {60, true, 1920, 1080, 30, 1},
       40'000'000, false, 1080, 128000, 2, ""},
      {"a minute of 1080p in 25 MB steps down once", "25mb", {60, true, 1920, 1080, 30, 1},
       25'000'000, false, 720, 128000, 2, ""},
      {"a minute of 1080p in 10 MB steps down", "10mb", {60, true, 1920, 1080, 30, 1},
       10'000'000, false, 540, 128000, 2, ""},
      {"ten minutes in 10 MB", "10mb", {600, true, 1920, 1080, 30, 1}, 10'000'000, false, 240,
       32000, 2, ""},
      {"a portrait clip steps its width", "10mb", {60, true, 608, 1080, 30, 1}, 5'000'000, false,
       360, 128000, 2, ""},
      {"two tracks share the sound's budget", "10mb", {60, true, 1280, 720, 25, 2}, 10'000'000,
       false, 540, 128000, 2, ""},
      {"H.265 carries more per bit", "hevc", {60, true, 1920, 1080, 30, 1}, 10'000'000, false,
       720, 160000, 2, ""},
      {"SVT-AV1 runs one pass", "av1", {60, true, 1920, 1080, 30, 1}, 10'000'000, false, 720,
       128000, 1, ""},
      {"the phone row keeps its size and sound", "3gp", {60, true, 176, 144, 25, 1}, 1'000'000,
       false, 144, 10200, 2, ""},
      {"a song gets the sound's whole budget", "10mb", {600, false, 0, 0, 0, 1}, 10'000'000, true,
       0, 127000, 1, ""},
      {"three hours cannot fit in 10 MB", "mp4", {10800, true, 1920, 1080, 30, 1}, 10'000'000,
       false, 0, 0, 0, "at most 15:36 of it fits in 10 MB"},
      {"a long song cannot fit either", "mp4", {36000, false, 0, 0, 0, 1}, 10'000'000, true, 0, 0,
       0, "at most 38:"},
      {"no duration", "mp4", {0, true, 1920, 1080, 30, 1}, 10'000'000, false, 0, 0, 0,
       "does not say how long"},
      {"streams kept as they are", "remux", {60, true, 1920, 1080, 30, 1}, 10'000'000, false, 0,
       0, 0, "encodes the video"},
      {"an audio row", "mp3", {60, false, 0, 0, 0, 1}, 10'000'000, true, 0, 0, 0,
       "needs a video preset"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const TSizeFit fit = PlanSizeFit(Row(c.Row), c.Source, c.Limit, c.AudioOnly);
    if (*c.Error) {
      EXPECT_NE(fit.Error.find(c.Error), std::string::npos) << fit.Error;
      continue;
    }
    ASSERT_EQ(fit.Error, "");
    EXPECT_EQ(fit.AudioBitrate, c.AudioBitrate);
    EXPECT_EQ(c.Lines ? std::min(fit.Width, fit.Height) : 0, c.Lines);
    EXPECT_EQ(fit.Width % 2 + fit.Height % 2, 0);
    if (c.Lines && c.Source.Width > 0) { // the picture keeps its proportions
      EXPECT_NEAR(double(fit.Width) / fit.Height, double(c.Source.Width) / c.Source.Height, 0.02);
    }
    if (c.Lines) {
      EXPECT_EQ(fit.Passes, c.Passes);
    }
    // What is planned adds up to less than the limit.
    const double bits = (double(fit.VideoBitrate) + c.Source.AudioTracks * fit.AudioBitrate) *
                        c.Source.Duration;
    EXPECT_LT(bits / 8, c.Limit * 0.97);
    EXPECT_GT(bits / 8, c.Limit * 0.85);
  }
}

TEST(SizeFit, AJobsStartAndLengthShortenWhatMustFit) {
  ASSERT_TRUE(LoadAllLibraries("", true));
  const struct {
    const char* Lines;
    double Seconds;
  } cases[] = {
      {"", 60},           {"t=10\n", 10},         {"ss=50\n", 10},
      {"ss=30\nt=10\n", 10}, {"ss=55\nt=10\n", 5},  {"ss=70\n", 0},
      {"t=1:30\n", 60},   {"t=00:00:20.5\n", 20.5}, {"t=5\nt=8\nvb=1\n", 8},
      {"t=soon\n", 60},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Lines);
    EXPECT_DOUBLE_EQ(OutputDuration(60, c.Lines), c.Seconds);
  }
}

class SizeRetries : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestro-size-XXXXXX";
    Folder = mkdtemp(pattern);
    Output = Folder + "/out.mp4";
    InitOutputOptions(Options);
    Options.ExtraOptions = "vcodec=libx264\nvb=1000000\n";
    Options.StreamOptions = "acodec=aac\nnewaudio\n";
    Fit.LimitBytes = 100'000;
    Fit.VideoBitrate = 1'000'000;
    Fit.Passes = 2;
    Fit.VideoCodec = "libx264";
  }
  void TearDown() override { fs::remove_all(Folder); }
  // A pass that writes the next of `sizes` (the first pass writes a few bytes).
  std::string Run(std::vector<int64_t> sizes) {
    return RunWithinSize(
        Fit, Options, Output,
        [&, sizes](const TOutputOptions& options, int pass, int passes) {
          Passes.push_back(options);
          EXPECT_EQ(passes, 2);
          const int64_t size = pass == 1 ? 10 : sizes.at(Finals++);
          std::ofstream(Output) << std::string(size_t(size), 'x');
          // The statistics files the encoder would leave.
          std::ofstream(Folder + "/.out.mp4.passes-0.log") << "stats";
          return std::string();
        },
        [&](const std::string& line) { Log.push_back(line); });
  }
  std::string Folder, Output;
  TOutputOptions Options;
  TSizeFit Fit;
  std::vector<TOutputOptions> Passes;
  std::vector<std::string> Log;
  int Finals = 0;
};

TEST_F(SizeRetries, AnOutputOverTheLimitIsEncodedAgainAtALowerRate) {
  EXPECT_EQ(Run({110'000, 96'000}), "");
  ASSERT_EQ(Passes.size(), 3u);
  // Both passes write the same streams; only their pass lines differ.
  EXPECT_EQ(Passes[0].StreamOptions, Options.StreamOptions);
  EXPECT_EQ(Passes[1].StreamOptions, Options.StreamOptions);
  EXPECT_FALSE(Passes[0].DisableAudio);
  EXPECT_NE(Passes[0].ExtraOptions.find("pass=1\n"), std::string::npos);
  EXPECT_NE(Passes[1].ExtraOptions.find("pass=2\n"), std::string::npos);
  // The retry runs the last pass with a lower rate as the last line.
  const std::string retry = Passes[2].ExtraOptions;
  const size_t rate = retry.rfind("vb=");
  ASSERT_NE(rate, std::string::npos);
  const long lowered = std::stol(retry.substr(rate + 3));
  EXPECT_LT(lowered, 1'000'000L * 100'000 / 110'000);
  EXPECT_GT(lowered, 800'000);
  EXPECT_EQ(fs::file_size(Output), 96'000u);
  EXPECT_FALSE(fs::exists(Folder + "/.out.mp4.passes-0.log")) << "statistics removed";
  ASSERT_FALSE(Log.empty());
  EXPECT_NE(Log.back().find("96 %"), std::string::npos) << Log.back();
}

TEST_F(SizeRetries, AnOutputStillOverAfterThreeTriesFailsAndIsRemoved) {
  const std::string failure = Run({130'000, 120'000, 101'000});
  EXPECT_EQ(Passes.size(), 4u) << "one first pass and three tries of the last";
  EXPECT_NE(failure.find("over the 100 kB limit"), std::string::npos) << failure;
  EXPECT_FALSE(fs::exists(Output));
  EXPECT_FALSE(fs::exists(Folder + "/.out.mp4.passes-0.log"));
}

TEST_F(SizeRetries, AFailedPassEndsTheJobWithItsReason) {
  const std::string failure = RunWithinSize(
      Fit, Options, Output,
      [](const TOutputOptions&, int pass, int) {
        return pass == 1 ? std::string() : std::string("stopped");
      },
      [](const std::string&) {});
  EXPECT_EQ(failure, "stopped");
}

// Whole conversions through kestroconvert's workers.
class SizeLimit : public ::testing::Test {
public:
  void SetUp() override {
    ASSERT_TRUE(LoadAllLibraries("", true));
    char pattern[] = "/tmp/kestro-sizes-XXXXXX";
    Folder = mkdtemp(pattern);
    setenv("XDG_CONFIG_HOME", (Folder + "/config").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(Folder); }
  struct TOutcome {
    int Status = -1;
    std::string Output, Message, Err;
    int64_t Size = -1;
    double Seconds = 0;
  };
  TOutcome Run(const std::vector<std::string>& args, const std::string& source) {
    std::vector<std::string> all = {"--json", "-o", Folder + "/out"};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back(source);
    const auto started = std::chrono::steady_clock::now();
    const TResult r = RunCli(all, {}, {}, 0, std::chrono::seconds(300));
    TOutcome outcome;
    outcome.Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    outcome.Status = r.Status;
    outcome.Err = r.Err;
    for (const std::string& line : r.Lines()) {
      const nlohmann::json event = nlohmann::json::parse(line);
      if (event["event"] == "result") {
        outcome.Output = event.value("output", "");
        outcome.Message = event.value("message", "");
      }
    }
    if (!outcome.Output.empty() && fs::exists(outcome.Output))
      outcome.Size = int64_t(fs::file_size(outcome.Output));
    return outcome;
  }
  std::string Folder;
};

struct TSizeCase {
  const char* Source;
  const char* Preset;
  const char* Limit;
  int64_t Bytes;
  bool UsesItAll; // busy pictures for 10 s or more
  const char* Extension;
};

// Converts each case within its limit and prints the figures.
void ExpectEachFits(SizeLimit& test, std::span<const TSizeCase> cases) {
  for (const TSizeCase& c : cases) {
    SCOPED_TRACE(std::string(c.Source) + " with " + c.Preset + " in " + c.Limit);
    const auto r =
        test.Run({"-p", c.Preset, "--max-size", c.Limit}, Fixtures::MediaPath(c.Source));
    ASSERT_EQ(r.Status, 0) << r.Message << r.Err;
    EXPECT_EQ(fs::path(r.Output).extension(), c.Extension);
    ASSERT_GT(r.Size, 0);
    EXPECT_LE(r.Size, c.Bytes);
    if (c.UsesItAll) {
      EXPECT_GE(r.Size, c.Bytes * 9 / 10);
    }
    std::printf("  %-26s %-5s %6s: %8lld bytes, %5.1f %% of the limit, %.1f s\n", c.Source,
                c.Preset, c.Limit, (long long)r.Size, r.Size * 100.0 / c.Bytes, r.Seconds);
    // Nothing of the passes is left beside the output.
    for (const fs::directory_entry& entry : fs::directory_iterator(test.Folder + "/out"))
      EXPECT_EQ(entry.path().filename().string().find(".passes"), std::string::npos)
          << entry.path();
  }
}

TEST_F(SizeLimit, EveryOutputFitsAndBusyPicturesUseTheirBudget) {
  const TSizeCase cases[] = {
      {"size_busy_4s.mkv", "mp4", "150K", 150'000, false, ".mp4"},
      {"size_busy_12s.mkv", "mp4", "400K", 400'000, true, ".mp4"},
      {"size_busy_silent_12s.mkv", "mp4", "300K", 300'000, true, ".mp4"},
      {"size_busy_3min.mkv", "mp4", "2M", 2'000'000, true, ".mp4"},
      {"size_still_4min.mkv", "mp4", "2M", 2'000'000, false, ".mp4"},
      {"song_cover.m4a", "mp4", "40K", 40'000, false, ".m4a"},
  };
  ExpectEachFits(*this, cases);
}

TEST_F(SizeLimit, EachEncodersOutputFits) {
  const TSizeCase cases[] = {
      {"size_busy_12s.mkv", "3gp", "400K", 400'000, true, ".3gp"},
      {"size_busy_4s.mkv", "webm", "150K", 150'000, false, ".webm"},
      {"size_busy_4s.mkv", "hevc", "120K", 120'000, false, ".mp4"},
      {"size_busy_4s.mkv", "av1", "120K", 120'000, false, ".mkv"},
  };
  ExpectEachFits(*this, cases);
}

TEST_F(SizeLimit, ACutJobPlansForTheTimeItKeeps) {
  // Six seconds of twelve: planned for twelve, it would fill half the limit.
  const TOutcome r = Run({"-p", "mp4", "--max-size", "200K", "-x", "t=6"},
                             Fixtures::MediaPath("size_busy_12s.mkv"));
  ASSERT_EQ(r.Status, 0) << r.Message << r.Err;
  EXPECT_LE(r.Size, 200'000);
  EXPECT_GE(r.Size, 170'000);
}

TEST_F(SizeLimit, ASourceThatCannotFitFailsAtOnceAndSaysWhatWould) {
  const TOutcome r =
      Run({"-p", "mp4", "--max-size", "20K"}, Fixtures::MediaPath("size_still_4min.mkv"));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Message.find("cannot fit in 20 kB: it lasts 4:00"), std::string::npos) << r.Message;
  EXPECT_NE(r.Message.find("at most 0:"), std::string::npos) << r.Message;
  EXPECT_LT(r.Seconds, 5.0) << "no encode was tried";
  EXPECT_TRUE(!fs::exists(Folder + "/out") || fs::is_empty(Folder + "/out"));
}

TEST_F(SizeLimit, TheSizeRowsAndAUserRowCarryTheirLimit) {
  // The built-in 10 MB row takes a song into its audio-only container.
  TOutcome r = Run({"-p", "10mb"}, Fixtures::MediaPath("song_cover.m4a"));
  ASSERT_EQ(r.Status, 0) << r.Message;
  EXPECT_EQ(fs::path(r.Output).filename(), "song_cover (MP4 that fits 10 MB).m4a");
  // A user's row with its own limit.
  fs::create_directories(Folder + "/config/KestroVideo");
  std::ofstream(Folder + "/config/KestroVideo/presets.json") << R"J({"presets": [
    {"text": "Tiny MP4 (*.mp4)", "name": "tiny", "max_size": "250K",
     "video": {"codec": "libx264", "options": ["preset=veryfast"], "max_height": 240},
     "audio": {"codec": "aac", "bitrate": 64000}}]})J";
  r = Run({"-p", "tiny"}, Fixtures::MediaPath("size_busy_12s.mkv"));
  ASSERT_EQ(r.Status, 0) << r.Message << r.Err;
  EXPECT_LE(r.Size, 250'000);
  EXPECT_GE(r.Size, 225'000);
  std::ofstream(Folder + "/config/KestroVideo/presets.json") << R"J({"presets": [
    {"text": "Bad (*.mp4)", "max_size": "ten", "audio": {"codec": "aac"}}]})J";
  const TResult list = RunCli({"--list-presets"});
  EXPECT_NE(list.Err.find("\"max_size\" must be a size"), std::string::npos) << list.Err;
}

TEST_F(SizeLimit, BadLimitsAreUsageErrors) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--max-size", "ten"}, {"--max-size", "-5M"},
        {"--max-size", "8M", "--in-process"}, {"-p", "10mb", "--in-process"}}) {
    std::vector<std::string> all = args;
    all.push_back(Fixtures::MediaPath("clip.avi"));
    const TResult r = RunCli(all);
    EXPECT_EQ(r.Status, 2) << args[1];
    EXPECT_NE(r.Err.find("kestroconvert: "), std::string::npos);
  }
}

} // namespace
