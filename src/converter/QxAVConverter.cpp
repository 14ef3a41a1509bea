// Jobs, their scheduling and events, and the routing of library log lines.
//
// Locks: the registry lock comes before any component's Lock. A thread that
// holds either never takes the registry lock again: library lines it raises
// meanwhile (an event handler logging, say) are kept on the thread and routed
// once it lets go of its last lock.
#include "QxAVConverter.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>

namespace kestro {

namespace {

// ---- Log lines raised while this thread holds a component or the registry lock

struct TLogFragment {
  int Level = 0;
  std::string Tag;  // class tag of the context, empty without one
  const void* Owner = nullptr; // the engine owning the context, when it is known
  bool Shown = true; // false: an error beneath the libraries' level, kept for its job only
  std::string Text; // the formatted message, at most LogBufferSize - 1 bytes
  bool Cut = false; // the message did not fit
};

thread_local int LocksHeld = 0;
thread_local std::vector<TLogFragment> HeldFragments;
thread_local bool PendingClearWanted = false;
thread_local bool Releasing = false;

void RouteLogFragment(const TLogFragment& fragment);

void ClearPendingLogsNow() {
  std::lock_guard<std::mutex> registry(ConverterRegistry().Mutex);
  PendingLogList().Clear();
}

// Runs when the thread has let go of its last lock.
void ReleaseHeldLogs() {
  if (Releasing)
    return; // routing below takes and drops locks itself
  Releasing = true;
  try {
    while (!HeldFragments.empty()) {
      std::vector<TLogFragment> fragments;
      fragments.swap(HeldFragments);
      for (const TLogFragment& fragment : fragments)
        RouteLogFragment(fragment);
    }
    if (PendingClearWanted) {
      PendingClearWanted = false;
      ClearPendingLogsNow();
    }
  } catch (...) {
    // A handler that throws loses its line; the lock holder must not.
  }
  Releasing = false;
}

void EnterLocked() { ++LocksHeld; }

void LeaveLocked() {
  if (--LocksHeld == 0 && (!HeldFragments.empty() || PendingClearWanted))
    ReleaseHeldLogs();
}

// The component's lock, counted so that library lines wait for its release.
class TComponentLock {
public:
  explicit TComponentLock(std::recursive_mutex& mutex) : Mutex(mutex) {
    Mutex.lock();
    EnterLocked();
  }
  ~TComponentLock() {
    Mutex.unlock();
    LeaveLocked();
  }
  TComponentLock(const TComponentLock&) = delete;
  TComponentLock& operator=(const TComponentLock&) = delete;

private:
  std::recursive_mutex& Mutex;
};

void RequestPendingLogClear() {
  if (LocksHeld > 0)
    PendingClearWanted = true;
  else
    ClearPendingLogsNow();
}

// The engine that marked the context (or the context it logs for) as its own.
const void* ContextOwner(void* context, int depth = 0) {
  if (!context)
    return nullptr;
  const AVClass* descriptor = *static_cast<const AVClass* const*>(context);
  if (!descriptor)
    return nullptr;
  if (descriptor == avformat::avformat_get_class())
    return static_cast<const AVFormatContext*>(context)->opaque;
  if (descriptor == avcodec::avcodec_get_class())
    return static_cast<const AVCodecContext*>(context)->opaque;
  // A muxer's or codec's private part names its parent the way the
  // libraries' own printer finds it.
  if (descriptor->parent_log_context_offset && depth < 2)
    return ContextOwner(*reinterpret_cast<void**>(static_cast<uint8_t*>(context) +
                                                  descriptor->parent_log_context_offset),
                        depth + 1);
  return nullptr;
}

// The line without the "[name @ address]" tag of its context.
std::string WithoutClassTag(const std::string& line) {
  if (line.empty() || line[0] != '[')
    return line;
  const size_t close = line.find(']');
  if (close == std::string::npos || line.find(" @ ") > close)
    return line;
  return line.substr(close + 1);
}

std::string ClassTag(void* context) {
  if (!context)
    return {};
  const AVClass* descriptor = *static_cast<const AVClass* const*>(context);
  if (!descriptor)
    return {};
  const char* name = descriptor->item_name ? descriptor->item_name(context) : descriptor->class_name;
  // The low 32 bits of the descriptor's address, as wide as the tag always was.
  char address[9];
  std::snprintf(address, sizeof address, "%08X",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(descriptor) & 0xFFFFFFFFu));
  return std::string("[") + (name ? name : "") + " @ " + address + "]";
}

// Appends what fits of `text` to a zero-filled buffer; false when cut.
bool AppendToBuffer(char (&buffer)[LogBufferSize], size_t& used, const std::string& text) {
  const size_t room = LogBufferSize - 1 - used;
  const size_t taken = std::min(room, text.size());
  std::memcpy(buffer + used, text.data(), taken);
  used += taken;
  return taken == text.size();
}

void RouteLogFragment(const TLogFragment& fragment) {
  // Declared first so that held lines are routed after the registry is free.
  struct TRegistryHold {
    TRegistryHold() { EnterLocked(); }
    ~TRegistryHold() { LeaveLocked(); }
  } hold;
  std::lock_guard<std::mutex> registry(ConverterRegistry().Mutex);
  const std::thread::id thread = std::this_thread::get_id();
  const auto deliverTo = [&](const void* owner, const std::string& line, bool shown) {
    for (TCustomAVConverter* component : ConverterRegistry().Items)
      component->DeliverLog(thread, owner, fragment.Level, line, shown);
  };
  if (!fragment.Shown) {
    // Kept apart from the thread's unfinished text, which only shown lines make.
    size_t start = 0;
    for (size_t end; start < fragment.Text.size(); start = end + 1) {
      end = std::min(fragment.Text.find('\n', start), fragment.Text.size());
      if (end > start)
        deliverTo(fragment.Owner, fragment.Text.substr(start, end - start), false);
    }
    return;
  }
  TLogItem& item = PendingLogList().FindOrAdd(thread);

  char buffer[LogBufferSize] = {0};
  size_t used = 0;
  AppendToBuffer(buffer, used, !fragment.Tag.empty() && item.Text.empty() ? fragment.Tag : item.Text);
  const bool cut = !AppendToBuffer(buffer, used, fragment.Text) || fragment.Cut;
  const std::string text(buffer, strnlen(buffer, used));

  // A line belongs to the context that began it, like its tag.
  const void* owner = item.Text.empty() ? fragment.Owner : item.Owner;
  const auto deliver = [&](const std::string& line) {
    deliverTo(owner, line, true);
    owner = fragment.Owner;
  };
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    deliver(text.substr(start, end - start));
  std::string rest = text.substr(start);
  item.Owner = owner;
  // A line cut at the buffer's end ends there: kept as the start of the next
  // message it would fill the buffer for good and swallow every later line.
  if (cut && !rest.empty()) {
    deliver(rest);
    rest.clear();
  }
  item.Text = std::move(rest);
}

// The engine's own levels: -1 quiet, 0 errors, 1 information, 2 debugging, 3 all.
TLogLevel LogLevelOf(int engineLevel) {
  if (engineLevel < 0)
    return llQuiet;
  if (engineLevel >= 4)
    return llAll;
  return static_cast<TLogLevel>(engineLevel + 1);
}

} // namespace

