// A host that misuses the driver: null and absurd records, concurrent
// shutdowns, and callbacks that call back into the driver. Each call gets a
// clear result code, no accepted job is lost or ended twice, nothing hangs.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <thread>

#include "support/DriverHost.h"

using namespace qvtest;
using namespace std::chrono_literals;

namespace {

// The host of the running case, for callbacks that call back in.
DriverHost* g_host = nullptr;

class MisuseHost : public DriverFixture {
  protected:
    void SetUp() override {
        DriverFixture::SetUp();
        if (HasFatalFailure()) return;
        g_host = host.get();
    }
    void TearDown() override {
        DriverFixture::TearDown();
        g_host = nullptr;
    }

    // One modem linked as COM com and its line up; false (and a skip) without ptys.
    bool Line(int com, GSMLineConfig config) {
        if (AddModem(com) < 0) return false;
        config.ComPortNumber = com;
        BringUp(config);
        return !HasFatalFailure();
    }

    // HOST_SMS_SENT calls per job (EndsIn for WaitFor's predicates, which
    // run under the log's lock).
    static std::map<const void*, int> EndsIn(const std::vector<HostEvent>& events) {
        std::map<const void*, int> ends;
        for (const HostEvent& e : events) {
            if (e.kind == HOST_SMS_SENT) ends[e.data]++;
        }
        return ends;
    }
    static std::map<const void*, int> Ends() { return EndsIn(EventLog::Get().Snapshot()); }
    static bool WaitEnded(const SMSJob* job, std::chrono::seconds limit = 20s) {
        return EventLog::Get().WaitFor(
            [job](const std::vector<HostEvent>& ev) { return EndsIn(ev)[job] >= 1; }, limit);
    }

