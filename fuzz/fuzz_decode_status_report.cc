// DecodeStatusReport on arbitrary input: the first byte picks raw text (as a
// modem line may carry anything) or the hex of the remaining bytes (to reach
// the fields behind a well-formed start). Only pdu::DecodeError may leave it.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "pdu/StatusReport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool asHex = (data[0] & 1) == 0;
    const std::string pdu = asHex ? qvfuzz::ToHex(data + 1, size - 1)
                                  : std::string(reinterpret_cast<const char*>(data + 1), size - 1);
    pdu::StatusReport report;
    report.status = -1;
    bool decoded = false;
    try {
        decoded = pdu::DecodeStatusReport(pdu, report);
    } catch (const pdu::DecodeError&) {
        QVFUZZ_CHECK(report.status == -1, pdu);  // a damaged report leaves no half
        return 0;
    }
    if (!decoded) {
        QVFUZZ_CHECK(report.status == -1 && report.recipient.empty(), pdu);
        return 0;
    }
    QVFUZZ_CHECK(report.status >= 0 && report.status <= 0xFF, pdu);
    QVFUZZ_CHECK(report.messageReference >= 0 && report.messageReference <= 0xFF, pdu);
    // At most 255 semi-octets of digits, '+' and all.
    QVFUZZ_CHECK(report.recipient.size() <= 256 * 3, pdu);
    // Years 2000..2099, zones within +-79 quarter hours.
    constexpr int64_t kLow = 946684800 - 80 * 900;
    constexpr int64_t kHigh = 4102444800 + 80 * 900;
    QVFUZZ_CHECK(report.serviceCentreTime >= kLow && report.serviceCentreTime < kHigh, pdu);
    QVFUZZ_CHECK(report.dischargeTime >= kLow && report.dischargeTime < kHigh, pdu);
    QVFUZZ_CHECK(pdu::IsFinalStatus(report.status) || !pdu::IsDeliveredStatus(report.status), pdu);
    return 0;
}
