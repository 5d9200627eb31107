// ComPort: set-up, opening, configuration, writes and shutdown. The
// completion handlers are in ComPortHandlers.cc.
#include "io/ComPort.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "io/SystemCalls.h"
#include "logging/ILogInterface.h"
#include "logging/NullLog.h"
#include "qvGSMcomdrv.h"

namespace {

// A packet whose wait a close gave up: the system may still write into it,
// so it is kept, reachable, for the life of the process.
void KeepForever(IOComAsyncPacket* packet) {
    static qv::Mutex lock;
    static auto* kept = new std::vector<IOComAsyncPacket*>();
    qv::MutexLock guard(lock);
    kept->push_back(packet);
}

}  // namespace

ComPort::ComPort() : m_pCompletionKey(new CompletionKey(IOAsyncEventHandler, this, 0, 0)) {
    ResetMembers();
}

ComPort::~ComPort() {
    if (m_bInitialized.load()) Uninit();
    // A worker that ran this port's handler may still be leaving it: the
    // pool frees the key once its workers are gone.
    if (m_pKeyPool != nullptr)
        m_pKeyPool->RetireKey(m_pCompletionKey);
    else
        delete m_pCompletionKey;
}

void ComPort::ResetMembers() {
    m_pszLogPrefix = nullptr;
    m_pLog = nullptr;
    m_pStagingBuffer = nullptr;
    m_bOpen = 0;
    m_bInitialized = 0;
    m_bAborting = 0;
    m_bSkipOnSuccess = false;
    m_hComPort = nullptr;
    m_pOwner = nullptr;
    m_nCommMaskSetting = 0;
    m_nRecvErrors = 0;
    m_nSendErrors = 0;
    m_bDisableZeroRecvCallbacks = 0;
    m_pIOPSend = nullptr;
    m_pIOPCom = nullptr;
    m_pIOPRecv = nullptr;
}

const char* ComPort::Prefix() {
    return m_pszLogPrefix ? m_pszLogPrefix : "";
}

ILogInterface* ComPort::Log() {
    return m_pLog ? m_pLog : NullLog();
}

int ComPort::Init(int commMaskSetting, GenericCOMModemInterface* owner, ILogInterface* log,
                  CAThreadPool* pool) {
    if (m_bInitialized.load()) return QV_ALREADYINITIALIZED;
    ResetMembers();
    m_pLog = log;
    m_nCommMaskSetting = commMaskSetting;
    m_pOwner = owner;
    if (pool != nullptr) m_pKeyPool = pool;
    m_pIOPCom = new (std::nothrow) IOComAsyncPacket(log, pool);
    m_pIOPRecv = new (std::nothrow) IOComAsyncPacket(log, pool);
    m_pIOPSend = new (std::nothrow) IOComAsyncPacket(log, pool);
    bool ok = m_pIOPCom && m_pIOPRecv && m_pIOPSend;
    ok = ok && m_pIOPCom->Init(PACKET_KIND_COMEVENT, 0);
    ok = ok && m_pIOPRecv->Init(PACKET_KIND_RECV, kPacketBufferSize);
    ok = ok && m_pIOPSend->Init(PACKET_KIND_SEND, kPacketBufferSize);
    if (ok) {
        m_pIOPSend->m_bNotifyOnSuccess = 0;
        m_pStagingBuffer = new (std::nothrow) BYTE[kStagingSize];
        ok = m_pStagingBuffer != nullptr;
    }
    if (!ok) {
        Log()->LogError("ComPort::Init - failed, allocation error.");
        FreePackets();
        m_bInitialized = 0;
        m_pCompletionKey->m_bDisabled = 1;
        return QV_OUTOFMEMORY;
    }
    // The delayed re-listen finds its port through the comm-event packet.
    m_pIOPCom->SetCompletionData(this);
    for (IOComAsyncPacket* packet : {m_pIOPCom, m_pIOPRecv, m_pIOPSend}) packet->SetGate(&m_Gate);
    {
        qv::MutexLock lock(m_WriteLock);
        m_strQueuedWrite.clear();
        m_bWriteQueued = false;
    }
    m_Gate.Reopen();
    m_pCompletionKey->m_bDisabled = 0;
    m_bInitialized = 1;
    return QV_OK;
}

