// The two plain records a caller fills per job instead of writing option
// text, and their translation into engine settings. Fields left at their
// defaults change nothing, apart from the few that are always written.
#pragma once

#include "FFmpeg.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestro {

// Days since 30 December 1899, the fraction being the time of day, local time.
using TDateTime = double;

// A colour as 0x00BBGGRR, or a system-colour code (see ResolveSystemColor).
using TColor = uint32_t;

struct TInputOptions {
  std::string FileName;     // filled in by AddInput when empty
  std::string FileFormat;   // forced container format; empty: probe
  int32_t StartTimeMs = -1; // where reading starts
  int32_t ProgramID = -1;   // program to keep in a multi-program source
  std::string ExtraOptions; // option text: one "name=value" per line
};

struct TOutputOptions {
  std::string FileName; // filled in by SetOutput when empty
  std::string FileFormat;
  int32_t PacketSize = -1;
  int32_t MuxRate = -1;
  float MuxDelay = -1.0f;   // seconds
  float MuxPreload = -1.0f; // seconds
  std::string AudioCodec;
  bool DisableAudio = false;
  int32_t AudioVolume = -1; // 256 keeps the volume
  int32_t AudioChannels = -1;
  int32_t AudioSampleRate = -1;
  int32_t AudioBitrate = -1;
  int32_t AudioBitrateTolerance = -1;
  std::string AudioLanguage;
  int32_t AudioSync = 0;
  std::string AudioTag;
  std::string VideoCodec;
  bool DisableVideo = false;
  std::string FrameRateText;
  std::string FrameSize;   // e.g. "176x144"
  std::string AspectRatio; // "16:9" or a decimal
  int32_t CropTop = -1, CropBottom = -1, CropLeft = -1, CropRight = -1;
  int32_t PadTop = -1, PadBottom = -1, PadLeft = -1, PadRight = -1;
  TColor PaddingColor = 0; // black
  int32_t GOPSize = -1;
  int32_t VideoBitrate = -1;
  int32_t VideoMaxRate = -1;
  int32_t VideoMinRate = -1;
  int32_t VideoBitrateTolerance = -1;
  int32_t VideoBufferSize = -1;
  int32_t VideoSync = -1; // automatic
  std::string VideoTag;
  std::string VideoFilters;
  bool DisableSubtitle = false;
  std::string SubtitleLanguage;
  bool CopyTimestamp = false;
  int32_t RecordingTimeMs = -1;
  TDateTime Timestamp = -1.0; // 0: now; negative: none
  int32_t Year = -1;
  int32_t Track = -1;
  char Title[512] = {};
  char Author[512] = {};
  char Copyright[512] = {};
  char Comment[512] = {};
  char Album[512] = {};
  char Genre[32] = {};
  int32_t Target = 0;             // 0 none, 1 "vcd", 2 "svcd", 3 "dvd"
  int32_t TargetNorm = 0;         // 0 "auto", 1 "pal", 2 "ntsc"
  int32_t TargetFallbackNorm = 1; // 1 "pal", otherwise "ntsc"
  bool EnableCustomHook = false;
  bool EnableBeforeHook = false;
  std::string HookRanges; // "start-end" in ms, comma-separated
  std::string ExtraOptions;
  // Option lines for once the file is open: lines that add streams to it
  // ("newaudio", "newsubtitle") with the settings of each.
  std::string StreamOptions;
};

void InitInputOptions(TInputOptions& options);
void InitOutputOptions(TOutputOptions& options);

// The component's side of the two per-picture hooks; a record that asks for
// a hook gets the matching one connected to its engine.
struct THookCallbacks {
  TCallback<TBeforeHookFunc> BeforeHook;
  TCallback<TCustomHookFunc> CustomHook;
};

// Input record, after the engine was reset: option text, format, start
// position and program. Opening the file is the caller's next step.
void ApplyInputOptions(TCustomFFmpeg& engine, const TInputOptions& options);

// Output record: option text first, then the fields, the target preset and
// the hook choice. The first error raised stops the translation there.
void ApplyOutputRecord(TCustomFFmpeg& engine, const TOutputOptions& options,
                       const THookCallbacks& hooks);
// The fields alone, in record order.
void ApplyOutputOptions(TCustomFFmpeg& engine, const TOutputOptions& options);

// The target preset call a record asks for, or none.
struct TTargetCall {
  std::string Type, Norm, FallbackNorm;
  bool operator==(const TTargetCall&) const = default;
};
std::optional<TTargetCall> TargetCall(const TOutputOptions& options);
void ApplyTarget(TCustomFFmpeg& engine, const TOutputOptions& options);

// Replaces the engine's hook time ranges with those of `text`.
void ParseHookRanges(TCustomFFmpeg& engine, const std::string& text);

// Seconds since 1970 for a local date-time, with the time zone's standard
// bias in minutes (UTC = local + bias); daylight saving is not applied.
int64_t LocalTimeToUnix(TDateTime value, int biasMinutes);
int64_t LocalTimeToUnix(TDateTime value);
// The local zone's standard bias, in minutes, as the C library reports it.
int StandardBiasMinutes();
TDateTime CurrentLocalDateTime();

// A system-colour code (0x80000000 | index) becomes its RGB value; any other
// value is returned as it is.
TColor ResolveSystemColor(TColor color);

} // namespace kestro
