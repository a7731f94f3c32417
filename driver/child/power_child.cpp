// Power handling of both children.
#include "../core/driver.h"

// Up to DISPATCH_LEVEL. Until the children's power handlers exist, every power request ends at
// the child with its status.
NTSTATUS NTAPI ChildPowerDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PoStartNextPowerIrp(Irp);
    return CompleteWithExistingStatus(Irp);
}

PDRIVER_DISPATCH const ChildPowerHandlers[CHILD_POWER_HANDLER_COUNT] = {
    ChildPowerDefault,
    ChildPowerDefault,
    ChildPowerDefault,
    ChildPowerDefault,
};
