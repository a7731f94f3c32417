// Test USB bus for Wine: a root-enumerated bus whose one child plays the default game controller
// on a USB port. The child carries the controller's hardware IDs, so Wine's PnP manager loads
// veltdriver on it, and it answers the URBs the controller answers: its descriptors, the
// configuration selection with pipe handles, the address query, HID class requests on interface 3,
// and interrupt IN reports at a steady rate with moving sticks. Every interrupt OUT transfer is
// recorded for the application to read back through \\.\VeltTestBus.
#include "../kernel.h"
#include "../busioctl.h"

namespace {

// ---- The controller's data -------------------------------------------------------------------

// clang-format off
const UCHAR DeviceDescriptor[] = {18, 1, 0x00, 0x02, 0x00, 0x00, 0x00, 64, 0xA1, 0xF3, 0x20, 0x5C,
                                  0x00, 0x01, 1, 2, 3, 1};

const UCHAR ReportDescriptor[] = {
    0x05, 0x01, 0x09, 0x05, 0xA1, 0x01,             // Generic Desktop, Game Pad, Application
    0x85, 0x01,                                     // Report ID 1
    0x09, 0x30, 0x09, 0x31, 0x09, 0x32, 0x09, 0x35, // X, Y, Z, Rz
    0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,
    0x06, 0x00, 0xFF, 0x09, 0x20, 0x95, 0x3B, 0x81, 0x02, // 59 vendor bytes: 64 with the ID
    0x85, 0x05, 0x09, 0x21, 0x95, 0x1F, 0x91, 0x02,       // output report 5: 32 bytes
    0x85, 0x80, 0x09, 0x22, 0x95, 0x3F, 0xB1, 0x02,       // feature report 0x80: 64 bytes
    0x85, 0x81, 0x09, 0x23, 0x95, 0x3F, 0xB1, 0x02,       // feature report 0x81: 64 bytes
    0xC0,
};
static_assert(sizeof(ReportDescriptor) == 61, "report descriptor length");

// Audio control (0), two audio streaming interfaces with an isochronous endpoint on alternate 1
// (1, 2), HID interface 3 with interrupt IN 0x84 and OUT 0x03.
const UCHAR ConfigurationDescriptor[] = {
    9, 2, 185, 0, 4, 1, 0, 0xA0, 0xFA,
    // Audio control
    9, 4, 0, 0, 0, 1, 1, 0, 0,
    10, 0x24, 0x01, 0x00, 0x01, 0x1F, 0x00, 0x02, 0x01, 0x02,
    12, 0x24, 0x02, 0x01, 0x01, 0x01, 0x00, 0x02, 0x03, 0x00, 0x00, 0x00,
    9, 0x24, 0x03, 0x02, 0x01, 0x03, 0x00, 0x01, 0x00,
    // Audio streaming 1
    9, 4, 1, 0, 0, 1, 2, 0, 0,
    9, 4, 1, 1, 1, 1, 2, 0, 0,
    7, 0x24, 0x01, 1, 0x01, 0x01, 0x00,
    11, 0x24, 0x02, 0x01, 0x02, 0x02, 0x10, 0x01, 0x80, 0xBB, 0x00,
    9, 5, 0x01, 0x09, 0xC4, 0x00, 1, 0, 0,
    7, 0x25, 0x01, 0x01, 0x00, 0x00, 0x00,
    // Audio streaming 2
    9, 4, 2, 0, 0, 1, 2, 0, 0,
    9, 4, 2, 1, 1, 1, 2, 0, 0,
    7, 0x24, 0x01, 2, 0x01, 0x01, 0x00,
    11, 0x24, 0x02, 0x01, 0x02, 0x02, 0x10, 0x01, 0x80, 0xBB, 0x00,
    9, 5, 0x82, 0x09, 0xC4, 0x00, 1, 0, 0,
    7, 0x25, 0x01, 0x01, 0x00, 0x00, 0x00,
    // HID
    9, 4, 3, 0, 2, 3, 0, 0, 0,
    9, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, sizeof(ReportDescriptor), 0,
    7, 5, 0x84, 3, 64, 0, 4,
    7, 5, 0x03, 3, 64, 0, 4,
};
// clang-format on
static_assert(sizeof(ConfigurationDescriptor) == 185, "wTotalLength");

const WCHAR* const Strings[] = {L"Velt Devices", L"Velt Game Controller", L"VD0001"};
const UCHAR HidInterface = 3;
const UCHAR AddressReportId = 0x05;
const ULONG AddressCodeOffset = 15;
const UCHAR OnCode[] = {'Q', 'V', 'K', 'D'};
const ULONG AddressOffset = 49;
const UCHAR Address[6] = {0x02, 0x56, 0x4C, 0x54, 0x00, 0x01};
const ULONG InputReportSize = 64;
// One input report every 4 ms, the HID endpoint's bInterval.
const LONGLONG ReportPeriod = -40000;

const WCHAR DeviceId[] = L"USB\\VID_F3A1&PID_5C20";
const WCHAR HardwareIds[] = L"USB\\VID_F3A1&PID_5C20&REV_0100\0USB\\VID_F3A1&PID_5C20\0";
const WCHAR CompatibleIds[] = L"USB\\DevClass_00&SubClass_00&Prot_00\0"
                              L"USB\\DevClass_00&SubClass_00\0"
                              L"USB\\DevClass_00\0"
                              L"USB\\COMPOSITE\0";
const WCHAR InstanceId[] = L"VD0001";
const WCHAR DeviceText[] = L"Velt Game Controller";
const GUID BusTypeUsb = {
    0x9D7DEBBC, 0xC85D, 0x11D1, {0x9E, 0xB4, 0x00, 0x60, 0x08, 0xC3, 0xA1, 0x9A}};

const ULONG MaxPipes = 8;

struct PIPE {
    UCHAR Endpoint;
    UCHAR Attributes;
    BOOLEAN Valid;
};

struct BUS_EXTENSION {
    BOOLEAN IsFdo;
    PDEVICE_OBJECT Self;
    // The bus FDO.
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT RootPdo;
    PDEVICE_OBJECT Child;
    BOOLEAN SymbolicLink;
    // Held by the application's requests, which use Child; REMOVE waits for them.
    IO_REMOVE_LOCK RemoveLock;
    // The controller's PDO.
    KSPIN_LOCK Lock;
    LIST_ENTRY Reads;
    PIPE Pipes[MaxPipes];
    BOOLEAN Gone;
    BOOLEAN AddressOn;
    UCHAR Counter;
    PVOID Thread;
    KEVENT Stop;
    VELTBUS_RECORD Record;
};

BUS_EXTENSION* ExtensionOf(PDEVICE_OBJECT Device) {
    return static_cast<BUS_EXTENSION*>(Device->DeviceExtension);
}

NTSTATUS PassDown(BUS_EXTENSION* Fdo, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Fdo->Lower, Irp);
}

