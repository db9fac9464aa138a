#include "textio/ReadAhead.h"

#include "platform/Processors.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace vn::textio {

namespace {

using Clock = std::chrono::steady_clock;

// Reads follow one another a few hundred microseconds apart, sooner than the system wakes a
// sleeping thread: each side waits this long awake first, giving up its processor now and then
// to whoever else wants it.
constexpr auto kAwake = std::chrono::microseconds(200);

// Waits, awake for a while and then asleep, until `ready` holds; `lock` is held on return.
template <class Ready>
void awaitReady(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, Ready ready) {
    if (ready())
        return;
    lock.unlock();
    const auto until = Clock::now() + kAwake;
    for (int spins = 1; !ready(); ++spins) {
        if (spins % 64 == 0) {
            if (Clock::now() > until)
                break;
            std::this_thread::yield();
        }
        pauseProcessor();
    }
    lock.lock();
    wake.wait(lock, ready);
}

}  // namespace

struct ReadAhead::State {
    std::atomic<const void*> owner{nullptr};
    std::mutex mutex;
    std::condition_variable wake;
    // The read under way: posted, and not yet done. Set under the mutex; read awake without it.
    std::atomic<std::uint64_t> posted{0}, done{0};
    // Guarded by `posted` and `done`: written by the poster before posting, by the thread before
    // it marks the read done.
    FileReader* file = nullptr;
    std::uint64_t offset = 0;
    char* out = nullptr;
    std::size_t count = 0;
    std::size_t got = 0;
    std::exception_ptr failure;
    int poster = -1;  // the processor the read was posted from

    void run() {
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex);
        for (;;) {
            awaitReady(lock, wake, [&] { return posted.load(std::memory_order_acquire) != seen; });
            seen = posted.load(std::memory_order_relaxed);
            const int beside = poster;
            lock.unlock();
            // Woken beside the thread that reads what it reads, it would only take turns with it.
            if (beside >= 0 && currentProcessor() == beside)
                moveOffProcessor(beside);
            try {
                got = file->readAt(offset, out, count);
                failure = nullptr;
            } catch (...) {
                got = 0;
                failure = std::current_exception();
            }
            lock.lock();
            done.store(seen, std::memory_order_release);
            wake.notify_all();
        }
    }

    // Waits for the read posted last; true when one was under way.
    bool settle(std::unique_lock<std::mutex>& lock) {
        const std::uint64_t last = posted.load(std::memory_order_relaxed);
        if (done.load(std::memory_order_acquire) == last && !file)
            return false;
        awaitReady(lock, wake, [&] { return done.load(std::memory_order_acquire) == last; });
        file = nullptr;
        return true;
    }
};

ReadAhead* ReadAhead::take(const void* owner) {
    static PerProcess<ReadAhead> threads(+[]() -> ReadAhead* {
        // Never deleted: the thread may still wait on it while the process ends.
        auto* r = new ReadAhead;
        r->m_state = new State;
        if (!startProcessThread([s = r->m_state] { s->run(); })) {
            delete r->m_state;
            delete r;
            return nullptr;
        }
        return r;
    });
    ReadAhead* const thread = threads.get();
    if (!thread)
        return nullptr;
    const void* none = nullptr;
    return thread->m_state->owner.compare_exchange_strong(none, owner) ? thread : nullptr;
}

void ReadAhead::giveBack(const void* owner) {
    drop();
    const void* expected = owner;
    m_state->owner.compare_exchange_strong(expected, nullptr);
}

void ReadAhead::post(FileReader& file, std::uint64_t offset, char* out, std::size_t count) {
    State& s = *m_state;
    {
        std::unique_lock lock(s.mutex);
        s.settle(lock);
        s.file = &file;
        s.offset = offset;
        s.out = out;
        s.count = count;
        s.poster = currentProcessor();
        s.posted.store(s.posted.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    s.wake.notify_all();
}

std::size_t ReadAhead::collect() {
    State& s = *m_state;
    std::exception_ptr failure;
    std::size_t got = 0;
    {
        std::unique_lock lock(s.mutex);
        s.settle(lock);
        failure = std::exchange(s.failure, nullptr);
        got = s.got;
    }
    if (failure)
        std::rethrow_exception(failure);
    return got;
}

void ReadAhead::drop() {
    State& s = *m_state;
    std::unique_lock lock(s.mutex);
    s.settle(lock);
    s.failure = nullptr;
}

}  // namespace vn::textio
