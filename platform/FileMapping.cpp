// Views of a file's pages in memory, for reading a large file without copying it.
//
// A mapped page whose part of the file is gone (another program cut the file short, or the disk
// failed to give it) raises SIGBUS when it is touched, which would end the process. A guard
// catches exactly those faults: it puts a page of zeros where the lost page was, notes that the
// view was lost, and lets the read go on; the reader then drops what it made from the view and
// reports the file. Any other SIGBUS is handed on as if the guard were not there.
#include "platform/FileAccess.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace vn {
namespace {

// The views open in this process at a time, one per FileReader that maps. The signal handler
// only reads this table, with atomic loads; a slot is taken by claiming its start.
struct ViewSlot {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> lost{false};
};
constexpr int kViewSlots = 64;
ViewSlot g_views[kViewSlots];
std::uintptr_t g_pageSize = 4096;
struct sigaction g_previousBusAction;

void onBusError(int sig, siginfo_t* info, void* context) {
    const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (ViewSlot& v : g_views) {
        const std::uintptr_t begin = v.begin.load(std::memory_order_acquire);
        if (begin == 0 || at < begin || at >= v.end.load(std::memory_order_acquire))
            continue;
        // mmap is a plain system call here; a fixed anonymous page replaces the lost one.
        void* page = reinterpret_cast<void*>(at & ~(g_pageSize - 1));
        if (::mmap(page, g_pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
            MAP_FAILED) {
            v.lost.store(true, std::memory_order_release);
            return;
        }
        break;
    }
    const struct sigaction& prev = g_previousBusAction;
    if ((prev.sa_flags & SA_SIGINFO) != 0 && prev.sa_sigaction) {
        prev.sa_sigaction(sig, info, context);
        return;
    }
    if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN && prev.sa_handler) {
        prev.sa_handler(sig);
        return;
    }
    // The fault comes back on return and now ends the process as it always would have.
    ::signal(SIGBUS, SIG_DFL);
}

bool guardInstalled() {
    static const bool installed = [] {
        const long page = ::sysconf(_SC_PAGESIZE);
        if (page > 0)
            g_pageSize = std::uintptr_t(page);
        struct sigaction action = {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        return ::sigaction(SIGBUS, &action, &g_previousBusAction) == 0;
    }();
    return installed;
}

int claimSlot(std::uintptr_t begin, std::uintptr_t end) {
    for (int i = 0; i < kViewSlots; ++i) {
        std::uintptr_t free = 0;
        if (g_views[i].begin.compare_exchange_strong(free, begin, std::memory_order_acq_rel)) {
            g_views[i].lost.store(false, std::memory_order_relaxed);
            g_views[i].end.store(end, std::memory_order_release);
            return i;
        }
    }
    return -1;
}

void releaseSlot(int i) {
    g_views[i].end.store(0, std::memory_order_release);
    g_views[i].begin.store(0, std::memory_order_release);
}

// A view's whole pages from `start`, claimed in the guard's table; nullopt where the system
// cannot map it or the table is full. `populate` sets up every page at once.
struct Mapping {
    void* view = nullptr;
    std::size_t bytes = 0;
    int slot = -1;
};
std::optional<Mapping> mapPages(int fd, std::uint64_t start, std::size_t bytes, bool populate) {
    int flags = MAP_SHARED;
#ifdef MAP_POPULATE
    if (populate)
        flags |= MAP_POPULATE;
#endif
    void* view = ::mmap(nullptr, bytes, PROT_READ, flags, fd, off_t(start));
    if (view == MAP_FAILED)
        return std::nullopt;
    const auto begin = reinterpret_cast<std::uintptr_t>(view);
    const int slot = claimSlot(begin, begin + bytes);
    if (slot < 0) {
        ::munmap(view, bytes);
        return std::nullopt;
    }
    return Mapping{view, bytes, slot};
}

void unmapPages(const Mapping& m) {
    releaseSlot(m.slot);
    ::munmap(m.view, m.bytes);
}

}  // namespace

// The reader's thread for views: it maps the one view asked for next, with its pages set up,
// and takes down the views handed back while it has nothing else to do. Setting up and taking
// down a view's pages is work for the system in proportion to the view (several milliseconds
// per hundred MB), which this way runs beside the reading instead of in its path; whichever of
// the two threads is free takes a view down.
//
// Invariants: at most one view is asked for at a time; once mapped it is either taken by the
// reader (and is then the reader's) or handed back; every view handed back is taken down before
// the thread ends, and the thread ends before the reader closes the file.
class FileReader::Ahead {
    using Clock = std::chrono::steady_clock;
    static constexpr auto kAwake = std::chrono::milliseconds(1);

public:
    explicit Ahead(int fd) : m_fd(fd), m_thread([this] { run(); }) {}
    ~Ahead() {
        {
            const std::lock_guard lock(m_mutex);
            m_quit = true;
            m_news.fetch_add(1, std::memory_order_relaxed);
        }
        m_wake.notify_all();
        m_thread.join();
    }

