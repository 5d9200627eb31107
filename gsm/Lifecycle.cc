// GSMDevice: construction and destruction, Init/Uninit, the line state and
// the owner's event handler.
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "gsm/GSMDevice.h"
#include "io/ComPort.h"
#include "io/ThreadPool.h"
#include "logging/ILogInterface.h"
#include "logging/LoggingHandler.h"
#include "logging/NullLog.h"

GSMDevice::GSMDevice(const GSMLineConfig* config, ComPort* port, ILogInterface* log,
                     CAThreadPool* pool)
    : GenericCOMModemInterface(port) {
    memset(&m_Config, 0, sizeof(m_Config));
    if (config) memcpy(&m_Config, config, sizeof(m_Config));

    m_CMGRSpec = ResponseSpec{"+CMGR:", 6, 0, 1, 1};
    m_PromptSpec = ResponseSpec{">", 1, 0, 1, 1};

    m_CNMICaps = CNMICaps{};
    memset(m_szCNMIGroups, 0, sizeof(m_szCNMIGroups));
    m_nInitAttempts = 0;
    m_nFailCode = 0;
    m_bInitialized = 0;
    m_bInitInProgress = 0;
    m_bCanSend = 0;
    m_pfnDeviceEvent = nullptr;
    m_pOwner = nullptr;

    m_pThreadPool = pool;
    m_bEchoSuppression = 1;
    m_pDeviceLog = log;
    SetLineState(LINE_DOWN, "GSMDevice::Constructer");

    if (m_pDeviceLog) {
        char fileName[100] = {};
        snprintf(fileName, sizeof(fileName), "GSM_COM%d.log", m_Config.ComPortNumber);
        m_pDeviceLog->Open(fileName, "GSM_DRV", 1);
        // The line's own file log: no handle means its file could not be made.
        m_bLogUnavailable = dynamic_cast<CLoggingHandler*>(m_pDeviceLog) != nullptr &&
                            m_pDeviceLog->GetHandle() == 0;
        m_pDeviceLog->LogInfo("|============= STARTING LOG - COM: %d =============|",
                              m_Config.ComPortNumber);
        m_pLog = m_pDeviceLog;
    }
}

GSMDevice::~GSMDevice() {
    // Nothing of a sequence may run into a line that is going away, and the
    // port (which logs while it closes) is closed while the log still exists.
    ComPort* port = GetPort();
    if (port && port->IsInitialized()) port->SetAborting();
    StopSequence();
    DropPendingCommand();
    if (port && port->IsInitialized()) ClosePort();
    {
        qv::MutexLock guard(m_RecvLock);
        for (SMSRecv* record : m_RecvQueue) delete record;
        m_RecvQueue.clear();
        m_DeleteList.clear();
    }
    if (m_pDeviceLog) {
        m_pDeviceLog->LogInfo("|==================== END OF LOG ==================|");
        m_pDeviceLog->Close();
        // The interface has no public destructor: the line's log is the
        // library handler built beside it.
        delete dynamic_cast<CLoggingHandler*>(m_pDeviceLog);
        m_pDeviceLog = nullptr;
    }
    // The port (deleted by the engine) must not log into the freed handler.
    m_pLog = NullLog();
}

int GSMDevice::Init() {
    if (IsInitialized() || m_bInitInProgress || IsClosing()) return QV_ALREADYINITIALIZED;
    SetLineState(LINE_INITIALISING, "Init(1)");
    ++m_nInitAttempts;
    // A new run: sequence work may start again after an earlier Uninit.
    StartSequence();
    m_pDeviceLog->LogInfo("GSMDevice::Init - Initializing COM%d.", m_Config.ComPortNumber);
    if (m_nInitAttempts == 1) {
        m_pDeviceLog->LogInfo(
            "GSMDevice::Init - LineConfigs: CanSend(%d) :  CanRecv(%d) : "
            "SupportsInternationalNumbers(%d) : CleanSIM(%d)",
            m_Config.CanSend, m_Config.CanRecv, m_Config.SupportsInternationalNumbers,
            m_Config.CleanSIM);
        m_pDeviceLog->LogInfo(
            "GSMDevice::Init - DeviceConfigs: BaudRate(%d) : StatusReportsEnabled(%d) : "
            "SendRetryCount(%d)",
            m_Config.BaudRate, m_Config.StatusReportsEnabled,
            static_cast<int>(m_Config.SendRetryCount));
        m_pDeviceLog->LogInfo(
            "GSMDevice::Init - DeviceConfigs: CustomISPNumber(%d) : CustomInitString(%d)",
            m_Config.CustomISPNumber, m_Config.CustomInitString);
    }
    m_pDeviceLog->LogInfo("GSMDevice::Init - Initializeing Hardware Layer ... ");
    int code = GenericCOMModemInterface::Init(m_Config.ComPortNumber, m_Config.BaudRate,
                                              m_pThreadPool, nullptr);
    if (code != 0) {
        m_pDeviceLog->LogInfo("GSMDevice::Init - Failed To Initialize Hardware layer(qverror: %d)",
                              code);
    } else {
        m_pDeviceLog->LogInfo("GSMDevice::Init - Sucessfully Initialized Hardware layer");
        // Leaves any PDU entry a previous run may have left open; a modem in
        // command mode ignores it.
        GetPort()->SendData("\x1B", 1);
        m_pDeviceLog->LogInfo("GSMDevice::Init - Initializing Attached Modem ...");
        // Marked before the sequence starts: its end (on a worker) clears it.
        m_bInitInProgress = 1;
        code = ModemInitProcess();
        if (code == 0) return QV_OK;
        m_bInitInProgress = 0;
    }
    InitComplete(QV_INITFAILED, -1);
    return code;
}

