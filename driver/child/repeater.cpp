// The PnP repeater of both children: requests that belong to the real device behind a child are
// copied into a new IRP and sent to the top of the parent FDO's stack (the FDO or the highest
// filter above it); the child's IRP stays pending until that IRP comes back. Every line it
// writes is at the error level.
#include "../core/log.h"
#include "child.h"

// Flag 1: when no driver of the parent's stack handles the request, the child's request fails.
const UCHAR NeedsVote[NEEDS_VOTE_ENTRIES] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // IRP_MN_START_DEVICE to 0x0E
    1,                                           // IRP_MN_READ_CONFIG
    1,                                           // IRP_MN_WRITE_CONFIG
    1,                                           // IRP_MN_EJECT
    1,                                           // IRP_MN_SET_LOCK
    0,                                           // IRP_MN_QUERY_ID
    0,                                           // IRP_MN_QUERY_PNP_DEVICE_STATE
    1,                                           // IRP_MN_QUERY_BUS_INFORMATION
    0,                                           // IRP_MN_DEVICE_USAGE_NOTIFICATION
    0,                                           // IRP_MN_SURPRISE_REMOVAL
    1,                                           // IRP_MN_QUERY_LEGACY_BUS_INFORMATION
};

namespace {

// Minor codes past the table have no entry and count as needing a vote.
constexpr UCHAR NEEDS_VOTE_BEYOND_TABLE = 1;

} // namespace

// PASSIVE_LEVEL, with the child's remove lock held for the IRP. Returns STATUS_PENDING once the
// copy is sent (the child's IRP then belongs to OnRepeaterComplete), or
// STATUS_INSUFFICIENT_RESOURCES after completing the child's IRP and releasing the lock.
NTSTATUS RepeatPnpRequest(const CHILD_KIND* Kind, PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    PDEVICE_OBJECT target = IoGetAttachedDeviceReference(extension->ParentFdo);
    // One location more than the target's stack: the repeater's own, which carries what the
    // completion routine needs and makes the target its DeviceObject argument.
    PIRP repeated = IoAllocateIrp(static_cast<CCHAR>(target->StackSize + 1), FALSE);
    if (Kind->RepeaterEntryLine != NULL) {
        VELT_ERROR(Kind->RepeaterEntryLine);
    }
    if (repeated == NULL) {
        VELT_ERROR(Kind->RepeaterAllocationFailedLine);
        ObfDereferenceObject(target);
        IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoSetNextIrpStackLocation(repeated);
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(repeated);
    own->DeviceObject = target;
    own->Parameters.Others.Argument1 = Irp;
    own->Parameters.Others.Argument2 = extension;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(repeated);
    RtlCopyMemory(next, IoGetCurrentIrpStackLocation(Irp),
                  FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
    UCHAR minor = next->MinorFunction;
    UCHAR needsVote = minor < NEEDS_VOTE_ENTRIES ? NeedsVote[minor] : NEEDS_VOTE_BEYOND_TABLE;
    IoSetCompletionRoutine(repeated, OnRepeaterComplete,
                           reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(needsVote)), TRUE, TRUE,
                           TRUE);
    // As the PnP manager starts its own requests: nobody has handled it yet.
    repeated->IoStatus.Status = STATUS_NOT_SUPPORTED;
    // The copy may complete on another processor before IofCallDriver returns.
    IoMarkIrpPending(Irp);
    IofCallDriver(target, repeated);
    return STATUS_PENDING;
}

// Completion of the repeated IRP, up to DISPATCH_LEVEL in any thread. DeviceObject is the target.
// Completes the child's IRP, frees the repeated one and stops its completion here.
NTSTATUS NTAPI OnRepeaterComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(Irp);
    PIRP childIrp = static_cast<PIRP>(own->Parameters.Others.Argument1);
    PDEVICE_EXTENSION child = static_cast<PDEVICE_EXTENSION>(own->Parameters.Others.Argument2);
    const CHILD_KIND* kind = ChildKindOf(child);
    VELT_ERROR("VELTDRIVER : %s : PnP OnRepeaterComplete : subirp status is 0x%X %s  Information "
               "is 0x%X \n",
               kind->Tag, Irp->IoStatus.Status, StatusName(Irp->IoStatus.Status),
               static_cast<ULONG>(Irp->IoStatus.Information));
    ObfDereferenceObject(DeviceObject);
    if (Irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
        childIrp->IoStatus = Irp->IoStatus;
    } else if (reinterpret_cast<ULONG_PTR>(Context) != 0) {
        VELT_ERROR("VELTDRIVER : %s : PnP OnRepeaterComplete : needs vote, seting main Irp to "
                   "STATUS_UNSUCCESSFUL\n",
                   kind->Tag);
        childIrp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    }
    IoFreeIrp(Irp);
    IofCompleteRequest(childIrp, IO_NO_INCREMENT);
    IoReleaseRemoveLockEx(&child->RemoveLock, childIrp, sizeof(IO_REMOVE_LOCK));
    return STATUS_MORE_PROCESSING_REQUIRED;
}
