// Test HID minidriver for Wine, which has no USB HID minidriver of its own: it binds to
// veltdriver's two children and does what the system's USB HID minidriver does on Windows. It
// registers with hidclass.sys, reads the child's device, configuration and report descriptors,
// selects its configuration, and turns hidclass's IOCTL_HID_* requests into URBs to the child:
// interrupt reads and writes, GET_REPORT and SET_REPORT class requests.
#include "../kernel.h"

namespace {

struct MINI_EXTENSION {
    PDEVICE_OBJECT Next;
    USB_DEVICE_DESCRIPTOR Device;
    HID_DESCRIPTOR Hid;
    PUCHAR Report;
    USHORT ReportLength;
    UCHAR Interface;
    USBD_PIPE_HANDLE In;
    USBD_PIPE_HANDLE Out;
    // Set at surprise removal or removal: no further read goes down to the child.
    LONG Removed;
};

// The URB of one request in flight, freed by its completion routine.
struct TRANSFER {
    URB Urb;
    BOOLEAN CountBytes; // Information = the bytes transferred
};

MINI_EXTENSION* ExtensionOf(PDEVICE_OBJECT Fdo) {
    return static_cast<MINI_EXTENSION*>(
        static_cast<PHID_DEVICE_EXTENSION>(Fdo->DeviceExtension)->MiniDeviceExtension);
}

// PASSIVE_LEVEL: one URB to the child, waited for; a failed URB status fails the call.
NTSTATUS SubmitUrbSync(MINI_EXTENSION* Mini, PURB Urb) {
    KEVENT done;
    IO_STATUS_BLOCK io;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Mini->Next, NULL, 0,
                                             NULL, 0, TRUE, &done, &io);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
    NTSTATUS status = IoCallDriver(Mini->Next, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = io.Status;
    }
    if (NT_SUCCESS(status) && !USBD_SUCCESS(Urb->UrbHeader.Status)) {
        status = STATUS_UNSUCCESSFUL;
    }
    return status;
}

NTSTATUS GetDescriptor(MINI_EXTENSION* Mini, USHORT Function, UCHAR Type, UCHAR Index,
                       USHORT LanguageOrInterface, PVOID Buffer, PULONG Length) {
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbHeader.Function = Function;
    urb.UrbControlDescriptorRequest.TransferBuffer = Buffer;
    urb.UrbControlDescriptorRequest.TransferBufferLength = *Length;
    urb.UrbControlDescriptorRequest.DescriptorType = Type;
    urb.UrbControlDescriptorRequest.Index = Index;
    urb.UrbControlDescriptorRequest.LanguageId = LanguageOrInterface;
    NTSTATUS status = SubmitUrbSync(Mini, &urb);
    *Length = urb.UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

// Reads the descriptors, finds the HID interface and selects the configuration with it; the
// pipe handles of its interrupt endpoints are kept.
NTSTATUS StartUsb(MINI_EXTENSION* Mini) {
    ULONG length = sizeof(Mini->Device);
    NTSTATUS status = GetDescriptor(Mini, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                    USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &Mini->Device, &length);
    if (!NT_SUCCESS(status) || length != sizeof(Mini->Device)) {
        TEST_LOG("veltmini: device descriptor failed 0x%lx length %lu\n", status, length);
        return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    }
    USB_CONFIGURATION_DESCRIPTOR header;
    length = sizeof(header);
    status = GetDescriptor(Mini, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                           USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &header, &length);
    if (!NT_SUCCESS(status) || length != sizeof(header) || header.wTotalLength < sizeof(header)) {
        TEST_LOG("veltmini: configuration header failed 0x%lx\n", status);
        return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    }
    ULONG total = header.wTotalLength;
    PUCHAR configuration =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, total, PoolTag("cMlV")));
    if (configuration == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    length = total;
    status = GetDescriptor(Mini, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                           USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration, &length);
    PURB select = NULL;
    if (NT_SUCCESS(status) && length == total) {
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration);
        PUSB_INTERFACE_DESCRIPTOR iface =
            USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 3, -1, -1);
        status = STATUS_DEVICE_DATA_ERROR;
        if (iface != NULL) {
            Mini->Interface = iface->bInterfaceNumber;
            // The HID descriptor follows the interface descriptor.
            PUCHAR hid = reinterpret_cast<PUCHAR>(iface) + iface->bLength;
            if (hid + sizeof(HID_DESCRIPTOR) <= configuration + total && hid[1] == 0x21 &&
                hid[0] >= sizeof(HID_DESCRIPTOR)) {
                RtlCopyMemory(&Mini->Hid, hid, sizeof(HID_DESCRIPTOR));
                USBD_INTERFACE_LIST_ENTRY list[2] = {{iface, NULL}, {NULL, NULL}};
                select = USBD_CreateConfigurationRequestEx(config, list);
                status =
                    select != NULL ? SubmitUrbSync(Mini, select) : STATUS_INSUFFICIENT_RESOURCES;
            }
        }
        if (NT_SUCCESS(status)) {
            PUSBD_INTERFACE_INFORMATION info = &select->UrbSelectConfiguration.Interface;
            for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
                USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
                if (pipe.PipeType != UsbdPipeTypeInterrupt) {
                    continue;
                }
                if ((pipe.EndpointAddress & 0x80) && Mini->In == NULL) {
                    Mini->In = pipe.PipeHandle;
                } else if (!(pipe.EndpointAddress & 0x80) && Mini->Out == NULL) {
                    Mini->Out = pipe.PipeHandle;
                }
            }
        }
    }
    if (select != NULL) {
        ExFreePool(select);
    }
    ExFreePool(configuration);
    if (!NT_SUCCESS(status) || Mini->In == NULL) {
        TEST_LOG("veltmini: configuration failed 0x%lx\n", status);
        return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    }
    length = Mini->Hid.DescriptorList[0].wReportLength;
    Mini->Report =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, PoolTag("rMlV")));
    if (Mini->Report == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = GetDescriptor(Mini, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x22, 0,
                           Mini->Interface, Mini->Report, &length);
    Mini->ReportLength = static_cast<USHORT>(length);
    TEST_LOG("veltmini: %04x:%04x iface %u report descriptor %lu bytes, status 0x%lx\n",
             Mini->Device.idVendor, Mini->Device.idProduct, Mini->Interface, length, status);
    return status;
}

