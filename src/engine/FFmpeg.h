// The transcoding engine: one object per conversion job. Options and file
// opening fill it, a run reads it. Each stage lives in its own .cpp file.
//
// The engine sets no floating-point control word: on this platform SSE
// arithmetic runs with every exception masked already.
#pragma once

#include "HookBitmap.h"
#include "InputSource.h"
#include "LibPtr.h"
#include "MediaLibs.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kestro {

constexpr int MaxFiles = 20;
constexpr int MaxStreams = 20;
constexpr int MaxStreamMaps = MaxFiles * MaxStreams;
constexpr int MaxMetaDataMaps = 20;
constexpr int MediaTypeCount = 5;    // video, audio, data, subtitle, attachment
constexpr int FrameLimitCount = 4;   // video, audio, data, subtitle
constexpr int64_t NoTimestamp = INT64_MIN;

class TCustomFFmpeg;

class FFMpegException : public std::runtime_error {
public:
  explicit FFMpegException(const std::string& message) : std::runtime_error(message) {}
};

enum THookAction { haContinue, haIgnore, haStop };
enum TConvertPriority { tpIdle, tpLowest, tpLower, tpNormal };

struct THookTimeRange {
  int64_t Start; // microseconds on the input stream clock
  int64_t End;
};

// Engine callbacks: a function and the context handed back to it.
using TBeforeHookFunc = void (*)(void* context, TCustomFFmpeg* engine, int64_t pts,
                                 THookAction& action);
using TCustomHookFunc = void (*)(void* context, TCustomFFmpeg* engine, THookBitmap& bitmap,
                                 int frameNumber, int64_t pts, bool& update, bool& stopHook);
using TLogFunc = void (*)(void* context, TCustomFFmpeg* engine, int level,
                          const std::string& message);
using TProgressFunc = void (*)(void* context, TCustomFFmpeg* engine, int frameNumber, int fps,
                               int currentDurationMs, float quality, float bitrateKbps,
                               int64_t currentSize, int totalDurationMs);
using TTerminateFunc = void (*)(void* context, TCustomFFmpeg* engine);

template <typename F> struct TCallback {
  F Func = nullptr;
  void* Context = nullptr;
  explicit operator bool() const { return Func != nullptr; }
};

// One loaded frame hook module in an engine's list.
struct THookModule;

// A thread made suspended: it runs its body only after Resume.
class TGatedThread {
public:
  virtual ~TGatedThread();
  void Resume();
  bool Suspended() const;
  void SetPriority(TConvertPriority priority) { Priority = priority; }
  std::thread::id Id() const { return Thread.get_id(); }
  // Waits for the body to end; from the thread itself it lets go instead.
  void Join();

protected:
  void Launch();
  virtual void Execute() = 0;

private:
  void Body();
  std::thread Thread;
  mutable std::mutex GateLock;
  std::condition_variable Gate;
  bool Released = false;
  bool Skipped = false; // released only to end: the body never runs
  TConvertPriority Priority = tpNormal;
};

// Runs RunTranscode of one engine.
class TFFmpegThread : public TGatedThread {
public:
  explicit TFFmpegThread(TCustomFFmpeg* engine) : Engine(engine) { Launch(); }
  ~TFFmpegThread() override { Join(); }

protected:
  void Execute() override;

private:
  TCustomFFmpeg* Engine;
};

// Delivers the termination notification of a job cancelled before it ran.
class TDoTerminateThread : public TGatedThread {
public:
  explicit TDoTerminateThread(TCustomFFmpeg* engine) : Engine(engine) { Launch(); }
  ~TDoTerminateThread() override { Join(); }

protected:
  void Execute() override;

private:
  TCustomFFmpeg* Engine;
};

struct TStreamMap {
  int FileIndex = 0;
  int StreamIndex = 0;
  int SyncFileIndex = 0;
  int SyncStreamIndex = 0;
};

struct TMetaDataMap {
  int OutputFileIndex = 0;
  int InputFileIndex = 0;
};

// Records of one run.
struct TInputFileState {
  int AtEnd = 0;
  int FirstStream = 0;
  int StreamCount = 0;
};

struct TOutputStreamState;
class TPictureStage;
class TVideoOutput;
class TVideoOutputOwner;

