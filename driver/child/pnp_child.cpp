// Plug and play of both children: identities, capabilities, relations, bus information and
// device state are answered here; configuration space, eject, lock and usage notifications go to
// the PnP repeater. A child keeps no PnP state and never deletes itself.
#include "../core/log.h"
#include "child.h"

namespace {

// {9d7debbc-c85d-11d1-9eb4-006008c3a19a}, the USB bus type.
const GUID UsbBusTypeGuid = {
    0x9d7debbc, 0xc85d, 0x11d1, {0x9e, 0xb4, 0x00, 0x60, 0x08, 0xc3, 0xa1, 0x9a}};

const CHILD_ID CompatibleIds = CHILD_ID_OF(VELT_WIDE("USB\\Class_03&SubClass_00&Prot_00\0"
                                                     "USB\\Class_03&SubClass_00\0"
                                                     "USB\\Class_03\0"
                                                     "\0"));
const CHILD_ID ContainerId = CHILD_ID_OF(VELT_WIDE("{6b1c0e52-93d4-4f0a-b8e7-2a5d40c9f316}"));

// Trailing zero bytes of an ID reply: they end a single string and add the empty string that
// closes a list.
constexpr ULONG ID_REPLY_TERMINATOR_BYTES = 4;

constexpr ULONG CHILD_UI_NUMBER_NONE = 0xFFFFFFFF;

// A handler runs at PASSIVE_LEVEL with the child's remove lock held and only sets the request's
// IoStatus; ChildDispatchPnp completes the request.
typedef VOID CHILD_PNP_HANDLER(const CHILD_KIND* Kind, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                               PIO_STACK_LOCATION Stack);

struct CHILD_PNP_ENTRY {
    PCSTR Name;
    CHILD_PNP_HANDLER* Handler; // NULL: the request goes to the repeater
};

VOID Acknowledge(const CHILD_KIND* Kind, PDEVICE_OBJECT, PIRP Irp, PIO_STACK_LOCATION Stack);
VOID KeepInterfaceStatus(const CHILD_KIND* Kind, PDEVICE_OBJECT, PIRP Irp, PIO_STACK_LOCATION);
VOID KeepStatus(const CHILD_KIND*, PDEVICE_OBJECT, PIRP, PIO_STACK_LOCATION);
VOID QueryDeviceRelations(const CHILD_KIND* Kind, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PIO_STACK_LOCATION Stack);
VOID QueryCapabilities(const CHILD_KIND* Kind, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                       PIO_STACK_LOCATION Stack);
VOID QueryId(const CHILD_KIND* Kind, PDEVICE_OBJECT, PIRP Irp, PIO_STACK_LOCATION Stack);
VOID QueryDeviceState(const CHILD_KIND* Kind, PDEVICE_OBJECT, PIRP Irp, PIO_STACK_LOCATION);
VOID QueryBusInformation(const CHILD_KIND* Kind, PDEVICE_OBJECT, PIRP Irp, PIO_STACK_LOCATION);
VOID DefaultHandler(const CHILD_KIND* Kind, PDEVICE_OBJECT, PIRP Irp, PIO_STACK_LOCATION Stack);

// Indexed by minor code; codes past the end take DefaultHandler.
const CHILD_PNP_ENTRY ChildPnpTable[] = {
    {"IRP_MN_START_DEVICE", Acknowledge},
    {"IRP_MN_QUERY_REMOVE_DEVICE", Acknowledge},
    {"IRP_MN_REMOVE_DEVICE", Acknowledge},
    {"IRP_MN_CANCEL_REMOVE_DEVICE", Acknowledge},
    {"IRP_MN_STOP_DEVICE", Acknowledge},
    {"IRP_MN_QUERY_STOP_DEVICE", Acknowledge},
    {"IRP_MN_CANCEL_STOP_DEVICE", Acknowledge},
    {"IRP_MN_QUERY_DEVICE_RELATIONS", QueryDeviceRelations},
    {"IRP_MN_QUERY_INTERFACE", KeepInterfaceStatus},
    {"IRP_MN_QUERY_CAPABILITIES", QueryCapabilities},
    {"IRP_MN_QUERY_RESOURCES", Acknowledge},
    {"IRP_MN_QUERY_RESOURCE_REQUIREMENTS", Acknowledge},
    {"IRP_MN_QUERY_DEVICE_TEXT", KeepStatus},
    {"IRP_MN_FILTER_RESOURCE_REQUIREMENTS", Acknowledge},
    {NULL, DefaultHandler},
    {"IRP_MN_READ_CONFIG", NULL},
    {"IRP_MN_WRITE_CONFIG", NULL},
    {"IRP_MN_EJECT", NULL},
    {"IRP_MN_SET_LOCK", NULL},
    {"IRP_MN_QUERY_ID", QueryId},
    {"IRP_MN_QUERY_PNP_DEVICE_STATE", QueryDeviceState},
    {"IRP_MN_QUERY_BUS_INFORMATION", QueryBusInformation},
    {"IRP_MN_DEVICE_USAGE_NOTIFICATION", NULL},
    {"IRP_MN_SURPRISE_REMOVAL", Acknowledge},
};

constexpr ULONG CHILD_PNP_TABLE_SIZE = sizeof(ChildPnpTable) / sizeof(ChildPnpTable[0]);
static_assert(CHILD_PNP_TABLE_SIZE == IRP_MN_SURPRISE_REMOVAL + 1, "one entry per minor code");

const CHILD_PNP_ENTRY DefaultEntry = {NULL, DefaultHandler};

// State changes and resource queries: nothing to do, nothing to refuse.
VOID Acknowledge(const CHILD_KIND* Kind, PDEVICE_OBJECT, PIRP Irp, PIO_STACK_LOCATION Stack) {
    VELT_TRACE("VELTDRIVER : %s : DispatchPnp: completing %s with STATUS_SUCCESS \n", Kind->Tag,
               ChildPnpTable[Stack->MinorFunction].Name);
    Irp->IoStatus.Status = STATUS_SUCCESS;
}

// No interface is offered; whatever a driver above put in the request stays.
VOID KeepInterfaceStatus(const CHILD_KIND* Kind, PDEVICE_OBJECT, PIRP Irp, PIO_STACK_LOCATION) {
    VELT_TRACE("VELTDRIVER : %s : DispatchPnp: IRP_MN_QUERY_INTERFACE  completing with existing "
               "status %s\n",
               Kind->Tag, StatusName(Irp->IoStatus.Status));
}

// No device text is supplied.
VOID KeepStatus(const CHILD_KIND*, PDEVICE_OBJECT, PIRP, PIO_STACK_LOCATION) {}

VOID DefaultHandler(const CHILD_KIND* Kind, PDEVICE_OBJECT, PIRP, PIO_STACK_LOCATION Stack) {
    VELT_TRACE("VELTDRIVER : %s : DispatchPnp: default handler for minor function 0x%X , "
               "completing with existing status\n",
               Kind->Tag, Stack->MinorFunction);
}

// A list that a driver above left in the request is replaced. Its references are released with
// it, or the objects it names would never go away.
VOID ReleaseRelations(PDEVICE_RELATIONS Relations) {
    for (ULONG i = 0; i < Relations->Count; ++i) {
        ObfDereferenceObject(Relations->Objects[i]);
    }
    ExFreePool(Relations);
}

VOID QueryDeviceRelations(const CHILD_KIND* Kind, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PIO_STACK_LOCATION Stack) {
    switch (Stack->Parameters.QueryDeviceRelations.Type) {
    case TargetDeviceRelation: {
        VELT_TRACE("VELTDRIVER : %s : DispatchPnp: IRP_MN_QUERY_DEVICE_RELATIONS : "
                   "TargetDeviceRelation \n",
                   Kind->Tag);
        VELT_TRACE("VELTDRIVER : %s : Reporting child PDO \n", Kind->Tag);
        PDEVICE_RELATIONS previous = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
        if (previous != NULL) {
            ReleaseRelations(previous);
        }
        PDEVICE_RELATIONS relations = static_cast<PDEVICE_RELATIONS>(
            ExAllocatePoolWithTag(NonPagedPoolType, sizeof(DEVICE_RELATIONS), PoolTag("Vlt9")));
        Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
        if (relations == NULL) {
            Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
            return;
        }
        relations->Count = 1;
        relations->Objects[0] = DeviceObject;
        // The PnP manager releases this reference.
        ObfReferenceObject(DeviceObject);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return;
    }
    case RemovalRelations:
        VELT_TRACE("VELTDRIVER : %s : DispatchPnp: IRP_MN_QUERY_DEVICE_RELATIONS : "
                   "RemovalRelations\n",
                   Kind->Tag);
        return;
    case EjectionRelations:
        VELT_TRACE("VELTDRIVER : %s : DispatchPnp: IRP_MN_QUERY_DEVICE_RELATIONS : "
                   "EjectionRelations\n",
                   Kind->Tag);
        return;
    default:
        // A child has no children of its own.
        VELT_TRACE("VELTDRIVER : %s : DispatchPnp: IRP_MN_QUERY_DEVICE_RELATIONS : some other "
                   "relation, type is %d\n",
                   Kind->Tag, Stack->Parameters.QueryDeviceRelations.Type);
        return;
    }
}

// The physical controller's capabilities as its stack gave them to the FDO, amended: the
// children are neither removable nor surprise-removable on their own, and their instance IDs
// ("0010", "0011") are unique only on this bus, whatever the controller's serial number makes
// of its own (two controllers would otherwise give their children one instance path).
VOID QueryCapabilities(const CHILD_KIND* Kind, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                       PIO_STACK_LOCATION Stack) {
    VELT_TRACE("VELTDRIVER : %s : DispatchPnp: IRP_MN_QUERY_CAPABILITIES\n", Kind->Tag);
    PDEVICE_EXTENSION parent = ExtensionOf(ExtensionOf(DeviceObject)->ParentFdo);
    PDEVICE_CAPABILITIES capabilities = Stack->Parameters.DeviceCapabilities.Capabilities;
    *capabilities = parent->DeviceCapabilities;
    capabilities->Removable = 0;
    capabilities->SurpriseRemovalOK = 0;
    capabilities->UniqueID = 0;
    capabilities->Address = Kind->Address;
    capabilities->UINumber = CHILD_UI_NUMBER_NONE;
    DumpCapabilities(capabilities);
    Irp->IoStatus.Status = STATUS_SUCCESS;
}

VOID QueryId(const CHILD_KIND* Kind, PDEVICE_OBJECT, PIRP Irp, PIO_STACK_LOCATION Stack) {
    const CHILD_ID* id;
    switch (Stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        VELT_TRACE("VELTDRIVER : %s : DispatchPnp: IRP_MN_QUERY_ID BusQueryDeviceID\n", Kind->Tag);
        id = &Kind->DeviceId;
        break;
    case BusQueryHardwareIDs:
        VELT_TRACE("VELTDRIVER : %s : DispatchPnp: IRP_MN_QUERY_ID BusQueryHardwareIDs\n",
                   Kind->Tag);
        id = &Kind->HardwareIds;
        break;
    case BusQueryCompatibleIDs:
        VELT_TRACE("VELTDRIVER : %s : DispatchPnp: IRP_MN_QUERY_ID BusQueryCompatibleIDs\n",
                   Kind->Tag);
        id = &CompatibleIds;
        break;
    case BusQueryInstanceID:
        VELT_TRACE("VELTDRIVER : %s : DispatchPnp: IRP_MN_QUERY_ID BusQueryInstanceID\n",
                   Kind->Tag);
        id = &Kind->InstanceId;
        break;
    case BusQueryContainerID:
        VELT_TRACE("VELTDRIVER : %s : DispatchPnp: IRP_MN_QUERY_ID BusQueryContainerID\n",
                   Kind->Tag);
        id = &ContainerId;
        break;
    default:
        // Serial numbers included: the children have none. Set explicitly, whatever came in.
        VELT_TRACE("VELTDRIVER : %s : DispatchPnp: IRP_MN_QUERY_ID default\n", Kind->Tag);
        Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        return;
    }
    SIZE_T size = id->Length * sizeof(WCHAR) + ID_REPLY_TERMINATOR_BYTES;
    PVOID reply = ExAllocatePoolWithTag(NonPagedPoolType, size, PoolTag("Vlta"));
    if (reply == NULL) {
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    RtlZeroMemory(reply, size);
    RtlCopyMemory(reply, id->Text, id->Length * sizeof(WCHAR));
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(reply);
    Irp->IoStatus.Status = STATUS_SUCCESS;
}

// Never disabled, failed, hidden or undisableable.
VOID QueryDeviceState(const CHILD_KIND* Kind, PDEVICE_OBJECT, PIRP Irp, PIO_STACK_LOCATION) {
    VELT_TRACE("VELTDRIVER : %s : DispatchPnp: IRP_MN_QUERY_PNP_DEVICE_STATE\n", Kind->Tag);
    VELT_TRACE("VELTDRIVER : reporting device is present\n");
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
}

VOID QueryBusInformation(const CHILD_KIND* Kind, PDEVICE_OBJECT, PIRP Irp, PIO_STACK_LOCATION) {
    VELT_TRACE("VELTDRIVER : %s : DispatchPnp: IRP_MN_QUERY_BUS_INFORMATION \n", Kind->Tag);
    PPNP_BUS_INFORMATION information = static_cast<PPNP_BUS_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), PoolTag("Vltd")));
    if (information == NULL) {
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    information->BusTypeGuid = UsbBusTypeGuid;
    information->LegacyBusType = PNPBus;
    information->BusNumber = 0;
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(information);
    Irp->IoStatus.Status = STATUS_SUCCESS;
}

} // namespace

// IRP_MJ_PNP on either child, PASSIVE_LEVEL. The IRP is completed on return, except a repeated
// request, which the repeater owns (STATUS_PENDING) or has completed itself.
NTSTATUS NTAPI ChildDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    const CHILD_KIND* kind = ChildKindOf(extension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoAcquireRemoveLockEx(&extension->RemoveLock, Irp, __FILE__, __LINE__,
                                            sizeof(IO_REMOVE_LOCK));
    if (!NT_SUCCESS(status)) {
        VELT_ERROR(kind->RemoveLockFailedFormat, stack->MinorFunction);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    const CHILD_PNP_ENTRY* entry = stack->MinorFunction < CHILD_PNP_TABLE_SIZE
                                       ? &ChildPnpTable[stack->MinorFunction]
                                       : &DefaultEntry;
    if (entry->Handler == NULL) {
        VELT_TRACE("VELTDRIVER : %s : DispatchPnp: %s : calling RepeatReqest\n", kind->Tag,
                   entry->Name);
        return kind->Repeater(DeviceObject, Irp);
    }
    entry->Handler(kind, DeviceObject, Irp, stack);
    status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    return status;
}
