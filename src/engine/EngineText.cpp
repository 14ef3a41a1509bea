#include "EngineText.h"

#include "MediaLibs.h"

#include <cstdarg>

namespace kestro {

std::string Format(const char* pattern, ...) {
  char small[512];
  va_list args;
  va_start(args, pattern);
  va_list again;
  va_copy(again, args);
  const int size = myutil::my_vsnprintf(small, sizeof small, pattern, args);
  va_end(args);
  std::string out;
  if (size < 0) {
    out = pattern;
  } else if (size_t(size) < sizeof small) {
    out.assign(small, size);
  } else {
    out.resize(size);
    myutil::my_vsnprintf(out.data(), out.size() + 1, pattern, again);
  }
  va_end(again);
  return out;
}

std::string ErrorText(int code) {
  char text[128] = {0};
  avutil::av_strerror(code, text, sizeof text);
  return text;
}

} // namespace kestro