struct TInputStreamState {
  int FileIndex = 0;
  int RateEmulation = 0; // read this stream no faster than real time
  int StreamIndex = 0;
  AVStream* Stream = nullptr;
  AVCodecContext* Decoder = nullptr; // owned by the engine (InputCodecs)
  int Discard = 1;
  int MustDecode = 0;
  int64_t ReadStart = 0;
  uint32_t FramesRead = 0;
  int64_t NextPts = NoTimestamp;
  int64_t Pts = 0;
  // Decoding time of the last packet read (microseconds): a clock that goes
  // back behind it jumped, one that merely lags the expected next time
  // (uneven frame steps) did not.
  int64_t LastReadDts = NoTimestamp;
  int AtStart = 1;
  // The time of the picture being handed out when a filter graph gave it
  // (microseconds on this input's clock); the graph may re-time pictures,
  // the input's clock stays. NoTimestamp: the input's own.
  int64_t PicturePts = NoTimestamp;
  // Decoded video: turn, hooks and filter graph (none for other streams).
  std::unique_ptr<TPictureStage> Pictures;
  TInputStreamState();
  ~TInputStreamState();
};

class TAudioOutput;
class TAudioOutputOwner;
struct TAudioCarrier;
class TDecoderOwner;
class TPictureStageOwner;
struct TPictureRules;

struct TOutputStreamState {
  TOutputStreamState();
  ~TOutputStreamState(); // closes the pass log file
  TOutputStreamState(const TOutputStreamState&) = delete;
  TOutputStreamState& operator=(const TOutputStreamState&) = delete;
  AVFormatContext* Output = nullptr; // the file this stream belongs to
  int FileIndex = 0;
  int StreamIndex = 0;
  int SourceStreamIndex = 0;
  AVStream* Stream = nullptr;
  AVCodecContext* Encoder = nullptr; // owned by the engine (OutputCodecs)
  int MustEncode = 0;
  int FramesWritten = 0;
  TInputStreamState* SyncInput = nullptr;
  int64_t SyncPts = 0;
  // Video: the stage that syncs, crops, scales, pads and encodes the
  // stream's pictures (none for other streams).
  std::unique_ptr<TVideoOutput> Video;
  // Audio: sync, resampling, sample format, framing (encoded streams only).
  std::unique_ptr<TAudioOutput> Audio;
  FILE* PassLogFile = nullptr;
  std::string LastPassStatistics; // what went to PassLogFile last, not to write twice
  // End time in seconds of the last packet written to this stream. With the
  // output side on a thread of its own, the values below are written there
  // and read by the progress report.
  std::atomic<double> LastPacketEnd{0.0};
  // What the encoder said of its last coded picture (from the packets'
  // quality side data): quality in lambda units, picture type, and the
  // squared errors of that picture and of the whole run, per plane.
  std::atomic<int> LastQuality{0};
  std::atomic<int> LastPictType{0};
  std::atomic<uint64_t> LastError[4]{};
  std::atomic<uint64_t> TotalError[4]{};
  TPacketPtr EncodedPacket; // what the encoder gives back
  // The lowest time stamp the encoder may be given next (encoder time
  // base): re-timed or jittery clocks must not send it back in time.
  int64_t NextEncoderPts = NoTimestamp;
};

struct TRunTables; // the tables of one run, held while it lasts
class TMuxer;
class TMuxerOwner;

// How one picture goes to a video encoder once its sync is decided.
struct TVideoCopies {
  int64_t Count = 0;       // times it goes out
  int64_t FirstPts = 0;    // encoder time of the first
  int FramesAfter = 0;     // pictures written to the stream with these
  AVPixelFormat DecodedFormat = AV_PIX_FMT_NONE;
};

