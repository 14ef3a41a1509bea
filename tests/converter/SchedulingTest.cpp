// Jobs added, run one or several at a time, stopped and removed, with real
// conversions of the test media (stream copy into Matroska: milliseconds).
#include "ConverterTestSupport.h"
#include "MediaReadBack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>

using namespace kestro;
using namespace kestro::test;

namespace {

class Scheduling : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(C.LoadLibraries("", true)) << C.LastError;
    C.SetLogLevel(llQuiet);
  }
  // A job copying `source` into `outputName`; returns its index.
  int AddCopyJob(const std::string& source, const std::string& outputName) {
    const int index = C.AddInput(source);
    EXPECT_GE(index, 0) << source << ": " << C.LastError;
    if (index >= 0) {
      TOutputOptions o = CopyRecord();
      EXPECT_TRUE(C.SetOutput(index, Folder / outputName, &o)) << C.LastError;
    }
    return index;
  }
  int AddCopyJob(const Fixtures::Media& media, const std::string& outputName) {
    return AddCopyJob(Fixtures::MediaPath(media.Name), outputName);
  }
  std::vector<int> TerminatedOrder() {
    std::vector<int> order;
    for (const TEvent& e : Recorder.Snapshot(TEvent::Terminate))
      order.push_back(e.Index);
    return order;
  }

  TQxAVConverter C;
  TTempFolder Folder;
  TEventRecorder Recorder;
};

} // namespace

TEST(Properties, ProgressIntervalHasAFloorOf100) {
  TQxAVConverter c;
  for (auto [given, kept] : {std::pair{50, 100}, {100, 100}, {101, 101}, {-5, 100}}) {
    c.SetProgressInterval(given);
    EXPECT_EQ(c.ProgressInterval(), kept) << given;
  }
  EXPECT_EQ(c.Version(), "2.2");
  EXPECT_EQ(c.LogLevel(), llInfo);
  EXPECT_EQ(c.ThreadPriority(), tpNormal);
}

TEST_F(Scheduling, ModeOneRunsJobsOneAfterAnother) {
  const Fixtures::Media* sources[] = {&Fixtures::ClipAvi, &Fixtures::H264Mp4, &Fixtures::Mpeg2Vob};
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(AddCopyJob(*sources[i], std::to_string(i) + ".mkv"), i);
  std::atomic<int> startedTooEarly{0};
  Recorder.Attach(C, [&](int index) {
    if (index < 0 || index + 1 >= 3)
      return;
    // The next job has not started, and does not while this event lasts.
    TFFmpeg& next = C.Jobs(index + 1);
    if (next.Engine->GetRunning() || next.Engine->GetTerminated() ||
        next.ThreadID != std::thread::id())
      ++startedTooEarly;
    std::this_thread::sleep_for(20ms);
  });
  C.StartJobs(1);
  ASSERT_TRUE(Recorder.WaitForBatchEnd());

  EXPECT_EQ(startedTooEarly, 0);
  EXPECT_EQ(TerminatedOrder(), (std::vector<int>{0, 1, 2, -1}));
  const auto ends = Recorder.Snapshot(TEvent::Terminate);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(ends[i].Finished) << i;
    EXPECT_FALSE(ends[i].Exception) << ends[i].Text;
    EXPECT_NE(ends[i].Thread, std::this_thread::get_id());
    EXPECT_EQ(ends[i].Thread, C.Jobs(i).ThreadID);
  }
  EXPECT_TRUE(ends[3].Finished);
  EXPECT_FALSE(ends[3].Exception);
  EXPECT_EQ(ends[3].Text, "");
  // Every event of a job comes after the previous job's end event returned.
  for (const TEvent& p : Recorder.Snapshot(TEvent::Progress)) {
    if (p.Index > 0) {
      EXPECT_GT(p.Time, ends[p.Index - 1].Time) << p.Index;
    }
  }
  for (int i = 0; i < 3; ++i) {
    const test::TFileSummary out = test::ReadBack(Folder / (std::to_string(i) + ".mkv"));
    EXPECT_TRUE(out.Opened) << i;
    EXPECT_EQ(out.Streams.size(), 2u) << i;
  }
}

