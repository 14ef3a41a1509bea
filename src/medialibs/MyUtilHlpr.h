// The C run-time helper: formatting, file streams and parsing that behave the
// same whatever locale the process runs in ("." is always the decimal
// separator). It is part of the program, bound like the media libraries so
// every caller goes through one table.
#pragma once

#include "LibraryBinding.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace kestro::crt {
int my_vsprintf(char* buffer, const char* format, va_list args);
int my_vsnprintf(char* buffer, size_t size, const char* format, va_list args);
int my_snprintf(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int my_fprintf(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
FILE* my_fopen(const char* path, const char* mode);
int my_fclose(FILE* stream);
int my_fseek(FILE* stream, long offset, int whence);
long my_ftell(FILE* stream);
size_t my_fread(void* buffer, size_t size, size_t count, FILE* stream);
size_t my_fwrite(const void* buffer, size_t size, size_t count, FILE* stream);
char* my_strtok(char* text, const char* separators);
long my_strtol(const char* text, char** end, int base);
double my_strtod(const char* text, char** end);
} // namespace kestro::crt

#define KESTRO_MYUTIL_FUNCTIONS(X)                                                                 \
  X(my_vsprintf)                                                                                   \
  X(my_vsnprintf)                                                                                  \
  X(my_snprintf)                                                                                   \
  X(my_fprintf)                                                                                    \
  X(my_fopen)                                                                                      \
  X(my_fclose)                                                                                     \
  X(my_fseek)                                                                                      \
  X(my_ftell)                                                                                      \
  X(my_fread)                                                                                      \
  X(my_fwrite)                                                                                     \
  X(my_strtok)                                                                                     \
  X(my_strtol)                                                                                     \
  X(my_strtod)

namespace myutil {
#define KESTRO_DECLARE_CRT_SLOT(name) inline decltype(&::kestro::crt::name) name = nullptr;
KESTRO_MYUTIL_FUNCTIONS(KESTRO_DECLARE_CRT_SLOT)
#undef KESTRO_DECLARE_CRT_SLOT

kestro::TLibraryBinding& Library();
} // namespace myutil
