// Completion port: order, exactly-once delivery to several workers, bursts
// taken while workers block, time-outs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/win32.h"

namespace {

TEST(PlatformIocp, PostedPacketsComeOutInOrderWithTheirFields) {
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    ASSERT_NE(port, nullptr);
    OVERLAPPED ov[3] = {};
    for (DWORD i = 0; i < 3; ++i) {
        ASSERT_TRUE(PostQueuedCompletionStatus(port, 10 + i, 100 + i, &ov[i]));
    }
    for (DWORD i = 0; i < 3; ++i) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED got = nullptr;
        ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &got, 0));
        EXPECT_EQ(bytes, 10 + i);
        EXPECT_EQ(key, 100 + i);
        EXPECT_EQ(got, &ov[i]);
    }
    LPOVERLAPPED got = &ov[0];
    EXPECT_FALSE(GetQueuedCompletionStatus(port, nullptr, nullptr, &got, 0));
    EXPECT_EQ(GetLastError(), WAIT_TIMEOUT);
    EXPECT_EQ(got, nullptr);
    EXPECT_TRUE(CloseHandle(port));
}

TEST(PlatformIocp, TimeOutIsMeasuredOnThePlatformClock) {
    qvclock::SetScale(1000);
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    uint64_t start = qvclock::NowMs();
    auto realStart = std::chrono::steady_clock::now();
    LPOVERLAPPED got = nullptr;
    EXPECT_FALSE(GetQueuedCompletionStatus(port, nullptr, nullptr, &got, 20000));
    EXPECT_EQ(GetLastError(), WAIT_TIMEOUT);
    EXPECT_GE(qvclock::NowMs() - start, 20000u);
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(5));
    CloseHandle(port);
}

struct Workers {
    HANDLE port;
    std::vector<std::atomic<int>>* seen;
};

constexpr ULONG_PTR kExitKey = ~ULONG_PTR{0};

DWORD WINAPI Worker(LPVOID arg) {
    auto* w = static_cast<Workers*>(arg);
    for (;;) {
        ULONG_PTR key = 0;
        DWORD bytes = 0;
        LPOVERLAPPED ov = nullptr;
        if (!GetQueuedCompletionStatus(w->port, &bytes, &key, &ov, INFINITE)) return 1;
        if (key == kExitKey) return 0;
        (*w->seen)[key].fetch_add(1);
    }
}

TEST(PlatformIocp, EveryPacketReachesExactlyOneWorker) {
    constexpr int kPackets = 20000;
    constexpr int kWorkers = 4;
    std::vector<std::atomic<int>> seen(kPackets);
    Workers w{CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0), &seen};
    HANDLE threads[kWorkers];
    for (HANDLE& t : threads) {
        t = CreateThread(nullptr, 0, Worker, &w, 0, nullptr);
        ASSERT_NE(t, nullptr);
    }
    for (int i = 0; i < kPackets; ++i) {
        ASSERT_TRUE(PostQueuedCompletionStatus(w.port, 0, static_cast<ULONG_PTR>(i), nullptr));
    }
    for (int i = 0; i < kWorkers; ++i) PostQueuedCompletionStatus(w.port, 0, kExitKey, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(kWorkers, threads, TRUE, INFINITE), WAIT_OBJECT_0);
    for (int i = 0; i < kPackets; ++i) ASSERT_EQ(seen[i].load(), 1) << "packet " << i;
    for (HANDLE t : threads) CloseHandle(t);
    CloseHandle(w.port);
}

// Each packet of a burst is held by its worker until the whole burst has
// been taken: no packet may wait behind a busy worker while others sleep.
struct Burst {
    HANDLE port;
    int size;
    std::mutex mu;
    std::condition_variable cv;
    int taken = 0;
    bool stranded = false;
};

DWORD WINAPI HoldUntilBurstTaken(LPVOID arg) {
    auto* b = static_cast<Burst*>(arg);
    for (;;) {
        ULONG_PTR key = 0;
        LPOVERLAPPED ov = nullptr;
        if (!GetQueuedCompletionStatus(b->port, nullptr, &key, &ov, INFINITE)) return 1;
        if (key == kExitKey) return 0;
        std::unique_lock<std::mutex> lock(b->mu);
        const int round = static_cast<int>(key);
        ++b->taken;
        b->cv.notify_all();
        if (!b->cv.wait_for(lock, std::chrono::seconds(10),
                            [&] { return b->taken >= (round + 1) * b->size; }))
            b->stranded = true;
    }
}

TEST(PlatformIocp, ABurstOfPacketsIsTakenWhileItsWorkersBlock) {
    constexpr int kWorkers = 4;
    // Left to the workers if they do not end: a stranded packet may keep one.
    auto* b = new Burst;
    b->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    b->size = kWorkers;
    HANDLE threads[kWorkers];
    for (HANDLE& t : threads) t = CreateThread(nullptr, 0, HoldUntilBurstTaken, b, 0, nullptr);
    for (int round = 0; round < 200 && !b->stranded; ++round) {
        for (int i = 0; i < kWorkers; ++i)
            ASSERT_TRUE(
                PostQueuedCompletionStatus(b->port, 0, static_cast<ULONG_PTR>(round), nullptr));
        std::unique_lock<std::mutex> lock(b->mu);
        b->cv.wait(lock, [&] { return b->taken >= (round + 1) * kWorkers || b->stranded; });
    }
    EXPECT_FALSE(b->stranded);
    for (int i = 0; i < kWorkers; ++i) PostQueuedCompletionStatus(b->port, 0, kExitKey, nullptr);
    ASSERT_EQ(WaitForMultipleObjects(kWorkers, threads, TRUE, 20000), WAIT_OBJECT_0);
    for (HANDLE t : threads) CloseHandle(t);
    CloseHandle(b->port);
    delete b;
}

DWORD WINAPI WaitOnPort(LPVOID arg) {
    LPOVERLAPPED ov = nullptr;
    BOOL ok = GetQueuedCompletionStatus(static_cast<HANDLE>(arg), nullptr, nullptr, &ov, INFINITE);
    return ok ? 0 : GetLastError();
}

TEST(PlatformIocp, ClosingThePortReleasesWaiters) {
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    HANDLE t = CreateThread(nullptr, 0, WaitOnPort, port, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    CloseHandle(t);
}

TEST(PlatformIocp, InvalidHandlesAreRefused) {
    EXPECT_FALSE(PostQueuedCompletionStatus(nullptr, 0, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(PostQueuedCompletionStatus(ev, 0, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(CreateIoCompletionPort(ev, nullptr, 1, 0), nullptr);
    CloseHandle(ev);
}

TEST(PlatformIocp, AClosedHandleFailsInsteadOfBeingRead) {
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    ASSERT_TRUE(CloseHandle(ev));
    ASSERT_TRUE(CloseHandle(port));
    // Both objects are freed by now; their old handles name nothing.
    EXPECT_FALSE(SetEvent(ev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(PostQueuedCompletionStatus(port, 0, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(ev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
