#include "gsm/StorageSlot.h"

#include <cctype>

namespace storage {

namespace {

const char* const kNames[kMemoryCount] = {"SM", "ME", "MT", "SR", "BM", "TA"};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

const char* Name(uint32_t memory) {
    return memory < kMemoryCount ? kNames[memory] : "?";
}

uint32_t FromName(const std::string& name) {
    std::string bare;
    for (char c : name) {
        if (c == '"' || c == ' ') continue;
        bare += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    for (uint32_t m = 0; m < kMemoryCount; ++m) {
        if (bare == kNames[m]) return m;
    }
    return kNoMemory;
}

std::string Describe(uint32_t slot) {
    const std::string index = std::to_string(IndexOf(slot));
    return MemoryOf(slot) == SM ? index : std::string(Name(MemoryOf(slot))) + " " + index;
}

Indication ParseIndication(const std::string& text, size_t from) {
    Indication out;
    size_t p = from;
    auto skipSpaces = [&] {
        while (p < text.size() && text[p] == ' ') ++p;
    };
    auto malformed = [&] {
        out.state = Indication::Malformed;
        out.end = p;
        return out;
    };
    skipSpaces();
    // The storage name, quoted or not, up to the comma.
    const size_t nameStart = p;
    while (p < text.size() && text[p] != ',' && text[p] != '\r' && text[p] != '\n' &&
           p - nameStart < 8) {
        ++p;
    }
    if (p == text.size()) return out;
    if (text[p] != ',') return malformed();
    const uint32_t memory = FromName(text.substr(nameStart, p - nameStart));
    ++p;
    skipSpaces();
    if (p == text.size()) return out;
    if (!IsDigit(text[p])) return malformed();
    uint64_t index = 0;
    while (p < text.size() && IsDigit(text[p])) {
        if (index <= kMaxIndex) index = index * 10 + static_cast<uint64_t>(text[p] - '0');
        ++p;
    }
    // The index has ended only once something else follows it.
    if (p == text.size()) return out;
    if (memory == kNoMemory || index == 0 || index > kMaxIndex) return malformed();
    out.state = Indication::Found;
    out.slot = Slot(memory, static_cast<uint32_t>(index));
    out.end = p;
    return out;
}

}  // namespace storage
