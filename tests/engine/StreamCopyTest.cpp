#include "EngineTestSupport.h"
#include "FixtureMedia.h"
#include "MediaReadBack.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace kestro;
using namespace kestro::test;
namespace fs = std::filesystem;

namespace {

class Run : public ::testing::Test {
protected:
  void SetUp() override {
    LoadLibrariesOrFail();
    char pattern[] = "/tmp/kestro-run-XXXXXX";
    Folder = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(Folder); }
  std::string Out(const std::string& name) const { return Folder + "/" + name; }

  // A configured engine: input opened, `arrange` applied, output created.
  std::unique_ptr<TCustomFFmpeg> Prepare(const Fixtures::Media& source, const std::string& output,
                                         const std::function<void(TCustomFFmpeg&)>& arrange) {
    auto e = std::make_unique<TCustomFFmpeg>();
    e->Reset();
    e->Settings.Verbose = -1;
    Recorder.Clear();
    Recorder.Attach(*e);
    EXPECT_TRUE(e->OpenInputFile(Fixtures::MediaPath(source.Name))) << e->LastError;
    arrange(*e);
    EXPECT_TRUE(e->OpenOutputFile(output)) << e->LastError;
    return e;
  }
  void RunToEnd(TCustomFFmpeg& e) {
    e.Start(false);
    EXPECT_EQ(Recorder.Terminations, 1);
    EXPECT_FALSE(e.ExceptionRaised) << e.ExceptionMessage;
  }
  static void CopyAll(TCustomFFmpeg& e) {
    e.Settings.VideoStreamCopy = 1;
    e.Settings.AudioStreamCopy = 1;
    e.Settings.SubtitleStreamCopy = 1;
  }
  std::string Folder;
  TRecorder Recorder;
};

// The packets of `source` as written by the fixture generator.
TFileSummary Source(const Fixtures::Media& m) { return ReadBack(Fixtures::MediaPath(m.Name)); }

} // namespace

TEST_F(Run, StreamCopyKeepsEveryPacket) {
  struct Case {
    const Fixtures::Media& Source;
    const char* Output;
    const char* Format;
  } cases[] = {
      {Fixtures::H264Mp4, "copy.mkv", "matroska,webm"},
      {Fixtures::ClipAvi, "copy.avi", "avi"},
      {Fixtures::SubtitlesMkv, "subs.mkv", "matroska,webm"},
  };
  for (const Case& c : cases) {
    auto e = Prepare(c.Source, Out(c.Output), CopyAll);
    RunToEnd(*e);
    EXPECT_TRUE(e->Finished);
    const TFileSummary in = Source(c.Source), out = ReadBack(Out(c.Output));
    ASSERT_TRUE(out.Opened) << c.Output;
    EXPECT_EQ(out.Format, c.Format);
    ASSERT_EQ(out.Streams.size(), in.Streams.size()) << c.Output;
    for (size_t i = 0; i < in.Streams.size(); ++i) {
      SCOPED_TRACE(std::string(c.Output) + " stream " + std::to_string(i));
      EXPECT_EQ(out.Streams[i].Codec, in.Streams[i].Codec);
      EXPECT_EQ(out.Streams[i].Packets, in.Streams[i].Packets);
      EXPECT_EQ(out.Streams[i].KeyPackets, in.Streams[i].KeyPackets);
      EXPECT_NEAR(out.Streams[i].DurationSec, in.Streams[i].DurationSec, 0.05);
      EXPECT_EQ(out.Streams[i].Width, in.Streams[i].Width);
      EXPECT_EQ(out.Streams[i].SampleRate, in.Streams[i].SampleRate);
    }
  }
}

