// The host kernel's semantics that the driver relies on: completion routines, pending, threaded
// IRPs, remove locks, dispatcher objects, debug output, and the verifier's first rules.
#include "support/host_fixture.h"

#include <atomic>
#include <thread>

namespace velt::test {
namespace {

using HostKernel = HostTest;

// The Parameters union aliases: drivers that pass a URB in Others.Argument1 rely on it.
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument1) ==
              offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength));
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument2) ==
              offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength));
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument3) ==
              offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode));
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument4) ==
              offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer));

struct Call {
    PDEVICE_OBJECT device;
    BOOLEAN pendingReturned;
    NTSTATUS status;
};

// A completion routine that records how it was called and returns the status it is given.
struct Recorder {
    std::vector<Call> calls;
    NTSTATUS result = STATUS_SUCCESS;

    static NTSTATUS NTAPI Routine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
        auto* self = static_cast<Recorder*>(Context);
        self->calls.push_back({DeviceObject, Irp->PendingReturned, Irp->IoStatus.Status});
        return self->result;
    }
};

PIRP SendWithRoutine(PDEVICE_OBJECT target, Recorder& sender, NTSTATUS* returned) {
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Recorder::Routine, &sender, TRUE, TRUE, TRUE);
    sender.result = STATUS_MORE_PROCESSING_REQUIRED;
    *returned = IofCallDriver(target, irp);
    return irp;
}

TEST_F(HostKernel, CompletionRoutineGetsTheSettersDeviceAndTheSenderGetsNull) {
    TestDriver drivers;
    PDEVICE_OBJECT lower = drivers.CreateDevice([](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
        return CompleteAsIs(nullptr, irp);
    });
    PDEVICE_OBJECT upper = drivers.CreateDevice();
    ASSERT_EQ(lower, IoAttachDeviceToDeviceStack(upper, lower));
    ASSERT_EQ(2, upper->StackSize);
    Recorder middle;
    drivers.SetHandler(upper, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Recorder::Routine, &middle, FALSE, TRUE, FALSE);
        return IofCallDriver(lower, irp);
    });
    Recorder sender;
    NTSTATUS returned;
    PIRP irp = SendWithRoutine(upper, sender, &returned);
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, returned);
    ASSERT_EQ(1u, middle.calls.size());
    EXPECT_EQ(upper, middle.calls[0].device);
    ASSERT_EQ(1u, sender.calls.size());
    EXPECT_EQ(nullptr, sender.calls[0].device);
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, sender.calls[0].status);
    EXPECT_EQ(irp->StackCount + 1, irp->CurrentLocation);
    IoFreeIrp(irp);
    IoDetachDevice(lower);
}

struct InvokeCase {
    NTSTATUS status;
    BOOLEAN cancel;
    BOOLEAN onSuccess, onError, onCancel;
    bool invoked;
};

class InvokeBits : public HostTest, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(InvokeBits, RoutineRunsOnlyWhenItsBitMatches) {
    const InvokeCase& c = GetParam();
    TestDriver drivers;
    PDEVICE_OBJECT lower = drivers.CreateDevice([&](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = c.status;
        irp->Cancel = c.cancel;
        return CompleteAsIs(nullptr, irp);
    });
    PDEVICE_OBJECT upper = drivers.CreateDevice();
    IoAttachDeviceToDeviceStack(upper, lower);
    Recorder middle;
    middle.result = STATUS_SUCCESS;
    drivers.SetHandler(upper, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Recorder::Routine, &middle, c.onSuccess, c.onError, c.onCancel);
        return IofCallDriver(lower, irp);
    });
    Recorder sender;
    NTSTATUS returned;
    IoFreeIrp(SendWithRoutine(upper, sender, &returned));
    EXPECT_EQ(c.invoked ? 1u : 0u, middle.calls.size());
    EXPECT_EQ(1u, sender.calls.size());
    IoDetachDevice(lower);
}

