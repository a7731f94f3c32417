// URB handling on the gamepad child.
#include "../core/driver.h"

// Up to DISPATCH_LEVEL. Until the gamepad child emulates its device, requests end with their
// status.
NTSTATUS NTAPI PdoDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteWithExistingStatus(Irp);
}
