// kestroconvert: the window's batch without a window.
#include "BatchOutput.h"
#include "ProcessRunner.h"
#include "QxAVConverter.h"
#include "RecordJson.h"
#include "SizeFit.h"
#include "InputSource.h"
#include "SourceCheck.h"
#include "Worker.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

using namespace kestro;
namespace fs = std::filesystem;

namespace {

const char* const Usage =
    "Usage: kestroconvert [OPTIONS] FILE...\n"
    "Converts every FILE with one output format preset.\n"
    "\n"
    "  -p, --preset TEXT          preset entry or its short name (default: the first)\n"
    "      --list-presets         print the presets (entry and short name) and exit;\n"
    "                             the user's own follow the built-in ones, from\n"
    "                             $XDG_CONFIG_HOME/KestroVideo/presets.json\n"
    "                             (default ~/.config/KestroVideo/presets.json)\n"
    "  -o, --output-dir DIR       output folder, created with its parents\n"
    "                             (default: the window's folder, else ~/KestroVideo)\n"
    "      --same-folder          write each output beside its source\n"
    "  -j, --jobs N               jobs at once (default 1; 0 = one per core)\n"
    "  -x, --option NAME=VALUE    option line for every output, after the preset's\n"
    "                             own, so it wins over them (repeatable)\n"
    "      --input-option NAME=VALUE  option line for every input (repeatable)\n"
    "      --log-level LEVEL      quiet, error, info, debug or all (to standard error)\n"
    "  -q, --quiet                no progress, no result lines\n"
    "      --json                 events as JSON lines on standard output (see README)\n"
    "      --in-process           run the jobs inside this process, not one worker each\n"
    "      --stall-timeout SECONDS  fail a job without progress this long (default 120)\n"
    "      --memory-limit SIZE    address space per worker, e.g. 512M or 4G (default 4G)\n"
    "      --max-size SIZE        keep each output at most SIZE, e.g. 8M, 500K, 1.5G\n"
    "                             (decimal: 1M = 1,000,000 bytes; Ki, Mi, Gi binary);\n"
    "                             any preset that encodes video\n"
    "  -h, --help                 this text\n"
    "      --                     end of the options: what follows are files\n"
    "      --version              the program's version\n";

std::atomic<bool> Interrupted{false};

// SIGINT and SIGTERM are taken by a thread of their own, where the batch can
// be stopped safely whatever the program is doing, even while a job opens a
// source that blocks. They are blocked before any other thread exists, so
// that every thread inherits the mask.
sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

class TSignalWatch {
public:
  // Runs `onSignal` on the watch thread at the first signal.
  explicit TSignalWatch(std::function<void()> onSignal)
      : Watcher([this, onSignal = std::move(onSignal)] {
          const sigset_t signals = StopSignals();
          int signal = 0;
          while (sigwait(&signals, &signal) == 0) {
            if (Ending)
              return;
            if (!Interrupted.exchange(true))
              onSignal();
          }
        }) {}
  ~TSignalWatch() {
    Ending = true;
    pthread_kill(Watcher.native_handle(), SIGTERM);
    Watcher.join();
  }

private:
  std::atomic<bool> Ending{false};
  std::thread Watcher;
};

std::string ExecutableFolder() {
  std::error_code ignored;
  const fs::path self = fs::read_symlink("/proc/self/exe", ignored);
  return self.empty() ? std::string(".") : self.parent_path().string();
}

// The window's saved output folder: "strOutput" in section "Main" of its
// conf.ini, beside the programs or in the user's configuration folder.
std::string SavedOutputFolder(const std::string& exeFolder) {
  const char* home = std::getenv("HOME");
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const std::string userConfig =
      (config && *config ? std::string(config) : std::string(home ? home : "") + "/.config") +
      "/KestroVideo/conf.ini";
  for (const std::string& path : {exeFolder + "/conf.ini", userConfig}) {
    std::ifstream ini(path);
    bool inMain = false;
    for (std::string line; std::getline(ini, line);) {
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      if (!line.empty() && line[0] == '[')
        inMain = line == "[Main]";
      else if (inMain && line.rfind("strOutput=", 0) == 0) {
        std::string value = line.substr(10);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
          value = value.substr(1, value.size() - 2);
        if (!value.empty())
          return value;
      }
    }
  }
  return DefaultOutputFolder();
}

struct TArguments {
  TPresetTable Presets;
  const TPresetRow* Preset = nullptr;
  std::string PresetName;
  bool ListPresets = false;
  std::string OutputDir;
  bool SameFolder = false;
  int Jobs = 1;
  std::string OutputOptions, InputOptions;
  TLogLevel LogLevel = llQuiet;
  bool Quiet = false;
  bool Json = false, InProcess = false;
  int StallTimeoutS = 120;
  uint64_t MemoryLimit = uint64_t(4) << 30;
  int64_t MaxSize = 0; // bytes; 0: the preset's own limit, if any
  std::vector<std::string> Files;
};

// Parses the command line; returns an exit status when the program is done.
std::optional<int> Parse(int argc, char** argv, TArguments& args) {
  auto fail = [](const std::string& message) {
    std::cerr << "kestroconvert: " << message << "\nTry 'kestroconvert --help'.\n";
    return std::optional<int>(2);
  };
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded) {
      args.Files.push_back(arg);
      continue;
    }
    if (arg == "--") { // what follows are file names, even "-dash.mp4"
      optionsEnded = true;
      continue;
    }
    std::string value;
    bool hasValue = false;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      value = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
      hasValue = true;
    }
    auto next = [&](std::string& out) {
      if (hasValue) {
        out = value;
        return true;
      }
      if (i + 1 >= argc)
        return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "-h" || arg == "--help") {
      std::cout << Usage;
      return 0;
    } else if (arg == "--version") {
      std::cout << "kestroconvert " << TQxAVConverter().GetVersion() << "\n";
      return 0;
    } else if (arg == "--list-presets") {
      args.ListPresets = true;
    } else if (arg == "--same-folder") {
      args.SameFolder = true;
    } else if (arg == "-q" || arg == "--quiet") {
      args.Quiet = true;
    } else if (arg == "--json") {
      args.Json = true;
    } else if (arg == "--in-process") {
      args.InProcess = true;
    } else if (arg == "--stall-timeout") {
      if (!next(v))
        return fail(arg + " needs a value");
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || n < 1 || n > 86400)
        return fail("'" + v + "' is not a number of seconds (1 to 86400)");
      args.StallTimeoutS = int(n);
    } else if (arg == "--memory-limit") {
      if (!next(v))
        return fail(arg + " needs a value");
      char* end = nullptr;
      const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
      const std::string unit = end ? end : "";
      const std::map<std::string, int> shifts = {{"", 0}, {"K", 10}, {"M", 20}, {"G", 30}};
      if (v.empty() || !std::isdigit((unsigned char)v[0]) || !shifts.count(unit) || n == 0 ||
          n > (uint64_t(1) << 50) >> shifts.at(unit))
        return fail("'" + v + "' is not a memory size (e.g. 512M, 4G)");
      args.MemoryLimit = uint64_t(n) << shifts.at(unit);
    } else if (arg == "--max-size") {
      if (!next(v))
        return fail(arg + " needs a value");
      const std::optional<int64_t> bytes = ParseSize(v);
      if (!bytes)
        return fail("'" + v + "' is not a size (e.g. 8M, 500K, 1.5G)");
      args.MaxSize = *bytes;
    } else if (arg == "-p" || arg == "--preset") {
      if (!next(args.PresetName))
        return fail(arg + " needs a value");
    } else if (arg == "-o" || arg == "--output-dir") {
      if (!next(args.OutputDir))
        return fail(arg + " needs a value");
    } else if (arg == "-j" || arg == "--jobs") {
      if (!next(v))
        return fail(arg + " needs a value");
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || n < 0 || n > 64)
        return fail("'" + v + "' is not a job count (0 to 64)");
      args.Jobs = n == 0 ? int(std::max(1u, std::thread::hardware_concurrency())) : int(n);
    } else if (arg == "-x" || arg == "--option" || arg == "--input-option") {
      if (!next(v))
        return fail(arg + " needs a value");
      if (v.find('=') == std::string::npos && v.empty())
        return fail("empty option");
      (arg == "--input-option" ? args.InputOptions : args.OutputOptions) += v + "\n";
    } else if (arg == "--log-level") {
      if (!next(v))
        return fail(arg + " needs a value");
      const std::map<std::string, TLogLevel> levels = {
          {"quiet", llQuiet}, {"error", llError}, {"info", llInfo}, {"debug", llDebug}, {"all", llAll}};
      if (!levels.count(v))
        return fail("unknown log level '" + v + "'");
      args.LogLevel = levels.at(v);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return fail("unknown option '" + arg + "'");
    } else {
      args.Files.push_back(arg);
    }
  }
  // A broken presets file leaves the built-in rows, and says so.
  args.Presets = LoadPresetTable();
  if (!args.Presets.Error.empty())
    std::cerr << "kestroconvert: " << args.Presets.Error << "\n";
  if (args.ListPresets) {
    for (const TPresetRow& row : args.Presets.Rows())
      std::cout << row.Text << "\t" << row.Name << "\n";
    return 0;
  }
  args.Preset = args.PresetName.empty() ? &args.Presets.Rows().front()
                                        : args.Presets.Find(args.PresetName);
  if (!args.Preset)
    return fail("unknown preset '" + args.PresetName + "' (see --list-presets)");
  if (args.MaxSize == 0)
    args.MaxSize = args.Preset->SizeLimitBytes;
  if (args.MaxSize > 0 && args.InProcess)
    return fail("a size limit needs the workers: leave out --in-process");
  if (args.Files.empty())
    return fail("no input files");
  return std::nullopt;
}

