// Turning the job records into engine settings. Order matters: the option
// text goes first so that any field a record sets overrides it, and the
// first error stops everything after it (target, hooks, file).
#include "OptionRecords.h"

#include "OptionValues.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

namespace kestro {

namespace {

// A fixed text field may be filled to its last byte without a terminator.
template <size_t N> std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

// Without the characters at or below the blank at either end.
std::string Trim(const std::string& text) { return options::TrimBlanks(text); }

// Milliseconds as microseconds; text that is no decimal integer, or whose
// microseconds do not fit, counts as -1 ms.
int64_t MillisecondsToMicro(const std::string& text) {
  constexpr int64_t Unreadable = -1000;
  size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ')
    ++i;
  const char* begin = text.c_str() + i;
  if (*begin == '\0')
    return Unreadable;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(begin, &end, 10);
  if (errno == ERANGE || *end != '\0' || end == begin ||
      value > std::numeric_limits<int64_t>::max() / 1000 ||
      value < std::numeric_limits<int64_t>::min() / 1000)
    return Unreadable;
  return value * 1000;
}

// The system colours as a light desktop theme shows them, by index:
//   0 scroll bar       C8C8C8   11 inactive border   FCF7F4   22 3-D light        E3E3E3
//   1 desktop          000000   12 app workspace     ABABAB   23 tooltip text     000000
//   2 active caption   D1B499   13 highlight         D77800   24 tooltip back     E1FFFF
//   3 inactive caption DBCDBF   14 highlight text    FFFFFF   25 (unused)         000000
//   4 menu             F0F0F0   15 button face       F0F0F0   26 hot light        CC6600
//   5 window           FFFFFF   16 button shadow     A0A0A0   27 caption gradient EAD1B9
//   6 window frame     646464   17 grey text         6D6D6D   28 inactive gradient F2E4D7
//   7 menu text        000000   18 button text       000000   29 menu highlight   D77800
//   8 window text      000000   19 inactive cap text 000000   30 menu bar         F0F0F0
//   9 caption text     000000   20 button highlight  FFFFFF
//  10 active border    B4B4B4   21 3-D dark shadow   696969
// Values are 0x00BBGGRR like every colour here. There is no desktop to ask,
// so the values are fixed.
constexpr TColor SystemColors[31] = {
    0xC8C8C8, 0x000000, 0xD1B499, 0xDBCDBF, 0xF0F0F0, 0xFFFFFF, 0x646464, 0x000000,
    0x000000, 0x000000, 0xB4B4B4, 0xFCF7F4, 0xABABAB, 0xD77800, 0xFFFFFF, 0xF0F0F0,
    0xA0A0A0, 0x6D6D6D, 0x000000, 0x000000, 0xFFFFFF, 0x696969, 0xE3E3E3, 0x000000,
    0xE1FFFF, 0x000000, 0xCC6600, 0xEAD1B9, 0xF2E4D7, 0xD77800, 0xF0F0F0,
};

constexpr TColor SystemColorFlag = 0x80000000u;

void ApplyHooks(TCustomFFmpeg& engine, const TOutputOptions& options,
                const THookCallbacks& hooks) {
  // Only one of the three may gate a picture.
  if (options.EnableCustomHook)
    engine.SetCustomHookCallback(hooks.CustomHook);
  else if (options.EnableBeforeHook)
    engine.SetBeforeHookCallback(hooks.BeforeHook);
  else
    ParseHookRanges(engine, options.HookRanges);
}

} // namespace

void InitInputOptions(TInputOptions& options) { options = TInputOptions{}; }

void InitOutputOptions(TOutputOptions& options) { options = TOutputOptions{}; }

TColor ResolveSystemColor(TColor color) {
  if ((color & 0xFF000000u) != SystemColorFlag)
    return color;
  const TColor index = color & 0x00FFFFFFu;
  // An index the desktop does not know reads as black, as it would there.
  return index < std::size(SystemColors) ? SystemColors[index] : 0;
}

void ApplyInputOptions(TCustomFFmpeg& engine, const TInputOptions& options) {
  engine.ParseOptionLines(options.ExtraOptions);
  if (!options.FileFormat.empty())
    engine.SetInputFormat(options.FileFormat);
  if (options.StartTimeMs > 0)
    engine.SetStartTime(int64_t(options.StartTimeMs) * 1000);
  if (options.ProgramID >= 0)
    engine.SetProgramId(options.ProgramID);
}

void ApplyOutputOptions(TCustomFFmpeg& e, const TOutputOptions& o) {
  const auto option = [&e](bool applies, const char* name, const std::string& value) {
    if (applies)
      e.SetOption(name, value);
  };
  const auto number = [&e](int value, const char* name) {
    if (value > 0)
      e.SetOption(name, std::to_string(value));
  };
  // A record may be used with any container: a muxer that has no such
  // setting simply does not get it.
  const auto generic = [&e](int value, const char* name) {
    if (value > 0 && !e.SetDefaultOptionInt(name, value))
      e.SetPrivateOption(name, std::to_string(value), true);
  };
  const auto size = [&e](int value, const char* name) {
    if (value >= 0)
      e.SetOption(name, std::to_string(value));
  };

  if (!o.FileFormat.empty())
    e.SetOutputFormat(o.FileFormat);
  generic(o.PacketSize, "packetsize");
  generic(o.MuxRate, "muxrate");
  if (o.MuxDelay > 0)
    e.SetMuxMaxDelay(o.MuxDelay);
  if (o.MuxPreload > 0)
    e.SetMuxPreload(o.MuxPreload);

  option(!o.AudioCodec.empty(), "acodec", o.AudioCodec);
  option(o.DisableAudio, "an", "1");
  if (o.AudioVolume >= 0)
    e.SetAudioVolume(o.AudioVolume);
  number(o.AudioChannels, "ac");
  number(o.AudioSampleRate, "ar");
  generic(o.AudioBitrate, "ab");
  generic(o.AudioBitrateTolerance, "abt");
  e.SetAudioLanguage(o.AudioLanguage);
  e.SetAudioSyncMethod(o.AudioSync);
  option(!o.AudioTag.empty(), "atag", o.AudioTag);

  option(!o.VideoCodec.empty(), "vcodec", o.VideoCodec);
  option(o.DisableVideo, "vn", "1");
  option(!o.FrameRateText.empty(), "r", o.FrameRateText);
  option(!o.FrameSize.empty(), "s", o.FrameSize);
  option(!o.AspectRatio.empty(), "aspect", o.AspectRatio);
  size(o.CropTop, "croptop");
  size(o.CropBottom, "cropbottom");
  size(o.CropLeft, "cropleft");
  size(o.CropRight, "cropright");
  size(o.PadTop, "padtop");
  size(o.PadBottom, "padbottom");
  size(o.PadLeft, "padleft");
  size(o.PadRight, "padright");
  // Signed, so that any 32-bit value reads back as an integer.
  e.SetOption("padcolor", std::to_string(static_cast<int32_t>(ResolveSystemColor(o.PaddingColor))));
  generic(o.GOPSize, "gop");
  generic(o.VideoBitrate, "vb");
  generic(o.VideoMaxRate, "maxrate");
  generic(o.VideoMinRate, "minrate");
  generic(o.VideoBitrateTolerance, "bt");
  generic(o.VideoBufferSize, "bufsize");
  e.SetVideoSyncMethod(o.VideoSync);
  option(!o.VideoTag.empty(), "vtag", o.VideoTag);
  option(!o.VideoFilters.empty(), "vfilters", o.VideoFilters);

  option(o.DisableSubtitle, "sn", "1");
  e.SetSubtitleLanguage(o.SubtitleLanguage);
  e.SetCopyTimestamps(o.CopyTimestamp);
  if (o.RecordingTimeMs > 0)
    e.SetRecordingTimeMs(o.RecordingTimeMs);
  if (o.Timestamp == 0)
    e.SetRecordTimestamp(LocalTimeToUnix(CurrentLocalDateTime()));
  else if (o.Timestamp > 0)
    e.SetRecordTimestamp(LocalTimeToUnix(o.Timestamp));
  if (o.Year > 0)
    e.SetYear(o.Year);
  if (o.Track > 0)
    e.SetTrack(o.Track);
  const struct {
    std::string Value;
    void (TCustomFFmpeg::*Set)(const std::string&);
  } texts[] = {
      {FieldText(o.Title), &TCustomFFmpeg::SetTitle},
      {FieldText(o.Author), &TCustomFFmpeg::SetAuthor},
      {FieldText(o.Copyright), &TCustomFFmpeg::SetCopyright},
      {FieldText(o.Comment), &TCustomFFmpeg::SetComment},
      {FieldText(o.Album), &TCustomFFmpeg::SetAlbum},
      {FieldText(o.Genre), &TCustomFFmpeg::SetGenre},
  };
  for (const auto& text : texts)
    if (!text.Value.empty())
      (e.*text.Set)(text.Value);
}

std::optional<TTargetCall> TargetCall(const TOutputOptions& options) {
  static const char* const Types[] = {"vcd", "svcd", "dvd"};
  if (options.Target < 1 || options.Target > 3)
    return std::nullopt;
  const char* norm = options.TargetNorm == 1 ? "pal" : options.TargetNorm == 2 ? "ntsc" : "auto";
  const char* fallback = options.TargetFallbackNorm == 1 ? "pal" : "ntsc";
  return TTargetCall{Types[options.Target - 1], norm, fallback};
}

void ApplyTarget(TCustomFFmpeg& engine, const TOutputOptions& options) {
  if (const auto call = TargetCall(options))
    engine.SetTarget(call->Type, call->Norm, call->FallbackNorm);
}

void ApplyOutputRecord(TCustomFFmpeg& engine, const TOutputOptions& options,
                       const THookCallbacks& hooks) {
  engine.ParseOptionLines(options.ExtraOptions);
  ApplyOutputOptions(engine, options);
  ApplyTarget(engine, options);
  ApplyHooks(engine, options, hooks);
}

void ParseHookRanges(TCustomFFmpeg& engine, const std::string& text) {
  std::vector<THookTimeRange> ranges;
  std::string rest = Trim(text);
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string item = Trim(rest.substr(0, comma));
    rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
    const size_t hyphen = item.find('-');
    // Without a hyphen the end is unreadable, so the item is dropped below.
    const int64_t start = MillisecondsToMicro(Trim(item.substr(0, hyphen)));
    const int64_t end =
        hyphen == std::string::npos ? -1000 : MillisecondsToMicro(item.substr(hyphen + 1));
    if (start <= end && end >= 0)
      ranges.push_back({start, end});
  }
  std::stable_sort(ranges.begin(), ranges.end(),
                   [](const THookTimeRange& a, const THookTimeRange& b) { return a.End < b.End; });
  engine.SetHookTimeRanges(std::move(ranges));
}

