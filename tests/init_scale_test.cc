// Many lines initialising side by side in one process on the default pool:
// waits between commands must not hold workers.
#include <gtest/gtest.h>

#include <chrono>

#include "support/LineFixture.h"

namespace {

using std::chrono::milliseconds;

class InitScaleTest : public qvtest::LineTest {};

TEST_F(InitScaleTest, TwoHundredLinesAllSucceed) {
    constexpr int kLines = 200;
    std::vector<qvtest::Line*> lines;
    for (int i = 0; i < kLines; ++i) {
        GSMLineConfig config = qvtest::DefaultConfig(qvtest::NextComNumber());
        config.CanRecv = i % 2;
        qvtest::Line* line = AddLine(config);
        if (!line) GTEST_SKIP() << "only " << i << " pseudo-terminals available";
        lines.push_back(line);
    }
    for (qvtest::Line* line : lines) line->StartInit();
    int ok = 0;
    for (qvtest::Line* line : lines) {
        EXPECT_TRUE(line->WaitForInitEnd(milliseconds(120000)));
        ok += line->CountEvents(DEV_INIT_OK) == 1 && line->CountEvents(DEV_INIT_RETRY) == 0;
    }
    EXPECT_EQ(ok, kLines);
    EXPECT_LE(m_Pool.GetThreadCount(), 2 * m_Pool.GetProcessorCount() + 1);
}

}  // namespace
