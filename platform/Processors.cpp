#include "platform/Processors.h"

#include <system_error>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#ifdef __linux__
#include <sched.h>
#endif

namespace vn {

int usableProcessors() {
#ifdef __linux__
    // A container or `taskset` may allow fewer processors than the machine has; a helper
    // thread on a processor the process does not get would only take turns with it.
    // The process's set is its first thread's: a helper moved off a processor (see
    // moveOffProcessor) has a narrower one of its own.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(::getpid(), sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0)
            return n;
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? int(n) : 1;
}

int currentProcessor() {
#ifdef __linux__
    return ::sched_getcpu();
#else
    return -1;
#endif
}

void moveOffProcessor(int processor) {
#ifdef __linux__
    if (processor < 0 || processor >= CPU_SETSIZE)
        return;
    // The process's own set is its first thread's, which is never narrowed here; so a thread
    // moved off one processor before may come back onto it when told to leave another.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(::getpid(), sizeof(set), &set) != 0 || !CPU_ISSET(processor, &set) ||
        CPU_COUNT(&set) < 2)
        return;
    CPU_CLR(processor, &set);
    ::sched_setaffinity(0, sizeof(set), &set);
#else
    (void)processor;
#endif
}

bool startProcessThread(std::function<void()> run) {
    try {
        std::thread(std::move(run)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

long processId() {
#ifdef _WIN32
    return long(::_getpid());
#else
    return long(::getpid());
#endif
}

}  // namespace vn
