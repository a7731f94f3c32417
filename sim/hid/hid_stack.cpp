// The HID stack's function device object over a USB HID device.
#include "hid_stack.h"

namespace sim::hid {
namespace {

struct HidExtension {
    PDEVICE_OBJECT lower;
};

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) {
    return static_cast<HidExtension*>(device->DeviceExtension)->lower;
}

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(LowerOf(device), irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) {
        return PassDown(device, irp);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    PDEVICE_OBJECT lower = LowerOf(device);
    NTSTATUS status = PassDown(device, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(LowerOf(device), irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = NULL;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(HidExtension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    static_cast<HidExtension*>(fdo->DeviceExtension)->lower = lower;
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) {
        dispatch = PassDown;
    }
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

} // namespace

PDRIVER_OBJECT HidStackDriver() {
    static PDRIVER_OBJECT driver = host::LoadDriver(DriverEntry, u"hidusb");
    return driver;
}

} // namespace sim::hid
