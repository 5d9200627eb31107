// Bringing a line up on a simulated modem: the command list on the wire,
// the AT+CNMI negotiation and the routing command it leads to.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "io/ComPort.h"
#include "support/LineFixture.h"

namespace {

using qvtest::DefaultConfig;
using qvtest::LineTest;
using qvtest::NextComNumber;
using std::chrono::milliseconds;
using Strings = std::vector<std::string>;

constexpr milliseconds kInitWait{30000};

class InitSequenceTest : public LineTest {};

TEST_F(InitSequenceTest, DefaultLineRunsItsNineOrdersAndSucceedsAtStage13) {
    qvtest::Line* line = AddLine(DefaultConfig(NextComNumber()));
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    line->StartInit();
    ASSERT_TRUE(line->WaitForInitEnd(kInitWait));
    ASSERT_TRUE(line->WaitForEvent(DEV_LINE_IDLE, kInitWait));
    EXPECT_EQ(line->Commands(),
              (Strings{"AT", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1", "ATZ", "ATE", "AT&F", "AT",
                       "AT+CMEE=1", "AT+CPIN?", "AT+CMGF=0", "AT+CSCA?", "AT+CSQ"}));
    auto events = line->Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].event, DEV_INIT_OK);
    EXPECT_EQ(events[0].code, QV_OK);
    EXPECT_EQ(events[1].event, DEV_LINE_IDLE);
    EXPECT_EQ(line->device()->m_nLastStage.load(), 13);
    EXPECT_EQ(line->device()->m_nLastResult.load(), QV_OK);
    EXPECT_EQ(line->device()->GetLineState(), LINE_IDLE);
    EXPECT_EQ(line->device()->IsInitialized(), 1);
    EXPECT_EQ(line->device()->InitInProgress(), 0);
    qvtest::RecordingLog& log = line->log();
    EXPECT_TRUE(log.Has("recieve mode is not enabled ... sms messages will not be recieved.", 'I'));
    EXPECT_TRUE(log.Has("GSMDevice::InitComplete: Recieve PreProcessor Set.", 'I'));
    EXPECT_TRUE(log.Has("GSMDevice::InitComplete: Successfully initialized GSM modem on COM: " +
                            std::to_string(line->device()->ComPortNumber()) + ".",
                        'I'));
    EXPECT_EQ(
        log.Count("GSMDevice::Init - DeviceConfigs: CustomISPNumber(0) : CustomInitString(0)"), 1);
}

TEST_F(InitSequenceTest, EveryOptionOnSendsThirteenEntries) {
    GSMLineConfig config = DefaultConfig(NextComNumber());
    config.CleanSIM = 1;
    config.CustomInitString = 1;
    strcpy(config.InitString, "AT+QVINIT=1");
    config.CustomISPNumber = 1;
    strcpy(config.SMSCNumber, "+4512345678");
    config.CanRecv = 1;
    config.StatusReportsEnabled = 1;
    qvsim::ModemConfig modem;
    modem.allowList = {"AT+QVINIT"};
    qvtest::Line* line = AddLine(config, modem);
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    line->StartInit();
    ASSERT_TRUE(line->WaitForInitEnd(kInitWait));
    EXPECT_EQ(line->Commands(), (Strings{"AT", "AT+CNMI=?", "AT+CNMI=2,0,0,0,1", "AT+CMGD=1,4",
                                         "ATZ", "ATE", "AT+QVINIT=1", "AT", "AT+CMEE=1", "AT+CPIN?",
                                         "AT+CPMS?", "AT+CMGF=0", "AT+CSCA?", "AT+CSCA=\"+4512345678\"",
                                         "AT+CMGL=4", "AT+CSQ", "AT+CNMI=2,1,0,1,1", "AT+CMGL=4"}));
    EXPECT_EQ(line->CountEvents(DEV_INIT_OK), 1);
    EXPECT_TRUE(line->log().Has(
        "SIM Card Cleaning Enabled. [This CMD May Take up to 40 seconds to complete]"));
    EXPECT_TRUE(line->log().Has("using Custom INIT Code('AT+QVINIT=1')"));
    EXPECT_TRUE(line->log().Has("using Custom SMSC Code('+4512345678')"));
    EXPECT_TRUE(line->log().Has("Number of PDUs: 0", 'I'));
}

