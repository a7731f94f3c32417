// The verifier's record of violations, bug checks and deterministic fault injection.
#include "kernel.h"

#include <array>
#include <cstdlib>
#include <sstream>

namespace host {

namespace rule {
const char* const IrpCompletedTwice = "IRP_COMPLETED_TWICE";
const char* const IrpCompletedWithPending = "IRP_COMPLETED_WITH_PENDING";
const char* const PendingNotMarked = "PENDING_RETURNED_NOT_MARKED";
const char* const SyncStatusMismatch = "SYNC_COMPLETION_STATUS_MISMATCH";
const char* const IrpFreedInUse = "IRP_FREED_IN_USE";
const char* const NoMoreStackLocations = "NO_MORE_IRP_STACK_LOCATIONS";
const char* const DriverIrpReachedTop = "DRIVER_IRP_COMPLETED_TO_TOP";
const char* const IrpLeaked = "IRP_LEAKED";
const char* const DeviceDeletedWithIrps = "DEVICE_DELETED_WITH_IRPS";
const char* const RemoveLockHeldAtDelete = "REMOVE_LOCK_HELD_AT_DELETE";
const char* const RemoveLockReleaseWithoutAcquire = "REMOVE_LOCK_RELEASE_WITHOUT_ACQUIRE";
const char* const DereferenceBelowZero = "DEREFERENCE_BELOW_ZERO";
const char* const DeviceStillInitializing = "DEVICE_STILL_INITIALIZING";
const char* const IrqlTooHigh = "IRQL_TOO_HIGH";
const char* const IrqlNotRestored = "IRQL_OR_SPIN_LOCK_NOT_RESTORED";
const char* const PowerIrpWithoutStartNext = "POWER_IRP_WITHOUT_START_NEXT";
const char* const BadPoolCaller = "BAD_POOL_CALLER";
const char* const PoolLeakedAtUnload = "POOL_LEAKED_AT_UNLOAD";
const char* const LookasideEntriesOutstanding = "LOOKASIDE_ENTRIES_OUTSTANDING";
const char* const DeviceLeftAtUnload = "DEVICE_LEFT_AT_UNLOAD";
const char* const ThreadAliveAtUnload = "THREAD_ALIVE_AT_UNLOAD";
const char* const IrpAliveAtUnload = "IRP_ALIVE_AT_UNLOAD";
} // namespace rule

namespace {

struct VerifierState {
    std::mutex lock;
    std::vector<Violation> violations;
    BugCheckHandler bugCheck;
};

VerifierState& State() {
    static VerifierState* state =
        new VerifierState; // never destroyed: detached threads may outlive exit
    return *state;
}

struct Faults {
    std::mutex lock;
    std::array<unsigned, static_cast<size_t>(Alloc::Kinds)> calls{};
    std::array<unsigned, static_cast<size_t>(Alloc::Kinds)> failAt{};
    PDRIVER_INITIALIZE countedEntry = nullptr;
    bool injected = false;
};

Faults& TheFaults() {
    static Faults* faults = new Faults; // never destroyed: detached threads may outlive exit
    return *faults;
}

} // namespace

std::vector<Violation> Violations() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().violations;
}

void ClearViolations() {
    std::lock_guard<std::mutex> guard(State().lock);
    State().violations.clear();
}

std::string DescribeViolations() {
    std::ostringstream text;
    for (const Violation& v : Violations()) {
        text << v.rule << ": " << v.detail << "\n";
    }
    return text.str();
}

void SetBugCheckHandler(BugCheckHandler handler) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().bugCheck = std::move(handler);
}

void FailNthCall(Alloc kind, unsigned nth) {
    std::lock_guard<std::mutex> guard(TheFaults().lock);
    TheFaults().calls[static_cast<size_t>(kind)] = 0;
    TheFaults().failAt[static_cast<size_t>(kind)] = nth;
    TheFaults().injected = false;
}

void CountCallsOf(PDRIVER_INITIALIZE entry) {
    std::lock_guard<std::mutex> guard(TheFaults().lock);
    TheFaults().countedEntry = entry;
}

bool FaultInjected() {
    std::lock_guard<std::mutex> guard(TheFaults().lock);
    return TheFaults().injected;
}

unsigned CallCount(Alloc kind) {
    std::lock_guard<std::mutex> guard(TheFaults().lock);
    return TheFaults().calls[static_cast<size_t>(kind)];
}

namespace detail {

void Violate(const char* rule, const std::string& detail) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().violations.push_back({rule, detail});
}

void BugCheck(ULONG code, const std::string& reason) {
    BugCheckHandler handler;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        handler = State().bugCheck;
    }
    if (handler) {
        handler(code, reason);
    }
    std::fprintf(stderr, "*** STOP: 0x%08X (%s)\n", code, reason.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string Hex(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}

bool ShouldFail(Alloc kind) {
    PDRIVER_OBJECT caller = CurrentDriver();
    std::lock_guard<std::mutex> guard(TheFaults().lock);
    if (TheFaults().countedEntry != nullptr &&
        (caller == nullptr || caller->DriverInit != TheFaults().countedEntry)) {
        return false;
    }
    size_t k = static_cast<size_t>(kind);
    unsigned call = ++TheFaults().calls[k];
    bool fail = TheFaults().failAt[k] != 0 && call == TheFaults().failAt[k];
    TheFaults().injected = TheFaults().injected || fail;
    return fail;
}

void ResetFaults() {
    std::lock_guard<std::mutex> guard(TheFaults().lock);
    TheFaults().calls.fill(0);
    TheFaults().failAt.fill(0);
    TheFaults().countedEntry = nullptr;
    TheFaults().injected = false;
}

} // namespace detail
} // namespace host

extern "C" VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                                   ULONG_PTR P4) {
    char reason[128];
    std::snprintf(reason, sizeof reason, "KeBugCheckEx(%#zx, %#zx, %#zx, %#zx)",
                  static_cast<size_t>(P1), static_cast<size_t>(P2), static_cast<size_t>(P3),
                  static_cast<size_t>(P4));
    host::detail::BugCheck(BugCheckCode, reason);
}
