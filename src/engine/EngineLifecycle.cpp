// Creating, resetting, starting, stopping and destroying an engine, the
// worker threads and the end-of-run clean-up.
#include "AudioOutput.h"
#include "Decoder.h"
#include "FFmpeg.h"
#include "FrameHook.h"
#include "Muxer.h"
#include "PictureStage.h"
#include "VideoOutput.h"
#include "RunTables.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kestro {

std::mutex& CodecLock() {
  static std::mutex lock;
  return lock;
}

// ---- Threads

TGatedThread::~TGatedThread() = default;

void TGatedThread::Launch() { Thread = std::thread(&TGatedThread::Body, this); }

void TGatedThread::Resume() {
  {
    std::lock_guard<std::mutex> lock(GateLock);
    Released = true;
  }
  Gate.notify_all();
}

bool TGatedThread::Suspended() const {
  std::lock_guard<std::mutex> lock(GateLock);
  return !Released;
}

void TGatedThread::Join() {
  if (!Thread.joinable())
    return;
  if (Thread.get_id() == std::this_thread::get_id()) {
    // Destroyed from its own body (an owner freed the engine in a callback):
    // nothing of ours is touched after the body returns.
    Thread.detach();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(GateLock);
    if (!Released) {
      Skipped = true;
      Released = true;
    }
  }
  Gate.notify_all();
  Thread.join();
}

namespace {

void ApplyPriority(TConvertPriority priority) {
  if (priority == tpIdle) {
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
    return;
  }
  static constexpr int NiceValue[] = {19, 15, 5, 0};
  // On Linux a nice value set on a thread id applies to that thread alone.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), NiceValue[priority]);
}

} // namespace

void TGatedThread::Body() {
  TConvertPriority priority;
  {
    std::unique_lock<std::mutex> lock(GateLock);
    Gate.wait(lock, [this] { return Released; });
    if (Skipped)
      return;
    priority = Priority;
  }
  ApplyPriority(priority);
  Execute();
}

void TFFmpegThread::Execute() { Engine->RunTranscode(); }

void TDoTerminateThread::Execute() { Engine->NotifyTerminated(); }

// ---- Engine

TOutputStreamState::TOutputStreamState() = default;

TInputStreamState::TInputStreamState() = default;
TInputStreamState::~TInputStreamState() = default;

TOutputStreamState::~TOutputStreamState() {
  if (PassLogFile)
    myutil::my_fclose(PassLogFile);
}

TCustomFFmpeg::TCustomFFmpeg()
    : MuxerLink(MakeMuxerLink(*this)), Muxer(std::make_unique<TMuxer>(*MuxerLink)),
      AudioLink(MakeAudioLink(*this)), VideoLink(MakeVideoLink(*this)),
      DecoderLink(MakeDecoderLink(*this)), PictureLink(MakePictureLink(*this)) {
  InitDefaults();
}

TCustomFFmpeg::~TCustomFFmpeg() {
  Stop();
  // However long the run takes to notice the stop, its state is never freed
  // under it.
  if (OwnedWorker)
    OwnedWorker->Join();
  if (OwnedTerminator)
    OwnedTerminator->Join();
  ReleaseResources();
}

void TCustomFFmpeg::InitDefaults() {
  for (auto& offset : InputTsOffsets)
    offset = 0;
  for (auto& row : InputTsScales)
    for (double& scale : row)
      scale = 0.0;
  StreamMaps.fill({});
  StreamMapCount = 0;
  MetaDataMaps.fill({});
  MetaDataMapCount = 0;

  // Every setting goes back to its default, except what Reset and
  // ReleaseResources make and let go: the libraries' option contexts and the
  // loaded hook modules.
  TEngineSettings defaults;
  std::swap(defaults.CodecOptionContexts, Settings.CodecOptionContexts);
  std::swap(defaults.FormatOptionContext, Settings.FormatOptionContext);
  std::swap(defaults.ScalerOptionContext, Settings.ScalerOptionContext);
  std::swap(defaults.FirstHookModule, Settings.FirstHookModule);
  Settings = std::move(defaults);

  RunState.VideoBytesWritten = RunState.AudioBytesWritten = RunState.GlobalHeaderBytes = 0;
  RunState.FramesDuplicated = RunState.FramesDropped = 0;
  RunState.QuantizerHistogram.fill(0);

  Hooks.HookFrameNumber = 0;
  Hooks.HookAction = haContinue;
  Hooks.HookRangeIndex = 0;
  ExceptionRaised = false;
}

void TCustomFFmpeg::Reset() {
  if (!LibrariesLoaded())
    return;
  ReleaseResources();
  InitDefaults();
  Running = false;
  StopRequested = false;
  Finished = false;
  Terminated = false;
  RunState.TotalOutputDuration = -1;
  for (int type = 0; type < MediaTypeCount; ++type) {
    Settings.CodecOptionContexts[type].reset(avcodec::avcodec_alloc_context3(nullptr));
    if (Settings.CodecOptionContexts[type])
      Settings.CodecOptionContexts[type]->codec_type = static_cast<AVMediaType>(type);
  }
  Settings.FormatOptionContext.reset(avformat::avformat_alloc_context());
  Settings.ScalerOptionContext.reset(
      swscale::sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P,
                              static_cast<int>(Settings.SwsFlags), nullptr, nullptr, nullptr));
}

