// The FDO's power policy: every power request goes down to the controller's stack; a system
// set-power request becomes a device set-power request for this stack (D0 on return to the
// working state, the state the capabilities map for a sleeping state), and the device state
// reached is recorded in DevicePowerState.
#include "fdo.h"

#include "../core/log.h"

namespace {

constexpr ULONG SYSTEM_POWER_CONTEXT_TAG = PoolTag("silb");

// Carries a system set-power request across the device request it waits for.
typedef struct _SYSTEM_POWER_CONTEXT {
    PDEVICE_EXTENSION Extension;
    PIRP SystemIrp;
} SYSTEM_POWER_CONTEXT, *PSYSTEM_POWER_CONTEXT;

IO_COMPLETION_ROUTINE SysPwrUpCompl;
IO_COMPLETION_ROUTINE SysPwrDnCompl;
IO_COMPLETION_ROUTINE SetDPSPwrUpCompl;
REQUEST_POWER_COMPLETE SysDevPwrCallback;

// Any power request the FDO has no policy for, PASSIVE_LEVEL. Lets the next power request start
// and hands this one down; the lower stack owns it on return.
NTSTATUS FdoPowerPassDown(PDEVICE_EXTENSION Extension, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = PoCallDriver(Extension->LowerDeviceObject, Irp);
    IoReleaseRemoveLock(&Extension->RemoveLock, NULL);
    return status;
}

// IRP_MN_SET_POWER for a system state, PASSIVE_LEVEL. The lower stack sees the request first;
// the completion routine decides on the device request and keeps the remove lock until then.
// Pending on return.
NTSTATUS SetSPS(PDEVICE_EXTENSION Extension, PIRP Irp) {
    VELT_TRACE("VELTDRIVER : SetSPS()\n");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PIO_COMPLETION_ROUTINE routine = stack->Parameters.Power.State.SystemState == PowerSystemWorking
                                         ? SysPwrUpCompl
                                         : SysPwrDnCompl;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, routine, NULL, TRUE, TRUE, TRUE);
    IoMarkIrpPending(Irp);
    NTSTATUS status = PoCallDriver(Extension->LowerDeviceObject, Irp);
    VELT_TRACE("VELTDRIVER : -> SetSPS(): PoRequestPowerIrp() returned status 0x%X (%s)\n", status,
               StatusName(status));
    return STATUS_PENDING;
}

// The S0 request on its way back up, up to DISPATCH_LEVEL. Asks for D0 when the device is not
// there yet, without waiting for it: the system request completes now, and with the lower
// drivers' status even when D0 cannot be asked for, since a system set-power request must not
// be failed.
NTSTATUS NTAPI SysPwrUpCompl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status) && extension->DevicePowerState != PowerDeviceD0) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        VELT_TRACE("VELTDRIVER : SysPwrUpCompl() S%d -> D%d\n",
                   static_cast<int>(stack->Parameters.Power.State.SystemState) - 1, 0);
        POWER_STATE state;
        state.DeviceState = PowerDeviceD0;
        NTSTATUS status =
            PoRequestPowerIrp(extension->ParentFdo, IRP_MN_SET_POWER, state, NULL, NULL, NULL);
        VELT_TRACE("VELTDRIVER : SysPwrUpCompl : PoRequestPowerIrp returned status 0x%X %s\n",
                   status, StatusName(status));
    }
    PoStartNextPowerIrp(Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, NULL);
    return STATUS_SUCCESS;
}

// A sleeping, hibernate or shutdown request on its way back up, up to DISPATCH_LEVEL. When the
// device must change state, the system request stays here until SysDevPwrCallback finishes it;
// otherwise (or when the device request cannot be made) it completes now with the lower drivers'
// status: a system set-power request must not be failed, the device just stays where it is.
NTSTATUS NTAPI SysPwrDnCompl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    SYSTEM_POWER_STATE systemState =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
    DEVICE_POWER_STATE deviceState = extension->DeviceCapabilities.DeviceState[systemState];
    VELT_TRACE("VELTDRIVER : SysPwrDnCompl() S%d -> D%d\n", static_cast<int>(systemState) - 1,
               static_cast<int>(deviceState) - 1);
    if (NT_SUCCESS(Irp->IoStatus.Status) && extension->DevicePowerState != deviceState) {
        auto* context = static_cast<PSYSTEM_POWER_CONTEXT>(ExAllocatePoolWithTag(
            NonPagedPoolType, sizeof(SYSTEM_POWER_CONTEXT), SYSTEM_POWER_CONTEXT_TAG));
        if (context != NULL) {
            context->Extension = extension;
            context->SystemIrp = Irp;
            POWER_STATE state;
            state.DeviceState = deviceState;
            NTSTATUS status = PoRequestPowerIrp(extension->ParentFdo, IRP_MN_SET_POWER, state,
                                                SysDevPwrCallback, context, NULL);
            VELT_TRACE("VELTDRIVER : SysPwrDnCompl : PoRequestPowerIrp returned status 0x%X  %s\n",
                       status, StatusName(status));
            if (NT_SUCCESS(status)) {
                return STATUS_MORE_PROCESSING_REQUIRED;
            }
            ExFreePool(context);
        }
    }
    PoStartNextPowerIrp(Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, NULL);
    return STATUS_SUCCESS;
}

