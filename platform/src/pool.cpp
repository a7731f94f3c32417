// Pool with tag tracking, and the non-paged lookaside lists built on it.
#include "kernel.h"

#include <cstdlib>
#include <unordered_map>
#include <vector>

namespace host::detail {
namespace {

struct Allocation {
    ULONG tag;
    POOL_TYPE type;
    size_t size;
    PDRIVER_OBJECT owner; // the driver whose code allocated it
};

struct Pool {
    std::mutex lock;
    std::unordered_map<void*, Allocation> live;
    size_t bytes = 0;
    size_t highWater = 0;
};

Pool& ThePool() {
    static Pool* pool = new Pool; // never destroyed: detached threads may outlive exit
    return *pool;
}

bool IsPagedType(POOL_TYPE type) {
    return (static_cast<ULONG>(type) & 1) != 0;
}

void ReleaseMemory(void* memory) {
    if (!SpecialPoolFree(memory)) {
        std::free(memory);
    }
}

} // namespace

void ResetPool() {
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    for (auto& entry : pool.live) {
        ReleaseMemory(entry.first);
    }
    pool.live.clear();
    pool.bytes = 0;
    pool.highWater = 0;
}

} // namespace host::detail

namespace host {

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

std::vector<PoolUsage> PoolOutstanding() {
    return detail::PoolOutstandingOf(nullptr);
}

namespace detail {

std::vector<PoolUsage> PoolOutstandingOf(PDRIVER_OBJECT owner) {
    std::map<std::string, PoolUsage> byTag;
    {
        std::lock_guard<std::mutex> guard(detail::ThePool().lock);
        for (auto& entry : detail::ThePool().live) {
            if (owner != nullptr && entry.second.owner != owner) {
                continue;
            }
            std::string tag = TagText(entry.second.tag);
            PoolUsage& usage = byTag[tag];
            usage.tag = tag;
            usage.allocations++;
            usage.bytes += entry.second.size;
            usage.pagedBytes += IsPagedType(entry.second.type) ? entry.second.size : 0;
        }
    }
    std::vector<PoolUsage> result;
    for (auto& entry : byTag) {
        result.push_back(entry.second);
    }
    return result;
}

} // namespace detail

size_t PoolBytesOutstanding() {
    std::lock_guard<std::mutex> guard(detail::ThePool().lock);
    return detail::ThePool().bytes;
}

size_t PoolHighWater() {
    std::lock_guard<std::mutex> guard(detail::ThePool().lock);
    return detail::ThePool().highWater;
}

} // namespace host

using namespace host::detail;

namespace {

// The host's state of one lookaside list: entries handed out, and freed entries kept for reuse.
struct LookasideState {
    std::mutex lock;
    std::vector<void*> cached;
    size_t outstanding = 0;
};

constexpr size_t LookasideCacheDepth = 4;
// A cached entry is filled with this, so that a driver that reads a reused entry before it sets
// it sees garbage, and one that writes to an entry it gave back is caught when it is handed out.
constexpr unsigned char LookasidePoison = 0xDF;

void CheckPoison(PNPAGED_LOOKASIDE_LIST lookaside, const void* entry) {
    auto* bytes = static_cast<const unsigned char*>(entry);
    for (ULONG i = 0; i < lookaside->Size; ++i) {
        if (bytes[i] != LookasidePoison) {
            Violate(host::rule::LookasideEntryWrittenAfterFree,
                    "entry " + Hex(entry) + " of lookaside list " + Hex(lookaside) + " (tag '" +
                        host::TagText(lookaside->Tag) + "') was written at offset " +
                        std::to_string(i) + " after it was freed to the list");
            return;
        }
    }
}

PVOID NTAPI DefaultAllocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, Tag);
}

VOID NTAPI DefaultFree(PVOID Buffer) {
    ExFreePool(Buffer);
}

} // namespace

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    CheckDdiIrql(IsPagedType(PoolType) ? Ddi::ExAllocatePagedPool : Ddi::ExAllocatePool);
    if ((static_cast<ULONG>(PoolType) & POOL_NX_ALLOCATION) != 0 &&
        !NtDdiVersionAvailable(0x06020000)) {
        Violate(host::rule::BadPoolCaller,
                "NonPagedPoolNx requested on a system before Windows 8, tag '" +
                    host::TagText(Tag) + "'");
    }
    if (ShouldFail(host::Alloc::Pool)) {
        return NULL;
    }
    void* memory = SpecialPoolAllocate(NumberOfBytes, IsPagedType(PoolType));
    if (memory == nullptr) {
        memory = std::malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
    }
    if (memory == nullptr) {
        return NULL;
    }
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.live[memory] = {Tag, PoolType, NumberOfBytes, CurrentDriver()};
    pool.bytes += NumberOfBytes;
    if (pool.bytes > pool.highWater) {
        pool.highWater = pool.bytes;
    }
    return memory;
}

