// Device control on the FDO: every request goes down to the controller's stack unchanged; the
// HID requests and HID descriptor reads that pass are traced down and back up. Only the lines of
// internal requests look into a request's buffers.
#include "../core/log.h"
#include "fdo.h"

namespace {

// What the way back up writes for a code.
enum class UpTrace { Text, DataReturned, Attributes };

struct IoctlTrace {
    ULONG IoControlCode;
    PCSTR Down;
    PCSTR Up;
    UpTrace UpKind;
};

// Down lines of the write and the submit-URB requests depend on their contents and are written
// by their own routines.
const IoctlTrace IoctlTraces[] = {
    {IOCTL_HID_GET_DEVICE_DESCRIPTOR, "VELTDRIVER :       IOCTL_HID_GET_DEVICE_DESCRIPTOR \n",
     "VELTDRIVER :       IOCTL_HID_GET_DEVICE_DESCRIPTOR up %d bytes of data to read,   %d "
     "returned \n",
     UpTrace::DataReturned},
    {IOCTL_HID_GET_REPORT_DESCRIPTOR, "VELTDRIVER :       IOCTL__HID_GET_REPORT_DESCRIPTOR\n",
     "VELTDRIVER :       IOCTL__HID_GET_REPORT_DESCRIPTOR up %d bytes of data to read,   %d "
     "returned \n",
     UpTrace::DataReturned},
    {IOCTL_HID_READ_REPORT, "VELTDRIVER :       IOCTL__HID_READ_REPORT\n",
     "VELTDRIVER :       IOCTL__HID_READ_REPORT up   %d bytes of data to read,   %d returned \n",
     UpTrace::DataReturned},
    {IOCTL_HID_WRITE_REPORT, NULL, "VELTDRIVER :       IOCTL__HID_WRITE_REPORT up\n",
     UpTrace::Text},
    {IOCTL_HID_GET_STRING, "VELTDRIVER :       IOCTL__HID_GET_STRING\n",
     "VELTDRIVER :       IOCTL__HID_GET_STRING up\n", UpTrace::Text},
    {IOCTL_HID_ACTIVATE_DEVICE, "VELTDRIVER :       IOCTL_HID_ACTIVATE_DEVICE \n",
     "VELTDRIVER :       IOCTL_HID_ACTIVATE_DEVICE up\n", UpTrace::Text},
    {IOCTL_HID_DEACTIVATE_DEVICE, "VELTDRIVER :       IOCTL__HID_DEACTIVATE_DEVICE\n",
     "VELTDRIVER :       IOCTL__HID_DEACTIVATE_DEVICE up\n", UpTrace::Text},
    {IOCTL_HID_GET_DEVICE_ATTRIBUTES, "VELTDRIVER :       IOCTL__HID_GET_DEVICE_ATTRIBUTES\n",
     "VELTDRIVER :       IOCTL__HID_GET_DEVICE_ATTRIBUTES    %d bytes of data to read,   %d "
     "returned \n",
     UpTrace::Attributes},
    {IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST,
     "VELTDRIVER :       IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST  \n",
     "VELTDRIVER :       IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST  \n", UpTrace::Text},
    {IOCTL_INTERNAL_USB_SUBMIT_URB, NULL, NULL, UpTrace::Text},
};

const IoctlTrace* FindTrace(ULONG IoControlCode) {
    for (const IoctlTrace& trace : IoctlTraces) {
        if (trace.IoControlCode == IoControlCode) {
            return &trace;
        }
    }
    return NULL;
}

VOID TraceWriteReport(PIRP Irp) {
    auto packet = static_cast<PHID_XFER_PACKET>(Irp->UserBuffer);
    if (packet == NULL) {
        return;
    }
    VELT_TRACE("VELTDRIVER :       IOCTL__HID_WRITE_REPORT %d bytes id = %d report buffer:\n",
               packet->reportBufferLen, packet->reportId);
    if (packet->reportBuffer != NULL) {
        HexDump(packet->reportBuffer, packet->reportBufferLen, HEX_DUMP_BYTES_PER_LINE);
    }
}

VOID TraceSubmitUrb(PIO_STACK_LOCATION Stack) {
    auto urb = static_cast<PURB>(Stack->Parameters.Others.Argument1);
    if (urb == NULL || urb->UrbHeader.Function != URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE) {
        return;
    }
    UCHAR type = urb->UrbControlDescriptorRequest.DescriptorType;
    switch (type) {
    case 0x21:
        VELT_TRACE("VELTDRIVER\t\t\t\tHID_HID_DESCRIPTOR_TYPE\n");
        break;
    case 0x22:
        VELT_TRACE("VELTDRIVER\t\t\t\tHID_REPORT_DESCRIPTOR_TYPE\n");
        break;
    case 0x23:
        VELT_TRACE("VELTDRIVER\t\t\t\tHID_PHYSICAL_DESCRIPTOR_TYPE\n");
        break;
    default:
        VELT_TRACE("VELTDRIVER\t\t\t\tDescrptor type = 0x%X\n", type);
        break;
    }
}

// The write and submit-URB lines read the request's buffers, so they are written for internal
// requests only; the other codes have a fixed line.
VOID TraceDown(PIRP Irp, PIO_STACK_LOCATION Stack) {
    ULONG code = Stack->Parameters.DeviceIoControl.IoControlCode;
    const IoctlTrace* trace = FindTrace(code);
    if (trace != NULL && trace->Down != NULL) {
        VELT_TRACE("%s", trace->Down);
        return;
    }
    if (!IsInternalRequest(Stack)) {
        return;
    }
    if (code == IOCTL_HID_WRITE_REPORT) {
        TraceWriteReport(Irp);
    } else if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        TraceSubmitUrb(Stack);
    }
}

