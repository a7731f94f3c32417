// The gamepad child's identity and its entry to the PnP repeater.
#include "child.h"

const CHILD_KIND GamepadChildKind = {
    "PDO",
    CHILD_ID_OF(VELT_WIDE("USB\\VID_054C&PID_09CC")),
    CHILD_ID_OF(VELT_WIDE("USB\\VID_054C&PID_09CC&REV_0100\0"
                          "USB\\VID_054C&PID_09CC\0"
                          "\0")),
    CHILD_ID_OF(VELT_WIDE("0010")),
    10,
    RepeatRequest,
    "VELTDRIVER :  PDO : Pnp: Remove lock failed PNP Irp type [%#02x]\n",
    NULL,
    "VELTDRIVER :  PDO : PnP RepeatRequest : IoAllocateIrp failed \n",
};

// PASSIVE_LEVEL. Returns STATUS_PENDING with the IRP owned by the completion routine, or
// STATUS_INSUFFICIENT_RESOURCES with the IRP completed.
NTSTATUS NTAPI RepeatRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return RepeatPnpRequest(&GamepadChildKind, DeviceObject, Irp);
}
