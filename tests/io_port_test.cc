// The serial port against a scripted peer on a pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "io/ComPort.h"
#include "io/SystemCalls.h"
#include "io/ThreadPool.h"
#include "platform/clock.h"
#include "support/FaultyCalls.h"
#include "support/Probes.h"
#include "support/PtyPeer.h"
#include "support/RecordingLog.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5000ms) {
    return qvtest::WaitUntil(pred, timeout);
}

// What the port's callbacks saw, in order.
// Read on the worker inside the callback: the packet's fields belong to the
// handler while it runs.
struct Event {
    char kind;         // 'P' pre-processor, 'R' read callback, 'W' write callback
    std::string data;  // the packet's accumulated data at the time
    int error;
    void* completionData;
    std::string history;
    int recvErrors;
};

// Set by a test: the next read callback empties the receive buffer, as the
// engine does once it has matched an answer.
std::atomic<bool> g_ClearOnNextRead{false};

struct Recorder {
    std::mutex mutex;
    std::vector<Event> events;

    void Add(char kind, ComPort* port, IOComAsyncPacket* packet) {
        std::lock_guard lock(mutex);
        std::string data;
        if (packet->GetData())
            data.assign(reinterpret_cast<char*>(packet->GetData()), packet->GetDataLength());
        events.push_back(Event{kind, data, packet->GetError(), packet->GetCompletionData(),
                               packet->GetHistory(), port ? port->GetRecvErrors() : -1});
    }
    Event Last() {
        std::lock_guard lock(mutex);
        return events.back();
    }
    std::vector<Event> Events() {
        std::lock_guard lock(mutex);
        return events;
    }
    int Count(char kind) {
        std::lock_guard lock(mutex);
        int n = 0;
        for (auto& e : events) n += e.kind == kind;
        return n;
    }
    std::string LastData(char kind) {
        std::lock_guard lock(mutex);
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->kind == kind) return it->data;
        return {};
    }
};
Recorder* g_Recorder = nullptr;

// Set by a test: the next read callback has the peer send these bytes and
// waits until they are in the port's input queue, all before the port sets
// its comm mask again.
std::atomic<const char*> g_BytesBeforeRearm{nullptr};
qvtest::PtyPeer* g_Peer = nullptr;

void SendBeforeRearm(ComPort* port) {
    const char* bytes = g_BytesBeforeRearm.exchange(nullptr);
    if (bytes == nullptr) return;
    const std::string text(bytes);
    ASSERT_TRUE(g_Peer->Write(text));
    ASSERT_TRUE(qvtest::WaitUntil(
        [&] {
            DWORD errors = 0;
            COMSTAT stat{};
            return ClearCommError(port->GetHandle(), &errors, &stat) && stat.cbInQue >= text.size();
        },
        std::chrono::milliseconds(2000)));
}

void OnPre(ComPort* port, IOComAsyncPacket* packet, int) {
    g_Recorder->Add('P', port, packet);
}
void OnRead(ComPort* port, IOComAsyncPacket* packet, int) {
    g_Recorder->Add('R', port, packet);
    if (g_ClearOnNextRead.exchange(false)) port->ClearRecvBuffer();
    SendBeforeRearm(port);
}
void OnWrite(ComPort* port, IOComAsyncPacket* packet, int) {
    g_Recorder->Add('W', port, packet);
}

class PortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_Recorder = &recorder;
        if (!peer.Open()) GTEST_SKIP() << "no pseudo-terminal available";
        ASSERT_EQ(pool.Start(0), 0);
        ASSERT_EQ(port.Init(1, nullptr, &log, &pool), 0);
    }

    void TearDown() override {
        port.Uninit();
        SetSystemCalls(nullptr);
        pool.Shutdown();
        g_Recorder = nullptr;
    }

    // Stays in use until TearDown has uninitialised the port.
    qvtest::FaultyCalls& UseFaultyCalls() {
        faulty = std::make_unique<qvtest::FaultyCalls>(&port, &pool);
        SetSystemCalls(faulty.get());
        return *faulty;
    }

    void OpenAndListen() {
        ASSERT_EQ(port.OpenComPort(peer.DeviceName().c_str(), 0, 115200, 1), 0) << log.Dump();
        ASSERT_EQ(pool.AssociateHandle(port.GetHandle(), port.GetCompletionKey()), 0);
        port.SetPreProcessorCallback(OnPre, &recorder);
        port.SetAsyncReadCallback(OnRead, &recorder);
        port.SetAsyncWriteCallback(OnWrite, &recorder);
        ASSERT_TRUE(port.ListenOnComPort());
    }

    qvtest::PtyPeer peer;
    qvtest::RecordingLog log;
    CAThreadPool pool;
    ComPort port;
    Recorder recorder;
    std::unique_ptr<qvtest::FaultyCalls> faulty;
};

