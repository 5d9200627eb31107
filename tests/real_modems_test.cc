// Real modems' answers: +CMGR reads and +CMGL listings that real modems
// printed, read as lines (with unsolicited lines between them) and decoded,
// each judged by what a driver must do with it. The answers come from the
// test data of Gammu (github.com/gammu/gammu, tests/at-sms*, tests/at-cnmi)
// and ModemManager (src/tests/test-modem-helpers.c), collected with their
// sources in the shared file of real modem answers; the independent reading
// of each PDU there is python-gammu's.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <string>

#include "gsm/GSMDevice.h"
#include "modem/ATAnswer.h"
#include "pdu/Utf.h"
#include "pdu/PDUCodec.h"

namespace {

nlohmann::json LoadReal() {
    std::ifstream in(std::string(QVGSM_SOURCE_DIR) + "/../shared/realmodems.json");
    if (!in) return {};
    return nlohmann::json::parse(in);
}

// The answer as a modem might print it, with unsolicited lines around and
// inside it, fed in small reads.
ATOutcome Read(const std::string& command, const std::string& body) {
    const std::string bytes = "\r\n^RSSI:14\r\n" + body + "\r\n+CREG: 1\r\n\r\nOK\r\n";
    ATAnswer answer;
    answer.Start(command, false);
    for (size_t i = 0; i < bytes.size(); i += 7) {
        answer.Feed(bytes.data() + i, std::min<size_t>(7, bytes.size() - i));
    }
    EXPECT_TRUE(answer.Complete()) << body;
    return answer.Outcome();
}

std::string Trim(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
    return text;
}

TEST(RealModems, ReadsGiveTheirPduAndDecodeAsTheyMust) {
    const nlohmann::json real = LoadReal();
    if (real.is_null()) GTEST_SKIP() << "no shared file of real modem answers";
    int checked = 0;
    for (const auto& m : real["messages"]) {
        const std::string id = m["id"];
        // ModemManager's PDUs come without the modem's header line.
        const std::string header =
            m["header"].is_string() ? m["header"].get<std::string>() : "+CMGR: 1,,0";
        const std::string pdu = m["pdu"];
        const bool listed = header.rfind("+CMGL:", 0) == 0;
        const ATOutcome outcome =
            Read(listed ? "AT+CMGL=4" : "AT+CMGR=1", header + "\r\n^BOOT:1,0,0,0,23\r\n" + pdu);
        const std::string* line = outcome.After(listed ? "+CMGL:" : "+CMGR:");
        ASSERT_NE(line, nullptr) << id;
        EXPECT_EQ(*line, Trim(pdu)) << id;

        const std::string expect = m["expect"];
        pdu::SMSMessage message;
        bool deliver = false;
        bool threw = false;
        try {
            deliver = PDUCodec().DecodeDeliver(*line, message);
        } catch (const pdu::DecodeError&) {
            threw = true;
        }
        const std::string text = pdu::Utf16ToUtf8(message.GetText());
        if (expect == "deliver") {
            ASSERT_TRUE(deliver && !threw) << id;
            EXPECT_EQ(text, m["gammu"]["text"].get<std::string>()) << id;
            bool numberOk = message.GetNumber() == m["gammu"]["number"].get<std::string>();
            if (m.contains("numbers_accepted")) {
                for (const auto& n : m["numbers_accepted"]) numberOk |= message.GetNumber() == n;
            }
            if (m.contains("design_number")) numberOk |= message.GetNumber() == m["design_number"];
            EXPECT_TRUE(numberOk) << id << ": " << message.GetNumber();
        } else if (expect == "none") {
            EXPECT_TRUE(threw || !deliver) << id << " taken for an SMS-DELIVER";
        } else if (expect == "hold") {
            ASSERT_TRUE(deliver && !threw) << id;
            EXPECT_TRUE(message.IsConcatenated() && !message.IsComplete()) << id;
        } else if (expect == "binary") {
            EXPECT_TRUE(threw || !deliver || text.empty()) << id << ": " << text;
        } else if (expect == "refuse") {
            EXPECT_TRUE(threw || !deliver || text.empty()) << id << ": " << text;
        } else if (expect == "lenient") {
            if (deliver && !threw && !text.empty()) {
                EXPECT_EQ(text, m["alt_text"].get<std::string>()) << id;
            }
        }
        ++checked;
    }
    EXPECT_EQ(checked, 69);
}

TEST(RealModems, ListingsAreReadEntryByEntry) {
    const nlohmann::json real = LoadReal();
    if (real.is_null()) GTEST_SKIP() << "no shared file of real modem answers";
    for (const auto& form : real["listing_forms"]) {
        if (!form.contains("entries")) continue;
        const std::string id = form["id"];
        const std::string text = form["text"];
        const bool listing = text.rfind("+CMGL:", 0) == 0;
        if (!listing) continue;
        // An unsolicited line between every two entries.
        std::string body;
        for (size_t start = 0; start < text.size();) {
            size_t next = text.find("\r\n+CMGL:", start + 1);
            body += text.substr(start, next == std::string::npos ? std::string::npos : next - start);
            if (next == std::string::npos) break;
            body += "\r\n+CIEV: 2,3";
            start = next;
        }
        const ATOutcome outcome = Read("AT+CMGL=4", body);
        const auto entries = GSMDevice::ListedEntries(outcome.lines);
        ASSERT_EQ(entries.size(), form["entries"].size()) << id;
        for (size_t i = 0; i < entries.size(); ++i) {
            const std::string header = form["entries"][i]["header"];
            const std::string index = header.substr(7, header.find(',') - 7);
            EXPECT_EQ(entries[i].index, std::stoul(index)) << id;
            EXPECT_EQ(entries[i].pdu, form["entries"][i]["pdu"].get<std::string>()) << id;
        }
    }
}

}  // namespace
