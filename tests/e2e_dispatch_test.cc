// Which line sends a job: preferred and fixed lines, international jobs,
// jobs that wait for a busy line, and fixed jobs whose line goes away.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "driver/DeviceManager.h"
#include "support/DriverHost.h"
#include "support/WaitUntil.h"

using namespace qvtest;
using namespace std::chrono_literals;

namespace {

class E2EDispatch : public DriverFixture {
  protected:
    void TwoLines(bool intl1 = true, bool intl2 = true) {
        m1 = AddModem(1);
        m2 = AddModem(2);
        if (m1 < 0 || m2 < 0) GTEST_SKIP() << "no pseudo-terminal available";
        BringUp(MakeLineConfig(1, 1, true, true, intl1));
        BringUp(MakeLineConfig(2, 1, true, true, intl2));
    }

    HostEvent SentEventFor(const TestJob& t) {
        for (const HostEvent& e : EventLog::Get().Snapshot()) {
            if (e.kind == HOST_SMS_SENT && e.data == &t.job) return e;
        }
        ADD_FAILURE() << "no HOST_SMS_SENT for the job";
        return {};
    }

    int m1 = -1, m2 = -1;
};

TEST_F(E2EDispatch, PreferredLineSendsTheJob) {
    TwoLines();
    if (IsSkipped()) return;
    TestJob t("0123456789", U16("to two"), 2);
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1));
    EXPECT_EQ(SentEventFor(t).comPort, 2);
    EXPECT_EQ(sim->Submits(m2).size(), 1u);
    EXPECT_EQ(sim->Submits(m1).size(), 0u);
}

TEST_F(E2EDispatch, UnusablePreferredLineFallsBackToAnyLine) {
    m1 = AddModem(1);
    m2 = AddModem(2);
    if (m1 < 0 || m2 < 0) GTEST_SKIP() << "no pseudo-terminal available";
    BringUp(MakeLineConfig(1, 1, true));
    BringUp(MakeLineConfig(2, 1, false));  // may not send
    TestJob t("0123456789", U16("anyone"), 2);
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1));
    EXPECT_EQ(t.job.Line, -1);
    EXPECT_EQ(SentEventFor(t).comPort, 1);
}

TEST_F(E2EDispatch, FixedLineSendsTheJob) {
    TwoLines();
    if (IsSkipped()) return;
    TestJob t("0123456789", U16("fixed"), 2, 1);
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1));
    EXPECT_EQ(SentEventFor(t).comPort, 2);
    EXPECT_EQ(sim->Submits(m2).size(), 1u);
}

TEST_F(E2EDispatch, FixedLineChecksAtAcceptance) {
    m1 = AddModem(1);
    m2 = AddModem(2);
    if (m1 < 0 || m2 < 0) GTEST_SKIP() << "no pseudo-terminal available";
    BringUp(MakeLineConfig(1, 1, true, true, false));
    BringUp(MakeLineConfig(2, 1, false));
    TestJob missing("0123456789", U16("x"), 7, 1);
    EXPECT_EQ(host->SendSMS(0, &missing.job), QV_NOTFOUND);
    EXPECT_EQ(missing.job.Device, nullptr);
    TestJob mute("0123456789", U16("x"), 2, 1);
    EXPECT_EQ(host->SendSMS(0, &mute.job), QV_NOSENDLINE);
    TestJob intl("+4912345678", U16("x"), 1, 1);
    EXPECT_EQ(host->SendSMS(0, &intl.job), QV_NOINTLSUPPORT);
    EXPECT_EQ(intl.job.Result, QV_NOINTLSUPPORT);
    // Once the driver is down every callback has arrived.
    StopDriver();
    EXPECT_EQ(EventLog::Get().Count(HOST_SMS_SENT), 0u);
}

