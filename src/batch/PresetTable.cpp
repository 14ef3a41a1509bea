#include "PresetTable.h"

#include "BatchRules.h"
#include "SizeFit.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tuple>
#include <utility>

// Each row names only what it sets; the other fields keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace kestro {

namespace {

TPresetRow Mp4Row(const char* text, const char* name, int width, int height, int audioBitrate) {
  return {.Text = text,
          .Name = name,
          .Extension = ".mp4",
          .VideoCodec = "libx264",
          .VideoOptions = {"crf=22", "preset=fast"},
          .MaxWidth = width,
          .MaxHeight = height,
          .MaxFrameRate = 60,
          .PixelFormat = "yuv420p",
          .AudioCodec = "aac",
          .AudioBitrate = audioBitrate,
          .MaxChannels = 2,
          .KeepCover = true,
          .AudioOnlyExtension = ".m4a"};
}

// A video row with Opus sound, inside 1920x1080.
TPresetRow OpusVideoRow(const char* text, const char* name, const char* extension,
                        const char* videoCodec, std::vector<std::string> videoOptions,
                        const char* audioOnlyExtension) {
  return {.Text = text,
          .Name = name,
          .Extension = extension,
          .VideoCodec = videoCodec,
          .VideoOptions = std::move(videoOptions),
          .MaxWidth = 1920,
          .MaxHeight = 1080,
          .MaxFrameRate = 60,
          .PixelFormat = "yuv420p",
          .AudioCodec = "libopus",
          .AudioBitrate = 128000,
          .MaxChannels = 2,
          .AudioOnlyExtension = audioOnlyExtension};
}

} // namespace

const std::vector<TPresetRow>& BuiltInPresets() {
  static const std::vector<TPresetRow> rows = [] {
    std::vector<TPresetRow> r;
    r.push_back(Mp4Row("MP4 H.264 + AAC (*.mp4)", "mp4", 1920, 1080, 160000));
    r.push_back(Mp4Row("MP4 H.264 + AAC 720p (*.mp4)", "mp4-720", 1280, 720, 128000));
    TPresetRow hevc = Mp4Row("MP4 H.265 + AAC (*.mp4)", "hevc", 1920, 1080, 160000);
    hevc.VideoCodec = "libx265";
    // Players that look for the tag ask for "hvc1", not the muxer's "hev1".
    // x265 writes its notices to standard error itself, past the log levels.
    hevc.VideoOptions = {"crf=26", "preset=fast", "vtag=hvc1", "x265-params=log-level=error"};
    r.push_back(hevc);
    // Constant quality needs the bit rate at 0; speed 4 of "good" is the
    // encoder's everyday pace (its default is a slow, thorough one).
    r.push_back(OpusVideoRow("WebM VP9 + Opus (*.webm)", "webm", ".webm", "libvpx-vp9",
                             {"crf=32", "b=0", "row-mt=1", "deadline=good", "cpu-used=4"},
                             ".opus"));
    r.push_back(OpusVideoRow("MKV AV1 + Opus (*.mkv)", "av1", ".mkv", "libsvtav1",
                             {"crf=35", "preset=8"}, ".mka"));
    r.push_back({.Text = "MKV, streams kept as they are (*.mkv)",
                 .Name = "remux",
                 .Extension = ".mkv",
                 .VideoCodec = "copy",
                 .AudioCodec = "copy",
                 .SubtitleCodec = "copy",
                 .AudioOnlyExtension = ".mka"});
    r.push_back({.Text = "MP3 audio (*.mp3)",
                 .Name = "mp3",
                 .Extension = ".mp3",
                 .AudioCodec = "libmp3lame",
                 .AudioOptions = {"aq=2"},
                 .KeepCover = true});
    r.push_back({.Text = "AAC audio (*.m4a)",
                 .Name = "m4a",
                 .Extension = ".m4a",
                 .AudioCodec = "aac",
                 .AudioBitrate = 192000,
                 .KeepCover = true});
    r.push_back({.Text = "Opus audio (*.opus)",
                 .Name = "opus",
                 .Extension = ".opus",
                 .AudioCodec = "libopus",
                 .AudioBitrate = 128000});
    r.push_back({.Text = "FLAC audio (*.flac)",
                 .Name = "flac",
                 .Extension = ".flac",
                 .AudioCodec = "flac",
                 .DeepAudioCodec = "flac"});
    r.push_back({.Text = "WAV audio (*.wav)",
                 .Name = "wav",
                 .Extension = ".wav",
                 .AudioCodec = "pcm_s16le",
                 .DeepAudioCodec = "pcm_s24le"});
    // Chat services and mail count sizes in decimal: 10 MB is 10,000,000 bytes.
    for (const auto& [text, name, bytes] :
         {std::tuple{"MP4 that fits 10 MB (*.mp4)", "10mb", 10'000'000},
          std::tuple{"MP4 that fits 25 MB (*.mp4)", "25mb", 25'000'000}}) {
      TPresetRow sized = Mp4Row(text, name, 1920, 1080, 128000);
      sized.SizeLimitBytes = bytes;
      r.push_back(sized);
    }
    r.push_back({.Text = "3GPP 176*144 (*.3gp)",
                 .Name = "3gp",
                 .Extension = ".3gp",
                 .VideoCodec = "h263",
                 .MaxWidth = 176,
                 .MaxHeight = 144,
                 .VideoBitrate = 120000,
                 .AudioCodec = "libamr_nb",
                 .AudioBitrate = 10200,
                 .MaxChannels = 1,
                 .SampleRate = 8000,
                 .Classic = true});
    return r;
  }();
  return rows;
}

