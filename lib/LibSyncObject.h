// Objects whose descriptor becomes readable when the thing behind it is done (a pidfd when its process
// has ended).
#pragma once

#include <cstdint>

#include "LibWin32Object.h"

class TernSyncObject : public TernWin32Object {
  public:
    TernSyncObject() = default;
    explicit TernSyncObject(int fd) : TernWin32Object(fd) {}
    TernSyncObject(TernSyncObject&&) noexcept = default;
    TernSyncObject& operator=(TernSyncObject&&) noexcept = default;

    // Waits until the descriptor is signalled or timeoutMs (nominal milliseconds, scaled like every
    // limit of the library; kTernInfinite 0xFFFFFFFF waits without a limit) have passed. Success when
    // signalled; code 2 with error 258 on a time-out; code 2 with the mapped errno when poll fails; code 2
    // with error 6 when the object is not open.
    virtual CKestrelStatus Wait(uint32_t timeoutMs);
};
