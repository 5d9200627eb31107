// qvgsm demo: the driver at work on three simulated modems, no hardware.
// Loads the library as a host does, brings three lines up, sends a short, a
// long and an emoji message, lets two messages arrive (one in parts, out of
// order), sends one more with a delivery report requested and shows the
// report, checks both directions against the simulator and sums up.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pdu/Utf.h"
#include "tools/commands.h"
#include "tools/host/Devices.h"
#include "tools/host/DriverLib.h"
#include "tools/host/ExitCodes.h"
#include "tools/host/Host.h"
#include "tools/host/Printer.h"
#include "tools/host/ResultText.h"
#include "tools/sim/Simulator.h"

namespace qvgsm {
namespace {

using Clock = std::chrono::steady_clock;

struct DemoOptions {
    std::string lib;
    bool verbose = false;
};

constexpr int kLines = 3;
// The whole run must end well inside 30 s, even when something hangs.
constexpr auto kBudget = std::chrono::seconds(25);

struct Outgoing {
    std::string label;
    std::string number;
    std::u16string text;
    int jobId = -1;
    int result = -1;  // -1 until its callback came
    bool verified = false;
};

struct Arrival {
    std::string label;
    int modem;
    std::string sender;
    std::u16string text;
    std::vector<int> order;  // parts in arrival order; empty: in order
    bool received = false;
    bool verified = false;
};

std::string StripPlus(const std::string& n) {
    return !n.empty() && n[0] == '+' ? n.substr(1) : n;
}

std::string Shorten(const std::string& s, size_t max) {
    return s.size() <= max ? s : s.substr(0, max - 3) + "...";
}

std::vector<Outgoing> Messages() {
    const std::string longText =
        "This message is too long for one SMS of 160 characters, so the driver splits it into "
        "concatenated parts, each with a user data header that names the message and the part; "
        "the phone that receives them joins the parts again in the right order and shows one "
        "message. Three parts are needed for this text, and the simulated modem decodes each "
        "of them on its own.";
    const std::string emoji =
        "Emoji travel as UCS2 \xF0\x9F\x98\x80 \xF0\x9F\x9A\x80 \xF0\x9F\x8E\x89 (surrogate "
        "pairs intact)";
    return {
        {"short", "+15551230001", pdu::Utf8ToUtf16("Hello from the qvGSMcomdrv demo!")},
        {"long", "+15551230002", pdu::Utf8ToUtf16(longText)},
        {"emoji", "+15551230003", pdu::Utf8ToUtf16(emoji)},
    };
}

std::vector<Arrival> Arrivals() {
    const std::string longText =
        "A reply in several parts: the simulated network delivers part three first, then part "
        "one, then part two. The driver keeps the parts it has until the message is complete, "
        "puts them in order and hands the host one message with the whole text, the sender and "
        "the number of parts it came in. Nothing is lost and nothing is doubled.";
    return {
        {"single", 0, "+15559870001", pdu::Utf8ToUtf16("Single-part reply arriving on COM1"), {}},
        {"in parts", 1, "+15559870002", pdu::Utf8ToUtf16(longText), {3, 1, 2}},
    };
}

class Demo {
  public:
    explicit Demo(const DemoOptions& o) : m_opt(o), m_start(Clock::now()) {}

    int Run() {
        Say("qvgsm demo: the driver on " + std::to_string(kLines) +
            " simulated GSM modems (no hardware)");
        if (!Prepare()) return qvhost::kExitFailed;
        bool linesUp = BringUpLines();
        if (linesUp) {
            SendMessages();
            ReceiveMessages();
            DeliveryReport();
        }
        m_host->Stop();
        Verify();
        return Summary(linesUp);
    }

