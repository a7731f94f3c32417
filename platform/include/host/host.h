// Control surface of the user-mode kernel: what tests, the world and the tools use to boot it,
// load a driver, read its debug log, inject faults and ask the verifier what it saw. Drivers
// never include this header.
#pragma once

#include <ntddk.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace host {

// ---- Lifetime -----------------------------------------------------------------------------------
// Returns the kernel to its boot state: empty log, no faults, no pool, Windows 10, time scale 1.
// IRPs still alive from the run that ends are reported as violations first; the violations
// themselves are kept until ClearViolations.
void Reset();

// ---- OS version as the driver sees it
// ------------------------------------------------------------
struct OsVersion {
    ULONG major;
    ULONG minor;
    ULONG build;
    bool hasRtlIsNtDdiVersionAvailable;
};
extern const OsVersion WindowsXp;
extern const OsVersion Windows7;
extern const OsVersion Windows8;
extern const OsVersion Windows10;
void SetOsVersion(const OsVersion& version);

// ---- Time
// ----------------------------------------------------------------------------------------- Kernel
// seconds per real second: 100 makes a one-second kernel wait last 10 ms.
void SetTimeScale(double kernelSecondsPerRealSecond);
// Kernel time since boot in 100 ns units (the scale applied).
LONGLONG KernelTime();
// Device work due at kernel time `due` (a host controller's completion): until it is released,
// kernel time stops at the earliest due time held, so that no wait times out only because the
// thread delivering that work was not scheduled. On Windows the controller's DPC runs before a
// passive-level thread sees its timer expire ("Introduction to DPC Objects"). Returns a token.
uint64_t HoldTime(LONGLONG due);
// Ends a hold (an unknown token is ignored) and wakes the waits that time may now end.
void ReleaseTime(uint64_t token);
// The real duration of a kernel interval at the current scale.
std::chrono::nanoseconds RealDuration(LONGLONG kernel100ns);

// ---- Debug log
// ------------------------------------------------------------------------------------
struct LogLine {
    ULONG component;
    ULONG level;
    LONGLONG time; // kernel time of the call that began the line
    std::string text;
};
// Complete lines written so far (a line ends at '\n'; an open line is not yet included).
std::vector<LogLine> LogLines();
std::vector<std::string> LogTexts();
void ClearLog();
// DbgPrintEx's filter, as Windows' Debug Print Filter sets it: a call is written when the bit of
// its level (a level above 31 is a mask itself) is in the component's mask or in the system-wide
// mask, which holds the error level's bit; other calls are not even formatted. Reset opens every
// component at every level; 1 << DPFLTR_ERROR_LEVEL is what a Windows machine has by default.
void SetDebugPrintFilter(ULONG component, ULONG mask);
// Called for every completed line, on the writer's thread.
void SetLogObserver(std::function<void(const LogLine&)> observer);

