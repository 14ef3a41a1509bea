// Planning one job's output: where it goes, its unique name, and the
// output record filled from the preset and what the source holds.
#pragma once

#include "AVProbe.h"
#include "BatchRules.h"
#include "OptionRecords.h"

#include <string>

namespace kestro {

// Fills `record` (already at its defaults) from the preset and the source.
void FillOutputOptions(TOutputOptions& record, const TPreset* preset, bool audioOnly,
                       const TAVProbe& probe);

struct TOutputPlan {
  std::string FileName;
  TOutputOptions Options;
};

// The output of `source` for the preset entry `entryText`: beside the source
// or in `outputFolder` (created with its parents), under a name no file has.
TOutputPlan PlanOutput(const std::string& entryText, const std::string& source, bool sameFolder,
                       const std::string& outputFolder, const TAVProbe& probe);

// A few lines on the media libraries found and the codecs the presets use.
std::string DescribeLibraries(const std::string& folder);

} // namespace kestro