    // Runs fn on its own thread; false when it has not returned in time.
    static bool Returns(const std::function<void()>& fn, std::chrono::seconds limit = 20s) {
        auto done = std::async(std::launch::async, fn);
        return done.wait_for(limit) == std::future_status::ready;
    }
};

TEST_F(MisuseHost, NullRecordsAreRefused) {
    EXPECT_EQ(host->AddLine(nullptr), QV_INVALIDPARAM);
    EXPECT_EQ(host->SendSMS(0, nullptr), QV_INVALIDPARAM);
    EXPECT_EQ(host->SendSMS(1, nullptr), QV_INVALIDPARAM);
    EXPECT_EQ(host->ReinitLine(-1), QV_NOTFOUND);
    EXPECT_EQ(host->UninitLine(0x7FFFFFFF), QV_NOTFOUND);
}

// A number the network cannot take (no digit, more than the 20 digits an
// address holds) is refused when it is handed over, not sent broken and not
// reported as sent.
TEST_F(MisuseHost, NumbersWithoutDigitsOrWithTooManyAreRefused) {
    if (!Line(1, MakeLineConfig(1))) GTEST_SKIP() << "no pseudo-terminal available";
    const std::string numbers[] = {"",
                                   "abc",
                                   "+",
                                   "   ",
                                   std::string(10000, '7'),
                                   "+" + std::string(21, '1'),
                                   std::string(10000, 'x')};
    for (const std::string& number : numbers) {
        TestJob t(number, U16("misuse"));
        const int rc = host->SendSMS(0, &t.job);
        EXPECT_EQ(rc, QV_INVALIDPARAM) << "number of " << number.size() << " characters";
        EXPECT_EQ(t.job.Result, rc);
        EXPECT_EQ(t.job.SendData, nullptr);
        if (rc == QV_PENDING) {
            // Accepted after all: it must end once, and not as a success.
            ASSERT_TRUE(WaitEnded(&t.job));
            EXPECT_NE(t.job.Result, QV_OK) << "number of " << number.size() << " characters";
        }
    }
    // Twenty digits are fine, and the line still works.
    TestJob ok("+" + std::string(20, '9'), U16("twenty digits"));
    ASSERT_EQ(host->SendSMS(0, &ok.job), QV_PENDING);
    ASSERT_TRUE(WaitEnded(&ok.job));
    EXPECT_EQ(ok.job.Result, QV_OK);
    // Once the driver is down every callback has arrived.
    StopDriver();
    for (auto& [job, n] : Ends()) EXPECT_EQ(n, 1);
}

TEST_F(MisuseHost, VeryLongTextIsSentOrRefusedNeverLost) {
    if (!Line(1, MakeLineConfig(1))) GTEST_SKIP() << "no pseudo-terminal available";
    // 5000 characters: 33 parts, sent. 60000: more parts than one octet
    // numbers, refused at once.
    TestJob fits("0123456789", std::u16string(5000, u'a'));
    TestJob huge("0123456789", std::u16string(60000, u'b'));
    EXPECT_EQ(host->SendSMS(0, &huge.job), QV_INVALIDPARAM);
    EXPECT_EQ(huge.job.SendData, nullptr);
    ASSERT_EQ(host->SendSMS(0, &fits.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1, 60s));
    EXPECT_EQ(fits.job.Result, QV_OK);
    // Once the driver is down every callback has arrived.
    StopDriver();
    EXPECT_EQ(Ends()[&fits.job], 1);
    EXPECT_EQ(Ends()[&huge.job], 0);
}

TEST_F(MisuseHost, ShutdownFromTwoThreadsAtOnceWithWorkInFlight) {
    if (!Line(1, MakeLineConfig(1))) GTEST_SKIP() << "no pseudo-terminal available";
    std::vector<std::unique_ptr<TestJob>> jobs;
    for (int i = 0; i < 300; ++i) {
        jobs.push_back(std::make_unique<TestJob>("0123456789", U16("job " + std::to_string(i))));
        ASSERT_EQ(host->SendSMS(0, &jobs.back()->job), QV_PENDING);
    }
    std::atomic<int> ok{0}, notInit{0}, other{0};
    auto shut = [&] {
        const int rc = host->Shutdown();
        (rc == QV_OK ? ok : rc == QV_NOTINITIALIZED ? notInit : other)++;
    };
    ASSERT_TRUE(Returns([&] {
        std::thread a(shut), b(shut);
        a.join();
        b.join();
    })) << "two shutdowns at once hang";
    initialised = false;
    EXPECT_EQ(ok.load(), 1);
    EXPECT_EQ(notInit.load(), 1);
    EXPECT_EQ(other.load(), 0);
    // Every accepted job ended exactly once, by the time Shutdown returned.
    auto ends = Ends();
    for (auto& j : jobs) {
        EXPECT_EQ(ends[&j->job], 1);
        EXPECT_EQ(j->job.SendData, nullptr);
    }
    const size_t after = EventLog::Get().Count(HOST_SMS_SENT);
    EXPECT_EQ(host->SendSMS(0, &jobs[0]->job), QV_NOTINITIALIZED);
    // The driver starts again and a job goes through it: a late callback of
    // the first run would have come by the time that job's end has. A fresh
    // modem: the first may have been left waiting for a PDU.
    ASSERT_EQ(host->Init(), QV_OK);
    initialised = true;
    ASSERT_GE(AddModem(2), 0);
    const GSMLineConfig config = MakeLineConfig(2);
    ASSERT_EQ(host->AddLine(&config), QV_PENDING);
    ASSERT_TRUE(EventLog::Get().WaitFor(
        [](const std::vector<HostEvent>& ev) {
            int up = 0;
            for (const HostEvent& e : ev) up += e.kind == HOST_LINE_STATUS && e.code == QV_OK;
            return up >= 2;
        },
        30s));
    TestJob probe("0123456789", U16("after the restart"));
    ASSERT_EQ(host->SendSMS(0, &probe.job), QV_PENDING);
    ASSERT_TRUE(WaitEnded(&probe.job));
    StopDriver();
    EXPECT_EQ(EventLog::Get().Count(HOST_SMS_SENT), after + 1) << "a callback after shutdown";
    EXPECT_EQ(Ends()[&probe.job], 1);
}

// Callbacks that send: every job sent from inside HOST_SMS_SENT sends the
// next, and every received message is answered from inside HOST_SMS_RECEIVED.
std::atomic<int> g_chain{0};
std::vector<std::unique_ptr<TestJob>> g_chainJobs;
std::mutex g_chainLock;
std::atomic<int> g_chainRefused{0};

void QVCALL ChainingCallback(int code, int comPort, int kind, void* context, void* data,
                             int isSendResult) {
    RecordingCallback(code, comPort, kind, context, data, isSendResult);
    if (kind != HOST_SMS_SENT && kind != HOST_SMS_RECEIVED) return;
    if (kind == HOST_SMS_SENT && g_chain.fetch_add(1) >= 20) return;
    TestJob* next;
    {
        std::lock_guard<std::mutex> lock(g_chainLock);
        g_chainJobs.push_back(std::make_unique<TestJob>(
            "0123456789", U16(kind == HOST_SMS_SENT ? "chained" : "answer")));
        next = g_chainJobs.back().get();
    }
    next->job.CompletionCallback = ChainingCallback;
    if (g_host->SendSMS(0, &next->job) != QV_PENDING) g_chainRefused++;
}

TEST_F(MisuseHost, SendingFromInsideCallbacksLosesNothing) {
    GSMLineConfig config = MakeLineConfig(1);
    config.LineCallback = ChainingCallback;
    if (!Line(1, config)) GTEST_SKIP() << "no pseudo-terminal available";
    TestJob first("0123456789", U16("first"));
    first.job.CompletionCallback = ChainingCallback;
    ASSERT_EQ(host->SendSMS(0, &first.job), QV_PENDING);
    sim->Inject(0, "+15550001111", "question one");
    sim->Inject(0, "+15550001112", "question two");
    // first + 20 chained + 2 answers (the answers' own ends chain no further
    // once the count is reached).
    ASSERT_TRUE(WaitSent(23, 60s)) << EventLog::Get().Count(HOST_SMS_SENT);
    EXPECT_TRUE(WaitReceived(2));
    // Once the driver is down every callback has arrived: a send beyond the
    // chain would show as an extra job, ended or aborted.
    StopDriver();
    EXPECT_EQ(g_chainRefused.load(), 0);
    auto ends = Ends();
    EXPECT_EQ(ends[&first.job], 1);
    std::lock_guard<std::mutex> lock(g_chainLock);
    for (auto& j : g_chainJobs) {
        EXPECT_EQ(ends[&j->job], 1);
        EXPECT_EQ(j->job.Result, QV_OK);
    }
}

// A callback that takes its own line down (uninit) or restarts it (reinit).
std::atomic<int> g_uninitResult{-1};
std::atomic<int> g_reinitResult{-1};

void QVCALL UninitingCallback(int code, int comPort, int kind, void* context, void* data,
                              int isSendResult) {
    RecordingCallback(code, comPort, kind, context, data, isSendResult);
    if (kind == HOST_SMS_SENT && g_uninitResult.load() == -1) {
        g_uninitResult = g_host->UninitLine(comPort);
    }
}

void QVCALL ReinitingCallback(int code, int comPort, int kind, void* context, void* data,
                              int isSendResult) {
    RecordingCallback(code, comPort, kind, context, data, isSendResult);
    if (kind == HOST_SMS_RECEIVED && g_reinitResult.load() == -1) {
        g_reinitResult = g_host->ReinitLine(comPort);
    }
}

TEST_F(MisuseHost, UninitFromInsideTheSentCallbackDoesNotHang) {
    GSMLineConfig config = MakeLineConfig(1);
    config.LineCallback = UninitingCallback;
    if (!Line(1, config)) GTEST_SKIP() << "no pseudo-terminal available";
    if (!Line(2, MakeLineConfig(2))) GTEST_SKIP() << "no pseudo-terminal available";
    std::vector<std::unique_ptr<TestJob>> jobs;
    // The first job is bound to COM1, so its callback runs there whichever
    // line takes the others.
    for (int i = 0; i < 6; ++i) {
        const int line = i == 0 ? 1 : -1;
        jobs.push_back(std::make_unique<TestJob>("0123456789", U16("j" + std::to_string(i)), line,
                                                 i == 0 ? 1 : 0));
        ASSERT_EQ(host->SendSMS(0, &jobs.back()->job), QV_PENDING);
    }
    ASSERT_TRUE(WaitSent(6, 40s)) << EventLog::Get().Count(HOST_SMS_SENT);
    // The event is recorded before the callback closes its line.
    EXPECT_TRUE(EventLog::Get().WaitFor(
        [](const std::vector<HostEvent>&) { return g_uninitResult.load() != -1; }, 10s));
    EXPECT_EQ(g_uninitResult.load(), QV_OK);
    auto ends = Ends();
    for (auto& j : jobs) EXPECT_EQ(ends[&j->job], 1);
    // COM1 is gone, COM2 still sends.
    TestJob fixed("0123456789", U16("fixed"), 1, 1);
    EXPECT_EQ(host->SendSMS(0, &fixed.job), QV_NOTFOUND);
    TestJob any("0123456789", U16("any"));
    ASSERT_EQ(host->SendSMS(0, &any.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(7, 20s));
    EXPECT_EQ(any.job.Result, QV_OK);
    EXPECT_TRUE(Returns([&] { host->Shutdown(); }));
    initialised = false;
}

TEST_F(MisuseHost, ReinitFromInsideTheReceivedCallbackBringsTheLineBack) {
    GSMLineConfig config = MakeLineConfig(1);
    config.LineCallback = ReinitingCallback;
    if (!Line(1, config)) GTEST_SKIP() << "no pseudo-terminal available";
    sim->Inject(0, "+15550002222", "restart please");
    ASSERT_TRUE(WaitReceived(1));
    EXPECT_TRUE(EventLog::Get().WaitFor(
        [](const std::vector<HostEvent>&) { return g_reinitResult.load() != -1; }, 10s));
    EXPECT_EQ(g_reinitResult.load(), QV_OK);
    // The line reports up again and still works both ways.
    ASSERT_TRUE(EventLog::Get().WaitFor(
        [](const std::vector<HostEvent>& ev) {
            int up = 0;
            for (const HostEvent& e : ev) up += e.kind == HOST_LINE_STATUS && e.code == QV_OK;
            return up >= 2;
        },
        30s));
    TestJob t("0123456789", U16("after reinit"));
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1));
    EXPECT_EQ(t.job.Result, QV_OK);
    sim->Inject(0, "+15550002223", "second");
    EXPECT_TRUE(WaitReceived(2));
    EXPECT_EQ(EventLog::Get().Count(HOST_SMS_RECEIVED), 2u) << "the first message came twice";
}

}  // namespace
