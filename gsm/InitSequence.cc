// The initialisation command list, the AT+CNMI negotiation and the end of an
// initialisation run (success, retry after a back-off, or giving up).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "gsm/GSMDevice.h"
#include "io/ComPort.h"
#include "logging/ILogInterface.h"

namespace {

constexpr int kMaxInitAttempts = 3;
// The last entry: the listing again once indications are routed, so that a
// message stored before AT+CNMI took effect is not left for the next start.
constexpr int kInitSequenceEnd = 14;
constexpr int kCNMIFollowUpTimeoutSec = 20;

// Defaults when the modem's capabilities are unknown: mode 2, mt 0, bm 0,
// ds 0, bfr 1.
constexpr uint32_t kDefaultMasks[5] = {0x4, 0x1, 0x1, 0x1, 0x2};

const char* const kGroupWarnings[5] = {"Failed to Parse CMNI 'Mode' Parameter (param 1)",
                                       "Failed to Parse CMNI 'MT' Parameter (param 2)",
                                       "Failed to Parse CMNI 'BM' Parameter (param 3)",
                                       "Failed to Parse CMNI 'DS' Parameter (param 4)",
                                       "Failed to Parse CMNI 'BFR' Parameter (param 5)"};

// A configuration text field of the host record, which need not end in NUL.
template <size_t N>
std::string ConfigText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// The decimal number at p, as atoi reads it (0 without digits).
int NumberAt(const char* p) {
    while (*p == ' ') ++p;
    int value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value < 100000) value = value * 10 + (*p - '0');
    }
    return value;
}

void AddValue(uint32_t* mask, int value) {
    if (value >= 0 && value <= 3) *mask |= 1u << value;
}

std::string MaskText(uint32_t mask) {
    std::string text;
    for (int v = 0; v <= 3; ++v) {
        if (mask & (1u << v)) {
            text += static_cast<char>('0' + v);
            text += ',';
        }
    }
    return text;
}

}  // namespace

int GSMDevice::ModemInitProcess() {
    if (!m_pfnDeviceEvent) return QV_GENERICERROR;
    m_CommandList.clear();
    m_CommandList.reserve(16);  // the longest sequence, in one block
    // Each attempt asks the modem again: nothing of an earlier answer is used.
    m_CNMIOffered = CNMICaps{};
    m_ReadStorage = storage::kNoMemory;
    ATCommandEntry entry;
    auto add = [this, &entry](int order, const char* command, int timeout, int critical,
                              ResultCheck check, const char* alternative) {
        entry = ATCommandEntry{};
        entry.Set(order, command, timeout, critical, check, check ? this : nullptr, alternative);
        m_CommandList.push_back(entry);
    };

    add(1, "AT", 200, 1, nullptr, nullptr);
    add(2, "AT+CNMI=?", 200, 0, OnCNMITestResult, nullptr);
    if (m_Config.CleanSIM) {
        m_pDeviceLog->LogInfo(
            "SIM Card Cleaning Enabled. [This CMD May Take up to 40 seconds to complete]");
        add(3, "AT+CMGD=1,4", 40, 0, nullptr, nullptr);
    }
    add(4, "ATZ", 40, 0, nullptr, nullptr);
    add(5, "ATE", 40, 0, nullptr, "ATE0");
    const std::string initString = ConfigText(m_Config.InitString);
    if (m_Config.CustomInitString && !initString.empty()) {
        m_pDeviceLog->LogInfo("using Custom INIT Code('%s')", initString.c_str());
        add(6, initString.c_str(), 50, 0, nullptr, nullptr);
    } else {
        add(6, "AT&F", 50, 0, nullptr, nullptr);
    }
    // Its check turns on numeric error reports and asks the SIM's state.
    add(7, "AT", 20, 0, OnModemReady, nullptr);
    add(8, "AT+CMGF=0", 400, 1, nullptr, nullptr);
    add(9, "AT+CSCA?", 50, 0, nullptr, nullptr);
    const std::string smsc = ConfigText(m_Config.SMSCNumber);
    if (m_Config.CustomISPNumber && !smsc.empty()) {
        char command[1024] = {};
        snprintf(command, sizeof(command), "AT+CSCA=\"%s\"", smsc.c_str());
        m_pDeviceLog->LogInfo("using Custom SMSC Code('%s')", smsc.c_str());
        add(10, command, 50, 0, nullptr, nullptr);
    }
    if (m_Config.CanRecv) add(11, "AT+CMGL=4", 100, 0, OnCMGLResult, nullptr);
    add(12, "AT+CSQ", 20, 0, OnCSQResult, nullptr);

    if (m_Config.CanRecv) {
        if (GetPort()) GetPort()->ClearRecvBuffer();
        AddCNMIRoutingCMD();
        add(14, "AT+CMGL=4", 100, 0, OnCMGLResult, nullptr);
    } else {
        m_pDeviceLog->LogInfo("recieve mode is not enabled ... sms messages will not be recieved.");
    }
    ResetResponseSpecs();
    if (GetPort()) GetPort()->ClearRecvBuffer();
    ExecuteNextCMD(0, kInitSequenceEnd);
    return QV_OK;
}

