// The worker pool on its completion port.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "io/ThreadPool.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 3000ms) {
    return qvtest::WaitUntil(pred, timeout);
}

struct ItemRecord {
    std::atomic<int> calls{0};
    std::atomic<int> deleteAfter{-1};
    std::atomic<LONG> dispatchCount{-1};
    std::atomic<DWORD> bytes{0};
    std::atomic<bool> overlappedNull{false};
    std::atomic<DWORD> error{99};
};

int RecordItem(void* context, CompletionKey* key, LPOVERLAPPED overlapped, DWORD bytes,
               DWORD error) {
    auto* record = static_cast<ItemRecord*>(context);
    record->deleteAfter = key->m_bDeleteAfterDispatch;
    record->dispatchCount = key->m_lDispatchCount.load();
    record->bytes = bytes;
    record->overlappedNull = overlapped == nullptr;
    record->error = error;
    ++record->calls;
    return 0;
}

int CountItem(void* context, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    ++*static_cast<std::atomic<int>*>(context);
    return 0;
}

TEST(PoolTest, StartWithZeroMakesTwoPerProcessorPlusOne) {
    CAThreadPool pool;
    ASSERT_EQ(pool.Start(0), 0);
    const unsigned expected = 2 * pool.GetProcessorCount() + 1;
    EXPECT_GE(pool.GetProcessorCount(), 1u);
    EXPECT_EQ(pool.GetThreadCount(), expected);
    EXPECT_EQ(pool.GetActiveThreadCounter()->load(), static_cast<LONG>(expected));
    // Starting again changes nothing.
    EXPECT_EQ(pool.Start(3), 0);
    EXPECT_EQ(pool.GetThreadCount(), expected);
    EXPECT_EQ(pool.Shutdown(), 0);
    EXPECT_EQ(pool.GetThreadCount(), 0u);
    EXPECT_EQ(pool.GetActiveThreadCounter()->load(), 0);
}

TEST(PoolTest, WorkItemRunsExactlyOnceWithItsOwnKey) {
    CAThreadPool pool;
    ASSERT_EQ(pool.Start(4), 0);
    ItemRecord record;
    ASSERT_EQ(pool.QueueWorkItem(&record, RecordItem), 0);
    ASSERT_TRUE(WaitUntil([&] { return record.calls.load() > 0; }));
    // Once the pool has stopped every item has run.
    ASSERT_EQ(pool.Shutdown(), 0);
    EXPECT_EQ(record.calls.load(), 1);
    EXPECT_EQ(record.deleteAfter.load(), 1);
    EXPECT_EQ(record.dispatchCount.load(), 1);
    EXPECT_EQ(record.bytes.load(), 28u);
    EXPECT_TRUE(record.overlappedNull.load());
    EXPECT_EQ(record.error.load(), 0u);
}

TEST(PoolTest, ManyItemsEachRunOnce) {
    CAThreadPool pool;
    ASSERT_EQ(pool.Start(0), 0);
    std::atomic<int> counter{0};
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(pool.QueueWorkItem(&counter, CountItem), 0);
    ASSERT_TRUE(WaitUntil([&] { return counter.load() >= 5000; }));
    // Once the pool has stopped every item has run.
    EXPECT_EQ(pool.Shutdown(), 0);
    EXPECT_EQ(counter.load(), 5000);
}

TEST(PoolTest, QueueBeforeStartAndAfterShutdownFailsWithGenFailure) {
    CAThreadPool pool;
    std::atomic<int> counter{0};
    EXPECT_EQ(pool.QueueWorkItem(&counter, CountItem), 31);
    EXPECT_EQ(pool.Shutdown(), 31);
    ASSERT_EQ(pool.Start(2), 0);
    ASSERT_EQ(pool.Shutdown(), 0);
    EXPECT_EQ(pool.QueueWorkItem(&counter, CountItem), 31);
    EXPECT_EQ(counter.load(), 0);  // not run in place either: no worker is left
}

struct Gate {
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::condition_variable opened;
    std::atomic<int> inside{0};
    bool open = false;  // guarded by mutex
    void Open() {
        std::lock_guard lock(mutex);
        open = true;
        opened.notify_all();
    }
};

int HoldUntilOpen(void* context, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    auto* gate = static_cast<Gate*>(context);
    {
        std::lock_guard lock(gate->mutex);
        gate->threads.insert(std::this_thread::get_id());
    }
    ++gate->inside;
    std::unique_lock lock(gate->mutex);
    gate->opened.wait(lock, [gate] { return gate->open; });
    return 0;
}

