// printf-style entries (see entry_format.h).
#include "logging/tarn/entry_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

namespace tarn {
namespace {

template <typename Unsigned>
void AppendNumber(std::string& out, Unsigned value, unsigned base) {
    char digits[24];
    char* const end = digits + sizeof digits;
    char* p = end;
    do {
        *--p = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
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
    while (const char* percent = std::strchr(p, '%')) {
        out.append(p, static_cast<size_t>(percent - p));
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
    out.append(p);
    return true;
}

}  // namespace

// The line a format and its arguments make, in a buffer of the thread's own.
std::string_view FormatEntry(const char* format, va_list args) {
    // A format without conversions is its own text: half the lines are.
    if (std::strchr(format, '%') == nullptr) return format;
    thread_local std::string t_line;
    t_line.clear();
    va_list copy;
    va_copy(copy, args);
    const bool plain = FormatPlain(format, copy, t_line);
    va_end(copy);
    if (plain) return t_line;
    t_line.clear();
    va_copy(copy, args);
    t_line.resize(std::max<size_t>(t_line.capacity(), 256));
    const int length = std::vsnprintf(t_line.data(), t_line.size(), format, copy);
    va_end(copy);
    if (length < 0) return {};
    if (static_cast<size_t>(length) >= t_line.size()) {
        t_line.resize(static_cast<size_t>(length) + 1);
        va_copy(copy, args);
        std::vsnprintf(t_line.data(), t_line.size(), format, copy);
        va_end(copy);
    }
    t_line.resize(static_cast<size_t>(length));
    return t_line;
}

}  // namespace tarn
