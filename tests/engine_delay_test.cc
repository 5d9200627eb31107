// Delayed work: a function run on a pool worker after a platform-clock delay,
// cancellable until it starts, ending in exactly one call either way.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "io/DelayedWork.h"
#include "io/ThreadPool.h"
#include "platform/clock.h"
#include "support/LineFixture.h"
#include "support/Probes.h"

namespace {

using qvtest::WaitUntil;
using std::chrono::milliseconds;

class DelayedWorkTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(m_Pool.Start(0), 0); }
    void TearDown() override { m_Pool.Shutdown(); }
    CAThreadPool m_Pool;
};

TEST_F(DelayedWorkTest, RunsOnceOnAWorkerAfterTheDelay) {
    DelayedWork work;
    std::atomic<int> runs{0}, drops{0};
    std::atomic<uint64_t> ranAt{0};
    std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> otherThread{false};
    const uint64_t start = qvclock::NowMs();
    ASSERT_TRUE(work.Schedule(&m_Pool, 80, [&](bool run) {
        (run ? runs : drops)++;
        ranAt = qvclock::NowMs();
        otherThread = std::this_thread::get_id() != caller;
    }));
    EXPECT_TRUE(work.IsPending());
    ASSERT_TRUE(WaitUntil([&] { return runs + drops == 1; }, milliseconds(3000)));
    // A later timer of the same delay has fired and run: a second call
    // would have come before.
    ASSERT_TRUE(qvtest::TimersPassed(&m_Pool, 80));
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(drops, 0);
    EXPECT_GE(ranAt - start, 80u);
    EXPECT_TRUE(otherThread);
    EXPECT_FALSE(work.IsPending());
    EXPECT_FALSE(work.Cancel());
}

TEST_F(DelayedWorkTest, CancelledRunEndsWithOneCallOfFalse) {
    DelayedWork work;
    std::atomic<int> runs{0}, drops{0};
    ASSERT_TRUE(work.Schedule(&m_Pool, 400, [&](bool run) { (run ? runs : drops)++; }));
    EXPECT_TRUE(work.Cancel());
    EXPECT_EQ(drops, 1);
    // A later timer of the same delay has fired and run: the cancelled one
    // would have run before.
    ASSERT_TRUE(qvtest::TimersPassed(&m_Pool, 400));
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(drops, 1);
    EXPECT_FALSE(work.Cancel());
}

TEST_F(DelayedWorkTest, OneRunPendingAtATime) {
    DelayedWork work;
    std::atomic<int> calls{0};
    ASSERT_TRUE(work.Schedule(&m_Pool, 300, [&](bool) { calls++; }));
    EXPECT_FALSE(work.Schedule(&m_Pool, 10, [&](bool) { calls += 100; }));
    EXPECT_TRUE(work.Cancel());
    EXPECT_EQ(calls, 1);
    // After the end another may be scheduled, also from inside the function.
    std::atomic<int> chained{0};
    std::function<void(bool)> again = [&](bool run) {
        if (run && ++chained < 3) work.Schedule(&m_Pool, 5, again);
    };
    ASSERT_TRUE(work.Schedule(&m_Pool, 5, again));
    EXPECT_TRUE(WaitUntil([&] { return chained == 3; }, milliseconds(3000)));
}

TEST_F(DelayedWorkTest, WithoutPoolNothingIsScheduled) {
    DelayedWork work;
    int calls = 0;
    EXPECT_FALSE(work.Schedule(nullptr, 5, [&](bool) { calls++; }));
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(work.IsPending());
}

TEST_F(DelayedWorkTest, CancelRacingTheTimerEndsExactlyOnce) {
    constexpr int kRounds = 300;
    std::vector<std::unique_ptr<DelayedWork>> works;
    std::vector<std::unique_ptr<std::atomic<int>>> calls;
    for (int i = 0; i < kRounds; ++i) {
        works.push_back(std::make_unique<DelayedWork>());
        calls.push_back(std::make_unique<std::atomic<int>>(0));
        std::atomic<int>* count = calls.back().get();
        ASSERT_TRUE(works.back()->Schedule(&m_Pool, i % 3, [count](bool) { (*count)++; }));
        if (i % 2) works.back()->Cancel();
    }
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (auto& c : calls) {
                if (*c != 1) return false;
            }
            return true;
        },
        milliseconds(5000)));
    // Timers due after every one of them have fired and run.
    ASSERT_TRUE(qvtest::TimersPassed(&m_Pool, 3));
    for (auto& c : calls) EXPECT_EQ(*c, 1);
}

TEST_F(DelayedWorkTest, HundredsOfDelaysShareFiveWorkers) {
    constexpr int kWorks = 500;
    std::vector<std::unique_ptr<DelayedWork>> works;
    std::atomic<int> runs{0};
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kWorks; ++i) {
        works.push_back(std::make_unique<DelayedWork>());
        ASSERT_TRUE(works.back()->Schedule(&m_Pool, 200, [&](bool run) { runs += run; }));
    }
    ASSERT_TRUE(WaitUntil([&] { return runs == kWorks; }, milliseconds(10000)));
    // Side by side, not one after the other on the workers.
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(3000));
}

}  // namespace