// ---- Delayed starts without an owner's event loop

class TDelayedCalls {
public:
  ~TDelayedCalls() { Stop(); }

  void Post(std::chrono::milliseconds delay, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(Mutex);
    if (Stopped)
      return;
    Calls.push_back({std::chrono::steady_clock::now() + delay, std::move(action)});
    if (!Thread.joinable())
      Thread = std::thread(&TDelayedCalls::Body, this);
    Wake.notify_all();
  }

  // Calls not yet due are dropped.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Stopped = true;
      Calls.clear();
    }
    Wake.notify_all();
    if (!Thread.joinable())
      return;
    if (Thread.get_id() == std::this_thread::get_id())
      Thread.detach(); // stopped from one of its own calls
    else
      Thread.join();
  }

private:
  struct TCall {
    std::chrono::steady_clock::time_point Due;
    std::function<void()> Action;
  };

  void Body() {
    std::unique_lock<std::mutex> lock(Mutex);
    while (!Stopped) {
      if (Calls.empty()) {
        Wake.wait(lock);
        continue;
      }
      auto next = std::min_element(Calls.begin(), Calls.end(),
                                   [](const TCall& a, const TCall& b) { return a.Due < b.Due; });
      if (std::chrono::steady_clock::now() < next->Due) {
        Wake.wait_until(lock, next->Due);
        continue;
      }
      std::function<void()> action = std::move(next->Action);
      Calls.erase(next);
      lock.unlock();
      action();
      lock.lock();
    }
  }

  std::mutex Mutex;
  std::condition_variable Wake;
  std::vector<TCall> Calls;
  bool Stopped = false;
  std::thread Thread;
};

