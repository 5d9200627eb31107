// Receiving through the loaded library: +CMTI notifications, AT+CMGR reads,
// reassembly of concatenated messages, delivery to the host and deletion.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/DriverHost.h"

using namespace qvtest;
using namespace std::chrono_literals;

namespace {

class E2ERecv : public DriverFixture {
  protected:
    void SetUp() override {
        DriverFixture::SetUp();
        if (HasFatalFailure()) return;
        modem = AddModem(1);
        if (modem < 0) GTEST_SKIP() << "no pseudo-terminal available";
        BringUp(MakeLineConfig(1));
        sim->ClearRecords(modem);
    }

    std::vector<HostEvent> Received() {
        std::vector<HostEvent> out;
        for (const HostEvent& e : EventLog::Get().Snapshot()) {
            if (e.kind == HOST_SMS_RECEIVED) out.push_back(e);
        }
        return out;
    }

    // Command lines starting with prefix, in order.
    std::vector<std::string> CommandsLike(const std::string& prefix) {
        std::vector<std::string> out;
        for (const std::string& c : sim->Commands(modem)) {
            if (c.rfind(prefix, 0) == 0) out.push_back(c);
        }
        return out;
    }

    // Waits for the n-th successful start of COM1; a start ends after the
    // messages found on the SIM have been dealt with.
    bool WaitLineUp(size_t n) {
        return EventLog::Get().WaitFor(
            [n](const std::vector<HostEvent>& events) {
                size_t k = 0;
                for (const HostEvent& e : events)
                    k += e.kind == HOST_LINE_STATUS && e.code == QV_OK && e.comPort == 1;
                return k >= n;
            },
            20s);
    }

    bool WaitStoredCount(size_t n) {
        return sim->WaitFor([&] { return sim->Stored(modem).size() == n; }, 10s);
    }

    // Fills slots 1..n with messages nobody is told about.
    void FillQuietly(int n) {
        for (int i = 0; i < n; ++i) {
            qvsim::Incoming in;
            in.sender = "+15550001111";
            in.text = U16("quiet " + std::to_string(i));
            in.announce = false;
            sim->Inject(modem, in);
        }
    }

    int modem = -1;
};

TEST_F(E2ERecv, OneMessageIsDeliveredOnceAndDeleted) {
    auto indices = sim->Inject(modem, "+491701234567", "Hello driver");
    ASSERT_EQ(indices.size(), 1u);
    ASSERT_TRUE(WaitReceived(1));
    ASSERT_TRUE(WaitStoredCount(0));
    auto got = Received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, 0);
    EXPECT_EQ(got[0].comPort, 1);
    EXPECT_EQ(got[0].context, reinterpret_cast<void*>(0x1001));
    EXPECT_EQ(got[0].isSendResult, 0);
    EXPECT_EQ(U8(got[0].text), "Hello driver");
    EXPECT_EQ(got[0].number, "+491701234567");
    EXPECT_EQ(got[0].parts, 1u);
    EXPECT_EQ(got[0].textCapacity, 2 * 12);
    EXPECT_EQ(got[0].numberCapacity, 2 * 13);
    EXPECT_TRUE(got[0].textTerminated);
    EXPECT_TRUE(got[0].numberTerminated);
    auto deletes = CommandsLike("AT+CMGD=");
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0], "AT+CMGD=" + std::to_string(indices[0]));
    ASSERT_TRUE(host->WaitInLog(1, "SMS recieved ,part(s): 1"));
    // Once the driver is down every callback has arrived.
    StopDriver();
    EXPECT_EQ(host->CountInLog(1, "SMS recieved ,part(s): 1"), 1u);
    EXPECT_EQ(Received().size(), 1u);
}

