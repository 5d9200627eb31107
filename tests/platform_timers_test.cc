// Timer queue: one-shot on the platform clock, deletion, ordering.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/win32.h"
#include "support/WaitUntil.h"

namespace {

struct Fired {
    std::atomic<int> count{0};
    std::atomic<uint64_t> at{0};
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~Fired() { CloseHandle(event); }
};

void CALLBACK OnFire(PVOID p, BOOLEAN) {
    auto* f = static_cast<Fired*>(p);
    f->at = qvclock::NowMs();
    f->count++;
    SetEvent(f->event);
}

TEST(PlatformTimers, FiresOnceOnTimeOnTheScaledClock) {
    qvclock::SetScale(1000);
    Fired f;
    HANDLE timer = nullptr;
    uint64_t start = qvclock::NowMs();
    auto realStart = std::chrono::steady_clock::now();
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, nullptr, OnFire, &f, 60000, 0, 0));
    ASSERT_NE(timer, nullptr);
    ASSERT_EQ(WaitForSingleObject(f.event, 600000), WAIT_OBJECT_0);
    EXPECT_GE(f.at - start, 60000u);
    EXPECT_LT(f.at - start, 60000u + 300000u);  // well under a third of a real second late
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(5));
    Sleep(100000);
    EXPECT_EQ(f.count.load(), 1);
    EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE));
}

TEST(PlatformTimers, DeletedBeforeItsTimeNeverFires) {
    Fired f;
    HANDLE timer = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, nullptr, OnFire, &f, 50, 0, 0));
    EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE));
    Sleep(150);
    EXPECT_EQ(f.count.load(), 0);
}

struct Order {
    std::mutex mu;
    std::vector<int> fired;
};
struct OrderArg {
    Order* order;
    int index;
};

void CALLBACK RecordOrder(PVOID p, BOOLEAN) {
    auto* a = static_cast<OrderArg*>(p);
    std::lock_guard<std::mutex> lock(a->order->mu);
    a->order->fired.push_back(a->index);
}

TEST(PlatformTimers, EqualDeadlinesFireInCreationOrder) {
    constexpr int kTimers = 200;
    Order order;
    std::vector<OrderArg> args(kTimers);
    std::vector<HANDLE> timers(kTimers);
    // Created within the same few milliseconds: many deadlines are equal.
    for (int i = 0; i < kTimers; ++i) {
        args[i] = {&order, i};
        ASSERT_TRUE(CreateTimerQueueTimer(&timers[i], nullptr, RecordOrder, &args[i], 30, 0, 0));
    }
    for (int i = 0; i < 200; ++i) {
        Sleep(10);
        std::lock_guard<std::mutex> lock(order.mu);
        if (order.fired.size() == kTimers) break;
    }
    std::lock_guard<std::mutex> lock(order.mu);
    ASSERT_EQ(order.fired.size(), static_cast<size_t>(kTimers));
    for (int i = 0; i < kTimers; ++i) EXPECT_EQ(order.fired[i], i);
    for (HANDLE t : timers) DeleteTimerQueueTimer(nullptr, t, INVALID_HANDLE_VALUE);
}

TEST(PlatformTimers, ShorterTimerCreatedLaterFiresFirst) {
    Order order;
    OrderArg late{&order, 1}, early{&order, 2};
    HANDLE t1 = nullptr, t2 = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&t1, nullptr, RecordOrder, &late, 80, 0, 0));
    ASSERT_TRUE(CreateTimerQueueTimer(&t2, nullptr, RecordOrder, &early, 10, 0, 0));
    Sleep(200);
    std::lock_guard<std::mutex> lock(order.mu);
    EXPECT_EQ(order.fired, (std::vector<int>{2, 1}));
    DeleteTimerQueueTimer(nullptr, t1, INVALID_HANDLE_VALUE);
    DeleteTimerQueueTimer(nullptr, t2, INVALID_HANDLE_VALUE);
}

// Deadlines in scrambled order, a third deleted from all over the queue:
// the rest fire in deadline order, the deleted never. A deadline is known
// within the time its creation took, which a busy machine may stretch.
TEST(PlatformTimers, ScrambledDeadlinesFireInOrderAndDeletedOnesNever) {
    qvclock::SetScale(10);
    constexpr int kTimers = 60;
    Order order;
    std::vector<OrderArg> args(kTimers);
    std::vector<HANDLE> timers(kTimers);
    std::vector<uint64_t> earliest(kTimers), latest(kTimers);
    for (int i = 0; i < kTimers; ++i) {
        args[i] = {&order, i};
        const DWORD due = static_cast<DWORD>((i * 37) % kTimers) * 100;  // a permutation
        earliest[i] = qvclock::NowMs() + due;
        ASSERT_TRUE(CreateTimerQueueTimer(&timers[i], nullptr, RecordOrder, &args[i], due, 0, 0));
        latest[i] = qvclock::NowMs() + due;
    }
    for (int i = 0; i < kTimers; i += 3)
        EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, timers[i], INVALID_HANDLE_VALUE));
    const size_t kept = kTimers - (kTimers + 2) / 3;
    std::vector<int> fired;
    ASSERT_TRUE(qvtest::WaitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(order.mu);
            fired.clear();
            // The first timers may have fired before their deletion was asked.
            for (int i : order.fired)
                if (i % 3 != 0) fired.push_back(i);
            return fired.size() >= kept;
        },
        std::chrono::seconds(10)));
    ASSERT_EQ(fired.size(), kept);
    for (size_t k = 1; k < fired.size(); ++k) {
        const int a = fired[k - 1], b = fired[k];
        EXPECT_LE(earliest[a], latest[b]) << a << " fired before " << b;
    }
    for (int i = 0; i < kTimers; ++i)
        if (i % 3 != 0) DeleteTimerQueueTimer(nullptr, timers[i], INVALID_HANDLE_VALUE);
    qvclock::SetScale(1);
}

