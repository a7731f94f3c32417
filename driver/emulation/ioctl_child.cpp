// URB handling of both children: the HID stack above a child talks to it as to a USB device, and
// the child answers from its descriptor set, or sends transfers on to the physical controller.
// Everything in which the two children differ comes from their CHILD_PROFILE.
#include "urb_child.h"

#include "../core/log.h"
#include "../fdo/fdo.h"

namespace {

constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE_ID = 1;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE_ID = 2;
constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE_ID = 3;
constexpr UCHAR HID_HID_DESCRIPTOR_TYPE = 0x21;
constexpr UCHAR HID_REPORT_DESCRIPTOR_TYPE = 0x22;
constexpr UCHAR HID_PHYSICAL_DESCRIPTOR_TYPE = 0x23;

constexpr ULONG STRING_HEADER_REQUEST_LENGTH = 4;

constexpr USHORT URB_FUNCTION_GET_STATUS_FROM_DEVICE_CODE = 0x0013;
constexpr USHORT URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR_CODE = 0x002A;

// Control codes that a child acknowledges with a trace line and nothing else.
enum NON_URB_LINE { LINE_USB, LINE_HID };

struct NON_URB_CODE {
    ULONG Code;
    NON_URB_LINE Line;
    PCSTR Text; // LINE_USB: the code's name; LINE_HID: the rest of the line
};

const NON_URB_CODE NonUrbCodes[] = {
    {0x220007, LINE_USB, "IOCTL_INTERNAL_USB_RESET_PORT"},
    {0x22000F, LINE_USB, "IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO"},
    {0x220013, LINE_USB, "IOCTL_INTERNAL_USB_GET_PORT_STATUS"},
    {0x220017, LINE_USB, "IOCTL_INTERNAL_USB_ENABLE_PORT"},
    {0x22001B, LINE_USB, " OCTL_INTERNAL_USB_GET_HUB_COUNT"},
    {0x22001F, LINE_USB, "IOCTL_INTERNAL_USB_CYCLE_PORT"},
    {0x220020, LINE_USB, "IOCTL_INTERNAL_USB_GET_HUB_NAME"},
    {0x220027, LINE_USB, "IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION"},
    {0x220408, LINE_USB, "IOCTL_USB_GET_NODE_INFORMATION"},
    {0x22040C, LINE_USB, "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION"},
    {0x220410, LINE_USB, "IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION"},
    {0x220414, LINE_USB, "IOCTL_USB_GET_NODE_CONNECTION_NAME"},
    {0x220418, LINE_USB, "IOCTL_USB_DIAG_IGNORE_HUBS_ON"},
    {0x22041C, LINE_USB, "IOCTL_USB_DIAG_IGNORE_HUBS_OFF"},
    {0x220420, LINE_USB, "IOCTL_INTERNAL_USB_GET_BUS_INFO"},
    {0x220424, LINE_USB, "IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME"},
    {0x220428, LINE_USB, "IOCTL_INTERNAL_USB_GET_BUSGUID_INFO"},
    {0x22042C, LINE_USB, "IOCTL_INTERNAL_USB_GET_PARENT_HUB_INFO"},
    {0x220433, LINE_USB, "IOCTL_INTERNAL_USB_GET_DEVICE_HANDLE"},
    {0x22043C, LINE_USB, "IOCTL_USB_GET_HUB_CAPABILITIES"},
    {0x220440, LINE_USB, "IOCTL_USB_GET_NODE_CONNECTION_ATTRIBUTES"},
    {0x220444, LINE_USB, "IOCTL_USB_HUB_CYCLE_PORT"},
    {0x220448, LINE_USB, "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX"},
    {IOCTL_HID_GET_DEVICE_DESCRIPTOR, LINE_HID, "IOCTL_HID_GET_DEVICE_DESCRIPTOR \n"},
    {IOCTL_HID_GET_REPORT_DESCRIPTOR, LINE_HID, "IOCTL_HID_GET_REPORT_DESCRIPTOR \n"},
    {IOCTL_HID_READ_REPORT, LINE_HID, "IOCTL_HID_READ_REPORT \n"},
    {IOCTL_HID_GET_STRING, LINE_HID, "IOCTL_HID_GET_STRING \n"},
    {IOCTL_HID_ACTIVATE_DEVICE, LINE_HID, "IOCTL_HID_ACTIVATE_DEVICE \n"},
    {IOCTL_HID_DEACTIVATE_DEVICE, LINE_HID, "IOCTL_HID_DEACTIVATE_DEVICE \n"},
    {IOCTL_HID_GET_DEVICE_ATTRIBUTES, LINE_HID, "IOCTL_HID_GET_DEVICE_ATTRIBUTES \n"},
    {IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST, LINE_HID,
     "IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST  \n"},
};

// The URB header Length that each function's structure needs: the caller's URB may end there,
// so a shorter one is refused before any of its fields is read. The other functions are
// answered from the header alone, whatever its Length says.
struct URB_LAYOUT {
    USHORT Function;
    SIZE_T Length;
};

const URB_LAYOUT UrbLayouts[] = {
    {URB_FUNCTION_SELECT_CONFIGURATION, FIELD_OFFSET(URB, UrbSelectConfiguration.Interface.Pipes)},
    {URB_FUNCTION_CONTROL_TRANSFER, sizeof(struct _URB_CONTROL_TRANSFER)},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)},
    {URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)},
};

