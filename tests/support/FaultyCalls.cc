#include "support/FaultyCalls.h"

#include "io/ComPort.h"
#include "io/ThreadPool.h"

namespace qvtest {
namespace {

struct Delivery {
    ComPort* port;
    LPOVERLAPPED overlapped;
    DWORD bytes;
    DWORD error;
};

int Deliver(void* context, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    auto* delivery = static_cast<Delivery*>(context);
    CompletionKey* key = delivery->port->GetCompletionKey();
    if (!key->m_bDisabled.load()) {
        ++key->m_lDispatchCount;
        key->m_pfnHandler(key->m_pContext, key, delivery->overlapped, delivery->bytes,
                          delivery->error);
        --key->m_lDispatchCount;
    }
    delete delivery;
    return 0;
}

// Takes one from counter when it is positive.
bool TakeOne(std::atomic<int>& counter) {
    int value = counter.load();
    while (value > 0)
        if (counter.compare_exchange_weak(value, value - 1)) return true;
    return false;
}

}  // namespace

void FaultyCalls::Complete(LPOVERLAPPED overlapped, DWORD bytes, DWORD error) {
    m_pPool->QueueWorkItem(new Delivery{m_pPort, overlapped, bytes, error}, Deliver);
}

BOOL FaultyCalls::WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written,
                            LPOVERLAPPED overlapped) {
    ++writeCalls;
    if (TakeOne(failWrites)) {
        Complete(overlapped, 0, error);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    return SystemCalls::WriteFile(h, buffer, length, written, overlapped);
}

BOOL FaultyCalls::ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD read,
                           LPOVERLAPPED overlapped) {
    ++readCalls;
    if (TakeOne(failReads)) {
        Complete(overlapped, 0, error);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (TakeOne(emptyReads)) {
        Complete(overlapped, 0, 0);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (TakeOne(holdReads)) {
        std::lock_guard lock(m_Mutex);
        m_pHeldRead = overlapped;
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    return SystemCalls::ReadFile(h, buffer, length, read, overlapped);
}

BOOL FaultyCalls::WaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED overlapped) {
    if (TakeOne(endlessWaits)) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    return SystemCalls::WaitCommEvent(h, mask, overlapped);
}

BOOL FaultyCalls::PurgeComm(HANDLE h, DWORD flags) {
    LPOVERLAPPED held = nullptr;
    {
        std::lock_guard lock(m_Mutex);
        if (flags & PURGE_RXABORT) std::swap(held, m_pHeldRead);
    }
    if (held != nullptr) Complete(held, 0, ERROR_OPERATION_ABORTED);
    return SystemCalls::PurgeComm(h, flags);
}

}  // namespace qvtest
