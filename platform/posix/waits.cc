// Events, WaitForSingleObject / WaitForMultipleObjects and Sleep, all timed
// on the platform clock.
#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "platform/clock.h"
#include "platform/posix/waitable.h"

namespace qvplat {

qv::Mutex& Waitable::WaitMutex() {
    static qv::Mutex mu;
    return mu;
}

void Waitable::Set() {
    qv::MutexLock lock(WaitMutex());
    m_signalled = true;
    for (std::condition_variable* cv : m_waiters) cv->notify_all();
}

void Waitable::Reset() {
    qv::MutexLock lock(WaitMutex());
    m_signalled = false;
}

bool Waitable::IsSignalled() {
    qv::MutexLock lock(WaitMutex());
    return m_signalled;
}

bool Waitable::TakeLocked() {
    if (!m_signalled) return false;
    ConsumeLocked();
    return true;
}

void Waitable::RemoveWaiterLocked(std::condition_variable* cv) {
    m_waiters.erase(std::remove(m_waiters.begin(), m_waiters.end(), cv), m_waiters.end());
}

namespace {

constexpr DWORD kMaxWaitObjects = 64;

// Index of the object that satisfied the wait, or -1. With waitAll every
// object must be signalled at once and all of them are taken together.
int TryTakeLocked(const std::vector<Ref<Waitable>>& objs, bool waitAll)
    QV_REQUIRES(Waitable::WaitMutex()) {
    if (!waitAll) {
        for (size_t i = 0; i < objs.size(); ++i) {
            if (objs[i]->TakeLocked()) return static_cast<int>(i);
        }
        return -1;
    }
    for (const auto& o : objs) {
        if (!o->IsSignalledLocked()) return -1;
    }
    for (const auto& o : objs) o->ConsumeLocked();
    return 0;
}

DWORD Wait(std::vector<Ref<Waitable>>& objs, bool waitAll, DWORD timeoutMs) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    if (timeoutMs != INFINITE) {
        deadline = Clock::now() + std::chrono::nanoseconds(qvclock::ToRealNs(timeoutMs));
    }
    std::condition_variable cv;
    qv::MutexLock lock(Waitable::WaitMutex());
    bool registered = false;
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        int index = TryTakeLocked(objs, waitAll);
        if (index >= 0) {
            result = WAIT_OBJECT_0 + static_cast<DWORD>(index);
            break;
        }
        if (deadline && Clock::now() >= *deadline) break;
        if (!registered) {
            for (auto& o : objs) o->AddWaiterLocked(&cv);
            registered = true;
        }
        if (deadline) {
            cv.wait_until(lock.Native(), *deadline);
        } else {
            cv.wait(lock.Native());
        }
    }
    if (registered) {
        for (auto& o : objs) o->RemoveWaiterLocked(&cv);
    }
    return result;
}

}  // namespace
}  // namespace qvplat

using qvplat::Ref;
using qvplat::Waitable;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name) {
        SetLastError(ERROR_NOT_SUPPORTED);  // named events are never used
        return nullptr;
    }
    return new qvplat::Event(manualReset != FALSE, initialState != FALSE);
}

BOOL SetEvent(HANDLE event) {
    Ref<qvplat::Event> e = qvplat::Get<qvplat::Event>(event);
    if (!e) return FALSE;
    e->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    Ref<qvplat::Event> e = qvplat::Get<qvplat::Event>(event);
    if (!e) return FALSE;
    e->Reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD timeoutMs) {
    return WaitForMultipleObjects(1, &h, FALSE, timeoutMs);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs) {
    if (count == 0 || count > qvplat::kMaxWaitObjects || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<Ref<Waitable>> objs;
    objs.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        objs.push_back(qvplat::Get<Waitable>(handles[i]));
        if (!objs.back()) return WAIT_FAILED;
    }
    return qvplat::Wait(objs, waitAll != FALSE, timeoutMs);
}

void Sleep(DWORD ms) {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    if (ms == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::nanoseconds(qvclock::ToRealNs(ms)));
}