void ComPort::FreePackets() {
    for (IOComAsyncPacket** packet : {&m_pIOPRecv, &m_pIOPCom, &m_pIOPSend}) {
        if (*packet == nullptr) continue;
        (*packet)->Uninit();
        delete *packet;
        *packet = nullptr;
    }
    delete[] m_pStagingBuffer;
    m_pStagingBuffer = nullptr;
}

int ComPort::OpenComPort(const char* deviceName, int hardwareFlow, int baudRate, int timeoutMode) {
    if (deviceName == nullptr) return QV_INVALIDPARAM;
    if (!m_bInitialized.load()) return QV_NOTINITIALIZED;
    if (m_bAborting.load()) return 1;
    if (m_bOpen.load()) {
        CloseComPort();
        m_hComPort = nullptr;
    }
    SystemCalls* sys = GetSystemCalls();
    HANDLE handle = sys->CreateFileA(deviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        DWORD error = GetLastError();
        Log()->LogError("ComPort::OpenComPort - failed to open handle on %s (erc: %d)", deviceName,
                        static_cast<int>(error));
        return 1;
    }
    m_hComPort = handle;
    Log()->LogError("ComPort::OpenComPort - succes to open handle on %s", deviceName);
    if (SetPortSettings(hardwareFlow, baudRate) != 0 || SetTimeouts(timeoutMode) != 0 ||
        SetMask(static_cast<DWORD>(m_nCommMaskSetting)) != 0) {
        // Not open yet, so CloseComPort would leave the handle behind.
        sys->CloseHandle(m_hComPort);
        m_hComPort = nullptr;
        CloseComPort();
        return 1;
    }
    m_bOpen = 1;
    m_pIOPCom->ClearBuffer();
    m_pIOPRecv->ClearBuffer();
    m_pIOPSend->ClearBuffer();
    PurgeComPort();
    return 0;
}

