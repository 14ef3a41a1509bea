// Jobs in worker processes: the worker's JSON protocol, and the runner that
// kestroconvert uses by default (crashes, stalls and stops cost one job).
#include "CliSupport.h"
#include "FixtureMedia.h"
#include "FixturePipe.h"
#include "MediaLibs.h"
#include "ProcessRunner.h"
#include "RecordJson.h"
#include "../engine/MediaReadBack.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>

using namespace kestro;
using namespace kestro::test;
namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

class Workers : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(LoadAllLibraries("", true));
    char pattern[] = "/tmp/kestro-worker-XXXXXX";
    Folder = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(Folder); }
  std::string Media(const char* name) { return Fixtures::MediaPath(name); }
  std::string Folder;
};

// Runs `kestroconvert --worker` with `job` on its standard input; killed and
// failed after 60 s.
TResult RunWorker(const std::string& job) {
  const std::string jobFile = fs::temp_directory_path() / ("kestro-job-" + std::to_string(getpid()));
  std::ofstream(jobFile) << job;
  TResult r;
  {
    const int saved = dup(STDIN_FILENO);
    const int in = open(jobFile.c_str(), O_RDONLY);
    dup2(in, STDIN_FILENO); // the child inherits it as its job
    close(in);
    r = RunCli({"--worker"}, {}, {}, 0, std::chrono::seconds(60));
    dup2(saved, STDIN_FILENO);
    close(saved);
  }
  fs::remove(jobFile);
  return r;
}

std::vector<json> Events(const TResult& r) {
  std::vector<json> events;
  for (const std::string& line : r.Lines()) {
    events.push_back(json::parse(line, nullptr, false));
    EXPECT_FALSE(events.back().is_discarded()) << "not JSON: " << line;
  }
  return events;
}

int CountResults(const std::vector<json>& events) {
  return int(std::count_if(events.begin(), events.end(),
                           [](const json& e) { return e.value("event", "") == "result"; }));
}

// The worker processes of `parent` still running.
std::vector<pid_t> Children(pid_t parent) {
  std::vector<pid_t> pids;
  std::error_code ignored;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(parent) + "/task", ignored)) {
    std::ifstream in(task.path() / "children");
    for (pid_t pid; in >> pid;)
      pids.push_back(pid);
  }
  return pids;
}

} // namespace

TEST_F(Workers, AWorkerRunsAJsonJobAndReportsOneResult) {
  const std::string output = Folder + "/clip.3gp";
  const json job = {{"source", Media("clip.avi")},
                    {"output", output},
                    {"output_options",
                     {{"FileFormat", "3gp"}, {"VideoCodec", "h263"}, {"FrameSize", "176x144"},
                      {"AudioCodec", "aac"}, {"AudioSampleRate", 8000}, {"AudioChannels", 1}}}};
  const TResult r = RunWorker(job.dump());
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  const std::vector<json> events = Events(r);
  ASSERT_FALSE(events.empty());
  int progress = 0;
  for (const json& e : events)
    if (e["event"] == "progress") {
      ++progress;
      for (const char* field : {"frame", "fps", "current_ms", "total_ms", "size", "speed"})
        EXPECT_TRUE(e.contains(field)) << e.dump();
    }
  EXPECT_GT(progress, 0);
  EXPECT_EQ(CountResults(events), 1);
  EXPECT_EQ(events.back(), (json{{"event", "result"}, {"status", "done"}, {"output", output}}));
  const TFileSummary out = ReadBack(output);
  ASSERT_TRUE(out.Opened);
  ASSERT_NE(out.First(AVMEDIA_TYPE_VIDEO), nullptr);
  EXPECT_EQ(out.First(AVMEDIA_TYPE_VIDEO)->Width, 176);
}

