// Special pool and Force IRQL Checking, as Driver Verifier does them (devtest/special-pool,
// devtest/force-irql-checking): each allocation ends at a page boundary with an inaccessible
// page after it and its pages become inaccessible again when freed, so an overrun or a use after
// free faults at once; and whenever a thread raises to DISPATCH_LEVEL the paged pool is paged
// out, so that touching it at DISPATCH_LEVEL or above faults (bug check 0xD1), while a thread
// below DISPATCH_LEVEL pages it back in as the memory manager would. Under AddressSanitizer the
// non-paged pool stays with the system allocator, which the sanitizer watches itself.
#include "faults.h"
#include "kernel.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
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
// Address space reserved, not committed: 1 GiB, a quarter of a 32-bit process's.
constexpr size_t Pages = 1u << 18;
constexpr size_t Alignment = 2 * sizeof(void*); // MEMORY_ALLOCATION_ALIGNMENT: 16 on x64, 8 on x86

// What a page of the region is; read by the fault handler, so lock-free. A Free page was never
// handed out or has been freed; a Guard page follows a block.
enum PageState : unsigned char { Free, Guard, NonPaged, PagedIn, PagedOut };

struct Region {
    unsigned char* base = nullptr;
    std::atomic<unsigned char> state[Pages];
    std::atomic<bool> dirty{false}; // a paged page is accessible
    bool pagesOut = false;          // Force IRQL checking pages the paged pool out
    // Under lock: the length in pages of each run by its first page, the next-fit cursor (freed
    // pages are reused late, so a use after free keeps faulting), and the paged runs.
    std::mutex lock;
    unsigned runPages[Pages];
    size_t cursor = 0;
    std::vector<size_t> pagedRuns;
};

// Published once its base is set; read by any thread and by the fault handler.
std::atomic<Region*> g_region{nullptr};

bool Contains(const Region* region, uintptr_t address) {
    auto base = reinterpret_cast<uintptr_t>(region->base);
    return address >= base && address - base < Pages * PageSize;
}

size_t PageOf(const Region* region, uintptr_t address) {
    return (address - reinterpret_cast<uintptr_t>(region->base)) / PageSize;
}

unsigned char* PageAddress(const Region* region, size_t page) {
    return region->base + page * PageSize;
}

// The host cannot keep its pages as the verifier needs (mappings exhausted, vm.max_map_count):
// it stops rather than run on without the checks.
[[noreturn]] void ProtectFailed(int error) {
    std::fprintf(stderr, "special pool: mprotect failed (errno %d); the host cannot go on\n",
                 error);
    std::abort();
}

// mprotect from the fault handler, which stops the process when it fails: retrying the access
// would fault for ever.
void ProtectInHandler(const Region* region, size_t page, int protection) {
    if (mprotect(PageAddress(region, page), PageSize, protection) != 0) {
        SignalLine failed;
        failed.Add("special pool: mprotect failed in the fault handler; the host cannot go on\n");
        failed.Emit();
        std::abort();
    }
}

// A fault in the region: a paged page is paged in below DISPATCH_LEVEL and stops the machine with
// 0xD1 at or above it; a guard page stops it with 0xCD, a free page with 0xCC (bug check pages
// 0xCC, 0xCD, 0xD1). Runs in the signal handler.
bool OnPoolFault(uintptr_t address, void*) {
    Region* region = g_region.load(std::memory_order_acquire);
    if (region == nullptr || !Contains(region, address)) {
        return false;
    }
    size_t page = PageOf(region, address);
    std::atomic<unsigned char>& state = region->state[page];
    SignalLine what;
    what.Add("0x");
    what.AddNumber(address, 16, 1);
    for (unsigned char seen = state.load();;) {
        if (seen == NonPaged || seen == PagedIn) {
            return true; // made accessible by another thread since the access
        }
        if (seen == PagedOut) {
            if (CurrentIrql() >= DISPATCH_LEVEL) {
                what.Add(" in paged pool touched at IRQL ");
                what.AddNumber(CurrentIrql(), 10, 1);
                StopFromSignal(0xD1, "DRIVER_IRQL_NOT_LESS_OR_EQUAL", what);
            }
            // Claimed before it is made accessible, so that a free in between is seen.
            if (!state.compare_exchange_strong(seen, PagedIn)) {
                continue;
            }
            ProtectInHandler(region, page, PROT_READ | PROT_WRITE);
            region->dirty.store(true);
            if (state.load() == Free) {
                // Freed meanwhile: made inaccessible again, so that the access faults as freed.
                ProtectInHandler(region, page, PROT_NONE);
            }
            return true;
        }
        if (seen == Guard) {
            what.Add(" is past the end of a special pool block");
            StopFromSignal(0xCD, "PAGE_FAULT_BEYOND_END_OF_ALLOCATION", what);
        }
        what.Add(" is in freed special pool");
        StopFromSignal(0xCC, "PAGE_FAULT_IN_FREED_SPECIAL_POOL", what);
    }
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
        made->pagesOut = FaultsResumeIntact();
        g_region.store(made, std::memory_order_release);
        AddFaultOwner(OnPoolFault);
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
        mprotect(PageAddress(region, first), count * PageSize, PROT_READ | PROT_WRITE) != 0) {
        return nullptr; // out of room or of mappings: the system allocator serves it
    }
    for (size_t page = first; page < first + count; ++page) {
        region->state[page].store(paged ? PagedIn : NonPaged);
    }
    region->state[first + count].store(Guard);
    region->runPages[first] = static_cast<unsigned>(count);
    if (paged) {
        region->pagedRuns.push_back(first);
        region->dirty.store(true);
    }
    return PageAddress(region, first) + count * PageSize - bytes;
}

bool SpecialPoolFree(void* memory) {
    Region* region = g_region.load(std::memory_order_acquire);
    auto address = reinterpret_cast<uintptr_t>(memory);
    if (region == nullptr || !Contains(region, address)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(region->lock);
    size_t first = PageOf(region, address);
    size_t count = region->runPages[first];
    // Marked free before it is protected: a fault that pages it in meanwhile sees it and
    // protects it again.
    for (size_t page = first; page < first + count; ++page) {
        region->state[page].store(Free);
    }
    region->state[first + count].store(Free);
    if (mprotect(PageAddress(region, first), count * PageSize, PROT_NONE) != 0) {
        ProtectFailed(errno);
    }
    madvise(PageAddress(region, first), count * PageSize, MADV_DONTNEED);
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
    Region* region = g_region.load(std::memory_order_acquire);
    if (region == nullptr || !region->pagesOut || !region->dirty.exchange(false)) {
        return;
    }
    std::lock_guard<std::mutex> guard(region->lock);
    for (size_t first : region->pagedRuns) {
        for (size_t page = first; page < first + region->runPages[first]; ++page) {
            unsigned char in = PagedIn;
            // Marked out before it is protected: a fault in between pages it in again.
            if (region->state[page].compare_exchange_strong(in, PagedOut) &&
                mprotect(PageAddress(region, page), PageSize, PROT_NONE) != 0) {
                ProtectFailed(errno);
            }
        }
    }
}

} // namespace host::detail

namespace host {

bool PagedPoolIsPagedOut() {
    detail::Region* region = detail::TheRegion();
    return region != nullptr && region->pagesOut;
}

bool InSpecialPool(const void* block) {
    detail::Region* region = detail::g_region.load(std::memory_order_acquire);
    return region != nullptr && detail::Contains(region, reinterpret_cast<uintptr_t>(block));
}

} // namespace host
