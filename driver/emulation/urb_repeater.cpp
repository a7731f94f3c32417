// The URB repeater: a child's transfer (and the vendor child's class request) travels to the
// physical controller in an IRP of the child's own, carrying the very same URB, and the child's
// request completes when that IRP comes back.
#include "urb_child.h"

#include "../core/log.h"

LONG volatile InputFrameCounter = 0;

namespace {

constexpr ULONG FRAME_COUNTER_BYTE = 7;

// Failures that say the device or the FDO is going away: the USB 3.0 stack's and the USB 2.0
// stack's word for a device that left, and the FDO's while it is being removed. Reporting them
// as data would feed the caller an endless, immediate stream of fake reports until the child
// goes.
const NTSTATUS GOING_AWAY_STATUSES[] = {
    STATUS_NO_SUCH_DEVICE,
    STATUS_DEVICE_NOT_CONNECTED,
    STATUS_DELETE_PENDING,
};

BOOLEAN IsGoingAway(NTSTATUS Status) {
    for (NTSTATUS goingAway : GOING_AWAY_STATUSES) {
        if (Status == goingAway) {
            return TRUE;
        }
    }
    return FALSE;
}

constexpr ULONG FAILED_TRANSFER_LENGTH = 32;

// While a child's request is repeated, its IRP's driver context holds the repeated IRP and the
// count of the two parties that may still touch it: the repeated IRP's completion, and the
// cancellation side (the child IRP's cancel routine, or the repeater itself when the request was
// cancelled before the routine was set). Whoever drops the count to zero finishes the request.
constexpr ULONG CONTEXT_REPEATED_IRP = 0;
constexpr ULONG CONTEXT_SHARES = 1;
constexpr LONG REPEATER_SHARES = 2;
// From its arrival on, the request's order number among the child's repeated requests, which a
// stop's hold keeps. The last slot is the hold's.
constexpr ULONG CONTEXT_SEQUENCE = 2;

LONG volatile* SharesOf(PIRP ChildIrp) {
    return reinterpret_cast<LONG volatile*>(&ChildIrp->Tail.Overlay.DriverContext[CONTEXT_SHARES]);
}

PIRP RepeatedIrpOf(PIRP ChildIrp) {
    return static_cast<PIRP>(ChildIrp->Tail.Overlay.DriverContext[CONTEXT_REPEATED_IRP]);
}

VOID FinishRepeatedRequest(PIRP Repeated);

// Drops one party's share of a repeated request; the last one finishes it.
VOID DropShare(PIRP ChildIrp) {
    PIRP repeated = RepeatedIrpOf(ChildIrp);
    if (InterlockedDecrement(SharesOf(ChildIrp)) == 0) {
        FinishRepeatedRequest(repeated);
    }
}

// Cancel routine of a child's repeated request, DISPATCH_LEVEL with the cancel spin lock held:
// the caller above gave up on it, so the transfer at the controller's stack is cancelled too.
// The child's IRP completes when the repeated IRP comes back.
VOID NTAPI RepeaterCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    IoCancelIrp(RepeatedIrpOf(Irp));
    DropShare(Irp);
}

const CHILD_PROFILE* ProfileOf(PDEVICE_EXTENSION ChildExtension) {
    return ChildExtension->DeviceKind == DEVICE_KIND_VENDOR ? &VendorProfile : &GamepadProfile;
}

PDEVICE_EXTENSION FdoExtensionOfChild(PDEVICE_EXTENSION ChildExtension) {
    return ExtensionOf(ChildExtension->ParentFdo);
}

PURB UrbOf(PIRP ChildIrp) {
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(ChildIrp)->Parameters.Others.Argument1);
}

// The buffer length of a repeated URB: a transfer's or a class request's, at the same place in
// both layouts.
static_assert(FIELD_OFFSET(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) ==
                  FIELD_OFFSET(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength),
              "a class request keeps its length where a transfer does");
PULONG TransferLengthOf(PURB Urb) {
    if (Urb->UrbHeader.Function == URB_FUNCTION_CLASS_INTERFACE) {
        return &Urb->UrbControlVendorClassRequest.TransferBufferLength;
    }
    return &Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
}

