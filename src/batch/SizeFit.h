// Making an output fit a file size: the bit rates and the picture size that
// the source's duration allows, the passes that reach them, and the checked
// result, encoded again at a lower rate while it is over the limit.
#pragma once

#include "BatchOutput.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kestro {

// "8M", "500K", "1.5G" (decimal: 1M = 1,000,000 bytes, as chat services and
// mail count), "100Mi" (binary), or bytes; no value when it is not a size.
std::optional<int64_t> ParseSize(const std::string& text);
// The limit as messages show it: "10 MB", "1.5 GB", "500 kB", "900 bytes".
std::string SizeText(int64_t bytes);

// What a source gives the fit to work with.
struct TSizeSource {
  double Duration = 0; // seconds; 0: unknown
  bool Video = false;
  int Width = 0, Height = 0; // the picture as the row would make it
  double FrameRate = 0;
  int AudioTracks = 0;
  int64_t CoverBytes = 0; // a song's cover picture, kept as it is
};

struct TSizeFit {
  int64_t LimitBytes = 0;  // 0: no limit
  std::string Error;       // why the source cannot fit, and what would; empty: it fits
  int VideoBitrate = 0;    // bits per second; 0: no video
  int AudioBitrate = 0;    // per audio track; 0: the row's own
  int Width = 0, Height = 0; // the picture size to encode
  int Passes = 1;          // 2: a first pass gathers the statistics
  std::string VideoCodec;  // the encoder whose pass options are used
};

// The fit of `source` into `limitBytes` with `row`.
TSizeFit PlanSizeFit(const TPresetRow& row, const TSizeSource& source, int64_t limitBytes,
                     bool audioOnly);

// A job's failure for a fit with an Error: "cannot fit in 10 MB: ...".
std::string SizeFitFailure(const TSizeFit& fit);

// The source as the fit sees it.
TSizeSource ReadSizeSource(const TPresetRow& row, const TAVProbe& probe);

// How long an output of a `duration`-second source is, given the job's
// option lines: "ss" skips the start and "t" cuts the rest (the last line
// of each counts).
double OutputDuration(double duration, const std::string& optionLines);

// PlanOutput for a row within `limitBytes`; `optionLines` are the job's own
// input and output lines that come after the row's. When the source cannot
// fit, `fit.Error` says why and no file is named.
TOutputPlan PlanSizedOutput(const TPresetRow& row, int64_t limitBytes, const std::string& source,
                            bool sameFolder, const std::string& outputFolder,
                            const TAVProbe& probe, const std::string& optionLines, TSizeFit& fit);

void to_json(nlohmann::json& out, const TSizeFit& fit);
void from_json(const nlohmann::json& in, TSizeFit& fit);

// Runs the encode that `fit` plans: `runPass` runs the job with the options
// it is given (their pass number in `pass`, 1-based, of `passes`) and returns
// an empty text when it succeeded, else the reason. Over the limit, the last
// pass runs again at a lower rate, at most twice; an output still over it is
// removed and the job fails. Returns an empty text when the output fits.
using TPassRunner =
    std::function<std::string(const TOutputOptions& options, int pass, int passes)>;
std::string RunWithinSize(const TSizeFit& fit, const TOutputOptions& options,
                          const std::string& output, const TPassRunner& runPass,
                          const std::function<void(const std::string&)>& log);

} // namespace kestro
