// qvgsm send: sends a message through real modems, as a host would.
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "pdu/StatusReport.h"
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
    double waitReport = 0;  // seconds to wait for the final delivery reports; 0: none
};

// Every attempt may wait for the prompt (10 s) and the result (60 s); the
// job may also wait for a free line.
constexpr double kSecondsPerAttempt = 90;

// Waits for the final report of every part of every job sent; true when
// each says delivered. Reports that came while results were awaited count.
bool WaitForReports(const SendOptions& o, qvhost::Session& session, qvhost::Printer& printer,
                    const std::map<int, std::string>& sent,
                    const std::vector<qvhost::HostEvent>& early) {
    struct Progress {
        std::set<unsigned> finalParts;
        unsigned total = 0;
        bool delivered = true;
    };
    std::map<int, Progress> progress;
    size_t done = 0;
    auto take = [&](const qvhost::HostEvent& ev) {
        if (!ev.final || sent.count(ev.jobId) == 0) return;
        Progress& p = progress[ev.jobId];
        if (p.total != 0 && p.finalParts.size() == p.total) return;
        p.total = ev.parts;
        p.finalParts.insert(ev.part);
        p.delivered = p.delivered && pdu::IsDeliveredStatus(ev.status);
        if (p.finalParts.size() == p.total) ++done;
    };
    for (const auto& ev : early) take(ev);
    const auto deadline = std::chrono::steady_clock::now() + qvhost::DriverWait(o.waitReport);
    while (done < sent.size()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        qvhost::HostEvent ev;
        if (left.count() <= 0 || !session.Next(&ev, left)) break;
        if (ev.kind != qvhost::HostEvent::Kind::Status &&
            ev.kind != qvhost::HostEvent::Kind::Received)
            continue;
        printer.Event(ev);
        if (ev.kind == qvhost::HostEvent::Kind::Status) take(ev);
    }
    bool allDelivered = true;
    for (const auto& [id, number] : sent) {
        auto it = progress.find(id);
        if (it == progress.end() || it->second.finalParts.size() != it->second.total) {
            printer.Error(qvhost::kExitFailed,
                          "no final delivery report for the message to " + number);
            allDelivered = false;
        } else if (!it->second.delivered) {
            printer.Error(qvhost::kExitFailed, "the message to " + number + " was not delivered");
            allDelivered = false;
        }
    }
    return allDelivered;
}

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
    so.statusReports = o.statusReport || o.waitReport > 0;
    session.Open(so);

    qvhost::JobOptions jo;
    jo.force7Bit = o.force7Bit;
    if (o.fixed) {
        jo.line = session.Lines().front().com;
        jo.fixed = true;
    }
    std::map<int, std::string> waiting;  // job id -> number
    std::map<int, std::string> sent;     // jobs sent, whose reports are awaited
    bool allSent = true;
    std::vector<qvhost::HostEvent> early;  // reports before every result came
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
        if (ev.kind == qvhost::HostEvent::Kind::Received ||
            ev.kind == qvhost::HostEvent::Kind::Status) {
            printer.Event(ev);  // not asked for yet, but not to be lost either
            if (ev.kind == qvhost::HostEvent::Kind::Status) early.push_back(ev);
            continue;
        }
        auto it = waiting.find(ev.jobId);
        if (ev.kind != qvhost::HostEvent::Kind::Sent || it == waiting.end()) continue;
        printer.Event(ev);
        if (ev.code == 0) sent[ev.jobId] = it->second;
        if (ev.code != 0) allSent = false;
        waiting.erase(it);
    }
    for (const auto& [id, number] : waiting) {
        printer.Error(qvhost::kExitFailed,
                      "no result for the message to " + number + " within the time allowed");
        allSent = false;
    }
    const bool delivered = o.waitReport <= 0 || WaitForReports(o, session, printer, sent, early);
    session.GetHost().Stop();
    if (!allSent || !delivered) throw CLI::RuntimeError(qvhost::kExitFailed);
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
    sub->add_option("--wait-report", opt->waitReport,
                    "Request delivery reports and wait up to SECONDS (default 600) for each "
                    "message's final one; exit 0 only when every message was delivered")
        ->expected(0, 1)
        ->default_str("600")
        ->check(CLI::PositiveNumber);
    sub->add_flag("--force-7bit", opt->force7Bit, "Force the GSM 7-bit alphabet");
    sub->add_flag("--json", opt->json, "One JSON object per event");
    sub->add_option("--lib", opt->lib, "Path of libqvGSMcomdrv.so");
    sub->footer(qvhost::ExitCodeHelp());
    sub->callback([opt] { RunSend(*opt); });
}

}  // namespace qvgsm