// ---- TFFmpeg

TFFmpeg::TFFmpeg() : Engine(std::make_unique<TCustomFFmpeg>()) {
  Engine->SetCancelledBeforeRunCallback({&CancelledBeforeRun, this});
  Probe.Enable();
}

TFFmpeg::~TFFmpeg() {
  // The engine would wait for its threads only after our fields are gone.
  Engine->Stop();
  if (Worker)
    Worker->Join();
  std::unique_lock<std::mutex> lock(NoticeMutex);
  NoticeDone.wait(lock, [this] { return !NoticeAwaited || NoticeArrived; });
}

void TFFmpeg::TranslateInputOptions(TInputOptions& options, const std::string& fileName) {
  if (options.FileName.empty())
    options.FileName = fileName;
  AssignInputOptions(options);
  ApplyInputOptions(*Engine, InputOptions);
}

void TFFmpeg::TranslateOutputOptions(TOutputOptions& options, const std::string& fileName,
                                     const THookCallbacks& hooks) {
  if (options.FileName.empty())
    options.FileName = fileName;
  AssignOutputOptions(options);
  ApplyOutputRecord(*Engine, OutputOptions, hooks);
}

TFFmpegThread* TFFmpeg::StartJob(bool useThread, TConvertPriority priority) {
  TFFmpegThread* worker = Engine->Start(useThread, priority);
  if (worker)
    Worker = worker;
  return worker;
}

void TFFmpeg::CancelledBeforeRun(void* job, TCustomFFmpeg* engine) {
  if (!engine->GetTerminateCallback())
    return;
  TFFmpeg& self = *static_cast<TFFmpeg*>(job);
  std::lock_guard<std::mutex> lock(self.NoticeMutex);
  self.NoticeAwaited = true;
}

void TFFmpeg::NoticeHandled() {
  std::lock_guard<std::mutex> lock(NoticeMutex);
  NoticeArrived = true;
  NoticeDone.notify_all();
}

// ---- TFFmpegList

int TFFmpegList::Add(std::shared_ptr<TFFmpeg> job) {
  job->Index = Count();
  List.push_back(std::move(job));
  return List.back()->Index;
}

std::shared_ptr<TFFmpeg> TFFmpegList::Delete(int index) {
  std::shared_ptr<TFFmpeg> job = Share(index);
  List.erase(List.begin() + index);
  for (int i = index; i < Count(); ++i)
    List[static_cast<size_t>(i)]->Index = i;
  return job;
}

std::vector<std::shared_ptr<TFFmpeg>> TFFmpegList::Clear() {
  std::vector<std::shared_ptr<TFFmpeg>> jobs;
  jobs.swap(List);
  return jobs;
}

