// Runs each job in a worker process of its own (kestroconvert --worker), so
// that a crash or a runaway job costs that job alone. The events are the
// component's: progress, log, and terminate with the job index, then -1 once
// every job has ended. They come on the runner's own thread.
#pragma once

#include "QxAVConverter.h"
#include "SizeFit.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestro {

struct TWorkerJob {
  std::string Source, Output;
  TInputOptions Input;
  TOutputOptions Options;
  // Opened when the job was added; the runner hands it to the worker and
  // closes it, so that a source removed meanwhile is still read. -1: none.
  int SourceFd = -1;
  bool OutputReserved = false; // an empty file holds the output's name
  // The size the output must fit (LimitBytes 0: none); a job whose fit has
  // an Error fails with it without running.
  TSizeFit Fit;
};

// A job for `source`, set up as the parent does it: a file is opened now (a
// pipe or a device is left for its worker to open, as it can be read once),
// and the output's name is taken at once with an empty file, so that the
// next job planned gets a name of its own.
TWorkerJob MakeWorkerJob(const std::string& source, const TInputOptions& input,
                         const std::string& output, const TOutputOptions& options);

// The job of `source` for `row`, planned from `probe` (open on the source,
// or not for a pipe) and set up by MakeWorkerJob. `extraLines` come after
// the row's own lines, so they win. With `limitBytes` above 0 the output is
// planned to fit it (the input's and the extra lines' ss and t shorten what
// must fit); a source that cannot fit gives a job that names no output, whose
// Fit.Error the runner reports without running it.
TWorkerJob PlanWorkerJob(const TPresetRow& row, int64_t limitBytes, const std::string& source,
                         const TInputOptions& input, bool sameFolder,
                         const std::string& outputFolder, const TAVProbe& probe,
                         const std::string& extraLines);

// The option line that shares the machine's cores among `jobsAtOnce` jobs:
// jobs times the threads of each stay within the cores. It goes before a
// job's own lines, so that a "cores" line of the user's wins.
std::string CoreShareLine(int jobsAtOnce);

struct TRunnerSettings {
  std::string WorkerPath;                 // the kestroconvert to run with --worker
  int StallTimeoutS = 120;                // no progress for this long fails the job
  uint64_t MemoryLimit = uint64_t(4) << 30; // address space per worker; 0: none
  int KillAfterMs = 5000;                 // after Stop, SIGKILL for workers still there
  TLogLevel LogLevel = llQuiet;
};

class TProcessRunner {
public:
  explicit TProcessRunner(TRunnerSettings settings);
  ~TProcessRunner(); // stops the workers and waits for them
  TProcessRunner(const TProcessRunner&) = delete;
  TProcessRunner& operator=(const TProcessRunner&) = delete;

  TLogEvent OnLog;
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;

  // Before Start: starts `count` workers now, which load the media libraries
  // while the caller plans the jobs; the first jobs go to them. Workers left
  // without a job end when the runner does.
  void Prestart(int count);
  // Starts the batch with up to `parallel` workers at once; returns at once.
  // While jobs wait, one more worker is started ahead for the next of them.
  void Start(std::vector<TWorkerJob> jobs, int parallel);
  // Any thread: SIGTERM to every worker (the outputs keep their trailers),
  // SIGKILL to those still there after KillAfterMs; jobs not begun end unfinished.
  void Stop();
  // Waits for the batch to end (no bound: callers bound it with Stop).
  void Wait();
  // False in sanitizer builds: their shadow memory needs more address space
  // than any sensible cap, so the workers run without one there.
  static bool MemoryCapApplies();
  // The worker process of a running job, or -1.
  pid_t WorkerPid(int index) const;

private:
  struct TWorker;
  // A worker process started ahead, waiting for its job.
  struct TSpare {
    pid_t Pid = -1;
    int In = -1;  // the job goes here (a socket: the source's descriptor goes along)
    int Out = -1; // its events
  };
  void Loop();
  bool Launch(int index, TWorker& worker);
  bool Spawn(TSpare& spare) const;
  // Ends the workers started ahead that got no job.
  void EndSpares();
  void HandleLine(TWorker& worker, const std::string& line);
  void Finish(TWorker& worker);
  // The output of a job that failed or never ran; `onlyEmpty`: a placeholder only.
  void RemoveOutput(int index, bool onlyEmpty);

  TRunnerSettings Settings;
  std::vector<TWorkerJob> Jobs;
  int Parallel = 1;
  mutable std::mutex PidLock;
  std::vector<pid_t> Pids;
  std::vector<TSpare> Spares; // used by the runner's thread once started
  std::atomic<bool> Stopping{false};
  int WakeFds[2] = {-1, -1}; // Stop wakes the loop's poll
  std::thread Runner;
};

} // namespace kestro