TEST_F(PortTest, BytesReachPreProcessorThenCallbackAccumulated) {
    OpenAndListen();
    EXPECT_TRUE(log.Has("SetAsyncReadCallback >>", 'I'));
    EXPECT_TRUE(log.Has("SetAsyncReadCallback >> m_pIOPRecv != NULL", 'I'));
    const std::string reply = "\r\n+CSQ: 21,0\r\n\r\nOK\r\n";
    ASSERT_TRUE(peer.Write(reply, 3ms));
    ASSERT_TRUE(WaitUntil([&] { return recorder.LastData('R') == reply; })) << log.Dump();

    // Every read runs the pre-processor first, then the read callback, each
    // seeing everything received so far.
    auto events = recorder.Events();
    ASSERT_GE(events.size(), 2u);
    ASSERT_EQ(events.size() % 2, 0u);
    std::string previous;
    for (size_t i = 0; i < events.size(); i += 2) {
        EXPECT_EQ(events[i].kind, 'P') << i;
        EXPECT_EQ(events[i + 1].kind, 'R') << i;
        EXPECT_EQ(events[i].data, events[i + 1].data);
        EXPECT_EQ(events[i].data.compare(0, previous.size(), previous), 0) << "accumulates";
        EXPECT_GT(events[i].data.size(), previous.size());
        EXPECT_EQ(events[i + 1].completionData, &recorder);
        previous = events[i].data;
    }
    EXPECT_EQ(events.back().history, reply);
    EXPECT_EQ(events.back().recvErrors, 0);

    const int reads = static_cast<int>(events.size() / 2);
    EXPECT_EQ(
        log.Count("ComPort::ioRead_PacketHandler RECV: m_bDisableZeroRecvCallbacks = false", 'I'),
        reads);
    EXPECT_EQ(log.Count("ComPort::ioRead_PacketHandler RECV: process data", 'I'), reads);
    EXPECT_EQ(log.Count("ComPort::ioRead_PacketHandler RECV: m_PreProcessorCB", 'I'), reads);
    EXPECT_EQ(log.Count("ComPort::ioRead_PacketHandler RECV: m_IOCompleteCB", 'I'), reads);
    EXPECT_EQ(log.CountContaining("(erc: 0) -> RECV("), reads);
    // The last read shows everything received so far.
    EXPECT_EQ(log.CountContaining("): " + reply), 1);

    // Consumers clear what they matched; the history stays.
    g_ClearOnNextRead = true;
    ASSERT_TRUE(peer.Write("Z"));
    ASSERT_TRUE(WaitUntil([&] { return !g_ClearOnNextRead.load(); }));
    EXPECT_EQ(recorder.LastData('R'), reply + "Z");
    ASSERT_TRUE(peer.Write("\r\nRING\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return recorder.LastData('R') == "\r\nRING\r\n"; }));
    EXPECT_EQ(recorder.Last().history, reply + "Z\r\nRING\r\n");
}

TEST_F(PortTest, BytesThatCameBeforeTheMaskWasSetAgainAreReadAtOnce) {
    OpenAndListen();
    g_Peer = &peer;
    // The answer's end arrives after the read of its start, before listening
    // resumes. Setting the mask forgets its event (as on Windows), so only a
    // look at the input queue finds it; no further byte comes to help.
    g_BytesBeforeRearm = "\r\nOK\r\n";
    ASSERT_TRUE(peer.Write("AT\r"));
    ASSERT_TRUE(WaitUntil([&] { return recorder.LastData('R') == "AT\r\r\nOK\r\n"; }))
        << log.Dump();
    EXPECT_EQ(g_BytesBeforeRearm.load(), nullptr);
    g_Peer = nullptr;
}

TEST_F(PortTest, HistoryKeepsItsSecondHalfPastOneThousand) {
    OpenAndListen();
    std::string text;
    for (int i = 0; i < 1200; ++i) text += static_cast<char>('A' + i % 23);
    ASSERT_TRUE(peer.Write(text.substr(0, 600)));
    ASSERT_TRUE(WaitUntil([&] { return recorder.LastData('R').size() == 600; }));
    ASSERT_TRUE(peer.Write(text.substr(600)));
    ASSERT_TRUE(WaitUntil([&] { return recorder.LastData('R').size() == 1200; }));
    EXPECT_EQ(recorder.Last().history, text.substr(500));
}

TEST_F(PortTest, ZeroByteReadRunsBothCallbacks) {
    qvtest::FaultyCalls& calls = UseFaultyCalls();
    OpenAndListen();
    calls.emptyReads = 1;
    ASSERT_TRUE(peer.Write("AB"));
    ASSERT_TRUE(WaitUntil([&] { return recorder.LastData('R') == "AB"; })) << log.Dump();
    auto events = recorder.Events();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[0].kind, 'P');
    EXPECT_EQ(events[0].data, "");
    EXPECT_EQ(events[1].kind, 'R');
    EXPECT_EQ(events[1].data, "");
    EXPECT_TRUE(log.Has("(erc: 0) -> RECV(0): "));
}

TEST_F(PortTest, SendDataTakesUpTo80499Bytes) {
    OpenAndListen();
    std::string big(80499, 'x');
    big.back() = 'z';
    ASSERT_EQ(port.SendData(big.data(), static_cast<unsigned>(big.size())), 0);
    ASSERT_TRUE(peer.ReadCount(big.size(), 10000ms));
    EXPECT_EQ(peer.Take(), big);
    ASSERT_TRUE(log.WaitFor("(erc: 0) -> SENT(80499): " + big));
    EXPECT_EQ(recorder.Count('W'), 0) << "the send callback is for errors only";

    std::string tooBig(80500, 'y');
    EXPECT_EQ(port.SendData(tooBig.data(), static_cast<unsigned>(tooBig.size())), 1);
    EXPECT_TRUE(log.Has("ComPort::SendData - Failed, data is to big for one send (DATASTR: " +
                            tooBig + ", DATASZ: 80500, MAXDATASZ: 80500)",
                        'E'));
    EXPECT_EQ(port.SendData(nullptr, 5), 1);
    EXPECT_EQ(port.SendData("x", 0), 1);
    EXPECT_EQ(log.Count("ComPort::SendData - Failed, null buffer supplied.", 'E'), 2);
}

// A write asked for while the previous one is still completing waits for it
// (its answer may already be in); a third is refused at once.
TEST_F(PortTest, SendWhileAWriteIsPendingQueuesOneThenRefuses) {
    OpenAndListen();
    // The peer does not read: the write cannot finish.
    std::string big(80000, 'q');
    ASSERT_EQ(port.SendData(big.data(), static_cast<unsigned>(big.size())), 0);
    ASSERT_TRUE(WaitUntil([&] { return !port.GetSendPacket()->IsFree(); }));
    uint64_t start = qvclock::NowMs();
    EXPECT_EQ(port.SendData("AT\r", 3), 0);
    EXPECT_EQ(port.SendData("ATI\r", 4), 1);
    EXPECT_LT(qvclock::NowMs() - start, 50u) << "nothing waits for the packet";
    EXPECT_TRUE(
        log.Has("ComPort::SendData - Failed, a send aready is pending on this port. ", 'W'));
    ASSERT_TRUE(peer.ReadCount(big.size() + 3, 10000ms));
    ASSERT_TRUE(log.WaitFor("(erc: 0) -> SENT(3): AT\r"));
}

TEST_F(PortTest, WriteFailingThreeTimesThenSucceedingSendsOnce) {
    qvtest::FaultyCalls& calls = UseFaultyCalls();
    OpenAndListen();
    calls.failWrites = 3;
    ASSERT_EQ(port.SendData("AT+CSQ\r", 7), 0);
    ASSERT_TRUE(peer.ReadUntil("AT+CSQ\r"));
    ASSERT_TRUE(log.WaitFor("(erc: 0) -> SENT(7): AT+CSQ\r"));
    // The next command follows it: a second copy would have come before.
    ASSERT_TRUE(WaitUntil([&] { return port.GetSendPacket()->IsFree(); }));
    ASSERT_EQ(port.SendData("AT\r", 3), 0);
    ASSERT_TRUE(peer.ReadUntil("AT+CSQ\rAT\r")) << peer.Take();
    EXPECT_EQ(peer.Take(), "AT+CSQ\rAT\r") << "sent once";
    EXPECT_EQ(calls.writeCalls.load(), 5);
    EXPECT_EQ(log.Count("(erc: 31), writeIO failed -> AT+CSQ\r", 'W'), 3);
    ASSERT_TRUE(log.WaitFor("(erc: 0) -> SENT(3): AT\r"));
    EXPECT_EQ(log.CountContaining("-> SENT("), 2);
    EXPECT_EQ(recorder.Count('W'), 0);
    EXPECT_EQ(port.GetSendErrors(), 0);
}

TEST_F(PortTest, WriteFailingFourTimesCallsTheErrorCallbackOnce) {
    qvtest::FaultyCalls& calls = UseFaultyCalls();
    OpenAndListen();
    calls.failWrites = 4;
    ASSERT_EQ(port.SendData("AT\r", 3), 0);
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count('W') == 1; })) << log.Dump();
    EXPECT_EQ(recorder.Events().back().error, 31);
    EXPECT_EQ(log.Count("(erc: 31), writeIO failed -> AT\r", 'W'), 4);
    EXPECT_EQ(log.CountContaining("-> SENT("), 0);
    EXPECT_TRUE(WaitUntil([&] { return port.GetSendPacket()->IsFree(); }));

    // The next command starts with a clean count: one failure is resent.
    calls.failWrites = 1;
    ASSERT_EQ(port.SendData("ATE0\r", 5), 0);
    ASSERT_TRUE(log.WaitFor("(erc: 0) -> SENT(5): ATE0\r"));
    // Nothing more came of the failed command by the time the next one went.
    EXPECT_EQ(recorder.Count('W'), 1);
    EXPECT_EQ(calls.writeCalls.load(), 6);  // four for AT, two for ATE0
    EXPECT_EQ(log.Count("(erc: 31), writeIO failed -> AT\r", 'W'), 4);
}

