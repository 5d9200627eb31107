// Misbehaving modems: errors, silence, delays, answers in pieces, garbage,
// spurious indications, hang-ups and re-plugging, random faults.
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "support/SimBench.h"

namespace {

using qvsim::Fault;
using qvtest::SimBench;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

class SimFaults : public SimBench {};

Fault Make(const std::string& rule) {
    Fault f;
    std::string error;
    EXPECT_TRUE(qvsim::ParseFault(rule, &f, &error)) << rule << ": " << error;
    return f;
}

TEST(SimFaultText, ParsesTheConsoleGrammar) {
    Fault f = Make("AT+CMGS cms=500 x2 after=1 p=0.5");
    EXPECT_EQ(f.prefix, "AT+CMGS");
    EXPECT_EQ(f.action, Fault::Action::CmsError);
    EXPECT_EQ(f.code, 500);
    EXPECT_EQ(f.times, 2);
    EXPECT_EQ(f.after, 1);
    EXPECT_DOUBLE_EQ(f.probability, 0.5);
    f = Make("* bytes gap=5");
    EXPECT_EQ(f.prefix, "");
    EXPECT_EQ(f.action, Fault::Action::Chunks);
    EXPECT_EQ(f.size, 1);
    EXPECT_EQ(f.gapMs, 5);
    f = Make("AT garbage=%00%FF\\r");
    EXPECT_EQ(f.text, std::string("\x00\xFF\r", 3));
    f = Make("> hangup replug=100");
    EXPECT_EQ(f.action, Fault::Action::HangUp);
    EXPECT_EQ(f.ms, 100);
    Fault bad;
    std::string error;
    EXPECT_FALSE(qvsim::ParseFault("AT", &bad, &error));
    EXPECT_FALSE(qvsim::ParseFault("AT explode", &bad, &error));
    EXPECT_FALSE(qvsim::ParseFault("AT cms=x", &bad, &error));
    EXPECT_FALSE(qvsim::ParseFault("AT error sometimes", &bad, &error));
}

TEST_F(SimFaults, AnswersErrorAGivenNumberOfTimes) {
    Quiet();
    sim.AddFault(modem, Make("AT+CSQ error x2"));
    EXPECT_EQ(client.Command("AT+CSQ"), "\r\nERROR\r\n");
    EXPECT_EQ(client.Command("AT"), "\r\nOK\r\n");  // other commands unaffected
    EXPECT_EQ(client.Command("AT+CSQ"), "\r\nERROR\r\n");
    EXPECT_EQ(client.Command("AT+CSQ"), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
}

TEST_F(SimFaults, ErrorsReplaceTheCommandWithoutRunningIt) {
    Quiet();
    sim.AddFault(modem, Make("AT+CMGS cms=500"));
    sim.AddFault(modem, Make("AT+CMGD cme=10"));
    sim.Inject(modem, "+1", "x");
    EXPECT_EQ(client.Command("AT+CMGS=15"), "\r\n+CMS ERROR: 500\r\n");
    EXPECT_EQ(client.Command("AT"), "\r\nOK\r\n");  // no prompt was entered
    EXPECT_EQ(client.Command("AT+CMGD=1"), "\r\n+CME ERROR: 10\r\n");
    EXPECT_EQ(sim.Stored(modem).size(), 1u);
    sim.ClearFaults(modem);
    EXPECT_EQ(client.Command("AT+CMGD=1"), "\r\nOK\r\n");
}

TEST_F(SimFaults, StaysSilent) {
    sim.AddFault(modem, Make("AT+CNMI=? silent x1"));
    EXPECT_EQ(client.Command("AT+CNMI=?", milliseconds(200)), "");
    EXPECT_EQ(client.Command("AT"), "AT\r\r\nOK\r\n");
}

TEST_F(SimFaults, StopsAnsweringAfterNCommands) {
    Quiet();
    sim.AddFault(modem, Make("* silent after=2"));
    EXPECT_EQ(client.Command("AT"), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT"), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT", milliseconds(200)), "");
    EXPECT_EQ(client.Command("AT+CSQ", milliseconds(200)), "");
    EXPECT_EQ(sim.Commands(modem).size(), 5u);  // still recorded
}

TEST_F(SimFaults, DelaysTheAnswerOnThePlatformClock) {
    Quiet();
    sim.AddFault(modem, Make("AT+CSQ delay=300"));
    auto start = Clock::now();
    EXPECT_EQ(client.Command("AT+CSQ"), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    EXPECT_GE(Clock::now() - start, milliseconds(290));
    // At a 1000x platform clock a 100 s delay passes in 0.1 s.
    qvclock::SetScale(1000);
    sim.AddFault(modem, Make("AT+CGMI delay=100000"));
    start = Clock::now();
    EXPECT_NE(client.Command("AT+CGMI", milliseconds(3000)).find("OK"), std::string::npos);
    auto took = Clock::now() - start;
    EXPECT_GE(took, milliseconds(90));
    EXPECT_LT(took, milliseconds(2000));
    qvclock::SetScale(1);
}

TEST_F(SimFaults, SendsTheAnswerAByteAtATime) {
    Quiet();
    sim.AddFault(modem, Make("AT+CSQ bytes gap=10"));
    client.ClearReads();
    std::string answer = client.Command("AT+CSQ");
    EXPECT_EQ(answer, "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    // One read per byte, give or take reads merged on a busy machine.
    EXPECT_GT(client.Reads().size(), answer.size() / 2);
}

TEST_F(SimFaults, SplitsTheAnswerIntoChunks) {
    Quiet();
    sim.AddFault(modem, Make("AT+CSQ chunks=5 gap=40"));
    client.ClearReads();
    std::string answer = client.Command("AT+CSQ");
    EXPECT_EQ(answer, "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    // Pieces of 5 (21 bytes: 5 5 5 5 1); a busy machine may merge two.
    EXPECT_GE(client.Reads().size(), 3u);
    EXPECT_EQ(client.Reads()[0] % 5, 0u);
    EXPECT_LE(*std::max_element(client.Reads().begin(), client.Reads().end()), 10u);
}

TEST_F(SimFaults, PutsGarbageBeforeTheAnswer) {
    Quiet();
    sim.AddFault(modem, Make("AT garbage=%00%FFxyz"));
    EXPECT_EQ(client.Command("AT"), std::string("\x00\xFFxyz\r\nOK\r\n", 11));
}

TEST_F(SimFaults, RepliesWithACustomText) {
    Quiet();
    sim.AddFault(modem, Make("AT+CSQ reply=\\r\\n+CSQ:%2099,99\\r\\n\\r\\nOK\\r\\n"));
    EXPECT_EQ(client.Command("AT+CSQ"), "\r\n+CSQ: 99,99\r\n\r\nOK\r\n");
}

TEST_F(SimFaults, AddsSpuriousAndDuplicatedIndications) {
    Quiet();
    ASSERT_EQ(client.Command("AT+CNMI=2,1,0,0,1"), "\r\nOK\r\n");
    sim.AddFault(modem, Make("AT+CSQ cmti=7 x1"));
    client.Write("AT+CSQ\r");
    EXPECT_TRUE(client.ReadUntil("\r\nOK\r\n\r\n+CMTI: \"SM\",7\r\n"));
    client.Take();
    sim.Inject(modem, "+1", "x");
    ASSERT_TRUE(client.ReadUntil("+CMTI: \"SM\",1\r\n"));
    client.Take();
    sim.AddFault(modem, Make("AT cmti x1"));  // the last announced, again
    client.Write("AT\r");
    EXPECT_TRUE(client.ReadUntil("\r\nOK\r\n\r\n+CMTI: \"SM\",1\r\n"));
}

TEST_F(SimFaults, FaultsThePduAfterThePrompt) {
    Quiet();
    sim.AddFault(modem, Make("> error x1"));
    EXPECT_EQ(client.Command("AT+CMGS=15"), "\r\n> ");
    EXPECT_EQ(client.Command("0001000A81103254769800000361F118\x1A"), "\r\nERROR\r\n");
    EXPECT_TRUE(sim.Submits(modem).empty());
}

TEST_F(SimFaults, HangsUpAndComesBackOnANewDeviceAtTheSameLink) {
    char tmpl[] = "/tmp/qvsim-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    ASSERT_TRUE(sim.Link(modem, dir, 7));
    EXPECT_EQ(std::filesystem::read_symlink(dir + "/com7"), sim.SlavePath(modem));
    sim.AddFault(modem, Make("AT+CSQ hangup x1"));
    client.Command("AT+CSQ", milliseconds(500));
    EXPECT_TRUE(client.HungUp());
    EXPECT_TRUE(sim.WaitFor([&] { return !sim.Plugged(modem); }, milliseconds(1000)));
    ASSERT_TRUE(sim.Replug(modem));
    ASSERT_TRUE(client.Open(dir + "/com7"));
    EXPECT_EQ(std::filesystem::read_symlink(dir + "/com7"), sim.SlavePath(modem));
    EXPECT_EQ(client.Command("AT+CSQ"), "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n");  // echo is back
    client.Close();
    std::filesystem::remove_all(dir);
}

TEST_F(SimFaults, PlugsItselfInAgainAfterAWhile) {
    sim.AddFault(modem, Make("AT hangup replug=100 x1"));
    std::string before = sim.SlavePath(modem);
    client.Command("AT", milliseconds(300));
    EXPECT_TRUE(client.HungUp());
    ASSERT_TRUE(sim.WaitFor([&] { return sim.Plugged(modem); }, milliseconds(2000)));
    ASSERT_TRUE(client.Open(sim.SlavePath(modem)));
    EXPECT_EQ(client.Command("AT"), "AT\r\r\nOK\r\n");
    (void)before;
}

TEST_F(SimFaults, HangUpFromTheTest) {
    sim.HangUp(modem);
    client.ReadFor(milliseconds(200));
    EXPECT_TRUE(client.HungUp());
    EXPECT_FALSE(sim.Plugged(modem));
}

// The same seed gives the same faults: a failing random run can be replayed.
TEST(SimRandomFaults, AreRepeatableWithASeed) {
    std::vector<std::string> runs[2];
    for (auto& answers : runs) {
        qvsim::Simulator sim;
        qvsim::ModemConfig c;
        c.seed = 1234;
        int modem = sim.Add(c);
        if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
        qvtest::SerialClient client;
        ASSERT_TRUE(client.Open(sim.SlavePath(modem)));
        client.Command("ATE0");
        sim.AddFault(modem, Make("AT error p=0.5"));
        for (int i = 0; i < 40; ++i) answers.push_back(client.Command("AT"));
    }
    EXPECT_EQ(runs[0], runs[1]);
    int errors = static_cast<int>(std::count(runs[0].begin(), runs[0].end(), "\r\nERROR\r\n"));
    EXPECT_GT(errors, 5);
    EXPECT_LT(errors, 35);
}

}  // namespace
