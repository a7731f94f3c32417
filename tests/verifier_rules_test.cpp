// The verifier's rules for IRP handling, IRP lifetime, teardown and remove locks, each provoked
// by a deliberately broken mini-driver, and the rule table itself.
#include "support/host_fixture.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>

namespace velt::test {
namespace {

// Expects the named rule first among the violations, with a report naming the objects, and
// clears them for TearDown.
void ExpectFirstRule(const char* rule) {
    std::vector<host::Violation> violations = host::Violations();
    ASSERT_FALSE(violations.empty()) << "expected " << rule;
    EXPECT_EQ(rule, violations.front().rule) << host::DescribeViolations();
    EXPECT_NE(std::string::npos, violations.front().detail.find("0x"))
        << "the report names the objects: " << violations.front().detail;
    EXPECT_NE("?", violations.front().code) << "the rule has a row in the table";
    host::ClearViolations();
}

// ---- IRP handling: an upper device with the broken dispatch over a lower one that completes ----

PDEVICE_OBJECT g_lower;
PIRP g_parked;

VOID NTAPI IgnoreCancel(PDEVICE_OBJECT, PIRP) {}

NTSTATUS CompletesWithCancelRoutineSet(PDEVICE_OBJECT device, PIRP irp) {
    IoSetCancelRoutine(irp, IgnoreCancel);
    return CompleteAsIs(device, irp);
}

NTSTATUS ForwardsWithCancelRoutineSet(PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, IgnoreCancel);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(g_lower, irp);
    return status;
}

NTSTATUS MarksPendingReturnsSuccess(PDEVICE_OBJECT device, PIRP irp) {
    IoMarkIrpPending(irp);
    CompleteAsIs(device, irp);
    return STATUS_SUCCESS;
}

NTSTATUS NeitherCompletesNorPends(PDEVICE_OBJECT, PIRP irp) {
    g_parked = irp;
    return STATUS_SUCCESS;
}

// Copies its location the way the WDK does but leaves the Control byte, with its pending mark.
NTSTATUS ForwardsWithPendingBitCopied(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    memcpy(static_cast<void*>(IoGetNextIrpStackLocation(irp)), IoGetCurrentIrpStackLocation(irp),
           FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    IofCallDriver(g_lower, irp);
    return STATUS_PENDING;
}

// Copies the whole location, the caller's completion routine with it.
NTSTATUS ForwardsWithUpperCompletionRoutine(PDEVICE_OBJECT, PIRP irp) {
    *IoGetNextIrpStackLocation(irp) = *IoGetCurrentIrpStackLocation(irp);
    return IofCallDriver(g_lower, irp);
}

NTSTATUS ForwardsPnpAtDispatchLevel(PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(g_lower, irp);
    KeLowerIrql(old);
    return status;
}

// Passes a power IRP on under a spin lock to a device whose power path is pageable.
NTSTATUS ForwardPowerToPagableDeviceAtDispatchLevel(PIRP irp,
                                                    NTSTATUS(NTAPI* send)(PDEVICE_OBJECT, PIRP)) {
    g_lower->Flags |= DO_POWER_PAGABLE;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = send(g_lower, irp);
    KeReleaseSpinLock(&lock, old);
    return status;
}

NTSTATUS ForwardsPowerToPagableDeviceAtDispatchLevel(PDEVICE_OBJECT, PIRP irp) {
    return ForwardPowerToPagableDeviceAtDispatchLevel(irp, PoCallDriver);
}

// The same with IoCallDriver, as drivers may send power IRPs from Windows Vista on.
NTSTATUS CallsPagableDeviceWithPowerIrpAtDispatchLevel(PDEVICE_OBJECT, PIRP irp) {
    return ForwardPowerToPagableDeviceAtDispatchLevel(irp, IofCallDriver);
}

NTSTATUS NTAPI FailIt(PDEVICE_OBJECT, PIRP irp, PVOID) {
    irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
}

// The lower drivers succeed; the completion routine fails the system request on its way up.
NTSTATUS FailsSystemSetPowerInItsRoutine(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, FailIt, NULL, TRUE, TRUE, TRUE);
    return PoCallDriver(g_lower, irp);
}

KSPIN_LOCK g_kept;

NTSTATUS NTAPI KeepsSpinLock(PDEVICE_OBJECT, PIRP, PVOID) {
    KIRQL old;
    KeAcquireSpinLock(&g_kept, &old);
    return STATUS_SUCCESS;
}

// Its completion routine returns holding a spin lock, at DISPATCH_LEVEL.
NTSTATUS RoutineKeepsSpinLock(PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, KeepsSpinLock, NULL, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(g_lower, irp);
    KeReleaseSpinLock(&g_kept, PASSIVE_LEVEL);
    return status;
}

struct HandlingCase {
    const char* name;
    const char* rule;
    UCHAR major;
    NTSTATUS (*dispatch)(PDEVICE_OBJECT, PIRP);
    UCHAR minor = IRP_MN_QUERY_CAPABILITIES;
};

NTSTATUS NTAPI StopAtSender(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an IRP of the major function to the device and takes it back; the mini-drivers here
// complete synchronously, or park the IRP, which is then completed for them.
void SendAndFree(PDEVICE_OBJECT device, UCHAR major, UCHAR minor) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    IoSetCompletionRoutine(irp, StopAtSender, NULL, TRUE, TRUE, TRUE);
    IofCallDriver(device, irp);
    if (g_parked != nullptr) {
        IofCompleteRequest(g_parked, IO_NO_INCREMENT);
        g_parked = nullptr;
    }
    IoFreeIrp(irp);
}

class BrokenIrpHandling : public HostTest, public ::testing::WithParamInterface<HandlingCase> {};

TEST_P(BrokenIrpHandling, IsCaughtByItsRule) {
    TestDriver drivers;
    g_lower = drivers.CreateDevice();
    PDEVICE_OBJECT upper = drivers.CreateDevice(GetParam().dispatch);
    upper->StackSize = 2;
    SendAndFree(upper, GetParam().major, GetParam().minor);
    ExpectFirstRule(GetParam().rule);
}

INSTANTIATE_TEST_SUITE_P(
    Verifier, BrokenIrpHandling,
    ::testing::Values(
        HandlingCase{"CompletesWithCancelRoutineSet", host::rule::CompletedWithCancelRoutine,
                     IRP_MJ_READ, CompletesWithCancelRoutineSet},
        HandlingCase{"ForwardsWithCancelRoutineSet", host::rule::ForwardedWithCancelRoutine,
                     IRP_MJ_READ, ForwardsWithCancelRoutineSet},
        HandlingCase{"MarksPendingReturnsSuccess", host::rule::MarkedPendingNotReturned,
                     IRP_MJ_READ, MarksPendingReturnsSuccess},
        HandlingCase{"NeitherCompletesNorPends", host::rule::NeitherCompletedNorPended, IRP_MJ_READ,
                     NeitherCompletesNorPends},
        HandlingCase{"ForwardsWithPendingBitCopied", host::rule::ForwardedWithControlSet,
                     IRP_MJ_READ, ForwardsWithPendingBitCopied},
        HandlingCase{"ForwardsWithUpperCompletionRoutine", host::rule::ForwardedWithUpperRoutine,
                     IRP_MJ_READ, ForwardsWithUpperCompletionRoutine},
        HandlingCase{"ForwardsPnpAtDispatchLevel", host::rule::ForwardedAtBadIrql, IRP_MJ_PNP,
                     ForwardsPnpAtDispatchLevel},
        HandlingCase{"ForwardsPowerToPagableDeviceAtDispatchLevel", host::rule::IrqlTooHigh,
                     IRP_MJ_POWER, ForwardsPowerToPagableDeviceAtDispatchLevel, IRP_MN_QUERY_POWER},
        HandlingCase{"CallsPagableDeviceWithPowerIrpAtDispatchLevel", host::rule::IrqlTooHigh,
                     IRP_MJ_POWER, CallsPagableDeviceWithPowerIrpAtDispatchLevel,
                     IRP_MN_QUERY_POWER},
        HandlingCase{"CompletionRoutineKeepsSpinLock", host::rule::IrqlNotRestored, IRP_MJ_READ,
                     RoutineKeepsSpinLock},
        HandlingCase{"FailsSystemSetPowerInItsRoutine", host::rule::SystemSetPowerFailed,
                     IRP_MJ_POWER, FailsSystemSetPowerInItsRoutine, IRP_MN_SET_POWER}),
    [](const ::testing::TestParamInfo<HandlingCase>& info) { return info.param.name; });

// The same forwarding done right reports nothing: the WDK's copy, a skip after marking, and a
// completion routine of the forwarder's own.
NTSTATUS NTAPI MarkIfPending(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

TEST_F(HostTest, ForwardingDoneRightIsNotReported) {
    TestDriver drivers;
    g_lower = drivers.CreateDevice();
    const Handler forwarders[] = {
        [](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IofCallDriver(g_lower, irp);
        },
        [](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, MarkIfPending, NULL, TRUE, TRUE, TRUE);
            return IofCallDriver(g_lower, irp);
        },
        [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoSkipCurrentIrpStackLocation(irp);
            IofCallDriver(g_lower, irp);
            return STATUS_PENDING;
        },
    };
    for (const Handler& forwarder : forwarders) {
        PDEVICE_OBJECT upper = drivers.CreateDevice(forwarder);
        upper->StackSize = 2;
        SendAndFree(upper, IRP_MJ_READ, 0);
        EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
    }
}

// ---- IRP lifetime ---------------------------------------------------------------------------

const ULONG BufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct LifetimeCase {
    const char* name;
    const char* rule;
    void (*run)(PDEVICE_OBJECT device);
};

PIRP BuildIoctl(PDEVICE_OBJECT device, PVOID output, ULONG outputLength, IO_STATUS_BLOCK* iosb) {
    return IoBuildDeviceIoControlRequest(BufferedIoctl, device, NULL, 0, output, outputLength, TRUE,
                                         NULL, iosb);
}

void FreesThreadedIrp(PDEVICE_OBJECT device) {
    IO_STATUS_BLOCK iosb;
    IoFreeIrp(BuildIoctl(device, NULL, 0, &iosb));
}

void ReusesIrpInUse(PDEVICE_OBJECT device) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IofCallDriver(device, irp); // parked by the device
    IoReuseIrp(irp, STATUS_SUCCESS);
    g_parked = nullptr;
    IoFreeIrp(irp);
}

