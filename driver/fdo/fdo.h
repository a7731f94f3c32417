// Routines of the FDO that other parts of the driver call.
#pragma once

#include "../core/driver.h"

// Plug and play.
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Start-up work, run by the dispatcher thread at PASSIVE_LEVEL; their results are not used.
NTSTATUS GetDescriptorData(PDEVICE_EXTENSION Extension);
NTSTATUS SetTargetConfiguration(PDEVICE_EXTENSION Extension, PVOID ConfigurationDescriptor);
NTSTATUS GetMac(PDEVICE_EXTENSION Extension);

// Sends one URB down the FDO's stack and waits for it; PASSIVE_LEVEL only.
NTSTATUS SubmitUrbSync(PDEVICE_EXTENSION Extension, PURB Urb);

// The walk over the configuration copy and what it does with each descriptor.
NTSTATUS DisplayConfigDescAndGetReportDescriptopr(PDEVICE_EXTENSION Extension);
NTSTATUS GetHidDescriptorAndReport(PDEVICE_EXTENSION Extension, PUCHAR HidDescriptor,
                                   ULONG InterfaceNumber);
VOID DumpConfigurationDescriptor(PDEVICE_EXTENSION Extension,
                                 PUSB_CONFIGURATION_DESCRIPTOR Descriptor);
VOID DumpInterfaceDescriptor(PDEVICE_EXTENSION Extension, PUSB_INTERFACE_DESCRIPTOR Descriptor);
VOID DumpEndpointDescriptor(PDEVICE_EXTENSION Extension, PUSB_ENDPOINT_DESCRIPTOR Descriptor);

// Device control passing through the FDO.
IO_COMPLETION_ROUTINE FdoDeviceControlComplete;
