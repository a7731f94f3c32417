// The whole world for scenario tests: a freshly booted host, the PnP manager that loads the driver
// for the default controller on its hub port, both children enumerated and read by the system's
// HID stack, and the power manager over the tree. The test ends by taking the world down (in
// order, or by unplugging) and finds no verifier violation, no pool, no thread and no power IRP
// left behind.
#pragma once

#include "core/driver.h"
#include "sim/hid/hid_stack.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/power/power_manager.h"
#include "sim/usb/hub_pdo.h"
#include "sim/usb/urb_engine.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>

namespace velt_test {

struct WorldOptions {
    sim::usb::ControllerModel model = sim::usb::DefaultController();
    sim::pnp::Options pnp;    // its seed is the world's: it also picks the USB stack's delays
    bool power = true;        // a power manager over the tree
    bool unplugAtEnd = false; // the world ends by unplugging the controller, not by removal
    host::OsVersion os = host::Windows10; // what the driver and the USB stack run on
};

class ScenarioTest : public ::testing::Test {
  protected:
    // Boots the world with Options() and CompletionMode(); a fatal failure here skips the test.
    void SetUp() override;
    void TearDown() override;
    virtual WorldOptions Options() const {
        return {};
    }
    // How the USB stack completes what the controller answers at once.
    virtual sim::usb::Completion CompletionMode() const {
        return sim::usb::Completion::BusThread;
    }

    PDEVICE_OBJECT Pdo() const {
        return hub_->Device();
    }
    // The driver's FDO: right above the hub's PDO, whatever filters sit above it.
    PDEVICE_OBJECT Fdo() const {
        return Pdo()->AttachedDevice;
    }
    PDEVICE_EXTENSION FdoExtension() const {
        return ExtensionOf(Fdo());
    }
    // Both children's HID stacks have their two reads waiting at the controller.
    bool AllReadsPending() const {
        return usb_->PendingReads() == 4;
    }

    // Waits until the controller's node is started with both children's HID stacks running, and
    // takes those HID devices into gamepad_ and vendor_.
    ::testing::AssertionResult ChildrenRunning();
    // Sends input reports one at a time until each child has received `each` of them: every
    // report reaches exactly one child unchanged, but for the gamepad child's frame counter in
    // byte 7, which goes up by 4 from one of its reports to the next, and no child has received a
    // report that no controller sent.
    ::testing::AssertionResult StreamToBoth(unsigned each = 2);
    // The controller leaves the bus and the PnP manager hears of it, while the transfers the bus
    // failed may still be completing.
    void Unplug();

    std::unique_ptr<sim::usb::UsbDevice> usb_;
    std::unique_ptr<sim::usb::HubPdo> hub_;
    std::unique_ptr<sim::pnp::PnpManager> pnp_;
    std::unique_ptr<sim::power::PowerManager> power_;
    std::shared_ptr<sim::hid::HidDevice> gamepad_;
    std::shared_ptr<sim::hid::HidDevice> vendor_;

  private:
    bool unplugAtEnd_ = false;
    uint8_t sent_ = 0;
};

// A scenario suite whose tests run in both completion modes:
// INSTANTIATE_TEST_SUITE_P(Completion, Fixture, BothCompletions(), CompletionTestName).
template <class World>
class InBothCompletions : public World, public ::testing::WithParamInterface<sim::usb::Completion> {
  protected:
    sim::usb::Completion CompletionMode() const override {
        return this->GetParam();
    }
};
using EachCompletion = InBothCompletions<ScenarioTest>;

// The asynchronous default first, then the synchronous variant.
inline auto BothCompletions() {
    return ::testing::Values(sim::usb::Completion::BusThread, sim::usb::Completion::CallerThread);
}
std::string CompletionTestName(const ::testing::TestParamInfo<sim::usb::Completion>& info);

} // namespace velt_test

namespace sim::usb {
// Names the mode in a test's parameter.
inline void PrintTo(Completion mode, std::ostream* out) {
    *out << CompletionName(mode);
}
} // namespace sim::usb