void TCustomFFmpeg::ReleaseResources() {
  if (!LibrariesLoaded())
    return;
  // Nothing may still point into the codecs freed below.
  if (Run && Run->OutputSide)
    Run->OutputSide->Abandon();
  CloseOpenEncoders();
  CloseOpenDecoders();
  Run.reset();

  for (auto& context : Settings.CodecOptionContexts)
    context.reset();
  Settings.FormatOptionContext.reset();
  Settings.ScalerOptionContext.reset();

  ReleaseOutputFiles();

  for (int f = 0; f < MaxFiles; ++f) {
    InputCodecs[f].clear();
    InputFiles[f].reset();
    InputSources[f].reset();
  }
  InputFileCount = 0;

  Settings.IntraMatrix.reset();
  Settings.InterMatrix.reset();
  Settings.VStatsFileName.reset();
  Settings.GenericOptionNames.clear();
  Settings.GenericOptionCount = 0;
  Settings.VideoCodecName.reset();
  Settings.AudioCodecName.reset();
  Settings.SubtitleCodecName.reset();
  Settings.VideoStandard.reset();
  Settings.RcOverride.reset();
  if (RunState.VStatsFile) {
    myutil::my_fclose(RunState.VStatsFile);
    RunState.VStatsFile = nullptr;
  }
  Settings.AudioLanguage.clear();
  Settings.SubtitleLanguage.clear();

  UnloadHookModules(&Settings.FirstHookModule);
  Hooks.HookBuffer.reset();
  Hooks.HookBufferSize = 0;
  Hooks.HookRgbBuffer.reset();
  Hooks.HookRgbBufferSize = 0;
  Hooks.HookBitmap.reset();
  Hooks.ToRgbScaler.reset();
  Hooks.FromRgbScaler.reset();
}

void TCustomFFmpeg::ReleaseOutputFiles() {
  for (int f = 0; f < MaxFiles; ++f) {
    for (int s = 0; s < MaxStreams; ++s) {
      OutputCodecs[f][s].reset();
      StreamCopy[f][s] = false;
      CopyDisplayAspect[f][s] = 0.0f;
      BitstreamFilterSpecs[f][s].clear();
      EncoderOptions[f][s].Clear();
    }
    MuxerOptions[f].Clear();
    if (!OutputFiles[f])
      continue;
    const std::string name = OutputFiles[f]->url ? OutputFiles[f]->url : "";
    // Only the file this output made: another one may have taken its name.
    const bool ours = OutputIdentities[f].Known && OutputInPlace(f);
    OutputFiles[f].reset(); // closes the file
    OutputIdentities[f] = {};
    // An output that never got a byte, or that a failed run left half
    // written, is removed rather than left behind to pass for a result.
    struct stat st {};
    if (ours && stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_size == 0 || DiscardOutputs))
      unlink(name.c_str());
  }
  OutputFileCount = 0;
  DiscardOutputs = false;
}

void TCustomFFmpeg::NoteLibraryError(const std::string& line) {
  const size_t end = line.find_last_not_of(" \t\r\n");
  if (end == std::string::npos)
    return;
  std::lock_guard<std::mutex> lock(LibraryErrorLock);
  LibraryError = line.substr(0, end + 1);
}

std::string TCustomFFmpeg::LastLibraryError() const {
  std::lock_guard<std::mutex> lock(LibraryErrorLock);
  return LibraryError;
}

void TCustomFFmpeg::Log(int level, const std::string& message) {
  if (LogCallback)
    LogCallback.Func(LogCallback.Context, this, level, message);
}

TFFmpegThread* TCustomFFmpeg::Start(bool useThread, TConvertPriority priority) {
  {
    std::lock_guard<std::mutex> state(StateLock);
    if (Running || Terminated)
      return nullptr;
  }
  const char* failure = nullptr;
  if (OutputFileCount <= 0)
    failure = "Must supply at least one output file";
  else if (InputFileCount == 0)
    failure = "Must supply at least one input file";
  if (failure) {
    ReleaseResources();
    Log(-1, failure);
    ExceptionRaised = true;
    ExceptionMessage = failure;
    NotifyTerminated();
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> state(StateLock);
    Running = true;
    StopRequested = false;
    Finished = false;
    Terminated = false;
  }
  if (!useThread) {
    RunTranscode();
    return nullptr;
  }
  OwnedWorker = std::make_unique<TFFmpegThread>(this);
  OwnedWorker->SetPriority(priority);
  WorkerThread = OwnedWorker.get();
  return WorkerThread;
}

