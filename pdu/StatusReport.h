// SMS-STATUS-REPORT decoding (3GPP TS 23.040 9.2.2.3): what the network says
// became of a sent message, in the hex text of AT commands in PDU mode with
// the service-centre field in front. Pure code.
#pragma once

#include <cstdint>
#include <string>

namespace pdu {

struct StatusReport {
    std::string smscNumber;
    int messageReference = 0;       // TP-MR
    std::string recipient;          // TP-RA; '+' in front for the international type
    int64_t serviceCentreTime = 0;  // TP-SCTS, seconds since 1970 UTC (time zone applied)
    int64_t dischargeTime = 0;      // TP-DT, seconds since 1970 UTC
    int status = 0;                 // TP-ST as received
};

// TP-ST classes: 0x00-0x1F completed (delivered or replaced), 0x20-0x3F the
// service centre still tries, 0x40-0x5F permanent error, 0x60-0x7F temporary
// error no longer tried. Reserved and service-centre-specific values inside
// a class count as that class; 0x80-0xFF (reserved, no class) and anything
// that is not an octet count as failed for good.
bool IsFinalStatus(int status);      // the network no longer tries
bool IsDeliveredStatus(int status);  // 0x00-0x1F

// Fills out from an SMS-STATUS-REPORT PDU; false (out untouched but
// smscNumber) when the PDU is of another type. Throws pdu::DecodeError
// (pdu/PDUCodec.h) on a damaged PDU: one that ends before TP-ST, is not hex,
// or holds a time stamp that is no date. Whatever follows TP-ST (the
// optional TP-PI, TP-PID, TP-DCS and user data, the padding of a SIM record
// or a line glued on) is not read.
bool DecodeStatusReport(const std::string& hex, StatusReport& out);

}  // namespace pdu
