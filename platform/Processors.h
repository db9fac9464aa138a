#pragma once

namespace vn {

// How many processors this process may run on at once: the ones its affinity mask allows where
// the system has one, otherwise the machine's count. At least 1.
int usableProcessors();

// One step of a short wait for another thread, telling the processor so.
inline void pauseProcessor() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace vn
