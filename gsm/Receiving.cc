// Receiving: +CMTI notifications become queued records; each record is read
// with AT+CMGR, decoded, reassembled when concatenated, delivered to the
// owner and finally deleted from the SIM with AT+CMGD.
//
// m_RecvLock guards m_RecvQueue and m_DeleteList only. It is never held
// across a command issue or a device event. Records are erased only by the
// receive steps, which own the line (LINE_RECEIVING) one at a time, so a
// record pointer taken under the lock stays valid for the step that owns it.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "gsm/GSMDevice.h"
#include "gsm/StorageSlot.h"
#include "io/ComPort.h"
#include "logging/ILogInterface.h"
#include "pdu/PDUCodec.h"
#include "platform/clock.h"

namespace {

// New messages and, stored the same way, status reports.
const char* const kIndicationPrefixes[] = {"+CMTI:", "+CDSI:"};
constexpr size_t kIndicationPrefixLen = 6;
// Everything a pre-processor may wait for over more than one read.
const char* const kUnsolicitedPrefixes[] = {"+CMTI:", "+CDSI:", "+CDS:"};
constexpr size_t kMaxIndexText = 80;
constexpr size_t kMaxPduText = 1024;

const char* RecvErrorText(int code) {
    switch (code) {
        case QV_GENERICERROR:
            return "generic error,";
        case QV_IOWRITEERROR:
            return "IO Write failed,";
        case QV_IOREADERROR:
            return "IO Read  failed,";
        case QV_TIMEOUT:
            return "modem failed to respond (Timeout),";
        case QV_INVALIDRESPONSE:
            return "invalid modem response,";
        case QV_INVALIDFORMAT:
            return "modem response has an invalid format,";
        default:
            return "unknown error,";
    }
}

const char* RecvStageText(int stage) {
    if (stage == 2) return "RecvSMSPhaseB(2)";
    if (stage == 3) return "RecvSMSPhaseD(3)";
    return "N/A";
}

// Only the text from the last '+' on can still become an unsolicited
// result: one that has begun, or whose prefix the read cut short. A '+'
// that starts anything else ("+CMGS: 4") leaves nothing worth keeping.
bool MayBeginUnsolicited(const std::string& history) {
    const size_t plus = history.rfind('+');
    if (plus == std::string::npos) return false;
    const std::string_view tail = std::string_view(history).substr(plus);
    for (const char* prefix : kUnsolicitedPrefixes) {
        const size_t n = std::min(tail.size(), std::strlen(prefix));
        if (tail.compare(0, n, prefix, n) == 0) return true;
    }
    return false;
}

bool IsSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}
}  // namespace

void GSMDevice::PreProccessRecvSMS(ComPort* port, IOComAsyncPacket* packet, int /*timedOut*/) {
    if (packet == nullptr) return;
    auto* device = static_cast<GSMDevice*>(packet->m_pPreProcessorData.load());
    if (device == nullptr) return;
    ILogInterface* log = device->m_pDeviceLog;
    log->LogInfo("GSMDevice::PreProccessRecvSMS >> %s", packet->CopyData().c_str());
    if (port == nullptr) return;
    if (!device->m_Config.CanRecv) {
        log->LogInfo(
            "GSMDevice::PreProccessRecvSMS >> ptrdevice->GetConfigs()->m_RConfig.m_bcanrecv  = "
            "false");
    }
    // Appended to by this port's read handler only, which is where we run;
    // a pass ending on another thread may clear it meanwhile, and then the
    // edited copy is not stored back.
    unsigned version = 0;
    std::string history = packet->CopyHistory(&version);
    const bool reports = device->PreProcessReports(history);
    const bool found =
        device->PreProcessRecvNotifications(history) || (reports && device->m_nAcksDue.load() > 0);
    packet->CommitHistory(std::move(history), version);
    if (!found) {
        log->LogInfo("GSMDevice::PreProccessRecvSMS >> bfoundsomething = false");
        return;
    }
    if (device->AcquireLine(LINE_RECEIVING, "PreProccessRecvSMS")) {
        log->LogInfo("GSMDevice::PreProccessRecvSMS >> ProcessReceivedSMSParts");
        device->ProcessReceivedSMSParts();
    } else {
        log->LogInfo(
            "GSMDevice::PreProccessRecvSMS >> Device in use, notification will be processed "
            "later.");
    }
}