    // Asks for the pages [start, start + bytes) to be mapped next; a view mapped for another
    // range and not taken is handed back.
    void ask(std::uint64_t start, std::size_t bytes) {
        {
            const std::lock_guard lock(m_mutex);
            if (m_ready)
                m_done.push_back(*std::exchange(m_ready, std::nullopt));
            m_start = start;
            m_bytes = bytes;
            m_asked = true;
            m_failed = false;
            const Clock::time_point now = Clock::now();
            m_askGap = m_lastAsk == Clock::time_point() ? Clock::duration::max() : now - m_lastAsk;
            m_lastAsk = now;
            m_news.fetch_add(1, std::memory_order_relaxed);
        }
        m_wake.notify_all();
    }

    // The view of [start, start + bytes) if that is what was asked for, once mapped (waiting
    // while it is under way); nullopt otherwise, where it could not be mapped, and where the
    // thread has not even started on it (it was asleep: the caller maps it sooner itself).
    std::optional<Mapping> take(std::uint64_t start, std::size_t bytes) {
        std::unique_lock lock(m_mutex);
        if (!(m_mapping || m_ready) || m_start != start || m_bytes != bytes) {
            if (m_ready)
                m_done.push_back(*std::exchange(m_ready, std::nullopt));
            // No view has this size: one under way now is handed back once mapped.
            m_asked = false;
            m_bytes = 0;
            m_news.fetch_add(1, std::memory_order_relaxed);
            m_wake.notify_all();
            return std::nullopt;
        }
        m_wake.wait(lock, [&] { return !m_mapping; });
        if (m_failed || !m_ready)
            return std::nullopt;
        return std::exchange(m_ready, std::nullopt);
    }

    // Hands a view back to be taken down, if the thread has nothing else to do; false when the
    // caller had better take it down itself than wait for the view it asked for next.
    bool giveBack(const Mapping& m) {
        {
            const std::lock_guard lock(m_mutex);
            if (m_asked || m_mapping || !m_done.empty())
                return false;
            m_done.push_back(m);
            m_news.fetch_add(1, std::memory_order_relaxed);
        }
        m_wake.notify_all();
        return true;
    }

private:
    void run() {
        // A reader that goes through a view quickly asks again soon after the last view was
        // mapped, sooner than the system wakes a sleeping thread: where its last two asks came
        // that close together, the thread waits that long awake first. Slow readers find it
        // asleep.
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (!(m_quit || m_asked || !m_done.empty()) && m_askGap < kAwake) {
                const std::uint32_t seen = m_news.load(std::memory_order_relaxed);
                lock.unlock();
                const auto until = Clock::now() + kAwake;
                // Now and then the processor is offered to others: the reader may be waiting for
                // it, where both threads were given the same one.
                for (int spins = 1; m_news.load(std::memory_order_relaxed) == seen; ++spins) {
                    if (spins % 64 == 0) {
                        if (Clock::now() > until)
                            break;
                        std::this_thread::yield();
                    }
#if defined(__x86_64__) || defined(__i386__)
                    __builtin_ia32_pause();
#endif
                }
                lock.lock();
            }
            m_wake.wait(lock, [&] { return m_quit || m_asked || !m_done.empty(); });
            if (!m_done.empty()) {
                const std::vector<Mapping> done = std::exchange(m_done, {});
                lock.unlock();
                for (const Mapping& m : done) unmapPages(m);
                lock.lock();
                continue;
            }
            if (m_quit) {
                if (m_ready)
                    unmapPages(*std::exchange(m_ready, std::nullopt));
                return;
            }
            const std::uint64_t start = m_start;
            const std::size_t bytes = m_bytes;
            m_asked = false;
            m_mapping = true;
            lock.unlock();
            const std::optional<Mapping> m = mapPages(m_fd, start, bytes, true);
            lock.lock();
            m_mapping = false;
            if (m_asked || m_start != start || m_bytes != bytes) {
                // Asked for another view meanwhile: this one is not wanted.
                if (m)
                    m_done.push_back(*m);
            } else {
                m_ready = m;
                m_failed = !m;
            }
            m_wake.notify_all();
        }
    }

