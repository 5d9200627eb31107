// Clang's thread-safety attributes, and a mutex the analysis understands.
//
// Members a lock guards say so with QV_GUARDED_BY; functions that must be
// called with a lock held, or without it, say so with QV_REQUIRES and
// QV_EXCLUDES. Other compilers see nothing. Built with -Wthread-safety in CI.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define QV_THREAD_ATTR(x) __attribute__((x))
#else
#define QV_THREAD_ATTR(x)
#endif

#define QV_CAPABILITY(x) QV_THREAD_ATTR(capability(x))
#define QV_SCOPED_CAPABILITY QV_THREAD_ATTR(scoped_lockable)
#define QV_GUARDED_BY(x) QV_THREAD_ATTR(guarded_by(x))
#define QV_PT_GUARDED_BY(x) QV_THREAD_ATTR(pt_guarded_by(x))
#define QV_ACQUIRED_BEFORE(...) QV_THREAD_ATTR(acquired_before(__VA_ARGS__))
#define QV_REQUIRES(...) QV_THREAD_ATTR(requires_capability(__VA_ARGS__))
#define QV_ACQUIRE(...) QV_THREAD_ATTR(acquire_capability(__VA_ARGS__))
#define QV_RELEASE(...) QV_THREAD_ATTR(release_capability(__VA_ARGS__))
#define QV_TRY_ACQUIRE(...) QV_THREAD_ATTR(try_acquire_capability(__VA_ARGS__))
#define QV_EXCLUDES(...) QV_THREAD_ATTR(locks_excluded(__VA_ARGS__))
#define QV_NO_THREAD_SAFETY_ANALYSIS QV_THREAD_ATTR(no_thread_safety_analysis)

namespace qv {

// std::mutex with the capability attribute.
class QV_CAPABILITY("mutex") Mutex {
  public:
    void lock() QV_ACQUIRE() { m_mutex.lock(); }
    void unlock() QV_RELEASE() { m_mutex.unlock(); }
    bool try_lock() QV_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
    std::mutex& native() { return m_mutex; }

  private:
    std::mutex m_mutex;
};

// Holds a Mutex for one scope; Unlock/Lock allow a gap in the middle.
class QV_SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) QV_ACQUIRE(mutex) : m_lock(mutex.native()) {}
    ~MutexLock() QV_RELEASE() {}
    void Unlock() QV_RELEASE() { m_lock.unlock(); }
    void Lock() QV_ACQUIRE() { m_lock.lock(); }
    // For a condition variable wait; the lock is held again on return.
    std::unique_lock<std::mutex>& Native() { return m_lock; }

  private:
    std::unique_lock<std::mutex> m_lock;
};

}  // namespace qv