void TCustomFFmpeg::RunTranscode() {
  Finished = false;
  {
    std::lock_guard<std::mutex> lock(LibraryErrorLock);
    LibraryError.clear(); // lines of opening time say nothing about the run
  }
  try {
    try {
      Transcode();
    } catch (const std::exception& e) {
      std::string message = e.what();
      if (const std::string cause = LastLibraryError(); !cause.empty())
        message += ": " + cause;
      Log(-1, message);
      ExceptionRaised = true;
      ExceptionMessage = message;
      // What a failed run wrote is not a result; a stopped run's is.
      DiscardOutputs = true;
    }
  } catch (...) {
    CloseOpenEncoders();
    CloseOpenDecoders();
    ReleaseResources();
    NotifyTerminated();
    throw;
  }
  CloseOpenEncoders();
  CloseOpenDecoders();
  ReleaseResources();
  NotifyTerminated();
}

void TCustomFFmpeg::CloseOpenEncoders() {
  // Nothing open: no need to wait for the process-wide lock (callers may
  // hold their own locks here).
  if (RunState.OpenEncoders.empty())
    return;
  std::lock_guard<std::mutex> lock(CodecLock());
  for (TOutputStreamState* stream : RunState.OpenEncoders) {
    if (stream->MustEncode && stream->Encoder) {
      avutil::av_freep(&stream->Encoder->stats_in);
      avcodec::avcodec_close(stream->Encoder);
    }
    if (stream->Audio)
      stream->Audio->Close();
  }
  RunState.OpenEncoders.clear();
}

void TCustomFFmpeg::CloseOpenDecoders() {
  if (RunState.OpenDecoders.empty())
    return;
  std::lock_guard<std::mutex> lock(CodecLock());
  for (TInputStreamState* stream : RunState.OpenDecoders)
    if (stream->MustDecode && stream->Decoder)
      avcodec::avcodec_close(stream->Decoder);
  RunState.OpenDecoders.clear();
}

int TCustomFFmpeg::InterruptCheck(void* engine) {
  const auto* self = static_cast<const TCustomFFmpeg*>(engine);
  return self->StopRequested || (self->AbortFlag && *self->AbortFlag);
}

void TCustomFFmpeg::Stop() {
  StopRequested = true;
  if (OwnedWorker && OwnedWorker->Suspended())
    OwnedWorker->Resume();
}

void TCustomFFmpeg::Cancel() {
  std::unique_lock<std::mutex> state(StateLock);
  // Decided under the lock: a run ending right now either still counts as
  // running (and is told to stop, which it no longer needs) or has already
  // been told it terminated; never neither, which would notify twice.
  if (Running) {
    state.unlock();
    Stop();
    return;
  }
  if (Terminated || OwnedTerminator)
    return;
  CancelledBeforeRun();
  // This job will never run: its outputs, created but never written, go
  // now rather than linger until the job is freed.
  if (LibrariesLoaded())
    ReleaseOutputFiles();
  OwnedTerminator = std::make_unique<TDoTerminateThread>(this);
  OwnedTerminator->SetPriority(tpIdle);
  OwnedTerminator->Resume();
}

void TCustomFFmpeg::NotifyTerminated() {
  {
    std::lock_guard<std::mutex> state(StateLock);
    if (Terminated)
      return; // told once per run
    Running = false;
    Terminated = true;
    WorkerThread = nullptr;
  }
  if (TerminateCallback)
    TerminateCallback.Func(TerminateCallback.Context, this);
}

std::string TCustomFFmpeg::FormatOpenError(const std::string& name, int errorCode) {
  const char* pattern;
  switch (errorCode) {
  case AVERROR(ENOENT):
    pattern = "%s: no such file or directory";
    break;
  case AVERROR(EIO):
  case AVERROR_EOF:
    pattern = "%s: I/O error occurred\r\nUsually that means that input file is truncated "
              "and/or corrupted.";
    break;
  case AVERROR(ENOMEM):
    pattern = "%s: memory allocation error occurred";
    break;
  case AVERROR(EINVAL):
    pattern = "%s: Error while parsing header";
    break;
  case AVERROR(EDOM):
    pattern = "%s: Incorrect image filename syntax.\r\nUse '%%d' to specify the image "
              "number:\r\n  for img1.jpg, img2.jpg, ..., use 'img%%d.jpg';\r\n  for img001.jpg, "
              "img002.jpg, ..., use 'img%%03d.jpg'.";
    break;
  case -42: // the historical "no format" code
  case AVERROR(EILSEQ):
  case AVERROR_INVALIDDATA:
  case AVERROR_DEMUXER_NOT_FOUND:
    pattern = "%s: Unknown format";
    break;
  default:
    pattern = "%s: Error while opening file";
  }
  std::string out;
  for (const char* p = pattern; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      out += name;
      ++p;
    } else if (p[0] == '%' && p[1] == '%') {
      out += '%';
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

} // namespace kestro
