// Frame hook modules: shared libraries that edit decoded pictures in place.
#pragma once

#include "kestro/frame_hook.h"

#include <cstdint>

namespace kestro {

struct THookModule {
  THookModule* Next;
  KestroHookConfigure Configure;
  KestroHookProcess Process;
  KestroHookRelease Release;
  void* Context;
  // The argument vector Configure got; modules may keep pointers into it
  // until Release.
  char** Arguments;
};

// Loads argv[0] (once per process), binds its exports, configures it and
// appends a node to the list at *listHead. 0 on success; -1 the library
// cannot be loaded, -2 no arguments or a required export missing, -12 no
// memory, -22 Configure failed.
int LoadHookModule(THookModule** listHead, int argc, char* argv[]);
void ApplyHookModules(THookModule* first, KestroHookPicture* picture, int pixelFormat, int width,
                      int height, int64_t pts);
void UnloadHookModules(THookModule** listHead);

} // namespace kestro