// The child's own pipe handle for the transfer's direction, as the caller was handed it.
VOID RestoreEmulatedPipe(struct _URB_BULK_OR_INTERRUPT_TRANSFER* Transfer,
                         const CHILD_PROFILE* Profile) {
    BOOLEAN in = (Transfer->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    const EMULATED_PIPE* pipe =
        &Profile->Emulation->Interface.Pipes[in ? EMULATED_IN_PIPE : EMULATED_OUT_PIPE];
    Transfer->PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(pipe->PipeHandle);
}

// A transfer has come back: the failure rule, the frame counter and the emulated pipe handle.
VOID FinishTransfer(PIRP ChildIrp, PURB Urb, ULONG RequestedLength, const CHILD_PROFILE* Profile) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &Urb->UrbBulkOrInterruptTransfer;
    BOOLEAN in = (transfer->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    NTSTATUS status = ChildIrp->IoStatus.Status;
    if (status != STATUS_SUCCESS) {
        VELT_ERROR("%sIOCTLRepeaterComplete : URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER : %s status "
                   "is 0x%X %s  Length  is 0x%X \n",
                   Profile->Prefix, in ? "IN" : "OUT", status, StatusName(status),
                   transfer->TransferBufferLength);
        // The caller reads the length it is told from its own buffer: a failed transfer counts
        // as 32 bytes, but never as more than that buffer holds.
        // A caller that cancelled its request learns that it was cancelled.
        // A failure passed on carries no data.
        if (!IsGoingAway(status) && !ReadFlag(&ChildIrp->Cancel)) {
            ChildIrp->IoStatus.Status = STATUS_SUCCESS;
            ChildIrp->IoStatus.Information = 0;
            transfer->TransferBufferLength =
                RequestedLength < FAILED_TRANSFER_LENGTH ? RequestedLength : FAILED_TRANSFER_LENGTH;
        } else {
            if (!IsGoingAway(status)) {
                ChildIrp->IoStatus.Status = STATUS_CANCELLED;
                Urb->UrbHeader.Status = USBD_STATUS_CANCELED;
            }
            ChildIrp->IoStatus.Information = 0;
            transfer->TransferBufferLength = 0;
        }
    }
    // Only a report that the caller receives as a success steps the counter.
    if (in && Profile->AddsFrameCounter && NT_SUCCESS(ChildIrp->IoStatus.Status)) {
        UCHAR counter = TakeInputFrameCounter();
        PVOID data = UrbTransferBuffer(transfer->TransferBuffer, transfer->TransferBufferMDL);
        // Byte 7 only where the caller's buffer and the returned report both reach it.
        if (data != NULL && RequestedLength > FRAME_COUNTER_BYTE &&
            transfer->TransferBufferLength > FRAME_COUNTER_BYTE) {
            static_cast<PUCHAR>(data)[FRAME_COUNTER_BYTE] += counter;
        }
    }
    RestoreEmulatedPipe(transfer, Profile);
}

// A transfer's pipe is the physical controller's, by direction alone; up to DISPATCH_LEVEL.
VOID PointAtPhysicalPipe(PDEVICE_EXTENSION FdoExtension,
                         struct _URB_BULK_OR_INTERRUPT_TRANSFER* Transfer) {
    BOOLEAN in = (Transfer->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    Transfer->PipeHandle =
        ReadPublished(in ? &FdoExtension->InterruptInPipe[0] : &FdoExtension->InterruptOutPipe[0]);
}

// Enters a child's request in the FDO's list of those at the controller's stack, unless a stop
// began holding since the FDO let it pass: it then passes the FDO again (to go down, wait or
// end). A transfer takes the pipe published now, under the same lock, so that no pipe handle
// older than the last stop goes down, and the stop waits for the send (SendDone) before it
// cancels what is listed and goes down itself. Up to DISPATCH_LEVEL.
BOOLEAN ListSentTransfer(PDEVICE_EXTENSION FdoExtension, PIRP ChildIrp) {
    KIRQL irql;
    KeAcquireSpinLock(&FdoExtension->HeldTransfersLock, &irql);
    BOOLEAN listed = !OvertakenByStop(FdoExtension, ChildIrp);
    if (listed) {
        PURB urb = UrbOf(ChildIrp);
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            PointAtPhysicalPipe(FdoExtension, &urb->UrbBulkOrInterruptTransfer);
        }
        InsertTailList(&FdoExtension->SentTransfers, &ChildIrp->Tail.Overlay.ListEntry);
        if (FdoExtension->SendsInProgress++ == 0) {
            KeClearEvent(&FdoExtension->SendsDone);
        }
    }
    KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
    return listed;
}

// A listed request's IoCallDriver has returned; up to DISPATCH_LEVEL.
VOID SendDone(PDEVICE_EXTENSION FdoExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&FdoExtension->HeldTransfersLock, &irql);
    if (--FdoExtension->SendsInProgress == 0) {
        KeSetEvent(&FdoExtension->SendsDone, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
}

// Takes a child's request that came back out of that list; up to DISPATCH_LEVEL.
VOID UnlistSentTransfer(PDEVICE_EXTENSION FdoExtension, PIRP ChildIrp) {
    KIRQL irql;
    KeAcquireSpinLock(&FdoExtension->HeldTransfersLock, &irql);
    RemoveEntryList(&ChildIrp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
}

// Takes a share of a repeated request that is not finishing yet, so that its repeated IRP stays
// while the caller uses it; FALSE when the last share is already gone.
BOOLEAN TakeShare(PIRP ChildIrp) {
    LONG shares = InterlockedCompareExchange(SharesOf(ChildIrp), 0, 0);
    while (shares != 0) {
        LONG seen = InterlockedCompareExchange(SharesOf(ChildIrp), shares + 1, shares);
        if (seen == shares) {
            return TRUE;
        }
        shares = seen;
    }
    return FALSE;
}

// Sends the child's request to the top of the parent FDO's stack; see IOCTLRepeatRequest.
NTSTATUS SendRepeatedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// A request that comes back failed while the FDO holds its children's requests (the stop
// cancelled it, or the stopped device refused it) waits again, with the length its caller gave,
// instead of ending; one that a stop overtook on its way down goes down again once the restart
// is over (or the stop was cancelled, or the device is going: the stack below then ends it). Not
// one that its caller cancelled. FALSE: the request is to be finished with its status.
BOOLEAN RetryReturnedRequest(PIRP ChildIrp, NTSTATUS Status, ULONG RequestedLength,
                             PDEVICE_EXTENSION ChildExtension) {
    if (NT_SUCCESS(Status) || ReadFlag(&ChildIrp->Cancel)) {
        return FALSE;
    }
    PULONG length = TransferLengthOf(UrbOf(ChildIrp));
    ULONG returnedLength = *length;
    *length = RequestedLength;
    switch (HoldChildTransfer(FdoExtensionOfChild(ChildExtension), ChildIrp, TRUE)) {
    case TRANSFER_SEND:
        RepeatHeldTransfer(ChildIrp);
        return TRUE;
    case TRANSFER_TAKEN:
        return TRUE;
    default:
        *length = returnedLength;
        return FALSE;
    }
}

} // namespace

LONG TransferSequenceOf(PIRP ChildIrp) {
    return static_cast<LONG>(
        reinterpret_cast<LONG_PTR>(ChildIrp->Tail.Overlay.DriverContext[CONTEXT_SEQUENCE]));
}

// Up to DISPATCH_LEVEL: a held request goes down again.
VOID RepeatHeldTransfer(PIRP ChildIrp) {
    SendRepeatedRequest(IoGetCurrentIrpStackLocation(ChildIrp)->DeviceObject, ChildIrp);
}

VOID CancelSentTransfers(PDEVICE_EXTENSION FdoExtension) {
    // The FDO holds, so nothing is listed any more; a send under way ends soon, also in a
    // completion routine that sends its request again (that one waits with the held ones).
    KeWaitForSingleObject(&FdoExtension->SendsDone, Executive, KernelMode, FALSE, NULL);
    // Moved to a list of our own, each request is taken off it (linked to itself, so that its
    // return changes nothing) and cancelled below while a share keeps its repeated IRP.
    LIST_ENTRY cancelling;
    KIRQL irql;
    KeAcquireSpinLock(&FdoExtension->HeldTransfersLock, &irql);
    if (IsListEmpty(&FdoExtension->SentTransfers)) {
        KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
        return;
    }
    cancelling.Flink = FdoExtension->SentTransfers.Flink;
    cancelling.Blink = FdoExtension->SentTransfers.Blink;
    cancelling.Flink->Blink = &cancelling;
    cancelling.Blink->Flink = &cancelling;
    InitializeListHead(&FdoExtension->SentTransfers);
    while (!IsListEmpty(&cancelling)) {
        PLIST_ENTRY entry = RemoveHeadList(&cancelling);
        InitializeListHead(entry);
        PIRP childIrp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (!TakeShare(childIrp)) {
            continue;
        }
        KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
        IoCancelIrp(RepeatedIrpOf(childIrp));
        DropShare(childIrp);
        KeAcquireSpinLock(&FdoExtension->HeldTransfersLock, &irql);
    }
    KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
}

// Up to DISPATCH_LEVEL: a held request ends with Status and no data, the child's own pipe handle
// back in a transfer; then the child's remove lock is released.
VOID EndHeldTransfer(PIRP ChildIrp, NTSTATUS Status) {
    PDEVICE_EXTENSION childExtension =
        ExtensionOf(IoGetCurrentIrpStackLocation(ChildIrp)->DeviceObject);
    PURB urb = UrbOf(ChildIrp);
    *TransferLengthOf(urb) = 0;
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        RestoreEmulatedPipe(&urb->UrbBulkOrInterruptTransfer, ProfileOf(childExtension));
    }
    ChildIrp->IoStatus.Status = Status;
    ChildIrp->IoStatus.Information = 0;
    IoCompleteRequest(ChildIrp, IO_NO_INCREMENT);
    IoReleaseRemoveLock(&childExtension->RemoveLock, ChildIrp);
}

UCHAR TakeInputFrameCounter() {
    LONG current = InterlockedCompareExchange(&InputFrameCounter, 0, 0);
    for (;;) {
        LONG next = current + FRAME_COUNTER_STEP;
        if (next == FRAME_COUNTER_WRAP) {
            next = 0;
        }
        LONG seen = InterlockedCompareExchange(&InputFrameCounter, next, current);
        if (seen == current) {
            return static_cast<UCHAR>(current);
        }
        current = seen;
    }
}

// Sends the child's request to the top of the parent FDO's stack, up to DISPATCH_LEVEL, or
// leaves it with the FDO while the FDO holds its children's requests. The caller holds the
// child's remove lock for the IRP; it stays held until the request comes back, so the FDO's
// removal can wait for every repeated request before it deletes the child. Owns the child's IRP
// on return: STATUS_PENDING, or the IRP completed with STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS IOCTLRepeatRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION fdo = FdoExtensionOfChild(ExtensionOf(DeviceObject));
    Irp->Tail.Overlay.DriverContext[CONTEXT_SEQUENCE] = reinterpret_cast<PVOID>(
        static_cast<LONG_PTR>(InterlockedIncrement(&fdo->TransferSequence)));
    if (HoldChildTransfer(fdo, Irp, FALSE) == TRANSFER_TAKEN) {
        return STATUS_PENDING;
    }
    return SendRepeatedRequest(DeviceObject, Irp);
}

