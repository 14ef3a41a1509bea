// A run that decodes on one thread while its output side encodes and muxes
// on another writes the very same bytes as a run on one thread: every preset
// row, and the sources whose pictures go through the harder paths (frame
// reordering, dropped and repeated pictures, turns, a size change mid-stream,
// hooks, subtitles, a cut).
#include "CliSupport.h"
#include "FixtureMedia.h"
#include "PresetTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

using namespace kestro;
using namespace kestro::test;
namespace fs = std::filesystem;

namespace {

std::string Bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class PipelineRows : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestro-pipeline-XXXXXX";
    Folder = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(Folder); }

  // The files kestroconvert wrote for `row` and `source` with `options`,
  // by name.
  std::map<std::string, std::string> Convert(const std::string& row, const std::string& source,
                                             const std::vector<std::string>& options,
                                             const std::string& tag) {
    const std::string out = Folder + "/" + tag;
    fs::create_directories(out);
    std::vector<std::string> args{"-q", "-p", row, "-o", out};
    for (const std::string& line : options) {
      args.push_back("-x");
      args.push_back(line);
    }
    args.push_back(Fixtures::MediaPath(source.c_str()));
    const TResult r = RunCli(args, {}, {}, 0, std::chrono::seconds(150));
    EXPECT_EQ(r.Status, 0) << row << " " << source << ": " << r.Out << r.Err;
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(out))
      files[entry.path().filename()] = Bytes(entry.path());
    return files;
  }

  void ExpectSameBytes(const std::string& row, const std::string& source,
                       std::vector<std::string> options) {
    SCOPED_TRACE(row + " " + source);
    // Matroska and Ogg files carry random identifiers unless told not to.
    options.push_back("fflags=+bitexact");
    std::vector<std::string> one = options, piped = options;
    one.push_back("pipeline=0");
    // Two cores whatever the machine has, so the output side always gets
    // its thread and the decoder its own threads where they may be used.
    piped.push_back("pipeline=1");
    piped.push_back("cores=2");
    const std::string tag = row + "-" + std::to_string(Count++);
    const auto a = Convert(row, source, one, tag + "-one");
    const auto b = Convert(row, source, piped, tag + "-piped");
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(a.begin()->first, b.begin()->first);
    EXPECT_GT(a.begin()->second.size(), 0u);
    EXPECT_TRUE(a.begin()->second == b.begin()->second)
        << a.begin()->first << ": " << a.begin()->second.size() << " bytes against "
        << b.begin()->second.size();
  }

  std::string Folder;
  int Count = 0;
};

} // namespace

TEST_F(PipelineRows, EveryRowWritesTheSameBytesWithAndWithoutThePipeline) {
  for (const TPresetRow& row : BuiltInPresets())
    ExpectSameBytes(row.Name, "clip_h264_aac.mp4", {});
}

TEST_F(PipelineRows, HardPicturePathsWriteTheSameBytes) {
  const std::string invert = std::string("vhook=") + KESTRO_HOOK_DIR + "/invert.so";
  struct Case {
    const char* Row;
    const char* Source;
    std::vector<std::string> Options;
  } cases[] = {
      {"3gp", "clip.avi", {}},
      {"3gp", "variable_rate.mp4", {}},             // pictures dropped and repeated
      {"mp4", "rotated_90.mp4", {}},                // turned upright before scaling
      {"mp4", "size_change.ts", {}},                // the scaler remade mid-stream
      {"3gp", "clip.avi", {invert}},                // hook pictures in the engine's buffer
      {"mp4", "subtitles.mkv", {}},                 // text cues between the pictures
      {"mp4", "multi_audio.mkv", {}},               // two sound tracks
      {"3gp", "clip_h264_aac.mp4", {"t=1.5"}},      // a cut: the decoder keeps one thread
      {"mp4", "clip_h264_aac.mp4", {"vframes=20"}}, // a count
  };
  for (const Case& c : cases)
    ExpectSameBytes(c.Row, c.Source, c.Options);
}

// Jobs at once share the cores: each job is told the cores divided by the
// jobs that run at the same time, so a single file gets them all.
TEST_F(PipelineRows, AJobGetsTheCoresDividedByTheJobsThatRunAtOnce) {
  const int cores = std::max(1, int(std::thread::hardware_concurrency()));
  struct Case {
    int Jobs;
    int Files;
  } cases[] = {{1, 1}, {2, 1}, {2, 2}, {4, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Jobs) + " jobs at once, " + std::to_string(c.Files) + " files");
    const std::string out = Folder + "/share-" + std::to_string(Count++);
    fs::create_directories(out);
    std::vector<std::string> args{"-p", "3gp", "-j", std::to_string(c.Jobs), "--log-level",
                                  "debug", "-o", out};
    for (int f = 0; f < c.Files; ++f) {
      const std::string copy = out + "-src" + std::to_string(f) + ".avi";
      fs::copy_file(Fixtures::MediaPath("small_176x144.avi"), copy);
      args.push_back(copy);
    }
    const TResult r = RunCli(args, {}, {}, 0, std::chrono::seconds(120));
    ASSERT_EQ(r.Status, 0) << r.Err;
    const int share = std::max(1, cores / std::min(c.Jobs, c.Files));
    const std::string line =
        "Encoding and muxing on a thread of their own, " + std::to_string(share) + " cores";
    size_t seen = 0;
    for (size_t at = r.Err.find("on a thread of their own"); at != std::string::npos;
         at = r.Err.find("on a thread of their own", at + 1))
      ++seen;
    if (share >= 2) {
      EXPECT_EQ(seen, size_t(c.Files)) << r.Err;
      EXPECT_NE(r.Err.find(line), std::string::npos) << r.Err;
    } else {
      EXPECT_EQ(seen, 0u) << "a job on a full batch took more than its core";
    }
  }
}
