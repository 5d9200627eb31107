// The two limits of the driver: 1999 lines and 2000 waiting jobs; and the
// table that finds any of 1999 lines.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "driver/LineTable.h"
#include "support/DriverHost.h"
#include "support/WaitUntil.h"

using namespace qvtest;
using namespace std::chrono_literals;

namespace {

TEST(LineTable, FindsByPortAndAddressAndKeepsTheOrderOfTheOthers) {
    // Addresses only: the table never touches a line.
    std::vector<GSMDevice*> lines;
    for (uintptr_t i = 1; i <= 1999; ++i) lines.push_back(reinterpret_cast<GSMDevice*>(i * 64));
    LineTable table;
    for (int com = 1; com <= 1999; ++com) ASSERT_TRUE(table.Add(com, lines[com - 1]));
    EXPECT_FALSE(table.Add(7, lines[0]));  // the port is taken
    EXPECT_EQ(table.Find(7), lines[6]);
    EXPECT_EQ(table.Find(2000), nullptr);
    EXPECT_EQ(table.Remove(7), lines[6]);
    EXPECT_EQ(table.Remove(7), nullptr);
    EXPECT_EQ(table.Find(7), nullptr);
    EXPECT_FALSE(table.Contains(lines[6]));
    EXPECT_TRUE(table.Contains(lines[7]));
    ASSERT_EQ(table.Size(), 1998u);
    EXPECT_EQ(table.InOrder()[6], lines[7]);
    ASSERT_TRUE(table.Add(7, lines[6]));  // back, now the last
    EXPECT_EQ(table.InOrder().back(), lines[6]);
    std::vector<GSMDevice*> all = table.TakeAll();
    EXPECT_EQ(all.size(), 1999u);
    EXPECT_EQ(table.Size(), 0u);
    EXPECT_EQ(table.Find(1), nullptr);
    EXPECT_FALSE(table.Contains(lines[0]));
}

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
