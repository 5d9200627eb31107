// The one record of an SMS inside the driver, outgoing and received alike.
// Text is UTF-16; numbers are narrow. A record is used by one thread at a
// time and copied by value where a snapshot is needed.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class SMSMessage {
  public:
    SMSMessage() = default;
    SMSMessage(int32_t force7Bit, std::string number, std::u16string text);

    // Replaces the whole text and recomputes the encoding flags.
    void SetText(std::u16string text);
    // Stores a received part under its number. A number already present
    // keeps its earlier text.
    void AddPart(const std::u16string& text, uint8_t partNumber);
    // The whole text: `text` without parts, else the parts 1..max(count,
    // totalParts) in order (missing ones skipped); a single part is returned
    // whatever its number.
    std::u16string GetText() const;
    // True without parts, or once every part 1..totalParts is present.
    bool IsComplete() const;
    // Same concatenated message: this record is concatenated and both share
    // reference and sender.
    bool IsSameMessage(SMSMessage other) const;

    // Encoding of an outgoing message: GSM 7-bit when forced or when no code
    // unit is above U+007F, else UCS2.
    bool UsesGSM7() const { return force7Bit != 0 || isGSM7; }
    // 160 septets (7-bit) or 70 code units (UCS2) fit one message.
    int MaxCharsPerMessage() const { return UsesGSM7() ? 160 : 70; }
    // 7-bit counts septets (escape pairs take two), UCS2 counts code units.
    bool IsMultipart() const;
    int MaxSeptetsPerPart() const { return IsMultipart() ? 153 : 160; }

    void AddStorageIndex(uint32_t index) { storageIndices.push_back(index); }
    // Takes the last index off; false when there is none.
    bool PopStorageIndex(uint32_t& index);
    const std::vector<uint32_t>& GetStorageIndices() const { return storageIndices; }

    const std::u16string& GetRawText() const { return text; }
    const std::string& GetNumber() const { return number; }
    const std::string& GetSmscNumber() const { return smscNumber; }
    int32_t GetForce7Bit() const { return force7Bit; }
    bool HasUnicode() const { return hasUnicode; }
    bool IsGSM7() const { return isGSM7; }
    bool IsConcatenated() const { return isConcatenated; }
    uint8_t GetConcatReference() const { return concatReference; }
    uint8_t GetPartNumber() const { return partNumber; }
    uint8_t GetTotalParts() const { return totalParts; }
    const std::map<uint8_t, std::u16string>& GetParts() const { return parts; }

    void SetNumber(std::string value) { number = std::move(value); }
    void SetSmscNumber(std::string value) { smscNumber = std::move(value); }
    void SetPartNumber(uint8_t value) { partNumber = value; }
    void SetConcatReference(uint8_t value) { concatReference = value; }
    // The reference as received, whole: 8-bit values as they are, 16-bit
    // ones with bit 16 set, so the two kinds never meet.
    uint32_t GetConcatKey() const { return concatKey; }
    void SetConcatKey(uint32_t value) { concatKey = value; }
    void SetTotalParts(uint8_t value) { totalParts = value; }
    void SetConcatenated(bool value = true) { isConcatenated = value; }

  private:
    uint8_t totalParts = 1;
    std::u16string text;
    std::string smscNumber;
    std::string number;
    int32_t force7Bit = 0;
    bool hasUnicode = false;
    bool isGSM7 = true;
    bool isConcatenated = false;
    uint8_t concatReference = 0;
    uint32_t concatKey = 0;
    uint8_t partNumber = 0;
    std::map<uint8_t, std::u16string> parts;
    std::vector<uint32_t> storageIndices;
};
