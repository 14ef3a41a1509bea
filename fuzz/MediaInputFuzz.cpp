// Mutated media read from memory through the engine's byte-source input,
// then copied stream by stream into Matroska written to /dev/null: opening,
// the run's set-up, the packet loop and the end of the run on hostile input,
// with no file made for either side.
#include "FFmpeg.h"
#include "FuzzSupport.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

using namespace kestro;

namespace {

struct TMemory {
  const uint8_t* Data;
  int64_t Size;
  int64_t Position = 0;
};

int ReadMemory(void* opaque, uint8_t* buffer, int wanted) {
  auto& m = *static_cast<TMemory*>(opaque);
  const int64_t left = m.Size - m.Position;
  if (left <= 0)
    return AVERROR_EOF;
  const int taken = int(std::min<int64_t>(left, wanted));
  std::memcpy(buffer, m.Data + m.Position, size_t(taken));
  m.Position += taken;
  return taken;
}

int64_t SeekMemory(void* opaque, int64_t offset, int whence) {
  auto& m = *static_cast<TMemory*>(opaque);
  if (whence & AVSEEK_SIZE)
    return m.Size;
  int64_t target;
  switch (whence & ~AVSEEK_FORCE) {
  case SEEK_SET: target = offset; break;
  case SEEK_CUR: target = m.Position + offset; break;
  case SEEK_END: target = m.Size + offset; break;
  default: return AVERROR(EINVAL);
  }
  if (target < 0 || target > m.Size)
    return AVERROR(EINVAL);
  return m.Position = target;
}

struct TIoDeleter {
  void operator()(AVIOContext* io) const {
    avutil::av_freep(&io->buffer); // the library may have replaced the one we gave
    avformat::avio_context_free(&io);
  }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::LoadLibrariesOnce();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMemory memory{data, int64_t(size)};
  constexpr int BufferSize = 4096;
  auto* buffer = static_cast<uint8_t*>(avutil::av_malloc(BufferSize));
  if (!buffer)
    return 0;
  std::unique_ptr<AVIOContext, TIoDeleter> io(
      avformat::avio_alloc_context(buffer, BufferSize, 0, &memory, &ReadMemory, nullptr, &SeekMemory));
  if (!io) {
    avutil::av_free(buffer);
    return 0;
  }
  // Declared after the byte source, so it is gone before the source is.
  TCustomFFmpeg engine;
  engine.Reset();
  engine.Verbose = -1; // the command line's default: the quietest paths
  engine.InputIO = io.get();
  if (!engine.OpenInputFile("fuzz input")) {
    fuzz::Check(!engine.LastError.empty(), "a refused input says why");
    return 0;
  }
  engine.VideoStreamCopy = engine.AudioStreamCopy = engine.SubtitleStreamCopy = 1;
  engine.RecordingTime = 2000000;
  for (int& limit : engine.MaxFrames)
    limit = 200;
  engine.SetOutputFormat("matroska");
  if (!engine.OpenOutputFile("/dev/null")) {
    fuzz::Check(!engine.LastError.empty(), "a refused output says why");
    return 0;
  }
  engine.Start(false);
  fuzz::Check(engine.Terminated && !engine.Running, "the run ended");
  fuzz::Check(engine.OpenEncoders.empty() && engine.OpenDecoders.empty(),
              "no codec is left open");
  fuzz::Check(!engine.ExceptionRaised || !engine.ExceptionMessage.empty(),
              "a failed run says why");
  return 0;
}
