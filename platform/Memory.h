#pragma once

namespace vn {

// Hands the memory the process has freed but its allocator still keeps back to the system, so
// that it no longer counts as the process's own. Worth a call after a large structure built of
// many small pieces has let go of them; where the allocator has no such call, nothing happens.
void returnFreedMemory();

}  // namespace vn
