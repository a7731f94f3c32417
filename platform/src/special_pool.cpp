// Special pool and Force IRQL Checking, as Driver Verifier does them (devtest/special-pool,
// devtest/force-irql-checking): each allocation ends at a page boundary with an inaccessible
// page after it and its pages become inaccessible again when freed, so an overrun or a use after
// free faults at once; and whenever a thread raises to DISPATCH_LEVEL the paged pool is paged
// out, so that touching it at DISPATCH_LEVEL or above faults (bug check 0xD1), while a thread
// below DISPATCH_LEVEL pages it back in as the memory manager would. Under AddressSanitizer the
// non-paged pool stays with the system allocator, which the sanitizer watches itself.
#include "kernel.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define VELT_SYSTEM_NONPAGED_POOL 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELT_SYSTEM_NONPAGED_POOL 1
#endif
#endif

namespace host::detail {
namespace {

constexpr size_t PageSize = 4096;
// Address space reserved, not committed: 1 GiB, or 256 MiB in a 32-bit process.
constexpr size_t Pages = sizeof(void*) == 4 ? 1u << 16 : 1u << 18;
constexpr size_t Alignment = 16; // MEMORY_ALLOCATION_ALIGNMENT on x64

// What a page of the region is; read by the fault handler, so lock-free.
enum PageState : unsigned char { Free, NonPaged, PagedIn, PagedOut };

struct Region {
    unsigned char* base = nullptr;
    std::atomic<unsigned char> state[Pages];
    std::atomic<bool> dirty{false}; // a paged page is accessible
    // Under lock: the length in pages of each run by its first page, the next-fit cursor (freed
    // pages are reused late, so a use after free keeps faulting), and the paged runs.
    std::mutex lock;
    unsigned runPages[Pages];
    size_t cursor = 0;
    std::vector<size_t> pagedRuns;
    struct sigaction previous;
};

Region* g_region = nullptr;

bool Contains(const void* address) {
    auto* at = static_cast<const unsigned char*>(address);
    return g_region != nullptr && at >= g_region->base && at < g_region->base + Pages * PageSize;
}

size_t PageOf(const void* address) {
    return static_cast<size_t>(static_cast<const unsigned char*>(address) - g_region->base) /
           PageSize;
}

unsigned char* PageAddress(size_t page) {
    return g_region->base + page * PageSize;
}

void OnFault(int signal, siginfo_t* info, void* context) {
    void* address = info->si_addr;
    if (!Contains(address)) {
        const struct sigaction& previous = g_region->previous;
        if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction != nullptr) {
            previous.sa_sigaction(signal, info, context);
            return;
        }
        // The default action: the access faults again and ends the process.
        sigaction(SIGSEGV, &previous, nullptr);
        return;
    }
    size_t page = PageOf(address);
    unsigned char state = g_region->state[page].load();
    if (state == PagedIn || state == PagedOut) {
        if (CurrentIrql() >= DISPATCH_LEVEL) {
            BugCheck(0xD1, "DRIVER_IRQL_NOT_LESS_OR_EQUAL: paged pool at " + Hex(address) +
                               " touched at IRQL " + std::to_string(CurrentIrql()));
        }
        mprotect(PageAddress(page), PageSize, PROT_READ | PROT_WRITE);
        g_region->state[page].store(PagedIn);
        g_region->dirty.store(true);
        return;
    }
    if (state == NonPaged) {
        return; // made accessible by another thread since the access
    }
    BugCheck(0xCD, "PAGE_FAULT_BEYOND_END_OF_ALLOCATION or PAGE_FAULT_IN_FREED_SPECIAL_POOL: " +
                       Hex(address) + " is past a pool block or in a freed one");
}

Region* TheRegion() {
    static Region* region = [] {
        void* base = mmap(nullptr, Pages * PageSize, PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (base == MAP_FAILED) {
            return static_cast<Region*>(nullptr);
        }
        auto* made = new Region(); // never destroyed: detached threads may outlive exit
        made->base = static_cast<unsigned char*>(base);
        g_region = made;
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &made->previous);
        return made;
    }();
    return region;
}

// Finds `count` free pages followed by a free guard page, from the cursor on; caller holds lock.
bool FindRun(Region& region, size_t count, size_t* first) {
    for (size_t tried = 0, at = region.cursor; tried < Pages; ++tried, at = (at + 1) % Pages) {
        if (at + count + 1 > Pages) {
            continue;
        }
        size_t n = 0;
        while (n <= count && region.state[at + n].load() == Free) {
            ++n;
        }
        if (n > count) {
            *first = at;
            region.cursor = (at + count + 1) % Pages;
            return true;
        }
        tried += n;
        at += n;
    }
    return false;
}

} // namespace

void* SpecialPoolAllocate(size_t size, bool paged) {
#ifdef VELT_SYSTEM_NONPAGED_POOL
    if (!paged) {
        return nullptr;
    }
#endif
    Region* region = TheRegion();
    if (region == nullptr) {
        return nullptr;
    }
    size_t bytes = (size + Alignment - 1) / Alignment * Alignment;
    bytes = bytes == 0 ? Alignment : bytes;
    size_t count = (bytes + PageSize - 1) / PageSize;
    std::lock_guard<std::mutex> guard(region->lock);
    size_t first;
    if (!FindRun(*region, count, &first) ||
        mprotect(PageAddress(first), count * PageSize, PROT_READ | PROT_WRITE) != 0) {
        return nullptr; // out of room or of mappings: the system allocator serves it
    }
    for (size_t page = first; page < first + count; ++page) {
        region->state[page].store(paged ? PagedIn : NonPaged);
    }
    region->runPages[first] = static_cast<unsigned>(count);
    if (paged) {
        region->pagedRuns.push_back(first);
        region->dirty.store(true);
    }
    return PageAddress(first) + count * PageSize - bytes;
}

bool SpecialPoolFree(void* memory) {
    if (!Contains(memory)) {
        return false;
    }
    Region* region = g_region;
    std::lock_guard<std::mutex> guard(region->lock);
    size_t first = PageOf(memory);
    size_t count = region->runPages[first];
    mprotect(PageAddress(first), count * PageSize, PROT_NONE);
    madvise(PageAddress(first), count * PageSize, MADV_DONTNEED);
    for (size_t page = first; page < first + count; ++page) {
        region->state[page].store(Free);
    }
    for (size_t i = 0; i < region->pagedRuns.size(); ++i) {
        if (region->pagedRuns[i] == first) {
            region->pagedRuns[i] = region->pagedRuns.back();
            region->pagedRuns.pop_back();
            break;
        }
    }
    return true;
}

void TrimPagedPool() {
    Region* region = g_region;
    if (region == nullptr || !region->dirty.exchange(false)) {
        return;
    }
    std::lock_guard<std::mutex> guard(region->lock);
    for (size_t first : region->pagedRuns) {
        for (size_t page = first; page < first + region->runPages[first]; ++page) {
            unsigned char in = PagedIn;
            // Marked out before it is protected: a fault in between pages it in again.
            if (region->state[page].compare_exchange_strong(in, PagedOut)) {
                mprotect(PageAddress(page), PageSize, PROT_NONE);
            }
        }
    }
}

} // namespace host::detail
