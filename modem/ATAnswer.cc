#include "modem/ATAnswer.h"

#include <cctype>
#include <cstdlib>
#include <utility>

namespace {

// Lines modems write on their own. A "+CDS:" or "+CMT:" header is followed
// by its PDU on the next line, which belongs to it.
const char* const kUnsolicited[] = {
    "+CMTI:", "+CDSI:", "+CDS:",   "+CMT:",   "+CBM:",  "+CBMI:", "RING",   "+CRING:",
    "+CLIP:", "+CREG:", "+CGREG:", "+CEREG:", "+CIEV:", "+CUSD:", "+PACSP", "+QIND:",
    "+CPIN:", "+CSQN:", "+STIN:",  "+CGEV:",  "*EMRDY", "^",
};

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

std::string Trim(const std::string& text) {
    size_t first = 0;
    while (first < text.size() && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
    size_t last = text.size();
    while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
    return text.substr(first, last - first);
}

// "AT+CREG?" -> "+CREG:"; empty for basic commands.
std::string ResultPrefixOf(const std::string& command) {
    if (command.size() < 4 || (command[0] != 'A' && command[0] != 'a')) return {};
    size_t start = 2;
    if (command[start] != '+' && command[start] != '^') return {};
    size_t end = start + 1;
    while (end < command.size() && (std::isalnum(static_cast<unsigned char>(command[end])))) ++end;
    return command.substr(start, end - start) + ":";
}

bool NeedsPduLine(const std::string& line) {
    return StartsWith(line, "+CDS:") || StartsWith(line, "+CMT:") || StartsWith(line, "+CBM:");
}

}  // namespace

const std::string* ATOutcome::Find(const std::string& prefix) const {
    for (const std::string& line : lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) return &line;
    }
    return nullptr;
}

const std::string* ATOutcome::After(const std::string& prefix) const {
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].compare(0, prefix.size(), prefix) == 0) return &lines[i + 1];
    }
    return nullptr;
}

void ATAnswer::Start(const std::string& command, bool promptEnds) {
    std::string echo = command;
    while (!echo.empty() && (echo.back() == '\r' || echo.back() == '\x1A')) echo.pop_back();
    m_Echo = Trim(echo);
    m_OwnPrefix = ResultPrefixOf(m_Echo);
    m_bPromptEnds = promptEnds;
    m_bComplete = false;
    m_Partial.clear();
    m_Raw.clear();
    m_Outcome = ATOutcome();
    m_Unsolicited.clear();
    m_bAwaitPdu = false;
}

bool ATAnswer::ParseFinal(const std::string& line, ATOutcome* outcome) {
    ATOutcome scratch;
    ATOutcome* out = outcome ? outcome : &scratch;
    if (line == "OK") {
        out->final = ATFinal::Ok;
    } else if (line == "ERROR" || line == "COMMAND NOT SUPPORT") {
        out->final = ATFinal::Error;
    } else if (line == "NO CARRIER") {
        out->final = ATFinal::NoCarrier;
    } else if (StartsWith(line, "+CMS ERROR:") || StartsWith(line, "+CME ERROR:")) {
        out->final = line[3] == 'S' ? ATFinal::CmsError : ATFinal::CmeError;
        const std::string value = Trim(line.substr(11));
        char* end = nullptr;
        long number = std::strtol(value.c_str(), &end, 10);
        if (!value.empty() && end != nullptr && *end == '\0' && number >= 0 && number < 100000) {
            out->errorCode = static_cast<int>(number);
        } else {
            out->errorText = value;
        }
    } else {
        return false;
    }
    return true;
}

bool ATAnswer::IsUnsolicited(const std::string& line, const std::string& ownPrefix) {
    if (!ownPrefix.empty() && line.compare(0, ownPrefix.size(), ownPrefix) == 0) return false;
    for (const char* prefix : kUnsolicited) {
        if (StartsWith(line, prefix)) return true;
    }
    return false;
}

bool ATAnswer::Feed(const char* data, size_t length) {
    if (data == nullptr || length == 0) return m_bComplete;
    m_Raw.append(data, length);
    if (m_bComplete) return true;
    for (size_t i = 0; i < length && !m_bComplete; ++i) {
        const char c = data[i];
        if (c == '\r' || c == '\n') {
            if (!m_Partial.empty()) TakeLine(std::move(m_Partial));
            m_Partial.clear();
        } else if (c != '\0') {
            m_Partial.push_back(c);
        }
    }
    // The prompt comes without a line end: "> " or ">" at the start of a line.
    if (!m_bComplete && !m_Partial.empty() && Trim(m_Partial) == ">") {
        m_Outcome.prompt = true;
        if (m_bPromptEnds) m_bComplete = true;
    }
    return m_bComplete;
}

void ATAnswer::TakeLine(std::string line) {
    line = Trim(line);
    if (line.empty()) return;
    if (m_bAwaitPdu) {
        // The PDU of an unsolicited "+CDS:" or "+CMT:" header, kept with it.
        m_bAwaitPdu = false;
        m_Unsolicited.back() += "\n" + line;
        return;
    }
    std::string withoutCtrlZ = line;
    while (!withoutCtrlZ.empty() && withoutCtrlZ.back() == '\x1A') withoutCtrlZ.pop_back();
    if (!m_Echo.empty() && (line == m_Echo || withoutCtrlZ == m_Echo)) return;
    if (line == ">" || StartsWith(line, "> ")) {
        m_Outcome.prompt = true;
        if (m_bPromptEnds) m_bComplete = true;
        return;
    }
    if (ParseFinal(line, &m_Outcome)) {
        m_bComplete = true;
        return;
    }
    if (IsUnsolicited(line, m_OwnPrefix)) {
        m_bAwaitPdu = NeedsPduLine(line);
        m_Unsolicited.push_back(line);
        return;
    }
    m_Outcome.lines.push_back(std::move(line));
}
