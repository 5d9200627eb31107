// The default timer queue: one thread, timers ordered by (deadline, creation
// number) on the platform clock, callbacks run on that thread one at a time.
#include <chrono>
#include <condition_variable>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/posix/waitable.h"
#include "platform/thread_annotations.h"

namespace qvplat {
namespace {

class Timer : public Object {
  public:
    static bool Accepts(Kind k) { return k == Kind::kTimer; }
    Timer(WAITORTIMERCALLBACK cb, PVOID arg, DWORD periodMs)
        : Object(Kind::kTimer), m_callback(cb), m_arg(arg), m_periodMs(periodMs) {}

    const WAITORTIMERCALLBACK m_callback;
    const PVOID m_arg;
    const DWORD m_periodMs;
    // Guarded by the queue's mutex (TimerQueue::m_mu; not annotated, as the
    // queue is reached through its accessor).
    uint64_t m_deadline = 0;
    uint64_t m_seq = 0;
    size_t m_slot = 0;  // in the queue's heap, while queued
    bool m_queued = false;
    bool m_running = false;
    bool m_deleted = false;
    Ref<Waitable> m_doneEvent;  // signalled when a running callback returns
};

// Lock order: the queue mutex is taken last (it is never held while a
// callback runs or while another platform lock is taken).
class TimerQueue {
  public:
    static TimerQueue& Get() {
        // Never destroyed: the thread outlives static destructors safely.
        static TimerQueue* q = new TimerQueue();
        return *q;
    }

    void Add(Timer* t, DWORD dueMs) QV_EXCLUDES(m_mu) {
        qv::MutexLock lock(m_mu);
        Schedule(t, qvclock::NowMs(), dueMs);
        // A timer due after the one the thread sleeps for needs no wake-up:
        // most timers are time-outs, replaced long before they are due.
        if (t->m_deadline < m_sleepUntil) m_wake.notify_one();
    }

    // Closes t's handle (closed: whether this call did) and cancels it.
    // Waits for its running callback when wait is set and the caller is not
    // the timer thread. False (ERROR_IO_PENDING) when the callback still runs
    // and the caller neither waits nor gave an event.
    BOOL Delete(Timer* t, bool wait, Ref<Waitable> doneEvent, bool* closed) QV_EXCLUDES(m_mu) {
        *closed = false;
        qv::MutexLock lock(m_mu);
        // Windows would wait for ever for a callback that deletes its own
        // timer and waits for itself: the stand-in refuses that call instead.
        if (wait && t->m_running && std::this_thread::get_id() == m_threadId) {
            return Fail(ERROR_POSSIBLE_DEADLOCK);
        }
        if (!t->MarkClosed()) return Fail(ERROR_INVALID_HANDLE);
        *closed = true;
        t->m_deleted = true;
        if (t->m_queued) {
            Unqueue(t);
            t->Release();  // the queue's reference
        }
        if (t->m_running && wait && std::this_thread::get_id() != m_threadId) {
            m_done.wait(lock.Native(), [t] { return !t->m_running; });
        }
        if (!t->m_running) {
            lock.Unlock();
            if (doneEvent) doneEvent->Set();
            return TRUE;
        }
        if (doneEvent) {
            t->m_doneEvent = std::move(doneEvent);
            return TRUE;
        }
        return wait ? TRUE : Fail(ERROR_IO_PENDING);
    }

  private:
    // The queue is a binary heap of timers, each knowing its slot, so that a
    // time-out cancelled long before it is due leaves in O(log n) and
    // neither allocates nor frees.
    static bool Before(const Timer* a, const Timer* b) {
        return a->m_deadline != b->m_deadline ? a->m_deadline < b->m_deadline : a->m_seq < b->m_seq;
    }

    void Place(Timer* t, size_t slot) QV_REQUIRES(m_mu) {
        m_heap[slot] = t;
        t->m_slot = slot;
    }

    void SiftUp(size_t slot) QV_REQUIRES(m_mu) {
        Timer* t = m_heap[slot];
        while (slot > 0) {
            const size_t parent = (slot - 1) / 2;
            if (!Before(t, m_heap[parent])) break;
            Place(m_heap[parent], slot);
            slot = parent;
        }
        Place(t, slot);
    }

    void SiftDown(size_t slot) QV_REQUIRES(m_mu) {
        Timer* t = m_heap[slot];
        const size_t n = m_heap.size();
        for (;;) {
            size_t child = 2 * slot + 1;
            if (child >= n) break;
            if (child + 1 < n && Before(m_heap[child + 1], m_heap[child])) ++child;
            if (!Before(m_heap[child], t)) break;
            Place(m_heap[child], slot);
            slot = child;
        }
        Place(t, slot);
    }

