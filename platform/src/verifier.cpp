// The verifier's record of violations, bug checks and deterministic fault injection.
#include "kernel.h"

#include "host/user_io.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace host {

namespace rule {
const char* const IrpCompletedTwice = "IRP_COMPLETED_TWICE";
const char* const IrpCompletedNeverSent = "IRP_COMPLETED_NEVER_SENT";
const char* const IrpCompletedWithPending = "IRP_COMPLETED_WITH_PENDING";
const char* const CompletedWithCancelRoutine = "IRP_COMPLETED_WITH_CANCEL_ROUTINE";
const char* const ForwardedWithCancelRoutine = "IRP_FORWARDED_WITH_CANCEL_ROUTINE";
const char* const PendingNotMarked = "PENDING_RETURNED_NOT_MARKED";
const char* const MarkedPendingNotReturned = "MARKED_PENDING_NOT_RETURNED";
const char* const SyncStatusMismatch = "SYNC_COMPLETION_STATUS_MISMATCH";
const char* const NeitherCompletedNorPended = "DISPATCH_NEITHER_COMPLETED_NOR_PENDED";
const char* const ForwardedWithControlSet = "FORWARDED_WITH_CONTROL_SET";
const char* const ForwardedWithUpperRoutine = "FORWARDED_WITH_UPPER_COMPLETION_ROUTINE";
const char* const ForwardedAtBadIrql = "FORWARDED_AT_BAD_IRQL";
const char* const IrpFreedInUse = "IRP_FREED_IN_USE";
const char* const ThreadedIrpFreed = "THREADED_IRP_FREED";
const char* const IrpReusedInUse = "IRP_REUSED_IN_USE";
const char* const ThreadedIrpReused = "THREADED_IRP_REUSED";
const char* const ThreadedIrpSentAtApcLevel = "THREADED_IRP_SENT_AT_APC_LEVEL";
const char* const InformationExceedsOutput = "INFORMATION_EXCEEDS_OUTPUT_BUFFER";
const char* const NoMoreStackLocations = "NO_MORE_IRP_STACK_LOCATIONS";
const char* const DriverIrpReachedTop = "DRIVER_IRP_COMPLETED_TO_TOP";
const char* const IrpLeaked = "IRP_LEAKED";
const char* const IrpWrittenAfterFree = "IRP_WRITTEN_AFTER_FREE";
const char* const DeviceDeletedWithIrps = "DEVICE_DELETED_WITH_IRPS";
const char* const DeviceDeletedAttached = "DEVICE_DELETED_WHILE_ATTACHED";
const char* const DetachNotAttached = "DETACH_OF_UNATTACHED_DEVICE";
const char* const RemoveWithoutDetach = "REMOVE_WITHOUT_DETACH";
const char* const RemoveWithoutDelete = "REMOVE_WITHOUT_DELETE";
const char* const PowerPagableNotInherited = "POWER_PAGABLE_NOT_INHERITED";
const char* const IoFlagsNotInherited = "IO_FLAGS_NOT_INHERITED";
const char* const DeviceTypeNotInherited = "DEVICE_TYPE_NOT_INHERITED";
const char* const RemoveLockHeldAtDelete = "REMOVE_LOCK_HELD_AT_DELETE";
const char* const RemoveLockReleaseWithoutAcquire = "REMOVE_LOCK_RELEASE_WITHOUT_ACQUIRE";
const char* const RemoveLockWaitWithoutAcquire = "REMOVE_LOCK_WAIT_WITHOUT_ACQUIRE";
const char* const RemoveLockReinitialized = "REMOVE_LOCK_REINITIALIZED";
const char* const RemoveLockOverHighWatermark = "REMOVE_LOCK_OVER_HIGH_WATERMARK";
const char* const RemoveLockBadSize = "REMOVE_LOCK_BAD_SIZE";
const char* const DereferenceBelowZero = "DEREFERENCE_BELOW_ZERO";
const char* const DeviceStillInitializing = "DEVICE_STILL_INITIALIZING";
const char* const EventNotInitialized = "EVENT_NOT_INITIALIZED";
const char* const IrqlTooHigh = "IRQL_TOO_HIGH";
const char* const IrqlTooLow = "IRQL_TOO_LOW";
const char* const IrqlNotRestored = "IRQL_OR_SPIN_LOCK_NOT_RESTORED";
const char* const PagedCodeAboveApcLevel = "PAGED_CODE_ABOVE_APC_LEVEL";
const char* const PowerIrpWithoutStartNext = "POWER_IRP_WITHOUT_START_NEXT";
const char* const SystemSetPowerFailed = "SYSTEM_SET_POWER_FAILED";
const char* const BadPoolCaller = "BAD_POOL_CALLER";
const char* const PoolLeakedAtUnload = "POOL_LEAKED_AT_UNLOAD";
const char* const LookasideEntriesOutstanding = "LOOKASIDE_ENTRIES_OUTSTANDING";
const char* const LookasideEntryWrittenAfterFree = "LOOKASIDE_ENTRY_WRITTEN_AFTER_FREE";
const char* const DeviceLeftAtUnload = "DEVICE_LEFT_AT_UNLOAD";
const char* const ThreadAliveAtUnload = "THREAD_ALIVE_AT_UNLOAD";
const char* const IrpAliveAtUnload = "IRP_ALIVE_AT_UNLOAD";
} // namespace rule