// Whether the caller's URB is long enough for what its function makes the child read and write.
BOOLEAN UrbFitsFunction(PURB Urb) {
    for (const URB_LAYOUT& layout : UrbLayouts) {
        if (layout.Function == Urb->UrbHeader.Function) {
            return Urb->UrbHeader.Length >= layout.Length;
        }
    }
    return TRUE;
}

PDEVICE_EXTENSION FdoExtensionOf(PDEVICE_OBJECT DeviceObject) {
    return ExtensionOf(ExtensionOf(DeviceObject)->ParentFdo);
}

// Control codes other than IOCTL_INTERNAL_USB_SUBMIT_URB, up to DISPATCH_LEVEL: acknowledged after
// a trace line; nothing is written anywhere. Completes the IRP.
NTSTATUS ServeNonUrbCode(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code,
                         const CHILD_PROFILE* Profile) {
    if (Code == IOCTL_HID_WRITE_REPORT) {
        auto* packet = static_cast<PHID_XFER_PACKET>(Irp->UserBuffer);
        if (packet == NULL) {
            VELT_TRACE("%s IOCTL_HID_WRITE_REPORT %d bytes id = %d report buffer:\n",
                       Profile->Prefix, 0, 0);
        } else {
            VELT_TRACE("%s IOCTL_HID_WRITE_REPORT %d bytes id = %d report buffer:\n",
                       Profile->Prefix, packet->reportBufferLen, packet->reportId);
            if (packet->reportBuffer != NULL) {
                HexDump(packet->reportBuffer, packet->reportBufferLen, HEX_DUMP_BYTES_PER_LINE);
            }
        }
        return CompleteChildRequest(DeviceObject, Irp, STATUS_SUCCESS);
    }
    for (const NON_URB_CODE& entry : NonUrbCodes) {
        if (entry.Code != Code) {
            continue;
        }
        if (entry.Line == LINE_USB) {
            VELT_TRACE("%s%s   0x%X   0x%X  %s\n", Profile->Prefix, entry.Text, Code,
                       STATUS_SUCCESS, StatusName(STATUS_SUCCESS));
        } else {
            VELT_TRACE("%s%s", Profile->Prefix, entry.Text);
        }
        return CompleteChildRequest(DeviceObject, Irp, STATUS_SUCCESS);
    }
    VELT_TRACE("%sDefault :  DeviceObject %p Irp %p  IOCTLCODE 0x%X\n", Profile->Prefix,
               DeviceObject, Irp, Code);
    return CompleteChildRequest(DeviceObject, Irp, STATUS_SUCCESS);
}

