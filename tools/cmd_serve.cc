// qvgsm serve: the SMS gateway daemon. Keeps the modems open through the
// driver, sends what the HTTP API queued, stores what arrives, and serves
// a status page. The state lives in SQLite, so a restart loses nothing.
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "tools/commands.h"
#include "tools/host/ExitCodes.h"
#include "tools/serve/Api.h"
#include "tools/serve/Config.h"
#include "tools/serve/Gateway.h"
#include "tools/serve/Log.h"
#include "tools/serve/Store.h"
#include "tools/serve/Webhook.h"

namespace qvgsm {
namespace {

struct ServeOptions {
    qvserve::ServeFlags flags;
    bool checkOnly = false;
    std::string lib;
    double grace = 10;
};

// Earlier runs' unconfirmed inbox rows may absorb a message read again from
// a SIM for this long after the start: long enough for every line's first
// receive pass.
constexpr auto kRereadWindow = std::chrono::minutes(10);

[[noreturn]] void Fail(int code, const std::string& message) {
    qvserve::Log("qvgsm serve: " + message);
    throw CLI::RuntimeError(code);
}

void Summary(const qvserve::ServeConfig& c) {
    std::printf("configuration ok: %s, listening on %s, database %s, %s%s%s\n",
                c.simulate > 0 ? (std::to_string(c.simulate) + " simulated modem(s)").c_str()
                               : (std::to_string(c.lines.size()) + " line(s)").c_str(),
                c.listen.c_str(), c.db.c_str(),
                c.delivery == qvserve::Delivery::AtLeastOnce ? "at-least-once" : "at-most-once",
                c.token.empty() ? "" : ", token required",
                c.webhookUrl.empty() ? "" : (", webhook " + c.webhookUrl).c_str());
    for (const auto& l : c.lines) {
        std::printf("  COM%d %s:%s%s%s retries=%u%s%s\n", l.com, l.device.c_str(),
                    l.send ? " send" : "", l.receive ? " receive" : "",
                    l.international ? " intl" : "", l.retries, l.statusReports ? " reports" : "",
                    l.serviceCentre.empty() ? "" : (" smsc=" + l.serviceCentre).c_str());
    }
    std::fflush(stdout);
}

void RunServe(const ServeOptions& o) {
    qvserve::ServeConfig config;
    std::string error;
    if (!qvserve::LoadConfig(o.flags, &config, &error)) Fail(qvhost::kExitUsage, error);
    if (o.checkOnly) {
        Summary(config);
        return;
    }

    // Every thread started from here on leaves the two signals to sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    qvserve::Store store;
    if (!store.Open(config.db, &error)) Fail(qvhost::kExitFailed, error);
    const int64_t run = store.BeginRun();
    auto recovered = store.Recover(config.delivery == qvserve::Delivery::AtLeastOnce);
    qvserve::Log("run " + std::to_string(run) + ", database " + config.db + " (schema " +
                 std::to_string(store.SchemaVersion()) + ")");
    if (recovered.unknown + recovered.requeued > 0) {
        qvserve::Log("the last run ended with messages in the driver's hands: " +
                     std::to_string(recovered.requeued) + " queued again, " +
                     std::to_string(recovered.unknown) + " marked unknown");
    }

    std::unique_ptr<qvserve::Webhook> webhook;
    if (!config.webhookUrl.empty()) {
        webhook =
            std::make_unique<qvserve::Webhook>(config.webhookUrl, config.webhookAttempts, store);
    }
    qvserve::Gateway gateway(config, store);
    if (webhook) gateway.OnReceived([&webhook] { webhook->Notify(); });
    if (!gateway.Start(o.lib, &error)) Fail(qvhost::kExitDevice, error);
    qvserve::Api api(config, store, gateway);
    int port = api.Start(&error);
    if (port < 0) {
        gateway.Stop(std::chrono::milliseconds(0));
        Fail(qvhost::kExitFailed, error);
    }
    if (webhook) webhook->Start();
    std::string host;
    int unused;
    qvserve::SplitListen(config.listen, &host, &unused);
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    std::printf("qvgsm serve: listening on http://%s:%d\n", host.c_str(), port);
    std::fflush(stdout);
    qvserve::Log("listening on http://" + host + ":" + std::to_string(port));

    const auto started = std::chrono::steady_clock::now();
    bool absorbing = true;
    int signal = 0;
    while (signal == 0) {
        timespec wait{absorbing ? 5 : 3600, 0};
        int s = sigtimedwait(&stopSignals, nullptr, &wait);
        if (s > 0) signal = s;
        if (absorbing && std::chrono::steady_clock::now() - started > kRereadWindow) {
            store.StopAbsorbingRereads();
            absorbing = false;
        }
    }
    qvserve::Log(std::string("stopping on ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
    api.Stop();
    gateway.Stop(std::chrono::milliseconds(static_cast<long long>(o.grace * 1000)));
    if (webhook) webhook->Stop();
    store.EndRun();
    auto counts = store.CountByState();
    qvserve::Log("stopped cleanly; " + std::to_string(counts["queued"]) + " message(s) queued");
}

}  // namespace

void AddServeCommand(CLI::App& app) {
    qvhost::DocumentExitCodes(app);
    auto opt = std::make_shared<ServeOptions>();
    qvserve::ServeFlags& f = opt->flags;
    CLI::App* sub = app.add_subcommand(
        "serve", "Run the SMS gateway: an HTTP API, a durable queue and inbox, a status page");
    sub->add_option("--config", f.configFile, "TOML configuration file")->check(CLI::ExistingFile);
    sub->add_option("--line", f.lines,
                    "A modem as COM=DEVICE[,flag...]; flags: send, nosend, receive, noreceive, "
                    "intl, nointl, reports, retries=N, smsc=NUMBER (repeatable; replaces the "
                    "file's line of that COM)");
    sub->add_option("--listen", f.listen, "HTTP address as ADDR:PORT (default 127.0.0.1:8080)");
    sub->add_option("--db", f.db, "SQLite database file (default qvgsm.db)");
    sub->add_option("--token", f.token, "API bearer token (required off loopback)");
    sub->add_option("--webhook", f.webhook, "POST each received message to this http:// URL");
    sub->add_flag("--at-least-once", f.atLeastOnce,
                  "After a crash, send again what the driver had taken but not finished");
    sub->add_option("--simulate", f.simulate, "Run on N simulated modems instead of lines")
        ->check(CLI::Range(1, 64));
    sub->add_option("--line-retry", f.lineRetry,
                    "Seconds before a line that failed is initialised again (default 60)");
    sub->add_flag("--check-config", opt->checkOnly, "Check the configuration and exit");
    sub->add_option("--grace", opt->grace, "Seconds a stop waits for jobs in flight (default 10)")
        ->check(CLI::Range(0.0, 600.0));
    sub->add_option("--lib", opt->lib, "Path of libqvGSMcomdrv.so");
    sub->footer(qvhost::ExitCodeHelp());
    sub->callback([opt] { RunServe(*opt); });
}

}  // namespace qvgsm
