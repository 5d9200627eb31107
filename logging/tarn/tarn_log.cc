// tarn_log: one logger per handle, one buffered file per file name.
#include "logging/tarn/tarn_log.h"

#include "logging/tarn/crash_flush.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "platform/thread_annotations.h"

namespace {

constexpr size_t kRotatedFiles = 3;
constexpr auto kFlushPeriod = std::chrono::seconds(1);
// Lines reach the file in blocks of this size, at a warning and every
// flush period: a busy line writes a block every few messages. Every line
// has one, and keeps it resident once filled: 1999 lines hold 36 MB.
constexpr size_t kFileBuffer = 16 * 1024;
#if defined(_WIN32)
// A DLL must not wait for a thread of its own while the loader unloads it:
// no flusher thread there, every line reaches the file as it is written.
constexpr bool kFlushEveryLine = true;
constexpr char kSeparator = '\\';
#else
constexpr bool kFlushEveryLine = false;
constexpr char kSeparator = '/';
#endif

struct OpenRequest {
    std::string source;
    std::string fileName;
    int locking = 1;
    int level = 1;
    long long sizeLimit = 0;
};

std::string LogPath(const std::string& fileName) {
    const char* dir = std::getenv("QVGSM_LOGDIR");
    if (dir == nullptr || *dir == '\0' || fileName.empty() || fileName[0] == '/' ||
        fileName[0] == kSeparator || (fileName.size() > 1 && fileName[1] == ':'))
        return fileName;
    std::string path(dir);
    if (path.back() != '/' && path.back() != kSeparator) path += kSeparator;
    return path + fileName;
}

constexpr int kSeverityError = 0, kSeverityWarning = 1, kSeverityInfo = 2, kSeverityDebug = 3;

// QVGSM_LOGLEVEL=error|warning|info: the least severe lines a file keeps,
// read when a file is opened. Unset or anything else: every line.
int LevelFromEnvironment() {
    const char* value = std::getenv("QVGSM_LOGLEVEL");
    if (value == nullptr) return kSeverityDebug;
    const std::string level(value);
    if (level == "error") return kSeverityError;
    if (level == "warning") return kSeverityWarning;
    if (level == "info") return kSeverityInfo;
    return kSeverityDebug;
}

int SeverityOf(int severity) {
    return severity >= kSeverityError && severity <= kSeverityInfo ? severity : kSeverityDebug;
}

std::string_view SeverityName(int severity) {
    static constexpr std::string_view kNames[] = {"error", "warning", "info", "debug"};
    return kNames[SeverityOf(severity)];
}

unsigned long long ThreadId() {
#if defined(_WIN32)
    return GetCurrentThreadId();
#else
    thread_local const unsigned long long tid =
        static_cast<unsigned long long>(syscall(SYS_gettid));
    return tid;
#endif
}

// "dir/GSM_COM9.log", 2 -> "dir/GSM_COM9.2.log"
std::string RotatedName(const std::string& path, size_t index) {
    if (index == 0) return path;
    const size_t dot = path.rfind('.');
    const size_t folder = path.find_last_of("/\\");
    const bool hasExtension = dot != std::string::npos && dot != 0 &&
                              (folder == std::string::npos || dot > folder + 1) &&
                              dot != path.size() - 1;
    const size_t stem = hasExtension ? dot : path.size();
    std::string name(path, 0, stem);
    name += '.';
    name += std::to_string(index);
    name.append(path, stem, std::string::npos);
    return name;
}

// One log file, shared by every handle opened on its name. Entries are
// formatted into a buffer under the file's lock and reach the file a block
// at a time: when the buffer is full, on Flush, and on close.
//   2026-01-31 12:00:00.123 [tid] [source] [level] text
// Control characters in the text (CR and LF of a modem's answer, Ctrl-Z
// after a PDU, ESC) are written as escapes, so that every entry stays one
// line. With a size limit the file rotates (name.1.ext, name.2.ext, ...)
// before an entry would take it past the limit.
class LogFile {
  public:
    // Null when the file cannot be created.
    static std::shared_ptr<LogFile> Open(const std::string& path, long long sizeLimit) {
        std::FILE* file = std::fopen(path.c_str(), "ab");
        if (file == nullptr) return nullptr;
        // Blocks go out whole from our own buffer.
        std::setvbuf(file, nullptr, _IONBF, 0);
        std::fseek(file, 0, SEEK_END);
        const long size = std::ftell(file);
        return std::shared_ptr<LogFile>(
            new LogFile(path, file, size > 0 ? size : 0, sizeLimit > 0 ? sizeLimit : 0));
    }