  private:
    void Say(const std::string& line) {
        std::lock_guard<std::mutex> lock(m_print);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    double Seconds() const { return std::chrono::duration<double>(Clock::now() - m_start).count(); }

    std::string Stamp() const {
        char buf[32];
        std::snprintf(buf, sizeof buf, "[%6.2fs]", Seconds());
        return buf;
    }

    void Progress(const qvhost::HostEvent& ev) {
        ++m_done;
        char count[32];
        std::snprintf(count, sizeof count, "(%d/%d)", m_done, m_expected);
        Say(Stamp() + " " + count + " callback: " + Shorten(qvhost::Describe(ev), 110));
    }

    bool Prepare() {
        std::string error;
        if (!m_work.Create("qvgsm-demo-logs", &error)) {
            Say("error: " + error);
            return false;
        }
        m_work.Keep();  // the logs are there for a person to read afterwards
        if (!m_comDir.Create("qvgsm-demo-com", &error)) {
            Say("error: " + error);
            return false;
        }
        const std::string comDir = m_comDir.Path();
        m_logDir = m_work.Path();
        for (int i = 0; i < kLines; ++i) {
            int id = m_sim.Add();
            if (id < 0) {
                Say("error: no pseudo-terminal for a simulated modem");
                return false;
            }
            m_sim.Link(id, comDir, i + 1);
            Say("  COM" + std::to_string(i + 1) + " -> " + m_sim.SlavePath(id) +
                " (simulated modem)");
        }
        m_sim.SetObserver([this](const qvsim::SimEvent& ev) { OnModem(ev); });
        setenv("QVGSM_COMDIR", comDir.c_str(), 1);
        setenv("QVGSM_LOGDIR", m_logDir.c_str(), 1);
        Say("  line logs: " + m_logDir + "/GSM_COM<n>.log");

        std::vector<std::string> tried;
        std::string path = qvhost::FindDriverLibrary(m_opt.lib, &tried);
        if (path.empty()) {
            Say("error: libqvGSMcomdrv.so not found (build it, or give --lib)");
            return false;
        }
        if (!m_lib.Load(path, &error)) {
            Say("error: cannot load " + path + ": " + error);
            return false;
        }
        Say("  driver: " + path);
        m_host = std::make_unique<qvhost::Host>(m_lib);
        int rc = m_host->Start();
        if (rc != QV_OK) {
            Say("error: gsmdrvInit: " + qvhost::ResultText(rc));
            return false;
        }
        m_expected = kLines + static_cast<int>(m_out.size() + m_in.size());
        return true;
    }

    void OnModem(const qvsim::SimEvent& ev) {
        std::string com = "COM" + std::to_string(ev.modem + 1);
        switch (ev.kind) {
            case qvsim::SimEvent::Kind::Command:
                if (m_opt.verbose) Say(Stamp() + "          modem " + com + " << " + ev.text);
                break;
            case qvsim::SimEvent::Kind::Submit:
                Say(Stamp() + "          modem " + com + " took SMS-SUBMIT " +
                    Shorten(ev.text, 80));
                break;
            case qvsim::SimEvent::Kind::Rejected:
                Say(Stamp() + "          modem " + com + " rejected a PDU: " + ev.text);
                break;
            case qvsim::SimEvent::Kind::HangUp:
            case qvsim::SimEvent::Kind::Replug:
                break;
        }
    }

    // Waits for events until done() holds or the budget is spent.
    template <typename Done>
    void Pump(Done done) {
        while (!done()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_start + kBudget -
                                                                              Clock::now());
            qvhost::HostEvent ev;
            if (left.count() <= 0 || !m_host->Next(&ev, left)) return;
            Handle(ev);
        }
    }

    void Handle(const qvhost::HostEvent& ev) {
        Progress(ev);
        switch (ev.kind) {
            case qvhost::HostEvent::Kind::LineStatus:
                if (ev.code == QV_LOGUNAVAILABLE) break;  // a notice; the status follows
                m_lineResults[ev.com] = ev.code;
                if (ev.code != 0) ++m_failures;
                break;
            case qvhost::HostEvent::Kind::Sent:
                for (auto& m : m_out) {
                    if (m.jobId == ev.jobId) m.result = ev.code;
                }
                if (ev.code != 0) ++m_failures;
                break;
            case qvhost::HostEvent::Kind::Status:
                if (ev.jobId == m_reportJob && ev.final) m_reportStatus = ev.status;
                break;
            case qvhost::HostEvent::Kind::Received:
                for (auto& a : m_in) {
                    if (!a.received && StripPlus(a.sender) == StripPlus(ev.number)) {
                        a.received = true;
                        a.verified = a.text == ev.text;
                        if (!a.verified) ++m_failures;
                        break;
                    }
                }
                break;
        }
    }

