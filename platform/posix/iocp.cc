// Completion ports.
#include "platform/posix/iocp.h"

#include <chrono>
#include <optional>

#include "platform/clock.h"
#include "platform/posix/device.h"

namespace qvplat {

bool Port::Post(DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped, DWORD error) {
    {
        qv::MutexLock lock(m_mu);
        if (m_closed) return false;
        m_queue.push_back(Packet{bytes, key, overlapped, error});
    }
    m_cv.notify_one();
    return true;
}

BOOL Port::Get(LPDWORD bytes, PULONG_PTR key, LPOVERLAPPED* overlapped, DWORD timeoutMs) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    if (timeoutMs != INFINITE) {
        deadline = Clock::now() + std::chrono::nanoseconds(qvclock::ToRealNs(timeoutMs));
    }
    qv::MutexLock lock(m_mu);
    // Called by the waits with the lock held.
    auto ready = [this]() QV_REQUIRES(m_mu) { return m_closed || !m_queue.empty(); };
    if (deadline) {
        m_cv.wait_until(lock.Native(), *deadline, ready);
    } else {
        m_cv.wait(lock.Native(), ready);
    }
    if (m_queue.empty()) {
        if (overlapped) *overlapped = nullptr;
        return Fail(m_closed ? ERROR_INVALID_HANDLE : WAIT_TIMEOUT);
    }
    Packet p = m_queue.front();
    m_queue.pop_front();
    lock.Unlock();
    if (bytes) *bytes = p.bytes;
    if (key) *key = p.key;
    if (overlapped) *overlapped = p.overlapped;
    if (p.error != ERROR_SUCCESS) return Fail(p.error);
    return TRUE;
}

void Port::Close() {
    {
        qv::MutexLock lock(m_mu);
        m_closed = true;
        m_queue.clear();
    }
    m_cv.notify_all();
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
        if (!existingPort) port->Release();  // no handle was handed out
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
