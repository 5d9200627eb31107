// SMS-DELIVER decoding. Every read is bounds-checked: a damaged PDU ends in
// pdu::DecodeError, never in a read past its end.
#include <string_view>

#include "pdu/Gsm7.h"
#include "pdu/PDUCodec.h"
#include "pdu/PduReader.h"
#include "pdu/Utf.h"

namespace {

using pdu::DecodeError;
using pdu::HexReader;

// Reads the concatenation element of the user-data header into the record;
// returns the header size in septets (7-bit) or octets. A header without a
// usable concatenation element leaves the record a one-part message.
size_t ReadHeader(HexReader r, SMSMessage& message, bool sevenBit, bool hasHeader) {
    if (!hasHeader) return 0;
    const uint8_t udl = r.Octet("TP-UDL");
    const uint8_t headerLength = r.Octet("user-data header");
    const std::vector<uint8_t> ies = r.Octets(headerLength, "user-data header");
    bool found = false;
    size_t i = 0;
    while (i < ies.size()) {
        if (ies.size() - i < 2 || ies.size() - i - 2 < ies[i + 1]) {
            throw DecodeError("user-data header element runs past the header");
        }
        const uint8_t id = ies[i];
        const uint8_t len = ies[i + 1];
        const uint8_t* v = ies.data() + i + 2;
        // 8-bit reference (00) or 16-bit reference (08: its low octet as the
        // reference, the whole of it as the key); a zero total or a part
        // number outside 1..total is not usable.
        const size_t off = id == 0x00 ? 0 : 1;
        if ((id == 0x00 && len == 3) || (id == 0x08 && len == 4)) {
            const uint8_t total = v[off + 1];
            const uint8_t part = v[off + 2];
            if (total != 0 && part != 0 && part <= total) {
                message.SetConcatReference(v[off]);
                message.SetConcatKey(id == 0x00 ? v[0] : (0x10000u | (v[0] << 8) | v[1]));
                message.SetTotalParts(total);
                message.SetPartNumber(part);
                found = true;
            }
        }
        i += 2u + len;
    }
    if (!found) message.SetConcatenated(false);
    const size_t skip = sevenBit ? ((headerLength + 1u) * 8 + 6) / 7 : headerLength + 1u;
    if (skip > udl) throw DecodeError("user-data header longer than the user data");
    return skip;
}

std::u16string ReadGSM7UserData(HexReader& r, size_t skip) {
    const uint8_t septets = r.Octet("TP-UDL");
    if (septets == 0) return {};
    if (skip > septets) throw DecodeError("user-data header longer than the user data");
    const std::vector<uint8_t> octets = r.Octets((septets * 7u + 7) / 8, "user data");
    const pdu::Septets s = pdu::UnpackSeptets(octets, septets, skip);
    return pdu::SeptetsToText(s.data(), s.size());
}

std::u16string ReadUCS2UserData(HexReader& r, size_t skip) {
    const uint8_t length = r.Octet("TP-UDL");
    if (length == 0) return {};
    if (skip > length) throw DecodeError("user-data header longer than the user data");
    const std::vector<uint8_t> octets = r.Octets(length, "user data");
    std::u16string text;
    text.reserve((length - skip) / 2);
    for (size_t i = skip; i + 1 < octets.size(); i += 2) {
        text.push_back(static_cast<char16_t>(octets[i] << 8 | octets[i + 1]));
    }
    return text;
}

enum class Coding { GSM7, UCS2, None };

// TP-DCS to alphabet (3GPP TS 23.038). 8-bit data and reserved codings
// carry no text.
Coding CodingOf(uint8_t dcs) {
    if (dcs < 0x80) {
        // General data coding and automatic-deletion groups.
        switch (dcs & 0x0C) {
            case 0x00:
                return Coding::GSM7;
            case 0x08:
                return Coding::UCS2;
            default:
                return Coding::None;
        }
    }
    if (dcs >= 0xF0) return (dcs & 0x04) != 0 ? Coding::None : Coding::GSM7;  // with class
    if (dcs >= 0xE0) return Coding::UCS2;                                     // message waiting
    if (dcs >= 0xC0) return Coding::GSM7;                                     // message waiting
    return Coding::None;
}

// Runs a reader over hex and removes what it consumed.
template <typename F>
auto Consume(std::string& hex, F&& read) {
    HexReader r(hex);
    auto result = read(r);
    hex.erase(0, r.Position());
    return result;
}

}  // namespace

bool PDUCodec::DecodeDeliver(std::string pdu, SMSMessage& message) {
    HexReader r(pdu::PduDigits(pdu));
    message.SetSmscNumber(pdu::ReadAddress(r, pdu::AddressField::ServiceCentre));
    const uint8_t firstOctet = r.Octet("first octet");
    if ((firstOctet & 0x03) != 0) return false;  // not an SMS-DELIVER
    const bool hasHeader = (firstOctet & 0x40) != 0;
    if (hasHeader) message.SetConcatenated(true);
    message.SetNumber(pdu::ReadAddress(r, pdu::AddressField::Originator));
    r.Octet("TP-PID");
    const uint8_t dcs = r.Octet("TP-DCS");
    r.Octets(7, "time stamp");

    const Coding coding = CodingOf(dcs);
    if (coding == Coding::None) {
        // No text, but the parts of a concatenated one must still be
        // collected as such: a header left unread would leave a part that no
        // collector ever completes, and its storage would never be freed.
        ReadHeader(r, message, false, hasHeader);
        if (hasHeader && message.IsConcatenated()) {
            message.AddPart(std::u16string(), message.GetPartNumber());
        }
        return true;
    }
    const bool sevenBit = coding == Coding::GSM7;
    const size_t skip = ReadHeader(r, message, sevenBit, hasHeader);
    std::u16string text = sevenBit ? ReadGSM7UserData(r, skip) : ReadUCS2UserData(r, skip);
    if (hasHeader && message.IsConcatenated()) {
        message.AddPart(text, message.GetPartNumber());
    } else {
        message.SetText(std::move(text));
    }
    return true;
}

std::string PDUCodec::DecodeAddress(std::string& hex, AddressMode mode) {
    const pdu::AddressField field =
        mode == ADDRESS_SMSC ? pdu::AddressField::ServiceCentre : pdu::AddressField::Originator;
    return Consume(hex, [field](HexReader& r) { return pdu::ReadAddress(r, field); });
}

size_t PDUCodec::UserDataHeaderLength(std::string copy, SMSMessage& message, bool sevenBit) {
    return ReadHeader(HexReader(copy), message, sevenBit, message.IsConcatenated());
}

std::u16string PDUCodec::DecodeGSM7UserData(std::string& hex, size_t skip) {
    return Consume(hex, [skip](HexReader& r) { return ReadGSM7UserData(r, skip); });
}

std::u16string PDUCodec::DecodeUCS2UserData(std::string& hex, size_t skip) {
    return Consume(hex, [skip](HexReader& r) { return ReadUCS2UserData(r, skip); });
}
