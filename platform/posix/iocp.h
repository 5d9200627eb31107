// The completion port: a queue of packets that worker threads take in order.
//
// Devices bound to a port join the port's own ready set. One idle worker at
// a time waits on that set instead of on the queue (the poller); the others
// sleep on the queue. A readiness report thus becomes a packet on the thread
// that takes it, with no hand-off. When the poller has been away handling
// packets for a while (kWatchDelay) and others sleep, the reactor watches the
// set in its place, so a worker that blocks in a handler never keeps the
// others from their completions for longer than that. A poller that comes
// back sooner, as it nearly always does, costs the set no re-arming.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

#include "platform/posix/ready_set.h"
#include "platform/thread_annotations.h"

namespace qvplat {

class Port : public Watched {
  public:
    static bool Accepts(Kind k) { return k == Kind::kPort; }
    Port();

    // Queues one packet; false when the port is closed. error 0 is success.
    bool Post(DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped, DWORD error) QV_EXCLUDES(m_mu);
    // Takes the oldest packet, waiting up to timeoutMs of platform time.
    BOOL Get(LPDWORD bytes, PULONG_PTR key, LPOVERLAPPED* overlapped, DWORD timeoutMs)
        QV_EXCLUDES(m_mu);
    // Wakes every waiter, which then fails with ERROR_INVALID_HANDLE.
    void Close() override QV_EXCLUDES(m_mu);

    // The set a device bound to the port joins; null when the port has none
    // (the reactor then keeps watching the device).
    ReadySet* Readiness() { return m_set.Valid() ? &m_set : nullptr; }
    // Reactor thread: the set has reports while no worker waits on it.
    void OnReady(uint32_t events) override QV_EXCLUDES(m_mu);
    // Reactor thread: the look at a poller's absence asked by Depart.
    void OnDeadline(uint64_t token) override QV_EXCLUDES(m_mu);

    // How long a poller may be away, sleepers waiting, before the reactor
    // watches the set: what a blocked handler may delay the other workers.
    static constexpr auto kWatchDelay = std::chrono::milliseconds(5);

  private:
    // Hands the reactor the watch of the set, or takes it back.
    void Watch(bool on) QV_REQUIRES(m_mu);
    // The poller leaves with a packet while others sleep: the reactor is
    // asked to look after kWatchDelay, unless a look is on its way.
    void Depart() QV_REQUIRES(m_mu);
    void LookLater() QV_REQUIRES(m_mu);
    // A packet waits: wakes a sleeper, or else the poller, unless a woken
    // worker is already on its way. The caller notifies after unlocking.
    void CallIdleWorker(bool byPoller, bool& notify, bool& wakePoller) QV_REQUIRES(m_mu);
    struct Packet {
        DWORD bytes;
        ULONG_PTR key;
        LPOVERLAPPED overlapped;
        DWORD error;
    };
    qv::Mutex m_mu;
    std::condition_variable m_cv;
    std::deque<Packet> m_queue QV_GUARDED_BY(m_mu);
    bool m_closed QV_GUARDED_BY(m_mu) = false;

    ReadySet m_set;
    uint64_t m_watchId = 0;  // in the reactor's set; set by the constructor
    bool m_watched QV_GUARDED_BY(m_mu) = false;
    bool m_polling QV_GUARDED_BY(m_mu) = false;
    std::thread::id m_poller QV_GUARDED_BY(m_mu);
    // The poller takes the first packet its dispatch queues; later ones wake sleepers.
    bool m_pollerClaimed QV_GUARDED_BY(m_mu) = false;
    int m_sleepers QV_GUARDED_BY(m_mu) = 0;
    // Sleepers notified and not yet awake: 0 or 1 (CallIdleWorker).
    int m_wakesOwed QV_GUARDED_BY(m_mu) = 0;
    // Departures of a poller; the one the coming look is about.
    uint64_t m_departures QV_GUARDED_BY(m_mu) = 0;
    uint64_t m_lookedAt QV_GUARDED_BY(m_mu) = 0;
    bool m_lookDue QV_GUARDED_BY(m_mu) = false;
};

// Ends one overlapped operation: records the outcome in the OVERLAPPED
// (Internal = error, InternalHigh = bytes) and queues it to port, or, for a
// handle without a port, signals the OVERLAPPED's event.
void CompleteIo(Port* port, ULONG_PTR key, LPOVERLAPPED overlapped, DWORD error, DWORD bytes);

}  // namespace qvplat