// The first of the preferred values the modem offers; mask 0 (no answer to
// AT+CNMI=?) takes the first preference. Without a preferred one, the
// lowest value offered, when anyOffered; else the first preference.
static int Pick(uint32_t mask, std::initializer_list<int> preferred, bool anyOffered = true) {
    if (mask == 0) return *preferred.begin();
    for (int value : preferred) {
        if (mask & (1u << value)) return value;
    }
    for (int value = 0; anyOffered && value < 4; ++value) {
        if (mask & (1u << value)) return value;
    }
    return *preferred.begin();
}

CNMICaps GSMDevice::ChooseCNMI() const {
    // Each value from the modem's own ranges: indications in mode 2, else 1,
    // else 3 (a modem offering only 0 is polled); new messages indicated with
    // +CMTI (mt 1), else none (polled): never routed past the storage; no
    // cell broadcast; status reports as asked; the buffer as before.
    const CNMICaps& caps = m_CNMIOffered;
    CNMICaps choice;
    choice.mode = static_cast<uint32_t>(Pick(caps.mode, {2, 1, 3}));
    choice.mt = static_cast<uint32_t>(Pick(caps.mt, {1, 0}, false));
    choice.bm = static_cast<uint32_t>(Pick(caps.bm, {0}));
    choice.ds = static_cast<uint32_t>(m_Config.StatusReportsEnabled ? Pick(caps.ds, {1, 2})
                                                                    : Pick(caps.ds, {0}));
    choice.bfr = static_cast<uint32_t>(Pick(caps.bfr, {1, 0, 2}, false));
    return choice;
}

std::string GSMDevice::CNMIRoutingCommand() const {
    const CNMICaps c = ChooseCNMI();
    char command[48];
    snprintf(command, sizeof(command), "AT+CNMI=%u,%u,%u,%u,%u", c.mode, c.mt, c.bm, c.ds, c.bfr);
    return command;
}

void GSMDevice::AddCNMIRoutingCMD() {
    const std::string command = CNMIRoutingCommand();
    ATCommandEntry entry;
    entry.Set(13, command.c_str(), 400, 1, nullptr, nullptr, nullptr);
    m_CommandList.push_back(entry);
}

int GSMDevice::OnModemReady(int result, ATCommandEntry* entry) {
    (void)result;
    if (!entry || !entry->context) return QV_GENERICERROR;
    auto* device = static_cast<GSMDevice*>(entry->context);
    // Numeric "+CME ERROR: <n>" from here on; a modem without it goes on.
    if (device->IssueCommand("AT+CMEE=1", 20, false, [device](const ATOutcome&) {
            device->AskSIMState(0);
        }) != QV_PENDING) {
        return QV_IOWRITEERROR;
    }
    return QV_PENDING;
}

