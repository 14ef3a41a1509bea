// Reading inputs: a failing read is a failure (not an early end) and leaves
// no output behind; a stalled source gives way to a stop at once.
#include "EngineTestSupport.h"
#include "FixtureMedia.h"
#include "FixturePipe.h"
#include "MediaReadBack.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace kestro;
using namespace kestro::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// A fixture's bytes through a byte source whose reads fail with `Error`
// once `FailAt` bytes have been read.
struct TFailingSource {
  std::vector<char> Bytes;
  size_t Position = 0;
  size_t FailAt = SIZE_MAX;
  int Error = AVERROR(EIO);
  AVIOContext* IO = nullptr;

  TFailingSource(const char* fixture, double failAt, int error) : Error(error) {
    std::ifstream in(Fixtures::MediaPath(fixture), std::ios::binary);
    Bytes.assign(std::istreambuf_iterator<char>(in), {});
    FailAt = size_t(double(Bytes.size()) * failAt);
    constexpr int BufferSize = 4096;
    auto* buffer = static_cast<uint8_t*>(avutil::av_malloc(BufferSize));
    IO = avformat::avio_alloc_context(buffer, BufferSize, 0, this, &Read, nullptr, nullptr);
  }
  ~TFailingSource() {
    avutil::av_freep(&IO->buffer);
    avformat::avio_context_free(&IO);
  }
  static int Read(void* opaque, uint8_t* buffer, int wanted) {
    auto& s = *static_cast<TFailingSource*>(opaque);
    if (s.Position >= s.FailAt)
      return s.Position >= s.Bytes.size() ? AVERROR_EOF : s.Error;
    const size_t taken = std::min({size_t(wanted), s.Bytes.size() - s.Position, s.FailAt - s.Position});
    if (taken == 0)
      return AVERROR_EOF;
    std::memcpy(buffer, s.Bytes.data() + s.Position, taken);
    s.Position += taken;
    return int(taken);
  }
};

class InputRead : public ::testing::Test {
protected:
  void SetUp() override {
    LoadLibrariesOrFail();
    char pattern[] = "/tmp/kestro-read-XXXXXX";
    Folder = mkdtemp(pattern);
    Engine.Reset();
    Engine.Settings.Verbose = -1;
    Recorder.Attach(Engine);
  }
  void TearDown() override { fs::remove_all(Folder); }
  void OutputTo(const std::string& path) {
    Engine.ParseOptionLines(ThreeGpp);
    ASSERT_TRUE(Engine.OpenOutputFile(path)) << Engine.LastError;
  }
  std::string Folder;
  TCustomFFmpeg Engine;
  TRecorder Recorder;
};

} // namespace

TEST_F(InputRead, AFailingReadFailsTheJobAndLeavesNoOutput) {
  struct TCase {
    const char* Name;
    int Error;
    const char* Text;
  };
  const TCase cases[] = {
      {"I/O error", AVERROR(EIO), "Error while reading 'clip.avi': Input/output error"},
      {"device gone", AVERROR(ENXIO), "Error while reading 'clip.avi': No such device or address"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Engine.Reset();
    Engine.Settings.Verbose = -1;
    Recorder.Attach(Engine);
    TFailingSource source("clip.avi", 0.6, c.Error);
    Engine.Settings.InputIO = source.IO;
    ASSERT_TRUE(Engine.OpenInputFile("clip.avi")) << Engine.LastError;
    const std::string out = Folder + "/out.3gp";
    OutputTo(out);
    Engine.Start(false);
    EXPECT_TRUE(Engine.ExceptionRaised);
    EXPECT_FALSE(Engine.Finished);
    EXPECT_EQ(Engine.ExceptionMessage, c.Text);
    EXPECT_FALSE(fs::exists(out)) << "a failed job's half-written output is removed";
  }
}

TEST_F(InputRead, TheEndOfAShortSourceIsNoError) {
  // The same bytes cut short: the source ends, it does not fail.
  TFailingSource source("clip.avi", 0.6, AVERROR_EOF);
  Engine.Settings.InputIO = source.IO;
  ASSERT_TRUE(Engine.OpenInputFile("clip.avi")) << Engine.LastError;
  const std::string out = Folder + "/out.3gp";
  OutputTo(out);
  Engine.Start(false);
  EXPECT_FALSE(Engine.ExceptionRaised) << Engine.ExceptionMessage;
  EXPECT_TRUE(Engine.Finished);
  const TFileSummary summary = ReadBack(out);
  ASSERT_TRUE(summary.Opened);
  ASSERT_NE(summary.First(AVMEDIA_TYPE_VIDEO), nullptr);
  EXPECT_GT(summary.First(AVMEDIA_TYPE_VIDEO)->Packets, 10);
}

TEST_F(InputRead, StopEndsARunBlockedOnAStalledPipeAtOnce) {
  // The pipe is read once, here: 40 % of the file, then nothing.
  TPipeSource pipe(Folder + "/slow.avi", "clip.avi", 1, 0.4);
  ASSERT_TRUE(Engine.OpenInputFile(pipe.Path)) << Engine.LastError;
  const std::string out = Folder + "/out.3gp";
  OutputTo(out);
  TFFmpegThread* worker = Engine.Start(true);
  ASSERT_NE(worker, nullptr);
  worker->Resume();
  // Once everything before the stall is written the run is waiting for bytes.
  std::this_thread::sleep_for(700ms);
  ASSERT_FALSE(Engine.Terminated) << "the run did not wait for the pipe";
  const auto stopped = std::chrono::steady_clock::now();
  Engine.Stop();
  while (!Engine.Terminated && std::chrono::steady_clock::now() - stopped < 5s)
    std::this_thread::sleep_for(5ms);
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 1s);
  EXPECT_TRUE(Engine.Terminated);
  EXPECT_FALSE(Engine.ExceptionRaised) << Engine.ExceptionMessage;
  const TFileSummary summary = ReadBack(out);
  EXPECT_TRUE(summary.Opened) << "the stopped output keeps its trailer";
}

TEST_F(InputRead, ASourceUnreadableFromItsFirstPacketFailsTheJob) {
  // This MP4 keeps its index after its data. Through a pipe, the index is
  // found at the end, and the data before it cannot be gone back to: not a
  // single packet can be read. That is no conversion, however the file ends.
  TPipeSource pipe(Folder + "/index_last.mp4", "clip_h264_aac.mp4", 2, 1.0);
  ASSERT_TRUE(Engine.OpenInputFile(pipe.Path)) << Engine.LastError;
  const std::string out = Folder + "/out.3gp";
  OutputTo(out);
  Engine.Start(false);
  EXPECT_TRUE(Engine.ExceptionRaised);
  EXPECT_FALSE(Engine.Finished);
  EXPECT_EQ(Engine.ExceptionMessage,
            "Error while reading '" + pipe.Path + "': Invalid data found when processing input");
  EXPECT_FALSE(fs::exists(out)) << "no empty output is left behind";
}