// Up to DISPATCH_LEVEL: the child has finished a URB of hidclass's request.
NTSTATUS NTAPI TransferDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Device);
    TRANSFER* transfer = static_cast<TRANSFER*>(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status) && !USBD_SUCCESS(transfer->Urb.UrbHeader.Status)) {
        Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    }
    Irp->IoStatus.Information = 0;
    if (NT_SUCCESS(Irp->IoStatus.Status) && transfer->CountBytes) {
        // Both URB kinds keep the length at the same place.
        Irp->IoStatus.Information = transfer->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
    ExFreePool(transfer);
    return STATUS_SUCCESS;
}

// Sends hidclass's IRP itself down to the child with the URB; the completion routine finishes.
NTSTATUS SendTransfer(MINI_EXTENSION* Mini, PIRP Irp, TRANSFER* Transfer) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &Transfer->Urb;
    IoSetCompletionRoutine(Irp, TransferDone, Transfer, TRUE, TRUE, TRUE);
    return IoCallDriver(Mini->Next, Irp);
}

TRANSFER* NewTransfer() {
    TRANSFER* transfer = static_cast<TRANSFER*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(TRANSFER), PoolTag("tMlV")));
    if (transfer != NULL) {
        RtlZeroMemory(transfer, sizeof(*transfer));
        transfer->CountBytes = TRUE;
    }
    return transfer;
}

// IOCTL_HID_READ_REPORT and IOCTL_HID_WRITE_REPORT: interrupt transfers on the child's pipes;
// once the device is being removed, reads fail with STATUS_DELETE_PENDING.
NTSTATUS InterruptTransfer(MINI_EXTENSION* Mini, PIRP Irp, BOOLEAN In) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer;
    ULONG length;
    if (In && InterlockedCompareExchange(&Mini->Removed, 0, 0) != 0) {
        return Complete(Irp, STATUS_DELETE_PENDING);
    }
    if (In) {
        buffer = Irp->UserBuffer;
        length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    } else {
        PHID_XFER_PACKET packet = static_cast<PHID_XFER_PACKET>(Irp->UserBuffer);
        if (packet == NULL) {
            return Complete(Irp, STATUS_INVALID_PARAMETER);
        }
        buffer = packet->reportBuffer;
        length = packet->reportBufferLen;
    }
    USBD_PIPE_HANDLE pipe = In ? Mini->In : Mini->Out;
    if (buffer == NULL || length == 0 || pipe == NULL) {
        return Complete(Irp, STATUS_INVALID_PARAMETER);
    }
    TRANSFER* transfer = NewTransfer();
    if (transfer == NULL) {
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    auto& urb = transfer->Urb.UrbBulkOrInterruptTransfer;
    urb.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.PipeHandle = pipe;
    urb.TransferFlags = USBD_SHORT_TRANSFER_OK | (In ? USBD_TRANSFER_DIRECTION_IN : 0);
    urb.TransferBuffer = buffer;
    urb.TransferBufferLength = length;
    return SendTransfer(Mini, Irp, transfer);
}

