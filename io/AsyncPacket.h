// One overlapped operation of a serial port: the OVERLAPPED handed to the
// system (a completion identifies its packet), the data buffer, the
// callbacks, a one-operation-at-a-time guard and a one-shot time-out that
// runs as a work item on the pool.
//
// Lifetime: a time-out on its way (from the timer firing until its work item
// has run) is work inside the packet's gate: the owning port's, or the
// packet's own when it has none. The port frees its packets only once its
// gate has drained, so no time-out ever runs on a freed packet.
//
// Lock order: the timer and data locks are innermost and never held
// together; DeleteTimerQueueTimer is never called under the timer lock (it
// waits for TimerProc, which takes the lock). The data lock guards the
// received data and history: the read handler appends on a worker while the
// engine clears from its own threads, so readers work on copies.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "io/Quiescence.h"
#include "platform/thread_annotations.h"
#include "platform/win32.h"

class ComPort;
class IOComAsyncPacket;
class ILogInterface;
class CAThreadPool;
struct CompletionKey;

// (port, packet, timedOut): port is null and timedOut 1 from a time-out.
typedef void (*IOPacketCallback)(ComPort* port, IOComAsyncPacket* packet, int timedOut);

enum PacketKind : uint16_t {
    PACKET_KIND_NONE = 0,
    PACKET_KIND_COMEVENT = 1,
    PACKET_KIND_RECV = 2,
    PACKET_KIND_SEND = 3,
};

// The callback that does nothing (the default of every callback).
void IOPacketNoop(ComPort* port, IOComAsyncPacket* packet, int timedOut);

class IOComAsyncPacket : public OVERLAPPED {
  public:
    IOComAsyncPacket(ILogInterface* log, CAThreadPool* pool);
    IOComAsyncPacket(const IOComAsyncPacket&) = delete;
    IOComAsyncPacket& operator=(const IOComAsyncPacket&) = delete;
    // Cancels the timer. A packet with its own gate also waits for a
    // time-out already posted (never call it from that time-out).
    virtual ~IOComAsyncPacket();

    // false when already initialised or the buffer cannot be allocated.
    virtual bool Init(PacketKind kind, unsigned bufferSize) QV_EXCLUDES(m_csTimer, m_csData);
    virtual void Uninit() QV_EXCLUDES(m_csTimer, m_csData);
    // Data length 0 (the used bytes are zeroed). Bytes past the data length
    // are never read: the data is always followed by a NUL.
    virtual void ClearBuffer() QV_EXCLUDES(m_csData);
    virtual void ResetOverlapped();
    // Claims the packet for one operation; false at once when it is busy.
    virtual bool TryAcquire();
    virtual void Release();
    virtual bool IsFree();
    virtual int GetInUse();
    // The time-out's callback is not called after this returns, unless its
    // work item had already taken it. Always true.
    virtual bool CancelTimer() QV_EXCLUDES(m_csTimer);
    // One-shot time-out after dueMs: callback(null, this, 1) on a pool worker.
    // Replaces (deletes) a timer armed before. false when not initialised or
    // the timer cannot be created.
    virtual bool ArmTimer(IOPacketCallback callback, unsigned dueMs) QV_EXCLUDES(m_csTimer);
    // The same with any function: an owner that captures which operation
    // the time-out is for can tell a late time-out of an earlier arming.
    bool ArmTimeout(unsigned dueMs, std::function<void()> fn) QV_EXCLUDES(m_csTimer);
    // Waits until no time-out of this packet is on its way. Only for a packet
    // with its own gate, and never from its own time-out.
    void WaitTimerIdle() {
        m_OwnGate.CloseAndWait();
        m_OwnGate.Reopen();
    }
    // The gate a time-out enters (the owning port's); before any arming.
    void SetGate(Quiescence* gate) { m_pGate = gate ? gate : &m_OwnGate; }

    // Timer-queue callback: posts OnTimerTrigger to the pool.
    static void CALLBACK TimerProc(PVOID packet, BOOLEAN fired);
    // Pool work item of an expired timer.
    static int OnTimerTrigger(void* packet, CompletionKey* key, LPOVERLAPPED overlapped,
                              DWORD bytes, DWORD error);

    // The packet whose OVERLAPPED this is.
    static IOComAsyncPacket* FromOverlapped(LPOVERLAPPED overlapped) {
        return static_cast<IOComAsyncPacket*>(overlapped);
    }

    // Completion data (the engine's command in flight). Take returns it and
    // leaves null, so of a completion and a time-out racing only one gets it.
    void SetCompletionData(void* data) QV_EXCLUDES(m_csTimer);
    void* GetCompletionData() QV_EXCLUDES(m_csTimer);
    void* TakeCompletionData() QV_EXCLUDES(m_csTimer);

