// Device control on the FDO: every request reaches the controller's stack unchanged, and the
// HID requests and HID descriptor reads are traced on the way down and back up.
#include "fdo/fdo.h"
#include "sim/usb/controller.h"
#include "support/usb_stack.h"

#include <gmock/gmock.h>

using namespace sim::usb;
using namespace velt_test;

namespace {

constexpr ULONG UnlistedCode = 0x000B0033;

class DeviceControlTest : public UsbStackTest {
  protected:
    void SetUp() override {
        UsbStackTest::SetUp();
        Plug(DefaultController());
        Stack().SetOtherRequests([this](PIRP irp) { return Lower(irp); });
    }

    // The controller's stack for the HID minidriver codes: fills the caller's buffer.
    NTSTATUS Lower(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        reached_.push_back(code);
        if (code == IOCTL_HID_GET_DEVICE_ATTRIBUTES) {
            auto* attributes = static_cast<PHID_DEVICE_ATTRIBUTES>(irp->UserBuffer);
            attributes->VendorID = 0xF3A1;
            attributes->ProductID = 0x5C20;
            irp->IoStatus.Information = sizeof(HID_DEVICE_ATTRIBUTES);
        } else if (irp->UserBuffer != NULL &&
                   stack->Parameters.DeviceIoControl.OutputBufferLength) {
            memset(irp->UserBuffer, 0x41, 3);
            irp->IoStatus.Information = 3;
        }
        return STATUS_SUCCESS;
    }

    host::IrpResult Send(UCHAR major, ULONG code, PVOID userBuffer, ULONG outputLength,
                         PVOID argument1 = nullptr) {
        return host::SendIrp(
            Stack().Fdo(), STATUS_NOT_SUPPORTED, [&](PIRP irp, PIO_STACK_LOCATION stack) {
                stack->MajorFunction = major;
                stack->Parameters.DeviceIoControl.IoControlCode = code;
                stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
                if (argument1 != nullptr) {
                    stack->Parameters.Others.Argument1 = argument1;
                }
                irp->UserBuffer = userBuffer;
            });
    }