TFFmpeg* TFFmpegList::FindByEngine(const void* engine) const {
  for (const auto& job : List)
    if (job->Engine.get() == engine)
      return job.get();
  return nullptr;
}

TFFmpeg* TFFmpegList::FindByThreadID(std::thread::id id) const {
  for (const auto& job : List)
    if (job->ThreadID == id)
      return job.get();
  return nullptr;
}

// ---- TCustomAVConverter

TCustomAVConverter::TCustomAVConverter() : DelayedCalls(std::make_unique<TDelayedCalls>()) {
  Probe.Enable();
  std::lock_guard<std::mutex> registry(ConverterRegistry().Mutex);
  ConverterRegistry().Items.push_back(this);
  ApplyLibraryLevel();
}

TCustomAVConverter::~TCustomAVConverter() {
  {
    std::lock_guard<std::mutex> registry(ConverterRegistry().Mutex);
    auto& items = ConverterRegistry().Items;
    items.erase(std::remove(items.begin(), items.end(), this), items.end());
    ApplyLibraryLevel();
  }
  {
    // Waits for an event in progress; none is raised and no job starts after.
    TComponentLock lock(Lock);
    Destroying = true;
    PendingCount = 0;
    *Alive = false;
  }
  DelayedCalls->Stop();
  std::vector<std::shared_ptr<TFFmpeg>> jobs;
  {
    TComponentLock lock(Lock);
    jobs = JobList.Clear();
  }
  jobs.clear(); // stops running jobs and waits for them
}

bool TCustomAVConverter::LoadLibraries(const std::string& folder, bool versioned) {
  if (!LoadAllLibraries(folder, versioned)) {
    LastError = LibraryLoadError();
    return false;
  }
  avutil::av_log_set_callback(&LibraryLogCallback);
  std::lock_guard<std::mutex> registry(ConverterRegistry().Mutex);
  ApplyLibraryLevel();
  return true;
}

void TCustomAVConverter::SetLogLevel(TLogLevel value) {
  std::lock_guard<std::mutex> registry(ConverterRegistry().Mutex);
  FLogLevel = value;
  ApplyLibraryLevel();
}

void TCustomAVConverter::ApplyLibraryLevel() {
  // The libraries are asked for what the most verbose component shows;
  // each component then drops what is beyond its own level.
  if (ConverterRegistry().Items.empty() || !LibrariesLoaded())
    return;
  int level = AV_LOG_QUIET;
  for (const TCustomAVConverter* component : ConverterRegistry().Items)
    level = std::max(level, LibraryLevelOf(component->FLogLevel));
  avutil::av_log_set_level(level);
  LibraryLogLevel = level;
}

void TCustomAVConverter::SetProgressInterval(int value) {
  FProgressInterval = value <= 100 ? 100 : value;
}

int TCustomAVConverter::AddInput(const std::string& fileName, TInputOptions* options) {
  // Without the libraries every engine call below would jump into nothing.
  if (!LibrariesLoaded()) {
    LastError = "Media libraries are not loaded";
    return -1;
  }
  auto job = std::make_shared<TFFmpeg>();
  job->Owner = this;
  TCustomFFmpeg& engine = *job->Engine;
  engine.SetAbortFlag(&Aborting);
  // Lines logged while the job is set up arrive with index -1.
  engine.SetLogCallback({&LogEntry, job.get()});
  try {
    engine.Reset();
    // The libraries' level is the component's.
    engine.SetVerboseOnly(int(FLogLevel.load()) - 1);
    if (options)
      job->TranslateInputOptions(*options, fileName);
    else
      job->ResetInputOptions();
    if (!engine.OpenInputFile(fileName)) {
      engine.SetLogCallback({});
      LastError = engine.GetLastError();
      return -1;
    }
    job->Probe.Attach(engine.GetInputFile(engine.GetInputFileCount() - 1));
    engine.SetProgressCallback({&ProgressEntry, job.get()});
    engine.SetTerminateCallback({&TerminateEntry, job.get()});
    TComponentLock lock(Lock);
    return JobList.Add(std::move(job));
  } catch (const std::exception& e) {
    LastError = e.what();
    return -1;
  }
}