// GET_FEATURE, SET_FEATURE, GET_INPUT_REPORT and SET_OUTPUT_REPORT: GET_REPORT or SET_REPORT on
// the HID interface, the report ID in the low byte of wValue and the type in the high byte.
NTSTATUS ClassRequest(MINI_EXTENSION* Mini, PIRP Irp, UCHAR Request, UCHAR Type) {
    PHID_XFER_PACKET packet = static_cast<PHID_XFER_PACKET>(Irp->UserBuffer);
    if (packet == NULL || packet->reportBuffer == NULL || packet->reportBufferLen == 0) {
        return Complete(Irp, STATUS_INVALID_PARAMETER);
    }
    TRANSFER* transfer = NewTransfer();
    if (transfer == NULL) {
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    auto& urb = transfer->Urb.UrbControlVendorClassRequest;
    urb.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    urb.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    urb.TransferFlags = USBD_SHORT_TRANSFER_OK | (Request == 0x01 ? USBD_TRANSFER_DIRECTION_IN : 0);
    urb.TransferBuffer = packet->reportBuffer;
    urb.TransferBufferLength = packet->reportBufferLen;
    urb.Request = Request;
    urb.Value = static_cast<USHORT>((Type << 8) | packet->reportId);
    urb.Index = Mini->Interface;
    static_assert(FIELD_OFFSET(URB, UrbControlVendorClassRequest.TransferBufferLength) ==
                      FIELD_OFFSET(URB, UrbBulkOrInterruptTransfer.TransferBufferLength),
                  "TransferDone reads the length of both URB kinds at one place");
    return SendTransfer(Mini, Irp, transfer);
}

// IOCTL_HID_GET_STRING: hidclass passes the string's ID (manufacturer, product, serial number)
// in Type3InputBuffer; the answer is the child's string descriptor in the language 0x0409.
NTSTATUS GetString(MINI_EXTENSION* Mini, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG id = static_cast<ULONG>(
        reinterpret_cast<ULONG_PTR>(stack->Parameters.DeviceIoControl.Type3InputBuffer) & 0xFFFF);
    UCHAR index = id == 14   ? Mini->Device.iManufacturer
                  : id == 15 ? Mini->Device.iProduct
                  : id == 16 ? Mini->Device.iSerialNumber
                             : 0;
    ULONG capacity = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PWCHAR out = static_cast<PWCHAR>(Irp->UserBuffer);
    if (index == 0 || out == NULL || capacity < sizeof(WCHAR)) {
        return Complete(Irp, STATUS_INVALID_PARAMETER);
    }
    UCHAR descriptor[256] = {};
    ULONG length = sizeof(descriptor);
    NTSTATUS status = GetDescriptor(Mini, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                    USB_STRING_DESCRIPTOR_TYPE, index, 0x0409, descriptor, &length);
    // The device's answer is untrusted: a string descriptor, no longer than what it returned.
    if (!NT_SUCCESS(status) || length < 2 || length > sizeof(descriptor) || descriptor[0] < 2 ||
        descriptor[0] > length || descriptor[1] != USB_STRING_DESCRIPTOR_TYPE) {
        return Complete(Irp, NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status);
    }
    ULONG chars = (descriptor[0] - 2) / 2;
    ULONG room = capacity / sizeof(WCHAR) - 1;
    chars = chars < room ? chars : room;
    for (ULONG i = 0; i < chars; ++i) {
        out[i] = static_cast<WCHAR>(descriptor[2 + 2 * i] | (descriptor[3 + 2 * i] << 8));
    }
    out[chars] = 0;
    Irp->IoStatus.Information = (chars + 1) * sizeof(WCHAR);
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS CopyToUser(PIRP Irp, const void* Data, ULONG Size) {
    ULONG capacity =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (Irp->UserBuffer == NULL || capacity < Size) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    RtlCopyMemory(Irp->UserBuffer, Data, Size);
    Irp->IoStatus.Information = Size;
    return Complete(Irp, STATUS_SUCCESS);
}

// IRP_MJ_INTERNAL_DEVICE_CONTROL from hidclass, up to DISPATCH_LEVEL for the transfers.
NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT Fdo, PIRP Irp) {
    MINI_EXTENSION* mini = ExtensionOf(Fdo);
    Irp->IoStatus.Information = 0;
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR:
        return CopyToUser(Irp, &mini->Hid, sizeof(mini->Hid));
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
        return CopyToUser(Irp, mini->Report, mini->ReportLength);
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES: {
        HID_DEVICE_ATTRIBUTES attributes;
        RtlZeroMemory(&attributes, sizeof(attributes));
        attributes.Size = sizeof(attributes);
        attributes.VendorID = mini->Device.idVendor;
        attributes.ProductID = mini->Device.idProduct;
        attributes.VersionNumber = mini->Device.bcdDevice;
        return CopyToUser(Irp, &attributes, sizeof(attributes));
    }
    case IOCTL_HID_READ_REPORT:
        return InterruptTransfer(mini, Irp, TRUE);
    case IOCTL_HID_WRITE_REPORT:
        return InterruptTransfer(mini, Irp, FALSE);
    case IOCTL_HID_GET_FEATURE:
        return ClassRequest(mini, Irp, 0x01, 3);
    case IOCTL_HID_SET_FEATURE:
        return ClassRequest(mini, Irp, 0x09, 3);
    case IOCTL_HID_GET_INPUT_REPORT:
        return ClassRequest(mini, Irp, 0x01, 1);
    case IOCTL_HID_SET_OUTPUT_REPORT:
        return ClassRequest(mini, Irp, 0x09, 2);
    case IOCTL_HID_GET_STRING:
        return GetString(mini, Irp);
    default:
        return Complete(Irp, STATUS_NOT_SUPPORTED);
    }
}

