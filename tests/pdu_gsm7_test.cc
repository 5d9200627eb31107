// GSM 7-bit alphabet, septet packing, splitting, hex and UCS2 helpers.
#include <gtest/gtest.h>

#include <random>

#include "pdu/Gsm7.h"

using namespace pdu;

namespace {

std::string PackText(const std::u16string& text, bool header) {
    Septets all;
    for (char16_t c : text) {
        Septets s = CharToSeptets(c);
        all.insert(all.end(), s.begin(), s.end());
    }
    return PackSeptets(all, header);
}

std::vector<uint8_t> HexOctets(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(HexToInt(hex.substr(i, 2))));
    }
    return out;
}

}  // namespace

TEST(Gsm7Alphabet, HoldsTheDefaultAndExtensionTables) {
    EXPECT_EQ(GSM7Alphabet[0x00], u'@');
    EXPECT_EQ(GSM7Alphabet[0x09], u'\u00E7');
    EXPECT_EQ(GSM7Alphabet[0x0A], u'\n');
    EXPECT_EQ(GSM7Alphabet[0x0D], u'\r');
    EXPECT_EQ(GSM7Alphabet[0x1B], 0);
    EXPECT_EQ(GSM7Alphabet[0x24], u'\u00A4');
    EXPECT_EQ(GSM7Alphabet[0x40], u'\u00A1');
    EXPECT_EQ(GSM7Alphabet[0x60], u'\u00BF');
    EXPECT_EQ(GSM7Alphabet[0x7F], u'\u00E0');
    EXPECT_EQ(GSM7Alphabet[128 + 0x0A], u'\f');
    EXPECT_EQ(GSM7Alphabet[128 + 0x14], u'^');
    EXPECT_EQ(GSM7Alphabet[128 + 0x1B], 0);
    EXPECT_EQ(GSM7Alphabet[128 + 0x28], u'{');
    EXPECT_EQ(GSM7Alphabet[128 + 0x29], u'}');
    EXPECT_EQ(GSM7Alphabet[128 + 0x2F], u'\\');
    EXPECT_EQ(GSM7Alphabet[128 + 0x3C], u'[');
    EXPECT_EQ(GSM7Alphabet[128 + 0x3D], u'~');
    EXPECT_EQ(GSM7Alphabet[128 + 0x3E], u']');
    EXPECT_EQ(GSM7Alphabet[128 + 0x40], u'|');
    EXPECT_EQ(GSM7Alphabet[128 + 0x65], u'\u20AC');
    EXPECT_EQ(GSM7Alphabet[128 + 0x41], u' ');
}

TEST(Gsm7CharToSeptets, MapsDefaultExtensionAndUnknownCharacters) {
    EXPECT_EQ(CharToSeptets(u'\u20AC'), (Septets{0x1B, 0x65}));
    EXPECT_EQ(CharToSeptets(u'{'), (Septets{0x1B, 0x28}));
    EXPECT_EQ(CharToSeptets(u'`'), (Septets{0x3F}));
    EXPECT_EQ(CharToSeptets(u'\u4E2D'), (Septets{0x3F}));
    EXPECT_EQ(CharToSeptets(u' '), (Septets{0x20}));
    EXPECT_EQ(CharToSeptets(u'@'), (Septets{0x00}));
    EXPECT_EQ(CharToSeptets(u'\u00C7'), (Septets{0x3F}));
    EXPECT_EQ(CharToSeptets(u'\u03A3'), (Septets{0x18}));
}

TEST(Gsm7CharToSeptets, NulIsUnknownNotALoneEscape) {
    EXPECT_EQ(CharToSeptets(u'\0'), (Septets{0x3F}));
}

TEST(Gsm7CharToSeptets, EveryTableEntryMapsBack) {
    for (unsigned i = 0; i < 256; ++i) {
        if ((i & 0x7F) == 0x1B || (i >= 128 && GSM7Alphabet[i] == u' ')) continue;
        Septets s = CharToSeptets(GSM7Alphabet[i]);
        std::u16string back = SeptetsToText(s.data(), s.size());
        EXPECT_EQ(back, std::u16string(1, GSM7Alphabet[i])) << "index " << i;
        EXPECT_EQ(s.size(), i < 128 ? 1u : 2u) << "index " << i;
    }
}

TEST(Gsm7SeptetsToText, HandlesEscapesAndBytesAbove7F) {
    const uint8_t euro[] = {0x1B, 0x65};
    EXPECT_EQ(SeptetsToText(euro, 2), u"\u20AC");
    const uint8_t undefined[] = {0x1B, 0x41};
    EXPECT_EQ(SeptetsToText(undefined, 2), u" ");
    const uint8_t high[] = {0x61, 0x80, 0x62};
    EXPECT_EQ(SeptetsToText(high, 3), u"ab");
    const uint8_t doubleEscape[] = {0x1B, 0x1B, 0x65, 0x61};
    EXPECT_EQ(SeptetsToText(doubleEscape, 4), u" a");
    const uint8_t trailingEscape[] = {0x61, 0x1B};
    EXPECT_EQ(SeptetsToText(trailingEscape, 2), u"a");
}

TEST(Gsm7Split, KeepsEscapePairsTogether) {
    std::u16string text(152, u'a');
    text += u'\u20AC';
    text += u'b';
    std::vector<Septets> pieces = SplitGSM7(text, 153);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].size(), 152u);
    EXPECT_EQ(pieces[1], (Septets{0x1B, 0x65, 0x62}));
    EXPECT_EQ(CountGSM7Pieces(text, 153), 2u);
    EXPECT_EQ(CountSeptets(text), 155u);
}