void ReusesThreadedIrp(PDEVICE_OBJECT device) {
    IO_STATUS_BLOCK iosb;
    PIRP irp = BuildIoctl(device, NULL, 0, &iosb);
    IoReuseIrp(irp, STATUS_SUCCESS);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IofCallDriver(device, irp);
    IofCompleteRequest(g_parked, IO_NO_INCREMENT);
    g_parked = nullptr;
}

void SendsThreadedIrpAtApcLevel(PDEVICE_OBJECT device) {
    IO_STATUS_BLOCK iosb;
    PIRP irp = BuildIoctl(device, NULL, 0, &iosb);
    {
        host::IrqlScope apc(APC_LEVEL);
        IofCallDriver(device, irp);
        IofCompleteRequest(g_parked, IO_NO_INCREMENT);
        g_parked = nullptr;
    }
}

void ReportsMoreThanTheOutputBuffer(PDEVICE_OBJECT device) {
    UCHAR output[8];
    memset(output, 0xEE, sizeof output);
    IO_STATUS_BLOCK iosb;
    PIRP irp = BuildIoctl(device, output, 4, &iosb);
    IofCallDriver(device, irp);
    g_parked->IoStatus.Status = STATUS_SUCCESS;
    g_parked->IoStatus.Information = 64;
    IofCompleteRequest(g_parked, IO_NO_INCREMENT);
    g_parked = nullptr;
    EXPECT_EQ(0xEE, output[4]) << "nothing copied beyond the caller's buffer";
}

