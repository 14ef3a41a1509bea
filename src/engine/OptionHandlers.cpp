// The option handlers: options whose value needs more than an assignment.
#include "FFmpeg.h"
#include "FrameHook.h"
#include "OptionValues.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <utility>

namespace kestro {

using namespace options;

namespace {

const char* const SideNames[] = {"Top", "Bottom", "Left", "Right"};

// "pgmyuv" is read and written as image2; input opening picks the decoder.
std::string FormatName(TCustomFFmpeg& e, const std::string& name) {
  if (name != "pgmyuv")
    return name;
  e.Settings.PgmYuvCompat = 1;
  if (e.LogCallback)
    e.Log(1, "pgmyuv format is deprecated, use image2");
  return "image2";
}

// Forces the demuxer, the muxer or both to the format named; fails only
// when none of the sides asked for knows the name.
void ForceFormats(TCustomFFmpeg& e, const std::string& value, bool input, bool output) {
  if (value.empty())
    return;
  const std::string name = FormatName(e, value);
  if (input)
    e.Settings.ForcedInputFormat = avformat::av_find_input_format(name.c_str());
  if (output)
    e.Settings.ForcedOutputFormat = avformat::av_guess_format(name.c_str(), nullptr, nullptr);
  if ((input && e.Settings.ForcedInputFormat) || (output && e.Settings.ForcedOutputFormat))
    return;
  const char* sides = input && output ? "input or output" : input ? "input" : "output";
  throw FFMpegException(std::string("Unknown ") + sides + " format: " + name);
}

// Reads an index with the C conversion (base 0: "0x" hexadecimal, a leading
// 0 octal) and moves past it. Values beyond int stay out of range rather
// than wrapping into a valid-looking index.
int ReadIndex(const char*& p) {
  char* end = nullptr;
  const long value = myutil::my_strtol(p, &end, 0);
  p = end;
  if (value > INT_MAX)
    return INT_MAX;
  if (value < INT_MIN)
    return INT_MIN;
  return static_cast<int>(value);
}

// Skips the one separator character between two numbers, if any.
void SkipSeparator(const char*& p) {
  if (*p)
    ++p;
}

// The "list" value of a format option: the library's header line, then one
// line per format it knows; only for a log receiver.
template <typename Format, typename Known>
void LogFormatTable(TCustomFFmpeg& e, char* (*describe)(char*, int, Format), Known known) {
  if (!e.LogCallback)
    return;
  char line[128];
  for (int i = -1; i < 0 || known(Format(i)); ++i)
    e.Log(1, TrimBlanks(describe(line, sizeof(line), Format(i))));
}

std::string ExecutableFolder() {
  char path[PATH_MAX];
  const ssize_t size = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (size <= 0)
    return "./";
  std::string folder(path, size_t(size));
  return folder.substr(0, folder.rfind('/') + 1);
}

} // namespace

// ---- Formats

void TCustomFFmpeg::SetInputFormat(const std::string& value) {
  ForceFormats(*this, value, true, false);
}

void TCustomFFmpeg::SetOutputFormat(const std::string& value) {
  ForceFormats(*this, value, false, true);
}

void TCustomFFmpeg::OptFormat(const std::string& value) {
  ForceFormats(*this, value, true, true);
}

// ---- Picture geometry

void TCustomFFmpeg::OptFrameRate(const std::string& value) {
  if (value.empty())
    return;
  if (avutil::av_parse_video_rate(&Settings.FrameRate, value.c_str()) < 0)
    throw FFMpegException("Incorrect frame rate");
}

void TCustomFFmpeg::OptFrameSize(const std::string& value) {
  if (value.empty())
    return;
  if (avutil::av_parse_video_size(&Settings.FrameWidth, &Settings.FrameHeight, value.c_str()) < 0)
    throw FFMpegException("Incorrect frame size");
  if (Settings.FrameWidth % 2 != 0 || Settings.FrameHeight % 2 != 0)
    throw FFMpegException("Frame size must be a multiple of 2");
  Settings.FrameSizeTurned = false;
}

void TCustomFFmpeg::SetAutoRotate(int value) {
  Settings.AutoRotate = value != 0;
  // The source's size was taken over turned; unturned pictures keep theirs.
  if (!Settings.AutoRotate && Settings.FrameSizeTurned) {
    std::swap(Settings.FrameWidth, Settings.FrameHeight);
    if (Settings.FrameAspectRatio > 0.0f)
      Settings.FrameAspectRatio = 1.0f / Settings.FrameAspectRatio;
    Settings.FrameSizeTurned = false;
  }
}

void TCustomFFmpeg::OptFrameCrop(TFrameSide side, int value) {
  if (value < 0)
    return;
  if (value % 2 != 0)
    throw FFMpegException(Message("%s crop size must be a multiple of 2", SideNames[side]));
  const bool vertical = side == fsTop || side == fsBottom;
  int& size = vertical ? Settings.FrameHeight : Settings.FrameWidth;
  if (value >= size)
    throw FFMpegException(
        vertical ? "Vertical crop dimensions are outside the range of the original image.\n"
                   "Remember to crop first and scale second."
                 : "Horizontal crop dimensions are outside the range of the original image.\n"
                   "Remember to crop first and scale second.");
  int* const crops[] = {&Settings.FrameTopCrop, &Settings.FrameBottomCrop, &Settings.FrameLeftCrop,
                        &Settings.FrameRightCrop};
  *crops[side] = value;
  size -= value;
}

void TCustomFFmpeg::OptFramePad(TFrameSide side, int value) {
  if (value < 0)
    return;
  if (value % 2 != 0)
    throw FFMpegException(Message("%s pad size must be a multiple of 2", SideNames[side]));
  int* const pads[] = {&Settings.FramePadTop, &Settings.FramePadBottom, &Settings.FramePadLeft,
                       &Settings.FramePadRight};
  *pads[side] = value;
}

void TCustomFFmpeg::OptPadColor(int value) {
  // A colour value with red in the lowest byte, turned into full-range YUV
  // with coefficients scaled by 1024.
  const int r = value & 0xFF, g = (value >> 8) & 0xFF, b = (value >> 16) & 0xFF;
  Settings.PadColor[0] = (306 * r + 601 * g + 117 * b + 512) >> 10;
  Settings.PadColor[1] = ((-173 * r - 339 * g + 512 * b + 511) >> 10) + 128;
  Settings.PadColor[2] = ((512 * r - 429 * g - 83 * b + 511) >> 10) + 128;
}

void TCustomFFmpeg::OptAspectRatio(const std::string& value) {
  if (value.empty())
    return;
  double ratio = 0.0;
  if (const size_t colon = value.find(':'); colon != std::string::npos) {
    int64_t x = 0, y = 0;
    if (!TryParseInteger(value.substr(0, colon), INT32_MIN, INT32_MAX, x))
      x = 0;
    if (!TryParseInteger(value.substr(colon + 1), INT32_MIN, INT32_MAX, y))
      y = 0;
    ratio = y > 0 ? double(x) / double(y) : 0.0;
  } else if (!TryParseLocaleFloat(value, ratio)) {
    ratio = 0.0;
  }
  const float stored = static_cast<float>(ratio);
  if (stored == 0.0f || !std::isfinite(stored))
    throw FFMpegException("Incorrect aspect ratio specification.");
  Settings.FrameAspectRatio = stored;
}

// ---- Pixel and sample formats

void TCustomFFmpeg::OptPixFmt(const std::string& value) {
  if (value == "list")
    LogFormatTable(*this, avutil::av_get_pix_fmt_string,
                   [](AVPixelFormat f) { return avutil::av_pix_fmt_desc_get(f) != nullptr; });
  else {
    Settings.FramePixFmt = avutil::av_get_pix_fmt(value.c_str());
    Settings.PixFmtAsked = Settings.FramePixFmt != AV_PIX_FMT_NONE;
  }
}

void TCustomFFmpeg::OptSampleFmt(const std::string& value) {
  if (value == "list")
    LogFormatTable(*this, avutil::av_get_sample_fmt_string,
                   [](AVSampleFormat f) { return avutil::av_get_sample_fmt_name(f) != nullptr; });
  else
    Settings.AudioSampleFmt = avutil::av_get_sample_fmt(value.c_str());
}

// ---- Codecs

void TCustomFFmpeg::OptQScale(float value) {
  if (value <= 0.0f || value > 255.0f)
    throw FFMpegException("qscale must be > 0.0 and <= 255");
  Settings.VideoQScale = value;
}

void TCustomFFmpeg::OptBitrate(const std::string& name, const std::string& value) {
  if (name.empty() || value.empty())
    return;
  if (!SetDefaultOption(name.c_str(), value.c_str()) || !LogCallback)
    return;
  const int type = name[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
  int64_t bitrate = 0;
  if (avutil::av_opt_get_int(Settings.CodecOptionContexts[type].get(), "b", 0, &bitrate) >= 0 &&
      bitrate < 1000)
    Log(1, "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not "
           "kbits/s");
}

void TCustomFFmpeg::OptCodecName(AVMediaType type, const std::string& value) {
  if (value.empty())
    return;
  TAvTextPtr* name;
  int* streamCopy;
  switch (type) {
  case AVMEDIA_TYPE_VIDEO:
    name = &Settings.VideoCodecName;
    streamCopy = &Settings.VideoStreamCopy;
    break;
  case AVMEDIA_TYPE_AUDIO:
    name = &Settings.AudioCodecName;
    streamCopy = &Settings.AudioStreamCopy;
    break;
  case AVMEDIA_TYPE_SUBTITLE:
    name = &Settings.SubtitleCodecName;
    streamCopy = &Settings.SubtitleStreamCopy;
    break;
  default:
    return;
  }
  name->reset();
  if (value == "copy")
    *streamCopy = 1;
  else
    *name = AvText(value.c_str());
}

void TCustomFFmpeg::OptCodecTag(const std::string& name, const std::string& value) {
  if (value.empty())
    return;
  const bool video = name == "vtag";
  if (value.size() != 4)
    throw FFMpegException(video ? "video tag parameter must be 4 chars"
                                : "audio tag parameter must be 4 chars");
  // First character in the lowest byte.
  uint32_t tag = 0;
  for (int i = 3; i >= 0; --i)
    tag = (tag << 8) | static_cast<unsigned char>(value[size_t(i)]);
  (video ? Settings.VideoCodecTag : Settings.AudioCodecTag) = static_cast<int>(tag);
}

void TCustomFFmpeg::OptBitstreamFilter(const std::string& name, const std::string& value) {
  if (name.empty() || value.empty() || value[0] == '=')
    return;
  // The chain keeps the whole "name=options" text; the name is checked now.
  const std::string filter = value.substr(0, value.find('='));
  if (!avcodec::av_bsf_get_by_name(filter.c_str()))
    throw FFMpegException("Unknown bitstream filter " + TrimBlanks(value));
  std::vector<std::string>& chain = name[0] == 'v'   ? Settings.VideoBitstreamFilters
                                    : name[0] == 'a' ? Settings.AudioBitstreamFilters
                                                     : Settings.SubtitleBitstreamFilters;
  chain.push_back(value);
}

// ---- Frame hooks

void TCustomFFmpeg::OptVideoHook(const std::string& value) {
  const std::string failure = "Failed to add video hook function: " + value;
  TAvTextPtr words = AvText(value.c_str());
  if (!words)
    throw FFMpegException(failure);
  const char* separator = value.find('|') != std::string::npos ? "|" : " ";
  // The module's file name and at most 62 arguments.
  constexpr int MaxWords = 63;
  char* argv[MaxWords + 1] = {};
  int argc = 0;
  for (char* word = myutil::my_strtok(words.get(), separator); word && argc < MaxWords;
       word = myutil::my_strtok(nullptr, separator))
    argv[argc++] = word;
  if (LoadHookModule(&Settings.FirstHookModule, argc, argv) != 0)
    throw FFMpegException(failure);
  Settings.FrameHooksInUse = true;
}

// ---- Maps and time stamps

void TCustomFFmpeg::OptStreamMap(const std::string& value) {
  if (StreamMapCount >= MaxStreamMaps)
    throw FFMpegException(Message("Too many stream maps (at most %d)", MaxStreamMaps));
  const char* p = value.c_str();
  TStreamMap map;
  map.FileIndex = ReadIndex(p);
  SkipSeparator(p);
  map.StreamIndex = ReadIndex(p);
  if (!*p) {
    map.SyncFileIndex = map.FileIndex;
    map.SyncStreamIndex = map.StreamIndex;
  } else {
    SkipSeparator(p);
    map.SyncFileIndex = ReadIndex(p);
    SkipSeparator(p);
    map.SyncStreamIndex = ReadIndex(p);
  }
  StreamMaps[size_t(StreamMapCount++)] = map;
}

void TCustomFFmpeg::OptMetaDataMap(const std::string& value) {
  if (MetaDataMapCount >= MaxMetaDataMaps)
    throw FFMpegException(Message("Too many meta data maps (at most %d)", MaxMetaDataMaps));
  const char* p = value.c_str();
  TMetaDataMap map;
  map.OutputFileIndex = ReadIndex(p);
  SkipSeparator(p);
  map.InputFileIndex = ReadIndex(p);
  MetaDataMaps[size_t(MetaDataMapCount++)] = map;
}

void TCustomFFmpeg::OptInputTsScale(const std::string& value) {
  const char* p = value.c_str();
  const int stream = ReadIndex(p);
  SkipSeparator(p);
  const double scale = myutil::my_strtod(p, nullptr);
  if (stream < 0 || stream >= MaxStreams)
    throw FFMpegException(Message("stream index over MAX_STREAMS(%d)", MaxStreams));
  // The scale is for the input opened next; there is none after the last.
  if (InputFileCount >= MaxFiles)
    throw FFMpegException(Message("Too many input files (at most %d)", MaxFiles));
  InputTsScales[InputFileCount][stream] = scale;
}

int64_t TCustomFFmpeg::ParseTime(const std::string& optionName, const std::string& text,
                                 bool isDuration) {
  int64_t microseconds = 0;
  if (avutil::av_parse_time(&microseconds, text.c_str(), isDuration ? 1 : 0) < 0)
    throw FFMpegException(Message("Invalid %s specification for %s: %s",
                                  isDuration ? "duration" : "date", optionName.c_str(),
                                  text.c_str()));
  return microseconds;
}

void TCustomFFmpeg::OptRecordTimestamp(int64_t microseconds) {
  // Nearest whole second, halves to even (the default rounding mode).
  Settings.RecordTimestamp = static_cast<int64_t>(std::nearbyint(double(microseconds) / 1000000.0));
}

// ---- Two-pass, matrices, statistics

void TCustomFFmpeg::OptPass(int value) {
  if (value != 1 && value != 2)
    throw FFMpegException("pass number can be only 1 or 2");
  Settings.PassNumber = value;
}

void TCustomFFmpeg::ParseMatrix(TAvBytesPtr& matrix, const std::string& text) {
  TAvBytesPtr parsed(static_cast<uint8_t*>(avutil::av_mallocz(64 * sizeof(uint16_t))));
  if (!parsed)
    throw FFMpegException("Out of memory");
  auto* coefficients = reinterpret_cast<uint16_t*>(parsed.get());
  const char* p = text.c_str();
  for (int i = 0;; ++i) {
    coefficients[i] = static_cast<uint16_t>(LeadingInteger(p));
    if (i == 63)
      break;
    p = std::strchr(p, ',');
    if (!p)
      throw FFMpegException(
          Message("Syntax error in matrix \"%s\" at coeff %d", text.c_str(), i));
    ++p;
  }
  // Only a complete matrix replaces the one set before: a half-read one
  // would hand the encoder zero divisors.
  matrix = std::move(parsed);
}

void TCustomFFmpeg::OptVStats() {
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char stamp[16];
  strftime(stamp, sizeof(stamp), "%H%M%S", &local);
  Settings.VStatsFileName = AvText((ExecutableFolder() + "vstats_" + stamp + ".log").c_str());
}

void TCustomFFmpeg::OptVStatsFile(const std::string& value) {
  Settings.VStatsFileName = AvText(value.c_str());
}

} // namespace kestro