PWCHAR CopyString(const WCHAR* Text, SIZE_T Bytes) {
    PWCHAR copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, Bytes, PoolTag("sBlV")));
    if (copy != NULL) {
        RtlCopyMemory(copy, Text, Bytes);
    }
    return copy;
}

// ---- Descriptors and control requests --------------------------------------------------------

// Finds interface (number, alternate) in the configuration; its endpoints and HID descriptor
// follow it up to the next interface.
const UCHAR* FindInterface(UCHAR Number, int Alternate) {
    for (ULONG at = 9; at + 2 <= sizeof(ConfigurationDescriptor);
         at += ConfigurationDescriptor[at]) {
        const UCHAR* d = &ConfigurationDescriptor[at];
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[2] == Number &&
            (Alternate < 0 || d[3] == Alternate)) {
            return d;
        }
    }
    return NULL;
}

// The descriptors after an interface descriptor, up to the next one, one at a time.
const UCHAR* NextInInterface(const UCHAR* Descriptor) {
    const UCHAR* end = ConfigurationDescriptor + sizeof(ConfigurationDescriptor);
    const UCHAR* next = Descriptor + Descriptor[0];
    if (next + 2 > end || next[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
        return NULL;
    }
    return next;
}

ULONG CopyOut(PVOID Buffer, ULONG Length, const void* Data, ULONG Size) {
    ULONG count = Length < Size ? Length : Size;
    if (Buffer != NULL && count != 0) {
        RtlCopyMemory(Buffer, Data, count);
    }
    return count;
}

// GET_DESCRIPTOR: device, configuration 0, strings 0 to 3, and the HID and report descriptors
// of interface 3. Anything else stalls.
NTSTATUS GetDescriptor(UCHAR Type, UCHAR Index, USHORT WIndex, PVOID Buffer, PULONG Length) {
    switch (Type) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        *Length = CopyOut(Buffer, *Length, DeviceDescriptor, sizeof(DeviceDescriptor));
        return STATUS_SUCCESS;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        if (Index != 0) {
            break;
        }
        *Length =
            CopyOut(Buffer, *Length, ConfigurationDescriptor, sizeof(ConfigurationDescriptor));
        return STATUS_SUCCESS;
    case USB_STRING_DESCRIPTOR_TYPE: {
        UCHAR bytes[2 + 2 * 32];
        ULONG size;
        if (Index == 0) {
            bytes[2] = 0x09;
            bytes[3] = 0x04;
            size = 4;
        } else if (Index <= sizeof(Strings) / sizeof(Strings[0])) {
            const WCHAR* text = Strings[Index - 1];
            size = 2;
            for (ULONG i = 0; text[i] != 0 && size + 2 <= sizeof(bytes); ++i) {
                bytes[size++] = static_cast<UCHAR>(text[i] & 0xFF);
                bytes[size++] = static_cast<UCHAR>(text[i] >> 8);
            }
        } else {
            break;
        }
        bytes[0] = static_cast<UCHAR>(size);
        bytes[1] = USB_STRING_DESCRIPTOR_TYPE;
        *Length = CopyOut(Buffer, *Length, bytes, size);
        return STATUS_SUCCESS;
    }
    case 0x21: {
        const UCHAR* iface = FindInterface(static_cast<UCHAR>(WIndex), -1);
        for (const UCHAR* d = iface ? NextInInterface(iface) : NULL; d != NULL;
             d = NextInInterface(d)) {
            if (d[1] == 0x21) {
                *Length = CopyOut(Buffer, *Length, d, d[0]);
                return STATUS_SUCCESS;
            }
        }
        break;
    }
    case 0x22:
        if (WIndex != HidInterface) {
            break;
        }
        *Length = CopyOut(Buffer, *Length, ReportDescriptor, sizeof(ReportDescriptor));
        return STATUS_SUCCESS;
    default:
        break;
    }
    return STATUS_UNSUCCESSFUL;
}

