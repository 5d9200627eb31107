// Completion ports.
#include "platform/posix/iocp.h"

#include <sys/epoll.h>

#include <chrono>
#include <optional>

#include "platform/clock.h"
#include "platform/posix/device.h"
#include "platform/posix/reactor.h"

namespace qvplat {

Port::Port() : Watched(Kind::kPort) {
    if (!m_set.Valid()) return;
    m_watchId = Reactor::Get().Set().Add(this, m_set.Fd());
}

void Port::Watch(bool on) {
    if (m_watched == on || m_watchId == 0) return;
    m_watched = on;
    Reactor::Get().Set().Arm(m_watchId, m_set.Fd(), on ? uint32_t{EPOLLIN} : 0u);
}

bool Port::Post(DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped, DWORD error) {
    bool notify = false;
    bool wakePoller = false;
    {
        qv::MutexLock lock(m_mu);
        if (m_closed) return false;
        m_queue.push_back(Packet{bytes, key, overlapped, error});
        bool byPoller = m_polling && m_poller == std::this_thread::get_id();
        if (byPoller && !m_pollerClaimed) {
            m_pollerClaimed = true;  // taken by this thread when its dispatch returns
        } else {
            CallIdleWorker(byPoller, notify, wakePoller);
        }
    }
    if (notify) m_cv.notify_one();
    if (wakePoller) m_set.Wake();
    return true;
}

// One woken worker at a time: it takes the oldest packet and calls the next
// for what is left (Get). A burst of posts thus wakes a worker or two, not
// one each, and a worker that blocks in its handler leaves no packet
// behind without a worker on its way.
void Port::CallIdleWorker(bool byPoller, bool& notify, bool& wakePoller) {
    if (m_wakesOwed > 0) return;
    if (m_sleepers > 0) {
        ++m_wakesOwed;
        notify = true;
    } else {
        wakePoller = m_polling && !byPoller;
    }
}

BOOL Port::Get(LPDWORD bytes, PULONG_PTR key, LPOVERLAPPED* overlapped, DWORD timeoutMs) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    if (timeoutMs != INFINITE) {
        deadline = Clock::now() + std::chrono::nanoseconds(qvclock::ToRealNs(timeoutMs));
    }
    qv::MutexLock lock(m_mu);
    for (;;) {
        if (!m_queue.empty() || m_closed) break;
        int waitMs = -1;
        if (deadline) {
            auto left = *deadline - Clock::now();
            if (left <= Clock::duration::zero()) break;
            waitMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        if (!m_polling && Readiness()) {
            m_polling = true;
            m_poller = std::this_thread::get_id();
            m_pollerClaimed = false;
            Watch(false);
            lock.Unlock();
            m_set.Dispatch(waitMs);
            lock.Lock();
            m_polling = false;
            m_poller = std::thread::id();
            // Away handling a packet: sleepers must not miss reports for long.
            if (m_sleepers > 0 && !m_closed) Depart();
            continue;
        }
        // One wait per round: every wake-up settles one owed notification,
        // even when another thread took the packet first.
        ++m_sleepers;
        if (deadline) {
            m_cv.wait_until(lock.Native(), *deadline);
        } else {
            m_cv.wait(lock.Native());
        }
        --m_sleepers;
        if (m_wakesOwed > 0) --m_wakesOwed;
    }
    if (m_queue.empty()) {
        if (overlapped) *overlapped = nullptr;
        return Fail(m_closed ? ERROR_INVALID_HANDLE : WAIT_TIMEOUT);
    }
    Packet p = m_queue.front();
    m_queue.pop_front();
    bool notify = false;
    bool wakePoller = false;
    if (!m_queue.empty()) CallIdleWorker(false, notify, wakePoller);
    lock.Unlock();
    if (notify) m_cv.notify_one();
    if (wakePoller) m_set.Wake();
    if (bytes) *bytes = p.bytes;
    if (key) *key = p.key;
    if (overlapped) *overlapped = p.overlapped;
    if (p.error != ERROR_SUCCESS) return Fail(p.error);
    return TRUE;
}

void Port::Depart() {
    ++m_departures;
    if (!m_lookDue) LookLater();
}

void Port::LookLater() {
    if (m_watchId == 0) return;
    m_lookDue = true;
    m_lookedAt = m_departures;
    Reactor::Get().After(this, Reactor::Clock::now() + kWatchDelay, 0);
}

void Port::OnDeadline(uint64_t) {
    qv::MutexLock lock(m_mu);
    m_lookDue = false;
    if (m_polling || m_closed || m_sleepers == 0) return;
    // Away since the last look, or still: the reactor watches for the
    // sleepers. Left and came back since: look again later.
    if (m_departures == m_lookedAt) {
        Watch(true);
    } else {
        LookLater();
    }
}

void Port::OnReady(uint32_t) {
    {
        qv::MutexLock lock(m_mu);
        m_watched = false;  // one-shot
        if (m_polling || m_closed) return;
    }
    m_set.Dispatch(0);
    qv::MutexLock lock(m_mu);
    if (!m_polling && !m_closed && m_sleepers > 0) Watch(true);
}

void Port::Close() {
    bool polling;
    {
        qv::MutexLock lock(m_mu);
        m_closed = true;
        m_queue.clear();
        polling = m_polling;
    }
    m_cv.notify_all();
    if (polling) m_set.Wake();
    if (m_watchId != 0) Reactor::Get().Set().Remove(m_watchId, m_set.Fd());
}

void CompleteIo(Port* port, ULONG_PTR key, LPOVERLAPPED overlapped, DWORD error, DWORD bytes) {
    overlapped->Internal = error;
    overlapped->InternalHigh = bytes;
    if (port) {
        port->Post(bytes, key, overlapped, error);
    } else if (overlapped->hEvent) {
        SetEvent(overlapped->hEvent);
    }
}

}  // namespace qvplat

HANDLE CreateIoCompletionPort(HANDLE fileHandle, HANDLE existingPort, ULONG_PTR key, DWORD) {
    qvplat::Ref<qvplat::Port> port;
    if (existingPort) {
        port = qvplat::Get<qvplat::Port>(existingPort);
        if (!port) return nullptr;
    } else {
        port = qvplat::Ref<qvplat::Port>(new qvplat::Port());
        port->AddRef();  // the reference the new handle owns
    }
    if (fileHandle == INVALID_HANDLE_VALUE) return port.get();
    if (!qvplat::AssociateDevice(fileHandle, port, key)) {
        if (!existingPort) {  // no handle was handed out
            port->Close();
            port->Release();
        }
        return nullptr;
    }
    return port.get();
}

BOOL GetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, PULONG_PTR key, LPOVERLAPPED* overlapped,
                               DWORD timeoutMs) {
    qvplat::Ref<qvplat::Port> p = qvplat::Get<qvplat::Port>(port);
    if (!p) {
        if (overlapped) *overlapped = nullptr;
        return FALSE;
    }
    return p->Get(bytes, key, overlapped, timeoutMs);
}

BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped) {
    qvplat::Ref<qvplat::Port> p = qvplat::Get<qvplat::Port>(port);
    if (!p) return FALSE;
    if (!p->Post(bytes, key, overlapped, ERROR_SUCCESS)) return qvplat::Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}
