// The AT answer reader on arbitrary modem bytes arriving in several reads,
// checked against a plain re-statement of its rule: an answer ends with its
// first whole final line (or the prompt, for a command the prompt ends); the
// way the bytes are split into reads changes nothing.
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "modem/ATAnswer.h"

namespace {

bool IsFinalLine(const std::string& line) {
    return line == "OK" || line == "ERROR" || line == "NO CARRIER" ||
           line == "COMMAND NOT SUPPORT" || line.rfind("+CMS ERROR:", 0) == 0 ||
           line.rfind("+CME ERROR:", 0) == 0;
}

std::string Trim(const std::string& text) {
    const char* space = " \t\v\f\r\n";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::string WithoutCtrlZ(std::string text) {
    while (!text.empty() && (text.back() == '\x1A' || text.back() == '\r')) text.pop_back();
    return text;
}

// "AT+CREG?" -> "+CREG:": a command's own answer is never unsolicited.
std::string OwnPrefix(const std::string& echo) {
    if (echo.size() < 4 || (echo[0] != 'A' && echo[0] != 'a')) return {};
    if (echo[2] != '+' && echo[2] != '^') return {};
    size_t end = 3;
    while (end < echo.size() && std::isalnum(static_cast<unsigned char>(echo[end]))) ++end;
    return echo.substr(2, end - 2) + ":";
}

// Where the answer to `all` ends: true when it does. Empty lines, the echo,
// unsolicited lines and the PDU line after "+CMT:"/"+CDS:"/"+CBM:" are no
// part of it.
bool ExpectedComplete(const std::string& all, const std::string& command, bool promptEnds) {
    const std::string echo = Trim(WithoutCtrlZ(command));
    const std::string own = OwnPrefix(echo);
    bool awaitPdu = false;
    std::string line;
    auto take = [&](const std::string& raw) {
        const std::string trimmed = Trim(raw);
        if (trimmed.empty()) return false;
        if (awaitPdu) {
            awaitPdu = false;
            return false;
        }
        if (!echo.empty() && (trimmed == echo || WithoutCtrlZ(trimmed) == echo)) return false;
        if (trimmed == ">" || trimmed.rfind("> ", 0) == 0) return promptEnds;
        if (IsFinalLine(trimmed)) return true;
        if (ATAnswer::IsUnsolicited(trimmed, own)) {
            awaitPdu = trimmed.rfind("+CDS:", 0) == 0 || trimmed.rfind("+CMT:", 0) == 0 ||
                       trimmed.rfind("+CBM:", 0) == 0;
        }
        return false;
    };
    for (char c : all) {
        if (c == '\r' || c == '\n') {
            if (take(line)) return true;
            line.clear();
        } else if (c != '\0') {
            line.push_back(c);
        }
    }
    return promptEnds && Trim(line) == ">";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool promptEnds = (data[0] & 1) != 0;
    const size_t commandLength = std::min<size_t>(data[1], size - 2);
    const std::string command(reinterpret_cast<const char*>(data + 2), commandLength);
    const std::vector<std::string> reads =
        qvfuzz::SplitReads(data + 2 + commandLength, size - 2 - commandLength);

    ATAnswer pieces;
    pieces.Start(command, promptEnds);
    std::string all;
    bool complete = false;
    for (const std::string& read : reads) {
        all += read;
        complete = pieces.Feed(read.data(), read.size());
        QVFUZZ_CHECK(complete == ExpectedComplete(all, command, promptEnds), all);
        if (complete) break;
    }

    // The same bytes in one read: the same answer.
    ATAnswer whole;
    whole.Start(command, promptEnds);
    whole.Feed(all.data(), all.size());
    QVFUZZ_CHECK(whole.Complete() == complete, all);
    const ATOutcome& a = pieces.Outcome();
    const ATOutcome& b = whole.Outcome();
    // (A prompt seen at the end of one read may turn out to start a longer
    // line: only a prompt that ends the command is final.)
    QVFUZZ_CHECK(a.lines == b.lines && a.final == b.final && a.errorCode == b.errorCode, all);
    for (const std::string& line : a.lines) {
        QVFUZZ_CHECK(!line.empty() && line.find_first_of("\r\n") == std::string::npos, line);
        QVFUZZ_CHECK(!IsFinalLine(line), line);
    }
    return 0;
}
