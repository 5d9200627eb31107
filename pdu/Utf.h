// UTF-8 <-> UTF-16 for texts that cross the command line or the simulator.
// Invalid input (bad sequences, lone surrogates) becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace pdu {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace pdu