TEST(Gsm7Split, EmptyTextGivesNoPiece) {
    EXPECT_TRUE(SplitGSM7(u"", 160).empty());
    EXPECT_EQ(CountGSM7Pieces(u"", 160), 0u);
    EXPECT_EQ(CountSeptets(u""), 0u);
}

TEST(Gsm7Split, CountMatchesSplitForRandomTexts) {
    std::mt19937 rng(7);
    const std::u16string pool = u"abc \u20AC{}[]~^|\\\u00E9\u4E2D";
    for (int round = 0; round < 200; ++round) {
        std::u16string text;
        size_t len = rng() % 700;
        for (size_t i = 0; i < len; ++i) text += pool[rng() % pool.size()];
        size_t max = 1 + rng() % 200;
        std::vector<Septets> pieces = SplitGSM7(text, max);
        EXPECT_EQ(CountGSM7Pieces(text, max), pieces.size());
        size_t total = 0;
        for (const auto& p : pieces) {
            EXPECT_LE(p.size(), std::max<size_t>(max, 2));
            EXPECT_NE(p.back(), 0x1B);
            total += p.size();
        }
        EXPECT_EQ(total, CountSeptets(text));
    }
}

TEST(Gsm7Pack, PacksInStandardOrder) {
    EXPECT_EQ(PackText(u"abc", false), "61F118");
    EXPECT_EQ(PackText(u"abcdefg", false), "61F1985C369F01");
    EXPECT_EQ(PackText(u"abcdefgh", false), "61F1985C369FD1");
    EXPECT_EQ(PackText(u"", false), "");
}

TEST(Gsm7Pack, HeaderPrecedesShiftsByOneFillBit) {
    EXPECT_EQ(PackText(u"a", true), "C3");
    EXPECT_EQ(PackText(u"ab", true), "C362");
}

TEST(Gsm7Unpack, ReversesPackingWithAndWithoutSkip) {
    Septets s = UnpackSeptets(HexOctets("61F1985C369FD1"), 8, 0);
    EXPECT_EQ(SeptetsToText(s.data(), s.size()), u"abcdefgh");
    s = UnpackSeptets(HexOctets("61F1985C369FD1"), 8, 3);
    EXPECT_EQ(SeptetsToText(s.data(), s.size()), u"defgh");
    // Header of six octets, a fill bit, then "abc".
    s = UnpackSeptets(HexOctets("0500032A0202C3E231"), 10, 7);
    EXPECT_EQ(SeptetsToText(s.data(), s.size()), u"abc");
    // Octets beyond the data read as zero.
    s = UnpackSeptets(HexOctets("61"), 3, 0);
    EXPECT_EQ(s, (Septets{0x61, 0x00, 0x00}));
    EXPECT_TRUE(UnpackSeptets(HexOctets("61"), 1, 1).empty());
}

TEST(Gsm7Unpack, RoundTripsEveryLength) {
    for (size_t n = 1; n < 200; ++n) {
        Septets in(n);
        for (size_t i = 0; i < n; ++i) in[i] = static_cast<uint8_t>((i * 37 + n) & 0x7F);
        EXPECT_EQ(UnpackSeptets(HexOctets(PackSeptets(in, false)), n, 0), in) << n;
        Septets withHeader =
            UnpackSeptets(HexOctets("050003010101" + PackSeptets(in, true)), n + 7, 7);
        EXPECT_EQ(withHeader, in) << n;
    }
}

TEST(Ucs2, EncodesFourDigitsPerCodeUnit) {
    EXPECT_EQ(EncodeUCS2(u"\u00E9 "), "00E90020");
    EXPECT_EQ(EncodeUCS2(u"\U0001F600"), "D83DDE00");
    EXPECT_EQ(EncodeUCS2(u""), "");
}

TEST(Ucs2Split, CutsByCodeUnits) {
    EXPECT_EQ(SplitUCS2(u"", 70), std::vector<std::string>{""});
    EXPECT_EQ(CountUCS2Pieces(u"", 70), 1u);
    std::u16string seventy(70, u'\u0416');
    EXPECT_EQ(SplitUCS2(seventy, 70).size(), 1u);
    std::vector<std::string> pieces = SplitUCS2(seventy + u'x', 64);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].size(), 64u * 4);
    EXPECT_EQ(pieces[1], EncodeUCS2(std::u16string(6, u'\u0416') + u'x'));
}

TEST(Ucs2Split, NeverCutsASurrogatePair) {
    std::u16string text(63, u'a');
    text += u"\U0001F600";  // units 64 and 65
    text += u"b";
    std::vector<std::string> pieces = SplitUCS2(text, 64);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0], EncodeUCS2(std::u16string(63, u'a')));
    EXPECT_EQ(pieces[1], "D83DDE000062");
    EXPECT_EQ(CountUCS2Pieces(text, 64), 2u);
}

TEST(Hex, HexToIntReadsUpperCaseDigits) {
    EXPECT_EQ(HexToInt("1A"), 26u);
    EXPECT_EQ(HexToInt("1a"), 1u);
    EXPECT_EQ(HexToInt(""), 0u);
    EXPECT_EQ(HexToInt("0X1F"), 31u);
    EXPECT_EQ(HexToInt("G1"), 0u);
    EXPECT_EQ(HexToInt("FFFF"), 0xFFFFu);
}

TEST(Hex, ReadOctetConsumesTwoDigits) {
    std::string hex = "07";
    EXPECT_EQ(ReadOctet(hex), 7);
    EXPECT_TRUE(hex.empty());
    EXPECT_EQ(ReadOctet(hex), 0);
    hex = "FF10";
    EXPECT_EQ(ReadOctet(hex), 255);
    EXPECT_EQ(hex, "10");
}
