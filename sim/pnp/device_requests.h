// Requests a device's stack receives outside enumeration: configuration-space reads and writes
// (which drivers of the stack send), eject, lock and usage notifications (which the PnP manager
// sends), and power requests. Each goes to the top of the device's stack, as on Windows, and is
// waited for at PASSIVE_LEVEL. Call them while the PnP manager is idle: Windows never sends a
// device two PnP requests at once.
#pragma once

#include <host/host.h>

namespace sim::pnp {

// PCI_WHICHSPACE_CONFIG: the device's configuration space.
constexpr ULONG ConfigSpace = 0;

host::IrpResult ReadConfig(PDEVICE_OBJECT pdo, ULONG whichSpace, PVOID buffer, ULONG offset,
                           ULONG length);
host::IrpResult WriteConfig(PDEVICE_OBJECT pdo, ULONG whichSpace, PVOID buffer, ULONG offset,
                            ULONG length);
host::IrpResult Eject(PDEVICE_OBJECT pdo);
host::IrpResult SetLock(PDEVICE_OBJECT pdo, bool lock);
host::IrpResult NotifyUsage(PDEVICE_OBJECT pdo, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath);

// A power IRP of any minor code, started as the power manager starts its own.
host::IrpResult SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                          POWER_STATE state);

} // namespace sim::pnp