void GSMDevice::AskSIMState(unsigned waitedMs) {
    if (IsSequenceStopped()) return;
    if (IssueCommand("AT+CPIN?", 20, false, [this, waitedMs](const ATOutcome& outcome) {
            OnSIMState(outcome, waitedMs);
        }) != QV_PENDING) {
        InitComplete(QV_IOWRITEERROR, 7);
    }
}

void GSMDevice::OnSIMState(const ATOutcome& outcome, unsigned waitedMs) {
    if (IsSequenceStopped()) return;
    if (outcome.result != QV_OK) {
        InitComplete(outcome.result, 7);
        return;
    }
    if (outcome.Ok()) {
        const std::string* line = outcome.Find("+CPIN:");
        std::string state = line ? line->substr(6) : std::string("READY");
        state.erase(0, state.find_first_not_of(' '));
        if (state == "READY") {
            AskStorage();
            return;
        }
        m_pDeviceLog->LogError("GSMDevice::CheckSIM - SIM not ready: %s", state.c_str());
        InitComplete(QV_SIMCARDERROR, 7);
        return;
    }
    const bool busy = (outcome.final == ATFinal::CmeError && outcome.errorCode == 14) ||
                      outcome.errorText.find("busy") != std::string::npos ||
                      outcome.errorText.find("BUSY") != std::string::npos;
    if (busy) {
        // A SIM still starting after power-on: asked again within this attempt.
        if (waitedMs + kSimBusyPollMs > kSimBusyLimitMs) {
            m_pDeviceLog->LogError("GSMDevice::CheckSIM - SIM still busy after %u ms.", waitedMs);
            InitComplete(QV_SIMCARDERROR, 7);
            return;
        }
        m_pDeviceLog->LogWarning("GSMDevice::CheckSIM - SIM busy, asking again.");
        ScheduleSequenceStep(kSimBusyPollMs,
                             [this, waitedMs] { AskSIMState(waitedMs + kSimBusyPollMs); });
        return;
    }
    if (outcome.final == ATFinal::Error) {
        // No SIM state to be had from this modem: the next steps will tell.
        m_pDeviceLog->LogWarning("GSMDevice::CheckSIM - SIM state not reported, going on.");
        AskStorage();
        return;
    }
    m_pDeviceLog->LogError("GSMDevice::CheckSIM - SIM not ready: %s",
                           outcome.errorCode >= 0
                               ? ("error " + std::to_string(outcome.errorCode)).c_str()
                               : outcome.errorText.c_str());
    InitComplete(QV_SIMCARDERROR, 7);
}

void GSMDevice::AskStorage() {
    if (IsSequenceStopped()) return;
    if (!m_Config.CanRecv) {
        ExecuteNextCMD(7, 0);
        return;
    }
    if (IssueCommand("AT+CPMS?", 20, false, [this](const ATOutcome& outcome) {
            OnStorageAnswer(outcome);
        }) != QV_PENDING) {
        InitComplete(QV_IOWRITEERROR, 7);
    }
}

