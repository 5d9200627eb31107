// A SystemCalls that fails chosen reads and writes the way a device does:
// the call starts (ERROR_IO_PENDING) and its completion arrives on a pool
// worker with an error. Everything else goes to the real system.
#pragma once

#include <atomic>
#include <mutex>

#include "io/SystemCalls.h"

class ComPort;
class CAThreadPool;

namespace qvtest {

class FaultyCalls : public SystemCalls {
  public:
    FaultyCalls(ComPort* port, CAThreadPool* pool) : m_pPort(port), m_pPool(pool) {}

    // The next n writes / reads complete with `error`.
    std::atomic<int> failWrites{0};
    std::atomic<int> failReads{0};
    // The next n reads complete successfully with zero bytes.
    std::atomic<int> emptyReads{0};
    // The next n reads stay pending until a purge aborts them.
    std::atomic<int> holdReads{0};
    // The next n comm-event waits never end: neither a new mask nor a purge
    // nor closing the device completes them (Wine's on a pseudo-terminal).
    std::atomic<int> endlessWaits{0};
    DWORD error = ERROR_GEN_FAILURE;

    std::atomic<int> writeCalls{0};
    std::atomic<int> readCalls{0};

    BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written,
                   LPOVERLAPPED overlapped) override;
    BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD read,
                  LPOVERLAPPED overlapped) override;
    BOOL PurgeComm(HANDLE h, DWORD flags) override;
    BOOL WaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED overlapped) override;

  private:
    // Delivers (overlapped, bytes, error) to the port's handler on a worker,
    // counted in the key's dispatch counter as a real completion is.
    void Complete(LPOVERLAPPED overlapped, DWORD bytes, DWORD error);

    ComPort* m_pPort;
    CAThreadPool* m_pPool;
    std::mutex m_Mutex;
    LPOVERLAPPED m_pHeldRead = nullptr;
};

}  // namespace qvtest
