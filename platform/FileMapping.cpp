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
#include <csignal>
#include <cstdint>
#include <limits>
#include <optional>

namespace vn {

PageCost AssumedPageCost = PageCost::Measured;

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

// A mapping of `bytes` from the file's start, claimed in the guard's table; nullopt where the
// system cannot map it or the table is full.
struct Mapping {
    char* base = nullptr;
    std::size_t bytes = 0;
    int slot = -1;
};
std::optional<Mapping> mapFile(int fd, std::size_t bytes) {
    void* view = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED)
        return std::nullopt;
    const auto begin = reinterpret_cast<std::uintptr_t>(view);
    const int slot = claimSlot(begin, begin + bytes);
    if (slot < 0) {
        ::munmap(view, bytes);
        return std::nullopt;
    }
    return Mapping{static_cast<char*>(view), bytes, slot};
}

// Pages are let go behind the reading in whole grains of this size: where the file's pages sit
// in large blocks of memory, the system maps each such grain with one entry, and lets it go as
// cheaply, when the mapping and the grain both start on a multiple of it.
constexpr std::uint64_t kGrain = std::uint64_t(2) << 20;
// Letting go of pages is a round trip to every other processor the process runs on, which drops
// its copy of their entries too: some 20 µs on a virtual machine, however many pages go. So
// grains are let go of this many at once (6 MiB more in memory at most), unless the caller
// asked for few pages.
constexpr unsigned kGrainsAtOnce = 4;

// Sets up the pages of [at, at + bytes) in the process's page tables by reading one byte per
// 64 KiB: the system sets up the cached pages around a page it faults in (64 KiB of them, or a
// whole large page, at once). Asking for every page (MADV_POPULATE_READ) has the system look
// each one up by itself, and cost a quarter more. A page left out is set up when first read.
void populate(const char* at, std::size_t bytes) {
    constexpr std::size_t kStride = std::size_t(64) << 10;
    for (std::size_t i = 0; i < bytes; i += kStride) (void)static_cast<const volatile char*>(at)[i];
}

// Takes the pages of [at, at + bytes) out of the process's page tables; the file keeps them, and
// a later read of them sets them up again.
void release(char* at, std::size_t bytes) {
    ::madvise(at, bytes, MADV_DONTNEED);
}

// Whether the first reads of the pages of [at, at + bytes), just set up, cost more than copying
// them would: it reads a few of them, a page apart, and times that. Where a machine keeps page
// tables of its own for its guests (some virtual machines do), the first read of a page costs
// some 0.5 µs where the file's pages sit in large blocks, but 3 to 5 µs where they are small,
// against half a microsecond to copy a page; elsewhere it costs a small part of that.
bool pagesCostly(const char* at, std::size_t bytes) {
    constexpr std::size_t kProbes = 16;
    constexpr auto kCostlyProbes = std::chrono::microseconds(kProbes * 3 / 2);
    const std::size_t pages = std::min(kProbes, std::size_t((bytes + g_pageSize - 1) / g_pageSize));
    const auto begin = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < pages; ++i)
        (void)static_cast<const volatile char*>(at)[i * g_pageSize];
    const bool slow = std::chrono::steady_clock::now() - begin > kCostlyProbes;
    return AssumedPageCost == PageCost::Costly || (AssumedPageCost == PageCost::Measured && slow);
}

}  // namespace

std::string_view FileReader::mapAt(std::uint64_t offset, std::size_t count) {
    if (m_fd < 0 || offset >= m_size || count == 0 || !guardInstalled())
        return {};
    if (m_costly) {
        // The rest is read: the view goes, and with it every page it still holds.
        unmap();
        m_viewFailed = true;
        return {};
    }
    if (!m_view) {
        // One view of the whole file, made once: its pages are only set up as they are read and
        // let go of behind the reading, so memory holds a few grains of it at a time.
        if (m_viewFailed || m_size > std::numeric_limits<std::size_t>::max() / 2)
            return {};
        const std::optional<Mapping> m = mapFile(m_fd, std::size_t(m_size));
        if (!m) {
            m_viewFailed = true;
            return {};
        }
        m_view = m->base;
        m_viewBytes = m->bytes;
        m_viewSlot = m->slot;
        m_releasedTo = 0;
    }
    m_costly = m_costly || AssumedPageCost == PageCost::Costly;
    const std::size_t shown = std::size_t(std::min<std::uint64_t>(count, m_size - offset));
    return std::string_view(static_cast<const char*>(m_view) + offset, shown);
}

unsigned FileReader::grainsLetGoAtOnce() const {
    return m_fewPages ? 1 : kGrainsAtOnce;
}

void FileReader::letGoBefore(std::uint64_t offset) {
    if (!m_view)
        return;
    // Every whole grain before the one that holds `offset` is done with.
    const std::uint64_t done = std::min(offset, m_size) / kGrain * kGrain;
    if (done >= m_releasedTo + grainsLetGoAtOnce() * kGrain) {
        release(static_cast<char*>(m_view) + m_releasedTo, std::size_t(done - m_releasedTo));
        m_releasedTo = done;
    }
}

void FileReader::mapAhead(std::uint64_t offset, std::size_t count) {
    if (!m_view || m_costly || m_fewPages || offset >= m_size || count == 0)
        return;
    const std::uint64_t start = offset & ~std::uint64_t(g_pageSize - 1);
    const std::uint64_t end = std::min<std::uint64_t>(m_size, offset + count);
    char* const at = static_cast<char*>(m_view) + start;
    populate(at, std::size_t(end - start));
    if (m_viewsAhead++ % 8 == 0)
        m_costly = pagesCostly(at, std::size_t(end - start));
}

void FileReader::unmap() {
    if (!m_view)
        return;
    m_lost = viewLost();
    releaseSlot(m_viewSlot);
    ::munmap(m_view, m_viewBytes);
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