// What the options set: the settings for the next input or output file,
// and how a run behaves. The option handlers write them; opening files and
// a run read them.
struct TEngineSettings {
  const AVInputFormat* ForcedInputFormat = nullptr;
  // A byte source for the next input instead of a file (owned by the
  // caller, who keeps it alive as long as the engine); the name is then
  // only used in messages.
  AVIOContext* InputIO = nullptr;
  const AVOutputFormat* ForcedOutputFormat = nullptr;
  int FrameWidth = 0, FrameHeight = 0;
  // The frame size above is a source's turned upright; turning it off puts
  // it back as stored.
  bool FrameSizeTurned = false;
  float FrameAspectRatio = 0.0f;
  int FramePixFmt = -1;
  bool PixFmtAsked = false; // FramePixFmt came from "pix_fmt", not a source
  int AudioSampleFmt = -1;
  int FramePadTop = 0, FramePadBottom = 0, FramePadLeft = 0, FramePadRight = 0;
  int PadColor[3] = {16, 128, 128};
  int FrameTopCrop = 0, FrameBottomCrop = 0, FrameLeftCrop = 0, FrameRightCrop = 0;
  int MaxFrames[FrameLimitCount] = {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX};
  AVRational FrameRate{0, 0};
  float VideoQScale = 0.0f;
  TAvBytesPtr IntraMatrix, InterMatrix; // 64 uint16_t values
  TAvTextPtr RcOverride;
  int VideoDisable = 0;
  int VideoDiscard = 0;
  TAvTextPtr VideoCodecName;
  int VideoCodecTag = 0;
  int SameQuality = 0;
  int Deinterlace = 0;
  int TopFieldFirst = -1;
  int MeThreshold = 0;
  int IntraDcPrecision = 8;
  int LoopInput = 0;
  int LoopOutput = -1;
  int QpHistogram = 0;
  std::string VideoFilters;
  bool FiltersInUse = false;
  int IntraOnly = 0;
  int AudioSampleRate = 44100;
  float AudioQScale = -99999.0f;
  int AudioDisable = 0;
  int AudioChannels = 2;
  TAvTextPtr AudioCodecName;
  int AudioCodecTag = 0;
  std::string AudioLanguage;
  int SubtitleDisable = 0;
  TAvTextPtr SubtitleCodecName;
  std::string SubtitleLanguage;
  float MuxPreload = 0.5f;
  float MuxMaxDelay = 0.7f;
  int64_t RecordingTime = INT64_MAX;
  int64_t StartTime = 0;
  int64_t RecordTimestamp = 0;
  int64_t InputTsOffset = 0;
  std::string MetaTitle, MetaAuthor, MetaCopyright, MetaComment, MetaGenre, MetaAlbum;
  int MetaYear = 0, MetaTrack = 0;

  // How a run behaves.
  // Pictures of a stream tagged with a turn are turned upright (else the tag
  // goes along to the output).
  bool AutoRotate = true;
  int HexDump = 0;
  int PacketDump = 0;
  int Psnr = 0;
  int PassNumber = 0;
  std::string PassLogFileName;
  int AudioStreamCopy = 0, VideoStreamCopy = 0, SubtitleStreamCopy = 0;
  int VideoSyncMethod = -1;
  int AudioSyncMethod = 0;
  float AudioDriftThreshold = 0.1f;
  bool CopyTimestamps = false;
  int Shortest = 0;
  int VideoGlobalHeader = 0;
  TAvTextPtr VStatsFileName;
  int ProgramId = 0;
  int RateEmulation = 0;
  int VideoChannel = 0;
  TAvTextPtr VideoStandard;
  int AudioVolume = 256;
  bool StopOnError = false;
  bool FrameHooksInUse = false;
  int Verbose = 1;
  int ThreadCount = 1;
  bool ThreadCountAsked = false; // "threads" was given: decoders keep that count
  // Whether a run may put its output side on a thread of its own ("pipeline"),
  // and how many cores the run may keep busy ("cores"; 0: all of them).
  int Pipeline = 1;
  int CoreShare = 0;
  int InputSync = 0;
  uint64_t FileSizeLimit = 0;
  int PgmYuvCompat = 0;
  float DtsDeltaThreshold = 10.0f;
  unsigned SwsFlags = SWS_BICUBIC;
  std::vector<const char*> GenericOptionNames; // names owned by the libraries' tables
  int GenericOptionCount = 0;
  TCodecContextPtr CodecOptionContexts[MediaTypeCount];
  TFormatContextPtr FormatOptionContext;
  TSwsPtr ScalerOptionContext;
  // Pending bitstream filter chains for the next stream of each type.
  std::vector<std::string> VideoBitstreamFilters, AudioBitstreamFilters, SubtitleBitstreamFilters;
  // Frame hooks: the loaded modules ("vhook"), the picture format the custom
  // hook draws on, and the time ranges the modules work in.
  THookModule* FirstHookModule = nullptr;
  int HookPixFmt = AV_PIX_FMT_BGR24;
  uint8_t HookBitmapFormat = 6; // 24 bits per pixel
  std::vector<THookTimeRange> HookTimeRanges;
  int HookRangeCount = 0;
  // Options of one encoder or muxer only (an encoder's "crf" or "preset", a
  // muxer's "muxrate"): a name that neither the vocabulary nor the generic
  // options take waits here until the next output is created, and goes to
  // the first of its streams' encoders, then its muxer, that has it.
  struct TPrivateOption {
    std::string Name, Value;
    bool Optional = false; // dropped with a log line when nothing takes it
  };
  std::vector<TPrivateOption> PendingPrivateOptions;
};

