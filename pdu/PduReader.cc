#include "pdu/PduReader.h"

#include <chrono>

#include "pdu/Gsm7.h"
#include "pdu/PDUCodec.h"
#include "pdu/Utf.h"

namespace pdu {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string_view Trimmed(std::string_view s) {
    const char* ws = " \t\r\n";
    const size_t b = s.find_first_not_of(ws);
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

// Two semi-octets, swapped, as a decimal number.
int Decimal(uint8_t o, const char* field) {
    const int tens = o & 0x0F;
    const int units = o >> 4;
    if (tens > 9 || units > 9) throw DecodeError(std::string("non-decimal digit in ") + field);
    return tens * 10 + units;
}

}  // namespace

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string_view PduDigits(std::string_view text) {
    std::string_view hex = Trimmed(text);
    if (hex.empty()) throw DecodeError("PDU is empty");
    // The user data ends where its length says, not at the text's end:
    // damage inside the PDU still shows as a PDU that ends too soon.
    size_t digits = 0;
    while (digits < hex.size() && HexValue(hex[digits]) >= 0) ++digits;
    if (digits == 0) throw DecodeError("PDU has a character that is not a hex digit");
    if (digits == hex.size() && hex.size() % 2 != 0)
        throw DecodeError("PDU has an odd number of hex digits");
    return hex.substr(0, digits - digits % 2);
}

uint8_t HexReader::Octet(const char* field) {
    if (m_hex.size() - m_pos < 2) throw DecodeError(std::string("PDU ends inside ") + field);
    const int hi = HexValue(m_hex[m_pos]);
    const int lo = HexValue(m_hex[m_pos + 1]);
    if (hi < 0 || lo < 0) throw DecodeError(std::string("PDU has no hex digits in ") + field);
    m_pos += 2;
    return static_cast<uint8_t>(hi << 4 | lo);
}

std::vector<uint8_t> HexReader::Octets(size_t count, const char* field) {
    if ((m_hex.size() - m_pos) / 2 < count) {
        throw DecodeError(std::string("PDU ends inside ") + field);
    }
    std::vector<uint8_t> out(count);
    for (auto& o : out) o = Octet(field);
    return out;
}

std::string ReadAddress(HexReader& r, AddressField kind) {
    const bool smsc = kind == AddressField::ServiceCentre;
    const char* field = smsc                               ? "service-centre address"
                        : kind == AddressField::Originator ? "originator address"
                                                           : "recipient address";
    const uint8_t length = r.Octet(field);
    if (length == 0 && kind != AddressField::Recipient) return {};
    const uint8_t type = r.Octet(field);
    if (length == 0) return {};
    // The service centre counts octets (type included), the others count
    // semi-octets.
    const size_t octets = smsc ? length - 1u : (length + 1u) / 2;
    const std::vector<uint8_t> raw = r.Octets(octets, field);
    const unsigned typeOfNumber = type & 0x70;
    if (!smsc && typeOfNumber == 0x50) {
        // Alphanumeric: GSM 7-bit text in the semi-octets.
        const Septets septets = UnpackSeptets(raw, length * 4u / 7, 0);
        return Utf16ToUtf8(SeptetsToText(septets.data(), septets.size()));
    }
    std::string number = typeOfNumber == 0x10 ? "+" : "";
    for (uint8_t o : raw) {
        number.push_back(kHexDigits[o & 0x0F]);
        number.push_back(kHexDigits[o >> 4]);
    }
    if (!number.empty() && number.back() == 'F') number.pop_back();
    return number;
}

int64_t ReadTimeStamp(HexReader& r, const char* field) {
    const std::vector<uint8_t> o = r.Octets(7, field);
    using namespace std::chrono;
    const year_month_day date{year(2000 + Decimal(o[0], field)),
                              month(static_cast<unsigned>(Decimal(o[1], field))),
                              day(static_cast<unsigned>(Decimal(o[2], field)))};
    const int hour = Decimal(o[3], field);
    const int minute = Decimal(o[4], field);
    const int second = Decimal(o[5], field);
    if (!date.ok() || hour > 23 || minute > 59 || second > 59) {
        throw DecodeError(std::string("no such date or time in ") + field);
    }
    // Quarter hours east of UTC; bit 3 of the first semi-octet is the sign.
    const int quarters = (o[6] & 0x07) * 10 + (o[6] >> 4);
    const int64_t zone = ((o[6] & 0x08) != 0 ? -quarters : quarters) * 15 * 60;
    const int64_t days = sys_days(date).time_since_epoch().count();
    return days * 86400 + hour * 3600 + minute * 60 + second - zone;
}

}  // namespace pdu
