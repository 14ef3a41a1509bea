// Mutated media read from memory through the engine's byte-source input,
// then decoded and encoded again into Matroska written to /dev/null: the
// decoders, picture scaling and audio resampling, the encoders and their
// draining at the end of the run, on hostile input.
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
  engine.Settings.Verbose = -1;
  engine.Settings.InputIO = memory.Context();
  if (!engine.OpenInputFile("fuzz input")) {
    fuzz::Check(!engine.LastError.empty(), "a refused input says why");
    return 0;
  }
  bool hasVideo = false, hasAudio = false;
  const AVFormatContext* input = engine.InputFiles[0].get();
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    hasVideo = hasVideo || input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    hasAudio = hasAudio || input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
  }
  // Small and cheap, but never the source's own size, rate or channels:
  // every picture is scaled and every sample resampled.
  try {
    engine.SetOption("vcodec", "mpeg4");
    engine.SetOption("s", "64x48");
    engine.SetOption("r", "10");
    engine.SetOption("acodec", "pcm_s16le");
    engine.SetOption("ar", "8000");
    engine.SetOption("ac", "1");
  } catch (const FFMpegException& e) {
    fuzz::Check(false, "the fixed options are taken");
  }
  engine.Settings.VideoDisable = hasVideo ? 0 : 1;
  engine.Settings.AudioDisable = hasAudio ? 0 : 1;
  engine.Settings.SubtitleDisable = 1;
  for (int& limit : engine.Settings.MaxFrames)
    limit = 50;
  fuzz::RunIntoNowhere(engine);
  return 0;
}
