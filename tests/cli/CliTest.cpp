#include "CliSupport.h"
#include "FixturePipe.h"
#include "FixtureMedia.h"
#include "MediaLibs.h"
#include "../engine/MediaReadBack.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

using namespace kestro;
using namespace kestro::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class Cli : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(LoadAllLibraries("", true));
    char pattern[] = "/tmp/kestro-cli-XXXXXX";
    Folder = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(Folder); }
  std::string Media(const char* name) { return Fixtures::MediaPath(name); }
  std::string Folder;
};

} // namespace

TEST_F(Cli, ResultLinesAndExitStatus) {
  const std::string clip = Media("clip.avi"), garbage = Media("garbage.avi");
  struct Case {
    std::vector<std::string> Args;
    int Status;
    std::vector<std::string> Lines;
  } cases[] = {
      {{"-o", Folder, clip}, 0, {"done: " + clip + " -> " + Folder + "/clip (3GPP 176x144).3gp"}},
      {{"-o", Folder, garbage}, 1, {"skipped: " + garbage + ": Unknown format"}},
      {{"-o", Folder, Folder}, 1, {"skipped: " + Folder + ": is a folder"}},
      {{"-o", Folder, "-x", "croptop=3", clip},
       1,
       {"failed: " + clip + ": Top crop size must be a multiple of 2"}},
      {{"-o", Folder, "--preset", "3GPP 176x144", clip},
       0,
       {"done: " + clip + " -> " + Folder + "/clip (3GPP 176x144 [1]).3gp"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-p", "3gp"}; // a later --preset wins
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    const TResult r = RunCli(args);
    EXPECT_EQ(r.Status, c.Status) << r.Out << r.Err;
    EXPECT_EQ(r.Lines(), c.Lines) << r.Err;
  }
  // A refused output leaves nothing behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(Folder), fs::directory_iterator()), 2);
}

TEST_F(Cli, UsageErrorsExitWithTwo) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--no-such-option", Media("clip.avi")},
           {"--preset", "Nothing like it", Media("clip.avi")},
           {"-j", "many", Media("clip.avi")},
           {},
       }) {
    const TResult r = RunCli(args);
    EXPECT_EQ(r.Status, 2) << r.Err;
    EXPECT_NE(r.Err.find("kestroconvert: "), std::string::npos);
  }
  EXPECT_EQ(RunCli({"--help"}).Status, 0);
  const TResult list = RunCli({"--list-presets"});
  ASSERT_GE(list.Lines().size(), 14u);
  EXPECT_EQ(list.Lines()[13], "3GPP 176*144 (*.3gp)\t3gp");
}

TEST_F(Cli, OptionLinesReachEveryOutput) {
  const TResult r = RunCli({"-p", "3gp", "-o", Folder, "-x", "vframes=10", Media("clip.avi")});
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  const TFileSummary out = ReadBack(Folder + "/clip (3GPP 176x144).3gp");
  ASSERT_TRUE(out.Opened);
  const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->Packets, 10);
  EXPECT_EQ(video->Codec, "h263");
}

TEST_F(Cli, TwoJobsRunAtOnce) {
  // The first source stalls half-way through its run until the second has
  // finished: only two jobs at once get past that.
  TPipeSource slow(Folder + "/slow.avi", "clip.avi", 1, 0.4);
  const std::string quick = Media("small_176x144.avi");
  bool sawQuick = false;
  const TResult r = RunCli({"-p", "3gp", "-j", "2", "-o", Folder + "/out", slow.Path, quick},
                           [&](const std::string& line) {
                             if (line.rfind("done: " + quick, 0) == 0) {
                               sawQuick = true;
                               slow.Release();
                             }
                             return false;
                           });
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  const std::vector<std::string> lines = r.Lines();
  ASSERT_EQ(lines.size(), 2u) << r.Out;
  EXPECT_EQ(lines[0].rfind("done: " + quick, 0), 0u);
  EXPECT_EQ(lines[1].rfind("done: " + slow.Path, 0), 0u);
  EXPECT_TRUE(sawQuick);
}