VOID NTAPI ExFreePool(PVOID P) {
    Pool& pool = ThePool();
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        auto found = pool.live.find(P);
        if (found != pool.live.end()) {
            CheckDdiIrql(IsPagedType(found->second.type) ? Ddi::ExFreePagedPool : Ddi::ExFreePool);
            ForgetRemoveLocksIn(P, found->second.size);
            pool.bytes -= found->second.size;
            pool.live.erase(found);
            ReleaseMemory(P);
            return;
        }
    }
    Violate(host::rule::BadPoolCaller, "ExFreePool of " + Hex(P) + ", not a live allocation");
    BugCheck(0xC2, "BAD_POOL_CALLER: free of " + Hex(P) + ", not a live pool allocation");
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    {
        std::lock_guard<std::mutex> guard(ThePool().lock);
        auto found = ThePool().live.find(P);
        if (found != ThePool().live.end() && found->second.tag != Tag) {
            BugCheck(0xC2, "BAD_POOL_CALLER: tag " + host::TagText(Tag) + " frees a block of " +
                               host::TagText(found->second.tag));
        }
    }
    ExFreePool(P);
}

VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside,
                                           PALLOCATE_FUNCTION* Allocate, PFREE_FUNCTION* Free,
                                           ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth) {
    CheckDdiIrql(Ddi::ExInitializeNPagedLookasideList);
    memset(Lookaside, 0, sizeof(*Lookaside));
    Lookaside->HostList = new LookasideState;
    Lookaside->Size = static_cast<ULONG>(Size);
    Lookaside->Tag = Tag;
    Lookaside->Flags = Flags;
    Lookaside->Depth = Depth;
    Lookaside->Allocate = Allocate != NULL ? Allocate : DefaultAllocate;
    Lookaside->Free = Free != NULL ? Free : DefaultFree;
}

PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    CheckDdiIrql(Ddi::ExAllocateFromNPagedLookasideList);
    auto* state = static_cast<LookasideState*>(Lookaside->HostList);
    if (ShouldFail(host::Alloc::Lookaside)) {
        return NULL;
    }
    {
        std::lock_guard<std::mutex> guard(state->lock);
        if (!state->cached.empty()) {
            void* entry = state->cached.back();
            state->cached.pop_back();
            state->outstanding++;
            CheckPoison(Lookaside, entry);
            return entry;
        }
    }
    POOL_TYPE type = static_cast<POOL_TYPE>(NonPagedPool | (Lookaside->Flags & POOL_NX_ALLOCATION));
    PVOID entry = Lookaside->Allocate(type, Lookaside->Size, Lookaside->Tag);
    if (entry != NULL) {
        std::lock_guard<std::mutex> guard(state->lock);
        state->outstanding++;
    }
    return entry;
}

VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    CheckDdiIrql(Ddi::ExFreeToNPagedLookasideList);
    auto* state = static_cast<LookasideState*>(Lookaside->HostList);
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->outstanding--;
        if (state->cached.size() < LookasideCacheDepth) {
            memset(Entry, LookasidePoison, Lookaside->Size);
            state->cached.push_back(Entry);
            return;
        }
    }
    Lookaside->Free(Entry);
}

VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    CheckDdiIrql(Ddi::ExDeleteNPagedLookasideList);
    auto* state = static_cast<LookasideState*>(Lookaside->HostList);
    if (state->outstanding != 0) {
        Violate(host::rule::LookasideEntriesOutstanding,
                "lookaside list " + Hex(Lookaside) + " (tag '" + host::TagText(Lookaside->Tag) +
                    "') deleted with " + std::to_string(state->outstanding) +
                    " entry(ies) not returned");
    }
    for (void* entry : state->cached) {
        Lookaside->Free(entry);
    }
    delete state;
    Lookaside->HostList = NULL;
}

} // extern "C"