// What one run counts and keeps open; read by the reports and after the run.
struct TRunState {
  FILE* VStatsFile = nullptr; // the statistics file, open while a run writes it
  int64_t StartWallClock = 0;
  std::atomic<int64_t> VideoBytesWritten{0};
  std::atomic<int64_t> AudioBytesWritten{0};
  int64_t GlobalHeaderBytes = 0;
  int FramesDuplicated = 0, FramesDropped = 0;
  // Pictures coded at each quantizer (the "qphist" report line).
  std::array<uint32_t, 52> QuantizerHistogram{};
  std::list<TOutputStreamState*> OpenEncoders;
  std::list<TInputStreamState*> OpenDecoders;
  int TotalOutputDuration = -1; // milliseconds
};

// What the frame hooks keep from one picture to the next.
struct THookState {
  TAvBytesPtr HookBuffer;
  int HookBufferSize = 0;
  std::unique_ptr<THookBitmap> HookBitmap;
  TAvBytesPtr HookRgbBuffer;
  int HookRgbBufferSize = 0;
  TSwsPtr ToRgbScaler, FromRgbScaler;
  int HookFrameNumber = 0;
  THookAction HookAction = haContinue;
  int HookRangeIndex = 0;
};

class TCustomFFmpeg {
public:
  TCustomFFmpeg();
  virtual ~TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

  // Lifecycle.
  void InitDefaults();
  void Reset();
  void ReleaseResources();
  TFFmpegThread* Start(bool useThread, TConvertPriority priority = tpNormal);
  void RunTranscode();
  void CloseOpenEncoders();
  void CloseOpenDecoders();
  void Stop();
  void Cancel();
  void NotifyTerminated();
  static std::string FormatOpenError(const std::string& name, int errorCode);

  // Options.
  void SetOption(const std::string& name, const std::string& value);
  bool SetDefaultOption(const char* name, const char* value);
  bool SetDefaultOptionInt(const char* name, int value);
  // Holds an option for the encoders and muxer of the next output; raises
  // "Unrecognized option" for a name no encoder or muxer has. An optional
  // one that the output cannot take is dropped instead.
  void SetPrivateOption(const std::string& name, const std::string& value, bool optional);
  // Gives the pending options to the encoder `codec` of a stream just made.
  void TakePrivateOptions(const AVCodec* codec, TDictionary& into);
  // Once the output's streams are made: what is left goes to its muxer;
  // returns the error for an option nothing took (empty when all were).
  std::string TakeMuxerOptions(const AVOutputFormat* format, TDictionary& into);
  // Whether one of the libraries' generic option tables has the name.
  bool IsGenericOption(const char* name) const;
  void SetContextOptions(void* context, void* optionContext, int flags);
  void ParseOptionLines(const std::string& text);
  void SetInputFormat(const std::string& value);
  void SetOutputFormat(const std::string& value);
  void SetVerbose(int value);
  void SetAutoRotate(int value);
  void SetStartTime(int64_t microseconds);
  void SetProgramId(int value);
  void SetRecordingTimeMs(int milliseconds);
  void SetAudioVolume(int value);
  void SetAudioSyncMethod(int value);
  void SetVideoSyncMethod(int value);
  void SetMuxMaxDelay(float seconds);
  void SetMuxPreload(float seconds);
  // Empty texts and years or tracks of 0 leave the value set before.
  void SetTitle(const std::string& v) {
    if (!v.empty())
      Settings.MetaTitle = v;
  }
  void SetAuthor(const std::string& v) {
    if (!v.empty())
      Settings.MetaAuthor = v;
  }
  void SetCopyright(const std::string& v) {
    if (!v.empty())
      Settings.MetaCopyright = v;
  }
  void SetComment(const std::string& v) {
    if (!v.empty())
      Settings.MetaComment = v;
  }
  void SetGenre(const std::string& v) {
    if (!v.empty())
      Settings.MetaGenre = v;
  }
  void SetAlbum(const std::string& v) {
    if (!v.empty())
      Settings.MetaAlbum = v;
  }
  void SetYear(int v) {
    if (v > 0)
      Settings.MetaYear = v;
  }
  void SetTrack(int v) {
    if (v > 0)
      Settings.MetaTrack = v;
  }
  void SetTarget(const std::string& type, const std::string& norm,
                 const std::string& fallbackNorm);