// The HID class requests of interface 3: GET_REPORT of features 0x80 and 0x81 and of the input
// report, idle and protocol; SET_REPORT is taken as it comes.
NTSTATUS HidClassRequest(BUS_EXTENSION* Pdo, UCHAR Request, USHORT Value, PVOID Buffer,
                         PULONG Length) {
    UCHAR type = static_cast<UCHAR>(Value >> 8);
    UCHAR id = static_cast<UCHAR>(Value & 0xFF);
    UCHAR data[64] = {};
    switch (Request) {
    case 0x01: // GET_REPORT
        if (type == 3 && (id == 0x80 || id == 0x81)) {
            data[0] = id;
            for (ULONG i = 1; i < sizeof(data); ++i) {
                data[i] = static_cast<UCHAR>(id + i);
            }
            *Length = CopyOut(Buffer, *Length, data, sizeof(data));
            return STATUS_SUCCESS;
        }
        if (type == 1) {
            data[0] = 0x01;
            data[1] = Pdo->Counter;
            *Length = CopyOut(Buffer, *Length, data, InputReportSize);
            return STATUS_SUCCESS;
        }
        break;
    case 0x02: // GET_IDLE
    case 0x03: // GET_PROTOCOL
        data[0] = Request == 0x03 ? 1 : 0;
        *Length = CopyOut(Buffer, *Length, data, 1);
        return STATUS_SUCCESS;
    case 0x09: // SET_REPORT
    case 0x0A: // SET_IDLE
    case 0x0B: // SET_PROTOCOL
        return STATUS_SUCCESS;
    default:
        break;
    }
    return STATUS_UNSUCCESSFUL;
}

// One request on the default pipe, from its setup stage; a failure stalls.
NTSTATUS ControlRequest(BUS_EXTENSION* Pdo, PURB Urb, UCHAR RequestType, UCHAR Request,
                        USHORT Value, USHORT Index, PVOID Buffer, PULONG Length) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if ((RequestType & 0x60) == 0 && Request == 0x06) {
        status = GetDescriptor(static_cast<UCHAR>(Value >> 8), static_cast<UCHAR>(Value & 0xFF),
                               Index, Buffer, Length);
    } else if ((RequestType & 0x7F) == 0x21 && (Index & 0xFF) == HidInterface) {
        status = HidClassRequest(Pdo, Request, Value, Buffer, Length);
    }
    if (!NT_SUCCESS(status)) {
        Urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
        if (RequestType & 0x80) {
            *Length = 0;
        }
    }
    return status;
}

// Wine's MDLs built by a driver have no system address; the virtual address is the buffer.
PVOID TransferBufferOf(PVOID Buffer, PMDL Mdl) {
    if (Buffer == NULL && Mdl != NULL) {
        return MmGetMdlVirtualAddress(Mdl);
    }
    return Buffer;
}

UCHAR RecipientOf(USHORT Function) {
    switch (Function) {
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_VENDOR_INTERFACE:
        return 1;
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_VENDOR_ENDPOINT:
        return 2;
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_OTHER:
        return 3;
    default:
        return 0;
    }
}

// ---- Configuration and pipes ----------------------------------------------------------------

PIPE* FindPipe(BUS_EXTENSION* Pdo, USBD_PIPE_HANDLE Handle) {
    for (ULONG i = 0; i < MaxPipes; ++i) {
        if (Handle == &Pdo->Pipes[i]) {
            return Pdo->Pipes[i].Valid ? &Pdo->Pipes[i] : NULL;
        }
    }
    return NULL;
}

// Selects the interfaces the URB lists and hands out a handle per endpoint; the handles of an
// earlier selection stop working. A NULL configuration deconfigures.
NTSTATUS SelectConfiguration(BUS_EXTENSION* Pdo, PURB Urb) {
    KIRQL irql;
    KeAcquireSpinLock(&Pdo->Lock, &irql);
    for (ULONG i = 0; i < MaxPipes; ++i) {
        Pdo->Pipes[i].Valid = FALSE;
    }
    KeReleaseSpinLock(&Pdo->Lock, irql);
    auto& select = Urb->UrbSelectConfiguration;
    if (select.ConfigurationDescriptor == NULL) {
        return STATUS_SUCCESS;
    }
    ULONG used = 0;
    PUCHAR position = reinterpret_cast<PUCHAR>(&select.Interface);
    PUCHAR end = reinterpret_cast<PUCHAR>(Urb) + Urb->UrbHeader.Length;
    while (position + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        const UCHAR* iface = FindInterface(info->InterfaceNumber, info->AlternateSetting);
        ULONG endpoints = iface != NULL ? iface[4] : 0;
        if (info->Length == 0 || iface == NULL ||
            info->Length < GET_USBD_INTERFACE_SIZE(endpoints) || position + info->Length > end ||
            used + endpoints > MaxPipes) {
            Urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
            return STATUS_INVALID_PARAMETER;
        }
        info->Class = iface[5];
        info->SubClass = iface[6];
        info->Protocol = iface[7];
        info->InterfaceHandle = const_cast<UCHAR*>(iface);
        info->NumberOfPipes = endpoints;
        ULONG pipe = 0;
        for (const UCHAR* d = NextInInterface(iface); d != NULL && pipe < endpoints;
             d = NextInInterface(d)) {
            if (d[1] != USB_ENDPOINT_DESCRIPTOR_TYPE) {
                continue;
            }
            PIPE* handle = &Pdo->Pipes[used++];
            handle->Endpoint = d[2];
            handle->Attributes = d[3];
            handle->Valid = TRUE;
            USBD_PIPE_INFORMATION& out = info->Pipes[pipe++];
            out.EndpointAddress = d[2];
            out.PipeType = static_cast<USBD_PIPE_TYPE>(d[3] & USB_ENDPOINT_TYPE_MASK);
            out.MaximumPacketSize = static_cast<USHORT>(d[4] | (d[5] << 8));
            out.Interval = d[6];
            out.PipeHandle = handle;
        }
        position += info->Length;
    }
    select.ConfigurationHandle = Pdo;
    return STATUS_SUCCESS;
}