    const int m_fd;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    // Guarded by m_mutex: the range asked for, whether it is still to map (m_asked), being
    // mapped (m_mapping), mapped (m_ready) or could not be (m_failed); the views to take down.
    std::uint64_t m_start = 0;
    std::size_t m_bytes = 0;
    bool m_asked = false, m_mapping = false, m_failed = false, m_quit = false;
    std::optional<Mapping> m_ready;
    std::vector<Mapping> m_done;
    Clock::time_point m_lastAsk;                        // when the reader last asked
    Clock::duration m_askGap = Clock::duration::max();  // and how long before that
    std::atomic<std::uint32_t> m_news{0};  // counts the changes above, for the awake wait
    std::thread m_thread;                  // last: it starts once every other member is ready
};

void FileReader::AheadDeleter::operator()(Ahead* a) const {
    delete a;
}

namespace {
// The whole pages that show `count` bytes at `offset` of a file of `size` bytes (fewer at its
// end): mapAt and mapAhead must agree on them for a view asked for ahead to be the one taken.
struct PageSpan {
    std::uint64_t start;
    std::size_t lead, count;
    std::size_t bytes() const { return lead + count; }
};
PageSpan pagesFor(std::uint64_t offset, std::size_t count, std::uint64_t size) {
    const std::uint64_t start = offset & ~std::uint64_t(g_pageSize - 1);
    return {start, std::size_t(offset - start),
            std::size_t(std::min<std::uint64_t>(count, size - offset))};
}
}  // namespace

std::string_view FileReader::mapAt(std::uint64_t offset, std::size_t count) {
    unmap();
    if (m_fd < 0 || offset >= m_size || count == 0 || !guardInstalled())
        return {};
    const PageSpan span = pagesFor(offset, count, m_size);
    std::optional<Mapping> m;
    if (m_ahead)
        m = m_ahead->take(span.start, span.bytes());
    if (!m)
        m = mapPages(m_fd, span.start, span.bytes(), false);
    if (!m)
        return {};
    m_view = m->view;
    m_viewBytes = m->bytes;
    m_viewSlot = m->slot;
    return std::string_view(static_cast<const char*>(m_view) + span.lead, span.count);
}

void FileReader::mapAhead(std::uint64_t offset, std::size_t count) {
    if (m_fd < 0 || offset >= m_size || count == 0 || !guardInstalled())
        return;
    if (!m_ahead) {
        try {
            m_ahead.reset(new Ahead(m_fd));
        } catch (const std::system_error&) {
            return;  // no thread to be had: mapAt maps each view itself
        }
    }
    const PageSpan span = pagesFor(offset, count, m_size);
    m_ahead->ask(span.start, span.bytes());
}

void FileReader::unmap() {
    if (!m_view)
        return;
    m_lost = viewLost();
    const Mapping m{m_view, m_viewBytes, m_viewSlot};
    if (!m_ahead || !m_ahead->giveBack(m))
        unmapPages(m);
    m_view = nullptr;
    m_viewBytes = 0;
    m_viewSlot = -1;
}

bool FileReader::viewLost() {
    if (m_viewSlot >= 0 && g_views[m_viewSlot].lost.load(std::memory_order_acquire))
        m_lost = true;
    return m_lost;
}

}  // namespace vn
