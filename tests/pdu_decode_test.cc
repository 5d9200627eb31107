// SMS-DELIVER decoding: worked examples, address forms, data codings, the
// concatenation header, and damaged PDUs.
#include <gtest/gtest.h>

#include <random>

#include "pdu/Gsm7.h"
#include "pdu/PDUCodec.h"

namespace {

const std::string kStamp = "32105021544540";
const std::string kAbc =
    "0491214365"
    "04"
    "0A811032547698"
    "0000" +
    kStamp + "0361F118";

SMSMessage Decode(const std::string& pdu) {
    SMSMessage m;
    PDUCodec codec;
    EXPECT_TRUE(codec.DecodeDeliver(pdu, m));
    return m;
}

// SMSC +123456, given first octet and originator, PID 00, given DCS and user data.
std::string Deliver(const std::string& first, const std::string& oa, const std::string& dcs,
                    const std::string& udlAndUd) {
    return "0491214365" + first + oa + "00" + dcs + kStamp + udlAndUd;
}

}  // namespace

TEST(DecodeDeliver, WorkedExample) {
    ASSERT_EQ(kAbc, "0491214365040A8110325476980000321050215445400361F118");
    SMSMessage m = Decode(kAbc);
    EXPECT_EQ(m.GetSmscNumber(), "+123456");
    EXPECT_EQ(m.GetNumber(), "0123456789");
    EXPECT_FALSE(m.IsConcatenated());
    EXPECT_EQ(m.GetText(), u"abc");
    EXPECT_TRUE(m.GetParts().empty());
}

TEST(DecodeDeliver, ConcatenatedSevenBitPart) {
    SMSMessage m = Decode(Deliver("44", "0A811032547698", "00", "0A0500032A0202C3E231"));
    EXPECT_TRUE(m.IsConcatenated());
    EXPECT_EQ(m.GetConcatReference(), 42);
    EXPECT_EQ(m.GetTotalParts(), 2);
    EXPECT_EQ(m.GetPartNumber(), 2);
    ASSERT_EQ(m.GetParts().size(), 1u);
    EXPECT_EQ(m.GetParts().at(2), u"abc");
    EXPECT_EQ(m.GetText(), u"abc");
}

TEST(DecodeDeliver, ConcatenatedUcs2Part) {
    SMSMessage m = Decode(Deliver("44", "0A811032547698", "08", "0A0500032A020100E90020"));
    EXPECT_EQ(m.GetPartNumber(), 1);
    EXPECT_EQ(m.GetParts().at(1), u"\u00E9 ");
    EXPECT_TRUE(m.HasUnicode());
}

TEST(DecodeDeliver, EmptyServiceCentre) {
    SMSMessage m = Decode("00040A8110325476980000" + kStamp + "0361F118");
    EXPECT_EQ(m.GetSmscNumber(), "");
    EXPECT_EQ(m.GetNumber(), "0123456789");
    EXPECT_EQ(m.GetText(), u"abc");
}

TEST(DecodeDeliver, OddOriginatorDropsFiller) {
    EXPECT_EQ(Decode(Deliver("04", "05812143F5", "00", "0361F118")).GetNumber(), "12345");
    EXPECT_EQ(Decode(Deliver("04", "0B912143658709F1", "00", "0361F118")).GetNumber(),
              "+12345678901");
}

TEST(DecodeDeliver, AlphanumericOriginatorIsText) {
    // "Test" is 28 bits: 7 semi-octets.
    EXPECT_EQ(Decode(Deliver("04", "07D0D4F29C0E", "00", "0361F118")).GetNumber(), "Test");
    // Any alphanumeric type octet (0x50 type of number) and a longer name.
    const std::u16string name = u"Bank{Info}";
    pdu::Septets septets;
    for (char16_t c : name) {
        pdu::Septets s = pdu::CharToSeptets(c);
        septets.insert(septets.end(), s.begin(), s.end());
    }
    const std::string packed = pdu::PackSeptets(septets, false);
    char len[16];
    std::snprintf(len, sizeof len, "%02X", static_cast<unsigned>(septets.size() * 7 + 3) / 4);
    EXPECT_EQ(Decode(Deliver("04", len + std::string("D1") + packed, "00", "0361F118")).GetNumber(),
              "Bank{Info}");
}

TEST(DecodeDeliver, DataCodingChoosesAlphabet) {
    EXPECT_EQ(Decode(Deliver("04", "0A811032547698", "11", "0361F118")).GetText(), u"abc");
    EXPECT_EQ(Decode(Deliver("04", "0A811032547698", "18", "0400E90020")).GetText(), u"\u00E9 ");
    // 8-bit data carries no text.
    SMSMessage eightBit = Decode(Deliver("04", "0A811032547698", "04", "03616263"));
    EXPECT_EQ(eightBit.GetText(), u"");
    EXPECT_EQ(eightBit.GetNumber(), "0123456789");
    EXPECT_EQ(Decode(Deliver("04", "0A811032547698", "F4", "03616263")).GetText(), u"");
}