TEST_F(InitSequenceTest, EmptyCustomTextsFallBackToDefaults) {
    GSMLineConfig config = DefaultConfig(NextComNumber());
    config.CustomInitString = 1;
    config.CustomISPNumber = 1;
    qvtest::Line* line = AddLine(config);
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    line->StartInit();
    ASSERT_TRUE(line->WaitForInitEnd(kInitWait));
    Strings commands = line->Commands();
    ASSERT_GE(commands.size(), 6u);
    EXPECT_EQ(commands[5], "AT&F");
    for (const std::string& c : commands) EXPECT_NE(c.rfind("AT+CSCA=", 0), 0u) << c;
}

class CnmiTest : public LineTest {
  protected:
    qvtest::Line* Run(const std::string& answer, const GSMLineConfig* config = nullptr,
                      bool answerError = false) {
        qvsim::ModemConfig modem;
        modem.cnmiTest = answer;
        GSMLineConfig c = config ? *config : DefaultConfig(NextComNumber());
        qvtest::Line* line = AddLine(c, modem);
        if (!line) return nullptr;
        if (answerError) m_pSim->AddFault(line->modem(), "AT+CNMI=? error");
        line->StartInit();
        EXPECT_TRUE(line->WaitForInitEnd(kInitWait));
        return line;
    }
    static std::string FollowUp(qvtest::Line* line) {
        Strings commands = line->Commands();
        return commands.size() > 2 ? commands[2] : std::string();
    }
};

TEST_F(CnmiTest, ListAnswerGivesItsMasksAndFollowUp) {
    qvtest::Line* line = Run("+CNMI: (0,1,2),(0,1),(0),(0,1),(0,1)");
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    const CNMICaps& caps = line->device()->GetCNMICaps();
    EXPECT_EQ(caps.mode, 0x7u);
    EXPECT_EQ(caps.mt, 0x3u);
    EXPECT_EQ(caps.bm, 0x1u);
    EXPECT_EQ(caps.ds, 0x3u);
    EXPECT_EQ(caps.bfr, 0x3u);
    EXPECT_EQ(FollowUp(line), "AT+CNMI=2,0,0,0,1");
    EXPECT_TRUE(line->log().Has(
        "Using 'AT+CNMI' Parameters: (1)<mode>: '0,1,2,' ||  (2)<mt>:  '0,1,' || (3)<bm>: '0,' "
        "|| (4)<ds>: '0,1,' || (5)<bfr>: '0,1,'",
        'I'));
    EXPECT_EQ(line->CountEvents(DEV_INIT_OK), 1);
}

TEST_F(CnmiTest, RangeAnswerIsAccepted) {
    qvtest::Line* line = Run("+CNMI: (0-3),(0-3),(0-3),(0-2),(0,1)");
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    const CNMICaps& caps = line->device()->GetCNMICaps();
    EXPECT_EQ(caps.mode, 0xFu);
    EXPECT_EQ(caps.ds, 0x7u);
    EXPECT_EQ(caps.bfr, 0x3u);
}

TEST_F(CnmiTest, FourGroupsFallBackToDefaults) {
    qvtest::Line* line = Run("+CNMI: (0,1,2),(0,1),(0),(0,1)");
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    const CNMICaps& caps = line->device()->GetCNMICaps();
    EXPECT_EQ(caps.mode, 0x4u);
    EXPECT_EQ(caps.mt, 0x1u);
    EXPECT_EQ(caps.bm, 0x1u);
    EXPECT_EQ(caps.ds, 0x1u);
    EXPECT_EQ(caps.bfr, 0x2u);
    EXPECT_EQ(FollowUp(line), "AT+CNMI=2,0,0,0,1");
    EXPECT_TRUE(line->log().Has(
        "Failed to parse CNMI response (Invalid Format?), using default CNMI settings.", 'W'));
}

TEST_F(CnmiTest, ErrorAnswerFallsBackToDefaults) {
    qvtest::Line* line = Run("+CNMI: (0),(0),(0),(0),(0)", nullptr, true);
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    EXPECT_EQ(line->device()->GetCNMICaps().bfr, 0x2u);
    EXPECT_EQ(FollowUp(line), "AT+CNMI=2,0,0,0,1");
    EXPECT_TRUE(line->log().Has(
        "Failed to parse CNMI response (Invalid Format?), using default CNMI settings.", 'W'));
}

