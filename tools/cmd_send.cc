// qvgsm send: sends a message through real modems, as a host would.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pdu/Utf.h"
#include "tools/commands.h"
#include "tools/host/ExitCodes.h"
#include "tools/host/ResultText.h"
#include "tools/host/Session.h"

namespace qvgsm {
namespace {

struct SendOptions {
    std::vector<std::string> lines;
    std::vector<std::string> to;
    std::string text;
    std::string lib;
    bool fixed = false;
    unsigned retries = 3;
    bool statusReport = false;
    bool force7Bit = false;
    bool json = false;
};

// Every attempt may wait for the prompt (10 s) and the result (60 s); the
// job may also wait for a free line.
constexpr double kSecondsPerAttempt = 90;

void RunSend(const SendOptions& o) {
    qvhost::Printer printer(o.json);
    std::vector<std::string> numbers;
    for (const auto& to : o.to) {
        std::string number;
        if (!qvhost::NormaliseNumber(to, &number)) {
            printer.Error(qvhost::kExitUsage,
                          "bad number '" + to + "': use digits with an optional leading +");
            throw CLI::RuntimeError(qvhost::kExitUsage);
        }
        numbers.push_back(number);
    }

    qvhost::Session session(printer);
    qvhost::SessionOptions so;
    so.lines = o.lines;
    so.lib = o.lib;
    so.sendRetryCount = o.retries;
    so.statusReports = o.statusReport;
    session.Open(so);

    qvhost::JobOptions jo;
    jo.force7Bit = o.force7Bit;
    if (o.fixed) {
        jo.line = session.Lines().front().com;
        jo.fixed = true;
    }
    std::map<int, std::string> waiting;  // job id -> number
    bool allSent = true;
    for (const auto& number : numbers) {
        int id = 0;
        int rc = session.GetHost().Send(number, pdu::Utf8ToUtf16(o.text), jo, &id);
        if (rc == QV_PENDING || rc == QV_OK) {
            waiting[id] = number;
        } else {
            printer.Error(qvhost::kExitFailed, "the message to " + number +
                                                   " was refused: " + qvhost::ResultText(rc) +
                                                   " (" + qvhost::ResultName(rc) + ")");
            allSent = false;
        }
    }

    unsigned attempts = o.retries < 1 ? 1 : o.retries;
    auto deadline = std::chrono::steady_clock::now() +
                    qvhost::DriverWait(kSecondsPerAttempt * attempts * numbers.size());
    while (!waiting.empty()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        qvhost::HostEvent ev;
        if (left.count() <= 0 || !session.Next(&ev, left)) break;
        if (ev.kind == qvhost::HostEvent::Kind::Received) {
            printer.Event(ev);  // not asked for, but not to be lost either
            continue;
        }
        if (ev.kind != qvhost::HostEvent::Kind::Sent || waiting.erase(ev.jobId) == 0) continue;
        printer.Event(ev);
        if (ev.code != 0) allSent = false;
    }
    for (const auto& [id, number] : waiting) {
        printer.Error(qvhost::kExitFailed,
                      "no result for the message to " + number + " within the time allowed");
        allSent = false;
    }
    session.GetHost().Stop();
    if (!allSent) throw CLI::RuntimeError(qvhost::kExitFailed);
}

}  // namespace

void AddSendCommand(CLI::App& app) {
    qvhost::DocumentExitCodes(app);
    auto opt = std::make_shared<SendOptions>();
    CLI::App* sub = app.add_subcommand("send", "Send a message through modems on serial ports");
    sub->add_option("--line", opt->lines, "A modem as COM=DEVICE, e.g. 1=/dev/ttyUSB0 (repeatable)")
        ->required();
    sub->add_option("--to", opt->to,
                    "Destination number; a leading + makes it international "
                    "(repeatable: one message each)")
        ->required();
    sub->add_option("--text", opt->text, "Message text (UTF-8; long texts go in several parts)")
        ->required();
    sub->add_flag("--fixed", opt->fixed, "Send only on the first --line (no other line may)");
    sub->add_option("--retries", opt->retries, "Attempts in all, across lines (0 or 1: one)")
        ->check(CLI::Range(0, 100));
    sub->add_flag("--status-report", opt->statusReport, "Request delivery status reports");
    sub->add_flag("--force-7bit", opt->force7Bit, "Force the GSM 7-bit alphabet");
    sub->add_flag("--json", opt->json, "One JSON object per event");
    sub->add_option("--lib", opt->lib, "Path of libqvGSMcomdrv.so");
    sub->footer(qvhost::ExitCodeHelp());
    sub->callback([opt] { RunSend(*opt); });
}

}  // namespace qvgsm
