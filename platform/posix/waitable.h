// Objects WaitForSingleObject and WaitForMultipleObjects accept: events and
// threads. Their signalled state lives under one process-wide mutex so a wait
// on several objects sees a consistent picture; each waiter brings its own
// condition variable and is woken only by the objects it waits on.
#pragma once

#include <condition_variable>
#include <vector>

#include "platform/posix/handle.h"
#include "platform/thread_annotations.h"

namespace qvplat {

class Waitable : public Object {
  public:
    static bool Accepts(Kind k) { return k == Kind::kEvent || k == Kind::kThread; }

    Waitable(Kind kind, bool manualReset, bool signalled)
        : Object(kind), m_manualReset(manualReset), m_signalled(signalled) {}

    void Set() QV_EXCLUDES(WaitMutex());
    void Reset() QV_EXCLUDES(WaitMutex());
    bool IsSignalled() QV_EXCLUDES(WaitMutex());

    // The rest is used by the wait functions with WaitMutex() held.
    static qv::Mutex& WaitMutex();
    // Takes the signal when set (clearing an auto-reset one).
    bool TakeLocked() QV_REQUIRES(WaitMutex());
    bool IsSignalledLocked() const QV_REQUIRES(WaitMutex()) { return m_signalled; }
    void ConsumeLocked() QV_REQUIRES(WaitMutex()) {
        if (!m_manualReset) m_signalled = false;
    }
    void AddWaiterLocked(std::condition_variable* cv) QV_REQUIRES(WaitMutex()) {
        m_waiters.push_back(cv);
    }
    void RemoveWaiterLocked(std::condition_variable* cv) QV_REQUIRES(WaitMutex());

  private:
    const bool m_manualReset;
    bool m_signalled QV_GUARDED_BY(WaitMutex());
    std::vector<std::condition_variable*> m_waiters QV_GUARDED_BY(WaitMutex());
};

class Event : public Waitable {
  public:
    static bool Accepts(Kind k) { return k == Kind::kEvent; }
    Event(bool manualReset, bool signalled) : Waitable(Kind::kEvent, manualReset, signalled) {}
};

}  // namespace qvplat
