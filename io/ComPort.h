// One serial port driven with overlapped I/O.
//
// The receive chain keeps one operation outstanding: a comm-event wait, then
// a read of whatever is buffered, then the callbacks, then the wait again.
// Writes go one buffer at a time through the send packet; a failed write is
// resent up to three times. All completions run on pool workers through the
// port's completion key. Log lines starting "%s" get the (empty) log prefix.
//
// Threads: a read and a write completion of one port may run at the same
// time on two workers; the packets' in-use guards keep one operation per
// packet. A write asked for while the previous one is still completing waits
// in a one-entry queue and starts from that completion.
//
// Lifetime: every started operation, every time-out of a packet and every
// piece of work an owner runs for the port (Gate()) is inside the port's
// gate. Closing (BeginUninit) stops new operations, aborts the pending ones
// and frees the packets only once the gate has drained, on the thread whose
// work left last. It never waits, so a worker may close a port, also from
// inside the port's own callbacks.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "io/AsyncPacket.h"
#include "io/DelayedWork.h"
#include "io/Quiescence.h"
#include "io/ThreadPool.h"
#include "platform/thread_annotations.h"
#include "platform/win32.h"

class GenericCOMModemInterface;
class ILogInterface;

class ComPort {
  public:
    static constexpr unsigned kPacketBufferSize = 80500;  // receive and send packets
    static constexpr unsigned kStagingSize = 20000;       // target of each read
    static constexpr unsigned kReadSize = 19999;          // bytes asked per read
    static constexpr DWORD kQueueSize = 16384;            // SetupComm in/out
    static constexpr DWORD kPurgeAll =
        PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    // Consecutive failed reads after which the receive callback hears of it
    // and listening resumes only after kRelistenDelayMs (a hung-up device
    // fails every read at once).
    static constexpr int kReadErrorLimit = 3;
    static constexpr unsigned kRelistenDelayMs = 1000;
    static constexpr int kMaxSendErrors = 4;
    // A comm-event wait still pending this long after closing began is given
    // up (a serial layer may never end it, Wine's on a pseudo-terminal); its
    // packet is then left allocated, as the system may still write to it.
    static constexpr unsigned kAbandonWaitMs = 2000;

    ComPort();
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;
    virtual ~ComPort();

    // Creates the packets (each given pool for its time-out) and the staging
    // buffer; a port uninitialised before can be initialised and opened
    // again. 0, QV_ALREADYINITIALIZED or QV_OUTOFMEMORY.
    virtual int Init(int commMaskSetting, GenericCOMModemInterface* owner, ILogInterface* log,
                     CAThreadPool* pool) QV_EXCLUDES(m_WriteLock);
    // Stops all I/O; once nothing of the port is in flight any more, closes
    // the device, frees the packets and then calls done (on the thread whose
    // work left last, or here). Never waits. done runs at once when the port
    // is not initialised.
    void BeginUninit(std::function<void()> done) QV_EXCLUDES(m_StartLock, m_WriteLock);
    // BeginUninit, and on a thread that is not a pool worker also waits for
    // its end. On a worker (from inside a callback of this port, say) it
    // returns at once and the packets go when the last handler has left.
    virtual int Uninit();
    // The port's gate, for owners' work that uses the port outside its own
    // handlers (a delayed step, a work item).
    Quiescence& Gate() { return m_Gate; }
    // Writes straight from data, which must stay valid until the write completes.
    virtual int SendRawData(const char* data, unsigned length);
    // Copies data (at most 80499 bytes) into the send packet and writes it;
    // while the previous write is still completing, the data waits for it
    // (one write at most). 0 or 1.
    virtual int SendData(const char* data, unsigned length) QV_EXCLUDES(m_WriteLock);
    // A write handed to SendData still waits for the previous one to end.
    bool WriteWaiting() QV_EXCLUDES(m_WriteLock);
    // Starts the comm-event wait, or a read at once when bytes are already
    // waiting (they raise no event of their own once the mask is set).
    // Associate GetHandle() with the pool first.
    // With readDoneHere (from a handler of this port), a read of waiting
    // bytes that ends at once is left to the caller, as Read does.
    virtual bool ListenOnComPort(bool* readDoneHere = nullptr);
    // After associating: operations that succeed at once queue no packet
    // (the port queues or handles them itself), which spares a read right
    // after a comm event its trip through the pool. Before the first I/O.
    void SkipPacketsOnSuccess();
    // 0, QV_INVALIDPARAM, QV_NOTINITIALIZED or 1.
    virtual int OpenComPort(const char* deviceName, int hardwareFlow, int baudRate,
                            int timeoutMode);
    virtual void CloseComPort();
    virtual bool PurgeComPort();
    virtual void SetAborting();
    // Empties the receive packet's accumulated data (not the history).
    virtual void ClearRecvBuffer();
    virtual bool IsOpen();
    virtual bool IsInitialized();
    virtual bool IsAborting();
    virtual IOComAsyncPacket* GetSendPacket();
    virtual IOComAsyncPacket* GetRecvPacket();
    virtual IOComAsyncPacket* GetComPacket();

