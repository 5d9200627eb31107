#include "tools/host/Session.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include "tools/host/ExitCodes.h"
#include "tools/host/ResultText.h"

namespace qvhost {
namespace {

// The driver gives up on a line only after three initialisation attempts,
// each of which may wait out every command's time-out (about 1230 s).
constexpr double kLineUpSeconds = 3 * 1230 + 10;
// A silent modem costs the driver 3 x 200 s before it reports: say so.
constexpr double kPatienceHintSeconds = 15;

}  // namespace

double TimeScale() {
    const char* text = std::getenv("QVGSM_TIME_SCALE");
    double scale = text != nullptr ? std::strtod(text, nullptr) : 1.0;
    return scale > 0 ? scale : 1.0;
}

std::chrono::milliseconds DriverWait(double seconds) {
    auto ms = static_cast<long long>(seconds * 1000.0 / TimeScale());
    return std::chrono::milliseconds(ms < 1000 ? 1000 : ms);
}

Session::~Session() {
    if (m_host) m_host->Stop();
}

void Session::Fail(int exitCode, const std::string& message) {
    m_printer.Error(exitCode, message);
    if (m_host) m_host->Stop();
    throw CLI::RuntimeError(exitCode);
}

void Session::Open(const SessionOptions& options) {
    std::set<int> coms;
    for (const auto& text : options.lines) {
        LineSpec spec;
        std::string error;
        if (!ParseLineSpec(text, &spec, &error)) Fail(kExitUsage, error);
        if (!coms.insert(spec.com).second) {
            Fail(kExitUsage, "COM" + std::to_string(spec.com) + " is given twice");
        }
        m_lines.push_back(spec);
    }
    CheckDevices();
    LinkDevices();
    StartDriver(options.lib);
    BringUpLines(options);
}

void Session::CheckDevices() {
    for (const auto& line : m_lines) {
        std::string detail;
        switch (CheckDevice(line.device, &detail)) {
            case DeviceState::Ready:
                break;
            case DeviceState::Missing:
                Fail(kExitDevice, "COM" + std::to_string(line.com) + ": " + detail +
                                      " (is the modem plugged in?)");
            case DeviceState::Busy:
                Fail(kExitDevice, "COM" + std::to_string(line.com) + ": " + detail);
            case DeviceState::Unusable:
                Fail(kExitDevice, "COM" + std::to_string(line.com) + ": " + detail);
        }
    }
}

void Session::LinkDevices() {
    std::string error;
    if (!m_comDir.Create("qvgsm-com", &error)) Fail(kExitFailed, error);
    for (const auto& line : m_lines) {
        if (!LinkCom(m_comDir.Path(), line.com, line.device, &error)) Fail(kExitFailed, error);
    }
    // The driver opens COMn as $QVGSM_COMDIR/comN.
    setenv("QVGSM_COMDIR", m_comDir.Path().c_str(), 1);
}

void Session::StartDriver(const std::string& libOption) {
    std::vector<std::string> tried;
    std::string path = FindDriverLibrary(libOption, &tried);
    if (path.empty()) {
        std::string where;
        for (const auto& t : tried) where += (where.empty() ? "" : "; ") + t;
        Fail(kExitFailed, "driver library not found (looked at: " + where + ")");
    }
    std::string error;
    if (!m_lib.Load(path, &error)) Fail(kExitFailed, "cannot load " + path + ": " + error);
    m_printer.Info("driver " + path);
    m_host = std::make_unique<Host>(m_lib);
    int rc = m_host->Start();
    if (rc != 0) {
        Fail(kExitFailed,
             "the driver did not start: " + ResultText(rc) + " (" + ResultName(rc) + ")");
    }
}

void Session::BringUpLines(const SessionOptions& options) {
    std::map<int, bool> pending;
    for (const auto& line : m_lines) {
        LineOptions lo;
        lo.com = line.com;
        lo.sendRetryCount = options.sendRetryCount;
        lo.statusReports = options.statusReports;
        lo.canSend = options.canSend;
        int rc = m_host->AddLine(lo);
        if (rc != QV_PENDING && rc != QV_OK) {
            Fail(kExitLineDown, "COM" + std::to_string(line.com) + " was refused: " +
                                    ResultText(rc) + " (" + ResultName(rc) + ")");
        }
        pending[line.com] = true;
    }
    std::string failures;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + DriverWait(kLineUpSeconds);
    const auto hint = start + std::chrono::milliseconds(static_cast<long long>(
                                  kPatienceHintSeconds * 1000 / TimeScale()));
    bool hinted = false;
    while (!pending.empty()) {
        auto now = std::chrono::steady_clock::now();
        if (!hinted && now >= hint) {
            hinted = true;
            std::string coms;
            for (const auto& [com, unused] : pending) coms += " COM" + std::to_string(com);
            m_printer.Info("still initialising" + coms +
                           " (a modem that does not answer takes three attempts of 200 s each "
                           "before the driver gives up; its GSM_COM<n>.log shows progress)");
        }
        auto until = hinted ? deadline : std::min(deadline, hint);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
        HostEvent ev;
        if (left.count() <= 0) {
            if (hinted) break;
            continue;
        }
        if (!m_host->Next(&ev, left)) continue;
        if (ev.kind != HostEvent::Kind::LineStatus) {
            m_early.push_back(ev);  // e.g. messages collected from the SIM at start
            continue;
        }
        if (ev.code == QV_LOGUNAVAILABLE) {
            m_printer.Event(ev);  // a notice; the line's status follows
            continue;
        }
        if (pending.erase(ev.com) == 0) continue;
        m_printer.Event(ev);
        if (ev.code != 0) failures += (failures.empty() ? "" : "; ") + Describe(ev);
    }
    for (const auto& [com, unused] : pending) {
        failures += (failures.empty() ? "" : "; ") + std::string("COM") + std::to_string(com) +
                    " did not report within the time allowed";
    }
    if (!failures.empty()) Fail(kExitLineDown, failures);
}

bool Session::Next(HostEvent* out, std::chrono::milliseconds timeout) {
    if (!m_early.empty()) {
        *out = m_early.front();
        m_early.pop_front();
        return true;
    }
    return m_host->Next(out, timeout);
}

}  // namespace qvhost
