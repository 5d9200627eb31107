// The line log over the tarn_log library (logging/tarn/tarn_log.h).
//
// The handler itself takes no lock: the library serialises writes to a file
// (it is opened with locking 1). Writes while closed make no library call.
#pragma once

#include <atomic>
#include <cstdint>

#include "logging/ILogInterface.h"

class CLoggingHandler : public ILogInterface {
  public:
    CLoggingHandler() = default;
    CLoggingHandler(const CLoggingHandler&) = delete;
    CLoggingHandler& operator=(const CLoggingHandler&) = delete;

    uint32_t GetHandle() override;
    void Attach(uint32_t handle) override;
    // Levels 0..3 are kept, anything else becomes 1.
    void Open(const char* fileName, const char* source, int level) override;
    void Close() override;
    void LogInfo(const char* format, ...) override QV_PRINTF_FORMAT(2, 3);
    void LogInfo2(const char* format, ...) override QV_PRINTF_FORMAT(2, 3);
    void LogWarning2(const char* format, ...) override QV_PRINTF_FORMAT(2, 3);
    void LogWarning(const char* format, ...) override QV_PRINTF_FORMAT(2, 3);
    void LogError(const char* format, ...) override QV_PRINTF_FORMAT(2, 3);
    void LogError2(const char* format, ...) override QV_PRINTF_FORMAT(2, 3);
    // Does not close the handle: the owner calls Close first.
    virtual ~CLoggingHandler();

    // What the library is opened with.
    static constexpr const char* kOpenTemplate = "%source;%csvlogname;%locking;%loglevel;%csvlimit";
    static constexpr int kLocking = 1;
    static constexpr int kSizeLimit = 5242880;

  private:
    // Written by the library's open entry; read by writers on any thread.
    std::atomic<uint32_t> m_hLog{0};
    std::atomic<int> m_bOpen{0};
};

// For a pool worker: its warnings and errors reach their files when it calls
// FlushDeferredLogs after each packet, one write per file instead of one per
// line. Nothing to do where every line is written through (Windows).
void DeferLogFlushes(bool on);
void FlushDeferredLogs();
