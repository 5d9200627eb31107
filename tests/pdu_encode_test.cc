// SMS-SUBMIT encoding and splitting into concatenated parts.
#include <gtest/gtest.h>

#include <set>

#include "pdu/Gsm7.h"
#include "pdu/PDUCodec.h"

namespace {

// The fields of an SMS-SUBMIT PDU as the encoder lays them out.
struct Submit {
    unsigned firstOctet = 0;
    unsigned mr = 0;
    std::string address;
    unsigned dcs = 0;
    unsigned udl = 0;
    std::string ud;
};

unsigned Hex2(const std::string& s, size_t pos) {
    return pdu::HexToInt(s.substr(pos, 2));
}

Submit Parse(const std::string& pdu) {
    Submit s;
    EXPECT_EQ(pdu.substr(0, 2), "00");
    s.firstOctet = Hex2(pdu, 2);
    s.mr = Hex2(pdu, 4);
    const unsigned digits = Hex2(pdu, 6);
    const size_t addressChars = digits == 0 ? 2 : 4 + (digits + 1) / 2 * 2;
    s.address = pdu.substr(6, addressChars);
    size_t p = 6 + addressChars;
    EXPECT_EQ(pdu.substr(p, 2), "00");  // TP-PID
    s.dcs = Hex2(pdu, p + 2);
    s.udl = Hex2(pdu, p + 4);
    s.ud = pdu.substr(p + 6);
    return s;
}

std::vector<std::string> Encode(const std::u16string& text, int force7Bit = 0, int status = 0,
                                const std::string& number = "0123456789") {
    PDUCodec codec;
    return codec.EncodeSubmit(SMSMessage(force7Bit, number, text), status);
}

}  // namespace

TEST(EncodeSubmit, WorkedExampleSevenBit) {
    PDUCodec codec;
    std::vector<std::string> pdus = codec.EncodeSubmit(SMSMessage(0, "0123456789", u"abc"), 0);
    ASSERT_EQ(pdus.size(), 1u);
    EXPECT_EQ(pdus[0], "0001000A81103254769800000361F118");
    EXPECT_EQ(codec.GetPDUs(), pdus);
    EXPECT_EQ(codec.GetLengths(), std::vector<int32_t>{15});
}

TEST(EncodeSubmit, StatusReportSetsFirstOctet21) {
    EXPECT_EQ(Encode(u"abc", 0, 1)[0], "0021000A81103254769800000361F118");
}

TEST(EncodeSubmit, AccentedLetterGoesAsUcs2) {
    PDUCodec codec;
    std::vector<std::string> pdus = codec.EncodeSubmit(SMSMessage(0, "0123456789", u"\u00E9"), 0);
    ASSERT_EQ(pdus.size(), 1u);
    EXPECT_EQ(pdus[0],
              "0001000A811032547698000802"
              "00E9");
    EXPECT_EQ(codec.GetLengths(), std::vector<int32_t>{14});
}

TEST(EncodeSubmit, EmptyTextHasNoUserData) {
    PDUCodec codec;
    std::vector<std::string> pdus = codec.EncodeSubmit(SMSMessage(0, "0123456789", u""), 0);
    ASSERT_EQ(pdus.size(), 1u);
    EXPECT_EQ(pdus[0],
              "0001000A81103254769800"
              "00"
              "00");
    EXPECT_EQ(codec.GetLengths(), std::vector<int32_t>{12});
}

TEST(EncodeSubmit, UserDataLengthCountsSeptetsNotHex) {
    // The final '@' is septet 0 in the top bits of the last octet: only the
    // septet count tells it from padding.
    Submit s = Parse(Encode(u"abcdefg@")[0]);
    EXPECT_EQ(s.udl, 8u);
    EXPECT_EQ(s.ud, "61F1985C369F01");
    EXPECT_EQ(Parse(Encode(u"abcdefg")[0]).udl, 7u);
    EXPECT_EQ(Parse(Encode(u"@")[0]).udl, 1u);
    EXPECT_EQ(Parse(Encode(u"@@@@@@@@")[0]).udl, 8u);
}

