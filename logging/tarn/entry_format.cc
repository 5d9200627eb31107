// printf-style entries (see entry_format.h).
#include "logging/tarn/entry_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

namespace tarn {
namespace {

// The first '%' at or after p, else its terminating NUL: one pass for
// both, where strchr and strlen would take two.
const char* PercentOrEnd(const char* p) {
#if defined(__GLIBC__)
    return strchrnul(p, '%');
#else
    while (*p != '\0' && *p != '%') ++p;
    return p;
#endif
}

template <typename Unsigned>
void AppendNumber(std::string& out, Unsigned value, unsigned base) {
    char digits[kMostDigits];
    char* const end = digits + sizeof digits;
    const char* p = DigitsBefore(end, value, base);
    out.append(p, static_cast<size_t>(end - p));
}

template <typename Signed>
void AppendSigned(std::string& out, Signed value) {
    using Unsigned = std::make_unsigned_t<Signed>;
    if (value < 0) {
        out.push_back('-');
        AppendNumber(out, static_cast<Unsigned>(Unsigned{0} - static_cast<Unsigned>(value)), 10);
    } else {
        AppendNumber(out, static_cast<Unsigned>(value), 10);
    }
}

// The conversions the driver's lines use: %s %d %i %u %x %c and %%, with an
// l, ll or z. False at anything else (flags, widths, precisions, other
// types), which is left to vsnprintf: it costs more than all the rest of a
// line.
bool FormatPlain(const char* format, va_list args, std::string& out) {
    const char* p = format;
    for (;;) {
        const char* percent = PercentOrEnd(p);
        out.append(p, static_cast<size_t>(percent - p));
        if (*percent == '\0') return true;
        p = percent + 1;
        int longs = 0;
        bool size = false;
        if (*p == 'z') {
            size = true;
            ++p;
        } else {
            while (*p == 'l') ++longs, ++p;
        }
        const char conversion = *p++;
        if (longs > 2) return false;
        switch (conversion) {
            case '%':
                out.push_back('%');
                break;
            case 's': {
                const char* text = va_arg(args, const char*);
                out.append(text != nullptr ? text : "(null)");
                break;
            }
            case 'c':
                out.push_back(static_cast<char>(va_arg(args, int)));
                break;
            case 'd':
            case 'i':
                if (size) {
                    AppendSigned(out, va_arg(args, std::make_signed_t<size_t>));
                } else if (longs == 2) {
                    AppendSigned(out, va_arg(args, long long));
                } else if (longs == 1) {
                    AppendSigned(out, va_arg(args, long));
                } else {
                    AppendSigned(out, va_arg(args, int));
                }
                break;
            case 'u':
            case 'x': {
                const unsigned base = conversion == 'x' ? 16 : 10;
                if (size) {
                    AppendNumber(out, va_arg(args, size_t), base);
                } else if (longs == 2) {
                    AppendNumber(out, va_arg(args, unsigned long long), base);
                } else if (longs == 1) {
                    AppendNumber(out, va_arg(args, unsigned long), base);
                } else {
                    AppendNumber(out, va_arg(args, unsigned), base);
                }
                break;
            }
            default:
                return false;
        }
    }
}

}  // namespace

char* DigitsBefore(char* end, unsigned long long value, unsigned base) {
    char* p = end;
    do {
        *--p = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    return p;
}

std::string_view FormatEntry(const char* format, va_list args, std::string& line) {
    // A format without conversions is its own text: half the lines are.
    const char* percent = PercentOrEnd(format);
    if (*percent == '\0') return std::string_view(format, static_cast<size_t>(percent - format));
    line.clear();
    va_list copy;
    va_copy(copy, args);
    const bool plain = FormatPlain(format, copy, line);
    va_end(copy);
    if (plain) return line;
    line.clear();
    va_copy(copy, args);
    line.resize(std::max<size_t>(line.capacity(), 256));
    const int length = std::vsnprintf(line.data(), line.size(), format, copy);
    va_end(copy);
    if (length < 0) return {};
    if (static_cast<size_t>(length) >= line.size()) {
        line.resize(static_cast<size_t>(length) + 1);
        va_copy(copy, args);
        std::vsnprintf(line.data(), line.size(), format, copy);
        va_end(copy);
    }
    line.resize(static_cast<size_t>(length));
    return line;
}

}  // namespace tarn
