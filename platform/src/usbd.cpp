// The USB driver interface library (USBD): parsing a configuration descriptor and building the
// select-configuration URB, as a USB function driver finds them in usbd.sys.
#include "kernel.h"

#include <usbdlib.h>

namespace {

// The pool tag under which the library allocates the URBs it builds.
constexpr ULONG UsbdTag = 0x44425355; // "USBD"

// The end of the descriptor set: wTotalLength bytes from its start.
PUCHAR ConfigurationEnd(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    return reinterpret_cast<PUCHAR>(configuration) + configuration->wTotalLength;
}

bool Matches(LONG wanted, UCHAR value) {
    return wanted == -1 || wanted == value;
}

} // namespace

extern "C" {

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType) {
    host::detail::CheckDdiIrql(host::detail::Ddi::UsbdParseDescriptors);
    PUCHAR end = static_cast<PUCHAR>(DescriptorBuffer) + TotalLength;
    PUCHAR position = static_cast<PUCHAR>(StartPosition);
    while (position + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
        // A zero length cannot advance; what follows it is not a descriptor set.
        if (common->bLength == 0 || position + common->bLength > end) {
            return NULL;
        }
        if (common->bDescriptorType == DescriptorType) {
            return common;
        }
        position += common->bLength;
    }
    return NULL;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    host::detail::CheckDdiIrql(host::detail::Ddi::UsbdParseConfigurationDescriptorEx);
    PUCHAR end = ConfigurationEnd(ConfigurationDescriptor);
    PVOID position = StartPosition;
    for (;;) {
        PUSB_COMMON_DESCRIPTOR found =
            USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength,
                                  position, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (found == NULL) {
            return NULL;
        }
        auto* iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            Matches(InterfaceNumber, iface->bInterfaceNumber) &&
            Matches(AlternateSetting, iface->bAlternateSetting) &&
            Matches(InterfaceClass, iface->bInterfaceClass) &&
            Matches(InterfaceSubClass, iface->bInterfaceSubClass) &&
            Matches(InterfaceProtocol, iface->bInterfaceProtocol)) {
            return iface;
        }
        position = reinterpret_cast<PUCHAR>(found) + found->bLength;
        if (static_cast<PUCHAR>(position) >= end) {
            return NULL;
        }
    }
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    host::detail::CheckDdiIrql(host::detail::Ddi::UsbdCreateConfigurationRequestEx);
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    size_t count = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != NULL;
         entry++, count++) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    }
    // Room for one interface at least, as the structure declares one.
    if (count == 0) {
        size += sizeof(USBD_INTERFACE_INFORMATION);
    }
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, UsbdTag));
    if (urb == NULL) {
        return NULL;
    }
    memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    PUCHAR position = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != NULL;
         entry++) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        auto* iface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        iface->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
        iface->InterfaceNumber = descriptor->bInterfaceNumber;
        iface->AlternateSetting = descriptor->bAlternateSetting;
        iface->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG pipe = 0; pipe < descriptor->bNumEndpoints; pipe++) {
            iface->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            iface->Pipes[pipe].PipeFlags = 0;
        }
        entry->Interface = iface;
        position += iface->Length;
    }
    return urb;
}

} // extern "C"