// ---- Interrupt transfers --------------------------------------------------------------------

VOID NTAPI CancelRead(PDEVICE_OBJECT Device, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    BUS_EXTENSION* pdo = ExtensionOf(Device);
    KIRQL irql;
    KeAcquireSpinLock(&pdo->Lock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&pdo->Lock, irql);
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    Complete(Irp, STATUS_CANCELLED);
}

// Takes the oldest read the bus may still complete, or NULL.
PIRP TakeRead(BUS_EXTENSION* Pdo) {
    KIRQL irql;
    KeAcquireSpinLock(&Pdo->Lock, &irql);
    PIRP taken = NULL;
    for (PLIST_ENTRY e = Pdo->Reads.Flink; e != &Pdo->Reads; e = e->Flink) {
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        // A read whose cancel routine has started belongs to that routine.
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(e);
            taken = irp;
            break;
        }
    }
    KeReleaseSpinLock(&Pdo->Lock, irql);
    return taken;
}

// An interrupt IN transfer waits for the next report (the IRP is marked pending). A read that
// is cancelled, or that comes after Unplug has failed the waiting ones, fails at once.
NTSTATUS QueueRead(BUS_EXTENSION* Pdo, PIRP Irp) {
    IoMarkIrpPending(Irp);
    KIRQL irql;
    KeAcquireSpinLock(&Pdo->Lock, &irql);
    InsertTailList(&Pdo->Reads, &Irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(Irp, CancelRead);
    BOOLEAN gone = Pdo->Gone;
    if ((Irp->Cancel || gone) && IoSetCancelRoutine(Irp, NULL) != NULL) {
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&Pdo->Lock, irql);
        PURB urb =
            static_cast<PURB>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
        urb->UrbHeader.Status = gone ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_CANCELED;
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        Complete(Irp, gone ? STATUS_NO_SUCH_DEVICE : STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&Pdo->Lock, irql);
    return STATUS_PENDING;
}

// Records an OUT transfer and plays the address query: the on code makes the controller put its
// address into bytes 49 to 54 of its input reports, the zeroed code stops it.
NTSTATUS WriteOut(BUS_EXTENSION* Pdo, PURB Urb) {
    auto& transfer = Urb->UrbBulkOrInterruptTransfer;
    const UCHAR* data = static_cast<const UCHAR*>(
        TransferBufferOf(transfer.TransferBuffer, transfer.TransferBufferMDL));
    ULONG length = data != NULL ? transfer.TransferBufferLength : 0;
    KIRQL irql;
    KeAcquireSpinLock(&Pdo->Lock, &irql);
    VELTBUS_RECORD& record = Pdo->Record;
    record.OutTransfers++;
    if (record.Kept == VELTBUS_KEPT_OUT) {
        RtlMoveMemory(&record.Out[0], &record.Out[1],
                      sizeof(record.Out[0]) * (VELTBUS_KEPT_OUT - 1));
        RtlMoveMemory(&record.OutLength[0], &record.OutLength[1],
                      sizeof(record.OutLength[0]) * (VELTBUS_KEPT_OUT - 1));
        record.Kept--;
    }
    ULONG kept = length < VELTBUS_OUT_SIZE ? length : VELTBUS_OUT_SIZE;
    RtlZeroMemory(record.Out[record.Kept], VELTBUS_OUT_SIZE);
    if (kept != 0) {
        RtlCopyMemory(record.Out[record.Kept], data, kept);
    }
    record.OutLength[record.Kept++] = length;
    if (length >= AddressCodeOffset + sizeof(OnCode) && data[0] == AddressReportId) {
        const UCHAR* code = data + AddressCodeOffset;
        if (RtlCompareMemory(code, OnCode, sizeof(OnCode)) == sizeof(OnCode)) {
            record.OnCommands++;
            Pdo->AddressOn = TRUE;
        } else if ((code[0] | code[1] | code[2] | code[3]) == 0) {
            record.OffCommands++;
            Pdo->AddressOn = FALSE;
        }
    }
    KeReleaseSpinLock(&Pdo->Lock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS Transfer(BUS_EXTENSION* Pdo, PIRP Irp, PURB Urb) {
    KIRQL irql;
    KeAcquireSpinLock(&Pdo->Lock, &irql);
    PIPE* pipe = FindPipe(Pdo, Urb->UrbBulkOrInterruptTransfer.PipeHandle);
    UCHAR endpoint = pipe != NULL ? pipe->Endpoint : 0;
    KeReleaseSpinLock(&Pdo->Lock, irql);
    if (pipe == NULL) {
        Urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
        return STATUS_INVALID_PARAMETER;
    }
    if (endpoint & 0x80) {
        return QueueRead(Pdo, Irp);
    }
    return WriteOut(Pdo, Urb);
}

// Completes every waiting read with a status (the device is gone or the pipe aborted).
VOID FailReads(BUS_EXTENSION* Pdo, NTSTATUS Status, USBD_STATUS UsbdStatus) {
    PIRP irp;
    while ((irp = TakeRead(Pdo)) != NULL) {
        PURB urb =
            static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        urb->UrbHeader.Status = UsbdStatus;
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        Complete(irp, Status);
    }
}

// The next input report: ID 1, the sticks X, Y, Z and Rz in bytes 1 to 4 moving with every
// report, byte 5 counting reports, byte 7 left for the driver's frame counter, and while the
// address query is on the address in bytes 49 to 54.
VOID NextReport(BUS_EXTENSION* Pdo, PUCHAR Report) {
    RtlZeroMemory(Report, InputReportSize);
    KIRQL irql;
    KeAcquireSpinLock(&Pdo->Lock, &irql);
    UCHAR step = Pdo->Counter++;
    Report[0] = 0x01;
    Report[1] = step;
    Report[2] = static_cast<UCHAR>(0xFF - step);
    Report[3] = static_cast<UCHAR>(step * 2);
    Report[4] = static_cast<UCHAR>(0x80 + step);
    Report[5] = step;
    if (Pdo->AddressOn) {
        RtlCopyMemory(Report + AddressOffset, Address, sizeof(Address));
    }
    KeReleaseSpinLock(&Pdo->Lock, irql);
}

// The controller: one report per period to the oldest waiting read; a report nobody waits for is
// not kept, as an interrupt endpoint keeps only its current state.
VOID NTAPI ReportThread(PVOID Context) {
    BUS_EXTENSION* pdo = static_cast<BUS_EXTENSION*>(Context);
    LARGE_INTEGER period;
    period.QuadPart = ReportPeriod;
    while (KeWaitForSingleObject(&pdo->Stop, Executive, KernelMode, FALSE, &period) ==
           STATUS_TIMEOUT) {
        PIRP irp = TakeRead(pdo);
        if (irp == NULL) {
            continue;
        }
        UCHAR report[InputReportSize];
        NextReport(pdo, report);
        PURB urb =
            static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        auto& transfer = urb->UrbBulkOrInterruptTransfer;
        transfer.TransferBufferLength =
            CopyOut(TransferBufferOf(transfer.TransferBuffer, transfer.TransferBufferMDL),
                    transfer.TransferBufferLength, report, sizeof(report));
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        KIRQL irql;
        KeAcquireSpinLock(&pdo->Lock, &irql);
        pdo->Record.InReports++;
        KeReleaseSpinLock(&pdo->Lock, irql);
        Complete(irp, STATUS_SUCCESS);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS StartReports(BUS_EXTENSION* Pdo) {
    if (Pdo->Thread != NULL) {
        return STATUS_SUCCESS;
    }
    KeInitializeEvent(&Pdo->Stop, NotificationEvent, FALSE);
    HANDLE handle;
    NTSTATUS status =
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, ReportThread, Pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status =
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, &Pdo->Thread, NULL);
    if (!NT_SUCCESS(status)) {
        // Without the object StopReports could not wait for it: the thread is stopped now.
        Pdo->Thread = NULL;
        KeSetEvent(&Pdo->Stop, IO_NO_INCREMENT, FALSE);
        ZwWaitForSingleObject(handle, FALSE, NULL);
    }
    ZwClose(handle);
    return status;
}

VOID StopReports(BUS_EXTENSION* Pdo) {
    if (Pdo->Thread == NULL) {
        return;
    }
    KeSetEvent(&Pdo->Stop, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(Pdo->Thread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(Pdo->Thread);
    Pdo->Thread = NULL;
}

// ---- The controller's PDO -----------------------------------------------------------------------

// IOCTL_INTERNAL_USB_SUBMIT_URB by function; STATUS_PENDING when the IRP waits for a report.
NTSTATUS SubmitUrb(BUS_EXTENSION* Pdo, PIRP Irp, PURB Urb) {
    if (Pdo->Gone) {
        Urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        return STATUS_NO_SUCH_DEVICE;
    }
    USHORT function = Urb->UrbHeader.Function;
    Urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(Pdo, Urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return Transfer(Pdo, Irp, Urb);
    case URB_FUNCTION_ABORT_PIPE:
        FailReads(Pdo, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        return STATUS_SUCCESS;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return STATUS_SUCCESS;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
        auto& request = Urb->UrbControlDescriptorRequest;
        UCHAR recipient = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE      ? 0
                          : function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 1
                                                                                   : 2;
        return ControlRequest(Pdo, Urb, static_cast<UCHAR>(0x80 | recipient), 0x06,
                              static_cast<USHORT>((request.DescriptorType << 8) | request.Index),
                              request.LanguageId,
                              TransferBufferOf(request.TransferBuffer, request.TransferBufferMDL),
                              &request.TransferBufferLength);
    }
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER: {
        auto& request = Urb->UrbControlVendorClassRequest;
        BOOLEAN isClass =
            function == URB_FUNCTION_CLASS_DEVICE || function == URB_FUNCTION_CLASS_INTERFACE ||
            function == URB_FUNCTION_CLASS_ENDPOINT || function == URB_FUNCTION_CLASS_OTHER;
        UCHAR type =
            static_cast<UCHAR>(((request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0) |
                               (isClass ? 0x20 : 0x40) | RecipientOf(function));
        return ControlRequest(Pdo, Urb, type, request.Request, request.Value, request.Index,
                              TransferBufferOf(request.TransferBuffer, request.TransferBufferMDL),
                              &request.TransferBufferLength);
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
        auto& request = Urb->UrbControlTransfer;
        const UCHAR* p = request.SetupPacket;
        return ControlRequest(Pdo, Urb, p[0], p[1], static_cast<USHORT>(p[2] | (p[3] << 8)),
                              static_cast<USHORT>(p[4] | (p[5] << 8)),
                              TransferBufferOf(request.TransferBuffer, request.TransferBufferMDL),
                              &request.TransferBufferLength);
    }
    default:
        Urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
        return STATUS_INVALID_PARAMETER;
    }
}

// IRP_MJ_INTERNAL_DEVICE_CONTROL on the controller's PDO, any level: URBs and the port status.
NTSTATUS PdoInternalControl(BUS_EXTENSION* Pdo, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Information = 0;
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
        PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        status = urb == NULL ? STATUS_INVALID_PARAMETER : SubmitUrb(Pdo, Irp, urb);
        if (status == STATUS_PENDING) {
            return STATUS_PENDING;
        }
        break;
    }
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        PULONG port = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (port == NULL) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        *port = Pdo->Gone ? 0 : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
        status = STATUS_SUCCESS;
        break;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
        status = STATUS_SUCCESS;
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return Complete(Irp, status);
}

NTSTATUS PdoQueryId(PIRP Irp) {
    const WCHAR* text;
    SIZE_T bytes;
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        text = DeviceId;
        bytes = sizeof(DeviceId);
        break;
    case BusQueryHardwareIDs:
        text = HardwareIds;
        bytes = sizeof(HardwareIds);
        break;
    case BusQueryCompatibleIDs:
        text = CompatibleIds;
        bytes = sizeof(CompatibleIds);
        break;
    case BusQueryInstanceID:
        text = InstanceId;
        bytes = sizeof(InstanceId);
        break;
    default:
        return Irp->IoStatus.Status;
    }
    PWCHAR copy = CopyString(text, bytes);
    if (copy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
    return STATUS_SUCCESS;
}

NTSTATUS PdoQueryCapabilities(PIRP Irp) {
    PDEVICE_CAPABILITIES caps =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    caps->Removable = TRUE;
    caps->SurpriseRemovalOK = TRUE;
    caps->UniqueID = TRUE;
    caps->Address = 1;
    caps->UINumber = 1;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) {
        caps->DeviceState[s] = PowerDeviceD3;
    }
    caps->DeviceD2 = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS PdoQueryRelations(BUS_EXTENSION* Pdo, PIRP Irp) {
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type !=
        TargetDeviceRelation) {
        return Irp->IoStatus.Status;
    }
    PDEVICE_RELATIONS relations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), PoolTag("rBlV")));
    if (relations == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = 1;
    relations->Objects[0] = Pdo->Self;
    ObReferenceObject(Pdo->Self);
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return STATUS_SUCCESS;
}

NTSTATUS PdoQueryBusInformation(PIRP Irp) {
    PPNP_BUS_INFORMATION info = static_cast<PPNP_BUS_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), PoolTag("iBlV")));
    if (info == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    info->BusTypeGuid = BusTypeUsb;
    info->LegacyBusType = PNPBus;
    info->BusNumber = 0;
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(info);
    return STATUS_SUCCESS;
}

// Surprise removal and removal: the controller is unplugged, its reads fail as a hub fails them.
VOID Unplug(BUS_EXTENSION* Pdo) {
    KIRQL irql;
    KeAcquireSpinLock(&Pdo->Lock, &irql);
    Pdo->Gone = TRUE;
    KeReleaseSpinLock(&Pdo->Lock, irql);
    StopReports(Pdo);
    FailReads(Pdo, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
}

// IRP_MJ_PNP on the controller's PDO, PASSIVE_LEVEL; completed here, never pending.
NTSTATUS PdoPnp(BUS_EXTENSION* Pdo, PIRP Irp) {
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Pdo->Gone = FALSE;
        status = StartReports(Pdo);
        break;
    case IRP_MN_QUERY_ID:
        status = PdoQueryId(Irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = PdoQueryCapabilities(Irp);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        status = PdoQueryRelations(Pdo, Irp);
        break;
    case IRP_MN_QUERY_BUS_INFORMATION:
        status = PdoQueryBusInformation(Irp);
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceText.DeviceTextType !=
            DeviceTextDescription) {
            status = Irp->IoStatus.Status;
            break;
        }
        Irp->IoStatus.Information =
            reinterpret_cast<ULONG_PTR>(CopyString(DeviceText, sizeof(DeviceText)));
        status = Irp->IoStatus.Information != 0 ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        Unplug(Pdo);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        status = STATUS_SUCCESS;
        break;
    default:
        status = Irp->IoStatus.Status;
        break;
    }
    return Complete(Irp, status);
}

// ---- The bus FDO ----------------------------------------------------------------------------

NTSTATUS CreateChild(BUS_EXTENSION* Fdo) {
    PDEVICE_OBJECT child;
    NTSTATUS status =
        IoCreateDevice(Fdo->Self->DriverObject, sizeof(BUS_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                       FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BUS_EXTENSION* pdo = ExtensionOf(child);
    RtlZeroMemory(pdo, sizeof(*pdo));
    pdo->Self = child;
    KeInitializeSpinLock(&pdo->Lock);
    InitializeListHead(&pdo->Reads);
    child->Flags |= DO_POWER_PAGABLE;
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    Fdo->Child = child;
    return STATUS_SUCCESS;
}

// BusRelations: the controller's PDO, referenced for the PnP manager.
NTSTATUS FdoQueryRelations(BUS_EXTENSION* Fdo, PIRP Irp) {
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type != BusRelations) {
        return PassDown(Fdo, Irp);
    }
    PDEVICE_RELATIONS relations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), PoolTag("rBlV")));
    if (relations == NULL) {
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    relations->Count = 0;
    if (Fdo->Child != NULL) {
        relations->Objects[relations->Count++] = Fdo->Child;
        ObReferenceObject(Fdo->Child);
    }
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Fdo, Irp);
}

