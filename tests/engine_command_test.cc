// The AT engine against a scripted pty: framing on the wire, matching of
// answers (echo, split reads, ERROR, required texts), time-outs, and that
// every command is reported exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "io/ComPort.h"
#include "io/ThreadPool.h"
#include "modem/GenericCOMModemInterface.h"
#include "platform/clock.h"
#include "support/LineFixture.h"
#include "support/Probes.h"
#include "support/PtyPeer.h"
#include "support/RecordingLog.h"

namespace {

using qvtest::WaitUntil;
using std::chrono::milliseconds;

struct Completion {
    int cbData;
    int result;
    int kind;
    int okTriggered;
    int errorTriggered;
    std::string window;
};

// The engine alone: the device's own operations do nothing.
class TestModem : public GenericCOMModemInterface {
  public:
    TestModem(ComPort* port, ILogInterface* log) : GenericCOMModemInterface(port) { m_pLog = log; }
    ~TestModem() override { SetAbortingAndClose(); }
    int Init() override { return QV_OK; }
    int Uninit(int) override { return QV_OK; }
    int ModemInitProcess() override { return QV_OK; }
    int SendSMS(SMSJob*) override { return 0; }

    void SetAbortingAndClose() {
        if (GetPort() && GetPort()->IsInitialized()) GetPort()->SetAborting();
        StopSequence();
        DropPendingCommand();
        ClosePort();
    }
    void SetEcho(bool on) { m_bEchoSuppression = on ? 1 : 0; }
    ResponseSpecMap& Specs() { return m_ResponseSpecs; }
    ResponseSpec& OK() { return m_OKSpec; }
    ResponseSpec& Error() { return m_ERRORSpec; }

    static int OnDone(int cbData, int, int result, GenericCOMModemInterface* modem, int kind,
                      void*) {
        auto* self = static_cast<TestModem*>(modem);
        std::lock_guard<std::mutex> guard(self->m_DoneLock);
        self->m_Done.push_back(Completion{cbData, result, kind, self->m_OKSpec.m_bTriggered,
                                          self->m_ERRORSpec.m_bTriggered,
                                          self->GetResponseBuffer()});
        return 0;
    }
    std::vector<Completion> Done() {
        std::lock_guard<std::mutex> guard(m_DoneLock);
        return m_Done;
    }
    size_t DoneCount() {
        std::lock_guard<std::mutex> guard(m_DoneLock);
        return m_Done.size();
    }

  private:
    std::mutex m_DoneLock;
    std::vector<Completion> m_Done;
};

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!m_Peer.Open()) GTEST_SKIP() << "no pseudo-terminal available";
        ASSERT_EQ(m_Pool.Start(0), 0);
        m_pModem = std::make_unique<TestModem>(new ComPort(), &m_Log);
        ASSERT_EQ(m_pModem->GenericCOMModemInterface::Init(0, 115200, &m_Pool,
                                                           m_Peer.DeviceName().c_str()),
                  QV_OK);
        m_pModem->ResetResponseSpecs();
    }
    void TearDown() override {
        m_pModem.reset();
        m_Pool.Shutdown();
        qvclock::SetScale(1);
    }

    // The port has read everything received since its buffer was last
    // emptied (`received`) and the engine has finished handling it.
    void Handled(const std::string& received) {
        ASSERT_TRUE(m_Log.WaitForMatch([&](const std::string& line) {
            return line.find("-> RECV(") != std::string::npos && line.size() >= received.size() &&
                   line.compare(line.size() - received.size(), received.size(), received) == 0;
        })) << m_Log.Dump();
        ASSERT_TRUE(qvtest::PoolDrained(&m_Pool));
    }

    bool Issue(const char* command, int timeoutSeconds = 30, int cbData = 7) {
        return m_pModem->IssueGenericCMD(true, command, timeoutSeconds, cbData, TestModem::OnDone,
                                         nullptr);
    }

    qvtest::PtyPeer m_Peer;
    qvtest::RecordingLog m_Log;
    CAThreadPool m_Pool;
    std::unique_ptr<TestModem> m_pModem;
};

