// Modems that behave as real ones do, through the loaded library: a SIM that
// waits for its PIN or is still busy, a prompt without its space, alpha
// fields in headers, long listings, unsolicited lines at any moment, and
// AT+CNMI ranges that real modems published.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "support/DriverHost.h"
#include "support/WaitUntil.h"

using namespace qvtest;
using namespace std::chrono_literals;

namespace {

class E2ERealModem : public DriverFixture {
  protected:
    double TimeScale() override { return 10.0; }

    // Adds COM1 with config and the line; its status event's code.
    int StartLine(const qvsim::ModemConfig& config, int* modemOut = nullptr) {
        modem = AddModem(1, config);
        if (modemOut) *modemOut = modem;
        if (modem < 0) return -1;
        GSMLineConfig line = MakeLineConfig(1);
        EXPECT_EQ(host->AddLine(&line), QV_PENDING);
        EXPECT_TRUE(EventLog::Get().WaitFor(
            [](const std::vector<HostEvent>& events) {
                for (const HostEvent& e : events)
                    if (e.kind == HOST_LINE_STATUS) return true;
                return false;
            },
            30s));
        for (const HostEvent& e : EventLog::Get().Snapshot())
            if (e.kind == HOST_LINE_STATUS) return e.code;
        return -1;
    }

    size_t Count(int kind) { return EventLog::Get().Count(kind); }
    bool WaitCount(int kind, size_t n, std::chrono::milliseconds timeout = 30s) {
        return WaitEvents(kind, n, timeout);
    }