  // Option handlers: each validates its value, raises FFMpegException with
  // the user-facing text when it is wrong, and writes the settings below.
  enum TFrameSide { fsTop, fsBottom, fsLeft, fsRight };
  void OptFormat(const std::string& value);
  void OptFrameRate(const std::string& value);
  void OptFrameSize(const std::string& value);
  void OptFrameCrop(TFrameSide side, int value);
  void OptFramePad(TFrameSide side, int value);
  void OptPadColor(int value);
  void OptAspectRatio(const std::string& value);
  void OptPixFmt(const std::string& value);
  void OptSampleFmt(const std::string& value);
  void OptQScale(float value);
  void OptBitrate(const std::string& name, const std::string& value);
  void OptCodecName(AVMediaType type, const std::string& value);
  void OptCodecTag(const std::string& name, const std::string& value);
  void OptVideoHook(const std::string& value);
  void OptStreamMap(const std::string& value);
  void OptMetaDataMap(const std::string& value);
  void OptInputTsScale(const std::string& value);
  // Microseconds of a duration or date text; raises when it does not parse.
  int64_t ParseTime(const std::string& optionName, const std::string& text, bool isDuration);
  void OptRecordTimestamp(int64_t microseconds);
  void OptPass(int value);
  void ParseMatrix(TAvBytesPtr& matrix, const std::string& text);
  void OptVStats();
  void OptVStatsFile(const std::string& value);
  void OptBitstreamFilter(const std::string& name, const std::string& value);
  // Options that hand over to the target presets and output creation.
  void OptTarget(const std::string& value);
  void new_video_stream(AVFormatContext* outputContext);
  void new_audio_stream(AVFormatContext* outputContext);
  void new_subtitle_stream(AVFormatContext* outputContext);
  // The input stream the next subtitle stream of `outputContext` will be
  // made from (by map, or the first subtitle stream); null when none.
  const AVStream* SubtitleSourceOf(const AVFormatContext* outputContext) const;

  // Files.
  bool OpenInputFile(const std::string& fileName);
  bool OpenOutputFile(const std::string& fileName);
  // The codec named `name` of `type`: its id, and (when `found` is given)
  // the codec itself, which need not be the first of its id (libsvtav1 is
  // not the first AV1 encoder).
  bool FindCodec(const char* name, AVMediaType type, AVCodecID& codecId, bool encoder,
                 const AVCodec** found = nullptr);
  // Whether output `f` is still the file it was created as (true for one
  // that is not a file of ours, such as a device or a network address).
  bool OutputInPlace(int f) const;
  // Raises when an output's bytes cannot reach its file: a write error
  // (`code`, or the one its I/O context kept) or the file gone.
  void CheckOutputWritten(int f, int code);
  void check_audio_video_sub_inputs(bool& hasVideo, bool& hasAudio, bool& hasSubtitle);

  // Run stages.
  // The one way a packet reaches an output: through the stream's bitstream
  // filters, then the interleaving muxer (the muxer stage). Timestamps are in
  // the output stream's time base.
  void WritePacket(TOutputStreamState& stream, AVPacket* packet);
  int DecodeAndDispatchPacket(TInputStreamState& input, int inputIndex, AVPacket* packet);
  // `buffer` is the decoding stage's room for the coded cue.
  void EncodeAndWriteSubtitle(AVFormatContext* output, TOutputStreamState& stream,
                              TInputStreamState& input, const AVSubtitle* subtitle, int64_t pts,
                              std::vector<uint8_t>& buffer);
  // The audio output stage of an encoded audio stream fed from a source of
  // `sourceRate`, set up; and the stream's stage taking a unit of audio.
  std::unique_ptr<TAudioOutput> MakeAudioOutput(TOutputStreamState& stream, int sourceRate);
  // `carrier` says what the samples are (null: the decoder's own format).
  void EncodeAndWriteAudio(AVFormatContext* output, TOutputStreamState& stream,
                           TInputStreamState& input, const uint8_t* data, int size,
                           const TAudioCarrier* carrier = nullptr);
  // Syncs the picture, then encodes it (on the output side, when the run
  // has one: frameSize stays 0 and the statistics line is written there).
  void EncodeAndWriteVideo(AVFormatContext* output, TOutputStreamState& stream,
                           TInputStreamState& input, AVFrame* picture, int& frameSize);
  // The sync: how many times the picture goes out (0: dropped or refused);
  // the stream's clock and count move on by as many.
  int64_t PlanVideoCopies(TOutputStreamState& stream, TInputStreamState& input,
                          const AVFrame* picture);
  // Crop, scale, pad and encode the copies; returns the last one's bytes.
  int EmitVideoCopies(AVFormatContext* output, TOutputStreamState& stream,
                      const AVFrame* picture, const TVideoCopies& copies);
  // The statistics line of the picture just encoded; `frames` and `syncPts`
  // (when given) are the stream's count and clock after it.
  void WriteVideoStats(AVFormatContext* output, TOutputStreamState& stream, int frameSize,
                       int frames = -1, int64_t syncPts = -1);
  // How long the input of `input` lasts, in seconds; -1 when it does not say.
  double SourceSeconds(const TInputStreamState& input) const;
  // End of input: what is left in the stream's sample FIFO, then the encoder's delay.
  void FlushAudioFifo(AVFormatContext* output, TOutputStreamState& stream);
  // Sends one frame (null: drain) to the stream's encoder and writes every
  // packet it gives back; returns the bytes written.
  int EncodeAndWriteFrame(AVFormatContext* output, TOutputStreamState& stream, AVFrame* frame);
  void PrintReport(bool lastReport);
  // Bytes in an output so far (those still buffered included).
  static int64_t OutputSizeOf(AVIOContext* pb);

