// The USB stack's failure statuses by Windows generation. Sources: the notes in
// ../shared/windows/usb-hid-pnp.md (section 1, "Per-scenario table"), which gather Microsoft's
// USB client documentation (usbcon: how-to-recover-from-usb-pipe-errors, usb-control-transfer,
// comparing-usb-device-states-to-wdm-device-states; kernel: handling-an-irp-mn-surprise-removal-
// request) and the behaviour of reimplementations of both stacks where Microsoft documents none.
// Not modelled: the bus error (XACT_ERROR) that a transfer on the wire may see before the hub
// notices an unplug, and what a query-remove does to later requests.
#include "sim/usb/failure_statuses.h"

#include <ntddk.h>

#include <cstdlib>

namespace sim::usb {

const UsbFailureStatus UsbFailureStatuses[] = {
    {UsbFailure::PendingAtUnplug, UsbStack::Usb20, STATUS_DEVICE_NOT_CONNECTED,
     USBD_STATUS_DEVICE_GONE, "transfer pending when the device is unplugged",
     "USB 2.0 port driver: endpoints of a removed device complete their transfers with "
     "USBD_STATUS_DEVICE_GONE, which it maps to STATUS_DEVICE_NOT_CONNECTED; Windows 7 WinUSB "
     "unplug failures are ERROR_DEVICE_NOT_CONNECTED"},
    {UsbFailure::PendingAtUnplug, UsbStack::Usb30, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE,
     "transfer pending when the device is unplugged",
     "USB 3.0 hub: the PDO is flagged to fail requests and the endpoints are purged; its "
     "USBD-to-NTSTATUS mapping gives DEVICE_GONE as STATUS_NO_SUCH_DEVICE; Windows 10 WinUSB "
     "unplug failures are ERROR_NO_SUCH_DEVICE (the exact URB code is unknown)"},
    {UsbFailure::SubmittedAfterGone, UsbStack::Usb20, STATUS_DEVICE_NOT_CONNECTED,
     USBD_STATUS_DEVICE_GONE, "request sent after the device is gone",
     "USB 2.0 hub: PDO remove-pending or parent gone fails with STATUS_DEVICE_NOT_CONNECTED; the "
     "port driver completes a stale device handle's URBs the same way"},
    {UsbFailure::SubmittedAfterGone, UsbStack::Usb30, STATUS_NO_SUCH_DEVICE,
     USBD_STATUS_INVALID_PARAMETER, "request sent after the device is gone",
     "USB 3.0 hub: the PDO fails the URB at once with STATUS_NO_SUCH_DEVICE and "
     "USBD_STATUS_INVALID_PARAMETER (kept for XP compatibility)"},
    {UsbFailure::Cancelled, UsbStack::Usb20, STATUS_CANCELLED, USBD_STATUS_CANCELED,
     "transfer cancelled or its pipe aborted",
     "Microsoft: ABORT_PIPE cancels every pending transfer on the pipe; the port driver completes "
     "them with USBD_STATUS_CANCELED and STATUS_CANCELLED"},
    {UsbFailure::Cancelled, UsbStack::Usb30, STATUS_CANCELLED, USBD_STATUS_CANCELED,
     "transfer cancelled or its pipe aborted",
     "xHCI controller driver: a cancel completes with STATUS_CANCELLED and USBD_STATUS_CANCELED"},
    {UsbFailure::Stalled, UsbStack::Usb20, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID,
     "endpoint stalled",
     "Microsoft: a device STALL is reported as USBD_STATUS_STALL_PID; the port driver maps every "
     "other USBD error to STATUS_UNSUCCESSFUL"},
    {UsbFailure::Stalled, UsbStack::Usb30, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID,
     "endpoint stalled", "xHCI controller driver: a stall is STALL_PID and STATUS_UNSUCCESSFUL"},
    {UsbFailure::PdoNotStarted, UsbStack::Usb20, STATUS_DEVICE_NOT_CONNECTED,
     USBD_STATUS_DEVICE_GONE, "request on a stopped or removed PDO",
     "Microsoft: after surprise removal a driver fails all new I/O; the USB 2.0 hub fails them "
     "with STATUS_DEVICE_NOT_CONNECTED (for a stopped PDO no source settles it: the same is "
     "assumed)"},
    {UsbFailure::PdoNotStarted, UsbStack::Usb30, STATUS_NO_SUCH_DEVICE,
     USBD_STATUS_INVALID_PARAMETER, "request on a stopped or removed PDO",
     "USB 3.0 hub: from releasing the hardware (stop or remove) until the next start, and after "
     "surprise removal, URBs fail with STATUS_NO_SUCH_DEVICE and USBD_STATUS_INVALID_PARAMETER"},
};

const size_t UsbFailureStatusCount = sizeof UsbFailureStatuses / sizeof UsbFailureStatuses[0];

UsbStack CurrentUsbStack() {
    ULONG major = 0;
    ULONG minor = 0;
    PsGetVersion(&major, &minor, NULL, NULL);
    return major > 6 || (major == 6 && minor >= 2) ? UsbStack::Usb30 : UsbStack::Usb20;
}

const char* UsbStackName(UsbStack stack) {
    return stack == UsbStack::Usb30 ? "USB 3.0 (Windows 8 and later)" : "USB 2.0 (Windows XP to 7)";
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
