// The FDO's work queue: the dispatcher thread that runs the start-up work items in order and
// creates the two children.
#pragma once

#include "../core/driver.h"

// IRP_MN_START_DEVICE, PASSIVE_LEVEL, FDO remove lock held: lets the lower stack start the device
// and starts the dispatcher thread with the start-up items. The caller completes the IRP.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Any thread up to DISPATCH_LEVEL: queues one command for the dispatcher thread; FALSE when it
// is lost (no pool, or the thread is ending).
BOOLEAN QueueWorkItem(PCSTR CommandName, PDEVICE_EXTENSION Extension, ULONG_PTR Argument);

// The dispatcher thread's body; the context is the FDO extension.
KSTART_ROUTINE DispatcherThread;

// Dispatcher thread, PASSIVE_LEVEL, FDO remove lock held: create the gamepad child and the vendor
// child unless the FDO is being removed.
VOID CreatePDO(PDEVICE_EXTENSION Extension);
VOID CreateXDO(PDEVICE_EXTENSION Extension);
