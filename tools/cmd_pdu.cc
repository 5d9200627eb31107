// qvgsm pdu encode|decode: the SMS PDU codec on the command line. Texts are
// UTF-8 on the command line and UTF-16 inside the codec.
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "pdu/PDUCodec.h"
#include "pdu/StatusReport.h"
#include "pdu/Utf.h"
#include "tools/commands.h"

namespace qvgsm {
namespace {

struct EncodeOptions {
    std::string to;
    std::string text;
    bool statusReport = false;
    bool force7Bit = false;
};

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "qvgsm pdu: " << message << "\n";
    throw CLI::RuntimeError(2);
}

void RunEncode(const EncodeOptions& o) {
    if (o.to.find_first_of("0123456789") == std::string::npos) {
        Fail("the number has no digits: " + o.to);
    }
    SMSMessage message(o.force7Bit ? 1 : 0, o.to, pdu::Utf8ToUtf16(o.text));
    PDUCodec codec;
    try {
        codec.EncodeSubmit(message, o.statusReport ? 1 : 0);
    } catch (const pdu::EncodeError& e) {
        Fail(e.what());
    }
    for (size_t i = 0; i < codec.GetPDUs().size(); ++i) {
        nlohmann::ordered_json line = {{"pdu", codec.GetPDUs()[i]},
                                       {"length", codec.GetLengths()[i]}};
        std::cout << line.dump() << "\n";
    }
}

// A status report's fields, or false when the PDU is of another type.
bool PrintStatusReport(const std::string& hex) {
    pdu::StatusReport report;
    if (!pdu::DecodeStatusReport(hex, report)) return false;
    const nlohmann::ordered_json out = {
        {"type", "status-report"},
        {"smsc", report.smscNumber},
        {"reference", report.messageReference},
        {"recipient", report.recipient},
        {"status", report.status},
        {"delivered", pdu::IsDeliveredStatus(report.status)},
        {"final", pdu::IsFinalStatus(report.status)},
        {"serviceCentreTime", report.serviceCentreTime},
        {"dischargeTime", report.dischargeTime},
    };
    std::cout << out.dump() << "\n";
    return true;
}

void RunDecode(const std::string& hex) {
    SMSMessage message;
    PDUCodec codec;
    try {
        if (!codec.DecodeDeliver(hex, message)) {
            if (PrintStatusReport(hex)) return;
            Fail("neither an SMS-DELIVER nor an SMS-STATUS-REPORT PDU");
        }
    } catch (const pdu::DecodeError& e) {
        Fail(std::string("damaged PDU: ") + e.what());
    }
    const nlohmann::ordered_json out = {
        {"smsc", message.GetSmscNumber()},
        {"number", message.GetNumber()},
        {"text", pdu::Utf16ToUtf8(message.GetText())},
        {"concatenated", message.IsConcatenated()},
        {"reference", message.GetConcatReference()},
        {"part", message.GetPartNumber()},
        {"total", message.GetTotalParts()},
    };
    std::cout << out.dump() << "\n";
}

}  // namespace

void AddPduCommand(CLI::App& app) {
    CLI::App* cmd = app.add_subcommand(
        "pdu", "Encode SMS-SUBMIT or decode SMS-DELIVER and SMS-STATUS-REPORT PDUs");
    cmd->require_subcommand(1);

    auto options = std::make_shared<EncodeOptions>();
    CLI::App* encode =
        cmd->add_subcommand("encode", "Print the SMS-SUBMIT PDUs of a text, one JSON per line");
    encode->add_option("--to", options->to, "Destination number")->required();
    encode->add_option("--text", options->text, "Message text (UTF-8)")->required();
    encode->add_flag("--status-report", options->statusReport, "Request a status report");
    encode->add_flag("--force-7bit", options->force7Bit, "Always use the GSM 7-bit alphabet");
    encode->callback([options] { RunEncode(*options); });

    auto hex = std::make_shared<std::string>();
    CLI::App* decode =
        cmd->add_subcommand("decode", "Print an SMS-DELIVER or SMS-STATUS-REPORT PDU as JSON");
    decode->add_option("HEX", *hex, "PDU as hex digits")->required();
    decode->callback([hex] { RunDecode(*hex); });
}

}  // namespace qvgsm
