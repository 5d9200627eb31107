// The simulated SIM: incoming messages stored at the lowest free index and
// announced, read, listed and deleted by AT command, capacity and overflow.
#include <gtest/gtest.h>

#include "support/SimBench.h"
#include "tools/sim/SimPdu.h"

namespace {

using qvtest::SimBench;
using std::chrono::milliseconds;

std::string Cmti(int index) {
    return "\r\n+CMTI: \"SM\"," + std::to_string(index) + "\r\n";
}

qvsim::Incoming Message(const std::string& sender, const std::string& text) {
    qvsim::Incoming in;
    in.sender = sender;
    in.text = qvsim::FromUtf8(text);
    return in;
}

class SimStorage : public SimBench {
  protected:
    void Route() {
        Quiet();
        ASSERT_EQ(client.Command("AT+CNMI=2,1,0,0,1"), "\r\nOK\r\n");
    }
};

TEST_F(SimStorage, AnnouncesOnlyOnceIndicationsAreRouted) {
    Quiet();
    EXPECT_EQ(sim.Inject(modem, "+4915112345678", "first"), std::vector<int>{1});
    client.ReadFor(milliseconds(100));
    EXPECT_EQ(client.Take(), "");
    ASSERT_EQ(client.Command("AT+CNMI=2,1,0,0,1"), "\r\nOK\r\n");
    EXPECT_EQ(sim.Inject(modem, "+4915112345678", "second"), std::vector<int>{2});
    ASSERT_TRUE(client.ReadUntil(Cmti(2)));
    EXPECT_EQ(client.Take(), Cmti(2));
}

TEST_F(SimStorage, AnnouncesAlwaysWhenConfigured) {
    sim.Configure(modem, [](qvsim::ModemConfig& c) { c.announceAlways = true; });
    sim.Inject(modem, "+4915112345678", "hi");
    EXPECT_TRUE(client.ReadUntil(Cmti(1)));
}

TEST_F(SimStorage, ReadsAStoredMessageAndMarksItRead) {
    Route();
    qvsim::Incoming in = Message("+4915112345678", "Hello world");
    sim.Inject(modem, in);
    ASSERT_TRUE(client.ReadUntil(Cmti(1)));
    client.Take();
    std::string pdu = qvsim::EncodeDeliver(in, "+15550000000", 0)[0];
    std::string len = std::to_string(qvsim::TpduLength(pdu));
    EXPECT_EQ(client.Command("AT+CMGR=1"),
              "\r\n+CMGR: 0,," + len + "\r\n" + pdu + "\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CMGR=1"),
              "\r\n+CMGR: 1,," + len + "\r\n" + pdu + "\r\n\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CMGR=2"), "\r\n+CMS ERROR: 321\r\n");
    EXPECT_EQ(client.Command("AT+CMGR=99"), "\r\n+CMS ERROR: 321\r\n");
}

TEST_F(SimStorage, ListsEveryStoredMessage) {
    Quiet();
    EXPECT_EQ(client.Command("AT+CMGL=4"), "\r\nOK\r\n");
    sim.Inject(modem, "+4915112345678", "one");
    sim.Inject(modem, "+4915112345679", "two");
    auto stored = sim.Stored(modem);
    ASSERT_EQ(stored.size(), 2u);
    std::string expected;
    for (const auto& s : stored) {
        expected += "\r\n+CMGL: " + std::to_string(s.index) + ",0,," +
                    std::to_string(qvsim::TpduLength(s.pdu)) + "\r\n" + s.pdu;
    }
    EXPECT_EQ(client.Command("AT+CMGL=4"), expected + "\r\n\r\nOK\r\n");
    // Listed unread messages count as read afterwards; stat 0 lists none now.
    EXPECT_EQ(client.Command("AT+CMGL=0"), "\r\nOK\r\n");
    EXPECT_EQ(sim.Stored(modem)[0].stat, 1);
}

TEST_F(SimStorage, DeletesOneOrAllAndReusesTheLowestIndex) {
    Route();
    for (int i = 0; i < 3; ++i) sim.Inject(modem, "+4915112345678", "m" + std::to_string(i));
    ASSERT_TRUE(client.ReadUntil(Cmti(3)));
    client.Take();
    EXPECT_EQ(client.Command("AT+CMGD=2"), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CMGR=2"), "\r\n+CMS ERROR: 321\r\n");
    EXPECT_EQ(sim.Inject(modem, "+4915112345678", "again"), std::vector<int>{2});
    ASSERT_TRUE(client.ReadUntil(Cmti(2)));
    EXPECT_EQ(client.Take(), Cmti(2));
    EXPECT_EQ(client.Command("AT+CMGD=1,4"), "\r\nOK\r\n");
    EXPECT_TRUE(sim.Stored(modem).empty());
    EXPECT_EQ(client.Command("AT+CMGL=4"), "\r\nOK\r\n");
    EXPECT_EQ(client.Command("AT+CMGD=0"), "\r\n+CMS ERROR: 321\r\n");
}

TEST_F(SimStorage, DeleteFlagsSelectByStatus) {
    Quiet();
    sim.StorePdu(modem, qvsim::EncodeDeliver(Message("+1", "a"), "", 0)[0], 0, false);
    sim.StorePdu(modem, qvsim::EncodeDeliver(Message("+1", "b"), "", 0)[0], 1, false);
    EXPECT_EQ(client.Command("AT+CMGD=1,1"), "\r\nOK\r\n");  // read ones only
    auto left = sim.Stored(modem);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].index, 1);
}

