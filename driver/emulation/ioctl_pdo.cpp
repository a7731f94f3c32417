// URB handling on the gamepad child: its constant record, and the HID class requests that it
// answers itself with fixed feature reports.
#include "urb_child.h"

#include "../core/log.h"

namespace {

constexpr ULONG FEATURE_02_LENGTH = 37;
constexpr ULONG FEATURE_12_LENGTH = 16;
constexpr ULONG FEATURE_A3_LENGTH = 49;
constexpr ULONG FEATURE_13_LENGTH = 23;
constexpr ULONG FEATURE_14_LENGTH = 17;
constexpr ULONG LONGEST_ANSWER = FEATURE_A3_LENGTH;

constexpr ULONG MAC_ADDRESS_LENGTH = 6;
constexpr ULONG PAIRING_KEY_LENGTH = 16;
constexpr UCHAR PAIRING_KEY_STEP = 0x11;

const UCHAR Feature02[FEATURE_02_LENGTH] = {
    0x02, 0x0A, 0x00, 0x01, 0x00, 0xF0, 0xFF, 0xE7, 0x22, 0x2D, 0xDD, 0xB5, 0x22,
    0x4E, 0xDD, 0x99, 0x22, 0x47, 0xDD, 0x1C, 0x02, 0x1C, 0x02, 0x7B, 0x1F, 0x8F,
    0xE0, 0x74, 0x20, 0x52, 0xE0, 0xA3, 0x20, 0x82, 0xDF, 0x06, 0x00,
};

const UCHAR FeatureA3[FEATURE_A3_LENGTH] = {
    0xA3, 'A',  'u',  'g',  ' ',  ' ',  '3',  ' ',  '2',  '0',  '1',  '3',  0x00,
    0x00, 0x00, 0x00, 0x00, '0',  '7',  ':',  '0',  '1',  ':',  '1',  '2',  0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x31, 0x03, 0x00,
    0x00, 0x00, 0x49, 0x00, 0x05, 0x00, 0x00, 0x80, 0x03, 0x00,
};

// Feature report 0x12 after the address: 08 25 and seven zeros.
const UCHAR Feature12Tail[FEATURE_12_LENGTH - 1 - MAC_ADDRESS_LENGTH] = {0x08, 0x25};

// SET_REPORT 0x13 writes back a fixed device address and a fixed key.
const UCHAR Feature13Address[MAC_ADDRESS_LENGTH] = {0xAC, 0x9E, 0x17, 0x94, 0x05, 0xB0};

// SET_REPORT 0x14 writes back 14 02 and fifteen zeros.
const UCHAR Feature14[FEATURE_14_LENGTH] = {0x14, 0x02};

static_assert(1 + MAC_ADDRESS_LENGTH + PAIRING_KEY_LENGTH == FEATURE_13_LENGTH,
              "report 0x13 is its ID, an address and a key");

const UCHAR* GamepadDevice(PDEVICE_EXTENSION FdoExtension, UCHAR Index) {
    UNREFERENCED_PARAMETER(FdoExtension);
    UNREFERENCED_PARAMETER(Index);
    return GamepadDeviceDescriptor;
}

const UCHAR* GamepadString(PDEVICE_EXTENSION FdoExtension, UCHAR Index) {
    UNREFERENCED_PARAMETER(FdoExtension);
    switch (Index) {
    case 1:
        return GamepadManufacturerString;
    case 2:
        return GamepadProductString;
    default:
        return NULL;
    }
}

// Builds the answer to GET_REPORT of a feature report in Answer; returns its length, or 0 for a
// report that gets no data.
ULONG BuildFeatureAnswer(PDEVICE_OBJECT DeviceObject, UCHAR ReportId, PUCHAR Answer) {
    switch (ReportId) {
    case 0x02:
        RtlCopyMemory(Answer, Feature02, FEATURE_02_LENGTH);
        return FEATURE_02_LENGTH;
    case 0x12: {
        PDEVICE_EXTENSION fdo = ExtensionOf(ExtensionOf(DeviceObject)->ParentFdo);
        Answer[0] = ReportId;
        RtlCopyMemory(Answer + 1, fdo->MacAddress, MAC_ADDRESS_LENGTH);
        RtlCopyMemory(Answer + 1 + MAC_ADDRESS_LENGTH, Feature12Tail, sizeof(Feature12Tail));
        return FEATURE_12_LENGTH;
    }
    case 0xA3:
        RtlCopyMemory(Answer, FeatureA3, FEATURE_A3_LENGTH);
        return FEATURE_A3_LENGTH;
    default:
        return 0;
    }
}

// Builds what SET_REPORT of a feature report writes back; returns its length, or 0.
ULONG BuildSetReportAnswer(UCHAR ReportId, PUCHAR Answer) {
    switch (ReportId) {
    case 0x13:
        Answer[0] = ReportId;
        RtlCopyMemory(Answer + 1, Feature13Address, MAC_ADDRESS_LENGTH);
        for (ULONG i = 0; i < PAIRING_KEY_LENGTH; ++i) {
            Answer[1 + MAC_ADDRESS_LENGTH + i] = static_cast<UCHAR>(i * PAIRING_KEY_STEP);
        }
        return FEATURE_13_LENGTH;
    case 0x14:
        RtlCopyMemory(Answer, Feature14, FEATURE_14_LENGTH);
        return FEATURE_14_LENGTH;
    default:
        return 0;
    }
}

// Puts an answer into the caller's buffer only when the buffer holds all of it.
VOID Answer(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* Request, PVOID Buffer, const UCHAR* Data,
            ULONG Length) {
    if (Length == 0 || Buffer == NULL || Request->TransferBufferLength < Length) {
        return;
    }
    RtlCopyMemory(Buffer, Data, Length);
    Request->TransferBufferLength = Length;
}

const CLASS_REQUEST_TEXTS GamepadClassTexts = {
    "VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : request 0x%X\n",
    "VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : HID_GET_REPORT :  report ID is 0x%X  report "
    "type is 0x%X   index is 0x%X\n",
    {
        "VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : HID_GET_REPORT : INPUT report ID is "
        "0x%X\n",
        "VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : HID_GET_REPORT : OUTPUT  report ID is "
        "0x%X\n",
        "VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : HID_GET_REPORT : FEATURE    report ID is "
        "0x%X\n",
    },
    "VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : HID_GET_IDLE   report ID is %d\n",
    "VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : HID_GET_PROTOCOL  \n",
    {
        "VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : HID_SET_REPORT : INPUT report ID is %d\n",
        "VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : HID_SET_REPORT : OUTPUT  report ID is "
        "%d\n",
        "VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : HID_SET_REPORT : FEATURED  report ID is "
        "%d\n",
    },
    "VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : HID_SET_IDLE report ID  %d   duration %d \n",
    "VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : HID_SET_PROTOCOL protocol %d \n",
};

} // namespace

