// A function run on a pool worker after a delay of platform time, and
// cancellable until it starts. Waits that used to block a worker (a pause
// between commands, a back-off before a retry) become one of these, so a few
// workers can serve many lines at once.
//
// Every Schedule that returns true ends in exactly one call of its function:
// run = true on a worker after the delay, or run = false when it was
// cancelled (on the cancelling thread, or on a worker if the run had already
// been queued). Owners use that call to release what keeps them alive.
//
// Lock order: a ticket's lock is innermost; the function is called outside
// every lock of this class, and DeleteTimerQueueTimer is never called under
// one (it waits for a running timer callback, which takes the ticket lock).
#pragma once

#include <functional>

#include "platform/thread_annotations.h"
#include "platform/win32.h"

class CAThreadPool;

class DelayedWork {
  public:
    using Function = std::function<void(bool run)>;

    DelayedWork() = default;
    DelayedWork(const DelayedWork&) = delete;
    DelayedWork& operator=(const DelayedWork&) = delete;
    // Cancels what is still pending.
    ~DelayedWork();

    // Runs fn(true) on a worker of pool after delayMs. One run may be pending
    // at a time: false (fn never called) when one is, when pool is null or
    // when the timer cannot be created.
    bool Schedule(CAThreadPool* pool, unsigned delayMs, Function fn) QV_EXCLUDES(m_Lock);
    // true when a pending run was stopped before it started (fn(false) has
    // been or will be called); false when nothing was pending or the run has
    // already started.
    bool Cancel() QV_EXCLUDES(m_Lock);
    // A run is armed or queued and has not started.
    bool IsPending() QV_EXCLUDES(m_Lock);

  private:
    struct Ticket;
    static void CALLBACK TimerProc(PVOID ticket, BOOLEAN fired);
    static int RunTicket(void* ticket, struct CompletionKey* key, LPOVERLAPPED overlapped,
                         DWORD bytes, DWORD error);
    static void Release(Ticket* ticket);

    // Taken before a ticket's lock.
    qv::Mutex m_Lock;
    // The latest run; this object holds one reference.
    Ticket* m_pTicket QV_GUARDED_BY(m_Lock) = nullptr;
};
