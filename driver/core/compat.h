// The one place that knows which build this is: the real kernel image (mingw-w64 and its DDK
// headers) or the host kernel. It supplies what the mingw DDK lacks or gets wrong, so that every
// other driver file is written against the WDK alone.
#pragma once

#if defined(__MINGW32__)

// wdm.h and mingw's intrinsics both define these two in C++.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
// The DDK's usb.h and usbdlib.h declare their routines without C linkage.
extern "C" {
#include <usb.h>
#include <usbdlib.h>
}
#include <usbioctl.h>

// The DDK's hidclass.h carries wrong minidriver codes and no hidport.h: these are the HID class
// driver's codes and structures as a minidriver receives them.
#define IOCTL_HID_GET_DEVICE_DESCRIPTOR 0x000B0003
#define IOCTL_HID_GET_REPORT_DESCRIPTOR 0x000B0007
#define IOCTL_HID_READ_REPORT 0x000B000B
#define IOCTL_HID_WRITE_REPORT 0x000B000F
#define IOCTL_HID_GET_STRING 0x000B0013
#define IOCTL_HID_ACTIVATE_DEVICE 0x000B001F
#define IOCTL_HID_DEACTIVATE_DEVICE 0x000B0023
#define IOCTL_HID_GET_DEVICE_ATTRIBUTES 0x000B0027
#define IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST 0x000B002B

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

#define VELT_WIDE(text) L##text

#else

#include <hidport.h>
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#define VELT_WIDE(text) u##text

#endif
