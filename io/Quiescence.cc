#include "io/Quiescence.h"

bool Quiescence::TryEnter() {
    qv::MutexLock lock(m_Mutex);
    if (m_State != OPEN) return false;
    ++m_nCount;
    return true;
}

void Quiescence::Leave() {
    std::vector<std::function<void()>> waiting;
    {
        qv::MutexLock lock(m_Mutex);
        if (--m_nCount > 0 || m_State != CLOSING) return;
        waiting = Drained();
    }
    // This object may be gone once the first of these has run.
    for (auto& fn : waiting) {
        if (fn) fn();
    }
}

void Quiescence::Close(std::function<void()> then) {
    std::vector<std::function<void()>> waiting;
    {
        qv::MutexLock lock(m_Mutex);
        if (m_State == CLOSED) {
            waiting.push_back(std::move(then));
        } else {
            m_Waiting.push_back(std::move(then));
            m_State = CLOSING;
            if (m_nCount > 0) return;
            waiting = Drained();
        }
    }
    for (auto& fn : waiting) {
        if (fn) fn();
    }
}

std::vector<std::function<void()>> Quiescence::Drained() {
    m_State = CLOSED;
    std::vector<std::function<void()>> waiting;
    waiting.swap(m_Waiting);
    return waiting;
}

void RunAndWait(const std::function<void(std::function<void()> done)>& start) {
    qv::Mutex mutex;
    std::condition_variable ended;
    bool finished = false;
    start([&] {
        // Notified under the lock: the waiter's frame may go as soon as it
        // sees the flag.
        qv::MutexLock guard(mutex);
        finished = true;
        ended.notify_all();
    });
    qv::MutexLock guard(mutex);
    ended.wait(guard.Native(), [&] { return finished; });
}

void Quiescence::CloseAndWait() {
    RunAndWait([this](std::function<void()> done) { Close(std::move(done)); });
}

void Quiescence::Reopen() {
    qv::MutexLock lock(m_Mutex);
    if (m_State == CLOSED) m_State = OPEN;
}

bool Quiescence::IsOpen() {
    qv::MutexLock lock(m_Mutex);
    return m_State == OPEN;
}

bool Quiescence::IsClosed() {
    qv::MutexLock lock(m_Mutex);
    return m_State == CLOSED;
}

int Quiescence::Count() {
    qv::MutexLock lock(m_Mutex);
    return m_nCount;
}