void CompletesOwnIrpToTheTop(PDEVICE_OBJECT device) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IofCallDriver(device, irp);
    IofCompleteRequest(g_parked, IO_NO_INCREMENT);
    g_parked = nullptr;
    IoFreeIrp(irp);
}

void CompletesAnIrpNeverSent(PDEVICE_OBJECT device) {
    IO_STATUS_BLOCK iosb;
    PIRP irp = BuildIoctl(device, NULL, 0, &iosb);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// The lower driver completes the IRP again after its owner freed it with others and allocated
// new ones, which must not be taken for it. Eight of each, so that without the quarantine one of
// the new IRPs takes the freed one's address in whatever order the allocator hands out the
// blocks it got back: one freed and one allocated need not meet.
void CompletesAFreedIrp(PDEVICE_OBJECT device) {
    PIRP freed[8];
    for (PIRP& irp : freed) {
        irp = IoAllocateIrp(device->StackSize, FALSE);
    }
    PIRP sent = freed[7];
    IoGetNextIrpStackLocation(sent)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(sent, StopAtSender, NULL, TRUE, TRUE, TRUE);
    IofCallDriver(device, sent);
    PIRP parked = g_parked;
    g_parked = nullptr;
    IofCompleteRequest(parked, IO_NO_INCREMENT);
    for (PIRP irp : freed) {
        IoFreeIrp(irp);
    }
    PIRP next[8];
    for (PIRP& irp : next) {
        irp = IoAllocateIrp(device->StackSize, FALSE);
    }
    IofCompleteRequest(parked, IO_NO_INCREMENT);
    for (PIRP irp : next) {
        EXPECT_EQ(irp->StackCount + 1, irp->CurrentLocation) << "a new IRP was taken for it";
        IoFreeIrp(irp);
    }
}

// Status written into an IRP its owner already gave back.
void WritesAFreedIrp(PDEVICE_OBJECT device) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoFreeIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    host::Reset();
}

