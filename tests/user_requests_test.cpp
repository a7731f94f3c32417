// Programs in user mode against the running world: a program opens each of the three device
// stacks by one of its members and sends the device-control requests that the driver once
// followed into memory of the program's choosing.
#include "sim/app/application.h"
#include "support/scenario_world.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

using namespace velt_test;

namespace {

enum class Target { Fdo, Gamepad, Vendor };
enum class Payload {
    ChosenUrbAddress,
    PacketIntoKernel,
    PacketToNowhere,
    Attributes,
    KernelPacket, // METHOD_NEITHER's output is kernel pool holding a packet aimed at the FDO
};
// Lower: the FDO passes the request down, so the program learns what the lower driver answers.
enum class Answer { Lower, Refused };

struct UserCase {
    const char* name;
    Target target;
    Payload payload;
    Answer answer;
    std::vector<std::string> lines; // what the driver writes for the request
};

const char PdoRefused[] = "VELTDRIVER PDO : DeviceControl : not an internal request, IOCTLCODE ";
const char XdoRefused[] = "VELTDRIVER : XDO : DeviceControl : not an internal request, IOCTLCODE ";
const char WriteUp[] = "VELTDRIVER :       IOCTL__HID_WRITE_REPORT up";

// The controller's stack passes a program's request down unread; the children refuse it.
const UserCase UserCases[] = {
    {"FdoUrbAtChosenAddress", Target::Fdo, Payload::ChosenUrbAddress, Answer::Lower, {}},
    {"FdoPacketIntoKernel", Target::Fdo, Payload::PacketIntoKernel, Answer::Lower, {WriteUp}},
    {"FdoPacketToNowhere", Target::Fdo, Payload::PacketToNowhere, Answer::Lower, {WriteUp}},
    {"FdoKernelPacket", Target::Fdo, Payload::KernelPacket, Answer::Lower, {WriteUp}},
    {"FdoAttributes",
     Target::Fdo,
     Payload::Attributes,
     Answer::Lower,
     {"VELTDRIVER :       IOCTL__HID_GET_DEVICE_ATTRIBUTES",
      "VELTDRIVER :       IOCTL__HID_GET_DEVICE_ATTRIBUTES    32 bytes of data to read,   0 "
      "returned "}},
    {"GamepadUrbAtChosenAddress",
     Target::Gamepad,
     Payload::ChosenUrbAddress,
     Answer::Refused,
     {PdoRefused + std::string("0x220003 refused ")}},
    {"GamepadPacketIntoKernel",
     Target::Gamepad,
     Payload::PacketIntoKernel,
     Answer::Refused,
     {PdoRefused + std::string("0xB000F refused ")}},
    {"GamepadPacketToNowhere",
     Target::Gamepad,
     Payload::PacketToNowhere,
     Answer::Refused,
     {PdoRefused + std::string("0xB000F refused ")}},
    {"GamepadKernelPacket",
     Target::Gamepad,
     Payload::KernelPacket,
     Answer::Refused,
     {PdoRefused + std::string("0xB000F refused ")}},
    {"VendorUrbAtChosenAddress",
     Target::Vendor,
     Payload::ChosenUrbAddress,
     Answer::Refused,
     {XdoRefused + std::string("0x220003 refused ")}},
    {"VendorPacketIntoKernel",
     Target::Vendor,
     Payload::PacketIntoKernel,
     Answer::Refused,
     {XdoRefused + std::string("0xB000F refused ")}},
    {"VendorPacketToNowhere",
     Target::Vendor,
     Payload::PacketToNowhere,
     Answer::Refused,
     {XdoRefused + std::string("0xB000F refused ")}},
    {"VendorKernelPacket",
     Target::Vendor,
     Payload::KernelPacket,
     Answer::Refused,
     {XdoRefused + std::string("0xB000F refused ")}},
};

constexpr ULONG PacketTag = 'P' | ('k' << 8) | ('t' << 16) | (static_cast<ULONG>('U') << 24);

// An address where nothing is mapped, in the program's range or the kernel's.
PUCHAR const Nowhere = reinterpret_cast<PUCHAR>(uintptr_t(0xDEAD0000));

class UserRequestsTest
    : public ScenarioTest,
      public ::testing::WithParamInterface<std::tuple<UserCase, sim::usb::Completion>> {
  protected:
    sim::usb::Completion CompletionMode() const override {
        return std::get<1>(GetParam());
    }

    // The stack's member the program names: the hub's PDO for the controller's stack, the
    // child itself for a child's (the HID stack sits above it).
    PDEVICE_OBJECT Member(Target target) const {
        switch (target) {
        case Target::Fdo:
            return Pdo();
        case Target::Gamepad:
            return ReadPublished(&FdoExtension()->GamepadChild);
        case Target::Vendor:
            return ReadPublished(&FdoExtension()->VendorChild);
        }
        return nullptr;
    }

    struct Request {
        ULONG code;
        PVOID input;
        ULONG inputLength;
        PVOID output;
        ULONG outputLength;
    };

    // The case's request as the program passes it.
    Request Build(sim::app::Application& app, const UserCase& c) {
        switch (c.payload) {
        case Payload::Attributes:
            return {IOCTL_HID_GET_DEVICE_ATTRIBUTES, nullptr, 0,
                    app.Buffer(sizeof(HID_DEVICE_ATTRIBUTES)), sizeof(HID_DEVICE_ATTRIBUTES)};
        case Payload::ChosenUrbAddress: {
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
            return {IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr, 0, nullptr, length};
        }
        case Payload::KernelPacket:
            // No probe stops a METHOD_NEITHER address: a program may name kernel memory it
            // learned of, here a packet whose report buffer is the FDO's extension. A driver that
            // dumps the report hands the extension's bytes to whoever reads the log.
            kernelPacket_->reportBuffer = reinterpret_cast<PUCHAR>(FdoExtension());
            kernelPacket_->reportBufferLen = 64;
            kernelPacket_->reportId = 5;
            return {IOCTL_HID_WRITE_REPORT, nullptr, 0, kernelPacket_, sizeof(HID_XFER_PACKET)};
        case Payload::PacketIntoKernel:
        case Payload::PacketToNowhere:
            break;
        }
        HID_XFER_PACKET packet = {};
        packet.reportBuffer = c.payload == Payload::PacketIntoKernel
                                  ? reinterpret_cast<PUCHAR>(FdoExtension())
                                  : Nowhere;
        packet.reportBufferLen = 64;
        packet.reportId = 5;
        auto* bytes = reinterpret_cast<const uint8_t*>(&packet);
        PVOID at = app.Buffer(sim::app::Bytes(bytes, bytes + sizeof(packet)));
        return {IOCTL_HID_WRITE_REPORT, nullptr, 0, at, sizeof(packet)};
    }

    void SetUp() override {
        ScenarioTest::SetUp();
        kernelPacket_ = static_cast<PHID_XFER_PACKET>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(HID_XFER_PACKET), PacketTag));
        ASSERT_NE(nullptr, kernelPacket_);
    }
    void TearDown() override {
        ExFreePoolWithTag(kernelPacket_, PacketTag);
        ScenarioTest::TearDown();
    }

    PHID_XFER_PACKET kernelPacket_ = nullptr;
};