namespace {

// The verifier's rules as data: Windows' code (bug check, Driver Verifier 0xC9/0xC4 parameter,
// or "host" where Windows has no run-time check and the fault would only show later) and the
// test that provokes the rule with a broken mini-driver. Codes: learn.microsoft.com,
// debugger/bug-check-0xc9--driver-verifier-iomanager-violation (0xC9/x),
// debugger/bug-check-0xc4--driver-verifier-detected-violation (0xC4/x), and the bug check pages.
// The fidelity table (verifier_fidelity.md) is checked against this one by a test.
const RuleInfo RuleTable[] = {
    {rule::IrpCompletedTwice, "0x44", "Rules/BrokenDriver.IsCaughtByItsRule/CompletesTwice"},
    {rule::IrpCompletedNeverSent, "0xC9/0x239",
     "Verifier/BrokenIrpLifetime.IsCaughtByItsRule/CompletesAnIrpNeverSent"},
    {rule::IrpCompletedWithPending, "0xC9/0x06",
     "Rules/BrokenDriver.IsCaughtByItsRule/CompletesWithPending"},
    {rule::CompletedWithCancelRoutine, "0xC9/0x07 (0x23C)",
     "Verifier/BrokenIrpHandling.IsCaughtByItsRule/CompletesWithCancelRoutineSet"},
    {rule::ForwardedWithCancelRoutine, "0xC9/0x203",
     "Verifier/BrokenIrpHandling.IsCaughtByItsRule/ForwardsWithCancelRoutineSet"},
    {rule::PendingNotMarked, "0xC9/0x23D",
     "Rules/BrokenDriver.IsCaughtByItsRule/PendsWithoutMarking"},
    {rule::MarkedPendingNotReturned, "0xC9/0x23E",
     "Verifier/BrokenIrpHandling.IsCaughtByItsRule/MarksPendingReturnsSuccess"},
    {rule::SyncStatusMismatch, "0xC9/0x224",
     "Rules/BrokenDispatch.IsCaughtByItsRule/ReturnsOtherStatus"},
    {rule::NeitherCompletedNorPended, "0xC9/0x226",
     "Verifier/BrokenIrpHandling.IsCaughtByItsRule/NeitherCompletesNorPends"},
    {rule::ForwardedWithControlSet, "0xC9/0x206",
     "Verifier/BrokenIrpHandling.IsCaughtByItsRule/ForwardsWithPendingBitCopied"},
    {rule::ForwardedWithUpperRoutine, "0xC9/0x207",
     "Verifier/BrokenIrpHandling.IsCaughtByItsRule/ForwardsWithUpperCompletionRoutine"},
    {rule::ForwardedAtBadIrql, "0xC9/0x23A",
     "Verifier/BrokenIrpHandling.IsCaughtByItsRule/ForwardsPnpAtDispatchLevel"},
    {rule::IrpFreedInUse, "0xC9/0x20A", "Verifier.IrpFreedWhileADriverOwnsALocation"},
    {rule::ThreadedIrpFreed, "0xC9/0x02",
     "Verifier/BrokenIrpLifetime.IsCaughtByItsRule/FreesThreadedIrp"},
    {rule::IrpReusedInUse, "0xC9/0x310",
     "Verifier/BrokenIrpLifetime.IsCaughtByItsRule/ReusesIrpInUse"},
    {rule::ThreadedIrpReused, "0xC9/0x311",
     "Verifier/BrokenIrpLifetime.IsCaughtByItsRule/ReusesThreadedIrp"},
    {rule::ThreadedIrpSentAtApcLevel, "0xC9/0x302",
     "Verifier/BrokenIrpLifetime.IsCaughtByItsRule/SendsThreadedIrpAtApcLevel"},
    {rule::InformationExceedsOutput, "0xC9/0x312",
     "Verifier/BrokenIrpLifetime.IsCaughtByItsRule/ReportsMoreThanTheOutputBuffer"},
    {rule::NoMoreStackLocations, "0x35",
     "HostKernel.CallingDriverWithNoStackLocationLeftBugChecks"},
    {rule::DriverIrpReachedTop, "host (a thread-less IRP reaching the I/O manager's stage 2)",
     "Verifier/BrokenIrpLifetime.IsCaughtByItsRule/CompletesOwnIrpToTheTop"},
    {rule::IrpLeaked, "host", "Verifier/BrokenIrpLifetime.IsCaughtByItsRule/NeverFreesItsIrp"},
    {rule::IrpWrittenAfterFree, "host (Verifier's special pool stops the write itself, 0xCC)",
     "Verifier/BrokenIrpLifetime.IsCaughtByItsRule/WritesAFreedIrp"},
    {rule::DeviceDeletedWithIrps, "host", "Verifier.DeviceDeletedWhileItHoldsAnIrp"},
    {rule::DeviceDeletedAttached, "0xC9/0x201",
     "Verifier/BrokenTeardown.IsCaughtByItsRule/DeletesWhileAttached"},
    {rule::DetachNotAttached, "0xC9/0x202",
     "Verifier/BrokenTeardown.IsCaughtByItsRule/DetachesTwice"},
    {rule::RemoveWithoutDetach, "0xC9/0x21D",
     "Verifier/BrokenTeardown.IsCaughtByItsRule/RemoveKeepsAttached"},
    {rule::RemoveWithoutDelete, "0xC9/0x21E",
     "Verifier/BrokenTeardown.IsCaughtByItsRule/RemoveKeepsDevice"},
    {rule::PowerPagableNotInherited, "0xC9/0x23F",
     "Verifier/BrokenTeardown.IsCaughtByItsRule/AttachesWithoutPowerPagable"},
    {rule::IoFlagsNotInherited, "0xC9/0x244",
     "Verifier/BrokenTeardown.IsCaughtByItsRule/AttachesWithoutIoFlags"},
    {rule::DeviceTypeNotInherited, "0xC9/0x246",
     "Verifier/BrokenTeardown.IsCaughtByItsRule/AttachesWithOtherDeviceType"},
    {rule::RemoveLockHeldAtDelete, "host", "Verifier.DeviceDeletedWhileItsRemoveLockIsHeld"},
    // 0xD5/0xD6: the release tag differs from the acquire tags; a lock that nothing holds has no
    // documented code.
    {rule::RemoveLockReleaseWithoutAcquire, "0xC4/0xD5 (another tag holds it), else host",
     "Rules/BrokenDriver.IsCaughtByItsRule/ReleasesUnheldRemoveLock"},
    {rule::RemoveLockWaitWithoutAcquire, "0xC4/0xD6 (another tag holds it), else host",
     "Verifier/BrokenRemoveLock.IsCaughtByItsRule/WaitsWithoutHolding"},
    {rule::RemoveLockReinitialized, "0xC4/0xD7",
     "Verifier/BrokenRemoveLock.IsCaughtByItsRule/ReinitializesAfterWait"},
    {rule::RemoveLockOverHighWatermark, "host (checked-build assertion of IoAcquireRemoveLock)",
     "Verifier/BrokenRemoveLock.IsCaughtByItsRule/HoldsAboveHighWatermark"},
    {rule::RemoveLockBadSize, "host (the lock is left uninitialised)",
     "Verifier/BrokenRemoveLock.IsCaughtByItsRule/InitializesWithWrongSize"},
    {rule::DereferenceBelowZero, "0xC4/0x3F", "Verifier.DereferenceOfAnObjectWithNoReferenceLeft"},
    {rule::DeviceStillInitializing, "0xC9/0x243", "Verifier.RequestToADeviceStillInitializing"},
    {rule::EventNotInitialized, "host (the dispatcher's wait list is garbage)",
     "Verifier.WaitOnAnEventNeverInitialized"},
    {rule::IrqlTooHigh, "per DDI (IRQL table)", "DdiIrql/OutsideItsRange.IsReported/IoCallDriver"},
    {rule::IrqlTooLow, "per DDI (IRQL table)",
     "DdiIrql/OutsideItsRange.IsReported/KeAcquireSpinLockAtDpcLevel"},
    {rule::IrqlNotRestored, "0xC9/0x05, 0xC4/0x00040009",
     "Rules/BrokenDispatch.IsCaughtByItsRule/KeepsSpinLock"},
    {rule::PagedCodeAboveApcLevel, "PAGED_CODE assertion", "Verifier.PagedCodeAboveApcLevel"},
    {rule::UserAddressTouched, "0x50 below DISPATCH_LEVEL, 0xD1 at or above it",
     "UserIoDeathTest.DriverThatTouchesAUserAddressStopsTheMachine"},
    {rule::PowerIrpWithoutStartNext, "host (XP: the device's next power IRP never starts)",
     "Rules/BrokenDispatch.IsCaughtByItsRule/ForgetsStartNextPowerIrp"},
    {rule::SystemSetPowerFailed, "SDV PowerDownFail/PowerUpFail (0xC9/0x247 lists no IRPs)",
     "Verifier/BrokenIrpHandling.IsCaughtByItsRule/FailsSystemSetPowerInItsRoutine"},
    {rule::BadPoolCaller, "0xC2", "Verifier.NonPagedPoolNxBeforeWindows8"},
    {rule::PoolLeakedAtUnload, "0xC4/0x62", "HostKernel.PoolLeftAtUnloadIsReportedByTag"},
    {rule::LookasideEntriesOutstanding, "host", "Verifier.LookasideDeletedWithEntriesOut"},
    {rule::LookasideEntryWrittenAfterFree, "host (Verifier's special pool catches it instead)",
     "Verifier.LookasideEntryWrittenAfterItWasFreed"},
    {rule::DeviceLeftAtUnload, "host (the driver is not unloaded)",
     "Verifier.ResourcesLeftAtUnload"},
    {rule::ThreadAliveAtUnload, "0xCE", "Verifier.ResourcesLeftAtUnload"},
    {rule::IrpAliveAtUnload, "0xCE", "Verifier.ResourcesLeftAtUnload"},
};

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
    std::function<void(Alloc)> observer;
};

