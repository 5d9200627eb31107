// Teardown through the exports: a bank of lines that all fail, the driver
// called back into from its own callbacks, and shutdown while a callback is
// still running.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "support/DriverHost.h"
#include "support/WaitUntil.h"

using namespace qvtest;
using namespace std::chrono_literals;

namespace {

class DriverLifetime : public DriverFixture {
  protected:
    double TimeScale() override { return 2.0; }
};

// Far more lines than workers, every one failing each attempt: each close on
// a worker must end without another worker's help, or the pool stalls.
TEST_F(DriverLifetime, FortyLinesThatAllFailReportFortyFailuresAndShutDown) {
    constexpr int kLines = 40;
    for (int com = 1; com <= kLines; ++com) {
        int modem = AddModem(com);
        if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
        ASSERT_TRUE(sim->AddFault(modem, "AT+CMGF error always"));
    }
    for (int com = 1; com <= kLines; ++com) {
        GSMLineConfig config = MakeLineConfig(com);
        ASSERT_EQ(host->AddLine(&config), QV_PENDING);
    }
    ASSERT_TRUE(EventLog::Get().WaitFor(
        [](const std::vector<HostEvent>& events) {
            size_t failed = 0;
            for (const HostEvent& e : events) failed += e.kind == HOST_LINE_STATUS;
            return failed == kLines;
        },
        60s));
    for (const HostEvent& e : EventLog::Get().Snapshot()) {
        EXPECT_EQ(e.kind, HOST_LINE_STATUS);
        EXPECT_EQ(e.code, QV_INVALIDRESPONSE) << "COM" << e.comPort;
    }
    EXPECT_EQ(host->Shutdown(), QV_OK);
    initialised = false;
}

// The host of the running case, for callbacks that call back in.
DriverHost* g_Host = nullptr;
std::atomic<int> g_ShutdownInside{-1};
std::atomic<int> g_InitInside{-1};

void QVCALL StopFromStatus(int code, int comPort, int kind, void* context, void* data, int send) {
    if (kind == HOST_LINE_STATUS && g_ShutdownInside.load() == -1) {
        g_InitInside = g_Host->Init();
        g_ShutdownInside = g_Host->Shutdown();
    }
    RecordingCallback(code, comPort, kind, context, data, send);
}

TEST_F(DriverLifetime, ShutdownAndInitInsideACallbackAreRefusedAndChangeNothing) {
    int modem = AddModem(1);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    g_Host = host.get();
    g_ShutdownInside = -1;
    GSMLineConfig config = MakeLineConfig(1);
    config.LineCallback = StopFromStatus;
    ASSERT_EQ(host->AddLine(&config), QV_PENDING);
    ASSERT_TRUE(EventLog::Get().WaitFor(
        [](const std::vector<HostEvent>& events) { return !events.empty(); }, 20s));
    EXPECT_EQ(g_InitInside.load(), QV_ALREADYINITIALIZED);
    EXPECT_EQ(g_ShutdownInside.load(), QV_GENERICERROR);
    EXPECT_EQ(EventLog::Get().Snapshot()[0].code, QV_OK);
    // Still running: the line sends.
    TestJob t("0123456789", U16("still here"));
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(sim->WaitForSubmits(modem, 1, 10s));
    EXPECT_EQ(host->Shutdown(), QV_OK);
    initialised = false;
    g_Host = nullptr;
}

// A gate a host callback waits at until the test lets it go.
class HostGate {
  public:
    void Wait() {
        std::unique_lock lock(m_mutex);
        m_entered = true;
        m_cv.notify_all();
        m_cv.wait(lock, [&] { return m_released; });
    }
    bool WaitEntered(std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return m_entered; });
    }
    void Release() {
        std::lock_guard lock(m_mutex);
        m_released = true;
        m_cv.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_entered = false;
    bool m_released = false;
};

// A callback still running holds its line: shutdown waits for it, however
// long it takes, and the job is handed back whole.
HostGate* g_Gate = nullptr;
std::atomic<int> g_ResultSeen{-1};

void QVCALL BlockOnSent(int code, int comPort, int kind, void* context, void* data, int send) {
    if (kind == HOST_SMS_SENT) {
        g_Gate->Wait();
        g_ResultSeen = static_cast<SMSJob*>(data)->Result;
    }
    RecordingCallback(code, comPort, kind, context, data, send);
}

