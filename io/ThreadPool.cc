#include "io/ThreadPool.h"

#include <cstdint>
#include <new>

#include "logging/LoggingHandler.h"

namespace {

constexpr DWORD kWorkItemBytes = 28;  // byte count posted with a work item
constexpr DWORD kExitBytes = 2;       // byte count of a relayed exit key

thread_local bool t_bWorker = false;

bool IsCallable(CompletionHandler handler) {
    return handler != nullptr && reinterpret_cast<uintptr_t>(handler) != UINTPTR_MAX;
}

}  // namespace

CAThreadPool::~CAThreadPool() {
    if (m_bStarted.load()) Shutdown();
    FreeRetiredKeys();
}

int CAThreadPool::Start(unsigned threadCount) {
    if (m_bStarted.load()) return 0;
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    if (port == nullptr) return static_cast<int>(GetLastError());
    m_hPort = port;
    if (threadCount == 0) threadCount = 2 * GetProcessorCount() + 1;
    for (unsigned i = 0; i < threadCount; ++i) {
        auto* worker = new (std::nothrow) WorkerThread;
        if (worker == nullptr) continue;
        worker->m_pPool = this;
        worker->m_nIndex = static_cast<int>(i);
        DWORD id = 0;
        HANDLE thread = CreateThread(nullptr, 0, WorkerLoop, worker, 0, &id);
        if (thread == nullptr || thread == INVALID_HANDLE_VALUE) {
            // Nothing runs on this record: it can go.
            delete worker;
            continue;
        }
        worker->m_dwThreadId = id;
        worker->m_hThread = thread;
        m_Workers.push_back(worker);
        ++m_lActiveThreads;
        ++m_nThreadCount;
    }
    m_bStarted = true;
    return 0;
}

bool CAThreadPool::OnWorkerThread() {
    return t_bWorker;
}

int CAThreadPool::QueueWorkItem(void* context, CompletionHandler handler) {
    // Inside the gate, a post cannot land after the exit key: every accepted
    // item runs before the workers leave.
    Quiescence::Token posting = m_Posting.Enter();
    if (!posting || !m_bStarted.load()) return ERROR_GEN_FAILURE;
    auto* key = new (std::nothrow) CompletionKey(handler, context, 1, 0);
    if (key == nullptr) return ERROR_OUTOFMEMORY;
    if (!PostQueuedCompletionStatus(m_hPort.load(), kWorkItemBytes,
                                    reinterpret_cast<ULONG_PTR>(key), nullptr)) {
        DWORD error = GetLastError();
        delete key;
        return error ? static_cast<int>(error) : ERROR_GEN_FAILURE;
    }
    return 0;
}

int CAThreadPool::Shutdown() {
    if (!m_bStarted.load() || OnWorkerThread()) return ERROR_GEN_FAILURE;
    m_Posting.CloseAndWait();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        m_Posting.Reopen();
        return static_cast<int>(GetLastError());
    }
    m_hShutdownEvent = event;
    auto* exitKey = new (std::nothrow) CompletionKey(nullptr, nullptr, 0, 1);
    if (exitKey == nullptr) {
        m_hShutdownEvent = nullptr;
        CloseHandle(event);
        m_Posting.Reopen();
        return ERROR_OUTOFMEMORY;
    }
    HANDLE port = m_hPort.load();
    if (!m_Workers.empty()) {
        if (!PostQueuedCompletionStatus(port, 0, reinterpret_cast<ULONG_PTR>(exitKey), nullptr)) {
            DWORD error = GetLastError();
            m_hShutdownEvent = nullptr;
            CloseHandle(event);
            delete exitKey;
            m_Posting.Reopen();
            return error ? static_cast<int>(error) : ERROR_GEN_FAILURE;
        }
        // Each leaving worker passes the key on; the last one sets the event.
        WaitForSingleObject(event, INFINITE);
    }
    for (WorkerThread* worker : m_Workers) WaitForSingleObject(worker->m_hThread, INFINITE);

    m_bStarted = false;
    m_hShutdownEvent = nullptr;
    CloseHandle(event);
    m_hPort = nullptr;
    CloseHandle(port);
    m_nThreadCount = 0;
    m_lActiveThreads = 0;
    delete exitKey;
    for (WorkerThread* worker : m_Workers) {
        CloseHandle(worker->m_hThread);
        delete worker;
    }
    m_Workers.clear();
    FreeRetiredKeys();
    m_Posting.Reopen();
    return 0;
}

void CAThreadPool::RetireKey(CompletionKey* key) {
    if (key == nullptr) return;
    qv::MutexLock lock(m_RetiredLock);
    if (!m_bStarted.load()) {
        delete key;
        return;
    }
    m_Retired.push_back(key);
}