TEST_F(Scheduling, ModeTwoRunsTwoJobsAtOnceOnTwoThreads) {
  TSlowSource first(Folder / "first.mkv", Fixtures::MultiAudioMkv.Name, 0.7);
  TSlowSource second(Folder / "second.mkv", Fixtures::MultiAudioMkv.Name, 0.7);
  ASSERT_EQ(AddCopyJob(first.Path, "0.mkv"), 0);
  ASSERT_EQ(AddCopyJob(second.Path, "1.mkv"), 1);
  ASSERT_EQ(AddCopyJob(Fixtures::ClipAvi, "2.mkv"), 2);
  Recorder.Attach(C);
  C.StartJobs(2);

  // Both wait for the rest of their source, at the same time.
  const auto running = [&](int index) { return C.Jobs(index).Engine->GetRunning(); };
  EXPECT_TRUE(WaitUntil([&] { return running(0) && running(1); }));
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(running(0) && running(1));
  EXPECT_FALSE(running(2) || C.Jobs(2).Engine->GetTerminated()); // its turn has not come
  first.Release();
  second.Release();
  ASSERT_TRUE(Recorder.WaitForBatchEnd());

  const auto order = TerminatedOrder();
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order.back(), -1);
  EXPECT_EQ(std::set<int>(order.begin(), order.end() - 1), (std::set<int>{0, 1, 2}));
  EXPECT_NE(order[0], 2); // the third job ran only after one of the first two ended
  std::set<std::thread::id> threads;
  for (const TEvent& e : Recorder.Snapshot(TEvent::Terminate))
    if (e.Index >= 0) {
      EXPECT_TRUE(e.Finished) << e.Index << " " << e.Text;
      EXPECT_EQ(e.Thread, C.Jobs(e.Index).ThreadID);
      threads.insert(e.Thread);
    }
  EXPECT_EQ(threads.size(), 3u);
}

TEST_F(Scheduling, ModeZeroStartsEachJob100msAfterItsTurn) {
  for (const bool ownerLoop : {true, false}) {
    SCOPED_TRACE(ownerLoop ? "owner's loop" : "no loop");
    TQxAVConverter c;
    c.SetLogLevel(llQuiet);
    TEventRecorder recorder;
    recorder.Attach(c);
    TEventLoop loop;
    if (ownerLoop)
      loop.Attach(c);
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(c.AddInput(Fixtures::MediaPath(Fixtures::ClipAvi.Name)), i) << c.LastError;
      TOutputOptions o = CopyRecord();
      ASSERT_TRUE(c.SetOutput(i, Folder / (std::to_string(ownerLoop) + std::to_string(i) + ".mkv"), &o));
    }
    const auto begin = TClock::now();
    c.StartJobs(0);
    ASSERT_TRUE(loop.RunUntil([&] { return recorder.BatchEnded(); }));

    const auto ends = recorder.Snapshot(TEvent::Terminate);
    ASSERT_EQ(ends.size(), 3u);
    EXPECT_GE(ends[0].Time - begin, 100ms);
    EXPECT_GE(ends[1].Time - ends[0].Time, 100ms);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(ends[i].Index, i);
      EXPECT_TRUE(ends[i].Finished);
      EXPECT_EQ(ends[i].Thread == std::this_thread::get_id(), ownerLoop);
    }
    EXPECT_EQ(loop.Delays, ownerLoop ? (std::vector<int>{100, 100}) : std::vector<int>{});
  }
}

TEST_F(Scheduling, StopBeforeAnyStartEndsEveryJobUnfinished) {
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(AddCopyJob(Fixtures::ClipAvi, std::to_string(i) + ".mkv"), i);
  Recorder.Attach(C);
  C.StopJobs();
  ASSERT_TRUE(Recorder.WaitForBatchEnd());
  const auto ends = Recorder.Snapshot(TEvent::Terminate);
  ASSERT_EQ(ends.size(), 4u);
  std::set<int> jobs;
  for (int i = 0; i < 3; ++i) {
    jobs.insert(ends[i].Index);
    EXPECT_FALSE(ends[i].Finished);
    EXPECT_FALSE(ends[i].Exception);
    EXPECT_NE(ends[i].Thread, std::this_thread::get_id());
  }
  EXPECT_EQ(jobs, (std::set<int>{0, 1, 2}));
  EXPECT_EQ(ends[3].Index, -1);
  EXPECT_TRUE(ends[3].Finished);
  // Ended jobs are not run again.
  C.StartJobs(1);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Recorder.Snapshot(TEvent::Terminate).size(), 4u);
}

