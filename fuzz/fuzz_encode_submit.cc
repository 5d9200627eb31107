// EncodeSubmit on arbitrary UTF-16 text and numbers. Every PDU is well
// formed and, as the recipient gets it, decodes back to the number and the
// text (characters the 7-bit alphabet lacks become '?').
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "pdu/Gsm7.h"
#include "pdu/PDUCodec.h"

namespace {

std::u16string Expected(const SMSMessage& m) {
    if (!m.UsesGSM7()) return m.GetRawText();
    std::u16string out;
    for (char16_t c : m.GetRawText()) {
        const bool known =
            std::find(pdu::GSM7Alphabet, pdu::GSM7Alphabet + 256, c) != pdu::GSM7Alphabet + 256;
        out += known ? c : u'?';
    }
    return out;
}

std::string ExpectedNumber(const std::string& number) {
    std::string digits;
    for (char c : number) {
        if (c >= '0' && c <= '9') digits += c;
    }
    if (digits.empty()) return digits;
    const size_t first = number.find_first_not_of(' ');
    return (number[first] == '+' ? "+" : "") + digits;
}

std::string Describe(const std::string& number, const std::u16string& text) {
    return "number '" + number + "' text units " + std::to_string(text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    const size_t numberLength = std::min<size_t>(data[1], size - 2);
    std::string number(reinterpret_cast<const char*>(data + 2), numberLength);
    number.erase(std::remove(number.begin(), number.end(), '\0'), number.end());
    std::u16string text;
    for (size_t i = 2 + numberLength; i + 1 < size; i += 2) {
        const char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (unit != 0) text.push_back(unit);  // the host's text ends at its NUL
    }

    const SMSMessage message((flags & 1) ? 1 : 0, number, text);
    PDUCodec encoder;
    std::vector<std::string> pdus;
    try {
        pdus = encoder.EncodeSubmit(message, (flags & 2) ? 1 : 0);
    } catch (const pdu::EncodeError&) {
        const std::string digits = ExpectedNumber(number);
        QVFUZZ_CHECK(PDUCodec::CountParts(message) > pdu::kMaxParts ||
                         std::count_if(digits.begin(), digits.end(),
                                       [](char c) { return c >= '0' && c <= '9'; }) > 20,
                     Describe(number, text));
        return 0;
    }
    QVFUZZ_CHECK(!pdus.empty() && pdus.size() == PDUCodec::CountParts(message),
                 Describe(number, text));
    QVFUZZ_CHECK(encoder.GetLengths().size() == pdus.size(), Describe(number, text));

    SMSMessage collected;
    for (size_t i = 0; i < pdus.size(); ++i) {
        const std::string& submit = pdus[i];
        QVFUZZ_CHECK(submit.size() % 2 == 0 && submit.size() / 2 <= 2 + 176, submit);
        QVFUZZ_CHECK(encoder.GetLengths()[i] == static_cast<int32_t>(submit.size() / 2 - 1),
                     submit);
        for (char c : submit) {
            QVFUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'), submit);
        }
        SMSMessage part;
        PDUCodec decoder;
        try {
            QVFUZZ_CHECK(decoder.DecodeDeliver(qvfuzz::SubmitToDeliver(submit), part), submit);
        } catch (const pdu::DecodeError& e) {
            qvfuzz::Fail("an encoded part does not decode:", submit + " " + e.what());
        }
        QVFUZZ_CHECK(part.GetNumber() == ExpectedNumber(number), submit);
        if (pdus.size() == 1) {
            QVFUZZ_CHECK(!part.IsConcatenated(), submit);
            collected = part;
            break;
        }
        QVFUZZ_CHECK(part.IsConcatenated() && part.GetPartNumber() == i + 1 &&
                         part.GetTotalParts() == pdus.size(),
                     submit);
        if (i == 0) {
            collected = part;
        } else {
            QVFUZZ_CHECK(collected.IsSameMessage(part), submit);
            collected.AddPart(part.GetText(), part.GetPartNumber());
        }
    }
    QVFUZZ_CHECK(collected.IsComplete(), Describe(number, text));
    QVFUZZ_CHECK(collected.GetText() == Expected(message), Describe(number, text));
    return 0;
}
