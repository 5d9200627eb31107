#include "logging/LoggingHandler.h"

#include <cstdarg>

#include "logging/TarnEntries.h"
#include "logging/tarn/tarn_log.h"

namespace {

// Severity and level the library gets for each kind of line.
constexpr int kSeverityInfo = 2, kLevelInfo = 3;
constexpr int kSeverityWarning = 1, kLevelWarning = 2;
constexpr int kSeverityError = 0, kLevelError = 1;

}  // namespace

// The same body for all six log operations: the entry and the numbers differ.
#define QV_LOG_THROUGH(entry, severity, level)                                   \
    do {                                                                         \
        if (m_bOpen.load() == 0) return;                                         \
        va_list args;                                                            \
        va_start(args, format);                                                  \
        TarnEntries().entry(m_hLog.load(), severity, level, 0, 0, format, args); \
        va_end(args);                                                            \
    } while (0)

CLoggingHandler::~CLoggingHandler() {
    m_hLog = 0;
    m_bOpen = 0;
}

uint32_t CLoggingHandler::GetHandle() {
    return m_hLog.load();
}

void CLoggingHandler::Attach(uint32_t handle) {
    m_hLog = handle;
    if (handle != 0 && handle != UINT32_MAX) m_bOpen = 1;
}

void CLoggingHandler::Open(const char* fileName, const char* source, int level) {
    // The flag is set before the call whatever the library does: a failed
    // open still counts as open and its writes go to handle 0.
    int expected = 0;
    if (!m_bOpen.compare_exchange_strong(expected, 1)) return;
    if (level < 0 || level > 3) level = 1;
    uint32_t handle = 0;
    TarnEntries().open(&handle, kOpenTemplate, source, fileName, kLocking, level, kSizeLimit);
    m_hLog = handle;
}

void CLoggingHandler::Close() {
    if (m_bOpen.exchange(0) == 0) return;
    TarnEntries().close(m_hLog.exchange(0));
}

void CLoggingHandler::LogInfo(const char* format, ...) {
    QV_LOG_THROUGH(writeA, kSeverityInfo, kLevelInfo);
}

void CLoggingHandler::LogInfo2(const char* format, ...) {
    QV_LOG_THROUGH(writeB, kSeverityInfo, kLevelInfo);
}

void CLoggingHandler::LogWarning2(const char* format, ...) {
    QV_LOG_THROUGH(writeB, kSeverityWarning, kLevelWarning);
}

void CLoggingHandler::LogWarning(const char* format, ...) {
    QV_LOG_THROUGH(writeA, kSeverityWarning, kLevelWarning);
}

void CLoggingHandler::LogError(const char* format, ...) {
    QV_LOG_THROUGH(writeA, kSeverityError, kLevelError);
}

void CLoggingHandler::LogError2(const char* format, ...) {
    QV_LOG_THROUGH(writeB, kSeverityError, kLevelError);
}

void DeferLogFlushes(bool on) {
#if !defined(_WIN32)
    tarn_defer_flushes(on ? 1 : 0);
#else
    (void)on;
#endif
}

void FlushDeferredLogs() {
#if !defined(_WIN32)
    tarn_flush_deferred();
#endif
}
