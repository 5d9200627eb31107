// The log every component of a line writes to. One object per line, shared
// by the line, its command engine and its port; safe to call from any thread.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#define QV_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define QV_PRINTF_FORMAT(fmt, args)
#endif

class ILogInterface {
  public:
    // Library handle of the open log, 0 when closed.
    virtual uint32_t GetHandle() = 0;
    // Adopts a handle opened elsewhere; the log counts as open unless it is 0 or -1.
    virtual void Attach(uint32_t handle) = 0;
    // Opens the log file unless the log is already open.
    virtual void Open(const char* fileName, const char* source, int level) = 0;
    // Closes the library handle if open.
    virtual void Close() = 0;
    // printf-style lines; dropped while the log is closed. The forms ending
    // in 2 go through the library's second write entry.
    virtual void LogInfo(const char* format, ...) QV_PRINTF_FORMAT(2, 3) = 0;
    virtual void LogInfo2(const char* format, ...) QV_PRINTF_FORMAT(2, 3) = 0;
    virtual void LogWarning2(const char* format, ...) QV_PRINTF_FORMAT(2, 3) = 0;
    virtual void LogWarning(const char* format, ...) QV_PRINTF_FORMAT(2, 3) = 0;
    virtual void LogError(const char* format, ...) QV_PRINTF_FORMAT(2, 3) = 0;
    virtual void LogError2(const char* format, ...) QV_PRINTF_FORMAT(2, 3) = 0;

  protected:
    // Not deleted through the interface: owners hold the concrete type.
    ~ILogInterface() = default;
};
