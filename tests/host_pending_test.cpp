// The verifier's pending rule for a driver that passes a request down and returns what the lower
// driver returned: the mark may come from its completion routine after its dispatch returned.
#include <host/host.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

PIRP g_held = nullptr;
bool g_upperMarks = true;

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    __atomic_store_n(&g_held, irp, __ATOMIC_SEQ_CST);
    return STATUS_PENDING;
}

NTSTATUS NTAPI UpperComplete(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (g_upperMarks && irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UpperComplete, NULL, TRUE, TRUE, TRUE);
    return IofCallDriver(*static_cast<PDEVICE_OBJECT*>(device->DeviceExtension), irp);
}

NTSTATUS NTAPI LowerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = LowerDispatch;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI UpperEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = UpperDispatch;
    return STATUS_SUCCESS;
}

// Sends one request through upper over lower and completes it from another thread, before or
// after the upper dispatch has returned.
std::vector<host::Violation> PassThrough(bool upperMarks) {
    host::Reset();
    g_upperMarks = upperMarks;
    PDRIVER_OBJECT lowerDriver = host::LoadDriver(LowerEntry, u"lower");
    PDRIVER_OBJECT upperDriver = host::LoadDriver(UpperEntry, u"upper");
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    IoCreateDevice(lowerDriver, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
    IoCreateDevice(upperDriver, sizeof(PDEVICE_OBJECT), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE,
                   &upper);
    lower->Flags &= ~DO_DEVICE_INITIALIZING;
    upper->Flags &= ~DO_DEVICE_INITIALIZING;
    *static_cast<PDEVICE_OBJECT*>(upper->DeviceExtension) =
        IoAttachDeviceToDeviceStack(upper, lower);
    std::thread completer([] {
        while (__atomic_load_n(&g_held, __ATOMIC_SEQ_CST) == nullptr) {
            std::this_thread::yield();
        }
        host::IrqlScope dispatch(DISPATCH_LEVEL);
        g_held->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(g_held, IO_NO_INCREMENT);
    });
    host::SendIrp(upper, STATUS_NOT_SUPPORTED, [](PIRP, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    });
    completer.join();
    g_held = nullptr;
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
    host::UnloadDriver(upperDriver);
    host::UnloadDriver(lowerDriver);
    std::vector<host::Violation> violations = host::Violations();
    host::Reset();
    return violations;
}

TEST(PendingRule, MarkFromTheCompletionRoutineCountsWhateverTheTiming) {
    for (int run = 0; run < 50; ++run) {
        EXPECT_TRUE(PassThrough(true).empty()) << run;
    }
}

TEST(PendingRule, PendingPassedUpWithoutAnyMarkIsReported) {
    std::vector<host::Violation> violations = PassThrough(false);
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, host::rule::PendingNotMarked);
}

} // namespace