// The returned bytes are dumped no further than the caller's buffer reaches, and only for an
// internal request: the lines of a program's request carry its lengths alone.
VOID TraceUp(PIRP Irp, PIO_STACK_LOCATION Stack) {
    const IoctlTrace* trace = FindTrace(Stack->Parameters.DeviceIoControl.IoControlCode);
    if (trace == NULL || trace->Up == NULL) {
        return;
    }
    ULONG outputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR returned = Irp->IoStatus.Information;
    BOOLEAN readable = IsInternalRequest(Stack) && Irp->UserBuffer != NULL;
    switch (trace->UpKind) {
    case UpTrace::Text:
        VELT_TRACE("%s", trace->Up);
        break;
    case UpTrace::DataReturned:
        VELT_TRACE(trace->Up, outputLength, static_cast<ULONG>(returned));
        if (readable) {
            HexDump(Irp->UserBuffer, returned < outputLength ? returned : outputLength,
                    HEX_DUMP_BYTES_PER_LINE);
        }
        break;
    case UpTrace::Attributes: {
        VELT_TRACE(trace->Up, outputLength, static_cast<ULONG>(returned));
        auto attributes = static_cast<PHID_DEVICE_ATTRIBUTES>(Irp->UserBuffer);
        if (readable && outputLength >= sizeof(HID_DEVICE_ATTRIBUTES)) {
            VELT_TRACE("VELTDRIVER :       IOCTL__HID_GET_DEVICE_ATTRIBUTES    vendor 0x%X  "
                       "product 0x%X\n",
                       attributes->VendorID, attributes->ProductID);
        }
        break;
    }
    }
}

} // namespace

// IRP_MJ_DEVICE_CONTROL and IRP_MJ_INTERNAL_DEVICE_CONTROL on the FDO, up to DISPATCH_LEVEL.
// Passes every request down; the lower stack owns the IRP on return.
NTSTATUS NTAPI FdoDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        VELT_TRACE("VELTDRIVER DeviceControl: Remove lock failed IOCTL Irp type [%x]\n",
                   stack->Parameters.DeviceIoControl.IoControlCode);
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    TraceDown(Irp, stack);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, FdoDeviceControlComplete, extension, TRUE, TRUE, TRUE);
    status = IoCallDriver(extension->LowerDeviceObject, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

// Completion of a passed-down device control, up to DISPATCH_LEVEL: traces the answer and lets
// completion go on up the stack.
NTSTATUS NTAPI FdoDeviceControlComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    TraceUp(Irp, IoGetCurrentIrpStackLocation(Irp));
    return Irp->IoStatus.Status;
}