TEST_F(E2ERecv, TwoPartMessageAtSevenAndEightIsDeliveredWholeThenDeletedInOrder) {
    FillQuietly(6);
    std::string text(200, 'm');
    text[0] = 'A';
    text[199] = 'Z';
    qvsim::Incoming in;
    in.sender = "+491709999999";
    in.text = U16(text);
    auto indices = sim->Inject(modem, in);
    ASSERT_EQ(indices, (std::vector<int>{7, 8}));
    ASSERT_TRUE(WaitReceived(1));
    ASSERT_TRUE(WaitStoredCount(6));
    auto got = Received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(U8(got[0].text), text);
    EXPECT_EQ(got[0].parts, 2u);
    EXPECT_EQ(got[0].number, "+491709999999");
    EXPECT_EQ(CommandsLike("AT+CMGD="), (std::vector<std::string>{"AT+CMGD=7", "AT+CMGD=8"}));
    // The quiet ones stay.
    for (const auto& s : sim->Stored(modem)) EXPECT_LE(s.index, 6);
}

TEST_F(E2ERecv, PartsOutOfOrderAreAssembledInPartOrder) {
    std::string text = std::string(153, 'a') + std::string(153, 'b') + "c";
    qvsim::Incoming in;
    in.sender = "+15551234567";
    in.text = U16(text);
    in.order = {3, 1, 2};
    sim->Inject(modem, in);
    ASSERT_TRUE(WaitReceived(1));
    ASSERT_TRUE(WaitStoredCount(0));
    auto got = Received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(U8(got[0].text), text);
    EXPECT_EQ(got[0].parts, 3u);
}

TEST_F(E2ERecv, NotificationDuringSendIsServedRightAfterIt) {
    // The message arrives quietly; its indication comes right behind the
    // prompt, while the line is sending.
    qvsim::Incoming in;
    in.sender = "+15550000001";
    in.text = U16("while sending");
    in.announce = false;
    ASSERT_EQ(sim->Inject(modem, in), (std::vector<int>{1}));
    sim->AddFault(modem, "AT+CMGS cmti=1 x1");
    TestJob t("0123456789", U16("outgoing"));
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1));
    ASSERT_TRUE(WaitReceived(1));
    EXPECT_EQ(t.job.Result, QV_OK);
    EXPECT_EQ(U8(Received()[0].text), "while sending");
    // The delivery is logged once the host's callback has returned.
    ASSERT_TRUE(host->WaitInLog(1, "SMS recieved ,part(s): 1"));
    std::string log = host->ReadLog(1);
    size_t busy = log.find("Device in use, notification will be processed later.");
    size_t sent = log.find("Successfully Sent SMS");
    size_t got = log.find("SMS recieved ,part(s): 1");
    ASSERT_NE(busy, std::string::npos);
    ASSERT_NE(sent, std::string::npos);
    ASSERT_NE(got, std::string::npos);
    EXPECT_LT(busy, sent);
    EXPECT_LT(sent, got);
    // The read followed the PDU directly: no other command in between.
    auto commands = sim->Commands(modem);
    auto pdu = std::find_if(commands.begin(), commands.end(), [](const std::string& c) {
        return c.find('\x1a') != std::string::npos;
    });
    ASSERT_NE(pdu, commands.end());
    ASSERT_NE(pdu + 1, commands.end());
    EXPECT_EQ((pdu + 1)->rfind("AT+CMGR=", 0), 0u);
}

TEST_F(E2ERecv, TwoNotificationsInOneReadAreBothServedInOrder) {
    FillQuietly(2);
    sim->Unsolicited(modem, "\r\n+CMTI: \"SM\",1\r\n\r\n+CMTI: \"SM\",2\r\n");
    ASSERT_TRUE(WaitReceived(2));
    ASSERT_TRUE(WaitStoredCount(0));
    auto got = Received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(U8(got[0].text), "quiet 0");
    EXPECT_EQ(U8(got[1].text), "quiet 1");
    EXPECT_EQ(CommandsLike("AT+CMGR="), (std::vector<std::string>{"AT+CMGR=1", "AT+CMGR=2"}));
}

TEST_F(E2ERecv, RepeatedNotificationDeliversOnce) {
    FillQuietly(2);
    // The notification for slot 2 comes last: once that message is in, the
    // repeated one has been dealt with.
    sim->Unsolicited(modem,
                     "\r\n+CMTI: \"SM\",1\r\n\r\n+CMTI: \"SM\",1\r\n\r\n+CMTI: \"SM\",2\r\n");
    ASSERT_TRUE(EventLog::Get().WaitFor(
        [](const std::vector<HostEvent>& events) {
            for (const HostEvent& e : events)
                if (e.kind == HOST_SMS_RECEIVED && U8(e.text) == "quiet 1") return true;
            return false;
        },
        20s));
    ASSERT_TRUE(WaitStoredCount(0));
    auto got = Received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(U8(got[0].text), "quiet 0");
    EXPECT_EQ(U8(got[1].text), "quiet 1");
}

