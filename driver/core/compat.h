// The one place that knows which build this is: a Windows compiler against a DDK (the WDK's, or
// mingw-w64's with its gaps filled here) or the host kernel. Every other driver file is written
// against the WDK alone, and no other file uses a compiler's own builtins.
#pragma once

#if defined(_WIN32)

// mingw-w64's wdm.h and its intrinsics both define these two in C++; the WDK never reads the names.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
// mingw-w64's usb.h and usbdlib.h declare their routines without C linkage.
extern "C" {
#include <usb.h>
#include <usbdlib.h>
}
#include <usbioctl.h>

#if defined(__MINGW64_VERSION_MAJOR)
// mingw-w64's hidclass.h carries wrong minidriver codes and it has no hidport.h: these are the
// HID class driver's codes and structures as a minidriver receives them.
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
#else
#include <hidport.h>
#endif

#define VELT_WIDE(text) L##text

#else

#include <hidport.h>
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#define VELT_WIDE(text) u##text

#endif

// Acquire reads and release writes of a byte flag and of a pointer: a reader that sees the new
// value also sees every write made before it was stored. The flag may be volatile, as the WDK
// declares some of the IRP's.
#if defined(_MSC_VER)
// The WDK's ordered-access routines of wdm.h, which fence as each processor needs:
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-readpointeracquire
FORCEINLINE BOOLEAN VeltReadAcquire(const volatile BOOLEAN* Source) {
    return ReadBooleanAcquire(Source);
}

FORCEINLINE VOID VeltWriteRelease(volatile BOOLEAN* Destination, BOOLEAN Value) {
    WriteBooleanRelease(Destination, Value);
}

template <typename T> FORCEINLINE T* VeltReadAcquire(T* const* Source) {
    return static_cast<T*>(ReadPointerAcquire(reinterpret_cast<PVOID const*>(Source)));
}

template <typename T> FORCEINLINE VOID VeltWriteRelease(T** Destination, T* Value) {
    WritePointerRelease(reinterpret_cast<PVOID*>(Destination), Value);
}
#else
// GCC's and clang's atomic builtins, for mingw-w64 and for the host.
template <typename T> FORCEINLINE T VeltReadAcquire(const volatile T* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}

template <typename T> FORCEINLINE VOID VeltWriteRelease(volatile T* Destination, T Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
#endif
