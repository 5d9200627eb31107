// Delivery reports through the loaded library, in each form a modem gives
// them: "+CDS" with the PDU (ds 1), "+CDSI" naming a stored report (ds 2),
// and reports left in storage (ds 0) that the next start finds.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/DriverHost.h"

using namespace qvtest;
using namespace std::chrono_literals;

namespace {

const char kRangesDs1[] = "+CNMI: (0-3),(0-3),(0-3),(0,1),(0,1)";
const char kRangesDs2[] = "+CNMI: (0-3),(0-3),(0-3),(0,2),(0,1)";
const char kRangesDs0[] = "+CNMI: (0-3),(0-3),(0-3),(0),(0,1)";

class E2EReports : public DriverFixture {
  protected:
    double TimeScale() override { return 10.0; }

    void Start(const char* ranges, int status, bool toHost = true, int csmsService = 0) {
        qvsim::ModemConfig config;
        config.cnmiTest = ranges;
        config.reportStatus = status;
        config.reportDelayMs = 500;
        config.csmsService = csmsService;
        modem = AddModem(1, config);
        if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
        GSMLineConfig line = MakeLineConfig(1);
        line.StatusReportsEnabled = 1;
        line.Reserved = toHost ? QV_LINE_STATUS_REPORTS : 0;
        BringUp(line);
    }

    // Sends text as one job marked with tag in HostData0.
    TestJob& Send(const std::string& text, unsigned char tag) {
        jobs.push_back(std::make_unique<TestJob>("+4915550001", U16(text)));
        TestJob& t = *jobs.back();
        std::memset(t.job.HostData0, tag, sizeof(t.job.HostData0));
        EXPECT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
        return t;
    }

    std::vector<HostEvent> Reports() {
        std::vector<HostEvent> out;
        for (const HostEvent& e : EventLog::Get().Snapshot())
            if (e.kind == HOST_SMS_STATUS) out.push_back(e);
        return out;
    }
    bool WaitReports(size_t n) { return WaitEvents(HOST_SMS_STATUS, n); }
    bool StorageEmpty() {
        return sim->WaitFor([&] { return sim->Stored(modem).empty(); }, 20s);
    }
    // Each part of a job tagged tag reported once, final and delivered.
    void ExpectEachPartOnce(unsigned char tag, unsigned parts) {
        std::vector<int> seen(parts + 1, 0);
        for (const HostEvent& e : Reports()) {
            ASSERT_EQ(e.report.HostData0[0], tag);
            ASSERT_GE(e.report.Part, 1u);
            ASSERT_LE(e.report.Part, parts);
            EXPECT_EQ(e.report.TotalParts, parts);
            EXPECT_EQ(e.report.Status, 0);
            EXPECT_EQ(e.report.Final, 1);
            EXPECT_EQ(e.number, "+4915550001");
            EXPECT_GT(e.report.ServiceCentreTime, 0);
            ++seen[e.report.Part];
        }
        for (unsigned p = 1; p <= parts; ++p) EXPECT_EQ(seen[p], 1) << "part " << p;
    }

    int modem = -1;
    std::vector<std::unique_ptr<TestJob>> jobs;
};

TEST_F(E2EReports, CdsReportsReachTheHostOncePerPartAndAreAcknowledged) {
    Start(kRangesDs1, 0x00, true, /*csmsService=*/1);
    Send(std::string(200, 'r'), 7);  // two parts
    ASSERT_TRUE(WaitSent(1));
    ASSERT_TRUE(WaitReports(2));
    auto acks = [&] {
        size_t n = 0;
        for (const std::string& c : sim->Commands(modem)) n += c == "AT+CNMA";
        return n;
    };
    EXPECT_TRUE(sim->WaitFor([&] { return acks() >= 2; }, 20s));
    StopDriver();
    ExpectEachPartOnce(7, 2);
    EXPECT_EQ(acks(), 2u);
    EXPECT_TRUE(StorageEmpty());
}

TEST_F(E2EReports, CdsiReportsAreReadDeliveredAndDeleted) {
    Start(kRangesDs2, 0x00);
    Send("one part", 9);
    ASSERT_TRUE(WaitReports(1));
    EXPECT_TRUE(StorageEmpty());
    StopDriver();
    ExpectEachPartOnce(9, 1);
}

TEST_F(E2EReports, StoredReportsAreFoundByTheNextStart) {
    Start(kRangesDs0, 0x00);
    Send(std::string(200, 's'), 5);
    ASSERT_TRUE(WaitSent(1));
    ASSERT_TRUE(sim->WaitFor([&] { return sim->Stored(modem).size() == 2; }, 20s));
    EXPECT_TRUE(Reports().empty());
    ASSERT_EQ(host->ReinitLine(1), QV_OK);
    ASSERT_TRUE(WaitReports(2));
    EXPECT_TRUE(StorageEmpty());
    StopDriver();
    ExpectEachPartOnce(5, 2);
}

// A report still being tried is handed over as not final; a permanent
// failure ends the message undelivered.
TEST_F(E2EReports, StatusClassesAreHandedOverAsReceived) {
    Start(kRangesDs1, 0x45);  // not delivered: error in the SME
    Send("refused", 3);
    ASSERT_TRUE(WaitReports(1));
    StopDriver();
    const std::vector<HostEvent> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].report.Status, 0x45);
    EXPECT_EQ(reports[0].report.Final, 1);
}

// A report whose reference matches no part sent is still handed over, with
// HostData0 zeroed; the line goes on sending and receiving.
TEST_F(E2EReports, UnmatchedReportIsHandedOverZeroed) {
    Start(kRangesDs1, -1);
    // SMS-STATUS-REPORT, TP-MR 0x99 to +4915550009, delivered.
    sim->Unsolicited(modem,
                     "\r\n+CDS: 24\r\n0006990A91945155009062109101000000621091010000000"
                     "0\r\n");
    ASSERT_TRUE(WaitReports(1));
    const HostEvent e = Reports().at(0);
    EXPECT_EQ(e.report.MessageReference, 0x99);
    for (unsigned char b : e.report.HostData0) EXPECT_EQ(b, 0);
    EXPECT_EQ(e.report.Part, 0u);
    Send("still sending", 1);
    sim->Inject(modem, "+15550001", "still receiving");
    ASSERT_TRUE(WaitSent(1));
    ASSERT_TRUE(WaitReceived(1));
}

// Without QV_LINE_STATUS_REPORTS a host sees exactly what it saw before
// reports were read: the reports are consumed, logged and deleted.
TEST_F(E2EReports, WithoutTheBitReportsAreConsumedAndNothingReachesTheHost) {
    Start(kRangesDs2, 0x00, /*toHost=*/false);
    Send("quiet", 1);
    ASSERT_TRUE(WaitSent(1));
    ASSERT_TRUE(host->WaitInLog(1, "GSMDevice::StatusReport >> reference"));
    EXPECT_TRUE(StorageEmpty());
    StopDriver();
    for (const HostEvent& e : EventLog::Get().Snapshot())
        EXPECT_TRUE(e.kind == HOST_LINE_STATUS || e.kind == HOST_SMS_SENT) << e.kind;
}

}  // namespace
