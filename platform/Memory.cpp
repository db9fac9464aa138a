#include "platform/Memory.h"

// Any header of the C library tells whether it is glibc.
#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vn {

void returnFreedMemory() {
#if defined(__GLIBC__)
    // Also gives back the free pages inside the heap, not only those at its top.
    ::malloc_trim(0);
#endif
}

}  // namespace vn