bool TCustomAVConverter::SetOutput(int index, const std::string& fileName,
                                   TOutputOptions* options) {
  std::shared_ptr<TFFmpeg> job;
  {
    TComponentLock lock(Lock);
    job = JobList.Share(index);
  }
  try {
    if (options)
      job->TranslateOutputOptions(
          *options, fileName, {{&BeforeHookEntry, job.get()}, {&CustomHookEntry, job.get()}});
    else
      job->ResetOutputOptions();
    if (!job->Engine->OpenOutputFile(fileName)) {
      LastError = job->Engine->GetLastError();
      return false;
    }
    if (options)
      job->Engine->ParseOptionLines(options->StreamOptions);
    return true;
  } catch (const std::exception& e) {
    LastError = e.what();
    return false;
  }
}

void TCustomAVConverter::StartJobs(int threadMode) {
  RequestPendingLogClear();
  // Held while the first jobs start, so that a job ending at once cannot
  // start the next one under our feet.
  TComponentLock lock(Lock);
  NextIndex = 0;
  FinishedCount = 0;
  ThreadMode = threadMode;
  PendingCount = JobList.Count();
  for (int n = ThreadMode; PendingCount > 0;) {
    StartNext();
    if (--n <= 0)
      break;
  }
}

void TCustomAVConverter::StartNext() {
  TComponentLock lock(Lock);
  if (PendingCount <= 0 || Destroying)
    return;
  --PendingCount;
  const int index = NextIndex++;
  if (ThreadMode > 0) {
    RunJob(index);
  } else if (PostDelayed) {
    PostDelayed(100, [alive = Alive, this, index] {
      if (*alive)
        RunJob(index);
    });
  } else {
    DelayedCalls->Post(std::chrono::milliseconds(100), [this, index] { RunJob(index); });
  }
}

void TCustomAVConverter::RunJob(int index) {
  std::shared_ptr<TFFmpeg> job; // keeps a job run on this thread alive until it returns
  {
    TComponentLock lock(Lock);
    if (Destroying || index < 0 || index >= JobList.Count())
      return; // the list changed since the turn was given
    job = JobList.Share(index);
    job->Engine->SetReportInterval(int64_t(FProgressInterval) * 1000);
    job->Engine->SetVerboseOnly(int(FLogLevel.load()) - 1);
    if (ThreadMode > 0 || !PostDelayed) {
      // Started under the lock: its thread id is known before its first line.
      TFFmpegThread* worker = job->StartJob(true, FThreadPriority);
      job->ThreadID = worker ? worker->Id() : std::thread::id();
      if (worker)
        worker->Resume();
      return;
    }
    job->ThreadID = std::this_thread::get_id();
  }
  job->StartJob(false, FThreadPriority); // runs to its end, notification included
}

void TCustomAVConverter::StopJobs() {
  TComponentLock lock(Lock);
  PendingCount = 0;
  for (int i = 0; i < JobList.Count(); ++i)
    JobList.Items(i).Engine->Cancel();
}

void TCustomAVConverter::Abort() {
  Aborting = true;
  StopJobs();
}

void TCustomAVConverter::ClearJobs() {
  std::vector<std::shared_ptr<TFFmpeg>> jobs;
  Aborting = false;
  {
    TComponentLock lock(Lock);
    jobs = JobList.Clear();
    LastError.clear();
    ThreadMode = 0;
    // A new list starts counting afresh, or its first ending job would look
    // like the last one of the old batch.
    FinishedCount = 0;
    PendingCount = 0;
    NextIndex = -1;
  }
  // Freed without the lock: a running job's last events need it.
}

