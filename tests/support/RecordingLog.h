// An ILogInterface that keeps every line in memory, for tests that check
// what a component logged and at which level. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "logging/ILogInterface.h"

namespace qvtest {

class RecordingLog final : public ILogInterface {
  public:
    struct Line {
        char level;  // 'I' information, 'W' warning, 'E' error
        std::string text;
    };

    uint32_t GetHandle() override { return 0; }
    void Attach(uint32_t) override {}
    void Open(const char*, const char*, int) override {}
    void Close() override {}
    void LogInfo(const char* format, ...) override QV_PRINTF_FORMAT(2, 3);
    void LogInfo2(const char* format, ...) override QV_PRINTF_FORMAT(2, 3);
    void LogWarning2(const char* format, ...) override QV_PRINTF_FORMAT(2, 3);
    void LogWarning(const char* format, ...) override QV_PRINTF_FORMAT(2, 3);
    void LogError(const char* format, ...) override QV_PRINTF_FORMAT(2, 3);
    void LogError2(const char* format, ...) override QV_PRINTF_FORMAT(2, 3);

    std::vector<Line> Lines() const;
    // Lines equal to text (at `level` unless level is 0).
    int Count(const std::string& text, char level = 0) const;
    // Lines containing part.
    int CountContaining(const std::string& part) const;
    bool Has(const std::string& text, char level = 0) const { return Count(text, level) > 0; }
    // Waits until a line equal to text was logged.
    bool WaitFor(const std::string& text,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) const;
    // Waits until a line for which match holds was logged.
    bool WaitForMatch(const std::function<bool(const std::string&)>& match,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) const;
    // Waits until count lines containing part were logged.
    bool WaitForContaining(
        const std::string& part, int count = 1,
        std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) const;
    void Clear();
    std::string Dump() const;

  private:
    void Add(char level, const char* format, va_list args);

    mutable std::mutex m_Mutex;
    mutable std::condition_variable m_Added;  // a line was added
    std::vector<Line> m_Lines;
};

}  // namespace qvtest