// URB_FUNCTION_SELECT_CONFIGURATION: hands out the emulated interface, pipes and handles. The
// physical controller's own configuration was selected at the FDO's start. Up to DISPATCH_LEVEL;
// completes the IRP.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB Urb,
                             const CHILD_PROFILE* Profile) {
    struct _URB_SELECT_CONFIGURATION* request = &Urb->UrbSelectConfiguration;
    VELT_TRACE("%sURB_FUNCTION_SELECT_CONFIGURATION :   header length is %d \n", Profile->Prefix,
               request->Hdr.Length);
    if (request->ConfigurationDescriptor == NULL) {
        VELT_TRACE("%sURB_FUNCTION_SELECT_CONFIGURATION :   deconfigure \n", Profile->Prefix);
        return CompleteChildRequest(DeviceObject, Irp, STATUS_SUCCESS);
    }
    VELT_TRACE("%sURB_FUNCTION_SELECT_CONFIGURATION :   header length is %d \n", Profile->Prefix,
               request->Hdr.Length);
    request->Hdr.UsbdDeviceHandle = reinterpret_cast<PVOID>(Profile->Emulation->DeviceHandle);
    request->ConfigurationHandle =
        reinterpret_cast<USBD_CONFIGURATION_HANDLE>(Profile->Emulation->ConfigurationHandle);
    const EMULATED_INTERFACE* emulated = &Profile->Emulation->Interface;
    PUSBD_INTERFACE_INFORMATION info = &request->Interface;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(emulated->InterfaceHandle);
    info->Class = emulated->Class;
    info->SubClass = emulated->SubClass;
    info->Protocol = emulated->Protocol;
    for (ULONG i = 0; i < EMULATED_PIPE_COUNT; ++i) {
        // The caller's request is sized for the pipes it expects: never write past its end.
        SIZE_T end = FIELD_OFFSET(URB, UrbSelectConfiguration.Interface.Pipes) +
                     (i + 1) * sizeof(USBD_PIPE_INFORMATION);
        if (end > request->Hdr.Length) {
            break;
        }
        const EMULATED_PIPE* source = &emulated->Pipes[i];
        PUSBD_PIPE_INFORMATION pipe = &info->Pipes[i];
        pipe->MaximumPacketSize = source->MaximumPacketSize;
        pipe->EndpointAddress = source->EndpointAddress;
        pipe->Interval = source->Interval;
        pipe->PipeType = static_cast<USBD_PIPE_TYPE>(source->PipeType);
        pipe->PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(source->PipeHandle);
        pipe->MaximumTransferSize = source->MaximumTransferSize;
        pipe->PipeFlags = source->PipeFlags;
    }
    return CompleteChildRequest(DeviceObject, Irp, STATUS_SUCCESS);
}

// Copies Count bytes of Source to the start of the caller's buffer; with ZeroFirst, all of its
// TransferBufferLength bytes are cleared before. With no buffer or no source nothing is written,
// and TransferBufferLength says so.
VOID ServeBytes(struct _URB_CONTROL_DESCRIPTOR_REQUEST* Request, PVOID Buffer, const UCHAR* Source,
                ULONG Count, BOOLEAN ZeroFirst) {
    if (Buffer == NULL || Source == NULL) {
        Request->TransferBufferLength = 0;
        return;
    }
    if (ZeroFirst) {
        RtlZeroMemory(Buffer, Request->TransferBufferLength);
    }
    RtlCopyMemory(Buffer, Source, Count);
}

// A length that the child's tables refuse is answered as a USB device answers any length: with
// the first min(length, descriptor length) bytes, and TransferBufferLength telling how many
// arrived (none without a buffer or a source). Copying nothing while reporting the caller's
// length as sent would have it read whatever its buffer held.
VOID ServeRefusedLength(struct _URB_CONTROL_DESCRIPTOR_REQUEST* Request, PVOID Buffer,
                        const UCHAR* Source, ULONG SourceLength, const CHILD_PROFILE* Profile,
                        PCSTR Format) {
    ULONG count =
        Request->TransferBufferLength < SourceLength ? Request->TransferBufferLength : SourceLength;
    VELT_TRACE(Format, Profile->Prefix, Request->TransferBufferLength);
    if (Buffer == NULL || Source == NULL) {
        count = 0;
    } else {
        RtlCopyMemory(Buffer, Source, count);
    }
    Request->TransferBufferLength = count;
}

// The caller's buffer of a descriptor request and the bytes it holds: a buffer given only by an
// MDL ends where the MDL ends, whatever TransferBufferLength says, so TransferBufferLength is cut
// to it before anything is written.
PVOID DescriptorBuffer(struct _URB_CONTROL_DESCRIPTOR_REQUEST* Request) {
    ULONG capacity = 0;
    PVOID buffer = UrbTransferBufferOf(Request->TransferBuffer, Request->TransferBufferMDL,
                                       Request->TransferBufferLength, &capacity);
    if (buffer != NULL) {
        Request->TransferBufferLength = capacity;
    }
    return buffer;
}

