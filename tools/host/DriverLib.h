// The driver library as a host sees it: loaded with dlopen, reached only
// through its six exported functions.
#pragma once

#include <string>
#include <vector>

#include "qvGSMcomdrv.h"

namespace qvhost {

// Where the library is: the --lib option, else $QVGSM_DRIVER, else next to
// the executable (bin/../lib*/), else where the build put it. Empty when
// none exists; *tried lists the places looked at.
std::string FindDriverLibrary(const std::string& option, std::vector<std::string>* tried);

class DriverLib {
  public:
    // False with *error when the file cannot be loaded or lacks an export.
    // The library stays loaded until the process ends: its worker and log
    // threads must never outlive their code.
    bool Load(const std::string& path, std::string* error);
    const std::string& Path() const { return m_path; }

    int (*Init)(void) = nullptr;
    int (*Shutdown)(void) = nullptr;
    int (*AddLine)(const GSMLineConfig*) = nullptr;
    int (*ReinitLine)(int) = nullptr;
    int (*UninitLine)(int) = nullptr;
    int (*SendSMS)(int, SMSJob*) = nullptr;

  private:
    std::string m_path;
};

}  // namespace qvhost
