#include "Worker.h"

#include "QxAVConverter.h"
#include "RecordJson.h"
#include "Sandbox.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <iterator>
#include <mutex>
#include <thread>

namespace kestro {

namespace {

using nlohmann::json;

class TEventWriter {
public:
  void Write(const json& event) {
    std::lock_guard<std::mutex> guard(Lock);
    std::cout << event.dump(-1, ' ', false, json::error_handler_t::replace) << "\n" << std::flush;
  }
  void Failed(const std::string& message) {
    Write({{"event", "result"}, {"status", "failed"}, {"message", message}});
  }

private:
  std::mutex Lock;
};

const char* LevelName(TLogLevel level) {
  switch (level) {
  case llQuiet: return "quiet";
  case llError: return "error";
  case llInfo: return "info";
  case llDebug: return "debug";
  default: return "all";
  }
}

struct TJob {
  std::string Source, Output;
  TInputOptions Input;
  TOutputOptions Options;
  TLogLevel LogLevel = llQuiet;
};

// The job read from `text`, or the reason it cannot be run.
std::string ReadJob(const std::string& text, TJob& job) {
  try {
    const json in = json::parse(text);
    if (!in.is_object())
      return "the job is not a JSON object";
    for (const char* field : {"source", "output"})
      if (!in.contains(field) || !in[field].is_string() || in[field].get<std::string>().empty())
        return std::string("the job has no \"") + field + "\" file name";
    job.Source = in["source"];
    job.Output = in["output"];
    InitInputOptions(job.Input);
    InitOutputOptions(job.Options);
    if (in.contains("input_options"))
      in["input_options"].get_to(job.Input);
    if (in.contains("output_options"))
      in["output_options"].get_to(job.Options);
    // The runner's open descriptor of the source, for a file removed since.
    if (in.contains("source_fd") && access(job.Source.c_str(), F_OK) != 0)
      job.Source = job.Input.FileName =
          "/proc/self/fd/" + std::to_string(in["source_fd"].get<int>());
    if (in.contains("log_level"))
      job.LogLevel = TLogLevel(in["log_level"].get<int>());
    return {};
  } catch (const std::exception& e) {
    return std::string("the job is not valid JSON: ") + e.what();
  }
}

} // namespace

int RunWorker(const std::string& libraryFolder) {
  TEventWriter events;
  TJob job;
  const std::string text{std::istreambuf_iterator<char>(std::cin), {}};
  if (const std::string problem = ReadJob(text, job); !problem.empty()) {
    events.Failed(problem);
    return 1;
  }

  TQxAVConverter converter;
  converter.SetLogLevel(job.LogLevel);
  converter.SetProgressInterval(200);
  if (!converter.LoadLibraries(libraryFolder, true)) {
    events.Failed("the media libraries cannot be loaded: " + converter.LastError);
    return 1;
  }
  std::mutex lock;
  std::condition_variable allDone;
  bool finished = false, stopped = false;
  json result;
  converter.OnLog = [&](int, TLogLevel level, const std::string& message) {
    if (level != llQuiet)
      events.Write({{"event", "log"}, {"level", LevelName(level)}, {"message", message}});
  };
  const auto started = std::chrono::steady_clock::now();
  converter.OnProgress = [&](int, int frame, int fps, int current, float, float, int64_t size,
                             int total) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    events.Write({{"event", "progress"}, {"frame", frame}, {"fps", fps}, {"current_ms", current},
                  {"total_ms", total}, {"size", size},
                  {"speed", elapsed > 0 ? current / 1000.0 / elapsed : 0.0}});
  };
  converter.OnTerminate = [&](int index, bool done, bool exception, const std::string& message) {
    std::lock_guard<std::mutex> guard(lock);
    if (index == -1) {
      finished = true;
      allDone.notify_all();
    } else if (exception)
      result = {{"event", "result"}, {"status", "failed"}, {"message", message}};
    else if (!done)
      result = {{"event", "result"}, {"status", "failed"}, {"message", "stopped"}};
    else
      result = {{"event", "result"}, {"status", "done"}, {"output", job.Output}};
  };

  // SIGINT/SIGTERM stop the job the way Ctrl-C does: the output is closed
  // properly. The thread is left blocked in sigwait when the job ends.
  std::thread([&converter, &lock, &allDone, &stopped] {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    int signal = 0;
    if (sigwait(&signals, &signal) == 0) {
      {
        std::lock_guard<std::mutex> guard(lock);
        stopped = true;
      }
      converter.Abort();
      allDone.notify_all();
    }
  }).detach();

  if (converter.AddInput(job.Source, &job.Input) < 0) {
    events.Failed(converter.LastError);
    return 1;
  }
  if (!converter.SetOutput(0, job.Output, &job.Options)) {
    events.Failed(converter.LastError);
    return 1;
  }
  // The source and the output are open: from here the job needs no sockets,
  // no programs and no files outside the output's folder.
  for (const std::string& missing : ApplyWorkerSandbox(job.Output))
    if (job.LogLevel >= llInfo)
      events.Write({{"event", "log"}, {"level", "info"}, {"message", missing}});
  converter.StartJobs(1);
  bool stopNow = false;
  {
    std::lock_guard<std::mutex> guard(lock);
    stopNow = stopped; // came while the job was being started
  }
  if (stopNow)
    converter.StopJobs();
  {
    std::unique_lock<std::mutex> guard(lock);
    while (!finished)
      allDone.wait_for(guard, std::chrono::milliseconds(100));
  }
  if (result.is_null())
    result = {{"event", "result"}, {"status", "failed"}, {"message", "stopped"}};
  events.Write(result);
  std::cout.flush();
  // The detached signal thread may still hold references: leave at once.
  std::_Exit(result["status"] == "done" ? 0 : 1);
}

} // namespace kestro
