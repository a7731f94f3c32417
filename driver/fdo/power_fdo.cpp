// The FDO's power policy.
#include "../core/driver.h"

// PASSIVE_LEVEL (the FDO is DO_POWER_PAGABLE). Until the FDO's power policy exists, every power
// request goes down the stack.
NTSTATUS NTAPI DispatchPowerFdo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
}
