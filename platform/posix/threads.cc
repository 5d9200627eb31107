// Threads behind CreateThread: a std::thread whose handle is an object
// signalled when the start routine has returned.
#include <atomic>
#include <system_error>
#include <thread>

#include "platform/posix/waitable.h"

namespace qvplat {
namespace {

// Ids are handed out by us rather than taken from the kernel so that the id
// CreateThread reports is known before the thread runs.
std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;

class Thread : public Waitable {
  public:
    static bool Accepts(Kind k) { return k == Kind::kThread; }
    Thread() : Waitable(Kind::kThread, true, false) {}

    std::thread m_thread;

    // Joins a thread that has already ended; one still running (or the
    // caller itself) is detached and cleans up after itself.
    void Close() override {
        if (!m_thread.joinable()) return;
        if (m_thread.get_id() != std::this_thread::get_id() && IsSignalled()) {
            m_thread.join();
        } else {
            m_thread.detach();
        }
    }
};

}  // namespace
}  // namespace qvplat

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID arg, DWORD,
                    LPDWORD threadId) {
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* t = new qvplat::Thread();
    t->AddRef();  // the running thread's own reference
    DWORD id = qvplat::g_nextThreadId.fetch_add(1);
    try {
        t->m_thread = std::thread([t, start, arg, id] {
            qvplat::t_threadId = id;
            start(arg);
            t->Set();
            t->Release();
        });
    } catch (const std::system_error&) {
        t->Release();
        t->Release();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId) *threadId = id;
    return t;
}

DWORD GetCurrentThreadId() {
    if (qvplat::t_threadId == 0) qvplat::t_threadId = qvplat::g_nextThreadId.fetch_add(1);
    return qvplat::t_threadId;
}

void GetSystemInfo(LPSYSTEM_INFO info) {
    if (!info) return;
    unsigned n = std::thread::hardware_concurrency();
    info->dwNumberOfProcessors = n > 0 ? n : 1;
}

BOOL IsBadCodePtr(FARPROC p) {
    return p == nullptr ? TRUE : FALSE;
}