    bool BringUpLines() {
        Say("\nBringing up " + std::to_string(kLines) + " lines (AT initialisation in PDU mode)");
        for (int com = 1; com <= kLines; ++com) {
            qvhost::LineOptions lo;
            lo.com = com;
            lo.statusReports = com == 1;  // the report step sends on COM1
            int rc = m_host->AddLine(lo);
            if (rc != QV_PENDING) {
                Say("error: gsmdrvaddGSMline(COM" + std::to_string(com) +
                    "): " + qvhost::ResultText(rc));
                ++m_failures;
                return false;
            }
        }
        Pump([this] { return m_lineResults.size() == kLines; });
        int up = 0;
        for (const auto& [com, code] : m_lineResults) up += code == 0 ? 1 : 0;
        m_linesUp = up;
        return up == kLines;
    }

    void SendMessages() {
        Say("\nSending " + std::to_string(m_out.size()) + " messages (any free line takes each)");
        for (auto& m : m_out) {
            int rc = m_host->Send(m.number, m.text, {}, &m.jobId);
            Say(Stamp() + "          queued " + m.label + " message to " + m.number + " (" +
                std::to_string(m.text.size()) + " UTF-16 units): " + qvhost::ResultName(rc));
            if (rc != QV_PENDING) {
                m.result = rc;
                ++m_failures;
            }
        }
        Pump([this] {
            for (const auto& m : m_out) {
                if (m.result == -1) return false;
            }
            return true;
        });
    }

    void ReceiveMessages() {
        Say("\nMessages arrive from the simulated network");
        for (const auto& a : m_in) {
            qvsim::Incoming in;
            in.sender = a.sender;
            in.text = a.text;
            in.order = a.order;
            std::string where;
            for (int index : m_sim.Inject(a.modem, in)) where += " " + std::to_string(index);
            Say(Stamp() + "          modem COM" + std::to_string(a.modem + 1) + " stored " +
                a.label + " message from " + a.sender + " at SIM index" + where);
        }
        Pump([this] {
            for (const auto& a : m_in) {
                if (!a.received) return false;
            }
            return true;
        });
    }

    // One message on COM1, whose modem now answers with a delivery report.
    void DeliveryReport() {
        Say("\nA message with a delivery report requested (COM1)");
        m_sim.Configure(0, [](qvsim::ModemConfig& c) {
            c.reportStatus = 0;  // delivered
            c.reportDelayMs = 300;
        });
        qvhost::JobOptions jo;
        jo.line = 1;
        jo.fixed = true;
        ++m_expected;  // its result
        const int rc =
            m_host->Send("+15551230004", pdu::Utf8ToUtf16("Did this arrive?"), jo, &m_reportJob);
        if (rc != QV_PENDING) {
            ++m_failures;
            return;
        }
        ++m_expected;  // its report
        Pump([this] { return m_reportStatus != -1; });
        if (m_reportStatus != 0) ++m_failures;
    }

    // The simulator decoded every SMS-SUBMIT on its own: join each
    // destination's parts and compare with what the host asked to send.
    void Verify() {
        for (auto& m : m_out) {
            std::map<int, std::map<int, std::u16string>> byReference;
            std::map<int, int> totals;
            for (int i = 0; i < kLines; ++i) {
                for (const auto& s : m_sim.Submits(i)) {
                    if (StripPlus(s.number) != StripPlus(m.number)) continue;
                    byReference[s.concatReference][s.part] = s.text;
                    totals[s.concatReference] = s.total;
                }
            }
            for (const auto& [ref, parts] : byReference) {
                if (static_cast<int>(parts.size()) != totals[ref]) continue;
                std::u16string joined;
                for (const auto& [part, text] : parts) joined += text;
                if (joined == m.text) m.verified = true;
            }
            if (m.result == 0 && !m.verified) ++m_failures;
        }
    }

