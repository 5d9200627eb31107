// The checks inside initialisation: reception strength from AT+CSQ and the
// pass over messages already stored on the SIM (AT+CMGL=4).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/LineFixture.h"

namespace {

using qvtest::DefaultConfig;
using qvtest::LineTest;
using qvtest::NextComNumber;
using std::chrono::milliseconds;
using Strings = std::vector<std::string>;

constexpr milliseconds kInitWait{30000};

class CsqTest : public LineTest {
  protected:
    qvtest::Line* InitWithRssi(int rssi) {
        qvsim::ModemConfig modem;
        modem.rssi = rssi;
        qvtest::Line* line = AddLine(DefaultConfig(NextComNumber()), modem);
        if (!line) return nullptr;
        line->StartInit();
        EXPECT_TRUE(line->WaitForInitEnd(kInitWait));
        return line;
    }
};

TEST_F(CsqTest, StrengthIsLoggedByBand) {
    struct Case {
        int rssi;
        std::string text;
    } cases[] = {
        {20, "Reception is good, reception strength = 20."},
        {19, "Reception is a bit low, reception strength = 19"},
        {12, "Reception is a bit low, reception strength = 12"},
        {11, "Reception is very low, reception strength = 11"},
        {0, "Reception is very low, reception strength = 0"},
        {99, "Possible network connection error, reception stength = 99."},
    };
    for (const Case& c : cases) {
        qvtest::Line* line = InitWithRssi(c.rssi);
        if (!line) GTEST_SKIP() << "no pseudo-terminal available";
        EXPECT_TRUE(line->log().Has(c.text, 'I')) << c.rssi;
        EXPECT_EQ(line->log().CountContaining("eception"), 1) << c.rssi;
    }
}

TEST_F(CsqTest, AnswerWithoutDigitsReportsNothing) {
    qvtest::Line* line = AddLine(DefaultConfig(NextComNumber()));
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    qvsim::Fault reply;
    reply.prefix = "AT+CSQ";
    reply.action = qvsim::Fault::Action::Reply;
    reply.text = "\r\n+CSQ: ,\r\n\r\nOK\r\n+CMTI: \"SM\",7\r\n";
    m_pSim->AddFault(line->modem(), reply);
    line->StartInit();
    ASSERT_TRUE(line->WaitForInitEnd(kInitWait));
    EXPECT_EQ(line->CountEvents(DEV_INIT_OK), 1);
    EXPECT_EQ(line->log().CountContaining("eception"), 0);
}

TEST_F(CsqTest, ErrorAnswerIsLoggedAndSkipped) {
    qvtest::Line* line = AddLine(DefaultConfig(NextComNumber()));
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    ASSERT_TRUE(m_pSim->AddFault(line->modem(), "AT+CSQ error"));
    line->StartInit();
    ASSERT_TRUE(line->WaitForInitEnd(kInitWait));
    EXPECT_EQ(line->CountEvents(DEV_INIT_OK), 1);
    EXPECT_TRUE(line->log().Has("Failed to aquire reception strength.", 'E'));
    EXPECT_TRUE(line->log().Has("Error. (qverc: 1), Skipping CMD: [AT+CSQ] order: [12]", 'E'));
}

class StoredTest : public LineTest {
  protected:
    qvtest::Line* ReceivingLine(size_t capacity = 30) {
        GSMLineConfig config = DefaultConfig(NextComNumber());
        config.CanRecv = 1;
        qvsim::ModemConfig modem;
        modem.capacity = capacity;
        return AddLine(config, modem);
    }
    void Store(qvtest::Line* line, const std::string& text) {
        qvsim::Incoming in;
        in.sender = "+4511223344";
        in.text = std::u16string(text.begin(), text.end());
        in.announce = false;
        m_pSim->Inject(line->modem(), in);
    }
    static Strings Received(qvtest::Line* line) {
        Strings texts;
        for (const qvtest::EventRecord& e : line->Events()) {
            if (e.event == DEV_SMS_RECEIVED) texts.push_back(e.text);
        }
        return texts;
    }
};

TEST_F(StoredTest, TwoStoredMessagesAreDeliveredAndDeletedBeforeTheLineIsReady) {
    qvtest::Line* line = ReceivingLine();
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    Store(line, "first stored");
    Store(line, "second stored");
    line->StartInit();
    ASSERT_TRUE(line->WaitForEvent(DEV_INIT_OK, kInitWait));
    EXPECT_EQ(Received(line), (Strings{"first stored", "second stored"}));
    auto events = line->Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0].event, DEV_SMS_RECEIVED);
    EXPECT_EQ(events[0].number, "+4511223344");
    EXPECT_EQ(events[0].parts, 1u);
    EXPECT_EQ(events[2].event, DEV_INIT_OK);

    Strings commands = line->Commands();
    Strings tail(commands.end() - 5, commands.end());
    EXPECT_EQ(tail,
              (Strings{"AT+CMGL=4", "AT+CMGD=1", "AT+CMGD=2", "AT+CNMI=2,1,0,0,1", "AT+CMGL=4"}));
    for (const std::string& c : commands) EXPECT_NE(c, "AT+CSQ");
    EXPECT_TRUE(line->log().Has("Number of PDUs: 2", 'I'));
    EXPECT_TRUE(line->log().Has("2 sms in sim card, processing ...", 'I'));
    EXPECT_TRUE(line->log().Has("finished processing.", 'I'));
    EXPECT_EQ(line->device()->m_nLastStage.load(), 15);
    EXPECT_TRUE(m_pSim->Stored(line->modem()).empty());
    EXPECT_EQ(line->device()->GetLineState(), LINE_IDLE);
}