TEST_F(E2ERecv, NotificationForAnUnknownStorageOrIndexZeroIsIgnored) {
    FillQuietly(2);
    // A valid notification for slot 2 comes last: once that message is in,
    // the two before it have been dealt with.
    sim->Unsolicited(modem,
                     "\r\n+CMTI: \"XY\",1\r\n\r\n+CMTI: \"SM\",0\r\n\r\n+CMTI: \"SM\",2\r\n");
    ASSERT_TRUE(WaitReceived(1));
    ASSERT_TRUE(WaitStoredCount(1));
    auto got = Received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(U8(got[0].text), "quiet 1");
    EXPECT_EQ(CommandsLike("AT+CMGR="), (std::vector<std::string>{"AT+CMGR=2"}));
    EXPECT_EQ(sim->Stored(modem).at(0).index, 1);
}

TEST_F(E2ERecv, EmptyTextGetsABufferAllTheSame) {
    qvsim::Incoming in;
    in.sender = "+15550000002";
    sim->Inject(modem, in);
    ASSERT_TRUE(WaitReceived(1));
    auto got = Received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].text.empty());
    EXPECT_GE(got[0].textCapacity, 1);
    EXPECT_TRUE(got[0].textTerminated);
}

class E2ERecvScaled : public E2ERecv {
  protected:
    // The read wait (10 s) ends in 100 ms.
    double TimeScale() override { return 100.0; }
};

// An error ends the read at once (not by its time-out), and it is retried.
TEST_F(E2ERecvScaled, ReadAnsweredErrorIsRetried) {
    sim->AddFault(modem, "AT+CMGR error x1");
    sim->Inject(modem, "+15550000003", "second read");
    ASSERT_TRUE(WaitReceived(1));
    ASSERT_TRUE(WaitStoredCount(0));
    EXPECT_EQ(U8(Received()[0].text), "second read");
    EXPECT_EQ(CommandsLike("AT+CMGR=").size(), 2u);
    EXPECT_NE(host->ReadLog(1).find("failed to process recv SMS, error: invalid modem response, , "
                                    "stage: 'RecvSMSPhaseB(2)'"),
              std::string::npos)
        << host->ReadLog(1);
}

TEST_F(E2ERecvScaled, UnreadableMessageStaysOnTheSimAndTheLineGoesOn) {
    sim->AddFault(modem, "AT+CMGR error");
    sim->Inject(modem, "+15550000004", "never read");
    // The line gives up before it would read a fifth time.
    ASSERT_TRUE(host->WaitInLog(1, "left on the SIM")) << host->ReadLog(1);
    EXPECT_EQ(CommandsLike("AT+CMGR=").size(), 4u);
    EXPECT_EQ(Received().size(), 0u);
    EXPECT_TRUE(CommandsLike("AT+CMGD=").empty());
    EXPECT_EQ(sim->Stored(modem).size(), 1u);
    EXPECT_NE(host->ReadLog(1).find("left on the SIM"), std::string::npos);

    // Not stuck: the line still sends.
    sim->ClearFaults(modem);
    TestJob t("0123456789", U16("still alive"));
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1));
    EXPECT_EQ(t.job.Result, QV_OK);
}

TEST_F(E2ERecvScaled, DamagedPduCountsAsAFailedRead) {
    // An SMS-DELIVER cut off inside its originator address.
    sim->StorePdu(modem, "07919471000000F0040B9194", 0, true);
    ASSERT_TRUE(host->WaitInLog(1, "left on the SIM")) << host->ReadLog(1);
    EXPECT_EQ(CommandsLike("AT+CMGR=").size(), 4u);
    EXPECT_EQ(Received().size(), 0u);
    EXPECT_EQ(sim->Stored(modem).size(), 1u);
    EXPECT_NE(host->ReadLog(1).find("GSMDevice::RecvStage2 >> exception"), std::string::npos);
    TestJob t("0123456789", U16("still alive"));
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1));
    EXPECT_EQ(t.job.Result, QV_OK);
}

