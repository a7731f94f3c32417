// Routing of every major function by DeviceKind: 1 the gamepad child, 2 the vendor child, any
// other value the FDO. The routers run in the caller's thread and keep no state.
#include "driver.h"

namespace {

BOOLEAN IsChild(PDEVICE_OBJECT DeviceObject) {
    ULONG kind = ExtensionOf(DeviceObject)->DeviceKind;
    return kind == DEVICE_KIND_GAMEPAD || kind == DEVICE_KIND_VENDOR;
}

} // namespace

NTSTATUS NTAPI RoutePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IsChild(DeviceObject)) {
        return ChildDispatchPnp(DeviceObject, Irp);
    }
    return DispatchPnp(DeviceObject, Irp);
}

NTSTATUS NTAPI RoutePower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!IsChild(DeviceObject)) {
        return DispatchPowerFdo(DeviceObject, Irp);
    }
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (minor < CHILD_POWER_HANDLER_COUNT) {
        return ChildPowerHandlers[minor](DeviceObject, Irp);
    }
    return ChildPowerDefault(DeviceObject, Irp);
}

NTSTATUS NTAPI RouteDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    switch (ExtensionOf(DeviceObject)->DeviceKind) {
    case DEVICE_KIND_GAMEPAD:
        return PdoDeviceControl(DeviceObject, Irp);
    case DEVICE_KIND_VENDOR:
        return XdoDeviceControl(DeviceObject, Irp);
    default:
        return FdoDeviceControl(DeviceObject, Irp);
    }
}

// A child is the bottom of its stack: system control, like every request without a route of its
// own, is completed there with the status it carries. The FDO passes it down.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IsChild(DeviceObject)) {
        return CompleteWithExistingStatus(Irp);
    }
    return PassDownIrp(DeviceObject, Irp);
}
