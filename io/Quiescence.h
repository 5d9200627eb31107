// Counts the work inside an object and, once the object starts closing, runs
// what was waiting for it when the last piece of work has left.
//
// Every piece of work that may touch the object (a started I/O operation, a
// time-out on its way, a delayed step, a callback) enters first and leaves
// when it is done. Entering is refused once closing has begun, so the count
// only falls from then on. Closing never blocks: the continuation runs on the
// thread that leaves last, or at once when nothing is inside. A thread that
// is itself inside simply has not left yet, so closing from inside one's own
// work is safe and needs no marker. Continuations run outside every lock; they
// free memory, post work or wake a waiting thread, and never call the host.
#pragma once

#include <condition_variable>
#include <functional>
#include <utility>
#include <vector>

#include "platform/thread_annotations.h"

// Calls start with a function to call once the work it starts has ended,
// and blocks until then. Never from a pool worker.
void RunAndWait(const std::function<void(std::function<void()> done)>& start);

class Quiescence {
  public:
    Quiescence() = default;
    Quiescence(const Quiescence&) = delete;
    Quiescence& operator=(const Quiescence&) = delete;

    // One piece of work inside; empty (false) when entering was refused.
    class Token {
      public:
        Token() = default;
        Token(Token&& other) noexcept : m_pOwner(std::exchange(other.m_pOwner, nullptr)) {}
        Token& operator=(Token&& other) noexcept {
            if (this != &other) {
                Reset();
                m_pOwner = std::exchange(other.m_pOwner, nullptr);
            }
            return *this;
        }
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;
        ~Token() { Reset(); }
        explicit operator bool() const { return m_pOwner != nullptr; }
        // Leaves now (may run the continuation on this thread).
        void Reset() {
            if (Quiescence* owner = std::exchange(m_pOwner, nullptr)) owner->Leave();
        }

      private:
        friend class Quiescence;
        explicit Token(Quiescence* owner) : m_pOwner(owner) {}
        Quiescence* m_pOwner = nullptr;
    };

    Token Enter() { return TryEnter() ? Token(this) : Token(); }
    // The manual pair, for work whose entry and exit are on different frames.
    bool TryEnter() QV_EXCLUDES(m_Mutex);
    void Leave() QV_EXCLUDES(m_Mutex);

    // Starts closing; `then` runs once nothing is inside (here, if nothing is
    // now). While closing, further calls queue behind; once closed (until
    // Reopen) they run at once.
    void Close(std::function<void()> then) QV_EXCLUDES(m_Mutex);
    // Closes and blocks until closed. Only from a thread that is not itself
    // inside, and never from a pool worker.
    void CloseAndWait() QV_EXCLUDES(m_Mutex);
    // Entries are allowed again (after the object was set up anew).
    void Reopen() QV_EXCLUDES(m_Mutex);

    bool IsOpen() QV_EXCLUDES(m_Mutex);
    // Closed and drained: the continuations have run (or are running).
    bool IsClosed() QV_EXCLUDES(m_Mutex);
    int Count() QV_EXCLUDES(m_Mutex);

  private:
    enum State { OPEN, CLOSING, CLOSED };
    // Marks the object closed and hands over what waited, to be run by the
    // caller outside the lock.
    std::vector<std::function<void()>> Drained() QV_REQUIRES(m_Mutex);

    qv::Mutex m_Mutex;
    int m_nCount QV_GUARDED_BY(m_Mutex) = 0;
    State m_State QV_GUARDED_BY(m_Mutex) = OPEN;
    std::vector<std::function<void()>> m_Waiting QV_GUARDED_BY(m_Mutex);
};