std::string RowLabel(const TPresetRow& row) {
  return row.Text.find('(') == std::string::npos ? row.Text : PresetShortName(row.Text);
}

TPresetTable::TPresetTable() : RowList(BuiltInPresets()) {}

const TPresetRow* TPresetTable::Find(const std::string& name) const {
  for (const TPresetRow& row : RowList)
    if (name == row.Text || name == row.Name || name == RowLabel(row))
      return &row;
  return nullptr;
}

namespace {

using nlohmann::json;

// The row a JSON object describes; throws std::runtime_error with the
// field's name when a value is of the wrong kind or missing.
TPresetRow ReadRow(const json& item, size_t index) {
  const std::string where = "preset " + std::to_string(index + 1);
  if (!item.is_object())
    throw std::runtime_error(where + " is not an object");
  auto text = [&](const json& object, const char* key, std::string& out) {
    if (!object.contains(key))
      return;
    if (!object[key].is_string())
      throw std::runtime_error(where + ": \"" + key + "\" must be a string");
    out = object[key].get<std::string>();
  };
  auto number = [&](const json& object, const char* key, int& out) {
    if (!object.contains(key))
      return;
    if (!object[key].is_number_integer() || object[key].get<long long>() < 0 ||
        object[key].get<long long>() > 1000000000)
      throw std::runtime_error(where + ": \"" + key + "\" must be a whole number, 0 or more");
    out = object[key].get<int>();
  };
  auto lines = [&](const json& object, const char* key, std::vector<std::string>& out) {
    if (!object.contains(key))
      return;
    if (!object[key].is_array())
      throw std::runtime_error(where + ": \"" + key + "\" must be a list of \"name=value\" texts");
    for (const json& line : object[key]) {
      if (!line.is_string() || line.get<std::string>().find('=') == std::string::npos)
        throw std::runtime_error(where + ": \"" + key +
                                 "\" must be a list of \"name=value\" texts");
      out.push_back(line.get<std::string>());
    }
  };
  // A misspelt key would otherwise be a setting silently not made.
  auto only = [&](const json& object, const char* part, std::initializer_list<const char*> keys) {
    for (const auto& [key, value] : object.items()) {
      bool known = false;
      for (const char* k : keys)
        known = known || key == k;
      if (!known)
        throw std::runtime_error(where + ": unknown key \"" + key + "\"" +
                                 (*part ? std::string(" in \"") + part + "\"" : std::string()));
    }
  };
  auto part = [&](const char* key) -> const json& {
    static const json none = json::object();
    if (!item.contains(key))
      return none;
    if (!item[key].is_object())
      throw std::runtime_error(where + ": \"" + key + "\" must be an object");
    return item[key];
  };
  only(item, "",
       {"text", "name", "extension", "format", "max_size", "video", "audio", "subtitles",
        "audio_only"});

  TPresetRow row;
  text(item, "text", row.Text);
  text(item, "name", row.Name);
  text(item, "extension", row.Extension);
  text(item, "format", row.Format);
  if (row.Text.empty())
    throw std::runtime_error(where + ": \"text\" is missing");
  if (row.Extension.empty())
    row.Extension = PresetExtension(row.Text);
  if (row.Extension.size() < 2 || row.Extension[0] != '.')
    throw std::runtime_error(where + ": \"extension\" is missing (for example \".mp4\")");
  if (item.contains("max_size")) {
    const json& size = item["max_size"];
    std::optional<int64_t> bytes;
    if (size.is_string())
      bytes = ParseSize(size.get<std::string>());
    else if (size.is_number_integer() && size.get<int64_t>() > 0)
      bytes = size.get<int64_t>();
    if (!bytes)
      throw std::runtime_error(where +
                               ": \"max_size\" must be a size such as \"8M\" or a number of bytes");
    row.SizeLimitBytes = *bytes;
  }

  const json& video = part("video");
  only(
      video, "video",
      {"codec", "options", "max_width", "max_height", "max_frame_rate", "pixel_format", "bitrate"});
  text(video, "codec", row.VideoCodec);
  lines(video, "options", row.VideoOptions);
  number(video, "max_width", row.MaxWidth);
  number(video, "max_height", row.MaxHeight);
  number(video, "max_frame_rate", row.MaxFrameRate);
  text(video, "pixel_format", row.PixelFormat);
  number(video, "bitrate", row.VideoBitrate);

  const json& audio = part("audio");
  only(audio, "audio",
       {"codec", "deep_codec", "options", "bitrate", "max_channels", "sample_rate", "keep_cover"});
  text(audio, "codec", row.AudioCodec);
  text(audio, "deep_codec", row.DeepAudioCodec);
  lines(audio, "options", row.AudioOptions);
  number(audio, "bitrate", row.AudioBitrate);
  number(audio, "max_channels", row.MaxChannels);
  number(audio, "sample_rate", row.SampleRate);
  if (audio.contains("keep_cover")) {
    if (!audio["keep_cover"].is_boolean())
      throw std::runtime_error(where + ": \"keep_cover\" must be true or false");
    row.KeepCover = audio["keep_cover"].get<bool>();
  }
  if (row.AudioCodec.empty())
    throw std::runtime_error(where + ": \"audio\" needs a \"codec\"");

  const json& subtitles = part("subtitles");
  only(subtitles, "subtitles", {"codec"});
  text(subtitles, "codec", row.SubtitleCodec);

  const json& audioOnly = part("audio_only");
  only(audioOnly, "audio_only", {"extension", "format"});
  text(audioOnly, "extension", row.AudioOnlyExtension);
  text(audioOnly, "format", row.AudioOnlyFormat);
  if (!row.VideoCodec.empty() && row.AudioOnlyExtension.empty())
    row.AudioOnlyExtension = row.Extension;
  return row;
}

// "line L, column C" of the byte at `offset` (0-based) in `text`.
std::string Position(const std::string& text, size_t offset) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

} // namespace