    void Unqueue(Timer* t) QV_REQUIRES(m_mu) {
        const size_t slot = t->m_slot;
        Timer* last = m_heap.back();
        m_heap.pop_back();
        t->m_queued = false;
        if (last == t) return;
        Place(last, slot);
        SiftUp(slot);
        SiftDown(last->m_slot);
    }

    TimerQueue() {
        std::thread th([this] { Run(); });
        m_threadId = th.get_id();
        th.detach();
    }

    void Schedule(Timer* t, uint64_t now, DWORD dueMs) QV_REQUIRES(m_mu) {
        uint64_t deadline = now + dueMs;
        if (deadline < now) deadline = UINT64_MAX;  // clamp instead of wrapping
        t->m_deadline = deadline;
        t->m_seq = m_nextSeq++;
        t->m_queued = true;
        m_heap.push_back(t);
        SiftUp(m_heap.size() - 1);
    }

    void Run() QV_EXCLUDES(m_mu) {
        qv::MutexLock lock(m_mu);
        for (;;) {
            if (m_heap.empty()) {
                m_sleepUntil = UINT64_MAX;
                m_wake.wait(lock.Native());
                m_sleepUntil = 0;
                continue;
            }
            Timer* t = m_heap.front();
            uint64_t now = qvclock::NowMs();
            uint64_t deadline = t->m_deadline;
            if (deadline > now) {
                m_sleepUntil = deadline;
                m_wake.wait_for(lock.Native(),
                                std::chrono::nanoseconds(qvclock::ToRealNs(deadline - now)));
                m_sleepUntil = 0;
                continue;
            }
            Unqueue(t);
            t->m_running = true;
            lock.Unlock();
            t->m_callback(t->m_arg, TRUE);
            lock.Lock();
            t->m_running = false;
            m_done.notify_all();
            Ref<Waitable> doneEvent = std::move(t->m_doneEvent);
            if (t->m_periodMs != 0 && !t->m_deleted) {
                Schedule(t, qvclock::NowMs(), t->m_periodMs);  // keeps the queue's reference
                continue;
            }
            lock.Unlock();
            if (doneEvent) doneEvent->Set();
            t->Release();  // the queue's reference
            lock.Lock();
        }
    }

    qv::Mutex m_mu;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    // A heap: the earliest deadline first, ties by creation.
    std::vector<Timer*> m_heap QV_GUARDED_BY(m_mu);
    uint64_t m_nextSeq QV_GUARDED_BY(m_mu) = 0;
    // The deadline the thread sleeps until (UINT64_MAX: no timer), 0 while
    // it is awake and will look at the queue again anyway.
    uint64_t m_sleepUntil QV_GUARDED_BY(m_mu) = 0;
    std::thread::id m_threadId;
};

}  // namespace
}  // namespace qvplat

BOOL CreateTimerQueueTimer(PHANDLE timer, HANDLE queue, WAITORTIMERCALLBACK callback, PVOID arg,
                           DWORD dueMs, DWORD periodMs, ULONG) {
    if (!timer || queue || !callback) return qvplat::Fail(ERROR_INVALID_PARAMETER);
    auto* t = new qvplat::Timer(callback, arg, periodMs);
    t->AddRef();  // the queue's reference, the first one is the handle's
    *timer = t;
    qvplat::TimerQueue::Get().Add(t, dueMs);
    return TRUE;
}

BOOL DeleteTimerQueueTimer(HANDLE queue, HANDLE timer, HANDLE completionEvent) {
    if (queue) return qvplat::Fail(ERROR_INVALID_PARAMETER);
    qvplat::Ref<qvplat::Timer> t = qvplat::Get<qvplat::Timer>(timer);
    if (!t) return FALSE;
    bool wait = completionEvent == INVALID_HANDLE_VALUE;
    qvplat::Ref<qvplat::Waitable> doneEvent;
    if (completionEvent && !wait) {
        doneEvent = qvplat::Get<qvplat::Event>(completionEvent);
        if (!doneEvent) return FALSE;
    }
    bool closed = false;
    BOOL ok = qvplat::TimerQueue::Get().Delete(t.get(), wait, std::move(doneEvent), &closed);
    if (closed) t->Release();  // the handle's reference
    return ok;
}
