// The fuzzer's bytes as an engine input: a byte source over memory that the
// engine reads through InputIO, so no file is made.
#pragma once

#include "FFmpeg.h"
#include "FuzzSupport.h"
#include "MediaLibs.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace kestro::fuzz {

class TMemoryInput {
public:
  TMemoryInput(const uint8_t* data, size_t size) : Data(data), Size(int64_t(size)) {
    auto* buffer = static_cast<uint8_t*>(avutil::av_malloc(BufferSize));
    if (!buffer)
      return;
    IO.reset(avformat::avio_alloc_context(buffer, BufferSize, 0, this, &Read, nullptr, &Seek));
    if (!IO)
      avutil::av_free(buffer);
  }
  // Null when no byte source could be made.
  AVIOContext* Context() const { return IO.get(); }

private:
  static constexpr int BufferSize = 4096;

  static int Read(void* opaque, uint8_t* buffer, int wanted) {
    auto& m = *static_cast<TMemoryInput*>(opaque);
    const int64_t left = m.Size - m.Position;
    if (left <= 0)
      return AVERROR_EOF;
    const int taken = int(std::min<int64_t>(left, wanted));
    std::memcpy(buffer, m.Data + m.Position, size_t(taken));
    m.Position += taken;
    return taken;
  }

  static int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto& m = *static_cast<TMemoryInput*>(opaque);
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

  const uint8_t* Data;
  int64_t Size;
  int64_t Position = 0;
  std::unique_ptr<AVIOContext, TIoDeleter> IO;
};

// The end both media targets share: the engine, set up for its run, writes
// Matroska into nothing, and what must hold after any run is checked.
inline void RunIntoNowhere(TCustomFFmpeg& engine) {
  engine.Settings.RecordingTime = 2000000;
  engine.SetOutputFormat("matroska");
  if (!engine.OpenOutputFile("/dev/null")) {
    Check(!engine.LastError.empty(), "a refused output says why");
    return;
  }
  engine.Start(false);
  Check(engine.Terminated && !engine.Running, "the run ended");
  Check(engine.RunState.OpenEncoders.empty() && engine.RunState.OpenDecoders.empty(), "no codec is left open");
  Check(!engine.ExceptionRaised || !engine.ExceptionMessage.empty(), "a failed run says why");
}

} // namespace kestro::fuzz