TEST_F(Workers, WorkersStartedAheadTakeTheJobsAndTheUnneededOnesGo) {
  struct Case {
    const char* Name;
    int Ahead, Jobs;
  } cases[] = {
      {"none started ahead", 0, 2},
      {"one per job", 2, 2},
      {"more than the jobs", 3, 1},
      {"a batch that never starts", 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<TWorkerJob> jobs;
    std::vector<std::string> outputs;
    for (int i = 0; i < c.Jobs; ++i) {
      // The source goes once its job is made: the worker reads it through
      // the descriptor that comes along with the job.
      const std::string source = Folder + "/source" + std::to_string(i) + ".avi";
      fs::copy_file(Media("small_176x144.avi"), source);
      TInputOptions input;
      InitInputOptions(input);
      input.FileName = source;
      TOutputOptions options;
      InitOutputOptions(options);
      json{{"FileFormat", "3gp"}, {"VideoCodec", "h263"}, {"FrameSize", "176x144"},
           {"AudioCodec", "aac"}, {"AudioSampleRate", 8000}, {"AudioChannels", 1}}
          .get_to(options);
      outputs.push_back(Folder + "/out" + std::to_string(i) + ".3gp");
      jobs.push_back(MakeWorkerJob(source, input, outputs.back(), options));
      fs::remove(source);
    }
    std::atomic<int> done{0};
    {
      TRunnerSettings settings;
      settings.WorkerPath = KESTROCONVERT;
      TProcessRunner runner(settings);
      runner.OnTerminate = [&](int index, bool converted, bool, const std::string& message) {
        if (index < 0)
          return;
        EXPECT_TRUE(converted) << "job " << index << ": " << message;
        done += converted ? 1 : 0;
      };
      runner.Prestart(c.Ahead);
      if (c.Jobs > 0) {
        runner.Start(std::move(jobs), 1);
        runner.Wait();
      }
    }
    EXPECT_EQ(done, c.Jobs);
    for (const std::string& output : outputs) {
      const TFileSummary out = ReadBack(output);
      ASSERT_TRUE(out.Opened) << output;
      ASSERT_NE(out.First(AVMEDIA_TYPE_VIDEO), nullptr);
      EXPECT_EQ(out.First(AVMEDIA_TYPE_VIDEO)->Width, 176);
    }
    // Every worker, whether it got a job or not, is gone and waited for.
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
  }
}

TEST_F(Workers, ABrokenJobGivesOneFailedResult) {
  struct Case {
    std::string Job, Message;
  } cases[] = {
      {"{\"source\": ", "the job is not valid JSON"},
      {"[1, 2]", "the job is not a JSON object"},
      {"{\"source\": \"" + Media("clip.avi") + "\"}", "the job has no \"output\" file name"},
      {json{{"source", Media("clip.avi")}, {"output", Folder + "/x.3gp"},
            {"output_options", {{"Title", std::string(600, 't')}}}}.dump(),
       "\"Title\" is longer than 511 bytes"},
      {json{{"source", Media("clip.avi")}, {"output", Folder + "/x.3gp"},
            {"output_options", {{"GOPSize", "twelve"}}}}.dump(),
       "type must be number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Job);
    const TResult r = RunWorker(c.Job);
    EXPECT_EQ(r.Status, 1);
    const std::vector<json> events = Events(r);
    ASSERT_EQ(events.size(), 1u) << r.Out;
    EXPECT_EQ(events[0].value("status", ""), "failed");
    EXPECT_NE(events[0].value("message", "").find(c.Message), std::string::npos) << events[0];
  }
  EXPECT_FALSE(fs::exists(Folder + "/x.3gp"));
}

TEST_F(Workers, WorkersGiveTheSameOutputsAsTheJobsInProcess) {
  const std::vector<std::string> sources = {Media("clip.avi"), Media("small_176x144.avi"),
                                            Media("song.mp3")};
  std::vector<std::string> workers = {"-p", "3gp", "-j", "2", "-o", Folder + "/workers", "--json"};
  std::vector<std::string> inProcess = {"-p", "3gp", "-j", "2", "-o", Folder + "/in", "--in-process"};
  workers.insert(workers.end(), sources.begin(), sources.end());
  inProcess.insert(inProcess.end(), sources.begin(), sources.end());
  const TResult viaWorkers = RunCli(workers);
  const TResult here = RunCli(inProcess);
  EXPECT_EQ(viaWorkers.Status, 0) << viaWorkers.Out << viaWorkers.Err;
  EXPECT_EQ(here.Status, 0) << here.Out << here.Err;

  const std::vector<json> events = Events(viaWorkers);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), (json{{"event", "end"}}));
  std::set<int> done;
  for (const json& e : events) {
    if (e["event"] == "end")
      continue;
    ASSERT_TRUE(e.contains("index") && e.contains("source")) << e;
    EXPECT_EQ(e["source"], sources.at(e["index"].get<size_t>()));
    if (e["event"] == "result" && e["status"] == "done")
      done.insert(e["index"].get<int>());
  }
  EXPECT_EQ(done, (std::set<int>{0, 1, 2}));

  size_t compared = 0;
  for (const auto& entry : fs::directory_iterator(Folder + "/in")) {
    SCOPED_TRACE(entry.path().filename().string());
    const TFileSummary a = ReadBack(entry.path());
    const TFileSummary b = ReadBack(Folder + "/workers/" + entry.path().filename().string());
    ASSERT_TRUE(a.Opened && b.Opened);
    ASSERT_EQ(a.Streams.size(), b.Streams.size());
    for (size_t s = 0; s < a.Streams.size(); ++s) {
      EXPECT_EQ(a.Streams[s].Codec, b.Streams[s].Codec);
      EXPECT_EQ(a.Streams[s].Packets, b.Streams[s].Packets);
    }
    EXPECT_EQ(fs::file_size(entry.path()),
              fs::file_size(Folder + "/workers/" + entry.path().filename().string()));
    ++compared;
  }
  EXPECT_EQ(compared, sources.size());
}