INSTANTIATE_TEST_SUITE_P(
    Table, InvokeBits,
    ::testing::Values(InvokeCase{STATUS_SUCCESS, FALSE, TRUE, FALSE, FALSE, true},
                      InvokeCase{STATUS_SUCCESS, FALSE, FALSE, TRUE, TRUE, false},
                      InvokeCase{STATUS_UNSUCCESSFUL, FALSE, FALSE, TRUE, FALSE, true},
                      InvokeCase{STATUS_UNSUCCESSFUL, FALSE, TRUE, FALSE, FALSE, false},
                      InvokeCase{STATUS_CANCELLED, TRUE, FALSE, FALSE, TRUE, true},
                      InvokeCase{STATUS_SUCCESS, TRUE, FALSE, FALSE, TRUE, true}));

TEST_F(HostKernel, MoreProcessingRequiredHandsTheIrpBackUntilCompletedAgain) {
    TestDriver drivers;
    PDEVICE_OBJECT lower = drivers.CreateDevice();
    PDEVICE_OBJECT upper = drivers.CreateDevice();
    IoAttachDeviceToDeviceStack(upper, lower);
    Recorder middle;
    middle.result = STATUS_MORE_PROCESSING_REQUIRED;
    Recorder sender;
    drivers.SetHandler(upper, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Recorder::Routine, &middle, TRUE, TRUE, TRUE);
        IofCallDriver(lower, irp);
        // Taken back: the sender has seen nothing yet.
        EXPECT_EQ(0u, sender.calls.size());
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    NTSTATUS returned;
    IoFreeIrp(SendWithRoutine(upper, sender, &returned));
    EXPECT_EQ(1u, middle.calls.size());
    EXPECT_EQ(1u, sender.calls.size());
    IoDetachDevice(lower);
}

TEST_F(HostKernel, PendingReturnedPropagatesThroughALocationWithoutRoutine) {
    TestDriver drivers;
    std::thread completer;
    PDEVICE_OBJECT lower = drivers.CreateDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        completer = std::thread([irp] {
            host::IrqlScope dispatch(DISPATCH_LEVEL);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT upper = drivers.CreateDevice();
    IoAttachDeviceToDeviceStack(upper, lower);
    drivers.SetHandler(upper, [&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(lower, irp);
    });
    Recorder sender;
    NTSTATUS returned;
    PIRP irp = SendWithRoutine(upper, sender, &returned);
    completer.join();
    EXPECT_EQ(STATUS_PENDING, returned);
    ASSERT_EQ(1u, sender.calls.size());
    EXPECT_TRUE(sender.calls[0].pendingReturned);
    IoFreeIrp(irp);
    IoDetachDevice(lower);
}

TEST_F(HostKernel, ThreadedIrpReportsToItsStatusBlockAndEventAndIsFreed) {
    TestDriver drivers;
    PDEVICE_OBJECT target = drivers.CreateDevice([](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(IRP_MJ_INTERNAL_DEVICE_CONTROL, stack->MajorFunction);
        EXPECT_EQ(0x220003u, stack->Parameters.DeviceIoControl.IoControlCode);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 7;
        return CompleteAsIs(nullptr, irp);
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(0x220003, target, NULL, 0, NULL, 0, TRUE, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(irp->StackCount + 1, irp->CurrentLocation);
    EXPECT_EQ(STATUS_CANCELLED, IofCallDriver(target, irp));
    EXPECT_EQ(STATUS_CANCELLED, iosb.Status);
    EXPECT_EQ(7u, iosb.Information);
    EXPECT_EQ(1, KeReadStateEvent(&event));
}

// A USB completion runs at DISPATCH_LEVEL, but the output copy and the status block write of a
// threaded request are the issuer's APC_LEVEL work: a pageable output buffer and status block
// must be paged in, not stop the machine.
TEST_F(HostKernel, ThreadedIrpCompletedAtDispatchLevelFillsPagedOutputAndStatusBlock) {
    TestDriver drivers;
    PIRP pended = nullptr;
    PDEVICE_OBJECT target = drivers.CreateDevice([&pended](PDEVICE_OBJECT, PIRP irp) {
        memset(irp->AssociatedIrp.SystemBuffer, 0x5A, 4);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 4;
        IoMarkIrpPending(irp);
        pended = irp;
        return STATUS_PENDING;
    });
    auto* output = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 4, 0x74756F50));
    auto* iosb = static_cast<IO_STATUS_BLOCK*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(IO_STATUS_BLOCK), 0x62736F50));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(0x220000, target, NULL, 0, output, 4, FALSE, &event, iosb);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(STATUS_PENDING, IofCallDriver(target, irp));
    ASSERT_NE(nullptr, pended);
    {
        host::IrqlScope dispatch(DISPATCH_LEVEL); // pages the paged pool out
        IoCompleteRequest(pended, IO_NO_INCREMENT);
        EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    }
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(STATUS_SUCCESS, iosb->Status);
    EXPECT_EQ(4u, iosb->Information);
    EXPECT_EQ(0x5A5A5A5Au,
              output[0] | output[1] << 8 | output[2] << 16 | unsigned(output[3]) << 24);
    ExFreePool(iosb);
    ExFreePool(output);
}

TEST_F(HostKernel, RemoveLockWaitsForHoldersThenRefusesNewOnes) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 0x74736554, 1, 100);
    int self = 0, other = 0;
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &self));
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &other));
    std::atomic<bool> released{false};
    std::thread holder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        released = true;
        IoReleaseRemoveLock(&lock, &other);
    });
    IoReleaseRemoveLockAndWait(&lock, &self);
    EXPECT_TRUE(released);
    holder.join();
    EXPECT_EQ(STATUS_DELETE_PENDING, IoAcquireRemoveLock(&lock, &self));
}

