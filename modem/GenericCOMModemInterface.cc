#include "modem/GenericCOMModemInterface.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "io/ComPort.h"
#include "io/ThreadPool.h"
#include "logging/ILogInterface.h"
#include "logging/NullLog.h"

namespace {

// How long a command's time-out may wait for its text to be written.
constexpr unsigned kMaxWriteWaitMs = 1000;

// First occurrence of needle[0..n) in hay[0..len), or null.
BYTE* FindBytes(BYTE* hay, size_t len, const char* needle, size_t n) {
    if (n == 0 || len < n) return nullptr;
    for (size_t i = 0; i + n <= len; ++i) {
        if (hay[i] == static_cast<BYTE>(needle[0]) && memcmp(hay + i, needle, n) == 0) {
            return hay + i;
        }
    }
    return nullptr;
}

unsigned SecondsToMs(int seconds) {
    if (seconds <= 0) return 0;
    unsigned long long ms = static_cast<unsigned long long>(seconds) * 1000ull;
    return ms > 0xFFFFFFFEull ? 0xFFFFFFFEu : static_cast<unsigned>(ms);
}

}  // namespace

GenericCOMModemInterface::GenericCOMModemInterface(ComPort* port)
    : m_OKSpec{"OK", 2, 0, 1, 0}, m_ERRORSpec{"ERROR", 5, 0, 1, 0}, m_pPort(port) {
    m_hReadEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_hWriteEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_pLog = NullLog();  // until the device hands over the line's log
    m_szLastCommand[0] = '\0';
    m_szFormatBuffer[0] = '\0';
    m_szResponse[0] = '\0';
}

GenericCOMModemInterface::~GenericCOMModemInterface() {
    StopSequence();
    DropPendingCommand();
    delete m_pPort;
    m_pPort = nullptr;
    if (m_hReadEvent) CloseHandle(m_hReadEvent);
    if (m_hWriteEvent) CloseHandle(m_hWriteEvent);
}

int GenericCOMModemInterface::Init(int comPort, int baudRate, CAThreadPool* pool,
                                   const char* deviceName) {
    if (!m_pPort || m_pPort->Init(1, this, m_pLog, pool) != 0) {
        m_pLog->LogError("GenericCOMModem::Init - failed to initialize com port.");
        return QV_INITFAILED;
    }
    m_pPool = pool;
    char name[100] = {};
    if (!deviceName) {
        snprintf(name, sizeof(name), "\\\\.\\COM%d", comPort);
        deviceName = name;
    }
    int rc = m_pPort->OpenComPort(deviceName, 0, baudRate, 1);
    if (rc != 0) {
        m_pLog->LogError("GenericCOMModem::Init - failed to attach with COM%d", comPort);
        return rc;
    }
    if (pool && pool->AssociateHandle(m_pPort->GetHandle(), m_pPort->GetCompletionKey()) == 0) {
        m_pPort->SkipPacketsOnSuccess();
    }
    if (m_pPort->ListenOnComPort()) return QV_OK;
    m_pLog->LogError("GenericCOMModem::Init - waiting for COM events failed.");
    return QV_INITFAILED;
}

int GenericCOMModemInterface::ClosePort() {
    return m_pPort ? m_pPort->Uninit() : 0;
}

void GenericCOMModemInterface::ResetResponseSpecs() {
    m_ResponseSpecs.clear();
    m_OKSpec.m_bTriggered = 0;
    m_OKSpec.m_bTerminal = 1;
    m_OKSpec.m_bRequired = 0;
    m_ERRORSpec.m_bTriggered = 0;
    m_ERRORSpec.m_bTerminal = 1;
    m_ERRORSpec.m_bRequired = 0;
    m_ResponseSpecs[1] = &m_ERRORSpec;
    m_ResponseSpecs[2] = &m_OKSpec;
}

