// GSMDevice: construction and destruction, Init/Uninit, the line state and
// the owner's event handler.
#include <cstdio>
#include <cstring>
#include <string>

#include "gsm/GSMDevice.h"
#include "io/ComPort.h"
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
        std::lock_guard<std::mutex> guard(m_RecvLock);
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
    if (IsInitialized() || m_bInitInProgress) return QV_ALREADYINITIALIZED;
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

int GSMDevice::Uninit(int reason) {
    (void)reason;
    std::lock_guard<std::mutex> serial(m_UninitLock);
    m_nSession.fetch_add(1);
    m_pDeviceLog->LogInfo("GSMDevice::Uninit >>");
    ComPort* port = GetPort();
    const bool portUp = port && port->IsInitialized();
    // Aborting first: completions from now on end their commands silently
    // and no new command can be written.
    if (portUp) port->SetAborting();
    // Command callbacks (receive and send steps among them) that already
    // started end before their records and jobs go.
    WaitForCallbacks();
    // Sequence work (pause, retry back-off, a callback on a worker) ends here.
    StopSequence();
    DropPendingCommand();
    if (portUp) {
        port->SetPreProcessorCallback(IOPacketNoop, nullptr);
        ClosePort();
    }
    AbortSending();
    m_bInitInProgress = 0;

    std::deque<uint32_t> deleteList;
    std::vector<SMSRecv*> records;
    {
        std::lock_guard<std::mutex> guard(m_RecvLock);
        deleteList.swap(m_DeleteList);
        records.swap(m_RecvQueue);
    }
    // Records of a stored-message pass exist before the line is initialised:
    // they are freed either way.
    for (SMSRecv* record : records) delete record;
    if (!m_bInitialized) {
        // Closed mid-initialisation: the line is down, not initialising.
        SetLineState(LINE_DOWN, "UnInit");
        return QV_NOTINITIALIZED;
    }

    if (!deleteList.empty()) {
        std::string text = "SMS Delete vector not empty... SMS ID(s) ";
        for (uint32_t index : deleteList) {
            text += ", ";
            text += std::to_string(index);
        }
        m_pDeviceLog->LogInfo("%s", text.c_str());
    }
    m_bInitialized = 0;
    SetLineState(LINE_DOWN, "UnInit");
    return QV_OK;
}

void GSMDevice::SetLineState(int state, const char* reason) {
    (void)reason;
    m_nLineState.store(state);
}

int GSMDevice::AcquireLine(int state, const char* reason) {
    (void)reason;
    int expected = LINE_IDLE;
    return m_nLineState.compare_exchange_strong(expected, state) ? 1 : 0;
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