// The device request made by SysPwrDnCompl has come back, up to DISPATCH_LEVEL. Completes the
// held system request with its own status: a device that did not reach its state does not stop
// the system from sleeping.
VOID NTAPI SysDevPwrCallback(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                             POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    auto* context = static_cast<PSYSTEM_POWER_CONTEXT>(Context);
    PDEVICE_EXTENSION extension = context->Extension;
    PIRP systemIrp = context->SystemIrp;
    VELT_TRACE(": SysDevPwrCallback() sps_irp %ph,  status 0x%X (%s)\n", systemIrp,
               IoStatus->Status, StatusName(IoStatus->Status));
    ExFreePool(context);
    if (systemIrp != NULL) {
        PoStartNextPowerIrp(systemIrp);
        IofCompleteRequest(systemIrp, IO_NO_INCREMENT);
        IoReleaseRemoveLock(&extension->RemoveLock, NULL);
    }
}

// IRP_MN_SET_POWER for a device state, PASSIVE_LEVEL. Powering down records the new state before
// the lower stack sees the request; powering up records it only once the lower stack is in D0
// (SetDPSPwrUpCompl). The lower stack owns the request on return.
NTSTATUS SetDPS(PDEVICE_EXTENSION Extension, PIRP Irp) {
    DEVICE_POWER_STATE deviceState =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
    NTSTATUS status;
    NTSTATUS result;
    if (deviceState != PowerDeviceD0) {
        VELT_TRACE("VELTDRIVER :  SetDPS : currently at D%d,  power goes to D%d\n",
                   static_cast<int>(Extension->DevicePowerState) - 1,
                   static_cast<int>(deviceState) - 1);
        POWER_STATE state;
        state.DeviceState = deviceState;
        PoSetPowerState(Extension->ParentFdo, DevicePowerState, state);
        Extension->DevicePowerState = deviceState;
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        status = PoCallDriver(Extension->LowerDeviceObject, Irp);
        IoReleaseRemoveLock(&Extension->RemoveLock, NULL);
        result = status;
    } else {
        VELT_TRACE("VELTDRIVER : SetDPS(): currently at D%d,  power goes to D0\n",
                   static_cast<int>(Extension->DevicePowerState) - 1);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, SetDPSPwrUpCompl, Extension, TRUE, TRUE, TRUE);
        IoMarkIrpPending(Irp);
        status = PoCallDriver(Extension->LowerDeviceObject, Irp);
        result = STATUS_PENDING;
    }
    VELT_TRACE("VELTDRIVER : SetDPS : PoCallDriver returned status 0x%X %s\n\n", status,
               StatusName(status));
    return result;
}

// The D0 request on its way back up, up to DISPATCH_LEVEL. The device is in D0 only if the lower
// stack says so; a failed power-up leaves the recorded state as it was. The IRP completes on.
NTSTATUS NTAPI SetDPSPwrUpCompl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    auto* extension = static_cast<PDEVICE_EXTENSION>(Context);
    VELT_TRACE("VELTDRIVER : SetDPSPwrUpCompl : status 0x%X %s\n", Irp->IoStatus.Status,
               StatusName(Irp->IoStatus.Status));
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;
        PoSetPowerState(DeviceObject, DevicePowerState, state);
        extension->DevicePowerState = state.DeviceState;
    }
    PoStartNextPowerIrp(Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, NULL);
    return STATUS_SUCCESS;
}

} // namespace

// IRP_MJ_POWER on the FDO, PASSIVE_LEVEL (the FDO is DO_POWER_PAGABLE). Chooses the routine by
// the request; a request that arrives during removal is completed here, every other one is owned
// by the lower stack or by this file's completion routines on return.
NTSTATUS NTAPI DispatchPowerFdo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    VELT_TRACE("VELTDRIVER : DispatchPowerFdo()\n");
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    if (!NT_SUCCESS(IoAcquireRemoveLock(&extension->RemoveLock, NULL))) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    POWER_STATE_TYPE type = stack->Parameters.Power.Type;
    if (stack->MinorFunction == IRP_MN_SET_POWER && type == SystemPowerState) {
        return SetSPS(extension, Irp);
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER && type == DevicePowerState) {
        return SetDPS(extension, Irp);
    }
    if (stack->MinorFunction == IRP_MN_QUERY_POWER && type == SystemPowerState) {
        VELT_TRACE("VELTDRIVER : QuerySPS()\n");
    }
    return FdoPowerPassDown(extension, Irp);
}
