// qvgsm pdu encode|decode, run as a separate process.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

struct ToolRun {
    int status = -1;
    std::vector<std::string> lines;
};

// Runs qvgsm with shell-quoted arguments; stderr is dropped.
ToolRun Qvgsm(const std::string& args) {
    ToolRun r;
    const std::string cmd = std::string("'") + QVGSM_QVGSM_EXE + "' " + args + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) r.lines.push_back(line);
    return r;
}

}  // namespace

TEST(PduTool, EncodePrintsOnePduPerLine) {
    ToolRun r = Qvgsm("pdu encode --to 0123456789 --text abc");
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.lines.size(), 1u);
    auto j = nlohmann::json::parse(r.lines[0]);
    EXPECT_EQ(j["pdu"], "0001000A81103254769800000361F118");
    EXPECT_EQ(j["length"], 15);

    r = Qvgsm("pdu encode --to +12345678901 --status-report --text '" + std::string(161, 'x') +
              "'");
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.lines.size(), 2u);
    for (const auto& line : r.lines) {
        auto part = nlohmann::json::parse(line);
        const std::string hex = part["pdu"];
        EXPECT_EQ(hex.substr(2, 2), "61");
        EXPECT_EQ(part["length"], static_cast<int>(hex.size() / 2 - 1));
    }
}

TEST(PduTool, EncodeConvertsUtf8IncludingSurrogatePairs) {
    ToolRun r = Qvgsm("pdu encode --to 0123456789 --text '\xC3\xA9\xF0\x9F\x98\x80'");  // é😀
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.lines.size(), 1u);
    auto j = nlohmann::json::parse(r.lines[0]);
    EXPECT_EQ(j["pdu"],
              "0001000A811032547698000806"
              "00E9D83DDE00");

    r = Qvgsm("pdu encode --force-7bit --to 0123456789 --text '\xE2\x82\xAC'");  // €
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(nlohmann::json::parse(r.lines.at(0))["pdu"], "0001000A8110325476980000029B32");
}

TEST(PduTool, DecodePrintsTheRecord) {
    ToolRun r = Qvgsm("pdu decode 0491214365040A8110325476980000321050215445400361F118");
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.lines.size(), 1u);
    auto j = nlohmann::json::parse(r.lines[0]);
    EXPECT_EQ(j["smsc"], "+123456");
    EXPECT_EQ(j["number"], "0123456789");
    EXPECT_EQ(j["text"], "abc");
    EXPECT_EQ(j["concatenated"], false);

    r = Qvgsm(
        "pdu decode 0491214365440A8110325476980008321050215445400C"
        "0500032A0201"
        "00E9D83DDE00");
    ASSERT_EQ(r.status, 0);
    j = nlohmann::json::parse(r.lines.at(0));
    EXPECT_EQ(j["text"], "\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(j["concatenated"], true);
    EXPECT_EQ(j["reference"], 42);
    EXPECT_EQ(j["part"], 1);
    EXPECT_EQ(j["total"], 2);
}

TEST(PduTool, ErrorsExitWithTwo) {
    EXPECT_EQ(Qvgsm("pdu decode 0491214365040A81103254769800003210").status, 2);
    EXPECT_EQ(Qvgsm("pdu decode ZZZZ").status, 2);
    EXPECT_EQ(Qvgsm("pdu decode 0491214365060A8110325476980000").status, 2);
    EXPECT_EQ(Qvgsm("pdu encode --to none --text abc").status, 2);
    EXPECT_EQ(Qvgsm("pdu encode --to 1 --text '" + std::string(255 * 153 + 1, 'a') + "'").status,
              2);
    EXPECT_EQ(Qvgsm("pdu decode 0491214365040A81103254769800003210").lines.size(), 0u);
}

TEST(PduTool, DecodePrintsAStatusReport) {
    // A report from gammu's test data (tests/at-sms/34.dump at 78fd6a9212f3).
    ToolRun r = Qvgsm(
        "pdu decode 07911614786007F006060B911634092142F4019071011000040190710110450400060000");
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.lines.size(), 1u);
    auto j = nlohmann::json::parse(r.lines[0]);
    EXPECT_EQ(j["type"], "status-report");
    EXPECT_EQ(j["smsc"], "+61418706700");
    EXPECT_EQ(j["reference"], 6);
    EXPECT_EQ(j["recipient"], "+61439012244");
    EXPECT_EQ(j["status"], 0);
    EXPECT_EQ(j["delivered"], true);
    EXPECT_EQ(j["final"], true);
    EXPECT_EQ(j["serviceCentreTime"], 1284681660);  // 2010-09-17 10:01:00 +10:00
    EXPECT_EQ(j["dischargeTime"], 1284681714);

    // Still tried (ModemManager's test_pdu_not_stored), and one cut short.
    r = Qvgsm("pdu decode 07914356060013F1065A098136397339F7219011700463802190117004638030");
    ASSERT_EQ(r.status, 0);
    j = nlohmann::json::parse(r.lines.at(0));
    EXPECT_EQ(j["status"], 0x30);
    EXPECT_EQ(j["final"], false);
    EXPECT_EQ(Qvgsm("pdu decode 07914356060013F1065A098136397339F72190117004638021901170").status,
              2);
    // An SMS-SUBMIT is neither.
    EXPECT_EQ(Qvgsm("pdu decode 0001000A81103254769800000361F118").status, 2);
}
