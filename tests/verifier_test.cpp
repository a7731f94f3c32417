// The verifier's rules beyond the first ones, each provoked by a deliberately broken driver.
#include "support/host_fixture.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace velt::test {
namespace {

// Expects exactly the named rule to have fired, shows its report, and clears it for TearDown.
void ExpectRule(const char* rule) {
    std::vector<host::Violation> violations = host::Violations();
    ASSERT_FALSE(violations.empty()) << "expected " << rule;
    EXPECT_EQ(rule, violations.front().rule) << host::DescribeViolations();
    const std::string& detail = violations.front().detail;
    EXPECT_TRUE(detail.find("0x") != std::string::npos || detail.find("tag '") != std::string::npos)
        << "the report names the objects: " << detail;
    host::ClearViolations();
}

struct DispatchCase {
    const char* name;
    const char* rule;
    UCHAR major;
    NTSTATUS (*dispatch)(PDEVICE_OBJECT, PIRP);
};

NTSTATUS ReturnsOtherStatus(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
}

KSPIN_LOCK g_lock;

NTSTATUS KeepsSpinLock(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL old;
    KeAcquireSpinLock(&g_lock, &old);
    return CompleteAsIs(device, irp);
}

NTSTATUS CompletesAtHighLevel(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    NTSTATUS status = CompleteAsIs(device, irp);
    KeLowerIrql(old);
    return status;
}

NTSTATUS ForgetsStartNextPowerIrp(PDEVICE_OBJECT device, PIRP irp) {
    return CompleteAsIs(device, irp);
}

class BrokenDispatch : public HostTest, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(BrokenDispatch, IsCaughtByItsRule) {
    host::SetOsVersion(host::WindowsXp); // where PoStartNextPowerIrp is still demanded
    KeInitializeSpinLock(&g_lock);
    TestDriver drivers;
    PDEVICE_OBJECT device = drivers.CreateDevice(GetParam().dispatch);
    UCHAR major = GetParam().major;
    host::SendIrp(device, STATUS_NOT_SUPPORTED,
                  [major](PIRP, PIO_STACK_LOCATION stack) { stack->MajorFunction = major; });
    if (g_lock != 0) {
        KeReleaseSpinLock(&g_lock, PASSIVE_LEVEL);
    }
    ExpectRule(GetParam().rule);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, BrokenDispatch,
    ::testing::Values(DispatchCase{"ReturnsOtherStatus", host::rule::SyncStatusMismatch,
                                   IRP_MJ_READ, ReturnsOtherStatus},
                      DispatchCase{"KeepsSpinLock", host::rule::IrqlNotRestored, IRP_MJ_READ,
                                   KeepsSpinLock},
                      DispatchCase{"CompletesAtHighLevel", host::rule::IrqlTooHigh, IRP_MJ_READ,
                                   CompletesAtHighLevel},
                      DispatchCase{"ForgetsStartNextPowerIrp", host::rule::PowerIrpWithoutStartNext,
                                   IRP_MJ_POWER, ForgetsStartNextPowerIrp}),
    [](const ::testing::TestParamInfo<DispatchCase>& info) { return info.param.name; });

using Verifier = HostTest;

TEST_F(Verifier, RequestToADeviceStillInitializing) {
    TestDriver drivers;
    PDEVICE_OBJECT device = drivers.CreateDevice();
    device->Flags |= DO_DEVICE_INITIALIZING;
    host::SendIrp(device, STATUS_SUCCESS,
                  [](PIRP, PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_CREATE; });
    ExpectRule(host::rule::DeviceStillInitializing);
}

TEST_F(Verifier, IrpFreedWhileADriverOwnsALocation) {
    TestDriver drivers;
    PDEVICE_OBJECT keeper = drivers.CreateDevice([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    PIRP irp = IoAllocateIrp(keeper->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    EXPECT_EQ(STATUS_PENDING, IofCallDriver(keeper, irp));
    IoFreeIrp(irp);
    ExpectRule(host::rule::IrpFreedInUse);
}

TEST_F(Verifier, DeviceDeletedWhileItHoldsAnIrp) {
    TestDriver drivers;
    KEVENT arrived;
    KeInitializeEvent(&arrived, NotificationEvent, FALSE);
    PIRP held = nullptr;
    PDEVICE_OBJECT device = drivers.CreateDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        KeSetEvent(&arrived, 0, FALSE);
        return STATUS_PENDING;
    });
    std::thread sender([device] {
        host::SendIrp(device, STATUS_SUCCESS,
                      [](PIRP, PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_READ; });
    });
    KeWaitForSingleObject(&arrived, Executive, KernelMode, FALSE, NULL);
    IoDeleteDevice(device);
    ExpectRule(host::rule::DeviceDeletedWithIrps);
    IofCompleteRequest(held, IO_NO_INCREMENT);
    sender.join();
}

TEST_F(Verifier, DeviceDeletedWhileItsRemoveLockIsHeld) {
    TestDriver drivers;
    PDEVICE_OBJECT device;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(drivers.Object(), sizeof(IO_REMOVE_LOCK), NULL,
                                             FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    auto* lock = static_cast<PIO_REMOVE_LOCK>(device->DeviceExtension);
    IoInitializeRemoveLock(lock, 0x74736554, 1, 100);
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock, device));
    IoDeleteDevice(device);
    ExpectRule(host::rule::RemoveLockHeldAtDelete);
}

TEST_F(Verifier, DereferenceOfAnObjectWithNoReferenceLeft) {
    TestDriver drivers;
    PDEVICE_OBJECT device = drivers.CreateDevice();
    ObReferenceObject(device);
    IoDeleteDevice(device);
    ObDereferenceObject(device);
    ObDereferenceObject(device);
    ExpectRule(host::rule::DereferenceBelowZero);
}

TEST_F(Verifier, LookasideDeletedWithEntriesOut) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, NULL, NULL, 0, 32, 0x7473654C, 0);
    PVOID entry = ExAllocateFromNPagedLookasideList(&list);
    ExDeleteNPagedLookasideList(&list);
    ExpectRule(host::rule::LookasideEntriesOutstanding);
    ExFreePool(entry);
}

