#include "io/DelayedWork.h"

#include <atomic>
#include <new>
#include <utility>

#include "io/ThreadPool.h"

namespace {
enum TicketState { TICKET_ARMED, TICKET_QUEUED, TICKET_RUNNING, TICKET_FINISHED, TICKET_CANCELLED };
}

// One scheduled run. Referenced by its DelayedWork (until replaced or
// destroyed) and by the timer/work-item chain (until the function was called).
struct DelayedWork::Ticket {
    Ticket(CAThreadPool* runOn, Function function) : pool(runOn), fn(std::move(function)) {}

    qv::Mutex lock;
    int state QV_GUARDED_BY(lock) = TICKET_ARMED;
    HANDLE timer QV_GUARDED_BY(lock) = nullptr;  // deleted by whoever ends the chain
    CAThreadPool* const pool;
    // Taken by whoever ends the chain.
    Function fn;
    std::atomic<int> refs{2};
};

DelayedWork::~DelayedWork() {
    Cancel();
    qv::MutexLock guard(m_Lock);
    if (m_pTicket) Release(m_pTicket);
    m_pTicket = nullptr;
}

void DelayedWork::Release(Ticket* ticket) {
    if (ticket->refs.fetch_sub(1) == 1) delete ticket;
}

bool DelayedWork::Schedule(CAThreadPool* pool, unsigned delayMs, Function fn) {
    if (!pool || !fn) return false;
    qv::MutexLock guard(m_Lock);
    if (m_pTicket) {
        qv::MutexLock ticketGuard(m_pTicket->lock);
        if (m_pTicket->state == TICKET_ARMED || m_pTicket->state == TICKET_QUEUED) return false;
    }
    Ticket* ticket = new (std::nothrow) Ticket(pool, std::move(fn));
    if (!ticket) return false;
    bool created = false;
    {
        // Held while the timer is created so that TimerProc, which may fire at
        // once, finds the handle stored. Once the lock is left the ticket may
        // run (and finish) at any time.
        qv::MutexLock ticketGuard(ticket->lock);
        created = CreateTimerQueueTimer(&ticket->timer, nullptr, TimerProc, ticket, delayMs, 0, 0);
        if (!created) ticket->timer = nullptr;
    }
    if (!created) {
        delete ticket;
        return false;
    }
    if (m_pTicket) Release(m_pTicket);
    m_pTicket = ticket;
    return true;
}

bool DelayedWork::Cancel() {
    Ticket* ticket = nullptr;
    {
        qv::MutexLock guard(m_Lock);
        if (!m_pTicket) return false;
        ticket = m_pTicket;
        ticket->refs.fetch_add(1);
    }
    bool stopped = false;
    bool endChainHere = false;
    HANDLE timer = nullptr;
    {
        qv::MutexLock ticketGuard(ticket->lock);
        if (ticket->state == TICKET_ARMED) {
            ticket->state = TICKET_CANCELLED;
            timer = ticket->timer;
            ticket->timer = nullptr;
            stopped = true;
            endChainHere = true;
        } else if (ticket->state == TICKET_QUEUED) {
            // The work item is on its way; it sees the cancellation and ends the chain.
            ticket->state = TICKET_CANCELLED;
            stopped = true;
        }
    }
    if (endChainHere) {
        // Waits for a TimerProc that is running; it backs off on CANCELLED.
        if (timer) DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
        Function fn = std::move(ticket->fn);
        Release(ticket);  // the chain's reference
        fn(false);
    }
    Release(ticket);  // ours
    return stopped;
}

bool DelayedWork::IsPending() {
    qv::MutexLock guard(m_Lock);
    if (!m_pTicket) return false;
    qv::MutexLock ticketGuard(m_pTicket->lock);
    return m_pTicket->state == TICKET_ARMED || m_pTicket->state == TICKET_QUEUED;
}

void CALLBACK DelayedWork::TimerProc(PVOID param, BOOLEAN) {
    auto* ticket = static_cast<Ticket*>(param);
    {
        qv::MutexLock ticketGuard(ticket->lock);
        if (ticket->state != TICKET_ARMED) return;  // cancelled: Cancel ends the chain
        ticket->state = TICKET_QUEUED;
    }
    // The timer thread serves every timer of the process: hand over at once.
    if (ticket->pool->QueueWorkItem(ticket, RunTicket) != 0) {
        // Pool gone: the run cannot happen and nobody else ends the chain.
        HANDLE timer = nullptr;
        {
            qv::MutexLock ticketGuard(ticket->lock);
            ticket->state = TICKET_FINISHED;
            timer = ticket->timer;
            ticket->timer = nullptr;
        }
        // From the timer thread itself: no waiting for our own callback.
        if (timer) DeleteTimerQueueTimer(nullptr, timer, nullptr);
        Function fn = std::move(ticket->fn);
        Release(ticket);
        fn(false);
    }
}

int DelayedWork::RunTicket(void* param, CompletionKey*, LPOVERLAPPED, DWORD, DWORD) {
    auto* ticket = static_cast<Ticket*>(param);
    bool run = false;
    HANDLE timer = nullptr;
    {
        qv::MutexLock ticketGuard(ticket->lock);
        run = ticket->state == TICKET_QUEUED;
        ticket->state = run ? TICKET_RUNNING : TICKET_FINISHED;
        timer = ticket->timer;
        ticket->timer = nullptr;
    }
    // TimerProc may still be returning: do not wait for it.
    if (timer) DeleteTimerQueueTimer(nullptr, timer, nullptr);
    Function fn = std::move(ticket->fn);
    if (run) {
        qv::MutexLock ticketGuard(ticket->lock);
        ticket->state = TICKET_FINISHED;
    }
    Release(ticket);
    fn(run);
    return 0;
}
