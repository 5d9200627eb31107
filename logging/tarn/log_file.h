// One log file, shared by every handle opened on its name. Entries are
// formatted into a buffer under the file's lock and reach the file a block
// at a time: when the buffer is full, on Flush, and when the file closes.
//   2026-01-31 12:00:00.123 [tid] [source] [level] text
// Control characters in the text (CR and LF of a modem's answer, Ctrl-Z
// after a PDU, ESC) are written as escapes, so that every entry stays one
// line. With a size limit the file rotates (name.1.ext, name.2.ext, ...)
// before an entry would take it past the limit. A fatal signal writes the
// buffer out too (crash_flush.h).
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "logging/tarn/crash_flush.h"
#include "platform/thread_annotations.h"

namespace tarn {

#if defined(_WIN32)
// A DLL must not wait for a thread of its own while the loader unloads it:
// no flusher thread there, every line reaches the file as it is written.
inline constexpr bool kFlushEveryLine = true;
#else
inline constexpr bool kFlushEveryLine = false;
#endif

class LogFile {
  public:
    // Null when the file cannot be created. sizeLimit 0: no rotation.
    static std::shared_ptr<LogFile> Open(const std::string& path, long long sizeLimit);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // threadId: the writing thread's, shown in the entry's prefix.
    void Append(std::string_view source, std::string_view level, std::string_view text,
                unsigned long long threadId) QV_EXCLUDES(m_mu);
    void Flush() QV_EXCLUDES(m_mu);

  private:
    LogFile(std::string path, std::FILE* file, long size, long long sizeLimit);
    // Room for n more bytes at the end of the buffer.
    char* Room(size_t n) QV_REQUIRES(m_mu);
    char* WritePrefix(char* p, std::string_view source, std::string_view level,
                      unsigned long long threadId) QV_REQUIRES(m_mu);
    void WriteOut() QV_REQUIRES(m_mu);
    void Rotate() QV_REQUIRES(m_mu);

    const std::string m_path;
    qv::Mutex m_mu;
    std::FILE* m_file QV_GUARDED_BY(m_mu);
    // Entries not yet written: m_used bytes of m_capacity.
    std::unique_ptr<char[]> m_data QV_GUARDED_BY(m_mu);
    size_t m_used QV_GUARDED_BY(m_mu) = 0;
    size_t m_capacity QV_GUARDED_BY(m_mu) = 0;
    size_t m_fileSize QV_GUARDED_BY(m_mu);
    // The date and time of the last entry up to its second, formatted once
    // a second.
    long long m_stampSecond QV_GUARDED_BY(m_mu) = -1;
    char m_stamp[32] QV_GUARDED_BY(m_mu) = {};
    size_t m_stampLength QV_GUARDED_BY(m_mu) = 0;
    const long long m_sizeLimit;
    // The buffer as a fatal signal finds it.
    PendingLines m_pending;
};

}  // namespace tarn
