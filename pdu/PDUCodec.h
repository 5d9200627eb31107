// SMS-SUBMIT encoding (with splitting into concatenated parts) and
// SMS-DELIVER decoding, as the upper-case hex text of AT commands in PDU
// mode (3GPP TS 23.040). Pure code: the only state outside the object is
// the per-thread generator of concatenation references.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "pdu/SMSMessage.h"

namespace pdu {

// A received PDU that is damaged: truncated, odd length, not hex, or with
// fields that point past its end. Thrown by DecodeDeliver and the decoding
// helpers; the record may be partly filled.
class DecodeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A message that cannot be encoded: it needs more than 255 parts, or its
// number has more than 20 digits.
class EncodeError : public std::length_error {
  public:
    using std::length_error::length_error;
};

// Concatenated messages carry the part numbers in one octet.
constexpr size_t kMaxParts = 255;
// A destination address (TP-DA) holds at most 20 digits.
constexpr size_t kMaxAddressDigits = 20;

}  // namespace pdu

class PDUCodec {
  public:
    enum AddressMode { ADDRESS_SMSC, ADDRESS_ORIGINATOR };

    // One SMS-SUBMIT PDU per part, in part order; never empty. The PDUs and
    // their AT+CMGS lengths stay in the codec until the next call. Throws
    // pdu::EncodeError when the text needs more than 255 parts or the number
    // has more than 20 digits.
    std::vector<std::string> EncodeSubmit(SMSMessage message, int statusReport);
    const std::vector<std::string>& GetPDUs() const { return m_pdus; }
    // Octets after the service-centre field, as AT+CMGS takes them.
    const std::vector<int32_t>& GetLengths() const { return m_lengths; }

    // Number of PDUs EncodeSubmit would produce (may exceed 255).
    static size_t CountParts(const SMSMessage& message);
    // Destination address field: digits only, type 0x91 after a leading '+'
    // else 0x81; "00" when there is no digit.
    static std::string EncodeAddress(const std::string& number);

    // Fills the record from an SMS-DELIVER PDU. Returns false, with only
    // smscNumber set, when the PDU is of another type. Throws
    // pdu::DecodeError on a damaged PDU.
    bool DecodeDeliver(std::string pdu, SMSMessage& message);
    // Reads an address field off the front of hex. Throws pdu::DecodeError.
    static std::string DecodeAddress(std::string& hex, AddressMode mode);
    // Reads the concatenation data of the user-data header (TP-UDL first)
    // into the record; returns the header size in septets (7-bit) or octets,
    // 0 without a header. Throws pdu::DecodeError.
    static size_t UserDataHeaderLength(std::string copy, SMSMessage& message, bool sevenBit);
    // TP-UDL and 7-bit user data off the front of hex, the first `skip`
    // septets dropped. Throws pdu::DecodeError.
    static std::u16string DecodeGSM7UserData(std::string& hex, size_t skip);
    // TP-UDL and UCS2 user data off the front of hex, the first `skip`
    // octets dropped. Throws pdu::DecodeError.
    static std::u16string DecodeUCS2UserData(std::string& hex, size_t skip);

  private:
    std::vector<std::string> m_pdus;
    std::vector<int32_t> m_lengths;
};

namespace pdu {
using ::PDUCodec;
using ::SMSMessage;
}  // namespace pdu