bool GSMDevice::PreProcessRecvNotifications(std::string& history) {
    m_pDeviceLog->LogInfo("GSMDevice::PreProcessRecvNotifications >> %s", history.c_str());
    auto nextIndication = [&history]() {
        size_t first = std::string::npos;
        for (const char* prefix : kIndicationPrefixes)
            first = std::min(first, history.find(prefix));
        return first;
    };
    if (nextIndication() == std::string::npos) {
        if (!MayBeginUnsolicited(history)) history.clear();
        return false;
    }

    bool queued = false;
    for (size_t pos; (pos = nextIndication()) != std::string::npos;) {
        const storage::Indication found =
            storage::ParseIndication(history, pos + kIndicationPrefixLen);
        if (found.state == storage::Indication::Incomplete) {
            // Its index has not ended inside what arrived so far: left for a
            // later read, unless it can never end.
            if (history.size() - pos > kMaxIndexText) history.erase(0, history.size());
            break;
        }
        history.erase(0, found.end);
        if (found.state == storage::Indication::Malformed) {
            m_pDeviceLog->LogWarning(
                "GSMDevice::PreProcessRecvNotifications >> indication without a storage and "
                "index this line can read, ignored.");
            continue;
        }
        const uint32_t slot = found.slot;
        std::unique_ptr<SMSRecv> record;
        {
            qv::MutexLock lock(m_RecvLock);
            // A modem may announce the same storage index again; reading it
            // twice would deliver the message twice.
            if (!IsIndexHeld(slot)) {
                record = std::make_unique<SMSRecv>();
                record->simIndex = slot;
                m_RecvQueue.push_back(record.get());
            }
        }
        if (record) {
            record.release();
            m_pDeviceLog->LogInfo("SMSPreProcesser: SMS part receive notification detected ...");
            queued = true;
        } else {
            m_pDeviceLog->LogWarning(
                "GSMDevice::PreProcessRecvNotifications >> SMS %s already queued, notification "
                "ignored.",
                storage::Describe(slot).c_str());
        }
    }
    return queued;
}

bool GSMDevice::IsIndexHeld(uint32_t index) {
    if (std::find(m_DeleteList.begin(), m_DeleteList.end(), index) != m_DeleteList.end())
        return true;
    for (SMSRecv* r : m_RecvQueue) {
        if (r == nullptr) continue;
        if (r->simIndex == index) return true;
        for (uint32_t held : r->m_sms.GetStorageIndices()) {
            if (held == index) return true;
        }
    }
    return false;
}

bool GSMDevice::HasPendingRecvWork() {
    if (m_nAcksDue.load() > 0) return true;
    qv::MutexLock lock(m_RecvLock);
    if (!m_DeleteList.empty()) return true;
    for (SMSRecv* r : m_RecvQueue) {
        if (r != nullptr && !r->staged) return true;
    }
    return false;
}

bool GSMDevice::UnqueueRecord(SMSRecv* record) {
    qv::MutexLock lock(m_RecvLock);
    auto it = std::find(m_RecvQueue.begin(), m_RecvQueue.end(), record);
    if (it == m_RecvQueue.end()) return false;
    m_RecvQueue.erase(it);
    return true;
}

