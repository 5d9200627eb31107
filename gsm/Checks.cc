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
constexpr size_t kListedEntryMax = 1200;

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

// Overwrites up to n characters at p (never past the text's end) with 0x01.
void Blank(char* p, size_t n) {
    size_t length = strnlen(p, n);
    memset(p, 0x01, length);
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

int GSMDevice::OnCMGLResult(int result, ATCommandEntry* entry) {
    (void)result;
    if (!entry || !entry->context) return QV_GENERICERROR;
    auto* device = static_cast<GSMDevice*>(entry->context);
    ILogInterface* log = device->m_pDeviceLog;
    if (!device->m_OKSpec.m_bTriggered) {
        log->LogInfo("Failed to access SIM card for unread SMS messages.");
        return QV_INVALIDRESPONSE;
    }
    char* answer = device->GetResponseBuffer();
    if (char* echo = strstr(answer, "AT+CMGL=4")) Blank(echo, 10);
    int count = 0;
    for (const char* p = strstr(answer, "+CMGL"); p; p = strstr(p + 5, "+CMGL")) ++count;
    log->LogInfo("Number of PDUs: %d", count);
    if (count >= kLotsOfMessages) {
        log->LogInfo("Lots of messages in SIM Card ... Device may behave incorrectly.");
    }
    return device->CheckForAreadyRecvMSGS(answer, count);
}

int GSMDevice::CheckForAreadyRecvMSGS(char* answer, int count) {
    if (count == 0) return QV_OK;
    char* position = answer;
    for (int i = 0; i < count && position; ++i) {
        char* hit = strstr(position, "+CMGL");
        if (!hit) break;
        Blank(hit, 6);
        position = hit + strnlen(hit, 6);

        // One listed entry: up to the next "+C..." line or the final "OK".
        std::string copy;
        for (const char* q = position; *q && copy.size() < kListedEntryMax; ++q) {
            if ((q[0] == '+' && q[1] == 'C') || (q[0] == 'O' && q[1] == 'K')) break;
            copy += *q;
        }
        copy += "OK";
        const size_t comma = copy.find(',');
        const size_t lineEnd = copy.find("\r\n");
        if (comma == std::string::npos || lineEnd == std::string::npos) continue;
        const std::string indexText = Trim(copy.substr(0, comma));
        const size_t pduStart = lineEnd + 2;
        const size_t pduEnd = copy.size() - 2;  // the "OK" appended above
        const std::string pduText =
            pduStart < pduEnd ? Trim(copy.substr(pduStart, pduEnd - pduStart)) : std::string();
        if (indexText.empty() || pduText.size() <= 1) continue;

        auto* record = new SMSRecv();
        record->simIndex = static_cast<uint32_t>(strtoul(indexText.c_str(), nullptr, 10));
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
    // Resumes at the routing command: AT+CSQ is left out after a pass.
    RunNextCMD(12);
}