    int SetMask(DWORD mask);
    int SetPortSettings(int hardwareFlow, int baudRate);
    int SetTimeouts(int mode);
    // Starts a read into the staging buffer (receive packet already acquired).
    // With doneHere, a read that ends at once is left to the caller (*doneHere
    // set) instead of being queued to the pool.
    BOOL Read(bool* doneHere = nullptr);
    // The receive packet's completion callback: every read, and from the
    // third failed read in a row (notify flags permitting).
    void SetAsyncReadCallback(IOPacketCallback callback, void* data);
    // The send packet's completion callback: failed writes only.
    void SetAsyncWriteCallback(IOPacketCallback callback, void* data);
    // Runs before the read callback on every read.
    void SetPreProcessorCallback(IOPacketCallback callback, void* data);

    // The completion key's handler: context is the port.
    static int IOAsyncEventHandler(void* port, CompletionKey* key, LPOVERLAPPED overlapped,
                                   DWORD bytes, DWORD error);
    void ioComEvent_PacketHandler(DWORD error);
    void ioRead_PacketHandler(DWORD bytes, DWORD error);
    void ioWrite_PacketHandler(DWORD bytes, DWORD error);

    // The OS handle (0 when closed) and the key to associate it with.
    HANDLE GetHandle() { return m_hComPort; }
    CompletionKey* GetCompletionKey() { return m_pCompletionKey; }
    GenericCOMModemInterface* GetOwner() { return m_pOwner; }
    ILogInterface* GetLog() { return m_pLog; }
    int GetRecvErrors() const { return m_nRecvErrors; }
    int GetSendErrors() const { return m_nSendErrors; }

    // Set before listening; the line keeps it clear.
    int m_bDisableZeroRecvCallbacks;

