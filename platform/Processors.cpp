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
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0)
            return n;
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? int(n) : 1;
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
