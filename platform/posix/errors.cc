// The thread's last error and the single errno -> Win32 translation.
#include <cerrno>

#include "platform/posix/handle.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

DWORD GetLastError() {
    return t_lastError;
}
void SetLastError(DWORD error) {
    t_lastError = error;
}

namespace qvplat {

DWORD ErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return ERROR_PATH_NOT_FOUND;
        // A COM port that someone else holds is "access denied" on Windows;
        // TIOCEXCL reports EBUSY and a held flock EWOULDBLOCK.
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
        case ENOBUFS:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE:
            return ERROR_OUTOFMEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOTTY:
        case EOPNOTSUPP:
            return ERROR_NOT_SUPPORTED;
        // On a terminal EIO means the other side is gone: a closed pty
        // master, a hung-up line or an unplugged adapter.
        case EIO:
        case EPIPE:
        case ECONNRESET:
            return ERROR_BROKEN_PIPE;
        case ETIMEDOUT:
            return ERROR_SEM_TIMEOUT;
        case ECANCELED:
            return ERROR_OPERATION_ABORTED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace qvplat
