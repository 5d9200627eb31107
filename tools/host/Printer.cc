#include "tools/host/Printer.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "pdu/StatusReport.h"
#include "pdu/Utf.h"
#include "tools/host/ResultText.h"

namespace qvhost {
namespace {

nlohmann::json ToJson(const HostEvent& ev) {
    nlohmann::json j;
    j["com"] = ev.com;
    j["code"] = ev.code;
    j["result"] = ResultName(ev.code);
    j["time"] = ev.seconds;
    switch (ev.kind) {
        case HostEvent::Kind::LineStatus:
            j["event"] = "line";
            j["up"] = ev.code == 0;
            if (ev.code != 0) j["reason"] = ResultText(ev.code);
            break;
        case HostEvent::Kind::Sent:
            j["event"] = "sent";
            j["ok"] = ev.code == 0;
            j["job"] = ev.jobId;
            j["to"] = ev.number;
            j["tries"] = ev.tries;  // failed attempts, as the driver counts them
            j["attempts"] = ev.tries + (ev.code == 0 ? 1 : 0);
            j["lastLine"] = ev.lastLine;
            if (ev.code != 0) j["reason"] = ResultText(ev.code);
            break;
        case HostEvent::Kind::Received:
            j["event"] = "received";
            j["from"] = ev.number;
            j["text"] = pdu::Utf16ToUtf8(ev.text);
            j["parts"] = ev.parts;
            break;
        case HostEvent::Kind::Status:
            j["event"] = "report";
            if (ev.jobId > 0) j["job"] = ev.jobId;
            j["to"] = ev.number;
            j["part"] = ev.part;
            j["parts"] = ev.parts;
            j["reference"] = ev.reference;
            j["status"] = ev.status;
            j["final"] = ev.final;
            j["delivered"] = pdu::IsDeliveredStatus(ev.status);
            j["serviceCentreTime"] = ev.serviceCentreTime;
            j["dischargeTime"] = ev.dischargeTime;
            break;
    }
    return j;
}

}  // namespace

std::string Describe(const HostEvent& ev) {
    std::string com = "COM" + std::to_string(ev.com);
    switch (ev.kind) {
        case HostEvent::Kind::LineStatus:
            if (ev.code == 0) return com + " up";
            return com + " failed to come up: " + ResultText(ev.code) + " (" + ResultName(ev.code) +
                   ")";
        case HostEvent::Kind::Sent: {
            std::string attempts =
                std::to_string(ev.tries + (ev.code == 0 ? 1 : 0)) + " attempt(s)";
            if (ev.code == 0) return com + " sent to " + ev.number + " (" + attempts + ")";
            return com + " could not send to " + ev.number + ": " + ResultText(ev.code) + " (" +
                   ResultName(ev.code) + ")";
        }
        case HostEvent::Kind::Received:
            return com + " message from " + ev.number + " (" + std::to_string(ev.parts) + " part" +
                   (ev.parts == 1 ? "" : "s") + "): " + pdu::Utf16ToUtf8(ev.text);
        case HostEvent::Kind::Status: {
            std::string what = !ev.final                           ? "still being tried"
                               : pdu::IsDeliveredStatus(ev.status) ? "delivered"
                                                                   : "not delivered";
            std::string part = ev.parts > 1 ? " (part " + std::to_string(ev.part) + " of " +
                                                  std::to_string(ev.parts) + ")"
                                            : "";
            return com + " report: message to " + ev.number + part + " " + what + " (status " +
                   std::to_string(ev.status) + ")";
        }
    }
    return com;
}

void Printer::Event(const HostEvent& ev) {
    if (m_json) {
        Out(ToJson(ev).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } else {
        Out(Describe(ev));
    }
}

void Printer::Error(int exitCode, const std::string& message) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::fprintf(stderr, "qvgsm: %s\n", message.c_str());
        std::fflush(stderr);
    }
    if (m_json) {
        nlohmann::json j{{"event", "error"}, {"exit", exitCode}, {"message", message}};
        Out(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
}

void Printer::Info(const std::string& line) {
    if (!m_json) Out(line);
}

void Printer::Out(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace qvhost
