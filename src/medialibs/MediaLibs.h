// Loads and binds every media library and the C run-time helper, in a fixed
// order, once per process.
#pragma once

#include "AVCodecHlpr.h"
#include "AVFilterHlpr.h"
#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "MyUtilHlpr.h"
#include "SwResampleHlpr.h"
#include "SwScaleHlpr.h"

#include <atomic>
#include <string>

namespace kestro {

// Loads avcodec, avfilter, avformat, avutil, swscale, swresample and the C
// run-time helper from `folder` (or the system search), stopping at the first
// failure; after a failure everything is unloaded again. Returns true at once
// when everything is already loaded.
bool LoadAllLibraries(const std::string& folder, bool versioned = true);
void UnloadAllLibraries();
bool LibrariesLoaded();
std::string LibraryLoadError();

// The media libraries' log level as read when they were loaded; the component
// compares library log lines against it.
extern std::atomic<int> LibraryLogLevel;

} // namespace kestro