    ~LogFile() {
        StopWatching(&m_pending);
        qv::MutexLock lock(m_mu);
        WriteOut();
        if (m_file != nullptr) std::fclose(m_file);
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    void Append(std::string_view source, int severity, std::string_view text) QV_EXCLUDES(m_mu) {
        const std::string_view level = SeverityName(severity);
        // The entry is written straight into the buffer: its prefix, then
        // the text, which takes at most four bytes a byte once escaped.
        const size_t most = kPrefixRoom + source.size() + level.size() + 4 * text.size() + 2;
        qv::MutexLock lock(m_mu);
        const size_t before = m_used;
        char* const start = Room(most);
        char* p = WritePrefix(start, source, level);
        p = WriteEscaped(p, text);
        for (char c : kEol) *p++ = c;
        m_used += static_cast<size_t>(p - start);
        m_pending.size.store(m_used, std::memory_order_relaxed);
        if (m_sizeLimit > 0 && m_fileSize + m_used > static_cast<size_t>(m_sizeLimit) &&
            m_fileSize + before > 0) {
            // Everything before this entry goes to the file that rotates away.
            const size_t entry = m_used - before;
            m_used = before;
            WriteOut();
            Rotate();
            std::memmove(m_data.get(), m_data.get() + before, entry);
            m_used = entry;
            m_pending.size.store(m_used, std::memory_order_relaxed);
        }
        if (kFlushEveryLine || m_used >= kFileBuffer) WriteOut();
    }

    void Flush() QV_EXCLUDES(m_mu) {
        qv::MutexLock lock(m_mu);
        WriteOut();
    }

  private:
    LogFile(std::string path, std::FILE* file, long size, long long sizeLimit)
        : m_path(std::move(path)),
          m_file(file),
          m_fileSize(static_cast<size_t>(size)),
          m_sizeLimit(sizeLimit) {
        m_pending.fd.store(Descriptor(file), std::memory_order_relaxed);
        WatchForCrash(&m_pending);
    }

    static int Descriptor(std::FILE* file) {
#if defined(_WIN32)
        (void)file;
        return -1;  // every line is written through there
#else
        return file != nullptr ? fileno(file) : -1;
#endif
    }

    // Room for n more bytes at the end of the buffer. It is allocated a
    // block at once: growing by doubling would leave the smaller blocks
    // behind in the heap, a line's worth of memory each.
    char* Room(size_t n) QV_REQUIRES(m_mu) {
        if (m_used + n > m_capacity) {
            const size_t capacity =
                std::max(kFlushEveryLine ? 1024 : kFileBuffer + kFileBuffer / 8, m_used + n);
            std::unique_ptr<char[]> data(new char[capacity]);
            if (m_used > 0) std::memcpy(data.get(), m_data.get(), m_used);
            m_data = std::move(data);
            m_capacity = capacity;
            m_pending.data.store(m_data.get(), std::memory_order_relaxed);
        }
        return m_data.get() + m_used;
    }

    // "2026-01-31 12:00:00.123 [tid] [source] [level] ": at most
    // kPrefixRoom bytes besides the source and the level.
    static constexpr size_t kPrefixRoom = 64;
    static char* WritePrefix(char* p, std::string_view source, std::string_view level) {
        using namespace std::chrono;
        const auto since = system_clock::now().time_since_epoch();
        const auto second = duration_cast<seconds>(since);
        const unsigned ms =
            static_cast<unsigned>(duration_cast<milliseconds>(since - second).count());
        // The date and time up to the second, formatted once a second.
        thread_local long long t_second = -1;
        thread_local char t_stamp[32];
        thread_local size_t t_stampLength = 0;
        if (second.count() != t_second) {
            t_second = second.count();
            const std::time_t t = static_cast<std::time_t>(t_second);
            std::tm local{};
#if defined(_WIN32)
            localtime_s(&local, &t);
#else
            localtime_r(&t, &local);
#endif
            t_stampLength = std::strftime(t_stamp, sizeof t_stamp, "%Y-%m-%d %H:%M:%S.", &local);
        }
        std::memcpy(p, t_stamp, t_stampLength);
        p += t_stampLength;
        *p++ = static_cast<char>('0' + ms / 100);
        *p++ = static_cast<char>('0' + ms / 10 % 10);
        *p++ = static_cast<char>('0' + ms % 10);
        *p++ = ' ';
        *p++ = '[';
        char digits[24];
        char* const end = digits + sizeof digits;
        char* d = end;
        unsigned long long tid = ThreadId();
        do {
            *--d = static_cast<char>('0' + tid % 10);
            tid /= 10;
        } while (tid != 0);
        p = Put(p, std::string_view(d, static_cast<size_t>(end - d)));
        p = Put(p, "] [");
        p = Put(p, source);
        p = Put(p, "] [");
        p = Put(p, level);
        return Put(p, "] ");
    }

    static char* Put(char* p, std::string_view text) {
        std::memcpy(p, text.data(), text.size());
        return p + text.size();
    }

    // Control characters (CR and LF of a modem's answer, Ctrl-Z after a PDU,
    // ESC) as escapes, so that every entry stays one line.
    static char* WriteEscaped(char* p, std::string_view text) {
        static const char kHex[] = "0123456789ABCDEF";
        const char* in = text.data();
        const char* const end = in + text.size();
        while (in < end) {
            // Plain runs go in whole, found eight bytes at a time: an
            // answer is mostly text.
            const char* run = PlainRunEnd(in, end);
            std::memcpy(p, in, static_cast<size_t>(run - in));
            p += run - in;
            if (run == end) break;
            const auto c = static_cast<unsigned char>(*run);
            in = run + 1;
            if (c == '\t') {
                *p++ = '\t';
            } else if (c == '\r') {
                *p++ = '\\';
                *p++ = 'r';
            } else if (c == '\n') {
                *p++ = '\\';
                *p++ = 'n';
            } else {
                *p++ = '\\';
                *p++ = 'x';
                *p++ = kHex[c >> 4];
                *p++ = kHex[c & 15];
            }
        }
        return p;
    }

    // The first byte below 0x20 at or after in, or end.
    static const char* PlainRunEnd(const char* in, const char* end) {
        constexpr uint64_t kOnes = 0x0101010101010101ull;
        constexpr uint64_t kHighs = 0x8080808080808080ull;
        while (end - in >= 8) {
            uint64_t word;
            std::memcpy(&word, in, sizeof word);
            // A high bit for each byte below 0x20 (and none for 0x80 and up).
            if (((word - 0x20 * kOnes) & ~word & kHighs) != 0) break;
            in += 8;
        }
        while (in < end && static_cast<unsigned char>(*in) >= 0x20) ++in;
        return in;
    }

    void WriteOut() QV_REQUIRES(m_mu) {
        if (m_used == 0) return;
        if (m_file != nullptr) m_fileSize += std::fwrite(m_data.get(), 1, m_used, m_file);
        m_used = 0;
        m_pending.size.store(0, std::memory_order_relaxed);
    }

    // name.2.ext -> name.3.ext, ..., name.ext -> name.1.ext; a new, empty name.ext.
    void Rotate() QV_REQUIRES(m_mu) {
        m_pending.fd.store(-1, std::memory_order_relaxed);
        if (m_file != nullptr) std::fclose(m_file);
        m_file = nullptr;
        for (size_t i = kRotatedFiles; i > 0; --i) {
            const std::string from = RotatedName(m_path, i - 1);
            const std::string to = RotatedName(m_path, i);
            std::remove(to.c_str());
            std::rename(from.c_str(), to.c_str());
        }
        m_file = std::fopen(m_path.c_str(), "wb");
        if (m_file != nullptr) std::setvbuf(m_file, nullptr, _IONBF, 0);
        m_pending.fd.store(Descriptor(m_file), std::memory_order_relaxed);
        m_fileSize = 0;
    }

#if defined(_WIN32)
    static constexpr std::string_view kEol = "\r\n";
#else
    static constexpr std::string_view kEol = "\n";
#endif
    const std::string m_path;
    qv::Mutex m_mu;
    std::FILE* m_file QV_GUARDED_BY(m_mu);
    // Entries not yet written: m_used bytes of m_capacity.
    std::unique_ptr<char[]> m_data QV_GUARDED_BY(m_mu);
    size_t m_used QV_GUARDED_BY(m_mu) = 0;
    size_t m_capacity QV_GUARDED_BY(m_mu) = 0;
    size_t m_fileSize QV_GUARDED_BY(m_mu);
    const long long m_sizeLimit;
    // The buffer as a fatal signal finds it.
    PendingLines m_pending;
};

// What a handle writes through: its file, the name its lines carry, and the
// least severe lines it keeps.
struct Logger {
    std::string source;
    int level;
    std::shared_ptr<LogFile> file;

