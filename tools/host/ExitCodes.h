// Exit statuses of qvgsm's host commands, documented in `qvgsm --help`.
#pragma once

#include <CLI/CLI.hpp>

namespace qvhost {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;    // a message was not sent, or not received in time
constexpr int kExitUsage = 2;     // bad arguments, e.g. a number without digits
constexpr int kExitDevice = 3;    // a device is missing, busy or unusable
constexpr int kExitLineDown = 4;  // a line failed to come up

inline const char* ExitCodeHelp() {
    return "Exit status: 0 ok; 1 a message was not sent or not received (or the driver could not "
           "be loaded); 2 usage error (bad option, bad number); 3 device missing, busy or "
           "unusable; 4 a line failed to come up.";
}

// Sets the footer once, whichever command registers first.
inline void DocumentExitCodes(CLI::App& app) {
    if (app.get_footer().empty()) app.footer(ExitCodeHelp());
}

}  // namespace qvhost
