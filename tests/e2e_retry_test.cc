// Failed send attempts: retries up to the line's SendRetryCount, a retried
// job moving to another line, NoRetry, and a modem that refuses AT+CMGS.
#include <gtest/gtest.h>

#include "support/DriverHost.h"

using namespace qvtest;
using namespace std::chrono_literals;

namespace {

class E2ERetry : public DriverFixture {
  protected:
    // The prompt wait (10 s) ends in 100 ms.
    double TimeScale() override { return 100.0; }

    HostEvent SentEventFor(const TestJob& t) {
        for (const HostEvent& e : EventLog::Get().Snapshot()) {
            if (e.kind == HOST_SMS_SENT && e.data == &t.job) return e;
        }
        ADD_FAILURE() << "no HOST_SMS_SENT for the job";
        return {};
    }
};

TEST_F(E2ERetry, ThreeAttemptsOnAModemThatAlwaysFailsEndOnce) {
    int modem = AddModem(1);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    BringUp(MakeLineConfig(1, 3));
    sim->AddFault(modem, "> error");

    TestJob t("0123456789", U16("doomed"));
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1));
    // Once the driver is down every callback has arrived.
    StopDriver();
    ASSERT_EQ(EventLog::Get().Count(HOST_SMS_SENT), 1u);
    HostEvent e = SentEventFor(t);
    EXPECT_EQ(e.code, QV_INVALIDRESPONSE);
    EXPECT_EQ(e.jobResult, QV_INVALIDRESPONSE);
    EXPECT_EQ(e.jobTries, 3u);
    EXPECT_EQ(e.jobLastLine, 1);
    EXPECT_EQ(e.jobSendData, nullptr);

    std::string log = host->ReadLog(1);
    EXPECT_EQ(host->CountInLog(1, "Failed To Send SMS, Invalid Modem Response (SendSMSPhaseD)"), 3u)
        << log;
    // Two attempts went back for another try, the third gave up.
    EXPECT_NE(log.find("(TRYS: 1/3)"), std::string::npos);
    EXPECT_NE(log.find("(TRYS: 2/3)"), std::string::npos);
    EXPECT_NE(log.find("(TRYS: 3/3)"), std::string::npos);
    EXPECT_EQ(host->CountInLog(1, "SMS failed to send after"), 1u);
    EXPECT_NE(log.find("SMS failed to send after 3 time(s)....(give up)"), std::string::npos);
    EXPECT_EQ(sim->RejectedPdus(modem).size() + sim->Submits(modem).size(), 0u);
}

TEST_F(E2ERetry, NoRetryGivesUpAfterTheFirstFailure) {
    int modem = AddModem(1);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    BringUp(MakeLineConfig(1, 5));
    sim->AddFault(modem, "> error");

    TestJob t("0123456789", U16("once"));
    t.job.NoRetry = 1;
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1));
    HostEvent e = SentEventFor(t);
    EXPECT_EQ(e.code, QV_INVALIDRESPONSE);
    EXPECT_EQ(e.jobTries, 1u);
    EXPECT_NE(host->ReadLog(1).find("SMS failed to send after 1 time(s)....(give up)"),
              std::string::npos);
    EXPECT_EQ(host->CountInLog(1, "Failed To Send SMS"), 1u);
}

TEST_F(E2ERetry, RetriedJobMovesToAnotherLine) {
    int bad = AddModem(1);
    int good = AddModem(2);
    if (bad < 0 || good < 0) GTEST_SKIP() << "no pseudo-terminal available";
    BringUp(MakeLineConfig(1, 3));
    BringUp(MakeLineConfig(2, 3));
    sim->AddFault(bad, "> error");

    // Line 1 is preferred, fails, and the retry goes to line 2.
    TestJob t("0123456789", U16("second chance"), 1);
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1));
    HostEvent e = SentEventFor(t);
    EXPECT_EQ(e.code, QV_OK);
    EXPECT_EQ(e.comPort, 2);
    EXPECT_EQ(e.jobTries, 1u);
    EXPECT_EQ(e.jobLastLine, 2);
    ASSERT_EQ(sim->Submits(good).size(), 1u);
    EXPECT_EQ(sim->Submits(good)[0].utf8, "second chance");
    EXPECT_EQ(host->CountInLog(1, "Failed To Send SMS"), 1u);
}

// A refusal instead of the prompt ends the attempt at once, and its cause
// decides: a message the network refuses for good is not tried again.
TEST_F(E2ERetry, CmsErrorToCmgsEndsTheAttemptAtOnce) {
    int modem = AddModem(1);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    BringUp(MakeLineConfig(1, 3));
    sim->AddFault(modem, "AT+CMGS cms=21 x1");  // short message transfer rejected

    TestJob t("0123456789", U16("refused"));
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1));
    HostEvent e = SentEventFor(t);
    EXPECT_EQ(e.code, QV_INVALIDRESPONSE);
    EXPECT_EQ(e.jobTries, 1u) << "retried although refused for good";
    const std::string log = host->ReadLog(1);
    EXPECT_NE(log.find("modem refused the message: 21 (short message transfer rejected)"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("(timeout)"), std::string::npos) << "waited for the prompt";

    // A transient refusal is retried, and the line goes on.
    sim->AddFault(modem, "AT+CMGS cms=42 x1");  // congestion
    TestJob next("0123456789", U16("accepted"));
    ASSERT_EQ(host->SendSMS(0, &next.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(2));
    EXPECT_EQ(SentEventFor(next).code, QV_OK);
    EXPECT_EQ(SentEventFor(next).jobTries, 1u);
}

TEST_F(E2ERetry, SilentModemTimesOutAfterThePdu) {
    int modem = AddModem(1);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    BringUp(MakeLineConfig(1, 2));
    sim->AddFault(modem, "> silent x1");

    TestJob t("0123456789", U16("slow"));
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1));
    HostEvent e = SentEventFor(t);
    // First attempt timed out waiting for the PDU's result, the second went.
    EXPECT_EQ(e.code, QV_OK);
    EXPECT_EQ(e.jobTries, 1u);
    EXPECT_NE(host->ReadLog(1).find(
                  "Failed To Send SMS, GSM Modem failed to respond...(timeout) (SendSMSPhaseD)"),
              std::string::npos);
}

}  // namespace
