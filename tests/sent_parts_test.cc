// Matching delivery reports to the parts a line sent.
#include <gtest/gtest.h>

#include "gsm/SentParts.h"

namespace {

SentParts::Part MakePart(int reference, const char* to, uint32_t part, uint32_t total,
                         uint64_t job) {
    SentParts::Part p;
    p.reference = reference;
    p.recipient = to;
    p.part = part;
    p.total = total;
    p.job = job;
    p.hostData0[0] = static_cast<unsigned char>(job);
    return p;
}

TEST(SentParts, AJobEndsWithTheFinalReportOfItsLastPart) {
    SentParts book;
    const uint64_t job = book.NewJob();
    book.Add(MakePart(10, "+4915550001", 1, 2, job), 0);
    book.Add(MakePart(11, "+4915550001", 2, 2, job), 0);
    // Still tried: matched, not final.
    SentParts::Match m = book.OnReport(11, "+4915550001", false, false, 1);
    EXPECT_TRUE(m.found);
    EXPECT_FALSE(m.jobEnded);
    m = book.OnReport(11, "+4915550001", true, true, 2);
    EXPECT_EQ(m.part.part, 2u);
    EXPECT_FALSE(m.jobEnded);
    m = book.OnReport(10, "+4915550001", true, false, 3);
    EXPECT_TRUE(m.jobEnded);
    EXPECT_FALSE(m.jobDelivered);
    EXPECT_EQ(book.Size(), 0u);
    // A report coming again after the job ended matches nothing.
    EXPECT_FALSE(book.OnReport(10, "+4915550001", true, true, 4).found);
}

TEST(SentParts, RecipientAndReferenceMustBothMatch) {
    SentParts book;
    book.Add(MakePart(5, "015550001", 1, 1, book.NewJob()), 0);
    book.Add(MakePart(5, "+4417000002", 1, 1, book.NewJob()), 0);
    EXPECT_FALSE(book.OnReport(6, "+4915550001", true, true, 1).found);
    // The national form against the international one the report carries.
    SentParts::Match m = book.OnReport(5, "+4915550001", true, true, 1);
    ASSERT_TRUE(m.found);
    EXPECT_EQ(m.part.recipient, "015550001");
    EXPECT_FALSE(SentParts::SameNumber("12345", "912345"));
    EXPECT_TRUE(SentParts::SameNumber("+44 1700 0002", "4417000002"));
}

TEST(SentParts, EntriesExpireAfterSeventyTwoHoursAndTheBookIsBounded) {
    SentParts book;
    book.Add(MakePart(1, "+4915550001", 1, 1, book.NewJob()), 0);
    EXPECT_FALSE(book.OnReport(1, "+4915550001", true, true, SentParts::kKeepMs).found);
    for (size_t i = 0; i < SentParts::kMaxEntries + 10; ++i)
        book.Add(MakePart(static_cast<int>(i % 256), ("+49" + std::to_string(i)).c_str(), 1, 1,
                          book.NewJob()),
                 1);
    EXPECT_EQ(book.Size(), SentParts::kMaxEntries);
}

}  // namespace
