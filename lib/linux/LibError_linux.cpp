#include <cerrno>

#include "LibError.h"

namespace {
thread_local uint32_t t_lastError = 0;
}

uint32_t TernErrnoToError(int e) {
    switch (e) {
        case 0:
            return TERN_ERROR_SUCCESS;
        case ENOENT:
            return TERN_ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return TERN_ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE:
            return TERN_ERROR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM:
            return TERN_ERROR_ACCESS_DENIED;
        case EBADF:
            return TERN_ERROR_INVALID_HANDLE;
        case ENOMEM:
            return TERN_ERROR_NOT_ENOUGH_MEMORY;
        case ESRCH:
            return TERN_ERROR_INVALID_PARAMETER;
        case EINVAL:
            return TERN_ERROR_INVALID_PARAMETER;
        case ENOSYS:
        case EOPNOTSUPP:
            return TERN_ERROR_NOT_SUPPORTED;
        case EEXIST:
            return TERN_ERROR_FILE_EXISTS;
        case EPIPE:
            return TERN_ERROR_BROKEN_PIPE;
        case ENOSPC:
            return TERN_ERROR_DISK_FULL;
        case ERANGE:
            return TERN_ERROR_INSUFFICIENT_BUFFER;
        case ENAMETOOLONG:
            return TERN_ERROR_FILENAME_EXCED_RANGE;
        case EISDIR:
            return TERN_ERROR_DIRECTORY;
        case ETIMEDOUT:
            return TERN_ERROR_TIMEOUT;
        case ECHILD:
            return TERN_ERROR_INVALID_HANDLE;
        case ELOOP:
            return TERN_ERROR_INVALID_NAME;
        case E2BIG:
            return TERN_ERROR_BAD_ARGUMENTS;
        case ENOEXEC:
            return 193;  // ERROR_BAD_EXE_FORMAT
        case EAGAIN:
            return TERN_ERROR_NOT_ENOUGH_MEMORY;
        default:
            return kTernErrnoFallback;
    }
}

uint32_t TernGetLastError() {
    return t_lastError;
}
void TernSetLastError(uint32_t error) {
    t_lastError = error;
}
uint32_t TernSetLastErrorFromErrno(int e) {
    t_lastError = TernErrnoToError(e);
    return t_lastError;
}
