#include "support/scenario_world.h"

#include "emulation/urb_child.h"
#include "sim/pnp/filter_driver.h"
#include "support/log_gate.h"

#include <algorithm>
#include <chrono>

namespace velt_test {
namespace {

// How long the world may take to bring the children up again, in real time.
constexpr auto EnumerationGuard = std::chrono::seconds(30);

} // namespace

void ScenarioTest::SetUp() {
    WorldOptions options = Options();
    host::Reset();
    host::SetTimeScale(100);
    host::SetOsVersion(options.os);
    InputFrameCounter = 0; // a freshly loaded image starts at 0
    sim::hid::ForgetHidDevices();
    sim::pnp::ResetFilterFailures();
    unplugAtEnd_ = options.unplugAtEnd;
    usb_ = std::make_unique<sim::usb::UsbDevice>(options.model, options.pnp.seed);
    usb_->SetCompletion(CompletionMode());
    hub_ = std::make_unique<sim::usb::HubPdo>();
    hub_->SetInternalIoctlHandler(
        [this](PDEVICE_OBJECT pdo, PIRP irp) { return usb_->HandleInternalIoctl(pdo, irp); });
    pnp_ = std::make_unique<sim::pnp::PnpManager>(options.pnp);
    ASSERT_TRUE(pnp_->LoadInf(VELT_DRIVER_INF));
    pnp_->RegisterDriver("veltdriver", DriverEntry);
    if (options.power) {
        power_ = std::make_unique<sim::power::PowerManager>(*pnp_);
    }
    ASSERT_EQ(sim::pnp::NodeState::Started, pnp_->Plug(Pdo()));
    ASSERT_TRUE(ChildrenRunning());
}

void ScenarioTest::TearDown() {
    if (power_ != nullptr) {
        EXPECT_TRUE(power_->WaitRequests());
        EXPECT_EQ(0u, power_->Outstanding()) << "every power IRP came back";
    }
    power_.reset();
    if (pnp_ != nullptr && hub_->Present()) {
        if (unplugAtEnd_) {
            Unplug();
        } else {
            // Orderly removal: the HID stacks wait for their reads, which the controller answers.
            usb_->StartInputReports(10000, [this] { return usb_->NextDefaultReport(); });
            pnp_.reset();
            usb_->StopInputReports();
        }
    }
    pnp_.reset();
    hub_.reset();
    usb_.reset();
    gamepad_.reset();
    vendor_.reset();
    sim::hid::ForgetHidDevices();
    sim::pnp::ResetFilterFailures();
    host::JoinSystemThreads();
    EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
    EXPECT_EQ(0u, host::PoolBytesOutstanding());
    EXPECT_EQ(0u, host::LiveSystemThreads());
}

::testing::AssertionResult ScenarioTest::ChildrenRunning() {
    auto running = [this] {
        std::optional<sim::pnp::DeviceNode> node = pnp_->Node(Pdo());
        if (!node.has_value() || node->state != sim::pnp::NodeState::Started) {
            return false;
        }
        std::vector<sim::pnp::DeviceNode> children = pnp_->Children(Pdo());
        return children.size() == 2 &&
               std::all_of(children.begin(), children.end(), [](const sim::pnp::DeviceNode& c) {
                   return c.state == sim::pnp::NodeState::Started;
               });
    };
    if (!pnp_->WaitUntil(running,
                         std::chrono::duration_cast<std::chrono::milliseconds>(EnumerationGuard))) {
        return ::testing::AssertionFailure() << "the children did not come up:\n"
                                             << pnp_->Describe();
    }
    pnp_->WaitIdle();
    gamepad_.reset();
    vendor_.reset();
    for (const sim::pnp::DeviceNode& child : pnp_->Children(Pdo())) {
        bool gamepad = ExtensionOf(child.pdo)->DeviceKind == DEVICE_KIND_GAMEPAD;
        (gamepad ? gamepad_ : vendor_) = sim::hid::HidDeviceOn(child.pdo);
    }
    for (const auto& child : {gamepad_, vendor_}) {
        if (child == nullptr) {
            return ::testing::AssertionFailure() << "a child has no HID stack";
        }
        if (child->State() != sim::hid::HidState::Running) {
            return ::testing::AssertionFailure()
                   << "HID stack " << sim::hid::HidStateName(child->State()) << ": "
                   << child->FailureReason();
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult ScenarioTest::StreamToBoth(unsigned each) {
    // Reports the controller sent while nobody read are delivered first; they are not counted.
    if (!Eventually([this] { return AllReadsPending() && usb_->QueuedInputReports() == 0; })) {
        return ::testing::AssertionFailure()
               << "reads pending at the controller: " << usb_->PendingReads();
    }
    for (const auto& child : {gamepad_, vendor_}) {
        while (child->ReadInput(0).has_value()) {
        }
    }
    std::vector<uint8_t> counters;
    unsigned vendorReports = 0;
    for (unsigned sent = 0; counters.size() < each || vendorReports < each; ++sent) {
        if (sent == 64 * each) {
            return ::testing::AssertionFailure() << "one child starved: gamepad " << counters.size()
                                                 << ", vendor " << vendorReports;
        }
        if (!Eventually([this] { return AllReadsPending(); })) {
            return ::testing::AssertionFailure()
                   << "reads pending at the controller: " << usb_->PendingReads();
        }
        sim::hid::Bytes report(64);
        report[0] = 0x01;
        report[1] = ++sent_;
        usb_->SendInputReport(report);
        if (!Eventually([this] {
                return gamepad_->QueuedInputReports() + vendor_->QueuedInputReports() == 1;
            })) {
            return ::testing::AssertionFailure() << "report " << unsigned{sent_} << " was lost";
        }
        bool toGamepad = gamepad_->QueuedInputReports() == 1;
        std::optional<sim::hid::Bytes> got = (toGamepad ? gamepad_ : vendor_)->ReadInput();
        if (!got.has_value() || got->size() != 64 || (*got)[1] != report[1]) {
            return ::testing::AssertionFailure() << "report " << unsigned{sent_} << " changed";
        }
        if (toGamepad) {
            counters.push_back((*got)[7]);
            continue;
        }
        if ((*got)[7] != 0) {
            return ::testing::AssertionFailure() << "the vendor child's byte 7 changed";
        }
        ++vendorReports;
    }
    for (const auto& child : {gamepad_, vendor_}) {
        if (child->Counters().phantomReports != 0) {
            return ::testing::AssertionFailure()
                   << child->Counters().phantomReports << " reports no controller sent";
        }
    }
    for (size_t i = 1; i < counters.size(); ++i) {
        if (counters[i] != (counters[i - 1] + 4) % 252) {
            return ::testing::AssertionFailure()
                   << "frame counter went from " << unsigned{counters[i - 1]} << " to "
                   << unsigned{counters[i]};
        }
    }
    return ::testing::AssertionSuccess();
}

std::string CompletionTestName(const ::testing::TestParamInfo<sim::usb::Completion>& info) {
    return sim::usb::CompletionName(info.param);
}

void ScenarioTest::Unplug() {
    usb_->Unplug();
    hub_->Unplug();
    // Not ordered against the failed transfers' completions, which may still be in flight when
    // the PnP manager hears of the departure.
    pnp_->Unplug(Pdo());
}

} // namespace velt_test