void TCustomAVConverter::DeleteJob(int index) {
  std::shared_ptr<TFFmpeg> job;
  {
    TComponentLock lock(Lock);
    job = JobList.Delete(index);
  }
}

TFFmpeg& TCustomAVConverter::Jobs(int index) {
  TComponentLock lock(Lock);
  return JobList.Items(index);
}

int TCustomAVConverter::JobCount() {
  TComponentLock lock(Lock);
  return JobList.Count();
}

AVFormatContext* TCustomAVConverter::JobInputContext(int index) {
  TComponentLock lock(Lock);
  TFFmpeg& job = JobList.Items(index);
  return job.Engine->GetInputFileCount() > 0 ? job.Engine->GetInputFile(0) : nullptr;
}

void TCustomAVConverter::DeliverLog(std::thread::id id, const void* owner, int level,
                                    const std::string& line, bool shown) {
  TComponentLock lock(Lock);
  // A context of a known engine decides; the thread only when none does.
  TFFmpeg* job = owner ? JobList.FindByEngine(owner) : JobList.FindByThreadID(id);
  if (job && level <= AV_LOG_ERROR)
    job->Engine->NoteLibraryError(WithoutClassTag(line));
  if (shown && level <= LibraryLevelOf(FLogLevel))
    DoLog(job, int(LogLevelOfLibrary(level)) - 1, line);
}

void TCustomAVConverter::DoBeforeHook(TFFmpeg& job, int64_t pts, THookAction& action) {
  if (OnBeforeHook)
    OnBeforeHook(job.Index, pts, action);
}

void TCustomAVConverter::DoCustomHook(TFFmpeg& job, THookBitmap& bitmap, int frameNumber,
                                      int64_t pts, bool& update, bool& stopHook) {
  if (OnCustomHook)
    OnCustomHook(job.Index, bitmap, frameNumber, pts, update, stopHook);
}

void TCustomAVConverter::DoLog(TFFmpeg* job, int level, const std::string& text) {
  if (!OnLog)
    return;
  TComponentLock lock(Lock);
  if (!Destroying)
    OnLog(job ? job->Index : -1, LogLevelOf(level), text);
}

void TCustomAVConverter::DoProgress(TFFmpeg& job, int frameNumber, int fps,
                                    int currentDurationMs, float quality, float bitrate,
                                    int64_t currentSize, int totalDurationMs) {
  if (!OnProgress)
    return;
  TComponentLock lock(Lock);
  if (!Destroying)
    OnProgress(job.Index, frameNumber, fps, currentDurationMs, quality, bitrate, currentSize,
               totalDurationMs);
}

void TCustomAVConverter::DoTerminate(TFFmpeg& job) {
  TComponentLock lock(Lock);
  if (Destroying)
    return;
  // The run has closed the input the probe was looking at.
  job.Probe.Close();
  if (OnTerminate)
    OnTerminate(job.Index, job.Engine->GetFinished(), job.Engine->GetExceptionRaised(),
                job.Engine->GetExceptionMessage());
  ++FinishedCount;
  if (PendingCount > 0) {
    StartNext(); // from this job's thread, after its event returned
  } else if (FinishedCount >= JobList.Count()) {
    if (OnTerminate)
      OnTerminate(-1, true, false, "");
    RequestPendingLogClear();
  }
}

void TCustomAVConverter::BeforeHookEntry(void* job, TCustomFFmpeg*, int64_t pts,
                                         THookAction& action) {
  TFFmpeg& self = *static_cast<TFFmpeg*>(job);
  self.Owner->DoBeforeHook(self, pts, action);
}

void TCustomAVConverter::CustomHookEntry(void* job, TCustomFFmpeg*, THookBitmap& bitmap,
                                         int frameNumber, int64_t pts, bool& update,
                                         bool& stopHook) {
  TFFmpeg& self = *static_cast<TFFmpeg*>(job);
  self.Owner->DoCustomHook(self, bitmap, frameNumber, pts, update, stopHook);
}