void GSMDevice::BeginUninit(std::function<void()> done) {
    {
        qv::MutexLock lock(m_CloseLock);
        if (m_bClosing) {
            if (done) m_AfterClose.push_back(std::move(done));
            return;
        }
        m_bClosing = true;
        if (done) m_AfterClose.push_back(std::move(done));
    }
    m_pDeviceLog->LogInfo("GSMDevice::Uninit >>");
    ComPort* port = GetPort();
    // A modem left in PDU entry would swallow the next start's commands.
    if (port && port->IsInitialized() && m_bPduEntry.exchange(false)) {
        port->SendData("\x1B", 1);
        m_pDeviceLog->LogWarning("GSMDevice::Uninit - ESC sent, a PDU was unanswered.");
    }
    // Aborting first: completions from now on end their commands silently
    // and no new command can be written, so the command dropped below is
    // the last one.
    if (port && port->IsInitialized()) port->SetAborting();
    StopSequence();
    m_RecvRetry.Cancel();
    m_StoragePoll.Cancel();
    DropPendingCommand();
    if (port) {
        port->BeginUninit([this] { FinishClose(); });
    } else {
        FinishClose();
    }
}

void GSMDevice::FinishClose() {
    // Nothing of this run is in flight any more: no step can touch the job
    // or the records now.
    AbortSending();
    m_bInitInProgress = 0;
    std::deque<uint32_t> deleteList;
    std::vector<SMSRecv*> records;
    {
        qv::MutexLock guard(m_RecvLock);
        deleteList.swap(m_DeleteList);
        records.swap(m_RecvQueue);
    }
    // Records of a stored-message pass exist before the line is initialised:
    // they are freed either way.
    for (SMSRecv* record : records) delete record;
    if (m_bInitialized && !deleteList.empty()) {
        std::string text = "SMS Delete vector not empty... SMS ID(s) ";
        for (uint32_t index : deleteList) {
            text += ", ";
            text += std::to_string(index);
        }
        m_pDeviceLog->LogInfo("%s", text.c_str());
    }
    m_bInitialized = 0;
    SetLineState(LINE_DOWN, "UnInit");
    std::vector<std::function<void()>> after;
    {
        qv::MutexLock lock(m_CloseLock);
        m_bClosing = false;
        after.swap(m_AfterClose);
    }
    for (auto& fn : after) fn();
}

int GSMDevice::Uninit(int reason) {
    (void)reason;
    const int result = m_bInitialized ? QV_OK : QV_NOTINITIALIZED;
    if (CAThreadPool::OnWorkerThread()) {
        // A worker never waits for other workers: the close ends on its own.
        BeginUninit(nullptr);
        return result;
    }
    RunAndWait([this](std::function<void()> done) { BeginUninit(std::move(done)); });
    return result;
}

void GSMDevice::AfterClose(std::function<void()> fn) {
    {
        qv::MutexLock lock(m_CloseLock);
        if (m_bClosing) {
            m_AfterClose.push_back(std::move(fn));
            return;
        }
    }
    fn();
}

bool GSMDevice::IsClosing() {
    qv::MutexLock lock(m_CloseLock);
    return m_bClosing;
}

namespace {
const char* LineStateName(int state) {
    switch (state) {
        case LINE_IDLE:
            return "IDLE";
        case LINE_RECEIVING:
            return "RECEIVING";
        case LINE_DOWN:
            return "DOWN";
        case LINE_INITIALISING:
            return "INITIALISING";
        case LINE_SENDING:
            return "SENDING";
        default:
            return "?";
    }
}
}  // namespace

void GSMDevice::SetLineState(int state, const char* reason) {
    const int old = m_nLineState.exchange(state);
    if (old != state && m_pDeviceLog) {
        m_pDeviceLog->LogInfo("GSMDevice::SetLineState - %s -> %s %s", LineStateName(old),
                              LineStateName(state), reason ? reason : "");
    }
}

int GSMDevice::AcquireLine(int state, const char* reason) {
    int expected = LINE_IDLE;
    if (!m_nLineState.compare_exchange_strong(expected, state)) return 0;
    if (m_pDeviceLog) {
        m_pDeviceLog->LogInfo("GSMDevice::SetLineState - IDLE -> %s %s", LineStateName(state),
                              reason ? reason : "");
    }
    return 1;
}

void GSMDevice::SetDeviceEventHandler(DeviceEventHandler handler, void* owner) {
    m_pfnDeviceEvent = handler;
    m_pOwner = owner;
}

bool GSMDevice::RaiseEvent(int event, int code, void* data) {
    DeviceEventHandler handler = m_pfnDeviceEvent;
    if (!handler) return false;
    handler(event, this, code, m_pOwner, data);
    return true;
}

const char* GSMDevice::GetErrorText(int code) {
    switch (code) {
        case QV_GENERICERROR:
            return "Generic error";
        case QV_IOWRITEERROR:
            return "IO Write error";
        case QV_IOREADERROR:
            return "IO Read error";
        case QV_INITFAILED:
            return "Initialization failed";
        case QV_TIMEOUT:
            return "Modem Failed To Respond (Timeout)";
        case QV_INVALIDRESPONSE:
            return "GSM Modem Invalid response";
        case QV_SIMCARDERROR:
            return "SIM Card error";
        default:
            return "Undefined error";
    }
}
