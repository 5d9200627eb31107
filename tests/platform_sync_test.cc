// Events, waits, threads, critical sections, last error and the clock seam.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/win32.h"
#include "support/WaitUntil.h"

namespace {

using std::chrono::steady_clock;

TEST(PlatformClock, ScaleSpeedsUpPlatformTimeWithoutGoingBack) {
    uint64_t before = qvclock::NowMs();
    qvclock::SetScale(1000);
    EXPECT_EQ(qvclock::Scale(), 1000.0);
    EXPECT_GE(qvclock::NowMs(), before);
    // Real time is what the scale multiplies: some has to pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(qvclock::NowMs() - before, 10000u);
    uint64_t fast = qvclock::NowMs();
    qvclock::SetScale(1);
    EXPECT_GE(qvclock::NowMs(), fast);
    EXPECT_EQ(qvclock::ToRealNs(5), 5000000);
    EXPECT_EQ(qvclock::ToRealNs(0), 0);
    qvclock::SetScale(1e12);
    EXPECT_EQ(qvclock::ToRealNs(1), 1);
}

TEST(PlatformEvents, ManualResetStaysSetAutoResetWakesOneWaiter) {
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE autoEv = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(manual, nullptr);
    ASSERT_NE(autoEv, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);  // initially set
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);   // taken

    std::atomic<int> woken{0};
    std::atomic<int> tids[2] = {0, 0};
    std::atomic<bool> done[2] = {false, false};
    auto waiter = [&](int i) {
        tids[i] = qvtest::CurrentThreadId();
        woken += WaitForSingleObject(autoEv, INFINITE) == WAIT_OBJECT_0;
        done[i] = true;
    };
    std::thread a(waiter, 0), b(waiter, 1);
    // Both wait before the event is set.
    ASSERT_TRUE(qvtest::WaitUntil(
        [&] {
            return tids[0] && tids[1] && qvtest::ThreadAsleep(tids[0]) &&
                   qvtest::ThreadAsleep(tids[1]);
        },
        std::chrono::milliseconds(5000)));
    SetEvent(autoEv);
    ASSERT_TRUE(
        qvtest::WaitUntil([&] { return done[0] || done[1]; }, std::chrono::milliseconds(5000)));
    // The woken one has ended; the other still sleeps in its wait.
    const int other = done[0] ? 1 : 0;
    (other == 0 ? b : a).join();
    EXPECT_FALSE(done[other].load());
    // A waiter woken for nothing sleeps again: asleep, soon, and not done.
    EXPECT_TRUE(qvtest::WaitUntil([&] { return qvtest::ThreadAsleep(tids[other]); },
                                  std::chrono::milliseconds(5000)));
    EXPECT_FALSE(done[other].load());
    EXPECT_EQ(woken.load(), 1);
    SetEvent(autoEv);
    (other == 0 ? a : b).join();
    EXPECT_EQ(woken.load(), 2);
    CloseHandle(manual);
    CloseHandle(autoEv);
}

TEST(PlatformEvents, TimedWaitRunsOnThePlatformClock) {
    qvclock::SetScale(1000);
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    uint64_t start = qvclock::NowMs();
    auto realStart = steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, 30000), WAIT_TIMEOUT);
    EXPECT_GE(qvclock::NowMs() - start, 30000u);
    EXPECT_LT(steady_clock::now() - realStart, std::chrono::seconds(5));

    start = qvclock::NowMs();
    Sleep(15000);
    EXPECT_GE(qvclock::NowMs() - start, 15000u);
    CloseHandle(ev);
}