  // Logging: only call with a level the caller decided to report.
  void Log(int level, const std::string& message);
  bool LogEnabled(int level) const { return level <= Settings.Verbose && LogCallback; }

  // ---- Files and maps
  std::array<TInputContextPtr, MaxFiles> InputFiles{};
  // The engine's own reader of an input that is a pipe or a device; it
  // outlives the input's format context.
  std::array<std::unique_ptr<TInputSource>, MaxFiles> InputSources{};
  std::array<int64_t, MaxFiles> InputTsOffsets{};
  double InputTsScales[MaxFiles][MaxStreams]{};
  int InputFileCount = 0;
  std::array<TOutputContextPtr, MaxFiles> OutputFiles{};
  int OutputFileCount = 0;
  // The file each output was created as: a run notices one removed or
  // replaced under it, and clean-up never deletes a file it did not make.
  struct TFileIdentity {
    bool Known = false;
    uint64_t Device = 0, Inode = 0;
  };
  std::array<TFileIdentity, MaxFiles> OutputIdentities{};
  std::array<TStreamMap, MaxStreamMaps> StreamMaps{};
  int StreamMapCount = 0;
  std::array<TMetaDataMap, MaxMetaDataMaps> MetaDataMaps{};
  int MetaDataMapCount = 0;
  // One decoder per input stream and one encoder per output stream.
  std::vector<TCodecContextPtr> InputCodecs[MaxFiles];
  TCodecContextPtr OutputCodecs[MaxFiles][MaxStreams];
  // Per input file: read no faster than real time ("re" when it was opened).
  int InputRateEmulation[MaxFiles]{};
  // Output streams written as copies of their source, without re-encoding.
  bool StreamCopy[MaxFiles][MaxStreams]{};
  // The display aspect asked for a copied video stream (0: the source's); it
  // applies to the copied picture's own size, known once the run maps it.
  float CopyDisplayAspect[MaxFiles][MaxStreams]{};

  // Per output stream: the bitstream filters ("name" or "name=options") its
  // packets pass when written.
  std::vector<std::string> BitstreamFilterSpecs[MaxFiles][MaxStreams];
  // What each output stream's encoder and each output's muxer are opened with.
  TDictionary EncoderOptions[MaxFiles][MaxStreams];
  TDictionary MuxerOptions[MaxFiles];

  // ---- What the options set: the settings for the next input or output
  // file, and how a run behaves.
  TEngineSettings Settings;

  // ---- The state of a run: its tables while it lasts, its counters after.
  TRunState RunState;
  std::unique_ptr<TRunTables> Run;

  // ---- The frame hooks' working state (the picture stage's hook step).
  THookState Hooks;

  // ---- Run control and callbacks
  TFFmpegThread* WorkerThread = nullptr; // set while a worker runs this engine
  // Running and Terminated change together under this lock, so that Cancel
  // sees a run either still going or told that it ended.
  std::mutex StateLock;
  // Read from other threads (Stop, Cancel), hence atomic.
  std::atomic<bool> Running{false};
  std::atomic<bool> StopRequested{false};
  std::atomic<bool> Finished{false};
  std::atomic<bool> Terminated{false};
  // Set by the owner (may be null): once true, an input being opened or
  // read gives up at its next wait, also before the run has started.
  const std::atomic<bool>* AbortFlag = nullptr;
  // The libraries ask this between waits on an input.
  static int InterruptCheck(void* engine);
  bool ExceptionRaised = false;
  std::string ExceptionMessage;
  bool DiscardOutputs = false; // the run failed: its outputs go at release
  std::string LastError;
  // The media libraries' last error line of this run, without its context
  // tag: a failed run's message ends with it, since the libraries often know
  // the cause our own message can only guess at. Noted from any thread.
  void NoteLibraryError(const std::string& line);
  std::string LastLibraryError() const;
  TCallback<TBeforeHookFunc> BeforeHookCallback;
  TCallback<TCustomHookFunc> CustomHookCallback;
  TCallback<TLogFunc> LogCallback;
  TCallback<TProgressFunc> ProgressCallback;
  TCallback<TTerminateFunc> TerminateCallback;
  int64_t ReportInterval = 500000; // microseconds