TEST_F(Workers, AKilledWorkerFailsItsJobAloneAndLeavesNoOutput) {
  TPipeSource slow(Folder + "/slow.avi", "clip.avi", 1, 0.4);
  const std::string quick = Media("small_176x144.avi");
  const std::string slowOutput = Folder + "/out/slow (3GPP 176x144).3gp";
  std::atomic<bool> quickDone{false};
  const TResult r = RunCli(
      {"-p", "3gp", "-j", "2", "-o", Folder + "/out", slow.Path, quick},
      [&](const std::string& line) {
        if (line.rfind("done: " + quick, 0) == 0)
          quickDone = true;
        return false;
      },
      [&](pid_t pid) {
        // Once the other job is done, the stalled one is the only worker left.
        for (int i = 0; i < 400 && !quickDone; ++i)
          std::this_thread::sleep_for(25ms);
        for (int i = 0; i < 400; ++i) {
          std::error_code ignored;
          if (fs::file_size(slowOutput, ignored) > 0 && !ignored)
            break;
          std::this_thread::sleep_for(25ms);
        }
        for (pid_t child : Children(pid))
          kill(child, SIGKILL);
      },
      0, std::chrono::seconds(60));
  EXPECT_EQ(r.Status, 1) << r.Out << r.Err;
  EXPECT_EQ(r.Lines(), (std::vector<std::string>{
                           "done: " + quick + " -> " + Folder + "/out/small_176x144 (3GPP 176x144).3gp",
                           "failed: " + slow.Path + ": The conversion stopped unexpectedly (SIGKILL)"}));
  EXPECT_FALSE(fs::exists(slowOutput));
  EXPECT_TRUE(fs::exists(Folder + "/out/small_176x144 (3GPP 176x144).3gp"));
}

TEST_F(Workers, AStalledJobIsFailedByTheWatchdog) {
  TPipeSource slow(Folder + "/slow.avi", "clip.avi", 1, 0.4);
  const std::string quick = Media("small_176x144.avi");
  const auto started = std::chrono::steady_clock::now();
  const TResult r = RunCli({"-p", "3gp", "-j", "2", "--stall-timeout", "2", "-o", Folder + "/out", slow.Path, quick},
                           {}, {}, 0, std::chrono::seconds(25));
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(r.Status, 1) << r.Out << r.Err;
  EXPECT_EQ(r.Lines(), (std::vector<std::string>{
                           "done: " + quick + " -> " + Folder + "/out/small_176x144 (3GPP 176x144).3gp",
                           "failed: " + slow.Path + ": No progress for 2 s"}));
  EXPECT_FALSE(fs::exists(Folder + "/out/slow (3GPP 176x144).3gp"));
  EXPECT_GE(took, 2s);
  EXPECT_LT(took, 10s);
}

