// Routines of the FDO that other parts of the driver call.
#pragma once

#include "../core/driver.h"

// Plug and play.
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Start-up work, run by the dispatcher thread at PASSIVE_LEVEL; their results are not used.
NTSTATUS GetDescriptorData(PDEVICE_EXTENSION Extension);
NTSTATUS SetTargetConfiguration(PDEVICE_EXTENSION Extension, PVOID ConfigurationDescriptor);
NTSTATUS GetMac(PDEVICE_EXTENSION Extension);