    int modem = -1;
};

TEST_F(E2ERealModem, SimWaitingForItsPinFailsTheLineWithSimCardError) {
    qvsim::ModemConfig config;
    config.simState = "SIM PIN";
    const int code = StartLine(config);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    EXPECT_EQ(code, QV_SIMCARDERROR);
    EXPECT_NE(host->ReadLog(1).find("GSMDevice::CheckSIM - SIM not ready: SIM PIN"),
              std::string::npos);
}

TEST_F(E2ERealModem, BusySimIsWaitedOutWithinTheAttempt) {
    qvsim::ModemConfig config;
    config.simBusyAnswers = 3;
    const int code = StartLine(config);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    EXPECT_EQ(code, QV_OK);
    const std::string log = host->ReadLog(1);
    EXPECT_NE(log.find("GSMDevice::CheckSIM - SIM busy, asking again."), std::string::npos);
    EXPECT_EQ(log.find("RETRY"), std::string::npos) << "the attempt was given up";
}

TEST_F(E2ERealModem, PromptWithoutTheSpaceSends) {
    qvsim::ModemConfig config;
    config.promptWithoutSpace = true;
    const int code = StartLine(config);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    ASSERT_EQ(code, QV_OK);
    TestJob t("0123456789", U16("no space"));
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(WaitCount(HOST_SMS_SENT, 1));
    EXPECT_EQ(EventLog::Get().Snapshot().back().code, QV_OK);
}

// A header's alpha field may hold commas, quotes and "OK"; a listing of 250
// entries is read whole.
TEST_F(E2ERealModem, LongListingWithAlphaFieldsIsDeliveredWhole) {
    constexpr int kStored = 250;
    qvsim::ModemConfig config;
    config.capacity = 300;
    config.alpha = "BOOK, \"OK\"";
    modem = AddModem(1, config);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    for (int i = 0; i < kStored; ++i) {
        qvsim::Incoming in;
        in.sender = "+15550002222";
        in.text = U16("stored " + std::to_string(i));
        in.announce = false;
        sim->Inject(modem, in);
    }
    BringUp(MakeLineConfig(1));
    ASSERT_TRUE(WaitCount(HOST_SMS_RECEIVED, kStored, 60s)) << Count(HOST_SMS_RECEIVED);
    std::set<std::string> texts;
    for (const HostEvent& e : EventLog::Get().Snapshot()) {
        if (e.kind == HOST_SMS_RECEIVED) texts.insert(U8(e.text));
    }
    EXPECT_EQ(texts.size(), static_cast<size_t>(kStored));
    EXPECT_TRUE(sim->WaitFor([&] { return sim->Stored(modem).empty(); }, 30s));
}

// Unsolicited lines at random line ends of every answer, inside listings and
// reads too: 100 sends and 100 receives end exactly as without them.
TEST_F(E2ERealModem, NoiseChangesNoResult) {
    // (A hundred messages arrive at once: their indications come in one
    // burst longer than the receive history.)
    qvsim::ModemConfig config;
    config.noise = 0.3;
    config.seed = 20261209;
    config.capacity = 120;
    const int code = StartLine(config);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    ASSERT_EQ(code, QV_OK);
    constexpr int kEach = 100;
    std::vector<std::unique_ptr<TestJob>> jobs;
    for (int i = 0; i < kEach; ++i) {
        jobs.push_back(std::make_unique<TestJob>("0123456789", U16("out " + std::to_string(i))));
        ASSERT_EQ(host->SendSMS(0, &jobs.back()->job), QV_PENDING);
        sim->Inject(modem, "+15550003333", "in " + std::to_string(i));
    }
    ASSERT_TRUE(WaitCount(HOST_SMS_SENT, kEach, 120s)) << Count(HOST_SMS_SENT);
    ASSERT_TRUE(WaitCount(HOST_SMS_RECEIVED, kEach, 120s)) << Count(HOST_SMS_RECEIVED);
    StopDriver();
    std::set<std::string> received;
    size_t sentOk = 0;
    for (const HostEvent& e : EventLog::Get().Snapshot()) {
        if (e.kind == HOST_SMS_SENT) sentOk += e.code == QV_OK;
        if (e.kind == HOST_SMS_RECEIVED) {
            EXPECT_TRUE(received.insert(U8(e.text)).second) << "twice: " << U8(e.text);
        }
    }
    EXPECT_EQ(sentOk, static_cast<size_t>(kEach));
    EXPECT_EQ(received.size(), static_cast<size_t>(kEach));
    EXPECT_EQ(sim->Submits(modem).size(), static_cast<size_t>(kEach));
}

// The AT+CNMI=? answers of real modems (Gammu's test data, via the shared
// file of real answers): the line comes up and receives with each.
TEST_F(E2ERealModem, PublishedCnmiRangesBringTheLineUpAndReceive) {
    std::ifstream in(std::string(QVGSM_SOURCE_DIR) + "/../shared/realmodems.json");
    if (!in) GTEST_SKIP() << "no shared file of real modem answers";
    const nlohmann::json real = nlohmann::json::parse(in);
    int com = 0;
    for (const auto& answer : real["cnmi_test"]) {
        if (answer["expect"] != "up") continue;
        ++com;
        qvsim::ModemConfig config;
        config.cnmiTest = answer["answer"].get<std::string>();
        const int m = AddModem(com, config);
        if (m < 0) GTEST_SKIP() << "no pseudo-terminal available";
        EventLog::Get().Clear();
        BringUp(MakeLineConfig(com));
        sim->Inject(m, "+15550004444", "via " + answer["id"].get<std::string>());
        EXPECT_TRUE(WaitCount(HOST_SMS_RECEIVED, 1, 10s)) << answer["id"];
    }
    EXPECT_GT(com, 0);
}

// AT+CNMI=? answers printed in modem manuals: each line comes up and
// receives, through +CMTI where the modem offers mt 1 and by listing its
// storage where it does not.
TEST_F(E2ERealModem, CnmiRangesFromModemManualsReceive) {
    const struct {
        const char* source;
        const char* answer;
    } manuals[] = {
        // Motorola g20 AT Commands Reference (98-08901C68-O), +CNMI example.
        {"g20", "+CNMI: (0,3),(0-2),(0,2),(0),(0)"},
        // Enfora GSM1308 AT Command Set Reference (GSM1308AT001), 2.2.3.1:
        // spaces between the groups.
        {"gsm1308", "+CNMI: (0-2), (0-3), (0,2), (0,1), (0,1)"},
        // Nordic nRF91 AT command reference, +CNMI: the values it documents
        // (mode 0 or 3, mt 0 or 2, bm 0, ds 0 or 1, bfr 1); no mt 1.
        {"nrf91", "+CNMI: (0,3),(0,2),(0),(0,1),(1)"},
    };
    int com = 0;
    for (const auto& manual : manuals) {
        ++com;
        qvsim::ModemConfig config;
        config.cnmiTest = manual.answer;
        const int m = AddModem(com, config);
        if (m < 0) GTEST_SKIP() << "no pseudo-terminal available";
        EventLog::Get().Clear();
        BringUp(MakeLineConfig(com));
        sim->Inject(m, "+15550004444", std::string("via ") + manual.source);
        EXPECT_TRUE(WaitCount(HOST_SMS_RECEIVED, 1, 20s)) << manual.source;
    }
}

// New messages stored in "ME" (SM selected at power-on): those stored before
// the start and those announced after it are read, delivered once and
// deleted there, multipart ones included.
TEST_F(E2ERealModem, MessagesInAnotherStorageAreReadAndDeletedThere) {
    qvsim::ModemConfig config;
    config.storage = "ME";
    modem = AddModem(1, config);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    qvsim::Incoming early;
    early.sender = "+15550006666";
    early.text = U16("stored before the start");
    early.announce = false;
    sim->Inject(modem, early);
    BringUp(MakeLineConfig(1));
    sim->Inject(modem, "+15550006666", "announced in ME");
    sim->Inject(modem, "+15550006666", std::string(300, 'm'));
    ASSERT_TRUE(WaitCount(HOST_SMS_RECEIVED, 3)) << Count(HOST_SMS_RECEIVED);
    EXPECT_TRUE(sim->WaitFor([&] { return sim->Stored(modem).empty(); }, 20s));
    StopDriver();
    EXPECT_EQ(Count(HOST_SMS_RECEIVED), 3u);
}

// A modem that offers no indication of new messages (AT+CNMI mode 0 and mt
// 0 only) still receives: its storage is listed at an interval.
TEST_F(E2ERealModem, WithoutIndicationsTheStorageIsPolled) {
    qvsim::ModemConfig config;
    config.cnmiTest = "+CNMI: (0),(0),(0),(0),(0)";
    ASSERT_EQ(StartLine(config), QV_OK);
    if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
    sim->Inject(modem, "+15550007777", "found by a poll");
    ASSERT_TRUE(WaitCount(HOST_SMS_RECEIVED, 1, 20s));
    EXPECT_TRUE(sim->WaitFor([&] { return sim->Stored(modem).empty(); }, 20s));
}

}  // namespace

