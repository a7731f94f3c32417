// The world's USB stack fails requests as the USB stack of each Windows generation does, and the
// children pass on what says that the device is going away.
#include "core/driver.h"
#include "sim/usb/failure_statuses.h"
#include "support/log_gate.h"
#include "support/scenario_world.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <tuple>

namespace {

using sim::usb::FailureStatus;
using sim::usb::UsbFailure;
using sim::usb::UsbStack;

struct Generation {
    const char* name;
    host::OsVersion os;
    UsbStack stack;
};

const Generation Generations[] = {
    {"WindowsXp", host::WindowsXp, UsbStack::Usb20},
    {"Windows7", host::Windows7, UsbStack::Usb20},
    {"Windows8", host::Windows8, UsbStack::Usb30},
    {"Windows10", host::Windows10, UsbStack::Usb30},
};

void PrintTo(const Generation& generation, std::ostream* out) {
    *out << generation.name;
}

class UsbStackRules
    : public velt_test::ScenarioTest,
      public ::testing::WithParamInterface<std::tuple<Generation, sim::usb::Completion>> {
  protected:
    const Generation& Param() const {
        return std::get<0>(GetParam());
    }
    sim::usb::Completion CompletionMode() const override {
        return std::get<1>(GetParam());
    }
    velt_test::WorldOptions Options() const override {
        velt_test::WorldOptions options;
        options.os = Param().os;
        options.power = false;
        options.unplugAtEnd = true;
        return options;
    }
};

// The reads pending at an unplug fail with the stack's going-away status, and that status is
// what the HID stacks see: no read comes back as a fake report.
TEST_P(UsbStackRules, UnplugReachesTheHidStacksAsTheStacksStatusWithoutFakeReports) {
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    NTSTATUS gone = FailureStatus(UsbFailure::PendingAtUnplug, Param().stack).status;
    usb_->Unplug();
    hub_->Unplug();
    for (const auto& child : {gamepad_, vendor_}) {
        EXPECT_TRUE(Eventually([&] { return child->LastRead().status == gone; }))
            << std::hex << "last read 0x" << child->LastRead().status;
        EXPECT_EQ(0u, child->Counters().reportsDropped);
        EXPECT_EQ(0u, child->Counters().reportsReceived);
    }
    pnp_->Unplug(Pdo());
}

// A rebalance leaves the controller unconfigured: the driver selects its configuration again,
// and both children stream as before.
TEST_P(UsbStackRules, RebalanceStopAndStartKeepBothChildrenStreaming) {
    ASSERT_TRUE(StreamToBoth());
    ASSERT_TRUE(pnp_->Restart(Pdo()));
    EXPECT_EQ(sim::pnp::NodeState::Started, pnp_->Node(Pdo())->state);
    EXPECT_TRUE(StreamToBoth());
    ASSERT_TRUE(pnp_->Restart(Pdo()));
    EXPECT_TRUE(StreamToBoth());
}

INSTANTIATE_TEST_SUITE_P(
    EachGeneration, UsbStackRules,
    ::testing::Combine(::testing::ValuesIn(Generations), velt_test::BothCompletions()),
    [](const ::testing::TestParamInfo<std::tuple<Generation, sim::usb::Completion>>& info) {
        return std::string(std::get<0>(info.param).name) + "_" +
               sim::usb::CompletionName(std::get<1>(info.param));
    });

} // namespace