// The memory of a remove lock that was never waited for may hold a new lock later (a stack frame,
// a freed block): initialising it again is no fault. A release with a tag that holds nothing is
// 0xC4/0xD5 only where another tag holds the lock; with no hold at all Windows documents no code.
TEST_F(HostKernel, RemoveLockMemoryReusedAndUnheldReleasesAreReportedHonestly) {
    IO_REMOVE_LOCK lock;
    int self = 0, other = 0;
    IoInitializeRemoveLock(&lock, 0x74736554, 1, 100);
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &self));
    IoReleaseRemoveLock(&lock, &self);
    IoInitializeRemoveLock(&lock, 0x74736554, 1, 100);
    EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();

    IoReleaseRemoveLock(&lock, &self);
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &other));
    IoReleaseRemoveLock(&lock, &self);
    IoReleaseRemoveLock(&lock, &other);
    std::vector<host::Violation> reports = host::Violations();
    ASSERT_EQ(2u, reports.size()) << host::DescribeViolations();
    EXPECT_EQ(host::rule::RemoveLockReleaseWithoutAcquire, reports[0].rule);
    EXPECT_EQ("host (no documented code)", reports[0].code);
    EXPECT_EQ("0xC4/0xD5", reports[1].code);
    host::ClearViolations();
}

TEST_F(HostKernel, EventsReleaseOneOrAllWaitersAndWaitsTimeOutInKernelTime) {
    KEVENT synchronization, notification;
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    LARGE_INTEGER none{};
    EXPECT_EQ(STATUS_SUCCESS,
              KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &none));
    EXPECT_EQ(STATUS_TIMEOUT,
              KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &none));
    EXPECT_EQ(STATUS_SUCCESS,
              KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &none));
    EXPECT_EQ(STATUS_SUCCESS,
              KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &none));

    host::SetTimeScale(1000);
    LARGE_INTEGER oneSecond;
    oneSecond.QuadPart = -10000000;
    LONGLONG before = host::KernelTime();
    EXPECT_EQ(STATUS_TIMEOUT,
              KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &oneSecond));
    EXPECT_GE(host::KernelTime() - before, 10000000);
}

