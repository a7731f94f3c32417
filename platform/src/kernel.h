// Internals shared by the host kernel's sources.
#pragma once

#include <host/host.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace host::detail {

// Verifier and bug checks.
void Violate(const char* rule, const std::string& detail);
// The same with the Windows code of this instance, where a rule's code depends on the call.
void Violate(const char* rule, const std::string& detail, const std::string& code);
[[noreturn]] void BugCheck(ULONG code, const std::string& reason);
std::string Hex(const void* pointer);
// The service name of a live driver object, as text.
std::string ServiceNameOf(PDRIVER_OBJECT driver);
// Where the I/O manager reaches the bytes of a probed range of a live user space; NULL when the
// range is not one.
PVOID UserSystemAlias(const void* address, size_t size);

// The DDIs whose IRQL the host checks, in the order of the IRQL table (ddi_irql.cpp).
enum class Ddi {
    IoCallDriver,
    PoCallDriver,
    PoCallDriverPagable,
    IoCompleteRequest,
    IoAllocateIrp,
    IoFreeIrp,
    IoReuseIrp,
    IoInitializeIrp,
    IoCancelIrp,
    IoAcquireCancelSpinLock,
    IoReleaseCancelSpinLock,
    IoBuildDeviceIoControlRequest,
    IoCreateDevice,
    IoDeleteDevice,
    IoAttachDeviceToDeviceStack,
    IoDetachDevice,
    IoGetAttachedDevice,
    IoGetAttachedDeviceReference,
    IoGetDeviceProperty,
    IoInvalidateDeviceRelations,
    IoInitializeRemoveLock,
    IoAcquireRemoveLock,
    IoReleaseRemoveLock,
    IoReleaseRemoveLockAndWait,
    IoAllocateMdl,
    IoFreeMdl,
    MmBuildMdlForNonPagedPool,
    MmMapLockedPagesSpecifyCache,
    MmGetSystemRoutineAddress,
    PoRequestPowerIrp,
    PoStartNextPowerIrp,
    PoSetPowerState,
    KeInitializeEvent,
    KeSetEvent,
    KeSetEventWait,
    KeResetEvent,
    KeClearEvent,
    KeReadStateEvent,
    KeWaitPoll,
    KeWait,
    KeDelayExecutionThread,
    KeAcquireSpinLock,
    KeReleaseSpinLock,
    KeAcquireSpinLockAtDpcLevel,
    KeReleaseSpinLockFromDpcLevel,
    KeRaiseIrql,
    KeLowerIrql,
    KeGetCurrentIrql,
    KeQuerySystemTime,
    KeQueryInterruptTime,
    KeBugCheckEx,
    ExAllocatePool,
    ExAllocatePagedPool,
    ExFreePool,
    ExFreePagedPool,
    ExInitializeNPagedLookasideList,
    ExAllocateFromNPagedLookasideList,
    ExFreeToNPagedLookasideList,
    ExDeleteNPagedLookasideList,
    ExInterlockedList,
    ObReferenceObject,
    ObDereferenceObject,
    ObReferenceObjectByHandle,
    ZwClose,
    PsCreateSystemThread,
    PsTerminateSystemThread,
    PsGetVersion,
    RtlIsNtDdiVersionAvailable,
    RtlInitUnicodeString,
    RtlCompareMemory,
    DbgPrintEx,
    DbgPrint,
    UsbdParseConfigurationDescriptorEx,
    UsbdParseDescriptors,
    UsbdCreateConfigurationRequestEx,
    Count
};
// Reports a call of that DDI outside its documented IRQL range; `objects` names what it was
// called on, for the report.
void CheckDdiIrql(Ddi ddi, const std::string& objects = std::string());
// Whether the current IRQL is in the DDI's range: lets a caller build the report's text only
// for a violation.
bool DdiIrqlAllowed(Ddi ddi);
// RtlIsNtDdiVersionAvailable without its IRQL check, for the kernel's own use.
bool NtDdiVersionAvailable(ULONG version);
// Whether this OS demands PoStartNextPowerIrp (before Windows Vista).
bool StartNextPowerIrpRequired();
// A system thread of the kernel's own (not counted to any driver), started at any IRQL.
NTSTATUS StartKernelThread(PKSTART_ROUTINE start, PVOID context);
// Special pool: a block ending at a guard page, or NULL when the system allocator must serve it.
void* SpecialPoolAllocate(size_t size, bool paged);
// Frees a special-pool block; FALSE when the memory is not special pool.
bool SpecialPoolFree(void* memory);
// Force IRQL checking: a raise to DISPATCH_LEVEL or above pages out the paged pool.
void TrimPagedPool();

// Fault injection: TRUE when this call of that kind must fail.
bool ShouldFail(Alloc kind);

// The dispatcher database: every signal state change and every wait goes through this lock, and
// any change wakes all waiters, which then test their own object.
std::mutex& DispatcherLock();
std::condition_variable& DispatcherWake();
// Signals the header under the dispatcher lock and wakes waiters.
void SignalObject(DISPATCHER_HEADER* header);
constexpr UCHAR ThreadObjectType = 6;

// Kernel time and the real time it maps to.
LONGLONG KernelNow();
std::chrono::steady_clock::duration RealDurationOf(LONGLONG kernel100ns);

// IRQL of the calling thread.
KIRQL CurrentIrql();
void SetIrql(KIRQL irql);

// Object references (device and thread objects): the memory is released by `destroy` when the
// last reference goes.
void RegisterObject(void* object, const char* kind, std::function<void()> destroy);
bool IsRegisteredObject(const void* object);

// Device-object bookkeeping.
struct DeviceInfo {
    PDEVICE_OBJECT attachedTo = nullptr;
    bool deleted = false;
    bool initializingReported = false;
    bool releaseOnDetach = false; // deleted while a device was attached to it
    std::map<DEVICE_REGISTRY_PROPERTY, std::vector<UCHAR>> properties;
};
DeviceInfo* FindDevice(PDEVICE_OBJECT device); // caller holds ObjectLock()
std::mutex& ObjectLock();

// Verifier bookkeeping shared between sources.
int HeldSpinLocks();                               // spin locks the calling thread holds
PDRIVER_OBJECT CurrentDriver();                    // the driver whose code the calling thread runs
PDRIVER_OBJECT EnterDriver(PDRIVER_OBJECT driver); // returns the previous one
size_t IrpsHeldBy(PDEVICE_OBJECT device);
// The IRPs a device holds, each with the request it was sent, for reports.
std::string DescribeIrpsHeldBy(PDEVICE_OBJECT device);
size_t IrpsOwnedBy(PDRIVER_OBJECT driver);
size_t ThreadsOwnedBy(PDRIVER_OBJECT driver);
size_t DevicesOwnedBy(PDRIVER_OBJECT driver); // deleted or not, until their memory is freed
size_t RemoveLockHoldsIn(const void* begin, size_t size);
void NoteStartNextPowerIrp(PIRP irp);
// Pool by tag, of one driver (or of all when owner is NULL).
std::vector<PoolUsage> PoolOutstandingOf(PDRIVER_OBJECT owner);
// TRUE the first time a device is found still initialising, so it is reported once.
bool FirstReportOfInitializing(PDEVICE_OBJECT device);

// Per-run state reset by host::Reset.
void ResetPool();
void ResetIrps();
void ResetRemoveLocks();
void ResetLog();
void ResetPower();
void ResetVersion();
void ResetTime();
void ResetFaults();
void ForgetRemoveLocksIn(const void* begin, size_t size);

} // namespace host::detail
