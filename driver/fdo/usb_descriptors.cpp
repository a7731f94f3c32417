// Reading the controller's USB descriptors: pool copies in the FDO extension, the report
// descriptor of every HID interface, and a readable dump of all of it. The controller's
// descriptors are untrusted: every read is bounded by what was allocated and received.
#include "../core/log.h"
#include "fdo.h"

namespace {

constexpr ULONG HARDWARE_ID_BUFFER_SIZE = 256;
constexpr ULONG SHORT_STRING_READ = 4;
constexpr ULONG STRING_SLACK = 20;
constexpr UCHAR HID_DESCRIPTOR_TYPE = 0x21;
constexpr UCHAR HID_REPORT_DESCRIPTOR_TYPE = 0x22;
constexpr UCHAR AUDIO_INTERFACE_DESCRIPTOR_TYPE = 0x24;
constexpr UCHAR AUDIO_ENDPOINT_DESCRIPTOR_TYPE = 0x25;
// A HID descriptor up to and including the length of its first class descriptor.
constexpr ULONG HID_DESCRIPTOR_SIZE = 9;
constexpr ULONG SKIP_GET_MAC_REPORT_LENGTH = 220;
// Five seconds, relative, in 100 ns units: the control-transfer bound a USB client commonly
// keeps (the stack itself puts none on a plain control transfer).
constexpr LONGLONG SYNC_URB_TIMEOUT = -5LL * 10 * 1000 * 1000;

USHORT ReadUshort(const UCHAR* Bytes) {
    return static_cast<USHORT>(Bytes[0] | (Bytes[1] << 8));
}

VOID FreeAndClear(PVOID* Buffer) {
    if (*Buffer != NULL) {
        ExFreePool(*Buffer);
        *Buffer = NULL;
    }
}

// PASSIVE_LEVEL. One control descriptor request; Received gets the bytes the device returned.
NTSTATUS ReadDescriptor(PDEVICE_EXTENSION Extension, USHORT Function, UCHAR DescriptorType,
                        UCHAR Index, USHORT LanguageId, PVOID Buffer, ULONG Length,
                        PULONG Received) {
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbHeader.Function = Function;
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbControlDescriptorRequest.TransferBufferLength = Length;
    urb.UrbControlDescriptorRequest.TransferBuffer = Buffer;
    urb.UrbControlDescriptorRequest.DescriptorType = DescriptorType;
    urb.UrbControlDescriptorRequest.Index = Index;
    urb.UrbControlDescriptorRequest.LanguageId = LanguageId;
    NTSTATUS status = SubmitUrbSync(Extension, &urb);
    ULONG received = urb.UrbControlDescriptorRequest.TransferBufferLength;
    *Received = received < Length ? received : Length;
    return status;
}

NTSTATUS ReadFromDevice(PDEVICE_EXTENSION Extension, UCHAR DescriptorType, UCHAR Index,
                        USHORT LanguageId, PVOID Buffer, ULONG Length, PULONG Received) {
    return ReadDescriptor(Extension, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, DescriptorType, Index,
                          LanguageId, Buffer, Length, Received);
}

VOID LogHardwareId(PDEVICE_EXTENSION Extension) {
    // Zeroed and terminated here: the property may be absent, truncated or unterminated.
    WCHAR hardwareId[HARDWARE_ID_BUFFER_SIZE / sizeof(WCHAR)];
    RtlZeroMemory(hardwareId, sizeof(hardwareId));
    ULONG resultLength = 0;
    IoGetDeviceProperty(Extension->PhysicalDeviceObject, DevicePropertyHardwareID,
                        sizeof(hardwareId), hardwareId, &resultLength);
    hardwareId[HARDWARE_ID_BUFFER_SIZE / sizeof(WCHAR) - 1] = 0;
    VELT_TRACE("VELTDRIVER : GetDescriptorData, DevicePropertyHardwareID %p  %S\n",
               Extension->ParentFdo, hardwareId);
}

VOID ReleaseDescriptorCopies(PDEVICE_EXTENSION Extension) {
    FreeAndClear(&Extension->pDeviceDescriptor);
    FreeAndClear(&Extension->pConfigDescriptorHeader);
    FreeAndClear(&Extension->pConfigDescriptor);
    for (ULONG i = 0; i < MAX_STRING_DESCRIPTORS; ++i) {
        FreeAndClear(&Extension->pStringDescriptor[i]);
    }
    Extension->NumStringDescriptors = 0;
    for (ULONG i = 0; i < MAX_HID_INTERFACES; ++i) {
        FreeAndClear(&Extension->pReportDescriptor[i]);
    }
}

// Reads string `Index` into a new pool copy; FALSE ends the string loop.
BOOLEAN ReadOneString(PDEVICE_EXTENSION Extension, UCHAR Index, USHORT LanguageId) {
    UCHAR shortRead[SHORT_STRING_READ] = {};
    ULONG received = 0;
    NTSTATUS status = ReadFromDevice(Extension, USB_STRING_DESCRIPTOR_TYPE, Index, LanguageId,
                                     shortRead, SHORT_STRING_READ, &received);
    if (!NT_SUCCESS(status) || received == 0 || shortRead[0] == 0) {
        return FALSE;
    }
    UCHAR length = shortRead[0];
    PVOID* entry = &Extension->pStringDescriptor[Index - 1];
    *entry = ExAllocatePoolWithTag(NonPagedPoolType, length + STRING_SLACK, PoolTag("Vlt2"));
    if (*entry == NULL) {
        VELT_ERROR("VELTDRIVER : Allocation failure for pDevExt->pStringDescriptor[i]\n");
        return FALSE;
    }
    PUCHAR copy = static_cast<PUCHAR>(*entry);
    RtlZeroMemory(copy, length + STRING_SLACK);
    status = ReadFromDevice(Extension, USB_STRING_DESCRIPTOR_TYPE, Index, LanguageId, copy, length,
                            &received);
    // A failed read returned nothing to compare, so it is not reported as a length mismatch.
    if (!NT_SUCCESS(status)) {
        FreeAndClear(entry);
        return FALSE;
    }
    if (copy[0] != length) {
        VELT_ERROR("VELTDRIVER : Different lengths for allocated %d and Second call %d for string "
                   "descriptor\n",
                   length, copy[0]);
        FreeAndClear(entry);
        return FALSE;
    }
    ULONG terminator = length == 1 ? 2 : (length & ~1u);
    copy[terminator] = 0;
    copy[terminator + 1] = 0;
    VELT_TRACE("VELTDRIVER : %S\n", reinterpret_cast<PWCHAR>(copy + 2));
    Extension->NumStringDescriptors++;
    return TRUE;
}

VOID ReadStrings(PDEVICE_EXTENSION Extension) {
    UCHAR languages[SHORT_STRING_READ] = {};
    ULONG received = 0;
    NTSTATUS status = ReadFromDevice(Extension, USB_STRING_DESCRIPTOR_TYPE, 0, 0, languages,
                                     SHORT_STRING_READ, &received);
    if (!NT_SUCCESS(status) || received == 0 || languages[0] == 0) {
        return;
    }
    USHORT languageId = ReadUshort(&languages[2]);
    VELT_TRACE("\n\n\n");
    VELT_TRACE("VELTDRIVER : S T R I N G    D E S C R I P T O R S:\n");
    for (UCHAR index = 1; index <= MAX_STRING_DESCRIPTORS; ++index) {
        if (!ReadOneString(Extension, index, languageId)) {
            break;
        }
    }
}

VOID DumpDeviceDescriptor(PUSB_DEVICE_DESCRIPTOR Descriptor) {
    VELT_TRACE("\n\n\n");
    VELT_TRACE("VELTDRIVER : D E V I C E    D E S C R I P T O R:\n");
    VELT_TRACE("VELTDRIVER : bLength %d\n", Descriptor->bLength);
    VELT_TRACE("VELTDRIVER : bDescriptorType %d\n", Descriptor->bDescriptorType);
    VELT_TRACE("VELTDRIVER : bcdUSB 0x%X\n", Descriptor->bcdUSB);
    VELT_TRACE("VELTDRIVER : bDeviceClass %d\n", Descriptor->bDeviceClass);
    VELT_TRACE("VELTDRIVER : bDeviceSubClass %d\n", Descriptor->bDeviceSubClass);
    VELT_TRACE("VELTDRIVER : bDeviceProtocol %d\n", Descriptor->bDeviceProtocol);
    VELT_TRACE("VELTDRIVER : bMaxPacketSize0 %d\n", Descriptor->bMaxPacketSize0);
    VELT_TRACE("VELTDRIVER : idVendor 0x%X\n", Descriptor->idVendor);
    VELT_TRACE("VELTDRIVER : idProduct 0x%X\n", Descriptor->idProduct);
    VELT_TRACE("VELTDRIVER : bcdDevice 0x%X\n", Descriptor->bcdDevice);
    VELT_TRACE("VELTDRIVER : iManufacturer %d\n", Descriptor->iManufacturer);
    VELT_TRACE("VELTDRIVER : iProduct %d\n", Descriptor->iProduct);
    VELT_TRACE("VELTDRIVER : iSerialNumber %d\n", Descriptor->iSerialNumber);
    VELT_TRACE("VELTDRIVER : bNumConfigurations %d\n", Descriptor->bNumConfigurations);
}

// Reads the 9-byte header and then the whole configuration. The copy's wTotalLength is cut to
// the bytes actually received, so every later reader of the copy stays inside it.
NTSTATUS ReadConfiguration(PDEVICE_EXTENSION Extension) {
    Extension->pConfigDescriptorHeader = ExAllocatePoolWithTag(
        NonPagedPoolType, sizeof(USB_CONFIGURATION_DESCRIPTOR), PoolTag("Vlt4"));
    if (Extension->pConfigDescriptorHeader == NULL) {
        VELT_TRACE("VELTDRIVER : Failed to allocate configuration descriptor\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto header = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Extension->pConfigDescriptorHeader);
    RtlZeroMemory(header, sizeof(*header));
    ULONG received = 0;
    NTSTATUS status = ReadFromDevice(Extension, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header,
                                     sizeof(*header), &received);
    if (NT_SUCCESS(status) && (received < sizeof(*header) ||
                               header->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        VELT_TRACE("VELTDRIVER : Failed to read configuration descriptor\n");
        return status;
    }
    ULONG totalLength = header->wTotalLength;
    Extension->pConfigDescriptor =
        ExAllocatePoolWithTag(NonPagedPoolType, totalLength, PoolTag("Vlt5"));
    if (Extension->pConfigDescriptor == NULL) {
        VELT_TRACE("VELTDRIVER : Failed to allocate configuration descriptor 1\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto whole = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Extension->pConfigDescriptor);
    status = ReadFromDevice(Extension, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, whole, totalLength,
                            &received);
    if (NT_SUCCESS(status) && received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        VELT_TRACE("VELTDRIVER : Failed to read configuration descriptor 1\n");
        // What the failed read left is not a configuration: nobody may parse it.
        FreeAndClear(&Extension->pConfigDescriptor);
        return status;
    }
    if (whole->wTotalLength > received) {
        whole->wTotalLength = static_cast<USHORT>(received);
    }
    return status;
}

} // namespace

// PASSIVE_LEVEL only: blocks until the lower stack has completed the URB, or for at most
// SYNC_URB_TIMEOUT and then until the cancelled request is back. The caller keeps the URB.
NTSTATUS SubmitUrbSync(PDEVICE_EXTENSION Extension, PURB Urb) {
    PDEVICE_OBJECT lower = Extension->LowerDeviceObject;
    // An IRP of our own rather than a threaded one: it must stay ours to cancel after the wait
    // gave up on it.
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (irp == NULL) {
        // The line keeps the routine's earlier name: the log's readers look for this text.
        VELT_ERROR("VELTDRIVER :IoBuildDeviceIoControlRequest failed\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, OnForwardComplete, &event, TRUE, TRUE, TRUE);
    IofCallDriver(lower, irp);
    // A device that never answers (one that NAKs forever) must not hold the dispatcher thread,
    // and with it the FDO's removal, without end: past the bound the request is cancelled,
    // waited for, and fails with the status the cancellation brought back.
    LARGE_INTEGER timeout;
    timeout.QuadPart = SYNC_URB_TIMEOUT;
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        VELT_ERROR("VELTDRIVER : SubmitUrbSync : no answer from the device, request cancelled\n");
        IoCancelIrp(irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// Dispatcher thread, PASSIVE_LEVEL: the "GetDescriptorData" work item. Replaces the copies of
// an earlier run; returns the status of the last request.
NTSTATUS GetDescriptorData(PDEVICE_EXTENSION Extension) {
    LogHardwareId(Extension);
    ReleaseDescriptorCopies(Extension);
    ReadStrings(Extension);

    Extension->pDeviceDescriptor =
        ExAllocatePoolWithTag(NonPagedPoolType, sizeof(USB_DEVICE_DESCRIPTOR), PoolTag("Vlt3"));
    if (Extension->pDeviceDescriptor == NULL) {
        VELT_TRACE("VELTDRIVER : Failed to allocate device descriptor\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Extension->pDeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    ULONG received = 0;
    NTSTATUS status =
        ReadFromDevice(Extension, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, Extension->pDeviceDescriptor,
                       sizeof(USB_DEVICE_DESCRIPTOR), &received);
    if (!NT_SUCCESS(status)) {
        VELT_TRACE("VELTDRIVER : Failed to read device descriptor\n");
        return status;
    }
    DumpDeviceDescriptor(static_cast<PUSB_DEVICE_DESCRIPTOR>(Extension->pDeviceDescriptor));

    status = ReadConfiguration(Extension);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return DisplayConfigDescAndGetReportDescriptopr(Extension);
}

// Dispatcher thread, PASSIVE_LEVEL. Walks the configuration copy, whose wTotalLength never
// exceeds what was received; a zero length or a descriptor running past the end ends the walk.
NTSTATUS DisplayConfigDescAndGetReportDescriptopr(PDEVICE_EXTENSION Extension) {
    PUCHAR start = static_cast<PUCHAR>(Extension->pConfigDescriptor);
    PUCHAR end = start + ReadUshort(start + 2);
    ULONG interfaceNumber = 0;
    for (PUCHAR position = start; position + 2 < end;) {
        UCHAR length = position[0];
        UCHAR type = position[1];
        if (length == 0 || position + length > end) {
            break;
        }
        switch (type) {
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            if (length == sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
                DumpConfigurationDescriptor(
                    Extension, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(position));
            }
            break;
        case USB_INTERFACE_DESCRIPTOR_TYPE:
            if (length == sizeof(USB_INTERFACE_DESCRIPTOR)) {
                auto iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(position);
                interfaceNumber = iface->bInterfaceNumber;
                DumpInterfaceDescriptor(Extension, iface);
            }
            break;
        case USB_ENDPOINT_DESCRIPTOR_TYPE:
            if (length == sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                DumpEndpointDescriptor(Extension,
                                       reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(position));
            }
            break;
        case HID_DESCRIPTOR_TYPE:
            GetHidDescriptorAndReport(Extension, position, interfaceNumber);
            break;
        case AUDIO_INTERFACE_DESCRIPTOR_TYPE:
            VELT_TRACE("VELTDRIVER : Audio Interface Descriptor \n");
            break;
        case AUDIO_ENDPOINT_DESCRIPTOR_TYPE:
            VELT_TRACE("VELTDRIVER : Audio Endpoint Descriptor \n");
            break;
        default:
            VELT_TRACE("VELTDRIVER : DisplayConfigDescAndGetReportDescriptopr :    Unknown "
                       "descriptor type %d\n",
                       type);
            break;
        }
        position += length;
    }
    return STATUS_SUCCESS;
}

// Dispatcher thread, PASSIVE_LEVEL. Dumps one HID descriptor of the configuration copy and
// fetches its interface's report descriptor. Bytes beyond the descriptor's own length read as
// zero, and a descriptor too short to announce a report length fetches nothing.
NTSTATUS GetHidDescriptorAndReport(PDEVICE_EXTENSION Extension, PUCHAR HidDescriptor,
                                   ULONG InterfaceNumber) {
    UCHAR hid[HID_DESCRIPTOR_SIZE] = {};
    ULONG available =
        HidDescriptor[0] < HID_DESCRIPTOR_SIZE ? HidDescriptor[0] : HID_DESCRIPTOR_SIZE;
    RtlCopyMemory(hid, HidDescriptor, available);

    VELT_TRACE("\n\n");
    VELT_TRACE("VELTDRIVER : H I D  D E S C R I P T O R for interface %d:\n", InterfaceNumber);
    VELT_TRACE("VELTDRIVER : bLength:              0x%04X\n", hid[0]);
    VELT_TRACE("VELTDRIVER : bDescriptorType:      0x%04X\n", hid[1]);
    VELT_TRACE("VELTDRIVER : bcdHID:               0x%04X\n", ReadUshort(&hid[2]));
    VELT_TRACE("VELTDRIVER : bCountry:             0x%04X\n", hid[4]);
    VELT_TRACE("VELTDRIVER : bNumDescriptors:      0x%04X\n", hid[5]);

    NTSTATUS status = STATUS_SUCCESS;
    if (hid[1] != HID_DESCRIPTOR_TYPE || available < HID_DESCRIPTOR_SIZE) {
        VELT_TRACE("\n\n");
        return status;
    }
    if (InterfaceNumber >= MAX_HID_INTERFACES) {
        VELT_TRACE("VELTDRIVER : Exceeded maximum (5) numberof interfaces per device\n");
        VELT_TRACE("\n\n");
        return status;
    }
    USHORT reportLength = ReadUshort(&hid[7]);
    VELT_TRACE("\n\n");
    VELT_TRACE("VELTDRIVER : R E P O R T   D E S C R I P T O R:\n");
    VELT_TRACE("VELTDRIVER : bReportType:          0x%04X\n", hid[6]);
    VELT_TRACE("VELTDRIVER : wReportLength:        0x%04X\n", reportLength);
    if (reportLength == 0) {
        return status;
    }
    if (reportLength == SKIP_GET_MAC_REPORT_LENGTH) {
        Extension->SkipGetMac = 1;
    }

    // A second HID descriptor for the same interface replaces the first copy.
    FreeAndClear(&Extension->pReportDescriptor[InterfaceNumber]);
    PUCHAR report =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolType, reportLength, PoolTag("rlup")));
    if (report == NULL) {
        VELT_TRACE("\n\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(report, reportLength);
    Extension->pReportDescriptor[InterfaceNumber] = report;

    ULONG received = 0;
    status = ReadDescriptor(Extension, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE,
                            HID_REPORT_DESCRIPTOR_TYPE, 0, static_cast<USHORT>(InterfaceNumber),
                            report, reportLength, &received);
    if (NT_SUCCESS(status)) {
        Extension->ReportDescriptorLength[InterfaceNumber] = reportLength;
        ULONG offset = 0;
        for (; offset + 1 < reportLength; offset += 2) {
            VELT_TRACE("VELTDRIVER :\t\t0x%04X\t\t0x%04X\n", report[offset], report[offset + 1]);
        }
        if (offset < reportLength) {
            VELT_TRACE("VELTDRIVER :\t\t0x%04X\n", report[offset]);
        }
    } else {
        VELT_TRACE("VELTDRIVER :\t\tURB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE failed with %s\n",
                   StatusName(status));
    }
    VELT_TRACE("\n\n");
    return status;
}

// Dispatcher thread, PASSIVE_LEVEL; log only.
VOID DumpConfigurationDescriptor(PDEVICE_EXTENSION Extension,
                                 PUSB_CONFIGURATION_DESCRIPTOR Descriptor) {
    UNREFERENCED_PARAMETER(Extension);
    VELT_TRACE("\n\n\n");
    VELT_TRACE("VELTDRIVER : C O F I G U R A T I O N    D E S C R I P T O R:\n");
    VELT_TRACE("VELTDRIVER : wTotalLength:       0x%04X\n", Descriptor->wTotalLength);
    VELT_TRACE("VELTDRIVER : bNumInterfaces:       0x%02X\n", Descriptor->bNumInterfaces);
    VELT_TRACE("VELTDRIVER : bConfigurationValue:  0x%02X\n", Descriptor->bConfigurationValue);
    VELT_TRACE("VELTDRIVER : iConfiguration:       0x%02X\n", Descriptor->iConfiguration);
    VELT_TRACE("VELTDRIVER : bmAttributes:         0x%02X (", Descriptor->bmAttributes);
    if (Descriptor->bmAttributes & 0x80) {
        VELT_TRACE(" Bus Powered ");
    }
    if (Descriptor->bmAttributes & 0x40) {
        VELT_TRACE(" Self Powered ");
    }
    if (Descriptor->bmAttributes & 0x20) {
        VELT_TRACE(" Remote Wakeup");
    }
    VELT_TRACE(" )\n");
    VELT_TRACE("VELTDRIVER : MaxPower:             0x%02X (%d mA)\n", Descriptor->MaxPower,
               Descriptor->MaxPower * 2);
    VELT_TRACE(" \n\n");
}

// Dispatcher thread, PASSIVE_LEVEL; log only.
VOID DumpInterfaceDescriptor(PDEVICE_EXTENSION Extension, PUSB_INTERFACE_DESCRIPTOR Descriptor) {
    UNREFERENCED_PARAMETER(Extension);
    VELT_TRACE("\n\n");
    VELT_TRACE("VELTDRIVER : I N T E R F A C E    D E S C R I P T O R:\n");
    VELT_TRACE("VELTDRIVER : bInterfaceNumber:     0x%02X\n", Descriptor->bInterfaceNumber);
    VELT_TRACE("VELTDRIVER : bAlternateSetting:    0x%02X\n", Descriptor->bAlternateSetting);
    VELT_TRACE("VELTDRIVER : bNumEndpoints:        0x%02X\n", Descriptor->bNumEndpoints);
    VELT_TRACE("VELTDRIVER : bInterfaceClass:      0x%02X ", Descriptor->bInterfaceClass);
    PCWSTR className = VELT_WIDE("\n");
    switch (Descriptor->bInterfaceClass) {
    case 1:
        className = VELT_WIDE(" (Audio)\n");
        break;
    case 3:
        className = VELT_WIDE(" (HID)\n");
        break;
    case 9:
        className = VELT_WIDE(" (Hub)\n");
        break;
    default:
        break;
    }
    VELT_TRACE("\t%S", className);
    VELT_TRACE("VELTDRIVER : bInterfaceSubClass:   0x%02X\n", Descriptor->bInterfaceSubClass);
    if (Descriptor->bInterfaceClass == 1) {
        PCWSTR subclassName = NULL;
        switch (Descriptor->bInterfaceSubClass) {
        case 1:
            subclassName = VELT_WIDE(" (Audio Control)\n");
            break;
        case 2:
            subclassName = VELT_WIDE(" (Audio Streaming)\n");
            break;
        case 3:
            subclassName = VELT_WIDE(" (MIDI Streaming)\n");
            break;
        default:
            break;
        }
        if (subclassName != NULL) {
            VELT_TRACE("VELTDRIVER :  %S", subclassName);
        }
    }
    VELT_TRACE("VELTDRIVER : bInterfaceProtocol:   0x%02X\n", Descriptor->bInterfaceProtocol);
    VELT_TRACE("VELTDRIVER : iInterface:           0x%02X\n", Descriptor->iInterface);
    VELT_TRACE(" \n\n");
}

// Dispatcher thread, PASSIVE_LEVEL; log only.
VOID DumpEndpointDescriptor(PDEVICE_EXTENSION Extension, PUSB_ENDPOINT_DESCRIPTOR Descriptor) {
    UNREFERENCED_PARAMETER(Extension);
    VELT_TRACE("\n\n");
    VELT_TRACE("VELTDRIVER : E N D P O I N T   D E S C R I P T O R:\n");
    if (Descriptor->bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) {
        VELT_TRACE("VELTDRIVER : bEndpointAddress:     0x%02X  IN\n", Descriptor->bEndpointAddress);
    } else {
        VELT_TRACE("VELTDRIVER : bEndpointAddress:     0x%02X  OUT\n",
                   Descriptor->bEndpointAddress);
    }
    switch (Descriptor->bmAttributes & USB_ENDPOINT_TYPE_MASK) {
    case USB_ENDPOINT_TYPE_CONTROL:
        VELT_TRACE("VELTDRIVER : Transfer Type:     Control\n");
        break;
    case USB_ENDPOINT_TYPE_ISOCHRONOUS:
        VELT_TRACE("VELTDRIVER : Transfer Type: Isochronous\n");
        break;
    case USB_ENDPOINT_TYPE_BULK:
        VELT_TRACE("VELTDRIVER : Transfer Type:        Bulk\n");
        break;
    default:
        VELT_TRACE("VELTDRIVER : Transfer Type:   Interrupt\n");
        break;
    }
    VELT_TRACE("VELTDRIVER : wMaxPacketSize:     0x%04X (%d) \n", Descriptor->wMaxPacketSize,
               Descriptor->wMaxPacketSize);
    VELT_TRACE("VELTDRIVER : bInterval:            0x%02X\n", Descriptor->bInterval);
    VELT_TRACE("\n\n");
}
