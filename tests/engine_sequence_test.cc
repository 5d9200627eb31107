// The sequence runner on a simulated modem: order numbers and gaps, skipped
// and deactivated entries, CRITICAL aborts, alternatives, result checks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "io/ComPort.h"
#include "io/ThreadPool.h"
#include "modem/GenericCOMModemInterface.h"
#include "platform/clock.h"
#include "support/LineFixture.h"
#include "support/Probes.h"
#include "support/RecordingLog.h"
#include "support/SerialClient.h"
#include "tools/sim/Simulator.h"

namespace {

using qvtest::WaitUntil;
using std::chrono::milliseconds;

class SequenceModem : public GenericCOMModemInterface {
  public:
    SequenceModem(ComPort* port, ILogInterface* log) : GenericCOMModemInterface(port) {
        m_pLog = log;
        m_bEchoSuppression = 1;
    }
    ~SequenceModem() override {
        if (GetPort() && GetPort()->IsInitialized()) GetPort()->SetAborting();
        StopSequence();
        DropPendingCommand();
        // Waits for a step that has just reported the end and is still
        // returning: steps are work of the port.
        ClosePort();
    }
    int Init() override { return QV_OK; }
    int Uninit(int) override { return QV_OK; }
    int ModemInitProcess() override { return QV_OK; }
    int SendSMS(SMSJob*) override { return 0; }
    void InitComplete(int result, int order) override {
        // Notified under the lock: the test may destroy this modem as soon
        // as its wait returns.
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Ends.push_back({result, order});
        m_Ended.notify_all();
    }
    static constexpr unsigned kPauseMs = kCommandPauseMs;

    void Add(int order, const char* command, int timeout, int critical, ResultCheck check = nullptr,
             const char* alternative = nullptr) {
        ATCommandEntry entry;
        entry.Set(order, command, timeout, critical, check, this, alternative);
        m_CommandList.push_back(entry);
    }
    std::vector<ATCommandEntry>& List() { return m_CommandList; }
    void Run(int end) {
        StartSequence();
        ResetResponseSpecs();
        ExecuteNextCMD(0, end);
    }
    std::vector<std::pair<int, int>> Ends() {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_Ends;
    }
    bool WaitEnd() {
        std::unique_lock<std::mutex> guard(m_Lock);
        return m_Ended.wait_for(guard, milliseconds(5000), [&] { return !m_Ends.empty(); });
    }
    std::atomic<int> m_nChecks{0};

  private:
    std::mutex m_Lock;
    std::condition_variable m_Ended;
    std::vector<std::pair<int, int>> m_Ends;
};

class SequenceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        qvtest::LineComDir();
        ASSERT_EQ(m_Pool.Start(0), 0);
        qvsim::ModemConfig config;
        config.allowList = {"AT+ONE", "AT+TWO", "AT+FOUR", "AT+LAST", "AT+NEXT"};
        m_nModem = m_Sim.Add(config);
        if (m_nModem < 0) GTEST_SKIP() << "no pseudo-terminal available";
        int com = qvtest::NextComNumber() + 500;
        ASSERT_TRUE(m_Sim.Link(m_nModem, qvtest::LineComDir(), com));
        m_pModem = std::make_unique<SequenceModem>(new ComPort(), &m_Log);
        ASSERT_EQ(m_pModem->GenericCOMModemInterface::Init(com, 115200, &m_Pool, nullptr), QV_OK);
    }
    void TearDown() override {
        m_pModem.reset();
        m_Pool.Shutdown();
        qvclock::SetScale(1);
    }
    std::vector<std::string> Commands() { return m_Sim.Commands(m_nModem); }
    // The runner has had the pause before a next command and written it:
    // the simulator has read a probe written after that.
    void PastTheNextCommand() {
        ASSERT_TRUE(qvtest::TimersPassed(&m_Pool, SequenceModem::kPauseMs));
        ASSERT_TRUE(qvtest::ProbeModem(m_Sim, m_nModem, false));
    }

    CAThreadPool m_Pool;
    qvsim::Simulator m_Sim;
    int m_nModem = -1;
    qvtest::RecordingLog m_Log;
    std::unique_ptr<SequenceModem> m_pModem;
};