TEST(DecodeDeliver, ClassAndMessageWaitingCodingsKeepTheirText) {
    // Flash messages (class 0, 0xF0) and the message-waiting groups are 7-bit
    // or UCS2 text all the same.
    EXPECT_EQ(Decode(Deliver("04", "0A811032547698", "F0", "0361F118")).GetText(), u"abc");
    EXPECT_EQ(Decode(Deliver("04", "0A811032547698", "C8", "0361F118")).GetText(), u"abc");
    EXPECT_EQ(Decode(Deliver("04", "0A811032547698", "D0", "0361F118")).GetText(), u"abc");
    EXPECT_EQ(Decode(Deliver("04", "0A811032547698", "E0", "0400E90020")).GetText(), u"\u00E9 ");
    EXPECT_EQ(Decode(Deliver("04", "0A811032547698", "48", "0400E90020")).GetText(), u"\u00E9 ");
}

TEST(DecodeDeliver, SixteenBitReferenceHeader) {
    // Element 08: reference 0x1234, three parts, this is part 2.
    SMSMessage m = Decode(Deliver("44", "0A811032547698", "08", "09060804123403020041"));
    EXPECT_TRUE(m.IsConcatenated());
    EXPECT_EQ(m.GetConcatReference(), 0x34);
    EXPECT_EQ(m.GetTotalParts(), 3);
    EXPECT_EQ(m.GetPartNumber(), 2);
    EXPECT_EQ(m.GetParts().at(2), u"A");
}

TEST(DecodeDeliver, HeaderWithoutConcatenationIsOneMessage) {
    // A port-addressing element only (05 04 ...): the text is the message.
    SMSMessage m = Decode(Deliver("44", "0A811032547698", "08", "090605040B8423F00041"));
    EXPECT_FALSE(m.IsConcatenated());
    EXPECT_EQ(m.GetText(), u"A");
    EXPECT_TRUE(m.GetParts().empty());
    // Part number 0 is not a usable concatenation element either.
    m = Decode(Deliver("44", "0A811032547698", "08", "080500032A02000041"));
    EXPECT_FALSE(m.IsConcatenated());
    EXPECT_EQ(m.GetText(), u"A");
}

TEST(DecodeDeliver, ZeroLengthUserData) {
    EXPECT_EQ(Decode(Deliver("04", "0A811032547698", "00", "00")).GetText(), u"");
    EXPECT_EQ(Decode(Deliver("04", "0A811032547698", "08", "00")).GetText(), u"");
}

TEST(DecodeDeliver, FinalAtSignIsKept) {
    // "abcdefg@": eight septets in seven octets.
    EXPECT_EQ(Decode(Deliver("04", "0A811032547698", "00", "0861F1985C369F01")).GetText(),
              u"abcdefg@");
    EXPECT_EQ(Decode(Deliver("04", "0A811032547698", "00", "0761F1985C369F01")).GetText(),
              u"abcdefg");
}

TEST(DecodeDeliver, OtherMessageTypesSetOnlyTheServiceCentre) {
    SMSMessage m;
    PDUCodec codec;
    EXPECT_FALSE(codec.DecodeDeliver(Deliver("06", "0A811032547698", "00", "0361F118"), m));
    EXPECT_EQ(m.GetSmscNumber(), "+123456");
    EXPECT_EQ(m.GetNumber(), "");
    EXPECT_EQ(m.GetText(), u"");
}

TEST(DecodeDeliver, AcceptsLowerCaseAndLineEnd) {
    std::string lower = kAbc;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(Decode(lower).GetText(), u"abc");
    EXPECT_EQ(Decode(kAbc + "\r\n").GetText(), u"abc");
}

TEST(DecodeHelpers, AddressAndUserDataConsumeTheirHex) {
    std::string hex =
        "0491214365"
        "rest";
    EXPECT_EQ(PDUCodec::DecodeAddress(hex, PDUCodec::ADDRESS_SMSC), "+123456");
    EXPECT_EQ(hex, "rest");
    hex = "00rest";
    EXPECT_EQ(PDUCodec::DecodeAddress(hex, PDUCodec::ADDRESS_ORIGINATOR), "");
    EXPECT_EQ(hex, "rest");
    hex =
        "0361F118"
        "AB";
    EXPECT_EQ(PDUCodec::DecodeGSM7UserData(hex, 0), u"abc");
    EXPECT_EQ(hex, "AB");
    hex = "0400E90020";
    EXPECT_EQ(PDUCodec::DecodeUCS2UserData(hex, 0), u"\u00E9 ");
    EXPECT_EQ(hex, "");
    hex = "0A0500032A020100E90020";
    EXPECT_EQ(PDUCodec::DecodeUCS2UserData(hex, 6), u"\u00E9 ");
}