void NeverFreesItsIrp(PDEVICE_OBJECT device) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    host::Reset();
    std::free(irp); // the host's IRP memory, which its reset leaves to the leaker
}

class BrokenIrpLifetime : public HostTest, public ::testing::WithParamInterface<LifetimeCase> {};

TEST_P(BrokenIrpLifetime, IsCaughtByItsRule) {
    TestDriver drivers;
    PDEVICE_OBJECT device = drivers.CreateDevice([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        g_parked = irp;
        return STATUS_PENDING;
    });
    GetParam().run(device);
    ExpectFirstRule(GetParam().rule);
}

INSTANTIATE_TEST_SUITE_P(
    Verifier, BrokenIrpLifetime,
    ::testing::Values(
        LifetimeCase{"FreesThreadedIrp", host::rule::ThreadedIrpFreed, FreesThreadedIrp},
        LifetimeCase{"ReusesIrpInUse", host::rule::IrpReusedInUse, ReusesIrpInUse},
        LifetimeCase{"ReusesThreadedIrp", host::rule::ThreadedIrpReused, ReusesThreadedIrp},
        LifetimeCase{"SendsThreadedIrpAtApcLevel", host::rule::ThreadedIrpSentAtApcLevel,
                     SendsThreadedIrpAtApcLevel},
        LifetimeCase{"ReportsMoreThanTheOutputBuffer", host::rule::InformationExceedsOutput,
                     ReportsMoreThanTheOutputBuffer},
        LifetimeCase{"CompletesOwnIrpToTheTop", host::rule::DriverIrpReachedTop,
                     CompletesOwnIrpToTheTop},
        LifetimeCase{"CompletesAnIrpNeverSent", host::rule::IrpCompletedNeverSent,
                     CompletesAnIrpNeverSent},
        LifetimeCase{"CompletesAFreedIrp", host::rule::IrpCompletedTwice, CompletesAFreedIrp},
        LifetimeCase{"WritesAFreedIrp", host::rule::IrpWrittenAfterFree, WritesAFreedIrp},
        LifetimeCase{"NeverFreesItsIrp", host::rule::IrpLeaked, NeverFreesItsIrp}),
    [](const ::testing::TestParamInfo<LifetimeCase>& info) { return info.param.name; });

// Irp->Size is the driver's to overwrite: the freed IRP is poisoned and checked over what the host
// allocated, neither beyond it nor short of it.
TEST_F(HostTest, FreedIrpIsPoisonedOverItsAllocationWhateverItsSizeSays) {
    for (USHORT size : {USHORT{0}, USHORT{0xFFFF}}) {
        PIRP irp = IoAllocateIrp(2, FALSE);
        irp->Size = size;
        IoFreeIrp(irp);
        host::Reset();
        EXPECT_TRUE(host::Violations().empty()) << size << ": " << host::DescribeViolations();
    }
}

// A warning status still brings the output back; an error does not.
TEST_F(HostTest, ThreadedIrpCopiesOutputBackOnSuccessAndWarnings) {
    TestDriver drivers;
    NTSTATUS answer = STATUS_SUCCESS;
    PDEVICE_OBJECT device = drivers.CreateDevice([&answer](PDEVICE_OBJECT, PIRP irp) {
        memset(irp->AssociatedIrp.SystemBuffer, 0x5A, 4);
        irp->IoStatus.Status = answer;
        irp->IoStatus.Information = NT_ERROR(answer) ? 0 : 4;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return answer;
    });
    for (NTSTATUS status : {STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW, STATUS_UNSUCCESSFUL}) {
        answer = status;
        UCHAR output[4] = {};
        IO_STATUS_BLOCK iosb{};
        IofCallDriver(device, BuildIoctl(device, output, sizeof output, &iosb));
        EXPECT_EQ(status, iosb.Status);
        EXPECT_EQ(NT_ERROR(status) ? 0x00 : 0x5A, output[3]) << std::hex << status;
    }
}

