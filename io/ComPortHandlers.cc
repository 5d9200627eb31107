// ComPort: the completion handlers, run on pool workers.
#include <algorithm>
#include <cstring>

#include "io/ComPort.h"
#include "logging/ILogInterface.h"

int ComPort::IOAsyncEventHandler(void* context, CompletionKey*, LPOVERLAPPED overlapped,
                                 DWORD bytes, DWORD error) {
    auto* port = static_cast<ComPort*>(context);
    if (port == nullptr || overlapped == nullptr) return 1;
    IOComAsyncPacket* packet = IOComAsyncPacket::FromOverlapped(overlapped);
    if (packet->GetKind() == PACKET_KIND_COMEVENT) {
        // A wait that closing gave up has already left the gate in its place.
        if (port->m_nWaitState.exchange(kWaitNone) == kWaitGivenUp) return 0;
        // Ended in time: the step that would give it up is not needed.
        if (port->m_bAborting.load()) port->m_AbandonWait.Cancel();
    }
    if (error == ERROR_IO_PENDING) error = 0;
    packet->m_nError = static_cast<int>(error);
    switch (packet->GetKind()) {
        case PACKET_KIND_COMEVENT:
            port->ioComEvent_PacketHandler(error);
            break;
        case PACKET_KIND_RECV:
            port->ioRead_PacketHandler(bytes, error);
            break;
        case PACKET_KIND_SEND:
            port->ioWrite_PacketHandler(bytes, error);
            break;
        case PACKET_KIND_NONE:
            port->Log()->LogError("ComPort::IOAsyncEventHandler - Invalid Packet");
            break;
    }
    // Last: the operation started in StartIo leaves the gate, and a closing
    // port may be freed from here on (by this very call).
    port->m_Gate.Leave();
    return 0;
}

void ComPort::ioComEvent_PacketHandler(DWORD error) {
    m_pIOPCom->Release();
    if (m_bAborting.load()) {
        Log()->LogInfo("%sioCOM handler - aborted ___ COM IO ___", Prefix());
        return;
    }
    if (error == ERROR_OPERATION_ABORTED) {
        ListenOnComPort();
        return;
    }
    if ((m_pIOPCom->GetEventMask() & EV_RXCHAR) == 0) return;
    if (!m_pIOPRecv->TryAcquire()) {
        Log()->LogError("%sCOM Port - Async Operation - Error, Recv IOP Packet is in use.",
                        Prefix());
        return;
    }
    m_pIOPRecv->ResetOverlapped();
    bool doneHere = false;
    BOOL started = Read(MayReadHere() ? &doneHere : nullptr);
    DWORD lastError = GetLastError();
    m_pIOPCom->Release();
    if (doneHere) {
        HandleReadHere();
        return;
    }
    // Listening resumes once the read has completed.
    if (started || lastError == ERROR_IO_PENDING) return;
    m_pIOPRecv->Release();
    Log()->LogWarning("%sCOM Port - Async Operation - failed to issue read io (erc: %d)", Prefix(),
                      static_cast<int>(error));
    // A read that cannot even start counts as a failed one, so a device
    // that keeps signalling without data is not spun on.
    ++m_nRecvErrors;
    // A failed re-arm has already freed the packet; a busy one belongs to a
    // wait in progress and is left alone.
    Relisten();
}

void ComPort::ioRead_PacketHandler(DWORD bytes, DWORD error) {
    if (m_bAborting.load()) {
        if (m_pIOPRecv) m_pIOPRecv->Release();
        Log()->LogWarning("%sioRead handler - Aborted ___ READ IO ___", Prefix());
        return;
    }
    if (!m_bInitialized.load() || m_pIOPRecv == nullptr || !m_pIOPRecv->IsInitialised()) return;
    // The packets stay until this handler has left the gate, even when a
    // callback closes the port: after each callback only the abort is checked.
    IOComAsyncPacket* packet = m_pIOPRecv;
    if (bytes > 0) {
        const unsigned count = std::min<unsigned>(bytes, kReadSize);
        packet->AppendData(m_pStagingBuffer, count);
        packet->AppendHistory(m_pStagingBuffer, count);
        std::memset(m_pStagingBuffer, 0, count);
    }
    // Freed before the callbacks: one of them may uninitialise the port.
    packet->Release();

    if (error != 0 && error != ERROR_IO_PENDING) {
        ++m_nRecvErrors;
        Log()->LogWarning("%srecvIO failed, -> (erc: %d)", Prefix(), static_cast<int>(error));
        IOPacketCallback callback = packet->m_IOCompleteCB.load();
        if (m_nRecvErrors >= kReadErrorLimit && callback != nullptr && packet->m_bNotifyOnError) {
            callback(this, packet, 0);
            if (m_bAborting.load()) return;
        }
    } else {
        m_nRecvErrors = 0;
        Log()->LogInfo("%s(erc: %d) -> RECV(%d): %s", Prefix(), static_cast<int>(error),
                       static_cast<int>(bytes), packet->CopyData().c_str());
        Log()->LogInfo(
            m_bDisableZeroRecvCallbacks
                ? "ComPort::ioRead_PacketHandler RECV: m_bDisableZeroRecvCallbacks = true"
                : "ComPort::ioRead_PacketHandler RECV: m_bDisableZeroRecvCallbacks = false");
        if (!m_bDisableZeroRecvCallbacks || bytes > 0) {
            Log()->LogInfo("ComPort::ioRead_PacketHandler RECV: process data");
            IOPacketCallback preProcessor = packet->m_PreProcessorCB.load();
            if (preProcessor != nullptr) {
                Log()->LogInfo("ComPort::ioRead_PacketHandler RECV: m_PreProcessorCB");
                preProcessor(this, packet, 0);
                if (m_bAborting.load()) return;
            }
            IOPacketCallback callback = packet->m_IOCompleteCB.load();
            if (callback != nullptr && packet->m_bNotifyOnSuccess) {
                Log()->LogInfo("ComPort::ioRead_PacketHandler RECV: m_IOCompleteCB");
                callback(this, packet, 0);
                if (m_bAborting.load()) return;
            }
        } else {
            Log()->LogInfo("ComPort::ioRead_PacketHandler RECV: data is not processed");
        }
    }

    if (m_bAborting.load()) return;
    packet->ResetOverlapped();
    bool doneHere = false;
    Relisten(MayReadHere() ? &doneHere : nullptr);
    if (doneHere) HandleReadHere();
}