// Every worker holds an item when Shutdown begins; the exit key must pass
// through each of them in turn before Shutdown returns, and items queued
// before the exit key still run.
TEST(PoolTest, ShutdownRelaysExitThroughEveryWorkerAndPoolRestarts) {
    CAThreadPool pool;
    ASSERT_EQ(pool.Start(5), 0);
    Gate gate;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(pool.QueueWorkItem(&gate, HoldUntilOpen), 0);
    ASSERT_TRUE(WaitUntil([&] { return gate.inside.load() == 5; }));
    EXPECT_EQ(gate.threads.size(), 5u) << "each worker holds one item";
    std::atomic<int> counter{0};
    for (int i = 0; i < 100; ++i) ASSERT_EQ(pool.QueueWorkItem(&counter, CountItem), 0);

    std::atomic<bool> shutdownDone{false};
    std::atomic<int> stopperTid{0};
    std::thread stopper([&] {
        stopperTid = qvtest::CurrentThreadId();
        EXPECT_EQ(pool.Shutdown(), 0);
        shutdownDone = true;
    });
    // The stopper sleeps in Shutdown while every worker is busy.
    EXPECT_TRUE(WaitUntil([&] { return stopperTid && qvtest::ThreadAsleep(stopperTid); }));
    EXPECT_FALSE(shutdownDone.load()) << "Shutdown waits for busy workers";
    gate.Open();
    stopper.join();
    EXPECT_EQ(counter.load(), 100);
    EXPECT_EQ(pool.GetActiveThreadCounter()->load(), 0);

    ASSERT_EQ(pool.Start(2), 0);
    EXPECT_EQ(pool.GetThreadCount(), 2u);
    ASSERT_EQ(pool.QueueWorkItem(&counter, CountItem), 0);
    ASSERT_TRUE(WaitUntil([&] { return counter.load() == 101; }));
    EXPECT_EQ(pool.Shutdown(), 0);
}

TEST(PoolTest, ThreadStatesAndTheirNames) {
    CAThreadPool pool;
    EXPECT_STREQ(pool.GetThreadStateName(0), "THREAD_ST_IDLE");
    EXPECT_STREQ(pool.GetThreadStateName(1), "THREAD_ST_BUSY");
    EXPECT_STREQ(pool.GetThreadStateName(2), "THREAD_ST_IDLE");
    EXPECT_STREQ(pool.GetThreadStateName(3), "THREAD_ST_EXIT");
    EXPECT_STREQ(pool.GetThreadStateName(4), "THREAD_ST_UNINIT");
    EXPECT_STREQ(pool.GetThreadStateName(5), "NULL");
    EXPECT_STREQ(pool.GetThreadStateName(-1), "NULL");
    WorkerThread worker;
    EXPECT_EQ(worker.m_lState.load(), THREAD_ST_UNINIT);
    EXPECT_EQ(pool.SetThreadState(&worker, THREAD_ST_BUSY), THREAD_ST_UNINIT);
    EXPECT_EQ(pool.SetThreadState(&worker, THREAD_ST_EXIT), THREAD_ST_BUSY);
    EXPECT_EQ(pool.Reserved1(), 0);
    EXPECT_EQ(pool.Reserved2(), 0);
}

TEST(PoolTest, AssociateWithoutStartedPoolFails) {
    CAThreadPool pool;
    CompletionKey key(nullptr, nullptr, 0, 0);
    EXPECT_EQ(pool.AssociateHandle(INVALID_HANDLE_VALUE, &key), 31);
}

}  // namespace

namespace {

// Work items posted from other threads and from running items while the pool
// shuts down: every item the pool accepted runs before Shutdown returns, and
// every refused one was refused with an error, never dropped silently.
std::atomic<int> g_Ran{0};
std::atomic<int> g_Accepted{0};
CAThreadPool* g_Racing = nullptr;

int CountAndRepost(void*, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    ++g_Ran;
    if (g_Racing->QueueWorkItem(nullptr, CountAndRepost) == 0) ++g_Accepted;
    return 0;
}

TEST(PoolTest, EveryAcceptedItemRunsEvenWhenPostedDuringShutdown) {
    for (int round = 0; round < 20; ++round) {
        CAThreadPool pool;
        g_Racing = &pool;
        g_Ran = 0;
        g_Accepted = 0;
        ASSERT_EQ(pool.Start(3), 0);
        std::atomic<bool> stop{false};
        std::vector<std::thread> posters;
        for (int t = 0; t < 3; ++t) {
            posters.emplace_back([&] {
                while (!stop.load()) {
                    if (pool.QueueWorkItem(nullptr, CountAndRepost) == 0) ++g_Accepted;
                }
            });
        }
        ASSERT_TRUE(WaitUntil([] { return g_Ran.load() > 100; }));
        ASSERT_EQ(pool.Shutdown(), 0);
        stop = true;
        for (std::thread& t : posters) t.join();
        EXPECT_EQ(g_Ran.load(), g_Accepted.load()) << "round " << round;
    }
}

}  // namespace