TEST_F(Verifier, LookasideEntryWrittenAfterItWasFreed) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, NULL, NULL, 0, 32, 0x7473654C, 0);
    auto* entry = static_cast<UCHAR*>(ExAllocateFromNPagedLookasideList(&list));
    ExFreeToNPagedLookasideList(&list, entry);
    EXPECT_EQ(0xDF, entry[31]) << "a cached entry is poisoned";
    entry[31] = 0;
    ExFreeToNPagedLookasideList(&list, ExAllocateFromNPagedLookasideList(&list));
    ExpectRule(host::rule::LookasideEntryWrittenAfterFree);
    ExDeleteNPagedLookasideList(&list);
}

// Once special pool's region is full, blocks come from normal pool, as on Windows. Blocks of
// 64 MiB, never touched, fill its 1 GiB in 16 allocations.
TEST_F(Verifier, SpecialPoolFallsBackToNormalPoolWhenItsRegionIsFull) {
    constexpr size_t Block = size_t{64} << 20;
    std::vector<PUCHAR> blocks;
    PUCHAR normal = nullptr;
    while (normal == nullptr && blocks.size() <= 16) {
        auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, Block, 0x6C6C7546));
        ASSERT_NE(nullptr, block);
        if (host::InSpecialPool(block)) {
            blocks.push_back(block);
        } else {
            normal = block;
        }
    }
    ASSERT_NE(nullptr, normal) << "special pool took all " << blocks.size() << " blocks";
    EXPECT_FALSE(blocks.empty());
    normal[0] = 1;
    normal[Block - 1] = 2;
    ExFreePool(normal);
    for (PUCHAR block : blocks) {
        ExFreePool(block);
    }
}

// Special pool: an overrun or a use after free faults at once, in either pool. Under
// AddressSanitizer the sanitizer reports the non-paged cases itself.
TEST_F(Verifier, SpecialPoolStopsAnOverrunAndAUseAfterFree) {
    for (POOL_TYPE type : {NonPagedPool, PagedPool}) {
        auto* block = static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(type, 16, 0x74736553));
        block[15] = 1;
        EXPECT_DEATH(
            block[16] = 1,
            "STOP: 0x000000CD \\(PAGE_FAULT_BEYOND_END_OF_ALLOCATION: 0x[0-9A-F]+ is past the end "
            "of a special pool block\\)|heap-buffer-overflow");
        ExFreePool(const_cast<UCHAR*>(block));
        EXPECT_DEATH(
            block[0] = 1,
            "STOP: 0x000000CC \\(PAGE_FAULT_IN_FREED_SPECIAL_POOL: 0x[0-9A-F]+ is in freed "
            "special pool\\)|heap-use-after-free");
    }
}

