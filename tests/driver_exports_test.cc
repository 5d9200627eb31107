// The six entry points as a host sees them: what the library exports, the
// driver states, line registration and shutdown with jobs still waiting.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>

#include "support/DriverHost.h"

using namespace qvtest;
using namespace std::chrono_literals;

namespace {

TEST(DriverExports, LibraryExportsExactlyTheSixEntryPoints) {
    std::string command = std::string("nm -D --defined-only '") + QVGSM_DRIVER_SO + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[512];
    while (fgets(line, sizeof(line), pipe) != nullptr) {
        std::istringstream in(line);
        std::string address, type, name;
        if (in >> address >> type >> name) names.insert(name);
    }
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_EQ(names, (std::set<std::string>{"gsmdrvInit", "gsmdrvShutdown", "gsmdrvaddGSMline",
                                            "gsmdrvreinitGSMline", "gsmdrvuninitGSMline",
                                            "gsmdrvSendSMS"}));
}

void ExpectNotInitialised(DriverHost& host) {
    GSMLineConfig config = MakeLineConfig(3);
    EXPECT_EQ(host.Shutdown(), QV_NOTINITIALIZED);
    EXPECT_EQ(host.AddLine(&config), QV_NOTINITIALIZED);
    EXPECT_EQ(host.AddLine(nullptr), QV_NOTINITIALIZED);
    EXPECT_EQ(host.ReinitLine(3), QV_NOTINITIALIZED);
    EXPECT_EQ(host.UninitLine(3), QV_NOTINITIALIZED);
    EXPECT_EQ(host.SendSMS(0, nullptr), QV_NOTINITIALIZED);
    TestJob t("0123456789", U16("x"));
    t.job.SendData = reinterpret_cast<void*>(0x1234);
    t.job.Device = reinterpret_cast<void*>(0x5678);
    EXPECT_EQ(host.SendSMS(0, &t.job), QV_NOTINITIALIZED);
    EXPECT_EQ(t.job.Result, QV_NOTINITIALIZED);
    EXPECT_EQ(t.job.SendData, nullptr);
    EXPECT_EQ(t.job.Device, nullptr);
}

TEST(DriverExports, EveryExportButInitNeedsTheDriverStarted) {
    DriverHost host(1000);
    ASSERT_TRUE(host.Loaded()) << host.Error();
    ExpectNotInitialised(host);
    ASSERT_EQ(host.Init(), QV_OK);
    ASSERT_EQ(host.Shutdown(), QV_OK);
    ExpectNotInitialised(host);
    EXPECT_EQ(EventLog::Get().Count(HOST_SMS_SENT), 0u);
}

TEST(DriverExports, SecondInitStopsTheDriver) {
    DriverHost host(1000);
    ASSERT_TRUE(host.Loaded()) << host.Error();
    ASSERT_EQ(host.Init(), QV_OK);
    GSMLineConfig config = MakeLineConfig(5);
    ASSERT_EQ(host.AddLine(&config), QV_PENDING);
    EXPECT_EQ(host.Init(), QV_ALREADYINITIALIZED);
    ExpectNotInitialised(host);
    // Started again from scratch: the old line is gone.
    ASSERT_EQ(host.Init(), QV_OK);
    EXPECT_EQ(host.UninitLine(5), QV_NOTFOUND);
    EXPECT_EQ(host.AddLine(&config), QV_PENDING);
    EXPECT_EQ(host.Shutdown(), QV_OK);
}

TEST(DriverExports, LinesAreKeyedByComPort) {
    DriverHost host(1000);
    ASSERT_TRUE(host.Loaded()) << host.Error();
    ASSERT_EQ(host.Init(), QV_OK);
    GSMLineConfig config = MakeLineConfig(3);
    EXPECT_EQ(host.AddLine(nullptr), QV_INVALIDPARAM);
    ASSERT_EQ(host.AddLine(&config), QV_PENDING);
    EXPECT_EQ(host.AddLine(&config), QV_ALREADYINITIALIZED);
    EXPECT_EQ(host.UninitLine(4), QV_NOTFOUND);
    EXPECT_EQ(host.ReinitLine(4), QV_NOTFOUND);
    EXPECT_EQ(host.ReinitLine(3), QV_OK);
    EXPECT_EQ(host.UninitLine(3), QV_OK);
    EXPECT_EQ(host.UninitLine(3), QV_NOTFOUND);
    EXPECT_EQ(host.ReinitLine(3), QV_NOTFOUND);
    ASSERT_EQ(host.Shutdown(), QV_OK);
    // The refused duplicate never touched the registered line's log.
    EXPECT_EQ(host.CountInLog(3, "STARTING LOG - COM: 3"), 1u);
    EXPECT_EQ(host.CountInLog(3, "END OF LOG"), 1u);
}

TEST(DriverExports, MissingDeviceReportsInitFailureOnce) {
    DriverHost host(1000);
    ASSERT_TRUE(host.Loaded()) << host.Error();
    ASSERT_EQ(host.Init(), QV_OK);
    GSMLineConfig config = MakeLineConfig(9);
    ASSERT_EQ(host.AddLine(&config), QV_PENDING);
    ASSERT_TRUE(
        EventLog::Get().WaitFor([](const std::vector<HostEvent>& ev) { return !ev.empty(); }, 20s));
    // A job for the failed line is refused.
    TestJob t("0123456789", U16("x"), 9, 1);
    EXPECT_EQ(host.SendSMS(0, &t.job), QV_NOTINITIALIZED);
    TestJob any("0123456789", U16("x"));
    EXPECT_EQ(host.SendSMS(0, &any.job), QV_NOSENDLINE);
    EXPECT_EQ(host.Shutdown(), QV_OK);
    // Once the driver is down every callback has arrived.
    auto events = EventLog::Get().Snapshot();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, HOST_LINE_STATUS);
    EXPECT_EQ(events[0].comPort, 9);
    EXPECT_NE(events[0].code, QV_OK);
}

