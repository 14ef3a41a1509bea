// The run's output side on a thread of its own: the ordered worker it runs
// on, and whole runs that are stopped midway or fail there.
#include "ConversionTestSupport.h"
#include "OrderedWorker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <vector>

using namespace kestro;
using namespace kestro::test;
namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

// Waits at most a few seconds for `done`.
template <typename F> bool Within(std::chrono::seconds limit, F&& done) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

} // namespace

TEST(OrderedWorker, RunsWorkInOrderAndPostWaitsWhileItIsFull) {
  TOrderedWorker worker(2);
  std::promise<void> open;
  std::shared_future<void> gate = open.get_future().share();
  std::vector<int> order;
  std::atomic<int> posted{0};
  worker.Post([gate] { gate.wait(); });
  // Two pieces wait behind the blocked one; the third post must wait too.
  std::thread poster([&] {
    for (int i = 0; i < 3; ++i) {
      worker.Post([&order, i] { order.push_back(i); });
      ++posted;
    }
  });
  ASSERT_TRUE(Within(10s, [&] { return posted == 2; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(posted, 2) << "a third piece went past a full queue";
  open.set_value();
  poster.join();
  worker.Finish();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  // Once finished, work runs on the caller's thread.
  bool ranHere = false;
  worker.Post([&] { ranHere = !worker.OnWorkerThread(); });
  EXPECT_TRUE(ranHere);
}

TEST(OrderedWorker, AFailureIsRaisedOnceAndWhatFollowsIsDropped) {
  struct Case {
    const char* Name;
    bool ByDrain; // found by a drain rather than by the next post
  } cases[] = {{"next post", false}, {"drain", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TOrderedWorker worker(4);
    std::atomic<int> ranAfter{0};
    worker.Post([] { throw std::runtime_error("encoder gone"); });
    int raised = 0;
    try {
      if (c.ByDrain) {
        worker.Drain();
      } else {
        ASSERT_TRUE(Within(10s, [&] {
          try {
            worker.Post([&] { ++ranAfter; });
          } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "encoder gone");
            ++raised;
            return true;
          }
          return false;
        }));
      }
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "encoder gone");
      ++raised;
    }
    EXPECT_EQ(raised, 1);
    worker.Post([&] { ++ranAfter; });
    EXPECT_NO_THROW(worker.Finish());
    EXPECT_EQ(ranAfter, 0) << "work ran after a failure";
  }
}

TEST(OrderedWorker, GoingAwayDropsWhatWaits) {
  std::atomic<int> ran{0};
  std::promise<void> open;
  std::shared_future<void> gate = open.get_future().share();
  std::atomic<bool> started{false};
  std::thread release;
  {
    TOrderedWorker worker(8);
    worker.Post([gate, &started] {
      started = true;
      gate.wait();
    });
    for (int i = 0; i < 5; ++i)
      worker.Post([&] { ++ran; });
    ASSERT_TRUE(Within(10s, [&] { return bool(started); }));
    release = std::thread([&] {
      std::this_thread::sleep_for(20ms);
      open.set_value();
    });
  } // joins: the running piece ends, the waiting ones never run
  release.join();
  EXPECT_EQ(ran, 0);
}

class Pipeline : public ConversionTest {};

TEST_F(Pipeline, StopMidRunEndsItPromptlyOnBothSides) {
  for (int pipeline : {1, 0}) {
    SCOPED_TRACE(pipeline ? "pipelined" : "one thread");
    TCustomFFmpeg e;
    e.Reset();
    e.Settings.Verbose = -1;
    ASSERT_TRUE(e.OpenInputFile(Fixtures::MediaPath(Fixtures::SizeBusy.Name)));
    e.ParseOptionLines(std::string(ThreeGpp) + "\npipeline=" + std::to_string(pipeline) +
                       "\ncores=2");
    const std::string path = Folder + "/stopped" + std::to_string(pipeline) + ".3gp";
    ASSERT_TRUE(e.OpenOutputFile(path));
    std::atomic<int> reports{0};
    e.ReportInterval = 1000;
    e.ProgressCallback = {[](void* seen, TCustomFFmpeg*, int, int, int, float, float, int64_t,
                             int) { ++*static_cast<std::atomic<int>*>(seen); },
                          &reports};
    TFFmpegThread* worker = e.Start(true);
    ASSERT_NE(worker, nullptr);
    worker->Resume();
    ASSERT_TRUE(Within(60s, [&] { return reports > 10 || e.Terminated; }));
    e.Stop();
    EXPECT_TRUE(Within(10s, [&] { return bool(e.Terminated); })) << "the run did not end";
    EXPECT_FALSE(e.Finished);
  }
}

TEST_F(Pipeline, AFailureOnTheOutputSideFailsTheRun) {
  // A second pass whose first pass saw only one second: the encoder gives
  // up once the pictures outrun its statistics. And a disk that is full.
  const std::string stats = Folder + "/short";
  const std::string pass1 = std::string(ThreeGpp) + "\npass=1\npasslogfile=" + stats + "\nt=1";
  ASSERT_TRUE(Convert(Fixtures::ClipAvi.Name, "pass1.3gp", pass1).Finished);
  struct Case {
    const char* Name;
    std::string Options, Output, Message;
  } cases[] = {
      {"encoder", std::string(ThreeGpp) + "\npass=2\npasslogfile=" + stats, "pass2.3gp",
       "Video encoding failed"},
      {"full disk", std::string(ThreeGpp) + "\nf=3gp", "/dev/full",
       "Could not write '/dev/full': No space left on device"},
  };
  for (const Case& c : cases)
    for (int pipeline : {1, 0}) {
      SCOPED_TRACE(std::string(c.Name) + (pipeline ? ", pipelined" : ", one thread"));
      TResult r;
      const std::string options =
          c.Options + "\npipeline=" + std::to_string(pipeline) + "\ncores=2";
      if (c.Output[0] == '/') {
        // Not under Folder: open the device by hand.
        TCustomFFmpeg e;
        e.Reset();
        e.Settings.Verbose = -1;
        ASSERT_TRUE(e.OpenInputFile(Fixtures::MediaPath(Fixtures::ClipAvi.Name)));
        e.ParseOptionLines(options);
        ASSERT_TRUE(e.OpenOutputFile(c.Output));
        TFFmpegThread* worker = e.Start(true);
        ASSERT_NE(worker, nullptr);
        worker->Resume();
        ASSERT_TRUE(Within(60s, [&] { return bool(e.Terminated); }));
        r.Raised = e.ExceptionRaised;
        r.Message = e.ExceptionMessage;
      } else {
        r = Convert(Fixtures::ClipAvi.Name, c.Output, options);
        EXPECT_FALSE(fs::exists(r.Path) && fs::file_size(r.Path) == 0) << "an empty output";
      }
      EXPECT_FALSE(r.Finished);
      EXPECT_TRUE(r.Raised);
      EXPECT_EQ(r.Message.substr(0, c.Message.size()), c.Message);
    }
}