std::string Clock(double seconds) {
  const int s = int(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%d:%02d", s / 60, s % 60);
  return text;
}

} // namespace

int main(int argc, char** argv) {
  const sigset_t stopSignals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  if (argc == 2 && std::string(argv[1]) == "--worker")
    return RunWorker(ExecutableFolder() + "/lib");
  TArguments args;
  if (std::optional<int> done = Parse(argc, argv, args))
    return *done;
  const std::string exeFolder = ExecutableFolder();
  if (args.OutputDir.empty() && !args.SameFolder)
    args.OutputDir = SavedOutputFolder(exeFolder);

  TRunnerSettings settings;
  std::error_code noSelf;
  settings.WorkerPath = fs::read_symlink("/proc/self/exe", noSelf).string();
  settings.StallTimeoutS = args.StallTimeoutS;
  settings.MemoryLimit = args.MemoryLimit;
  settings.LogLevel = args.LogLevel;
  TProcessRunner runner(settings);
  // The first workers load the libraries while this process loads its own
  // and plans the jobs.
  if (!args.InProcess)
    runner.Prestart(std::min(args.Jobs, int(args.Files.size())));

  TQxAVConverter converter;
  converter.SetLogLevel(args.LogLevel);
  converter.SetProgressInterval(200);
  if (!converter.LoadLibraries(exeFolder + "/lib", true)) {
    std::cerr << "kestroconvert: the media libraries cannot be loaded: " << converter.LastError
              << "\n";
    return 1;
  }
  if (!args.SameFolder) {
    std::error_code error;
    fs::create_directories(args.OutputDir, error);
    if (error || !fs::is_directory(args.OutputDir)) {
      std::cerr << "kestroconvert: cannot create the output folder '" << args.OutputDir
                << "': " << error.message() << "\n";
      return 1;
    }
  }

  std::mutex lock;
  std::condition_variable allDone;
  bool finished = false;
  int failures = 0;
  const bool terminal = isatty(STDOUT_FILENO) && !args.Quiet && !args.Json;
  struct TJobView {
    std::string Source, Output;
    int Percent = 0;
    double Speed = 0, Left = -1;
    bool Running = false;
    std::chrono::steady_clock::time_point Started;
  };
  std::vector<TJobView> jobs; // by job index; fixed once the batch starts
  std::vector<TWorkerJob> workerJobs; // by job index, for the runner
  // One JSON line per event; the job's index and source when it has one.
  auto emit = [&](nlohmann::json event, int index, const std::string& source) {
    if (index >= 0)
      event["index"] = index;
    if (!source.empty())
      event["source"] = source;
    std::cout << event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n"
              << std::flush;
  };
  auto print = [&](const std::string& line) {
    if (!args.Quiet && !args.Json)
      std::cout << (terminal ? "\r\033[K" : "") << line << "\n" << std::flush;
  };

  converter.OnLog = [&](int AIndex, TLogLevel ALogLevel, const std::string& AMsg) {
    // A failed run's own message comes at the level always shown; its
    // result line says it already.
    if (ALogLevel == llQuiet)
      return;
    std::lock_guard<std::mutex> guard(lock);
    if (args.Json)
      emit({{"event", "log"}, {"level", ALogLevel == llError ? "error" : "info"}, {"message", AMsg}},
           AIndex, AIndex >= 0 && AIndex < int(jobs.size()) ? jobs[AIndex].Source : std::string());
    else
      std::cerr << AMsg << "\n";
  };
  converter.OnProgress = [&](int AIndex, int AFrame, int AFPS, int ACurrentDuration, float, float,
                             int64_t ASize, int ATotalOutputDuration) {
    std::lock_guard<std::mutex> guard(lock);
    if (AIndex < 0 || AIndex >= int(jobs.size()))
      return;
    TJobView& job = jobs[AIndex];
    if (!job.Running) {
      job.Running = true;
      job.Started = std::chrono::steady_clock::now();
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - job.Started).count();
    if (ATotalOutputDuration > 0)
      job.Percent = int(std::clamp<int64_t>(int64_t(ACurrentDuration) * 100 / ATotalOutputDuration, 0, 100));
    job.Speed = elapsed > 0 ? ACurrentDuration / 1000.0 / elapsed : 0;
    job.Left = job.Speed > 0 && ATotalOutputDuration > 0
                   ? (ATotalOutputDuration - ACurrentDuration) / 1000.0 / job.Speed
                   : -1;
    if (args.Json)
      emit({{"event", "progress"}, {"frame", AFrame}, {"fps", AFPS},
            {"current_ms", ACurrentDuration}, {"total_ms", ATotalOutputDuration},
            {"size", ASize}, {"speed", job.Speed}},
           AIndex, job.Source);
    if (terminal) {
      std::cout << "\r\033[K[" << (job.Percent < 10 ? "  " : job.Percent < 100 ? " " : "")
                << job.Percent << "%] " << fs::path(job.Source).filename().string() << "  ";
      std::printf("%.1fx", job.Speed);
      std::cout << (job.Left >= 0 ? "  " + Clock(job.Left) + " left" : "") << std::flush;
    }
  };
  converter.OnTerminate = [&](int AIndex, bool AFinished, bool AException,
                              const std::string& AMessage) {
    std::lock_guard<std::mutex> guard(lock);
    if (AIndex == -1) {
      if (args.Json)
        emit({{"event", "end"}}, -1, "");
      finished = true;
      allDone.notify_all();
      return;
    }
    if (AIndex >= int(jobs.size()))
      return;
    const TJobView& job = jobs[AIndex];
    if (args.Json) {
      if (AFinished && !AException)
        emit({{"event", "result"}, {"status", "done"}, {"output", job.Output}}, AIndex, job.Source);
      else
        emit({{"event", "result"}, {"status", "failed"},
              {"message", AException ? AMessage : std::string("stopped")}},
             AIndex, job.Source);
    }
    if (AException) {
      ++failures;
      print("failed: " + NameOnce(job.Source, AMessage));
    } else if (!AFinished) {
      ++failures;
      print("failed: " + job.Source + ": stopped");
    } else {
      print("done: " + job.Source + " -> " + job.Output);
    }
  };

  runner.OnLog = converter.OnLog;
  runner.OnProgress = converter.OnProgress;
  runner.OnTerminate = converter.OnTerminate;

  // Declared after the converter and the runner: gone before them.
  TSignalWatch signalWatch([&converter, &runner, &allDone] {
    converter.Abort();
    runner.Stop();
    allDone.notify_all();
  });

  for (const std::string& file : args.Files) {
    if (Interrupted)
      break;
    // The worker opens the source itself: a pipe is read there alone, and
    // the output is planned here from the probe of a file. The name is taken
    // at once so that two sources of one name get two outputs.
    TAVProbe probe;
    probe.Enable();
    if (const std::string problem =
            args.InProcess ? CheckSource(converter.Probe, file) : OpenSource(probe, file);
        !problem.empty()) {
      ++failures;
      if (args.Json)
        emit({{"event", "result"}, {"status", "failed"}, {"message", problem}}, -1, file);
      print("skipped: " + problem);
      continue;
    }
    TInputOptions input;
    InitInputOptions(input);
    input.FileName = file;
    input.ExtraOptions = args.InputOptions;
    if (!args.InProcess) {
      TWorkerJob job = PlanWorkerJob(*args.Preset, args.MaxSize, file, input, args.SameFolder,
                                     args.OutputDir, probe, args.OutputOptions);
      if (!job.Fit.Error.empty()) { // known before any work: says so at once
        ++failures;
        const std::string message = SizeFitFailure(job.Fit);
        if (args.Json)
          emit({{"event", "result"}, {"status", "failed"}, {"message", message}}, -1, file);
        print("failed: " + NameOnce(file, message));
        continue;
      }
      jobs.push_back({file, job.Output, 0, 0, -1, false, {}});
      workerJobs.push_back(std::move(job));
      continue;
    }
    if (converter.AddInput(file, &input) < 0) {
      if (Interrupted)
        break;
      ++failures;
      if (args.Json)
        emit({{"event", "result"}, {"status", "failed"}, {"message", converter.LastError}}, -1, file);
      print("failed: " + NameOnce(file, converter.LastError));
      continue;
    }
    jobs.push_back({file, "", 0, 0, -1, false, {}});
  }
  for (int job = 0; job < converter.JobCount();) {
    TOutputPlan plan = PlanOutput(*args.Preset, jobs[job].Source, args.SameFolder,
                                  args.OutputDir, converter.Jobs(job).Probe);
    plan.Options.ExtraOptions =
        CoreShareLine(std::min(args.Jobs, converter.JobCount())) + plan.Options.ExtraOptions +
        args.OutputOptions;
    if (converter.SetOutput(job, plan.FileName, &plan.Options)) {
      jobs[job].Output = plan.FileName;
      ++job;
    } else {
      ++failures;
      if (args.Json)
        emit({{"event", "result"}, {"status", "failed"}, {"message", converter.LastError}}, -1,
             jobs[job].Source);
      print("failed: " + NameOnce(jobs[job].Source, converter.LastError));
      converter.DeleteJob(job);
      jobs.erase(jobs.begin() + job);
    }
  }

  if (!args.InProcess) {
    if (!workerJobs.empty() && !Interrupted) {
      runner.Start(workerJobs, args.Jobs);
      if (Interrupted)
        runner.Stop();
      std::unique_lock<std::mutex> guard(lock);
      while (!finished)
        allDone.wait_for(guard, std::chrono::milliseconds(100));
    } else {
      for (const TWorkerJob& job : workerJobs) { // names taken for jobs that never ran
        std::error_code error;
        if (fs::file_size(job.Output, error) == 0 && !error)
          fs::remove(job.Output, error);
      }
    }
  } else if (converter.JobCount() > 0 && !Interrupted) {
    converter.StartJobs(args.Jobs);
    if (Interrupted) // came while the jobs were being started
      converter.StopJobs();
    std::unique_lock<std::mutex> guard(lock);
    while (!finished)
      allDone.wait_for(guard, std::chrono::milliseconds(100));
  }
  converter.ClearJobs(); // the untouched outputs of jobs that never ran go with them
  if (args.Json && !finished)
    emit({{"event", "end"}}, -1, "");
  if (Interrupted) {
    if (!args.Quiet)
      std::cout << (terminal ? "\r\033[K" : "") << "interrupted\n";
    return 130;
  }
  return failures ? 1 : 0;
}
