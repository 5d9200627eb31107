// Folders a test process shares between its tests (modem links, line logs).
#pragma once

#include <string>

namespace qvtest {

// The folder the environment variable names; when it names none, a new one
// from the mkdtemp pattern, named in the variable from then on and removed
// with what it holds when the process exits.
std::string ProcessDir(const char* pattern, const char* variable);

}  // namespace qvtest