TEST_F(PortTest, ThreeFailedReadsCallTheErrorCallback) {
    qvtest::FaultyCalls& calls = UseFaultyCalls();
    qvclock::SetScale(10);  // the pause before listening again
    OpenAndListen();
    calls.failReads = 3;
    ASSERT_TRUE(peer.Write("OK"));
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count('R') >= 1; })) << log.Dump();
    EXPECT_EQ(log.Count("recvIO failed, -> (erc: 31)", 'W'), 3);
    auto first = recorder.Events().front();
    EXPECT_EQ(first.kind, 'R');
    EXPECT_EQ(first.error, 31);
    EXPECT_EQ(recorder.Count('P'), 0) << "no pre-processing of failed reads";
    // Listening resumes after a pause and the data is read.
    ASSERT_TRUE(WaitUntil([&] { return recorder.LastData('R') == "OK"; })) << log.Dump();
    EXPECT_EQ(recorder.Count('R'), 2);
    EXPECT_EQ(recorder.Last().recvErrors, 0);
    qvclock::SetScale(1);
}

TEST_F(PortTest, TwoFailedReadsThenAGoodOneCallNoErrorCallback) {
    qvtest::FaultyCalls& calls = UseFaultyCalls();
    OpenAndListen();
    calls.failReads = 2;
    ASSERT_TRUE(peer.Write("OK"));
    ASSERT_TRUE(WaitUntil([&] { return recorder.LastData('R') == "OK"; })) << log.Dump();
    EXPECT_EQ(log.Count("recvIO failed, -> (erc: 31)", 'W'), 2);
    for (const Event& e : recorder.Events()) EXPECT_EQ(e.error, 0);
    EXPECT_EQ(recorder.Last().recvErrors, 0);
}

