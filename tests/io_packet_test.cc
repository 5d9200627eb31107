// The overlapped packet: buffer, in-use guard and the one-shot time-out.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "io/AsyncPacket.h"
#include "io/ThreadPool.h"
#include "platform/clock.h"
#include "support/Probes.h"
#include "support/RecordingLog.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 3000ms) {
    return qvtest::WaitUntil(pred, timeout);
}

struct Fired {
    std::atomic<int> calls{0};
    std::atomic<bool> portNull{false};
    std::atomic<int> timedOut{-1};
    std::atomic<IOComAsyncPacket*> packet{nullptr};
    std::atomic<std::thread::id> thread{};
};
Fired g_A, g_B;

void ResetFired() {
    for (Fired* f : {&g_A, &g_B}) {
        f->calls = 0;
        f->portNull = false;
        f->timedOut = -1;
        f->packet = nullptr;
    }
}

void Note(Fired& f, ComPort* port, IOComAsyncPacket* packet, int timedOut) {
    f.portNull = port == nullptr;
    f.timedOut = timedOut;
    f.packet = packet;
    f.thread = std::this_thread::get_id();
    ++f.calls;
}
void FireA(ComPort* port, IOComAsyncPacket* packet, int timedOut) {
    Note(g_A, port, packet, timedOut);
}
void FireB(ComPort* port, IOComAsyncPacket* packet, int timedOut) {
    Note(g_B, port, packet, timedOut);
}

// Holds the pool's single worker so posted time-outs queue up behind it.
struct Blocker {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;  // guarded by mutex, like the two below
    bool released = false;
    std::thread::id worker;
    void Release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
};
int Block(void* context, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    auto* blocker = static_cast<Blocker*>(context);
    std::unique_lock lock(blocker->mutex);
    blocker->worker = std::this_thread::get_id();
    blocker->entered = true;
    blocker->changed.notify_all();
    blocker->changed.wait(lock, [blocker] { return blocker->released; });
    return 0;
}

class PacketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetFired();
        ASSERT_EQ(pool.Start(1), 0);
    }
    void TearDown() override { pool.Shutdown(); }

    // Parks the only worker; returns its thread id.
    std::thread::id HoldWorker(Blocker& blocker) {
        EXPECT_EQ(pool.QueueWorkItem(&blocker, Block), 0);
        std::unique_lock lock(blocker.mutex);
        EXPECT_TRUE(blocker.changed.wait_for(lock, 3000ms, [&] { return blocker.entered; }));
        return blocker.worker;
    }

    CAThreadPool pool;
    qvtest::RecordingLog log;
};

TEST_F(PacketTest, InitResetsAndAllocates) {
    IOComAsyncPacket packet(&log, &pool);
    EXPECT_FALSE(packet.IsInitialised());
    ASSERT_TRUE(packet.Init(PACKET_KIND_RECV, 80500));
    EXPECT_FALSE(packet.Init(PACKET_KIND_RECV, 80500)) << "already initialised";
    EXPECT_EQ(packet.GetKind(), PACKET_KIND_RECV);
    EXPECT_EQ(packet.GetBufferSize(), 80500u);
    EXPECT_EQ(packet.GetDataLength(), 0u);
    EXPECT_EQ(packet.m_bNotifyOnSuccess, 1);
    EXPECT_EQ(packet.m_bNotifyOnError, 1);
    EXPECT_TRUE(packet.IsFree());
    ASSERT_NE(packet.GetData(), nullptr);
    EXPECT_EQ(packet.GetData()[0], 0);
    // Recovered from the OVERLAPPED the system hands back.
    LPOVERLAPPED overlapped = &packet;
    EXPECT_EQ(IOComAsyncPacket::FromOverlapped(overlapped), &packet);
    packet.Uninit();
    EXPECT_FALSE(packet.IsInitialised());
    EXPECT_EQ(packet.GetData(), nullptr);
}

