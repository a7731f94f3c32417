// One machine for measurements: the default controller with this driver and its two children
// under the system's HID stack, and beside it a second controller whose HID interface the HID
// stack drives straight from the hub PDO (the platform alone, the baseline).
#pragma once

#include "sim/hid/hid_stack.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/hub_pdo.h"
#include "sim/usb/urb_engine.h"

#include <memory>

namespace bench {

using sim::hid::Bytes;

// One controller with the HID stacks that read from it.
struct Path {
    std::unique_ptr<sim::usb::UsbDevice> usb;
    std::unique_ptr<sim::usb::HubPdo> hub;
    std::shared_ptr<sim::hid::HidDevice> gamepad; // the baseline: the HID stack on the hub PDO
    std::shared_ptr<sim::hid::HidDevice> vendor;  // the baseline has none
    size_t readers = 0;                           // reads each HID stack keeps outstanding, all
};

class World {
  public:
    // Builds both paths; FALSE (with the reason on stderr) when the machine did not come up.
    bool Assemble();
    // Orderly removal of both controllers and the driver; FALSE when the host saw faults.
    bool Dismantle();

    Path& Driver() {
        return driver_;
    }
    Path& Baseline() {
        return baseline_;
    }

  private:
    bool Plug(Path& path, const sim::usb::DeviceIdentity& identity, ULONG port);

    std::unique_ptr<sim::pnp::PnpManager> pnp_;
    Path driver_;
    Path baseline_;
};

// Waits (spinning, real time) until every read of the path is back at the controller.
bool ReadsPending(const Path& path);
// One input report from the controller to whichever HID stack of the path holds the read it
// completes, the read resubmitted again; FALSE when it got lost.
bool InputReport(Path& path, const Bytes& report);
// One output report written by the path's gamepad HID stack; FALSE when it failed.
bool OutputReport(Path& path, const Bytes& report);
// A 64-byte input report 0x01 and a 32-byte output report 0x05.
Bytes SampleInput(unsigned sequence);
Bytes SampleOutput();

} // namespace bench