TEST_F(E2EDispatch, InternationalJobsGoOnlyToLinesThatSupportThem) {
    TwoLines(false, true);
    if (IsSkipped()) return;
    std::vector<std::unique_ptr<TestJob>> jobs;
    for (int i = 0; i < 4; ++i) {
        jobs.push_back(std::make_unique<TestJob>("+4912345678" + std::to_string(i), U16("intl")));
        ASSERT_EQ(host->SendSMS(0, &jobs.back()->job), QV_PENDING);
    }
    ASSERT_TRUE(WaitSent(4));
    for (auto& j : jobs) {
        HostEvent e = SentEventFor(*j);
        EXPECT_EQ(e.code, QV_OK);
        EXPECT_EQ(e.comPort, 2);
    }
    EXPECT_EQ(sim->Submits(m1).size(), 0u);
    EXPECT_EQ(sim->Submits(m2).size(), 4u);
}

TEST_F(E2EDispatch, NoInternationalLineRefusesInternationalJobs) {
    m1 = AddModem(1);
    if (m1 < 0) GTEST_SKIP() << "no pseudo-terminal available";
    BringUp(MakeLineConfig(1, 1, true, true, false));
    TestJob t("+4912345678", U16("x"));
    EXPECT_EQ(host->SendSMS(0, &t.job), QV_NOINTLLINE);
    TestJob local("0123456789", U16("x"));
    EXPECT_EQ(host->SendSMS(0, &local.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1));
}

TEST_F(E2EDispatch, IdleLineTakesTheOldestJobItMayTake) {
    // Line 1 busy with a slow job; a job fixed to line 1 and a free job
    // wait. Line 2 comes idle first and must take the free one, not stall.
    TwoLines();
    if (IsSkipped()) return;
    sim->AddFault(m1, "> delay=400");
    sim->AddFault(m2, "> delay=200 x1");
    TestJob busy1("0123456789", U16("busy one"), 1, 1);
    TestJob busy2("0123456789", U16("busy two"), 2, 1);
    ASSERT_EQ(host->SendSMS(0, &busy1.job), QV_PENDING);
    ASSERT_EQ(host->SendSMS(0, &busy2.job), QV_PENDING);
    ASSERT_TRUE(sim->WaitForCommand(m1, "AT+CMGS", 5s));
    ASSERT_TRUE(sim->WaitForCommand(m2, "AT+CMGS", 5s));
    TestJob fixed1("0123456789", U16("for line one"), 1, 1);
    TestJob any("0123456789", U16("for anyone"));
    ASSERT_EQ(host->SendSMS(0, &fixed1.job), QV_PENDING);
    ASSERT_EQ(host->SendSMS(0, &any.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(4));
    EXPECT_EQ(SentEventFor(fixed1).comPort, 1);
    EXPECT_EQ(SentEventFor(any).comPort, 2);
}

// The driver linked into the test rather than loaded, so that its waiting
// list can be watched: a job is known to wait before the next step.
class LinkedDispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        EventLog::Get().Clear();
        char tmpl[] = "/tmp/qvgsm-linked-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("QVGSM_COMDIR", dir.c_str(), 1);
        setenv("QVGSM_LOGDIR", dir.c_str(), 1);
        sim = std::make_unique<qvsim::Simulator>();
        ASSERT_EQ(gsmdrvInit(), QV_OK);
        started = true;
    }
    void TearDown() override {
        if (started) gsmdrvShutdown();
        sim.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // A simulated modem as COM com with its line up; -1 without ptys.
    int AddLine(int com) {
        const int modem = sim->Add();
        if (modem < 0 || !sim->Link(modem, dir, com)) return -1;
        const GSMLineConfig config = MakeLineConfig(com);
        EXPECT_EQ(gsmdrvaddGSMline(&config), QV_PENDING);
        EXPECT_TRUE(EventLog::Get().WaitFor(
            [com](const std::vector<HostEvent>& events) {
                for (const HostEvent& e : events)
                    if (e.kind == HOST_LINE_STATUS && e.comPort == com) return true;
                return false;
            },
            30s));
        EXPECT_EQ(EventLog::Get().Count(HOST_LINE_STATUS, QV_OK, com), 1u);
        return modem;
    }

    static size_t Waiting() { return GetDeviceManager()->GetWaitingJobCount(); }

    size_t Sent() { return EventLog::Get().Count(HOST_SMS_SENT); }
    bool WaitSent(size_t n) {
        return EventLog::Get().WaitFor(
            [n](const std::vector<HostEvent>& events) {
                size_t k = 0;
                for (const HostEvent& e : events) k += e.kind == HOST_SMS_SENT;
                return k >= n;
            },
            20s);
    }

    std::string dir;
    std::unique_ptr<qvsim::Simulator> sim;
    bool started = false;
};

