// The driver's chief header: the device-extension record shared by the three kinds of device
// object, the work-item record, the driver-wide globals and the routines that cross files.
#pragma once

#include "compat.h"

// Pool tags read in memory order, as the debugger shows them: PoolTag("Vlt1").
constexpr ULONG PoolTag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<UCHAR>(text[0])) |
           (static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8) |
           (static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16) |
           (static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24);
}

// DeviceKind values; every router treats a value other than the two children as the FDO.
constexpr ULONG DEVICE_KIND_FDO = 0;
constexpr ULONG DEVICE_KIND_GAMEPAD = 1;
constexpr ULONG DEVICE_KIND_VENDOR = 2;

constexpr ULONG REMOVE_LOCK_TAG = PoolTag("Velt");
constexpr ULONG REMOVE_LOCK_MAX_MINUTES = 1;
constexpr ULONG REMOVE_LOCK_HIGH_WATER = 250;

constexpr ULONG MAX_STRING_DESCRIPTORS = 5;
constexpr ULONG MAX_HID_INTERFACES = 5;
constexpr ULONG PIPE_TABLE_SIZE = 2;

typedef struct _DEVICE_EXTENSION {
    ULONG DeviceKind;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT ParentFdo;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT GamepadChild;
    PDEVICE_OBJECT VendorChild;
    IO_REMOVE_LOCK RemoveLock;
    DEVICE_POWER_STATE DevicePowerState;
    DEVICE_CAPABILITIES DeviceCapabilities;
    BOOLEAN Removed;
    PVOID pDeviceDescriptor;
    PVOID pConfigDescriptorHeader;
    PVOID pConfigDescriptor;
    PVOID pStringDescriptor[MAX_STRING_DESCRIPTORS];
    ULONG NumStringDescriptors;
    PVOID pReportDescriptor[MAX_HID_INTERFACES];
    ULONG ReportDescriptorLength[MAX_HID_INTERFACES];
    USBD_PIPE_HANDLE BulkOutPipe[PIPE_TABLE_SIZE];
    USBD_PIPE_HANDLE BulkInPipe[PIPE_TABLE_SIZE];
    USBD_PIPE_HANDLE InterruptInPipe[PIPE_TABLE_SIZE];
    USBD_PIPE_HANDLE InterruptOutPipe[PIPE_TABLE_SIZE];
    ULONG NumMappedEndpoints;
    BOOLEAN DispatcherRunning;
    HANDLE DispatcherThreadHandle;
    PKTHREAD DispatcherThread;
    LIST_ENTRY WorkQueue;
    KSPIN_LOCK WorkQueueLock;
    KEVENT WorkEvent;
    ULONG SkipGetMac;
    UCHAR MacAddress[6];
    // The children's repeated requests that wait across a stop, oldest first, under
    // HeldTransfersLock with TransferHold and PendingSelections (the starts' selections of the
    // configuration queued and not yet done); TransferSequence numbers every repeated request.
    // SentTransfers: the ones at the controller's stack, under the same lock. ReleaseRunning:
    // a loop is sending the held requests down, and no other may start beside it. HoldsBegun
    // counts the stops' holds; a request that passes the FDO to go down keeps the count, so
    // one that a stop overtook on its way is known when it comes back. SendsInProgress: listed
    // requests whose IoCallDriver has not returned yet; SendsDone is signalled while there is
    // none.
    LIST_ENTRY HeldTransfers;
    LIST_ENTRY SentTransfers;
    KSPIN_LOCK HeldTransfersLock;
    ULONG TransferHold;
    ULONG PendingSelections;
    BOOLEAN ReleaseRunning;
    LONG volatile TransferSequence;
    ULONG HoldsBegun;
    ULONG SendsInProgress;
    KEVENT SendsDone;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// TransferHold: requests go down; new ones wait and ones that come back failed wait again (from
// a stop's query on, and after a restart until its selection is done); the waiting ones go down
// in order, new ones queueing behind them, failures ending as usual but for those of requests a
// stop overtook, which wait again; a restart failed and every request ends as going away until
// the next start.
constexpr ULONG TRANSFERS_FLOW = 0;
constexpr ULONG TRANSFERS_HELD = 1;
constexpr ULONG TRANSFERS_RESTARTED = 2;
constexpr ULONG TRANSFERS_RELEASING = 3;
constexpr ULONG TRANSFERS_FAILED = 4;

constexpr ULONG WORK_ITEM_NAME_LENGTH = 256;

typedef struct _WORK_ITEM {
    LIST_ENTRY Link;
    CHAR CommandName[WORK_ITEM_NAME_LENGTH];
    ULONG_PTR Argument;
} WORK_ITEM, *PWORK_ITEM;

// Removed and DispatcherRunning are single bytes that one thread writes and another reads without
// a lock; each access is whole and ordered, so a reader never acts on a stale view of the device.
FORCEINLINE BOOLEAN ReadFlag(const volatile BOOLEAN* Flag) {
    return VeltReadAcquire(Flag);
}

FORCEINLINE VOID WriteFlag(volatile BOOLEAN* Flag, BOOLEAN Value) {
    VeltWriteRelease(Flag, Value);
}

// A pointer that one thread publishes while others may read it at any moment, each access whole
// and ordered: a child in GamepadChild or VendorChild once it is complete (PnP requests on the
// FDO read it), a pipe handle that a restart selects anew (the children read it to repeat
// transfers).
template <typename T> FORCEINLINE T* ReadPublished(T* const* Field) {
    return VeltReadAcquire(Field);
}

template <typename T> FORCEINLINE VOID Publish(T** Field, T* Value) {
    VeltWriteRelease(Field, Value);
}

FORCEINLINE PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject) {
    return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

// Driver-wide globals, written only by DriverEntry.
extern PDRIVER_OBJECT GlobalDriverObject;
extern POOL_TYPE NonPagedPoolType;
extern NPAGED_LOOKASIDE_LIST WorkItemLookaside;

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE AddDevice;
DRIVER_UNLOAD Unload;

// Routers and the dispatch routines every kind shares.
DRIVER_DISPATCH DispatchCreateCleanCloseEtc;
DRIVER_DISPATCH DispatchSystemControl;
DRIVER_DISPATCH RoutePnp;
DRIVER_DISPATCH RoutePower;
DRIVER_DISPATCH RouteDeviceControl;

// Forwarding helpers.
DRIVER_DISPATCH PassDownIrp;
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
IO_COMPLETION_ROUTINE OnForwardComplete;

// The FDO's handlers.
DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchPowerFdo;
DRIVER_DISPATCH FdoDeviceControl;

// The children's handlers.
constexpr UCHAR CHILD_POWER_HANDLER_COUNT = 4;
DRIVER_DISPATCH ChildDispatchPnp;
DRIVER_DISPATCH ChildPowerDefault;
extern PDRIVER_DISPATCH const ChildPowerHandlers[CHILD_POWER_HANDLER_COUNT];
DRIVER_DISPATCH PdoDeviceControl;
DRIVER_DISPATCH XdoDeviceControl;

// The FDO holds its children's repeated requests from a stop's query until the restart has
// selected the configuration again (or the stop is cancelled): HoldChildTransfers begins it at
// the query and the stop, ResumeChildTransfers at the cancel, ExpectSelection before a start
// queues its selection and SelectionDone after it send the held ones down in their order (or fail
// the restart), FailRestart ends every request, held or new, as going away until the next start,
// FailHeldChildTransfers ends the held ones with a status. HoldChildTransfer decides what becomes
// of one child's request (Returned: one that came back failed); up to DISPATCH_LEVEL, the child's
// remove lock held. The others at PASSIVE_LEVEL.
VOID HoldChildTransfers(PDEVICE_EXTENSION FdoExtension);
VOID ResumeChildTransfers(PDEVICE_EXTENSION FdoExtension);
VOID ExpectSelection(PDEVICE_EXTENSION FdoExtension);
VOID SelectionDone(PDEVICE_EXTENSION FdoExtension, NTSTATUS Status);
VOID FailRestart(PDEVICE_EXTENSION FdoExtension);
VOID FailHeldChildTransfers(PDEVICE_EXTENSION FdoExtension, NTSTATUS Status);
ULONG HoldChildTransfer(PDEVICE_EXTENSION FdoExtension, PIRP ChildIrp, BOOLEAN Returned);
// HoldChildTransfer's answers: the caller sends the request down (again); the FDO took it, to
// hold or to end; the caller finishes the returned request with the status it carries.
constexpr ULONG TRANSFER_SEND = 0;
constexpr ULONG TRANSFER_TAKEN = 1;
constexpr ULONG TRANSFER_FINISH = 2;
// HeldTransfersLock held: whether a stop began holding since the child's request last passed.
BOOLEAN OvertakenByStop(PDEVICE_EXTENSION FdoExtension, PIRP ChildIrp);
// The repeater's side: a held or returned request sent down again (a transfer on the pipe
// published then), or one ended with a status and no data, the child's own pipe handle back;
// up to DISPATCH_LEVEL.
VOID RepeatHeldTransfer(PIRP ChildIrp);
VOID EndHeldTransfer(PIRP ChildIrp, NTSTATUS Status);
// IRP_MN_STOP_DEVICE, PASSIVE_LEVEL, the FDO holding: once every request listed as going down
// has reached the controller's stack, those still there are cancelled, to come back and wait
// with the held ones whatever the stack does with them at the stop.
VOID CancelSentTransfers(PDEVICE_EXTENSION FdoExtension);
// The order number of a child's repeated request.
LONG TransferSequenceOf(PIRP ChildIrp);

// Completes a request with the status it already carries and returns that status.
NTSTATUS CompleteWithExistingStatus(PIRP Irp);
// Whether a device control came from a kernel component, whose buffers are kernel memory.
BOOLEAN IsInternalRequest(PIO_STACK_LOCATION Stack);
