#include "MediaLibs.h"

#include <mutex>

namespace kestro {

std::atomic<int> LibraryLogLevel{AV_LOG_INFO};

namespace {

// Loading normally runs on the user-interface thread, but the command line,
// the probe and tests may race; one lock keeps the state coherent.
std::mutex LoadLock;
bool AllLoaded = false;
std::string LoadError;

struct TLibraryStep {
  TLibraryBinding& (*Binding)();
  bool Register;
};

const TLibraryStep LoadOrder[] = {
    {&avcodec::Library, true},  {&avfilter::Library, true}, {&avformat::Library, true},
    {&avutil::Library, false},  {&swscale::Library, false}, {&swresample::Library, false},
    {&myutil::Library, false},
};

void UnloadAllLocked() {
  AllLoaded = false;
  for (const TLibraryStep& step : LoadOrder)
    step.Binding().UnloadLibrary();
}

} // namespace

bool LoadAllLibraries(const std::string& folder, bool versioned) {
  std::lock_guard<std::mutex> lock(LoadLock);
  if (AllLoaded)
    return true;
  LoadError.clear();
  for (const TLibraryStep& step : LoadOrder)
    if (!step.Binding().LoadAndBind(LoadError, folder, versioned, step.Register)) {
      UnloadAllLocked();
      return false;
    }
  AllLoaded = true;
  LibraryLogLevel = avutil::av_log_get_level();
  return true;
}

void UnloadAllLibraries() {
  std::lock_guard<std::mutex> lock(LoadLock);
  UnloadAllLocked();
}

bool LibrariesLoaded() {
  std::lock_guard<std::mutex> lock(LoadLock);
  return AllLoaded;
}

std::string LibraryLoadError() {
  std::lock_guard<std::mutex> lock(LoadLock);
  return LoadError;
}

} // namespace kestro