// Each of these requests once made the driver read the program's address (and, for the URB,
// write the FDO's extension, and for the kernel packet, dump the extension into the log), which
// stopped the machine or disclosed the driver's memory. An ordinary user opens the children too
// (they keep the default security): their refusal is what protects them.
TEST_P(UserRequestsTest, LeaveTheDriversMemoryAccessesAloneAndGetTheirStatus) {
    const UserCase& c = std::get<0>(GetParam());
    std::vector<host::Caller> callers = {host::Caller::Administrator};
    if (c.target != Target::Fdo) {
        callers.push_back(host::Caller::User);
    }
    for (host::Caller caller : callers) {
        SCOPED_TRACE(int(caller));
        DEVICE_EXTENSION before = *FdoExtension();
        sim::app::Application app(caller);
        int handle = app.Open(Member(c.target));
        ASSERT_NE(0, handle);
        Request r = Build(app, c);
        host::ClearLog();
        host::UserIoResult result =
            app.Control(handle, r.code, r.input, r.inputLength, r.output, r.outputLength);
        EXPECT_EQ(c.lines, host::LogTexts());
        EXPECT_TRUE(result.sent);
        EXPECT_EQ(0u, result.information);
        if (c.answer == Answer::Refused) {
            EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, result.status);
        } else {
            host::UserIoResult lower = app.ControlMember(handle, Pdo(), r.code, r.input,
                                                         r.inputLength, r.output, r.outputLength);
            EXPECT_TRUE(lower.sent);
            EXPECT_EQ(lower.status, result.status) << "the lower driver's answer";
        }
        EXPECT_EQ(0, memcmp(&before, FdoExtension(), sizeof(before)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, UserRequestsTest,
    ::testing::Combine(::testing::ValuesIn(UserCases), BothCompletions()),
    [](const ::testing::TestParamInfo<std::tuple<UserCase, sim::usb::Completion>>& info) {
        return std::string(std::get<0>(info.param).name) + "_" +
               sim::usb::CompletionName(std::get<1>(info.param));
    });

} // namespace
