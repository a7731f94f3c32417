// Programs in user mode against the running world: a program opens each of the three device
// stacks by one of its members and sends the device-control requests that the driver once
// followed into memory of the program's choosing.
#include "sim/app/application.h"
#include "support/scenario_world.h"

#include <gtest/gtest.h>

using namespace velt_test;

namespace {

enum class Target { Fdo, Gamepad, Vendor };
enum class Payload { ChosenUrbAddress, PacketIntoKernel, PacketToNowhere };

struct UserCase {
    const char* name;
    Target target;
    Payload payload;
};

const UserCase UserCases[] = {
    {"FdoUrbAtChosenAddress", Target::Fdo, Payload::ChosenUrbAddress},
    {"FdoPacketIntoKernel", Target::Fdo, Payload::PacketIntoKernel},
    {"FdoPacketToNowhere", Target::Fdo, Payload::PacketToNowhere},
    {"GamepadUrbAtChosenAddress", Target::Gamepad, Payload::ChosenUrbAddress},
    {"GamepadPacketIntoKernel", Target::Gamepad, Payload::PacketIntoKernel},
    {"GamepadPacketToNowhere", Target::Gamepad, Payload::PacketToNowhere},
    {"VendorUrbAtChosenAddress", Target::Vendor, Payload::ChosenUrbAddress},
    {"VendorPacketIntoKernel", Target::Vendor, Payload::PacketIntoKernel},
    {"VendorPacketToNowhere", Target::Vendor, Payload::PacketToNowhere},
};

// An address where nothing is mapped, in the program's range or the kernel's.
PUCHAR const Nowhere = reinterpret_cast<PUCHAR>(uintptr_t(0xDEAD0000));

class UserRequestsDeathTest : public ScenarioTest, public ::testing::WithParamInterface<UserCase> {
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

    // Sends the case's request as a program run by an administrator.
    host::UserIoResult Send(sim::app::Application& app, const UserCase& c) {
        int handle = app.Open(Member(c.target));
        EXPECT_NE(0, handle);
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

TEST_P(UserRequestsDeathTest, DriverTouchesTheProgramsAddressAndStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const UserCase& c = GetParam();
    EXPECT_DEATH(
        {
            sim::app::Application app(host::Caller::Administrator);
            Send(app, c);
        },
        "STOP: 0x000000(50|D1) .*veltdriver.* user address");
}

INSTANTIATE_TEST_SUITE_P(Requests, UserRequestsDeathTest, ::testing::ValuesIn(UserCases),
                         [](const ::testing::TestParamInfo<UserCase>& info) {
                             return info.param.name;
                         });

} // namespace
