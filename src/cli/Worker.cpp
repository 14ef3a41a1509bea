#include "Worker.h"

#include "QxAVConverter.h"
#include "RecordJson.h"
#include "Sandbox.h"
#include "SizeFit.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <iostream>
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
  TSizeFit Fit; // LimitBytes 0: no size limit
};

// The job read from `text`, or the reason it cannot be run. `passed` is the
// source's descriptor that came with it (-1: the one the job names).
std::string ReadJob(const std::string& text, int passed, TJob& job) {
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
          "/proc/self/fd/" + std::to_string(passed >= 0 ? passed : in["source_fd"].get<int>());
    if (in.contains("size_limit"))
      in["size_limit"].get_to(job.Fit);
    if (in.contains("log_level"))
      job.LogLevel = TLogLevel(in["log_level"].get<int>());
    return {};
  } catch (const std::exception& e) {
    return std::string("the job is not valid JSON: ") + e.what();
  }
}

// The job on standard input, read to its end. When standard input is the
// runner's socket, the source's open descriptor may come along: `passed`.
std::string ReadJobText(int& passed) {
  std::string text;
  char buffer[4096];
  for (;;) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec part{buffer, sizeof buffer};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = recvmsg(STDIN_FILENO, &message, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == ENOTSOCK) // a pipe or a file: no descriptor comes
      n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return text;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header))
      if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
          header->cmsg_len == CMSG_LEN(sizeof(int))) {
        if (passed >= 0)
          close(passed);
        std::memcpy(&passed, CMSG_DATA(header), sizeof(int));
      }
    text.append(buffer, size_t(n));
  }
}

} // namespace

int RunWorker(const std::string& libraryFolder) {
  TEventWriter events;
  // The libraries load before the job is read: a worker started ahead has
  // them ready when its job comes.
  TQxAVConverter converter;
  converter.SetLogLevel(llQuiet);
  const bool loaded = converter.LoadLibraries(libraryFolder, true);
  int passed = -1;
  const std::string text = ReadJobText(passed);
  if (text.empty())
    return 0; // started ahead, and no job came
  TJob job;
  if (const std::string problem = ReadJob(text, passed, job); !problem.empty()) {
    events.Failed(problem);
    return 1;
  }
  converter.SetLogLevel(job.LogLevel);
  converter.SetProgressInterval(200);
  if (!loaded) {
    events.Failed("the media libraries cannot be loaded: " + converter.LastError);
    return 1;
  }
  std::mutex lock;
  std::condition_variable allDone;
  bool finished = false, stopped = false;
  std::string outcome; // the pass's failure; empty when it converted
  std::atomic<int> pass{1}, passes{1}; // read by the progress events' thread
  converter.OnLog = [&](int, TLogLevel level, const std::string& message) {
    if (level != llQuiet)
      events.Write({{"event", "log"}, {"level", LevelName(level)}, {"message", message}});
  };
  const auto started = std::chrono::steady_clock::now();
  // The passes of a job count as one run: its progress goes through each.
  converter.OnProgress = [&](int, int frame, int fps, int current, float, float, int64_t size,
                             int total) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int64_t done = int64_t(pass.load() - 1) * total + current;
    events.Write({{"event", "progress"}, {"frame", frame}, {"fps", fps}, {"current_ms", done},
                  {"total_ms", int64_t(total) * passes.load()}, {"size", size},
                  {"speed", elapsed > 0 ? done / 1000.0 / elapsed : 0.0}});
  };
  converter.OnTerminate = [&](int index, bool done, bool exception, const std::string& message) {
    std::lock_guard<std::mutex> guard(lock);
    if (index == -1) {
      finished = true;
      allDone.notify_all();
    } else if (exception)
      outcome = message;
    else if (!done)
      outcome = "stopped";
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

  auto info = [&](const std::string& line) {
    if (job.LogLevel >= llInfo)
      events.Write({{"event", "log"}, {"level", "info"}, {"message", line}});
  };
  // One run of the job with `options`; an empty text when it converted.
  bool sandboxed = false;
  auto runPass = [&](const TOutputOptions& options, int number, int of) -> std::string {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (stopped)
        return "stopped";
      pass = number;
      passes = of;
      finished = false;
      outcome.clear();
    }
    converter.ClearJobs();
    TOutputOptions output = options;
    if (converter.AddInput(job.Source, &job.Input) < 0 ||
        !converter.SetOutput(0, job.Output, &output))
      return converter.LastError;
    // The source and the output are open: from here the job needs no
    // sockets, no programs and no files outside the output's folder.
    if (!sandboxed) {
      sandboxed = true;
      for (const std::string& missing : ApplyWorkerSandbox(job.Output))
        info(missing);
    }
    converter.StartJobs(1);
    std::unique_lock<std::mutex> guard(lock);
    if (stopped) { // came while the job was being started
      guard.unlock();
      converter.StopJobs();
      guard.lock();
    }
    while (!finished)
      allDone.wait_for(guard, std::chrono::milliseconds(100));
    return outcome;
  };

  std::string failure;
  if (job.Fit.LimitBytes > 0)
    failure = RunWithinSize(job.Fit, job.Options, job.Output, runPass, info);
  else
    failure = runPass(job.Options, 1, 1);
  const json result =
      failure.empty()
          ? json{{"event", "result"}, {"status", "done"}, {"output", job.Output}}
          : json{{"event", "result"}, {"status", "failed"}, {"message", failure}};
  events.Write(result);
  std::cout.flush();
  // The detached signal thread may still hold references: leave at once.
  std::_Exit(failure.empty() ? 0 : 1);
}

} // namespace kestro
