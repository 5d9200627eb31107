// The one thread behind every serial device that no idle worker of a
// completion port watches: devices without a port, ports whose workers are
// all busy, and real-time deadlines. It only tells a device that its
// descriptor is ready or that a deadline has passed; the device does the I/O
// and completes its operations itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <utility>

#include "platform/posix/ready_set.h"
#include "platform/thread_annotations.h"

namespace qvplat {

class Device;

class Reactor {
  public:
    using Clock = std::chrono::steady_clock;

    static Reactor& Get();

    // The set the reactor's thread dispatches.
    ReadySet& Set() { return m_set; }
    // Calls w->OnDeadline(token) at or after when (real time), holding a
    // reference to w until then.
    void After(Watched* w, Clock::time_point when, uint64_t token) QV_EXCLUDES(m_mu);

  private:
    Reactor();
    void Run();
    int NextTimeoutMs() QV_EXCLUDES(m_mu);
    void FireDeadlines() QV_EXCLUDES(m_mu);

    ReadySet m_set;
    // Taken after a device's or a port's lock, never before either.
    qv::Mutex m_mu;
    // (device or port, token) by deadline.
    std::multimap<Clock::time_point, std::pair<Ref<Watched>, uint64_t>> m_deadlines
        QV_GUARDED_BY(m_mu);
};

// Raises the soft limit of open descriptors to the hard one, once: a process
// with two thousand ports needs more than the usual 1024.
void RaiseFdLimit();

}  // namespace qvplat