// Force IRQL checking: paged pool touched at DISPATCH_LEVEL faults, while below it the pages come
// back.
TEST_F(Verifier, PagedPoolIsPagedOutAtDispatchLevelAndBackInBelowIt) {
    if (!host::PagedPoolIsPagedOut()) {
        GTEST_SKIP() << "threads here do not resume intact after a fault the host serves";
    }
    auto* paged = static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(PagedPool, 8, 0x74736550));
    paged[0] = 1;
    {
        host::IrqlScope dispatch(DISPATCH_LEVEL);
        EXPECT_DEATH(paged[0] = 2,
                     "STOP: 0x000000D1 \\(DRIVER_IRQL_NOT_LESS_OR_EQUAL: 0x[0-9A-F]+ in paged "
                     "pool touched at IRQL 2\\)");
    }
    {
        host::IrqlScope dispatch(DISPATCH_LEVEL); // pages it out again
    }
    paged[0] = 3; // paged back in below DISPATCH_LEVEL
    EXPECT_EQ(3, paged[0]);
    ExFreePool(const_cast<UCHAR*>(paged));
}

thread_local volatile int t_marker = 0;

__attribute__((noinline)) int ThreadMarker() {
    return t_marker;
}

// A thread whose paged pool is paged back in resumes as itself: its thread-local data, errno and
// malloc cache are its own, also when it is not the thread created last (an emulator that reloads
// the thread pointer on return from the fault gave it the newest thread's).
TEST_F(Verifier, ThreadResumesAsItselfAfterItsPagedPoolIsPagedBackIn) {
    if (!host::PagedPoolIsPagedOut()) {
        GTEST_SKIP() << "the paged pool stays resident here: no fault to resume from";
    }
    auto* paged = static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(PagedPool, 8, 0x74736550));
    paged[0] = 1;
    std::mutex lock;
    std::condition_variable changed;
    int step = 0;
    auto waitFor = [&](int wanted) {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return step >= wanted; });
    };
    auto advance = [&] {
        std::lock_guard<std::mutex> guard(lock);
        ++step;
        changed.notify_all();
    };
    int before = 0;
    int after = 0;
    std::thread older([&] {
        t_marker = 1;
        waitFor(2);
        before = ThreadMarker();
        paged[0] = 2;
        asm volatile("" ::: "memory");
        after = ThreadMarker();
        advance();
    });
    std::thread newer([&] {
        t_marker = 2;
        advance();
        waitFor(3);
    });
    waitFor(1);
    {
        host::IrqlScope dispatch(DISPATCH_LEVEL); // pages the block out
    }
    advance();
    newer.join();
    older.join();
    EXPECT_EQ(1, before);
    EXPECT_EQ(1, after);
    EXPECT_EQ(2, paged[0]);
    ExFreePool(const_cast<UCHAR*>(paged));
}

TEST_F(Verifier, PagedPoolAndBlockingWaitsAtDispatchLevel) {
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, 0x74736550));
    ExpectRule(host::rule::IrqlTooHigh);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -1;
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    ExpectRule(host::rule::IrqlTooHigh);
}

// One driver calling PoStartNextPowerIrp twice does not cover another that forgot; from Vista on
// the call is a no-op and nobody needs it.
TEST_F(Verifier, StartNextPowerIrpIsDemandedOfEachDriverBeforeVista) {
    TestDriver upperDriver(u"upper");
    TestDriver lowerDriver(u"forgetful");
    PDEVICE_OBJECT lower = lowerDriver.CreateDevice();
    PDEVICE_OBJECT upper = upperDriver.CreateDevice([lower](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    });
    upper->StackSize = 2;
    for (const host::OsVersion* version : {&host::WindowsXp, &host::Windows7}) {
        host::SetOsVersion(*version);
        host::SendIrp(upper, STATUS_SUCCESS,
                      [](PIRP, PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_POWER; });
        if (version == &host::WindowsXp) {
            std::vector<host::Violation> violations = host::Violations();
            ASSERT_EQ(1u, violations.size()) << host::DescribeViolations();
            EXPECT_NE(std::string::npos, violations[0].detail.find("(forgetful)"));
            ExpectRule(host::rule::PowerIrpWithoutStartNext);
        }
        EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
    }
}

