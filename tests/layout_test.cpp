// The host's USB, HID and stack-location structures have the layouts of the DDK headers that the
// real driver build uses, at the host's pointer width. The table comes from the layout probe
// built by both mingw-w64 compilers: regenerate it with tests/layout/generate.sh.
#include "core/compat.h"
#include "layout/layout_list.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

struct DdkLayoutRow {
    const char* name;
    size_t x64;
    size_t x86;
};

// clang-format off
const DdkLayoutRow DdkLayout[] = {
    {"sizeof(URB)", 152, 96},
    {"sizeof(struct _URB_HEADER)", 24, 16},
    {"offsetof(struct _URB_HEADER, Length)", 0, 0},
    {"offsetof(struct _URB_HEADER, Function)", 2, 2},
    {"offsetof(struct _URB_HEADER, Status)", 4, 4},
    {"offsetof(struct _URB_HEADER, UsbdDeviceHandle)", 8, 8},
    {"offsetof(struct _URB_HEADER, UsbdFlags)", 16, 12},
    {"sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)", 136, 80},
    {"offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength)", 36, 24},
    {"offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer)", 40, 28},
    {"offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferMDL)", 48, 32},
    {"offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink)", 56, 36},
    {"offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index)", 130, 74},
    {"offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType)", 131, 75},
    {"offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId)", 132, 76},
    {"sizeof(struct _URB_SELECT_CONFIGURATION)", 88, 60},
    {"offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationDescriptor)", 24, 16},
    {"offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle)", 32, 20},
    {"offsetof(struct _URB_SELECT_CONFIGURATION, Interface)", 40, 24},
    {"sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)", 128, 72},
    {"offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle)", 24, 16},
    {"offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags)", 32, 20},
    {"offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength)", 36, 24},
    {"offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer)", 40, 28},
    {"offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL)", 48, 32},
    {"offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink)", 56, 36},
    {"sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)", 136, 80},
    {"offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags)", 32, 20},
    {"offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength)", 36, 24},
    {"offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer)", 40, 28},
    {"offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferMDL)", 48, 32},
    {"offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits)", 128, 72},
    {"offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request)", 129, 73},
    {"offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value)", 130, 74},
    {"offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index)", 132, 76},
    {"sizeof(struct _URB_PIPE_REQUEST)", 40, 24},
    {"offsetof(struct _URB_PIPE_REQUEST, PipeHandle)", 24, 16},
    {"sizeof(struct _URB_CONTROL_TRANSFER)", 136, 80},
    {"offsetof(struct _URB_CONTROL_TRANSFER, PipeHandle)", 24, 16},
    {"offsetof(struct _URB_CONTROL_TRANSFER, TransferFlags)", 32, 20},
    {"offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferLength)", 36, 24},
    {"offsetof(struct _URB_CONTROL_TRANSFER, TransferBuffer)", 40, 28},
    {"offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferMDL)", 48, 32},
    {"offsetof(struct _URB_CONTROL_TRANSFER, UrbLink)", 56, 36},
    {"offsetof(struct _URB_CONTROL_TRANSFER, SetupPacket)", 128, 72},
    {"sizeof(USBD_INTERFACE_INFORMATION)", 48, 36},
    {"offsetof(USBD_INTERFACE_INFORMATION, Length)", 0, 0},
    {"offsetof(USBD_INTERFACE_INFORMATION, InterfaceNumber)", 2, 2},
    {"offsetof(USBD_INTERFACE_INFORMATION, AlternateSetting)", 3, 3},
    {"offsetof(USBD_INTERFACE_INFORMATION, Class)", 4, 4},
    {"offsetof(USBD_INTERFACE_INFORMATION, SubClass)", 5, 5},
    {"offsetof(USBD_INTERFACE_INFORMATION, Protocol)", 6, 6},
    {"offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle)", 8, 8},
    {"offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes)", 16, 12},
    {"offsetof(USBD_INTERFACE_INFORMATION, Pipes)", 24, 16},
    {"sizeof(USBD_PIPE_INFORMATION)", 24, 20},
    {"offsetof(USBD_PIPE_INFORMATION, MaximumPacketSize)", 0, 0},
    {"offsetof(USBD_PIPE_INFORMATION, EndpointAddress)", 2, 2},
    {"offsetof(USBD_PIPE_INFORMATION, Interval)", 3, 3},
    {"offsetof(USBD_PIPE_INFORMATION, PipeType)", 4, 4},
    {"offsetof(USBD_PIPE_INFORMATION, PipeHandle)", 8, 8},
    {"offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize)", 16, 12},
    {"offsetof(USBD_PIPE_INFORMATION, PipeFlags)", 20, 16},
    {"sizeof(USBD_INTERFACE_LIST_ENTRY)", 16, 8},
    {"offsetof(USBD_INTERFACE_LIST_ENTRY, InterfaceDescriptor)", 0, 0},
    {"offsetof(USBD_INTERFACE_LIST_ENTRY, Interface)", 8, 4},
    {"sizeof(USB_DEVICE_DESCRIPTOR)", 18, 18},
    {"offsetof(USB_DEVICE_DESCRIPTOR, idVendor)", 8, 8},
    {"offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations)", 17, 17},
    {"sizeof(USB_CONFIGURATION_DESCRIPTOR)", 9, 9},
    {"offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength)", 2, 2},
    {"offsetof(USB_CONFIGURATION_DESCRIPTOR, MaxPower)", 8, 8},
    {"sizeof(USB_INTERFACE_DESCRIPTOR)", 9, 9},
    {"sizeof(USB_ENDPOINT_DESCRIPTOR)", 7, 7},
    {"offsetof(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize)", 4, 4},
    {"offsetof(USB_ENDPOINT_DESCRIPTOR, bInterval)", 6, 6},
    {"sizeof(IO_STACK_LOCATION)", 72, 36},
    {"offsetof(IO_STACK_LOCATION, Parameters)", 8, 4},
    {"offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength)", 8, 4},
    {"offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength)", 16, 8},
    {"offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode)", 24, 12},
    {"offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer)", 32, 16},
    {"offsetof(IO_STACK_LOCATION, Parameters.Others.Argument1)", 8, 4},
    {"offsetof(IO_STACK_LOCATION, Parameters.Others.Argument2)", 16, 8},
    {"offsetof(IO_STACK_LOCATION, Parameters.Others.Argument3)", 24, 12},
    {"offsetof(IO_STACK_LOCATION, Parameters.Others.Argument4)", 32, 16},
    {"offsetof(IO_STACK_LOCATION, DeviceObject)", 40, 20},
    {"offsetof(IO_STACK_LOCATION, CompletionRoutine)", 56, 28},
    {"offsetof(IO_STACK_LOCATION, Context)", 64, 32},
    {"sizeof(HID_XFER_PACKET)", 16, 12},
    {"offsetof(HID_XFER_PACKET, reportBuffer)", 0, 0},
    {"offsetof(HID_XFER_PACKET, reportBufferLen)", 8, 4},
    {"offsetof(HID_XFER_PACKET, reportId)", 12, 8},
    {"sizeof(HID_DEVICE_ATTRIBUTES)", 32, 32},
    {"offsetof(HID_DEVICE_ATTRIBUTES, VendorID)", 4, 4},
    {"offsetof(HID_DEVICE_ATTRIBUTES, ProductID)", 6, 6},
};
// clang-format on