Faults& TheFaults() {
    static Faults* faults = new Faults; // never destroyed: detached threads may outlive exit
    return *faults;
}

} // namespace

std::vector<RuleInfo> Rules() {
    return std::vector<RuleInfo>(std::begin(RuleTable), std::end(RuleTable));
}

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
        text << v.rule << " [" << v.code << "]: " << v.detail << "\n";
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

void SetCallObserver(std::function<void(Alloc)> observer) {
    std::lock_guard<std::mutex> guard(TheFaults().lock);
    TheFaults().observer = std::move(observer);
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
    std::string code = "?";
    for (const RuleInfo& row : RuleTable) {
        if (std::strcmp(row.name, rule) == 0) {
            code = row.windowsCode;
        }
    }
    Violate(rule, detail, code);
}

void Violate(const char* rule, const std::string& detail, const std::string& code) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().violations.push_back({rule, detail, code});
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
    std::function<void(Alloc)> observer;
    bool fail;
    {
        std::lock_guard<std::mutex> guard(TheFaults().lock);
        if (TheFaults().countedEntry != nullptr &&
            (caller == nullptr || caller->DriverInit != TheFaults().countedEntry)) {
            return false;
        }
        size_t k = static_cast<size_t>(kind);
        unsigned call = ++TheFaults().calls[k];
        fail = TheFaults().failAt[k] != 0 && call == TheFaults().failAt[k];
        TheFaults().injected = TheFaults().injected || fail;
        observer = TheFaults().observer;
    }
    if (observer) {
        observer(kind);
    }
    return fail;
}

void ResetFaults() {
    std::lock_guard<std::mutex> guard(TheFaults().lock);
    TheFaults().calls.fill(0);
    TheFaults().failAt.fill(0);
    TheFaults().countedEntry = nullptr;
    TheFaults().injected = false;
    TheFaults().observer = nullptr;
}

} // namespace detail
} // namespace host

extern "C" VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                                   ULONG_PTR P4) {
    host::detail::CheckDdiIrql(host::detail::Ddi::KeBugCheckEx);
    char reason[128];
    std::snprintf(reason, sizeof reason, "KeBugCheckEx(%#zx, %#zx, %#zx, %#zx)",
                  static_cast<size_t>(P1), static_cast<size_t>(P2), static_cast<size_t>(P3),
                  static_cast<size_t>(P4));
    host::detail::BugCheck(BugCheckCode, reason);
}
