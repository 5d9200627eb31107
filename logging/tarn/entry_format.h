// The text of an entry from a printf-style format and its arguments.
#pragma once

#include <cstdarg>
#include <string_view>

namespace tarn {

// The text, in a buffer of the calling thread's own that the next call
// reuses; a format without conversions is returned as it is. Empty when the
// format is invalid.
std::string_view FormatEntry(const char* format, va_list args);

}  // namespace tarn
