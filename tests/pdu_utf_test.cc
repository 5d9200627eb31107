// UTF-8 <-> UTF-16 conversion used by the command-line tools.
#include <gtest/gtest.h>

#include "pdu/Utf.h"

using pdu::Utf16ToUtf8;
using pdu::Utf8ToUtf16;

TEST(Utf, ConvertsEveryEncodedLength) {
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
    const std::u16string utf16 = u"a\u00E9\u20AC\U0001F600";
    EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
    EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
    EXPECT_EQ(Utf8ToUtf16(""), u"");
    EXPECT_EQ(Utf16ToUtf8(u""), "");
}

TEST(Utf, InvalidUtf8BecomesReplacementCharacter) {
    EXPECT_EQ(Utf8ToUtf16("a\x80z"), u"a\uFFFDz");          // lone continuation
    EXPECT_EQ(Utf8ToUtf16("a\xE2\x82"), u"a\uFFFD");        // cut short at the end
    EXPECT_EQ(Utf8ToUtf16("\xE2\x82z"), u"\uFFFDz");        // cut short mid-text
    EXPECT_EQ(Utf8ToUtf16("\xC0\x80"), u"\uFFFD\uFFFD");    // overlong
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD");      // encoded surrogate
    EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD");  // above U+10FFFF
    EXPECT_EQ(Utf8ToUtf16("\xFF"), u"\uFFFD");
}

TEST(Utf, LoneSurrogatesBecomeReplacementCharacter) {
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD83D))), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xDE00), u'a'}),
              "\xEF\xBF\xBD"
              "a");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xD83D), u'a'}),
              "\xEF\xBF\xBD"
              "a");
}

TEST(Utf, RoundTripsAllScalarValuesSampled) {
    for (char32_t cp = 1; cp < 0x110000; cp += (cp < 0x3000 ? 1 : 97)) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        std::u16string one;
        if (cp < 0x10000) {
            one.push_back(static_cast<char16_t>(cp));
        } else {
            one.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            one.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        }
        ASSERT_EQ(Utf8ToUtf16(Utf16ToUtf8(one)), one) << static_cast<unsigned>(cp);
    }
}
