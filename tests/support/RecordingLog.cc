#include "support/RecordingLog.h"

#include <cstdarg>
#include <cstdio>

namespace qvtest {

void RecordingLog::Add(char level, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    // Notified under the lock: a waiter may destroy this log once it returns.
    std::lock_guard lock(m_Mutex);
    m_Lines.push_back(Line{level, std::move(text)});
    m_Added.notify_all();
}

#define QV_RECORD(level)      \
    va_list args;             \
    va_start(args, format);   \
    Add(level, format, args); \
    va_end(args)

void RecordingLog::LogInfo(const char* format, ...) {
    QV_RECORD('I');
}
void RecordingLog::LogInfo2(const char* format, ...) {
    QV_RECORD('I');
}
void RecordingLog::LogWarning2(const char* format, ...) {
    QV_RECORD('W');
}
void RecordingLog::LogWarning(const char* format, ...) {
    QV_RECORD('W');
}
void RecordingLog::LogError(const char* format, ...) {
    QV_RECORD('E');
}
void RecordingLog::LogError2(const char* format, ...) {
    QV_RECORD('E');
}

std::vector<RecordingLog::Line> RecordingLog::Lines() const {
    std::lock_guard lock(m_Mutex);
    return m_Lines;
}

int RecordingLog::Count(const std::string& text, char level) const {
    std::lock_guard lock(m_Mutex);
    int count = 0;
    for (const Line& line : m_Lines)
        if (line.text == text && (level == 0 || line.level == level)) ++count;
    return count;
}

int RecordingLog::CountContaining(const std::string& part) const {
    std::lock_guard lock(m_Mutex);
    int count = 0;
    for (const Line& line : m_Lines)
        if (line.text.find(part) != std::string::npos) ++count;
    return count;
}

bool RecordingLog::WaitFor(const std::string& text, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_Mutex);
    return m_Added.wait_for(lock, timeout, [&] {
        for (const Line& line : m_Lines)
            if (line.text == text) return true;
        return false;
    });
}

bool RecordingLog::WaitForMatch(const std::function<bool(const std::string&)>& match,
                                std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_Mutex);
    return m_Added.wait_for(lock, timeout, [&] {
        for (const Line& line : m_Lines)
            if (match(line.text)) return true;
        return false;
    });
}

bool RecordingLog::WaitForContaining(const std::string& part, int count,
                                     std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_Mutex);
    return m_Added.wait_for(lock, timeout, [&] {
        int n = 0;
        for (const Line& line : m_Lines) n += line.text.find(part) != std::string::npos;
        return n >= count;
    });
}

void RecordingLog::Clear() {
    std::lock_guard lock(m_Mutex);
    m_Lines.clear();
}

std::string RecordingLog::Dump() const {
    std::lock_guard lock(m_Mutex);
    std::string all;
    for (const Line& line : m_Lines) {
        all += line.level;
        all += ' ';
        all += line.text;
        all += '\n';
    }
    return all;
}

}  // namespace qvtest