  private:
    void ResetMembers();
    const char* Prefix();
    ILogInterface* Log();
    // The write step of SendData: refuses when the port cannot write. With
    // doneHere, a write that ends at once is left to the caller to finish.
    BOOL WritePacket(bool* doneHere = nullptr);
    // Writes the send packet's data again (the packet still held). 0 or 1.
    int Resend();
    void FreePackets();
    // Closing: a pending wait that has not ended is given up (it leaves the
    // gate in place of its completion). From the scheduled step only.
    void AbandonWait();
    // Starts one overlapped operation inside the gate: it is work of the
    // port from before the call until its completion has been handled.
    // Refused once the port is aborting; the abort in BeginUninit happens
    // under the same lock, so no operation starts after it.
    // An operation of packet that succeeded at once without a packet of its
    // own is queued to the pool here, or left to the caller with doneHere.
    BOOL StartIo(IOComAsyncPacket* packet, const std::function<BOOL()>& call,
                 bool* doneHere = nullptr) QV_EXCLUDES(m_StartLock);
    // After a write completed: starts the queued write with the packet still
    // held, or frees the packet. false when a queued write failed to start.
    bool NextWrite() QV_EXCLUDES(m_WriteLock);
    // The end of closing, once the gate has drained.
    void FinishUninit() QV_EXCLUDES(m_StartLock, m_WriteLock);
    void ForgetCallbacks();
    // Bytes are waiting in the device's input queue.
    bool InputWaiting();
    // From ListenOnComPort, the comm-event packet held: frees the packet and
    // starts a read of the waiting bytes. false when no read could start and
    // the packet is held again for a wait.
    bool ReadWaitingInput(bool* doneHere);
    // Re-arms the comm-event wait; after kReadErrorLimit failed reads in a
    // row only after kRelistenDelayMs, so a dead device is not polled hot.
    bool Relisten(bool* readDoneHere = nullptr);
    // Runs the handler of a read that ended at once, here, unless this thread
    // is already that deep in such reads; false when left to the pool.
    bool MayReadHere() const;
    void HandleReadHere();
    // Finishes, on this thread, a write that ended at once: its completion
    // only logs and frees the packet, so nothing waits on a worker for it.
    void HandleWriteHere();
    static void RelistenAfterErrors(ComPort* port, IOComAsyncPacket* packet, int timedOut);

    const char* m_pszLogPrefix;
    ILogInterface* m_pLog;
    BYTE* m_pStagingBuffer;
    // Written by Open/Close/Init/Uninit, read by the handlers on workers.
    std::atomic<int> m_bOpen;
    std::atomic<int> m_bInitialized;
    std::atomic<int> m_bAborting;
    // Set once after opening, before any I/O (FILE_SKIP_COMPLETION_PORT_ON_SUCCESS).
    std::atomic<bool> m_bSkipOnSuccess{false};
    HANDLE m_hComPort;
    GenericCOMModemInterface* m_pOwner;
    CompletionKey* const m_pCompletionKey;  // owned; retired to the pool by the destructor
    CAThreadPool* m_pKeyPool = nullptr;     // the pool the key was given to
    int m_nCommMaskSetting;
    int m_nRecvErrors;             // written by the read handler only
    int m_nSendErrors;             // written by the write handler only
    IOComAsyncPacket* m_pIOPSend;  // IOPWRTIE
    IOComAsyncPacket* m_pIOPCom;   // IOPCOM
    IOComAsyncPacket* m_pIOPRecv;  // IOPREAD

    Quiescence m_Gate;
    // The comm-event wait: none, pending (from just before WaitCommEvent
    // until its completion is handled) or abandoned by closing. Whoever moves
    // it away from pending ends the wait's stay in the gate.
    enum WaitState { kWaitNone, kWaitPending, kWaitGivenUp };
    std::atomic<int> m_nWaitState{kWaitNone};
    DelayedWork m_AbandonWait;           // inside the gate while scheduled
    bool m_bComPacketAbandoned = false;  // set by AbandonWait, read by FinishUninit
    // Lock order: m_WriteLock before m_StartLock; both before the packets'
    // and the gate's.
    qv::Mutex m_StartLock;
    qv::Mutex m_WriteLock QV_ACQUIRED_BEFORE(m_StartLock);
    bool m_bClosing QV_GUARDED_BY(m_StartLock) = false;  // BeginUninit ran, FinishUninit not yet
    std::string m_strQueuedWrite QV_GUARDED_BY(m_WriteLock);
    // Reads handled one inside another (the read chain is one at a time): a
    // modem that never stops talking must not grow the stack without bound.
    static constexpr int kMaxReadsHere = 8;
    std::atomic<int> m_nReadsHere{0};
    bool m_bWriteQueued QV_GUARDED_BY(m_WriteLock) = false;
};
