// The waiting list's bound, exactly: the driver linked into the test so
// that the list can be watched while it fills.
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

bool WaitWaiting(size_t n) {
    return WaitUntil([n] { return GetDeviceManager()->GetWaitingJobCount() == n; }, 10s);
}

TEST(DriverWaiting, TwoThousandWaitingJobsRefuseTheNextNineteenNinetyNineDoNot) {
    char tmpl[] = "/tmp/qvgsm-wait-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    setenv("QVGSM_COMDIR", dir.c_str(), 1);
    setenv("QVGSM_LOGDIR", dir.c_str(), 1);
    qvsim::Simulator sim;
    int modem = sim.Add();
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    ASSERT_TRUE(sim.Link(modem, dir, 1));

    ASSERT_EQ(gsmdrvInit(), QV_OK);
    GSMLineConfig config = MakeLineConfig(1);
    ASSERT_EQ(gsmdrvaddGSMline(&config), QV_PENDING);
    ASSERT_TRUE(
        EventLog::Get().WaitFor([](const std::vector<HostEvent>& ev) { return !ev.empty(); }, 30s));
    ASSERT_EQ(EventLog::Get().Count(HOST_LINE_STATUS, QV_OK, 1), 1u);
    sim.AddFault(modem, "AT+CMGS silent");  // the first job holds the line

    std::vector<std::unique_ptr<TestJob>> jobs;
    auto submit = [&]() {
        jobs.push_back(std::make_unique<TestJob>("0123456789", U16("queued")));
        return gsmdrvSendSMS(0, &jobs.back()->job);
    };
    // One sending, 1999 waiting: the next still goes.
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(submit(), QV_PENDING) << i;
    ASSERT_TRUE(WaitWaiting(1999));
    ASSERT_EQ(submit(), QV_PENDING);
    ASSERT_TRUE(WaitWaiting(2000));
    EXPECT_EQ(submit(), QV_OUTOFMEMORY);
    EXPECT_EQ(jobs.back()->job.Result, QV_OUTOFMEMORY);
    EXPECT_EQ(jobs.back()->job.SendData, nullptr);
    EXPECT_EQ(jobs.back()->job.Device, nullptr);
    jobs.pop_back();

    ASSERT_EQ(gsmdrvShutdown(), QV_OK);
    EXPECT_EQ(EventLog::Get().Count(HOST_SMS_SENT, QV_ABORTED), jobs.size());
    EXPECT_EQ(EventLog::Get().Count(HOST_SMS_SENT), jobs.size());
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