HostEvent SentEvent(const TestJob& t) {
    for (const HostEvent& e : EventLog::Get().Snapshot()) {
        if (e.kind == HOST_SMS_SENT && e.data == &t.job) return e;
    }
    ADD_FAILURE() << "no HOST_SMS_SENT for the job";
    return {};
}

TEST_F(LinkedDispatch, BusyLineServesWaitingJobsOldestFirst) {
    const int m1 = AddLine(1);
    if (m1 < 0) GTEST_SKIP() << "no pseudo-terminal available";
    sim->AddFault(m1, "> delay=100");
    auto sendsBegun = [&] {
        size_t n = 0;
        for (const std::string& c : sim->Commands(m1)) n += c.rfind("AT+CMGS", 0) == 0;
        return n;
    };
    std::vector<std::unique_ptr<TestJob>> jobs;
    for (size_t i = 0; i < 6; ++i) {
        jobs.push_back(std::make_unique<TestJob>("0123456789", U16("job " + std::to_string(i))));
        ASSERT_EQ(gsmdrvSendSMS(0, &jobs.back()->job), QV_PENDING);
        // Each job waits (or has already left the list for the line) before
        // the next is handed over.
        ASSERT_TRUE(WaitUntil(
            [&] { return i == 0 ? sendsBegun() >= 1 : Waiting() + sendsBegun() > i; }, 10s))
            << "job " << i;
    }
    ASSERT_TRUE(WaitSent(6));
    auto submits = sim->Submits(m1);
    ASSERT_EQ(submits.size(), 6u);
    // The first went at once; the others waited and left in order.
    for (int i = 0; i < 6; ++i) EXPECT_EQ(submits[i].utf8, "job " + std::to_string(i));
    for (auto& j : jobs) EXPECT_EQ(j->job.Result, QV_OK);
}

TEST_F(LinkedDispatch, FixedJobWhoseLineIsRemovedEndsNotFound) {
    const int m1 = AddLine(1);
    const int m2 = AddLine(2);
    if (m1 < 0 || m2 < 0) GTEST_SKIP() << "no pseudo-terminal available";
    sim->AddFault(m1, "> delay=2000");
    TestJob slow("0123456789", U16("slow"), 1, 1);
    ASSERT_EQ(gsmdrvSendSMS(0, &slow.job), QV_PENDING);
    ASSERT_TRUE(sim->WaitForCommand(m1, "AT+CMGS", 5s));
    TestJob waiting("0123456789", U16("waits for one"), 1, 1);
    ASSERT_EQ(gsmdrvSendSMS(0, &waiting.job), QV_PENDING);
    // Parked behind the slow job.
    ASSERT_TRUE(WaitUntil([] { return Waiting() == 1; }, 5s));

    ASSERT_EQ(gsmdrvuninitGSMline(1), QV_OK);
    ASSERT_TRUE(WaitSent(2));
    HostEvent a = SentEvent(slow);
    EXPECT_EQ(a.code, QV_ABORTED);  // the line closed under it
    EXPECT_EQ(a.comPort, 1);
    EXPECT_EQ(a.context, reinterpret_cast<void*>(0x1001));
    HostEvent b = SentEvent(waiting);
    EXPECT_EQ(b.code, QV_NOTFOUND);
    EXPECT_EQ(b.comPort, 1);
    EXPECT_EQ(b.context, nullptr);
    EXPECT_EQ(b.isSendResult, 1);
    EXPECT_EQ(b.jobSendData, nullptr);
    // Line 2 is unaffected.
    TestJob later("0123456789", U16("later"));
    ASSERT_EQ(gsmdrvSendSMS(0, &later.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(3));
    EXPECT_EQ(SentEvent(later).comPort, 2);
    // Once the driver is down every callback has arrived: the first two
    // jobs ended once each.
    ASSERT_EQ(gsmdrvShutdown(), QV_OK);
    started = false;
    EXPECT_EQ(Sent(), 3u);
}

}  // namespace
