// An epoll set whose members are reference-counted objects. The process-wide
// reactor owns one; every completion port owns another, which its own idle
// worker waits on, so that a readiness report of a port's device is turned
// into a packet on the thread that will handle it.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "platform/posix/handle.h"
#include "platform/thread_annotations.h"

namespace qvplat {

// What a ready set reports to.
class Watched : public Object {
  public:
    using Object::Object;
    // The descriptor the object was added with reported events.
    virtual void OnReady(uint32_t events) = 0;
    // A deadline asked of the reactor has passed (reactor thread).
    virtual void OnDeadline(uint64_t /*token*/) {}
};

class ReadySet {
  public:
    ReadySet();
    ~ReadySet();
    ReadySet(const ReadySet&) = delete;
    ReadySet& operator=(const ReadySet&) = delete;

    // False when the epoll set or its wake descriptor could not be made.
    bool Valid() const { return m_epoll >= 0 && m_wakeFd >= 0; }
    int Fd() const { return m_epoll; }

    // Registers fd for w, disarmed, with a reference to w; returns the id the
    // set knows w by, or 0 with errno set.
    uint64_t Add(Watched* w, int fd) QV_EXCLUDES(m_mu);
    // Asks for one report of events (EPOLLIN / EPOLLOUT; one-shot). 0 disarms.
    // edge: a report at every change instead, until armed otherwise.
    bool Arm(uint64_t id, int fd, uint32_t events, bool edge = false);
    // Stops watching fd; w gets no more calls once this returned and every
    // dispatching thread dropped the reference it may be using at that moment.
    void Remove(uint64_t id, int fd) QV_EXCLUDES(m_mu);
    // Waits up to timeoutMs (-1: no limit) and hands every report to its
    // object on this thread. Returns the number of objects that got one; a
    // Wake or a time-out returns 0.
    int Dispatch(int timeoutMs) QV_EXCLUDES(m_mu);
    // Makes a thread inside Dispatch return.
    void Wake();

  private:
    Ref<Watched> Find(uint64_t id) QV_EXCLUDES(m_mu);

    int m_epoll = -1;
    int m_wakeFd = -1;  // eventfd, id 0
    // Taken after a member's own lock, never before it.
    qv::Mutex m_mu;
    uint64_t m_nextId QV_GUARDED_BY(m_mu) = 1;
    // Each holds a reference.
    std::unordered_map<uint64_t, Watched*> m_members QV_GUARDED_BY(m_mu);
};

}  // namespace qvplat