constexpr CHAR INVALID_LENGTH_FORMAT[] = "%s invalid length %d \n";
// The report descriptor's line has one blank after the colon.
constexpr CHAR INVALID_REPORT_LENGTH_FORMAT[] = "%sinvalid length %d \n";

// A string descriptor by the request's length: 4 bytes of it for a caller that asks for its
// length, all of it (after zeroing the buffer) for one whose buffer holds it, else what a device
// sends for that length.
VOID ServeString(struct _URB_CONTROL_DESCRIPTOR_REQUEST* Request, PVOID Buffer, const UCHAR* String,
                 const CHILD_PROFILE* Profile) {
    ULONG length = Request->TransferBufferLength;
    ULONG stringLength = String[0];
    if (length == STRING_HEADER_REQUEST_LENGTH && stringLength >= STRING_HEADER_REQUEST_LENGTH) {
        ServeBytes(Request, Buffer, String, STRING_HEADER_REQUEST_LENGTH, FALSE);
    } else if (length >= stringLength && stringLength >= 2) {
        ServeBytes(Request, Buffer, String, stringLength, TRUE);
    } else {
        ServeRefusedLength(Request, Buffer, String, stringLength, Profile, INVALID_LENGTH_FORMAT);
    }
}

// URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: device, configuration and string descriptors from the
// child's set. A request that nothing answers succeeds with TransferBufferLength 0. Up to
// DISPATCH_LEVEL; completes the IRP.
NTSTATUS GetDescriptorFromDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB Urb,
                                 const CHILD_PROFILE* Profile) {
    struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &Urb->UrbControlDescriptorRequest;
    PVOID buffer = DescriptorBuffer(request);
    ULONG length = request->TransferBufferLength;
    PDEVICE_EXTENSION fdo = FdoExtensionOf(DeviceObject);
    switch (request->DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE_ID: {
        VELT_TRACE("%sUSB_DEVICE_DESCRIPTOR_TYPE : length is %d \n", Profile->PrefixTight, length);
        const UCHAR* descriptor = Profile->DeviceDescriptor(fdo, 0);
        if (length != DEVICE_DESCRIPTOR_LENGTH) {
            ServeRefusedLength(request, buffer, descriptor, DEVICE_DESCRIPTOR_LENGTH, Profile,
                               INVALID_LENGTH_FORMAT);
        } else {
            ServeBytes(request, buffer, descriptor, DEVICE_DESCRIPTOR_LENGTH, FALSE);
        }
        break;
    }
    case USB_CONFIGURATION_DESCRIPTOR_TYPE_ID: {
        VELT_TRACE("%sUSB_CONFIGURATION_DESCRIPTOR_TYPE : length is %d \n", Profile->Prefix,
                   length);
        ULONG count = 0;
        if (length == CONFIGURATION_HEADER_LENGTH) {
            count = CONFIGURATION_HEADER_LENGTH;
        } else if (length == CONFIGURATION_DESCRIPTOR_LENGTH ||
                   (length > CONFIGURATION_DESCRIPTOR_LENGTH &&
                    Profile->ServesConfigurationToLongerBuffers)) {
            count = CONFIGURATION_DESCRIPTOR_LENGTH;
        }
        if (count == 0) {
            ServeRefusedLength(request, buffer, Profile->Emulation->ConfigurationDescriptor,
                               CONFIGURATION_DESCRIPTOR_LENGTH, Profile, INVALID_LENGTH_FORMAT);
        } else {
            ServeBytes(request, buffer, Profile->Emulation->ConfigurationDescriptor, count, FALSE);
        }
        break;
    }
    case USB_STRING_DESCRIPTOR_TYPE_ID:
        VELT_TRACE("%sUSB_STRING_DESCRIPTOR_TYPE : length is %d     Index is %d \n",
                   Profile->Prefix, length, request->Index);
        if (buffer == NULL) {
            request->TransferBufferLength = 0;
            break;
        }
        if (request->Index == 0) {
            static const UCHAR LanguageList[LANGUAGE_LIST_LENGTH] = {0x04, 0x03, 0x09, 0x04};
            if (length >= LANGUAGE_LIST_LENGTH) {
                ServeBytes(request, buffer, LanguageList, LANGUAGE_LIST_LENGTH, FALSE);
            } else {
                ServeRefusedLength(request, buffer, LanguageList, LANGUAGE_LIST_LENGTH, Profile,
                                   INVALID_LENGTH_FORMAT);
            }
        } else {
            const UCHAR* string = Profile->StringDescriptor(fdo, request->Index);
            if (string != NULL) {
                ServeString(request, buffer, string, Profile);
            } else {
                request->TransferBufferLength = 0;
            }
        }
        break;
    default:
        VELT_TRACE("%sUnknown type %d \n", Profile->Prefix, request->DescriptorType);
        request->TransferBufferLength = 0;
        return CompleteChildRequest(DeviceObject, Irp, STATUS_SUCCESS);
    }
    if (buffer != NULL) {
        HexDump(buffer, length, HEX_DUMP_BYTES_PER_LINE);
    }
    return CompleteChildRequest(DeviceObject, Irp, STATUS_SUCCESS);
}

// URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE: the report descriptor; the HID descriptor reaches
// the caller inside the configuration descriptor. Other types succeed with TransferBufferLength
// 0. Up to DISPATCH_LEVEL; completes the IRP.
NTSTATUS GetDescriptorFromInterface(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB Urb,
                                    const CHILD_PROFILE* Profile) {
    struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &Urb->UrbControlDescriptorRequest;
    PVOID buffer = DescriptorBuffer(request);
    BOOLEAN answered = FALSE;
    switch (request->DescriptorType) {
    case HID_HID_DESCRIPTOR_TYPE:
        VELT_TRACE(Profile->HidDescriptorFormat, request->TransferBufferLength);
        break;
    case HID_REPORT_DESCRIPTOR_TYPE:
        VELT_TRACE(Profile->ReportDescriptorFormat, request->TransferBufferLength);
        answered = TRUE;
        if (request->TransferBufferLength < Profile->Emulation->ReportDescriptorLength) {
            ServeRefusedLength(request, buffer, Profile->Emulation->ReportDescriptor,
                               Profile->Emulation->ReportDescriptorLength, Profile,
                               INVALID_REPORT_LENGTH_FORMAT);
        } else {
            request->TransferBufferLength = Profile->Emulation->ReportDescriptorLength;
            ServeBytes(request, buffer, Profile->Emulation->ReportDescriptor,
                       Profile->Emulation->ReportDescriptorLength, FALSE);
        }
        break;
    case HID_PHYSICAL_DESCRIPTOR_TYPE:
        VELT_TRACE(Profile->PhysicalDescriptorFormat, request->TransferBufferLength);
        break;
    default:
        VELT_TRACE("%sDescrptor type = 0x%X\n", Profile->Prefix, request->DescriptorType);
        break;
    }
    request->Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
    if (buffer != NULL) {
        HexDump(buffer, request->TransferBufferLength, HEX_DUMP_BYTES_PER_LINE);
    }
    if (!answered) {
        request->TransferBufferLength = 0;
    }
    return CompleteChildRequest(DeviceObject, Irp, STATUS_SUCCESS);
}

// URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: the repeater points it at the physical controller's
// pipe as it sends it down. Up to DISPATCH_LEVEL; the repeater owns the IRP (and the remove lock)
// on return.
NTSTATUS RepeatTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB Urb,
                        const CHILD_PROFILE* Profile) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &Urb->UrbBulkOrInterruptTransfer;
    if ((transfer->TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0 && Profile->TracesWrites) {
        VELT_TRACE("%sURB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER  write data length is 0x%X\n",
                   Profile->Prefix, transfer->TransferBufferLength);
        DumpTransferBuffer(transfer->TransferBuffer, transfer->TransferBufferMDL,
                           transfer->TransferBufferLength);
    }
    return IOCTLRepeatRequest(DeviceObject, Irp);
}

