#include "tools/serve/Api.h"

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <set>

#include "pdu/PDUCodec.h"
#include "pdu/SMSMessage.h"
#include "pdu/Utf.h"
#include "tools/host/Devices.h"
#include "tools/host/ResultText.h"
#include "tools/serve/Log.h"

namespace qvserve {
namespace {

using json = nlohmann::json;

constexpr size_t kDefaultLimit = 100;
constexpr size_t kMaxLimit = 1000;

void Reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void Fail(httplib::Response& res, int status, const std::string& reason) {
    Reply(res, status, json{{"error", reason}});
}

json Optional(std::optional<int> v) {
    return v ? json(*v) : json(nullptr);
}

json MessageJson(const Message& m) {
    json j{{"id", m.id},
           {"to", m.to},
           {"text", m.text},
           {"line", Optional(m.line)},
           {"status_report", m.statusReport},
           {"state", m.state},
           {"attempts", m.attempts},
           {"sent_line", Optional(m.sentLine)},
           {"result_code", Optional(m.resultCode)},
           {"result", m.resultCode ? json(qvhost::ResultName(*m.resultCode)) : json(nullptr)},
           {"parts", m.parts},
           {"created_at", IsoTime(m.createdAt)},
           {"updated_at", IsoTime(m.updatedAt)}};
    return j;
}

json InboxJson(const InboxMessage& m) {
    return json{{"id", m.id},          {"from", m.from},   {"text", m.text},
                {"line", m.line},      {"parts", m.parts}, {"received_at", IsoTime(m.receivedAt)},
                {"webhook", m.webhook}};
}

// Reads ?limit= and ?since=; false with the reason.
bool Paging(const httplib::Request& req, size_t* limit, int64_t* since, std::string* why) {
    *limit = kDefaultLimit;
    *since = 0;
    if (req.has_param("limit")) {
        const std::string v = req.get_param_value("limit");
        if (v.empty() || v.size() > 4 || v.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(v) < 1 || std::stoul(v) > kMaxLimit) {
            *why = "limit must be 1 to " + std::to_string(kMaxLimit);
            return false;
        }
        *limit = std::stoul(v);
    }
    if (req.has_param("since") && !ParseTime(req.get_param_value("since"), since)) {
        *why = "since must be a time like 2026-12-08T12:00:00Z or seconds since 1970";
        return false;
    }
    return true;
}

bool TokenMatches(const std::string& given, const std::string& token) {
    // Compared in full whatever the first difference, so timing tells nothing.
    unsigned diff = given.size() == token.size() ? 0u : 1u;
    for (size_t i = 0; i < given.size(); ++i)
        diff |= static_cast<unsigned>(given[i] ^ token[i % (token.empty() ? 1 : token.size())]);
    return diff == 0;
}

std::string Escape(const std::string& label) {
    std::string out;
    for (char c : label) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

}  // namespace

Api::Api(const ServeConfig& config, Store& store, Gateway& gateway)
    : m_config(config),
      m_store(store),
      m_gateway(gateway),
      m_server(std::make_unique<httplib::Server>()) {
    Routes();
}

Api::~Api() {
    Stop();
}

int Api::Start(std::string* error) {
    std::string host;
    int port = 0;
    SplitListen(m_config.listen, &host, &port);
    if (port == 0) {
        port = m_server->bind_to_any_port(host);
        if (port < 0) port = -1;
    } else if (!m_server->bind_to_port(host, port)) {
        port = -1;
    }
    if (port < 0) {
        *error = "cannot listen on " + m_config.listen + ": " + std::strerror(errno);
        return -1;
    }
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    return port;
}

void Api::Stop() {
    if (m_thread.joinable()) {
        m_server->stop();
        m_thread.join();
    }
}

void Api::Routes() {
    httplib::Server& s = *m_server;

    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        const bool guarded = req.path.rfind("/v1/", 0) == 0 || req.path == "/metrics";
        if (!guarded || m_config.token.empty()) return httplib::Server::HandlerResponse::Unhandled;
        const std::string auth = req.get_header_value("Authorization");
        const std::string prefix = "Bearer ";
        if (auth.rfind(prefix, 0) == 0 && TokenMatches(auth.substr(prefix.size()), m_config.token))
            return httplib::Server::HandlerResponse::Unhandled;
        res.set_header("WWW-Authenticate", "Bearer");
        Fail(res, 401,
             auth.empty() ? "missing token: send Authorization: Bearer <token>" : "wrong token");
        return httplib::Server::HandlerResponse::Handled;
    });
    s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return;
        if (res.status == 404) Fail(res, 404, "no such resource: " + req.method + " " + req.path);
        if (res.status == 405) Fail(res, 405, "method not allowed");
    });
    s.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            std::string what = "internal error";
            try {
                if (ep) std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            Log("api: " + what);
            Fail(res, 500, what);
        });

    s.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kStatusPage, "text/html; charset=utf-8");
    });

    s.Get("/healthz", [this](const httplib::Request&, httplib::Response& res) {
        int up = 0;
        for (const auto& l : m_gateway.Lines()) up += l.state == "up";
        Reply(res, 200, json{{"status", "ok"}, {"lines_up", up}});
    });

    s.Post("/v1/messages", [this](const httplib::Request& req, httplib::Response& res) {
        json body = json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object())
            return Fail(res, 400,
                        "the body must be a JSON object {to, text, line?, status_report?}");
        for (const auto& [key, value] : body.items()) {
            static const std::set<std::string> known{"to", "text", "line", "status_report"};
            if (known.count(key) == 0) return Fail(res, 400, "unknown field '" + key + "'");
        }
        if (!body.contains("to") || !body["to"].is_string())
            return Fail(res, 400, "to: a destination number is required");
        std::string to;
        if (!qvhost::NormaliseNumber(body["to"].get<std::string>(), &to))
            return Fail(res, 400,
                        "to: '" + body["to"].get<std::string>() +
                            "' is not a number: use 1 to 20 digits with an optional leading +");
        if (!body.contains("text") || !body["text"].is_string())
            return Fail(res, 400, "text: a message text is required");
        const std::string text = body["text"].get<std::string>();
        if (text.empty()) return Fail(res, 400, "text: the message text is empty");
        std::optional<int> line;
        if (body.contains("line") && !body["line"].is_null()) {
            if (!body["line"].is_number_integer())
                return Fail(res, 400, "line: a COM number is expected");
            line = body["line"].get<int>();
            if (!m_gateway.HasLine(*line))
                return Fail(res, 400, "line: COM" + std::to_string(*line) + " does not exist");
            if (!m_gateway.LineSends(*line))
                return Fail(res, 400, "line: COM" + std::to_string(*line) + " does not send");
        }
        bool statusReport = false;
        if (body.contains("status_report")) {
            if (!body["status_report"].is_boolean())
                return Fail(res, 400, "status_report: true or false is expected");
            statusReport = body["status_report"].get<bool>();
        }
        if (statusReport && line && !m_gateway.LineReports(*line))
            return Fail(res, 400,
                        "status_report: COM" + std::to_string(*line) +
                            " does not ask for delivery reports");
        if (statusReport && !m_gateway.AnyReportLine())
            return Fail(res, 400, "status_report: no line asks for delivery reports");
        const size_t parts = PDUCodec::CountParts(SMSMessage(0, to, pdu::Utf8ToUtf16(text)));
        if (parts > pdu::kMaxParts)
            return Fail(res, 400,
                        "text: too long: it needs " + std::to_string(parts) +
                            " parts and a message has at most 255");
        const int64_t id = m_store.Enqueue(to, text, line, statusReport, static_cast<int>(parts));
        m_gateway.Wake();
        res.set_header("Location", "/v1/messages/" + std::to_string(id));
        Reply(res, 202, json{{"id", id}, {"state", "queued"}, {"parts", parts}});
    });

    s.Get(R"(/v1/messages/(\d{1,18}))",
          [this](const httplib::Request& req, httplib::Response& res) {
              const int64_t id = std::stoll(req.matches[1]);
              auto m = m_store.Get(id);
              if (!m) return Fail(res, 404, "no message " + std::to_string(id));
              json j = MessageJson(*m);
              j["history"] = json::array();
              for (const auto& e : m_store.History(id)) {
                  j["history"].push_back(json{{"at", IsoTime(e.at)},
                                              {"state", e.state},
                                              {"line", Optional(e.line)},
                                              {"code", Optional(e.code)},
                                              {"attempts", e.attempts},
                                              {"detail", e.detail}});
              }
              j["reports"] = json::array();
              for (const auto& r : m_store.Reports(id)) {
                  j["reports"].push_back(
                      json{{"part", r.part},
                           {"total_parts", r.totalParts},
                           {"reference", r.reference},
                           {"status", r.status},
                           {"final", r.final},
                           {"service_centre_time", IsoTime(r.serviceCentreTime * 1000)},
                           {"discharge_time", IsoTime(r.dischargeTime * 1000)},
                           {"received_at", IsoTime(r.receivedAt)}});
              }
              Reply(res, 200, j);
          });

    s.Get("/v1/messages", [this](const httplib::Request& req, httplib::Response& res) {
        size_t limit;
        int64_t since;
        std::string why;
        if (!Paging(req, &limit, &since, &why)) return Fail(res, 400, why);
        std::string state = req.get_param_value("state");
        if (!state.empty()) {
            const auto& all = MessageStates();
            if (std::find(all.begin(), all.end(), state) == all.end()) {
                std::string names;
                for (const auto& n : all) names += (names.empty() ? "" : ", ") + n;
                return Fail(res, 400, "state must be one of " + names);
            }
        }
        json list = json::array();
        for (const auto& m : m_store.List(state, since, limit)) list.push_back(MessageJson(m));
        Reply(res, 200, json{{"messages", list}});
    });

    s.Get("/v1/inbox", [this](const httplib::Request& req, httplib::Response& res) {
        size_t limit;
        int64_t since;
        std::string why;
        if (!Paging(req, &limit, &since, &why)) return Fail(res, 400, why);
        json list = json::array();
        for (const auto& m : m_store.Inbox(since, limit)) list.push_back(InboxJson(m));
        Reply(res, 200, json{{"messages", list}});
    });

    s.Get(R"(/v1/inbox/(\d{1,18}))", [this](const httplib::Request& req, httplib::Response& res) {
        const int64_t id = std::stoll(req.matches[1]);
        auto m = m_store.GetInbox(id);
        if (!m) return Fail(res, 404, "no received message " + std::to_string(id));
        Reply(res, 200, InboxJson(*m));
    });

    s.Delete(R"(/v1/inbox/(\d{1,18}))",
             [this](const httplib::Request& req, httplib::Response& res) {
                 const int64_t id = std::stoll(req.matches[1]);
                 if (!m_store.DeleteInbox(id))
                     return Fail(res, 404, "no received message " + std::to_string(id));
                 res.status = 204;
             });

    s.Get("/v1/lines", [this](const httplib::Request&, httplib::Response& res) {
        json list = json::array();
        for (const auto& l : m_gateway.Lines()) {
            list.push_back(json{{"com", l.setting.com},
                                {"device", l.setting.device},
                                {"state", l.state},
                                {"since", IsoTime(l.since)},
                                {"last_code", l.lastCode},
                                {"last_result", l.lastResult},
                                {"signal", l.signal >= 0 ? json(l.signal) : json(nullptr)},
                                {"send", l.setting.send},
                                {"receive", l.setting.receive},
                                {"international", l.setting.international},
                                {"status_reports", l.setting.statusReports},
                                {"sent", l.sent},
                                {"failed", l.failed},
                                {"received", l.received},
                                {"reports", l.reports}});
        }
        Reply(res, 200,
              json{{"lines", list},
                   {"in_flight", m_gateway.InFlight()},
                   {"messages", m_store.CountByState()}});
    });

    s.Post("/v1/simulate/incoming", [this](const httplib::Request& req, httplib::Response& res) {
        if (!m_gateway.Simulated())
            return Fail(res, 404, "only a gateway on simulated modems (--simulate) takes this");
        json body = json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object() || !body.contains("from") ||
            !body["from"].is_string() || !body.contains("text") || !body["text"].is_string())
            return Fail(res, 400, "the body must be {from, text, line?}");
        int line =
            body.contains("line") && body["line"].is_number_integer() ? body["line"].get<int>() : 1;
        std::string why;
        if (!m_gateway.Inject(line, body["from"], body["text"], &why)) return Fail(res, 400, why);
        Reply(res, 202, json{{"line", line}});
    });

    s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        std::string out;
        auto counts = m_store.CountByState();
        out += "# HELP qvgsm_messages Outgoing messages by state.\n# TYPE qvgsm_messages gauge\n";
        for (const auto& [state, n] : counts)
            out += "qvgsm_messages{state=\"" + state + "\"} " + std::to_string(n) + "\n";
        out +=
            "# HELP qvgsm_queue_depth Messages waiting to be handed to the driver.\n"
            "# TYPE qvgsm_queue_depth gauge\nqvgsm_queue_depth " +
            std::to_string(counts["queued"]) + "\n";
        out +=
            "# HELP qvgsm_in_flight Messages in the driver's hands.\n"
            "# TYPE qvgsm_in_flight gauge\nqvgsm_in_flight " +
            std::to_string(m_gateway.InFlight()) + "\n";
        out +=
            "# HELP qvgsm_inbox_messages Received messages kept.\n"
            "# TYPE qvgsm_inbox_messages gauge\nqvgsm_inbox_messages " +
            std::to_string(m_store.InboxCount()) + "\n";
        out +=
            "# HELP qvgsm_unmatched_reports_total Delivery reports that matched no message.\n"
            "# TYPE qvgsm_unmatched_reports_total counter\nqvgsm_unmatched_reports_total " +
            std::to_string(m_gateway.UnmatchedReports()) + "\n";
        const auto lines = m_gateway.Lines();
        struct Series {
            const char* name;
            const char* type;
            const char* help;
            int64_t LineView::*field;
        };
        out += "# HELP qvgsm_line_up Whether the line is up.\n# TYPE qvgsm_line_up gauge\n";
        for (const auto& l : lines)
            out += "qvgsm_line_up{com=\"" + std::to_string(l.setting.com) + "\",device=\"" +
                   Escape(l.setting.device) + "\"} " + (l.state == "up" ? "1" : "0") + "\n";
        for (const Series& s :
             {Series{"qvgsm_line_sent_total", "counter", "Messages sent on the line.",
                     &LineView::sent},
              Series{"qvgsm_line_failed_total", "counter", "Messages that failed on the line.",
                     &LineView::failed},
              Series{"qvgsm_line_received_total", "counter", "Messages received on the line.",
                     &LineView::received},
              Series{"qvgsm_line_reports_total", "counter",
                     "Delivery reports received on the line.", &LineView::reports}}) {
            out += std::string("# HELP ") + s.name + " " + s.help + "\n# TYPE " + s.name + " " +
                   s.type + "\n";
            for (const auto& l : lines)
                out += std::string(s.name) + "{com=\"" + std::to_string(l.setting.com) + "\"} " +
                       std::to_string(l.*s.field) + "\n";
        }
        res.set_content(out, "text/plain; version=0.0.4");
    });
}

}  // namespace qvserve
