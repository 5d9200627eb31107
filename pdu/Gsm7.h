// The GSM 7-bit default alphabet with its extension table, septet packing,
// and the hex and UCS2 text forms that AT commands in PDU mode carry.
// Pure functions: no state, no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pdu {

using Septets = std::vector<uint8_t>;

// 256 UTF-16 code units: [0,128) the default alphabet by septet value,
// [128,256) the extension table by the code that follows an escape (0x1B).
extern const char16_t GSM7Alphabet[256];

// One or two septets (escape pair) for a code unit; '?' (0x3F) when the
// alphabet lacks it.
Septets CharToSeptets(char16_t c);
// Septets to text; 0x1B selects the extension table for the next septet.
std::u16string SeptetsToText(const uint8_t* bytes, size_t count);
// Septets the text takes in 7-bit (escape pairs count two).
size_t CountSeptets(const std::u16string& text);
// Cuts text into pieces of at most maxSeptets septets, never splitting an
// escape pair. An empty text gives no piece.
std::vector<Septets> SplitGSM7(const std::u16string& text, size_t maxSeptets);
// Number of pieces SplitGSM7 gives, without building them.
size_t CountGSM7Pieces(const std::u16string& text, size_t maxSeptets);
// Packs septets (3GPP TS 23.038) to upper-case hex. With headerPrecedes the
// first septet follows one fill bit after a six-octet user-data header.
std::string PackSeptets(const Septets& septets, bool headerPrecedes);
// Unpacks n septets from packed octets and drops the first `skip`.
Septets UnpackSeptets(const std::vector<uint8_t>& octets, size_t n, size_t skip);
// Four upper-case hex digits per UTF-16 code unit.
std::string EncodeUCS2(const std::u16string& text);
// Pieces of at most maxUnits code units, each as UCS2 hex. A surrogate pair
// is never cut: a piece that would end in a high surrogate ends one unit
// early. An empty text gives one empty piece.
std::vector<std::string> SplitUCS2(const std::u16string& text, size_t maxUnits);
// Number of pieces SplitUCS2 gives, without building them.
size_t CountUCS2Pieces(const std::u16string& text, size_t maxUnits);
// Upper-case hex digits after an optional "0X"; stops at any other character.
uint32_t HexToInt(const std::string& text);
// Two upper-case hex digits.
void AppendOctet(std::string& out, uint8_t v);
// Reads and removes the first two hex digits; 0 for an empty text.
uint8_t ReadOctet(std::string& hex);

}  // namespace pdu
