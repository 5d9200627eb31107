// The driver's pool of worker threads on one I/O completion port.
//
// Serial handles are associated with the port so their overlapped
// completions run on a worker; any code can post a work item. Results are
// operating-system error numbers (0 = success).
#pragma once

#include <atomic>
#include <vector>

#include "io/Quiescence.h"
#include "platform/thread_annotations.h"
#include "platform/win32.h"

struct CompletionKey;
class CAThreadPool;

// What a worker calls for a key: (context, key, overlapped, bytes, error).
// error is 0 for success (ERROR_IO_PENDING counts as success). The result is
// ignored.
typedef int (*CompletionHandler)(void* context, CompletionKey* key, LPOVERLAPPED overlapped,
                                 DWORD bytes, DWORD error);

enum CompletionKeyType { KEY_TYPE_WORK = 1, KEY_TYPE_EXIT = 2 };

// The completion key of the port, for associated handles and posted items.
struct CompletionKey {
    CompletionKey(CompletionHandler handler, void* context, int deleteAfterDispatch, int exit)
        : m_pfnHandler(handler),
          m_nType(exit ? KEY_TYPE_EXIT : KEY_TYPE_WORK),
          m_pContext(context),
          m_bDeleteAfterDispatch(deleteAfterDispatch),
          m_bExit(exit) {}

    CompletionHandler m_pfnHandler;  // null or all-ones: none
    int m_nType;
    void* m_pContext;
    int m_bDeleteAfterDispatch;  // posted work items: the worker frees the key
    int m_bExit;
    // Set by the port's Uninit; deliveries are then dropped.
    std::atomic<int> m_bDisabled{0};
    // Workers currently inside the handler for this key.
    std::atomic<LONG> m_lDispatchCount{0};
};

enum ThreadState {
    THREAD_ST_IDLE = 0,       // waiting for a completion
    THREAD_ST_BUSY = 1,       // handling one
    THREAD_ST_SUSPENDED = 2,  // created suspended (named "THREAD_ST_IDLE")
    THREAD_ST_EXIT = 3,       // left its loop
    THREAD_ST_UNINIT = 4,     // created, not yet running
};

struct WorkerThread {
    CAThreadPool* m_pPool = nullptr;
    DWORD m_dwThreadId = 0;
    DWORD m_dwReserved = 0;
    int m_nIndex = 0;  // creation order, from 0
    HANDLE m_hThread = nullptr;
    std::atomic<LONG> m_lState{THREAD_ST_UNINIT};
};

class CAThreadPool {
  public:
    CAThreadPool() = default;
    CAThreadPool(const CAThreadPool&) = delete;
    CAThreadPool& operator=(const CAThreadPool&) = delete;
    virtual ~CAThreadPool();

    // Creates the port and threadCount workers (0: 2 x processors + 1).
    // 0 also when already started.
    virtual int Start(unsigned threadCount);
    // Runs handler(context, key, null, 28, 0) once on a worker. 31 when not
    // started or once Shutdown has begun (so every accepted item runs), 14
    // when out of memory.
    virtual int QueueWorkItem(void* context, CompletionHandler handler);
    // Refuses new work items, relays an exit key through every worker and
    // waits for all of them; the pool can be started again. 31 when not
    // started or when called from one of the pool's own workers.
    virtual int Shutdown();
    // Completions of handle's overlapped operations go to key. 0 or 31.
    virtual int AssociateHandle(HANDLE handle, CompletionKey* key);
    // Queues a completion of an associated handle's operation that ended
    // without a packet of its own (it succeeded at once). 0 or the error.
    int PostCompletion(CompletionKey* key, LPOVERLAPPED overlapped, DWORD bytes);
    virtual DWORD GetProcessorCount();
    virtual std::atomic<LONG>* GetActiveThreadCounter();
    virtual unsigned GetThreadCount();
    virtual int Reserved1() { return 0; }
    virtual int Reserved2() { return 0; }
    virtual const char* GetThreadStateName(int state);
    // Returns the previous state.
    virtual LONG SetThreadState(WorkerThread* worker, LONG state);

    bool IsStarted() const { return m_bStarted.load(); }
    // Whether the calling thread is a worker of any pool. A worker must never
    // wait for work that only a worker can do.
    static bool OnWorkerThread();

    // Frees a port's key once no worker can still hold it: at once when the
    // pool is stopped, else when Shutdown has ended every worker.
    void RetireKey(CompletionKey* key) QV_EXCLUDES(m_RetiredLock);

  private:
    static DWORD WINAPI WorkerLoop(LPVOID arg);
    int RunWorker(WorkerThread* worker);

    // Start and Shutdown run on one control thread at a time; the port and
    // the started flag are read by posters on any thread.
    std::atomic<bool> m_bStarted{false};
    std::atomic<HANDLE> m_hPort{nullptr};
    HANDLE m_hShutdownEvent = nullptr;
    unsigned m_nThreadCount = 0;
    std::atomic<LONG> m_lActiveThreads{0};
    // Posts in progress; closed by Shutdown before the exit key goes out.
    Quiescence m_Posting;
    std::vector<WorkerThread*> m_Workers;
    qv::Mutex m_RetiredLock;
    std::vector<CompletionKey*> m_Retired QV_GUARDED_BY(m_RetiredLock);
    void FreeRetiredKeys() QV_EXCLUDES(m_RetiredLock);
};

// The driver's one pool (constructed at load, started by the driver).
CAThreadPool* GetGlobalThreadPool();