    bool ShouldLog(int severity) const { return SeverityOf(severity) <= level; }
};

// Handles are never reused, so a stale handle cannot write into another log.
class Registry {
  public:
    ~Registry() {
        StopFlusher();
        FlushAll();
    }

    uint32_t Open(const OpenRequest& request) QV_EXCLUDES(m_Mutex) {
        std::string path = LogPath(request.fileName);
        qv::ExclusiveLock lock(m_Mutex);
        std::shared_ptr<LogFile> file = m_FilesByPath[path].lock();
        if (!file) {
            file = LogFile::Open(path, request.sizeLimit);
            if (!file) {
                // Said once per file: a line whose log is missing still works.
                if (m_Unwritable.insert(path).second) {
                    std::fprintf(stderr, "tarn_log: cannot create the log file %s\n", path.c_str());
                }
                return 0;
            }
            m_FilesByPath[path] = file;
        }
        auto logger =
            std::make_shared<Logger>(Logger{request.source, LevelFromEnvironment(), file});
        uint32_t handle = ++m_LastHandle;
        if (handle == 0) handle = ++m_LastHandle;
        m_Loggers[handle] = std::move(logger);
        if (!kFlushEveryLine) StartFlusher();
        return handle;
    }

    void Close(uint32_t handle) QV_EXCLUDES(m_Mutex) {
        std::shared_ptr<Logger> logger;
        {
            qv::ExclusiveLock lock(m_Mutex);
            auto it = m_Loggers.find(handle);
            if (it == m_Loggers.end()) return;
            logger = std::move(it->second);
            m_Loggers.erase(it);
        }
        logger->file->Flush();
    }

