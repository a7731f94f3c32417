// The verifier's view of who holds an IRP while completion walks up: a driver gets the IRP back
// in its completion routine, and may let its device go there, as a driver that releases its
// remove lock in the routine lets its removal delete the device.
#include "support/host_fixture.h"

#include <gtest/gtest.h>

namespace {

using velt::test::HostTest;
using velt::test::TestDriver;

IO_COMPLETION_ROUTINE DeleteSetter;

NTSTATUS NTAPI DeleteSetter(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Irp);
    IoDetachDevice(static_cast<PDEVICE_OBJECT>(Context));
    IoDeleteDevice(DeviceObject);
    return STATUS_SUCCESS;
}

class CompletionHold : public HostTest {};

TEST_F(CompletionHold, SetterMayDeleteItsDeviceInItsCompletionRoutine) {
    TestDriver drivers;
    PDEVICE_OBJECT lower = drivers.CreateDevice([](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT upper = drivers.CreateDevice();
    ASSERT_EQ(lower, IoAttachDeviceToDeviceStack(upper, lower));
    drivers.SetHandler(upper, [lower](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, DeleteSetter, lower, TRUE, TRUE, TRUE);
        return IofCallDriver(lower, irp);
    });

    host::IrpResult r = host::SendIrp(upper, STATUS_NOT_SUPPORTED, [](PIRP, PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_READ;
    });

    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_TRUE(host::IsDeleted(upper));
    EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
}

} // namespace
