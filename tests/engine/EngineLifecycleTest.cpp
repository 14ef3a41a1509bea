#include "EngineTestSupport.h"
#include "FixtureMedia.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>

using namespace kestro;
using namespace kestro::test;
using namespace std::chrono_literals;

namespace {

class EngineLifecycle : public ::testing::Test {
protected:
  void SetUp() override {
    LoadLibrariesOrFail();
    Engine.Reset();
    Recorder.Attach(Engine);
  }
  TCustomFFmpeg Engine;
  TRecorder Recorder;
};

} // namespace

TEST_F(EngineLifecycle, NewEngineHasTheDocumentedDefaults) {
  TCustomFFmpeg fresh;
  EXPECT_EQ(fresh.Settings.AudioChannels, 2);
  EXPECT_EQ(fresh.Settings.AudioSampleRate, 44100);
  EXPECT_EQ(fresh.Settings.AudioVolume, 256);
  EXPECT_EQ(fresh.Settings.VideoSyncMethod, -1);
  EXPECT_EQ(fresh.Settings.TopFieldFirst, -1);
  EXPECT_EQ(fresh.Settings.LoopOutput, -1);
  EXPECT_EQ(fresh.Settings.FramePixFmt, -1);
  EXPECT_EQ(fresh.Settings.AudioSampleFmt, -1);
  EXPECT_EQ(fresh.Settings.PadColor[0], 16);
  EXPECT_EQ(fresh.Settings.PadColor[1], 128);
  EXPECT_EQ(fresh.Settings.PadColor[2], 128);
  for (int limit : fresh.Settings.MaxFrames)
    EXPECT_EQ(limit, 2147483647);
  EXPECT_EQ(fresh.Settings.RecordingTime, 9223372036854775807LL);
  for (uint32_t pictures : fresh.RunState.QuantizerHistogram)
    EXPECT_EQ(pictures, 0u);
  EXPECT_EQ(fresh.ReportInterval, 500000);
  EXPECT_EQ(fresh.RunState.TotalOutputDuration, -1);
  EXPECT_FLOAT_EQ(fresh.Settings.AudioQScale, -99999.0f);
  EXPECT_FLOAT_EQ(fresh.Settings.MuxMaxDelay, 0.7f);
  EXPECT_FLOAT_EQ(fresh.Settings.MuxPreload, 0.5f);
  EXPECT_EQ(fresh.Settings.SwsFlags, 4u);
  EXPECT_EQ(fresh.Settings.Verbose, 1);
  EXPECT_EQ(fresh.Settings.IntraDcPrecision, 8);
  // Construction allocates nothing; Reset makes the option contexts.
  EXPECT_EQ(fresh.Settings.FormatOptionContext, nullptr);
  for (int type = 0; type < MediaTypeCount; ++type)
    ASSERT_NE(Engine.Settings.CodecOptionContexts[type], nullptr);
  EXPECT_EQ(Engine.Settings.CodecOptionContexts[AVMEDIA_TYPE_AUDIO]->codec_type,
            AVMEDIA_TYPE_AUDIO);
  EXPECT_NE(Engine.Settings.FormatOptionContext, nullptr);
  EXPECT_NE(Engine.Settings.ScalerOptionContext, nullptr);
}

TEST_F(EngineLifecycle, ResetRestoresDefaultsAndReleasesSettings) {
  Engine.Settings.AudioChannels = 1;
  Engine.Settings.VideoCodecName = AvText("h263");
  Engine.StreamMapCount = 3;
  Engine.ExceptionRaised = true;
  Engine.Reset();
  EXPECT_EQ(Engine.Settings.AudioChannels, 2);
  EXPECT_EQ(Engine.Settings.VideoCodecName, nullptr);
  EXPECT_EQ(Engine.StreamMapCount, 0);
  EXPECT_FALSE(Engine.ExceptionRaised);
}

