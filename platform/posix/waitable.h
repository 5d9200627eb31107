// Objects WaitForSingleObject and WaitForMultipleObjects accept: events and
// threads. Their signalled state lives under one process-wide mutex so a wait
// on several objects sees a consistent picture; each waiter brings its own
// condition variable and is woken only by the objects it waits on.
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/posix/handle.h"

namespace qvplat {

class Waitable : public Object {
  public:
    static bool Accepts(Kind k) { return k == Kind::kEvent || k == Kind::kThread; }

    Waitable(Kind kind, bool manualReset, bool signalled)
        : Object(kind), m_manualReset(manualReset), m_signalled(signalled) {}

    void Set();
    void Reset();
    bool IsSignalled();

    // The rest is used by the wait functions with WaitMutex() held.
    static std::mutex& WaitMutex();
    // Takes the signal when set (clearing an auto-reset one).
    bool TakeLocked();
    bool IsSignalledLocked() const { return m_signalled; }
    void ConsumeLocked() {
        if (!m_manualReset) m_signalled = false;
    }
    void AddWaiterLocked(std::condition_variable* cv) { m_waiters.push_back(cv); }
    void RemoveWaiterLocked(std::condition_variable* cv);

  private:
    const bool m_manualReset;
    bool m_signalled;
    std::vector<std::condition_variable*> m_waiters;
};

class Event : public Waitable {
  public:
    static bool Accepts(Kind k) { return k == Kind::kEvent; }
    Event(bool manualReset, bool signalled) : Waitable(Kind::kEvent, manualReset, signalled) {}
};

}  // namespace qvplat