// IRP_MJ_PNP on the bus FDO, PASSIVE_LEVEL. START plugs the controller in and asks Wine to
// enumerate it; REMOVE deletes it and the FDO.
NTSTATUS FdoPnp(BUS_EXTENSION* Fdo, PIRP Irp) {
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(Fdo->Lower, Irp);
        if (NT_SUCCESS(status) && Fdo->Child == NULL) {
            status = CreateChild(Fdo);
        }
        Complete(Irp, status);
        if (NT_SUCCESS(status)) {
            TEST_LOG("veltbus: controller plugged in\n");
            IoInvalidateDeviceRelations(Fdo->RootPdo, BusRelations);
        }
        return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return FdoQueryRelations(Fdo, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return Complete(Irp, ForwardAndWait(Fdo->Lower, Irp));
    case IRP_MN_QUERY_CAPABILITIES:
        return Complete(Irp, ForwardAndWait(Fdo->Lower, Irp));
    case IRP_MN_REMOVE_DEVICE: {
        // The application's requests that hold the lock end before the controller goes.
        IoAcquireRemoveLock(&Fdo->RemoveLock, Irp);
        IoReleaseRemoveLockAndWait(&Fdo->RemoveLock, Irp);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(Fdo, Irp);
        if (Fdo->Child != NULL) {
            Unplug(ExtensionOf(Fdo->Child));
            IoDeleteDevice(Fdo->Child);
            Fdo->Child = NULL;
        }
        if (Fdo->SymbolicLink) {
            UNICODE_STRING link;
            RtlInitUnicodeString(&link, VELTBUS_DOS_NAME);
            IoDeleteSymbolicLink(&link);
        }
        IoDetachDevice(Fdo->Lower);
        IoDeleteDevice(Fdo->Self);
        TEST_LOG("veltbus: bus removed\n");
        return status;
    }
    default:
        return PassDown(Fdo, Irp);
    }
}

