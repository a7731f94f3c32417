// The FDO's plug and play: a function driver over the controller's USB device that is at the
// same time the bus driver of the two children. Almost every request goes down unchanged; start,
// bus relations, capabilities and removal are handled here.
#include "fdo.h"

#include "../core/log.h"
#include "../dispatcher/dispatcher.h"

namespace {

constexpr ULONG CHILD_COUNT = 2;

// Releases the request's hold on the remove lock and hands it down the stack.
NTSTATUS ReleaseAndPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseRemoveLock(&ExtensionOf(DeviceObject)->RemoveLock, Irp);
    return PassDownIrp(DeviceObject, Irp);
}

// Completes a request that the lower stack has already finished with, then lets go of the lock.
NTSTATUS CompleteAndRelease(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NTSTATUS status = CompleteWithExistingStatus(Irp);
    IoReleaseRemoveLock(&ExtensionOf(DeviceObject)->RemoveLock, Irp);
    return status;
}

// IRP_MN_START_DEVICE, PASSIVE_LEVEL: the lower stack starts first; the work items do not delay
// the completion. Completed here.
NTSTATUS FdoStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    StartDevice(DeviceObject, Irp);
    return CompleteAndRelease(DeviceObject, Irp);
}

// IRP_MN_REMOVE_DEVICE, PASSIVE_LEVEL: RemoveDevice drains the lock and deletes the FDO; the IRP
// is completed here with the lower stack's status.
NTSTATUS FdoRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    WriteFlag(&ExtensionOf(DeviceObject)->Removed, TRUE);
    FailHeldChildTransfers(ExtensionOf(DeviceObject), STATUS_DELETE_PENDING);
    RemoveDevice(DeviceObject, Irp);
    return CompleteWithExistingStatus(Irp);
}

// IRP_MN_CANCEL_REMOVE_DEVICE, PASSIVE_LEVEL: the device stays; passed down.
NTSTATUS FdoCancelRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    WriteFlag(&ExtensionOf(DeviceObject)->Removed, FALSE);
    return ReleaseAndPassDown(DeviceObject, Irp);
}

// IRP_MN_SURPRISE_REMOVAL, PASSIVE_LEVEL: no further work item runs, and the children's held
// requests end as the device's going away; passed down.
NTSTATUS FdoSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    WriteFlag(&ExtensionOf(DeviceObject)->Removed, TRUE);
    FailHeldChildTransfers(ExtensionOf(DeviceObject), STATUS_DELETE_PENDING);
    return ReleaseAndPassDown(DeviceObject, Irp);
}

// IRP_MN_QUERY_STOP_DEVICE, PASSIVE_LEVEL: the device loses its configuration at the stop, so the
// children's requests wait from the query on (a query that fails below is followed by
// IRP_MN_CANCEL_STOP_DEVICE); passed down.
NTSTATUS FdoHoldAndPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    HoldChildTransfers(ExtensionOf(DeviceObject));
    return ReleaseAndPassDown(DeviceObject, Irp);
}

// IRP_MN_STOP_DEVICE, PASSIVE_LEVEL: as its query; the children's requests on their way down
// reach the controller's stack before the stop does, and those still there are cancelled, to come
// back and wait ("Handling an IRP_MN_STOP_DEVICE Request"); passed down.
NTSTATUS FdoStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    HoldChildTransfers(ExtensionOf(DeviceObject));
    CancelSentTransfers(ExtensionOf(DeviceObject));
    return ReleaseAndPassDown(DeviceObject, Irp);
}

// IRP_MN_CANCEL_STOP_DEVICE, PASSIVE_LEVEL: once the lower stack has taken the device back, the
// held requests go down on the configuration that never changed. Completed here.
NTSTATUS FdoCancelStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseRemoveLock(&ExtensionOf(DeviceObject)->RemoveLock, Irp);
    ForwardAndWait(DeviceObject, Irp);
    ResumeChildTransfers(ExtensionOf(DeviceObject));
    return CompleteWithExistingStatus(Irp);
}

