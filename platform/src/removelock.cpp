// Remove locks, with the verifier's record of who holds them.
#include "kernel.h"

#include <unordered_map>

namespace host::detail {
namespace {

// What the verifier knows of one remove lock: the holds by tag and the limits it was given.
struct LockRecord {
    std::map<const void*, size_t> holds;
    size_t total = 0;
    ULONG highWatermark = 0;
    bool waited = false; // IoReleaseRemoveLockAndWait ran
};

struct RemoveLocks {
    std::mutex lock;
    std::unordered_map<const void*, LockRecord> records;
};

RemoveLocks& TheLocks() {
    static RemoveLocks* locks =
        new RemoveLocks; // never destroyed: detached threads may outlive exit
    return *locks;
}

// Takes one hold of the tag off the record; FALSE when the tag holds none, with `othersHold`
// telling whether other tags hold the lock.
bool DropHold(const void* lock, const void* tag, bool* othersHold) {
    std::lock_guard<std::mutex> guard(TheLocks().lock);
    LockRecord& record = TheLocks().records[lock];
    auto found = record.holds.find(tag);
    if (found == record.holds.end()) {
        *othersHold = record.total != 0;
        return false;
    }
    if (--found->second == 0) {
        record.holds.erase(found);
    }
    record.total--;
    return true;
}

void DropCount(PIO_REMOVE_LOCK lock) {
    if (InterlockedDecrement(&lock->Common.IoCount) == 0) {
        KeSetEvent(&lock->Common.RemoveEvent, 0, FALSE);
    }
}

} // namespace

void ResetRemoveLocks() {
    std::lock_guard<std::mutex> guard(TheLocks().lock);
    TheLocks().records.clear();
}

size_t RemoveLockHoldsIn(const void* begin, size_t size) {
    auto* first = static_cast<const char*>(begin);
    std::lock_guard<std::mutex> guard(TheLocks().lock);
    size_t holds = 0;
    for (auto& lock : TheLocks().records) {
        auto* at = static_cast<const char*>(lock.first);
        if (at >= first && at < first + size) {
            holds += lock.second.total;
        }
    }
    return holds;
}

void ForgetRemoveLocksIn(const void* begin, size_t size) {
    auto* first = static_cast<const char*>(begin);
    std::lock_guard<std::mutex> guard(TheLocks().lock);
    for (auto it = TheLocks().records.begin(); it != TheLocks().records.end();) {
        auto* at = static_cast<const char*>(it->first);
        it = (at >= first && at < first + size) ? TheLocks().records.erase(it) : std::next(it);
    }
}

} // namespace host::detail

using namespace host::detail;

// ddi/wdm/nf-wdm-ioinitializeremovelock and its Acquire, Release and ReleaseAndWait pages;
// the tag checks are I/O Verification's (0xC4/0xD5 to 0xD7). Not modelled: AllocateTag (the
// tracking blocks of a checked build) and MaxLockedMinutes (its hold timer).
extern "C" {

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
    CheckDdiIrql(Ddi::IoInitializeRemoveLock);
    UNREFERENCED_PARAMETER(AllocateTag);
    UNREFERENCED_PARAMETER(MaxLockedMinutes);
    if (RemlockSize != sizeof(IO_REMOVE_LOCK)) {
        Violate(host::rule::RemoveLockBadSize, "IoInitializeRemoveLockEx of " + Hex(Lock) +
                                                   " with size " + std::to_string(RemlockSize) +
                                                   " for a lock of " +
                                                   std::to_string(sizeof(IO_REMOVE_LOCK)));
        return;
    }
    {
        std::lock_guard<std::mutex> guard(TheLocks().lock);
        // Only a lock released and waited for is documented as dead; the memory of any other
        // may have been reused for a new lock (a stack frame, a freed block).
        auto found = TheLocks().records.find(Lock);
        if (found != TheLocks().records.end() && found->second.waited) {
            Violate(host::rule::RemoveLockReinitialized,
                    "IoInitializeRemoveLockEx of remove lock " + Hex(Lock) +
                        ", already released and waited for");
        }
        LockRecord& record = TheLocks().records[Lock];
        record = LockRecord();
        record.highWatermark = HighWatermark;
    }
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize) {
    CheckDdiIrql(Ddi::IoAcquireRemoveLock);
    UNREFERENCED_PARAMETER(File);
    UNREFERENCED_PARAMETER(Line);
    UNREFERENCED_PARAMETER(RemlockSize);
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) {
        DropCount(RemoveLock);
        return STATUS_DELETE_PENDING;
    }
    std::lock_guard<std::mutex> guard(TheLocks().lock);
    LockRecord& record = TheLocks().records[RemoveLock];
    record.holds[Tag]++;
    record.total++;
    if (record.highWatermark != 0 && record.total > record.highWatermark) {
        Violate(host::rule::RemoveLockOverHighWatermark,
                "remove lock " + Hex(RemoveLock) + " acquired with tag " + Hex(Tag) + ": " +
                    std::to_string(record.total) + " holds exceed its high watermark of " +
                    std::to_string(record.highWatermark));
    }
    return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    CheckDdiIrql(Ddi::IoReleaseRemoveLock);
    UNREFERENCED_PARAMETER(RemlockSize);
    bool othersHold = false;
    if (!DropHold(RemoveLock, Tag, &othersHold)) {
        Violate(host::rule::RemoveLockReleaseWithoutAcquire,
                "remove lock " + Hex(RemoveLock) + " released with tag " + Hex(Tag) +
                    ", which holds no acquisition of it",
                othersHold ? "0xC4/0xD5" : "host (no documented code)");
        return;
    }
    DropCount(RemoveLock);
}

// The caller's own hold and the bias go, then the wait for every other hold. A caller that holds
// nothing is reported, and its missing hold is not taken off, so that the wait still ends.
VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    CheckDdiIrql(Ddi::IoReleaseRemoveLockAndWait);
    UNREFERENCED_PARAMETER(RemlockSize);
    __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST);
    bool othersHold = false;
    bool held = DropHold(RemoveLock, Tag, &othersHold);
    {
        std::lock_guard<std::mutex> guard(TheLocks().lock);
        TheLocks().records[RemoveLock].waited = true;
    }
    if (!held) {
        Violate(host::rule::RemoveLockWaitWithoutAcquire,
                "IoReleaseRemoveLockAndWait of remove lock " + Hex(RemoveLock) + " with tag " +
                    Hex(Tag) + ", which holds no acquisition of it",
                othersHold ? "0xC4/0xD6" : "host (no documented code)");
    }
    DropCount(RemoveLock); // the bias
    if (held) {
        DropCount(RemoveLock);
    }
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, NULL);
}

} // extern "C"