// ---- Requests the bus makes of the controller's stack, as Windows' managers make them --------

// PASSIVE_LEVEL: sends an IRP the bus allocated to the top of the controller's stack and waits
// for it to come back; the IRP is freed and its status returned.
NTSTATUS SendToStack(PDEVICE_OBJECT Top, PIRP Irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER
                          ? PoCallDriver(Top, Irp)
                          : IoCallDriver(Top, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    status = Irp->IoStatus.Status;
    IoFreeIrp(Irp);
    return status;
}

// A new IRP for the top of the stack with its first location filled in; the status a driver
// that does not handle it leaves is STATUS_NOT_SUPPORTED ("Sending IRPs", IoAllocateIrp).
PIRP NewStackIrp(PDEVICE_OBJECT Top, UCHAR Major, UCHAR Minor) {
    PIRP irp = IoAllocateIrp(Top->StackSize, FALSE);
    if (irp != NULL) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = 0;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = Major;
        next->MinorFunction = Minor;
    }
    return irp;
}

// IRP_MN_QUERY_CAPABILITIES to the started stack, which Windows' PnP manager sends once the
// stack has started (Wine asks only the PDO, before AddDevice): the function driver learns the
// device power state of each system state from it.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT Top) {
    PIRP irp = NewStackIrp(Top, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    DEVICE_CAPABILITIES caps;
    RtlZeroMemory(&caps, sizeof(caps));
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = MAXULONG;
    caps.UINumber = MAXULONG;
    IoGetNextIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities = &caps;
    NTSTATUS status = SendToStack(Top, irp);
    TEST_LOG("veltbus: capabilities query completed with 0x%lx, S3 maps to D%d\n", status,
             static_cast<int>(caps.DeviceState[PowerSystemSleeping3]) - 1);
    return status;
}

