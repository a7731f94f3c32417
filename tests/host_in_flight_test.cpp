// What the host tells a watchdog about requests and threads still in flight.
#include "support/host_fixture.h"

#include <host/host.h>

#include <gtest/gtest.h>

namespace {

using velt::test::HostTest;
using velt::test::TestDriver;

using HostInFlight = HostTest;

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(HostInFlight, NamesTheDeviceDriverAndCodesWhereAnIrpIsHeld) {
    PIRP held = NULL;
    {
        TestDriver driver(u"stuckdrv");
        PDEVICE_OBJECT device = driver.CreateDevice([&held](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            held = irp;
            return STATUS_PENDING;
        });
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        ASSERT_NE(nullptr, irp);
        std::vector<std::string> before = host::IrpsInFlight();
        ASSERT_EQ(1u, before.size());
        EXPECT_NE(std::string::npos, before[0].find(" not sent")) << before[0];

        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, KeepIrp, NULL, TRUE, TRUE, TRUE);
        ASSERT_EQ(STATUS_PENDING, IofCallDriver(device, irp));
        std::vector<std::string> inFlight = host::IrpsInFlight();
        ASSERT_EQ(1u, inFlight.size());
        EXPECT_NE(std::string::npos, inFlight[0].find("(stuckdrv) major 15 minor 0"))
            << inFlight[0];

        held->IoStatus.Status = STATUS_CANCELLED;
        IofCompleteRequest(held, IO_NO_INCREMENT);
        IoFreeIrp(irp);
        EXPECT_TRUE(host::IrpsInFlight().empty());
    }
}

VOID NTAPI WaitForRelease(PVOID context) {
    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, NULL);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(HostInFlight, NamesEachLiveSystemThread) {
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    HANDLE handle = NULL;
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                                   WaitForRelease, &release));
    ZwClose(handle);
    std::vector<std::string> threads = host::SystemThreadsAlive();
    ASSERT_EQ(1u, threads.size());
    EXPECT_EQ(0u, threads[0].find("thread ")) << threads[0];
    EXPECT_NE(std::string::npos, threads[0].find(", start routine ")) << threads[0];
    KeSetEvent(&release, 0, FALSE);
    host::JoinSystemThreads();
    EXPECT_TRUE(host::SystemThreadsAlive().empty());
}

} // namespace