bool GenericCOMModemInterface::IssueGenericCMD(bool async, const char* command, int timeoutSeconds,
                                               int cbData, ATCommandCallback callback,
                                               void* cbParam) {
    unsigned timeoutMs = SecondsToMs(timeoutSeconds);
    m_pLog->LogInfo("GenericCOMModemInterface::IssueGenericCMD >>");
    if (async) {
        m_pLog->LogInfo("GenericCOMModemInterface::IssueGenericCMD >> async");
        return AsyncSendFormattedDataEx(command, &m_ResponseSpecs, timeoutMs, callback, cbData,
                                        cbParam) == QV_PENDING;
    }
    m_pLog->LogInfo("GenericCOMModemInterface::IssueGenericCMD >> sync");
    return SendFormattedData(command, nullptr, nullptr, &m_ResponseSpecs, timeoutMs) == 0;
}

unsigned GenericCOMModemInterface::FormatCommand(const char* command, size_t length) {
    memcpy(m_szFormatBuffer, command, length);
    m_szFormatBuffer[length] = '\r';
    if (length + 1 < sizeof(m_szFormatBuffer)) m_szFormatBuffer[length + 1] = '\0';
    return static_cast<unsigned>(length + 1);
}

void GenericCOMModemInterface::ClearTriggered(ResponseSpecMap* specs) {
    for (auto& item : *specs) {
        if (item.second) item.second->m_bTriggered = 0;
    }
}

int GenericCOMModemInterface::AsyncSendFormattedDataEx(const char* command, ResponseSpecMap* specs,
                                                       unsigned timeoutMs,
                                                       ATCommandCallback callback, int cbData,
                                                       void* cbParam) {
    m_pLog->LogError("GenericCOMModemInterface::AsyncSendFormattedDataEx >>");
    if (!command || !specs) {
        m_pLog->LogError("GenericCOMModemInterface::AsyncSendFormattedDataEx >> QV_INVALIDPARAM");
        return QV_INVALIDPARAM;
    }
    // The text and its terminator must fit the buffers whole: never cut a command.
    size_t length = strnlen(command, kCommandBufferSize);
    if (length >= kCommandBufferSize) {
        m_pLog->LogError(
            "GenericCOMModemInterface::AsyncSendFormattedDataEx >> command too long (%d or more "
            "characters), refused.",
            kCommandBufferSize);
        m_pLog->LogError("GenericCOMModemInterface::AsyncSendFormattedDataEx >> QV_INVALIDPARAM");
        return QV_INVALIDPARAM;
    }
    if (!m_pPort || !m_pPort->GetRecvPacket()) return QV_GENERICERROR;
    ClearTriggered(specs);
    auto* pending = new (std::nothrow) PendingCommand{cbData, callback, this, specs, cbParam, {}};
    if (!pending) {
        m_pLog->LogError("GenericCOMModemInterface::AsyncSendFormattedDataEx >> bad_alloc psimp");
        m_pLog->LogError("GenericCOMModemInterface::AsyncSendFormattedDataEx >> QV_OUTOFMEMORY");
        return QV_OUTOFMEMORY;
    }
    bool promptEnds = false;
    for (auto& item : *specs) {
        if (item.second && item.second->m_pszText && strcmp(item.second->m_pszText, ">") == 0)
            promptEnds = item.second->m_bTerminal != 0;
    }
    return IssuePending(command, specs, timeoutMs, promptEnds, pending);
}

int GenericCOMModemInterface::IssueCommand(const char* command, int timeoutSeconds, bool promptEnds,
                                           ATOutcomeHandler done) {
    if (!command || !done) return QV_INVALIDPARAM;
    if (strnlen(command, kCommandBufferSize) >= kCommandBufferSize) {
        m_pLog->LogError(
            "GenericCOMModemInterface::AsyncSendFormattedDataEx >> command too long (%d or more "
            "characters), refused.",
            kCommandBufferSize);
        return QV_INVALIDPARAM;
    }
    if (!m_pPort || !m_pPort->GetRecvPacket()) return QV_GENERICERROR;
    auto* pending = new (std::nothrow) PendingCommand{0, nullptr, this, nullptr, nullptr, {}};
    if (!pending) return QV_OUTOFMEMORY;
    pending->handler = std::move(done);
    return IssuePending(command, nullptr, SecondsToMs(timeoutSeconds), promptEnds, pending);
}

