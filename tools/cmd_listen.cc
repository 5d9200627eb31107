// qvgsm listen: prints every message that arrives on real modems, as a host
// would receive them.
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/host/ExitCodes.h"
#include "tools/host/Session.h"

namespace qvgsm {
namespace {

struct ListenOptions {
    std::vector<std::string> lines;
    std::string lib;
    int count = 0;
    double timeout = 0;
    bool json = false;
};

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

void RunListen(const ListenOptions& o) {
    qvhost::Printer printer(o.json);
    qvhost::Session session(printer);
    qvhost::SessionOptions so;
    so.lines = o.lines;
    so.lib = o.lib;
    so.canSend = false;
    so.statusReports = true;  // delivery reports routed here are printed too
    session.Open(so);
    printer.Info("listening" +
                 (o.count > 0 ? " for " + std::to_string(o.count) + " message(s)" : std::string()) +
                 (o.timeout > 0 ? " for at most " + std::to_string(o.timeout) + " s" : "") +
                 "; Ctrl-C ends");

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::duration<double>(o.timeout);
    int received = 0;
    while (!g_stop && (o.count <= 0 || received < o.count)) {
        if (o.timeout > 0 && std::chrono::steady_clock::now() - start >= limit) break;
        qvhost::HostEvent ev;
        if (!session.Next(&ev, std::chrono::milliseconds(200))) continue;
        printer.Event(ev);
        if (ev.kind == qvhost::HostEvent::Kind::Received) ++received;
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    session.GetHost().Stop();
    if (o.count > 0 && received < o.count) {
        printer.Error(qvhost::kExitFailed, "received " + std::to_string(received) + " of " +
                                               std::to_string(o.count) + " message(s)");
        throw CLI::RuntimeError(qvhost::kExitFailed);
    }
}

}  // namespace

void AddListenCommand(CLI::App& app) {
    qvhost::DocumentExitCodes(app);
    auto opt = std::make_shared<ListenOptions>();
    CLI::App* sub = app.add_subcommand("listen", "Print messages arriving on modems");
    sub->add_option("--line", opt->lines, "A modem as COM=DEVICE, e.g. 1=/dev/ttyUSB0 (repeatable)")
        ->required();
    sub->add_option("--count", opt->count, "End after this many messages (exit 1 if fewer came)")
        ->check(CLI::PositiveNumber);
    sub->add_option("--timeout", opt->timeout, "End after this many seconds")
        ->check(CLI::PositiveNumber);
    sub->add_flag("--json", opt->json, "One JSON object per event");
    sub->add_option("--lib", opt->lib, "Path of libqvGSMcomdrv.so");
    sub->footer(qvhost::ExitCodeHelp());
    sub->callback([opt] { RunListen(*opt); });
}

}  // namespace qvgsm
