// TernProcessList: a snapshot of the process table (the numeric entries of /proc, read once by Open) and a
// walk over it. OS version query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "LibWin32Object.h"

class TernProcessList : public TernObject {
  public:
    // openNow: take the snapshot at once (its result is only traced; IsValid tells).
    explicit TernProcessList(bool openNow = false);
    TernProcessList(TernProcessList&&) noexcept = default;
    TernProcessList& operator=(TernProcessList&&) noexcept = default;
    ~TernProcessList() override = default;

    bool IsValid() const override { return open_; }
    // Forgets the snapshot. Always success.
    CKestrelStatus Close() override;
    // Takes a fresh snapshot, replacing any earlier one. Failure: code 2 with the mapped errno of reading
    // /proc.
    virtual CKestrelStatus Open();
    // First / next PID of the snapshot into pid (set to 0xFFFFFFFF first). The end of the snapshot is code 2
    // with error 18. Not open: code 2 with error 6.
    virtual CKestrelStatus GetFirst(uint32_t& pid);
    virtual CKestrelStatus GetNext(uint32_t& pid);

  private:
    std::vector<uint32_t> pids_;
    size_t next_ = 0;
    bool open_ = false;
};

// Kernel release major and minor number (uname, read once per process). On a failure or an unreadable release
// both are 0.
void TernGetOsVersion(uint32_t& major, uint32_t& minor);
