// Holding the children's repeated requests while the FDO's device is stopped: the USB stack fails
// every request on a stopped device and forgets its configuration, so from a stop's query until
// the restart has selected the configuration again the requests wait here, in their order, and
// then go down with the new pipe handles (kernel "Holding Incoming IRPs When A Device Is
// Paused"). A held request stays cancellable and keeps its child's remove lock.
#include "fdo.h"

namespace {

PIRP IrpOfEntry(PLIST_ENTRY Entry) {
    return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
}

// Whether the request came after the one numbered Sequence; the numbers wrap around.
BOOLEAN CameAfter(PIRP Irp, LONG Sequence) {
    return static_cast<LONG>(static_cast<ULONG>(TransferSequenceOf(Irp)) -
                             static_cast<ULONG>(Sequence)) > 0;
}

// The slot of a child's request's driver context that keeps the count of holds begun when it
// last passed the FDO to go down (the repeater keeps the slots before it).
constexpr ULONG CONTEXT_HOLDS_PASSED = 3;

// The request goes down now; HeldTransfersLock held.
VOID PassTransfer(PDEVICE_EXTENSION FdoExtension, PIRP Irp) {
    Irp->Tail.Overlay.DriverContext[CONTEXT_HOLDS_PASSED] =
        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(FdoExtension->HoldsBegun));
}

// Queues the request behind every older one; HeldTransfersLock held.
VOID InsertInOrder(PDEVICE_EXTENSION FdoExtension, PIRP Irp) {
    LONG sequence = TransferSequenceOf(Irp);
    PLIST_ENTRY at = FdoExtension->HeldTransfers.Blink;
    while (at != &FdoExtension->HeldTransfers && CameAfter(IrpOfEntry(at), sequence)) {
        at = at->Blink;
    }
    InsertHeadList(at, &Irp->Tail.Overlay.ListEntry);
}

// Takes the oldest held request that is not being cancelled, or NULL; HeldTransfersLock held. A
// request whose cancel routine is already on its way is left to it, its entry linked to itself
// so that the routine's removal from the list changes nothing.
PIRP TakeHeldTransfer(PDEVICE_EXTENSION FdoExtension) {
    while (!IsListEmpty(&FdoExtension->HeldTransfers)) {
        PIRP irp = IrpOfEntry(RemoveHeadList(&FdoExtension->HeldTransfers));
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            return irp;
        }
        InitializeListHead(&irp->Tail.Overlay.ListEntry);
    }
    return NULL;
}

// Cancel routine of a held request, DISPATCH_LEVEL with the cancel spin lock held; the device is
// the child.
VOID NTAPI HeldTransferCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PDEVICE_EXTENSION fdo = ExtensionOf(ExtensionOf(DeviceObject)->ParentFdo);
    KIRQL irql;
    KeAcquireSpinLock(&fdo->HeldTransfersLock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&fdo->HeldTransfersLock, irql);
    EndHeldTransfer(Irp, STATUS_CANCELLED);
}

// Sends the held requests down one by one, oldest first, with the pipe handles published now;
// requests that arrive meanwhile queue behind them. A new stop or a removal that comes in between
// ends the release. A release that finds another loop still sending (a stop came and went
// while it had the lock dropped) leaves the draining to it: two loops would take neighbouring
// requests and call down at once, and the device could see them out of order. Called with
// HeldTransfersLock held at Irql, PASSIVE_LEVEL below it; returns with it released.
VOID ReleaseHeldTransfers(PDEVICE_EXTENSION FdoExtension, KIRQL Irql) {
    FdoExtension->TransferHold = TRANSFERS_RELEASING;
    if (FdoExtension->ReleaseRunning) {
        KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, Irql);
        return;
    }
    FdoExtension->ReleaseRunning = TRUE;
    while (FdoExtension->TransferHold == TRANSFERS_RELEASING) {
        PIRP irp = TakeHeldTransfer(FdoExtension);
        if (irp == NULL) {
            FdoExtension->TransferHold = TRANSFERS_FLOW;
            break;
        }
        PassTransfer(FdoExtension, irp);
        KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, Irql);
        RepeatHeldTransfer(irp);
        KeAcquireSpinLock(&FdoExtension->HeldTransfersLock, &Irql);
    }
    FdoExtension->ReleaseRunning = FALSE;
    KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, Irql);
}