int GenericCOMModemInterface::IssuePending(const char* command, ResponseSpecMap* specs,
                                           unsigned timeoutMs, bool promptEnds,
                                           PendingCommand* pending) {
    (void)specs;
    const size_t length = strnlen(command, kCommandBufferSize);
    // Formatted here, not in the shared buffer: a completion may issue the
    // next command from a worker while this call is still on its way out.
    std::string formatted(command, length);
    formatted.push_back('\r');
    const unsigned formattedLength = static_cast<unsigned>(formatted.size());

    m_pLog->LogInfo("GenericCOMModemInterface::AsyncSendFormattedDataEx >> set callbacks");
    unsigned serial = 0;
    {
        qv::MutexLock guard(m_PendingLock);
        // Nothing received before the command belongs to its answer.
        m_pPort->ClearRecvBuffer();
        m_Answer.Start(std::string(command, length), promptEnds);
        memcpy(m_szLastCommand, formatted.data(), formattedLength);
        m_nLastCommandLength = static_cast<int>(formattedLength);
        m_pPort->SetAsyncReadCallback(OnCommandIO, pending);
        m_pPort->SetAsyncWriteCallback(OnCommandIO, pending);
        serial = ++m_nCommandSerial;
        if (serial == 0) serial = ++m_nCommandSerial;
        m_nActiveSerial = serial;
        m_nActiveTimeoutMs = timeoutMs;
        m_nActiveTimeoutExtensions = 0;
    }

    int result = QV_PENDING;
    if (m_pPort->SendData(formatted.data(), formattedLength) != 0) {
        m_pLog->LogError("GenericCOMModemInterface::AsyncSendFormattedDataEx >> SendData fail");
        PendingCommand* mine = nullptr;
        {
            qv::MutexLock guard(m_PendingLock);
            // Unless the line's close took it meanwhile (and frees it).
            if (m_nActiveSerial == serial) {
                mine = static_cast<PendingCommand*>(m_pPort->GetRecvPacket()->TakeCompletionData());
                m_nActiveSerial = 0;
                m_pPort->SetAsyncReadCallback(IOPacketNoop, nullptr);
                m_pPort->SetAsyncWriteCallback(IOPacketNoop, nullptr);
            }
        }
        delete mine;
        result = QV_GENERICERROR;
    } else {
        m_pLog->LogInfo("GenericCOMModemInterface::AsyncSendFormattedDataEx >> SendData success");
        // Armed only while this command is still in flight: its answer may
        // already have completed it, and a later command must not get this
        // command's time-out.
        qv::MutexLock guard(m_PendingLock);
        IOComAsyncPacket* recv = m_pPort->GetRecvPacket();
        if (m_nActiveSerial == serial && recv && recv->GetCompletionData() == pending) {
            // The time-out names its command: one that fires as its command
            // completes cannot take the next one.
            recv->ArmTimeout(timeoutMs, [this, serial] { OnCommandTimeout(serial); });
        }
    }
    return result;
}

void GenericCOMModemInterface::DropPendingCommand() {
    if (!m_pPort) return;
    IOComAsyncPacket* recv = m_pPort->GetRecvPacket();
    if (!recv) return;
    PendingCommand* pending = nullptr;
    {
        qv::MutexLock guard(m_PendingLock);
        pending = static_cast<PendingCommand*>(recv->TakeCompletionData());
        m_nActiveSerial = 0;
        if (pending) {
            m_pPort->SetAsyncReadCallback(IOPacketNoop, nullptr);
            m_pPort->SetAsyncWriteCallback(IOPacketNoop, nullptr);
        }
    }
    recv->CancelTimer();
    delete pending;
}