int ComPort::SetPortSettings(int hardwareFlow, int baudRate) {
    SystemCalls* sys = GetSystemCalls();
    if (!sys->SetupComm(m_hComPort, kQueueSize, kQueueSize)) {
        Log()->LogError("ComPort::SetPortSettings - SetupComm Failed. (erc: %d)",
                        static_cast<int>(GetLastError()));
        return 1;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = 28;
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = hardwareFlow ? 1 : 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = hardwareFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.XonLim = 4096;
    dcb.XoffLim = 4096;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (!sys->SetCommState(m_hComPort, &dcb)) {
        Log()->LogError("ComPort::SetPortSettings - SetCommState failed. (erc: %d)",
                        static_cast<int>(GetLastError()));
        return 1;
    }
    return 0;
}

int ComPort::SetTimeouts(int mode) {
    COMMTIMEOUTS timeouts{};
    switch (mode) {
        case 0:
            timeouts.ReadIntervalTimeout = 100;
            timeouts.ReadTotalTimeoutConstant = 100;
            break;
        case 1:
            // A read returns at once with whatever is buffered.
            timeouts.ReadIntervalTimeout = MAXDWORD;
            break;
        default:
            break;
    }
    return GetSystemCalls()->SetCommTimeouts(m_hComPort, &timeouts) ? 0 : 1;
}

int ComPort::SetMask(DWORD mask) {
    if (!GetSystemCalls()->SetCommMask(m_hComPort, mask)) {
        Log()->LogError("ComPort::SetMask - SetCommMask failed (erc: %d)",
                        static_cast<int>(GetLastError()));
        return 1;
    }
    return 0;
}

bool ComPort::PurgeComPort() {
    if (!m_bInitialized.load() || m_hComPort == nullptr || !m_bOpen.load()) return false;
    return GetSystemCalls()->PurgeComm(m_hComPort, kPurgeAll) != FALSE;
}

void ComPort::ForgetCallbacks() {
    if (m_pIOPRecv) {
        m_pIOPRecv->m_IOCompleteCB = IOPacketNoop;
        m_pIOPRecv->SetCompletionData(nullptr);
        m_pIOPRecv->m_PreProcessorCB = IOPacketNoop;
        m_pIOPRecv->m_pPreProcessorData = nullptr;
    }
    if (m_pIOPSend) {
        m_pIOPSend->m_IOCompleteCB = IOPacketNoop;
        m_pIOPSend->SetCompletionData(nullptr);
    }
}

void ComPort::CloseComPort() {
    if (m_bOpen.load() && m_hComPort != nullptr) {
        PurgeComPort();
        // Closed even when the purge failed: the device is exclusive and a
        // handle left open would keep the next open from succeeding.
        GetSystemCalls()->CloseHandle(m_hComPort);
        ForgetCallbacks();
        for (IOComAsyncPacket* packet : {m_pIOPCom, m_pIOPSend, m_pIOPRecv}) {
            if (packet == nullptr) continue;
            packet->Release();
            packet->ClearBuffer();
        }
        m_hComPort = nullptr;
    }
    m_bOpen = 0;
}

void ComPort::SetAborting() {
    m_bAborting = 1;
}

void ComPort::ClearRecvBuffer() {
    if (m_pIOPRecv) m_pIOPRecv->ClearBuffer();
}

bool ComPort::IsOpen() {
    return m_bOpen.load() != 0;
}
bool ComPort::IsInitialized() {
    return m_bInitialized.load() != 0;
}
bool ComPort::IsAborting() {
    return m_bAborting.load() != 0;
}
IOComAsyncPacket* ComPort::GetSendPacket() {
    return m_pIOPSend;
}
IOComAsyncPacket* ComPort::GetRecvPacket() {
    return m_pIOPRecv;
}
IOComAsyncPacket* ComPort::GetComPacket() {
    return m_pIOPCom;
}

void ComPort::SetAsyncReadCallback(IOPacketCallback callback, void* data) {
    Log()->LogInfo("SetAsyncReadCallback >>");
    if (m_pIOPRecv == nullptr) return;
    Log()->LogInfo("SetAsyncReadCallback >> m_pIOPRecv != NULL");
    m_pIOPRecv->m_IOCompleteCB = callback;
    m_pIOPRecv->SetCompletionData(data);
}

void ComPort::SetAsyncWriteCallback(IOPacketCallback callback, void* data) {
    if (m_pIOPSend == nullptr) return;
    m_pIOPSend->m_IOCompleteCB = callback;
    m_pIOPSend->SetCompletionData(data);
}

void ComPort::SetPreProcessorCallback(IOPacketCallback callback, void* data) {
    if (m_pIOPRecv == nullptr) return;
    m_pIOPRecv->m_PreProcessorCB = callback;
    m_pIOPRecv->m_pPreProcessorData = data;
}

bool ComPort::ListenOnComPort(bool* readDoneHere) {
    if (!m_bInitialized.load() || !m_bOpen.load() || m_bAborting.load() || m_hComPort == nullptr ||
        m_hComPort == INVALID_HANDLE_VALUE)
        return false;
    if (!m_pIOPCom->TryAcquire()) {
        Log()->LogWarning("ComPort::ListenOnComPort - IO COM PACKET in use.");
        return false;
    }
    // Uninit may have started while we took the packet: it must not find a
    // wait started behind its back.
    if (m_bAborting.load()) {
        m_pIOPCom->Release();
        return false;
    }
    m_pIOPCom->m_IOCompleteCB = nullptr;
    m_pIOPCom->ClearEventMask();
    m_pIOPCom->ResetOverlapped();
    auto wait = [this] {
        // Pending before the call: the completion may be handled at once.
        m_nWaitState = kWaitPending;
        BOOL started =
            GetSystemCalls()->WaitCommEvent(m_hComPort, m_pIOPCom->GetEventMaskWord(), m_pIOPCom);
        if (!started && GetLastError() != ERROR_IO_PENDING) m_nWaitState = kWaitNone;
        return started;
    };
    bool maskFailed = false;
    bool inputWaiting = false;
    if (StartIo(m_pIOPCom,
                [&] {
                    if (SetMask(EV_RXCHAR) != 0) {
                        maskFailed = true;
                        return FALSE;
                    }
                    // Setting the mask forgets the events raised so far: bytes that
                    // came after the last read and before this point raise no
                    // EV_RXCHAR. They are in the input queue, so they are read now
                    // instead of waited for.
                    inputWaiting = InputWaiting();
                    if (inputWaiting) {
                        SetLastError(ERROR_SUCCESS);
                        return FALSE;
                    }
                    return wait();
                }) ||
        GetLastError() == ERROR_IO_PENDING)
        return true;
    if (inputWaiting) {
        if (ReadWaitingInput(readDoneHere)) return true;
        if (StartIo(m_pIOPCom, wait) || GetLastError() == ERROR_IO_PENDING) return true;
    }
    if (maskFailed) {
        Log()->LogWarning("ComPort::ListenOnComPort - SetCommMask Failed, erc = %d",
                          static_cast<int>(GetLastError()));
    } else {
        Log()->LogWarning("ComPort::ListenOnComPort - wait failed, erc = %d",
                          static_cast<int>(GetLastError()));
    }
    m_pIOPCom->Release();
    return false;
}

bool ComPort::InputWaiting() {
    DWORD errors = 0;
    COMSTAT stat{};
    return GetSystemCalls()->ClearCommError(m_hComPort, &errors, &stat) && stat.cbInQue > 0;
}

bool ComPort::ReadWaitingInput(bool* doneHere) {
    if (!m_pIOPRecv->TryAcquire()) return false;
    // The read is now the receive chain's one operation, as after a comm
    // event: the comm-event packet is free before the read can complete.
    m_pIOPCom->Release();
    m_pIOPRecv->ResetOverlapped();
    const BOOL started = Read(doneHere);
    if (started || GetLastError() == ERROR_IO_PENDING) return true;
    m_pIOPRecv->Release();
    // Wait instead, unless another thread has started listening meanwhile.
    return !m_pIOPCom->TryAcquire();
}

void ComPort::SkipPacketsOnSuccess() {
    if (m_pKeyPool == nullptr || m_hComPort == nullptr) return;
    m_bSkipOnSuccess = GetSystemCalls()->SetFileCompletionNotificationModes(
                           m_hComPort, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS) != FALSE;
}

BOOL ComPort::StartIo(IOComAsyncPacket* packet, const std::function<BOOL()>& call, bool* doneHere) {
    qv::MutexLock lock(m_StartLock);
    if (m_bAborting.load() || !m_Gate.TryEnter()) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    BOOL started = call();
    if (started && m_bSkipOnSuccess.load()) {
        // Ended at once, and no packet comes for it.
        if (doneHere != nullptr) {
            *doneHere = true;
            return started;
        }
        const int error = m_pKeyPool->PostCompletion(m_pCompletionKey, packet,
                                                     static_cast<DWORD>(packet->InternalHigh));
        if (error == 0) return started;
        started = FALSE;
        SetLastError(static_cast<DWORD>(error));
    }
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        const DWORD error = GetLastError();
        m_Gate.Leave();
        SetLastError(error);
    }
    return started;
}