// Aborts the IN pipe, as the system's minidriver does when its device goes: the child's pending
// reads come back and hidclass's read thread can end.
VOID AbortReads(MINI_EXTENSION* Mini) {
    if (Mini->In == NULL) {
        return;
    }
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb.UrbPipeRequest.PipeHandle = Mini->In;
    NTSTATUS status = SubmitUrbSync(Mini, &urb);
    TEST_LOG("veltmini: %04x:%04x abort pipe 0x%lx\n", Mini->Device.idVendor,
             Mini->Device.idProduct, status);
}

// IRP_MJ_PNP from hidclass, PASSIVE_LEVEL. Nothing pends: Wine waits for ever on a START, a
// removal or a capabilities query that does. hidclass deletes the FDO after REMOVE itself.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT Fdo, PIRP Irp) {
    MINI_EXTENSION* mini = ExtensionOf(Fdo);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(mini->Next, Irp);
        if (NT_SUCCESS(status)) {
            status = StartUsb(mini);
        }
        return Complete(Irp, status);
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE: {
        InterlockedExchange(&mini->Removed, 1);
        AbortReads(mini);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = ForwardAndWait(mini->Next, Irp);
        if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_REMOVE_DEVICE &&
            mini->Report != NULL) {
            ExFreePool(mini->Report);
            mini->Report = NULL;
        }
        return Complete(Irp, status);
    }
    case IRP_MN_QUERY_CAPABILITIES:
        return Complete(Irp, ForwardAndWait(mini->Next, Irp));
    default:
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(mini->Next, Irp);
    }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT Fdo, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ExtensionOf(Fdo)->Next, Irp);
}

// hidclass has created the FDO and calls this before it attaches it over the child.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Fdo) {
    UNREFERENCED_PARAMETER(Driver);
    MINI_EXTENSION* mini = ExtensionOf(Fdo);
    RtlZeroMemory(mini, sizeof(*mini));
    mini->Next = static_cast<PHID_DEVICE_EXTENSION>(Fdo->DeviceExtension)->NextDeviceObject;
    Fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT Driver) {
    UNREFERENCED_PARAMETER(Driver);
    TEST_LOG("veltmini: unloaded\n");
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
    // hidclass keeps these and installs its own in their place.
    Driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    Driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    Driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    Driver->DriverExtension->AddDevice = AddDevice;
    Driver->DriverUnload = Unload;
    HID_MINIDRIVER_REGISTRATION registration;
    RtlZeroMemory(&registration, sizeof(registration));
    registration.Revision = HID_REVISION;
    registration.DriverObject = Driver;
    registration.RegistryPath = RegistryPath;
    registration.DeviceExtensionSize = sizeof(MINI_EXTENSION);
    registration.DevicesArePolled = FALSE;
    NTSTATUS status = HidRegisterMinidriver(&registration);
    TEST_LOG("veltmini: registered with hidclass, status 0x%lx\n", status);
    return status;
}