    bool IsInitialised() const { return m_bInitialised != 0; }
    PacketKind GetKind() const { return m_nKind; }
    int GetError() const { return m_nError.load(); }
    // The buffer itself: for the send packet, whose holder owns it.
    BYTE* GetData() { return m_pBuffer; }
    unsigned GetDataLength() const QV_EXCLUDES(m_csData) {
        qv::CriticalSectionLock lock(m_csData);
        return m_nDataLength;
    }
    unsigned GetBufferSize() const { return m_nBufferSize; }
    // Replaces the data (length below the buffer size; data may lie inside
    // the buffer itself).
    void SetData(const void* data, unsigned length) QV_EXCLUDES(m_csData);
    // Copies of the received data (at most max bytes) and of the history.
    std::string CopyData(size_t max = SIZE_MAX) QV_EXCLUDES(m_csData);
    // The received data, which is then empty.
    std::string TakeData() QV_EXCLUDES(m_csData);
    std::string GetHistory() QV_EXCLUDES(m_csData);
    void ClearHistory() QV_EXCLUDES(m_csData);
    // For an edit of the history outside the lock: CopyHistory returns a
    // copy and its version, CommitHistory stores the edited copy unless the
    // history changed in between (then false and nothing is stored).
    std::string CopyHistory(unsigned* version) QV_EXCLUDES(m_csData);
    bool CommitHistory(std::string history, unsigned version) QV_EXCLUDES(m_csData);
    // The system writes the word behind the packet's back (WaitCommEvent):
    // read and cleared atomically.
    DWORD GetEventMask() const {
        return std::atomic_ref<DWORD>(const_cast<DWORD&>(m_dwEventMask))
            .load(std::memory_order_acquire);
    }
    void ClearEventMask() {
        std::atomic_ref<DWORD>(m_dwEventMask).store(0, std::memory_order_release);
    }
    DWORD* GetEventMaskWord() { return &m_dwEventMask; }

    // Appends received bytes. When the buffer would overflow the oldest
    // bytes are dropped: the newest data is kept and the data stays
    // NUL-terminated. Each byte also goes to the history.
    void AppendData(const BYTE* data, unsigned length) QV_EXCLUDES(m_csData);
    // Adds to the receive history; from 1000 characters on the first 500 go.
    void AppendHistory(const BYTE* data, unsigned length) QV_EXCLUDES(m_csData);

    static constexpr size_t kHistoryLimit = 1000;
    static constexpr size_t kHistoryDrop = 500;

    // Members, as the port and the engine use them. Callbacks and their data
    // are atomic: Uninit replaces them while a worker may be reading them.
    ILogInterface* const m_pLog;
    int m_bInitialised;
    PacketKind m_nKind;
    // Of the last completion (ERROR_IO_PENDING -> 0). Atomic: a write queued
    // behind a failed one may complete while the failed one is reported.
    std::atomic<int> m_nError;
    int m_bNotifyOnSuccess;  // call m_IOCompleteCB after success
    int m_bNotifyOnError;    // ... and after a failure
    void* m_pCompletionData QV_GUARDED_BY(m_csTimer);
    std::atomic<void*> m_pPreProcessorData;
    std::atomic<IOPacketCallback> m_IOCompleteCB;
    std::atomic<IOPacketCallback> m_PreProcessorCB;
    unsigned m_nBufferSize;  // set by Init and Reset, while no operation runs
    unsigned m_nDataLength QV_GUARDED_BY(m_csData);
    BYTE* m_pBuffer QV_PT_GUARDED_BY(m_csData);  // owned
    DWORD m_dwEventMask;                         // filled by WaitCommEvent
    CAThreadPool* const m_pPool;
    std::atomic<LONG> m_lInUse;  // 0 free, 1 acquired; not touched by Reset
    // The timer lock and the data lock (below) are never held together.
    mutable qv::CriticalSection m_csTimer;
    HANDLE m_hTimer QV_GUARDED_BY(m_csTimer);
    // Fired, cancelled or being replaced: TimerProc backs off.
    int m_bTimerDone QV_GUARDED_BY(m_csTimer);
    std::function<void()> m_TimerFn QV_GUARDED_BY(m_csTimer);
    // A timer exists that nobody has deleted yet.
    int m_bTimerArmed QV_GUARDED_BY(m_csTimer);

  private:
    void Reset() QV_EXCLUDES(m_csTimer, m_csData);
    // Cancels whatever timer exists, initialised or not.
    void StopTimer() QV_EXCLUDES(m_csTimer);

    // Each arming or cancel starts a new generation; a posted time-out acts
    // only for the generation it was posted in.
    unsigned m_nTimerGeneration QV_GUARDED_BY(m_csTimer) = 0;
    unsigned m_nPostedGeneration QV_GUARDED_BY(m_csTimer) = 0;

    mutable qv::CriticalSection m_csData;
    std::string m_strRecvHistory QV_GUARDED_BY(m_csData);
    unsigned m_nHistoryVersion QV_GUARDED_BY(m_csData) = 0;

    Quiescence m_OwnGate;
    Quiescence* m_pGate = &m_OwnGate;
};
