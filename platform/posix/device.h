// A serial device: one non-blocking terminal descriptor with at most one
// pending comm-event wait, one read and one write, driven by the reactor.
//
// Every operation that was started (TRUE, or FALSE with ERROR_IO_PENDING)
// completes exactly once through the associated port: when it ends, when
// PurgeComm (read, write) or CloseHandle aborts it (ERROR_OPERATION_ABORTED),
// or, for a wait, when SetCommMask replaces the mask (mask word 0).
//
// EV_RXCHAR is an arrival, as on Windows: the device counts the bytes of the
// input queue it has already seen, and only a queue that grew past that
// count records the event. SetCommMask forgets recorded events and counts
// what is buffered as seen.
#pragma once

#include <chrono>

#include "platform/posix/iocp.h"
#include "platform/thread_annotations.h"

namespace qvplat {

class Device : public Watched {
  public:
    using Clock = std::chrono::steady_clock;
    static bool Accepts(Kind k) { return k == Kind::kDevice; }

    // Takes ownership of fd (already opened, locked and a terminal).
    explicit Device(int fd);
    ~Device() override;
    // Registers with the reactor and starts watching for input; false with
    // errno set. Runs before the device is handed out, but the reactor may
    // report input as soon as the watch is armed: under the lock.
    bool Start() QV_EXCLUDES(m_mu);

    BOOL Associate(const Ref<Port>& port, ULONG_PTR key) QV_EXCLUDES(m_mu);
    BOOL SetState(const DCB& dcb) QV_EXCLUDES(m_mu);
    BOOL SetTimeouts(const COMMTIMEOUTS& timeouts) QV_EXCLUDES(m_mu);
    BOOL SetMask(DWORD mask) QV_EXCLUDES(m_mu);
    BOOL WaitEvent(LPDWORD mask, LPOVERLAPPED ov) QV_EXCLUDES(m_mu);
    BOOL Read(LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED ov) QV_EXCLUDES(m_mu);
    BOOL Write(LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED ov) QV_EXCLUDES(m_mu);
    BOOL Purge(DWORD flags) QV_EXCLUDES(m_mu);
    BOOL Status(LPDWORD errors, LPCOMSTAT stat) QV_EXCLUDES(m_mu);
    BOOL SetSkipOnSuccess(bool skip) QV_EXCLUDES(m_mu);
    void Close() override QV_EXCLUDES(m_mu);

    // The descriptor reported events (on whichever thread dispatches its
    // set); a deadline passed (reactor thread).
    void OnReady(uint32_t events) override QV_EXCLUDES(m_mu);
    void OnDeadline(uint64_t token) override QV_EXCLUDES(m_mu);

  private:
    // Lock order: a device's m_mu, then the port's, the sets' and the
    // reactor's (none calls back into a device while holding its own).
    void Complete(LPOVERLAPPED ov, DWORD error, DWORD bytes) QV_REQUIRES(m_mu);
    // A success inside the call that started it: no packet when skipping.
    void CompleteAtOnce(LPOVERLAPPED ov, DWORD bytes) QV_REQUIRES(m_mu);
    void CompleteWait(DWORD events) QV_REQUIRES(m_mu);
    void EvaluateWait() QV_REQUIRES(m_mu);
    // Bytes in the input queue (0 when it cannot be asked).
    DWORD QueuedIn() QV_REQUIRES(m_mu);
    // Readiness reported input.
    void NoteArrival() QV_REQUIRES(m_mu);
    // Records EV_RXCHAR when bytes arrived since the last look.
    void ObserveInput() QV_REQUIRES(m_mu);
    // Completes a pending wait when an event is recorded.
    void TryCompleteWait() QV_REQUIRES(m_mu);
    void Rearm() QV_REQUIRES(m_mu);
    // A read attempt: bytes read, 0 when nothing is buffered, or -Win32 error.
    long long ReadNow(void* buffer, DWORD length) QV_REQUIRES(m_mu);
    // ReadNow that also records an arrival among the bytes it takes.
    long long ReadObserving(void* buffer, DWORD length) QV_REQUIRES(m_mu);
    void AfterRead(bool failed) QV_REQUIRES(m_mu);
    // Writes what it can; false when the write has ended (done or failed).
    bool ContinueWrite(bool atOnce = false) QV_REQUIRES(m_mu);
    BOOL Started(LPOVERLAPPED ov) QV_REQUIRES(m_mu);

    qv::Mutex m_mu;
    int m_fd QV_GUARDED_BY(m_mu);
    // The reactor's set, or the port's once bound to one; m_id is ours there.
    ReadySet* m_set QV_GUARDED_BY(m_mu) = nullptr;
    uint64_t m_id QV_GUARDED_BY(m_mu) = 0;
    bool m_closed QV_GUARDED_BY(m_mu) = false;
    Ref<Port> m_port QV_GUARDED_BY(m_mu);
    ULONG_PTR m_key QV_GUARDED_BY(m_mu) = 0;
    DWORD m_mask QV_GUARDED_BY(m_mu) = 0;
    bool m_skipOnSuccess QV_GUARDED_BY(m_mu) = false;   // FILE_SKIP_COMPLETION_PORT_ON_SUCCESS
    bool m_immediateReads QV_GUARDED_BY(m_mu) = false;  // ReadIntervalTimeout MAXDWORD, no totals
    uint32_t m_armed QV_GUARDED_BY(m_mu) = 0;           // events the set watches for

    LPOVERLAPPED m_waitOv QV_GUARDED_BY(m_mu) = nullptr;
    LPDWORD m_waitMask QV_GUARDED_BY(m_mu) = nullptr;
    bool m_waitDeferred QV_GUARDED_BY(m_mu) = false;  // a back-off deadline will complete it
    uint64_t m_waitToken QV_GUARDED_BY(m_mu) = 0;
    // Input the device has seen and whether an arrival is recorded. While
    // seen bytes sit unread, a pending wait counts the queue at each report.
    DWORD m_seenIn QV_GUARDED_BY(m_mu) = 0;
    // m_seenIn after readiness reported bytes where none were: some, not
    // counted until something needs the number.
    static constexpr DWORD kSeenUnknown = MAXDWORD;
    bool m_rxEvent QV_GUARDED_BY(m_mu) = false;

    LPOVERLAPPED m_readOv QV_GUARDED_BY(m_mu) = nullptr;
    void* m_readBuf QV_GUARDED_BY(m_mu) = nullptr;
    DWORD m_readLen QV_GUARDED_BY(m_mu) = 0;

    LPOVERLAPPED m_writeOv QV_GUARDED_BY(m_mu) = nullptr;
    const char* m_writeBuf QV_GUARDED_BY(m_mu) = nullptr;
    DWORD m_writeLen QV_GUARDED_BY(m_mu) = 0;
    DWORD m_written QV_GUARDED_BY(m_mu) = 0;
    DWORD m_writeError QV_GUARDED_BY(m_mu) = 0;

    // After a hang-up the descriptor is always "ready"; instead of letting a
    // wait complete in a loop, each wait completes at most once per read and
    // no sooner than a back-off after the last failed read.
    bool m_hungUp QV_GUARDED_BY(m_mu) = false;
    bool m_readSinceHangupWait QV_GUARDED_BY(m_mu) = true;
    Clock::time_point m_hangupNotBefore QV_GUARDED_BY(m_mu){};
};

// Routes every later completion of the device's overlapped operations to
// port with key. FALSE with the last error when h is no device or is already
// bound to a port.
BOOL AssociateDevice(HANDLE h, const Ref<Port>& port, ULONG_PTR key);

}  // namespace qvplat
