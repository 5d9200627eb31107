// Delivery reports: the message reference of every part sent with a report
// requested, and the reports themselves in each form a modem gives them:
// "+CDS:" with the PDU on the next line (acknowledged with AT+CNMA when the
// message service asks for it), "+CDSI:" naming a stored report, and reports
// found in storage. Each is matched to its part, handed to the owner when the
// line asks for reports, and never left in storage.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "gsm/GSMDevice.h"
#include "io/ComPort.h"
#include "logging/ILogInterface.h"
#include "pdu/StatusReport.h"
#include "platform/clock.h"

namespace {

const char kCdsPrefix[] = "+CDS:";
constexpr size_t kMaxReportText = 600;

const char* StatusMeaning(int status) {
    if (pdu::IsDeliveredStatus(status)) return "delivered";
    if (!pdu::IsFinalStatus(status)) return "the service centre still tries";
    return "not delivered";
}

}  // namespace

void GSMDevice::RecordSentPart(SMSJob* job, const ATOutcome& outcome) {
    const std::string* cmgs = outcome.Find("+CMGS:");
    if (cmgs == nullptr) return;
    const std::string reference = cmgs->substr(6);
    m_pDeviceLog->LogInfo("GSMDevice::SendProcess - part sent, message reference %s",
                          reference.c_str());
    auto* data = static_cast<SMSSendData*>(job->SendData);
    if (!m_Config.StatusReportsEnabled || data == nullptr) return;
    SentParts::Part part;
    part.reference = std::atoi(reference.c_str());
    part.recipient = job->Number != nullptr ? job->Number : "";
    part.part = static_cast<uint32_t>(data->currentPart + 1);
    part.total = static_cast<uint32_t>(data->pdus.size());
    std::memcpy(part.hostData0, job->HostData0, sizeof(part.hostData0));
    part.job = data->reportJob;
    m_SentParts.Add(std::move(part), qvclock::NowMs());
}

void GSMDevice::HandleStatusReport(const pdu::StatusReport& report) {
    const bool final = pdu::IsFinalStatus(report.status);
    const bool delivered = pdu::IsDeliveredStatus(report.status);
    const SentParts::Match match = m_SentParts.OnReport(report.messageReference, report.recipient,
                                                        final, delivered, qvclock::NowMs());
    if (match.found) {
        m_pDeviceLog->LogInfo(
            "GSMDevice::StatusReport >> reference %d to %s, part %u of %u: status %d (%s).",
            report.messageReference, report.recipient.c_str(), match.part.part, match.part.total,
            report.status, StatusMeaning(report.status));
        if (match.jobEnded) {
            m_pDeviceLog->LogInfo("GSMDevice::StatusReport >> message to %s %s.",
                                  report.recipient.c_str(),
                                  match.jobDelivered ? "delivered" : "not delivered");
        }
    } else {
        m_pDeviceLog->LogWarning(
            "GSMDevice::StatusReport >> reference %d to %s matches no part sent: status %d (%s).",
            report.messageReference, report.recipient.c_str(), report.status,
            StatusMeaning(report.status));
    }
    if ((m_Config.Reserved & QV_LINE_STATUS_REPORTS) == 0) return;
    SMSStatusReport record{};
    if (match.found) std::memcpy(record.HostData0, match.part.hostData0, sizeof(record.HostData0));
    record.Number = report.recipient.c_str();
    record.MessageReference = report.messageReference;
    record.Part = match.found ? match.part.part : 0;
    record.TotalParts = match.found ? match.part.total : 0;
    record.Status = report.status;
    record.Final = final ? 1 : 0;
    record.ServiceCentreTime = report.serviceCentreTime;
    record.DischargeTime = report.dischargeTime;
    RaiseEvent(DEV_SMS_STATUS, QV_OK, &record);
}

bool GSMDevice::TakeStoredReport(const std::string& pduText, uint32_t slot) {
    pdu::StatusReport report;
    try {
        if (!pdu::DecodeStatusReport(pduText, report)) return false;
    } catch (const std::exception&) {
        return false;
    }
    const uint64_t digest = PduDigest(pduText);
    // Handed over before and its deletion not confirmed: deleted again only.
    if (WasDelivered(slot, digest)) return true;
    HandleStatusReport(report);
    SMSRecv handled;
    handled.simIndex = slot;
    handled.pduDigests[slot] = digest;
    RememberDelivered(handled, true);
    return true;
}

bool GSMDevice::PreProcessReports(std::string& history) {
    bool found = false;
    for (size_t pos; (pos = history.find(kCdsPrefix)) != std::string::npos;) {
        // The header line, then the PDU on the next line; both whole.
        const size_t headerEnd = history.find_first_of("\r\n", pos);
        if (headerEnd == std::string::npos) break;
        size_t pduStart = headerEnd;
        while (pduStart < history.size() &&
               (history[pduStart] == '\r' || history[pduStart] == '\n'))
            ++pduStart;
        const size_t pduEnd = history.find_first_of("\r\n", pduStart);
        if (pduEnd == std::string::npos || pduStart == history.size()) {
            if (history.size() - pos > kMaxReportText) history.erase(0, history.size());
            break;
        }
        const std::string pduText = history.substr(pduStart, pduEnd - pduStart);
        history.erase(pos, pduEnd - pos);
        pdu::StatusReport report;
        bool decoded = false;
        try {
            decoded = pdu::DecodeStatusReport(pduText, report);
        } catch (const std::exception& e) {
            m_pDeviceLog->LogError("GSMDevice::StatusReport >> damaged report (%s): %s", e.what(),
                                   pduText.c_str());
        }
        if (m_bAckReports) m_nAcksDue.fetch_add(1);
        if (decoded) HandleStatusReport(report);
        found = true;
    }
    return found;
}

bool GSMDevice::SendReportAcks() {
    if (m_nAcksDue.load() == 0) return false;
    m_nAcksDue.fetch_sub(1);
    return IssueCommand("AT+CNMA", kReadTimeoutSec, false, [this](const ATOutcome& outcome) {
               if (!outcome.Ok()) {
                   m_pDeviceLog->LogWarning("GSMDevice::StatusReport >> AT+CNMA not accepted.");
               }
               SetLineState(LINE_RECEIVING, "(1)SendReportAcks");
               ProcessReceivedSMSParts();
           }) == QV_PENDING;
}
