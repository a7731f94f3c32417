// Programs in user mode against the running world: a program opens each of the three device
// stacks by one of its members and sends the device-control requests that the driver once
// followed into memory of the program's choosing.
#include "sim/app/application.h"
#include "support/scenario_world.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace velt_test;

namespace {

enum class Target { Fdo, Gamepad, Vendor };
enum class Payload { ChosenUrbAddress, PacketIntoKernel, PacketToNowhere, Attributes };

struct UserCase {
    const char* name;
    Target target;
    Payload payload;
    NTSTATUS status;
    std::vector<std::string> lines; // what the driver writes for the request
};

const char PdoRefused[] = "VELTDRIVER PDO : DeviceControl : not an internal request, IOCTLCODE ";
const char XdoRefused[] = "VELTDRIVER : XDO : DeviceControl : not an internal request, IOCTLCODE ";
const char WriteUp[] = "VELTDRIVER :       IOCTL__HID_WRITE_REPORT up";

// The controller's stack passes a program's request down unread (the hub's PDO completes it
// with the status it carries); the children refuse it.
const UserCase UserCases[] = {
    {"FdoUrbAtChosenAddress", Target::Fdo, Payload::ChosenUrbAddress, STATUS_SUCCESS, {}},
    {"FdoPacketIntoKernel", Target::Fdo, Payload::PacketIntoKernel, STATUS_SUCCESS, {WriteUp}},
    {"FdoPacketToNowhere", Target::Fdo, Payload::PacketToNowhere, STATUS_SUCCESS, {WriteUp}},
    {"FdoAttributes",
     Target::Fdo,
     Payload::Attributes,
     STATUS_SUCCESS,
     {"VELTDRIVER :       IOCTL__HID_GET_DEVICE_ATTRIBUTES",
      "VELTDRIVER :       IOCTL__HID_GET_DEVICE_ATTRIBUTES    32 bytes of data to read,   0 "
      "returned "}},
    {"GamepadUrbAtChosenAddress",
     Target::Gamepad,
     Payload::ChosenUrbAddress,
     STATUS_INVALID_DEVICE_REQUEST,
     {PdoRefused + std::string("0x220003 refused ")}},
    {"GamepadPacketIntoKernel",
     Target::Gamepad,
     Payload::PacketIntoKernel,
     STATUS_INVALID_DEVICE_REQUEST,
     {PdoRefused + std::string("0xB000F refused ")}},
    {"GamepadPacketToNowhere",
     Target::Gamepad,
     Payload::PacketToNowhere,
     STATUS_INVALID_DEVICE_REQUEST,
     {PdoRefused + std::string("0xB000F refused ")}},
    {"VendorUrbAtChosenAddress",
     Target::Vendor,
     Payload::ChosenUrbAddress,
     STATUS_INVALID_DEVICE_REQUEST,
     {XdoRefused + std::string("0x220003 refused ")}},
    {"VendorPacketIntoKernel",
     Target::Vendor,
     Payload::PacketIntoKernel,
     STATUS_INVALID_DEVICE_REQUEST,
     {XdoRefused + std::string("0xB000F refused ")}},
    {"VendorPacketToNowhere",
     Target::Vendor,
     Payload::PacketToNowhere,
     STATUS_INVALID_DEVICE_REQUEST,
     {XdoRefused + std::string("0xB000F refused ")}},
};

// An address where nothing is mapped, in the program's range or the kernel's.
PUCHAR const Nowhere = reinterpret_cast<PUCHAR>(uintptr_t(0xDEAD0000));

class UserRequestsTest : public ScenarioTest, public ::testing::WithParamInterface<UserCase> {
  protected:
    // The stack's member the program names: the hub's PDO for the controller's stack, the
    // child itself for a child's (the HID stack sits above it).
    PDEVICE_OBJECT Member(Target target) const {
        switch (target) {
        case Target::Fdo:
            return Pdo();
        case Target::Gamepad:
            return ReadChild(&FdoExtension()->GamepadChild);
        case Target::Vendor:
            return ReadChild(&FdoExtension()->VendorChild);
        }
        return nullptr;
    }

    // Sends the case's request as a program run by an administrator; the log then holds what
    // the driver wrote for the request alone.
    host::UserIoResult Send(sim::app::Application& app, const UserCase& c) {
        int handle = app.Open(Member(c.target));
        EXPECT_NE(0, handle);
        host::ClearLog();
        if (c.payload == Payload::Attributes) {
            PVOID attributes = app.Buffer(sizeof(HID_DEVICE_ATTRIBUTES));
            return app.Control(handle, IOCTL_HID_GET_DEVICE_ATTRIBUTES, nullptr, 0, attributes,
                               sizeof(HID_DEVICE_ATTRIBUTES));
        }
        if (c.payload == Payload::ChosenUrbAddress) {
            // A descriptor request whose buffer is the FDO's extension: a write of the driver's
            // own memory, if the driver takes the program's number for a URB.
            URB urb = {};
            urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
            urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
            urb.UrbControlDescriptorRequest.DescriptorType = 1;
            urb.UrbControlDescriptorRequest.TransferBuffer = FdoExtension();
            urb.UrbControlDescriptorRequest.TransferBufferLength = 18;
            auto* bytes = reinterpret_cast<const uint8_t*>(&urb);
            PVOID at = app.Buffer(sim::app::Bytes(bytes, bytes + sizeof(urb)));
            auto length = static_cast<ULONG>(reinterpret_cast<uintptr_t>(at));
            EXPECT_EQ(reinterpret_cast<uintptr_t>(at), length) << "a 32-bit number names it";
            return app.Control(handle, IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr, 0, nullptr, length);
        }
        HID_XFER_PACKET packet = {};
        packet.reportBuffer = c.payload == Payload::PacketIntoKernel
                                  ? reinterpret_cast<PUCHAR>(FdoExtension())
                                  : Nowhere;
        packet.reportBufferLen = 64;
        packet.reportId = 5;
        auto* bytes = reinterpret_cast<const uint8_t*>(&packet);
        PVOID at = app.Buffer(sim::app::Bytes(bytes, bytes + sizeof(packet)));
        return app.Control(handle, IOCTL_HID_WRITE_REPORT, nullptr, 0, at, sizeof(packet));
    }
};

// Each of these requests once made the driver read the program's address (and, for the URB,
// write the FDO's extension), which stopped the machine.
TEST_P(UserRequestsTest, LeaveTheDriversMemoryAccessesAloneAndGetTheirStatus) {
    const UserCase& c = GetParam();
    DEVICE_EXTENSION before = *FdoExtension();
    sim::app::Application app(host::Caller::Administrator);
    host::UserIoResult result = Send(app, c);
    EXPECT_TRUE(result.sent);
    EXPECT_EQ(c.status, result.status);
    EXPECT_EQ(0u, result.information);
    EXPECT_EQ(c.lines, host::LogTexts());
    EXPECT_EQ(0, memcmp(&before, FdoExtension(), sizeof(before)));
}

INSTANTIATE_TEST_SUITE_P(Requests, UserRequestsTest, ::testing::ValuesIn(UserCases),
                         [](const ::testing::TestParamInfo<UserCase>& info) {
                             return info.param.name;
                         });

} // namespace
