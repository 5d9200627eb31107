// Result checks of the initialisation list that look at the modem's state:
// the reception strength (AT+CSQ) and messages already stored (AT+CMGL=4),
// which are handed to the receive path before the line reports ready.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "gsm/GSMDevice.h"
#include "io/ComPort.h"
#include "logging/ILogInterface.h"
#include "pdu/PDUCodec.h"

namespace {

constexpr int kLotsOfMessages = 40;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string Trim(const std::string& text) {
    const char* space = " \t\r\n";
    size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

}  // namespace

int GSMDevice::OnCSQResult(int result, ATCommandEntry* entry) {
    (void)result;
    if (!entry || !entry->context) return QV_GENERICERROR;
    auto* device = static_cast<GSMDevice*>(entry->context);
    ILogInterface* log = device->m_pDeviceLog;
    if (!device->m_OKSpec.m_bTriggered || device->m_ERRORSpec.m_bTriggered) {
        log->LogError("Failed to aquire reception strength.");
        return QV_GENERICERROR;
    }
    const char* found = strstr(device->GetResponseBuffer(), "+CSQ:");
    if (!found) return QV_OK;
    // The first run of digits on the answer's own line; nothing when there is none.
    const char* p = found + 5;
    while (*p && *p != '\r' && *p != '\n' && !IsDigit(*p)) ++p;
    if (!IsDigit(*p)) return QV_OK;
    int strength = 0;
    for (; IsDigit(*p); ++p) {
        if (strength < 1000) strength = strength * 10 + (*p - '0');
    }
    if (strength >= 99) {
        log->LogInfo("Possible network connection error, reception stength = %d.", strength);
    } else if (strength >= 20) {
        log->LogInfo("Reception is good, reception strength = %d.", strength);
    } else if (strength >= 12) {
        log->LogInfo("Reception is a bit low, reception strength = %d", strength);
    } else {
        log->LogInfo("Reception is very low, reception strength = %d", strength);
    }
    return QV_OK;
}

std::vector<GSMDevice::ListedEntry> GSMDevice::ListedEntries(
    const std::vector<std::string>& lines) {
    std::vector<ListedEntry> entries;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].compare(0, 6, "+CMGL:") != 0) continue;
        // The header's first field is the index, whatever the others hold
        // (an alpha field may hold commas, quotes or "OK").
        const std::string fields = lines[i].substr(6);
        const std::string indexText = Trim(fields.substr(0, fields.find(',')));
        const bool hasPdu = i + 1 < lines.size() && lines[i + 1].compare(0, 6, "+CMGL:") != 0;
        if (indexText.empty() || !IsDigit(indexText[0]) || !hasPdu) continue;
        entries.push_back(
            {static_cast<uint32_t>(strtoul(indexText.c_str(), nullptr, 10)), Trim(lines[i + 1])});
        ++i;
    }
    return entries;
}

int GSMDevice::OnCMGLResult(int result, ATCommandEntry* entry) {
    (void)result;
    if (!entry || !entry->context) return QV_GENERICERROR;
    auto* device = static_cast<GSMDevice*>(entry->context);
    ILogInterface* log = device->m_pDeviceLog;
    const ATOutcome& answer = device->LastOutcome();
    if (!answer.Ok()) {
        log->LogInfo("Failed to access SIM card for unread SMS messages.");
        return QV_INVALIDRESPONSE;
    }
    // Read entry by entry: a header line, then its PDU line. Unsolicited
    // lines between entries are no part of the listing.
    const std::vector<ListedEntry> entries = ListedEntries(answer.lines);
    const int count = static_cast<int>(entries.size());
    log->LogInfo("Number of PDUs: %d", count);
    if (count >= kLotsOfMessages) {
        log->LogInfo("Lots of messages in SIM Card ... Device may behave incorrectly.");
    }
    device->m_nStoredPassOrder = entry->order;
    return device->CheckForAreadyRecvMSGS(entries);
}