// A peer that hangs up makes every read fail at once; the port must not
// poll the dead device hot.
TEST_F(PortTest, HangUpIsReportedWithoutSpinning) {
    qvclock::SetScale(10);  // the pause before listening again: 100 ms
    OpenAndListen();
    peer.HangUp();
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count('R') >= 1; })) << log.Dump();
    auto failures = [&] {
        return log.CountContaining("recvIO failed") +
               log.CountContaining("failed to issue read io");
    };
    // The port keeps trying the dead device, each time after a pause: three
    // more failures take at least two pauses, where a port spinning on it
    // would have them at once.
    const int before = failures();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return failures() >= before + 3; }, 5000ms)) << log.Dump();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms) << log.Dump();
    qvclock::SetScale(1);
    EXPECT_EQ(port.Uninit(), 0);
    EXPECT_TRUE(log.Has("ComPort::Uninit - OK."));
}

TEST_F(PortTest, UninitWithReadAndWritePendingLeavesNothingBehind) {
    qvtest::FaultyCalls& calls = UseFaultyCalls();
    OpenAndListen();
    // A write the peer never takes, a read that never ends, and the wait.
    std::string big(80000, 'w');
    ASSERT_EQ(port.SendData(big.data(), static_cast<unsigned>(big.size())), 0);
    calls.holdReads = 1;
    ASSERT_TRUE(peer.Write("x"));
    ASSERT_TRUE(WaitUntil([&] { return calls.readCalls.load() == 1; }));
    EXPECT_FALSE(port.GetRecvPacket()->IsFree());
    EXPECT_FALSE(port.GetSendPacket()->IsFree());

    EXPECT_EQ(port.Uninit(), 0);
    auto lines = log.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().text, "ComPort::Uninit - OK.");
    EXPECT_EQ(lines.back().level, 'I');
    EXPECT_EQ(log.CountContaining("ComPort::Uninit - Waiting for exit. (IN FLIGHT: "), 1);
    EXPECT_FALSE(port.IsInitialized());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(port.IsAborting());
    EXPECT_EQ(port.GetRecvPacket(), nullptr);
    EXPECT_EQ(port.GetHandle(), nullptr);

    // Nothing is left to complete.
    size_t count = log.Lines().size();
    peer.Write("more");
    // Whatever the pool had queued has run.
    ASSERT_TRUE(qvtest::PoolDrained(&pool));
    EXPECT_EQ(log.Lines().size(), count);
    EXPECT_EQ(recorder.Count('R'), 0);
    EXPECT_EQ(recorder.Count('W'), 0);
    EXPECT_EQ(port.Uninit(), 0);
}