TEST(EncodeSubmit, HundredSixtyGsmCharactersFitOnePart) {
    std::vector<std::string> pdus = Encode(std::u16string(160, u'x'));
    ASSERT_EQ(pdus.size(), 1u);
    Submit s = Parse(pdus[0]);
    EXPECT_EQ(s.firstOctet, 0x01u);
    EXPECT_EQ(s.udl, 160u);
    EXPECT_EQ(s.ud.size(), 140u * 2);
}

TEST(EncodeSubmit, HundredSixtyOneCharactersMakeTwoLinkedParts) {
    std::vector<std::string> pdus = Encode(std::u16string(161, u'x'), 0, 1);
    ASSERT_EQ(pdus.size(), 2u);
    Submit a = Parse(pdus[0]);
    Submit b = Parse(pdus[1]);
    EXPECT_EQ(a.firstOctet, 0x61u);
    EXPECT_EQ(b.firstOctet, 0x61u);
    EXPECT_EQ(a.mr, 1u);
    EXPECT_EQ(b.mr, 2u);
    EXPECT_EQ(a.udl, 7u + 153);
    EXPECT_EQ(b.udl, 7u + 8);
    EXPECT_EQ(a.ud.substr(0, 6), "050003");
    EXPECT_EQ(a.ud.substr(8, 4), "0201");
    EXPECT_EQ(b.ud.substr(8, 4), "0202");
    EXPECT_EQ(a.ud.substr(6, 2), b.ud.substr(6, 2));  // shared reference
    EXPECT_NE(a.ud.substr(6, 2), "00");
}

TEST(EncodeSubmit, SeptetsNotCodeUnitsDecideMultipart) {
    std::u16string text(160, u'x');
    text += u'[';  // 161 code units, 162 septets
    std::vector<std::string> pdus = Encode(text);
    ASSERT_EQ(pdus.size(), 2u);
    EXPECT_EQ(Parse(pdus[0]).firstOctet, 0x41u);
    EXPECT_EQ(Parse(pdus[1]).firstOctet, 0x41u);

    // 159 letters and '[' are 160 code units but 161 septets.
    text = std::u16string(159, u'x') + u'[';
    pdus = Encode(text);
    ASSERT_EQ(pdus.size(), 2u);
    EXPECT_EQ(Parse(pdus[0]).firstOctet, 0x41u);
    EXPECT_EQ(Parse(pdus[0]).udl, 7u + 153);
    EXPECT_EQ(Parse(pdus[1]).udl, 7u + 8);

    // 160 code units of which one is a euro sign, force7Bit.
    text = std::u16string(159, u'y') + u'\u20AC';
    pdus = Encode(text, 1);
    ASSERT_EQ(pdus.size(), 2u);
    for (const auto& p : pdus) {
        EXPECT_EQ(Parse(p).firstOctet, 0x41u);
        EXPECT_EQ(Parse(p).ud.substr(0, 6), "050003");
    }
}

TEST(EncodeSubmit, EscapePairIsNotSplitAcrossParts) {
    std::u16string text = std::u16string(152, u'a') + u'\u20AC' + std::u16string(10, u'b');
    std::vector<std::string> pdus = Encode(text, 1);
    ASSERT_EQ(pdus.size(), 2u);
    EXPECT_EQ(Parse(pdus[0]).udl, 7u + 152);
    EXPECT_EQ(Parse(pdus[1]).udl, 7u + 12);
}

TEST(EncodeSubmit, Ucs2PartSizes) {
    std::vector<std::string> pdus = Encode(std::u16string(70, u'\u0416'));
    ASSERT_EQ(pdus.size(), 1u);
    EXPECT_EQ(Parse(pdus[0]).udl, 0x8Cu);
    EXPECT_EQ(Parse(pdus[0]).dcs, 0x08u);

    pdus = Encode(std::u16string(71, u'\u0416'));
    ASSERT_EQ(pdus.size(), 2u);
    EXPECT_EQ(Parse(pdus[0]).udl, 0x86u);
    EXPECT_EQ(Parse(pdus[1]).udl, 0x14u);
    EXPECT_EQ(Parse(pdus[0]).firstOctet, 0x41u);
    EXPECT_EQ(Parse(pdus[1]).ud.substr(8, 4), "0202");
}

