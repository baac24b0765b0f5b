// Error numbers. Statuses keep the Windows numbering that the agent's messages use; errno values from
// Linux calls are mapped once, here (see docs/platform.md for the table).
#pragma once

#include <cstdint>

enum : uint32_t {
    TERN_ERROR_SUCCESS = 0,
    TERN_ERROR_INVALID_FUNCTION = 1,
    TERN_ERROR_FILE_NOT_FOUND = 2,
    TERN_ERROR_PATH_NOT_FOUND = 3,
    TERN_ERROR_TOO_MANY_OPEN_FILES = 4,
    TERN_ERROR_ACCESS_DENIED = 5,
    TERN_ERROR_INVALID_HANDLE = 6,
    TERN_ERROR_NOT_ENOUGH_MEMORY = 8,
    TERN_ERROR_NO_MORE_FILES = 18,
    TERN_ERROR_NOT_SUPPORTED = 50,
    TERN_ERROR_FILE_EXISTS = 80,
    TERN_ERROR_INVALID_PARAMETER = 87,
    TERN_ERROR_BROKEN_PIPE = 109,
    TERN_ERROR_DISK_FULL = 112,
    TERN_ERROR_INSUFFICIENT_BUFFER = 122,
    TERN_ERROR_INVALID_NAME = 123,
    TERN_ERROR_BAD_ARGUMENTS = 160,
    TERN_ERROR_ALREADY_EXISTS = 183,
    TERN_ERROR_FILENAME_EXCED_RANGE = 206,
    TERN_WAIT_TIMEOUT = 258,
    TERN_STILL_ACTIVE = 259,
    TERN_ERROR_DIRECTORY = 267,
    TERN_ERROR_NOT_OWNER = 288,
    TERN_ERROR_PARTIAL_COPY = 299,
    TERN_ERROR_SERVICE_REQUEST_TIMEOUT = 1053,
    TERN_ERROR_SERVICE_ALREADY_RUNNING = 1056,
    TERN_ERROR_SERVICE_DOES_NOT_EXIST = 1060,
    TERN_ERROR_SERVICE_NOT_ACTIVE = 1062,
    TERN_ERROR_SERVICE_EXISTS = 1073,
    TERN_ERROR_PRIVILEGE_NOT_HELD = 1314,
    TERN_ERROR_LOGON_FAILURE = 1326,
    TERN_ERROR_NONE_MAPPED = 1332,
    TERN_ERROR_INTERNAL_ERROR = 1359,
    TERN_ERROR_TIMEOUT = 1460,
    TERN_DNS_ERROR_INVALID_NAME_CHAR = 9560,
    TERN_DNS_ERROR_NUMERIC_NAME = 9561,
};

// Fallback for errno values without an entry in the table.
inline constexpr uint32_t kTernErrnoFallback = TERN_ERROR_INTERNAL_ERROR;

// Maps an errno value to the Windows-numbered error (kTernErrnoFallback when unmapped; 0 for 0).
uint32_t TernErrnoToError(int errnoValue);

// The calling thread's last-error value, set by every platform call of the library.
uint32_t TernGetLastError();
void TernSetLastError(uint32_t error);
// Sets the last error from errno (mapped) and returns it.
uint32_t TernSetLastErrorFromErrno(int errnoValue);