TEST_F(PortTest, UninitWithWaitAndWritePendingEndsBoth) {
    OpenAndListen();
    std::string big(80000, 'w');
    ASSERT_EQ(port.SendData(big.data(), static_cast<unsigned>(big.size())), 0);
    EXPECT_TRUE(WaitUntil(
        [&] { return !port.GetComPacket()->IsFree() && !port.GetSendPacket()->IsFree(); }));

    EXPECT_EQ(port.Uninit(), 0);
    auto lines = log.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back().text, "ComPort::Uninit - OK.");
    EXPECT_EQ(log.CountContaining("ComPort::Uninit - Waiting for exit. (IN FLIGHT: "), 1);
    EXPECT_EQ(log.CountContaining("given up"), 0);  // the wait ended on the new mask
    size_t count = log.Lines().size();
    peer.Write("late");
    // Whatever the pool had queued has run.
    ASSERT_TRUE(qvtest::PoolDrained(&pool));
    EXPECT_EQ(log.Lines().size(), count);
}

// Workers busy elsewhere: the aborted wait's completion stays queued. A close
// from the host's thread waits for it; the packets outlive it.
TEST_F(PortTest, UninitWaitsForACompletionStillQueued) {
    OpenAndListen();
    ASSERT_TRUE(WaitUntil([&] { return !port.GetComPacket()->IsFree(); }));

    // Every worker held until released.
    struct Hold {
        std::mutex mutex;
        std::condition_variable changed;
        unsigned entered = 0;
        bool released = false;
    };
    static Hold hold;
    hold.entered = 0;
    hold.released = false;
    const unsigned workers = pool.GetThreadCount();
    for (unsigned i = 0; i < workers; ++i) {
        ASSERT_EQ(pool.QueueWorkItem(nullptr,
                                     [](void*, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
                                         std::unique_lock lock(hold.mutex);
                                         ++hold.entered;
                                         hold.changed.notify_all();
                                         hold.changed.wait(lock, [] { return hold.released; });
                                         return 0;
                                     }),
                  0);
    }
    {
        std::unique_lock lock(hold.mutex);
        ASSERT_TRUE(hold.changed.wait_for(lock, 5000ms, [&] { return hold.entered == workers; }));
    }

    std::atomic<bool> done{false};
    std::atomic<int> closerTid{0};
    std::thread closer([&] {
        closerTid = qvtest::CurrentThreadId();
        port.Uninit();
        done = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return log.CountContaining("Waiting for exit") > 0; }));
    // The closer sleeps in Uninit, waiting for the queued completion; every
    // worker is held, so it cannot have been handled.
    EXPECT_TRUE(WaitUntil([&] { return closerTid && qvtest::ThreadAsleep(closerTid); }));
    EXPECT_FALSE(done.load()) << "Uninit returned with a completion still queued";
    EXPECT_GT(port.Gate().Count(), 0);
    EXPECT_NE(port.GetComPacket(), nullptr);

    {
        std::lock_guard lock(hold.mutex);
        hold.released = true;
        hold.changed.notify_all();
    }
    closer.join();
    EXPECT_EQ(log.Lines().back().text, "ComPort::Uninit - OK.");
    EXPECT_EQ(port.GetComPacket(), nullptr);
    EXPECT_FALSE(port.IsInitialized());
}