TEST_F(Run, StopConditionsEndTheCopyWithATrailer) {
  struct Case {
    const char* Name;
    std::function<void(TCustomFFmpeg&)> Arrange;
    double MaxVideoSeconds;
    int MaxVideoPackets;
  } cases[] = {
      {"t2", [](TCustomFFmpeg& e) { e.Settings.RecordingTime = 2000000; }, 2.1, 60},
      {"vframes", [](TCustomFFmpeg& e) { e.Settings.MaxFrames[0] = 10; }, 0.5, 10},
  };
  for (const Case& c : cases) {
    auto e = Prepare(Fixtures::ClipAvi, Out(std::string(c.Name) + ".mkv"), [&](TCustomFFmpeg& e) {
      CopyAll(e);
      c.Arrange(e);
    });
    RunToEnd(*e);
    const TFileSummary out = ReadBack(Out(std::string(c.Name) + ".mkv"));
    ASSERT_TRUE(out.Opened) << c.Name;
    const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_LE(video->Packets, c.MaxVideoPackets) << c.Name;
    EXPECT_GE(video->Packets, c.MaxVideoPackets * 8 / 10) << c.Name;
    EXPECT_LE(video->DurationSec, c.MaxVideoSeconds) << c.Name;
    EXPECT_TRUE(e->Finished);
  }
}

TEST_F(Run, MapAndSetupErrorsComeBeforeAnyHeader) {
  struct Case {
    std::function<void(TCustomFFmpeg&)> Arrange;
    const char* Message;
  } cases[] = {
      {[](TCustomFFmpeg& e) {
         e.StreamMaps[0] = {0, 0, 0, 0};
         e.StreamMapCount = 1;
       },
       "Number of stream maps must match number of output streams"},
      {[](TCustomFFmpeg& e) {
         e.StreamMaps[0] = {0, 5, 0, 5};
         e.StreamMaps[1] = {0, 1, 0, 1};
         e.StreamMapCount = 2;
       },
       "Could not find input stream #0.5"},
      {[](TCustomFFmpeg& e) {
         e.StreamMaps[0] = {0, 1, 0, 1};
         e.StreamMaps[1] = {0, 0, 0, 0};
         e.StreamMapCount = 2;
       },
       "Codec type mismatch for mapping #0.1 -> #0.0"},
      {[](TCustomFFmpeg& e) { e.Settings.ProgramId = 7; },
       "Could not find input stream matching output stream #0.0"},
      {[](TCustomFFmpeg& e) { e.Settings.AudioVolume = 512; },
       "-acodec copy and -vol are incompatible (frames are not decoded)"},
      {[](TCustomFFmpeg& e) {
         e.MetaDataMaps[0] = {1, 0};
         e.MetaDataMapCount = 1;
       },
       "Invalid output file index 1 map_meta_data(1,0)"},
  };
  for (const Case& c : cases) {
    Recorder.Clear();
    const std::string output = Out("fail.mkv");
    auto e = Prepare(Fixtures::ClipAvi, output, [&](TCustomFFmpeg& e) {
      CopyAll(e);
      c.Arrange(e);
    });
    e->Start(false);
    EXPECT_TRUE(e->ExceptionRaised);
    EXPECT_EQ(e->ExceptionMessage, c.Message);
    EXPECT_TRUE(Recorder.Logged(c.Message));
    EXPECT_FALSE(fs::exists(output)) << "nothing was written, so nothing is left: " << c.Message;
    EXPECT_TRUE(e->RunState.OpenEncoders.empty());
    EXPECT_TRUE(e->RunState.OpenDecoders.empty());
  }
}

TEST_F(Run, CopiedVideoStartsAtAKeyFrame) {
  // Start the read at a non-key position: the copy drops packets until the
  // next key frame.
  auto e = Prepare(Fixtures::ClipAvi, Out("late.mkv"), [](TCustomFFmpeg& e) {
    CopyAll(e);
    e.Settings.AudioDisable = 1;
  });
  e->InputTsOffsets[0] = 0;
  // Read a few packets away so the first one the run sees is not a key frame.
  AVPacket* packet = avcodec::av_packet_alloc();
  for (int read = 0; read < 3;) {
    ASSERT_EQ(avformat::av_read_frame(e->InputFiles[0].get(), packet), 0);
    read += packet->stream_index == 0 ? 1 : 0;
    avcodec::av_packet_unref(packet);
  }
  avcodec::av_packet_free(&packet);
  RunToEnd(*e);
  const TFileSummary out = ReadBack(Out("late.mkv"));
  const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(video, nullptr);
  EXPECT_TRUE(video->FirstIsKey);
  EXPECT_EQ(video->Packets, Fixtures::ClipAvi.VideoFrames - Fixtures::GopSize);
}

