// The one epoll thread behind every serial device. It only tells a device
// that its descriptor is ready or that a deadline has passed; the device does
// the I/O and completes its operations itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <utility>

#include "platform/posix/handle.h"
#include "platform/thread_annotations.h"

namespace qvplat {

class Device;

class Reactor {
  public:
    using Clock = std::chrono::steady_clock;

    static Reactor& Get();

    // Registers fd for d (disarmed) and returns the id the reactor knows d
    // by, or 0 with errno set.
    uint64_t Add(Device* d, int fd) QV_EXCLUDES(m_mu);
    // Asks for one readiness report (EPOLLIN / EPOLLOUT; one-shot).
    bool Arm(uint64_t id, int fd, uint32_t events);
    // Stops watching fd; d gets no more calls once this returned and the
    // reactor dropped the reference it may be using at that moment.
    void Remove(uint64_t id, int fd) QV_EXCLUDES(m_mu);
    // Calls d->OnDeadline(token) at or after when (real time).
    void After(uint64_t id, Clock::time_point when, uint64_t token) QV_EXCLUDES(m_mu);

  private:
    Reactor();
    void Run();
    Ref<Device> Find(uint64_t id) QV_EXCLUDES(m_mu);
    void Wake();
    int NextTimeoutMs() QV_EXCLUDES(m_mu);
    void FireDeadlines() QV_EXCLUDES(m_mu);

    // Set by the constructor, before the loop's thread starts.
    int m_epoll = -1;
    int m_wakeFd = -1;  // eventfd: a new earlier deadline
    // Taken after a device's lock, never before it.
    qv::Mutex m_mu;
    uint64_t m_nextId QV_GUARDED_BY(m_mu) = 1;
    // Each holds a reference.
    std::unordered_map<uint64_t, Device*> m_devices QV_GUARDED_BY(m_mu);
    // (id, token) by deadline.
    std::multimap<Clock::time_point, std::pair<uint64_t, uint64_t>> m_deadlines QV_GUARDED_BY(m_mu);
};

// Raises the soft limit of open descriptors to the hard one, once: a process
// with two thousand ports needs more than the usual 1024.
void RaiseFdLimit();

}  // namespace qvplat
