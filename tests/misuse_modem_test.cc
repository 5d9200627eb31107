// Bad input from the modem side, found by fuzzing: each case once broke a
// rule (a wrong storage index read, a part no collector completes, a PDU
// sent with a wrong address length).
#include <gtest/gtest.h>

#include "gsm/GSMDevice.h"
#include "io/ComPort.h"
#include "logging/NullLog.h"
#include "pdu/PDUCodec.h"

namespace {

class QueueDevice : public GSMDevice {
  public:
    QueueDevice() : GSMDevice(nullptr, new ComPort(), NullLog(), nullptr) {}
    std::vector<uint32_t> Queued() {
        qv::MutexLock lock(m_RecvLock);
        std::vector<uint32_t> out;
        for (SMSRecv* r : m_RecvQueue) out.push_back(r->simIndex);
        return out;
    }
};

TEST(MisuseModem, IndicationIndexEndsAtASecondComma) {
    QueueDevice device;
    std::string history = "+CMTI: \"SM\",12,13\r\n";
    EXPECT_TRUE(device.PreProcessRecvNotifications(history));
    EXPECT_EQ(device.Queued(), (std::vector<uint32_t>{12}));
    EXPECT_EQ(history, ",13\r\n");
}

// 8-bit data (no text) in two parts: both parts are still parts of one
// message, so that the pair completes and both storage slots can be freed.
TEST(MisuseModem, ConcatenatedPartsWithoutTextAreStillParts) {
    const std::string head = "00440A8110325476980004621072918050000A";
    SMSMessage first, second;
    PDUCodec codec;
    ASSERT_TRUE(codec.DecodeDeliver(head + "0500037B0201DEADBEEF", first));
    ASSERT_TRUE(codec.DecodeDeliver(head + "0500037B0202DEADBEEF", second));
    ASSERT_TRUE(first.IsConcatenated());
    EXPECT_EQ(first.GetPartNumber(), 1);
    EXPECT_EQ(second.GetPartNumber(), 2);
    EXPECT_EQ(first.GetTotalParts(), 2);
    ASSERT_TRUE(first.IsSameMessage(second));
    EXPECT_FALSE(first.IsComplete());
    first.AddPart(second.GetText(), second.GetPartNumber());
    EXPECT_TRUE(first.IsComplete());
    EXPECT_EQ(first.GetText(), u"");
}

TEST(MisuseModem, EightBitWithoutHeaderStaysASingleMessage) {
    SMSMessage m;
    ASSERT_TRUE(PDUCodec().DecodeDeliver("00040A81103254769800046210729180500004DEADBEEF", m));
    EXPECT_FALSE(m.IsConcatenated());
    EXPECT_TRUE(m.IsComplete());
}

// An address holds at most 20 digits; a longer number would go out with a
// length octet taken modulo 256.
TEST(MisuseModem, NumberOfMoreThanTwentyDigitsIsNotEncoded) {
    PDUCodec codec;
    EXPECT_NO_THROW(codec.EncodeSubmit(SMSMessage(0, "+" + std::string(20, '1'), u"x"), 0));
    EXPECT_THROW(codec.EncodeSubmit(SMSMessage(0, std::string(21, '1'), u"x"), 0),
                 pdu::EncodeError);
    EXPECT_THROW(codec.EncodeSubmit(SMSMessage(0, std::string(10000, '7'), u"x"), 0),
                 pdu::EncodeError);
}

}  // namespace
