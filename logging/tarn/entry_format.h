// The text of an entry from a printf-style format and its arguments.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace tarn {

// The text, in `scratch` (the caller's, reused from call to call); a format
// without conversions is returned as it is. Empty when the format is invalid.
std::string_view FormatEntry(const char* format, va_list args, std::string& scratch);

// The digits of value in base 10 or 16 (lower case), written backwards
// so that they end at `end`; where they start. kMostDigits is room enough.
inline constexpr size_t kMostDigits = 24;
char* DigitsBefore(char* end, unsigned long long value, unsigned base);

}  // namespace tarn
