// What every fuzz target shares: the media libraries loaded once and kept
// quiet, and a check that stops the run with a message when an invariant
// of ours does not hold.
#pragma once

#include "MediaLibs.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kestro::fuzz {

inline void LoadLibrariesOnce() {
  if (LibrariesLoaded())
    return;
  if (!LoadAllLibraries("", true)) {
    std::fprintf(stderr, "media libraries: %s\n", LibraryLoadError().c_str());
    std::abort();
  }
  avutil::av_log_set_level(AV_LOG_QUIET);
}

inline void Check(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

} // namespace kestro::fuzz
