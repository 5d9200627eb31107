#include "pdu/SMSMessage.h"

#include <algorithm>

#include "pdu/Gsm7.h"

namespace {

bool HasUnitAbove7F(const std::u16string& text) {
    return std::any_of(text.begin(), text.end(), [](char16_t c) { return c > 0x7F; });
}

}  // namespace

SMSMessage::SMSMessage(int32_t force7Bit, std::string number, std::u16string text)
    : number(std::move(number)), force7Bit(force7Bit) {
    SetText(std::move(text));
}

void SMSMessage::SetText(std::u16string value) {
    text = std::move(value);
    hasUnicode = HasUnitAbove7F(text);
    isGSM7 = !hasUnicode;
}

void SMSMessage::AddPart(const std::u16string& partText, uint8_t number) {
    if (!hasUnicode && HasUnitAbove7F(partText)) hasUnicode = true;
    isGSM7 = !hasUnicode;
    parts.emplace(number, partText);
}

std::u16string SMSMessage::GetText() const {
    if (parts.empty()) return text;
    if (parts.size() == 1) return parts.begin()->second;
    // Parts 0 and beyond the announced total belong to no valid numbering.
    const unsigned last = std::max<unsigned>(static_cast<unsigned>(parts.size()), totalParts);
    std::u16string whole;
    for (const auto& [k, partText] : parts) {
        if (k >= 1 && k <= last) whole += partText;
    }
    return whole;
}

bool SMSMessage::IsMultipart() const {
    if (!UsesGSM7()) return text.size() > 70;
    // Escape pairs take two septets: 160 characters can need 161 septets.
    return pdu::CountSeptets(text) > 160;
}

bool SMSMessage::IsComplete() const {
    if (parts.empty()) return true;
    for (unsigned k = 1; k <= totalParts; ++k) {
        if (parts.find(static_cast<uint8_t>(k)) == parts.end()) return false;
    }
    return true;
}

bool SMSMessage::IsSameMessage(SMSMessage other) const {
    // Sender, whole reference and total: a message that lost a part never
    // takes the parts of a later one that reuses its reference.
    return isConcatenated && concatReference == other.concatReference &&
           concatKey == other.concatKey && totalParts == other.totalParts && number == other.number;
}

bool SMSMessage::PopStorageIndex(uint32_t& index) {
    if (storageIndices.empty()) return false;
    index = storageIndices.back();
    storageIndices.pop_back();
    return true;
}
