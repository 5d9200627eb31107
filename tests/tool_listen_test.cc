// qvgsm listen against a simulated modem: messages injected into the
// simulator come out of the tool as the host received them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "pdu/Utf.h"
#include "support/ChildProcess.h"
#include "tools/sim/Simulator.h"

namespace {

using ms = std::chrono::milliseconds;

// The line logs of the tool runs go to a folder of this test process.
struct LogDir {
    LogDir() {
        char templ[] = "/tmp/qvtest-tool-logs-XXXXXX";
        if (mkdtemp(templ) != nullptr) path = templ;
    }
    ~LogDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string path;
} g_logs;

std::map<std::string, std::string> ToolEnv() {
    std::map<std::string, std::string> env{{"QVGSM_TIME_SCALE", "1"},
                                           {"QVGSM_LOGDIR", g_logs.path}};
#ifdef QVGSM_DRIVER_SO
    env["QVGSM_DRIVER"] = QVGSM_DRIVER_SO;
#endif
    return env;
}

std::vector<std::string> Listen(std::vector<std::string> args) {
    args.insert(args.begin(), {QVGSM_QVGSM_EXE, "listen"});
    return args;
}

// Reads JSON lines until one of the given event comes; false at the end.
bool WaitForEvent(qvtest::ChildProcess& child, const std::string& event, nlohmann::json* out) {
    std::string line;
    while (child.ReadLine(&line, ms(60000))) {
        auto j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_discarded() && j["event"] == event) {
            *out = j;
            return true;
        }
    }
    return false;
}

class ToolListen : public ::testing::Test {
  protected:
    void SetUp() override {
        m_modem = m_sim.Add();
        if (m_modem < 0) GTEST_SKIP() << "no pseudo-terminal";
        m_line = "3=" + m_sim.SlavePath(m_modem);
    }
    qvsim::Simulator m_sim;
    int m_modem = -1;
    std::string m_line;
};

TEST_F(ToolListen, PrintsSingleAndConcatenatedMessagesAsJson) {
    qvtest::ChildProcess child;
    ASSERT_TRUE(child.Start(Listen({"--line", m_line, "--json", "--count", "2", "--timeout", "90"}),
                            ToolEnv()));
    nlohmann::json ev;
    ASSERT_TRUE(WaitForEvent(child, "line", &ev)) << child.Output() << child.Errors();
    ASSERT_EQ(ev["up"], true) << ev.dump();
    EXPECT_EQ(ev["com"], 3);

    const std::string longText(400, 'L');
    const std::string emoji = "caf\xC3\xA9 \xF0\x9F\x98\x80";
    m_sim.Inject(m_modem, "+15550001111", emoji);
    qvsim::Incoming parts;
    parts.sender = "+15550002222";
    parts.text = pdu::Utf8ToUtf16(longText);
    parts.order = {3, 1, 2};
    ASSERT_EQ(m_sim.Inject(m_modem, parts).size(), 3u);

    std::map<std::string, nlohmann::json> byFrom;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(WaitForEvent(child, "received", &ev)) << child.Output() << child.Errors();
        byFrom[ev["from"]] = ev;
    }
    EXPECT_EQ(child.Wait(ms(60000)), 0) << child.Errors();
    ASSERT_EQ(byFrom.count("+15550001111"), 1u) << child.Output();
    ASSERT_EQ(byFrom.count("+15550002222"), 1u) << child.Output();
    EXPECT_EQ(byFrom["+15550001111"]["text"], emoji);
    EXPECT_EQ(byFrom["+15550001111"]["parts"], 1);
    EXPECT_EQ(byFrom["+15550002222"]["text"], longText);
    EXPECT_EQ(byFrom["+15550002222"]["parts"], 3);
    EXPECT_EQ(byFrom["+15550002222"]["com"], 3);
}

TEST_F(ToolListen, DeliversMessagesAlreadyOnTheSimAsText) {
    qvsim::Incoming stored;
    stored.sender = "+15550003333";
    stored.text = u"waiting since yesterday";
    stored.announce = false;
    m_sim.Inject(m_modem, stored);
    qvtest::RunResult r =
        qvtest::RunProgram(Listen({"--line", m_line, "--count", "1"}), ToolEnv(), ms(90000));
    EXPECT_EQ(r.status, 0) << r.output << r.errors;
    EXPECT_NE(r.output.find("COM3 message from +15550003333 (1 part): waiting since yesterday"),
              std::string::npos)
        << r.output;
}

TEST_F(ToolListen, TimeoutBeforeTheCountExitsOne) {
    qvtest::RunResult r =
        qvtest::RunProgram(Listen({"--line", m_line, "--count", "1", "--timeout", "1"}), ToolEnv());
    EXPECT_EQ(r.status, 1) << r.output << r.errors;
    EXPECT_NE(r.errors.find("received 0 of 1 message(s)"), std::string::npos) << r.errors;
    // Without a count the time-out is the normal end.
    r = qvtest::RunProgram(Listen({"--line", m_line, "--timeout", "1"}), ToolEnv());
    EXPECT_EQ(r.status, 0) << r.output << r.errors;
}

TEST(ToolListenErrors, MissingDeviceAndDuplicateComExit) {
    qvtest::RunResult r = qvtest::RunProgram(
        Listen({"--line", "2=/dev/qvgsm-no-such-modem", "--json", "--count", "1"}), ToolEnv());
    EXPECT_EQ(r.status, 3) << r.errors;
    ASSERT_FALSE(r.lines.empty());
    auto j = nlohmann::json::parse(r.lines.back());
    EXPECT_EQ(j["event"], "error");
    EXPECT_EQ(j["exit"], 3);
    r = qvtest::RunProgram(Listen({"--line", "2=/dev/null", "--line", "COM2=/dev/zero"}),
                           ToolEnv());
    EXPECT_EQ(r.status, 2) << r.errors;
    EXPECT_NE(r.errors.find("COM2 is given twice"), std::string::npos) << r.errors;
}

}  // namespace
