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

void Quiescence::CloseAndWait() {
    qv::Mutex mutex;
    std::condition_variable done;
    bool closed = false;
    Close([&] {
        qv::MutexLock guard(mutex);
        closed = true;
        done.notify_all();
    });
    qv::MutexLock guard(mutex);
    done.wait(guard.Native(), [&] { return closed; });
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
