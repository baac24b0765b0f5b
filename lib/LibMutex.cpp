#include "LibMutex.h"

#include <chrono>

#include "LibError.h"

CKestrelStatus TernMutex::Lock(uint32_t timeoutMs) {
    CKestrelStatus st;
    if (timeoutMs == kTernInfinite) {
        mutex_.lock();
    } else if (!mutex_.try_lock_for(std::chrono::milliseconds(timeoutMs))) {
        st.Set(CKestrelStatus::kPlatform, TERN_WAIT_TIMEOUT);
        TernSetLastError(TERN_WAIT_TIMEOUT);
        return st;
    }
    st.Clear();
    return st;
}

void TernMutex::Unlock() {
    mutex_.unlock();
}