TEST_F(Run, StopMidRunStillWritesTheTrailer) {
  auto e = Prepare(Fixtures::ClipAvi, Out("stopped.mkv"), CopyAll);
  e->ReportInterval = 0;
  e->ProgressCallback = {[](void*, TCustomFFmpeg* engine, int, int, int ms, float, float, int64_t,
                            int) {
                           if (ms > 1000)
                             engine->Stop();
                         },
                         nullptr};
  RunToEnd(*e);
  EXPECT_FALSE(e->Finished);
  const TFileSummary out = ReadBack(Out("stopped.mkv"));
  ASSERT_TRUE(out.Opened);
  const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(video, nullptr);
  EXPECT_GT(video->Packets, 20);
  EXPECT_LT(video->Packets, Fixtures::ClipAvi.VideoFrames);
  EXPECT_GT(out.DurationSec, 0.9); // the trailer made the file seekable and timed
}

TEST_F(Run, CancelBeforeStartLeavesNoEmptyOutput) {
  auto e = Prepare(Fixtures::ClipAvi, Out("never.mkv"), CopyAll);
  ASSERT_TRUE(fs::exists(Out("never.mkv")));
  e->Cancel();
  for (int i = 0; i < 200 && !e->Terminated; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(e->Terminated);
  EXPECT_FALSE(fs::exists(Out("never.mkv")));
  EXPECT_EQ(e->OutputFileCount, 0);
}

TEST_F(Run, OutputsThatCannotBeWrittenEndTheRunWithTheCause) {
  // Each case spoils the output after it was created; the run must fail and
  // say why instead of reporting a finished conversion.
  struct Case {
    const char* Name;
    std::string Output;
    std::function<void(TCustomFFmpeg&, const std::string&)> Spoil; // before the run
    bool RemoveMidRun;
    const char* Message;
  } cases[] = {
      {"full disk", "/dev/full", {}, false, "Could not write '/dev/full': No space left on device"},
      {"removed before the run", Out("gone.mkv"),
       [](TCustomFFmpeg&, const std::string& out) { fs::remove(out); }, false,
       "was removed while it was being written"},
      {"replaced before the run", Out("other.mkv"),
       [](TCustomFFmpeg&, const std::string& out) {
         fs::remove(out);
         std::ofstream{out}; // empty, like an output that never got a byte
       },
       false, "was removed while it was being written"},
      {"removed mid-run", Out("mid.mkv"), {}, true, "was removed while it was being written"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    auto e = Prepare(Fixtures::ClipAvi, c.Output, [](TCustomFFmpeg& e) {
      CopyAll(e);
      e.OptFormat("matroska");
    });
    if (c.Spoil)
      c.Spoil(*e, c.Output);
    std::string removeMidRun = c.RemoveMidRun ? c.Output : "";
    e->ReportInterval = 0;
    e->ProgressCallback = {[](void* path, TCustomFFmpeg*, int, int, int ms, float, float, int64_t,
                              int) {
                             auto& name = *static_cast<std::string*>(path);
                             if (ms > 1000 && !name.empty()) {
                               fs::remove(name);
                               name.clear();
                             }
                           },
                           &removeMidRun};
    e->Start(false);
    EXPECT_EQ(Recorder.Terminations, 1);
    EXPECT_FALSE(e->Finished);
    EXPECT_TRUE(e->ExceptionRaised);
    EXPECT_NE(e->ExceptionMessage.find(c.Message), std::string::npos) << e->ExceptionMessage;
    EXPECT_TRUE(e->RunState.OpenEncoders.empty());
    EXPECT_TRUE(e->RunState.OpenDecoders.empty());
    e.reset();
    if (std::string(c.Name) == "replaced before the run") {
      EXPECT_TRUE(fs::exists(c.Output)) << "a file the run did not create is left alone";
    }
  }
}
