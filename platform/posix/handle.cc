// HANDLE -> object through the table of live objects, and CloseHandle.
#include "platform/posix/handle.h"

#include <cstdint>
#include <unordered_set>

#include "platform/thread_annotations.h"

namespace qvplat {
namespace {

// The live objects, spread over shards by address: every overlapped call
// and every timer looks a handle up, and one lock for all of them was a
// point every worker met several times per command.
struct alignas(64) Table {
    qv::SharedMutex mu;
    std::unordered_set<const Object*> live QV_GUARDED_BY(mu);
};

constexpr size_t kShards = 64;

Table& Objects(const Object* o) {
    // Never destroyed: objects may outlive static destructors.
    static Table* tables = new Table[kShards];
    // Heap blocks are at least 16 bytes apart; mix the bits above that.
    const auto bits = reinterpret_cast<uintptr_t>(o) >> 4;
    return tables[(bits ^ (bits >> 6) ^ (bits >> 12)) % kShards];
}

}  // namespace

Object::Object(Kind kind) : m_kind(kind) {
    Table& t = Objects(this);
    qv::ExclusiveLock lock(t.mu);
    t.live.insert(this);
}

Object::~Object() {
    Table& t = Objects(this);
    qv::ExclusiveLock lock(t.mu);
    t.live.erase(this);
}

Ref<Object> Lookup(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return {};
    auto* o = static_cast<Object*>(h);
    Table& t = Objects(o);
    qv::SharedLock lock(t.mu);
    // Only a listed object is dereferenced; one whose last reference has gone
    // is already on its way out.
    if (t.live.count(o) == 0 || !o->TryAddRef()) return {};
    return Ref<Object>(o);
}

}  // namespace qvplat

BOOL CloseHandle(HANDLE h) {
    qvplat::Ref<qvplat::Object> o = qvplat::Lookup(h);
    // A timer-queue timer is no kernel object: only DeleteTimerQueueTimer ends it.
    if (!o || o->kind() == qvplat::Kind::kTimer || !o->MarkClosed()) {
        return qvplat::Fail(ERROR_INVALID_HANDLE);
    }
    o->Close();
    o->Release();  // the handle's
    return TRUE;
}