void GSMDevice::OnStorageAnswer(const ATOutcome& outcome) {
    if (IsSequenceStopped()) return;
    if (outcome.result != QV_OK) {
        InitComplete(outcome.result, 7);
        return;
    }
    // +CPMS: <mem1>,<used1>,<total1>,<mem2>,<used2>,<total2>,<mem3>,...
    std::vector<std::string> fields;
    if (const std::string* line = outcome.Ok() ? outcome.Find("+CPMS:") : nullptr) {
        std::string field;
        for (char c : line->substr(6)) {
            if (c == ',') {
                fields.push_back(field);
                field.clear();
            } else {
                field += c;
            }
        }
        fields.push_back(field);
    }
    const uint32_t reading = fields.empty() ? storage::kNoMemory : storage::FromName(fields[0]);
    const uint32_t incoming = fields.size() > 6 ? storage::FromName(fields[6]) : reading;
    if (reading == storage::kNoMemory) {
        m_pDeviceLog->LogWarning("GSMDevice::CheckStorage - storage not reported, using SM.");
        m_ReadStorage = storage::SM;
        AskMessageService();
        return;
    }
    m_ReadStorage = reading;
    if (incoming == reading || incoming == storage::kNoMemory) {
        AskMessageService();
        return;
    }
    // New messages go elsewhere: read and list there.
    char select[24];
    snprintf(select, sizeof(select), "AT+CPMS=\"%s\"", storage::Name(incoming));
    m_pDeviceLog->LogInfo("GSMDevice::CheckStorage - new messages are stored in %s.",
                          storage::Name(incoming));
    if (IssueCommand(select, 20, false, [this, incoming](const ATOutcome& selected) {
            if (IsSequenceStopped()) return;
            if (selected.Ok()) {
                m_ReadStorage = incoming;
            } else {
                m_pDeviceLog->LogWarning("GSMDevice::CheckStorage - %s not selected.",
                                         storage::Name(incoming));
            }
            AskMessageService();
        }) != QV_PENDING) {
        InitComplete(QV_IOWRITEERROR, 7);
    }
}

void GSMDevice::AskMessageService() {
    if (IsSequenceStopped()) return;
    m_bAckReports = false;
    if (!m_Config.StatusReportsEnabled) {
        ExecuteNextCMD(7, 0);
        return;
    }
    // Service 1 (phase 2+): a "+CDS" report must be acknowledged.
    if (IssueCommand("AT+CSMS?", 20, false, [this](const ATOutcome& outcome) {
            if (IsSequenceStopped()) return;
            const std::string* line = outcome.Ok() ? outcome.Find("+CSMS:") : nullptr;
            m_bAckReports = line != nullptr && std::atoi(line->substr(6).c_str()) == 1;
            ExecuteNextCMD(7, 0);
        }) != QV_PENDING) {
        InitComplete(QV_IOWRITEERROR, 7);
    }
}

int GSMDevice::OnCNMITestResult(int result, ATCommandEntry* entry) {
    (void)result;
    if (!entry || !entry->context) return QV_GENERICERROR;
    auto* device = static_cast<GSMDevice*>(entry->context);
    ILogInterface* log = device->m_pDeviceLog;

    bool parsed = false;
    if (device->m_Config.CNMIOverride) {
        const std::string params = ConfigText(device->m_Config.CNMIParameters);
        log->LogInfo("CNMI Overide Parameters Flag Specfied, Using '%s'", params.c_str());
        char text[600] = {};
        snprintf(text, sizeof(text), "CNMI: %s", params.c_str());
        parsed = device->ParseCNMIRanges(text);
        if (!parsed) {
            log->LogWarning(
                "Invalid CNMI Parameter format used, Attempting to aquire CNMI settings from "
                "attached device");
        }
    }
    if (!parsed && device->m_OKSpec.m_bTriggered) {
        parsed = device->ParseCNMIRanges(device->GetResponseBuffer());
    }

    uint32_t* masks[5] = {&device->m_CNMICaps.mode, &device->m_CNMICaps.mt, &device->m_CNMICaps.bm,
                          &device->m_CNMICaps.ds, &device->m_CNMICaps.bfr};
    // What the modem offers, group by group (0: not known).
    CNMICaps offered;
    uint32_t* offeredMasks[5] = {&offered.mode, &offered.mt, &offered.bm, &offered.ds,
                                 &offered.bfr};
    if (!parsed) {
        log->LogWarning(
            "Failed to parse CNMI response (Invalid Format?), using default CNMI settings.");
        for (int i = 0; i < 5; ++i) *masks[i] = kDefaultMasks[i];
    } else {
        for (int i = 0; i < 5; ++i) {
            if (!ParseCNMIParam(device->m_szCNMIGroups[i], masks[i])) {
                log->LogWarning("%s", kGroupWarnings[i]);
                *masks[i] = kDefaultMasks[i];
            } else {
                *offeredMasks[i] = *masks[i];
            }
        }
    }
    device->LogCNMIParams();
    // The routing command of this attempt follows this answer.
    device->m_CNMIOffered = offered;
    const std::string routing = device->CNMIRoutingCommand();
    for (ATCommandEntry& other : device->m_CommandList) {
        if (other.order == 13)
            snprintf(other.command, sizeof(other.command), "%s", routing.c_str());
    }

    // Mode 2 always; only the bfr capability changes the command.
    const char* command =
        (device->m_CNMICaps.bfr & 0x2) ? "AT+CNMI=2,0,0,0,1" : "AT+CNMI=2,0,0,0,0";
    snprintf(entry->command, sizeof(entry->command), "%s", command);
    entry->check = nullptr;
    device->ResetResponseSpecs();
    if (device->GetPort()) device->GetPort()->ClearRecvBuffer();
    if (device->IssueGenericCMD(true, entry->command, kCNMIFollowUpTimeoutSec, entry->order,
                                OnSequenceResult, entry)) {
        return QV_PENDING;
    }
    return QV_IOWRITEERROR;
}

