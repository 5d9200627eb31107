// The SMS message record: encoding choice, part collection and assembly.
#include <gtest/gtest.h>

#include "pdu/SMSMessage.h"

TEST(SMSMessage, ConstructorChoosesEncoding) {
    SMSMessage ascii(0, "123", u"hello");
    EXPECT_FALSE(ascii.HasUnicode());
    EXPECT_TRUE(ascii.IsGSM7());
    EXPECT_TRUE(ascii.UsesGSM7());
    EXPECT_EQ(ascii.MaxCharsPerMessage(), 160);
    EXPECT_EQ(ascii.GetTotalParts(), 1);
    EXPECT_FALSE(ascii.IsConcatenated());
    EXPECT_EQ(ascii.GetNumber(), "123");

    SMSMessage accented(0, "123", u"caf\u00E9");
    EXPECT_TRUE(accented.HasUnicode());
    EXPECT_FALSE(accented.IsGSM7());
    EXPECT_FALSE(accented.UsesGSM7());
    EXPECT_EQ(accented.MaxCharsPerMessage(), 70);

    SMSMessage forced(1, "123", u"caf\u00E9");
    EXPECT_TRUE(forced.HasUnicode());
    EXPECT_TRUE(forced.UsesGSM7());
    EXPECT_EQ(forced.MaxCharsPerMessage(), 160);
}

TEST(SMSMessage, MultipartBoundaries) {
    EXPECT_FALSE(SMSMessage(0, "1", std::u16string(160, u'a')).IsMultipart());
    EXPECT_TRUE(SMSMessage(0, "1", std::u16string(161, u'a')).IsMultipart());
    EXPECT_EQ(SMSMessage(0, "1", std::u16string(160, u'a')).MaxSeptetsPerPart(), 160);
    EXPECT_EQ(SMSMessage(0, "1", std::u16string(161, u'a')).MaxSeptetsPerPart(), 153);
    EXPECT_FALSE(SMSMessage(0, "1", std::u16string(70, u'\u0416')).IsMultipart());
    EXPECT_TRUE(SMSMessage(0, "1", std::u16string(71, u'\u0416')).IsMultipart());
}

TEST(SMSMessage, SevenBitMultipartCountsSeptets) {
    // 159 letters and one '[' are 160 code units but 161 septets.
    std::u16string text(159, u'a');
    text += u'[';
    EXPECT_TRUE(SMSMessage(0, "1", text).IsMultipart());
    text.pop_back();
    text += u'b';
    EXPECT_FALSE(SMSMessage(0, "1", text).IsMultipart());
    // Euro signs with force7Bit: 80 euros are 160 septets, 81 are 162.
    EXPECT_FALSE(SMSMessage(1, "1", std::u16string(80, u'\u20AC')).IsMultipart());
    EXPECT_TRUE(SMSMessage(1, "1", std::u16string(81, u'\u20AC')).IsMultipart());
}

TEST(SMSMessage, PartsAssembleInNumberOrder) {
    SMSMessage m;
    m.SetTotalParts(3);
    m.AddPart(u"three", 3);
    m.AddPart(u"one", 1);
    EXPECT_FALSE(m.IsComplete());
    EXPECT_EQ(m.GetText(), u"onethree");
    m.AddPart(u"two", 2);
    EXPECT_TRUE(m.IsComplete());
    EXPECT_EQ(m.GetText(), u"onetwothree");
}

TEST(SMSMessage, CompleteOnlyWhenEveryPartIsPresent) {
    SMSMessage m;
    EXPECT_TRUE(m.IsComplete());
    m.SetTotalParts(2);
    m.AddPart(u"one", 1);
    m.AddPart(u"stray", 7);  // not a part of a two-part message
    EXPECT_FALSE(m.IsComplete());
    m.AddPart(u"two", 2);
    EXPECT_TRUE(m.IsComplete());
    EXPECT_EQ(m.GetText(), u"onetwo");
}

TEST(SMSMessage, SinglePartIsReturnedWhateverItsNumber) {
    SMSMessage m;
    m.SetTotalParts(4);
    m.AddPart(u"only", 4);
    EXPECT_EQ(m.GetText(), u"only");
}

TEST(SMSMessage, DuplicatePartKeepsEarlierText) {
    SMSMessage m;
    m.SetTotalParts(2);
    m.AddPart(u"first", 1);
    m.AddPart(u"again", 1);
    EXPECT_EQ(m.GetText(), u"first");
    EXPECT_EQ(m.GetParts().size(), 1u);
}

TEST(SMSMessage, AddPartOnlyRaisesUnicodeFlag) {
    SMSMessage m;
    m.AddPart(u"\u00E9", 1);
    EXPECT_TRUE(m.HasUnicode());
    EXPECT_FALSE(m.IsGSM7());
    m.AddPart(u"plain", 2);
    EXPECT_TRUE(m.HasUnicode());
    EXPECT_FALSE(m.IsGSM7());
}

TEST(SMSMessage, SameMessageNeedsConcatenationReferenceAndNumber) {
    SMSMessage a(0, "+49170", u"");
    SMSMessage b(0, "+49170", u"");
    a.SetConcatReference(42);
    b.SetConcatReference(42);
    EXPECT_FALSE(a.IsSameMessage(b));  // a is not concatenated
    a.SetConcatenated();
    EXPECT_TRUE(a.IsSameMessage(b));
    b.SetConcatReference(43);
    EXPECT_FALSE(a.IsSameMessage(b));
    b.SetConcatReference(42);
    b.SetNumber("+49171");
    EXPECT_FALSE(a.IsSameMessage(b));
}

TEST(SMSMessage, StorageIndicesAreAStack) {
    SMSMessage m;
    uint32_t index = 99;
    EXPECT_FALSE(m.PopStorageIndex(index));
    EXPECT_EQ(index, 99u);
    m.AddStorageIndex(3);
    m.AddStorageIndex(0);
    EXPECT_EQ(m.GetStorageIndices(), (std::vector<uint32_t>{3, 0}));
    EXPECT_TRUE(m.PopStorageIndex(index));
    EXPECT_EQ(index, 0u);
    EXPECT_TRUE(m.PopStorageIndex(index));
    EXPECT_EQ(index, 3u);
    EXPECT_TRUE(m.GetStorageIndices().empty());
}

TEST(SMSMessage, CopyKeepsContainers) {
    SMSMessage m(1, "5", u"x");
    m.AddPart(u"p", 1);
    m.AddStorageIndex(4);
    SMSMessage copy = m;
    EXPECT_EQ(copy.GetParts(), m.GetParts());
    EXPECT_EQ(copy.GetStorageIndices(), m.GetStorageIndices());
    EXPECT_EQ(copy.GetForce7Bit(), 1);
}
