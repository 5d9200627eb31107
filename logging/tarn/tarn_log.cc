// tarn_log over spdlog: one logger per handle, one file sink per file name.
#include "logging/tarn/tarn_log.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/thread_annotations.h"

namespace {

constexpr size_t kRotatedFiles = 3;
constexpr auto kFlushPeriod = std::chrono::seconds(1);
// Lines reach the file in blocks of this size, at a warning and every
// flush period: a busy line writes a block every few messages.
constexpr size_t kFileBuffer = 32 * 1024;
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

// QVGSM_LOGLEVEL=error|warning|info: the least severe lines a file keeps,
// read when a file is opened. Unset or anything else: every line.
spdlog::level::level_enum LevelFromEnvironment() {
    const char* value = std::getenv("QVGSM_LOGLEVEL");
    if (value == nullptr) return spdlog::level::trace;
    const std::string level(value);
    if (level == "error") return spdlog::level::err;
    if (level == "warning") return spdlog::level::warn;
    if (level == "info") return spdlog::level::info;
    return spdlog::level::trace;
}

// One entry per line of the file:
//   2026-01-31 12:00:00.123 [tid] [source] [level] text
// Control characters in the text (CR and LF of a modem's answer, Ctrl-Z
// after a PDU, ESC) are written as escapes, so that every entry stays one
// line. The date and time are formatted once a second. A sink calls its
// formatter under its own lock, one entry at a time.
class EntryFormatter final : public spdlog::formatter {
  public:
    void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
        using namespace std::chrono;
        const auto since = msg.time.time_since_epoch();
        const auto second = duration_cast<seconds>(since);
        if (second.count() != m_second) {
            m_second = second.count();
            const std::time_t t = static_cast<std::time_t>(m_second);
            std::tm local{};
#if defined(_WIN32)
            localtime_s(&local, &t);
#else
            localtime_r(&t, &local);
#endif
            m_stampLength = std::strftime(m_stamp, sizeof m_stamp, "%Y-%m-%d %H:%M:%S.", &local);
        }
        dest.append(m_stamp, m_stamp + m_stampLength);
        const unsigned ms =
            static_cast<unsigned>(duration_cast<milliseconds>(since - second).count());
        const char millis[] = {static_cast<char>('0' + ms / 100),
                               static_cast<char>('0' + ms / 10 % 10),
                               static_cast<char>('0' + ms % 10), ' ', '['};
        dest.append(millis, millis + sizeof millis);
        char digits[24];
        char* end = digits + sizeof digits;
        char* p = end;
        size_t tid = msg.thread_id;
        do {
            *--p = static_cast<char>('0' + tid % 10);
            tid /= 10;
        } while (tid != 0);
        dest.append(p, end);
        Append(dest, "] [");
        dest.append(msg.logger_name.data(), msg.logger_name.data() + msg.logger_name.size());
        Append(dest, "] [");
        const spdlog::string_view_t level = spdlog::level::to_string_view(msg.level);
        dest.append(level.data(), level.data() + level.size());
        Append(dest, "] ");
        AppendEscaped(msg.payload, dest);
        Append(dest, kEol);
    }

    std::unique_ptr<spdlog::formatter> clone() const override {
        return std::make_unique<EntryFormatter>();
    }

  private:
    template <size_t N>
    static void Append(spdlog::memory_buf_t& dest, const char (&text)[N]) {
        dest.append(text, text + N - 1);
    }