BOOL ComPort::Read(bool* doneHere) {
    if (!m_bInitialized.load() || !m_bOpen.load() || m_bAborting.load()) {
        Log()->LogWarning("ComPort::Read - Failed, com port not init\\open or is aborting.");
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (m_pIOPRecv == nullptr) {
        Log()->LogWarning("ComPort::Read - Failed, Invalid Recv Packet.");
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    return StartIo(
        m_pIOPRecv,
        [this] {
            return GetSystemCalls()->ReadFile(m_hComPort, m_pStagingBuffer, kReadSize, nullptr,
                                              m_pIOPRecv);
        },
        doneHere);
}

BOOL ComPort::WritePacket(bool* doneHere) {
    if (!m_bInitialized.load() || !m_bOpen.load() || m_bAborting.load()) {
        Log()->LogWarning("Write Fail. (com port not init\\open or is aborting)");
        SetLastError(ERROR_CANCELLED);
        return FALSE;
    }
    if (m_pIOPSend == nullptr || m_pIOPSend->GetData() == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return StartIo(
        m_pIOPSend,
        [this] {
            return GetSystemCalls()->WriteFile(m_hComPort, m_pIOPSend->GetData(),
                                               m_pIOPSend->GetDataLength(), nullptr, m_pIOPSend);
        },
        doneHere);
}

int ComPort::SendData(const char* data, unsigned length) {
    if (!m_bInitialized.load() || !m_bOpen.load() || m_bAborting.load()) {
        Log()->LogError("ComPort::SendData - Failed, Reason: notinit\\notopen\\isAborting");
        return 1;
    }
    if (data == nullptr || length == 0) {
        Log()->LogError("ComPort::SendData - Failed, null buffer supplied.");
        return 1;
    }
    const unsigned capacity = m_pIOPSend->GetBufferSize();
    if (length >= capacity) {
        // The caller's data need not be NUL-terminated.
        std::string text(data, length);
        Log()->LogError(
            "ComPort::SendData - Failed, data is to big for one send (DATASTR: %s, DATASZ: %d, "
            "MAXDATASZ: %d)",
            text.c_str(), static_cast<int>(length), static_cast<int>(capacity));
        return 1;
    }
    bool doneHere = false;
    {
        qv::MutexLock lock(m_WriteLock);
        if (!m_pIOPSend->TryAcquire()) {
            // The previous write is still completing (its answer may already
            // have come): this one starts from that completion.
            if (m_bWriteQueued) {
                Log()->LogWarning(
                    "ComPort::SendData - Failed, a send aready is pending on this port. ");
                return 1;
            }
            m_strQueuedWrite.assign(data, length);
            m_bWriteQueued = true;
            return 0;
        }
        m_pIOPSend->ResetOverlapped();
        // A resend passes the packet's own buffer: SetData moves.
        m_pIOPSend->SetData(data, length);
        if (!WritePacket(&doneHere) && GetLastError() != ERROR_IO_PENDING) {
            Log()->LogWarning("ComPort::SendData - Failed, 'WriteFile' Failed... erc = %d",
                              static_cast<int>(GetLastError()));
            m_pIOPSend->Release();
            return 1;
        }
    }
    // Outside the write lock, which the completion takes to start a queued write.
    if (doneHere) HandleWriteHere();
    return 0;
}

int ComPort::SendRawData(const char* data, unsigned length) {
    if (!m_bInitialized.load() || !m_bOpen.load() || m_bAborting.load()) {
        Log()->LogError("ComPort::SendRawData - Failed, Reason: notinit\\notopen\\isAborting");
        return 1;
    }
    if (data == nullptr || length == 0) {
        Log()->LogError("ComPort::SendRawData - Failed, Null Buffer supplied.");
        return 1;
    }
    const unsigned capacity = m_pIOPSend->GetBufferSize();
    if (length >= capacity) {
        std::string text(data, length);
        Log()->LogError(
            "ComPort::SendRawData - Failed, Data is to big for one send (DATA: %s, DATASZ: %d, "
            "MAXDATASZ: %d)",
            text.c_str(), static_cast<int>(length), static_cast<int>(capacity));
        return 1;
    }
    if (!m_pIOPSend->TryAcquire()) {
        Log()->LogWarning("ComPort::SendRawData - Failed,  Send  aready in progress. ");
        return 1;
    }
    m_pIOPSend->ResetOverlapped();
    m_pIOPSend->ClearBuffer();
    if (StartIo(m_pIOPSend,
                [&]() -> BOOL {
                    return GetSystemCalls()->WriteFile(m_hComPort, data, length, nullptr,
                                                       m_pIOPSend);
                }) ||
        GetLastError() == ERROR_IO_PENDING)
        return 0;
    Log()->LogWarning("ComPort::SendRawData - Failed,  'WriteFile' Failed... erc = %d",
                      static_cast<int>(GetLastError()));
    m_pIOPSend->Release();
    return 1;
}

bool ComPort::WriteWaiting() {
    qv::MutexLock lock(m_WriteLock);
    return m_bWriteQueued;
}

bool ComPort::NextWrite() {
    qv::MutexLock lock(m_WriteLock);
    if (!m_bWriteQueued || m_bAborting.load()) {
        m_bWriteQueued = false;
        m_strQueuedWrite.clear();
        m_pIOPSend->ClearBuffer();
        m_pIOPSend->Release();
        return true;
    }
    m_bWriteQueued = false;
    std::string data;
    data.swap(m_strQueuedWrite);
    m_pIOPSend->ResetOverlapped();
    m_pIOPSend->SetData(data.data(), static_cast<unsigned>(data.size()));
    if (WritePacket() || GetLastError() == ERROR_IO_PENDING) return true;
    Log()->LogWarning("ComPort::SendData - Failed, 'WriteFile' Failed... erc = %d",
                      static_cast<int>(GetLastError()));
    m_pIOPSend->ClearBuffer();
    m_pIOPSend->Release();
    return false;
}

void ComPort::BeginUninit(std::function<void()> done) {
    if (!m_bInitialized.load()) {
        if (done) done();
        return;
    }
    {
        // Under the start lock: an operation either started before the abort
        // below (and is aborted by it) or is refused.
        qv::MutexLock lock(m_StartLock);
        m_bAborting = 1;
        const bool first = !m_bClosing;
        m_bClosing = true;
        if (first) {
            ForgetCallbacks();
            // A delayed re-listen must not start a wait behind our back.
            m_pIOPCom->CancelTimer();
            // Completes a pending comm-event wait; the purge aborts the rest.
            if (m_bOpen.load()) SetMask(0);
            PurgeComPort();
            // Should the wait not end, it is given up after a while. The step
            // is inside the gate, so the port stays until it has run.
            if (m_nWaitState.load() == kWaitPending && m_pKeyPool != nullptr && m_Gate.TryEnter() &&
                !m_AbandonWait.Schedule(m_pKeyPool, kAbandonWaitMs, [this](bool run) {
                    if (run) AbandonWait();
                    m_Gate.Leave();
                })) {
                m_Gate.Leave();
            }
            Log()->LogInfo(
                "%sComPort::Uninit - Waiting for exit. (IN FLIGHT: %d , IOPCOM State: %d , IOPREAD "
                "State: %d, IOPWRTIE State: %d,  IOPCOMMASK: %d)",
                Prefix(), m_Gate.Count(), m_pIOPCom->GetInUse(), m_pIOPRecv->GetInUse(),
                m_pIOPSend->GetInUse(), static_cast<int>(m_pIOPCom->GetEventMask()));
        }
    }
    // Whoever closes first installs the end; later callers wait behind it.
    m_Gate.Close([this, done = std::move(done)] {
        if (m_bInitialized.load()) FinishUninit();
        if (done) done();
    });
}

void ComPort::AbandonWait() {
    int pending = kWaitPending;
    if (!m_nWaitState.compare_exchange_strong(pending, kWaitGivenUp)) return;
    Log()->LogWarning("%sComPort::Uninit - comm event wait given up after %u ms", Prefix(),
                      kAbandonWaitMs);
    m_bComPacketAbandoned = true;
    m_Gate.Leave();  // in place of the wait's completion
}

void ComPort::FinishUninit() {
    // Late completions for this port are dropped from here on.
    m_pCompletionKey->m_bDisabled = 1;
    if (m_bOpen.load()) CloseComPort();
    if (m_bComPacketAbandoned) {
        KeepForever(m_pIOPCom);
        m_pIOPCom = nullptr;
        m_bComPacketAbandoned = false;
    }
    FreePackets();
    {
        qv::MutexLock lock(m_WriteLock);
        m_strQueuedWrite.clear();
        m_bWriteQueued = false;
    }
    m_bInitialized = 0;
    {
        qv::MutexLock lock(m_StartLock);
        m_bClosing = false;
    }
    Log()->LogInfo("%sComPort::Uninit - OK.", Prefix());
}

int ComPort::Uninit() {
    if (!m_bInitialized.load()) return 0;
    if (CAThreadPool::OnWorkerThread()) {
        BeginUninit(nullptr);
        return 0;
    }
    RunAndWait([this](std::function<void()> done) { BeginUninit(std::move(done)); });
    return 0;
}