// Closing from a worker never waits, even when every other worker is busy:
// more ports than workers are closed from work items at once, and each close
// ends once the held workers are free again.
TEST_F(PortTest, MoreClosesThanWorkersOnWorkersNeverBlock) {
    const unsigned workers = pool.GetThreadCount();
    const unsigned count = workers * 2 + 1;
    std::vector<std::unique_ptr<qvtest::PtyPeer>> peers;
    std::vector<std::unique_ptr<ComPort>> ports;
    for (unsigned i = 0; i < count; ++i) {
        auto p = std::make_unique<qvtest::PtyPeer>();
        if (!p->Open()) GTEST_SKIP() << "no pseudo-terminal available";
        auto c = std::make_unique<ComPort>();
        ASSERT_EQ(c->Init(1, nullptr, &log, &pool), 0);
        ASSERT_EQ(c->OpenComPort(p->DeviceName().c_str(), 0, 115200, 1), 0);
        ASSERT_EQ(pool.AssociateHandle(c->GetHandle(), c->GetCompletionKey()), 0);
        ASSERT_TRUE(c->ListenOnComPort());
        peers.push_back(std::move(p));
        ports.push_back(std::move(c));
    }
    static std::atomic<int> closed;
    static std::atomic<int> returned;
    closed = 0;
    returned = 0;
    for (auto& c : ports) {
        ASSERT_EQ(pool.QueueWorkItem(c.get(),
                                     [](void* context, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
                                         auto* p = static_cast<ComPort*>(context);
                                         p->BeginUninit([] { ++closed; });
                                         ++returned;
                                         return 0;
                                     }),
                  0);
    }
    ASSERT_TRUE(WaitUntil([&] { return closed.load() == static_cast<int>(count); }))
        << returned.load() << " of " << count << " closes returned, " << closed.load() << " ended";
    EXPECT_EQ(returned.load(), static_cast<int>(count));
    for (auto& c : ports) EXPECT_FALSE(c->IsInitialized());
}

TEST_F(PortTest, UninitGivesUpAWaitThatNothingEnds) {
    qvtest::FaultyCalls& calls = UseFaultyCalls();
    calls.endlessWaits = 1;
    OpenAndListen();
    // Neither the new mask, nor the purge, nor closing ends the wait: after
    // a while closing goes on without it.
    EXPECT_EQ(port.Uninit(), 0);
    EXPECT_TRUE(log.Has("ComPort::Uninit - OK.", 'I')) << log.Dump();
    EXPECT_EQ(log.Count("ComPort::Uninit - comm event wait given up after 2000 ms", 'W'), 1);
    EXPECT_FALSE(port.IsInitialized());
}

TEST_F(PortTest, UninitOnAPortNeverInitialisedReturnsAtOnce) {
    ComPort fresh;
    EXPECT_EQ(fresh.Uninit(), 0);
    EXPECT_FALSE(fresh.IsInitialized());
}