    std::shared_ptr<Logger> Find(uint32_t handle) QV_EXCLUDES(m_Mutex) {
        qv::SharedLock lock(m_Mutex);
        auto it = m_Loggers.find(handle);
        return it == m_Loggers.end() ? nullptr : it->second;
    }

    void FlushAll() QV_EXCLUDES(m_Mutex) {
        std::vector<std::shared_ptr<Logger>> loggers;
        {
            qv::SharedLock lock(m_Mutex);
            loggers.reserve(m_Loggers.size());
            for (auto& entry : m_Loggers) loggers.push_back(entry.second);
        }
        for (auto& logger : loggers) logger->file->Flush();
    }

  private:
    void StartFlusher() QV_REQUIRES(m_Mutex) {
        if (m_Flusher.joinable()) return;
        m_Flusher = std::thread([this] { RunFlusher(); });
    }

    void RunFlusher() QV_EXCLUDES(m_Mutex, m_FlusherMutex) {
        qv::MutexLock lock(m_FlusherMutex);
        while (!m_bStop) {
            m_FlusherWake.wait_for(lock.Native(), kFlushPeriod);
            if (m_bStop) break;
            lock.Unlock();
            FlushAll();
            lock.Lock();
        }
    }

    // Only from the destructor: nothing opens a log any more.
    void StopFlusher() QV_EXCLUDES(m_Mutex, m_FlusherMutex) {
        {
            qv::MutexLock lock(m_FlusherMutex);
            m_bStop = true;
        }
        m_FlusherWake.notify_all();
        // The flusher takes m_Mutex to flush: joined outside it.
        std::thread flusher;
        {
            qv::ExclusiveLock lock(m_Mutex);
            flusher = std::move(m_Flusher);
        }
        if (flusher.joinable()) flusher.join();
    }

    // Lock order: m_Mutex before m_FlusherMutex when both are held.
    qv::SharedMutex m_Mutex QV_ACQUIRED_BEFORE(m_FlusherMutex);
    std::unordered_map<uint32_t, std::shared_ptr<Logger>> m_Loggers QV_GUARDED_BY(m_Mutex);
    std::map<std::string, std::weak_ptr<LogFile>> m_FilesByPath QV_GUARDED_BY(m_Mutex);
    uint32_t m_LastHandle QV_GUARDED_BY(m_Mutex) = 0;
    std::set<std::string> m_Unwritable QV_GUARDED_BY(m_Mutex);
    std::thread m_Flusher QV_GUARDED_BY(m_Mutex);