TEST_F(EngineTest, CommandGoesOutWithCarriageReturnOnly) {
    ASSERT_TRUE(Issue("AT"));
    ASSERT_TRUE(m_Peer.ReadCount(3));
    ASSERT_TRUE(m_Peer.Write("\r\nOK\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return m_pModem->DoneCount() == 1; }, milliseconds(3000)));
    // The next command follows directly: nothing came after the first one.
    m_pModem->ResetResponseSpecs();
    ASSERT_TRUE(Issue("ATI"));
    ASSERT_TRUE(m_Peer.ReadUntil("ATI\r"));
    EXPECT_EQ(m_Peer.Take(), "AT\rATI\r");
}

TEST_F(EngineTest, OkAnswerCompletesOnceWithOkTriggered) {
    ASSERT_TRUE(Issue("AT", 30, 42));
    ASSERT_TRUE(m_Peer.ReadUntil("\r"));
    ASSERT_TRUE(m_Peer.Write("\r\nOK\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return m_pModem->DoneCount() == 1; }, milliseconds(3000)));
    ASSERT_TRUE(qvtest::PoolDrained(&m_Pool));  // the read that completed it has ended
    auto done = m_pModem->Done();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].cbData, 42);
    EXPECT_EQ(done[0].result, QV_OK);
    EXPECT_EQ(done[0].kind, AT_KIND_RECV);
    EXPECT_EQ(done[0].okTriggered, 1);
    EXPECT_EQ(done[0].errorTriggered, 0);
    EXPECT_EQ(done[0].window, "\r\nOK\r\n");
}

TEST_F(EngineTest, ErrorAnswerCompletesWithErrorTriggered) {
    ASSERT_TRUE(Issue("AT+FOO"));
    ASSERT_TRUE(m_Peer.ReadUntil("\r"));
    ASSERT_TRUE(m_Peer.Write("\r\nERROR\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return m_pModem->DoneCount() == 1; }, milliseconds(3000)));
    auto done = m_pModem->Done();
    EXPECT_EQ(done[0].result, QV_OK);
    EXPECT_EQ(done[0].errorTriggered, 1);
    EXPECT_EQ(done[0].okTriggered, 0);
}

TEST_F(EngineTest, AnswerSplitOverTwoReadsCompletesOnce) {
    ASSERT_TRUE(Issue("AT"));
    ASSERT_TRUE(m_Peer.ReadUntil("\r"));
    ASSERT_TRUE(m_Peer.Write("\r\nO"));
    Handled("\r\nO");
    EXPECT_EQ(m_pModem->DoneCount(), 0u);
    ASSERT_TRUE(m_Peer.Write("K\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return m_pModem->DoneCount() == 1; }, milliseconds(3000)));
    ASSERT_TRUE(qvtest::PoolDrained(&m_Pool));  // the read that completed it has ended
    EXPECT_EQ(m_pModem->DoneCount(), 1u);
    EXPECT_EQ(m_pModem->Done()[0].okTriggered, 1);
}

TEST_F(EngineTest, AnswerByteByByteCompletesOnce) {
    ASSERT_TRUE(Issue("AT+CSQ"));
    ASSERT_TRUE(m_Peer.ReadUntil("\r"));
    ASSERT_TRUE(m_Peer.Write("\r\n+CSQ: 17,99\r\n\r\nOK\r\n", milliseconds(2)));
    ASSERT_TRUE(WaitUntil([&] { return m_pModem->DoneCount() == 1; }, milliseconds(3000)));
    ASSERT_TRUE(qvtest::PoolDrained(&m_Pool));  // the read that completed it has ended
    ASSERT_EQ(m_pModem->DoneCount(), 1u);
    EXPECT_NE(m_pModem->Done()[0].window.find("+CSQ: 17,99"), std::string::npos);
}

TEST_F(EngineTest, EchoIsBlankedSoItsOkNeverMatches) {
    m_pModem->SetEcho(true);
    ASSERT_TRUE(Issue("AT+XOK"));
    ASSERT_TRUE(m_Peer.ReadUntil("\r"));
    ASSERT_TRUE(m_Peer.Write("AT+XOK\r"));
    Handled("AT+XOK\r");
    EXPECT_EQ(m_pModem->DoneCount(), 0u) << "the echo completed the command";
    ASSERT_TRUE(m_Peer.Write("\r\nERROR\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return m_pModem->DoneCount() == 1; }, milliseconds(3000)));
    auto done = m_pModem->Done();
    EXPECT_EQ(done[0].errorTriggered, 1);
    EXPECT_EQ(done[0].okTriggered, 0);
    EXPECT_EQ(done[0].window.find("AT+XOK"), std::string::npos);
}

// Answers are read as whole lines: the echo of a command that holds "OK",
// or a field that does, never ends it; only the final result line does.
TEST_F(EngineTest, OnlyAWholeFinalLineEndsACommand) {
    m_pModem->SetEcho(false);
    ASSERT_TRUE(Issue("AT+XOK"));
    ASSERT_TRUE(m_Peer.ReadUntil("\r"));
    ASSERT_TRUE(m_Peer.Write("AT+XOK\r\n+XOK: \"BOOK\",\"OK\"\r\n"));
    ASSERT_TRUE(m_Peer.Write("\r\nOK\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return m_pModem->DoneCount() == 1; }, milliseconds(3000)));
    auto done = m_pModem->Done();
    EXPECT_EQ(done[0].okTriggered, 1);
    EXPECT_NE(done[0].window.find("\r\nOK\r\n"), std::string::npos)
        << "ended before its final line: " << done[0].window;
    EXPECT_EQ(m_pModem->LastOutcome().lines, std::vector<std::string>{"+XOK: \"BOOK\",\"OK\""});
}

// A read whose header has come but not its PDU is not complete.
TEST_F(EngineTest, AReadEndsWithItsFinalLineNotWithItsHeader) {
    ResponseSpec cmgr{"+CMGR:", 6, 0, 1, 1};
    m_pModem->Specs()[3] = &cmgr;
    ASSERT_TRUE(Issue("AT+CMGR=1"));
    ASSERT_TRUE(m_Peer.ReadUntil("\r"));
    ASSERT_TRUE(m_Peer.Write("\r\n+CMGR: 0,,23\r\n"));
    ASSERT_TRUE(m_Peer.Write(
        "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07\r\n"));
    ASSERT_TRUE(m_Peer.Write("\r\nOK\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return m_pModem->DoneCount() == 1; }, milliseconds(3000)));
    EXPECT_EQ(cmgr.m_bTriggered, 1);
    const std::string* pdu = m_pModem->LastOutcome().After("+CMGR:");
    ASSERT_NE(pdu, nullptr) << m_pModem->Done()[0].window;
    EXPECT_EQ(pdu->substr(0, 8), "07911326");
}

TEST_F(EngineTest, EmptySpecMapCompletesOnTheFinalLine) {
    ResponseSpecMap none;
    ASSERT_EQ(m_pModem->AsyncSendFormattedDataEx("AT", &none, 30000, TestModem::OnDone, 1, nullptr),
              QV_PENDING);
    ASSERT_TRUE(m_Peer.ReadUntil("\r"));
    ASSERT_TRUE(m_Peer.Write("x\r\n"));
    ASSERT_TRUE(m_Peer.Write("ERROR\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return m_pModem->DoneCount() == 1; }, milliseconds(3000)));
    EXPECT_EQ(m_pModem->LastOutcome().final, ATFinal::Error);
    EXPECT_EQ(m_pModem->LastOutcome().lines, std::vector<std::string>{"x"});
}

TEST_F(EngineTest, NoAnswerGivesOneTimeoutOfKindFour) {
    qvclock::SetScale(100);  // 5 s of platform time in 50 ms
    ASSERT_TRUE(Issue("AT", 5, 3));
    ASSERT_TRUE(WaitUntil([&] { return m_pModem->DoneCount() == 1; }, milliseconds(5000)));
    // A second time-out would be due by a later timer of the same length.
    ASSERT_TRUE(qvtest::TimersPassed(&m_Pool, 5000));
    auto done = m_pModem->Done();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].result, QV_TIMEOUT);
    EXPECT_EQ(done[0].kind, AT_KIND_TIMEOUT);
    EXPECT_EQ(done[0].cbData, 3);
    // A late answer finds no command.
    ASSERT_TRUE(m_Peer.Write("\r\nOK\r\n"));
    Handled("\r\nOK\r\n");
    EXPECT_EQ(m_pModem->DoneCount(), 1u);
}

TEST_F(EngineTest, CommandOf2500CharactersIsRefusedNotCut) {
    std::string tooLong = "AT" + std::string(2498, 'A');
    ASSERT_EQ(tooLong.size(), 2500u);
    EXPECT_FALSE(Issue(tooLong.c_str()));
    EXPECT_TRUE(m_Log.Has("GenericCOMModemInterface::AsyncSendFormattedDataEx >> QV_INVALIDPARAM"));

    // The next command is the first thing on the wire.
    std::string longest = tooLong.substr(0, 2499);
    ASSERT_TRUE(Issue(longest.c_str()));
    ASSERT_TRUE(m_Peer.ReadUntil(longest + "\r"));
    EXPECT_EQ(m_Peer.Take(), longest + "\r");
}

TEST_F(EngineTest, NullCommandIsInvalidAndNothingIsSent) {
    EXPECT_EQ(m_pModem->AsyncSendFormattedDataEx(nullptr, &m_pModem->Specs(), 1000,
                                                 TestModem::OnDone, 0, nullptr),
              QV_INVALIDPARAM);
    EXPECT_EQ(
        m_pModem->AsyncSendFormattedDataEx("AT", nullptr, 1000, TestModem::OnDone, 0, nullptr),
        QV_INVALIDPARAM);
    // The next command is the first thing on the wire.
    ASSERT_TRUE(Issue("AT"));
    ASSERT_TRUE(m_Peer.ReadUntil("AT\r"));
    EXPECT_EQ(m_Peer.Take(), "AT\r");
}

// Answers that arrive right at the time-out: each command still calls back
// exactly once, either completed or timed out.
TEST_F(EngineTest, CompletionAndTimeoutRacingCallBackOnce) {
    constexpr int kCommands = 150;
    for (int i = 0; i < kCommands; ++i) {
        ASSERT_EQ(m_pModem->AsyncSendFormattedDataEx("AT", &m_pModem->Specs(), 3 + (i % 4),
                                                     TestModem::OnDone, i, nullptr),
                  QV_PENDING);
        ASSERT_TRUE(m_Peer.ReadUntil("\r"));
        m_Peer.Take();
        // Real time is what this varies: the answer comes just before or
        // just after the time-out.
        std::this_thread::sleep_for(std::chrono::microseconds(2500 + (i % 7) * 300));
        ASSERT_TRUE(m_Peer.Write("\r\nOK\r\n"));
        ASSERT_TRUE(WaitUntil([&] { return m_pModem->DoneCount() == static_cast<size_t>(i + 1); },
                              milliseconds(3000)))
            << "command " << i;
        m_pModem->ResetResponseSpecs();
    }
    ASSERT_TRUE(qvtest::PoolDrained(&m_Pool));  // no completion is still on its way
    auto done = m_pModem->Done();
    ASSERT_EQ(done.size(), static_cast<size_t>(kCommands));
    int timeouts = 0;
    for (int i = 0; i < kCommands; ++i) {
        EXPECT_EQ(done[i].cbData, i);
        EXPECT_TRUE(done[i].result == QV_OK || done[i].result == QV_TIMEOUT);
        timeouts += done[i].result == QV_TIMEOUT;
    }
    RecordProperty("timeouts", timeouts);
}

// A time-out that fires just as its command completes must not take the
// command that the completion's callback issues next (real time is the
// subject: the answer is written right at the first command's time-out).
ResponseSpec g_NextSpec{"+NEXT:", 6, 0, 1, 0};
ResponseSpecMap g_NextSpecs{{1, &g_NextSpec}};
std::atomic<int> g_NextIssued{0};
std::atomic<int> g_NextResult{0};

int IssueNextOnDone(int cbData, int flag, int result, GenericCOMModemInterface* modem, int kind,
                    void* param) {
    TestModem::OnDone(cbData, flag, result, modem, kind, param);
    if (cbData >= 1000) return 0;
    // Issued from the completion, as a sequence issues its next command.
    g_NextResult = modem->AsyncSendFormattedDataEx("AT+NEXT", &g_NextSpecs, 10000,
                                                   TestModem::OnDone, 1000 + cbData, nullptr);
    ++g_NextIssued;
    return 0;
}

TEST_F(EngineTest, LateTimeOutNeverTakesTheNextCommand) {
    constexpr int kRounds = 300;
    g_NextIssued = 0;
    for (int i = 0; i < kRounds; ++i) {
        m_pModem->ResetResponseSpecs();
        ASSERT_EQ(m_pModem->AsyncSendFormattedDataEx("AT", &m_pModem->Specs(), 2 + (i % 3),
                                                     IssueNextOnDone, i, nullptr),
                  QV_PENDING);
        ASSERT_TRUE(m_Peer.ReadUntil("AT\r"));
        std::this_thread::sleep_for(std::chrono::microseconds(1800 + (i % 5) * 300));
        ASSERT_TRUE(m_Peer.Write("\r\nOK\r\n"));
        ASSERT_TRUE(WaitUntil([&] { return g_NextIssued.load() == i + 1; }, milliseconds(3000)))
            << "round " << i;
        // An answer that came late for the first command may already have
        // ended this one; one more final line is then taken as stray. The
        // modem answers what it has received, as a real one does.
        ASSERT_EQ(g_NextResult.load(), QV_PENDING) << "round " << i;
        ASSERT_TRUE(m_Peer.ReadUntil("AT+NEXT\r")) << "round " << i;
        ASSERT_TRUE(m_Peer.Write("\r\n+NEXT: 1\r\nOK\r\n"));
        ASSERT_TRUE(
            WaitUntil([&] { return m_pModem->DoneCount() >= static_cast<size_t>(2 * (i + 1)); },
                      milliseconds(3000)))
            << "round " << i;
        m_Peer.Take();
    }
    for (const Completion& c : m_pModem->Done()) {
        if (c.cbData >= 1000) {
            EXPECT_EQ(c.result, QV_OK) << "follow-up " << c.cbData - 1000;
        }
    }
}

TEST_F(EngineTest, ClosingWithACommandInFlightCallsNothingBack) {
    ASSERT_TRUE(Issue("AT"));
    ASSERT_TRUE(m_Peer.ReadUntil("\r"));
    m_pModem->SetAbortingAndClose();
    m_Peer.Write("\r\nOK\r\n");
    // The port is closed: whatever the pool still had has run.
    ASSERT_TRUE(qvtest::PoolDrained(&m_Pool));
    EXPECT_EQ(m_pModem->DoneCount(), 0u);
}

TEST(EngineErrorText, Table) {
    class Plain : public GenericCOMModemInterface {
      public:
        Plain() : GenericCOMModemInterface(nullptr) {}
        int Init() override { return 0; }
        int Uninit(int) override { return 0; }
        int ModemInitProcess() override { return 0; }
        int SendSMS(SMSJob*) override { return 0; }
    } plain;
    EXPECT_STREQ(plain.GetErrorText(QV_GENERICERROR), "Generic error");
    EXPECT_STREQ(plain.GetErrorText(QV_IOWRITEERROR), "IO Write error");
    EXPECT_STREQ(plain.GetErrorText(QV_IOREADERROR), "IO Read error");
    EXPECT_STREQ(plain.GetErrorText(QV_INITFAILED), "Init failed");
    EXPECT_STREQ(plain.GetErrorText(QV_TIMEOUT), "Modem failed to respond (Timeout)");
    EXPECT_STREQ(plain.GetErrorText(QV_INVALIDRESPONSE), "Invalid response");
    EXPECT_STREQ(plain.GetErrorText(QV_SIMCARDERROR), "SIM Card Error");
    EXPECT_STREQ(plain.GetErrorText(99), " ");
}

}  // namespace

namespace {

// Final result lines as whole lines, with their numbers (3GPP TS 27.005
// 3.2.5, TS 27.007 9.2) or their text form.
TEST(ATAnswerFinal, ErrorsKeepTheirKindAndNumber) {
    struct Case {
        const char* line;
        ATFinal final;
        int code;
        const char* text;
    } cases[] = {
        {"OK", ATFinal::Ok, -1, ""},
        {"ERROR", ATFinal::Error, -1, ""},
        {"+CMS ERROR: 500", ATFinal::CmsError, 500, ""},
        {"+CME ERROR: 14", ATFinal::CmeError, 14, ""},
        {"+CME ERROR: SIM PIN required", ATFinal::CmeError, -1, "SIM PIN required"},
        {"NO CARRIER", ATFinal::NoCarrier, -1, ""},
    };
    for (const Case& c : cases) {
        ATOutcome outcome;
        ASSERT_TRUE(ATAnswer::ParseFinal(c.line, &outcome)) << c.line;
        EXPECT_EQ(outcome.final, c.final) << c.line;
        EXPECT_EQ(outcome.errorCode, c.code) << c.line;
        EXPECT_EQ(outcome.errorText, c.text) << c.line;
    }
    EXPECT_FALSE(ATAnswer::ParseFinal("+CMGL: 1,0,\"BOOK, OK\",24", nullptr));
    EXPECT_FALSE(ATAnswer::ParseFinal("OKAY", nullptr));
}

// Unsolicited lines between a listing's entries, and the PDU line that
// belongs to an unsolicited "+CMT:" header, never become part of an answer.
TEST(ATAnswerNoise, UnsolicitedLinesAreSetApart) {
    ATAnswer answer;
    answer.Start("AT+CMGL=4", false);
    const std::string bytes =
        "AT+CMGL=4\r\r\n+CMGL: 1,0,,24\r\n^RSSI:14\r\n0791\r\n+CMT: ,24\r\n07FF\r\nRING\r\n"
        "+CMGL: 2,0,\"BOOK, OK\",24\r\n0792\r\n+CREG: 1\r\n\r\nOK\r\n";
    for (char c : bytes) answer.Feed(&c, 1);
    ASSERT_TRUE(answer.Complete());
    EXPECT_EQ(
        answer.Outcome().lines,
        (std::vector<std::string>{"+CMGL: 1,0,,24", "0791", "+CMGL: 2,0,\"BOOK, OK\",24", "0792"}));
    EXPECT_EQ(answer.Unsolicited(),
              (std::vector<std::string>{"^RSSI:14", "+CMT: ,24\n07FF", "RING", "+CREG: 1"}));
    // A command's own answer prefix is never taken for an unsolicited line.
    answer.Start("AT+CREG?", false);
    const std::string own = "\r\n+CREG: 0,1\r\n\r\nOK\r\n";
    answer.Feed(own.data(), own.size());
    EXPECT_EQ(answer.Outcome().lines, std::vector<std::string>{"+CREG: 0,1"});
}

}  // namespace