namespace {

// The repeated IRP of a child's request, not yet addressed, its shares taken; NULL without one.
PIRP AllocateRepeatedIrp(PDEVICE_OBJECT Target, PIRP Irp) {
    PIRP repeated = IoAllocateIrp(static_cast<CCHAR>(Target->StackSize + 1), FALSE);
    if (repeated != NULL) {
        Irp->Tail.Overlay.DriverContext[CONTEXT_REPEATED_IRP] = repeated;
        *SharesOf(Irp) = REPEATER_SHARES;
    }
    return repeated;
}

// Addresses the repeated IRP to Target with the child's request.
VOID AddressRepeatedIrp(PDEVICE_OBJECT Target, PIRP Repeated, PIRP Irp,
                        PDEVICE_EXTENSION ChildExtension) {
    // The repeater's own location: the target, the child's IRP and extension, and the buffer
    // size the child's caller gave (the physical stack rewrites TransferBufferLength).
    PIO_STACK_LOCATION childStack = IoGetCurrentIrpStackLocation(Irp);
    ULONG requestedLength = 0;
    if (childStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        requestedLength = *TransferLengthOf(UrbOf(Irp));
    }
    PIO_STACK_LOCATION own = IoGetNextIrpStackLocation(Repeated);
    own->DeviceObject = Target;
    own->Parameters.Others.Argument2 = Irp;
    own->Parameters.Others.Argument3 =
        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(requestedLength));
    own->Parameters.Others.Argument4 = ChildExtension;
    IoSetNextIrpStackLocation(Repeated);

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Repeated);
    RtlCopyMemory(next, childStack, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
    IoSetCompletionRoutine(Repeated, IOCTLRepeaterComplete, NULL, TRUE, TRUE, TRUE);
    Repeated->IoStatus.Status = STATUS_NOT_SUPPORTED;
    Repeated->IoStatus.Information = 0;
}