bool GSMDevice::ParseCNMIRanges(const char* text) {
    m_CNMICaps = CNMICaps{};
    memset(m_szCNMIGroups, 0, sizeof(m_szCNMIGroups));
    if (!text) return false;
    const char* p = strstr(text, "CNMI");
    if (!p) return false;
    constexpr size_t kSlotChars = sizeof(m_szCNMIGroups[0]) - 1;
    int slot = 0;
    size_t used = 0;
    bool inGroup = false;
    for (; *p; ++p) {
        const char c = *p;
        if (c == ')') {
            if (used < kSlotChars) m_szCNMIGroups[slot][used++] = c;
            inGroup = false;
            used = 0;
            if (++slot == 5) return true;
        } else if (!inGroup) {
            if (c == '(') {
                inGroup = true;
                m_szCNMIGroups[slot][used++] = c;
            }
        } else if (used < kSlotChars) {
            m_szCNMIGroups[slot][used++] = c;
        }
    }
    return false;
}

bool GSMDevice::ParseCNMIParam(const char* group, uint32_t* mask) {
    if (!group || !mask) return false;
    const size_t length = strlen(group);
    if (const char* dash = strchr(group, '-')) {
        if (length <= 4) return false;
        if (dash == group || dash[-1] == ')' || dash[1] == ')') return true;
        const int first = NumberAt(dash - 1);
        const int last = NumberAt(dash + 1);
        if (first < last) {
            for (int v = first, n = 0; v <= last && n < 6; ++v, ++n) AddValue(mask, v);
        }
        return true;
    }
    if (strchr(group, ',')) {
        if (length <= 4) return false;
        bool added = false;
        for (size_t i = 1; i < length; ++i) {
            if (group[i] != ',' || group[i - 1] == ')' || group[i + 1] == ')') continue;
            AddValue(mask, NumberAt(group + i - 1));
            AddValue(mask, NumberAt(group + i + 1));
            added = true;
        }
        return added;
    }
    for (const char* p = group; *p; ++p) {
        if (*p == '(' || *p == ')' || *p == ' ') continue;
        AddValue(mask, *p - '0');
        return true;
    }
    return false;
}

