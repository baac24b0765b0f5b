#include <sys/syscall.h>
#include <unistd.h>

#include "LibLogger.h"

uint32_t TernCurrentThreadId() {
    static thread_local uint32_t tid = static_cast<uint32_t>(::gettid());
    return tid;
}
