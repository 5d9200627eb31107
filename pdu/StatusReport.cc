#include "pdu/StatusReport.h"

#include "pdu/PDUCodec.h"
#include "pdu/PduReader.h"

namespace pdu {

bool IsFinalStatus(int status) {
    return status < 0x20 || status > 0x3F;
}

bool IsDeliveredStatus(int status) {
    return status >= 0 && status <= 0x1F;
}

bool DecodeStatusReport(const std::string& hex, StatusReport& out) {
    HexReader r(PduDigits(hex));
    out.smscNumber = ReadAddress(r, AddressField::ServiceCentre);
    const uint8_t firstOctet = r.Octet("first octet");
    if ((firstOctet & 0x03) != 0x02) return false;  // TP-MTI: not a status report
    // Read whole before the record changes: a damaged PDU leaves no half.
    StatusReport report;
    report.smscNumber = out.smscNumber;
    report.messageReference = r.Octet("TP-MR");
    report.recipient = ReadAddress(r, AddressField::Recipient);
    report.serviceCentreTime = ReadTimeStamp(r, "TP-SCTS");
    report.dischargeTime = ReadTimeStamp(r, "TP-DT");
    report.status = r.Octet("TP-ST");
    out = std::move(report);
    return true;
}

}  // namespace pdu