TEST(EncodeSubmit, Ucs2PartDoesNotEndInAHighSurrogate) {
    std::u16string text = std::u16string(63, u'\u0416') + u"\U0001F600" + u"0123456789";
    std::vector<std::string> pdus = Encode(text);
    ASSERT_EQ(pdus.size(), 2u);
    EXPECT_EQ(Parse(pdus[0]).udl, 6u + 63 * 2);
    EXPECT_EQ(Parse(pdus[1]).udl, 6u + 12 * 2);
    EXPECT_EQ(Parse(pdus[1]).ud.substr(12, 8), "D83DDE00");
}

TEST(EncodeSubmit, ForceSevenBitSendsUnknownCharactersAsQuestionMarks) {
    Submit s = Parse(Encode(u"\u041F\u0440\u0438", 1)[0]);
    EXPECT_EQ(s.dcs, 0x00u);
    EXPECT_EQ(s.udl, 3u);
    pdu::Septets q = {0x3F, 0x3F, 0x3F};
    EXPECT_EQ(s.ud, pdu::PackSeptets(q, false));
}

TEST(EncodeSubmit, LengthsMatchEachPdu) {
    PDUCodec codec;
    codec.EncodeSubmit(SMSMessage(0, "+4917012345678", std::u16string(500, u'z')), 0);
    ASSERT_EQ(codec.GetPDUs().size(), 4u);
    ASSERT_EQ(codec.GetLengths().size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(codec.GetLengths()[i], static_cast<int32_t>(codec.GetPDUs()[i].size() / 2 - 1));
    }
    // A second call replaces both lists.
    codec.EncodeSubmit(SMSMessage(0, "1", u"x"), 0);
    EXPECT_EQ(codec.GetPDUs().size(), 1u);
    EXPECT_EQ(codec.GetLengths().size(), 1u);
}

TEST(EncodeSubmit, ReferencesStayInRange) {
    std::set<std::string> seen;
    for (int i = 0; i < 600; ++i) {
        std::string ref = Parse(Encode(std::u16string(200, u'r'))[0]).ud.substr(6, 2);
        EXPECT_NE(ref, "00");
        seen.insert(ref);
    }
    EXPECT_GT(seen.size(), 100u);
}

TEST(EncodeSubmit, MoreThan255PartsIsRefused) {
    const std::u16string max(255 * 153, u'a');
    EXPECT_EQ(PDUCodec::CountParts(SMSMessage(0, "1", max)), 255u);
    EXPECT_EQ(Encode(max).size(), 255u);
    const SMSMessage tooLong(0, "1", max + u'a');
    EXPECT_EQ(PDUCodec::CountParts(tooLong), 256u);
    PDUCodec codec;
    EXPECT_THROW(codec.EncodeSubmit(tooLong, 0), pdu::EncodeError);

    const SMSMessage ucs2(0, "1", std::u16string(255 * 64 + 1, u'\u0416'));
    EXPECT_EQ(PDUCodec::CountParts(ucs2), 256u);
    EXPECT_THROW(codec.EncodeSubmit(ucs2, 0), pdu::EncodeError);
}

TEST(EncodeSubmit, CountPartsMatchesEncoding) {
    const std::u16string samples[] = {u"",
                                      u"short",
                                      std::u16string(160, u'a'),
                                      std::u16string(159, u'a') + u'{',
                                      std::u16string(1000, u'\u20AC'),
                                      std::u16string(71, u'\u0416'),
                                      std::u16string(300, u'\u4E2D')};
    for (const auto& text : samples) {
        for (int force = 0; force < 2; ++force) {
            SMSMessage m(force, "1", text);
            EXPECT_EQ(PDUCodec::CountParts(m), Encode(text, force).size());
        }
    }
}

TEST(EncodeAddress, NationalInternationalAndEmpty) {
    EXPECT_EQ(PDUCodec::EncodeAddress("+12345678901"), "0B912143658709F1");
    EXPECT_EQ(PDUCodec::EncodeAddress("0049 170"), "0781009471F0");
    EXPECT_EQ(PDUCodec::EncodeAddress("0123456789"), "0A811032547698");
    EXPECT_EQ(PDUCodec::EncodeAddress("  +(49) 170-1"), "0691947110");
    EXPECT_EQ(PDUCodec::EncodeAddress(""), "00");
    EXPECT_EQ(PDUCodec::EncodeAddress("+"), "00");
    EXPECT_EQ(Encode(u"a", 0, 0, "abc")[0], "0001000000000161");
}