  // Whether output work goes to the run's output side now (from the thread
  // that decodes); PostOutputWork queues it there, or runs it at once.
  bool PostingOutputWork() const;
  void PostOutputWork(std::function<void()> work);
  // The cores this run may keep busy.
  int CoresForRun() const;

  // The hooks and deinterlacing on a decoded picture (the picture stage's
  // hook step).
  void PrepareVideoFrame(TInputStreamState& input, AVFrame* picture);
  // The rules of the picture stage of a decoded video stream.
  TPictureRules PictureRules(const TInputStreamState& input) const;

  // ---- For the component: what a job that holds an engine sets and reads,
  // so that nothing outside the engine reaches into its fields.
  // Callbacks; the context is handed back to each call.
  void SetLogCallback(TCallback<TLogFunc> callback) { LogCallback = callback; }
  void SetProgressCallback(TCallback<TProgressFunc> callback) { ProgressCallback = callback; }
  void SetTerminateCallback(TCallback<TTerminateFunc> callback) { TerminateCallback = callback; }
  void SetBeforeHookCallback(TCallback<TBeforeHookFunc> callback) { BeforeHookCallback = callback; }
  void SetCustomHookCallback(TCallback<TCustomHookFunc> callback) { CustomHookCallback = callback; }
  // Called under the state lock when Cancel finds a job that never ran and
  // is about to have its termination delivered from another thread: an
  // owner whose fields that notice reads learns here to wait for it.
  void SetCancelledBeforeRunCallback(TCallback<TTerminateFunc> callback) {
    CancelledBeforeRunCallback = callback;
  }
  const TCallback<TTerminateFunc>& GetTerminateCallback() const { return TerminateCallback; }
  const TCallback<TBeforeHookFunc>& GetBeforeHookCallback() const { return BeforeHookCallback; }
  const TCallback<TCustomHookFunc>& GetCustomHookCallback() const { return CustomHookCallback; }
  // Run control.
  void SetAbortFlag(const std::atomic<bool>* flag) { AbortFlag = flag; }
  // The engine's own level alone; SetVerbose sets the libraries' level too.
  void SetVerboseOnly(int value) { Settings.Verbose = value; }
  void SetReportInterval(int64_t microseconds) { ReportInterval = microseconds; }
  // Output settings the records write as they are, without an option's parsing.
  void SetAudioLanguage(const std::string& value) { Settings.AudioLanguage = value; }
  void SetSubtitleLanguage(const std::string& value) { Settings.SubtitleLanguage = value; }
  void SetCopyTimestamps(bool value) { Settings.CopyTimestamps = value; }
  void SetRecordTimestamp(int64_t seconds) { Settings.RecordTimestamp = seconds; }
  // Replaces the hook time ranges (sorted by their end); the next picture
  // starts looking at the first.
  void SetHookTimeRanges(std::vector<THookTimeRange> ranges) {
    Settings.HookTimeRanges = std::move(ranges);
    Settings.HookRangeCount = static_cast<int>(Settings.HookTimeRanges.size());
    Hooks.HookRangeIndex = 0;
  }
  // State and outcome.
  int GetInputFileCount() const { return InputFileCount; }
  AVFormatContext* GetInputFile(int f) const { return InputFiles[size_t(f)].get(); }
  int GetOutputFileCount() const { return OutputFileCount; }
  bool GetRunning() const { return Running; }
  bool GetTerminated() const { return Terminated; }
  bool GetFinished() const { return Finished; }
  bool GetExceptionRaised() const { return ExceptionRaised; }
  const std::string& GetExceptionMessage() const { return ExceptionMessage; }
  const std::string& GetLastError() const { return LastError; }
  size_t GetOpenEncoderCount() const { return RunState.OpenEncoders.size(); }
  size_t GetOpenDecoderCount() const { return RunState.OpenDecoders.size(); }
  int64_t GetVideoBytesWritten() const { return RunState.VideoBytesWritten; }
  int64_t GetAudioBytesWritten() const { return RunState.AudioBytesWritten; }
  int GetTotalOutputDuration() const { return RunState.TotalOutputDuration; }
  // Settings as the options and records left them.
  const AVOutputFormat* GetForcedOutputFormat() const { return Settings.ForcedOutputFormat; }
  int64_t GetStartTime() const { return Settings.StartTime; }
  int GetProgramId() const { return Settings.ProgramId; }
  int64_t GetRecordingTime() const { return Settings.RecordingTime; }
  int64_t GetRecordTimestamp() const { return Settings.RecordTimestamp; }
  bool GetCopyTimestamps() const { return Settings.CopyTimestamps; }
  int GetAudioSyncMethod() const { return Settings.AudioSyncMethod; }
  int GetVideoSyncMethod() const { return Settings.VideoSyncMethod; }
  std::string GetVideoCodecName() const {
    return Settings.VideoCodecName ? Settings.VideoCodecName.get() : "";
  }
  std::string GetAudioCodecName() const {
    return Settings.AudioCodecName ? Settings.AudioCodecName.get() : "";
  }
  int GetAudioDisable() const { return Settings.AudioDisable; }
  int GetAudioChannels() const { return Settings.AudioChannels; }
  int GetAudioSampleRate() const { return Settings.AudioSampleRate; }
  int GetAudioVolume() const { return Settings.AudioVolume; }
  const std::string& GetAudioLanguage() const { return Settings.AudioLanguage; }
  const std::string& GetSubtitleLanguage() const { return Settings.SubtitleLanguage; }
  std::array<int, 3> GetPadColor() const {
    return {Settings.PadColor[0], Settings.PadColor[1], Settings.PadColor[2]};
  }
  const std::string& GetMetaTitle() const { return Settings.MetaTitle; }
  const std::string& GetMetaAuthor() const { return Settings.MetaAuthor; }
  const std::string& GetMetaGenre() const { return Settings.MetaGenre; }
  const std::string& GetMetaAlbum() const { return Settings.MetaAlbum; }
  int GetMetaYear() const { return Settings.MetaYear; }
  int GetMetaTrack() const { return Settings.MetaTrack; }
  const std::vector<THookTimeRange>& GetHookTimeRanges() const { return Settings.HookTimeRanges; }
  int GetHookRangeCount() const { return Settings.HookRangeCount; }
  int GetHookRangeIndex() const { return Hooks.HookRangeIndex; }

protected:
  void CancelledBeforeRun() {
    if (CancelledBeforeRunCallback)
      CancelledBeforeRunCallback.Func(CancelledBeforeRunCallback.Context, this);
  }
  TCallback<TTerminateFunc> CancelledBeforeRunCallback;