// Ends every held request with Status. Called with HeldTransfersLock held at Irql, PASSIVE_LEVEL
// below it, so that the state its caller set and the requests it takes are one step; returns with
// the lock released.
VOID EndHeldTransfers(PDEVICE_EXTENSION FdoExtension, KIRQL Irql, NTSTATUS Status) {
    LIST_ENTRY ended;
    InitializeListHead(&ended);
    PIRP irp;
    while ((irp = TakeHeldTransfer(FdoExtension)) != NULL) {
        InsertTailList(&ended, &irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, Irql);
    while (!IsListEmpty(&ended)) {
        EndHeldTransfer(IrpOfEntry(RemoveHeadList(&ended)), Status);
    }
}

} // namespace

BOOLEAN OvertakenByStop(PDEVICE_EXTENSION FdoExtension, PIRP ChildIrp) {
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(
               ChildIrp->Tail.Overlay.DriverContext[CONTEXT_HOLDS_PASSED])) !=
           FdoExtension->HoldsBegun;
}

// IRP_MN_QUERY_STOP_DEVICE and IRP_MN_STOP_DEVICE, PASSIVE_LEVEL: from now on the children's
// requests wait, also when a restart before this stop is still to select its configuration. A
// device left without a configuration by a failed restart stays so until the next start.
VOID HoldChildTransfers(PDEVICE_EXTENSION FdoExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&FdoExtension->HeldTransfersLock, &irql);
    ++FdoExtension->HoldsBegun;
    if (FdoExtension->TransferHold != TRANSFERS_FAILED) {
        FdoExtension->TransferHold = TRANSFERS_HELD;
    }
    KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
}

// IRP_MN_CANCEL_STOP_DEVICE, PASSIVE_LEVEL: the configuration never changed, and the held
// requests go down; unless a restart before the query is still to select it, which they await.
VOID ResumeChildTransfers(PDEVICE_EXTENSION FdoExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&FdoExtension->HeldTransfersLock, &irql);
    if (FdoExtension->TransferHold != TRANSFERS_HELD || FdoExtension->PendingSelections != 0) {
        if (FdoExtension->TransferHold == TRANSFERS_HELD) {
            FdoExtension->TransferHold = TRANSFERS_RESTARTED;
        }
        KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
        return;
    }
    ReleaseHeldTransfers(FdoExtension, irql);
}

// PASSIVE_LEVEL, before a start queues its selection of the configuration: a stopped FDO, or
// one whose last restart failed, is started again and its requests await that selection.
VOID ExpectSelection(PDEVICE_EXTENSION FdoExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&FdoExtension->HeldTransfersLock, &irql);
    ++FdoExtension->PendingSelections;
    if (FdoExtension->TransferHold == TRANSFERS_HELD ||
        FdoExtension->TransferHold == TRANSFERS_FAILED) {
        FdoExtension->TransferHold = TRANSFERS_RESTARTED;
    }
    KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
}

// PASSIVE_LEVEL: a start's selection ended with Status (or was never queued). Once the last one
// of a restart is done, the held requests go down with the new pipe handles; if it failed, the
// restart failed. A stop that came after that start keeps them held for its own restart.
VOID SelectionDone(PDEVICE_EXTENSION FdoExtension, NTSTATUS Status) {
    KIRQL irql;
    KeAcquireSpinLock(&FdoExtension->HeldTransfersLock, &irql);
    --FdoExtension->PendingSelections;
    if (FdoExtension->PendingSelections != 0 || FdoExtension->TransferHold != TRANSFERS_RESTARTED) {
        KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
        return;
    }
    if (NT_SUCCESS(Status)) {
        ReleaseHeldTransfers(FdoExtension, irql);
        return;
    }
    FdoExtension->TransferHold = TRANSFERS_FAILED;
    EndHeldTransfers(FdoExtension, irql, STATUS_DELETE_PENDING);
}