// IRP_MN_SET_POWER for a system state, as the power manager sends it to every stack on sleep
// and wake ("IRP_MN_SET_POWER"); Wine never does.
NTSTATUS SetSystemPower(PDEVICE_OBJECT Top, SYSTEM_POWER_STATE State) {
    PIRP irp = NewStackIrp(Top, IRP_MJ_POWER, IRP_MN_SET_POWER);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Power.SystemContext = 0;
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = State;
    next->Parameters.Power.ShutdownType =
        State == PowerSystemWorking ? PowerActionNone : PowerActionSleep;
    NTSTATUS status = SendToStack(Top, irp);
    TEST_LOG("veltbus: S%d request completed with 0x%lx\n", static_cast<int>(State) - 1, status);
    return status;
}

// IOCTL_VELTBUS_SLEEP_AND_WAKE: the capabilities query, then S3 and S0 to the controller's
// stack; each step's status goes back to the application.
NTSTATUS SleepAndWake(PDEVICE_OBJECT Child, VELTBUS_POWER* Result) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Child);
    Result->Capabilities = QueryCapabilities(top);
    Result->Sleep = SetSystemPower(top, PowerSystemSleeping3);
    Result->Wake = SetSystemPower(top, PowerSystemWorking);
    ObDereferenceObject(top);
    return STATUS_SUCCESS;
}