TEST_F(Verifier, WaitOnAnEventNeverInitialized) {
    KEVENT event{};
    KeSetEvent(&event, 0, FALSE);
    ExpectRule(host::rule::EventNotInitialized);
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER poll{};
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll));
    EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
}

TEST_F(Verifier, PagedCodeAboveApcLevel) {
    PAGED_CODE();
    {
        host::IrqlScope apc(APC_LEVEL);
        PAGED_CODE();
    }
    EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    PAGED_CODE();
    ExpectRule(host::rule::PagedCodeAboveApcLevel);
}

// Deleting a device twice is 0xC9/0x240 and freeing what the pool never handed out 0xC2: both
// stop the machine.
TEST_F(Verifier, DeletingTwiceAndFreeingForeignMemoryBugCheck) {
    TestDriver drivers;
    PDEVICE_OBJECT device = drivers.CreateDevice();
    ObfReferenceObject(device);
    IoDeleteDevice(device);
    EXPECT_DEATH(IoDeleteDevice(device), "0x000000C9.*0x240");
    ObfDereferenceObject(device);
    UCHAR local[8];
    EXPECT_DEATH(ExFreePool(local), "0x000000C2.*BAD_POOL_CALLER");
}

TEST_F(Verifier, NonPagedPoolNxBeforeWindows8) {
    host::SetOsVersion(host::Windows7);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x7473654E));
    ExpectRule(host::rule::BadPoolCaller);
    host::SetOsVersion(host::Windows8);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x7473654E));
    EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
}

// A driver that leaves something behind at unload, chosen by the test.
enum class Leftover { Thread, Irp, Device };
Leftover g_leftover;
KEVENT g_release;
PIRP g_irp;

VOID NTAPI WaitingThread(PVOID) {
    KeWaitForSingleObject(&g_release, Executive, KernelMode, FALSE, NULL);
}

VOID NTAPI CarelessUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI CarelessEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    DriverObject->DriverUnload = CarelessUnload;
    switch (g_leftover) {
    case Leftover::Thread: {
        HANDLE thread;
        NTSTATUS status =
            PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, WaitingThread, NULL);
        if (NT_SUCCESS(status)) {
            ZwClose(thread);
        }
        return status;
    }
    case Leftover::Irp:
        g_irp = IoAllocateIrp(1, FALSE);
        return STATUS_SUCCESS;
    case Leftover::Device: {
        PDEVICE_OBJECT device;
        return IoCreateDevice(DriverObject, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    }
    }
    return STATUS_SUCCESS;
}

TEST_F(Verifier, ResourcesLeftAtUnload) {
    KeInitializeEvent(&g_release, NotificationEvent, FALSE);
    g_leftover = Leftover::Thread;
    host::UnloadDriver(host::LoadDriver(CarelessEntry, u"careless"));
    ExpectRule(host::rule::ThreadAliveAtUnload);
    KeSetEvent(&g_release, 0, FALSE);
    host::JoinSystemThreads();

    g_leftover = Leftover::Irp;
    host::UnloadDriver(host::LoadDriver(CarelessEntry, u"careless"));
    ExpectRule(host::rule::IrpAliveAtUnload);
    IoFreeIrp(g_irp);

    g_leftover = Leftover::Device;
    PDRIVER_OBJECT driver = host::LoadDriver(CarelessEntry, u"careless");
    EXPECT_FALSE(host::UnloadDriver(driver));
    ExpectRule(host::rule::DeviceLeftAtUnload);
    IoDeleteDevice(driver->DeviceObject);
    EXPECT_TRUE(host::UnloadDriver(driver));
}

} // namespace
} // namespace velt::test