// IOCTL_INTERNAL_USB_SUBMIT_URB by URB function, up to DISPATCH_LEVEL, the remove lock held for the
// IRP. Owns the IRP on return, or has handed it to the repeater.
NTSTATUS ServeUrb(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB Urb, const CHILD_PROFILE* Profile) {
    USHORT function = Urb->UrbHeader.Function;
    if (function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        VELT_TRACE(" \n");
    }
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(DeviceObject, Irp, Urb, Profile);
    case URB_FUNCTION_SELECT_INTERFACE:
        VELT_TRACE("%sURB_FUNCTION_SELECT_INTERFACE completing with STATUS_NOT_SUPPORTED\n",
                   Profile->Prefix);
        return CompleteChildRequest(DeviceObject, Irp, STATUS_NOT_SUPPORTED);
    case URB_FUNCTION_ABORT_PIPE:
        // Repeated transfers stay with the physical stack until it completes them.
        VELT_TRACE("%sURB_FUNCTION_ABORT_PIPE  \n", Profile->PrefixTight);
        return CompleteChildRequest(DeviceObject, Irp, STATUS_SUCCESS);
    case URB_FUNCTION_CONTROL_TRANSFER: {
        VELT_TRACE("%sURB_FUNCTION_CONTROL_TRANSFER  \n", Profile->PrefixTight);
        struct _URB_CONTROL_TRANSFER* transfer = &Urb->UrbControlTransfer;
        DumpTransferBuffer(transfer->TransferBuffer, transfer->TransferBufferMDL,
                           transfer->TransferBufferLength);
        return CompleteChildRequest(DeviceObject, Irp, STATUS_SUCCESS);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return RepeatTransfer(DeviceObject, Irp, Urb, Profile);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptorFromDevice(DeviceObject, Irp, Urb, Profile);
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE_CODE:
        VELT_TRACE("%sURB_FUNCTION_GET_STATUS_FROM_DEVICE  \n", Profile->PrefixTight);
        return CompleteChildRequest(DeviceObject, Irp, STATUS_SUCCESS);
    case URB_FUNCTION_CLASS_INTERFACE:
        return Profile->ClassRequest(DeviceObject, Irp, Urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
        struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &Urb->UrbControlDescriptorRequest;
        VELT_TRACE("%sURB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT :  length is %d \n",
                   Profile->Prefix, request->TransferBufferLength);
        DumpTransferBuffer(request->TransferBuffer, request->TransferBufferMDL,
                           request->TransferBufferLength);
        return CompleteChildRequest(DeviceObject, Irp, STATUS_SUCCESS);
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        return GetDescriptorFromInterface(DeviceObject, Irp, Urb, Profile);
    case URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR_CODE:
        VELT_TRACE(
            "%sURB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR completing with STATUS_NOT_SUPPORTED\n",
            Profile->Prefix);
        return CompleteChildRequest(DeviceObject, Irp, STATUS_NOT_SUPPORTED);
    default:
        VELT_TRACE(Profile->UnknownFunctionFormat, function);
        return CompleteChildRequest(DeviceObject, Irp, STATUS_SUCCESS);
    }
}

} // namespace

// Up to DISPATCH_LEVEL: a buffer given only by an MDL is reached through its system address.
PVOID UrbTransferBuffer(PVOID TransferBuffer, PMDL TransferBufferMdl) {
    if (TransferBuffer != NULL) {
        return TransferBuffer;
    }
    if (TransferBufferMdl != NULL) {
        return MmGetSystemAddressForMdlSafe(TransferBufferMdl, NormalPagePriority);
    }
    return NULL;
}

// Up to DISPATCH_LEVEL: an MDL-only buffer holds no more than the MDL describes.
PVOID UrbTransferBufferOf(PVOID TransferBuffer, PMDL TransferBufferMdl, ULONG Length,
                          PULONG Capacity) {
    PVOID buffer = UrbTransferBuffer(TransferBuffer, TransferBufferMdl);
    *Capacity = 0;
    if (buffer == NULL) {
        return NULL;
    }
    *Capacity = Length;
    if (TransferBuffer == NULL && MmGetMdlByteCount(TransferBufferMdl) < Length) {
        *Capacity = MmGetMdlByteCount(TransferBufferMdl);
    }
    return buffer;
}

