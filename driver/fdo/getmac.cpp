// Asking the controller for its address: an output report with the on code, input reports read
// until one carries the address, then the same output report with the code cleared.
#include "../core/log.h"
#include "fdo.h"

namespace {

constexpr SIZE_T REPORT_BUFFER_SIZE = 1024;
constexpr ULONG COMMAND_LENGTH = 32;
constexpr ULONG INPUT_REPORT_LENGTH = 64;
constexpr ULONG ADDRESS_OFFSET = 49;
constexpr ULONG ADDRESS_LENGTH = 6;
constexpr LONGLONG ONE_SECOND = -10000000LL;

constexpr ULONG COMMAND_CODE_OFFSET = 15;
constexpr UCHAR OnCode[] = {'Q', 'V', 'K', 'D'};

// The output report asking for the address (On) or ending the request (the code zeroed).
VOID WriteAddressReportCommand(PUCHAR Report, BOOLEAN On) {
    RtlZeroMemory(Report, COMMAND_LENGTH);
    Report[0] = 0x05;
    if (On) {
        RtlCopyMemory(Report + COMMAND_CODE_OFFSET, OnCode, sizeof(OnCode));
    }
    Report[19] = 0x50;
    Report[20] = 0x50;
    Report[21] = 0x40;
    Report[22] = 0x50;
}

struct MacQuery {
    PDEVICE_EXTENSION Extension;
    PUCHAR Report;
    PURB Urb;
    PIRP Irp;
    KEVENT Event;
    LARGE_INTEGER Timeout;
};

// PASSIVE_LEVEL. One interrupt transfer on the query's own IRP, which is reinitialised for each
// use and comes back to us (the completion routine stops completion); a transfer still pending
// after one second is cancelled and waited for, so the IRP is ours again on return.
VOID Transfer(MacQuery* Query, USBD_PIPE_HANDLE Pipe, ULONG Flags, ULONG Length) {
    PURB urb = Query->Urb;
    RtlZeroMemory(urb, sizeof(URB));
    urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = Pipe;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = Flags;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = Length;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = Query->Report;

    PIRP irp = Query->Irp;
    IoReuseIrp(irp, STATUS_SUCCESS);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, OnForwardComplete, &Query->Event, TRUE, TRUE, TRUE);

    KeResetEvent(&Query->Event);
    NTSTATUS status = IofCallDriver(Query->Extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        status =
            KeWaitForSingleObject(&Query->Event, Executive, KernelMode, FALSE, &Query->Timeout);
    }
    if (status == STATUS_TIMEOUT) {
        IoCancelIrp(irp);
        KeWaitForSingleObject(&Query->Event, Executive, KernelMode, FALSE, NULL);
    }
}

VOID SendCommand(MacQuery* Query, BOOLEAN On) {
    RtlZeroMemory(Query->Report, REPORT_BUFFER_SIZE);
    WriteAddressReportCommand(Query->Report, On);
    Transfer(Query, Query->Extension->InterruptOutPipe[0], USBD_SHORT_TRANSFER_OK, COMMAND_LENGTH);
}

} // namespace

// Dispatcher thread, PASSIVE_LEVEL: the "GetMac" work item. Blocks one second or more per
// attempt until the controller answers or removal begins; returns the status of the final off
// command, or STATUS_INSUFFICIENT_RESOURCES when nothing could be sent.
NTSTATUS GetMac(PDEVICE_EXTENSION Extension) {
    if (Extension->SkipGetMac) {
        return STATUS_SUCCESS;
    }
    MacQuery query;
    query.Extension = Extension;
    query.Report = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPoolType, REPORT_BUFFER_SIZE, PoolTag("Vltf")));
    query.Urb =
        static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolType, sizeof(URB), PoolTag("Vltf")));
    query.Irp =
        IoAllocateIrp(static_cast<CCHAR>(Extension->LowerDeviceObject->StackSize + 2), FALSE);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (query.Report != NULL && query.Urb != NULL && query.Irp != NULL) {
        KeInitializeEvent(&query.Event, NotificationEvent, FALSE);
        query.Timeout.QuadPart = ONE_SECOND;
        PUCHAR report = query.Report;
        do {
            SendCommand(&query, TRUE);
            // Nothing sets the event: this is the controller's second to prepare its answer.
            KeResetEvent(&query.Event);
            KeWaitForSingleObject(&query.Event, Executive, KernelMode, FALSE, &query.Timeout);
            KeResetEvent(&query.Event);
            Transfer(&query, Extension->InterruptInPipe[0],
                     USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, INPUT_REPORT_LENGTH);
            VELT_TRACE("VELTDRIVER : GetMac : ");
            HexDump(report + ADDRESS_OFFSET, ADDRESS_LENGTH, HEX_DUMP_BYTES_PER_LINE);
        } while (report[ADDRESS_OFFSET] == 0 && !ReadFlag(&Extension->Removed));
        RtlCopyMemory(Extension->MacAddress, report + ADDRESS_OFFSET, ADDRESS_LENGTH);
        SendCommand(&query, FALSE);
        status = query.Irp->IoStatus.Status;
    }
    if (query.Irp != NULL) {
        IoFreeIrp(query.Irp);
    }
    if (query.Urb != NULL) {
        ExFreePool(query.Urb);
    }
    if (query.Report != NULL) {
        ExFreePool(query.Report);
    }
    return status;
}
