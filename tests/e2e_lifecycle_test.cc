// Lines closed or restarted while they work: a job in flight ends once with
// QV_ABORTED, the line comes back, and a line without a callback stays quiet.
#include <gtest/gtest.h>

#include "support/DriverHost.h"
#include "support/WaitUntil.h"

using namespace qvtest;
using namespace std::chrono_literals;

namespace {

class E2ELifecycle : public DriverFixture {
  protected:
    size_t SentFor(const TestJob& t) {
        size_t n = 0;
        for (const HostEvent& e : EventLog::Get().Snapshot()) {
            n += e.kind == HOST_SMS_SENT && e.data == &t.job;
        }
        return n;
    }
};

TEST_F(E2ELifecycle, UninitWhileSendingEndsTheJobOnceAborted) {
    int modem = AddModem(1);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    BringUp(MakeLineConfig(1, 3));
    sim->AddFault(modem, "> delay=3000");
    TestJob t("0123456789", U16("cut short"));
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(sim->WaitFor(
        [&] {
            for (auto& c : sim->Commands(modem))
                if (c.find('\x1a') != std::string::npos) return true;
            return false;
        },
        5s));
    ASSERT_EQ(host->UninitLine(1), QV_OK);
    ASSERT_TRUE(WaitSent(1, 5s));
    // Once the driver is down every callback has arrived.
    StopDriver();
    EXPECT_EQ(SentFor(t), 1u);
    EXPECT_EQ(t.job.Result, QV_ABORTED);
    EXPECT_EQ(t.job.SendData, nullptr);
    EXPECT_EQ(t.job.LastLine, 1);
    EXPECT_EQ(EventLog::Get().Count(HOST_SMS_SENT, QV_ABORTED, 1), 1u);
}

TEST_F(E2ELifecycle, ReinitWhileSendingAbortsOnceAndTheLineReturns) {
    int modem = AddModem(1);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    BringUp(MakeLineConfig(1, 3));
    sim->AddFault(modem, "> delay=3000 x1");
    TestJob t("0123456789", U16("cut short"));
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    // Once the PDU is in (a modem left waiting for one would swallow the
    // next commands as its text).
    ASSERT_TRUE(sim->WaitFor(
        [&] {
            for (auto& c : sim->Commands(modem))
                if (c.find('\x1a') != std::string::npos) return true;
            return false;
        },
        5s));
    ASSERT_EQ(host->ReinitLine(1), QV_OK);
    ASSERT_TRUE(WaitSent(1, 5s));
    EXPECT_EQ(t.job.Result, QV_ABORTED);
    ASSERT_TRUE(EventLog::Get().WaitFor(
        [](const std::vector<HostEvent>& ev) {
            int ok = 0;
            for (auto& e : ev) ok += e.kind == HOST_LINE_STATUS && e.code == QV_OK;
            return ok >= 2;
        },
        30s));
    TestJob next("0123456789", U16("after restart"));
    ASSERT_EQ(host->SendSMS(0, &next.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(2));
    EXPECT_EQ(next.job.Result, QV_OK);
    EXPECT_EQ(SentFor(t), 1u);
}

// A line without a callback still hands each job back, through the job's own
// CompletionCallback, exactly once; nothing else is reported.
TEST_F(E2ELifecycle, LineWithoutCallbackEndsJobsThroughTheirCompletionCallback) {
    int modem = AddModem(1);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    GSMLineConfig config = MakeLineConfig(1);
    config.LineCallback = nullptr;
    ASSERT_EQ(host->AddLine(&config), QV_PENDING);
    ASSERT_TRUE(sim->WaitForCommand(modem, "AT+CNMI=", 20s));
    TestJob t("0123456789", U16("quiet"));
    // Without a callback the only sign that the line is up is that it
    // takes jobs.
    int rc = QV_NOSENDLINE;
    ASSERT_TRUE(WaitUntil(
        [&] {
            rc = host->SendSMS(0, &t.job);
            return rc != QV_NOSENDLINE;
        },
        4s));
    ASSERT_EQ(rc, QV_PENDING);
    ASSERT_TRUE(sim->WaitForSubmits(modem, 1, 10s));
    ASSERT_TRUE(EventLog::Get().WaitFor(
        [&](const std::vector<HostEvent>& events) { return !events.empty(); }, 10s));
    sim->Inject(modem, "+15550000005", "unheard");
    ASSERT_TRUE(sim->WaitFor([&] { return sim->Stored(modem).empty(); }, 10s));
    // Once the driver is down every callback has arrived.
    StopDriver();
    auto events = EventLog::Get().Snapshot();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, HOST_SMS_SENT);
    EXPECT_EQ(events[0].data, &t.job);
    EXPECT_EQ(events[0].code, QV_OK);
    EXPECT_EQ(events[0].context, nullptr) << "through the job's CompletionCallback";
}

TEST_F(E2ELifecycle, MessagesStoredBeforeStartAreDeliveredBeforeTheLineReports) {
    qvsim::ModemConfig mc;
    int modem = AddModem(1, mc);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    qvsim::Incoming in;
    in.sender = "+15550000006";
    in.text = U16("waiting on the SIM");
    in.announce = false;
    sim->Inject(modem, in);
    BringUp(MakeLineConfig(1));
    auto events = EventLog::Get().Snapshot();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0].kind, HOST_SMS_RECEIVED);
    EXPECT_EQ(U8(events[0].text), "waiting on the SIM");
    EXPECT_EQ(events[1].kind, HOST_LINE_STATUS);
    EXPECT_TRUE(sim->Stored(modem).empty());
}

}  // namespace

namespace {

// A line whose log file cannot be made still comes up, and says so once,
// before its first status; a reinit does not say it again.
TEST_F(E2ELifecycle, ALineWithoutItsLogFileSaysSoOnceBeforeItsStatus) {
    int modem = AddModem(4);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    const std::string blocker = host->Dir() + "/not-a-folder";
    std::fclose(std::fopen(blocker.c_str(), "w"));
    setenv("QVGSM_LOGDIR", blocker.c_str(), 1);
    BringUp(MakeLineConfig(4));
    setenv("QVGSM_LOGDIR", host->Dir().c_str(), 1);
    ASSERT_EQ(host->ReinitLine(4), QV_OK);
    ASSERT_TRUE(EventLog::Get().WaitFor(
        [](const std::vector<HostEvent>& events) {
            size_t up = 0;
            for (const HostEvent& e : events) up += e.kind == HOST_LINE_STATUS && e.code == QV_OK;
            return up == 2;
        },
        10s));
    std::vector<int> codes;
    for (const HostEvent& e : EventLog::Get().Snapshot()) {
        if (e.kind == HOST_LINE_STATUS) codes.push_back(e.code);
    }
    EXPECT_EQ(codes, (std::vector<int>{QV_LOGUNAVAILABLE, QV_OK, QV_OK}));
}

}  // namespace
