#include "InputSource.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kestro {

namespace {

constexpr int BufferSize = 64 * 1024;
constexpr int WaitMs = 50; // how long one wait for bytes may take before a stop is noticed

} // namespace

bool TInputSource::IsStream(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

bool TInputSource::Open(const std::string& path, const AVIOInterruptCB& interrupt, int& error) {
  // Without O_NONBLOCK, opening a pipe waits for its writer, unstoppably.
  Fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) {
    error = AVERROR(errno);
    return false;
  }
  Interrupt = interrupt;
  auto* buffer = static_cast<unsigned char*>(avutil::av_malloc(BufferSize));
  if (buffer)
    Context = avformat::avio_alloc_context(buffer, BufferSize, 0, this, &TInputSource::Read,
                                           nullptr, nullptr);
  if (!Context) {
    avutil::av_free(buffer);
    error = AVERROR(ENOMEM);
    return false;
  }
  Context->seekable = 0;
  return true;
}

TInputSource::~TInputSource() {
  if (Context) {
    avutil::av_freep(&Context->buffer);
    avformat::avio_context_free(&Context);
  }
  if (Fd >= 0)
    close(Fd);
}

int TInputSource::Read(void* opaque, uint8_t* buffer, int size) {
  auto* self = static_cast<TInputSource*>(opaque);
  for (;;) {
    if (self->Interrupt.callback && self->Interrupt.callback(self->Interrupt.opaque))
      return AVERROR_EXIT;
    // A pipe opened before its writer came reports nothing until the writer
    // has written or gone, so an empty wait just means "not yet".
    pollfd ready{self->Fd, POLLIN, 0};
    const int polled = poll(&ready, 1, WaitMs);
    if (polled < 0 && errno != EINTR)
      return AVERROR(errno);
    if (polled <= 0)
      continue;
    const ssize_t n = read(self->Fd, buffer, size_t(size));
    if (n > 0)
      return int(n);
    if (n == 0)
      return AVERROR_EOF;
    if (errno != EAGAIN && errno != EINTR)
      return AVERROR(errno);
  }
}

} // namespace kestro