// Sends the listed request's repeated IRP; the child's IRP becomes cancellable.
VOID CallRepeated(PDEVICE_OBJECT Target, PIRP Repeated, PIRP Irp) {
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, RepeaterCancel);
    // Cancelled before the routine was set: the routine will not run, so its part falls to us
    // once the repeated IRP is on its way.
    BOOLEAN cancelled = ReadFlag(&Irp->Cancel) && IoSetCancelRoutine(Irp, NULL) != NULL;
    IoCallDriver(Target, Repeated);
    if (cancelled) {
        IoCancelIrp(Repeated);
        DropShare(Irp);
    }
}

NTSTATUS SendRepeatedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    PDEVICE_EXTENSION fdo = FdoExtensionOfChild(extension);
    for (;;) {
        PDEVICE_OBJECT target = IoGetAttachedDeviceReference(extension->ParentFdo);
        PIRP repeated = AllocateRepeatedIrp(target, Irp);
        if (repeated == NULL) {
            VELT_ERROR("%s", ProfileOf(extension)->AllocationFailedLine);
            ObDereferenceObject(target);
            EndHeldTransfer(Irp, STATUS_INSUFFICIENT_RESOURCES);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (ListSentTransfer(fdo, Irp)) {
            // The request may come back, and the devices go, before IoCallDriver returns: the
            // FDO's object stays until its count of sends is done with.
            PDEVICE_OBJECT parent = extension->ParentFdo;
            ObReferenceObject(parent);
            AddressRepeatedIrp(target, repeated, Irp, extension);
            CallRepeated(target, repeated, Irp);
            SendDone(fdo);
            ObDereferenceObject(parent);
            return STATUS_PENDING;
        }
        Irp->Tail.Overlay.DriverContext[CONTEXT_REPEATED_IRP] = NULL;
        IoFreeIrp(repeated);
        ObDereferenceObject(target);
        if (HoldChildTransfer(fdo, Irp, TRUE) == TRANSFER_TAKEN) {
            return STATUS_PENDING;
        }
    }
}

} // namespace

