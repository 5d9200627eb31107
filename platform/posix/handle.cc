// HANDLE -> object, and CloseHandle for every kind.
#include "platform/posix/handle.h"

namespace qvplat {

Object* ObjectOf(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    auto* o = static_cast<Object*>(h);
    return o->IsLive() ? o : nullptr;
}

}  // namespace qvplat

BOOL CloseHandle(HANDLE h) {
    qvplat::Object* o = qvplat::ObjectOf(h);
    if (!o || !o->MarkClosed()) return qvplat::Fail(ERROR_INVALID_HANDLE);
    o->AddRef();
    o->Close();
    o->Release();  // ours
    o->Release();  // the handle's
    return TRUE;
}