// Up to DISPATCH_LEVEL: the dump shows the bytes the length names, but never reads past an
// MDL-only buffer's end.
VOID DumpTransferBuffer(PVOID TransferBuffer, PMDL TransferBufferMdl, ULONG Length) {
    ULONG capacity = 0;
    PVOID data = UrbTransferBufferOf(TransferBuffer, TransferBufferMdl, Length, &capacity);
    if (data != NULL) {
        HexDump(data, capacity, HEX_DUMP_BYTES_PER_LINE);
    }
}

// Up to DISPATCH_LEVEL: the lines of a HID class request, in the child's own wording. Requests
// and report types without a line are passed over in silence.
VOID TraceClassRequest(const CLASS_REQUEST_TEXTS* Texts,
                       const struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* Request) {
    auto reportId = static_cast<UCHAR>(Request->Value & 0xFF);
    auto reportType = static_cast<UCHAR>(Request->Value >> 8);
    bool knownType = reportType >= REPORT_TYPE_INPUT && reportType <= REPORT_TYPE_FEATURE;
    if (Texts->Request != NULL) {
        VELT_TRACE(Texts->Request, Request->Request);
    }
    switch (Request->Request) {
    case HID_GET_REPORT:
        if (Texts->GetReport != NULL) {
            VELT_TRACE(Texts->GetReport, reportId, reportType, Request->Index);
        }
        if (knownType) {
            VELT_TRACE(Texts->GetReportOfType[reportType - 1], reportId);
        }
        break;
    case HID_GET_IDLE:
        VELT_TRACE(Texts->GetIdle, reportId);
        break;
    case HID_GET_PROTOCOL:
        VELT_TRACE(Texts->GetProtocol);
        break;
    case HID_SET_REPORT:
        if (knownType) {
            VELT_TRACE(Texts->SetReportOfType[reportType - 1], reportId);
        }
        break;
    case HID_SET_IDLE:
        VELT_TRACE(Texts->SetIdle, reportId, Request->Value >> 8);
        break;
    case HID_SET_PROTOCOL:
        VELT_TRACE(Texts->SetProtocol, Request->Value);
        break;
    default:
        break;
    }
}

// Releases the child's remove lock and completes a request answered by the child. Up to
// DISPATCH_LEVEL; the IRP is gone on return.
NTSTATUS CompleteChildRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
    IoReleaseRemoveLock(&ExtensionOf(DeviceObject)->RemoveLock, Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// IRP_MJ_DEVICE_CONTROL and IRP_MJ_INTERNAL_DEVICE_CONTROL on either child, up to
// DISPATCH_LEVEL; only the internal ones are served. Answered requests are complete on return;
// transfers (and the vendor child's class requests) belong to the repeater.
NTSTATUS ChildDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, const CHILD_PROFILE* Profile) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status = IoAcquireRemoveLock(&ExtensionOf(DeviceObject)->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        VELT_TRACE(Profile->RemoveLockFailedFormat, code);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    // The HID stack above a child sends only internal requests. An IRP_MJ_DEVICE_CONTROL may come
    // from a program, whose Argument1 is a length it chose and whose UserBuffer is one of its
    // addresses: it is refused unread.
    if (!IsInternalRequest(stack)) {
        VELT_TRACE("%sDeviceControl : not an internal request, IOCTLCODE 0x%X refused \n",
                   Profile->Prefix, code);
        return CompleteChildRequest(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return ServeNonUrbCode(DeviceObject, Irp, code, Profile);
    }
    // The URB is the caller's: a missing one, or one shorter than its function's structure, is
    // refused as the USB stack refuses it, without a look beyond its header.
    auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (urb == NULL) {
        VELT_TRACE("%sIOCTL_INTERNAL_USB_SUBMIT_URB : no URB \n", Profile->Prefix);
        return CompleteChildRequest(DeviceObject, Irp, STATUS_INVALID_PARAMETER);
    }
    if (!UrbFitsFunction(urb)) {
        VELT_TRACE("%sIOCTL_INTERNAL_USB_SUBMIT_URB : header length %d too short for function "
                   "0x%X \n",
                   Profile->Prefix, urb->UrbHeader.Length, urb->UrbHeader.Function);
        return CompleteChildRequest(DeviceObject, Irp, STATUS_INVALID_PARAMETER);
    }
    return ServeUrb(DeviceObject, Irp, urb, Profile);
}
