// The USB stack's failure statuses by Windows generation, each row with the Microsoft pages it
// rests on (learn.microsoft.com, windows-hardware/drivers). Where no Microsoft page gives the
// code, the row says "inferred": what the stack's documented mapping of USBD codes to NTSTATUS
// and what client drivers see in the field make most likely.
// Not modelled: the bus error (XACT_ERROR) that a transfer on the wire may see
// before the hub notices an unplug; what a query-remove does to later requests.
#include "sim/usb/failure_statuses.h"

#include <ntddk.h>

#include <cstdlib>

namespace sim::usb {

const UsbFailureStatus UsbFailureStatuses[] = {
    {UsbFailure::PendingAtUnplug, UsbStack::Usb20, STATUS_DEVICE_NOT_CONNECTED,
     USBD_STATUS_DEVICE_GONE, "transfer pending when the device is unplugged",
     "inferred: kernel \"Handling an IRP_MN_SURPRISE_REMOVAL Request\" has the bus driver fail "
     "outstanding I/O; the USB 2.0 stack maps USBD_STATUS_DEVICE_GONE to "
     "STATUS_DEVICE_NOT_CONNECTED, which is what Windows 7 WinUSB clients see on unplug"},
    {UsbFailure::PendingAtUnplug, UsbStack::Usb30, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE,
     "transfer pending when the device is unplugged",
     "inferred: the hub purges the device's endpoints (usbcon \"Comparing USB device states to "
     "WDM device states\"); the purge itself may complete them STATUS_CANCELLED with "
     "USBD_STATUS_CANCELED, but Windows 10 WinUSB clients see STATUS_NO_SUCH_DEVICE on unplug, "
     "so the row takes that with DEVICE_GONE"},
    {UsbFailure::SubmittedAfterGone, UsbStack::Usb20, STATUS_DEVICE_NOT_CONNECTED,
     USBD_STATUS_DEVICE_GONE, "request sent after the device is gone",
     "kernel \"Handling an IRP_MN_SURPRISE_REMOVAL Request\": new I/O fails once the device is "
     "gone; the URB code DEVICE_GONE and STATUS_DEVICE_NOT_CONNECTED are inferred from the "
     "USB 2.0 stack's mapping"},
    {UsbFailure::SubmittedAfterGone, UsbStack::Usb30, STATUS_NO_SUCH_DEVICE,
     USBD_STATUS_INVALID_PARAMETER, "request sent after the device is gone",
     "kernel \"Handling an IRP_MN_SURPRISE_REMOVAL Request\": new I/O fails once the device is "
     "gone; STATUS_NO_SUCH_DEVICE with USBD_STATUS_INVALID_PARAMETER is inferred (the USB 3.0 "
     "hub keeps the older stack's URB code for compatibility)"},
    {UsbFailure::Cancelled, UsbStack::Usb20, STATUS_CANCELLED, USBD_STATUS_CANCELED,
     "transfer cancelled or its pipe aborted",
     "usbcon \"How to recover from USB pipe errors\": ABORT_PIPE cancels every pending transfer "
     "on the pipe; they complete with STATUS_CANCELLED and USBD_STATUS_CANCELED"},
    {UsbFailure::Cancelled, UsbStack::Usb30, STATUS_CANCELLED, USBD_STATUS_CANCELED,
     "transfer cancelled or its pipe aborted",
     "usbcon \"How to recover from USB pipe errors\": as on the USB 2.0 stack"},
    {UsbFailure::Stalled, UsbStack::Usb20, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID,
     "endpoint stalled",
     "usbcon \"How to recover from USB pipe errors\": a device STALL is USBD_STATUS_STALL_PID; "
     "STATUS_UNSUCCESSFUL is inferred (the stack maps USBD errors without an NTSTATUS of their "
     "own to it)"},
    {UsbFailure::Stalled, UsbStack::Usb30, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID,
     "endpoint stalled", "usbcon \"How to recover from USB pipe errors\": as on the USB 2.0 stack"},
    {UsbFailure::PdoNotStarted, UsbStack::Usb20, STATUS_DEVICE_NOT_CONNECTED,
     USBD_STATUS_DEVICE_GONE, "request on a PDO never started, surprise-removed or removed",
     "kernel \"Handling an IRP_MN_SURPRISE_REMOVAL Request\": after surprise removal all new I/O "
     "fails; STATUS_DEVICE_NOT_CONNECTED with DEVICE_GONE is inferred from the USB 2.0 stack's "
     "mapping"},
    {UsbFailure::PdoNotStarted, UsbStack::Usb30, STATUS_NO_SUCH_DEVICE,
     USBD_STATUS_INVALID_PARAMETER, "request on a PDO never started, surprise-removed or removed",
     "kernel \"Handling an IRP_MN_SURPRISE_REMOVAL Request\" and usbcon \"Comparing USB device "
     "states to WDM device states\": without hardware the PDO fails new I/O; "
     "STATUS_NO_SUCH_DEVICE with USBD_STATUS_INVALID_PARAMETER is inferred"},
    {UsbFailure::PdoStopped, UsbStack::Usb20, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE,
     "request on a PDO stopped and not yet started again",
     "inferred: kernel \"Handling an IRP_MN_STOP_DEVICE Request\" and \"Holding Incoming IRPs "
     "When A Device Is Paused\" have the drivers above a stopped device hold its I/O; no page "
     "documents what the USB 2.0 hub answers for a stopped PDO, so the row takes the closest "
     "documented behaviour, the same hub's for a PDO that serves no request (after surprise "
     "removal): STATUS_DEVICE_NOT_CONNECTED with DEVICE_GONE"},
    {UsbFailure::PdoStopped, UsbStack::Usb30, STATUS_NO_SUCH_DEVICE, USBD_STATUS_INVALID_PARAMETER,
     "request on a PDO stopped and not yet started again",
     "kernel \"Handling an IRP_MN_STOP_DEVICE Request\" and usbcon \"Comparing USB device states "
     "to WDM device states\": the hub releases the device's hardware at stop and fails its "
     "requests until the next start as it fails them without hardware; STATUS_NO_SUCH_DEVICE "
     "with USBD_STATUS_INVALID_PARAMETER is inferred"},
};

UsbStack CurrentUsbStack() {
    ULONG major = 0;
    ULONG minor = 0;
    PsGetVersion(&major, &minor, NULL, NULL);
    return major > 6 || (major == 6 && minor >= 2) ? UsbStack::Usb30 : UsbStack::Usb20;
}

const UsbFailureStatus& FailureStatus(UsbFailure failure, UsbStack stack) {
    for (const UsbFailureStatus& row : UsbFailureStatuses) {
        if (row.failure == failure && row.stack == stack) {
            return row;
        }
    }
    std::abort(); // every pair has its row
}

} // namespace sim::usb
