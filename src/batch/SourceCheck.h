// Whether a source can be added to a batch, asked before a job is made.
#pragma once

#include "AVProbe.h"

#include <string>

namespace kestro {

// Empty when `source` can be added; otherwise why not, naming the file
// once ("clip.avi: Unknown format", "Videos: is a folder"). A pipe or a
// device is not opened here: it can be read once only, by its job.
std::string CheckSource(TAVProbe& probe, const std::string& source);
// The same, leaving a file that can be read open in `probe` for planning
// its output (a pipe or a device is left unopened).
std::string OpenSource(TAVProbe& probe, const std::string& source);

// `error` with the file named in front of it once, whether or not the text
// already begins with the name.
std::string NameOnce(const std::string& source, const std::string& error);

} // namespace kestro
