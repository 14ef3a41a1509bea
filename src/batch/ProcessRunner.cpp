#include "ProcessRunner.h"

#include "InputSource.h"
#include "RecordJson.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace kestro {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// One running worker: its process, the read end of its output and what it said.
struct TProcessRunner::TWorker {
  int Index = -1;
  pid_t Pid = -1;
  int Out = -1;
  std::string Pending;
  Clock::time_point LastProgress;
  bool HasResult = false, Done = false, Stalled = false;
  std::string Message;
};

namespace {

// A file descriptor closed with its owner.
struct TFd {
  int Fd = -1;
  ~TFd() {
    if (Fd >= 0)
      close(Fd);
  }
};

constexpr int SourceFd = 3;

std::string SignalName(int signal) {
  if (const char* abbrev = sigabbrev_np(signal))
    return std::string("SIG") + abbrev;
  return strsignal(signal);
}

// Sends `text`, with `passed` (a descriptor, or -1) riding along its first
// bytes, over the socket `fd`.
void SendWithDescriptor(int fd, const std::string& text, int passed) {
  size_t done = 0;
  if (passed >= 0 && !text.empty()) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec part{const_cast<char*>(text.data()), text.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &passed, sizeof(int));
    ssize_t n;
    while ((n = sendmsg(fd, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    if (n <= 0)
      return;
    done = size_t(n);
  }
  for (; done < text.size();) {
    const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    done += size_t(n);
  }
}

} // namespace

TWorkerJob MakeWorkerJob(const std::string& source, const TInputOptions& input,
                         const std::string& output, const TOutputOptions& options) {
  const bool stream = TInputSource::IsStream(source);
  const bool reserved = bool(std::ofstream{output, std::ios::app});
  return {source, output, input, options,
          stream ? -1 : open(source.c_str(), O_RDONLY | O_CLOEXEC), reserved, {}};
}

TWorkerJob PlanWorkerJob(const TPresetRow& row, int64_t limitBytes, const std::string& source,
                         const TInputOptions& input, bool sameFolder,
                         const std::string& outputFolder, const TAVProbe& probe,
                         const std::string& extraLines) {
  TSizeFit fit;
  TOutputPlan plan =
      limitBytes > 0 ? PlanSizedOutput(row, limitBytes, source, sameFolder, outputFolder, probe,
                                       input.ExtraOptions + extraLines, fit)
                     : PlanOutput(row, source, sameFolder, outputFolder, probe);
  TWorkerJob job;
  if (fit.Error.empty()) {
    plan.Options.ExtraOptions += extraLines;
    job = MakeWorkerJob(source, input, plan.FileName, plan.Options);
  } else {
    job.Source = source;
    job.Input = input;
  }
  job.Fit = fit;
  return job;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTRO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KESTRO_SANITIZED 1
#endif
#endif

bool TProcessRunner::MemoryCapApplies() {
#ifdef KESTRO_SANITIZED
  return false;
#else
  return true;
#endif
}

TProcessRunner::TProcessRunner(TRunnerSettings settings) : Settings(std::move(settings)) {
  if (pipe2(WakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
    WakeFds[0] = WakeFds[1] = -1;
}

TProcessRunner::~TProcessRunner() {
  Stop();
  Wait();
  EndSpares(); // started ahead for a batch that never began
  for (int fd : WakeFds)
    if (fd >= 0)
      close(fd);
  for (const TWorkerJob& job : Jobs) // jobs that never began
    if (job.SourceFd >= 0)
      close(job.SourceFd);
}

std::string CoreShareLine(int jobsAtOnce) {
  const int cores = std::max(1, int(std::thread::hardware_concurrency()));
  return "cores=" + std::to_string(std::max(1, cores / std::max(1, jobsAtOnce))) + "\n";
}

void TProcessRunner::Start(std::vector<TWorkerJob> jobs, int parallel) {
  Jobs = std::move(jobs);
  Parallel = std::max(1, parallel);
  Pids.assign(Jobs.size(), -1);
  Runner = std::thread([this] { Loop(); });
}

void TProcessRunner::Stop() {
  Stopping = true;
  if (WakeFds[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(WakeFds[1], &byte, 1);
  }
}

void TProcessRunner::Wait() {
  if (Runner.joinable())
    Runner.join();
}

pid_t TProcessRunner::WorkerPid(int index) const {
  std::lock_guard<std::mutex> guard(PidLock);
  return index >= 0 && index < int(Pids.size()) ? Pids[index] : -1;
}

bool TProcessRunner::Spawn(TSpare& spare) const {
  int in[2], out[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0)
    return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  // Everything the child needs is made before fork: after it only calls
  // that are safe in a copy of a threaded process.
  const std::string workerFlag = "--worker";
  char* const argv[] = {const_cast<char*>(Settings.WorkerPath.c_str()),
                        const_cast<char*>(workerFlag.c_str()), nullptr};
  const rlimit memory{rlim_t(Settings.MemoryLimit), rlim_t(Settings.MemoryLimit)};
  const bool capMemory = Settings.MemoryLimit && MemoryCapApplies();
  const pid_t pid = fork();
  if (pid == 0) {
    if (capMemory)
      setrlimit(RLIMIT_AS, &memory);
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    execv(argv[0], argv);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (pid < 0) {
    close(in[1]);
    close(out[0]);
    return false;
  }
  spare = {pid, in[1], out[0]};
  return true;
}

void TProcessRunner::Prestart(int count) {
  for (int i = 0; i < count; ++i) {
    TSpare spare;
    if (!Spawn(spare))
      return; // the jobs start their own workers
    Spares.push_back(spare);
  }
}

void TProcessRunner::EndSpares() {
  // They hold no job and no output: nothing is lost.
  for (const TSpare& spare : Spares) {
    kill(spare.Pid, SIGKILL);
    close(spare.In);
    close(spare.Out);
    while (waitpid(spare.Pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  Spares.clear();
}

bool TProcessRunner::Launch(int index, TWorker& worker) {
  const TWorkerJob& job = Jobs[index];
  // The source opened when its job was added goes along with the job.
  TFd source;
  std::swap(source.Fd, Jobs[index].SourceFd);
  TOutputOptions options = job.Options;
  // A batch smaller than the jobs at once leaves its jobs the cores.
  options.ExtraOptions = CoreShareLine(std::min(Parallel, int(Jobs.size()))) + options.ExtraOptions;
  json request = {{"source", job.Source},
                  {"output", job.Output},
                  {"input_options", job.Input},
                  {"output_options", options},
                  {"log_level", int(Settings.LogLevel)}};
  if (source.Fd >= 0)
    request["source_fd"] = SourceFd;
  if (job.Fit.LimitBytes > 0)
    request["size_limit"] = job.Fit;
  const std::string text = request.dump(-1, ' ', false, json::error_handler_t::replace);
  TSpare spare;
  if (!Spares.empty()) {
    spare = Spares.front();
    Spares.erase(Spares.begin());
  } else if (!Spawn(spare))
    return false;
  SendWithDescriptor(spare.In, text, source.Fd); // a job is far smaller than a socket's buffer
  close(spare.In);
  worker.Index = index;
  worker.Pid = spare.Pid;
  worker.Out = spare.Out;
  worker.LastProgress = Clock::now();
  std::lock_guard<std::mutex> guard(PidLock);
  Pids[index] = spare.Pid;
  return true;
}

void TProcessRunner::HandleLine(TWorker& worker, const std::string& line) {
  json event;
  try {
    event = json::parse(line);
  } catch (const json::exception&) {
    return; // not one of ours: a library writing to standard output
  }
  const std::string kind = event.value("event", "");
  if (kind == "progress") {
    worker.LastProgress = Clock::now();
    if (OnProgress)
      OnProgress(worker.Index, event.value("frame", 0), event.value("fps", 0),
                 event.value("current_ms", 0), 0.0f, 0.0f, event.value("size", int64_t(0)),
                 event.value("total_ms", 0));
  } else if (kind == "log") {
    if (OnLog)
      OnLog(worker.Index, event.value("level", "") == "error" ? llError : llInfo,
            event.value("message", ""));
  } else if (kind == "result") {
    worker.HasResult = true;
    worker.Done = event.value("status", "") == "done";
    worker.Message = event.value("message", "");
  }
}

void TProcessRunner::RemoveOutput(int index, bool onlyEmpty) {
  std::error_code error;
  const std::string& path = Jobs[index].Output;
  if (!onlyEmpty || (std::filesystem::file_size(path, error) == 0 && !error))
    std::filesystem::remove(path, error);
}

void TProcessRunner::Finish(TWorker& worker) {
  close(worker.Out);
  int status = 0;
  while (waitpid(worker.Pid, &status, 0) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard<std::mutex> guard(PidLock);
    Pids[worker.Index] = -1;
  }
  bool exception = false;
  std::string message = worker.Message;
  if (worker.Stalled) {
    exception = true;
    message = "No progress for " + std::to_string(Settings.StallTimeoutS) + " s";
  } else if (!worker.HasResult || WIFSIGNALED(status)) {
    exception = true;
    message = "The conversion stopped unexpectedly (" +
              (WIFSIGNALED(status) ? SignalName(WTERMSIG(status))
                                   : "exit status " + std::to_string(WEXITSTATUS(status))) +
              ")";
  } else if (!worker.Done) {
    exception = message != "stopped";
    if (!exception)
      message.clear();
  }
  if (exception && (worker.Stalled || !worker.HasResult || WIFSIGNALED(status)))
    RemoveOutput(worker.Index, false); // whatever the worker left is no usable output
  else if (!worker.Done)
    RemoveOutput(worker.Index, true);
  if (OnTerminate)
    OnTerminate(worker.Index, worker.Done && !worker.Stalled, exception, message);
}

void TProcessRunner::Loop() {
  std::vector<std::unique_ptr<TWorker>> running;
  size_t next = 0;
  bool termSent = false;
  Clock::time_point stopAt;
  while (true) {
    if (Stopping && !termSent) {
      termSent = true;
      stopAt = Clock::now();
      for (auto& w : running)
        kill(w->Pid, SIGTERM);
      EndSpares();
      for (; next < Jobs.size(); ++next) { // never begun
        RemoveOutput(int(next), true);
        if (OnTerminate)
          OnTerminate(int(next), false, false, "");
      }
    }
    while (!Stopping && next < Jobs.size() && int(running.size()) < Parallel) {
      auto worker = std::make_unique<TWorker>();
      const int index = int(next++);
      std::error_code error;
      if (Jobs[index].OutputReserved && !std::filesystem::exists(Jobs[index].Output, error)) {
        // The name taken for it went, with its folder perhaps, before it began.
        if (OnTerminate)
          OnTerminate(index, false, true,
                      "Output file '" + Jobs[index].Output +
                          "' was removed while it was being written");
      } else if (!Jobs[index].Fit.Error.empty()) { // known to fail before it runs
        if (OnTerminate)
          OnTerminate(index, false, true, SizeFitFailure(Jobs[index].Fit));
      } else if (Launch(index, *worker))
        running.push_back(std::move(worker));
      else if (OnTerminate)
        OnTerminate(index, false, true, std::string("cannot start a worker: ") + strerror(errno));
    }
    // The next job waiting finds its worker ready.
    if (!Stopping && next < Jobs.size() && Spares.empty()) {
      TSpare spare;
      if (Spawn(spare))
        Spares.push_back(spare);
    }
    if (running.empty())
      break;

    std::vector<pollfd> fds{{WakeFds[0], POLLIN, 0}};
    for (auto& w : running)
      fds.push_back({w->Out, POLLIN, 0});
    poll(fds.data(), nfds_t(fds.size()), 200);
    if (fds[0].revents) {
      char drain[64];
      while (read(WakeFds[0], drain, sizeof drain) > 0) {
      }
    }
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < running.size();) {
      TWorker& w = *running[i];
      bool ended = false;
      if (fds[i + 1].revents) {
        char buf[4096];
        const ssize_t n = read(w.Out, buf, sizeof buf);
        if (n > 0) {
          w.Pending.append(buf, size_t(n));
          for (size_t eol; (eol = w.Pending.find('\n')) != std::string::npos;) {
            const std::string line = w.Pending.substr(0, eol);
            w.Pending.erase(0, eol + 1);
            HandleLine(w, line);
          }
        } else if (n == 0 || errno != EINTR)
          ended = true;
      }
      if (!ended && !w.Stalled && !termSent && Settings.StallTimeoutS > 0 &&
          now - w.LastProgress > std::chrono::seconds(Settings.StallTimeoutS)) {
        w.Stalled = true;
        kill(w.Pid, SIGKILL);
      }
      if (!ended && termSent && now - stopAt > std::chrono::milliseconds(Settings.KillAfterMs))
        kill(w.Pid, SIGKILL);
      if (ended) {
        Finish(w);
        running.erase(running.begin() + long(i));
      } else
        ++i;
    }
  }
  EndSpares();
  if (OnTerminate)
    OnTerminate(-1, false, false, "");
}

} // namespace kestro
