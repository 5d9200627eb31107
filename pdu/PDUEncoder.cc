// SMS-SUBMIT encoding: one PDU per part, a concatenation header on every
// part of a multipart message.
#include <algorithm>
#include <random>

#include "pdu/Gsm7.h"
#include "pdu/PDUCodec.h"

namespace {

constexpr size_t kSeptetsOnePart = 160;
constexpr size_t kSeptetsPerPart = 153;  // 160 less the header's 7 septets
constexpr size_t kUnitsOnePart = 70;
constexpr size_t kUnitsPerPart = 64;
constexpr size_t kHeaderSeptets = 7;  // six header octets and one fill bit

std::string Octet(unsigned value) {
    std::string hex;
    pdu::AppendOctet(hex, static_cast<uint8_t>(value & 0xFF));
    return hex;
}

// Concatenation reference, 1 to 255. The generator is never seeded, so each
// thread draws the same sequence after every start.
uint8_t NextReference() {
    thread_local std::minstd_rand generator;
    return static_cast<uint8_t>(generator() % 255 + 1);
}

std::string ConcatHeader(uint8_t reference, size_t total, size_t part) {
    return "050003" + Octet(reference) + Octet(static_cast<unsigned>(total)) +
           Octet(static_cast<unsigned>(part));
}

}  // namespace

size_t PDUCodec::CountParts(const SMSMessage& message) {
    if (!message.IsMultipart()) return 1;
    const std::u16string& text = message.GetRawText();
    if (message.UsesGSM7()) return pdu::CountGSM7Pieces(text, kSeptetsPerPart);
    return pdu::CountUCS2Pieces(text, kUnitsPerPart);
}

std::string PDUCodec::EncodeAddress(const std::string& number) {
    std::string digits;
    for (char c : number) {
        if (c >= '0' && c <= '9') digits.push_back(c);
    }
    if (digits.empty()) return "00";
    const size_t first = number.find_first_not_of(' ');
    const unsigned type = (first != std::string::npos && number[first] == '+') ? 0x91 : 0x81;
    std::string field = Octet(static_cast<unsigned>(digits.size())) + Octet(type);
    if (digits.size() % 2 != 0) digits.push_back('F');
    for (size_t i = 0; i < digits.size(); i += 2) {
        field.push_back(digits[i + 1]);
        field.push_back(digits[i]);
    }
    return field;
}

std::vector<std::string> PDUCodec::EncodeSubmit(SMSMessage message, int statusReport) {
    m_pdus.clear();
    m_lengths.clear();
    // A record that collected parts sends their assembled text.
    if (!message.GetParts().empty()) message.SetText(message.GetText());

    // TP-DA holds at most 20 digits; a longer number would be sent with a
    // wrong length octet and a PDU the network cannot parse.
    const std::string& number = message.GetNumber();
    if (std::count_if(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }) >
        static_cast<std::ptrdiff_t>(pdu::kMaxAddressDigits)) {
        throw pdu::EncodeError("number has more than " + std::to_string(pdu::kMaxAddressDigits) +
                               " digits");
    }
    const size_t total = CountParts(message);
    if (total > pdu::kMaxParts) {
        throw pdu::EncodeError("text needs " + std::to_string(total) + " parts, at most " +
                               std::to_string(pdu::kMaxParts) + " can be linked");
    }
    const bool multipart = message.IsMultipart();
    const bool gsm7 = message.UsesGSM7();
    const unsigned firstOctet = 0x01 | (statusReport != 0 ? 0x20 : 0) | (multipart ? 0x40 : 0);
    const std::string prefix = "00" + Octet(firstOctet) + "00" +
                               EncodeAddress(message.GetNumber()) + (gsm7 ? "0000" : "0008");
    const uint8_t reference = NextReference();
    const std::u16string& text = message.GetRawText();

    // Each part as (TP-UDL, user data hex); the header comes later.
    std::vector<std::pair<size_t, std::string>> pieces;
    if (gsm7) {
        // TP-UDL counts septets: the hex length cannot tell whether the last
        // octet holds a final '@' (septet 0) or only padding.
        for (auto& septets : pdu::SplitGSM7(text, multipart ? kSeptetsPerPart : kSeptetsOnePart)) {
            pieces.emplace_back(septets.size() + (multipart ? kHeaderSeptets : 0),
                                pdu::PackSeptets(septets, multipart));
        }
        // An empty text goes as TP-UDL 0 without user data.
        if (pieces.empty()) pieces.emplace_back(0, std::string());
    } else {
        for (auto& hex : pdu::SplitUCS2(text, multipart ? kUnitsPerPart : kUnitsOnePart)) {
            pieces.emplace_back(hex.size() / 2 + (multipart ? 6 : 0), std::move(hex));
        }
    }

    m_pdus.reserve(pieces.size());
    m_lengths.reserve(pieces.size());
    for (size_t k = 1; k <= pieces.size(); ++k) {
        std::string pdu = prefix;
        std::string header;
        if (multipart) {
            pdu.replace(4, 2, Octet(static_cast<unsigned>(k)));  // TP-MR
            header = ConcatHeader(reference, pieces.size(), k);
        }
        pdu += Octet(static_cast<unsigned>(pieces[k - 1].first));
        pdu += header;
        pdu += pieces[k - 1].second;
        m_lengths.push_back(static_cast<int32_t>(pdu.size() / 2 - 1));
        m_pdus.push_back(std::move(pdu));
    }
    return m_pdus;
}