// IRP_MN_QUERY_CAPABILITIES, PASSIVE_LEVEL: keeps the lower stack's answer for the children.
// Completed here.
NTSTATUS FdoQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    ForwardAndWait(DeviceObject, Irp);
    extension->DeviceCapabilities =
        *IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    return CompleteWithExistingStatus(Irp);
}

// Adds the children that the list lacks, each with the reference the PnP manager takes over.
// A received list is replaced by a copy with room for them. Without pool the list stays as it
// came, and the next IoInvalidateDeviceRelations asks again.
VOID AddChildrenToRelations(PDEVICE_EXTENSION Extension, PIRP Irp) {
    PDEVICE_OBJECT children[CHILD_COUNT] = {ReadPublished(&Extension->GamepadChild),
                                            ReadPublished(&Extension->VendorChild)};
    BOOLEAN present[CHILD_COUNT] = {FALSE, FALSE};
    PDEVICE_RELATIONS received = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
    PDEVICE_RELATIONS relations;
    if (received != NULL) {
        for (ULONG i = 0; i < received->Count; ++i) {
            for (ULONG c = 0; c < CHILD_COUNT; ++c) {
                present[c] = present[c] || received->Objects[i] == children[c];
            }
        }
        if (present[0] && present[1]) {
            VELT_TRACE("VELTDRIVER :       child PDO and XDO already in list\n");
            return;
        }
        relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
            PagedPool, sizeof(DEVICE_RELATIONS) + (received->Count + CHILD_COUNT) * sizeof(PVOID),
            PoolTag("Vlt7")));
        if (relations == NULL) {
            return;
        }
        relations->Count = received->Count;
        RtlCopyMemory(relations->Objects, received->Objects, received->Count * sizeof(PVOID));
        ExFreePool(received);
    } else {
        relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
            PagedPool, sizeof(DEVICE_RELATIONS) + CHILD_COUNT * sizeof(PVOID), PoolTag("Vlt8")));
        if (relations == NULL) {
            return;
        }
        relations->Count = 0;
    }
    VELT_TRACE("VELTDRIVER :       Adding child PDOs to list\n");
    // A device object never stands twice in a relations list: only the missing ones are added.
    for (ULONG c = 0; c < CHILD_COUNT; ++c) {
        if (!present[c]) {
            ObReferenceObject(children[c]);
            relations->Objects[relations->Count++] = children[c];
        }
    }
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    Irp->IoStatus.Status = STATUS_SUCCESS;
}

// IRP_MN_QUERY_DEVICE_RELATIONS, PASSIVE_LEVEL: the children are reported in BusRelations once
// both exist; every type is passed down.
NTSTATUS FdoQueryDeviceRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    DEVICE_RELATION_TYPE type =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type;
    if (type != BusRelations) {
        VELT_TRACE("VELTDRIVER :       DispatchPnp: IRP_MN_QUERY_DEVICE_RELATIONS : !BusRelations  "
                   "type is %d\n",
                   type);
        return ReleaseAndPassDown(DeviceObject, Irp);
    }
    VELT_TRACE("VELTDRIVER :       DispatchPnp: IRP_MN_QUERY_DEVICE_RELATIONS : BusRelations \n");
    if (ReadPublished(&extension->GamepadChild) != NULL &&
        ReadPublished(&extension->VendorChild) != NULL) {
        AddChildrenToRelations(extension, Irp);
    }
    return ReleaseAndPassDown(DeviceObject, Irp);
}

// The minor codes the FDO knows, indexed by code: the handler and its trace line (none for
// IRP_MN_QUERY_PNP_DEVICE_STATE; the relations handler writes its own).
typedef NTSTATUS (*FDO_PNP_HANDLER)(PDEVICE_OBJECT DeviceObject, PIRP Irp);

struct FDO_PNP_ENTRY {
    FDO_PNP_HANDLER Handler;
    PCSTR Trace;
};

