// Remove locks, with the verifier's record of who holds them.
#include "kernel.h"

#include <unordered_map>

namespace host::detail {
namespace {

struct RemoveLocks {
    std::mutex lock;
    // lock -> tag -> holds
    std::unordered_map<const void*, std::map<const void*, size_t>> holds;
};

RemoveLocks& TheLocks() {
    static RemoveLocks* locks =
        new RemoveLocks; // never destroyed: detached threads may outlive exit
    return *locks;
}

} // namespace

void ResetRemoveLocks() {
    std::lock_guard<std::mutex> guard(TheLocks().lock);
    TheLocks().holds.clear();
}

size_t RemoveLockHoldsIn(const void* begin, size_t size) {
    auto* first = static_cast<const char*>(begin);
    std::lock_guard<std::mutex> guard(TheLocks().lock);
    size_t holds = 0;
    for (auto& lock : TheLocks().holds) {
        auto* at = static_cast<const char*>(lock.first);
        if (at >= first && at < first + size) {
            for (auto& tag : lock.second) {
                holds += tag.second;
            }
        }
    }
    return holds;
}

void ForgetRemoveLocksIn(const void* begin, size_t size) {
    auto* first = static_cast<const char*>(begin);
    std::lock_guard<std::mutex> guard(TheLocks().lock);
    for (auto it = TheLocks().holds.begin(); it != TheLocks().holds.end();) {
        auto* at = static_cast<const char*>(it->first);
        it = (at >= first && at < first + size) ? TheLocks().holds.erase(it) : std::next(it);
    }
}

} // namespace host::detail

using namespace host::detail;

extern "C" {

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
    UNREFERENCED_PARAMETER(AllocateTag);
    UNREFERENCED_PARAMETER(MaxLockedMinutes);
    UNREFERENCED_PARAMETER(HighWatermark);
    if (RemlockSize != sizeof(IO_REMOVE_LOCK)) {
        BugCheck(0xCB, "IoInitializeRemoveLockEx with a size that is not the lock's");
    }
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
    std::lock_guard<std::mutex> guard(TheLocks().lock);
    TheLocks().holds[Lock].clear();
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize) {
    UNREFERENCED_PARAMETER(File);
    UNREFERENCED_PARAMETER(Line);
    UNREFERENCED_PARAMETER(RemlockSize);
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) {
        if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
            KeSetEvent(&RemoveLock->Common.RemoveEvent, 0, FALSE);
        }
        return STATUS_DELETE_PENDING;
    }
    std::lock_guard<std::mutex> guard(TheLocks().lock);
    TheLocks().holds[RemoveLock][Tag]++;
    return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    UNREFERENCED_PARAMETER(RemlockSize);
    {
        std::lock_guard<std::mutex> guard(TheLocks().lock);
        auto& tags = TheLocks().holds[RemoveLock];
        auto found = tags.find(Tag);
        if (found == tags.end()) {
            Violate(host::rule::RemoveLockReleaseWithoutAcquire,
                    "remove lock " + Hex(RemoveLock) + " released with tag " + Hex(Tag) +
                        ", which holds no acquisition of it");
            return;
        }
        if (--found->second == 0) {
            tags.erase(found);
        }
    }
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
        KeSetEvent(&RemoveLock->Common.RemoveEvent, 0, FALSE);
    }
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST);
    // Drop the bias taken at initialisation, then the caller's own hold.
    InterlockedDecrement(&RemoveLock->Common.IoCount);
    IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, NULL);
}

} // extern "C"