TEST_F(Workers, InterruptEndsEveryWorkerWithinOneSecond) {
  TPipeSource first(Folder + "/first.avi", "clip.avi", 1, 0.4);
  TPipeSource second(Folder + "/second.avi", "clip.avi", 1, 0.4);
  std::vector<pid_t> workers;
  std::chrono::steady_clock::time_point interrupted;
  const TResult r = RunCli({"-p", "3gp", "-j", "2", "-o", Folder + "/out", first.Path, second.Path}, {},
                           [&](pid_t pid) {
                             for (int i = 0; i < 400 && Children(pid).size() < 2; ++i)
                               std::this_thread::sleep_for(25ms);
                             std::this_thread::sleep_for(300ms); // both read their share
                             workers = Children(pid);
                             kill(pid, SIGINT);
                             interrupted = std::chrono::steady_clock::now();
                           },
                           0, std::chrono::seconds(60));
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, 1s);
  EXPECT_EQ(r.Status, 130) << r.Out << r.Err;
  EXPECT_EQ(workers.size(), 2u);
  for (pid_t worker : workers)
    EXPECT_NE(kill(worker, 0), 0) << "worker " << worker << " is still there";
}

TEST_F(Workers, ACrashingOrRunawayHookFailsItsJobAlone) {
  struct Case {
    std::string Hook, Message;
  } cases[] = {
      {"testhook_crash.so", "The conversion stopped unexpectedly (SIGSEGV)"},
      {"testhook_hog.so", "The conversion stopped unexpectedly (SIGABRT)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Hook);
    if (c.Hook == "testhook_hog.so" && !TProcessRunner::MemoryCapApplies())
      continue; // uncapped, it would take the machine's memory
    const std::string source = Media("clip.avi");
    const std::string out = Folder + "/" + c.Hook;
    const TResult r = RunCli({"-p", "3gp", "--memory-limit", "1G", "-o", out, "-x",
                              std::string("vhook=") + KESTRO_HOOK_DIR + "/" + c.Hook, source},
                             {}, {}, 0, std::chrono::seconds(60));
    EXPECT_EQ(r.Status, 1) << r.Out << r.Err;
    // In an instrumented build the sanitizer catches the crash itself and
    // ends the worker with its own exit status instead of the signal.
    const std::string message = TProcessRunner::MemoryCapApplies()
                                    ? c.Message
                                    : "The conversion stopped unexpectedly (exit status 1)";
    EXPECT_EQ(r.Lines(), std::vector<std::string>{"failed: " + source + ": " + message});
    EXPECT_TRUE(fs::is_empty(out)) << "the crashed job's output is removed";
  }
}

TEST_F(Workers, BadLimitsAreUsageErrors) {
  struct Case {
    std::vector<std::string> Args;
    std::string Message;
  } cases[] = {
      {{"--stall-timeout", "0"}, "'0' is not a number of seconds (1 to 86400)"},
      {{"--stall-timeout", "2s"}, "'2s' is not a number of seconds (1 to 86400)"},
      {{"--memory-limit", "4T"}, "'4T' is not a memory size (e.g. 512M, 4G)"},
      {{"--memory-limit", "-1G"}, "'-1G' is not a memory size (e.g. 512M, 4G)"},
      {{"--memory-limit", "0"}, "'0' is not a memory size (e.g. 512M, 4G)"},
  };
  for (Case& c : cases) {
    c.Args.push_back(Media("clip.avi"));
    const TResult r = RunCli(c.Args);
    EXPECT_EQ(r.Status, 2) << r.Err;
    EXPECT_NE(r.Err.find("kestroconvert: " + c.Message), std::string::npos) << r.Err;
  }
}