class SmallSim : public SimStorage {
  protected:
    qvsim::ModemConfig Config() override {
        qvsim::ModemConfig c;
        c.capacity = 2;
        return c;
    }
};

TEST_F(SmallSim, DropsMessagesWhenFull) {
    Route();
    sim.Inject(modem, "+4915112345678", "1");
    sim.Inject(modem, "+4915112345678", "2");
    EXPECT_EQ(sim.Inject(modem, "+4915112345678", "3"), std::vector<int>{-1});
    EXPECT_EQ(sim.Dropped(modem), 1);
    client.ReadFor(milliseconds(100));
    EXPECT_EQ(client.Take(), Cmti(1) + Cmti(2));
    EXPECT_EQ(client.Command("AT+CPMS?"),
              "\r\n+CPMS: \"SM\",2,2,\"SM\",2,2,\"SM\",2,2\r\n\r\nOK\r\n");
    sim.Configure(modem, [](qvsim::ModemConfig& c) { c.reportFull = true; });
    sim.Inject(modem, "+4915112345678", "4");
    EXPECT_TRUE(client.ReadUntil("\r\n+CMS ERROR: 322\r\n"));
    EXPECT_EQ(sim.Dropped(modem), 2);
}

TEST_F(SimStorage, StoresConcatenatedPartsInArrivalOrder) {
    Route();
    qvsim::Incoming in = Message("+4915112345678", std::string(300, 'x'));
    in.concatReference = 0x42;
    in.order = {2, 1};
    EXPECT_EQ(sim.Inject(modem, in), (std::vector<int>{1, 2}));
    ASSERT_TRUE(client.ReadUntil(Cmti(1) + Cmti(2)));
    auto stored = sim.Stored(modem);
    ASSERT_EQ(stored.size(), 2u);
    // Index 1 holds part 2 of 2, index 2 part 1 of 2 (8-bit reference header).
    EXPECT_NE(stored[0].pdu.find("050003420202"), std::string::npos) << stored[0].pdu;
    EXPECT_NE(stored[1].pdu.find("050003420201"), std::string::npos) << stored[1].pdu;
}

TEST_F(SimStorage, CanLeaveAPartOut) {
    Quiet();
    qvsim::Incoming in = Message("+4915112345678", std::string(400, 'y'));
    in.order = {3, 1};
    EXPECT_EQ(sim.Inject(modem, in), (std::vector<int>{1, 2}));
    EXPECT_EQ(sim.Stored(modem).size(), 2u);
}

TEST_F(SimStorage, EncodesUcs2AndAlphanumericSenders) {
    Quiet();
    sim.Inject(modem, "MyBank", "Grüße €");  // ü and ß are GSM 7-bit, € an escape pair
    qvsim::Incoming ucs = Message("+4915112345678", "Привет");
    sim.Inject(modem, ucs);
    auto stored = sim.Stored(modem);
    ASSERT_EQ(stored.size(), 2u);
    // Sender: 6 characters, 11 semi-octets, alphanumeric type D0.
    EXPECT_NE(stored[0].pdu.find("0BD0"), std::string::npos) << stored[0].pdu;
    // UCS2: DCS 08 and the text as big-endian code units.
    EXPECT_NE(stored[1].pdu.find("041F04400438043204350442"), std::string::npos) << stored[1].pdu;
}

TEST_F(SimStorage, HoldsMessagesStoredBeforeTheHostConnects) {
    qvsim::Incoming in = Message("+4915112345678", "waiting");
    in.announce = false;
    sim.Inject(modem, in);
    sim.Inject(modem, in);
    Quiet();
    std::string list = client.Command("AT+CMGL=4");
    EXPECT_NE(list.find("+CMGL: 1,0,,"), std::string::npos);
    EXPECT_NE(list.find("+CMGL: 2,0,,"), std::string::npos);
    EXPECT_EQ(list.find("+CMTI"), std::string::npos);
}

}  // namespace