// ---- Teardown and attachment ----------------------------------------------------------------

struct TeardownCase {
    const char* name;
    const char* rule;
    void (*run)(TestDriver& drivers);
};

void DeletesWhileAttached(TestDriver& drivers) {
    PDEVICE_OBJECT lower = drivers.CreateDevice();
    PDEVICE_OBJECT upper = drivers.CreateDevice();
    IoAttachDeviceToDeviceStack(upper, lower);
    IoDeleteDevice(upper);
    IoDetachDevice(lower);
}

void DetachesTwice(TestDriver& drivers) {
    PDEVICE_OBJECT lower = drivers.CreateDevice();
    PDEVICE_OBJECT upper = drivers.CreateDevice();
    IoAttachDeviceToDeviceStack(upper, lower);
    IoDetachDevice(lower);
    IoDetachDevice(lower);
}

void SendRemove(PDEVICE_OBJECT device) {
    host::SendIrp(device, STATUS_SUCCESS, [](PIRP, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = IRP_MN_REMOVE_DEVICE;
    });
}

void RemoveKeepsAttached(TestDriver& drivers) {
    PDEVICE_OBJECT lower = drivers.CreateDevice();
    PDEVICE_OBJECT upper = drivers.CreateDevice();
    IoAttachDeviceToDeviceStack(upper, lower);
    SendRemove(upper);
    IoDetachDevice(lower);
}

void RemoveKeepsDevice(TestDriver& drivers) {
    PDEVICE_OBJECT lower = drivers.CreateDevice();
    PDEVICE_OBJECT upper = drivers.CreateDevice();
    IoAttachDeviceToDeviceStack(upper, lower);
    drivers.SetHandler(upper, [lower](PDEVICE_OBJECT device, PIRP irp) {
        IoDetachDevice(lower);
        return CompleteAsIs(device, irp);
    });
    SendRemove(upper);
}

// AddDevice of a driver that attaches a device and then sets its flags and type badly.
ULONG g_keptFlags;
DEVICE_TYPE g_type;

NTSTATUS NTAPI CarelessAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, 0, NULL, g_type, 0, FALSE, &fdo);
    if (NT_SUCCESS(status)) {
        PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
        fdo->Flags |= lower->Flags & g_keptFlags;
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return status;
}

void AddDeviceKeeping(TestDriver& drivers, ULONG kept, DEVICE_TYPE type) {
    g_keptFlags = kept;
    g_type = type;
    PDEVICE_OBJECT pdo = drivers.CreateDevice();
    pdo->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
    drivers.Object()->DriverExtension->AddDevice = CarelessAddDevice;
    host::CallAddDevice(drivers.Object(), pdo);
    IoDetachDevice(pdo);
}

void AttachesWithoutPowerPagable(TestDriver& drivers) {
    AddDeviceKeeping(drivers, DO_BUFFERED_IO, FILE_DEVICE_UNKNOWN);
}

void AttachesWithoutIoFlags(TestDriver& drivers) {
    AddDeviceKeeping(drivers, DO_POWER_PAGABLE, FILE_DEVICE_UNKNOWN);
}

void AttachesWithOtherDeviceType(TestDriver& drivers) {
    AddDeviceKeeping(drivers, DO_POWER_PAGABLE | DO_BUFFERED_IO, FILE_DEVICE_BUS_EXTENDER);
}

class BrokenTeardown : public HostTest, public ::testing::WithParamInterface<TeardownCase> {};

TEST_P(BrokenTeardown, IsCaughtByItsRule) {
    TestDriver drivers;
    GetParam().run(drivers);
    ExpectFirstRule(GetParam().rule);
}

