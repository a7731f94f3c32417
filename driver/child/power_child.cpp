// Power handling of both children. A child is the bottom of its stack and has no hardware of its
// own, so every power request ends here: the power manager's bookkeeping is kept straight,
// queries and sets are accepted, wait-wake is refused. Nothing is recorded in the extension.
// Every handler runs at up to DISPATCH_LEVEL, completes the IRP and returns its final status.
#include "child.h"

// Minor codes 0 to 3; the router sends every other minor code to ChildPowerDefault.
PDRIVER_DISPATCH const ChildPowerHandlers[CHILD_POWER_HANDLER_COUNT] = {
    ChildWaitWake,     // IRP_MN_WAIT_WAKE
    ChildPowerDefault, // IRP_MN_POWER_SEQUENCE
    ChildSetPower,     // IRP_MN_SET_POWER
    ChildQueryPower,   // IRP_MN_QUERY_POWER
};

// IRP_MN_WAIT_WAKE: a child never arms for wake, so no wait-wake IRP stays pending on it.
NTSTATUS NTAPI ChildWaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_NOT_SUPPORTED;
}

// IRP_MN_POWER_SEQUENCE and every minor code above IRP_MN_QUERY_POWER: the request keeps the
// status it came with.
NTSTATUS NTAPI ChildPowerDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    NTSTATUS status = Irp->IoStatus.Status;
    PoStartNextPowerIrp(Irp);
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// IRP_MN_SET_POWER: a new device power state is reported to the power manager; a system power
// state needs nothing more.
NTSTATUS NTAPI ChildSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.Power.Type == DevicePowerState) {
        PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// IRP_MN_QUERY_POWER: a child never vetoes a power change.
NTSTATUS NTAPI ChildQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