int64_t LocalTimeToUnix(TDateTime value, int biasMinutes) {
  constexpr TDateTime UnixEpochDay = 25569; // 1 January 1970
  const double seconds = (value - UnixEpochDay + biasMinutes / 1440.0) * 86400.0;
  // Nearest, ties to even; a date beyond the 64-bit range saturates.
  if (!(seconds > -9.2e18))
    return std::numeric_limits<int64_t>::min();
  if (seconds > 9.2e18)
    return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(std::nearbyint(seconds));
}

int64_t LocalTimeToUnix(TDateTime value) { return LocalTimeToUnix(value, StandardBiasMinutes()); }

int StandardBiasMinutes() {
  const time_t now = std::time(nullptr);
  tm today{};
  localtime_r(&now, &today);
  // Daylight saving moves the clock ahead, so the standard offset is the
  // smaller one of midwinter and midsummer, whichever hemisphere we are in.
  const auto offsetIn = [&today](int month) {
    tm probe{};
    probe.tm_year = today.tm_year;
    probe.tm_mon = month;
    probe.tm_mday = 1;
    probe.tm_hour = 12;
    probe.tm_isdst = -1;
    const time_t when = mktime(&probe);
    tm local{};
    localtime_r(&when, &local);
    return local.tm_gmtoff;
  };
  const long standardOffset = std::min(offsetIn(0), offsetIn(6));
  return static_cast<int>(-standardOffset / 60);
}

TDateTime CurrentLocalDateTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  const double seconds = double(now.tv_sec + local.tm_gmtoff) + now.tv_nsec / 1e9;
  return 25569 + seconds / 86400.0;
}

} // namespace kestro
