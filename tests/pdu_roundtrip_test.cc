// Property: every SMS-SUBMIT part, turned into the SMS-DELIVER a recipient
// would get, decodes back to the sender's number and text, and the parts
// reassemble in order whatever order they arrive in.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "pdu/Gsm7.h"
#include "pdu/PDUCodec.h"

namespace {

unsigned Hex2(const std::string& s, size_t pos) {
    return pdu::HexToInt(s.substr(pos, 2));
}

// SUBMIT -> DELIVER: no service centre, first octet 0x04 plus TP-UDHI, the
// destination as originator, PID and DCS kept, a fixed time stamp, TP-UDL
// and user data copied.
std::string SubmitToDeliver(const std::string& submit) {
    const unsigned first = Hex2(submit, 2);
    const unsigned digits = Hex2(submit, 6);
    const size_t addressChars = digits == 0 ? 2 : 4 + (digits + 1) / 2 * 2;
    const std::string address = submit.substr(6, addressChars);
    const size_t p = 6 + addressChars;
    const std::string pidDcs = submit.substr(p, 4);
    const std::string userData = submit.substr(p + 4);
    char fo[3];
    std::snprintf(fo, sizeof fo, "%02X", 0x04 | (first & 0x40));
    return "00" + std::string(fo) + address + pidDcs + "62107291805000" + userData;
}

// What a recipient reads: characters the alphabet lacks become '?' in 7-bit.
std::u16string Expected(const SMSMessage& m) {
    if (!m.UsesGSM7()) return m.GetRawText();
    std::u16string out;
    for (char16_t c : m.GetRawText()) {
        const bool known = c != 0 && std::find(pdu::GSM7Alphabet, pdu::GSM7Alphabet + 256, c) !=
                                         pdu::GSM7Alphabet + 256;
        out += known ? c : u'?';
    }
    return out;
}

const std::u16string kGsmDefault =
    u"@\u00A3$\u00A5\u00E8\u00E9\u00F9\u00EC\u00F2\u00E7\n\u00D8\u00F8\r\u00C5\u00E5\u0394_"
    u"\u03A6\u0393\u039B\u03A9\u03A0\u03A8\u03A3\u0398\u039E\u00C6\u00E6\u00DF\u00C9 !\"#"
    u"\u00A4%&'()*+,-./0123456789:;<=>?\u00A1ABCDEFGHIJKLMNOPQRSTUVWXYZ\u00C4\u00D6\u00D1"
    u"\u00DC\u00A7\u00BFabcdefghijklmnopqrstuvwxyz\u00E4\u00F6\u00F1\u00FC\u00E0";
const std::u16string kGsmExtension = u"\f^{}\\[~]|\u20AC";
const std::u16string kLatin1 = u"\u00C0\u00C1\u00C2\u00E2\u00EA\u00EE\u00F4\u00FB\u00FF\u00B5";
const std::u16string kCyrillic = u"\u0410\u0411\u0416\u042F\u0430\u0431\u0436\u044F";
const std::u16string kCjk = u"\u4E2D\u6587\u65E5\u672C\u8A9E\uAC00\uD55C";
const std::u16string kEmoji[] = {u"\U0001F600", u"\U0001F44D", u"\U0001F680", u"\U00010348"};

std::u16string RandomText(std::mt19937& rng) {
    // Mostly short, sometimes several parts long.
    const size_t length = rng() % 4 == 0 ? rng() % 1200 : rng() % 200;
    const unsigned mix = rng() % 6;
    std::u16string text;
    while (text.size() < length) {
        unsigned pick = mix == 0 ? 0 : rng() % (mix + 1);
        switch (pick) {
            case 0:
                text += kGsmDefault[rng() % kGsmDefault.size()];
                break;
            case 1:
                text += kGsmExtension[rng() % kGsmExtension.size()];
                break;
            case 2:
                text += kLatin1[rng() % kLatin1.size()];
                break;
            case 3:
                text += kCyrillic[rng() % kCyrillic.size()];
                break;
            case 4:
                text += kCjk[rng() % kCjk.size()];
                break;
            default:
                text += kEmoji[rng() % 4];
                break;
        }
    }
    return text;
}

// Returns the number as sent and as the recipient decodes it.
std::pair<std::string, std::string> RandomNumber(std::mt19937& rng) {
    const size_t digits = 1 + rng() % 20;
    std::string d;
    for (size_t i = 0; i < digits; ++i) d += static_cast<char>('0' + rng() % 10);
    if (rng() % 2 == 0) return {"+" + d, "+" + d};
    return {d, d};
}

}  // namespace

TEST(PduRoundTrip, DeliverHelperMatchesWorkedExample) {
    EXPECT_EQ(SubmitToDeliver("0001000A81103254769800000361F118"),
              "00040A811032547698000062107291805000"
              "0361F118");
}

TEST(PduRoundTrip, RandomTextsAndNumbersComeBack) {
    std::mt19937 rng(20261208);
    for (int round = 0; round < 1500; ++round) {
        const auto [sent, expectedNumber] = RandomNumber(rng);
        const int force7Bit = rng() % 3 == 0 ? 1 : 0;
        const SMSMessage out(force7Bit, sent, RandomText(rng));
        const std::u16string expectedText = Expected(out);
        SCOPED_TRACE("round " + std::to_string(round));

        PDUCodec encoder;
        std::vector<std::string> pdus = encoder.EncodeSubmit(out, rng() % 2);
        ASSERT_EQ(pdus.size(), PDUCodec::CountParts(out));
        std::vector<size_t> order(pdus.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), rng);

        SMSMessage collected;
        bool haveFirst = false;
        for (size_t i : order) {
            SMSMessage part;
            PDUCodec decoder;
            ASSERT_TRUE(decoder.DecodeDeliver(SubmitToDeliver(pdus[i]), part));
            EXPECT_EQ(part.GetNumber(), expectedNumber);
            EXPECT_EQ(part.GetSmscNumber(), "");
            if (pdus.size() == 1) {
                EXPECT_FALSE(part.IsConcatenated());
                collected = part;
                break;
            }
            ASSERT_TRUE(part.IsConcatenated());
            EXPECT_EQ(part.GetPartNumber(), i + 1);
            EXPECT_EQ(part.GetTotalParts(), pdus.size());
            if (!haveFirst) {
                collected = part;
                haveFirst = true;
            } else {
                ASSERT_TRUE(collected.IsSameMessage(part));
                EXPECT_FALSE(collected.IsComplete());
                collected.AddPart(part.GetText(), part.GetPartNumber());
            }
        }
        EXPECT_TRUE(collected.IsComplete());
        ASSERT_EQ(collected.GetText(), expectedText);
    }
}

TEST(PduRoundTrip, DecodeThenEncodeGivesTheSameUserData) {
    // A received 7-bit text sent on again packs to the same octets.
    const std::string deliver = "0491214365040A8110325476980000321050215445400861F1985C369F01";
    SMSMessage in;
    PDUCodec codec;
    ASSERT_TRUE(codec.DecodeDeliver(deliver, in));
    std::vector<std::string> pdus =
        codec.EncodeSubmit(SMSMessage(0, in.GetNumber(), in.GetText()), 0);
    ASSERT_EQ(pdus.size(), 1u);
    EXPECT_EQ(pdus[0],
              "0001000A8110325476980000"
              "0861F1985C369F01");
}