TEST_F(CnmiTest, OverrideTextIsUsedInsteadOfTheAnswer) {
    GSMLineConfig config = DefaultConfig(NextComNumber());
    config.CNMIOverride = 1;
    strcpy(config.CNMIParameters, "(0-3),(0-3),(0-3),(0-2),(0)");
    qvtest::Line* line = Run("+CNMI: (0,1,2),(0,1),(0),(0,1),(0,1)", &config);
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    EXPECT_EQ(line->device()->GetCNMICaps().mode, 0xFu);
    EXPECT_EQ(line->device()->GetCNMICaps().bfr, 0x1u);
    EXPECT_EQ(FollowUp(line), "AT+CNMI=2,0,0,0,0");
    EXPECT_TRUE(line->log().Has(
        "CNMI Overide Parameters Flag Specfied, Using '(0-3),(0-3),(0-3),(0-2),(0)'", 'I'));
}

TEST_F(CnmiTest, InvalidOverrideFallsBackToTheModemsAnswer) {
    GSMLineConfig config = DefaultConfig(NextComNumber());
    config.CNMIOverride = 1;
    strcpy(config.CNMIParameters, "(0-3),(0-3)");
    qvtest::Line* line = Run("+CNMI: (0,1,2),(0,1),(0),(0,1),(0)", &config);
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    EXPECT_TRUE(line->log().Has(
        "Invalid CNMI Parameter format used, Attempting to aquire CNMI settings from attached "
        "device",
        'W'));
    EXPECT_EQ(line->device()->GetCNMICaps().bfr, 0x1u);
    EXPECT_EQ(FollowUp(line), "AT+CNMI=2,0,0,0,0");
}

// The routing command follows the modem's answer of the same attempt, on a
// new line as on one brought up again.
TEST_F(CnmiTest, RoutingCommandFollowsThisAttemptsAnswer) {
    GSMLineConfig config = DefaultConfig(NextComNumber());
    config.CanRecv = 1;
    qvtest::Line* line = Run("+CNMI: (0,1,2),(0,1),(0),(0,1),(0)", &config);
    if (!line) GTEST_SKIP() << "no pseudo-terminal available";
    auto routing = [&] {
        std::string last;
        for (const std::string& c : line->Commands()) {
            if (c.rfind("AT+CNMI=2,1", 0) == 0) last = c;
        }
        return last;
    };
    EXPECT_EQ(routing(), "AT+CNMI=2,1,0,0,0");
    EXPECT_EQ(line->device()->GetCNMICaps().bfr, 0x1u);

    line->device()->Uninit(0);
    m_pSim->ClearRecords(line->modem());
    line->m_bActAsManager = false;
    line->device()->ResetInitAttempts();
    ASSERT_EQ(line->device()->Init(), QV_OK);
    ASSERT_TRUE(qvtest::WaitUntil([&] { return line->CountEvents(DEV_INIT_OK) == 2; }, kInitWait));
    EXPECT_EQ(routing(), "AT+CNMI=2,1,0,0,0");
}

// Each of the five values from the modem's own ranges: the preferred one
// when offered, else one that is.
TEST(RoutingCommand, EachValueFromTheModemsRanges) {
    struct Case {
        CNMICaps offered;
        int statusReports;
        const char* command;
    } cases[] = {
        {{0x2, 0x2, 0x1, 0x3, 0x3}, 0, "AT+CNMI=1,1,0,0,1"},  // no mode 2: mode 1
        {{0x9, 0x3, 0x5, 0x3, 0x1}, 0, "AT+CNMI=3,1,0,0,0"},  // modes 0 and 3 only
        {{0x4, 0x2, 0x1, 0x4, 0x2}, 1, "AT+CNMI=2,1,0,2,1"},  // reports only as +CDSI
        {{0x4, 0x2, 0x4, 0x1, 0x2}, 0, "AT+CNMI=2,1,2,0,1"},  // bm 2 only
        {{0x0, 0x0, 0x0, 0x0, 0x0}, 1, "AT+CNMI=2,1,0,1,1"},  // nothing known
    };
    for (const Case& c : cases) {
        GSMLineConfig config = DefaultConfig(7);
        config.CanRecv = 1;
        config.StatusReportsEnabled = c.statusReports;
        qvtest::RecordingLog log;
        qvtest::TestDevice device(&config, new ComPort(), &log, nullptr);
        device.Offered() = c.offered;
        EXPECT_EQ(device.CNMIRoutingCommand(), c.command);
    }
}

