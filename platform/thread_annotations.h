// Clang's thread-safety attributes, and locks the analysis understands.
//
// Members a lock guards say so with QV_GUARDED_BY; functions that must be
// called with a lock held, or without it, say so with QV_REQUIRES and
// QV_EXCLUDES. Other compilers see nothing. The tsa preset builds with
// -Wthread-safety -Werror=thread-safety (scripts/thread-safety.sh).
//
//   qv::Mutex            std::mutex                 held by qv::MutexLock
//   qv::SharedMutex      std::shared_mutex          qv::ExclusiveLock, qv::SharedLock
//   qv::CriticalSection  Win32 CRITICAL_SECTION     qv::CriticalSectionLock
//
// A condition variable waits on MutexLock::Native(), or on the lock itself
// through std::condition_variable_any.
#pragma once

#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "platform/win32.h"

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
#define QV_ACQUIRED_AFTER(...) QV_THREAD_ATTR(acquired_after(__VA_ARGS__))
#define QV_REQUIRES(...) QV_THREAD_ATTR(requires_capability(__VA_ARGS__))
#define QV_REQUIRES_SHARED(...) QV_THREAD_ATTR(requires_shared_capability(__VA_ARGS__))
#define QV_ACQUIRE(...) QV_THREAD_ATTR(acquire_capability(__VA_ARGS__))
#define QV_ACQUIRE_SHARED(...) QV_THREAD_ATTR(acquire_shared_capability(__VA_ARGS__))
#define QV_RELEASE(...) QV_THREAD_ATTR(release_capability(__VA_ARGS__))
#define QV_RELEASE_SHARED(...) QV_THREAD_ATTR(release_shared_capability(__VA_ARGS__))
#define QV_TRY_ACQUIRE(...) QV_THREAD_ATTR(try_acquire_capability(__VA_ARGS__))
#define QV_TRY_ACQUIRE_SHARED(...) QV_THREAD_ATTR(try_acquire_shared_capability(__VA_ARGS__))
#define QV_EXCLUDES(...) QV_THREAD_ATTR(locks_excluded(__VA_ARGS__))
#define QV_ASSERT_CAPABILITY(x) QV_THREAD_ATTR(assert_capability(x))
#define QV_RETURN_CAPABILITY(x) QV_THREAD_ATTR(lock_returned(x))
#define QV_NO_THREAD_SAFETY_ANALYSIS QV_THREAD_ATTR(no_thread_safety_analysis)

namespace qv {

// std::mutex with the capability attribute.
class QV_CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

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
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Unlock() QV_RELEASE() { m_lock.unlock(); }
    void Lock() QV_ACQUIRE() { m_lock.lock(); }
    // For a condition variable wait; the lock is held again on return.
    std::unique_lock<std::mutex>& Native() { return m_lock; }

  private:
    std::unique_lock<std::mutex> m_lock;
};

// std::shared_mutex with the capability attribute: one writer or many readers.
class QV_CAPABILITY("shared mutex") SharedMutex {
  public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void lock() QV_ACQUIRE() { m_mutex.lock(); }
    void unlock() QV_RELEASE() { m_mutex.unlock(); }
    bool try_lock() QV_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
    void lock_shared() QV_ACQUIRE_SHARED() { m_mutex.lock_shared(); }
    void unlock_shared() QV_RELEASE_SHARED() { m_mutex.unlock_shared(); }
    bool try_lock_shared() QV_TRY_ACQUIRE_SHARED(true) { return m_mutex.try_lock_shared(); }

  private:
    std::shared_mutex m_mutex;
};

// Holds a SharedMutex exclusively for one scope; Unlock/Lock allow a gap.
class QV_SCOPED_CAPABILITY ExclusiveLock {
  public:
    explicit ExclusiveLock(SharedMutex& mutex) QV_ACQUIRE(mutex) : m_mutex(mutex) {
        m_mutex.lock();
    }
    ~ExclusiveLock() QV_RELEASE() {
        if (m_bHeld) m_mutex.unlock();
    }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

    void Unlock() QV_RELEASE() {
        m_mutex.unlock();
        m_bHeld = false;
    }
    void Lock() QV_ACQUIRE() {
        m_mutex.lock();
        m_bHeld = true;
    }

  private:
    SharedMutex& m_mutex;
    bool m_bHeld = true;
};

// Holds a SharedMutex shared (as a reader) for one scope.
class QV_SCOPED_CAPABILITY SharedLock {
  public:
    explicit SharedLock(SharedMutex& mutex) QV_ACQUIRE_SHARED(mutex) : m_mutex(mutex) {
        m_mutex.lock_shared();
    }
    ~SharedLock() QV_RELEASE() {
        if (m_bHeld) m_mutex.unlock_shared();
    }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

    void Unlock() QV_RELEASE() {
        m_mutex.unlock_shared();
        m_bHeld = false;
    }
    void Lock() QV_ACQUIRE_SHARED() {
        m_mutex.lock_shared();
        m_bHeld = true;
    }

  private:
    SharedMutex& m_mutex;
    bool m_bHeld = true;
};

// A Win32 critical section, initialised and deleted with the object. Used
// as a plain, non-recursive lock: entering it twice on one thread is a bug.
class QV_CAPABILITY("critical section") CriticalSection {
  public:
    CriticalSection() { InitializeCriticalSection(&m_cs); }
    ~CriticalSection() { DeleteCriticalSection(&m_cs); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() QV_ACQUIRE() { EnterCriticalSection(&m_cs); }
    void Leave() QV_RELEASE() { LeaveCriticalSection(&m_cs); }

  private:
    CRITICAL_SECTION m_cs;
};

// Holds a CriticalSection for one scope.
class QV_SCOPED_CAPABILITY CriticalSectionLock {
  public:
    explicit CriticalSectionLock(CriticalSection& cs) QV_ACQUIRE(cs) : m_cs(cs) { m_cs.Enter(); }
    ~CriticalSectionLock() QV_RELEASE() { m_cs.Leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

  private:
    CriticalSection& m_cs;
};

}  // namespace qv
