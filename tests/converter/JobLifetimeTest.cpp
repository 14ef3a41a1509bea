// A job's fields outlive everything its engine's threads still read of them.
#include "ConverterTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace kestro;
using namespace kestro::test;

namespace {

// Holds every termination notice at its door until Open: the notice of a
// job cancelled before it ran then comes only after whoever freed the job
// had all the time in the world to take its fields apart.
class TGatedConverter : public TQxAVConverter {
public:
  void Open() {
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Opened = true;
    }
    Changed.notify_all();
  }

protected:
  void DoTerminate(TFFmpeg& job) override {
    {
      std::unique_lock<std::mutex> lock(Mutex);
      Changed.wait_for(lock, 10s, [this] { return Opened; });
    }
    TQxAVConverter::DoTerminate(job); // reads the job's probe and index
  }

private:
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Opened = false;
};

} // namespace

// Under the thread sanitizer, a job that let its fields go before the notice
// was handled shows as a race between its destructor and the notice.
TEST(JobLifetime, AJobFreedRightAfterItsCancelWaitsForItsNotice) {
  TTempFolder folder;
  TGatedConverter c;
  ASSERT_TRUE(c.LoadLibraries("", true)) << c.LastError;
  c.SetLogLevel(llQuiet);
  TEventRecorder recorder;
  recorder.Attach(c);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(c.AddInput(Fixtures::MediaPath(Fixtures::ClipAvi.Name)), i) << c.LastError;
    TOutputOptions o = CopyRecord();
    ASSERT_TRUE(c.SetOutput(i, folder / (std::to_string(i) + ".mkv"), &o)) << c.LastError;
  }
  c.StopJobs(); // neither ever ran: each notice waits at the gate

  std::atomic<bool> freed{false};
  std::thread deleting([&] {
    c.DeleteJob(0); // the last reference: the job goes here
    c.ClearJobs();
    freed = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(freed) << "a job went while its notice was still to come";
  c.Open();
  ASSERT_TRUE(recorder.WaitForBatchEnd());
  deleting.join();
  EXPECT_TRUE(freed);

  // Both notices were delivered, as the jobs they were when cancelled.
  std::vector<int> unfinished;
  for (const TEvent& e : recorder.Snapshot(TEvent::Terminate))
    if (e.Index >= 0 && !e.Finished && !e.Exception)
      unfinished.push_back(e.Index);
  EXPECT_EQ(unfinished.size(), 2u);
}
