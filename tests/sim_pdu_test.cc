// The simulator's own PDU oracle: SMS-SUBMIT decoding and SMS-DELIVER
// encoding against PDUs worked out by hand from 3GPP TS 23.040.
#include <gtest/gtest.h>

#include "tools/sim/SimPdu.h"

namespace {

using qvsim::DecodeSubmit;
using qvsim::EncodeDeliver;
using qvsim::Incoming;
using qvsim::Submit;

TEST(SimPdu, DecodesASingleSubmit) {
    Submit s;
    std::string error;
    ASSERT_TRUE(DecodeSubmit("0001000A81103254769800000361F118", &s, &error)) << error;
    EXPECT_EQ(s.number, "0123456789");
    EXPECT_EQ(s.utf8, "abc");
    EXPECT_EQ(s.concatReference, -1);
    EXPECT_FALSE(s.statusReport);
    EXPECT_EQ(qvsim::TpduLength("0001000A81103254769800000361F118"), 15);
}

TEST(SimPdu, DecodesValidityPeriodAndInternationalNumbers) {
    Submit s;
    std::string error;
    ASSERT_TRUE(DecodeSubmit("0011000B916407281553F80000AA0AE8329BFD4697D9EC37", &s, &error))
        << error;
    EXPECT_EQ(s.number, "+46708251358");
    EXPECT_EQ(s.utf8, "hellohello");
    EXPECT_EQ(s.validityFormat, 2);
}

TEST(SimPdu, DecodesConcatenationHeaderAndStatusReportRequest) {
    // "Hi" as part 1 of 2, reference 0x42: 7 header septets, then H and i.
    Submit s;
    std::string error;
    ASSERT_TRUE(
        DecodeSubmit("0061000D91945111325476F8000009050003420201"
                     "9069",
                     &s, &error))
        << error;
    EXPECT_EQ(s.number, "+4915112345678");
    EXPECT_EQ(s.utf8, "Hi");
    EXPECT_EQ(s.concatReference, 0x42);
    EXPECT_EQ(s.part, 1);
    EXPECT_EQ(s.total, 2);
    EXPECT_TRUE(s.statusReport);
}

TEST(SimPdu, DecodesUcs2) {
    Submit s;
    std::string error;
    ASSERT_TRUE(DecodeSubmit("0001000D91945111325476F800080400E400DF", &s, &error)) << error;
    EXPECT_EQ(s.text, u"äß");
    EXPECT_EQ(s.utf8, "äß");
}

TEST(SimPdu, RefusesDamagedSubmits) {
    Submit s;
    std::string error;
    EXPECT_FALSE(DecodeSubmit("0001000A81103254769800000361F1", &s, &error));      // short data
    EXPECT_FALSE(DecodeSubmit("0001000A81103254769800000361F11800", &s, &error));  // trailing
    EXPECT_FALSE(DecodeSubmit("0001000A8110325476980000036XF118", &s, &error));    // not hex
    EXPECT_FALSE(DecodeSubmit("0001000A8110325476980000036", &s, &error));         // odd
    EXPECT_FALSE(DecodeSubmit("0000000A81103254769800000361F118", &s, &error));    // a DELIVER
    EXPECT_FALSE(DecodeSubmit("00", &s, &error));
    EXPECT_FALSE(DecodeSubmit("", &s, &error));
    EXPECT_FALSE(error.empty());
}

TEST(SimPdu, EncodesTheTextbookDeliver) {
    Incoming in;
    in.sender = "+31641600986";
    in.text = u"How are you?";
    in.timestamp = "02082619374180";
    EXPECT_EQ(EncodeDeliver(in, "+31624000000", 0),
              std::vector<std::string>{
                  "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07"});
}

TEST(SimPdu, SplitsLongTextsWithAConcatenationHeader) {
    Incoming in;
    in.sender = "+4915112345678";
    in.text = std::u16string(161, u'a');
    auto parts = EncodeDeliver(in, "", 7);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].substr(0, 4), "0044");
    EXPECT_NE(parts[0].find("A0050003070201"), std::string::npos) << parts[0];  // UDL 160
    EXPECT_NE(parts[1].find("0F050003070202"), std::string::npos) << parts[1];  // UDL 15
    in.text = std::u16string(160, u'a');
    EXPECT_EQ(EncodeDeliver(in, "", 7).size(), 1u);
    in.reference16 = true;
    in.text = std::u16string(71, u'Ж');
    parts = EncodeDeliver(in, "", 0x1234);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_NE(parts[0].find("0608041234020104160416"), std::string::npos) << parts[0];
}

TEST(SimPdu, KeepsEscapePairsAndSurrogatePairsWhole) {
    Incoming in;
    in.sender = "+1";
    in.text = std::u16string(152, u'a') + u"€" +
              std::u16string(10, u'b');  // € is 1B 65: septets 153, 154
    auto parts = EncodeDeliver(in, "", 1);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_NE(parts[0].find("0044"), std::string::npos);
    // The first part carries 152 septets after the 7 header septets: UDL 159 = 0x9F.
    EXPECT_NE(parts[0].find("9F050003010201"), std::string::npos) << parts[0];
}

}  // namespace
