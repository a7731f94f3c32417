// How veltsim shows what it sees: the device tree, a child's descriptors and reports, the
// gamepad's state. Each returns text ready to print.
#pragma once

#include <host/host.h>

#include "sim/hid/hid_stack.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/controller.h"

#include <string>

namespace veltsim {

// The controller's node and its children, as Device Manager's "devices by connection" lists them.
std::string DescribeTree(const sim::pnp::PnpManager& pnp, PDEVICE_OBJECT controller,
                         PDRIVER_OBJECT driver);
// Device, configuration and string descriptors, and the parsed report descriptor as a table.
std::string DescribeDescriptors(sim::hid::HidDevice& hid);
// Feature reports 0x02, 0x12 (the address) and 0xA3 (the firmware build date and time).
std::string DescribeGamepadFeatures(sim::hid::HidDevice& hid);
// One line: axes, hat, buttons and frame counter of an input report, read through the parsed
// report descriptor.
std::string DescribeGamepadState(const sim::hid::ParsedReports& reports,
                                 const sim::hid::Bytes& report);
// The model's first interrupt IN endpoint descriptor, where its input reports go, or NULL.
const UCHAR* FirstInterruptIn(const sim::usb::ControllerModel& model);
// The interval of the model's first interrupt IN endpoint, in milliseconds (at least 1).
unsigned InputInterval(const sim::usb::ControllerModel& model);

} // namespace veltsim