void GenericCOMModemInterface::OnCommandTimeout(unsigned serial) {
    qv::MutexLock lock(m_PendingLock);
    if (serial == 0 || m_nActiveSerial != serial || !m_pPort) return;
    IOComAsyncPacket* recv = m_pPort->GetRecvPacket();
    // A command still waiting behind the previous write has not reached the
    // modem: its time starts again. Timed out now, its text would go out
    // later with nobody waiting for the answer, and the next command would
    // be refused while it waits. A write that never ends still times the
    // command out, after at most the longer of its time-out and a second.
    const unsigned maxExtensions = std::max(1u, kMaxWriteWaitMs / std::max(1u, m_nActiveTimeoutMs));
    if (recv && m_nActiveTimeoutExtensions < maxExtensions && m_pPort->WriteWaiting()) {
        ++m_nActiveTimeoutExtensions;
        recv->ArmTimeout(m_nActiveTimeoutMs, [this, serial] { OnCommandTimeout(serial); });
        return;
    }
    auto* pending = recv ? static_cast<PendingCommand*>(recv->TakeCompletionData()) : nullptr;
    m_nActiveSerial = 0;
    if (!pending) return;
    PendingCommand command = *pending;
    delete pending;
    if (m_pPort->IsAborting()) return;
    m_pPort->SetAsyncReadCallback(IOPacketNoop, nullptr);
    m_pPort->SetAsyncWriteCallback(IOPacketNoop, nullptr);
    const ATOutcome outcome = TakeOutcome(QV_TIMEOUT);
    lock.Unlock();
    CallBack(command, outcome, AT_KIND_TIMEOUT);
}

void GenericCOMModemInterface::OnCommandIO(ComPort* port, IOComAsyncPacket* packet, int timedOut) {
    if (!packet || timedOut) return;

    if (!port) return;
    GenericCOMModemInterface* modem = port->GetOwner();
    IOComAsyncPacket* recv = port->GetRecvPacket();
    if (!modem || !recv) return;

    PendingCommand* done = nullptr;
    int result = QV_OK;
    int kind = AT_KIND_RECV;
    qv::MutexLock lock(modem->m_PendingLock);
    {
        auto* pending = static_cast<PendingCommand*>(recv->GetCompletionData());
        if (!pending) return;
        if (port->IsAborting()) {
            // The line is closing: the command ends without a callback.
            recv->TakeCompletionData();
            modem->m_nActiveSerial = 0;
            delete pending;
            return;
        }
        if (packet->GetError() != 0) {
            if (packet->GetKind() == PACKET_KIND_RECV) {
                result = QV_IOREADERROR;
                kind = AT_KIND_RECV;
            } else if (packet->GetKind() == PACKET_KIND_SEND) {
                result = QV_IOWRITEERROR;
                kind = AT_KIND_SEND;
            } else {
                return;
            }
        } else {
            if (packet->GetKind() != PACKET_KIND_RECV) return;
            // Bytes that come while the command's text still waits behind
            // the previous write cannot answer it: a late answer to an
            // earlier command, dropped as stray.
            if (port->WriteWaiting()) {
                port->ClearRecvBuffer();
                return;
            }
            if (!modem->MatchResponse(packet, pending->specs)) return;  // wait for more
        }
        done = static_cast<PendingCommand*>(recv->TakeCompletionData());
        modem->m_nActiveSerial = 0;
        port->SetAsyncReadCallback(IOPacketNoop, nullptr);
        port->SetAsyncWriteCallback(IOPacketNoop, nullptr);
    }
    if (!done) return;
    PendingCommand command = *done;
    delete done;
    lock.Unlock();
    port->ClearRecvBuffer();
    recv->CancelTimer();
    lock.Lock();
    if (port->IsAborting()) return;
    const ATOutcome outcome = modem->TakeOutcome(result);
    lock.Unlock();
    modem->CallBack(command, outcome, kind);
}

ATOutcome GenericCOMModemInterface::TakeOutcome(int result) {
    ATOutcome outcome = m_Answer.Outcome();
    outcome.result = result;
    m_LastOutcome = outcome;
    return outcome;
}

void GenericCOMModemInterface::CallBack(const PendingCommand& command, const ATOutcome& outcome,
                                        int kind) {
    // The caller runs inside the port's gate (a completion or a time-out), so
    // the line stays whole even if the callback closes it.
    if (command.handler) {
        command.handler(outcome);
    } else if (command.callback) {
        command.callback(command.cbData, 1, outcome.result, this, kind, command.cbParam);
    }
}

size_t GenericCOMModemInterface::LoadResponseWindow(IOComAsyncPacket* packet, bool dropEcho) {
    // A copy: the read handler may append to the packet meanwhile.
    return LoadWindow(packet->CopyData(kResponseWindowSize), dropEcho);
}