// A callback that runs until the test releases it.
struct Slow {
    HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> done{false};
    ~Slow() {
        CloseHandle(entered);
        CloseHandle(release);
    }
};

void CALLBACK SlowCallback(PVOID p, BOOLEAN) {
    auto* s = static_cast<Slow*>(p);
    SetEvent(s->entered);
    WaitForSingleObject(s->release, 10000);
    s->done = true;
}

TEST(PlatformTimers, DeleteWaitsForARunningCallback) {
    Slow s;
    HANDLE timer = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, nullptr, SlowCallback, &s, 1, 0, 0));
    ASSERT_EQ(WaitForSingleObject(s.entered, 5000), WAIT_OBJECT_0);
    // The callback is released once this thread is asleep inside the delete.
    const int me = qvtest::CurrentThreadId();
    std::atomic<bool> deleting{false};
    std::thread releaser([&] {
        qvtest::WaitUntil([&] { return deleting && qvtest::ThreadAsleep(me); },
                          std::chrono::milliseconds(5000));
        SetEvent(s.release);
    });
    deleting = true;
    EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE));
    EXPECT_TRUE(s.done.load());
    releaser.join();
}

TEST(PlatformTimers, DeleteWithoutWaitingReturnsAtOnce) {
    Slow s;
    HANDLE timer = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, nullptr, SlowCallback, &s, 1, 0, 0));
    ASSERT_EQ(WaitForSingleObject(s.entered, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(DeleteTimerQueueTimer(nullptr, timer, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(s.done.load());
    // Let the callback end before its data goes away.
    SetEvent(s.release);
    EXPECT_TRUE(qvtest::WaitUntil([&] { return s.done.load(); }, std::chrono::milliseconds(5000)));
}

TEST(PlatformTimers, DeleteWithAnEventSignalsItWhenTheCallbackEnds) {
    Slow s;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE timer = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, nullptr, SlowCallback, &s, 1, 0, 0));
    ASSERT_EQ(WaitForSingleObject(s.entered, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, timer, done));
    EXPECT_EQ(WaitForSingleObject(done, 0), WAIT_TIMEOUT);  // still running
    SetEvent(s.release);
    EXPECT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(s.done.load());
    CloseHandle(done);
}

struct SelfDelete {
    std::atomic<HANDLE> timer{nullptr};
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL waiting = TRUE;
    DWORD waitingError = 0;
    BOOL notWaiting = FALSE;
};

void CALLBACK DeleteSelf(PVOID p, BOOLEAN) {
    auto* s = static_cast<SelfDelete*>(p);
    while (!s->timer.load()) std::this_thread::yield();
    // Windows never returns from the waiting form here: it is refused.
    s->waiting = DeleteTimerQueueTimer(nullptr, s->timer, INVALID_HANDLE_VALUE);
    s->waitingError = GetLastError();
    // Without waiting, the callback may end its own timer.
    s->notWaiting = DeleteTimerQueueTimer(nullptr, s->timer, nullptr);
    SetEvent(s->done);
}

TEST(PlatformTimers, ACallbackMayDeleteItsTimerOnlyWithoutWaitingForItself) {
    SelfDelete s;
    HANDLE timer = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, nullptr, DeleteSelf, &s, 1, 0, 0));
    s.timer = timer;
    ASSERT_EQ(WaitForSingleObject(s.done, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(s.waiting);
    EXPECT_EQ(s.waitingError, static_cast<DWORD>(ERROR_POSSIBLE_DEADLOCK));
    // Still running at that moment: FALSE with ERROR_IO_PENDING, yet deleted.
    EXPECT_FALSE(s.notWaiting);
    EXPECT_FALSE(DeleteTimerQueueTimer(nullptr, timer, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(s.done);
}

TEST(PlatformTimers, CloseHandleRefusesATimer) {
    Fired f;
    HANDLE timer = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, nullptr, OnFire, &f, 0xFFFFFFFEu, 0, 0));
    EXPECT_FALSE(CloseHandle(timer));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE));
}

TEST(PlatformTimers, LongestDueTimeDoesNotWrap) {
    Fired f;
    HANDLE timer = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&timer, nullptr, OnFire, &f, 0xFFFFFFFEu, 0, 0));
    Sleep(50);
    EXPECT_EQ(f.count.load(), 0);
    EXPECT_TRUE(DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE));
}

TEST(PlatformTimers, BadArgumentsAreRefused) {
    HANDLE timer = nullptr;
    EXPECT_FALSE(CreateTimerQueueTimer(&timer, nullptr, nullptr, nullptr, 1, 0, 0));
    EXPECT_FALSE(DeleteTimerQueueTimer(nullptr, nullptr, INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
