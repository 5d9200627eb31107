// Reading received PDUs off their hex text, shared by the decoders. Every
// read is bounds-checked and names its field: a damaged PDU ends in
// pdu::DecodeError, never in a read past its end.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pdu {

int HexValue(char c);  // -1 for a character that is not a hex digit

// The PDU's hex digits in a modem's line: blanks around it trimmed, and what
// follows the hex digits (a line glued on) left out. Throws DecodeError when
// nothing is left or the digits are an odd number with nothing after them.
std::string_view PduDigits(std::string_view text);

class HexReader {
  public:
    explicit HexReader(std::string_view hex) : m_hex(hex) {}

    uint8_t Octet(const char* field);
    std::vector<uint8_t> Octets(size_t count, const char* field);
    size_t Position() const { return m_pos; }

  private:
    std::string_view m_hex;
    size_t m_pos = 0;
};

enum class AddressField {
    ServiceCentre,  // length in octets, type included; 0 for no field
    Originator,     // TP-OA: length in semi-octets; 0 ends the field
    Recipient,      // TP-RA: length in semi-octets; the type octet is always there
};

// '+' in front for the international type; the text of an alphanumeric one.
std::string ReadAddress(HexReader& r, AddressField field);

// A 7-octet time stamp (TP-SCTS, TP-DT) as seconds since 1970 UTC, its time
// zone applied. The two-digit year is taken in 2000..2099. Throws
// DecodeError for a date or time digit that is not decimal, or a date or
// time that does not exist. The zone's digits count whatever their value:
// some networks send one that is not decimal.
int64_t ReadTimeStamp(HexReader& r, const char* field);

}  // namespace pdu
