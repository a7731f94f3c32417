// Plug and play of both children.
#include "../core/driver.h"

// PASSIVE_LEVEL. Until the children answer the PnP manager, requests end with their status.
NTSTATUS NTAPI ChildDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteWithExistingStatus(Irp);
}
