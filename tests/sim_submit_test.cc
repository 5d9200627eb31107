// Sending through the simulated modem: the AT+CMGS prompt dialogue, the
// checks on what the host sends, and the decoded record of every part.
#include <gtest/gtest.h>

#include "support/SimBench.h"

namespace {

using qvtest::SimBench;
using std::chrono::milliseconds;

const std::string kAbc = "0001000A81103254769800000361F118";  // "abc" to 0123456789

class SimSubmit : public SimBench {
  protected:
    // The prompt dialogue as the driver writes it: PDU, Ctrl-Z, CR.
    std::string Send(const std::string& pdu, int length) {
        std::string prompt = client.Command("AT+CMGS=" + std::to_string(length));
        EXPECT_EQ(prompt, "\r\n> ");
        return client.Command(pdu + "\x1A");
    }
};

TEST_F(SimSubmit, PromptsAcceptsAndRecordsTheMessage) {
    Quiet();
    EXPECT_EQ(Send(kAbc, 15), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    auto subs = sim.Submits(modem);
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(subs[0].number, "0123456789");
    EXPECT_EQ(subs[0].utf8, "abc");
    EXPECT_EQ(subs[0].text, u"abc");
    EXPECT_EQ(subs[0].cmgsReference, 1);
    EXPECT_EQ(subs[0].declaredLength, 15);
    EXPECT_EQ(subs[0].pdu, kAbc);
    // The CR after Ctrl-Z is no command: nothing answers it, the next works.
    client.ReadFor(milliseconds(50));
    EXPECT_EQ(client.Take(), "");
    EXPECT_EQ(Send(kAbc, 15), "\r\n+CMGS: 2\r\n\r\nOK\r\n");
    EXPECT_EQ(sim.Commands(modem), (std::vector<std::string>{"ATE0", "AT+CMGS=15", kAbc + "\x1A",
                                                             "AT+CMGS=15", kAbc + "\x1A"}));
}

TEST_F(SimSubmit, EchoesThePduWhileEchoIsOn) {
    EXPECT_EQ(client.Command("AT+CMGS=15"), "AT+CMGS=15\r\r\n> ");
    EXPECT_EQ(client.Command(kAbc + "\x1A"), kAbc + "\r\n+CMGS: 1\r\n\r\nOK\r\n");
}

TEST_F(SimSubmit, RefusesALengthThatDoesNotMatchThePdu) {
    Quiet();
    EXPECT_EQ(Send(kAbc, 16), "\r\n+CMS ERROR: 304\r\n");
    EXPECT_TRUE(sim.Submits(modem).empty());
    auto rejected = sim.RejectedPdus(modem);
    ASSERT_EQ(rejected.size(), 1u);
    EXPECT_EQ(rejected[0].declaredLength, 16);
    EXPECT_EQ(rejected[0].pdu, kAbc);
}

TEST_F(SimSubmit, RefusesMalformedPdus) {
    Quiet();
    EXPECT_EQ(Send("0001000A8110325476980000036XF118", 15), "\r\n+CMS ERROR: 304\r\n");
    EXPECT_EQ(Send("0001000A81103254769800000561F118", 15), "\r\n+CMS ERROR: 304\r\n");
    EXPECT_EQ(client.Command("AT+CMGS=0"), "\r\n+CMS ERROR: 304\r\n");
    EXPECT_EQ(client.Command("AT+CMGS=abc"), "\r\n+CMS ERROR: 304\r\n");
    EXPECT_EQ(sim.RejectedPdus(modem).size(), 2u);
    EXPECT_TRUE(sim.Submits(modem).empty());
}

TEST_F(SimSubmit, EscapeCancelsTheMessage) {
    Quiet();
    EXPECT_EQ(client.Command("AT+CMGS=15"), "\r\n> ");
    EXPECT_EQ(client.Command(kAbc.substr(0, 10) + "\x1B"), "\r\nOK\r\n");
    EXPECT_TRUE(sim.Submits(modem).empty());
    EXPECT_EQ(client.Command("AT"), "\r\nOK\r\n");
}

TEST_F(SimSubmit, AcceptsThePduInPieces) {
    Quiet();
    EXPECT_EQ(client.Command("AT+CMGS=15"), "\r\n> ");
    for (char c : kAbc) client.Write(std::string(1, c));
    EXPECT_EQ(client.Command("\x1A"), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    EXPECT_EQ(sim.Submits(modem).size(), 1u);
}

TEST_F(SimSubmit, DefersIndicationsUntilThePduIsDone) {
    Quiet();
    ASSERT_EQ(client.Command("AT+CNMI=2,1,0,0,1"), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CMGS=15"), "\r\n> ");
    sim.Inject(modem, "+4915112345678", "meanwhile");
    client.ReadFor(milliseconds(50));
    EXPECT_EQ(client.Take(), "");
    client.Write(kAbc + "\x1A\r");
    ASSERT_TRUE(client.ReadUntil("+CMTI"));
    EXPECT_TRUE(client.ReadUntil("\r\n+CMGS: 1\r\n\r\nOK\r\n\r\n+CMTI: \"SM\",1\r\n"));
}

TEST_F(SimSubmit, DecodesEveryPartOfAConcatenatedMessage) {
    Quiet();
    // Two parts, reference 0x42, status report requested, each carrying "Hi".
    std::string p1 =
        "0061000D91945111325476F8000009050003420201"
        "9069";
    std::string p2 =
        "0061000D91945111325476F8000009050003420202"
        "9069";
    EXPECT_EQ(Send(p1, 22), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    EXPECT_EQ(Send(p2, 22), "\r\n+CMGS: 2\r\n\r\nOK\r\n");
    ASSERT_TRUE(sim.WaitForSubmits(modem, 2, milliseconds(1000)));
    auto subs = sim.Submits(modem);
    ASSERT_EQ(subs.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(subs[i].number, "+4915112345678");
        EXPECT_EQ(subs[i].concatReference, 0x42);
        EXPECT_EQ(subs[i].part, i + 1);
        EXPECT_EQ(subs[i].total, 2);
        EXPECT_TRUE(subs[i].statusReport);
    }
}

}  // namespace
