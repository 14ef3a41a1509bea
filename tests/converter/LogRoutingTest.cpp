// The media libraries' log lines: assembled per thread, tagged with their
// context, cut at the buffer, handed to every component with the index of
// the job that runs on the thread; and the engine's own levels.
#include "ConverterTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

using namespace kestro;
using namespace kestro::test;

namespace {

const char* TesterName(void*) { return "tester"; }
const AVClass TesterClass = [] {
  AVClass c{};
  c.class_name = "tester";
  c.item_name = &TesterName;
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}();
struct TTesterContext {
  const AVClass* Class = &TesterClass;
} Tester;

std::string TesterTag() {
  char tag[64];
  std::snprintf(tag, sizeof tag, "[tester @ %08X]",
                unsigned(reinterpret_cast<uintptr_t>(&TesterClass) & 0xFFFFFFFFu));
  return tag;
}

// Runs `body` on a thread of its own, one that runs no job.
void OnOtherThread(const std::function<void()>& body) { std::thread(body).join(); }

class Routing : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(C.LoadLibraries("", true)) << C.LastError;
    Recorder.Attach(C);
  }
  TQxAVConverter C;
  TEventRecorder Recorder;
};

} // namespace

TEST_F(Routing, PartsOfALineAreJoinedAndTaggedByTheirFirstContext) {
  TQxAVConverter other; // every component gets every line
  TEventRecorder otherRecorder;
  otherRecorder.Attach(other);
  const std::string tag = TesterTag();
  const struct Case {
    void* First;
    void* Second;
    std::string Line;
  } cases[] = {
      {nullptr, nullptr, "abcdef"},
      {&Tester, nullptr, tag + "abcdef"},
      {nullptr, &Tester, "abcdef"}, // the line had begun: no tag in its middle
      {&Tester, &Tester, tag + "abcdef"},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    OnOtherThread([&] {
      avutil::av_log(c.First, AV_LOG_PANIC, "abc");
      avutil::av_log(c.Second, AV_LOG_PANIC, "%s\n", "def");
    });
    expected.push_back(c.Line);
  }
  EXPECT_EQ(Recorder.Lines(-1), expected);
  EXPECT_EQ(otherRecorder.Lines(-1), expected);
  for (const TEvent& e : Recorder.Snapshot(TEvent::Log))
    EXPECT_EQ(e.Level, llError); // the libraries' level 0
}

TEST_F(Routing, UnfinishedLinesOfDifferentThreadsDoNotMix) {
  std::atomic<int> step{0};
  std::thread first([&] {
    avutil::av_log(nullptr, AV_LOG_PANIC, "abc");
    step = 1;
    while (step != 2)
      std::this_thread::yield();
    avutil::av_log(nullptr, AV_LOG_PANIC, "def\n");
  });
  while (step != 1)
    std::this_thread::yield();
  avutil::av_log(nullptr, AV_LOG_PANIC, "xyz\nuvw");
  step = 2;
  first.join();
  avutil::av_log(nullptr, AV_LOG_PANIC, "\n");
  EXPECT_EQ(Recorder.Lines(-1), (std::vector<std::string>{"xyz", "abcdef", "uvw"}));
}

TEST_F(Routing, LibraryLinesAboveTheLevelAreDropped) {
  C.SetLogLevel(llError); // the libraries' errors and worse
  OnOtherThread([] {
    avutil::av_log(nullptr, AV_LOG_WARNING, "dropped\n");
    avutil::av_log(nullptr, AV_LOG_FATAL, "kept\n");
    avutil::av_log(nullptr, AV_LOG_ERROR, "kept too\n");
  });
  EXPECT_EQ(Recorder.Lines(-1), (std::vector<std::string>{"kept", "kept too"}));
}

TEST_F(Routing, AMessageTooLongForTheBufferIsCutAndLaterLinesSurvive) {
  const std::string longText(3000, 'x');
  const std::string tag = TesterTag();
  const struct Case {
    void* Context;
    const char* Format;
  } cases[] = {{nullptr, "%s"}, {nullptr, "%s\n"}, {&Tester, "%s"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Format);
    TEventRecorder recorder;
    recorder.Attach(C);
    OnOtherThread([&] {
      avutil::av_log(c.Context, AV_LOG_PANIC, c.Format, longText.c_str());
      avutil::av_log(nullptr, AV_LOG_PANIC, "next\n");
    });
    const std::string prefix = c.Context ? tag : "";
    const std::string cut = prefix + longText.substr(0, LogBufferSize - 1 - prefix.size());
    EXPECT_EQ(recorder.Lines(-1), (std::vector<std::string>{cut, "next"}));
  }
}

TEST_F(Routing, EngineLevelsBecomeLogLevels) {
  C.SetLogLevel(llQuiet); // no library lines among the engine's below
  ASSERT_EQ(C.AddInput(Fixtures::MediaPath(Fixtures::ClipAvi.Name)), 0) << C.LastError;
  TCustomFFmpeg& engine = *C.Jobs(0).Engine;
  const struct Case {
    int EngineLevel;
    TLogLevel Level;
  } cases[] = {{-1, llQuiet}, {-5, llQuiet}, {0, llError}, {1, llInfo},
               {2, llDebug},  {3, llAll},    {7, llAll}};
  for (const Case& c : cases)
    engine.Log(c.EngineLevel, "x"); // straight to the job's log callback
  const auto logs = Recorder.Snapshot(TEvent::Log);
  ASSERT_EQ(logs.size(), std::size(cases));
  for (size_t i = 0; i < logs.size(); ++i) {
    EXPECT_EQ(logs[i].Level, cases[i].Level) << cases[i].EngineLevel;
    EXPECT_EQ(logs[i].Index, 0);
  }
}

// A handler that makes the libraries log while it holds the component's lock,
// as another thread's line waits for that lock holding the registry's.
TEST_F(Routing, HandlersThatLogWhileAnotherThreadLogsDoNotDeadlock) {
  C.SetLogLevel(llError); // the engine reports errors only
  TTempFolder folder;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(C.AddInput(Fixtures::MediaPath(Fixtures::ClipAvi.Name)), i) << C.LastError;
    TOutputOptions o = CopyRecord();
    ASSERT_TRUE(C.SetOutput(i, folder / (std::to_string(i) + ".mkv"), &o)) << C.LastError;
  }
  std::atomic<bool> running{true};
  std::atomic<int> noise{0};
  C.OnProgress = [](int index, int, int, int, float, float, int64_t, int) {
    std::this_thread::sleep_for(30ms); // the noisy thread is now waiting for our lock
    avutil::av_log(nullptr, AV_LOG_PANIC, "progress %d\n", index);
  };
  std::thread noisy([&] {
    while (running) {
      avutil::av_log(nullptr, AV_LOG_PANIC, "noise\n");
      ++noise;
    }
  });
  C.StartJobs(1);
  const bool ended = Recorder.WaitForBatchEnd(30s);
  running = false;
  if (!ended) {
    std::fprintf(stderr, "the jobs never ended: the log routing deadlocked\n");
    std::_Exit(1);
  }
  noisy.join();

  for (int i = 0; i < 2; ++i) {
    const auto lines = Recorder.Lines(i);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "progress " + std::to_string(i)), lines.end())
        << i;
  }
  const auto unowned = Recorder.Lines(-1);
  EXPECT_EQ(std::count(unowned.begin(), unowned.end(), "noise"), noise.load());
}