TEST(DecodeHelpers, HeaderLengthInSeptetsOrOctets) {
    SMSMessage m;
    EXPECT_EQ(PDUCodec::UserDataHeaderLength("0A0500032A0202C3E231", m, true), 0u);
    m.SetConcatenated();
    EXPECT_EQ(PDUCodec::UserDataHeaderLength("0A0500032A0202C3E231", m, true), 7u);
    EXPECT_EQ(m.GetConcatReference(), 42);
    EXPECT_EQ(PDUCodec::UserDataHeaderLength("0A0500032A020100E90020", m, false), 6u);
    EXPECT_EQ(m.GetPartNumber(), 1);
}

TEST(DecodeDamaged, EveryTruncationThrows) {
    const std::string pdus[] = {
        kAbc,
        Deliver("44", "0A811032547698", "00", "0A0500032A0202C3E231"),
        Deliver("44", "0A811032547698", "08", "0A0500032A020100E90020"),
        Deliver("04", "07D0D4F29C0E", "00", "0861F1985C369F01"),
    };
    for (const auto& full : pdus) {
        ASSERT_NO_THROW(Decode(full));
        for (size_t len = 0; len < full.size(); ++len) {
            SMSMessage m;
            PDUCodec codec;
            EXPECT_THROW(codec.DecodeDeliver(full.substr(0, len), m), pdu::DecodeError)
                << full << " cut at " << len;
        }
    }
}

TEST(DecodeDamaged, JunkCharactersThrow) {
    for (size_t i = 0; i < kAbc.size(); ++i) {
        for (char junk : {'G', 'x', ' ', '\0', '\xC3'}) {
            std::string bad = kAbc;
            bad[i] = junk;
            SMSMessage m;
            PDUCodec codec;
            EXPECT_THROW(codec.DecodeDeliver(bad, m), pdu::DecodeError) << i << " " << int(junk);
        }
    }
    SMSMessage m;
    PDUCodec codec;
    EXPECT_THROW(codec.DecodeDeliver(kAbc + "0", m), pdu::DecodeError);
    EXPECT_THROW(codec.DecodeDeliver("", m), pdu::DecodeError);
    EXPECT_THROW(codec.DecodeDeliver("\r\n", m), pdu::DecodeError);
}

TEST(DecodeDamaged, LengthFieldsPointingPastTheEndThrow) {
    SMSMessage m;
    PDUCodec codec;
    // Service centre, originator, user data and header lengths inflated.
    EXPECT_THROW(codec.DecodeDeliver("FF" + kAbc.substr(2), m), pdu::DecodeError);
    EXPECT_THROW(codec.DecodeDeliver(Deliver("04", "FF811032547698", "00", "0361F118"), m),
                 pdu::DecodeError);
    EXPECT_THROW(codec.DecodeDeliver(Deliver("04", "0A811032547698", "00", "A061F118"), m),
                 pdu::DecodeError);
    EXPECT_THROW(codec.DecodeDeliver(Deliver("04", "0A811032547698", "08", "FF00E90020"), m),
                 pdu::DecodeError);
    EXPECT_THROW(
        codec.DecodeDeliver(Deliver("44", "0A811032547698", "00", "0AFF00032A0202C3E231"), m),
        pdu::DecodeError);
    // A header element longer than the header.
    EXPECT_THROW(
        codec.DecodeDeliver(Deliver("44", "0A811032547698", "08", "0A0500092A020100E90020"), m),
        pdu::DecodeError);
    // A header longer than TP-UDL says the user data is.
    EXPECT_THROW(
        codec.DecodeDeliver(Deliver("44", "0A811032547698", "08", "030500032A020100E90020"), m),
        pdu::DecodeError);
}

TEST(DecodeDamaged, RandomMutationsDecodeOrThrow) {
    const std::string seeds[] = {
        kAbc,
        Deliver("44", "0A811032547698", "00", "0A0500032A0202C3E231"),
        Deliver("44", "0A811032547698", "08", "0A0500032A020100E90020"),
        Deliver("44", "07D0D4F29C0E", "08", "09060804123403020041"),
    };
    const char digits[] = "0123456789ABCDEF";
    std::mt19937 rng(1234);
    size_t thrown = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string pdu = seeds[rng() % 4];
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) pdu[rng() % pdu.size()] = digits[rng() % 16];
        if (rng() % 4 == 0) pdu.resize(rng() % pdu.size());
        SMSMessage m;
        PDUCodec codec;
        try {
            codec.DecodeDeliver(pdu, m);
            (void)m.GetText();
        } catch (const pdu::DecodeError&) {
            ++thrown;
        }
    }
    EXPECT_GT(thrown, 0u);
}