TEST(PlatformEvents, WaitForMultipleAnyAndAll) {
    HANDLE ev[3];
    for (HANDLE& e : ev) e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(3, ev, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(ev[2]);
    SetEvent(ev[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, ev, FALSE, 0), WAIT_OBJECT_0 + 1);  // lowest first
    EXPECT_EQ(WaitForMultipleObjects(3, ev, FALSE, 0), WAIT_OBJECT_0 + 2);
    // waitAll takes nothing until every object is set.
    SetEvent(ev[0]);
    SetEvent(ev[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, ev, TRUE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(ev[0], 0), WAIT_OBJECT_0);
    SetEvent(ev[0]);
    // The last one is set once this thread is asleep in the wait for all.
    const int me = qvtest::CurrentThreadId();
    std::thread late([&] {
        qvtest::WaitUntil([&] { return qvtest::ThreadAsleep(me); },
                          std::chrono::milliseconds(5000));
        SetEvent(ev[2]);
    });
    EXPECT_EQ(WaitForMultipleObjects(3, ev, TRUE, 5000), WAIT_OBJECT_0);
    late.join();
    EXPECT_EQ(WaitForMultipleObjects(3, ev, FALSE, 0), WAIT_TIMEOUT);  // all taken
    for (HANDLE e : ev) CloseHandle(e);
}

TEST(PlatformEvents, BadHandlesFailTheWait) {
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    EXPECT_EQ(WaitForSingleObject(port, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(0, &port, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(port);
    EXPECT_FALSE(SetEvent(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(CloseHandle(nullptr));
}

// Thousands of live handles, a third closed in scrambled order: each one
// resolves while open and fails with ERROR_INVALID_HANDLE once closed.
TEST(PlatformEvents, HandlesResolveOnlyWhileOpen) {
    constexpr size_t kHandles = 3000;
    std::vector<HANDLE> events(kHandles);
    for (auto& e : events) ASSERT_NE(e = CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr);
    std::vector<bool> closed(kHandles, false);
    for (size_t k = 0; k < kHandles; ++k) {
        const size_t i = (k * 1237) % kHandles;  // a permutation
        if (i % 3 != 0) continue;
        ASSERT_TRUE(CloseHandle(events[i]));
        closed[i] = true;
    }
    for (size_t i = 0; i < kHandles; ++i) {
        if (closed[i]) {
            EXPECT_FALSE(SetEvent(events[i])) << i;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        } else {
            EXPECT_TRUE(SetEvent(events[i])) << i;
            EXPECT_TRUE(CloseHandle(events[i]));
        }
    }
}

struct ThreadArg {
    HANDLE go;
    DWORD seenId;
    std::atomic<bool> through{false};  // past the wait; arg is not touched again
};

DWORD WINAPI ThreadBody(LPVOID p) {
    auto* arg = static_cast<ThreadArg*>(p);
    arg->seenId = GetCurrentThreadId();
    WaitForSingleObject(arg->go, INFINITE);
    arg->through = true;
    return 7;
}

TEST(PlatformThreads, HandleIsSignalledWhenTheThreadEnds) {
    ThreadArg arg{CreateEventA(nullptr, TRUE, FALSE, nullptr), 0};
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, ThreadBody, &arg, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);
    SetEvent(arg.go);
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // stays signalled
    EXPECT_EQ(arg.seenId, id);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_TRUE(CloseHandle(t));
    CloseHandle(arg.go);
}

TEST(PlatformThreads, ClosingTheHandleOfARunningThreadIsSafe) {
    ThreadArg arg{CreateEventA(nullptr, TRUE, FALSE, nullptr), 0};
    HANDLE t = CreateThread(nullptr, 0, ThreadBody, &arg, 0, nullptr);
    EXPECT_TRUE(CloseHandle(t));
    SetEvent(arg.go);
    ASSERT_TRUE(
        qvtest::WaitUntil([&] { return arg.through.load(); }, std::chrono::milliseconds(5000)));
    CloseHandle(arg.go);
}

TEST(PlatformThreads, LastErrorIsPerThread) {
    SetLastError(1234);
    std::thread other([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(99);
    });
    other.join();
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(PlatformThreads, SystemInfoAndCodePointers) {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    EXPECT_GE(info.dwNumberOfProcessors, 1u);
    EXPECT_TRUE(IsBadCodePtr(nullptr));
    EXPECT_FALSE(IsBadCodePtr(reinterpret_cast<FARPROC>(&GetLastError)));
}

TEST(PlatformCriticalSection, ExcludesConcurrentWriters) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    long counter = 0;
    auto body = [&] {
        for (int i = 0; i < 100000; ++i) {
            EnterCriticalSection(&cs);
            ++counter;
            LeaveCriticalSection(&cs);
        }
    };
    std::thread a(body), b(body);
    a.join();
    b.join();
    EXPECT_EQ(counter, 200000);
    DeleteCriticalSection(&cs);
}

TEST(PlatformInterlocked, ReturnValues) {
    volatile LONG v = 5;
    EXPECT_EQ(InterlockedCompareExchange(&v, 9, 4), 5);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 9, 5), 5);
    EXPECT_EQ(v, 9);
    EXPECT_EQ(InterlockedExchange(&v, 1), 9);
    EXPECT_EQ(InterlockedIncrement(&v), 2);
    EXPECT_EQ(InterlockedDecrement(&v), 1);
}

}  // namespace