TEST_F(Scheduling, StopMidRunEndsTheRunningJobWithItsTrailer) {
  TSlowSource slow(Folder / "slow.mkv", Fixtures::MultiAudioMkv.Name, 0.7);
  ASSERT_EQ(AddCopyJob(slow.Path, "0.mkv"), 0);
  ASSERT_EQ(AddCopyJob(Fixtures::ClipAvi, "1.mkv"), 1);
  Recorder.Attach(C);
  C.StartJobs(1);
  ASSERT_TRUE(WaitUntil([&] { return C.Jobs(0).Engine->GetRunning(); }));
  std::this_thread::sleep_for(100ms); // through what it has, now waiting for more
  C.StopJobs();
  slow.Release(); // the read it waits in returns; the stop is seen next
  ASSERT_TRUE(Recorder.WaitForBatchEnd());

  // The job that never started may be told first: its notice comes from a
  // thread of its own.
  const auto ends = Recorder.Snapshot(TEvent::Terminate);
  ASSERT_EQ(ends.size(), 3u);
  EXPECT_EQ(std::set<int>({ends[0].Index, ends[1].Index}), (std::set<int>{0, 1}));
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(ends[i].Finished) << ends[i].Index;
    EXPECT_FALSE(ends[i].Exception) << ends[i].Text;
  }
  EXPECT_EQ(ends[2].Index, -1);

  const test::TFileSummary in = test::ReadBack(Fixtures::MediaPath(Fixtures::MultiAudioMkv.Name));
  const test::TFileSummary out = test::ReadBack(Folder / "0.mkv");
  ASSERT_TRUE(out.Opened);
  ASSERT_FALSE(out.Streams.empty());
  EXPECT_GT(out.Streams[0].Packets, 0);
  EXPECT_LT(out.Streams[0].Packets, in.Streams[0].Packets);
  EXPECT_GT(out.DurationSec, 0.0); // written by the trailer
}

TEST_F(Scheduling, DeletingAJobRenumbersTheLaterOnes) {
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(AddCopyJob(Fixtures::ClipAvi, std::to_string(i) + ".mkv"), i);
  C.DeleteJob(1);
  ASSERT_EQ(C.JobCount(), 3);
  std::vector<std::string> outputsByIndex(3);
  Recorder.Attach(C, [&](int index) {
    if (index >= 0)
      outputsByIndex[size_t(index)] = C.Jobs(index).OutputOptions.FileName;
  });
  C.StartJobs(1);
  ASSERT_TRUE(Recorder.WaitForBatchEnd());
  EXPECT_EQ(TerminatedOrder(), (std::vector<int>{0, 1, 2, -1}));
  EXPECT_EQ(outputsByIndex, (std::vector<std::string>{Folder / "0.mkv", Folder / "2.mkv",
                                                      Folder / "3.mkv"}));
  for (const TEvent& p : Recorder.Snapshot(TEvent::Progress))
    EXPECT_TRUE(p.Index >= 0 && p.Index < 3) << p.Index;
  EXPECT_FALSE(std::filesystem::exists(Folder / "1.mkv")); // never written: removed with its job
  EXPECT_THROW(C.DeleteJob(3), std::out_of_range);
}