namespace {

class E2EConcat : public DriverFixture {
  protected:
    double TimeScale() override { return 10.0; }
    void SetUp() override {
        DriverFixture::SetUp();
        if (HasFatalFailure()) return;
        modem = AddModem(1);
        if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
        BringUp(MakeLineConfig(1));
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> out;
        for (const HostEvent& e : EventLog::Get().Snapshot())
            if (e.kind == HOST_SMS_RECEIVED) out.push_back(U8(e.text));
        return out;
    }
    bool WaitTexts(size_t n) {
        return EventLog::Get().WaitFor(
            [n](const std::vector<HostEvent>& events) {
                size_t k = 0;
                for (const HostEvent& e : events) k += e.kind == HOST_SMS_RECEIVED;
                return k >= n;
            },
            20s);
    }
    void Send(const std::string& text, int reference, bool wide, std::vector<int> order) {
        qvsim::Incoming in;
        in.sender = "+15550005555";
        in.text = U16(text);
        in.concatReference = reference;
        in.reference16 = wide;
        in.order = std::move(order);
        sim->Inject(modem, in);
    }
    int modem = -1;
};

// A message that lost a part, then another from the same sender reusing its
// reference (8-bit, or 16-bit with the same low octet) but not its total:
// the later one is delivered whole and alone.
TEST_F(E2EConcat, PartsOfMessagesSharingAReferenceNeverMix) {
    const std::string longA(400, 'a');  // three parts
    const std::string longB(200, 'b');  // two parts
    Send(longA, 7, false, {1});
    Send(longB, 7, false, {});
    Send(longA, 0x0107, true, {2});
    Send(longB, 0x0207, true, {});
    ASSERT_TRUE(WaitTexts(2)) << Texts().size();
    StopDriver();
    EXPECT_EQ(Texts(), (std::vector<std::string>{longB, longB}));
}

// Half an hour passes in 15 s here, while a read still has 80 ms.
class E2EConcatExpiry : public E2EConcat {
  protected:
    double TimeScale() override { return 120.0; }
};

// Once no new part has come for 30 minutes, the parts that did are delivered
// (and deleted); the line's next receive pass sees to it.
TEST_F(E2EConcatExpiry, IncompleteMessageIsDeliveredAfterThirtyMinutes) {
    const std::string longA(300, 'c');  // two parts, the second never comes
    Send(longA, 9, false, {1});
    ASSERT_TRUE(host->WaitInLog(1, "RecvStage3 >> psmsrecv->m_sms.isConcatenated"));
    const uint64_t start = qvclock::NowMs();
    ASSERT_TRUE(WaitUntil([&] { return qvclock::NowMs() - start > 30ull * 60 * 1000; }, 40s));
    sim->Inject(modem, "+15550006666", "later");
    ASSERT_TRUE(WaitTexts(2)) << Texts().size();
    ASSERT_TRUE(sim->WaitFor([&] { return sim->Stored(modem).empty(); }, 10s));
    StopDriver();
    const std::vector<std::string> texts = Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], longA.substr(0, 153)) << "the first part alone";
    EXPECT_EQ(texts[1], "later");
    EXPECT_TRUE(host->CountInLog(1, "incomplete (1 of 2 parts) after 30 min") > 0);
}

}  // namespace
