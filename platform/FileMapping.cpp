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
#include <csignal>
#include <cstdint>
#include <mutex>

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

}  // namespace

std::string_view FileReader::mapAt(std::uint64_t offset, std::size_t count) {
    unmap();
    if (m_fd < 0 || offset >= m_size || count == 0 || !guardInstalled())
        return {};
    count = std::size_t(std::min<std::uint64_t>(count, m_size - offset));
    const std::uint64_t start = offset & ~std::uint64_t(g_pageSize - 1);
    const std::size_t lead = std::size_t(offset - start);
    const std::size_t bytes = lead + count;
    void* view = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, m_fd, off_t(start));
    if (view == MAP_FAILED)
        return {};
    const auto begin = reinterpret_cast<std::uintptr_t>(view);
    const int slot = claimSlot(begin, begin + bytes);
    if (slot < 0) {
        ::munmap(view, bytes);
        return {};
    }
    m_view = view;
    m_viewBytes = bytes;
    m_viewSlot = slot;
    return std::string_view(static_cast<const char*>(view) + lead, count);
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
