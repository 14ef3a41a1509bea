#include "MyUtilHlpr.h"

#include <clocale>
#include <cstdlib>
#include <locale.h>
#include <string.h>

namespace kestro::crt {

namespace {

// One "C" locale for the whole process, made on first use and kept: every
// formatting call switches the calling thread to it for the call's duration.
locale_t CLocale() {
  static locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

class TCLocaleScope {
public:
  TCLocaleScope() : Previous(uselocale(CLocale())) {}
  ~TCLocaleScope() { uselocale(Previous); }
  TCLocaleScope(const TCLocaleScope&) = delete;
  TCLocaleScope& operator=(const TCLocaleScope&) = delete;

private:
  locale_t Previous;
};

} // namespace

int my_vsprintf(char* buffer, const char* format, va_list args) {
  TCLocaleScope scope;
  return std::vsprintf(buffer, format, args);
}

int my_vsnprintf(char* buffer, size_t size, const char* format, va_list args) {
  TCLocaleScope scope;
  return std::vsnprintf(buffer, size, format, args);
}

int my_snprintf(char* buffer, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = my_vsnprintf(buffer, size, format, args);
  va_end(args);
  return result;
}

int my_fprintf(FILE* stream, const char* format, ...) {
  TCLocaleScope scope;
  va_list args;
  va_start(args, format);
  const int result = std::vfprintf(stream, format, args);
  va_end(args);
  return result;
}

FILE* my_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }
int my_fclose(FILE* stream) { return stream ? std::fclose(stream) : EOF; }
int my_fseek(FILE* stream, long offset, int whence) { return std::fseek(stream, offset, whence); }
long my_ftell(FILE* stream) { return std::ftell(stream); }

size_t my_fread(void* buffer, size_t size, size_t count, FILE* stream) {
  return std::fread(buffer, size, count, stream);
}

size_t my_fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
  return std::fwrite(buffer, size, count, stream);
}

char* my_strtok(char* text, const char* separators) {
  // Each thread keeps its own position, so engines on different threads can
  // split their texts at the same time.
  static thread_local char* position = nullptr;
  return strtok_r(text, separators, &position);
}

long my_strtol(const char* text, char** end, int base) { return std::strtol(text, end, base); }

double my_strtod(const char* text, char** end) { return strtod_l(text, end, CLocale()); }

} // namespace kestro::crt

namespace myutil {

kestro::TLibraryBinding& Library() {
#define KESTRO_CRT_ADDRESS(name) reinterpret_cast<void*>(&::kestro::crt::name),
  static kestro::TLibraryBinding binding("myutil", "myutil",
                                         {KESTRO_MYUTIL_FUNCTIONS(KESTRO_SLOT_ENTRY)},
                                         {KESTRO_MYUTIL_FUNCTIONS(KESTRO_CRT_ADDRESS)});
#undef KESTRO_CRT_ADDRESS
  return binding;
}

} // namespace myutil
