// Critical sections: a std::mutex constructed inside the caller's storage.
#include <mutex>
#include <new>

#include "platform/win32.h"

namespace {

static_assert(sizeof(std::mutex) <= sizeof(CRITICAL_SECTION::opaque));
static_assert(alignof(std::mutex) <= alignof(CRITICAL_SECTION));

std::mutex* MutexOf(LPCRITICAL_SECTION cs) {
    return std::launder(reinterpret_cast<std::mutex*>(cs->opaque));
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    new (cs->opaque) std::mutex();
}
void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    MutexOf(cs)->lock();
}
void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    MutexOf(cs)->unlock();
}
void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    MutexOf(cs)->~mutex();
}
