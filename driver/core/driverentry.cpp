// Driver entry, the FDO's creation, unload, and the requests every device kind answers alike.
#include "log.h"

PDRIVER_OBJECT GlobalDriverObject;
POOL_TYPE NonPagedPoolType;
NPAGED_LOOKASIDE_LIST WorkItemLookaside;

namespace {

// Windows 8, the first system with NonPagedPoolNx.
constexpr ULONG NX_POOL_NTDDI_VERSION = 0x06020000;

typedef BOOLEAN(NTAPI* RTL_IS_NTDDI_VERSION_AVAILABLE)(ULONG Version);

// Asks the running system whether it offers an NTDDI version. Systems before Windows 7 SP1 lack
// RtlIsNtDdiVersionAvailable; there only the major and minor version can be compared.
BOOLEAN IsNtDdiVersionAvailable(ULONG Version) {
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, VELT_WIDE("RtlIsNtDdiVersionAvailable"));
    RTL_IS_NTDDI_VERSION_AVAILABLE isAvailable =
        reinterpret_cast<RTL_IS_NTDDI_VERSION_AVAILABLE>(MmGetSystemRoutineAddress(&routineName));
    if (isAvailable != NULL) {
        return isAvailable(Version);
    }
    if ((Version & 0xFFFF) != 0) {
        return FALSE;
    }
    ULONG major = 0;
    ULONG minor = 0;
    PsGetVersion(&major, &minor, NULL, NULL);
    return (((major << 8) + minor) << 16) >= Version ? TRUE : FALSE;
}

} // namespace

// Image entry, PASSIVE_LEVEL: installs the routers and creates the driver-wide globals.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    VELT_TRACE("VELTDRIVER : DriverEntry()\n");
    BOOLEAN hasNxPool = IsNtDdiVersionAvailable(NX_POOL_NTDDI_VERSION);
    GlobalDriverObject = DriverObject;
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        DriverObject->MajorFunction[major] = PassDownIrp;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateCleanCloseEtc;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateCleanCloseEtc;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateCleanCloseEtc;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchCreateCleanCloseEtc;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchCreateCleanCloseEtc;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RouteDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = RouteDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = RoutePnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = RoutePower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    NonPagedPoolType = hasNxPool ? NonPagedPoolNx : NonPagedPool;
    ExInitializeNPagedLookasideList(&WorkItemLookaside, NULL, NULL,
                                    static_cast<ULONG>(NonPagedPoolType), sizeof(WORK_ITEM),
                                    PoolTag("Vlt1"), 0);
    return STATUS_SUCCESS;
}

// PnP manager, PASSIVE_LEVEL: creates the FDO and attaches it over the controller's PDO.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    VELT_TRACE("VELTDRIVER : AddDevice: Driver %p lower Device %p\n", DriverObject,
               PhysicalDeviceObject);
    PDEVICE_OBJECT fdo = NULL;
    // FILE_DEVICE_SECURE_OPEN: an open of a name in the device's namespace is checked against
    // the device's security like an open of the device itself.
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        VELT_ERROR("VELTDRIVER : AddDevice: Cannot create DeviceObject\n");
        return status;
    }
    fdo->Flags |= DO_DIRECT_IO;
    PDEVICE_EXTENSION extension = ExtensionOf(fdo);
    RtlZeroMemory(extension, sizeof(DEVICE_EXTENSION));
    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (extension->LowerDeviceObject == NULL) {
        IoDeleteDevice(fdo);
        VELT_ERROR("VELTDRIVER : AddDevice: Unable to attach %p to target %p\n", fdo,
                   PhysicalDeviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    extension->ParentFdo = fdo;
    fdo->Flags |= DO_POWER_PAGABLE;
    IoInitializeRemoveLockEx(&extension->RemoveLock, REMOVE_LOCK_TAG, REMOVE_LOCK_MAX_MINUTES,
                             REMOVE_LOCK_HIGH_WATER, sizeof(IO_REMOVE_LOCK));
    InitializeListHead(&extension->HeldTransfers);
    InitializeListHead(&extension->SentTransfers);
    KeInitializeSpinLock(&extension->HeldTransfersLock);
    KeInitializeEvent(&extension->SendsDone, NotificationEvent, TRUE);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, after the last device object is gone.
VOID NTAPI Unload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    VELT_TRACE("VELTDRIVER : Unload()\n");
    ExDeleteNPagedLookasideList(&WorkItemLookaside);
}

// Create, close, cleanup, read and write on any kind: the driver has no user-mode interface, so
// they succeed at once and transfer nothing.
NTSTATUS NTAPI DispatchCreateCleanCloseEtc(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    VELT_TRACE("VELTDRIVER : DispatchCreateCleanCloseEtc\n");
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