// ---- The application's requests -----------------------------------------------------------------

// IOCTL_VELTBUS_GET_RECORD: the record of what reached the controller.
NTSTATUS GetRecord(PDEVICE_OBJECT Child, VELTBUS_RECORD* Record) {
    BUS_EXTENSION* pdo = ExtensionOf(Child);
    KIRQL irql;
    KeAcquireSpinLock(&pdo->Lock, &irql);
    RtlCopyMemory(Record, &pdo->Record, sizeof(*Record));
    KeReleaseSpinLock(&pdo->Lock, irql);
    return STATUS_SUCCESS;
}

// IRP_MJ_DEVICE_CONTROL on the bus FDO from the application, PASSIVE_LEVEL, METHOD_BUFFERED;
// completed here. The remove lock keeps the controller's PDO until the request is done.
NTSTATUS FdoDeviceControl(BUS_EXTENSION* Fdo, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Information = 0;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG size = code == IOCTL_VELTBUS_GET_RECORD       ? sizeof(VELTBUS_RECORD)
                 : code == IOCTL_VELTBUS_SLEEP_AND_WAKE ? sizeof(VELTBUS_POWER)
                                                        : 0;
    if (size == 0) {
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < size) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    NTSTATUS status = IoAcquireRemoveLock(&Fdo->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return Complete(Irp, status);
    }
    PVOID out = Irp->AssociatedIrp.SystemBuffer;
    if (Fdo->Child == NULL) {
        status = STATUS_DEVICE_NOT_READY;
    } else if (code == IOCTL_VELTBUS_GET_RECORD) {
        status = GetRecord(Fdo->Child, static_cast<VELTBUS_RECORD*>(out));
    } else {
        status = SleepAndWake(Fdo->Child, static_cast<VELTBUS_POWER*>(out));
    }
    IoReleaseRemoveLock(&Fdo->RemoveLock, Irp);
    if (NT_SUCCESS(status)) {
        Irp->IoStatus.Information = size;
    }
    return Complete(Irp, status);
}

// ---- Driver entry points ----------------------------------------------------------------------

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT Device, PIRP Irp) {
    BUS_EXTENSION* extension = ExtensionOf(Device);
    return extension->IsFdo ? FdoPnp(extension, Irp) : PdoPnp(extension, Irp);
}

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT Device, PIRP Irp) {
    BUS_EXTENSION* extension = ExtensionOf(Device);
    if (extension->IsFdo) {
        return PassDown(extension, Irp);
    }
    return PdoInternalControl(extension, Irp);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT Device, PIRP Irp) {
    BUS_EXTENSION* extension = ExtensionOf(Device);
    if (extension->IsFdo) {
        return FdoDeviceControl(extension, Irp);
    }
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT Device, PIRP Irp) {
    UNREFERENCED_PARAMETER(Device);
    Irp->IoStatus.Information = 0;
    return Complete(Irp, STATUS_SUCCESS);
}

// IRP_MJ_POWER, PASSIVE_LEVEL (DO_POWER_PAGABLE). The FDO passes every request down; the
// controller's PDO, a bus driver's PDO with no hardware to power, grants set-power and
// query-power and completes the rest (wait-wake) with the status they came with.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT Device, PIRP Irp) {
    BUS_EXTENSION* extension = ExtensionOf(Device);
    PoStartNextPowerIrp(Irp);
    if (extension->IsFdo) {
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(extension->Lower, Irp);
    }
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
        return Complete(Irp, STATUS_SUCCESS);
    }
    return Complete(Irp, Irp->IoStatus.Status);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT RootPdo) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\VeltTestBus");
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(BUS_EXTENSION), &name, FILE_DEVICE_BUS_EXTENDER,
                                     0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BUS_EXTENSION* extension = ExtensionOf(fdo);
    RtlZeroMemory(extension, sizeof(*extension));
    extension->IsFdo = TRUE;
    extension->Self = fdo;
    extension->RootPdo = RootPdo;
    IoInitializeRemoveLock(&extension->RemoveLock, PoolTag("lBlV"), 0, 0);
    extension->Lower = IoAttachDeviceToDeviceStack(fdo, RootPdo);
    if (extension->Lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, VELTBUS_DOS_NAME);
    extension->SymbolicLink = NT_SUCCESS(IoCreateSymbolicLink(&link, &name));
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT Driver) {
    UNREFERENCED_PARAMETER(Driver);
    TEST_LOG("veltbus: unloaded\n");
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    Driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    Driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    Driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    Driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    Driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    Driver->DriverExtension->AddDevice = AddDevice;
    Driver->DriverUnload = Unload;
    TEST_LOG("veltbus: loaded\n");
    return STATUS_SUCCESS;
}
