// The whole world through many sleep and resume cycles: the default controller with both
// children enumerated by the HID stack, input streaming to both children before and after each
// cycle, and the power manager taking the tree to S3 and back.
#include "core/driver.h"
#include "sim/hid/hid_stack.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/power/power_manager.h"
#include "sim/usb/hub_pdo.h"
#include "sim/usb/urb_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

namespace {

using sim::hid::Bytes;
using sim::hid::HidDevice;
using sim::hid::HidState;
using sim::power::PowerManager;

constexpr unsigned Cycles = 50;
// Reports sent in one streaming burst at most; a report completes whichever child's read the
// bus serves, so a burst goes on until both children had theirs.
constexpr unsigned MaxReportsPerBurst = 64;

bool Eventually(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

class PowerScenario : public ::testing::Test {
  protected:
    void SetUp() override {
        host::Reset();
        host::SetTimeScale(100);
        sim::hid::ForgetHidDevices();
        usb_ = std::make_unique<sim::usb::UsbDevice>(sim::usb::DefaultController());
        hub_ = std::make_unique<sim::usb::HubPdo>();
        hub_->SetInternalIoctlHandler(
            [this](PDEVICE_OBJECT pdo, PIRP irp) { return usb_->HandleInternalIoctl(pdo, irp); });
        pnp_ = std::make_unique<sim::pnp::PnpManager>();
        ASSERT_TRUE(pnp_->LoadInf(VELT_DRIVER_INF));
        pnp_->RegisterDriver("veltdriver", DriverEntry);
        power_ = std::make_unique<PowerManager>(*pnp_);
        ASSERT_EQ(sim::pnp::NodeState::Started, pnp_->Plug(Pdo()));
        ASSERT_TRUE(pnp_->WaitUntil([this] { return pnp_->Children(Pdo()).size() == 2; }));
        pnp_->WaitIdle();
        for (const sim::pnp::DeviceNode& child : pnp_->Children(Pdo())) {
            bool gamepad = ExtensionOf(child.pdo)->DeviceKind == DEVICE_KIND_GAMEPAD;
            (gamepad ? gamepad_ : vendor_) = sim::hid::HidDeviceOn(child.pdo);
        }
        ASSERT_NE(nullptr, gamepad_);
        ASSERT_NE(nullptr, vendor_);
        ASSERT_EQ(HidState::Running, gamepad_->State()) << gamepad_->FailureReason();
        ASSERT_EQ(HidState::Running, vendor_->State()) << vendor_->FailureReason();
    }

    void TearDown() override {
        if (power_ != nullptr) {
            EXPECT_EQ(0u, power_->Outstanding()) << "every power IRP came back";
        }
        power_.reset();
        if (pnp_ != nullptr) {
            // Orderly removal: the HID stacks wait for their reads, which the controller answers.
            usb_->StartInputReports(10000, [this] { return usb_->NextDefaultReport(); });
            pnp_.reset();
            usb_->StopInputReports();
        }
        hub_.reset();
        usb_.reset();
        gamepad_.reset();
        vendor_.reset();
        sim::hid::ForgetHidDevices();
        host::JoinSystemThreads();
        EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
        EXPECT_EQ(0u, host::PoolBytesOutstanding());
        EXPECT_EQ(0u, host::LiveSystemThreads());
    }

    PDEVICE_OBJECT Pdo() const {
        return hub_->Device();
    }
    PDEVICE_EXTENSION FdoExtension() const {
        return ExtensionOf(Pdo()->AttachedDevice);
    }

    // Sends reports one at a time until each child has received at least one; every report
    // sent reaches exactly one child. FALSE when the input stopped flowing.
    bool StreamToBoth() {
        uint64_t gamepadBefore = gamepad_->Counters().reportsReceived;
        uint64_t vendorBefore = vendor_->Counters().reportsReceived;
        for (unsigned sent = 0; sent < MaxReportsPerBurst; ++sent) {
            if (!Eventually([this] { return usb_->PendingReads() == 4; })) {
                return false;
            }
            usb_->SendInputReport(usb_->NextDefaultReport());
            if (!Eventually([&] {
                    return gamepad_->QueuedInputReports() + vendor_->QueuedInputReports() == 1;
                })) {
                return false;
            }
            (gamepad_->QueuedInputReports() == 1 ? gamepad_ : vendor_)->ReadInput();
            if (gamepad_->Counters().reportsReceived > gamepadBefore &&
                vendor_->Counters().reportsReceived > vendorBefore) {
                return true;
            }
        }
        return false;
    }

    std::unique_ptr<sim::usb::UsbDevice> usb_;
    std::unique_ptr<sim::usb::HubPdo> hub_;
    std::unique_ptr<sim::pnp::PnpManager> pnp_;
    std::unique_ptr<PowerManager> power_;
    std::shared_ptr<HidDevice> gamepad_;
    std::shared_ptr<HidDevice> vendor_;
};

TEST_F(PowerScenario, InputKeepsFlowingThroughFiftySleepCycles) {
    ASSERT_EQ(STATUS_SUCCESS, power_->Resume()) << "the first S0 after start";
    ASSERT_EQ(PowerDeviceD0, FdoExtension()->DevicePowerState);
    for (unsigned cycle = 0; cycle < Cycles; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_TRUE(StreamToBoth()) << "before sleep";
        ASSERT_EQ(STATUS_SUCCESS, power_->Sleep(PowerSystemSleeping3));
        ASSERT_EQ(PowerDeviceD3, FdoExtension()->DevicePowerState);
        ASSERT_EQ(STATUS_SUCCESS, power_->Resume());
        ASSERT_EQ(PowerDeviceD0, FdoExtension()->DevicePowerState);
        ASSERT_TRUE(StreamToBoth()) << "after resume";
    }
    EXPECT_EQ(1u + 2 * Cycles, power_->Requests()) << "one device request each way";
    for (const sim::power::SentIrp& irp : power_->Sent()) {
        EXPECT_TRUE(irp.returned);
        EXPECT_EQ(STATUS_SUCCESS, irp.status);
    }
    std::vector<DEVICE_POWER_STATE> states = PowerManager::DeviceStates(Pdo()->AttachedDevice);
    ASSERT_EQ(1u + 2 * Cycles, states.size());
    for (size_t i = 0; i < states.size(); ++i) {
        EXPECT_EQ(i % 2 == 0 ? PowerDeviceD0 : PowerDeviceD3, states[i]) << i;
    }
    EXPECT_EQ(0u, gamepad_->Counters().readErrors);
    EXPECT_EQ(0u, vendor_->Counters().readErrors);
}

} // namespace