void TPresetTable::LoadUserText(const std::string& text, const std::string& origin) {
  Error.clear();
  json document;
  try {
    document = json::parse(text);
  } catch (const json::parse_error& e) {
    // The library counts the byte it stopped at from 1; name the one before.
    const size_t offset = e.byte > 0 ? e.byte - 1 : 0;
    std::string reason = e.what();
    if (const size_t colon = reason.find(": syntax error"); colon != std::string::npos)
      reason = reason.substr(colon + 2);
    Error = origin + ": " + Position(text, offset) + ": " + reason;
    return;
  }
  try {
    const json* list = &document;
    if (document.is_object()) {
      if (!document.contains("presets"))
        throw std::runtime_error("no \"presets\" list");
      list = &document["presets"];
    }
    if (!list->is_array())
      throw std::runtime_error("\"presets\" must be a list of objects");
    std::vector<TPresetRow> added;
    for (size_t i = 0; i < list->size(); ++i) {
      TPresetRow row = ReadRow((*list)[i], i);
      const auto taken = [&](const std::string& name) {
        if (name.empty())
          return false;
        if (Find(name))
          return true;
        for (const TPresetRow& other : added)
          if (other.Text == name || other.Name == name)
            return true;
        return false;
      };
      if (taken(row.Text) || taken(row.Name))
        throw std::runtime_error("preset " + std::to_string(i + 1) + ": \"" +
                                 (taken(row.Text) ? row.Text : row.Name) +
                                 "\" is already a preset");
      added.push_back(std::move(row));
    }
    RowList.insert(RowList.end(), added.begin(), added.end());
  } catch (const std::exception& e) {
    Error = origin + ": " + e.what();
  }
}

void TPresetTable::LoadUserFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    Error.clear();
    return; // no user presets
  }
  std::ostringstream text;
  text << file.rdbuf();
  LoadUserText(text.str(), path);
}

std::string UserPresetsPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  const std::string folder =
      config && *config ? std::string(config) : std::string(home ? home : "") + "/.config";
  return folder + "/KestroVideo/presets.json";
}

TPresetTable LoadPresetTable() {
  TPresetTable table;
  table.LoadUserFile(UserPresetsPath());
  return table;
}

} // namespace kestro