// Completion of a repeated request, up to DISPATCH_LEVEL. The repeated IRP stays ours (hence
// STATUS_MORE_PROCESSING_REQUIRED) until the child's request is finished, here or by a cancel
// routine still using it.
NTSTATUS NTAPI IOCTLRepeaterComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    auto* childIrp =
        static_cast<PIRP>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument2);
    ObDereferenceObject(DeviceObject);
    // A cancel routine taken off before it ran never will: its share goes with ours.
    if (IoSetCancelRoutine(childIrp, NULL) != NULL) {
        InterlockedDecrement(SharesOf(childIrp));
    }
    DropShare(childIrp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

namespace {

// The end of a repeated request, up to DISPATCH_LEVEL: carries the result into the child's IRP,
// frees the repeated IRP, completes the child's IRP and then releases the child's remove lock.
VOID FinishRepeatedRequest(PIRP Irp) {
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(Irp);
    auto* childIrp = static_cast<PIRP>(own->Parameters.Others.Argument2);
    auto* childExtension = static_cast<PDEVICE_EXTENSION>(own->Parameters.Others.Argument4);
    auto requestedLength =
        static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(own->Parameters.Others.Argument3));
    const CHILD_PROFILE* profile = ProfileOf(childExtension);
    UnlistSentTransfer(FdoExtensionOfChild(childExtension), childIrp);
    IO_STATUS_BLOCK result = Irp->IoStatus;
    IoFreeIrp(Irp);

    if (RetryReturnedRequest(childIrp, result.Status, requestedLength, childExtension)) {
        return;
    }
    if (result.Status != STATUS_NOT_SUPPORTED) {
        childIrp->IoStatus = result;
    }

    PIO_STACK_LOCATION childStack = IoGetCurrentIrpStackLocation(childIrp);
    if (childStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        auto* urb = static_cast<PURB>(childStack->Parameters.Others.Argument1);
        NTSTATUS status = childIrp->IoStatus.Status;
        switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_CONTROL_TRANSFER: {
            struct _URB_CONTROL_TRANSFER* transfer = &urb->UrbControlTransfer;
            VELT_ERROR("%sIOCTLRepeaterComplete : URB_FUNCTION_CONTROL_TRANSFER : status is 0x%X "
                       "%s  length is 0x%X\n",
                       profile->Prefix, status, StatusName(status), transfer->TransferBufferLength);
            if (profile->DumpsControlTransfers) {
                DumpTransferBuffer(transfer->TransferBuffer, transfer->TransferBufferMDL,
                                   transfer->TransferBufferLength);
            }
            break;
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            FinishTransfer(childIrp, urb, requestedLength, profile);
            break;
        case URB_FUNCTION_CLASS_INTERFACE:
            VELT_ERROR("%sIOCTLRepeaterComplete : URB_FUNCTION_CLASS_INTERFACE : status is 0x%X "
                       "%s  length is 0x%X\n",
                       profile->Prefix, status, StatusName(status),
                       urb->UrbControlVendorClassRequest.TransferBufferLength);
            break;
        default:
            break;
        }
    }

    IoCompleteRequest(childIrp, IO_NO_INCREMENT);
    IoReleaseRemoveLock(&childExtension->RemoveLock, childIrp);
}

} // namespace