std::map<std::string, size_t> HostLayout() {
    std::map<std::string, size_t> layout;
#define VELT_HOST_SIZE(type) layout["sizeof(" #type ")"] = sizeof(type);
#define VELT_HOST_FIELD(type, field)                                                               \
    layout["offsetof(" #type ", " #field ")"] = offsetof(type, field);
    VELT_LAYOUT_LIST(VELT_HOST_SIZE, VELT_HOST_FIELD)
    return layout;
}

TEST(DdkLayout, HostStructuresMatchTheDdkAtThisPointerWidth) {
    std::map<std::string, size_t> host = HostLayout();
    ASSERT_EQ(host.size(), sizeof(DdkLayout) / sizeof(DdkLayout[0]))
        << "the table is out of date: run tests/layout/generate.sh";
    for (const DdkLayoutRow& row : DdkLayout) {
        ASSERT_EQ(host.count(row.name), 1u) << row.name;
        EXPECT_EQ(host[row.name], sizeof(void*) == 8 ? row.x64 : row.x86) << row.name;
    }
}

// The control codes that the compatibility header defines for the mingw build are the ones the
// host's hidport.h and usbioctl.h carry.
TEST(DdkLayout, MinidriverAndUsbControlCodes) {
    EXPECT_EQ(IOCTL_INTERNAL_USB_SUBMIT_URB, 0x220003u);
    const ULONG hid[] = {IOCTL_HID_GET_DEVICE_DESCRIPTOR,
                         IOCTL_HID_GET_REPORT_DESCRIPTOR,
                         IOCTL_HID_READ_REPORT,
                         IOCTL_HID_WRITE_REPORT,
                         IOCTL_HID_GET_STRING,
                         IOCTL_HID_ACTIVATE_DEVICE,
                         IOCTL_HID_DEACTIVATE_DEVICE,
                         IOCTL_HID_GET_DEVICE_ATTRIBUTES,
                         IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST};
    const ULONG expected[] = {0xB0003, 0xB0007, 0xB000B, 0xB000F, 0xB0013,
                              0xB001F, 0xB0023, 0xB0027, 0xB002B};
    for (size_t i = 0; i < sizeof(hid) / sizeof(hid[0]); ++i) {
        EXPECT_EQ(hid[i], expected[i]) << i;
    }
}

} // namespace
