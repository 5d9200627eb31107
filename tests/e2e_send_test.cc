// Sending through the loaded library to a simulated modem: what reaches the
// modem, what the host is told, and what the line's log says.
#include <gtest/gtest.h>

#include "support/DriverHost.h"

using namespace qvtest;
using namespace std::chrono_literals;

namespace {

class E2ESend : public DriverFixture {
  protected:
    void SetUp() override {
        DriverFixture::SetUp();
        if (HasFatalFailure()) return;
        modem = AddModem(1);
        if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
        BringUp(MakeLineConfig(1));
    }

    // Sends one job and waits for its one HOST_SMS_SENT.
    HostEvent SendAndWait(TestJob& t) {
        size_t before = EventLog::Get().Count(HOST_SMS_SENT);
        EXPECT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
        EXPECT_TRUE(WaitSent(before + 1));
        for (const HostEvent& e : EventLog::Get().Snapshot()) {
            if (e.kind == HOST_SMS_SENT && e.data == &t.job) return e;
        }
        ADD_FAILURE() << "no HOST_SMS_SENT for the job";
        return {};
    }

    int modem = -1;
};

TEST_F(E2ESend, OnePartReachesModemAndHostHearsOnce) {
    TestJob t("0123456789", U16("Hello world"));
    HostEvent e = SendAndWait(t);
    EXPECT_EQ(e.code, QV_OK);
    EXPECT_EQ(e.comPort, 1);
    EXPECT_EQ(e.context, reinterpret_cast<void*>(0x1001));
    EXPECT_EQ(e.isSendResult, 1);
    EXPECT_EQ(e.jobResult, QV_OK);
    EXPECT_EQ(e.jobLastLine, 1);
    EXPECT_EQ(e.jobTries, 0u);
    EXPECT_EQ(e.jobSendData, nullptr);
    EXPECT_EQ(t.job.Result, QV_OK);
    EXPECT_EQ(t.job.SendData, nullptr);

    auto submits = sim->Submits(modem);
    ASSERT_EQ(submits.size(), 1u);
    EXPECT_EQ(submits[0].number, "0123456789");
    EXPECT_EQ(submits[0].utf8, "Hello world");
    EXPECT_EQ(submits[0].concatReference, -1);
    EXPECT_EQ(submits[0].dcs, 0);
    // The announced length leaves out the service-centre octet.
    EXPECT_EQ(static_cast<size_t>(submits[0].declaredLength), submits[0].pdu.size() / 2 - 1);

    std::string log = host->ReadLog(1);
    EXPECT_NE(log.find("Sending SMS on COM1 (International: 0)... (TRYS: 1/1)"), std::string::npos);
    EXPECT_NE(log.find("SMS will require 1 SMS(s) to send"), std::string::npos);
    EXPECT_NE(log.find("Successfully Sent SMS (1 parts)"), std::string::npos);
    // Once the driver is down every callback has arrived.
    StopDriver();
    EXPECT_EQ(EventLog::Get().Count(HOST_SMS_SENT), 1u);
}

TEST_F(E2ESend, Text161GsmCharactersGoesAsTwoPartsWithOneReference) {
    std::string text(161, 'a');
    text[0] = 'X';
    text[160] = 'Z';
    TestJob t("+4915112345678", U16(text));
    HostEvent e = SendAndWait(t);
    EXPECT_EQ(e.code, QV_OK);

    auto submits = sim->Submits(modem);
    ASSERT_EQ(submits.size(), 2u);
    EXPECT_EQ(submits[0].number, "+4915112345678");
    EXPECT_EQ(submits[0].part, 1);
    EXPECT_EQ(submits[1].part, 2);
    EXPECT_EQ(submits[0].total, 2);
    EXPECT_EQ(submits[1].total, 2);
    EXPECT_GE(submits[0].concatReference, 0);
    EXPECT_EQ(submits[0].concatReference, submits[1].concatReference);
    EXPECT_EQ(submits[0].utf8 + submits[1].utf8, text);

    // The log tells the parts in order.
    std::string log = host->ReadLog(1);
    size_t a = log.find("SMS will require 2 SMS(s) to send");
    size_t b = log.find("Sending SMS: 1 of 2");
    size_t c = log.find("Sending SMS: 2 of 2");
    size_t d = log.find("Successfully Sent SMS (2 parts)");
    ASSERT_NE(a, std::string::npos);
    ASSERT_NE(b, std::string::npos);
    ASSERT_NE(c, std::string::npos);
    ASSERT_NE(d, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_LT(c, d);
}

TEST_F(E2ESend, Ucs2TextArrivesIntact) {
    std::string text = "Привет, мир: ünïcödé";
    TestJob t("0123456789", U16(text));
    EXPECT_EQ(SendAndWait(t).code, QV_OK);
    auto submits = sim->Submits(modem);
    ASSERT_EQ(submits.size(), 1u);
    EXPECT_EQ(submits[0].dcs, 8);
    EXPECT_EQ(submits[0].utf8, text);
}

TEST_F(E2ESend, EmojiSurvivesAsSurrogatePair) {
    std::string text = "See you \xF0\x9F\x98\x80 soon";
    TestJob t("0123456789", U16(text));
    EXPECT_EQ(SendAndWait(t).code, QV_OK);
    auto submits = sim->Submits(modem);
    ASSERT_EQ(submits.size(), 1u);
    EXPECT_EQ(submits[0].dcs, 8);
    EXPECT_EQ(submits[0].utf8, text);
}

TEST_F(E2ESend, LongUcs2TextSplitsIntoOrderedParts) {
    std::u16string text;
    for (int i = 0; i < 150; ++i) text.push_back(static_cast<char16_t>(0x0410 + i % 32));
    TestJob t("0123456789", text);
    EXPECT_EQ(SendAndWait(t).code, QV_OK);
    auto submits = sim->Submits(modem);
    ASSERT_EQ(submits.size(), 3u);
    std::u16string joined;
    for (size_t i = 0; i < submits.size(); ++i) {
        EXPECT_EQ(submits[i].part, static_cast<int>(i + 1));
        EXPECT_EQ(submits[i].concatReference, submits[0].concatReference);
        joined += submits[i].text;
    }
    EXPECT_EQ(joined, text);
}

TEST_F(E2ESend, TooManyPartsIsRefusedWithoutCallback) {
    // 256 parts of 153 septets need more than 255 part numbers.
    TestJob t("0123456789", U16(std::string(153 * 255 + 1, 'x')));
    EXPECT_EQ(host->SendSMS(0, &t.job), QV_INVALIDPARAM);
    EXPECT_EQ(t.job.Result, QV_INVALIDPARAM);
    EXPECT_EQ(t.job.SendData, nullptr);
    EXPECT_EQ(t.job.Device, nullptr);
    // 255 parts still go.
    TestJob ok("0123456789", U16(std::string(153 * 255, 'x')));
    EXPECT_EQ(host->SendSMS(0, &ok.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1, 60s));
    // Once the driver is down every callback has arrived.
    StopDriver();
    EXPECT_EQ(EventLog::Get().Count(HOST_SMS_SENT), 1u);
    EXPECT_EQ(ok.job.Result, QV_OK);
    EXPECT_EQ(sim->Submits(modem).size(), 255u);
}

TEST_F(E2ESend, NullTextOrNumberIsRefused) {
    TestJob t("0123456789", U16("x"));
    t.job.Text = nullptr;
    EXPECT_EQ(host->SendSMS(0, &t.job), QV_INVALIDPARAM);
    TestJob u("0123456789", U16("x"));
    u.job.Number = nullptr;
    EXPECT_EQ(host->SendSMS(0, &u.job), QV_INVALIDPARAM);
    EXPECT_EQ(EventLog::Get().Count(HOST_SMS_SENT), 0u);
}

}  // namespace
