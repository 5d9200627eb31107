// What `qvgsm send` and `qvgsm listen` share: check the devices, link them
// as comN in a private QVGSM_COMDIR, load the driver, start it, register the
// lines and wait until each is up. Every failure is printed and thrown as
// CLI::RuntimeError with its exit code.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tools/host/Devices.h"
#include "tools/host/DriverLib.h"
#include "tools/host/Host.h"
#include "tools/host/Printer.h"

namespace qvhost {

struct SessionOptions {
    std::vector<std::string> lines;  // COM=DEVICE
    std::string lib;                 // --lib
    unsigned sendRetryCount = 3;
    bool statusReports = false;
    bool canSend = true;
};

// Platform time runs this much faster than real time in the driver
// (QVGSM_TIME_SCALE, a test seam); the tool shrinks its own waits to match.
double TimeScale();
// A wait of `seconds` of driver time, in real time.
std::chrono::milliseconds DriverWait(double seconds);

class Session {
  public:
    explicit Session(Printer& printer) : m_printer(printer) {}
    ~Session();

    void Open(const SessionOptions& options);
    Host& GetHost() { return *m_host; }
    const std::vector<LineSpec>& Lines() const { return m_lines; }
    // Events, starting with those that came while the lines were coming up.
    bool Next(HostEvent* out, std::chrono::milliseconds timeout);
    [[noreturn]] void Fail(int exitCode, const std::string& message);

  private:
    void CheckDevices();
    void LinkDevices();
    void StartDriver(const std::string& libOption);
    void BringUpLines(const SessionOptions& options);

    Printer& m_printer;
    std::vector<LineSpec> m_lines;
    TempDir m_comDir;
    DriverLib m_lib;
    std::unique_ptr<Host> m_host;
    std::deque<HostEvent> m_early;
};

}  // namespace qvhost
