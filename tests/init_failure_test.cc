// Initialisation that fails: retries with their back-off, giving up after the
// third attempt, and closing a line while a pause or a back-off is pending.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "io/ComPort.h"
#include "platform/clock.h"
#include "support/LineFixture.h"
#include "support/Probes.h"

namespace {

using qvtest::DefaultConfig;
using qvtest::LineTest;
using qvtest::NextComNumber;
using qvtest::WaitUntil;
using std::chrono::milliseconds;

class InitFailureTest : public LineTest {};

int CountExactly(const std::vector<std::string>& commands, const std::string& text) {
    int n = 0;
    for (const std::string& c : commands) n += c == text;
    return n;
}

TEST_F(InitFailureTest, SilentModemFailsAfterThreeAttempts) {
    qvclock::SetScale(1000);
    qvtest::Line* line = AddLine(DefaultConfig(NextComNumber()));
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    ASSERT_TRUE(m_pSim->AddFault(line->modem(), "* silent"));
    line->StartInit();
    ASSERT_TRUE(line->WaitForEvent(DEV_INIT_FAILED, milliseconds(20000)));
    // The manager's InitFailedWork closes the line.
    ASSERT_TRUE(
        WaitUntil([&] { return line->device()->GetLineState() == LINE_DOWN; }, milliseconds(5000)));
    EXPECT_EQ(CountExactly(line->Commands(), "AT"), 3);
    EXPECT_EQ(line->Commands().size(), 3u);
    EXPECT_EQ(line->CountEvents(DEV_INIT_RETRY), 2);
    auto events = line->Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].code, QV_TIMEOUT);
    EXPECT_EQ(events[2].event, DEV_INIT_FAILED);
    EXPECT_EQ(events[2].code, QV_TIMEOUT);
    EXPECT_EQ(line->device()->FailCode(), QV_TIMEOUT);

    const std::string com = std::to_string(line->device()->ComPortNumber());
    qvtest::RecordingLog& log = line->log();
    for (int attempt = 1; attempt <= 2; ++attempt) {
        EXPECT_TRUE(
            log.Has("GSMDevice::InitComplete: Failed to initialize GSM modem, Modem Failed "
                    "To Respond (Timeout) (stage 1) ... (RETRY: " +
                        std::to_string(attempt) + "/3)",
                    'E'))
            << log.Dump();
    }
    EXPECT_EQ(log.Count("GSMDevice::InitComplete: Waiting before reinit(300 ms) ... ", 'I'), 2);
    EXPECT_TRUE(
        log.Has("GSMDevice::InitComplete: Failed to initialize GSM modem, Modem Failed To "
                "Respond (Timeout) (stage 1).. (RETRY: 3/3)",
                'E'));
    EXPECT_TRUE(log.Has("GSMDevice::InitComplete: Failed to initialize GSM modem on COM:" + com +
                            " , after 3 attempt(s).",
                        'E'));
    EXPECT_TRUE(
        log.Has("Error. (qverc: 30), CMD labled as CRITICAL Failed, Aborting Init "
                "Process. CMD: [AT] order: [1]",
                'E'));
    // The configuration is logged on the first attempt only.
    EXPECT_EQ(log.CountContaining("GSMDevice::Init - LineConfigs:"), 1);
    EXPECT_EQ(log.CountContaining("GSMDevice::Init - Initializing COM"), 3);
}

TEST_F(InitFailureTest, ErrorToCriticalCommandWaits1500MsThenRetries) {
    qvtest::Line* line = AddLine(DefaultConfig(NextComNumber()));
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    // Only the very first command ("AT") answers ERROR.
    ASSERT_TRUE(m_pSim->AddFault(line->modem(), "AT error x1"));
    const uint64_t start = qvclock::NowMs();
    line->StartInit();
    ASSERT_TRUE(line->WaitForEvent(DEV_INIT_OK, milliseconds(15000)));
    auto events = line->Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0].event, DEV_INIT_RETRY);
    EXPECT_EQ(events[0].code, QV_INVALIDRESPONSE);
    const uint64_t waited = events[0].platformMs - start;
    EXPECT_GE(waited, 1500u);
    EXPECT_LT(waited, 1500u + 1000u);
    EXPECT_TRUE(
        line->log().Has("GSMDevice::InitComplete: Waiting before reinit (1500 ms) .... ", 'I'));
    EXPECT_TRUE(
        line->log().Has("GSMDevice::InitComplete: Failed to initialize GSM modem, GSM Modem "
                        "Invalid response (stage 1) ... (RETRY: 1/3)",
                        'E'));
    EXPECT_EQ(line->device()->InitAttempts(), 2);
}