INSTANTIATE_TEST_SUITE_P(
    Verifier, BrokenTeardown,
    ::testing::Values(
        TeardownCase{"DeletesWhileAttached", host::rule::DeviceDeletedAttached,
                     DeletesWhileAttached},
        TeardownCase{"DetachesTwice", host::rule::DetachNotAttached, DetachesTwice},
        TeardownCase{"RemoveKeepsAttached", host::rule::RemoveWithoutDetach, RemoveKeepsAttached},
        TeardownCase{"RemoveKeepsDevice", host::rule::RemoveWithoutDelete, RemoveKeepsDevice},
        TeardownCase{"AttachesWithoutPowerPagable", host::rule::PowerPagableNotInherited,
                     AttachesWithoutPowerPagable},
        TeardownCase{"AttachesWithoutIoFlags", host::rule::IoFlagsNotInherited,
                     AttachesWithoutIoFlags},
        TeardownCase{"AttachesWithOtherDeviceType", host::rule::DeviceTypeNotInherited,
                     AttachesWithOtherDeviceType}),
    [](const ::testing::TestParamInfo<TeardownCase>& info) { return info.param.name; });

// ---- Remove locks ---------------------------------------------------------------------------

constexpr ULONG LockTag = 0x74736554;

struct RemoveLockCase {
    const char* name;
    const char* rule;
    void (*run)(PIO_REMOVE_LOCK lock);
};

void WaitsWithoutHolding(PIO_REMOVE_LOCK lock) {
    IoInitializeRemoveLock(lock, LockTag, 1, 100);
    IoReleaseRemoveLockAndWait(lock, lock); // returns: nothing else holds the lock
}

void ReinitializesAfterWait(PIO_REMOVE_LOCK lock) {
    IoInitializeRemoveLock(lock, LockTag, 1, 100);
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock, lock));
    IoReleaseRemoveLockAndWait(lock, lock);
    IoInitializeRemoveLock(lock, LockTag, 1, 100);
}

void HoldsAboveHighWatermark(PIO_REMOVE_LOCK lock) {
    IoInitializeRemoveLock(lock, LockTag, 1, 2);
    int tags[3];
    for (int& tag : tags) {
        ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock, &tag));
    }
    for (int& tag : tags) {
        IoReleaseRemoveLock(lock, &tag);
    }
}

void InitializesWithWrongSize(PIO_REMOVE_LOCK lock) {
    IoInitializeRemoveLockEx(lock, LockTag, 1, 100, sizeof(IO_REMOVE_LOCK) - 1);
}

class BrokenRemoveLock : public HostTest, public ::testing::WithParamInterface<RemoveLockCase> {};

TEST_P(BrokenRemoveLock, IsCaughtByItsRule) {
    IO_REMOVE_LOCK lock;
    GetParam().run(&lock);
    ExpectFirstRule(GetParam().rule);
}

INSTANTIATE_TEST_SUITE_P(
    Verifier, BrokenRemoveLock,
    ::testing::Values(RemoveLockCase{"WaitsWithoutHolding",
                                     host::rule::RemoveLockWaitWithoutAcquire, WaitsWithoutHolding},
                      RemoveLockCase{"ReinitializesAfterWait", host::rule::RemoveLockReinitialized,
                                     ReinitializesAfterWait},
                      RemoveLockCase{"HoldsAboveHighWatermark",
                                     host::rule::RemoveLockOverHighWatermark,
                                     HoldsAboveHighWatermark},
                      RemoveLockCase{"InitializesWithWrongSize", host::rule::RemoveLockBadSize,
                                     InitializesWithWrongSize}),
    [](const ::testing::TestParamInfo<RemoveLockCase>& info) { return info.param.name; });

// ---- The table itself -----------------------------------------------------------------------

// Every test of the binary, as "Suite.Name" (with the instantiation and parameter for
// parameterised ones).
std::set<std::string> AllTests() {
    std::set<std::string> tests;
    const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
    for (int s = 0; s < unit.total_test_suite_count(); ++s) {
        const ::testing::TestSuite& suite = *unit.GetTestSuite(s);
        for (int t = 0; t < suite.total_test_count(); ++t) {
            tests.insert(std::string(suite.name()) + "." + suite.GetTestInfo(t)->name());
        }
    }
    return tests;
}

TEST(RuleTable, EveryRuleHasOneRowWithItsCodeAndATestThatExists) {
    std::set<std::string> tests = AllTests();
    std::set<std::string> names;
    for (const host::RuleInfo& row : host::Rules()) {
        EXPECT_TRUE(names.insert(row.name).second) << row.name << " has two rows";
        EXPECT_NE(0u, std::strlen(row.windowsCode)) << row.name;
        EXPECT_EQ(1u, tests.count(row.test)) << row.name << ": no test " << row.test;
    }
}