TEST_F(EngineLifecycle, StartRefusesMissingFiles) {
  struct Case {
    int Outputs, Inputs;
    const char* Message;
  } cases[] = {{0, 1, "Must supply at least one output file"},
               {0, 0, "Must supply at least one output file"},
               {1, 0, "Must supply at least one input file"}};
  for (const Case& c : cases) {
    TCustomFFmpeg engine;
    engine.Reset();
    TRecorder recorder;
    recorder.Attach(engine);
    engine.OutputFileCount = c.Outputs;
    engine.InputFileCount = c.Inputs;
    EXPECT_EQ(engine.Start(true), nullptr);
    ASSERT_EQ(recorder.Lines.size(), 1u) << c.Message;
    EXPECT_EQ(recorder.Lines[0], std::make_pair(-1, std::string(c.Message)));
    EXPECT_EQ(recorder.Terminations, 1);
    EXPECT_TRUE(recorder.ExceptionAtTerminate);
    EXPECT_EQ(recorder.MessageAtTerminate, c.Message);
    EXPECT_EQ(recorder.TerminateThread, std::this_thread::get_id());
    EXPECT_TRUE(engine.Terminated);
    EXPECT_FALSE(engine.Running);
  }
}

TEST_F(EngineLifecycle, StartOnARunningOrTerminatedEngineChangesNothing) {
  Engine.OutputFileCount = 0;
  Engine.Running = true;
  EXPECT_EQ(Engine.Start(true), nullptr);
  EXPECT_TRUE(Recorder.Lines.empty());
  EXPECT_EQ(Recorder.Terminations, 0);
  EXPECT_TRUE(Engine.Running);

  Engine.Running = false;
  Engine.Terminated = true;
  EXPECT_EQ(Engine.Start(false), nullptr);
  EXPECT_EQ(Recorder.Terminations, 0);
  EXPECT_FALSE(Engine.ExceptionRaised);
}

TEST_F(EngineLifecycle, CancelBeforeStartNotifiesOnceFromAnotherThread) {
  Engine.Cancel();
  Engine.Cancel();
  for (int i = 0; i < 200 && !Engine.Terminated; ++i)
    std::this_thread::sleep_for(5ms);
  Engine.Cancel(); // terminated: left alone
  std::this_thread::sleep_for(20ms);
  std::lock_guard<std::mutex> lock(Recorder.Lock);
  EXPECT_EQ(Recorder.Terminations, 1);
  EXPECT_NE(Recorder.TerminateThread, std::this_thread::get_id());
  EXPECT_FALSE(Recorder.FinishedAtTerminate);
  EXPECT_FALSE(Recorder.ExceptionAtTerminate);
  EXPECT_TRUE(Engine.Terminated);
}

TEST_F(EngineLifecycle, WorkerStartsSuspendedAndRunsAfterResume) {
  // Counts without files: the run refuses them at once, which is enough to
  // see the thread body, the failure report and the clean-up.
  Engine.OutputFileCount = 1;
  Engine.InputFileCount = 1;
  TFFmpegThread* worker = Engine.Start(true, tpLower);
  ASSERT_NE(worker, nullptr);
  EXPECT_TRUE(worker->Suspended());
  EXPECT_TRUE(Engine.Running);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Recorder.Terminations, 0);
  worker->Resume();
  for (int i = 0; i < 200 && !Engine.Terminated; ++i)
    std::this_thread::sleep_for(5ms);
  std::lock_guard<std::mutex> lock(Recorder.Lock);
  EXPECT_EQ(Recorder.Terminations, 1);
  EXPECT_TRUE(Recorder.ExceptionAtTerminate);
  EXPECT_FALSE(Recorder.FinishedAtTerminate);
  EXPECT_EQ(Engine.InputFileCount, 0);
  EXPECT_EQ(Engine.OutputFileCount, 0);
  EXPECT_FALSE(Engine.Running);
  EXPECT_EQ(Engine.WorkerThread, nullptr);
}

// Cancel keeps arriving while runs end: each run is still told exactly once
// that it terminated, however the two meet.
TEST(EngineCancelRace, CancelAtTheEndNotifiesExactlyOnce) {
  LoadLibrariesOrFail();
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    TRecorder recorder;
    int terminations;
    {
      TCustomFFmpeg engine;
      engine.Reset();
      recorder.Attach(engine);
      engine.OutputFileCount = 1; // refused at once by the run: a quick end
      engine.InputFileCount = 1;
      TFFmpegThread* worker = engine.Start(true);
      ASSERT_NE(worker, nullptr);
      std::atomic<bool> go{false};
      std::thread canceller([&] {
        while (!go)
          std::this_thread::yield();
        const auto end = std::chrono::steady_clock::now() + 2s;
        while (!engine.Terminated && std::chrono::steady_clock::now() < end)
          engine.Cancel();
        engine.Cancel();
      });
      go = true;
      worker->Resume();
      canceller.join();
      for (int i = 0; i < 400 && !engine.Terminated; ++i)
        std::this_thread::sleep_for(1ms);
    } // the engine waits for its threads
    {
      std::lock_guard<std::mutex> lock(recorder.Lock);
      terminations = recorder.Terminations;
    }
    ASSERT_EQ(terminations, 1);
  }
}

