#pragma once

#include "platform/FileAccess.h"

#include <cstddef>
#include <cstdint>

namespace vn::textio {

// The process's one read-ahead thread, made when first wanted and kept for the process's life,
// so that a run over many files starts no thread per file. It serves one input at a time (the
// one that took it); an input that finds it taken reads for itself.
//
// Invariants: at most one read is under way; between post() and collect() the thread alone
// touches the reader and the bytes it reads into, and collect() returns once it is done with
// both; only the input that took it posts and collects.
class ReadAhead {
public:
    // The thread, if no other input has it; null where it is taken or no thread can be had.
    static ReadAhead* take(const void* owner);
    // Waits for a read still under way (its outcome is dropped) and lets another input take it.
    void giveBack(const void* owner);

    // Starts reading `count` bytes at `offset` of `file` into `out`, as FileReader::readAt does.
    void post(FileReader& file, std::uint64_t offset, char* out, std::size_t count);
    // Waits for the read posted last and gives the bytes it read; throws what readAt threw.
    std::size_t collect();
    // Waits for the read posted last, if any, and drops its outcome.
    void drop();

    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

private:
    ReadAhead() = default;
    struct State;
    State* m_state = nullptr;
};

}  // namespace vn::textio
