// Where a stored message lives: its message storage ("SM", "ME", ...) and
// its index there, packed into one number so that everything keyed on a
// stored message (the receive queue, the delete list, the delivered
// entries) tells two storages apart. The default storage "SM" packs to the
// plain index. Pure text and number handling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace storage {

// The message storages of 3GPP TS 27.005 (+CPMS <mem>).
enum Memory : uint32_t { SM = 0, ME, MT, SR, BM, TA, kMemoryCount };
constexpr uint32_t kNoMemory = kMemoryCount;

constexpr uint32_t kIndexBits = 24;
constexpr uint32_t kMaxIndex = (1u << kIndexBits) - 1;

constexpr uint32_t Slot(uint32_t memory, uint32_t index) {
    return (memory << kIndexBits) | (index & kMaxIndex);
}
constexpr uint32_t IndexOf(uint32_t slot) {
    return slot & kMaxIndex;
}
constexpr uint32_t MemoryOf(uint32_t slot) {
    return slot >> kIndexBits;
}

const char* Name(uint32_t memory);
// The memory a storage name (quoted or not, any case) stands for;
// kNoMemory when it is none of them.
uint32_t FromName(const std::string& name);
// "7" for SM 7, "ME 7" for another storage: for logs.
std::string Describe(uint32_t slot);

// An indication of a stored message, "+CMTI: <mem>,<index>" (or "+CDSI:"),
// read from text starting just after its prefix.
struct Indication {
    enum State { Incomplete, Malformed, Found } state = Incomplete;
    uint32_t slot = 0;
    size_t end = 0;  // offset in text just past the index (Found, Malformed)
};
Indication ParseIndication(const std::string& text, size_t from);

}  // namespace storage
