// Reading option values: the number rules of the option text and the small
// text helpers the option code shares.
#pragma once

#include <cstdint>
#include <string>

namespace kestro::options {

// Removes leading and trailing characters at or below the blank.
std::string TrimBlanks(const std::string& text);

// A whole text as an integer in [min, max]: leading blanks, an optional sign,
// then decimal digits, or hexadecimal ones after "$", "x" or "0x". Nothing may
// follow the digits.
bool TryParseInteger(const std::string& text, int64_t min, int64_t max, int64_t& out);
// The same for 32 and 64 bits; a text that does not parse raises
// FFMpegException "'<text>' is not a valid integer value".
int ParseInt(const std::string& text);
int64_t ParseInt64(const std::string& text);
// The integer at the start of `text` by the same rules, stopping at the first
// character that cannot continue it; 0 when there are no digits.
int64_t LeadingInteger(const char* text);

// A decimal number written with the decimal separator of the process locale
// (what the user's settings give). Blanks around it are allowed; hexadecimal,
// infinities and NaN are not numbers here.
bool TryParseLocaleFloat(const std::string& text, double& out);
// Raises FFMpegException "'<text>' is not a valid floating point value".
float ParseFloat(const std::string& text);

// printf-style message text.
std::string Message(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

} // namespace kestro::options