const FDO_PNP_ENTRY FdoPnpTable[] = {
    /* 0x00 */ {FdoStartDevice, "VELTDRIVER :       DispatchPnp: START_DEVICE \n"},
    /* 0x01 */ {ReleaseAndPassDown, "VELTDRIVER :       DispatchPnp: QUERY_REMOVE_DEVICE \n"},
    /* 0x02 */ {FdoRemoveDevice, "VELTDRIVER :       DispatchPnp: REMOVE_DEVICE \n"},
    /* 0x03 */ {FdoCancelRemoveDevice, "VELTDRIVER :       DispatchPnp: CANCEL_REMOVE_DEVICE \n"},
    /* 0x04 */ {FdoStopDevice, "VELTDRIVER :       DispatchPnp: STOP_DEVICE  \n"},
    /* 0x05 */ {FdoHoldAndPassDown, "VELTDRIVER :       DispatchPnp: QUERY_STOP_DEVICE   \n"},
    /* 0x06 */ {FdoCancelStopDevice, "VELTDRIVER :       DispatchPnp: CANCEL_STOP_DEVICE  \n"},
    /* 0x07 */ {FdoQueryDeviceRelations, NULL},
    /* 0x08 */ {ReleaseAndPassDown, "VELTDRIVER :       DispatchPnp: QUERY_INTERFACE    \n"},
    /* 0x09 */
    {FdoQueryCapabilities, "VELTDRIVER :       DispatchPnp: IRP_MN_QUERY_CAPABILITIES \n"},
    /* 0x0A */ {ReleaseAndPassDown, "VELTDRIVER :       DispatchPnp: IRP_MN_QUERY_RESOURCES  \n"},
    /* 0x0B */
    {ReleaseAndPassDown, "VELTDRIVER :       DispatchPnp: QUERY_RESOURCE_REQUIREMENTS \n"},
    /* 0x0C */ {ReleaseAndPassDown, "VELTDRIVER :       DispatchPnp: IRP_MN_QUERY_DEVICE_TEXT  \n"},
    /* 0x0D */
    {ReleaseAndPassDown, "VELTDRIVER :       DispatchPnp: FILTER_RESOURCE_REQUIREMENTS \n"},
    /* 0x0E */ {NULL, NULL},
    /* 0x0F */ {ReleaseAndPassDown, "VELTDRIVER :       DispatchPnp: READ_CONFIG     \n"},
    /* 0x10 */ {ReleaseAndPassDown, "VELTDRIVER :       DispatchPnp:  WRITE_CONFIG      \n"},
    /* 0x11 */ {ReleaseAndPassDown, "VELTDRIVER :       DispatchPnp: EJECT       \n"},
    /* 0x12 */ {ReleaseAndPassDown, "VELTDRIVER :       DispatchPnp: SET_LOCK        \n"},
    /* 0x13 */ {ReleaseAndPassDown, "VELTDRIVER :       DispatchPnp: IRP_MN_QUERY_ID  \n"},
    /* 0x14 */ {ReleaseAndPassDown, NULL},
    /* 0x15 */
    {ReleaseAndPassDown, "VELTDRIVER :       DispatchPnp: IRP_MN_QUERY_BUS_INFORMATION        \n"},
    /* 0x16 */
    {ReleaseAndPassDown, "VELTDRIVER :       DispatchPnp: IRP_MN_DEVICE_USAGE_NOTIFICATION \n"},
    /* 0x17 */ {FdoSurpriseRemoval, "VELTDRIVER :       DispatchPnp: SURPRISE_REMOVAL \n"},
};
static_assert(sizeof(FdoPnpTable) / sizeof(FdoPnpTable[0]) == IRP_MN_SURPRISE_REMOVAL + 1,
              "one entry per minor code up to IRP_MN_SURPRISE_REMOVAL");

} // namespace

