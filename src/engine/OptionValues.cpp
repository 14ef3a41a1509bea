#include "OptionValues.h"

#include "FFmpeg.h"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestro::options {

std::string TrimBlanks(const std::string& text) {
  size_t first = 0, last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ')
    ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ')
    --last;
  return text.substr(first, last - first);
}

namespace {

int DigitValue(char c, int base) {
  int d = -1;
  if (c >= '0' && c <= '9')
    d = c - '0';
  else if (c >= 'a' && c <= 'f')
    d = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    d = c - 'A' + 10;
  return d < base ? d : -1;
}

// Reads blanks, sign, base prefix and digits from `p`. `end` points past the
// last character used; false when there was no digit or the magnitude does
// not fit 64 bits.
bool ReadInteger(const char* p, int64_t& value, const char*& end) {
  while (*p == ' ' || *p == '\t')
    ++p;
  bool negative = false;
  if (*p == '+' || *p == '-')
    negative = *p++ == '-';
  int base = 10;
  if (*p == '$' || *p == 'x' || *p == 'X') {
    base = 16;
    ++p;
  } else if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2], 16) >= 0) {
    base = 16;
    p += 2;
  }
  uint64_t magnitude = 0;
  bool any = false, overflow = false;
  for (int d; (d = DigitValue(*p, base)) >= 0; ++p) {
    any = true;
    if (magnitude > (uint64_t(1) << 63) / uint64_t(base))
      overflow = true;
    else
      magnitude = magnitude * uint64_t(base) + uint64_t(d);
    if (magnitude > (uint64_t(1) << 63))
      overflow = true;
  }
  end = p;
  if (!any || overflow || (!negative && magnitude > uint64_t(INT64_MAX)))
    return false;
  value = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
  return true;
}

[[noreturn]] void NotAnInteger(const std::string& text) {
  throw FFMpegException("'" + text + "' is not a valid integer value");
}

} // namespace

bool TryParseInteger(const std::string& text, int64_t min, int64_t max, int64_t& out) {
  int64_t value = 0;
  const char* end = nullptr;
  if (!ReadInteger(text.c_str(), value, end) || end != text.c_str() + text.size() ||
      value < min || value > max)
    return false;
  out = value;
  return true;
}

int ParseInt(const std::string& text) {
  int64_t value = 0;
  if (!TryParseInteger(text, INT32_MIN, INT32_MAX, value))
    NotAnInteger(text);
  return static_cast<int>(value);
}

int64_t ParseInt64(const std::string& text) {
  int64_t value = 0;
  if (!TryParseInteger(text, INT64_MIN, INT64_MAX, value))
    NotAnInteger(text);
  return value;
}

int64_t LeadingInteger(const char* text) {
  int64_t value = 0;
  const char* end = nullptr;
  return ReadInteger(text, value, end) ? value : 0;
}

bool TryParseLocaleFloat(const std::string& text, double& out) {
  const std::string trimmed = TrimBlanks(text);
  if (trimmed.empty())
    return false;
  // strtod also reads hexadecimal, "inf" and "nan"; none of them is a
  // decimal number, and a NaN would slip through every range check.
  const char* point = std::localeconv()->decimal_point;
  for (char c : trimmed)
    if (!(c >= '0' && c <= '9') && c != '+' && c != '-' && c != 'e' && c != 'E' &&
        !std::strchr(point, c))
      return false;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(trimmed.c_str(), &end);
  if (end != trimmed.c_str() + trimmed.size() || !std::isfinite(value))
    return false;
  out = value;
  return true;
}

float ParseFloat(const std::string& text) {
  double value = 0.0;
  if (!TryParseLocaleFloat(text, value) || std::fabs(value) > 3.4028234663852886e38)
    throw FFMpegException("'" + text + "' is not a valid floating point value");
  return static_cast<float>(value);
}

std::string Message(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, pattern, args);
  va_end(args);
  std::string text;
  if (size > 0) {
    text.resize(size_t(size));
    std::vsnprintf(text.data(), text.size() + 1, pattern, again);
  }
  va_end(again);
  return text;
}

} // namespace kestro::options
