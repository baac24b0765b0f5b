#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "LibError.h"
#include "LibLogger.h"
#include "LibPosix_linux.h"
#include "LibWin32Object.h"

void TernReportAssertion(const char* file, int line) {
    std::fprintf(stderr, "ASSERTION FAILED: file: %s line %d\n", file, line);
    std::fflush(stderr);
}

CKestrelStatus TernObject::Close() {
    return tern_posix::Done();
}

TernWin32Object::TernWin32Object(int fd) {
    if (fd < 0) {
        TernReportAssertion(__FILE__, __LINE__);
        return;
    }
    fd_ = fd;
}

TernWin32Object::TernWin32Object(TernWin32Object&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

TernWin32Object& TernWin32Object::operator=(TernWin32Object&& other) noexcept {
    if (this != &other) {
        TernWin32Object::Close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

TernWin32Object::~TernWin32Object() {
    TernWin32Object::Close();
}

CKestrelStatus TernWin32Object::Close() {
    if (fd_ >= 0) {
        // Linux releases the descriptor even when close reports an error, so it is never retried.
        if (::close(fd_) != 0) TERN_TRACE(L"Failed to close handle. Error=%d.", TernErrnoToError(errno));
        fd_ = kInvalidHandle;
    }
    return tern_posix::Done();
}

CKestrelStatus TernWin32Object::Attach(int fd) {
    TernWin32Object::Close();
    fd_ = fd;
    return tern_posix::Done();
}

int TernWin32Object::Detach() {
    return std::exchange(fd_, kInvalidHandle);
}
