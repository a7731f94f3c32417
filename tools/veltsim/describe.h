// How veltsim shows what it sees: the device tree, a child's descriptors and reports, the
// gamepad's state. Each returns text ready to print.
#pragma once

#include <host/host.h>

#include "sim/hid/hid_stack.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/controller.h"

#include <string>
#include <vector>

namespace veltsim {

// A feature request the demo sent to a child's HID stack, and what came back.
struct FeatureAnswer {
    bool set = false; // SET_REPORT; otherwise GET_REPORT
    uint8_t id = 0;
    sim::hid::HidResult result; // SET_REPORT: what the device left in the buffer
};

// UTF-16 to UTF-8 for what a device or the PnP manager says; a lone surrogate becomes U+FFFD.
std::string Narrow(const std::u16string& text);
// The drivers of a node's stack from the PDO up ("USB hub PDO", "veltdriver FDO", ...).
std::vector<std::string> StackNames(const sim::pnp::DeviceNode& node, PDRIVER_OBJECT driver);

// The controller's node and its children, as Device Manager's "devices by connection" lists them.
std::string DescribeTree(const sim::pnp::PnpManager& pnp, PDEVICE_OBJECT controller,
                         PDRIVER_OBJECT driver);
// Device, configuration and string descriptors, and the parsed report descriptor as a table.
std::string DescribeDescriptors(sim::hid::HidDevice& hid);
// The gamepad child's answered feature reports: GET_REPORT of 0x02, 0x12 (the address) and 0xA3
// (the firmware build date and time), SET_REPORT of 0x13 and 0x14.
std::vector<FeatureAnswer> ReadGamepadFeatures(sim::hid::HidDevice& hid);
std::string DescribeGamepadFeatures(const std::vector<FeatureAnswer>& answers);
// One line: axes, hat, buttons and frame counter of an input report, read through the parsed
// report descriptor.
std::string DescribeGamepadState(const sim::hid::ParsedReports& reports,
                                 const sim::hid::Bytes& report);
// The model's first interrupt IN endpoint descriptor, where its input reports go, or NULL.
const UCHAR* FirstInterruptIn(const sim::usb::ControllerModel& model);
// The interval of the model's first interrupt IN endpoint, in milliseconds (at least 1).
unsigned InputInterval(const sim::usb::ControllerModel& model);

} // namespace veltsim
