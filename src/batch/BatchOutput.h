// Planning one job's output: where it goes, its unique name, and the
// output record filled from the preset row and what the source holds.
#pragma once

#include "AVProbe.h"
#include "BatchRules.h"
#include "OptionRecords.h"
#include "PresetTable.h"

#include <string>
#include <utility>
#include <vector>

namespace kestro {

// What the planning needs to know of a source's tracks.
struct TSourceTracks {
  struct TAudio {
    int Channels = 0, SampleRate = 0, Depth = 16;
    int Index = -1; // among the source's streams
  };
  std::vector<TAudio> Audio;
  bool Video = false;
  int Width = 0, Height = 0;
  double FrameRate = 0;
  int SubtitleTracks = 0;
  int Cover = -1;     // the stream of a song's cover picture
  bool Known = false; // false: the probe has no source open
};

TSourceTracks ReadTracks(const TAVProbe& probe);

// The largest even size inside the box with the source's proportions; a
// source that fits keeps its size (made even). 0: no bound on that side.
std::pair<int, int> FitInside(int width, int height, int maxWidth, int maxHeight);

// What a row makes of a source, before any file is named.
struct TOutputChoice {
  bool AudioOnly = false;
  std::string Extension; // ".mp4", or the row's audio-only extension
  std::string Format;    // muxer name; empty: guessed from the extension
};
TOutputChoice ChooseOutput(const TPresetRow& row, const std::string& source, const TAVProbe& probe);

// Fills `record` (already at its defaults) from the row and the source: the
// row's settings as option lines in ExtraOptions, so that lines appended
// after them (the user's) win, and lines that add the source's further
// tracks and its cover into StreamOptions.
void FillOutputOptions(TOutputOptions& record, const TPresetRow& row, bool audioOnly,
                       const TAVProbe& probe);
// Without a row: the source's own values, in the record's fields.
void FillOutputOptions(TOutputOptions& record, const TPresetRow* row, bool audioOnly,
                       const TAVProbe& probe);

struct TOutputPlan {
  std::string FileName;
  TOutputOptions Options;
};

// The output of `source` for `row`: beside the source or in `outputFolder`
// (created with its parents), under a name no file has.
TOutputPlan PlanOutput(const TPresetRow& row, const std::string& source, bool sameFolder,
                       const std::string& outputFolder, const TAVProbe& probe);

// A few lines on the media libraries found and the codecs the presets use.
std::string DescribeLibraries(const std::string& folder, const TPresetTable& presets);

} // namespace kestro