size_t GenericCOMModemInterface::LoadWindow(const std::string& text, bool dropEcho) {
    const std::string_view data(text.data(), std::min<size_t>(text.size(), kResponseWindowSize));
    const size_t n = data.size();
    const size_t previous = static_cast<size_t>(std::max(m_nResponseLength, 0));
    memcpy(m_szResponse, data.data(), n);
    if (previous > n) memset(m_szResponse + n, 0, previous - n);
    m_szResponse[n] = '\0';
    if (dropEcho && n > 0 && m_nLastCommandLength > 0) {
        BYTE* echo = FindBytes(reinterpret_cast<BYTE*>(m_szResponse), n, m_szLastCommand,
                               static_cast<size_t>(m_nLastCommandLength));
        if (echo) memset(echo, 0x01, static_cast<size_t>(m_nLastCommandLength));
    }
    // The window is one bounded text: a stray NUL from the line must not hide
    // what follows it.
    for (size_t i = 0; i < n; ++i) {
        if (m_szResponse[i] == '\0') m_szResponse[i] = 0x01;
    }
    m_nResponseLength = static_cast<int>(n);
    return n;
}

bool GenericCOMModemInterface::MatchResponse(IOComAsyncPacket* packet, ResponseSpecMap* specs) {
    // Taken, not copied: the answer keeps everything, however long, and the
    // next read brings only new bytes.
    const std::string fresh = packet->TakeData();
    const bool complete = m_Answer.Feed(fresh.data(), fresh.size());
    // The window shows the answer as it came, for the checks that read it.
    LoadWindow(m_Answer.Raw(), m_bEchoSuppression != 0);
    if (specs) MarkSpecs(specs, m_Answer.Outcome());
    return complete;
}

void GenericCOMModemInterface::MarkSpecs(ResponseSpecMap* specs, const ATOutcome& outcome) {
    for (auto& item : *specs) {
        ResponseSpec* spec = item.second;
        if (!spec || !spec->m_pszText) continue;
        const std::string text = spec->m_pszText;
        bool seen;
        if (text == "OK") {
            seen = outcome.final == ATFinal::Ok;
        } else if (text == "ERROR") {
            seen = outcome.IsError();
        } else if (text == ">") {
            seen = outcome.prompt;
        } else {
            seen = outcome.Find(text) != nullptr;
        }
        spec->m_bTriggered = seen ? 1 : 0;
    }
}

bool GenericCOMModemInterface::ScanSpecs(ResponseSpecMap* specs, bool checkRequired) {
    size_t found = 0;
    bool complete = false;
    for (auto& item : *specs) {
        ResponseSpec* spec = item.second;
        if (!spec || !spec->m_pszText || !strstr(m_szResponse, spec->m_pszText)) continue;
        ++found;
        spec->m_bTriggered = 1;
        if (!spec->m_bTerminal) continue;
        complete = true;
        if (checkRequired) {
            for (auto& other : *specs) {
                if (other.second && other.second->m_bRequired && !other.second->m_bTriggered) {
                    complete = false;
                    break;
                }
            }
        }
        if (complete) break;
    }
    return complete || found == specs->size();
}

void GenericCOMModemInterface::OnSyncIO(ComPort* port, IOComAsyncPacket* packet, int timedOut) {
    (void)port;
    if (!packet || timedOut) return;
    auto* modem = static_cast<GenericCOMModemInterface*>(packet->GetCompletionData());
    if (modem && modem->m_hReadEvent) SetEvent(modem->m_hReadEvent);
}

