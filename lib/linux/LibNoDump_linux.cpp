#include <sys/prctl.h>

#include <mutex>

#include "LibNoDump.h"

namespace {

// The count and the saved setting change together under the mutex, so a guard that starts while the last
// one ends sees either the restored setting or the count it joins.
std::mutex g_mutex;
int g_guards = 0;
int g_saved = 1;

}  // namespace

TernNoDumpGuard::TernNoDumpGuard() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_guards++ > 0) return;
    int current = ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
    g_saved = current >= 0 ? current : 1;
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

TernNoDumpGuard::~TernNoDumpGuard() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (--g_guards > 0) return;
    // A saved 2 (dumps readable by root only) cannot be set again; the process then stays at 0, which
    // is the stricter of the two.
    ::prctl(PR_SET_DUMPABLE, g_saved, 0, 0, 0);
}
