// Host USB interface: the USB driver interface library (the WDK's usbdlib.h), implemented by the
// host kernel in platform/src/usbd.cpp.
#pragma once

#include "usb.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                                      \
    (sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * (numEndpoints) -         \
     sizeof(USBD_PIPE_INFORMATION))

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId,     \
                                     transferBuffer, transferBufferMDL, transferBufferLength,      \
                                     link)                                                         \
    do {                                                                                           \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                       \
        (urb)->UrbHeader.Length = (length);                                                        \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);          \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                      \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                      \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                              \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                              \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                       \
    } while (0)

// The first interface descriptor at or after StartPosition that matches every criterion that is
// not -1, or NULL.
NTKERNELAPI PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);
// The first descriptor of DescriptorType at or after StartPosition inside the buffer, or NULL.
NTKERNELAPI PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer,
                                                               ULONG TotalLength,
                                                               PVOID StartPosition,
                                                               LONG DescriptorType);
// A select-configuration URB from pool for the listed interfaces, with each entry's Interface
// pointing into it; the caller frees it with ExFreePool.
NTKERNELAPI PURB NTAPI
USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                  PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
