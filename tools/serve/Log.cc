#include "tools/serve/Log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

#include "tools/serve/Store.h"

namespace qvserve {

void Log(const std::string& line) {
    static std::mutex mutex;
    std::string out = IsoTime(NowMs()) + " " + line + "\n";
    std::lock_guard<std::mutex> lock(mutex);
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
}

std::string IsoTime(int64_t ms) {
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return buf;
}

bool ParseTime(const std::string& text, int64_t* ms) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        if (text.size() > 12) return false;
        *ms = std::stoll(text) * 1000;
        return true;
    }
    std::tm tm{};
    int frac = 0, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &used) != 6)
        return false;
    std::string rest = text.substr(static_cast<size_t>(used));
    if (!rest.empty() && rest[0] == '.') {
        size_t digits = rest.find_first_not_of("0123456789", 1);
        std::string f =
            rest.substr(1, digits == std::string::npos ? std::string::npos : digits - 1);
        if (f.empty()) return false;
        f = (f + "000").substr(0, 3);
        frac = std::stoi(f);
        rest = digits == std::string::npos ? "" : rest.substr(digits);
    }
    if (!(rest.empty() || rest == "Z")) return false;
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31) return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    *ms = static_cast<int64_t>(timegm(&tm)) * 1000 + frac;
    return true;
}

}  // namespace qvserve
