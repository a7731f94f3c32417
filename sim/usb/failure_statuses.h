// How the system's USB stack fails a client's requests, by Windows generation: one table, each
// row with its source, so that the bus and the hub's PDO fail requests the way the USB stack of
// the Windows version the driver runs on does.
#pragma once

#include <usb.h>

namespace sim::usb {

// The USB driver stack that serves a device: the USB 2.0 stack (usbport and usbhub) up to
// Windows 7, the USB 3.0 stack (UCX and usbhub3) from Windows 8 on.
enum class UsbStack { Usb20, Usb30 };

// The stack of the Windows version the kernel presents (PsGetVersion).
UsbStack CurrentUsbStack();

enum class UsbFailure {
    PendingAtUnplug,    // a transfer pending when the device leaves the bus
    SubmittedAfterGone, // a request sent after the device has left
    Cancelled,          // a transfer cancelled, or aborted with ABORT_PIPE
    Stalled,            // the device stalled the endpoint
    PdoNotStarted,      // a request on a PDO never started, surprise-removed or removed
    PdoStopped,         // a request on a PDO from IRP_MN_STOP_DEVICE until the next start
};

struct UsbFailureStatus {
    UsbFailure failure;
    UsbStack stack;
    NTSTATUS status;   // the IRP's status
    USBD_STATUS usbd;  // the URB header's status
    const char* where; // the situation
    const char* source;
};

extern const UsbFailureStatus UsbFailureStatuses[];

// The row for a failure on a stack; every pair has one.
const UsbFailureStatus& FailureStatus(UsbFailure failure, UsbStack stack = CurrentUsbStack());

} // namespace sim::usb