    std::vector<ULONG> reached_;
};

struct TraceCase {
    const char* name;
    ULONG code;
    std::vector<std::string> lines;
};

class HidTraces : public DeviceControlTest, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(HidTraces, PassedDownWithItsLinesBothWays) {
    const TraceCase& c = GetParam();
    UCHAR buffer[16] = {};
    host::IrpResult result = Send(IRP_MJ_INTERNAL_DEVICE_CONTROL, c.code, buffer, 8);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(reached_, std::vector<ULONG>{c.code});
    EXPECT_EQ(host::LogTexts(), c.lines);
}

const std::string Dump3 = "1: 41 41 41" + std::string(39, ' ') + " AAA";

INSTANTIATE_TEST_SUITE_P(
    Codes, HidTraces,
    ::testing::Values(
        TraceCase{"DeviceDescriptor",
                  IOCTL_HID_GET_DEVICE_DESCRIPTOR,
                  {"VELTDRIVER :       IOCTL_HID_GET_DEVICE_DESCRIPTOR ",
                   "VELTDRIVER :       IOCTL_HID_GET_DEVICE_DESCRIPTOR up 8 bytes of data to "
                   "read,   3 returned ",
                   Dump3, "", " ", " "}},
        TraceCase{"ReportDescriptor",
                  IOCTL_HID_GET_REPORT_DESCRIPTOR,
                  {"VELTDRIVER :       IOCTL__HID_GET_REPORT_DESCRIPTOR",
                   "VELTDRIVER :       IOCTL__HID_GET_REPORT_DESCRIPTOR up 8 bytes of data to "
                   "read,   3 returned ",
                   Dump3, "", " ", " "}},
        TraceCase{"ReadReport",
                  IOCTL_HID_READ_REPORT,
                  {"VELTDRIVER :       IOCTL__HID_READ_REPORT",
                   "VELTDRIVER :       IOCTL__HID_READ_REPORT up   8 bytes of data to read,   3 "
                   "returned ",
                   Dump3, "", " ", " "}},
        TraceCase{"GetString",
                  IOCTL_HID_GET_STRING,
                  {"VELTDRIVER :       IOCTL__HID_GET_STRING",
                   "VELTDRIVER :       IOCTL__HID_GET_STRING up"}},
        TraceCase{"Activate",
                  IOCTL_HID_ACTIVATE_DEVICE,
                  {"VELTDRIVER :       IOCTL_HID_ACTIVATE_DEVICE ",
                   "VELTDRIVER :       IOCTL_HID_ACTIVATE_DEVICE up"}},
        TraceCase{"Deactivate",
                  IOCTL_HID_DEACTIVATE_DEVICE,
                  {"VELTDRIVER :       IOCTL__HID_DEACTIVATE_DEVICE",
                   "VELTDRIVER :       IOCTL__HID_DEACTIVATE_DEVICE up"}},
        TraceCase{"Idle",
                  IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST,
                  {"VELTDRIVER :       IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST  ",
                   "VELTDRIVER :       IOCTL_HID_SEND_IDLE_NOTIFICATION_REQUEST  "}},
        TraceCase{"Unlisted", UnlistedCode, {}}),
    [](const ::testing::TestParamInfo<TraceCase>& info) { return info.param.name; });

TEST_F(DeviceControlTest, WriteReportAndAttributes) {
    UCHAR report[20] = {0x05, 0x31, 0x32};
    HID_XFER_PACKET packet = {report, sizeof(report), 5};
    Send(IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_HID_WRITE_REPORT, &packet, 0);
    HID_DEVICE_ATTRIBUTES attributes = {};
    Send(IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_HID_GET_DEVICE_ATTRIBUTES, &attributes,
         sizeof(attributes));
    EXPECT_EQ(host::LogTexts(),
              (std::vector<std::string>{
                  "VELTDRIVER :       IOCTL__HID_WRITE_REPORT 20 bytes id = 5 report buffer:",
                  "1: 05 31 32 00 00 00 00 00 00 00 00 00 00 00 00 00 .12.............",
                  "1: 00 00 00 00" + std::string(36, ' ') + " ....", "", " ", " ",
                  "VELTDRIVER :       IOCTL__HID_WRITE_REPORT up",
                  "VELTDRIVER :       IOCTL__HID_GET_DEVICE_ATTRIBUTES",
                  "VELTDRIVER :       IOCTL__HID_GET_DEVICE_ATTRIBUTES    32 bytes of data to "
                  "read,   32 returned ",
                  "VELTDRIVER :       IOCTL__HID_GET_DEVICE_ATTRIBUTES    vendor 0xF3A1  product "
                  "0x5C20"}));
}

TEST_F(DeviceControlTest, DescriptorRequestsOfTheInterfaceAreNamedOnTheWayDown) {
    struct Case {
        USHORT function;
        UCHAR type;
        const char* line;
    } cases[] = {
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x21,
         "VELTDRIVER\t\t\t\tHID_HID_DESCRIPTOR_TYPE"},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x22,
         "VELTDRIVER\t\t\t\tHID_REPORT_DESCRIPTOR_TYPE"},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x23,
         "VELTDRIVER\t\t\t\tHID_PHYSICAL_DESCRIPTOR_TYPE"},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x30,
         "VELTDRIVER\t\t\t\tDescrptor type = 0x30"},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0x01, nullptr},
    };
    for (const Case& c : cases) {
        host::ClearLog();
        UCHAR buffer[64] = {};
        URB urb = {};
        urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
        urb.UrbHeader.Function = c.function;
        urb.UrbControlDescriptorRequest.DescriptorType = c.type;
        urb.UrbControlDescriptorRequest.LanguageId = 3;
        urb.UrbControlDescriptorRequest.TransferBuffer = buffer;
        urb.UrbControlDescriptorRequest.TransferBufferLength = sizeof(buffer);
        host::IrpResult result =
            Send(IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr, 0, &urb);
        // The device's answer, or its stall, comes back unchanged.
        EXPECT_EQ(result.status, c.type <= 0x22 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
        std::vector<std::string> expected;
        if (c.line != nullptr) {
            expected.push_back(c.line);
        }
        EXPECT_EQ(host::LogTexts(), expected) << int(c.type);
    }
}

TEST_F(DeviceControlTest, InterruptTransferPassesSilentlyAndPendsBelow) {
    {
        host::IrqlScope passive(PASSIVE_LEVEL);
        GetDescriptorData(Extension());
        SetTargetConfiguration(Extension(), Extension()->pConfigDescriptor);
    }
    Stack().Device().SetCompletion(Completion::BusThread);
    host::ClearLog();
    UCHAR buffer[64] = {};
    URB urb = {};
    urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = Extension()->InterruptInPipe[0];
    urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof(buffer);
    Stack().Device().SendInputReport(Bytes(64, 0x07));
    host::IrpResult result =
        Send(IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr, 0, &urb);
    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], 0x07);
    EXPECT_TRUE(host::LogTexts().empty());
}

TEST_F(DeviceControlTest, RequestAfterRemovalBeganNeverReachesTheStack) {
    PDEVICE_EXTENSION e = Extension();
    IoAcquireRemoveLock(&e->RemoveLock, this);
    IoReleaseRemoveLockAndWait(&e->RemoveLock, this);
    host::IrpResult result = Send(IRP_MJ_DEVICE_CONTROL, IOCTL_HID_GET_STRING, nullptr, 0);
    EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(result.returned, STATUS_DELETE_PENDING);
    EXPECT_TRUE(reached_.empty());
    EXPECT_EQ(host::LogTexts(), std::vector<std::string>{"VELTDRIVER DeviceControl: Remove lock "
                                                         "failed IOCTL Irp type [b0013]"});
}

} // namespace
