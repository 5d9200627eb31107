// The daemon's own log: one line per event on stderr, with a UTC time
// stamp; the modems' dialogue goes to their GSM_COM<n>.log files.
#pragma once

#include <cstdint>
#include <string>

namespace qvserve {

void Log(const std::string& line);
// "2026-12-08T12:00:00.000Z" for milliseconds since 1970.
std::string IsoTime(int64_t ms);
// Parses IsoTime's form (fraction and 'Z' optional) or whole seconds since
// 1970; milliseconds, or false.
bool ParseTime(const std::string& text, int64_t* ms);

}  // namespace qvserve