TEST_F(InitFailureTest, PortThatCannotOpenWaits300MsAndFailsWithInitFailed) {
    qvtest::Line* line = AddLine(DefaultConfig(NextComNumber()));
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    const std::string link = m_pSim->LinkPath(line->modem());
    ASSERT_EQ(unlink(link.c_str()), 0);
    const uint64_t start = qvclock::NowMs();
    line->StartInit();
    ASSERT_TRUE(line->WaitForEvent(DEV_INIT_FAILED, milliseconds(10000)));
    auto events = line->Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].event, DEV_INIT_RETRY);
    EXPECT_EQ(events[0].code, QV_INITFAILED);
    EXPECT_GE(events[0].platformMs - start, 300u);
    EXPECT_LT(events[0].platformMs - start, 300u + 500u);
    EXPECT_EQ(events[2].code, QV_INITFAILED);
    EXPECT_TRUE(
        line->log().Has("GSMDevice::InitComplete: Failed to initialize GSM modem, "
                        "Initialization failed (stage -1) ... (RETRY: 1/3)",
                        'E'));
}

TEST_F(InitFailureTest, NoEventHandlerRefusesToStart) {
    qvtest::Line* line = AddLine(DefaultConfig(NextComNumber()));
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    line->device()->SetDeviceEventHandler(nullptr, nullptr);
    line->device()->ResetInitAttempts();
    EXPECT_EQ(line->device()->Init(), QV_GENERICERROR);
    ASSERT_TRUE(line->log().WaitFor("GSMDevice::InitComplete: (1)Error Device Callback is NULL.",
                                    milliseconds(3000)));
    EXPECT_TRUE(line->Commands().empty());
}

TEST_F(InitFailureTest, InitWhileInitialisingIsRefused) {
    qvtest::Line* line = AddLine(DefaultConfig(NextComNumber()));
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    ASSERT_TRUE(m_pSim->AddFault(line->modem(), "AT delay=300 x1"));
    line->device()->ResetInitAttempts();
    ASSERT_EQ(line->device()->Init(), QV_OK);
    EXPECT_EQ(line->device()->Init(), QV_ALREADYINITIALIZED);
    ASSERT_TRUE(line->WaitForEvent(DEV_INIT_OK, milliseconds(10000)));
    EXPECT_EQ(line->device()->Init(), QV_ALREADYINITIALIZED);
}

TEST_F(InitFailureTest, UninitDuringTheRetryBackOffCancelsTheRetry) {
    qvtest::Line* line = AddLine(DefaultConfig(NextComNumber()));
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    ASSERT_TRUE(m_pSim->AddFault(line->modem(), "AT error x1"));
    line->StartInit();
    ASSERT_TRUE(line->log().WaitFor(
        "GSMDevice::InitComplete: Waiting before reinit (1500 ms) .... ", milliseconds(5000)));
    // The back-off timer is armed right after that line.
    Quiescence& gate = line->device()->GetPort()->Gate();
    EXPECT_TRUE(WaitUntil([&] { return gate.Count() > 0; }, milliseconds(1000)))
        << "the back-off is work of the port";
    EXPECT_EQ(line->device()->Uninit(0), QV_NOTINITIALIZED);
    EXPECT_EQ(gate.Count(), 0);
    // The pool's timers pass the back-off's deadline.
    ASSERT_TRUE(qvtest::TimersPassed(&m_Pool, GSMDevice::kRetryWaitLongMs));
    EXPECT_EQ(line->CountEvents(DEV_INIT_RETRY), 0);
    EXPECT_EQ(line->device()->InitInProgress(), 0);
    EXPECT_EQ(line->device()->GetLineState(), LINE_DOWN);
    EXPECT_EQ(line->Commands().size(), 1u);
}

// Closing a line at any point of its sequence (pause pending, command in
// flight, callback running): nothing of it runs afterwards.
TEST_F(InitFailureTest, UninitAtAnyMomentLeavesNothingRunning) {
    qvtest::Line* line = AddLine(DefaultConfig(NextComNumber()));
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    line->m_bActAsManager = false;
    for (int round = 0; round < 30; ++round) {
        m_pSim->ClearRecords(line->modem());
        line->device()->ResetInitAttempts();
        ASSERT_EQ(line->device()->Init(), QV_OK) << "round " << round;
        // Real time is what this varies: the close comes at a different
        // point of the sequence each round.
        std::this_thread::sleep_for(std::chrono::microseconds(500 + 1700 * (round % 17)));
        line->device()->Uninit(0);
        // A pause already handed to a worker ends there, without running.
        EXPECT_TRUE(WaitUntil([&] { return line->device()->WorkRefs() == 0; }, milliseconds(2000)));
        EXPECT_EQ(line->device()->InitInProgress(), 0);
        // Bytes written before the close may still be on their way to the
        // modem: a probe written after them arrives after them.
        ASSERT_TRUE(qvtest::ProbeModem(*m_pSim, line->modem(), true)) << "round " << round;
        const size_t sent = line->Commands().size();
        const size_t events = line->Events().size();
        // Only what comes afterwards would be a fault: the pause between
        // commands and a back-off have passed, and a second probe brings in
        // whatever was written by then.
        ASSERT_TRUE(qvtest::TimersPassed(&m_Pool, GSMDevice::kRetryWaitMs));
        ASSERT_TRUE(qvtest::ProbeModem(*m_pSim, line->modem(), true)) << "round " << round;
        EXPECT_EQ(line->Commands().size(), sent + 1) << "round " << round;
        EXPECT_EQ(line->Events().size(), events) << "round " << round;
    }
}

}  // namespace
