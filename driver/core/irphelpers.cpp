// Handing requests down the FDO's stack and taking them back.
#include "driver.h"

// Any level its caller may pass the request on at. A child has nothing below it, so a request
// without a route of its own ends at the child with the status it carries.
NTSTATUS NTAPI PassDownIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_OBJECT lower = ExtensionOf(DeviceObject)->LowerDeviceObject;
    if (lower == NULL) {
        return CompleteWithExistingStatus(Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(lower, Irp);
}

// PASSIVE_LEVEL only: blocks until the lower stack has finished with the request. The caller
// owns the IRP again on return and must complete it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnForwardComplete, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

// Up to DISPATCH_LEVEL: wakes the waiter and keeps the IRP from completing further.
NTSTATUS NTAPI OnForwardComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CompleteWithExistingStatus(PIRP Irp) {
    NTSTATUS status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Only kernel components send IRP_MJ_INTERNAL_DEVICE_CONTROL. An IRP_MJ_DEVICE_CONTROL may come
// from a program: its Argument1 is then an output length the program chose and its UserBuffer
// one of the program's addresses, reachable (if at all) only in the program's own thread. Any
// IRQL.
BOOLEAN IsInternalRequest(PIO_STACK_LOCATION Stack) {
    return Stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
}
