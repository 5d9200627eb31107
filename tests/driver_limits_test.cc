// The two limits of the driver: 1999 lines and 2000 waiting jobs.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "support/DriverHost.h"
#include "support/WaitUntil.h"

using namespace qvtest;
using namespace std::chrono_literals;

namespace {

TEST(DriverLimits, At1999LinesTheNextIsRefused) {
    // No device behind any of them: they need not come up to count.
    DriverHost host(1000);
    ASSERT_TRUE(host.Loaded()) << host.Error();
    ASSERT_EQ(host.Init(), QV_OK);
    for (int com = 1; com <= 1998; ++com) {
        GSMLineConfig c = MakeLineConfig(com);
        c.LineCallback = nullptr;
        ASSERT_EQ(host.AddLine(&c), QV_PENDING) << "COM" << com;
    }
    GSMLineConfig last = MakeLineConfig(1999);
    last.LineCallback = nullptr;
    ASSERT_EQ(host.AddLine(&last), QV_PENDING);  // 1998 registered: accepted
    GSMLineConfig extra = MakeLineConfig(5000);
    EXPECT_EQ(host.AddLine(&extra), QV_LIMITREACHED);
    // Room again once one is removed.
    ASSERT_EQ(host.UninitLine(1000), QV_OK);
    EXPECT_EQ(host.AddLine(&extra), QV_PENDING);
    EXPECT_EQ(host.AddLine(&extra), QV_LIMITREACHED);  // the limit is checked first
    EXPECT_EQ(host.Shutdown(), QV_OK);
}

TEST(DriverLimits, TwoThousandWaitingJobsRefuseTheNext) {
    DriverHost host(1.0);
    ASSERT_TRUE(host.Loaded()) << host.Error();
    qvsim::Simulator sim;
    int modem = sim.Add();
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    ASSERT_TRUE(sim.Link(modem, host.Dir(), 1));
    ASSERT_EQ(host.Init(), QV_OK);
    GSMLineConfig config = MakeLineConfig(1);
    ASSERT_EQ(host.AddLine(&config), QV_PENDING);
    ASSERT_TRUE(
        EventLog::Get().WaitFor([](const std::vector<HostEvent>& ev) { return !ev.empty(); }, 30s));
    ASSERT_EQ(EventLog::Get().Count(HOST_LINE_STATUS, QV_OK, 1), 1u);
    sim.AddFault(modem, "AT+CMGS silent");  // the first job holds the line

    std::vector<std::unique_ptr<TestJob>> jobs;
    auto submit = [&]() {
        jobs.push_back(std::make_unique<TestJob>("0123456789", U16("queued")));
        return host.SendSMS(0, &jobs.back()->job);
    };
    for (int i = 0; i < 2001; ++i) ASSERT_EQ(submit(), QV_PENDING) << i;
    // Jobs on their way to the waiting list are not counted: keep trying
    // until the list is seen full.
    int refused = QV_PENDING;
    ASSERT_TRUE(WaitUntil(
        [&] {
            refused = submit();
            return refused != QV_PENDING;
        },
        5s));
    ASSERT_EQ(refused, QV_OUTOFMEMORY);
    SMSJob& last = jobs.back()->job;
    EXPECT_EQ(last.Result, QV_OUTOFMEMORY);
    EXPECT_EQ(last.SendData, nullptr);
    jobs.pop_back();

    ASSERT_EQ(host.Shutdown(), QV_OK);
    // Every accepted job ended exactly once, all aborted.
    auto events = EventLog::Get().Snapshot();
    std::map<const void*, int> ends;
    for (const HostEvent& e : events) {
        if (e.kind != HOST_SMS_SENT) continue;
        ends[e.data]++;
        EXPECT_EQ(e.code, QV_ABORTED);
    }
    EXPECT_EQ(ends.size(), jobs.size());
    for (auto& j : jobs) EXPECT_EQ(ends[&j->job], 1);
}

}  // namespace
