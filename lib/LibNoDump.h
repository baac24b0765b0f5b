// Keeping secrets out of core dumps and away from debuggers of the same account.
#pragma once

#include "LibNonCopyable.h"

// While at least one guard lives anywhere in the process, the process is not dumpable (no core file, no
// ptrace attach by the same account, /proc/self owned by root). When the last guard ends, the dumpable
// setting the process had before the first one is restored. Thread-safe; guards may end on any thread.
// A failing prctl is ignored: the guard never fails.
class TernNoDumpGuard : private TernNonCopyable {
  public:
    TernNoDumpGuard();
    ~TernNoDumpGuard();
};
