// Test-only forwarding module for Wine 8.0 (x64). A copy of veltdriver.sys whose import module
// name is changed from ntoskrnl.exe to veltkrnl.exe loads through it; every import but three is
// forwarded to Wine's ntoskrnl.exe by the export table. The three are those where Wine 8.0 parts
// from Windows: ExInterlockedInsertTailList and PoRequestPowerIrp are stubs that end the driver
// host, and ExInterlockedRemoveHeadList returns the list head of an empty list where Windows
// returns NULL. They are implemented here as Windows documents them; the driver is unchanged.
// Wine sends no power requests, so the driver calls PoRequestPowerIrp only during the test bus's
// sleep and wake cycle.
#include "../kernel.h"

namespace {

// The request PoRequestPowerIrp made, for its completion routine.
struct POWER_REQUEST {
    PDEVICE_OBJECT Device;
    UCHAR MinorFunction;
    POWER_STATE State;
    PREQUEST_POWER_COMPLETE Callback;
    PVOID Context;
};

// Up to DISPATCH_LEVEL: calls the requester's completion function, then frees the IRP, as the
// power manager does.
NTSTATUS NTAPI PowerIrpDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Device);
    POWER_REQUEST* request = static_cast<POWER_REQUEST*>(Context);
    if (request->Callback != NULL) {
        request->Callback(request->Device, request->MinorFunction, request->State, request->Context,
                          &Irp->IoStatus);
    }
    ObDereferenceObject(request->Device);
    ExFreePool(request);
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

// ExInterlockedInsertTailList (Windows documentation): inserts under the spin lock and returns
// the former tail, or NULL when the list was empty.
extern "C" PLIST_ENTRY VeltInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry,
                                          PKSPIN_LOCK Lock) {
    KIRQL irql;
    KeAcquireSpinLock(Lock, &irql);
    PLIST_ENTRY last = ListHead->Blink;
    InsertTailList(ListHead, Entry);
    KeReleaseSpinLock(Lock, irql);
    return last == ListHead ? NULL : last;
}

// ExInterlockedRemoveHeadList (Windows documentation): NULL when the list is empty.
extern "C" PLIST_ENTRY VeltRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    KIRQL irql;
    KeAcquireSpinLock(Lock, &irql);
    PLIST_ENTRY first = NULL;
    if (!IsListEmpty(ListHead)) {
        first = RemoveHeadList(ListHead);
    }
    KeReleaseSpinLock(Lock, irql);
    return first;
}

// PoRequestPowerIrp (Windows documentation): allocates a power IRP, sends it to the top of the
// device's stack and returns STATUS_PENDING; the completion function runs when the stack has
// completed it. Only set-power, query-power and wait-wake requests may be asked for.
extern "C" NTSTATUS VeltRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                        POWER_STATE PowerState,
                                        PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context,
                                        PIRP* Irp) {
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    POWER_REQUEST* request = static_cast<POWER_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_REQUEST), PoolTag("pKlV")));
    if (request == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == NULL) {
        ObDereferenceObject(top);
        ExFreePool(request);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request->Device = DeviceObject;
    ObReferenceObject(DeviceObject);
    request->MinorFunction = MinorFunction;
    request->State = PowerState;
    request->Callback = CompletionFunction;
    request->Context = Context;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
    }
    IoSetCompletionRoutine(irp, PowerIrpDone, request, TRUE, TRUE, TRUE);
    if (Irp != NULL) {
        *Irp = irp;
    }
    PoCallDriver(top, irp);
    ObDereferenceObject(top);
    return STATUS_PENDING;
}

// The image's entry point; a module loaded only for its exports is never started through it.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(Driver);
    UNREFERENCED_PARAMETER(RegistryPath);
    return STATUS_SUCCESS;
}