using Strings = std::vector<std::string>;

TEST_F(SequenceTest, RunsByOrderNumberSkippingGaps) {
    m_pModem->Add(4, "AT+FOUR", 20, 0);
    m_pModem->Add(1, "AT+ONE", 20, 0);
    m_pModem->Add(2, "AT+TWO", 20, 0);
    m_pModem->Run(4);
    ASSERT_TRUE(m_pModem->WaitEnd());
    EXPECT_EQ(Commands(), (Strings{"AT+ONE", "AT+TWO", "AT+FOUR"}));
    EXPECT_EQ(m_pModem->Ends(), (std::vector<std::pair<int, int>>{{QV_OK, 5}}));
}

TEST_F(SequenceTest, FirstEntryWinsAmongEqualOrders) {
    m_pModem->Add(1, "AT+ONE", 20, 0);
    m_pModem->Add(1, "AT+TWO", 20, 0);
    m_pModem->Run(1);
    ASSERT_TRUE(m_pModem->WaitEnd());
    EXPECT_EQ(Commands(), (Strings{"AT+ONE"}));
}

TEST_F(SequenceTest, ListAboveTheEndCompletesAtOnce) {
    m_pModem->Add(5, "AT+ONE", 20, 0);
    m_pModem->Run(4);
    ASSERT_TRUE(m_pModem->WaitEnd());
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(m_pModem->Ends(), (std::vector<std::pair<int, int>>{{QV_OK, 1}}));
}

TEST_F(SequenceTest, DeactivatedLastEntryIsSkippedWithItsLine) {
    m_pModem->Add(1, "AT+ONE", 20, 0);
    m_pModem->Add(2, "AT+LAST", 20, 0);
    m_pModem->List()[1].activated = 0;
    m_pModem->Run(2);
    ASSERT_TRUE(m_pModem->WaitEnd());
    EXPECT_EQ(Commands(), (Strings{"AT+ONE"}));
    EXPECT_TRUE(m_Log.Has(
        "GenericCOMModemInterface::DeviceExecuteCMD: CMD Decavtivated , skipping: [AT+LAST] "
        "order: [2].",
        'W'));
    EXPECT_EQ(m_pModem->Ends(), (std::vector<std::pair<int, int>>{{QV_OK, 3}}));
}

TEST_F(SequenceTest, NonCriticalTimeoutIsSkippedAndTheNextRuns) {
    qvclock::SetScale(1000);
    ASSERT_TRUE(m_Sim.AddFault(m_nModem, "AT+ONE silent"));
    m_pModem->Add(1, "AT+ONE", 20, 0);
    m_pModem->Add(2, "AT+TWO", 200, 0);
    m_pModem->Run(2);
    ASSERT_TRUE(m_pModem->WaitEnd());
    EXPECT_EQ(Commands(), (Strings{"AT+ONE", "AT+TWO"}));
    EXPECT_TRUE(m_Log.Has("Error. (qverc: 30), Skipping CMD: [AT+ONE] order: [1]", 'E'));
    EXPECT_EQ(m_pModem->Ends(), (std::vector<std::pair<int, int>>{{QV_OK, 3}})) << m_Log.Dump();
}

TEST_F(SequenceTest, CriticalErrorAnswerAbortsWithInvalidResponse) {
    ASSERT_TRUE(m_Sim.AddFault(m_nModem, "AT+TWO error"));
    m_pModem->Add(1, "AT+ONE", 20, 0);
    m_pModem->Add(2, "AT+TWO", 20, 1);
    m_pModem->Add(3, "AT+LAST", 20, 0);
    m_pModem->Run(3);
    ASSERT_TRUE(m_pModem->WaitEnd());
    PastTheNextCommand();
    EXPECT_EQ(Commands(), (Strings{"AT+ONE", "AT+TWO", "AT+PROBE"}));
    EXPECT_EQ(m_pModem->Ends(), (std::vector<std::pair<int, int>>{{QV_INVALIDRESPONSE, 2}}));
    EXPECT_TRUE(m_Log.Has(
        "Error. (qverc: 34), CMD labled as CRITICAL Failed, Aborting Init Process. CMD: [AT+TWO] "
        "order: [2]",
        'E'));
}