// ---- Verifier
// -------------------------------------------------------------------------------------
namespace rule {
// IRP handling
extern const char* const IrpCompletedTwice;
extern const char* const IrpCompletedNeverSent;
extern const char* const IrpCompletedWithPending;
extern const char* const CompletedWithCancelRoutine;
extern const char* const ForwardedWithCancelRoutine;
extern const char* const PendingNotMarked;
extern const char* const MarkedPendingNotReturned;
extern const char* const SyncStatusMismatch;
extern const char* const NeitherCompletedNorPended;
extern const char* const ForwardedWithControlSet;
extern const char* const ForwardedWithUpperRoutine;
extern const char* const ForwardedAtBadIrql;
extern const char* const IrpFreedInUse;
extern const char* const ThreadedIrpFreed;
extern const char* const IrpReusedInUse;
extern const char* const ThreadedIrpReused;
extern const char* const ThreadedIrpSentAtApcLevel;
extern const char* const InformationExceedsOutput;
extern const char* const NoMoreStackLocations;
extern const char* const DriverIrpReachedTop;
extern const char* const IrpLeaked;
extern const char* const IrpWrittenAfterFree;
// Objects
extern const char* const DeviceDeletedWithIrps;
extern const char* const DeviceDeletedAttached;
extern const char* const DetachNotAttached;
extern const char* const RemoveWithoutDetach;
extern const char* const RemoveWithoutDelete;
extern const char* const PowerPagableNotInherited;
extern const char* const IoFlagsNotInherited;
extern const char* const DeviceTypeNotInherited;
extern const char* const RemoveLockHeldAtDelete;
extern const char* const RemoveLockReleaseWithoutAcquire;
extern const char* const RemoveLockWaitWithoutAcquire;
extern const char* const RemoveLockReinitialized;
extern const char* const RemoveLockOverHighWatermark;
extern const char* const RemoveLockBadSize;
extern const char* const DereferenceBelowZero;
extern const char* const DeviceStillInitializing;
extern const char* const EventNotInitialized;
// IRQL
extern const char* const IrqlTooHigh;
extern const char* const IrqlTooLow;
extern const char* const IrqlNotRestored;
extern const char* const PagedCodeAboveApcLevel;
// Power
extern const char* const PowerIrpWithoutStartNext;
extern const char* const SystemSetPowerFailed;
// Resources
extern const char* const BadPoolCaller;
extern const char* const PoolLeakedAtUnload;
extern const char* const LookasideEntriesOutstanding;
extern const char* const LookasideEntryWrittenAfterFree;
extern const char* const DeviceLeftAtUnload;
extern const char* const ThreadAliveAtUnload;
extern const char* const IrpAliveAtUnload;
} // namespace rule

// One row of the verifier's rule table: the rule, Windows' code for the same fault, and the test
// that provokes it.
struct RuleInfo {
    const char* name;
    const char* windowsCode;
    const char* test;
};
std::vector<RuleInfo> Rules();

// The documented IRQL range of each DDI the host provides, as the host checks it.
struct DdiIrql {
    std::string name;
    KIRQL lowest;
    KIRQL highest;
    std::string code; // Windows' code for a call outside the range, or empty
};
std::vector<DdiIrql> DdiIrqlTable();

struct Violation {
    std::string rule;
    std::string detail;
    std::string code; // Windows' code, from the rule table
};
std::vector<Violation> Violations();
// For the world's managers: what the real system checks in its own code (the PnP manager after
// AddDevice and for a reported child, for example) is reported through the same verifier.
void ReportViolation(const char* rule, const std::string& detail);
void ClearViolations();
// Every violation as "RULE: detail" lines, for test failure messages.
std::string DescribeViolations();

// ---- Bug checks ---------------------------------------------------------------------------------
// By default a bug check prints its code and reason and aborts, as the real kernel stops.
using BugCheckHandler = std::function<void(ULONG code, const std::string& reason)>;
void SetBugCheckHandler(BugCheckHandler handler);

// ---- Pool
// -----------------------------------------------------------------------------------------
struct PoolUsage {
    std::string tag;
    size_t allocations;
    size_t bytes;
    size_t pagedBytes; // the part of bytes from paged pool
};
std::vector<PoolUsage> PoolOutstanding();
size_t PoolBytesOutstanding();
size_t PoolHighWater();
std::string TagText(ULONG tag);
// Whether Force IRQL checking pages the paged pool out on a raise to DISPATCH_LEVEL. Not where a
// thread cannot resume after a page fault the host served (qemu-i386, whose return from a signal
// handler gives the thread another thread's TLS): there the paged pool stays resident, while
// special pool's guard pages and freed pages still stop the machine.
bool PagedPoolIsPagedOut();
// Whether a pool block came from special pool rather than from the normal pool it falls back to.
bool InSpecialPool(const void* block);

// ---- Fault injection
// --------------------------------------------------------------------------------
enum class Alloc { Pool, Irp, BuildIoctl, CreateDevice, CreateThread, Lookaside, Mdl, Kinds };
// Fails the nth (1-based) call of that kind from now on; 0 disarms.
void FailNthCall(Alloc kind, unsigned nth);
unsigned CallCount(Alloc kind);
// Counts and fails only the calls made from the code of the driver loaded with this entry routine
// (its dispatch, completion and thread routines); the other drivers' and the world's calls pass
// uncounted. NULL, the boot state, counts every call.
void CountCallsOf(PDRIVER_INITIALIZE entry);
// Whether the armed fault has struck since it was armed.
bool FaultInjected();
// Runs on the caller's thread at each counted call, before it is carried out and at the caller's
// IRQL: a test acts at the moment a driver allocates, as another processor would meanwhile.
// Empty: none; Reset clears it. A call already under way when it is cleared still runs to its end.
void SetCallObserver(std::function<void(Alloc)> observer);

