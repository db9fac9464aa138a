#pragma once

namespace vn {

// How many processors this process may run on at once: the ones its affinity mask allows where
// the system has one, otherwise the machine's count. At least 1.
int usableProcessors();

}  // namespace vn
