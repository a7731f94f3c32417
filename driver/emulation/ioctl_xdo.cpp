// URB handling on the vendor child: its constant record, the controller's own device descriptor
// and strings, and the HID class requests that it sends on to the controller's interface 3.
#include "urb_child.h"

#include "../core/log.h"

namespace {

// The controller's interface that serves the vendor child's reports.
constexpr USHORT CONTROLLER_HID_INTERFACE = 3;
constexpr UCHAR CONTROLLER_STRING_COUNT = 3;

// The controller's device descriptor as the FDO read it, or NULL when it did not obtain it.
const UCHAR* ControllerDevice(PDEVICE_EXTENSION FdoExtension, UCHAR Index) {
    UNREFERENCED_PARAMETER(Index);
    return static_cast<const UCHAR*>(FdoExtension->pDeviceDescriptor);
}

// The controller's string descriptors 1 to 3, where the FDO obtained them.
const UCHAR* ControllerString(PDEVICE_EXTENSION FdoExtension, UCHAR Index) {
    if (Index == 0 || Index > CONTROLLER_STRING_COUNT ||
        Index > FdoExtension->NumStringDescriptors) {
        return NULL;
    }
    return static_cast<const UCHAR*>(FdoExtension->pStringDescriptor[Index - 1]);
}

const CLASS_REQUEST_TEXTS VendorClassTexts = {
    NULL,
    NULL,
    {
        "VELTDRIVER : XDO : URB_FUNCTION_CLASS_INTERFACE : HID_GET_REPORT : INPUT report ID is "
        "0x%X\n",
        "VELTDRIVER : XDO : URB_FUNCTION_CLASS_INTERFACE : HID_GET_REPORT : OUTPUT  report ID is "
        "0x%X\n",
        "VELTDRIVER : XDO : URB_FUNCTION_CLASS_INTERFACE : HID_GET_REPORT : FEATURE    report ID "
        "is 0x%X\n",
    },
    "VELTDRIVER : XDO : URB_FUNCTION_CLASS_INTERFACE : HID_GET_IDLE   report ID is 0x%X\n",
    "VELTDRIVER : XDO : URB_FUNCTION_CLASS_INTERFACE : HID_GET_PROTOCOL  \n",
    {
        "VELTDRIVER : XDO : URB_FUNCTION_CLASS_INTERFACE : HID_SET_REPORT : INPUT report ID is "
        "0x%X\n",
        "VELTDRIVER : XDO : URB_FUNCTION_CLASS_INTERFACE : HID_SET_REPORT : OUTPUT  report ID is "
        "0x%X\n",
        "VELTDRIVER : XDO : URB_FUNCTION_CLASS_INTERFACE : HID_SET_REPORT : FEATURE  report ID is "
        "0x%X\n",
    },
    "VELTDRIVER : XDO : URB_FUNCTION_CLASS_INTERFACE : HID_SET_IDLE report ID  %d   duration "
    "0x%X \n",
    "VELTDRIVER : XDO : URB_FUNCTION_CLASS_INTERFACE : HID_SET_PROTOCOL protocol 0x%X \n",
};

} // namespace

// URB_FUNCTION_CLASS_INTERFACE on the vendor child, up to DISPATCH_LEVEL: addressed to the
// controller's interface 3 and repeated to it. The repeater owns the IRP on return.
NTSTATUS VendorClassRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB Urb) {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &Urb->UrbControlVendorClassRequest;
    TraceClassRequest(&VendorClassTexts, request);
    ULONG capacity = 0;
    PVOID buffer = UrbTransferBufferOf(request->TransferBuffer, request->TransferBufferMDL,
                                       request->TransferBufferLength, &capacity);
    if (buffer != NULL) {
        HexDump(buffer, capacity, HEX_DUMP_BYTES_PER_LINE);
    }
    request->Index = CONTROLLER_HID_INTERFACE;
    return IOCTLRepeatRequest(DeviceObject, Irp);
}

const CHILD_PROFILE VendorProfile = {
    "VELTDRIVER : XDO : ",
    "VELTDRIVER : XDO : ",
    "VELTDRIVER : XDO : DeviceControl : Remove lock failed IOCTL Irp type [%x]\n",
    "VELTDRIVER : XDO : IOCTL_INTERNAL_USB_SUBMIT_URB : UNKNOWN :   header function 0x%X \n",
    "VELTDRIVER : XDO : HID_HID_DESCRIPTOR_TYPE  length is %d\n",
    "VELTDRIVER : XDO : HID_REPORT_DESCRIPTOR_TYPE  length is %d\n",
    "VELTDRIVER : XDO : HID_PHYSICAL_DESCRIPTOR_TYPE  length is 0x%X \n",
    "VELTDRIVER : XDO : IOCTLRepeatRequest : IoAllocateIrp failed \n",
    &VendorEmulation,
    ControllerDevice,
    ControllerString,
    TRUE,
    VendorClassRequest,
    FALSE,
    TRUE,
    TRUE,
};

// IRP_MJ_DEVICE_CONTROL and IRP_MJ_INTERNAL_DEVICE_CONTROL on the vendor child, up to
// DISPATCH_LEVEL; only the internal ones are served. Owns the IRP on return.
NTSTATUS NTAPI XdoDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return ChildDeviceControl(DeviceObject, Irp, &VendorProfile);
}
