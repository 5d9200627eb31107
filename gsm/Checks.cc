// Result checks of the initialisation list that look at the modem's state:
// the reception strength (AT+CSQ) and messages already stored (AT+CMGL=4),
// which are handed to the receive path before the line reports ready.
#include <cstdlib>
#include <cstring>
#include <exception>
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

int GSMDevice::CheckForAreadyRecvMSGS(const std::vector<ListedEntry>& entries) {
    if (entries.empty()) return QV_OK;
    const int count = static_cast<int>(entries.size());
    for (const ListedEntry& listed : entries) {
        const std::string& pduText = listed.pdu;
        if (pduText.size() <= 1) continue;
        {
            // Announced meanwhile (indications are routed before the last
            // listing) or held by a collector: already on its way.
            qv::MutexLock guard(m_RecvLock);
            if (IsIndexHeld(listed.index)) continue;
        }
        auto* record = new SMSRecv();
        record->simIndex = listed.index;
        bool decoded = false;
        try {
            PDUCodec codec;
            decoded = codec.DecodeDeliver(pduText, record->m_sms);
            if (!decoded) {
                m_pDeviceLog->LogError(
                    "GSMDevice::CheckForAreadyRecvMSGS >> stored entry %u is not an SMS-DELIVER, "
                    "skipped.",
                    record->simIndex);
            }
        } catch (const std::exception& e) {
            // One damaged entry must not stop the others from being delivered.
            m_pDeviceLog->LogError(
                "GSMDevice::CheckForAreadyRecvMSGS >> stored entry %u could not be decoded (%s), "
                "skipped.",
                record->simIndex, e.what());
        }
        if (!decoded) {
            delete record;
            continue;
        }
        const uint64_t digest = PduDigest(pduText);
        if (WasDelivered(record->simIndex, digest)) {
            m_pDeviceLog->LogWarning(
                "GSMDevice::CheckForAreadyRecvMSGS >> stored entry %u was delivered before, "
                "deleting it.",
                record->simIndex);
            delete record;
            continue;
        }
        record->pduDigests[record->simIndex] = digest;
        record->partsReceived += 1;
        record->m_sms.AddStorageIndex(record->simIndex);
        record->read = 1;
        qv::MutexLock guard(m_RecvLock);
        m_RecvQueue.push_back(record);
    }

    SetLineState(LINE_RECEIVING, "(1)CheckForAreadyRecvMSGS");
    m_pDeviceLog->LogInfo("%d sms in sim card, processing ...", count);
    m_bStoredPass = 1;
    ProcessReceivedSMSParts();
    return QV_PENDING;
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