TEST_F(SequenceTest, AlternativeRunsOnceThenTheSequenceGoesOn) {
    ASSERT_TRUE(m_Sim.AddFault(m_nModem, "AT+ONE error"));
    ASSERT_TRUE(m_Sim.AddFault(m_nModem, "AT+TWO error"));
    m_pModem->Add(1, "AT+ONE", 20, 1, nullptr, "AT+TWO");
    m_pModem->Add(2, "AT+NEXT", 20, 0);
    m_pModem->Run(2);
    ASSERT_TRUE(m_pModem->WaitEnd());
    EXPECT_EQ(Commands(), (Strings{"AT+ONE", "AT+TWO", "AT+NEXT"}));
    EXPECT_EQ(m_pModem->List()[0].hasAlternative, 0);
    EXPECT_TRUE(m_Log.Has(
        "CMD [AT+ONE] failed, Invalid response , qverc: [34] , Attempting alternative: 'AT+TWO'",
        'E'));
    EXPECT_EQ(m_pModem->Ends(), (std::vector<std::pair<int, int>>{{QV_OK, 3}}));
}

int PendingCheck(int, ATCommandEntry* entry) {
    static_cast<SequenceModem*>(entry->context)->m_nChecks++;
    return QV_PENDING;
}

int FailingCheck(int, ATCommandEntry* entry) {
    static_cast<SequenceModem*>(entry->context)->m_nChecks++;
    return QV_SIMCARDERROR;
}

TEST_F(SequenceTest, CheckReturningPendingHoldsTheRunner) {
    m_pModem->Add(1, "AT+ONE", 20, 0, PendingCheck);
    m_pModem->Add(2, "AT+TWO", 20, 0);
    m_pModem->Run(2);
    ASSERT_TRUE(WaitUntil([&] { return m_pModem->m_nChecks == 1; }, milliseconds(3000)));
    PastTheNextCommand();
    EXPECT_EQ(Commands(), (Strings{"AT+ONE", "AT+PROBE"}));
    EXPECT_TRUE(m_pModem->Ends().empty());
}

TEST_F(SequenceTest, FailingCheckOnCriticalEntryAbortsWithItsCode) {
    m_pModem->Add(1, "AT+ONE", 20, 1, FailingCheck);
    m_pModem->Add(2, "AT+TWO", 20, 0);
    m_pModem->Run(2);
    ASSERT_TRUE(m_pModem->WaitEnd());
    EXPECT_EQ(m_pModem->Ends(), (std::vector<std::pair<int, int>>{{QV_SIMCARDERROR, 1}}));
}

TEST_F(SequenceTest, StoppedSequenceStartsNothingMore) {
    ASSERT_TRUE(m_Sim.AddFault(m_nModem, "AT+ONE delay=100"));
    m_pModem->Add(1, "AT+ONE", 20, 0);
    m_pModem->Add(2, "AT+TWO", 20, 0);
    m_pModem->Run(2);
    ASSERT_TRUE(m_Sim.WaitForCommand(m_nModem, "AT+ONE", milliseconds(3000)));
    m_pModem->GetPort()->SetAborting();
    m_pModem->StopSequence();
    m_pModem->DropPendingCommand();
    // The late answer reaches the device, where the aborted port no longer
    // reads; what the runner would start on it comes before a later probe.
    qvtest::SerialClient device;
    ASSERT_TRUE(device.Open(m_Sim.SlavePath(m_nModem)));
    ASSERT_TRUE(device.ReadUntil("OK", milliseconds(3000))) << device.Received();
    PastTheNextCommand();
    EXPECT_EQ(Commands(), (Strings{"AT+ONE", "AT+PROBE"}));
    EXPECT_TRUE(m_pModem->Ends().empty());
}

}  // namespace