// URB_FUNCTION_CLASS_INTERFACE on the gamepad child, up to DISPATCH_LEVEL: answered here and
// never sent to the controller. Completes the IRP with STATUS_SUCCESS.
NTSTATUS GamepadClassRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB Urb) {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &Urb->UrbControlVendorClassRequest;
    // An MDL-only buffer holds no more than its MDL: the request's length is cut to it.
    ULONG capacity = 0;
    PVOID buffer = UrbTransferBufferOf(request->TransferBuffer, request->TransferBufferMDL,
                                       request->TransferBufferLength, &capacity);
    if (buffer != NULL) {
        request->TransferBufferLength = capacity;
    }
    auto reportId = static_cast<UCHAR>(request->Value & 0xFF);
    auto reportType = static_cast<UCHAR>(request->Value >> 8);
    UCHAR answer[LONGEST_ANSWER] = {};

    TraceClassRequest(&GamepadClassTexts, request);
    if (reportType == REPORT_TYPE_FEATURE) {
        if (request->Request == HID_GET_REPORT) {
            Answer(request, buffer, answer, BuildFeatureAnswer(DeviceObject, reportId, answer));
        } else if (request->Request == HID_SET_REPORT) {
            Answer(request, buffer, answer, BuildSetReportAnswer(reportId, answer));
        }
    }
    if (buffer != NULL) {
        HexDump(buffer, request->TransferBufferLength, HEX_DUMP_BYTES_PER_LINE);
    }
    request->Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
    return CompleteChildRequest(DeviceObject, Irp, STATUS_SUCCESS);
}

const CHILD_PROFILE GamepadProfile = {
    "VELTDRIVER PDO : ",
    "VELTDRIVER PDO :",
    "VELTDRIVER DeviceControl: Remove lock failed IOCTL Irp type [%x]\n",
    "VELTDRIVER PDO : IOCTL_INTERNAL_USB_SUBMIT_URB : UNKNOWN :   header function %d \n",
    "VELTDRIVER PDO : HID_HID_DESCRIPTOR_TYPE  length is %d \n",
    "VELTDRIVER PDO : HID_REPORT_DESCRIPTOR_TYPE  length is %d \n",
    "VELTDRIVER PDO : HID_PHYSICAL_DESCRIPTOR_TYPE  length is %d \n",
    "VELTDRIVER PDO : IOCTLRepeatRequest : IoAllocateIrp failed \n",
    &GamepadEmulation,
    GamepadDevice,
    GamepadString,
    FALSE,
    GamepadClassRequest,
    TRUE,
    FALSE,
    FALSE,
};

// IRP_MJ_DEVICE_CONTROL and IRP_MJ_INTERNAL_DEVICE_CONTROL on the gamepad child, up to
// DISPATCH_LEVEL; only the internal ones are served. Owns the IRP on return.
NTSTATUS NTAPI PdoDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return ChildDeviceControl(DeviceObject, Irp, &GamepadProfile);
}