void CAThreadPool::FreeRetiredKeys() {
    qv::MutexLock lock(m_RetiredLock);
    for (CompletionKey* key : m_Retired) delete key;
    m_Retired.clear();
}

int CAThreadPool::AssociateHandle(HANDLE handle, CompletionKey* key) {
    HANDLE port = m_hPort.load();
    if (port == nullptr) return ERROR_GEN_FAILURE;
    HANDLE result = CreateIoCompletionPort(handle, port, reinterpret_cast<ULONG_PTR>(key), 0);
    if (result == nullptr || result == INVALID_HANDLE_VALUE) return ERROR_GEN_FAILURE;
    return 0;
}

int CAThreadPool::PostCompletion(CompletionKey* key, LPOVERLAPPED overlapped, DWORD bytes) {
    HANDLE port = m_hPort.load();
    if (port == nullptr) return ERROR_GEN_FAILURE;
    if (!PostQueuedCompletionStatus(port, bytes, reinterpret_cast<ULONG_PTR>(key), overlapped)) {
        return static_cast<int>(GetLastError());
    }
    return 0;
}

DWORD CAThreadPool::GetProcessorCount() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

std::atomic<LONG>* CAThreadPool::GetActiveThreadCounter() {
    return &m_lActiveThreads;
}

unsigned CAThreadPool::GetThreadCount() {
    return m_nThreadCount;
}

const char* CAThreadPool::GetThreadStateName(int state) {
    switch (state) {
        case THREAD_ST_IDLE:
        case THREAD_ST_SUSPENDED:
            return "THREAD_ST_IDLE";
        case THREAD_ST_BUSY:
            return "THREAD_ST_BUSY";
        case THREAD_ST_EXIT:
            return "THREAD_ST_EXIT";
        case THREAD_ST_UNINIT:
            return "THREAD_ST_UNINIT";
        default:
            return "NULL";
    }
}

LONG CAThreadPool::SetThreadState(WorkerThread* worker, LONG state) {
    if (worker == nullptr) return -1;
    return worker->m_lState.exchange(state);
}

DWORD WINAPI CAThreadPool::WorkerLoop(LPVOID arg) {
    auto* worker = static_cast<WorkerThread*>(arg);
    return static_cast<DWORD>(worker->m_pPool->RunWorker(worker));
}

int CAThreadPool::RunWorker(WorkerThread* worker) {
    t_bWorker = true;
    DeferLogFlushes(true);
    HANDLE port = m_hPort.load();
    CompletionKey* exitKey = nullptr;
    for (;;) {
        SetThreadState(worker, THREAD_ST_IDLE);
        DWORD bytes = 0;
        ULONG_PTR keyValue = 0;
        LPOVERLAPPED overlapped = nullptr;
        BOOL ok = GetQueuedCompletionStatus(port, &bytes, &keyValue, &overlapped, INFINITE);
        SetThreadState(worker, THREAD_ST_BUSY);
        DWORD error = ok ? 0 : GetLastError();
        if (error == ERROR_IO_PENDING) error = 0;

        auto* key = reinterpret_cast<CompletionKey*>(keyValue);
        if (key == nullptr || IsBadCodePtr(reinterpret_cast<FARPROC>(key))) continue;
        if (key->m_bDisabled.load()) continue;
        if (key->m_nType == KEY_TYPE_WORK && !key->m_bExit) {
            const int deleteAfter = key->m_bDeleteAfterDispatch;
            ++key->m_lDispatchCount;
            if (IsCallable(key->m_pfnHandler))
                key->m_pfnHandler(key->m_pContext, key, overlapped, bytes, error);
            FlushDeferredLogs();
            // A port's key may be freed as soon as its counter reaches 0:
            // nothing of it is touched after the decrement.
            LONG count = key->m_lDispatchCount.load();
            while (count > 0 && !key->m_lDispatchCount.compare_exchange_weak(count, count - 1)) {
            }
            if (deleteAfter) delete key;
            continue;
        }
        if (key->m_bExit && key->m_nType == KEY_TYPE_EXIT) {
            exitKey = key;
            break;
        }
    }
    DeferLogFlushes(false);
    SetThreadState(worker, THREAD_ST_EXIT);
    if (--m_lActiveThreads < 1)
        SetEvent(m_hShutdownEvent);
    else
        PostQueuedCompletionStatus(port, kExitBytes, reinterpret_cast<ULONG_PTR>(exitKey), nullptr);
    return 0;
}

CAThreadPool* GetGlobalThreadPool() {
    // Never destroyed: workers may still run while other statics go away.
    static CAThreadPool* pool = new CAThreadPool;
    return pool;
}