// Device work due and not delivered stops kernel time: a wait's timeout cannot expire before
// the completion that would have ended it, however late its thread runs; a signal still wakes.
TEST_F(HostKernel, HeldTimeStopsTimeoutsUntilReleasedButNotSignals) {
    host::SetTimeScale(1000);
    KEVENT never, signalled;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeInitializeEvent(&signalled, NotificationEvent, FALSE);
    LONGLONG start = host::KernelTime();
    // Held where it stands: a due time already passed holds the clock at the present.
    uint64_t hold = host::HoldTime(start);
    LONGLONG held = host::KernelTime();
    std::atomic<NTSTATUS> timedOut{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER tenthSecond;
        tenthSecond.QuadPart = -1000000;
        timedOut = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &tenthSecond);
    });
    // 100 kernel ms are 100 real us at this scale: without the hold the wait would be over.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(STATUS_PENDING, timedOut.load());
    EXPECT_EQ(held, host::KernelTime());
    LARGE_INTEGER oneSecond;
    oneSecond.QuadPart = -10000000;
    KeSetEvent(&signalled, 0, FALSE);
    EXPECT_EQ(STATUS_SUCCESS,
              KeWaitForSingleObject(&signalled, Executive, KernelMode, FALSE, &oneSecond));
    host::ReleaseTime(hold);
    waiter.join();
    EXPECT_EQ(STATUS_TIMEOUT, timedOut.load());
    EXPECT_GE(host::KernelTime(), start + 1000000);
}

// Two holds at one due time, and a later hold released before them: the clock stays at the
// earliest hold still held, and a timeout ends only once no hold stops the clock short of it.
TEST_F(HostKernel, HeldTimeMovesOnlyAsFarAsTheEarliestHoldLeft) {
    host::SetTimeScale(1000);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    // The clock stands while the holds are taken, however late this thread runs: every due time
    // below lies ahead of it.
    LONGLONG start = host::KernelTime();
    uint64_t freeze = host::HoldTime(start);
    start = host::KernelTime();
    const LONGLONG firstDue = start + 50000000; // 5 kernel s
    uint64_t first = host::HoldTime(firstDue);
    uint64_t twin = host::HoldTime(firstDue);
    uint64_t later = host::HoldTime(start + 100000000);
    uint64_t latest = host::HoldTime(start + 150000000);
    std::atomic<bool> waiting{false};
    std::atomic<NTSTATUS> timedOut{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER twentySeconds;
        twentySeconds.QuadPart = -200000000;
        waiting = true;
        timedOut = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &twentySeconds);
    });
    while (!waiting) {
        std::this_thread::yield();
    }
    // 20 kernel s are 20 real ms at this scale: each pause outlasts the wait's timeout.
    auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(40)); };
    host::ReleaseTime(freeze);
    host::ReleaseTime(latest);
    host::ReleaseTime(first);
    pause();
    EXPECT_EQ(STATUS_PENDING, timedOut.load()) << "its twin still holds the clock";
    EXPECT_EQ(firstDue, host::KernelTime());
    host::ReleaseTime(twin);
    pause();
    EXPECT_EQ(STATUS_PENDING, timedOut.load()) << "the later hold stops the clock short of it";
    LONGLONG stopped = host::KernelTime();
    EXPECT_GE(stopped, start + 100000000);
    EXPECT_LT(stopped, start + 200000000);
    host::ReleaseTime(later);
    waiter.join();
    EXPECT_EQ(STATUS_TIMEOUT, timedOut.load());
}

VOID NTAPI EndingThread(PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(HostKernel, ThreadObjectIsSignalledWhenItsThreadEnds) {
    KEVENT started;
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    HANDLE handle;
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                                   EndingThread, &started));
    PVOID thread;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode,
                                                        &thread, NULL));
    ZwClose(handle);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL));
    ObDereferenceObject(thread);
    host::JoinSystemThreads();
    EXPECT_EQ(0u, host::LiveSystemThreads());
}

std::string LastLine() {
    std::vector<std::string> lines = host::LogTexts();
    return lines.empty() ? "" : lines.back();
}

