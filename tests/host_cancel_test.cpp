// Cancellation as the I/O manager does it: IoCancelIrp, the cancel spin lock and CancelIrql; and
// a wait-wake request from PoRequestPowerIrp cancelled through the IRP it returns.
#include "support/host_fixture.h"

namespace velt::test {
namespace {

struct Seen {
    KIRQL irql = PASSIVE_LEVEL;
    KIRQL cancelIrql = PASSIVE_LEVEL;
    KIRQL afterRelease = HIGH_LEVEL;
    bool cancel = false;
    bool routineCleared = false;
    int calls = 0;
};
Seen g_seen;
PIRP g_pended;
KEVENT g_arrived;

// The cancel routine of the WDK's pattern: enters at DISPATCH_LEVEL holding the cancel spin lock,
// releases it to the IRP's CancelIrql and completes the IRP as cancelled.
VOID NTAPI CancelPended(PDEVICE_OBJECT, PIRP irp) {
    g_seen.calls++;
    g_seen.irql = KeGetCurrentIrql();
    g_seen.cancelIrql = irp->CancelIrql;
    g_seen.cancel = irp->Cancel != FALSE;
    g_seen.routineCleared = irp->CancelRoutine == NULL;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    g_seen.afterRelease = KeGetCurrentIrql();
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS PendCancellably(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelPended);
    g_pended = irp;
    KeSetEvent(&g_arrived, 0, FALSE);
    return STATUS_PENDING;
}

NTSTATUS NTAPI StopHere(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP SendRead(PDEVICE_OBJECT device) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, StopHere, NULL, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_PENDING, IofCallDriver(device, irp));
    return irp;
}

class HostCancel : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        g_seen = Seen();
        g_pended = nullptr;
        KeInitializeEvent(&g_arrived, NotificationEvent, FALSE);
    }
};

TEST_F(HostCancel, RoutineRunsAtDispatchLevelWithTheLockAndTheCallersIrqlInCancelIrql) {
    TestDriver drivers;
    PDEVICE_OBJECT device = drivers.CreateDevice(PendCancellably);
    PIRP irp = SendRead(device);
    {
        host::IrqlScope apc(APC_LEVEL);
        EXPECT_TRUE(IoCancelIrp(irp));
        EXPECT_EQ(APC_LEVEL, KeGetCurrentIrql());
    }
    EXPECT_EQ(1, g_seen.calls);
    EXPECT_EQ(DISPATCH_LEVEL, g_seen.irql);
    EXPECT_EQ(APC_LEVEL, g_seen.cancelIrql);
    EXPECT_EQ(APC_LEVEL, g_seen.afterRelease);
    EXPECT_TRUE(g_seen.cancel);
    EXPECT_TRUE(g_seen.routineCleared) << "IoCancelIrp takes the routine before calling it";
    EXPECT_EQ(STATUS_CANCELLED, irp->IoStatus.Status);
    IoFreeIrp(irp);
}

TEST_F(HostCancel, WithoutRoutineTheIrpIsOnlyMarkedAndTheOwnerCompletesIt) {
    TestDriver drivers;
    PDEVICE_OBJECT device = drivers.CreateDevice(PendCancellably);
    PIRP irp = SendRead(device);
    // The owner takes the routine back first: from then on IoCancelIrp cannot call it.
    ASSERT_EQ(CancelPended, IoSetCancelRoutine(g_pended, NULL));
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(0, g_seen.calls);
    g_pended->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(g_pended, IO_NO_INCREMENT);
    EXPECT_EQ(STATUS_SUCCESS, irp->IoStatus.Status);
    IoFreeIrp(irp);
}

TEST_F(HostCancel, CancelSpinLockRaisesToDispatchLevelAndGivesTheOldIrqlBack) {
    KIRQL old = HIGH_LEVEL;
    IoAcquireCancelSpinLock(&old);
    EXPECT_EQ(PASSIVE_LEVEL, old);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    IoReleaseCancelSpinLock(old);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

VOID NTAPI CancelUnsent(PDEVICE_OBJECT device, PIRP irp) {
    g_seen.calls++;
    g_seen.routineCleared = device == NULL;
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

// An IRP never sent may be cancelled (its routine runs with no device); one that completion has
// walked past completely is bug check 0x48.
TEST_F(HostCancel, NeverSentIrpIsCancellableAndACompletedOneBugChecks) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCancelRoutine(irp, CancelUnsent);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(1, g_seen.calls);
    EXPECT_TRUE(g_seen.routineCleared);
    irp->CurrentLocation = static_cast<CHAR>(irp->StackCount + 2);
    IoSetCancelRoutine(irp, CancelPended);
    EXPECT_DEATH(IoCancelIrp(irp), "CANCEL_STATE_IN_COMPLETED_IRP");
    IoSetCancelRoutine(irp, NULL);
    irp->CurrentLocation = static_cast<CHAR>(irp->StackCount + 1);
    IoFreeIrp(irp);
}

// ---- Wait-wake through PoRequestPowerIrp ---------------------------------------------------

struct WaitWake {
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
};

VOID NTAPI WaitWakeDone(PDEVICE_OBJECT, UCHAR minor, POWER_STATE, PVOID context,
                        PIO_STATUS_BLOCK status) {
    auto* waitWake = static_cast<WaitWake*>(context);
    EXPECT_EQ(IRP_MN_WAIT_WAKE, minor);
    waitWake->status = status->Status;
    KeSetEvent(&waitWake->done, 0, FALSE);
}

TEST_F(HostCancel, WaitWakeIsCancelledThroughTheIrpPoRequestPowerIrpReturned) {
    TestDriver drivers;
    PDEVICE_OBJECT device = drivers.CreateDevice(PendCancellably);
    WaitWake waitWake;
    KeInitializeEvent(&waitWake.done, NotificationEvent, FALSE);
    POWER_STATE state;
    state.SystemState = PowerSystemSleeping3;
    PIRP irp = NULL;
    ASSERT_EQ(STATUS_PENDING,
              PoRequestPowerIrp(device, IRP_MN_WAIT_WAKE, state, WaitWakeDone, &waitWake, &irp));
    ASSERT_NE(nullptr, irp);
    KeWaitForSingleObject(&g_arrived, Executive, KernelMode, FALSE, NULL);
    EXPECT_EQ(irp, g_pended);
    EXPECT_EQ(IRP_MN_WAIT_WAKE, IoGetCurrentIrpStackLocation(irp)->MinorFunction);
    EXPECT_TRUE(IoCancelIrp(irp));
    KeWaitForSingleObject(&waitWake.done, Executive, KernelMode, FALSE, NULL);
    EXPECT_EQ(STATUS_CANCELLED, waitWake.status);
    host::JoinSystemThreads();
}

} // namespace
} // namespace velt::test
