// The system's USB HID stack as the PnP manager loads it on a USB device with HID compatible IDs.
// For now it is a function driver that attaches over the device's PDO and passes every request
// down; it leaves the stack when the device is removed.
#pragma once

#include <host/host.h>

namespace sim::hid {

// The service name the built-in model binds, and the compatible ID it binds to.
constexpr const char* HidStackService = "hidusb";
constexpr const char* HidStackModelId = "USB\\Class_03";

// The stack's driver object: part of the machine, loaded once, never unloaded.
PDRIVER_OBJECT HidStackDriver();

} // namespace sim::hid
