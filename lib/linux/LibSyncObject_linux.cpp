#include <poll.h>

#include <cerrno>

#include "LibClock.h"
#include "LibError.h"
#include "LibLogger.h"
#include "LibMutex.h"
#include "LibPosix_linux.h"
#include "LibSyncObject.h"

CKestrelStatus TernSyncObject::Wait(uint32_t timeoutMs) {
    using namespace tern_posix;
    if (!IsValid()) {
        TernReportAssertion(__FILE__, __LINE__);
        return Fail(TERN_ERROR_INVALID_HANDLE);
    }
    const bool infinite = timeoutMs == kTernInfinite;
    const uint64_t realLimit = infinite ? 0 : TernRealMs(timeoutMs);
    timespec t0{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (;;) {
        int waitMs = -1;
        if (!infinite) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            int64_t elapsed = (now.tv_sec - t0.tv_sec) * 1000LL + (now.tv_nsec - t0.tv_nsec) / 1000000LL;
            int64_t left = static_cast<int64_t>(realLimit) - elapsed;
            waitMs = left > 0 ? static_cast<int>(left > 0x7FFFFFFF ? 0x7FFFFFFF : left) : 0;
        }
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, waitMs);
        if (r > 0) return Ok();
        if (r == 0) {
            if (!infinite && waitMs > 0) continue;  // re-check the deadline: poll may round its time-out down
            CKestrelStatus st = Fail(TERN_WAIT_TIMEOUT);
            TERN_TRACE(L"(%d) Wait operation has failed.", TERN_WAIT_TIMEOUT);
            return st;
        }
        if (errno == EINTR) continue;
        CKestrelStatus st = FailErrno(errno);
        TERN_TRACE(L"(%d) Wait operation has failed.", st.GetError());
        return st;
    }
}
