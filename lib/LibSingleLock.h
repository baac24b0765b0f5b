// TernSingleLock: holds a TernMutex for the length of a scope.
#pragma once

#include "LibMutex.h"

class TernSingleLock {
  public:
    // Does not own the mutex; locks at once (waiting without a limit) when lockNow is set.
    explicit TernSingleLock(TernMutex* mutex, bool lockNow = false) : mutex_(mutex) {
        if (lockNow) Lock();
    }
    ~TernSingleLock() { Unlock(); }
    TernSingleLock(const TernSingleLock&) = delete;
    TernSingleLock& operator=(const TernSingleLock&) = delete;

    CKestrelStatus Lock(uint32_t timeoutMs = kTernInfinite) {
        CKestrelStatus st;
        if (locked_) {
            st.Clear();
            return st;
        }
        st = mutex_->Lock(timeoutMs);
        locked_ = st.IsSuccess();
        return st;
    }
    void Unlock() {
        if (locked_) mutex_->Unlock();
        locked_ = false;
    }
    bool IsLocked() const { return locked_; }

  private:
    TernMutex* mutex_;
    bool locked_ = false;
};