int GenericCOMModemInterface::SendFormattedData(const char* command, char* out, unsigned* outLen,
                                                ResponseSpecMap* specs, unsigned timeoutMs) {
    if (!command || !specs) return QV_INVALIDPARAM;
    size_t length = strnlen(command, kCommandBufferSize);
    if (length >= kCommandBufferSize || !m_pPort) return QV_INVALIDPARAM;
    ClearTriggered(specs);
    FormatCommand(command, length);
    {
        qv::MutexLock guard(m_PendingLock);
        memcpy(m_szLastCommand, m_szFormatBuffer, length + 1);
        m_nLastCommandLength = static_cast<int>(length + 1);
        m_pPort->SetAsyncReadCallback(OnSyncIO, this);
    }
    int result = 1;
    if (m_pPort->SendData(m_szFormatBuffer, static_cast<unsigned>(length + 1)) == 0) {
        result = WaitForResponse(out, outLen, timeoutMs, 0, specs) ? 0 : 2;
    }
    m_szFormatBuffer[0] = '\0';
    qv::MutexLock guard(m_PendingLock);
    m_pPort->SetAsyncReadCallback(IOPacketNoop, nullptr);
    return result;
}

int GenericCOMModemInterface::WaitForResponse(char* out, unsigned* outLen, unsigned timeoutMs,
                                              int ignored, ResponseSpecMap* specs) {
    (void)ignored;
    if (!m_pPort || !m_pPort->IsInitialized() || !m_pPort->IsOpen() || !specs) return 0;
    IOComAsyncPacket* recv = m_pPort->GetRecvPacket();
    bool received = false;
    int silentPeriods = 0;
    while (silentPeriods < 3) {
        DWORD wait = WaitForSingleObject(m_hReadEvent, timeoutMs);
        if (wait == WAIT_TIMEOUT) {
            ++silentPeriods;
            continue;
        }
        if (wait != WAIT_OBJECT_0 || !recv) break;  // a failed wait must not spin
        received = true;
        const size_t n = LoadResponseWindow(recv, false);
        if (ScanSpecs(specs, false)) {
            if (out && outLen && *outLen > 0) {
                size_t copy = std::min<size_t>(n, *outLen - 1);
                memcpy(out, m_szResponse, copy);
                out[copy] = '\0';
                *outLen = static_cast<unsigned>(copy);
            }
            break;
        }
    }
    m_pPort->ClearRecvBuffer();
    return received ? 1 : 0;
}

int GenericCOMModemInterface::AsyncSendFormattedData(const char* command,
                                                     void (*portCallback)(ComPort*,
                                                                          IOComAsyncPacket*, int),
                                                     void* data, unsigned timeoutMs) {
    if (!command) return QV_INVALIDPARAM;
    size_t length = strnlen(command, kCommandBufferSize);
    if (length >= kCommandBufferSize || !m_pPort) return QV_INVALIDPARAM;
    IOPacketCallback callback = portCallback ? portCallback : IOPacketNoop;
    FormatCommand(command, length);
    {
        qv::MutexLock guard(m_PendingLock);
        memcpy(m_szLastCommand, m_szFormatBuffer, length + 1);
        m_nLastCommandLength = static_cast<int>(length + 1);
        m_pPort->SetAsyncReadCallback(callback, data);
        m_pPort->SetAsyncWriteCallback(callback, data);
    }
    int result = QV_PENDING;
    if (m_pPort->SendData(m_szFormatBuffer, static_cast<unsigned>(length + 1)) != 0) {
        qv::MutexLock guard(m_PendingLock);
        m_pPort->SetAsyncReadCallback(IOPacketNoop, nullptr);
        m_pPort->SetAsyncWriteCallback(IOPacketNoop, nullptr);
        result = 1;
    } else if (timeoutMs > 0 && m_pPort->GetRecvPacket()) {
        m_pPort->GetRecvPacket()->ArmTimer(callback, timeoutMs);
    }
    m_szFormatBuffer[0] = '\0';
    return result;
}

void GenericCOMModemInterface::InitComplete(int resultCode, int order) {
    (void)resultCode;
    (void)order;
}

const char* GenericCOMModemInterface::GetErrorText(int resultCode) {
    switch (resultCode) {
        case QV_GENERICERROR:
            return "Generic error";
        case QV_IOWRITEERROR:
            return "IO Write error";
        case QV_IOREADERROR:
            return "IO Read error";
        case QV_INITFAILED:
            return "Init failed";
        case QV_TIMEOUT:
            return "Modem failed to respond (Timeout)";
        case QV_INVALIDRESPONSE:
            return "Invalid response";
        case QV_SIMCARDERROR:
            return "SIM Card Error";
        default:
            return " ";
    }
}