void GSMDevice::LogCNMIParams() {
    m_pDeviceLog->LogInfo(
        "Using 'AT+CNMI' Parameters: (1)<mode>: '%s' ||  (2)<mt>:  '%s' || (3)<bm>: '%s' || "
        "(4)<ds>: '%s' || (5)<bfr>: '%s'",
        MaskText(m_CNMICaps.mode).c_str(), MaskText(m_CNMICaps.mt).c_str(),
        MaskText(m_CNMICaps.bm).c_str(), MaskText(m_CNMICaps.ds).c_str(),
        MaskText(m_CNMICaps.bfr).c_str());
}

void GSMDevice::InitComplete(int result, int stage) {
    // A run ended by a close reports nothing: whoever closed the line
    // decides what comes next.
    if (IsSequenceStopped()) return;
    if (result == QV_OK) {
        if (GetPort()) GetPort()->SetPreProcessorCallback(PreProccessRecvSMS, this);
        m_pDeviceLog->LogInfo("GSMDevice::InitComplete: Recieve PreProcessor Set.");
        m_pDeviceLog->LogInfo(
            "GSMDevice::InitComplete: Successfully initialized GSM modem on COM: %d.",
            m_Config.ComPortNumber);
        m_bInitialized = 1;
        m_bCanSend = m_Config.CanSend;
        const CNMICaps routing = ChooseCNMI();
        m_bPollStorage = m_Config.CanRecv && (routing.mode == 0 || routing.mt != 1);
        if (m_bPollStorage) {
            m_pDeviceLog->LogWarning(
                "GSMDevice::InitComplete: no new-message indications from this modem, storage "
                "listed every %u s.",
                kStoragePollMs / 1000);
            ScheduleStoragePoll();
        }
        SetLineState(LINE_IDLE, "(1)InitComplete");
        RaiseEvent(DEV_INIT_OK, QV_OK, nullptr);
        m_bInitInProgress = 0;
        RaiseEvent(DEV_LINE_IDLE, 0, nullptr);
        return;
    }

    const char* text = GetErrorText(result);
    if (m_nInitAttempts < kMaxInitAttempts) {
        m_pDeviceLog->LogError(
            "GSMDevice::InitComplete: Failed to initialize GSM modem, %s (stage %d) ... (RETRY: "
            "%d/%d)",
            text, stage, m_nInitAttempts.load(), kMaxInitAttempts);
        unsigned waitMs = kRetryWaitMs;
        if (result == QV_INVALIDRESPONSE || result == QV_SIMCARDERROR) {
            waitMs = kRetryWaitLongMs;
            m_pDeviceLog->LogInfo("GSMDevice::InitComplete: Waiting before reinit (%d ms) .... ",
                                  static_cast<int>(waitMs));
        } else {
            m_pDeviceLog->LogInfo("GSMDevice::InitComplete: Waiting before reinit(300 ms) ... ");
        }
        // The wait runs as a timer, not on a sleeping worker; closing the line
        // cancels it together with the retry.
        ScheduleSequenceStep(waitMs, [this, result] {
            m_bInitInProgress = 0;
            if (!RaiseEvent(DEV_INIT_RETRY, result, nullptr)) {
                m_pDeviceLog->LogError(
                    "GSMDevice::InitComplete: (1)Error Device Callback is NULL.");
            }
        });
        return;
    }

    SetLineState(LINE_DOWN, "(2)InitComplete");
    m_pDeviceLog->LogError(
        "GSMDevice::InitComplete: Failed to initialize GSM modem, %s (stage %d).. (RETRY: %d/%d)",
        text, stage, m_nInitAttempts.load(), kMaxInitAttempts);
    m_pDeviceLog->LogError(
        "GSMDevice::InitComplete: Failed to initialize GSM modem on COM:%d , after %d attempt(s).",
        m_Config.ComPortNumber, kMaxInitAttempts);
    m_nFailCode = result;
    m_bInitInProgress = 0;
    if (!RaiseEvent(DEV_INIT_FAILED, result, nullptr)) {
        m_pDeviceLog->LogError("GSMDevice::InitComplete: (2)Error Device Callback is NULL.");
    }
}