class DriverShutdown : public DriverFixture {};

TEST_F(DriverShutdown, WaitingJobsEndAbortedAndTheSendingOneToo) {
    int modem = AddModem(1);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    BringUp(MakeLineConfig(1));
    sim->AddFault(modem, "AT+CMGS silent");  // the prompt never comes
    std::vector<std::unique_ptr<TestJob>> jobs;
    for (int i = 0; i < 4; ++i) {
        jobs.push_back(std::make_unique<TestJob>("0123456789", U16("j" + std::to_string(i))));
        ASSERT_EQ(host->SendSMS(0, &jobs.back()->job), QV_PENDING);
    }
    ASSERT_TRUE(sim->WaitForCommand(modem, "AT+CMGS", 5s));
    // Nothing has ended so far; that none ended early at all shows below,
    // where each job has exactly one end, the one shutdown gave it.
    ASSERT_EQ(EventLog::Get().Count(HOST_SMS_SENT), 0u);

    ASSERT_EQ(host->Shutdown(), QV_OK);
    initialised = false;
    auto events = EventLog::Get().Snapshot();
    size_t viaLine = 0, viaJob = 0;
    for (auto& j : jobs) {
        int n = 0;
        for (const HostEvent& e : events) {
            if (e.kind != HOST_SMS_SENT || e.data != &j->job) continue;
            ++n;
            EXPECT_EQ(e.code, QV_ABORTED);
            EXPECT_EQ(e.jobResult, QV_ABORTED);
            EXPECT_EQ(e.jobSendData, nullptr);
            if (e.context == nullptr) {
                ++viaJob;
                EXPECT_EQ(e.comPort, -1);
            } else {
                ++viaLine;
                EXPECT_EQ(e.comPort, 1);
            }
        }
        EXPECT_EQ(n, 1) << "job " << j->number;
        EXPECT_EQ(j->job.SendData, nullptr);
    }
    EXPECT_EQ(viaLine, 1u);
    EXPECT_EQ(viaJob, 3u);
    ExpectNotInitialised(*host);
}

}  // namespace