int GSMDevice::QueueListedEntries(const std::vector<ListedEntry>& entries) {
    // Listed from the storage selected when the listing ran.
    const uint32_t listed = m_ReadStorage.load();
    const uint32_t memory = listed == storage::kNoMemory ? storage::SM : listed;
    int queued = 0;
    for (const ListedEntry& entry : entries) {
        const std::string& pduText = entry.pdu;
        if (pduText.size() <= 1 || entry.index == 0 || entry.index > storage::kMaxIndex) continue;
        const uint32_t slot = storage::Slot(memory, entry.index);
        const std::string where = storage::Describe(slot);
        {
            // Announced meanwhile (indications are routed before the last
            // listing) or held by a collector: already on its way.
            qv::MutexLock guard(m_RecvLock);
            if (IsIndexHeld(slot)) continue;
        }
        auto record = std::make_unique<SMSRecv>();
        record->simIndex = slot;
        bool decoded = false;
        try {
            PDUCodec codec;
            decoded = codec.DecodeDeliver(pduText, record->m_sms);
            if (!decoded) {
                m_pDeviceLog->LogError(
                    "GSMDevice::CheckForAreadyRecvMSGS >> stored entry %s is not an SMS-DELIVER, "
                    "skipped.",
                    where.c_str());
            }
        } catch (const std::exception& e) {
            // One damaged entry must not stop the others from being delivered.
            m_pDeviceLog->LogError(
                "GSMDevice::CheckForAreadyRecvMSGS >> stored entry %s could not be decoded (%s), "
                "skipped.",
                where.c_str(), e.what());
        }
        if (!decoded) continue;
        const uint64_t digest = PduDigest(pduText);
        if (WasDelivered(slot, digest)) {
            m_pDeviceLog->LogWarning(
                "GSMDevice::CheckForAreadyRecvMSGS >> stored entry %s was delivered before, "
                "deleting it.",
                where.c_str());
            continue;
        }
        record->pduDigests[slot] = digest;
        record->partsReceived += 1;
        record->m_sms.AddStorageIndex(slot);
        record->read = 1;
        qv::MutexLock guard(m_RecvLock);
        m_RecvQueue.push_back(record.release());
        ++queued;
    }
    return queued;
}

int GSMDevice::CheckForAreadyRecvMSGS(const std::vector<ListedEntry>& entries) {
    if (entries.empty()) return QV_OK;
    const int count = static_cast<int>(entries.size());
    QueueListedEntries(entries);
    SetLineState(LINE_RECEIVING, "(1)CheckForAreadyRecvMSGS");
    m_pDeviceLog->LogInfo("%d sms in sim card, processing ...", count);
    m_bStoredPass = 1;
    ProcessReceivedSMSParts();
    return QV_PENDING;
}

void GSMDevice::ScheduleStoragePoll() {
    ComPort* port = GetPort();
    if (port == nullptr || !port->Gate().TryEnter()) return;
    Quiescence* gate = &port->Gate();
    const bool scheduled =
        m_StoragePoll.Schedule(m_pThreadPool, kStoragePollMs, [this, gate](bool run) {
            if (run && !IsClosing()) PollStorage();
            gate->Leave();
        });
    if (!scheduled) gate->Leave();
}

void GSMDevice::PollStorage() {
    ScheduleStoragePoll();
    // A busy line is polled at the next turn.
    if (!AcquireLine(LINE_RECEIVING, "PollStorage")) return;
    m_pDeviceLog->LogInfo("GSMDevice::PollStorage >> listing stored messages.");
    const int issued =
        IssueCommand("AT+CMGL=4", kReadTimeoutSec * 10, false, [this](const ATOutcome& answer) {
            if (answer.Ok()) QueueListedEntries(ListedEntries(answer.lines));
            SetLineState(LINE_RECEIVING, "(2)PollStorage");
            ProcessReceivedSMSParts();
        });
    if (issued != QV_PENDING) {
        SetLineState(LINE_RECEIVING, "(3)PollStorage");
        ProcessReceivedSMSParts();
    }
}

void GSMDevice::FinishStoredMessages() {
    if (IsSequenceStopped()) return;  // the line was closed during the pass
    m_pDeviceLog->LogInfo("finished processing.");
    if (ComPort* port = GetPort()) {
        if (IOComAsyncPacket* recv = port->GetRecvPacket()) recv->ClearHistory();
        port->ClearRecvBuffer();
    }
    // Resumes after the listing; after the first one at the routing command
    // (AT+CSQ is left out after a pass).
    RunNextCMD(m_nStoredPassOrder == 11 ? 12 : m_nStoredPassOrder);
}