  // The run: set-up, packet loop and end (one stage per file).
  void Transcode();
  void SetupRun();
  // The first input's tags and chapters onto every output, before headers.
  void CarrySourceMetadata();
  void RunMainLoop();
  void EndRun();

private:
  // Closes the outputs, deleting those that never got a byte.
  void ReleaseOutputFiles();
  // The muxer stage and what it asks of this engine.
  std::unique_ptr<TMuxerOwner> MuxerLink;
  std::unique_ptr<TMuxer> Muxer;
  // What every stream's audio output stage asks of this engine.
  std::unique_ptr<TAudioOutputOwner> AudioLink;
  // What each stream's video stage asks of this engine.
  std::unique_ptr<TVideoOutputOwner> VideoLink;
  // What each input stream's decoder stage asks of this engine.
  std::unique_ptr<TDecoderOwner> DecoderLink;
  // What each decoded video stream's picture stage asks of this engine.
  std::unique_ptr<TPictureStageOwner> PictureLink;
  // Whether this run's output side gets a thread of its own, and whether
  // its video decoders may then use several.
  bool OutputSideFits() const;
  // Whether the stream is decoded in stretches on several decoders at once.
  bool SegmentDecodingFits(const TInputStreamState& input) const;
  bool DecoderThreadsFit() const;
  // Marks the run's format and codec contexts as this engine's, so that a
  // library line logged on any thread (codec threads too) finds its job.
  void MarkOwnContexts();
  mutable std::mutex LibraryErrorLock;
  std::string LibraryError;
  // Threads owned by the engine; joined before it goes away.
  std::unique_ptr<TFFmpegThread> OwnedWorker;
  std::unique_ptr<TDoTerminateThread> OwnedTerminator;
};

// A picture attached to a song or film (its cover), stored as a one-picture
// video stream: never the video to convert.
inline bool IsCoverPicture(const AVStream* stream) {
  return stream->disposition & AV_DISPOSITION_ATTACHED_PIC;
}

// The stream's display matrix (nine 32-bit values), or null.
const uint8_t* DisplayMatrixOf(const AVStream* stream);
// Clockwise quarter turns (0 to 3) the stream's display matrix asks for: 0
// without one, -1 for a turn that is not a right angle.
int ClockwiseQuarterTurns(const AVStream* stream);

// Process-wide: serialises every codec open and close and every stream probe.
std::mutex& CodecLock();

} // namespace kestro
