// Status reports from the simulated network: produced for parts that ask for
// one, after the configured delay, in the form AT+CNMI's <ds> chose; the
// acknowledgement the message service expects.
#include <gtest/gtest.h>

#include "pdu/StatusReport.h"
#include "platform/clock.h"
#include "support/SimBench.h"
#include "tools/sim/SimModem.h"
#include "tools/sim/SimPdu.h"

namespace {

using qvtest::SimBench;
using std::chrono::milliseconds;

// "abc" to 0123456789 asking for a report (first octet 21), and without (01).
const std::string kAsks =
    "0021000A8110325476980000"
    "0361F118";
const std::string kQuiet =
    "0001000A8110325476980000"
    "0361F118";
// "abc" to +49123456789 asking for a report.
const std::string kAsksIntl =
    "0021000B919421436587F90000"
    "0361F118";

class SimReports : public SimBench {
  protected:
    void Routed(const std::string& ds, int status) {
        sim.Configure(modem, [status](qvsim::ModemConfig& c) { c.reportStatus = status; });
        Quiet();
        ASSERT_EQ(client.Command("AT+CNMI=2,1,0," + ds + ",0"), "\r\nOK\r\n");
    }
    // Up to the PDU's Ctrl-Z; what follows is read by the caller, as a
    // report may come right behind the answer.
    void Submit(const std::string& pdu) {
        EXPECT_EQ(client.Command("AT+CMGS=" + std::to_string(qvsim::TpduLength(pdu))), "\r\n> ");
        client.Write(pdu + "\x1A");
    }
    std::string Send(const std::string& pdu) {
        Submit(pdu);
        return client.Command("");
    }
    // The report as the driver's codec reads it, its times checked against
    // the wall clock around the test.
    pdu::StatusReport Decoded(const std::string& hex) {
        pdu::StatusReport r;
        EXPECT_TRUE(pdu::DecodeStatusReport(hex, r)) << hex;
        EXPECT_EQ(r.smscNumber, "+15550000000");
        EXPECT_GE(r.serviceCentreTime, m_start);
        EXPECT_LE(r.serviceCentreTime, r.dischargeTime);
        EXPECT_LE(r.dischargeTime, qvsim::WallSeconds());
        return r;
    }
    const int64_t m_start = qvsim::WallSeconds();
};

TEST_F(SimReports, UnsolicitedWithDsOneAndAcknowledgedUnderServiceOne) {
    Routed("1", 0x00);
    EXPECT_EQ(Send(kQuiet), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    Submit(kAsks);
    ASSERT_TRUE(sim.WaitForStatusReports(modem, 1, milliseconds(2000)));
    const std::string report = sim.StatusReports(modem).at(0);
    const std::string cds =
        "\r\n+CDS: " + std::to_string(qvsim::TpduLength(report)) + "\r\n" + report + "\r\n";
    ASSERT_TRUE(client.ReadUntil(cds));
    EXPECT_EQ(client.Take(), "\r\n+CMGS: 2\r\n\r\nOK\r\n" + cds);
    const pdu::StatusReport r = Decoded(report);
    EXPECT_EQ(r.messageReference, 2);  // the one "+CMGS" answered, for the part that asked
    EXPECT_EQ(r.recipient, "0123456789");
    EXPECT_EQ(r.status, 0x00);
    EXPECT_TRUE(sim.Stored(modem).empty());

    EXPECT_EQ(client.Command("AT+CSMS?"), "\r\n+CSMS: 0,1,1,1\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CNMA"), "\r\n+CMS ERROR: 340\r\n");
    EXPECT_EQ(client.Command("AT+CSMS=1"), "\r\n+CSMS: 1,1,1\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CSMS?"), "\r\n+CSMS: 1,1,1,1\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CNMA"), "\r\nOK\r\n");
    EXPECT_EQ(sim.StatusReports(modem).size(), 1u);
}

TEST_F(SimReports, StoredAndAnnouncedWithDsTwo) {
    Routed("2", 0x46);
    sim.Inject(modem, "+4915112345678", "in slot 1");
    ASSERT_TRUE(client.ReadUntil("+CMTI: \"SM\",1\r\n"));
    client.Take();
    Submit(kAsksIntl);
    ASSERT_TRUE(client.ReadUntil("\r\n+CDSI: \"SM\",2\r\n"));
    EXPECT_EQ(client.Take(), "\r\n+CMGS: 1\r\n\r\nOK\r\n\r\n+CDSI: \"SM\",2\r\n");
    const std::string report = sim.StatusReports(modem).at(0);
    const pdu::StatusReport r = Decoded(report);
    EXPECT_EQ(r.recipient, "+49123456789");  // the submit's type of number kept
    EXPECT_EQ(r.status, 0x46);
    const std::string len = std::to_string(qvsim::TpduLength(report));
    EXPECT_EQ(client.Command("AT+CMGR=2"),
              "\r\n+CMGR: 0,," + len + "\r\n" + report + "\r\n\r\nOK\r\n");
    EXPECT_NE(client.Command("AT+CMGL=4").find("\r\n+CMGL: 2,1,," + len + "\r\n" + report),
              std::string::npos);
}

TEST_F(SimReports, StoredSilentlyWithDsZeroAfterTheDelay) {
    Routed("0", 0x30);
    // Reports off: this part's is never produced, the next one's is.
    sim.Configure(modem, [](qvsim::ModemConfig& c) { c.reportStatus = -1; });
    EXPECT_EQ(Send(kAsks), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    qvclock::SetScale(1000);
    sim.Configure(modem, [](qvsim::ModemConfig& c) {
        c.reportStatus = 0x30;
        c.reportDelayMs = 300000;  // 0.3 s of real time
    });
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(kAsks), "\r\n+CMGS: 2\r\n\r\nOK\r\n");
    ASSERT_TRUE(sim.WaitForStatusReports(modem, 1, milliseconds(5000)));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, milliseconds(290));
    qvclock::SetScale(1);
    const auto reports = sim.StatusReports(modem);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(Decoded(reports[0]).messageReference, 2);
    const auto stored = sim.Stored(modem);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].pdu, reports[0]);
    EXPECT_EQ(stored[0].stat, 0);
    // Nothing was said: the next answer is all that arrives.
    EXPECT_EQ(client.Command("AT"), "\r\nOK\r\n");
}

}  // namespace
