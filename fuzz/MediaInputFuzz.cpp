// Mutated media read from memory through the engine's byte-source input,
// then copied stream by stream into Matroska written to /dev/null: opening,
// the run's set-up, the packet loop and the end of the run on hostile input,
// with no file made for either side.
#include "FFmpeg.h"
#include "FuzzSupport.h"
#include "MemoryInput.h"

#include <cstdint>

using namespace kestro;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::LoadLibrariesOnce();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TMemoryInput memory(data, size);
  if (!memory.Context())
    return 0;
  // Declared after the byte source, so it is gone before the source is.
  TCustomFFmpeg engine;
  engine.Reset();
  engine.Settings.Verbose = -1; // the command line's default: the quietest paths
  engine.Settings.InputIO = memory.Context();
  if (!engine.OpenInputFile("fuzz input")) {
    fuzz::Check(!engine.LastError.empty(), "a refused input says why");
    return 0;
  }
  engine.Settings.VideoStreamCopy = engine.Settings.AudioStreamCopy = engine.Settings.SubtitleStreamCopy = 1;
  for (int& limit : engine.Settings.MaxFrames)
    limit = 200;
  fuzz::RunIntoNowhere(engine);
  return 0;
}