TEST_F(Scheduling, HookEventsCarryTheJobIndexAndTheAnswers) {
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(C.AddInput(Fixtures::MediaPath(Fixtures::ClipAvi.Name)), i);
  TOutputOptions custom, before;
  custom.EnableCustomHook = true;
  before.EnableBeforeHook = true;
  ASSERT_TRUE(C.SetOutput(0, Folder / "custom.mkv", &custom)) << C.LastError;
  ASSERT_TRUE(C.SetOutput(1, Folder / "before.mkv", &before)) << C.LastError;
  std::string seen;
  C.OnCustomHook = [&](int index, THookBitmap& bitmap, int frame, int64_t pts, bool& update,
                       bool& stop) {
    seen += "custom " + std::to_string(index) + " " + std::to_string(bitmap.Width) + " " +
            std::to_string(frame) + " " + std::to_string(pts) + ";";
    update = false;
    stop = true;
  };
  C.OnBeforeHook = [&](int index, int64_t pts, THookAction& action) {
    seen += "before " + std::to_string(index) + " " + std::to_string(pts) + ";";
    action = haIgnore;
  };

  TCustomFFmpeg& first = *C.Jobs(0).Engine;
  TCustomFFmpeg& second = *C.Jobs(1).Engine;
  const auto& customHook = first.GetCustomHookCallback();
  const auto& beforeHook = second.GetBeforeHookCallback();
  ASSERT_TRUE(customHook);
  ASSERT_TRUE(beforeHook);
  EXPECT_FALSE(first.GetBeforeHookCallback() || second.GetCustomHookCallback());
  THookBitmap bitmap;
  bitmap.SetSize(16, 8);
  bool update = true, stop = false;
  customHook.Func(customHook.Context, &first, bitmap, 3, 120000, update, stop);
  THookAction action = haContinue;
  beforeHook.Func(beforeHook.Context, &second, 40000, action);
  EXPECT_EQ(seen, "custom 0 16 3 120000;before 1 40000;");
  EXPECT_FALSE(update);
  EXPECT_TRUE(stop);
  EXPECT_EQ(action, haIgnore);
}

TEST_F(Scheduling, AJobWithoutOutputEndsWithItsError) {
  ASSERT_EQ(C.AddInput(Fixtures::MediaPath(Fixtures::ClipAvi.Name)), 0);
  Recorder.Attach(C);
  C.StartJobs(1);
  ASSERT_TRUE(Recorder.WaitForBatchEnd());
  const auto ends = Recorder.Snapshot(TEvent::Terminate);
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_FALSE(ends[0].Finished);
  EXPECT_TRUE(ends[0].Exception);
  EXPECT_EQ(ends[0].Text, "Must supply at least one output file");
  EXPECT_EQ(Recorder.Lines(0), (std::vector<std::string>{"Must supply at least one output file"}));
  EXPECT_EQ(Recorder.Snapshot(TEvent::Log).front().Level, llQuiet);
}

TEST_F(Scheduling, StartingAnEmptyListRaisesNothing) {
  Recorder.Attach(C);
  C.StartJobs(1);
  C.StartJobs(0);
  std::this_thread::sleep_for(150ms);
  EXPECT_TRUE(Recorder.Snapshot(TEvent::Terminate).empty());
}

TEST_F(Scheduling, ABrokenSourceIsRefusedWithTheEnginesReason) {
  for (const std::string name : {Fixtures::GarbageAvi, Fixtures::EmptyAvi, "missing.avi"}) {
    SCOPED_TRACE(name);
    const std::string path = Fixtures::MediaPath(name.c_str());
    TCustomFFmpeg engine;
    engine.Reset();
    ASSERT_FALSE(engine.OpenInputFile(path));
    C.LastError.clear();
    EXPECT_EQ(C.AddInput(path), -1);
    EXPECT_EQ(C.LastError, engine.GetLastError());
    EXPECT_FALSE(C.LastError.empty());
    EXPECT_EQ(C.JobCount(), 0);
  }
}

TEST_F(Scheduling, AnOutputThatCannotBeMadeFailsAndTheJobStays) {
  const struct Case {
    std::string Output;
    std::string Format;
    std::string Error; // empty: the engine's own text
  } cases[] = {
      {"/nonexistent-folder/out.mkv", "", ""},
      {Folder / "out.mkv", "no-such-format", "Unknown output format: no-such-format"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Output);
    const int index = C.AddInput(Fixtures::MediaPath(Fixtures::ClipAvi.Name));
    ASSERT_GE(index, 0);
    TOutputOptions o = CopyRecord();
    o.FileFormat = c.Format;
    EXPECT_FALSE(C.SetOutput(index, c.Output, &o));
    EXPECT_EQ(C.LastError, c.Error.empty() ? C.Jobs(index).Engine->GetLastError() : c.Error);
    EXPECT_FALSE(C.LastError.empty());
    EXPECT_EQ(C.JobCount(), index + 1);
  }
  for (int index : {C.JobCount(), -1})
    EXPECT_THROW(C.SetOutput(index, Folder / "x.mkv"), std::out_of_range) << index;
}
