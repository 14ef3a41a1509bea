// The output format presets as rows of data: the built-in rows, then the
// rows of the user's presets file. The window's list, kestroconvert's
// --list-presets and the output planning all read the same rows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestro {

struct TPresetRow {
  std::string Text;      // the entry as the user sees it
  std::string Name;      // short name for kestroconvert -p
  std::string Extension; // ".mp4", dot included
  std::string Format;    // muxer name; empty: guessed from the extension

  // Video: no codec means an audio-only row; "copy" keeps the stream as it is.
  std::string VideoCodec;
  std::vector<std::string> VideoOptions; // the encoder's own lines ("crf=22")
  int MaxWidth = 0, MaxHeight = 0;       // the box the picture fits inside; 0: any size
  int MaxFrameRate = 0;                  // frames per second kept up to this; 0: any
  std::string PixelFormat;
  int VideoBitrate = 0; // bits per second; 0: the encoder's own rate control

  // Audio: "copy" keeps every track as it is.
  std::string AudioCodec;
  std::string DeepAudioCodec; // for sources deeper than 16 bits ("pcm_s24le"); empty: AudioCodec
  std::vector<std::string> AudioOptions;
  int AudioBitrate = 0; // 0: the encoder's default or the quality in AudioOptions
  int MaxChannels = 0;  // 0: the source's
  int SampleRate = 0;   // 0: the source's, or the nearest the encoder takes

  // Subtitles (the first track): empty for the container's own text format,
  // pictures kept where the container takes them (the engine's rule); "copy"
  // keeps it as it is; "none" leaves it out.
  std::string SubtitleCodec;

  // A song's cover picture is kept in an audio-only result.
  bool KeepCover = false;

  // What an audio-only source gets from a video row ("" for audio rows).
  std::string AudioOnlyExtension;
  std::string AudioOnlyFormat;

  // Rows from the seed's time: exact size, one audio track, values set as
  // record fields, and audio-only output decided by the extension list.
  bool Classic = false;

  // The output's size in bytes is kept at most this; 0: no limit.
  int64_t SizeLimitBytes = 0;
};

// The name a row gives its outputs: "MP4 H.264 + AAC" for "MP4 H.264 + AAC
// (*.mp4)", the whole text when it has no "(".
std::string RowLabel(const TPresetRow& row);

// The built-in rows, in display order; the first is the default.
const std::vector<TPresetRow>& BuiltInPresets();

// The built-in rows followed by those of a user presets file.
class TPresetTable {
public:
  TPresetTable(); // the built-in rows alone
  // Adds the rows of the JSON file at `path`; a missing file adds nothing.
  // On a broken file nothing is added and Error says where and why.
  void LoadUserFile(const std::string& path);
  // The same from JSON text; `origin` names it in messages.
  void LoadUserText(const std::string& text, const std::string& origin);

  const std::vector<TPresetRow>& Rows() const { return RowList; }
  // The row whose entry text or short name is `name`, or null.
  const TPresetRow* Find(const std::string& name) const;

  std::string Error; // empty when the user file was read, or there was none

private:
  std::vector<TPresetRow> RowList;
};

// $XDG_CONFIG_HOME/KestroVideo/presets.json, or ~/.config/... without it.
std::string UserPresetsPath();
// The built-in rows plus the user's presets file.
TPresetTable LoadPresetTable();

} // namespace kestro
