// What the driver's result codes mean to a person at a terminal.
#pragma once

#include <string>

namespace qvhost {

// "QV_TIMEOUT", or "code 77" for a code the driver does not define.
std::string ResultName(int code);
// A short sentence a person can act on.
std::string ResultText(int code);

}  // namespace qvhost
