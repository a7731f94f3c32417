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

// Wine's debug channel shows these with WINEDEBUG=+debugstr.
#define TEST_LOG(...) DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, __VA_ARGS__)

// A pool tag from its four characters, as the debugger shows it.
constexpr ULONG PoolTag(const char (&Text)[5]) {
    return static_cast<ULONG>(Text[0]) | static_cast<ULONG>(Text[1]) << 8 |
           static_cast<ULONG>(Text[2]) << 16 | static_cast<ULONG>(Text[3]) << 24;
}