TEST(EngineDestruction, WaitsForAWorkerBlockedInACallback) {
  LoadLibrariesOrFail();
  std::atomic<bool> inCallback{false}, callbackDone{false};
  struct Ctx {
    std::atomic<bool>* In;
    std::atomic<bool>* Done;
  } ctx{&inCallback, &callbackDone};
  auto engine = std::make_unique<TCustomFFmpeg>();
  engine->Reset();
  engine->LogCallback = {[](void* c, TCustomFFmpeg*, int, const std::string&) {
                           auto* x = static_cast<Ctx*>(c);
                           *x->In = true;
                           std::this_thread::sleep_for(1500ms); // longer than ten 100 ms waits
                           *x->Done = true;
                         },
                         &ctx};
  engine->OutputFileCount = 1;
  engine->InputFileCount = 1;
  TFFmpegThread* worker = engine->Start(true);
  ASSERT_NE(worker, nullptr);
  worker->Resume();
  while (!inCallback)
    std::this_thread::sleep_for(1ms);
  engine.reset();
  EXPECT_TRUE(callbackDone);
}

TEST(EngineDestruction, NeverResumedWorkerEndsWithTheEngine) {
  LoadLibrariesOrFail();
  TRecorder recorder;
  {
    TCustomFFmpeg engine;
    engine.Reset();
    recorder.Attach(engine);
    engine.OutputFileCount = 1;
    engine.InputFileCount = 1;
    ASSERT_NE(engine.Start(true), nullptr);
  }
  // The destructor's Stop resumes the worker: the run sees the stop request,
  // and either way nothing runs on freed state.
  EXPECT_LE(recorder.Terminations, 1);
}

TEST(FormatOpenError, MapsLibraryCodesToMessages) {
  struct Case {
    int Code;
    const char* Text;
  } cases[] = {
      {AVERROR(ENOENT), "a.avi: no such file or directory"},
      {AVERROR(EIO), "a.avi: I/O error occurred\r\nUsually that means that input file is "
                     "truncated and/or corrupted."},
      {AVERROR_EOF, "a.avi: I/O error occurred\r\nUsually that means that input file is "
                    "truncated and/or corrupted."},
      {AVERROR(ENOMEM), "a.avi: memory allocation error occurred"},
      {AVERROR(EINVAL), "a.avi: Error while parsing header"},
      {AVERROR(EDOM), "a.avi: Incorrect image filename syntax.\r\nUse '%d' to specify the image "
                      "number:\r\n  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\r\n  for "
                      "img001.jpg, img002.jpg, ..., use 'img%03d.jpg'."},
      {AVERROR_INVALIDDATA, "a.avi: Unknown format"},
      {-42, "a.avi: Unknown format"},
      {-1, "a.avi: Error while opening file"},
      {AVERROR(EACCES), "a.avi: Error while opening file"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TCustomFFmpeg::FormatOpenError("a.avi", c.Code), c.Text) << c.Code;
}

TEST(FormatOpenError, BrokenTestMediaGetsAnUnderstandableText) {
  LoadLibrariesOrFail();
  struct Case {
    std::string Path;
    const char* Expected;
  } cases[] = {
      {Fixtures::MediaPath("garbage.avi"), ": Unknown format"},
      {Fixtures::MediaPath("empty.avi"), ": Unknown format"},
      {Fixtures::MediaPath("no-such-file.avi"), ": no such file or directory"},
  };
  for (const Case& c : cases) {
    AVFormatContext* context = nullptr;
    const int code = avformat::avformat_open_input(&context, c.Path.c_str(), nullptr, nullptr);
    ASSERT_LT(code, 0) << c.Path;
    EXPECT_EQ(TCustomFFmpeg::FormatOpenError(c.Path, code), c.Path + c.Expected);
  }
}
