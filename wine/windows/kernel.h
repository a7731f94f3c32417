// What the test drivers need from the mingw-w64 DDK, and the few HID minidriver definitions it
// lacks or gets wrong (they are those of the WDK's hidport.h).
#pragma once

#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
extern "C" {
#include <usb.h>
#include <usbdlib.h>
}
#include <usbioctl.h>

#define IOCTL_HID_GET_DEVICE_DESCRIPTOR 0x000B0003
#define IOCTL_HID_GET_REPORT_DESCRIPTOR 0x000B0007
#define IOCTL_HID_READ_REPORT 0x000B000B
#define IOCTL_HID_WRITE_REPORT 0x000B000F
#define IOCTL_HID_GET_STRING 0x000B0013
#define IOCTL_HID_GET_DEVICE_ATTRIBUTES 0x000B0027
#define IOCTL_HID_GET_FEATURE 0x000B0192
#define IOCTL_HID_SET_FEATURE 0x000B0191
#define IOCTL_HID_GET_INPUT_REPORT 0x000B01A2
#define IOCTL_HID_SET_OUTPUT_REPORT 0x000B0195

typedef struct _HID_XFER_PACKET {
    PUCHAR reportBuffer;
    ULONG reportBufferLen;
    UCHAR reportId;
} HID_XFER_PACKET, *PHID_XFER_PACKET;

typedef struct _HID_DEVICE_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
    USHORT Reserved[11];
} HID_DEVICE_ATTRIBUTES, *PHID_DEVICE_ATTRIBUTES;

#pragma pack(push, 1)
typedef struct _HID_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdHID;
    UCHAR bCountry;
    UCHAR bNumDescriptors;
    struct {
        UCHAR bReportType;
        USHORT wReportLength;
    } DescriptorList[1];
} HID_DESCRIPTOR, *PHID_DESCRIPTOR;
#pragma pack(pop)

typedef struct _HID_MINIDRIVER_REGISTRATION {
    ULONG Revision;
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    ULONG DeviceExtensionSize;
    BOOLEAN DevicesArePolled;
    UCHAR Reserved[3];
} HID_MINIDRIVER_REGISTRATION, *PHID_MINIDRIVER_REGISTRATION;

typedef struct _HID_DEVICE_EXTENSION {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    PVOID MiniDeviceExtension;
} HID_DEVICE_EXTENSION, *PHID_DEVICE_EXTENSION;

#define HID_REVISION 0x00000001

extern "C" NTSTATUS NTAPI HidRegisterMinidriver(PHID_MINIDRIVER_REGISTRATION Registration);

// wdm.h's declaration, which mingw-w64 has only in ntifs.h.
extern "C" NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout);

// Wine's debug channel shows these with WINEDEBUG=+debugstr; they are traces, not errors.
#define TEST_LOG(...) DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_TRACE_LEVEL, __VA_ARGS__)

// A pool tag from its four characters, as the debugger shows it.
constexpr ULONG PoolTag(const char (&Text)[5]) {
    return static_cast<ULONG>(Text[0]) | static_cast<ULONG>(Text[1]) << 8 |
           static_cast<ULONG>(Text[2]) << 16 | static_cast<ULONG>(Text[3]) << 24;
}

// Completes the IRP with a status; the caller no longer owns it.
inline NTSTATUS Complete(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Up to DISPATCH_LEVEL: a completion routine that hands the IRP back to the thread waiting on
// the event in Context.
inline NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL: hands a PnP request to the next lower driver and takes it back when that driver
// is done with it; the caller owns the IRP again and completes it. Wine waits for ever on a
// START, a removal or a capabilities query that pends, so nothing is left pending.
inline NTSTATUS ForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Lower, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}
