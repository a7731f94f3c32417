// One machine for measurements: controllers with this driver and its two children under the
// system's HID stack, and beside them a controller whose HID interface the HID stack drives
// straight from the hub PDO (the platform alone, the baseline).
#pragma once

#include "sim/hid/hid_stack.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/hub_pdo.h"
#include "sim/usb/urb_engine.h"

#include <functional>
#include <memory>
#include <vector>

namespace bench {

using sim::hid::Bytes;

// One controller with the HID stacks that read from it.
struct Path {
    std::unique_ptr<sim::usb::UsbDevice> usb;
    std::unique_ptr<sim::usb::HubPdo> hub;
    std::shared_ptr<sim::hid::HidDevice> gamepad; // the baseline: the HID stack on the hub PDO
    std::shared_ptr<sim::hid::HidDevice> vendor;  // the baseline has none
    size_t readers = 0;                           // reads the HID stacks keep outstanding, all
};

// Which of a driver controller's children keep reading.
enum class Readers { Both, Gamepad, Vendor };

class World {
  public:
    // Boots the kernel (kernel seconds per real second as given) and the PnP manager with the
    // driver; FALSE (with the reason on stderr) when the driver's INF cannot be read.
    bool Boot(double timeScale);
    // Plugs one more controller for the driver and waits until both children's HID stacks run;
    // `plugging` sees the new controller before its hub PDO reaches the PnP manager.
    bool PlugDriverController(const std::function<void(const Path&)>& plugging = nullptr);
    // Plugs the baseline controller and waits until its HID stack runs.
    bool PlugBaseline();
    // Boot, `controllers` driver controllers and the baseline, every read pending.
    bool Assemble(size_t controllers = 1, double timeScale = 100);
    // Orderly removal of every controller and the driver; FALSE when the host saw faults.
    bool Dismantle();
    // Stops one child's HID stack reading on every driver controller (its reads are answered
    // and not sent again), so that input reports reach the other child only.
    bool KeepReading(Readers readers);

    Path& Driver(size_t index = 0) {
        return *driver_[index];
    }
    size_t Controllers() const {
        return driver_.size();
    }
    Path& Baseline() {
        return baseline_;
    }

  private:
    bool Plug(Path& path, const sim::usb::DeviceIdentity& identity, ULONG port,
              const std::function<void(const Path&)>& plugging);

    std::unique_ptr<sim::pnp::PnpManager> pnp_;
    std::vector<std::unique_ptr<Path>> driver_;
    Path baseline_;
};

// Waits (spinning, real time) until every read of the path is back at the controller.
bool ReadsPending(const Path& path);
// One input report from the controller to whichever HID stack of the path holds the read it
// completes, the read resubmitted again; FALSE when it got lost.
bool InputReport(Path& path, const Bytes& report);
// One output report written by the path's gamepad (or vendor) HID stack; FALSE when it failed.
bool OutputReport(Path& path, const Bytes& report);
bool VendorOutputReport(Path& path, const Bytes& report);
// A 64-byte input report 0x01 carrying `sequence` in bytes 2 to 5 (and its low byte in byte 1),
// and a 32-byte output report 0x05.
Bytes SampleInput(unsigned sequence);
unsigned SequenceOf(const Bytes& report);
Bytes SampleOutput();

} // namespace bench