    qv::Mutex m_FlusherMutex;
    std::condition_variable m_FlusherWake;
    bool m_bStop QV_GUARDED_BY(m_FlusherMutex) = false;
};

Registry& GetRegistry() {
    static Registry registry;
    return registry;
}

// A thread that defers its flushes: the loggers that had a warning or an
// error since its last tarn_flush_deferred, each once.
thread_local bool t_deferFlushes = false;
thread_local std::vector<std::shared_ptr<Logger>> t_flushesDue;
// And the logger it wrote to last, until then: a packet's lines mostly go
// to one file, and so skip the registry's lock. Kept no longer, so that a
// closed log's file does not stay open behind a thread.
thread_local uint32_t t_lastHandle = 0;
thread_local std::shared_ptr<Logger> t_lastLogger;

// The handle's logger: the thread's last one, or one found now and kept in held.
const std::shared_ptr<Logger>& FindLogger(uint32_t handle, std::shared_ptr<Logger>& held) {
    if (!t_deferFlushes) {
        held = GetRegistry().Find(handle);
        return held;
    }
    if (handle != t_lastHandle) {
        t_lastLogger = GetRegistry().Find(handle);
        t_lastHandle = handle;
    }
    return t_lastLogger;
}

// A warning or an error reaches the file now, or, on a deferring thread,
// when it has handled its packet.
void FlushForSeverity(const std::shared_ptr<Logger>& logger, int severity) {
    if (kFlushEveryLine || SeverityOf(severity) > kSeverityWarning) return;
    if (!t_deferFlushes) {
        logger->file->Flush();
        return;
    }
    for (const auto& due : t_flushesDue)
        if (due == logger) return;
    t_flushesDue.push_back(logger);
}

template <typename Unsigned>
void AppendNumber(std::string& out, Unsigned value, unsigned base) {
    char digits[24];
    char* const end = digits + sizeof digits;
    char* p = end;
    do {
        *--p = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    out.append(p, static_cast<size_t>(end - p));
}

template <typename Signed>
void AppendSigned(std::string& out, Signed value) {
    using Unsigned = std::make_unsigned_t<Signed>;
    if (value < 0) {
        out.push_back('-');
        AppendNumber(out, static_cast<Unsigned>(Unsigned{0} - static_cast<Unsigned>(value)), 10);
    } else {
        AppendNumber(out, static_cast<Unsigned>(value), 10);
    }
}

// The conversions the driver's lines use: %s %d %i %u %x %c and %%, with an
// l, ll or z. False at anything else (flags, widths, precisions, other
// types), which is left to vsnprintf: it costs more than all the rest of a
// line.
bool FormatPlain(const char* format, va_list args, std::string& out) {
    const char* p = format;
    while (const char* percent = std::strchr(p, '%')) {
        out.append(p, static_cast<size_t>(percent - p));
        p = percent + 1;
        int longs = 0;
        bool size = false;
        if (*p == 'z') {
            size = true;
            ++p;
        } else {
            while (*p == 'l') ++longs, ++p;
        }
        const char conversion = *p++;
        if (conversion == '\0' || longs > 2 || std::strchr("sdiuxc%", conversion) == nullptr)
            return false;
        switch (conversion) {
            case '%':
                out.push_back('%');
                break;
            case 's': {
                const char* text = va_arg(args, const char*);
                out.append(text != nullptr ? text : "(null)");
                break;
            }
            case 'c':
                out.push_back(static_cast<char>(va_arg(args, int)));
                break;
            case 'd':
            case 'i':
                if (size) {
                    AppendSigned(out, va_arg(args, std::make_signed_t<size_t>));
                } else if (longs == 2) {
                    AppendSigned(out, va_arg(args, long long));
                } else if (longs == 1) {
                    AppendSigned(out, va_arg(args, long));
                } else {
                    AppendSigned(out, va_arg(args, int));
                }
                break;
            default: {  // u, x
                const unsigned base = conversion == 'x' ? 16 : 10;
                if (size) {
                    AppendNumber(out, va_arg(args, size_t), base);
                } else if (longs == 2) {
                    AppendNumber(out, va_arg(args, unsigned long long), base);
                } else if (longs == 1) {
                    AppendNumber(out, va_arg(args, unsigned long), base);
                } else {
                    AppendNumber(out, va_arg(args, unsigned), base);
                }
                break;
            }
        }
    }
    out.append(p);
    return true;
}

// The line a format and its arguments make, in a buffer of the thread's own.
std::string_view Format(const char* format, va_list args) {
    // A format without conversions is its own text: half the lines are.
    if (std::strchr(format, '%') == nullptr) return format;
    thread_local std::string t_line;
    t_line.clear();
    va_list copy;
    va_copy(copy, args);
    const bool plain = FormatPlain(format, copy, t_line);
    va_end(copy);
    if (plain) return t_line;
    t_line.clear();
    va_copy(copy, args);
    t_line.resize(std::max<size_t>(t_line.capacity(), 256));
    const int length = std::vsnprintf(t_line.data(), t_line.size(), format, copy);
    va_end(copy);
    if (length < 0) return {};
    if (static_cast<size_t>(length) >= t_line.size()) {
        t_line.resize(static_cast<size_t>(length) + 1);
        va_copy(copy, args);
        std::vsnprintf(t_line.data(), t_line.size(), format, copy);
        va_end(copy);
    }
    t_line.resize(static_cast<size_t>(length));
    return t_line;
}

void Write(uint32_t handle, int severity, const char* format, va_list args) {
    if (handle == 0 || format == nullptr) return;
    std::shared_ptr<Logger> held;
    const std::shared_ptr<Logger>& logger = FindLogger(handle, held);
    // A line below the file's level costs no formatting.
    if (!logger || !logger->ShouldLog(severity)) return;
    try {
        logger->file->Append(logger->source, severity, Format(format, args));
        FlushForSeverity(logger, severity);
    } catch (...) {
        // A log never disturbs its caller.
    }
}

}  // namespace

extern "C" {

void tarn_ordinal_36(uint32_t* handle, const char* configTemplate, ...) {
    if (handle == nullptr) return;
    *handle = 0;
    if (configTemplate == nullptr) return;
    OpenRequest request;
    va_list args;
    va_start(args, configTemplate);
    const char* field = configTemplate;
    while (*field != '\0') {
        const char* end = std::strchr(field, ';');
        size_t length = end ? static_cast<size_t>(end - field) : std::strlen(field);
        std::string name(field, length);
        if (name == "%source") {
            const char* value = va_arg(args, const char*);
            request.source = value ? value : "";
        } else if (name == "%csvlogname") {
            const char* value = va_arg(args, const char*);
            request.fileName = value ? value : "";
        } else if (name == "%locking") {
            request.locking = va_arg(args, int);
        } else if (name == "%loglevel") {
            request.level = va_arg(args, int);
        } else if (name == "%csvlimit") {
            request.sizeLimit = va_arg(args, int);
        }
        field += length;
        if (*field == ';') ++field;
    }
    va_end(args);
    if (request.fileName.empty()) return;
    try {
        *handle = GetRegistry().Open(request);
    } catch (...) {
        *handle = 0;
    }
}

void tarn_ordinal_12(uint32_t handle) {
    try {
        GetRegistry().Close(handle);
    } catch (...) {
    }
}

void tarn_ordinal_34(uint32_t handle, int severity, int /*level*/, int /*reserved1*/,
                     int /*reserved2*/, const char* format, va_list args) {
    Write(handle, severity, format, args);
}

void tarn_ordinal_35(uint32_t handle, int severity, int /*level*/, int /*reserved1*/,
                     int /*reserved2*/, const char* format, va_list args) {
    Write(handle, severity, format, args);
}

void tarn_defer_flushes(int on) {
    t_deferFlushes = on != 0;
    if (!t_deferFlushes) tarn_flush_deferred();
}

void tarn_flush_deferred(void) {
    try {
        for (const auto& logger : t_flushesDue) logger->file->Flush();
    } catch (...) {
    }
    t_flushesDue.clear();
    t_lastLogger.reset();
    t_lastHandle = 0;
}

void tarn_flush_all(void) {
    try {
        GetRegistry().FlushAll();
    } catch (...) {
    }
}

}  // extern "C"