TEST_F(PortTest, OpeningAMissingDeviceFails) {
    EXPECT_EQ(port.OpenComPort("\\\\.\\COM99999", 0, 115200, 1), 1);
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 'E');
    EXPECT_EQ(lines[0].text.rfind(
                  "ComPort::OpenComPort - failed to open handle on \\\\.\\COM99999 (erc: ", 0),
              0u)
        << lines[0].text;
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(PortTest, ArgumentAndStateChecks) {
    ComPort other;
    EXPECT_EQ(other.OpenComPort(peer.DeviceName().c_str(), 0, 115200, 1), 18);
    EXPECT_EQ(port.OpenComPort(nullptr, 0, 115200, 1), 6);
    EXPECT_EQ(port.Init(1, nullptr, &log, &pool), 17);
    EXPECT_FALSE(port.ListenOnComPort()) << "not open";
    EXPECT_EQ(port.SendData("AT\r", 3), 1);
    EXPECT_TRUE(log.Has("ComPort::SendData - Failed, Reason: notinit\\notopen\\isAborting", 'E'));
    EXPECT_EQ(port.SendRawData("AT\r", 3), 1);
    EXPECT_TRUE(
        log.Has("ComPort::SendRawData - Failed, Reason: notinit\\notopen\\isAborting", 'E'));
}

TEST_F(PortTest, OpenLogsAndConfiguresThePort) {
    OpenAndListen();
    EXPECT_TRUE(
        log.Has("ComPort::OpenComPort - succes to open handle on " + peer.DeviceName(), 'E'));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_NE(port.GetHandle(), nullptr);
    EXPECT_FALSE(port.ListenOnComPort()) << "one wait at a time";
    EXPECT_TRUE(log.Has("ComPort::ListenOnComPort - IO COM PACKET in use.", 'W'));
    // The device is exclusive.
    ComPort second;
    ASSERT_EQ(second.Init(1, nullptr, &log, &pool), 0);
    EXPECT_EQ(second.OpenComPort(peer.DeviceName().c_str(), 0, 115200, 1), 1);
}

TEST_F(PortTest, SendRawDataWritesTheCallersBuffer) {
    OpenAndListen();
    static const char kCommand[] = "AT+CMGF=0\r";
    ASSERT_EQ(port.SendRawData(kCommand, 10), 0);
    ASSERT_TRUE(peer.ReadUntil("AT+CMGF=0\r"));
    ASSERT_TRUE(log.WaitFor("(erc: 0) -> SENT(10): "));
}

// A line that fails initialisation is retried from a callback of its own
// port: the close starts inside the callback and ends once it has returned;
// the port is then set up, opened and listening again.
TEST_F(PortTest, PortCanBeReinitialisedFromItsOwnCallback) {
    OpenAndListen();
    struct Context {
        CAThreadPool* pool;
        std::string device;
        std::atomic<int> result{-1};
        std::atomic<bool> closedInside{false};
    };
    static Context* s_Context = nullptr;
    Context context{&pool, peer.DeviceName()};
    s_Context = &context;
    port.SetAsyncReadCallback(
        [](ComPort* p, IOComAsyncPacket*, int) {
            Context* c = s_Context;
            p->BeginUninit([p, c] {
                int r = p->Init(1, nullptr, p->GetLog(), c->pool);
                r += p->OpenComPort(c->device.c_str(), 0, 115200, 1);
                r += c->pool->AssociateHandle(p->GetHandle(), p->GetCompletionKey());
                p->SetAsyncReadCallback(OnRead, nullptr);
                r += p->ListenOnComPort() ? 0 : 100;
                c->result = r;
            });
            // Still inside the port's own handler: nothing is freed yet.
            c->closedInside = p->GetRecvPacket() == nullptr;
        },
        nullptr);
    ASSERT_TRUE(peer.Write("ERROR\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return context.result.load() != -1; })) << log.Dump();
    EXPECT_EQ(context.result.load(), 0) << log.Dump();
    EXPECT_FALSE(context.closedInside.load()) << "packets freed under the running callback";
    EXPECT_TRUE(log.Has("ComPort::Uninit - OK."));
    ASSERT_TRUE(peer.Write("OK\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return recorder.LastData('R') == "OK\r\n"; })) << log.Dump();
    s_Context = nullptr;
}

}  // namespace
