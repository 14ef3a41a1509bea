// printf-style formatting of the engine's messages into a std::string,
// always with "." as decimal separator.
#pragma once

#include <string>

namespace kestro {

std::string Format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

// The media libraries' text for one of their error codes.
std::string ErrorText(int code);

} // namespace kestro