TEST_F(HostKernel, DebugOutputFollowsMicrosoftFormatRules) {
    static const WCHAR wide[] = u"Wide";
    DbgPrintEx(77, 2, "%S|%ws|%s\n", wide, wide, "narrow");
    EXPECT_EQ("Wide|Wide|narrow", LastLine());
    DbgPrintEx(77, 2, "%I64X %X %d %#02x %04X\n", 0x123456789ABCDEF0ULL, 0xBEEFu, -5, 7, 0x2Au);
    EXPECT_EQ("123456789ABCDEF0 BEEF -5 0x7 002A", LastLine());
    DbgPrintEx(77, 2, "%p|%ph\n", reinterpret_cast<void*>(0x1234), reinterpret_cast<void*>(0xAB));
    std::string zeros(2 * sizeof(void*) - 4, '0');
    EXPECT_EQ(zeros + "1234|" + zeros + "00ABh", LastLine());
    DbgPrintEx(77, 0, "open ");
    DbgPrintEx(77, 2, "and closed\n");
    std::vector<host::LogLine> lines = host::LogLines();
    EXPECT_EQ("open and closed", lines.back().text);
    EXPECT_EQ(0u, lines.back().level);
    EXPECT_EQ(77u, lines.back().component);
}

// ---- The verifier's rules, each provoked by a broken mini-driver --------------------------------

struct BrokenCase {
    const char* name;
    const char* rule;
    NTSTATUS (*dispatch)(PDEVICE_OBJECT, PIRP);
};

NTSTATUS CompletesTwice(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS CompletesWithPending(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_PENDING;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS PendsWithoutMarking(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
}

NTSTATUS ReleasesUnheldRemoveLock(PDEVICE_OBJECT, PIRP irp) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 0x74736554, 1, 100);
    IoReleaseRemoveLock(&lock, irp);
    return CompleteAsIs(nullptr, irp);
}

class BrokenDriver : public HostTest, public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(BrokenDriver, IsCaughtByItsRule) {
    TestDriver drivers;
    PDEVICE_OBJECT device = drivers.CreateDevice(GetParam().dispatch);
    host::SendIrp(device, STATUS_NOT_SUPPORTED,
                  [](PIRP, PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_READ; });
    std::vector<host::Violation> violations = host::Violations();
    ASSERT_FALSE(violations.empty());
    EXPECT_EQ(GetParam().rule, violations.front().rule) << host::DescribeViolations();
    EXPECT_FALSE(violations.front().detail.empty());
    host::ClearViolations();
}

INSTANTIATE_TEST_SUITE_P(
    Rules, BrokenDriver,
    ::testing::Values(
        BrokenCase{"CompletesTwice", host::rule::IrpCompletedTwice, CompletesTwice},
        BrokenCase{"CompletesWithPending", host::rule::IrpCompletedWithPending,
                   CompletesWithPending},
        BrokenCase{"PendsWithoutMarking", host::rule::PendingNotMarked, PendsWithoutMarking},
        BrokenCase{"ReleasesUnheldRemoveLock", host::rule::RemoveLockReleaseWithoutAcquire,
                   ReleasesUnheldRemoveLock}),
    [](const ::testing::TestParamInfo<BrokenCase>& info) { return info.param.name; });

VOID NTAPI LeakingUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI LeakingEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    DriverObject->DriverUnload = LeakingUnload;
    return ExAllocatePoolWithTag(NonPagedPool, 24, 0x6B61654C) != NULL ? STATUS_SUCCESS
                                                                       : STATUS_UNSUCCESSFUL;
}

TEST_F(HostKernel, PoolLeftAtUnloadIsReportedByTag) {
    host::UnloadDriver(host::LoadDriver(LeakingEntry, u"leaky"));
    std::vector<host::Violation> violations = host::Violations();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ(host::rule::PoolLeakedAtUnload, violations[0].rule);
    EXPECT_NE(std::string::npos, violations[0].detail.find("24 bytes with tag 'Leak'"));
    host::ClearViolations();
}

TEST_F(HostKernel, CallingDriverWithNoStackLocationLeftBugChecks) {
    TestDriver drivers;
    PDEVICE_OBJECT device = drivers.CreateDevice();
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    EXPECT_DEATH(IofCallDriver(device, irp), "NO_MORE_IRP_STACK_LOCATIONS");
    IoSkipCurrentIrpStackLocation(irp);
    IoFreeIrp(irp);
}

} // namespace
} // namespace velt::test
