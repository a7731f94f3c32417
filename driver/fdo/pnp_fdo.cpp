// The FDO's plug and play.
#include "../core/driver.h"

// PASSIVE_LEVEL. Until the FDO's own PnP handling exists, every request goes down the stack.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PassDownIrp(DeviceObject, Irp);
}