    static void AppendEscaped(spdlog::string_view_t text, spdlog::memory_buf_t& dest) {
        const char* p = text.data();
        const char* const end = p + text.size();
        while (p < end) {
            // Plain runs go in whole: an answer is mostly text.
            const char* run = p;
            while (run < end && (static_cast<unsigned char>(*run) >= 0x20 || *run == '\t')) ++run;
            dest.append(p, run);
            if (run == end) break;
            const unsigned char c = static_cast<unsigned char>(*run);
            p = run + 1;
            if (c == '\r') {
                Append(dest, "\\r");
            } else if (c == '\n') {
                Append(dest, "\\n");
            } else {
                static const char kHex[] = "0123456789ABCDEF";
                const char hex[] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
                dest.append(hex, hex + sizeof hex);
            }
        }
    }

#if defined(_WIN32)
    static constexpr char kEol[] = "\r\n";
#else
    static constexpr char kEol[] = "\n";
#endif
    long long m_second = -1;
    char m_stamp[32] = {};
    size_t m_stampLength = 0;
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
        spdlog::sink_ptr sink = m_SinksByPath[path].lock();
        if (!sink) {
            sink = MakeSink(path, request);
            if (!sink) {
                // Said once per file: a line whose log is missing still works.
                if (m_Unwritable.insert(path).second) {
                    std::fprintf(stderr, "tarn_log: cannot create the log file %s\n", path.c_str());
                }
                return 0;
            }
            sink->set_formatter(std::make_unique<EntryFormatter>());
            m_SinksByPath[path] = sink;
        }
        auto logger = std::make_shared<spdlog::logger>(request.source, sink);
        logger->set_level(LevelFromEnvironment());
        // Warnings and errors are flushed by Write, at once or deferred.
        logger->flush_on(kFlushEveryLine ? spdlog::level::trace : spdlog::level::off);
        uint32_t handle = ++m_LastHandle;
        if (handle == 0) handle = ++m_LastHandle;
        m_Loggers[handle] = std::move(logger);
        if (!kFlushEveryLine) StartFlusher();
        return handle;
    }

    void Close(uint32_t handle) QV_EXCLUDES(m_Mutex) {
        std::shared_ptr<spdlog::logger> logger;
        {
            qv::ExclusiveLock lock(m_Mutex);
            auto it = m_Loggers.find(handle);
            if (it == m_Loggers.end()) return;
            logger = std::move(it->second);
            m_Loggers.erase(it);
        }
        logger->flush();
    }

    std::shared_ptr<spdlog::logger> Find(uint32_t handle) QV_EXCLUDES(m_Mutex) {
        qv::SharedLock lock(m_Mutex);
        auto it = m_Loggers.find(handle);
        return it == m_Loggers.end() ? nullptr : it->second;
    }

    void FlushAll() QV_EXCLUDES(m_Mutex) {
        std::vector<std::shared_ptr<spdlog::logger>> loggers;
        {
            qv::SharedLock lock(m_Mutex);
            loggers.reserve(m_Loggers.size());
            for (auto& entry : m_Loggers) loggers.push_back(entry.second);
        }
        for (auto& logger : loggers) logger->flush();
    }

  private:
    static spdlog::sink_ptr MakeSink(const std::string& path, const OpenRequest& request) {
        spdlog::file_event_handlers handlers;
        handlers.after_open = [](const spdlog::filename_t&, std::FILE* file) {
            std::setvbuf(file, nullptr, _IOFBF, kFileBuffer);
        };
        try {
            if (request.sizeLimit > 0) {
                auto size = static_cast<size_t>(request.sizeLimit);
                if (request.locking != 0)
                    return std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
                        path, size, kRotatedFiles, false, handlers);
                return std::make_shared<spdlog::sinks::rotating_file_sink_st>(
                    path, size, kRotatedFiles, false, handlers);
            }
            if (request.locking != 0)
                return std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, false, handlers);
            return std::make_shared<spdlog::sinks::basic_file_sink_st>(path, false, handlers);
        } catch (...) {
            return nullptr;
        }
    }

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
    std::unordered_map<uint32_t, std::shared_ptr<spdlog::logger>> m_Loggers QV_GUARDED_BY(m_Mutex);
    std::map<std::string, std::weak_ptr<spdlog::sinks::sink>> m_SinksByPath QV_GUARDED_BY(m_Mutex);
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

spdlog::level::level_enum LevelOf(int severity) {
    switch (severity) {
        case 0:
            return spdlog::level::err;
        case 1:
            return spdlog::level::warn;
        case 2:
            return spdlog::level::info;
        default:
            return spdlog::level::debug;
    }
}

// A thread that defers its flushes: the loggers that had a warning or an
// error since its last tarn_flush_deferred, each once.
thread_local bool t_deferFlushes = false;
thread_local std::vector<std::shared_ptr<spdlog::logger>> t_flushesDue;
// And the logger it wrote to last, until then: a packet's lines mostly go
// to one file, and so skip the registry's lock. Kept no longer, so that a
// closed log's file does not stay open behind a thread.
thread_local uint32_t t_lastHandle = 0;
thread_local std::shared_ptr<spdlog::logger> t_lastLogger;

std::shared_ptr<spdlog::logger> FindLogger(uint32_t handle) {
    if (!t_deferFlushes) return GetRegistry().Find(handle);
    if (handle != t_lastHandle) {
        t_lastLogger = GetRegistry().Find(handle);
        t_lastHandle = handle;
    }
    return t_lastLogger;
}

// A warning or an error reaches the file now, or, on a deferring thread,
// when it has handled its packet.
void FlushForSeverity(const std::shared_ptr<spdlog::logger>& logger, int severity) {
    if (kFlushEveryLine || LevelOf(severity) < spdlog::level::warn) return;
    if (!t_deferFlushes) {
        logger->flush();
        return;
    }
    for (const auto& due : t_flushesDue)
        if (due == logger) return;
    t_flushesDue.push_back(logger);
}

// Formats on the stack; only long lines (a whole receive buffer) allocate.
void Write(uint32_t handle, int severity, const char* format, va_list args) {
    if (handle == 0 || format == nullptr) return;
    std::shared_ptr<spdlog::logger> logger = FindLogger(handle);
    // A line below the file's level costs no formatting.
    if (!logger || !logger->should_log(LevelOf(severity))) return;
    try {
        // A format without conversions is its own text: half the lines are.
        spdlog::string_view_t text(format);
        // Room for a whole answer history line without a second pass.
        char line[2048];
        std::string longLine;
        if (std::strchr(format, '%') != nullptr) {
            va_list copy;
            va_copy(copy, args);
            int length = std::vsnprintf(line, sizeof line, format, copy);
            va_end(copy);
            if (length < 0) return;
            text = spdlog::string_view_t(line, static_cast<size_t>(length));
            if (static_cast<size_t>(length) >= sizeof line) {
                longLine.resize(static_cast<size_t>(length) + 1);
                va_copy(copy, args);
                std::vsnprintf(longLine.data(), longLine.size(), format, copy);
                va_end(copy);
                longLine.resize(static_cast<size_t>(length));
                text = longLine;
            }
        }
        logger->log(LevelOf(severity), text);
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
        for (const auto& logger : t_flushesDue) logger->flush();
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