// PASSIVE_LEVEL: a restart that the lower stack or the selection failed leaves the device with no
// pipes (the stack forgot its configuration at the stop), and nothing reports it failed while the
// start stands; every child's request, held or new, ends as going away until the next start, so
// that none goes down with a dead pipe handle and comes back as data that never came.
VOID FailRestart(PDEVICE_EXTENSION FdoExtension) {
    KIRQL irql;
    KeAcquireSpinLock(&FdoExtension->HeldTransfersLock, &irql);
    FdoExtension->TransferHold = TRANSFERS_FAILED;
    EndHeldTransfers(FdoExtension, irql, STATUS_DELETE_PENDING);
}

// Up to DISPATCH_LEVEL. A request goes down while the requests flow, and goes down again when
// a stop overtook it on its way and it came back failed (the stop's cancel, the stopped device
// or a replaced pipe handle failed it) or never went: after the restart, or a cancelled stop,
// or in a going device's stack, which ends it. One that came back failed otherwise is finished
// while the requests flow or the held ones are being sent. Else the FDO takes it (marked
// pending, with a cancel routine): it waits behind the older held ones, or ends as cancelled
// when its caller cancelled it meanwhile, or as going away after a failed restart. A request
// that a stop overtook may so go down after newer ones that the release sent.
ULONG HoldChildTransfer(PDEVICE_EXTENSION FdoExtension, PIRP ChildIrp, BOOLEAN Returned) {
    KIRQL irql;
    KeAcquireSpinLock(&FdoExtension->HeldTransfersLock, &irql);
    ULONG hold = FdoExtension->TransferHold;
    BOOLEAN overtaken = Returned && OvertakenByStop(FdoExtension, ChildIrp);
    if (hold == TRANSFERS_FLOW && (!Returned || overtaken)) {
        PassTransfer(FdoExtension, ChildIrp);
        KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
        return TRANSFER_SEND;
    }
    if (Returned && !overtaken && (hold == TRANSFERS_FLOW || hold == TRANSFERS_RELEASING)) {
        KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
        return TRANSFER_FINISH;
    }
    IoMarkIrpPending(ChildIrp);
    if (hold == TRANSFERS_FAILED) {
        KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
        EndHeldTransfer(ChildIrp, STATUS_DELETE_PENDING);
        return TRANSFER_TAKEN;
    }
    IoSetCancelRoutine(ChildIrp, HeldTransferCancel);
    if (ReadFlag(&ChildIrp->Cancel) && IoSetCancelRoutine(ChildIrp, NULL) != NULL) {
        KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
        EndHeldTransfer(ChildIrp, STATUS_CANCELLED);
        return TRANSFER_TAKEN;
    }
    InsertInOrder(FdoExtension, ChildIrp);
    KeReleaseSpinLock(&FdoExtension->HeldTransfersLock, irql);
    return TRANSFER_TAKEN;
}

// IRP_MN_SURPRISE_REMOVAL and IRP_MN_REMOVE_DEVICE, PASSIVE_LEVEL: the FDO holds no more (the
// going stack fails what goes down; after a failed restart nothing goes down), and every held
// request ends with Status, before the removal waits for the children's requests.
VOID FailHeldChildTransfers(PDEVICE_EXTENSION FdoExtension, NTSTATUS Status) {
    KIRQL irql;
    KeAcquireSpinLock(&FdoExtension->HeldTransfersLock, &irql);
    if (FdoExtension->TransferHold != TRANSFERS_FAILED) {
        FdoExtension->TransferHold = TRANSFERS_FLOW;
    }
    EndHeldTransfers(FdoExtension, irql, Status);
}