void GSMDevice::DeliverExpiredCollectors() {
    const uint64_t now = qvclock::NowMs();
    std::vector<SMSRecv*> expired;
    {
        qv::MutexLock lock(m_RecvLock);
        for (auto it = m_RecvQueue.begin(); it != m_RecvQueue.end();) {
            SMSRecv* r = *it;
            if (r != nullptr && r->staged && r->m_sms.IsConcatenated() && r->lastPartMs != 0 &&
                now - r->lastPartMs >= kIncompleteExpiryMs) {
                expired.push_back(r);
                it = m_RecvQueue.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (SMSRecv* record : expired) {
        // Delivered with the parts that came, then deleted: a lost part must
        // not hold the others for ever, nor take a later message's parts.
        m_pDeviceLog->LogWarning(
            "GSMDevice::ProcessReceivedSMSParts >> message from %s incomplete (%u of %u parts) "
            "after %u min, delivered as it is.",
            record->m_sms.GetNumber().c_str(), record->partsReceived,
            static_cast<unsigned>(record->m_sms.GetTotalParts()),
            static_cast<unsigned>(kIncompleteExpiryMs / 60000));
        if (DeliverReceivedSMS(record)) RememberDelivered(*record, !IsClosing());
        delete record;
    }
}

void GSMDevice::ProcessReceivedSMSParts() {
    DeliverExpiredCollectors();
    for (;;) {
        m_pDeviceLog->LogInfo("GSMDevice::ProcessReceivedSMSParts >>");
        ComPort* port = GetPort();
        if (port == nullptr || port->IsAborting()) {
            SetLineState(LINE_DOWN, "(1)ProccessReceivedSMSParts");
            m_pDeviceLog->LogInfo("ProccessRecvSMS_STAGE1 aborting...");
            return;
        }
        // A "+CDS" report the message service wants acknowledged comes first.
        if (SendReportAcks()) return;

        bool found = false;
        for (size_t i = 0;; ++i) {
            SMSRecv* record = nullptr;
            {
                qv::MutexLock lock(m_RecvLock);
                if (i >= m_RecvQueue.size()) break;
                record = m_RecvQueue[i];
            }
            if (record == nullptr) continue;

            if (!record->read && record->readAttempts <= 3) {
                SetLineState(LINE_RECEIVING, "(2)ProccessReceivedSMSParts");
                m_pDeviceLog->LogInfo("GSMDevice::ProcessReceivedSMSParts >> Set RecvCallBack");
                if (IssueInStorage("AT+CMGR=", record->simIndex, kReadTimeoutSec,
                                   [this, record](const ATOutcome& outcome) {
                                       OnReadAnswer(record, outcome);
                                   }) == QV_PENDING) {
                    found = true;
                    break;
                }
                m_pDeviceLog->LogError("ProcessRecvSMS: async send failed (stage 1).... ");
                record->readAttempts++;
                // Tried again after a pause, not at once: a refusal now is
                // usually gone a moment later. The line stays receiving.
                if (ScheduleRecvRetry()) return;
                continue;
            }
            if (!record->read && !record->staged) {
                // Four failed reads: the message stays on the SIM, where the
                // next start lists it again. Delivering it empty would lose it.
                m_pDeviceLog->LogError(
                    "GSMDevice::ProcessReceivedSMSParts >> SMS %s could not be read after %u "
                    "attempt(s), left on the SIM.",
                    storage::Describe(record->simIndex).c_str(), record->readAttempts);
                UnqueueRecord(record);
                delete record;
                --i;
                continue;
            }
            if (!record->staged) {
                found = true;
                RecvStage3(record);
                break;
            }
            // A collector waiting for more parts.
        }

        if (found) {
            m_pDeviceLog->LogInfo("GSMDevice::ProcessReceivedSMSParts >> bfoundmsg = true");
            return;
        }
        m_pDeviceLog->LogInfo("GSMDevice::ProcessReceivedSMSParts >> bfoundmsg = false");

        bool deletions;
        {
            qv::MutexLock lock(m_RecvLock);
            deletions = !m_DeleteList.empty();
        }
        if (deletions) {
            SetLineState(LINE_RECEIVING, "(3)ProccessReceivedSMSParts");
            DeleteSMSFromSIM();
            return;
        }
        if (m_bStoredPass) {
            m_bStoredPass = 0;
            FinishStoredMessages();
            return;
        }
        SetLineState(LINE_IDLE, "(1)SMS Clean Up");
        // A notification that arrived while we were finishing found the line
        // busy and left its record queued: take the line back for it.
        if (HasPendingRecvWork() && AcquireLine(LINE_RECEIVING, "(2)ProccessReceivedSMSParts")) {
            continue;
        }
        if (m_bCanSend) RaiseEvent(DEV_LINE_IDLE, 0, nullptr);
        return;
    }
}

int GSMDevice::IssueInStorage(const char* verb, uint32_t slot, int timeoutSec,
                              ATOutcomeHandler handler) {
    char command[40];
    std::snprintf(command, sizeof(command), "%s%u", verb, storage::IndexOf(slot));
    const uint32_t memory = storage::MemoryOf(slot);
    if (memory == m_ReadStorage.load()) {
        return IssueCommand(command, timeoutSec, false, std::move(handler));
    }
    // Reads and deletes act on the first storage of AT+CPMS: select the
    // slot's storage, then issue the command there.
    char select[24];
    std::snprintf(select, sizeof(select), "AT+CPMS=\"%s\"", storage::Name(memory));
    std::string then = command;
    return IssueCommand(
        select, timeoutSec, false,
        [this, memory, then, timeoutSec, handler = std::move(handler)](const ATOutcome& selected) {
            if (!selected.Ok()) {
                m_pDeviceLog->LogError("GSMDevice::IssueInStorage >> storage %s not selected.",
                                       storage::Name(memory));
                handler(selected);
                return;
            }
            m_ReadStorage = memory;
            if (IssueCommand(then.c_str(), timeoutSec, false, handler) != QV_PENDING) {
                ATOutcome failed;
                failed.result = QV_IOWRITEERROR;
                handler(failed);
            }
        });
}

bool GSMDevice::ScheduleRecvRetry() {
    ComPort* port = GetPort();
    if (port == nullptr || !port->Gate().TryEnter()) return false;
    Quiescence* gate = &port->Gate();
    bool scheduled = m_RecvRetry.Schedule(m_pThreadPool, kReadRetryMs, [this, gate](bool run) {
        if (run && !IsClosing()) ProcessReceivedSMSParts();
        gate->Leave();
    });
    if (!scheduled) gate->Leave();
    return scheduled;
}

void GSMDevice::OnReadAnswer(SMSRecv* record, const ATOutcome& outcome) {
    ILogInterface* log = m_pDeviceLog;
    log->LogInfo("GSMDevice::ModemRecvFlowControl >>");
    if (outcome.result != QV_OK) {
        log->LogInfo("GSMDevice::ModemRecvFlowControl >> qvioresult != QV_OK");
        RecvIOErrorHandling(record, 2, outcome.result);
    } else if (outcome.IsError()) {
        log->LogInfo("GSMDevice::ModemRecvFlowControl >> m_ERRORSpec.m_bTriggered");
        RecvIOErrorHandling(record, 2, QV_INVALIDRESPONSE);
    } else if (outcome.Find("+CMGR:") == nullptr) {
        // An "OK" alone: nothing was read.
        m_pDeviceLog->LogError("RecvStage2::ERROR: CMGR NOT FOUND.");
        RecvIOErrorHandling(record, 2, QV_INVALIDRESPONSE);
    } else {
        log->LogInfo("GSMDevice::ModemRecvFlowControl >> RecvStage2");
        // The PDU is the line after the header, whatever came around them.
        const std::string* pdu = outcome.After("+CMGR:");
        RecvStage2(pdu != nullptr ? pdu->substr(0, kMaxPduText) : std::string(), 2, record);
    }
}

void GSMDevice::RecvStage2(std::string pduText, int stage, SMSRecv* record) {
    m_pDeviceLog->LogError("GSMDevice::RecvStage2 >>");
    size_t first = 0;
    while (first < pduText.size() && IsSpace(pduText[first])) ++first;
    size_t last = pduText.size();
    while (last > first && IsSpace(pduText[last - 1])) --last;
    pduText = pduText.substr(first, last - first);

    if (pduText.empty()) {
        m_pDeviceLog->LogError("GSMDevice::RecvStage2 >> sresponse.isempty");
        RecvIOErrorHandling(record, stage, QV_INVALIDFORMAT);
        return;
    }
    m_pDeviceLog->LogError("GSMDevice::RecvStage2 >> !sresponse.isempty sresponse = %s",
                           pduText.c_str());
    bool isDeliver = false;
    try {
        record->m_sms = SMSMessage();
        PDUCodec codec;
        isDeliver = codec.DecodeDeliver(pduText, record->m_sms);
    } catch (const std::exception&) {
        m_pDeviceLog->LogError("GSMDevice::RecvStage2 >> exception");
        // A damaged PDU counts as a failed read: after four the message stays
        // on the SIM and the line goes on.
        record->m_sms = SMSMessage();
        RecvIOErrorHandling(record, stage, QV_INVALIDFORMAT);
        return;
    }
    if (!isDeliver) {
        // A status report is handled and deleted; anything else (a stored
        // SMS-SUBMIT) is not ours to delete and is left alone. Either way
        // the line goes on receiving.
        if (!TakeStoredReport(pduText, record->simIndex)) {
            m_pDeviceLog->LogWarning(
                "GSMDevice::RecvStage2 >> SMS %s is not an SMS-DELIVER, left on the SIM.",
                storage::Describe(record->simIndex).c_str());
        }
        UnqueueRecord(record);
        delete record;
        SetLineState(LINE_RECEIVING, "(3)RecvStage2");
        ProcessReceivedSMSParts();
        return;
    }
    m_pDeviceLog->LogError("GSMDevice::RecvStage2 >> decoded");
    const uint64_t digest = PduDigest(pduText);
    if (WasDelivered(record->simIndex, digest)) {
        m_pDeviceLog->LogWarning(
            "GSMDevice::RecvStage2 >> SMS %s was delivered before, deleting it again.",
            storage::Describe(record->simIndex).c_str());
        UnqueueRecord(record);
        delete record;
        SetLineState(LINE_RECEIVING, "(2)RecvStage2");
        ProcessReceivedSMSParts();
        return;
    }
    record->pduDigests[record->simIndex] = digest;
    record->staged = 1;
    record->read = 1;
    record->partsReceived++;
    record->m_sms.AddStorageIndex(record->simIndex);
    RecvStage3(record);
}

void GSMDevice::RecvStage3(SMSRecv* record) {
    m_pDeviceLog->LogError("GSMDevice::RecvStage3 >>");
    record->staged = 1;
    bool consumed = false;
    SMSRecv* completed = nullptr;

    if (record->m_sms.IsConcatenated()) {
        m_pDeviceLog->LogError("GSMDevice::RecvStage3 >> psmsrecv->m_sms.isConcatenated");
        qv::MutexLock lock(m_RecvLock);
        SMSRecv* collector = nullptr;
        for (SMSRecv* c : m_RecvQueue) {
            if (c == nullptr || c == record || !c->m_sms.IsConcatenated()) continue;
            if (c->m_sms.IsSameMessage(record->m_sms)) {
                collector = c;
                break;
            }
        }
        if (collector != nullptr) {
            collector->lastPartMs = qvclock::NowMs();
            collector->partsReceived++;
            collector->m_sms.AddPart(record->m_sms.GetText(), record->m_sms.GetPartNumber());
            uint32_t index = 0;
            if (record->m_sms.PopStorageIndex(index)) collector->m_sms.AddStorageIndex(index);
            collector->pduDigests.insert(record->pduDigests.begin(), record->pduDigests.end());
            if (collector->m_sms.IsComplete()) {
                completed = collector;
                m_RecvQueue.erase(std::find(m_RecvQueue.begin(), m_RecvQueue.end(), collector));
            }
            consumed = true;
        } else if (record->m_sms.IsComplete()) {
            // A header that announces a single part: nothing to wait for.
            completed = record;
            m_RecvQueue.erase(std::find(m_RecvQueue.begin(), m_RecvQueue.end(), record));
        } else {
            record->lastPartMs = qvclock::NowMs();  // a new collector
        }
    } else {
        m_pDeviceLog->LogError("GSMDevice::RecvStage3 >> !psmsrecv->m_sms.isConcatenated");
        completed = record;
        consumed = true;
    }

    // Owned here from now on: the owner may close the line from inside the
    // delivery, and closing frees what is still queued.
    const bool ownRecord = consumed || completed == record;
    if (ownRecord) UnqueueRecord(record);
    if (completed != nullptr) {
        // Delivered first; the indices are queued for deletion only after
        // the owner had the message.
        bool delivered = DeliverReceivedSMS(completed);
        // This pass holds the port's gate, so a close asked for during the
        // delivery cannot have finished yet.
        const bool closed = IsClosing();
        if (delivered) RememberDelivered(*completed, !closed);
        if (closed) {
            // This pass is over; what is not deleted stays on the SIM and is
            // deleted, not delivered, when the next start lists it.
            if (completed != record) delete completed;
            if (ownRecord) delete record;
            return;
        }
    }
    if (completed != nullptr && completed != record) delete completed;
    if (ownRecord) delete record;

    SetLineState(LINE_RECEIVING, "(1)ProccessRecvSMS_STAGE3");
    ProcessReceivedSMSParts();
}

bool GSMDevice::DeliverReceivedSMS(SMSRecv* record) {
    std::u16string text = record->m_sms.GetText();
    const std::string& number = record->m_sms.GetNumber();

    // Buffers are never zero-sized: an empty text or sender still gets room
    // for its terminator.
    size_t textCapacity = std::max<size_t>(2 * text.size(), 1);
    size_t numberCapacity = std::max<size_t>(2 * number.size(), 1);
    std::unique_ptr<QVWCHAR[]> textBuf(new (std::nothrow) QVWCHAR[textCapacity]());
    std::unique_ptr<char[]> numberBuf(new (std::nothrow) char[numberCapacity]());
    if (!textBuf || !numberBuf) {
        m_pDeviceLog->LogError("GSMDevice::DeliverReceivedSMS - out of memory.");
        return false;
    }
    std::copy(text.begin(), text.end(), textBuf.get());
    std::memcpy(numberBuf.get(), number.data(), number.size());

    ReceivedSMS sms{};
    sms.Text = textBuf.get();
    sms.TextCapacity = static_cast<int32_t>(textCapacity);
    sms.Number = numberBuf.get();
    sms.NumberCapacity = static_cast<int32_t>(numberCapacity);
    sms.Parts = record->partsReceived;
    sms.Reserved = 0;
    RaiseEvent(DEV_SMS_RECEIVED, QV_OK, &sms);
    m_pDeviceLog->LogInfo("SMS recieved ,part(s): %d", static_cast<int>(record->partsReceived));
    return true;
}

void GSMDevice::RecvIOErrorHandling(SMSRecv* record, int stage, int code) {
    if (record != nullptr) record->readAttempts++;
    m_pDeviceLog->LogError("failed to process recv SMS, error: %s , stage: '%s'",
                           RecvErrorText(code), RecvStageText(stage));
    SetLineState(LINE_RECEIVING, "(1)RecvIOErrorHandling");
    ProcessReceivedSMSParts();
}

void GSMDevice::DeleteSMSFromSIM() {
    for (;;) {
        uint32_t index;
        {
            qv::MutexLock lock(m_RecvLock);
            if (m_DeleteList.empty()) break;
            index = m_DeleteList.front();
            m_DeleteList.pop_front();
        }
        SetLineState(LINE_RECEIVING, "(1)DeleteSMSFromSIM");
        if (ComPort* port = GetPort()) port->ClearRecvBuffer();
        if (IssueInStorage("AT+CMGD=", index, kDeleteTimeoutSec,
                           [this, index](const ATOutcome& outcome) {
                               OnDeleteAnswer(index, outcome);
                           }) == QV_PENDING)
            return;
        m_pDeviceLog->LogError("DeleteSMSFromSIM - failed to pend IO");
        DeleteDone(index, DELETE_REFUSED);
    }
    SetLineState(LINE_RECEIVING, "(2)DeleteSMSFromSIM");
    ProcessReceivedSMSParts();
}

void GSMDevice::OnDeleteAnswer(uint32_t index, const ATOutcome& answer) {
    DeleteOutcome outcome = DELETE_CONFIRMED;
    if (answer.result != QV_OK) {
        m_pDeviceLog->LogError("IO Error(qverc: %d), Delete failed.", answer.result);
        outcome = DELETE_UNKNOWN;
    } else if (!answer.Ok()) {
        m_pDeviceLog->LogError("Modem Failed To Confirm deletion. (no 'OK' signal)");
        outcome = DELETE_REFUSED;
    }
    DeleteDone(index, outcome);
    DeleteSMSFromSIM();
}

uint64_t GSMDevice::PduDigest(const std::string& pduText) {
    // FNV-1a over the hex digits, case folded.
    uint64_t hash = 14695981039346656037ull;
    for (char c : pduText) {
        if (IsSpace(c)) continue;
        hash ^= static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(c)));
        hash *= 1099511628211ull;
    }
    return hash;
}

std::vector<GSMDevice::DeliveredEntry> GSMDevice::TakeDelivered() {
    qv::MutexLock lock(m_RecvLock);
    return std::move(m_Delivered);
}

void GSMDevice::AdoptDelivered(std::vector<DeliveredEntry> entries) {
    qv::MutexLock lock(m_RecvLock);
    for (const DeliveredEntry& entry : entries) {
        auto it = FindDelivered(entry.index);
        if (it == m_Delivered.end()) m_Delivered.push_back(entry);
    }
}

std::vector<GSMDevice::DeliveredEntry>::iterator GSMDevice::FindDelivered(uint32_t index) {
    return std::find_if(m_Delivered.begin(), m_Delivered.end(),
                        [index](const DeliveredEntry& e) { return e.index == index; });
}

bool GSMDevice::WasDelivered(uint32_t index, uint64_t digest) {
    qv::MutexLock lock(m_RecvLock);
    auto it = FindDelivered(index);
    if (it == m_Delivered.end()) return false;
    if (it->digest != digest) {
        // The old message is gone and a new one is stored there.
        m_Delivered.erase(it);
        return false;
    }
    if (std::find(m_DeleteList.begin(), m_DeleteList.end(), index) == m_DeleteList.end())
        m_DeleteList.push_back(index);
    return true;
}

void GSMDevice::RememberDelivered(const SMSRecv& message, bool queueDelete) {
    std::vector<uint32_t> indices = message.m_sms.GetStorageIndices();
    if (indices.empty()) indices.push_back(message.simIndex);
    qv::MutexLock lock(m_RecvLock);
    for (uint32_t index : indices) {
        auto digest = message.pduDigests.find(index);
        DeliveredEntry entry{index, digest != message.pduDigests.end() ? digest->second : 0, 0};
        auto it = FindDelivered(index);
        if (it != m_Delivered.end()) {
            *it = entry;
        } else {
            m_Delivered.push_back(entry);
        }
        if (queueDelete) m_DeleteList.push_back(index);
    }
}

void GSMDevice::DeleteDone(uint32_t index, DeleteOutcome outcome) {
    qv::MutexLock lock(m_RecvLock);
    auto it = FindDelivered(index);
    if (it == m_Delivered.end()) return;
    if (outcome == DELETE_CONFIRMED) {
        m_Delivered.erase(it);
    } else if (outcome == DELETE_REFUSED && ++it->deleteFailures < kDeleteTries) {
        m_DeleteList.push_back(index);
    }
}