TEST_F(PacketTest, CommEventPacketHasNoBuffer) {
    IOComAsyncPacket packet(&log, &pool);
    ASSERT_TRUE(packet.Init(PACKET_KIND_COMEVENT, 0));
    EXPECT_EQ(packet.GetData(), nullptr);
    packet.ClearBuffer();
    EXPECT_EQ(packet.GetDataLength(), 0u);
}

TEST_F(PacketTest, AppendKeepsNewestDataWithinBuffer) {
    IOComAsyncPacket packet(&log, &pool);
    ASSERT_TRUE(packet.Init(PACKET_KIND_RECV, 16));
    const BYTE first[] = "0123456789";
    packet.AppendData(first, 10);
    EXPECT_EQ(packet.GetDataLength(), 10u);
    const BYTE second[] = "abcdefgh";
    packet.AppendData(second, 8);
    // 15 bytes fit (one stays NUL): the oldest three went.
    EXPECT_EQ(packet.GetDataLength(), 15u);
    EXPECT_STREQ(reinterpret_cast<char*>(packet.GetData()), "3456789abcdefgh");
    const BYTE huge[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    packet.AppendData(huge, 26);
    EXPECT_EQ(packet.GetDataLength(), 15u);
    EXPECT_STREQ(reinterpret_cast<char*>(packet.GetData()), "LMNOPQRSTUVWXYZ");
    packet.ClearBuffer();
    EXPECT_EQ(packet.GetDataLength(), 0u);
    EXPECT_EQ(packet.GetData()[0], 0);
}

TEST_F(PacketTest, HistoryDropsFirstHalfAtThousand) {
    IOComAsyncPacket packet(&log, &pool);
    ASSERT_TRUE(packet.Init(PACKET_KIND_RECV, 80500));
    std::string text;
    for (int i = 0; i < 999; ++i) text += static_cast<char>('a' + i % 26);
    packet.AppendHistory(reinterpret_cast<const BYTE*>(text.data()), 999);
    EXPECT_EQ(packet.GetHistory(), text);
    const BYTE one = 'Z';
    packet.AppendHistory(&one, 1);
    EXPECT_EQ(packet.GetHistory().size(), 500u);
    EXPECT_EQ(packet.GetHistory(), (text + "Z").substr(500));
    // A read longer than the history is kept whole (a burst of indications
    // must reach the pre-processor); the next one trims it again.
    std::string big(1700, 'q');
    packet.AppendHistory(reinterpret_cast<const BYTE*>(big.data()), 1700);
    EXPECT_EQ(packet.GetHistory(), big);
    packet.AppendHistory(&one, 1);
    EXPECT_EQ(packet.GetHistory().size(), 701u);
}

TEST_F(PacketTest, TimerFiresOnceOnAWorker) {
    IOComAsyncPacket packet(&log, &pool);
    ASSERT_TRUE(packet.Init(PACKET_KIND_RECV, 100));
    Blocker blocker;
    blocker.Release();
    std::thread::id worker = HoldWorker(blocker);
    ASSERT_TRUE(packet.ArmTimer(FireA, 20));
    ASSERT_TRUE(WaitUntil([] { return g_A.calls.load() > 0; }));
    // A timer of the same delay armed later has fired and run.
    ASSERT_TRUE(qvtest::TimersPassed(&pool, 20));
    EXPECT_EQ(g_A.calls.load(), 1);
    EXPECT_TRUE(g_A.portNull.load());
    EXPECT_EQ(g_A.timedOut.load(), 1);
    EXPECT_EQ(g_A.packet.load(), &packet);
    EXPECT_EQ(g_A.thread.load(), worker) << "the time-out runs on the pool's worker";
}

TEST_F(PacketTest, ArmingAgainDeletesTheFirstTimer) {
    IOComAsyncPacket packet(&log, &pool);
    ASSERT_TRUE(packet.Init(PACKET_KIND_RECV, 100));
    ASSERT_TRUE(packet.ArmTimer(FireA, 60));
    ASSERT_TRUE(packet.ArmTimer(FireB, 120));
    ASSERT_TRUE(WaitUntil([] { return g_B.calls.load() > 0; }));
    // The first timer was due before the second; a later one of the second's
    // delay has fired and run too.
    ASSERT_TRUE(qvtest::TimersPassed(&pool, 120));
    EXPECT_EQ(g_A.calls.load(), 0);
    EXPECT_EQ(g_B.calls.load(), 1);
}

TEST_F(PacketTest, CancelledTimerDoesNotFire) {
    IOComAsyncPacket packet(&log, &pool);
    ASSERT_TRUE(packet.Init(PACKET_KIND_RECV, 100));
    ASSERT_TRUE(packet.ArmTimer(FireA, 50));
    EXPECT_TRUE(packet.CancelTimer());
    // A timer of the same delay armed later has fired and run.
    ASSERT_TRUE(qvtest::TimersPassed(&pool, 50));
    EXPECT_EQ(g_A.calls.load(), 0);
}

// The timer fired and its work item waits behind a busy worker: a cancel
// now means the callback is not called at all.
TEST_F(PacketTest, CancelAfterFiringBeforeWorkItemRan) {
    IOComAsyncPacket packet(&log, &pool);
    ASSERT_TRUE(packet.Init(PACKET_KIND_RECV, 100));
    Blocker blocker;
    HoldWorker(blocker);
    ASSERT_TRUE(packet.ArmTimer(FireA, 5));
    ASSERT_TRUE(qvtest::TimerQueuePassed(5));  // fired and posted
    packet.CancelTimer();
    blocker.Release();
    ASSERT_TRUE(qvtest::PoolDrained(&pool));  // the posted item has run
    EXPECT_EQ(g_A.calls.load(), 0);
}

// A time-out posted for one arming must not end the next arming early.
TEST_F(PacketTest, StaleTimeOutDoesNotFireTheNextArming) {
    IOComAsyncPacket packet(&log, &pool);
    ASSERT_TRUE(packet.Init(PACKET_KIND_RECV, 100));
    Blocker blocker;
    HoldWorker(blocker);
    ASSERT_TRUE(packet.ArmTimer(FireA, 5));
    ASSERT_TRUE(qvtest::TimerQueuePassed(5));  // fired and posted, not yet run
    ASSERT_TRUE(packet.ArmTimer(FireB, 400));
    blocker.Release();
    ASSERT_TRUE(qvtest::PoolDrained(&pool));  // the stale item has run
    EXPECT_EQ(g_A.calls.load(), 0);
    EXPECT_EQ(g_B.calls.load(), 0) << "the second arming ended early";
    ASSERT_TRUE(WaitUntil([] { return g_B.calls.load() > 0; }));
    // A timer of the same delay armed later has fired and run.
    ASSERT_TRUE(qvtest::TimersPassed(&pool, 400));
    EXPECT_EQ(g_B.calls.load(), 1);
}

// A completion and a time-out racing: whoever takes the completion data
// handles the command; the other finds nothing. Never both, never twice.
std::atomic<int> g_TakenByTimer{0};
void TakeOnTimeout(ComPort*, IOComAsyncPacket* packet, int) {
    if (packet->TakeCompletionData() != nullptr) ++g_TakenByTimer;
    ++g_A.calls;
}

TEST_F(PacketTest, CompletionAndTimeOutTakeTheDataOnce) {
    pool.Shutdown();
    ASSERT_EQ(pool.Start(3), 0);
    IOComAsyncPacket packet(&log, &pool);
    ASSERT_TRUE(packet.Init(PACKET_KIND_RECV, 100));
    int command = 0;
    int takenByCompletion = 0;
    const int rounds = 300;
    for (int i = 0; i < rounds; ++i) {
        packet.SetCompletionData(&command);
        ASSERT_TRUE(packet.ArmTimer(TakeOnTimeout, 1));
        // Real time is what this varies: the completion comes at a different
        // point of the timer's life each round.
        std::this_thread::sleep_for(std::chrono::microseconds((i % 7) * 150));
        if (packet.TakeCompletionData() != nullptr) ++takenByCompletion;
        packet.CancelTimer();
        packet.WaitTimerIdle();
        ASSERT_EQ(takenByCompletion + g_TakenByTimer.load(), i + 1) << "round " << i;
    }
    EXPECT_LE(g_A.calls.load(), rounds);
}

// A cancel racing the timer thread and the worker never gets two calls.
TEST_F(PacketTest, CancelRacingAFiringTimerCallsAtMostOnce) {
    pool.Shutdown();
    ASSERT_EQ(pool.Start(3), 0);
    IOComAsyncPacket packet(&log, &pool);
    ASSERT_TRUE(packet.Init(PACKET_KIND_RECV, 100));
    for (int i = 0; i < 300; ++i) {
        g_A.calls = 0;
        ASSERT_TRUE(packet.ArmTimer(FireA, 1));
        // Real time is what this varies: the cancel comes at a different
        // point of the timer's life each round.
        std::this_thread::sleep_for(std::chrono::microseconds((i % 5) * 300));
        packet.CancelTimer();
        packet.WaitTimerIdle();
        ASSERT_TRUE(qvtest::PoolDrained(&pool));  // a posted run has ended
        ASSERT_LE(g_A.calls.load(), 1) << "round " << i;
    }
}

// A busy packet is refused at once, whatever its kind: no worker ever waits
// for a packet (a write behind a busy send packet queues at the port).
TEST_F(PacketTest, BusyPacketIsRefusedAtOnce) {
    IOComAsyncPacket send(&log, &pool), recv(&log, &pool), comm(&log, &pool);
    ASSERT_TRUE(send.Init(PACKET_KIND_SEND, 100));
    ASSERT_TRUE(recv.Init(PACKET_KIND_RECV, 100));
    ASSERT_TRUE(comm.Init(PACKET_KIND_COMEVENT, 0));
    for (IOComAsyncPacket* p : {&send, &recv, &comm}) {
        ASSERT_TRUE(p->TryAcquire());
        EXPECT_EQ(p->GetInUse(), 1);
        EXPECT_FALSE(p->IsFree());
    }
    const uint64_t start = qvclock::NowMs();
    EXPECT_FALSE(send.TryAcquire());
    EXPECT_FALSE(recv.TryAcquire());
    EXPECT_FALSE(comm.TryAcquire());
    EXPECT_LT(qvclock::NowMs() - start, 50u);
    send.Release();
    EXPECT_TRUE(send.TryAcquire());
}

TEST_F(PacketTest, FailedPostIsLogged) {
    IOComAsyncPacket packet(&log, &pool);
    ASSERT_TRUE(packet.Init(PACKET_KIND_RECV, 100));
    pool.Shutdown();
    ASSERT_TRUE(packet.ArmTimer(FireA, 5));
    ASSERT_TRUE(log.WaitFor("IOComAsyncPacket::TimerProc - failed to queue timer trigger."));
    EXPECT_EQ(log.Count("IOComAsyncPacket::TimerProc - failed to queue timer trigger.", 'E'), 1);
    EXPECT_EQ(g_A.calls.load(), 0);
}

// A time-out callback may close the packet's owner (a line torn down from its
// own time-out): the owner's gate frees the packet only once the time-out has
// left it, never under the running callback.
Quiescence* g_OwnerGate = nullptr;
void CloseOwnerOnTimeout(ComPort*, IOComAsyncPacket* packet, int) {
    g_OwnerGate->Close([packet] { delete packet; });
    EXPECT_EQ(packet->GetKind(), PACKET_KIND_RECV) << "freed under its own callback";
    ++g_A.calls;
}

TEST_F(PacketTest, TimeOutCallbackMayCloseTheOwner) {
    Quiescence gate;
    g_OwnerGate = &gate;
    auto* packet = new IOComAsyncPacket(&log, &pool);
    packet->SetGate(&gate);
    ASSERT_TRUE(packet->Init(PACKET_KIND_RECV, 100));
    ASSERT_TRUE(packet->ArmTimer(CloseOwnerOnTimeout, 5));
    ASSERT_TRUE(WaitUntil([&] { return gate.IsClosed(); }));
    EXPECT_EQ(g_A.calls.load(), 1);
}

}  // namespace
