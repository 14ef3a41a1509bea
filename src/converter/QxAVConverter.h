// The converter component: a list of jobs (one engine per source file), run
// one or several at a time, reporting through events that carry the job's
// index. It also routes the media libraries' own log lines to the component
// and job they belong to.
#pragma once

#include "AVProbe.h"
#include "FFmpeg.h"
#include "OptionRecords.h"

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestro {

enum TLogLevel { llQuiet, llError, llInfo, llDebug, llAll };

// Events run on the thread that runs the job; the component does not move
// them to the user-interface thread.
using TBeforeHookEvent = std::function<void(int AIndex, int64_t APTS, THookAction& AHookAction)>;
using TCustomHookEvent = std::function<void(int AIndex, THookBitmap& ABitmap, int AFrameNumber,
                                            int64_t APTS, bool& AUpdate, bool& AStopHook)>;
using TLogEvent = std::function<void(int AIndex, TLogLevel ALogLevel, const std::string& AMsg)>;
using TProgressEvent =
    std::function<void(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration,
                       float AQuality, float ABitRate, int64_t ACurrentSize,
                       int ATotalOutputDuration)>;
using TTerminateEvent =
    std::function<void(int AIndex, bool AFinished, bool AException, const std::string& AMessage)>;

// Given by an owner with an event loop: run the action on its user-interface
// thread after the delay.
using TPostDelayed = std::function<void(int ADelayMs, std::function<void()> AAction)>;

class TCustomAVConverter;

// One job: an engine with its option records and a probe of its input. The
// engine's callbacks carry the job as their context.
class TFFmpeg {
public:
  TFFmpeg();
  ~TFFmpeg();
  TFFmpeg(const TFFmpeg&) = delete;
  TFFmpeg& operator=(const TFFmpeg&) = delete;

  // First, so that it goes last: the probe looks at the engine's input.
  const std::unique_ptr<TCustomFFmpeg> Engine;
  TCustomAVConverter* Owner = nullptr; // the component the callbacks report to
  int Index = -1;           // position in the component's list
  std::thread::id ThreadID; // the thread running the job; none until started
  TInputOptions InputOptions;
  TOutputOptions OutputOptions;
  TAVProbe Probe;

  void AssignInputOptions(const TInputOptions& options) { InputOptions = options; }
  void AssignOutputOptions(const TOutputOptions& options) { OutputOptions = options; }
  void ResetInputOptions() { InitInputOptions(InputOptions); }
  void ResetOutputOptions() { InitOutputOptions(OutputOptions); }

  // Fill an empty file name in the caller's record, keep a copy, apply it.
  void TranslateInputOptions(TInputOptions& options, const std::string& fileName);
  void TranslateOutputOptions(TOutputOptions& options, const std::string& fileName,
                              const THookCallbacks& hooks);

  // The engine's Start, remembering the worker it made.
  TFFmpegThread* StartJob(bool useThread, TConvertPriority priority);
  // Called once a termination notice has been handled.
  void NoticeHandled();

private:
  // A job that never ran is told so from a thread of the engine's, and that
  // notice reads the job's own fields: the job waits for it before they go.
  static void CancelledBeforeRun(void* job, TCustomFFmpeg* engine);

  TFFmpegThread* Worker = nullptr;
  std::mutex NoticeMutex;
  std::condition_variable NoticeDone;
  bool NoticeAwaited = false;
  bool NoticeArrived = false;
};

// The jobs in order; each job's Index is its position.
class TFFmpegList {
public:
  int Count() const { return static_cast<int>(List.size()); }
  // An index out of range throws std::out_of_range (a negative one wraps).
  TFFmpeg& Items(int index) const { return *List.at(static_cast<size_t>(index)); }
  std::shared_ptr<TFFmpeg> Share(int index) const { return List.at(static_cast<size_t>(index)); }
  int Add(std::shared_ptr<TFFmpeg> job);
  // Removing hands the jobs back: they are freed when the caller lets go,
  // which may wait for a running job to stop.
  std::shared_ptr<TFFmpeg> Delete(int index);
  std::vector<std::shared_ptr<TFFmpeg>> Clear();
  TFFmpeg* FindByThreadID(std::thread::id id) const;
  // The job holding `engine`; compares addresses only: it may be gone already.
  TFFmpeg* FindByEngine(const void* engine) const;

private:
  std::vector<std::shared_ptr<TFFmpeg>> List;
};

class TDelayedCalls;

class TCustomAVConverter {
public:
  TCustomAVConverter();
  virtual ~TCustomAVConverter();
  TCustomAVConverter(const TCustomAVConverter&) = delete;
  TCustomAVConverter& operator=(const TCustomAVConverter&) = delete;

  bool LoadLibraries(const std::string& folder, bool versioned = true);
  // Returns the new job's index, or -1 with the reason in LastError.
  int AddInput(const std::string& fileName, TInputOptions* options = nullptr);
  // Throws std::out_of_range for an index that is not in the list.
  bool SetOutput(int index, const std::string& fileName, TOutputOptions* options = nullptr);
  void StartJobs(int threadMode);
  void StopJobs();
  // StopJobs, and an input still being opened by AddInput (a pipe whose
  // writer stalls, say) gives up too. For ending the program: until
  // ClearJobs, every open gives up at once.
  void Abort();
  void ClearJobs();
  void DeleteJob(int index);
  TFFmpeg& Jobs(int index);
  int JobCount();
  AVFormatContext* JobInputContext(int index);

  TLogLevel LogLevel() const { return FLogLevel.load(); }
  void SetLogLevel(TLogLevel value);
  int ProgressInterval() const { return FProgressInterval; }
  void SetProgressInterval(int value);
  TConvertPriority ThreadPriority() const { return FThreadPriority; }
  void SetThreadPriority(TConvertPriority value) { FThreadPriority = value; }

  std::string LastError;
  TAVProbe Probe;
  // Thread mode 0 or less runs each job on this owner's thread; without it
  // the job runs on a thread of its own, likewise 100 ms after its turn came.
  TPostDelayed PostDelayed;

  TBeforeHookEvent OnBeforeHook;
  TCustomHookEvent OnCustomHook;
  TLogEvent OnLog;
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;

  // A complete library log line raised on thread `id` by a context of
  // engine `owner` (null when unknown), at the libraries' `level`. A line the
  // libraries' level hides (`shown` false) only tells its job why it failed.
  void DeliverLog(std::thread::id id, const void* owner, int level, const std::string& line,
                  bool shown = true);

protected:
  // The engines call back only through these, with the job as context.
  virtual void DoBeforeHook(TFFmpeg& job, int64_t pts, THookAction& action);
  virtual void DoCustomHook(TFFmpeg& job, THookBitmap& bitmap, int frameNumber, int64_t pts,
                            bool& update, bool& stopHook);
  virtual void DoLog(TFFmpeg* job, int level, const std::string& text);
  virtual void DoProgress(TFFmpeg& job, int frameNumber, int fps, int currentDurationMs,
                          float quality, float bitrate, int64_t currentSize, int totalDurationMs);
  virtual void DoTerminate(TFFmpeg& job);

  void StartNext();
  void RunJob(int index);

  std::recursive_mutex Lock;
  TFFmpegList JobList;
  int NextIndex = -1;
  int ThreadMode = 0;
  int FinishedCount = 0;
  int PendingCount = 0;

private:
  static void BeforeHookEntry(void* job, TCustomFFmpeg* engine, int64_t pts,
                              THookAction& action);
  static void CustomHookEntry(void* job, TCustomFFmpeg* engine, THookBitmap& bitmap,
                              int frameNumber, int64_t pts, bool& update, bool& stopHook);
  static void LogEntry(void* job, TCustomFFmpeg* engine, int level, const std::string& message);
  static void ProgressEntry(void* job, TCustomFFmpeg* engine, int frameNumber, int fps,
                            int currentDurationMs, float quality, float bitrate,
                            int64_t currentSize, int totalDurationMs);
  static void TerminateEntry(void* job, TCustomFFmpeg* engine);

  // The process-wide library level: the most verbose of the live components'.
  static void ApplyLibraryLevel();

  std::atomic<TLogLevel> FLogLevel{llInfo}; // changed under the registry lock
  int FProgressInterval = 500; // ms
  TConvertPriority FThreadPriority = tpNormal;
  bool Destroying = false; // no more events or starts
  std::atomic<bool> Aborting{false}; // every job's inputs give up
  // Lets a delayed start posted to the owner find out we are gone.
  std::shared_ptr<std::atomic<bool>> Alive = std::make_shared<std::atomic<bool>>(true);
  std::unique_ptr<TDelayedCalls> DelayedCalls;
};

class TQxAVConverter : public TCustomAVConverter {
public:
  static std::string GetVersion() { return "2.2"; }
  std::string Version() const { return GetVersion(); }
};

// ---- Library log routing

// The unfinished log text of one thread.
struct TLogItem {
  std::thread::id ThreadID; // none: free
  std::string Text;
  const void* Owner = nullptr; // the engine of the context that began the text
  std::unique_ptr<TLogItem> Next;
};

class TLogList {
public:
  ~TLogList() { Clear(); }
  TLogItem& FindOrAdd(std::thread::id id);
  void Clear();

private:
  TLogItem First;
};

// Every live component. Its lock is taken before any component's lock and
// also covers PendingLogList.
struct TConverterRegistry {
  std::mutex Mutex;
  std::vector<TCustomAVConverter*> Items;
};
TConverterRegistry& ConverterRegistry();
TLogList& PendingLogList();

// Installed as the media libraries' log callback: assembles whole lines per
// thread and hands each to every component.
void LibraryLogCallback(void* context, int level, const char* format, va_list args);

// The libraries' level that shows what `level` asks for, and the other way.
int LibraryLevelOf(TLogLevel level);
TLogLevel LogLevelOfLibrary(int libraryLevel);

// Message text beyond this many bytes (terminator included) is cut.
constexpr size_t LogBufferSize = 2048;

} // namespace kestro
