// DecodeDeliver on arbitrary input: the first byte picks raw text (as a modem
// line may carry anything) or the hex of the remaining bytes (to reach the
// fields behind a well-formed start). Only pdu::DecodeError may leave it.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "pdu/PDUCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool asHex = (data[0] & 1) == 0;
    const std::string pdu = asHex ? qvfuzz::ToHex(data + 1, size - 1)
                                  : std::string(reinterpret_cast<const char*>(data + 1), size - 1);
    SMSMessage message;
    PDUCodec codec;
    bool deliver = false;
    try {
        deliver = codec.DecodeDeliver(pdu, message);
    } catch (const pdu::DecodeError&) {
        return 0;
    }
    if (!deliver) {
        QVFUZZ_CHECK(message.GetNumber().empty() && message.GetParts().empty(), pdu);
        return 0;
    }
    if (message.IsConcatenated()) {
        QVFUZZ_CHECK(message.GetPartNumber() >= 1, pdu);
        QVFUZZ_CHECK(message.GetPartNumber() <= message.GetTotalParts(), pdu);
        QVFUZZ_CHECK(message.GetParts().size() == 1, pdu);
    }
    // A user data length of at most 255 octets or septets bounds the text.
    const std::u16string text = message.GetText();
    QVFUZZ_CHECK(text.size() <= 255, pdu);
    (void)message.IsComplete();
    // The record must also survive being merged into a collector.
    SMSMessage collector = message;
    if (collector.IsSameMessage(message)) collector.AddPart(text, message.GetPartNumber());
    (void)collector.GetText();
    return 0;
}
