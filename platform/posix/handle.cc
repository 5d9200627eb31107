// HANDLE -> object through the table of live objects, and CloseHandle.
#include "platform/posix/handle.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/thread_annotations.h"

namespace qvplat {
namespace {

// The live objects, spread over shards by address: every overlapped call
// and every timer looks a handle up, and one lock for all of them was a
// point every worker met several times per command. Each shard is an open
// addressing set of pointers, so that a look-up reads one slot's cache line
// instead of a bucket's and then a node's.
struct alignas(64) Table {
    qv::SharedMutex mu;
    std::vector<const Object*> slots QV_GUARDED_BY(mu);  // a power of two; null: free
    size_t used QV_GUARDED_BY(mu) = 0;
};

constexpr size_t kShards = 64;

uint64_t Mix(const Object* o) {
    // The finaliser of splitmix64: every address bit moves every result bit.
    uint64_t x = reinterpret_cast<uintptr_t>(o);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

Table& Objects(const Object* o) {
    // Never destroyed: objects may outlive static destructors.
    static Table* tables = new Table[kShards];
    return tables[Mix(o) % kShards];
}

size_t Home(const Table& t, const Object* o) QV_REQUIRES_SHARED(t.mu) {
    return static_cast<size_t>(Mix(o) >> 32) & (t.slots.size() - 1);
}

// The slot holding o, or the free slot that ends its probe.
size_t Probe(const Table& t, const Object* o) QV_REQUIRES_SHARED(t.mu) {
    const size_t mask = t.slots.size() - 1;
    size_t i = Home(t, o);
    while (t.slots[i] != nullptr && t.slots[i] != o) i = (i + 1) & mask;
    return i;
}

void Insert(Table& t, const Object* o) QV_REQUIRES(t.mu) {
    if ((t.used + 1) * 2 > t.slots.size()) {
        std::vector<const Object*> old(std::max<size_t>(16, t.slots.size() * 2), nullptr);
        old.swap(t.slots);
        for (const Object* p : old)
            if (p != nullptr) t.slots[Probe(t, p)] = p;
    }
    t.slots[Probe(t, o)] = o;
    ++t.used;
}

// Backward-shift deletion: the entries after the hole that may live in it
// move up, so probes never need tombstones.
void Erase(Table& t, const Object* o) QV_REQUIRES(t.mu) {
    if (t.slots.empty()) return;
    const size_t mask = t.slots.size() - 1;
    size_t hole = Probe(t, o);
    if (t.slots[hole] == nullptr) return;
    for (size_t j = (hole + 1) & mask; t.slots[j] != nullptr; j = (j + 1) & mask) {
        const size_t home = Home(t, t.slots[j]);
        // j may move to the hole unless its home lies cyclically in (hole, j].
        const bool homeBetween = hole < j ? (home > hole && home <= j) : (home > hole || home <= j);
        if (homeBetween) continue;
        t.slots[hole] = t.slots[j];
        hole = j;
    }
    t.slots[hole] = nullptr;
    --t.used;
}

bool Contains(const Table& t, const Object* o) QV_REQUIRES_SHARED(t.mu) {
    return !t.slots.empty() && t.slots[Probe(t, o)] == o;
}

}  // namespace

Object::Object(Kind kind) : m_kind(kind) {
    Table& t = Objects(this);
    qv::ExclusiveLock lock(t.mu);
    Insert(t, this);
}

Object::~Object() {
    Table& t = Objects(this);
    qv::ExclusiveLock lock(t.mu);
    Erase(t, this);
}

Ref<Object> Lookup(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return {};
    auto* o = static_cast<Object*>(h);
    Table& t = Objects(o);
    qv::SharedLock lock(t.mu);
    // Only a listed object is dereferenced; one whose last reference has gone
    // is already on its way out.
    if (!Contains(t, o) || !o->TryAddRef()) return {};
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
