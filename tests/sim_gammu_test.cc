// A stock SMS client (Gammu) against the simulator: it must identify the
// modem, send one-part and multipart messages that the simulator decodes to
// the right number and text, and list messages injected into the SIM.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "tools/sim/Simulator.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

std::string FindGammu() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = dir + "/gammu";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

class SimGammu : public ::testing::Test {
  protected:
    void SetUp() override {
        m_gammu = FindGammu();
        if (m_gammu.empty()) GTEST_SKIP() << "gammu is not installed (apt-get install gammu)";
        char tmpl[] = "/tmp/qvsim-gammu-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        modem = sim.Add();
        if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
        ASSERT_TRUE(sim.Link(modem, m_dir, 1));
        std::ofstream rc(m_dir + "/gammurc");
        rc << "[gammu]\ndevice = " << m_dir << "/com1\nconnection = at\nmodel = at\n"
           << "logfile = " << m_dir << "/gammu.log\nlogformat = textall\n";
    }

    void TearDown() override {
        if (HasFailure() && !m_dir.empty()) {
            std::ifstream log(m_dir + "/gammu.log");
            std::stringstream ss;
            ss << log.rdbuf();
            std::string text = ss.str();
            if (text.size() > 6000) text = text.substr(text.size() - 6000);
            std::cerr << "gammu log (tail):\n" << text << std::endl;
        }
        if (!m_dir.empty()) fs::remove_all(m_dir);
    }

    // Runs gammu with its arguments under a 60 s time-out; its exit status,
    // output in *out.
    int Gammu(const std::string& args, std::string* out) {
        std::string file = m_dir + "/out.txt";
        std::string cmd = "timeout 60 " + m_gammu + " -c " + m_dir + "/gammurc " + args + " > " +
                          file + " 2>&1 < /dev/null";
        int status = std::system(cmd.c_str());
        std::ifstream f(file);
        std::stringstream ss;
        ss << f.rdbuf();
        *out = ss.str();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string m_gammu;
    std::string m_dir;
    qvsim::Simulator sim;
    int modem = -1;
};

TEST_F(SimGammu, IdentifiesTheModem) {
    std::string out;
    ASSERT_EQ(Gammu("identify", &out), 0) << out;
    qvsim::ModemConfig c;
    EXPECT_NE(out.find(c.manufacturer), std::string::npos) << out;
    EXPECT_NE(out.find(c.imei), std::string::npos) << out;
    EXPECT_NE(out.find(c.imsi), std::string::npos) << out;
}

TEST_F(SimGammu, SendsAOnePartMessage) {
    std::string out;
    ASSERT_EQ(Gammu("sendsms TEXT +4915112345678 -text " + Quote("Hello from Gammu!"), &out), 0)
        << out;
    ASSERT_TRUE(sim.WaitForSubmits(modem, 1, milliseconds(5000)));
    auto subs = sim.Submits(modem);
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(subs[0].number, "+4915112345678");
    EXPECT_EQ(subs[0].utf8, "Hello from Gammu!");
    EXPECT_EQ(subs[0].concatReference, -1);
    EXPECT_TRUE(sim.RejectedPdus(modem).empty());
}

TEST_F(SimGammu, SendsALongMessageInParts) {
    std::string text;
    for (int i = 0; text.size() < 400; ++i)
        text += "Part of a long text #" + std::to_string(i) + ". ";
    text.resize(400);
    std::string out;
    ASSERT_EQ(Gammu("sendsms TEXT 015112345678 -len 400 -text " + Quote(text), &out), 0) << out;
    ASSERT_TRUE(sim.WaitForSubmits(modem, 3, milliseconds(5000)));
    auto subs = sim.Submits(modem);
    ASSERT_EQ(subs.size(), 3u);
    std::sort(subs.begin(), subs.end(),
              [](const qvsim::Submit& a, const qvsim::Submit& b) { return a.part < b.part; });
    std::string joined;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(subs[i].number, "015112345678");
        EXPECT_EQ(subs[i].part, i + 1);
        EXPECT_EQ(subs[i].total, 3);
        EXPECT_EQ(subs[i].concatReference, subs[0].concatReference);
        joined += subs[i].utf8;
    }
    EXPECT_EQ(joined, text);
}

TEST_F(SimGammu, SendsUnicode) {
    std::string out;
    ASSERT_EQ(Gammu("sendsms TEXT +4915112345678 -unicode -text " + Quote("Grüße 😀"), &out), 0)
        << out;
    ASSERT_TRUE(sim.WaitForSubmits(modem, 1, milliseconds(5000)));
    EXPECT_EQ(sim.Submits(modem)[0].utf8, "Grüße 😀");
}

TEST_F(SimGammu, ListsInjectedMessages) {
    sim.Inject(modem, "+4915199999999", "First injected message");
    qvsim::Incoming second;
    second.sender = "+4915188888888";
    second.text = u"Zweite Nachricht äöü €";
    second.coding = qvsim::Incoming::Coding::Ucs2;
    sim.Inject(modem, second);
    std::string out;
    ASSERT_EQ(Gammu("getallsms", &out), 0) << out;
    EXPECT_NE(out.find("+4915199999999"), std::string::npos) << out;
    EXPECT_NE(out.find("First injected message"), std::string::npos) << out;
    EXPECT_NE(out.find("+4915188888888"), std::string::npos) << out;
    EXPECT_NE(out.find("Zweite Nachricht äöü €"), std::string::npos) << out;
    EXPECT_NE(out.find("2 SMS parts in 2 SMS sequences"), std::string::npos) << out;
}

}  // namespace