void ComPort::ioWrite_PacketHandler(DWORD bytes, DWORD error) {
    if (m_bAborting.load()) {
        if (m_pIOPSend) m_pIOPSend->Release();
        Log()->LogWarning("%sioWrite handler - aborted ___ SEND IO ___", Prefix());
        return;
    }
    IOComAsyncPacket* packet = m_pIOPSend;
    if (packet == nullptr) return;
    // The packet is freed only once its buffer is no longer touched here: a
    // new SendData on another thread may fill it as soon as it is free.
    if (error != 0 && error != ERROR_IO_PENDING) {
        ++m_nSendErrors;
        Log()->LogWarning("%s(erc: %d), writeIO failed -> %s", Prefix(), static_cast<int>(error),
                          reinterpret_cast<const char*>(packet->GetData()));
        if (m_nSendErrors < kMaxSendErrors && Resend() == 0) return;
        // Given up (four tries, or the resend was refused): the next write
        // starts with a clean count.
        m_nSendErrors = 0;
        NextWrite();
        IOPacketCallback callback = packet->m_IOCompleteCB.load();
        if (callback != nullptr && packet->m_bNotifyOnError) callback(this, packet, 0);
        return;
    }

    m_nSendErrors = 0;
    Log()->LogInfo("%s(erc: %d) -> SENT(%d): %s", Prefix(), static_cast<int>(error),
                   static_cast<int>(bytes), reinterpret_cast<const char*>(packet->GetData()));
    // A write that waited for this one goes out now. One that cannot start
    // fails its command as a write error would.
    bool next = NextWrite();
    IOPacketCallback callback = packet->m_IOCompleteCB.load();
    if (!next) {
        packet->m_nError = ERROR_GEN_FAILURE;
        if (callback != nullptr && packet->m_bNotifyOnError) callback(this, packet, 0);
        return;
    }
    if (callback != nullptr && packet->m_bNotifyOnSuccess) callback(this, packet, 0);
}

int ComPort::Resend() {
    // The send packet is still held and holds the data: write it again.
    if (!m_bInitialized.load() || !m_bOpen.load() || m_bAborting.load()) {
        Log()->LogError("ComPort::SendData - Failed, Reason: notinit\\notopen\\isAborting");
        return 1;
    }
    if (m_pIOPSend->GetDataLength() == 0) {
        Log()->LogError("ComPort::SendData - Failed, null buffer supplied.");
        return 1;
    }
    m_pIOPSend->ResetOverlapped();
    if (WritePacket() || GetLastError() == ERROR_IO_PENDING) return 0;
    Log()->LogWarning("ComPort::SendData - Failed, 'WriteFile' Failed... erc = %d",
                      static_cast<int>(GetLastError()));
    return 1;
}

bool ComPort::MayReadHere() const {
    return m_nReadsHere.load() < kMaxReadsHere;
}

void ComPort::HandleReadHere() {
    // The bytes were there: handled on this worker, as their packet would
    // have been on the next. The caller's own stay in the gate keeps the
    // port meanwhile.
    ++m_nReadsHere;
    IOAsyncEventHandler(this, m_pCompletionKey, m_pIOPRecv,
                        static_cast<DWORD>(m_pIOPRecv->InternalHigh), 0);
    --m_nReadsHere;
}

void ComPort::HandleWriteHere() {
    // The write's stay in the gate, taken by StartIo, keeps the port until
    // the handler leaves it.
    IOAsyncEventHandler(this, m_pCompletionKey, m_pIOPSend,
                        static_cast<DWORD>(m_pIOPSend->InternalHigh), 0);
}

bool ComPort::Relisten(bool* readDoneHere) {
    if (m_nRecvErrors < kReadErrorLimit) return ListenOnComPort(readDoneHere);
    // A hung-up device fails every read at once: give it a pause.
    return m_pIOPCom->ArmTimer(RelistenAfterErrors, kRelistenDelayMs);
}

void ComPort::RelistenAfterErrors(ComPort*, IOComAsyncPacket* packet, int) {
    auto* port = static_cast<ComPort*>(packet->GetCompletionData());
    if (port != nullptr && !port->IsAborting()) port->ListenOnComPort();
}
