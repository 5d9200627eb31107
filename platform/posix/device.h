// A serial device: one non-blocking terminal descriptor with at most one
// pending comm-event wait, one read and one write, driven by the reactor.
//
// Every operation that was started (TRUE, or FALSE with ERROR_IO_PENDING)
// completes exactly once through the associated port: when it ends, when
// PurgeComm or CloseHandle aborts it (ERROR_OPERATION_ABORTED), or, for a
// wait, when SetCommMask replaces the mask (mask word 0).
#pragma once

#include <chrono>
#include <mutex>

#include "platform/posix/iocp.h"

namespace qvplat {

class Device : public Object {
  public:
    using Clock = std::chrono::steady_clock;
    static bool Accepts(Kind k) { return k == Kind::kDevice; }

    // Takes ownership of fd (already opened, locked and a terminal).
    explicit Device(int fd);
    ~Device() override;
    // Registers with the reactor; false with errno set.
    bool Start();

    BOOL Associate(const Ref<Port>& port, ULONG_PTR key);
    BOOL SetState(const DCB& dcb);
    BOOL SetTimeouts(const COMMTIMEOUTS& timeouts);
    BOOL SetMask(DWORD mask);
    BOOL WaitEvent(LPDWORD mask, LPOVERLAPPED ov);
    BOOL Read(LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED ov);
    BOOL Write(LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED ov);
    BOOL Purge(DWORD flags);
    void Close() override;

    // Reactor thread: the descriptor reported events; a deadline passed.
    void OnReady(uint32_t events);
    void OnDeadline(uint64_t token);

  private:
    // Everything below is guarded by m_mu. Lock order: device, then port
    // and reactor (neither calls back into a device while holding its own).
    void Complete(LPOVERLAPPED ov, DWORD error, DWORD bytes);
    void CompleteWait(DWORD events);
    void EvaluateWait();
    void Rearm();
    // A read attempt: bytes read, 0 when nothing is buffered, or -Win32 error.
    long long ReadNow(void* buffer, DWORD length);
    void AfterRead(bool failed);
    // Writes what it can; false when the write has ended (done or failed).
    bool ContinueWrite();
    BOOL Started(LPOVERLAPPED ov);

    std::mutex m_mu;
    int m_fd;
    uint64_t m_id = 0;
    bool m_closed = false;
    Ref<Port> m_port;
    ULONG_PTR m_key = 0;
    DWORD m_mask = 0;
    bool m_immediateReads = false;  // ReadIntervalTimeout MAXDWORD, no totals
    uint32_t m_armed = 0;           // events asked of the reactor, not yet reported

    LPOVERLAPPED m_waitOv = nullptr;
    LPDWORD m_waitMask = nullptr;
    bool m_waitDeferred = false;  // a back-off deadline will complete it
    uint64_t m_waitToken = 0;

    LPOVERLAPPED m_readOv = nullptr;
    void* m_readBuf = nullptr;
    DWORD m_readLen = 0;

    LPOVERLAPPED m_writeOv = nullptr;
    const char* m_writeBuf = nullptr;
    DWORD m_writeLen = 0;
    DWORD m_written = 0;
    DWORD m_writeError = 0;

    // After a hang-up the descriptor is always "ready"; instead of letting a
    // wait complete in a loop, each wait completes at most once per read and
    // no sooner than a back-off after the last failed read.
    bool m_hungUp = false;
    bool m_readSinceHangupWait = true;
    Clock::time_point m_hangupNotBefore{};
};

// Routes every later completion of the device's overlapped operations to
// port with key. FALSE with the last error when h is no device or is already
// bound to a port.
BOOL AssociateDevice(HANDLE h, const Ref<Port>& port, ULONG_PTR key);

}  // namespace qvplat