TEST_F(DriverLifetime, ShutdownWaitsForACallbackThatIsStillRunning) {
    int modem = AddModem(1);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    HostGate gate;
    g_Gate = &gate;
    GSMLineConfig config = MakeLineConfig(1);
    config.LineCallback = BlockOnSent;
    BringUp(config);
    TestJob t("0123456789", U16("slow host"));
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(gate.WaitEntered(10s));
    std::atomic<bool> returned{false};
    std::thread stopper([&] {
        host->Shutdown();
        returned = true;
    });
    // The line's close cannot finish under the callback: shutdown is still
    // inside when the host lets go.
    ASSERT_TRUE(WaitUntil([&] { return host->CountInLog(1, "GSMDevice::Uninit >>") > 0; }, 10s));
    // Real time is the subject: however long the host takes (here longer
    // than any bound a shutdown might give up after), the line stays.
    EXPECT_FALSE(WaitUntil([&] { return returned.load(); }, 31s))
        << "shutdown returned under a running callback";
    gate.Release();
    stopper.join();
    initialised = false;
    g_Gate = nullptr;
    EXPECT_EQ(g_ResultSeen.load(), QV_OK);
    EXPECT_EQ(EventLog::Get().Count(HOST_SMS_SENT), 1u);
}

// Received records stay the line's until their callbacks return: a removal
// while the host still reads one (with more queued behind it, and a send
// failing to issue on the same line) frees nothing under the reader.
void QVCALL BlockOnReceived(int code, int comPort, int kind, void* context, void* data, int send) {
    if (kind == HOST_SMS_RECEIVED) g_Gate->Wait();
    RecordingCallback(code, comPort, kind, context, data, send);
}

TEST_F(DriverLifetime, RemovalWaitsForTheReceiveCallbackBeforeFreeingItsRecords) {
    int modem = AddModem(1);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    HostGate gate;
    g_Gate = &gate;
    GSMLineConfig config = MakeLineConfig(1);
    config.LineCallback = BlockOnReceived;
    BringUp(config);
    ASSERT_TRUE(sim->AddFault(modem, "AT+CMGS error always"));
    const std::string texts[] = {"first of three", "second of three", "third of three"};
    for (const std::string& text : texts) sim->Inject(modem, "+4912345", text);
    ASSERT_TRUE(gate.WaitEntered(20s));
    TestJob t("0123456789", U16("refused"), 1, 1);
    host->SendSMS(0, &t.job);
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        host->UninitLine(1);
        removed = true;
    });
    ASSERT_TRUE(host->WaitInLog(1, "GSMDevice::Uninit >>"));
    EXPECT_FALSE(removed.load());
    gate.Release();
    remover.join();
    g_Gate = nullptr;
    for (const HostEvent& e : EventLog::Get().Snapshot()) {
        if (e.kind != HOST_SMS_RECEIVED) continue;
        EXPECT_TRUE(e.textTerminated);
        bool known = false;
        for (const std::string& text : texts) known = known || e.text == U16(text);
        EXPECT_TRUE(known) << "a record was changed under its callback";
    }
    EXPECT_GE(EventLog::Get().Count(HOST_SMS_RECEIVED), 1u);
}

}  // namespace

namespace {

// Jobs bound to a line that is removed while they are being dispatched: each
// ends once, with QV_NOTFOUND, before the driver stops; none is left parked.
TEST_F(DriverLifetime, JobsForARemovedLineAllEndAtTheRemoval) {
    for (int round = 0; round < 6; ++round) {
        const int com = round + 1;
        int modem = AddModem(com);
        if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
        BringUp(MakeLineConfig(com));
        ASSERT_TRUE(sim->AddFault(modem, "AT+CMGS silent always"));  // the line stays busy
        std::vector<std::unique_ptr<TestJob>> jobs;
        for (int i = 0; i < 300; ++i)
            jobs.push_back(std::make_unique<TestJob>("0123456789", U16("bound"), com, 1));
        size_t accepted = 0;
        std::thread remover;
        for (size_t i = 0; i < jobs.size(); ++i) {
            if (host->SendSMS(0, &jobs[i]->job) == QV_PENDING) ++accepted;
            if (i == jobs.size() / 2) remover = std::thread([&] { host->UninitLine(com); });
        }
        remover.join();
        auto endedOnce = [&](const std::vector<HostEvent>& events) {
            size_t n = 0;
            for (const HostEvent& e : events) n += e.kind == HOST_SMS_SENT;
            return n;
        };
        EventLog::Get().WaitFor(
            [&](const std::vector<HostEvent>& events) { return endedOnce(events) >= accepted; },
            10s);
        ASSERT_EQ(endedOnce(EventLog::Get().Snapshot()), accepted)
            << "round " << round << ": a job for the removed line is stranded";
        EventLog::Get().Clear();
    }
}

}  // namespace