TEST_F(Cli, InterruptStopsTheBatchAndKeepsNoEmptyOutput) {
  TPipeSource slow(Folder + "/slow.avi", "clip.avi", 1, 0.4);
  const std::string running = Folder + "/out/slow (3GPP 176x144).3gp";
  const std::string waiting = Folder + "/out/small_176x144 (3GPP 176x144).3gp";
  std::chrono::steady_clock::time_point interrupted;
  const TResult r = RunCli({"-p", "3gp", "-o", Folder + "/out", slow.Path, Media("small_176x144.avi")}, {},
                           [&](pid_t pid) {
                             // Once the stalled job has written its header, it is running.
                             for (int i = 0; i < 400; ++i) {
                               std::error_code ignored;
                               if (fs::file_size(running, ignored) > 0 && !ignored)
                                 break;
                               std::this_thread::sleep_for(25ms);
                             }
                             kill(pid, SIGINT);
                             interrupted = std::chrono::steady_clock::now();
                             // The writer stalls: the program must end by itself.
                           });
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, 1s);
  EXPECT_EQ(r.Status, 130) << r.Out << r.Err;
  const TFileSummary out = ReadBack(running);
  EXPECT_TRUE(out.Opened) << "the stopped output keeps its trailer";
  EXPECT_FALSE(fs::exists(waiting)) << "the job that never ran leaves no empty file";
}

TEST_F(Cli, ANamedPipeIsReadOnceAndInterruptEndsItWhileItsWriterStalls) {
  {
    TPipeSource pipe(Folder + "/piped.avi", "clip.avi", 1, 1.0);
    pipe.Release();
    const TResult r = RunCli({"-p", "3gp", "-o", Folder + "/out", pipe.Path});
    EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
    const TFileSummary out = ReadBack(Folder + "/out/piped (3GPP 176x144).3gp");
    ASSERT_TRUE(out.Opened);
    ASSERT_NE(out.First(AVMEDIA_TYPE_VIDEO), nullptr);
    EXPECT_NEAR(out.First(AVMEDIA_TYPE_VIDEO)->Packets, Fixtures::ClipAvi.VideoFrames, 2);
    EXPECT_EQ(pipe.Served(), 1);
  }
  // A writer that stalls before the source's header is complete: the
  // program is still adding its files when the signal comes.
  TPipeSource stalled(Folder + "/stalled.avi", "clip.avi", 1, 0.01);
  std::chrono::steady_clock::time_point interrupted;
  const TResult r = RunCli({"-p", "3gp", "-o", Folder + "/out2", stalled.Path}, {}, [&](pid_t pid) {
    std::this_thread::sleep_for(500ms);
    kill(pid, SIGINT);
    interrupted = std::chrono::steady_clock::now();
  });
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, 1s);
  EXPECT_EQ(r.Status, 130) << r.Out << r.Err;
  EXPECT_FALSE(fs::exists(Folder + "/out2/stalled (3GPP 176x144).3gp"));
}

TEST_F(Cli, DoubleDashEndsTheOptions) {
  fs::create_directories(Folder + "/in");
  fs::copy_file(Media("small_176x144.avi"), Folder + "/in/-dash.avi");
  const fs::path before = fs::current_path();
  fs::current_path(Folder + "/in");
  const TResult r = RunCli({"-p", "3gp", "-o", Folder + "/out", "--", "-dash.avi"});
  fs::current_path(before);
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_EQ(r.Lines(), std::vector<std::string>{"done: -dash.avi -> " + Folder +
                                                "/out/-dash (3GPP 176x144).3gp"});
}

TEST_F(Cli, SongsWithACoverGiveAudioOnlyOutputs) {
  for (const char* song : {Fixtures::CoverMp3, Fixtures::CoverUpperMp3, Fixtures::CoverM4a}) {
    SCOPED_TRACE(song);
    const TFileSummary source = ReadBack(Media(song));
    ASSERT_EQ(source.Streams.size(), 2u) << "the fixture holds its cover";
    const TResult r = RunCli({"-p", "3gp", "-o", Folder, Media(song)});
    EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
    const std::string stem = fs::path(song).stem().string();
    const TFileSummary out = ReadBack(Folder + "/" + stem + " (3GPP 176x144).3gp");
    ASSERT_TRUE(out.Opened) << r.Out;
    ASSERT_EQ(out.Streams.size(), 1u);
    EXPECT_EQ(out.Streams[0].Codec, "amr_nb");
    EXPECT_NEAR(out.Streams[0].DurationSec, Fixtures::SongMp3.DurationSec, 0.2);
  }
}

TEST_F(Cli, AFailedJobIsReportedOnceAndLeavesNoOutput) {
  // 3GPP takes no MP3: copying clip.avi's audio fails at the header.
  const std::string clip = Media("clip.avi");
  const TResult r = RunCli({"-p", "3gp", "-o", Folder, "-x", "acodec=copy", clip});
  EXPECT_EQ(r.Status, 1);
  const std::vector<std::string> lines = r.Lines();
  ASSERT_EQ(lines.size(), 1u) << r.Out;
  EXPECT_EQ(lines[0].rfind("failed: " + clip + ": Could not write header", 0), 0u) << lines[0];
  EXPECT_EQ(r.Err.find("Could not write header"), std::string::npos) << r.Err;
  EXPECT_FALSE(fs::exists(Folder + "/clip (3GPP 176x144).3gp"));
}
