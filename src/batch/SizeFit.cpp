#include "SizeFit.h"

#include "MediaLibs.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>

namespace kestro {

namespace fs = std::filesystem;

namespace {

// The share of the limit aimed at: the rate control of a two-pass encode
// lands within a few per cent of its rate, and a result over the limit is
// encoded again anyway.
constexpr double Aim = 0.97;
// The container's headers, and what it stores per packet: an MP4's sample
// tables (size, time, and a picture's display offset), a Matroska block's
// header and its share of clusters and cues.
constexpr double HeaderBytes = 8000;
struct TPacketBytes {
  double Video, Audio;
};
TPacketBytes PacketBytes(const std::string& extension) {
  if (extension == ".mp4" || extension == ".m4a" || extension == ".3gp" || extension == ".mov")
    return {12, 5};
  return {16, 10};
}
constexpr double AudioPacketsPerSecond = 48000.0 / 1024;

// The picture heights stepped down through when the rate is too low for the
// picture's size; the shorter side of a portrait picture counts.
constexpr int LineSteps[] = {1080, 720, 540, 480, 360, 240};

// Bits per pixel below which a picture size is too large for its rate, and
// the least at the smallest step that is still worth watching. Newer codecs
// do as well with less.
double BitsPerPixelWanted(const std::string& codec) {
  return codec == "libx265" || codec == "libsvtav1" || codec == "libaom-av1" ? 0.035 : 0.05;
}
constexpr double BitsPerPixelLeast = 0.015;

// The encoders whose statistics from a first pass reach a rate closely.
bool TwoPass(const std::string& codec) {
  return codec == "libx264" || codec == "libx265" || codec == "libvpx-vp9" || codec == "libvpx" ||
         codec == "h263" || codec == "mpeg4";
}

std::string Minutes(double seconds) {
  const long s = long(std::floor(seconds));
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

std::string Kbits(double bitsPerSecond) {
  return std::to_string(long(std::lround(bitsPerSecond / 1000))) + " kbit/s";
}

// The size of a picture of `width`x`height` with its shorter side at `lines`.
std::pair<int, int> AtLines(int width, int height, int lines) {
  return width >= height ? FitInside(width, height, 0, lines) : FitInside(width, height, lines, 0);
}

} // namespace

std::optional<int64_t> ParseSize(const std::string& text) {
  size_t end = 0;
  double value = 0;
  try {
    value = std::stod(text, &end);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (text.empty() || !(std::isdigit((unsigned char)text[0]) || text[0] == '.'))
    return std::nullopt;
  std::string unit = text.substr(end);
  if (!unit.empty() && (unit.back() == 'B' || unit.back() == 'b'))
    unit.pop_back(); // "10MB", "10MiB"
  static const std::pair<const char*, double> units[] = {
      {"", 1},          {"K", 1e3},           {"k", 1e3},          {"M", 1e6},
      {"G", 1e9},       {"Ki", 1024.0},       {"ki", 1024.0},      {"Mi", 1048576.0},
      {"Gi", 1073741824.0}};
  for (const auto& [name, factor] : units)
    if (unit == name) {
      const double bytes = value * factor;
      if (!(bytes >= 1) || bytes > 1e15)
        return std::nullopt;
      return int64_t(std::llround(bytes));
    }
  return std::nullopt;
}

std::string SizeText(int64_t bytes) {
  static const std::pair<double, const char*> units[] = {{1e9, "GB"}, {1e6, "MB"}, {1e3, "kB"}};
  for (const auto& [factor, name] : units)
    if (bytes >= factor) {
      char text[32];
      std::snprintf(text, sizeof text, "%.2f", bytes / factor);
      std::string number = text;
      while (number.back() == '0')
        number.pop_back();
      if (number.back() == '.')
        number.pop_back();
      return number + " " + name;
    }
  return std::to_string(bytes) + " bytes";
}

TSizeFit PlanSizeFit(const TPresetRow& row, const TSizeSource& source, int64_t limitBytes,
                     bool audioOnly) {
  TSizeFit fit;
  fit.LimitBytes = limitBytes;
  const std::string limit = SizeText(limitBytes);
  const bool video = source.Video && !audioOnly;
  if (row.VideoCodec.empty()) {
    fit.Error = "a size limit needs a video preset";
    return fit;
  }
  // Known first: a pipe, which is not looked into before its job, says
  // nothing else either.
  if (source.Duration <= 0) {
    fit.Error = "a size limit needs the source's duration, and it does not say how long it is";
    return fit;
  }
  if (video && row.VideoCodec == "copy") {
    fit.Error = "a size limit needs a preset that encodes the video";
    return fit;
  }
  if (!audioOnly && !video) {
    fit.Error = "a size limit needs a source with pictures for a video preset";
    return fit;
  }
  const std::string extension = audioOnly && !row.AudioOnlyExtension.empty()
                                    ? row.AudioOnlyExtension
                                    : row.Extension;
  const double frameRate = video ? std::clamp(source.FrameRate > 0 ? source.FrameRate : 30.0, 1.0,
                                              row.MaxFrameRate > 0 ? row.MaxFrameRate : 240.0)
                                 : 0;
  const int tracks = source.AudioTracks;
  const TPacketBytes perPacket = PacketBytes(extension);
  // Bytes per second the container adds to the streams.
  const double containerRate =
      frameRate * perPacket.Video + tracks * AudioPacketsPerSecond * perPacket.Audio;
  const double overhead = HeaderBytes + containerRate * source.Duration + source.CoverBytes;
  // The bits per second that the whole output may take.
  const double budget = (limitBytes * Aim - overhead) * 8 / source.Duration;

  // Sound takes at most a quarter of a video's budget, stepping down from
  // the row's own rate; a row that sets its sound exactly keeps it. A song
  // alone takes what there is.
  int audio = 0;
  if (tracks > 0) {
    if (row.Classic || (row.AudioBitrate <= 0 && !audioOnly)) {
      audio = row.AudioBitrate > 0 ? row.AudioBitrate : 128000;
    } else if (audioOnly) { // the whole budget, up to the row's rate
      audio = std::clamp(int(budget / tracks) / 1000 * 1000, 32000,
                         row.AudioBitrate > 0 ? row.AudioBitrate : 192000);
    } else {
      const int steps[] = {row.AudioBitrate > 0 ? row.AudioBitrate : 192000, 128000, 96000, 64000,
                           48000, 32000};
      audio = 32000;
      for (int step : steps)
        if (step <= steps[0] && tracks * step <= budget / 4) {
          audio = step;
          break;
        }
    }
  }
  fit.AudioBitrate = audio;
  const double leastAudio = tracks * (row.Classic ? audio : std::min(audio, 32000));

  if (!video) {
    if (budget < leastAudio) {
      const double fits = (limitBytes * Aim - HeaderBytes) * 8 / (leastAudio + containerRate * 8);
      fit.Error = "it lasts " + Minutes(source.Duration) + ", too long for " + limit +
                  " even at " + Kbits(leastAudio) + "; at most " + Minutes(fits) + " fits";
    }
    return fit;
  }

  // The picture: the row's size, stepped down until the rate carries it.
  fit.VideoCodec = row.VideoCodec;
  fit.Passes = TwoPass(row.VideoCodec) ? 2 : 1;
  const double videoRate = budget - tracks * audio;
  int width = source.Width > 0 ? source.Width : 640, height = source.Height > 0 ? source.Height : 360;
  const auto bitsPerPixel = [&](int w, int h) { return videoRate / (double(w) * h * frameRate); };
  if (!row.Classic && bitsPerPixel(width, height) < BitsPerPixelWanted(row.VideoCodec)) {
    const int shorter = std::min(width, height);
    for (int lines : LineSteps) {
      if (lines >= shorter)
        continue;
      std::tie(width, height) = AtLines(source.Width, source.Height, lines);
      if (bitsPerPixel(width, height) >= BitsPerPixelWanted(row.VideoCodec))
        break;
    }
  }
  const double least = BitsPerPixelLeast * width * height * frameRate;
  if (videoRate < least) {
    const double perSecond = least + leastAudio + containerRate * 8;
    const double fits = (limitBytes * Aim - HeaderBytes) * 8 / perSecond;
    fit.Error = "it lasts " + Minutes(source.Duration) + ": " + limit + " leaves " +
                Kbits(std::max(0.0, videoRate)) + " for its pictures, too little to watch (" +
                std::to_string(width) + "x" + std::to_string(height) + " needs at least " +
                Kbits(least) + "); at most " + Minutes(fits) + " of it fits in " + limit;
    return fit;
  }
  fit.Width = width;
  fit.Height = height;
  fit.VideoBitrate = int(videoRate);
  return fit;
}

std::string SizeFitFailure(const TSizeFit& fit) {
  return "cannot fit in " + SizeText(fit.LimitBytes) + ": " + fit.Error;
}

TSizeSource ReadSizeSource(const TPresetRow& row, const TAVProbe& probe) {
  TSizeSource source;
  const TSourceTracks tracks = ReadTracks(probe);
  if (probe.FormatContext && probe.FormatContext->duration > 0)
    source.Duration = probe.FormatContext->duration / double(AV_TIME_BASE);
  source.Video = tracks.Video;
  if (tracks.Cover >= 0 && row.KeepCover)
    source.CoverBytes = probe.FormatContext->streams[tracks.Cover]->attached_pic.size;
  source.FrameRate = tracks.FrameRate;
  source.AudioTracks = row.Classic || row.VideoCodec.empty()
                           ? std::min<int>(1, int(tracks.Audio.size()))
                           : int(tracks.Audio.size());
  if (row.Classic && row.MaxWidth > 0 && row.MaxHeight > 0) {
    source.Width = row.MaxWidth;
    source.Height = row.MaxHeight;
  } else if (tracks.Width > 0 && tracks.Height > 0) {
    std::tie(source.Width, source.Height) =
        FitInside(tracks.Width, tracks.Height, row.MaxWidth, row.MaxHeight);
  }
  return source;
}

double OutputDuration(double duration, const std::string& optionLines) {
  double start = 0, length = -1;
  std::istringstream lines(optionLines);
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find('=');
    const std::string name = line.substr(0, equals);
    if (equals == std::string::npos || (name != "ss" && name != "t"))
      continue;
    int64_t microseconds = 0;
    if (avutil::av_parse_time(&microseconds, line.c_str() + equals + 1, 1) < 0)
      continue; // the job itself refuses it
    (name == "ss" ? start : length) = microseconds / 1e6;
  }
  double left = std::max(0.0, duration - start);
  if (length >= 0)
    left = std::min(left, length);
  return left;
}

TOutputPlan PlanSizedOutput(const TPresetRow& row, int64_t limitBytes, const std::string& source,
                            bool sameFolder, const std::string& outputFolder,
                            const TAVProbe& probe, const std::string& optionLines, TSizeFit& fit) {
  const TOutputChoice choice = ChooseOutput(row, source, probe);
  TSizeSource sized = ReadSizeSource(row, probe);
  if (sized.Duration > 0)
    sized.Duration = OutputDuration(sized.Duration, optionLines);
  fit = PlanSizeFit(row, sized, limitBytes, choice.AudioOnly);
  if (!fit.Error.empty())
    return {};
  // The row at the fit's rates and size: rate control by bit rate, so the
  // row's constant-quality lines go.
  TPresetRow fitted = row;
  if (fit.VideoBitrate > 0) {
    fitted.VideoBitrate = fit.VideoBitrate;
    if (!row.Classic) {
      fitted.MaxWidth = fit.Width;
      fitted.MaxHeight = fit.Height;
    }
    std::erase_if(fitted.VideoOptions, [](const std::string& line) {
      return line.rfind("crf=", 0) == 0 || line.rfind("b=", 0) == 0 || line.rfind("qp=", 0) == 0;
    });
  }
  if (fit.AudioBitrate > 0 && !row.Classic) {
    fitted.AudioBitrate = fit.AudioBitrate;
    std::erase_if(fitted.AudioOptions, [](const std::string& line) {
      return line.rfind("aq=", 0) == 0 || line.rfind("q=", 0) == 0;
    });
  }
  return PlanOutput(fitted, source, sameFolder, outputFolder, probe);
}

void to_json(nlohmann::json& out, const TSizeFit& fit) {
  out = {{"limit_bytes", fit.LimitBytes},     {"video_bitrate", fit.VideoBitrate},
         {"audio_bitrate", fit.AudioBitrate}, {"width", fit.Width},
         {"height", fit.Height},              {"passes", fit.Passes},
         {"video_codec", fit.VideoCodec}};
}

void from_json(const nlohmann::json& in, TSizeFit& fit) {
  fit.LimitBytes = in.value("limit_bytes", int64_t(0));
  fit.VideoBitrate = in.value("video_bitrate", 0);
  fit.AudioBitrate = in.value("audio_bitrate", 0);
  fit.Width = in.value("width", 0);
  fit.Height = in.value("height", 0);
  fit.Passes = std::clamp(in.value("passes", 1), 1, 2);
  fit.VideoCodec = in.value("video_codec", std::string());
}

namespace {

// The option lines of pass `pass` of a two-pass encode, statistics kept in
// files that begin with `stats`.
std::string PassLines(const std::string& codec, int pass, const std::string& stats) {
  const std::string number = std::to_string(pass);
  if (codec == "libx265") // its passes are its own parameters
    return "x265-params=log-level=error:pass=" + number + ":stats=" + stats + ".x265.log\n";
  std::string lines = "pass=" + number + "\npasslogfile=" + stats + "\n";
  if (codec == "libx264") // keeps its statistics itself
    lines += "stats=" + stats + ".x264.log\n";
  return lines;
}

void RemoveStatistics(const std::string& stats) {
  const fs::path prefix(stats);
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(prefix.parent_path(), error))
    if (entry.path().filename().string().rfind(prefix.filename().string(), 0) == 0)
      fs::remove(entry.path(), error);
}

} // namespace

std::string RunWithinSize(const TSizeFit& fit, const TOutputOptions& options,
                          const std::string& output, const TPassRunner& runPass,
                          const std::function<void(const std::string&)>& log) {
  const fs::path path(output);
  const std::string stats =
      (path.parent_path() / ("." + path.filename().string() + ".passes")).string();
  struct TCleanUp {
    std::string Stats;
    ~TCleanUp() { RemoveStatistics(Stats); }
  } cleanUp{stats};

  const int passes = fit.VideoBitrate > 0 ? fit.Passes : 1;
  const std::string limit = SizeText(fit.LimitBytes);
  // Exact figures, so that an encode of the same settings can be made by hand.
  log("Planned for " + limit + ": pictures " +
      (fit.VideoBitrate > 0 ? std::to_string(fit.Width) + "x" + std::to_string(fit.Height) +
                                  " at " + std::to_string(fit.VideoBitrate) + " bit/s"
                            : std::string("none")) +
      (fit.AudioBitrate > 0 ? ", sound " + std::to_string(fit.AudioBitrate) + " bit/s a track, "
                            : std::string(", no sound, ")) +
      std::to_string(passes) + (passes == 1 ? " pass" : " passes"));
  TOutputOptions last = options;
  if (passes == 2) {
    // The first pass writes every stream as the last will: where a cut ends
    // depends on all of them, and the statistics must match picture for
    // picture.
    TOutputOptions first = options;
    first.ExtraOptions += PassLines(fit.VideoCodec, 1, stats);
    if (std::string failed = runPass(first, 1, passes); !failed.empty())
      return failed;
    last.ExtraOptions += PassLines(fit.VideoCodec, 2, stats);
  }
  // The rate that a retry lowers: the pictures', or a song's.
  const bool pictures = fit.VideoBitrate > 0;
  double rate = pictures ? fit.VideoBitrate : fit.AudioBitrate;
  constexpr int Tries = 3;
  for (int attempt = 1;; ++attempt) {
    if (std::string failed = runPass(last, passes, passes); !failed.empty())
      return failed;
    std::error_code error;
    const int64_t size = int64_t(fs::file_size(output, error));
    if (error)
      return "the output cannot be measured: " + error.message();
    if (size <= fit.LimitBytes) {
      log("The output is " + SizeText(size) + ", " +
          std::to_string(int(std::lround(size * 100.0 / fit.LimitBytes))) + " % of " + limit);
      return {};
    }
    // Over: the rate is scaled by what the limit allows, with some room,
    // and the last pass runs again (its statistics still hold).
    if (attempt == Tries || rate <= 0) {
      fs::remove(output, error);
      return "the output was " + SizeText(size) + ", over the " + limit + " limit, after " +
             std::to_string(attempt) + (attempt == 1 ? " try" : " tries");
    }
    rate *= std::min(0.97, fit.LimitBytes * Aim / double(size) * 0.98);
    log("The output is " + SizeText(size) + ", over " + limit + ": encoding it again at " +
        Kbits(rate));
    last.ExtraOptions += (pictures ? "vb=" : "ab=") + std::to_string(long(rate)) + "\n";
  }
}

} // namespace kestro