// ---- Drivers
// ---------------------------------------------------------------------------------------- Creates
// the driver object and runs the entry routine at PASSIVE_LEVEL.
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const char16_t* serviceName);
// Calls the driver's AddDevice at PASSIVE_LEVEL, as the PnP manager does.
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
// Runs DriverUnload and frees the driver object; reports the pool (allocated by the driver's
// code), threads and IRPs the driver left behind. A driver whose device objects still exist is
// reported and not unloaded (FALSE).
bool UnloadDriver(PDRIVER_OBJECT driver);

// Device objects of a driver that still exist (deleted ones too, while referenced).
size_t DeviceObjectsOf(PDRIVER_OBJECT driver);

// ---- Devices seen from outside
// --------------------------------------------------------------------- The device object below
// this one in its stack (what it is attached to), or NULL.
PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device);
// FALSE once IoDeleteDevice ran for it (the memory may live on while references remain).
bool IsDeleted(PDEVICE_OBJECT device);
// References an object (device or thread) holds now; 0 once it is gone.
LONG_PTR ObjectReferences(const void* object);
// Registry properties of a physical device object, as the PnP manager records them.
void SetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                       std::vector<UCHAR> value);
// Receives IoInvalidateDeviceRelations (the PnP manager registers itself here).
void SetInvalidateRelationsHandler(std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> h);

// ---- Power bookkeeping
// --------------------------------------------------------------------------------
struct PowerEvent {
    enum Kind { StartNext, SetState } kind;
    PDEVICE_OBJECT device; // SetState: the device; StartNext: NULL
    PIRP irp;              // StartNext: the IRP
    POWER_STATE_TYPE type;
    POWER_STATE state;
};
std::vector<PowerEvent> PowerEvents();
// Serves PoRequestPowerIrp (the power manager registers itself here); without a handler the
// kernel sends the IRP to the top of the device's stack itself.
using PowerRequestHandler =
    std::function<NTSTATUS(PDEVICE_OBJECT, UCHAR, POWER_STATE, PREQUEST_POWER_COMPLETE, PVOID)>;
void SetPowerRequestHandler(PowerRequestHandler handler);

// ---- IRQL
// ---------------------------------------------------------------------------------------------
class IrqlScope {
  public:
    explicit IrqlScope(KIRQL irql);
    ~IrqlScope();
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

  private:
    KIRQL old_;
};

// ---- Sending IRPs from outside the driver
// ---------------------------------------------------------
struct IrpResult {
    NTSTATUS status; // IoStatus.Status when the IRP came back
    ULONG_PTR information;
    NTSTATUS returned; // what IoCallDriver returned
};
// Allocates an IRP for the target's stack, lets setup fill the first stack location (and the
// IRP), sends it, waits until it is completed back to the sender, and frees it.
IrpResult SendIrp(PDEVICE_OBJECT target, NTSTATUS initialStatus,
                  const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup);

// ---- Threads
// ----------------------------------------------------------------------------------------
size_t LiveSystemThreads();
// One line per system thread alive now: its object, the driver whose code created it and its
// start routine; for a watchdog that must say what hangs.
std::vector<std::string> SystemThreadsAlive();
// Waits until every system thread has ended (kernel time bounded by the caller's tests).
void JoinSystemThreads();

// ---- IRPs in flight
// ----------------------------------------------------------------------------------
// One line per IRP alive now: its address and each device that holds it (it was sent there and
// completion has not yet passed it) with that device's driver and the stack location's major and
// minor code; "not sent" when no device holds it.
std::vector<std::string> IrpsInFlight();

} // namespace host
