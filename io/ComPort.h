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
// packet. Uninit runs on the caller's thread and waits until nothing is in
// flight.
#pragma once

#include <atomic>

#include "io/AsyncPacket.h"
#include "io/ThreadPool.h"
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

    ComPort();
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;
    virtual ~ComPort();

    // Creates the packets (each given pool for its time-out) and the staging
    // buffer; a port uninitialised before can be initialised and opened
    // again. 0, QV_ALREADYINITIALIZED or QV_OUTOFMEMORY.
    virtual int Init(int commMaskSetting, GenericCOMModemInterface* owner, ILogInterface* log,
                     CAThreadPool* pool);
    // Stops all I/O, waits until no completion is in flight or to come,
    // closes the device and frees the packets. Also from inside a callback
    // of this port (a failed line is retried from there); the packets the
    // callback was given are gone when Uninit returns.
    virtual int Uninit();
    // Writes straight from data, which must stay valid until the write completes.
    virtual int SendRawData(const char* data, unsigned length);
    // Copies data (at most 80499 bytes) into the send packet and writes it. 0 or 1.
    virtual int SendData(const char* data, unsigned length);
    // Starts the comm-event wait. Associate GetHandle() with the pool first.
    virtual bool ListenOnComPort();
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
    BOOL Read();
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
    // The write step of SendData: refuses when the port cannot write.
    BOOL WritePacket();
    // Writes the send packet's data again (the packet still held). 0 or 1.
    int Resend();
    void FreePackets();
    bool NothingInFlight();
    // Starts one overlapped operation. It counts as outstanding from before
    // the call until its completion has been handled, so Uninit cannot free
    // a packet that a queued completion still points at.
    template <class Call>
    BOOL StartIo(Call call) {
        ++m_lOutstanding;
        BOOL started = call();
        if (!started && GetLastError() != ERROR_IO_PENDING) --m_lOutstanding;
        return started;
    }
    // 1 when the calling thread is inside a completion handler of this port.
    LONG OwnDispatches() const;
    void ForgetCallbacks();
    // Re-arms the comm-event wait; after kReadErrorLimit failed reads in a
    // row only after kRelistenDelayMs, so a dead device is not polled hot.
    bool Relisten();
    static void RelistenAfterErrors(ComPort* port, IOComAsyncPacket* packet, int timedOut);
    // Whether Uninit ran since a handler took `epoch` (it may have run
    // inside a callback; the packets the handler holds are then gone).
    bool UninitSince(unsigned epoch) const { return m_nEpoch.load() != epoch; }

    const char* m_pszLogPrefix;
    ILogInterface* m_pLog;
    BYTE* m_pStagingBuffer;
    // Written by Open/Close/Init/Uninit, read by the handlers on workers.
    std::atomic<int> m_bOpen;
    std::atomic<int> m_bInitialized;
    std::atomic<int> m_bAborting;
    HANDLE m_hComPort;
    GenericCOMModemInterface* m_pOwner;
    CompletionKey* m_pCompletionKey;
    CAThreadPool* m_pKeyPool = nullptr;  // the pool the key was given to
    int m_nCommMaskSetting;
    int m_nRecvErrors;             // written by the read handler only
    int m_nSendErrors;             // written by the write handler only
    IOComAsyncPacket* m_pIOPSend;  // IOPWRTIE
    IOComAsyncPacket* m_pIOPCom;   // IOPCOM
    IOComAsyncPacket* m_pIOPRecv;  // IOPREAD
    std::atomic<LONG> m_lOutstanding{0};
    // Counts Uninit calls; see UninitSince.
    std::atomic<unsigned> m_nEpoch{0};
};
