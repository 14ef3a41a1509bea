// Forty short jobs, two at a time, stopped at random moments and restarted
// twenty times: every job ends exactly once per batch, the batch end comes
// last, each source is converted in full in the end, and no thread, file
// descriptor, codec or empty output is left over.
#include "ConverterTestSupport.h"
#include "MediaReadBack.h"
#include "ReliabilitySupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <random>

using namespace kestro;
using namespace kestro::test;
namespace fs = std::filesystem;

namespace {

constexpr int JobCount = 40;
constexpr int Restarts = 20;
constexpr unsigned Seed = 20240611u;

// Even jobs re-encode (so codecs open and close), odd ones copy.
TOutputOptions RecordFor(int id) {
  if (id % 2)
    return CopyRecord();
  TOutputOptions o;
  o.VideoCodec = "mpeg4";
  o.AudioCodec = "mp2";
  return o;
}

} // namespace

TEST(Load, StopsAndRestartsLoseNothingAndLeakNothing) {
  TQxAVConverter c;
  ASSERT_TRUE(c.LoadLibraries("", true)) << c.LastError;
  c.SetLogLevel(llQuiet);
  TTempFolder folder;
  const std::string source = Fixtures::MediaPath(Fixtures::Small176Avi.Name);
  const TFileSummary original = ReadBack(source);
  ASSERT_TRUE(original.Opened);
  const auto output = [&](int id) { return folder / ("job" + std::to_string(id) + ".mkv"); };

  // A few whole jobs first: what the libraries make once per process then
  // exists before the counting starts, and the pace of a batch is known, so
  // that the stops fall inside the batches on any machine and build.
  constexpr int WarmUpJobs = 4;
  std::chrono::duration<double> perJob{};
  {
    TEventRecorder warmUp;
    warmUp.Attach(c);
    for (int i = 0; i < WarmUpJobs; ++i) {
      ASSERT_EQ(c.AddInput(source), i) << c.LastError;
      TOutputOptions o = RecordFor(i);
      ASSERT_TRUE(c.SetOutput(i, folder / ("warmup" + std::to_string(i) + ".mkv"), &o));
    }
    const auto start = TClock::now();
    c.StartJobs(2);
    ASSERT_TRUE(warmUp.WaitForBatchEnd(60s));
    perJob = (TClock::now() - start) / WarmUpJobs;
    c.ClearJobs();
  }
  const TProcessResources before = TProcessResources::Now();

  std::mt19937 random(Seed);
  std::uniform_real_distribution<double> stopShare(0.0, 0.3); // of the batch's expected time
  std::vector<bool> done(JobCount, false);
  int jobsStarted = 0, stoppedMidRun = 0, cancelledBeforeStart = 0, batches = 0;
  for (int round = 0; round <= Restarts; ++round) {
    const bool stopIt = round < Restarts; // the last batch runs to its end
    std::vector<int> ids; // list index -> job id
    for (int id = 0; id < JobCount; ++id)
      if (!done[id])
        ids.push_back(id);
    if (ids.empty())
      break;
    ++batches;
    SCOPED_TRACE("batch " + std::to_string(round));
    TEventRecorder recorder;
    recorder.Attach(c);
    for (size_t i = 0; i < ids.size(); ++i) {
      // What a stopped run left is a whole, playable file; the new run
      // starts it afresh.
      fs::remove(output(ids[i]));
      ASSERT_EQ(c.AddInput(source), int(i)) << c.LastError;
      TOutputOptions o = RecordFor(ids[i]);
      ASSERT_TRUE(c.SetOutput(int(i), output(ids[i]), &o)) << c.LastError;
    }
    c.StartJobs(2);
    if (stopIt) {
      std::this_thread::sleep_for(perJob * double(ids.size()) * stopShare(random));
      c.StopJobs();
    }
    ASSERT_TRUE(recorder.WaitForBatchEnd(120s)) << "the batch end never came";

    const std::vector<TEvent> ends = recorder.Snapshot(TEvent::Terminate);
    ASSERT_FALSE(ends.empty());
    EXPECT_EQ(ends.back().Index, -1) << "the batch end comes last";
    std::map<int, int> endsPerJob;
    for (const TEvent& e : ends)
      ++endsPerJob[e.Index];
    EXPECT_EQ(endsPerJob[-1], 1);
    for (size_t i = 0; i < ids.size(); ++i)
      EXPECT_EQ(endsPerJob[int(i)], 1) << "job " << i << " ends exactly once";
    EXPECT_EQ(endsPerJob.size(), ids.size() + 1) << "no event for a job that is not there";

    for (const TEvent& e : ends) {
      if (e.Index < 0)
        continue;
      const int id = ids[size_t(e.Index)];
      TFFmpeg& job = c.Jobs(e.Index);
      const TCustomFFmpeg& engine = *job.Engine;
      EXPECT_TRUE(engine.GetOpenEncoderCount() == 0 && engine.GetOpenDecoderCount() == 0)
          << "job " << id;
      EXPECT_FALSE(e.Exception) << e.Text;
      const bool ran = job.ThreadID != std::thread::id();
      jobsStarted += ran ? 1 : 0;
      if (e.Finished) {
        done[size_t(id)] = true;
        const TFileSummary out = ReadBack(output(id));
        ASSERT_TRUE(out.Opened) << output(id);
        const TStreamSummary* video = out.First(AVMEDIA_TYPE_VIDEO);
        ASSERT_NE(video, nullptr);
        EXPECT_EQ(video->Packets, Fixtures::Small176Avi.VideoFrames) << output(id);
        EXPECT_NE(out.First(AVMEDIA_TYPE_AUDIO), nullptr) << output(id);
      } else if (ran) {
        ++stoppedMidRun;
        // A stopped run keeps its trailer. One stopped before its first
        // packet holds headers alone, which not every container reads back.
        if (engine.GetVideoBytesWritten() + engine.GetAudioBytesWritten() > 0)
          EXPECT_TRUE(ReadBack(output(id)).Opened) << output(id);
        else
          EXPECT_GT(fs::file_size(output(id)), 0u) << output(id);
      } else {
        ++cancelledBeforeStart;
        EXPECT_FALSE(fs::exists(output(id))) << "a job that never ran leaves no file";
      }
    }
    EXPECT_EQ(EmptyFilesIn(folder.Path), std::vector<std::string>{});
    c.ClearJobs();
  }

  EXPECT_EQ(std::count(done.begin(), done.end(), true), JobCount) << "every source converted";
  const TProcessResources after = TProcessResources::Now();
  EXPECT_EQ(after.Threads, before.Threads);
  EXPECT_EQ(after.FileDescriptors, before.FileDescriptors);
  std::cout << "load: " << JobCount << " jobs, " << batches << " batches (" << Restarts
            << " stopped at random moments, seed " << Seed << "), " << jobsStarted
            << " runs started, " << stoppedMidRun << " stopped mid-run, " << cancelledBeforeStart
            << " cancelled before starting, " << std::count(done.begin(), done.end(), true)
            << " of " << JobCount << " converted in full; threads " << before.Threads << " -> "
            << after.Threads << ", descriptors " << before.FileDescriptors << " -> "
            << after.FileDescriptors << "\n";
}
