// The vendor child's identity and its entry to the PnP repeater.
#include "child.h"

const CHILD_KIND VendorChildKind = {
    "XDO",
    CHILD_ID_OF(VELT_WIDE("USB\\VID_F3A1&PID_5C2D")),
    CHILD_ID_OF(VELT_WIDE("USB\\VID_F3A1&PID_5C2D&REV_0100\0"
                          "USB\\VID_F3A1&PID_5C2D\0"
                          "\0")),
    CHILD_ID_OF(VELT_WIDE("0011")),
    11,
    RepeatRequestXDO,
    "VELTDRIVER : XDO : DispatchPnp : Remove lock failed PNP Irp type [%#02x]\n",
    "VELTDRIVER : XDO : RepeatRequestXDO\n",
    "VELTDRIVER : XDO : RepeatRequestXDO : IoAllocateIrp failed \n",
};

// PASSIVE_LEVEL. Returns STATUS_PENDING with the IRP owned by the completion routine, or
// STATUS_INSUFFICIENT_RESOURCES with the IRP completed.
NTSTATUS NTAPI RepeatRequestXDO(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return RepeatPnpRequest(&VendorChildKind, DeviceObject, Irp);
}