    int Summary(bool linesUp) {
        int sent = 0, verified = 0, received = 0, matched = 0;
        for (const auto& m : m_out) {
            sent += m.result == 0 ? 1 : 0;
            verified += m.verified ? 1 : 0;
        }
        for (const auto& a : m_in) {
            received += a.received ? 1 : 0;
            matched += a.verified ? 1 : 0;
        }
        const int out = static_cast<int>(m_out.size()), in = static_cast<int>(m_in.size());
        const bool ok = linesUp && sent == out && verified == out && received == in &&
                        matched == in && m_reportStatus == 0 && m_failures == 0;
        auto row = [this](const char* what, const std::string& expected, const std::string& done,
                          const std::string& checked) {
            char buf[160];
            std::snprintf(buf, sizeof buf, "  | %-10s | %8s | %8s | %-28s |", what,
                          expected.c_str(), done.c_str(), checked.c_str());
            Say(buf);
        };
        const std::string rule =
            "  +------------+----------+----------+------------------------------+";
        char secs[32];
        std::snprintf(secs, sizeof secs, "%.2f s", Seconds());
        Say("\nSummary");
        Say(rule);
        row("", "expected", "done", "checked against simulator");
        Say(rule);
        row("lines up", std::to_string(kLines), std::to_string(m_linesUp), "-");
        row("sent", std::to_string(out), std::to_string(sent),
            std::to_string(verified) + " decoded texts match");
        row("received", std::to_string(in), std::to_string(received),
            std::to_string(matched) + " texts match injected");
        row("report", "yes",
            m_reportStatus == 0    ? "yes"
            : m_reportStatus == -1 ? "none"
                                   : "no",
            m_reportStatus >= 0 ? "TP-ST " + std::to_string(m_reportStatus) : "-");
        row("failures", "0", std::to_string(m_failures), "");
        row("time", "< 30 s", secs, "");
        Say(rule);
        Say("Line logs: " + m_logDir + " (one file per line, GSM_COM<n>.log)");
        Say(ok ? "Demo passed: everything sent arrived, everything injected was received."
               : "Demo FAILED: see the table above and the line logs.");
        if (ok) return qvhost::kExitOk;
        return linesUp ? qvhost::kExitFailed : qvhost::kExitLineDown;
    }

    DemoOptions m_opt;
    Clock::time_point m_start;
    std::mutex m_print;
    qvhost::TempDir m_work;
    std::string m_logDir;
    qvhost::TempDir m_comDir;  // removed after the simulator has unlinked its modems
    qvsim::Simulator m_sim;
    qvhost::DriverLib m_lib;
    std::unique_ptr<qvhost::Host> m_host;  // after the simulator: stopped before it goes
    std::vector<Outgoing> m_out = Messages();
    std::vector<Arrival> m_in = Arrivals();
    std::map<int, int> m_lineResults;
    int m_linesUp = 0;
    int m_reportJob = -1;
    int m_reportStatus = -1;  // TP-ST of the final report, -1 until it came
    int m_failures = 0;
    int m_done = 0;
    int m_expected = 0;
};

void RunDemo(const DemoOptions& o) {
    int rc;
    {
        Demo demo(o);
        rc = demo.Run();
    }
    if (rc != 0) throw CLI::RuntimeError(rc);
}

}  // namespace

void AddDemoCommand(CLI::App& app) {
    qvhost::DocumentExitCodes(app);
    auto opt = std::make_shared<DemoOptions>();
    CLI::App* sub = app.add_subcommand(
        "demo", "Run the driver on three simulated modems: lines, sending, receiving, summary");
    sub->add_option("--lib", opt->lib, "Path of libqvGSMcomdrv.so");
    sub->add_flag("--verbose", opt->verbose, "Also print every AT command the modems receive");
    sub->footer(qvhost::ExitCodeHelp());
    sub->callback([opt] { RunDemo(*opt); });
}

}  // namespace qvgsm