// A delivered message the modem would not delete is deleted, not delivered
// again, when the next start lists it.
TEST_F(E2ERecvScaled, DeliveredButUndeletedIsNotDeliveredAgainAfterRestart) {
    sim->AddFault(modem, "AT+CMGD error");
    const auto indices = sim->Inject(modem, "+15550000005", "stubborn SIM");
    ASSERT_TRUE(WaitReceived(1));
    ASSERT_TRUE(sim->WaitFor([&] { return CommandsLike("AT+CMGD=").size() >= 3; }, 10s));
    // A job is sent only once the line has stopped deleting.
    TestJob t("0123456789", U16("after the deletes"));
    ASSERT_EQ(host->SendSMS(0, &t.job), QV_PENDING);
    ASSERT_TRUE(WaitSent(1));
    EXPECT_EQ(CommandsLike("AT+CMGD=").size(), 3u) << "a refused delete is tried three times";
    ASSERT_EQ(sim->Stored(modem).size(), 1u);

    sim->ClearFaults(modem);
    ASSERT_EQ(host->ReinitLine(1), QV_OK);
    // The start reports once the stored message has been dealt with.
    ASSERT_TRUE(WaitLineUp(2));
    ASSERT_TRUE(WaitStoredCount(0));
    EXPECT_EQ(Received().size(), 1u) << "delivered twice";
    EXPECT_EQ(CommandsLike("AT+CMGD=").back(), "AT+CMGD=" + std::to_string(indices[0]));
    EXPECT_NE(host->ReadLog(1).find("was delivered before, deleting it"), std::string::npos);
}

// The same holds when the host removes the line and adds it again: the new
// line on that port takes over what the old one delivered.
TEST_F(E2ERecvScaled, RemovedAndAddedLineDoesNotDeliverAgain) {
    sim->AddFault(modem, "AT+CMGD error");
    sim->Inject(modem, "+15550000008", "kept across removal");
    ASSERT_TRUE(WaitReceived(1));
    ASSERT_TRUE(sim->WaitFor([&] { return CommandsLike("AT+CMGD=").size() >= 3; }, 10s));
    ASSERT_EQ(host->UninitLine(1), QV_OK);
    sim->ClearFaults(modem);
    const GSMLineConfig config = MakeLineConfig(1);
    ASSERT_EQ(host->AddLine(&config), QV_PENDING);
    // The start reports once the stored message has been dealt with.
    ASSERT_TRUE(WaitLineUp(2));
    ASSERT_TRUE(WaitStoredCount(0));
    EXPECT_EQ(Received().size(), 1u) << "delivered again by the new line";
}

// A delete whose answer was lost may have happened: it is not repeated
// blindly, and a new message stored at that index is delivered.
TEST_F(E2ERecvScaled, NewMessageAtAnIndexWhoseDeleteWentUnansweredIsDelivered) {
    sim->AddFault(modem, "AT+CMGD mute x1");
    const auto first = sim->Inject(modem, "+15550000006", "first at the slot");
    ASSERT_TRUE(WaitReceived(1));
    ASSERT_TRUE(WaitStoredCount(0));
    ASSERT_TRUE(host->WaitInLog(1, "Delete failed"));
    const auto second = sim->Inject(modem, "+15550000007", "second at the slot");
    ASSERT_EQ(second, first);
    ASSERT_TRUE(WaitReceived(2));
    ASSERT_TRUE(WaitStoredCount(0));
    EXPECT_EQ(U8(Received()[1].text), "second at the slot");
    EXPECT_EQ(CommandsLike("AT+CMGD=").size(), 2u);

    // And after a restart nothing comes back.
    sim->ClearRecords(modem);
    ASSERT_EQ(host->ReinitLine(1), QV_OK);
    ASSERT_TRUE(WaitLineUp(2));
    EXPECT_TRUE(sim->WaitForCommand(modem, "AT+CMGL", 1s));
    EXPECT_EQ(Received().size(), 2u);
}

}  // namespace
