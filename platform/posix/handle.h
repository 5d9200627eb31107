// Handles of the POSIX stand-in: every HANDLE points at one small tagged
// object (event, thread, port, device, timer) with a reference count, so a
// CloseHandle racing with a wait or a completion never frees what a call
// still uses. Live objects are listed in one table: a handle that was closed
// and freed fails with ERROR_INVALID_HANDLE, as on Windows, instead of being
// read.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "platform/win32.h"

namespace qvplat {

enum class Kind : uint32_t { kEvent = 1, kThread, kPort, kDevice, kTimer };

class Object {
  public:
    // Listed in the table of live objects until destroyed.
    explicit Object(Kind kind);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    Kind kind() const { return m_kind; }

    void AddRef() { m_refs.fetch_add(1, std::memory_order_relaxed); }
    // A reference unless the last one is already gone (the object is being
    // destroyed). Only under the table's lock.
    bool TryAddRef() {
        int refs = m_refs.load(std::memory_order_relaxed);
        while (refs > 0) {
            if (m_refs.compare_exchange_weak(refs, refs + 1, std::memory_order_relaxed))
                return true;
        }
        return false;
    }
    void Release() {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    // True for the first caller only: a handle is closed once.
    bool MarkClosed() { return !m_closed.exchange(true); }
    // What CloseHandle ends besides the reference: pending I/O, a thread's join.
    virtual void Close() {}

  private:
    const Kind m_kind;
    std::atomic<int> m_refs{1};
    std::atomic<bool> m_closed{false};
};

// Owning reference to an Object (or a derived type).
template <class T>
class Ref {
  public:
    Ref() = default;
    explicit Ref(T* adopted) : m_p(adopted) {}
    Ref(const Ref& o) : m_p(o.m_p) {
        if (m_p) m_p->AddRef();
    }
    Ref(Ref&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    template <class U>
    Ref(Ref<U>&& o) noexcept : m_p(o.Detach()) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(m_p, o.m_p);
        return *this;
    }
    ~Ref() {
        if (m_p) m_p->Release();
    }
    T* get() const { return m_p; }
    T* Detach() { return std::exchange(m_p, nullptr); }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

  private:
    T* m_p = nullptr;
};

// A reference to the live object behind h, or empty (NULL,
// INVALID_HANDLE_VALUE, closed and freed, never ours).
Ref<Object> Lookup(HANDLE h);

// A reference to h when it is a T; otherwise empty with ERROR_INVALID_HANDLE.
template <class T>
Ref<T> Get(HANDLE h) {
    Ref<Object> o = Lookup(h);
    if (!o || !T::Accepts(o->kind())) {
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    return Ref<T>(static_cast<T*>(o.Detach()));
}

// The one translation of errno into a Win32 error number.
DWORD ErrorFromErrno(int err);

// Sets the last error and returns FALSE, for the common failure tail.
inline BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace qvplat
