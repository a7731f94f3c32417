// Device control on the FDO.
#include "../core/driver.h"

// Up to DISPATCH_LEVEL. Until the FDO's tracing pass-through exists, requests go down the stack.
NTSTATUS NTAPI FdoDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassDownIrp(DeviceObject, Irp);
}
