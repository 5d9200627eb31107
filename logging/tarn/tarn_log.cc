// tarn_log: one logger per handle, one buffered file per file name.
#include "logging/tarn/tarn_log.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "logging/tarn/entry_format.h"
#include "logging/tarn/log_file.h"
#include "platform/thread_annotations.h"

namespace {

using tarn::kFlushEveryLine;
using tarn::LogFile;

// Entries not flushed by a warning reach their files within this period.
constexpr auto kFlushPeriod = std::chrono::seconds(1);
#if defined(_WIN32)
constexpr char kSeparator = '\\';
#else
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

// What a writing thread keeps, in one thread-local object: each one costs
// a lookup per use in a shared library.
struct ThreadState {
    // Shown in the thread's entries.
    unsigned long long id = CurrentThreadId();
    // The text of the entry being written.
    std::string line;
    // A thread that defers its flushes: the loggers that had a warning or
    // an error since its last tarn_flush_deferred, each once.
    bool deferFlushes = false;
    std::vector<std::shared_ptr<Logger>> flushesDue;
    // And the logger it wrote to last, until then: a packet's lines mostly
    // go to one file, and so skip the registry's lock. Kept no longer, so
    // that a closed log's file does not stay open behind a thread.
    uint32_t lastHandle = 0;
    std::shared_ptr<Logger> lastLogger;

    static unsigned long long CurrentThreadId() {
#if defined(_WIN32)
        return GetCurrentThreadId();
#else
        return static_cast<unsigned long long>(syscall(SYS_gettid));
#endif
    }
};

ThreadState& ThisThread() {
    thread_local ThreadState state;
    return state;
}

// The handle's logger: the thread's last one, or one found now and kept in held.
const std::shared_ptr<Logger>& FindLogger(ThreadState& t, uint32_t handle,
                                          std::shared_ptr<Logger>& held) {
    if (!t.deferFlushes) {
        held = GetRegistry().Find(handle);
        return held;
    }
    if (handle != t.lastHandle) {
        t.lastLogger = GetRegistry().Find(handle);
        t.lastHandle = handle;
    }
    return t.lastLogger;
}

// A warning or an error reaches the file now, or, on a deferring thread,
// when it has handled its packet.
void FlushForSeverity(ThreadState& t, const std::shared_ptr<Logger>& logger, int severity) {
    if (kFlushEveryLine || SeverityOf(severity) > kSeverityWarning) return;
    if (!t.deferFlushes) {
        logger->file->Flush();
        return;
    }
    for (const auto& due : t.flushesDue)
        if (due == logger) return;
    t.flushesDue.push_back(logger);
}

void Write(uint32_t handle, int severity, const char* format, va_list args) {
    if (handle == 0 || format == nullptr) return;
    ThreadState& t = ThisThread();
    std::shared_ptr<Logger> held;
    const std::shared_ptr<Logger>& logger = FindLogger(t, handle, held);
    // A line below the file's level costs no formatting.
    if (!logger || !logger->ShouldLog(severity)) return;
    try {
        logger->file->Append(logger->source, SeverityName(severity),
                             tarn::FormatEntry(format, args, t.line), t.id);
        FlushForSeverity(t, logger, severity);
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
    ThisThread().deferFlushes = on != 0;
    if (on == 0) tarn_flush_deferred();
}

void tarn_flush_deferred(void) {
    ThreadState& t = ThisThread();
    try {
        for (const auto& logger : t.flushesDue) logger->file->Flush();
    } catch (...) {
    }
    t.flushesDue.clear();
    t.lastLogger.reset();
    t.lastHandle = 0;
}

void tarn_flush_all(void) {
    try {
        GetRegistry().FlushAll();
    } catch (...) {
    }
}

}  // extern "C"