// The fidelity table next to the verifier, one row per line as its cells: behaviour, host, rules,
// tests.
std::vector<std::vector<std::string>> FidelityRows() {
    std::string source = __FILE__;
    std::string path =
        source.substr(0, source.rfind("/tests/")) + "/platform/src/verifier_fidelity.md";
    std::ifstream file(path);
    EXPECT_TRUE(file.is_open()) << path;
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("| ", 0) != 0 || line.find('`') == std::string::npos) {
            continue;
        }
        std::vector<std::string> cells;
        for (size_t at = 1, bar; (bar = line.find('|', at)) != std::string::npos; at = bar + 1) {
            cells.push_back(line.substr(at, bar - at));
        }
        EXPECT_EQ(4u, cells.size()) << line.substr(0, 60);
        if (cells.size() == 4) {
            rows.push_back(cells);
        }
    }
    EXPECT_NE(0u, rows.size()) << "the table's rows were not found";
    return rows;
}

// The `names` of a cell.
std::vector<std::string> Quoted(const std::string& cell) {
    std::vector<std::string> names;
    for (size_t open = cell.find('`'); open != std::string::npos;) {
        size_t close = cell.find('`', open + 1);
        names.push_back(cell.substr(open + 1, close - open - 1));
        open = close == std::string::npos ? close : cell.find('`', close + 1);
    }
    return names;
}

// Whether a name of the table (a trailing * stands for the parameters of a suite) covers the test.
bool Covers(const std::string& name, const std::string& test) {
    return name == test || (!name.empty() && name.back() == '*' &&
                            test.rfind(name.substr(0, name.size() - 1), 0) == 0);
}

// Every token of the form 0x... in a text, upper-cased.
std::set<std::string> HexCodes(const std::string& text) {
    std::set<std::string> codes;
    std::regex hex("0x[0-9A-Fa-f]+");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), hex);
         it != std::sregex_iterator(); ++it) {
        std::string code = it->str();
        for (size_t i = 2; i < code.size(); ++i) {
            code[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(code[i])));
        }
        codes.insert(code);
    }
    return codes;
}

// The fidelity table claims nothing without a test: every name in its test column exists.
TEST(FidelityTable, EveryRowNamesTestsThatExist) {
    std::set<std::string> tests = AllTests();
    for (const std::vector<std::string>& row : FidelityRows()) {
        for (const std::string& name : Quoted(row[3])) {
            bool found = std::any_of(tests.begin(), tests.end(),
                                     [&](const std::string& test) { return Covers(name, test); });
            EXPECT_TRUE(found) << "no test " << name << " for: " << row[0].substr(0, 60);
        }
    }
}

// The rule table in the code is the source and the fidelity table is held to it: each rule the
// table names exists, and each rule has a row that names it with its test and its codes.
TEST(FidelityTable, AgreesWithTheRuleTable) {
    std::vector<std::vector<std::string>> rows = FidelityRows();
    std::map<std::string, host::RuleInfo> rules;
    for (const host::RuleInfo& rule : host::Rules()) {
        rules.emplace(rule.name, rule);
    }
    std::regex ruleName("[A-Z][A-Z0-9]*(_[A-Z0-9]+)+");
    std::map<std::string, std::vector<const std::vector<std::string>*>> rowsOf;
    for (const std::vector<std::string>& row : rows) {
        for (auto it = std::sregex_iterator(row[2].begin(), row[2].end(), ruleName);
             it != std::sregex_iterator(); ++it) {
            EXPECT_EQ(1u, rules.count(it->str()))
                << "no rule " << it->str() << " for: " << row[0].substr(0, 60);
            rowsOf[it->str()].push_back(&row);
        }
    }
    for (const auto& [name, rule] : rules) {
        std::set<std::string> codes = HexCodes(rule.windowsCode);
        bool agrees = false;
        for (const std::vector<std::string>* row : rowsOf[name]) {
            std::set<std::string> rowCodes = HexCodes((*row)[0] + (*row)[1]);
            bool named = false;
            for (const std::string& test : Quoted((*row)[3])) {
                named = named || Covers(test, rule.test);
            }
            agrees = agrees || (named && std::includes(rowCodes.begin(), rowCodes.end(),
                                                       codes.begin(), codes.end()));
        }
        EXPECT_TRUE(agrees) << name << ": no row of the fidelity table names it with its test "
                            << rule.test << " and its codes " << rule.windowsCode;
    }
}

} // namespace
} // namespace velt::test
