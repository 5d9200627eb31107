// The simulated modem's AT dialogue: framing, echo, identification and the
// settings commands a host's initialisation uses.
#include <gtest/gtest.h>

#include "support/SimBench.h"

namespace {

using qvtest::SimBench;

class SimAt : public SimBench {};

TEST_F(SimAt, EchoesCommandLinesUntilAte0) {
    EXPECT_EQ(client.Command("AT"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(client.Command("ATE0"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT"), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("ATE1"), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(client.Command("ATE"), "ATE\r\r\nOK\r\n");  // ATE is ATE0
    EXPECT_EQ(client.Command("AT"), "\r\nOK\r\n");
}

TEST_F(SimAt, ResetAndFactoryDefaultsTurnEchoBackOn) {
    Quiet();
    EXPECT_EQ(client.Command("ATZ"), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT"), "AT\r\r\nOK\r\n");
    Quiet();
    EXPECT_EQ(client.Command("AT&F"), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT"), "AT\r\r\nOK\r\n");
}

TEST_F(SimAt, AnswersIdentificationQueries) {
    Quiet();
    qvsim::ModemConfig c;
    EXPECT_EQ(client.Command("AT+CGMI"), "\r\n" + c.manufacturer + "\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CGMM"), "\r\n" + c.model + "\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CGMR"), "\r\n" + c.revision + "\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CGSN"), "\r\n" + c.imei + "\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CIMI"), "\r\n" + c.imsi + "\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CPIN?"), "\r\n+CPIN: READY\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("ATI"), "\r\n" + c.manufacturer + "\r\n\r\n" + c.model +
                                         "\r\n\r\nRevision: " + c.revision + "\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("at+cgmi"), "\r\n" + c.manufacturer + "\r\n\r\nOK\r\n");
}

TEST_F(SimAt, NegotiatesNewMessageIndications) {
    Quiet();
    EXPECT_EQ(client.Command("AT+CNMI=?"),
              "\r\n+CNMI: (0,1,2,3),(0,1,2,3),(0,1,2,3),(0,1,2),(0,1)\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CNMI=2,1,0,0,1"), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CNMI?"), "\r\n+CNMI: 2,1,0,0,1\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CNMI=x"), "\r\nERROR\r\n");
    sim.Configure(modem,
                  [](qvsim::ModemConfig& c) { c.cnmiTest = "+CNMI: (0-3),(0,1),(0),(0),(0)"; });
    EXPECT_EQ(client.Command("AT+CNMI=?"), "\r\n+CNMI: (0-3),(0,1),(0),(0),(0)\r\n\r\nOK\r\n");
}

TEST_F(SimAt, ReportsSignalAndServiceCentre) {
    Quiet();
    EXPECT_EQ(client.Command("AT+CSQ"), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    sim.Configure(modem, [](qvsim::ModemConfig& c) {
        c.rssi = 7;
        c.ber = 3;
    });
    EXPECT_EQ(client.Command("AT+CSQ"), "\r\n+CSQ: 7,3\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CSCA?"), "\r\n+CSCA: \"+15550000000\",145\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CSCA=\"+491710760000\""), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CSCA?"), "\r\n+CSCA: \"+491710760000\",145\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CSCA=12"), "\r\nERROR\r\n");
}

TEST_F(SimAt, OffersPduModeOnly) {
    Quiet();
    EXPECT_EQ(client.Command("AT+CMGF=0"), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CMGF?"), "\r\n+CMGF: 0\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CMGF=1"), "\r\n+CMS ERROR: 303\r\n");
}

TEST_F(SimAt, AnswersStorageAndCharacterSetQueries) {
    Quiet();
    sim.Inject(modem, "+4915112345678", "stored");
    EXPECT_EQ(client.Command("AT+CPMS?"),
              "\r\n+CPMS: \"SM\",1,30,\"SM\",1,30,\"SM\",1,30\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CPMS=\"SM\",\"SM\""), "\r\n+CPMS: 1,30,1,30,1,30\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CPMS=\"ME\""), "\r\n+CMS ERROR: 302\r\n");
    EXPECT_EQ(client.Command("AT+CSCS?"), "\r\n+CSCS: \"GSM\"\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CSCS=\"UCS2\""), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CMEE=1"), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CPBS?"), "\r\n+CPBS: \"SM\",0,100\r\n\r\nOK\r\n");
}

TEST_F(SimAt, RefusesUnknownCommandsUnlessAllowed) {
    Quiet();
    EXPECT_EQ(client.Command("AT+QSPECIAL=1"), "\r\nERROR\r\n");
    sim.Configure(modem, [](qvsim::ModemConfig& c) { c.allowList = {"at+qspecial"}; });
    EXPECT_EQ(client.Command("AT+QSPECIAL=1"), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+OTHER"), "\r\nERROR\r\n");
    sim.Configure(modem, [](qvsim::ModemConfig& c) { c.acceptAnyAt = true; });
    EXPECT_EQ(client.Command("AT+OTHER"), "\r\nOK\r\n");
}

TEST_F(SimAt, IgnoresNoiseAndEmptyLines) {
    Quiet();
    client.Write("\r\n\rhello\r");
    client.ReadFor(std::chrono::milliseconds(100));
    EXPECT_EQ(client.Take(), "");
    EXPECT_EQ(client.Command("AT"), "\r\nOK\r\n");
}

TEST_F(SimAt, RecordsEveryCommandLineInOrder) {
    client.Command("AT");
    client.Command("ATE0");
    client.Command("AT+CSQ");
    // A command may arrive in pieces; it is one line all the same.
    client.Write("AT+CM");
    client.ReadFor(std::chrono::milliseconds(30));
    client.Command("GF=0");
    EXPECT_EQ(sim.Commands(modem), (std::vector<std::string>{"AT", "ATE0", "AT+CSQ", "AT+CMGF=0"}));
}

}  // namespace
