// qvgsm send against simulated modems: the tool loads the driver, links the
// device as a COM port, and the simulator checks what reached the network.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "support/ChildProcess.h"
#include "tools/sim/Simulator.h"

namespace {

using qvtest::RunProgram;
using qvtest::RunResult;

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

std::map<std::string, std::string> ToolEnv(const char* timeScale = "1") {
    std::map<std::string, std::string> env{{"QVGSM_TIME_SCALE", timeScale},
                                           {"QVGSM_LOGDIR", g_logs.path}};
#ifdef QVGSM_DRIVER_SO
    env["QVGSM_DRIVER"] = QVGSM_DRIVER_SO;
#endif
    return env;
}

RunResult Send(std::vector<std::string> args, const char* timeScale = "1") {
    args.insert(args.begin(), {QVGSM_QVGSM_EXE, "send"});
    return RunProgram(args, ToolEnv(timeScale));
}

class ToolSend : public ::testing::Test {
  protected:
    void SetUp() override {
        m_modem = m_sim.Add();
        if (m_modem < 0) GTEST_SKIP() << "no pseudo-terminal";
        m_line = "5=" + m_sim.SlavePath(m_modem);
    }
    qvsim::Simulator m_sim;
    int m_modem = -1;
    std::string m_line;
};

TEST_F(ToolSend, SendsOneMessageAndReportsIt) {
    RunResult r = Send({"--line", m_line, "--to", "+15551234567", "--text", "hello there"});
    ASSERT_EQ(r.status, 0) << r.output << r.errors;
    auto submits = m_sim.Submits(m_modem);
    ASSERT_EQ(submits.size(), 1u);
    EXPECT_EQ(submits[0].number, "+15551234567");
    EXPECT_EQ(submits[0].utf8, "hello there");
    EXPECT_FALSE(submits[0].statusReport);
    EXPECT_NE(r.output.find("COM5 up"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("COM5 sent to +15551234567"), std::string::npos) << r.output;
}

TEST_F(ToolSend, JsonEventsForALongMessageWithStatusReport) {
    const std::string text(200, 'x');
    RunResult r = Send({"--line", m_line, "--to", "555 123-4567", "--text", text, "--json",
                        "--status-report", "--fixed"});
    ASSERT_EQ(r.status, 0) << r.output << r.errors;
    bool lineUp = false, sent = false;
    for (const auto& l : r.lines) {
        auto j = nlohmann::json::parse(l);  // every line is one JSON object
        if (j["event"] == "line") lineUp = j["up"] == true && j["com"] == 5;
        if (j["event"] == "sent") {
            sent = j["ok"] == true && j["to"] == "5551234567" && j["code"] == 0 &&
                   j["attempts"] == 1 && j["lastLine"] == 5;
        }
    }
    EXPECT_TRUE(lineUp) << r.output;
    EXPECT_TRUE(sent) << r.output;
    auto submits = m_sim.Submits(m_modem);
    ASSERT_EQ(submits.size(), 2u);
    EXPECT_EQ(submits[0].utf8 + submits[1].utf8, text);
    EXPECT_EQ(submits[0].number, "5551234567");
    EXPECT_TRUE(submits[0].statusReport);
}

TEST_F(ToolSend, FixedSendsEveryMessageOnTheFirstLine) {
    qvsim::Simulator other;
    int second = other.Add();
    ASSERT_GE(second, 0);
    RunResult r = Send({"--line", "6=" + other.SlavePath(second), "--line", m_line, "--fixed",
                        "--to", "111", "--to", "222", "--to", "333", "--text", "on six"});
    ASSERT_EQ(r.status, 0) << r.output << r.errors;
    EXPECT_EQ(other.Submits(second).size(), 3u);
    EXPECT_TRUE(m_sim.Submits(m_modem).empty());
    for (const char* to : {"111", "222", "333"}) {
        EXPECT_NE(r.output.find(std::string("COM6 sent to ") + to), std::string::npos) << r.output;
    }
    EXPECT_TRUE(std::filesystem::exists(g_logs.path + "/GSM_COM6.log"));
}

TEST_F(ToolSend, FailedSendExitsOneWithTheReason) {
    qvsim::Fault fault;
    fault.prefix = "AT+CMGS";
    fault.action = qvsim::Fault::Action::CmsError;
    fault.code = 500;
    m_sim.AddFault(m_modem, fault);
    RunResult r =
        Send({"--line", m_line, "--to", "+15551234567", "--text", "x", "--retries", "2"}, "20");
    EXPECT_EQ(r.status, 1) << r.output << r.errors;
    EXPECT_NE(r.output.find("could not send to +15551234567"), std::string::npos) << r.output;
    EXPECT_TRUE(m_sim.Submits(m_modem).empty());
}

TEST_F(ToolSend, LineThatFailsToComeUpExitsFourWithTheReason) {
    qvsim::Fault fault;  // every command line answers ERROR
    fault.action = qvsim::Fault::Action::Error;
    m_sim.AddFault(m_modem, fault);
    RunResult r = Send({"--line", m_line, "--to", "+15551234567", "--text", "x"}, "20");
    EXPECT_EQ(r.status, 4) << r.output << r.errors;
    EXPECT_NE(r.errors.find("COM5 failed to come up: "), std::string::npos) << r.errors;
    EXPECT_NE(r.errors.find("(QV_"), std::string::npos) << r.errors;  // the code, named
}

TEST_F(ToolSend, BusyDeviceExitsThree) {
    int fd = open(m_sim.SlavePath(m_modem).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    RunResult r = Send({"--line", m_line, "--to", "+15551234567", "--text", "x"});
    close(fd);
    EXPECT_EQ(r.status, 3) << r.output << r.errors;
    EXPECT_NE(r.errors.find("busy"), std::string::npos) << r.errors;
    EXPECT_TRUE(m_sim.Commands(m_modem).empty());  // the driver never started on it
}

TEST(ToolSendErrors, MissingDeviceExitsThree) {
    RunResult r = Send({"--line", "7=/dev/qvgsm-no-such-modem", "--to", "123", "--text", "x"});
    EXPECT_EQ(r.status, 3) << r.output << r.errors;
    EXPECT_NE(r.errors.find("/dev/qvgsm-no-such-modem does not exist"), std::string::npos)
        << r.errors;
}

TEST(ToolSendErrors, BadNumberAndBadArgumentsExitTwo) {
    RunResult r = Send({"--line", "7=/dev/null", "--to", "call me", "--text", "x"});
    EXPECT_EQ(r.status, 2) << r.errors;
    EXPECT_NE(r.errors.find("bad number 'call me'"), std::string::npos) << r.errors;
    EXPECT_EQ(Send({"--line", "7=/dev/null", "--to", "+", "--text", "x"}).status, 2);
    EXPECT_EQ(Send({"--line", "7=/dev/null", "--to", "++12", "--text", "x"}).status, 2);
    EXPECT_EQ(Send({"--line", "/dev/ttyUSB0", "--to", "12", "--text", "x"}).status, 2);
    EXPECT_EQ(Send({"--line", "0=/dev/ttyUSB0", "--to", "12", "--text", "x"}).status, 2);
    EXPECT_EQ(Send({"--line", "7=/dev/null", "--text", "x"}).status, 2);  // no --to
}

TEST(ToolSendErrors, HelpDocumentsTheExitCodes) {
    RunResult r = RunProgram({QVGSM_QVGSM_EXE, "--help"}, ToolEnv());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("3 device missing, busy"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("4 a line failed to come up"), std::string::npos) << r.output;
}

TEST(ToolSendErrors, UnloadableLibraryExitsOne) {
    qvsim::Simulator pts;
    int modem = pts.Add();
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal";
    RunResult r = Send({"--line", "5=" + pts.SlavePath(modem), "--to", "1", "--text", "x", "--lib",
                        QVGSM_SOURCE_DIR "/README.md"});
    EXPECT_EQ(r.status, 1) << r.errors;
    EXPECT_NE(r.errors.find("cannot load "), std::string::npos) << r.errors;
    EXPECT_TRUE(pts.Commands(modem).empty());
}

}  // namespace

// --wait-report: the exit status says whether the network delivered it.
TEST_F(ToolSend, WaitReportExitsByTheFinalReport) {
    m_sim.Configure(m_modem, [](qvsim::ModemConfig& c) {
        c.reportStatus = 0x00;
        c.reportDelayMs = 200;
    });
    RunResult r = Send({"--line", m_line, "--to", "+15551234567", "--text", std::string(200, 'd'),
                        "--wait-report", "--json"},
                       "10");
    EXPECT_EQ(r.status, 0) << r.output << r.errors;
    size_t finals = 0;
    for (const std::string& line : r.lines) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_object() && j.value("event", "") == "report") finals += j.value("final", false);
    }
    EXPECT_EQ(finals, 2u) << r.output;

    m_sim.Configure(m_modem, [](qvsim::ModemConfig& c) { c.reportStatus = 0x41; });
    r = Send({"--line", m_line, "--to", "+15551234567", "--text", "x", "--wait-report", "30"},
             "10");
    EXPECT_EQ(r.status, 1) << r.output << r.errors;
    EXPECT_NE(r.errors.find("was not delivered"), std::string::npos) << r.errors;
}
