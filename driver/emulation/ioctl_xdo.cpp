// URB handling on the vendor child.
#include "../core/driver.h"

// Up to DISPATCH_LEVEL. Until the vendor child emulates its device, requests end with their
// status.
NTSTATUS NTAPI XdoDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteWithExistingStatus(Irp);
}