TEST(RoutingCommand, DigitByBfrMask) {
    struct Case {
        uint32_t bfr;
        int statusReports;
        const char* command;
    } cases[] = {
        {0x0, 0, "AT+CNMI=2,1,0,0,1"}, {0x1, 0, "AT+CNMI=2,1,0,0,0"}, {0x4, 0, "AT+CNMI=2,1,0,0,2"},
        {0x8, 0, "AT+CNMI=2,1,0,0,1"}, {0x3, 1, "AT+CNMI=2,1,0,1,1"}, {0x5, 1, "AT+CNMI=2,1,0,1,0"},
    };
    for (const Case& c : cases) {
        GSMLineConfig config = DefaultConfig(7);
        config.CanRecv = 1;
        config.StatusReportsEnabled = c.statusReports;
        qvtest::RecordingLog log;
        qvtest::TestDevice device(&config, new ComPort(), &log, nullptr);
        device.Offered().bfr = c.bfr;
        device.AddCNMIRoutingCMD();
        ASSERT_EQ(device.CommandList().size(), 1u);
        EXPECT_STREQ(device.CommandList()[0].command, c.command) << "bfr " << c.bfr;
        EXPECT_EQ(device.CommandList()[0].order, 13);
        EXPECT_EQ(device.CommandList()[0].critical, 1);
        EXPECT_EQ(device.CommandList()[0].timeout, 400);
    }
}

TEST(ParseCNMIParam, Cases) {
    struct Case {
        const char* group;
        bool ok;
        uint32_t mask;
    } cases[] = {
        {"(0-3)", true, 0xF}, {"(0-1)", true, 0x3}, {"(1-2)", true, 0x6}, {"(0-9)", true, 0xF},
        {"(2-1)", true, 0x0}, {"(0-)", false, 0x0}, {"0-3", false, 0x0},  {"(0,1,2)", true, 0x7},
        {"(0,1)", true, 0x3}, {"(1,3)", true, 0xA}, {"(0,)", false, 0x0}, {"(0,5)", true, 0x1},
        {"(0)", true, 0x1},   {"(2)", true, 0x4},   {"( 3)", true, 0x8},  {"(7)", true, 0x0},
        {"()", false, 0x0},   {"( )", false, 0x0},  {"", false, 0x0},     {"(1,),", true, 0x0},
    };
    for (const Case& c : cases) {
        uint32_t mask = 0;
        bool ok = GSMDevice::ParseCNMIParam(c.group, &mask);
        if (std::string(c.group) == "(1,),") {
            // Its only pair borders a ')': nothing added, so not a success.
            EXPECT_FALSE(ok) << c.group;
            continue;
        }
        EXPECT_EQ(ok, c.ok) << c.group;
        EXPECT_EQ(mask, c.mask) << c.group;
    }
    EXPECT_FALSE(GSMDevice::ParseCNMIParam(nullptr, nullptr));
}

TEST(ParseCNMIRanges, GroupsAndFailures) {
    GSMLineConfig config = DefaultConfig(8);
    qvtest::RecordingLog log;
    qvtest::TestDevice device(&config, new ComPort(), &log, nullptr);
    EXPECT_TRUE(device.ParseCNMIRanges("\r\n+CNMI: (0-3),(0,1),(0),(0-2),(0,1)\r\n\r\nOK\r\n"));
    EXPECT_STREQ(device.Group(0), "(0-3)");
    EXPECT_STREQ(device.Group(1), "(0,1)");
    EXPECT_STREQ(device.Group(2), "(0)");
    EXPECT_STREQ(device.Group(3), "(0-2)");
    EXPECT_STREQ(device.Group(4), "(0,1)");
    EXPECT_TRUE(device.ParseCNMIRanges("CNMI: (0-3),(0-3),(0-3),(0-2),(0,1)"));
    EXPECT_FALSE(device.ParseCNMIRanges("+CNMA: (0),(0),(0),(0),(0)"));
    EXPECT_FALSE(device.ParseCNMIRanges("+CNMI: (0),(0),(0),(0)"));
    EXPECT_STREQ(device.Group(4), "");
    // An over-long group is kept to its first 25 characters.
    std::string wide = "+CNMI: (" + std::string(40, '0') + "),(0),(0),(0),(0)";
    EXPECT_TRUE(device.ParseCNMIRanges(wide.c_str()));
    EXPECT_EQ(std::string(device.Group(0)).size(), 25u);
}

}  // namespace
