// The two children run one implementation of plug and play, PnP repeating and power; what tells
// them apart is held in a constant record per child.
#pragma once

#include "../core/driver.h"

// A UTF-16 identity string or REG_MULTI_SZ list; Length counts WCHARs, a list's closing empty
// string included, a single string's terminator not.
typedef struct _CHILD_ID {
    PCWSTR Text;
    ULONG Length;
} CHILD_ID;

#define CHILD_ID_OF(text)                                                                          \
    { text, sizeof(text) / sizeof(WCHAR) - 1 }

typedef struct _CHILD_KIND {
    PCSTR Tag; // "PDO" or "XDO" in the log
    CHILD_ID DeviceId;
    CHILD_ID HardwareIds;
    CHILD_ID InstanceId;
    ULONG Address; // DEVICE_CAPABILITIES.Address
    PDRIVER_DISPATCH Repeater;
    // Whole lines, worded differently per child. The entry line is NULL where none is written.
    PCSTR RemoveLockFailedFormat;
    PCSTR RepeaterEntryLine;
    PCSTR RepeaterAllocationFailedLine;
} CHILD_KIND;

extern const CHILD_KIND GamepadChildKind;
extern const CHILD_KIND VendorChildKind;

// The router sends only the two children here; DeviceKind 2 is the vendor child.
FORCEINLINE const CHILD_KIND* ChildKindOf(const DEVICE_EXTENSION* Extension) {
    return Extension->DeviceKind == DEVICE_KIND_VENDOR ? &VendorChildKind : &GamepadChildKind;
}

// The PnP repeater: sends a copy of a child's request to the top of the parent FDO's stack and
// completes the child's request with the answer. The caller holds the child's remove lock for
// the IRP; the repeater releases it.
DRIVER_DISPATCH RepeatRequest;
DRIVER_DISPATCH RepeatRequestXDO;
NTSTATUS RepeatPnpRequest(const CHILD_KIND* Kind, PDEVICE_OBJECT DeviceObject, PIRP Irp);
IO_COMPLETION_ROUTINE OnRepeaterComplete;

// One flag per PnP minor code: an unhandled repeated request of a flagged code fails.
constexpr UCHAR NEEDS_VOTE_ENTRIES = 0x19;
extern const UCHAR NeedsVote[NEEDS_VOTE_ENTRIES];

// Power handlers of both children.
DRIVER_DISPATCH ChildWaitWake;
DRIVER_DISPATCH ChildSetPower;
DRIVER_DISPATCH ChildQueryPower;