TEST_F(StoredTest, EmptyStorageGoesOnWithTheStrengthCheck) {
    qvtest::Line* line = ReceivingLine();
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    line->StartInit();
    ASSERT_TRUE(line->WaitForEvent(DEV_INIT_OK, kInitWait));
    Strings commands = line->Commands();
    Strings tail(commands.end() - 4, commands.end());
    EXPECT_EQ(tail, (Strings{"AT+CMGL=4", "AT+CSQ", "AT+CNMI=2,1,0,0,1", "AT+CMGL=4"}));
    EXPECT_TRUE(line->log().Has("Number of PDUs: 0", 'I'));
    EXPECT_FALSE(line->log().Has("finished processing."));
}

TEST_F(StoredTest, DamagedEntryIsSkippedAndThePassGoesOn) {
    qvtest::Line* line = ReceivingLine();
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    m_pSim->StorePdu(line->modem(), "07914151551512F2040B914151", 0, false);  // cut short
    Store(line, "intact");
    line->StartInit();
    ASSERT_TRUE(line->WaitForEvent(DEV_INIT_OK, kInitWait));
    EXPECT_EQ(Received(line), (Strings{"intact"}));
    // Once per listing: before and after indications are routed.
    EXPECT_EQ(line->log().CountContaining("stored entry 1 could not be decoded"), 2)
        << line->log().Dump();
    Strings commands = line->Commands();
    int deletes = 0;
    for (const std::string& c : commands) deletes += c.rfind("AT+CMGD=", 0) == 0;
    EXPECT_EQ(deletes, 1);
    EXPECT_NE(std::find(commands.begin(), commands.end(), "AT+CMGD=2"), commands.end());
}

TEST_F(StoredTest, FortyStoredMessagesLogTheWarningLine) {
    qvtest::Line* line = ReceivingLine(50);
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    for (int i = 0; i < 40; ++i) Store(line, "stored " + std::to_string(i));
    line->StartInit();
    ASSERT_TRUE(line->WaitForEvent(DEV_INIT_OK, milliseconds(60000)));
    EXPECT_TRUE(line->log().Has("Number of PDUs: 40", 'I'));
    EXPECT_TRUE(
        line->log().Has("Lots of messages in SIM Card ... Device may behave incorrectly.", 'I'));
    Strings received = Received(line);
    ASSERT_EQ(received.size(), 40u);
    EXPECT_EQ(received.front(), "stored 0");
    EXPECT_EQ(received.back(), "stored 39");
}

TEST_F(StoredTest, ThirtyNineStoredMessagesDoNot) {
    qvtest::Line* line = ReceivingLine(50);
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    for (int i = 0; i < 39; ++i) Store(line, "stored " + std::to_string(i));
    line->StartInit();
    ASSERT_TRUE(line->WaitForEvent(DEV_INIT_OK, milliseconds(60000)));
    EXPECT_TRUE(line->log().Has("Number of PDUs: 39", 'I'));
    EXPECT_FALSE(
        line->log().Has("Lots of messages in SIM Card ... Device may behave incorrectly."));
}

}  // namespace