// IRP_MJ_PNP on the FDO, PASSIVE_LEVEL. Returns the status the request was completed with here,
// or what the lower stack returned for a request passed down.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS status = IoAcquireRemoveLock(&ExtensionOf(DeviceObject)->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        VELT_ERROR("VELTDRIVER :  DispatchPnp : Remove lock failed PNP Irp type [%#02x]\n", minor);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    if (minor >= sizeof(FdoPnpTable) / sizeof(FdoPnpTable[0]) ||
        FdoPnpTable[minor].Handler == NULL) {
        VELT_TRACE("VELTDRIVER :       DispatchPnp: Forwarding unknown irp   0x%X\n", minor);
        return ReleaseAndPassDown(DeviceObject, Irp);
    }
    if (FdoPnpTable[minor].Trace != NULL) {
        VELT_TRACE(FdoPnpTable[minor].Trace);
    }
    return FdoPnpTable[minor].Handler(DeviceObject, Irp);
}

namespace {

// Waits until no request of the child is in flight, PASSIVE_LEVEL: takes the last hold of the
// child's remove lock and waits for the others to be released. Later requests to the child fail
// with STATUS_DELETE_PENDING.
VOID WaitForChildRequests(PDEVICE_OBJECT Child) {
    if (Child == NULL) {
        return;
    }
    PIO_REMOVE_LOCK lock = &ExtensionOf(Child)->RemoveLock;
    if (NT_SUCCESS(IoAcquireRemoveLock(lock, Child))) {
        IoReleaseRemoveLockAndWait(lock, Child);
    }
}

} // namespace

// IRP_MN_REMOVE_DEVICE, PASSIVE_LEVEL, Removed set and the remove lock held for the IRP. Ends the
// dispatcher thread, frees what the FDO owns and deletes both children and the FDO. The caller
// completes the IRP; returns the lower stack's status.
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    // The work item in progress (the address query) still sends to the lower device: it must be
    // done before that device removes itself.
    IoReleaseRemoveLockAndWait(&extension->RemoveLock, Irp);
    NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    WriteFlag(&extension->DispatcherRunning, FALSE);
    if (extension->DispatcherThread != NULL) {
        KeSetEvent(&extension->WorkEvent, 0, FALSE);
        VELT_TRACE("VELTDRIVER : RemoveDevice : Waiting for dispatcher thread to exit\n");
        KeWaitForSingleObject(extension->DispatcherThread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(extension->DispatcherThread);
    }
    // A child's repeated transfers hold its remove lock until they come back; the children and
    // the descriptor copies that the vendor child serves must outlive them.
    WaitForChildRequests(extension->GamepadChild);
    WaitForChildRequests(extension->VendorChild);
    // A send whose request came back inside its IoCallDriver is still counted: the FDO is deleted
    // only once no send is left in the driver's code.
    KeWaitForSingleObject(&extension->SendsDone, Executive, KernelMode, FALSE, NULL);
    PVOID* buffers[] = {&extension->pDeviceDescriptor, &extension->pConfigDescriptorHeader,
                        &extension->pConfigDescriptor};
    for (PVOID* buffer : buffers) {
        if (*buffer != NULL) {
            ExFreePool(*buffer);
        }
    }
    for (ULONG i = 0; i < MAX_STRING_DESCRIPTORS; ++i) {
        if (extension->pStringDescriptor[i] != NULL) {
            ExFreePool(extension->pStringDescriptor[i]);
        }
    }
    extension->NumStringDescriptors = 0;
    for (ULONG i = 0; i < MAX_HID_INTERFACES; ++i) {
        if (extension->pReportDescriptor[i] != NULL) {
            ExFreePool(extension->pReportDescriptor[i]);
            extension->pReportDescriptor[i] = NULL;
        }
    }
    VELT_TRACE("VELTDRIVER : RemoveDevice  : removing %p  from %p\n", DeviceObject,
               extension->LowerDeviceObject);
    IoDetachDevice(extension->LowerDeviceObject);
    if (extension->GamepadChild != NULL) {
        IoDeleteDevice(extension->GamepadChild);
    }
    if (extension->VendorChild != NULL) {
        IoDeleteDevice(extension->VendorChild);
    }
    IoDeleteDevice(DeviceObject);
    return status;
}
