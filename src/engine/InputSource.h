// Reading a local source that may block for ever or cannot be read twice
// (a named pipe, a device): the engine reads it itself, in short waits, so
// that a stop always gets through, and it is opened exactly once.
#pragma once

#include "MediaLibs.h"

#include <memory>
#include <string>

namespace kestro {

class TInputSource {
public:
  // Whether `path` names such a source: something on disk that is neither a
  // regular file nor a folder. Regular files and network addresses are read
  // by the libraries, which never block on them without a bound.
  static bool IsStream(const std::string& path);

  // Opens `path` without waiting for a writer; false with `error` (a library
  // error code) when it cannot be opened. `interrupt` is asked between
  // waits: once it answers true, reads end with AVERROR_EXIT.
  bool Open(const std::string& path, const AVIOInterruptCB& interrupt, int& error);

  TInputSource() = default;
  ~TInputSource();
  TInputSource(const TInputSource&) = delete;
  TInputSource& operator=(const TInputSource&) = delete;

  AVIOContext* IO() const { return Context; }

private:
  static int Read(void* opaque, uint8_t* buffer, int size);
  int Fd = -1;
  AVIOContext* Context = nullptr;
  AVIOInterruptCB Interrupt{};
};

} // namespace kestro