void TCustomAVConverter::LogEntry(void* job, TCustomFFmpeg*, int level,
                                  const std::string& message) {
  TFFmpeg* self = static_cast<TFFmpeg*>(job);
  self->Owner->DoLog(self, level, message);
}

void TCustomAVConverter::ProgressEntry(void* job, TCustomFFmpeg*, int frameNumber, int fps,
                                       int currentDurationMs, float quality, float bitrate,
                                       int64_t currentSize, int totalDurationMs) {
  TFFmpeg& self = *static_cast<TFFmpeg*>(job);
  self.Owner->DoProgress(self, frameNumber, fps, currentDurationMs, quality, bitrate, currentSize,
                         totalDurationMs);
}

void TCustomAVConverter::TerminateEntry(void* job, TCustomFFmpeg*) {
  TFFmpeg& self = *static_cast<TFFmpeg*>(job);
  struct TDone {
    TFFmpeg& Job;
    ~TDone() { Job.NoticeHandled(); } // also when a handler throws
  } done{self};
  self.Owner->DoTerminate(self);
}

// ---- Log routing

TLogItem& TLogList::FindOrAdd(std::thread::id id) {
  if (First.ThreadID == id || First.ThreadID == std::thread::id()) {
    First.ThreadID = id;
    return First;
  }
  for (TLogItem* item = First.Next.get(); item; item = item->Next.get())
    if (item->ThreadID == id)
      return *item;
  auto item = std::make_unique<TLogItem>();
  item->ThreadID = id;
  item->Next = std::move(First.Next);
  First.Next = std::move(item);
  return *First.Next;
}

void TLogList::Clear() {
  First.ThreadID = std::thread::id();
  First.Text.clear();
  // One by one: a long chain freed recursively could exhaust the stack.
  std::unique_ptr<TLogItem> chain = std::move(First.Next);
  while (chain)
    chain = std::move(chain->Next);
}

TConverterRegistry& ConverterRegistry() {
  // Never destroyed: library threads may still log while the process exits.
  static auto* registry = new TConverterRegistry;
  return *registry;
}

TLogList& PendingLogList() {
  static auto* list = new TLogList;
  return *list;
}

int LibraryLevelOf(TLogLevel level) {
  switch (level) {
  case llQuiet: return AV_LOG_QUIET;
  case llError: return AV_LOG_ERROR;
  case llInfo: return AV_LOG_INFO;
  case llDebug: return AV_LOG_DEBUG;
  case llAll: return AV_LOG_TRACE;
  }
  return AV_LOG_INFO;
}

TLogLevel LogLevelOfLibrary(int libraryLevel) {
  if (libraryLevel <= AV_LOG_ERROR)
    return llError;
  if (libraryLevel <= AV_LOG_INFO) // warnings too
    return llInfo;
  if (libraryLevel <= AV_LOG_DEBUG)
    return llDebug;
  return llAll;
}

void LibraryLogCallback(void* context, int level, const char* format, va_list args) {
  const bool shown = level <= LibraryLogLevel.load();
  // Errors are taken whatever the level: a failing job reports its cause.
  if ((!shown && level > AV_LOG_ERROR) || !format || !myutil::my_vsnprintf)
    return;
  TLogFragment fragment;
  fragment.Level = level;
  fragment.Shown = shown;
  fragment.Owner = ContextOwner(context);
  fragment.Tag = shown ? ClassTag(context) : std::string();
  char message[LogBufferSize] = {0};
  const int length = myutil::my_vsnprintf(message, sizeof message, format, args);
  fragment.Text.assign(message, strnlen(message, sizeof message));
  fragment.Cut = length >= int(sizeof message);
  if (LocksHeld > 0)
    HeldFragments.push_back(std::move(fragment));
  else
    RouteLogFragment(fragment);
}

} // namespace kestro
