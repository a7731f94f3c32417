// The whole world through many sleep and resume cycles: the default controller with both
// children enumerated by the HID stack, input streaming to both children before and after each
// cycle, and the power manager taking the tree to S3 and back.
#include "support/scenario_world.h"

namespace {

using sim::power::PowerManager;

constexpr unsigned Cycles = 50;

class PowerScenario : public velt_test::EachCompletion {};

TEST_P(PowerScenario, InputKeepsFlowingThroughFiftySleepCycles) {
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

INSTANTIATE_TEST_SUITE_P(Completion, PowerScenario, velt_test::BothCompletions(),
                         velt_test::CompletionTestName);

} // namespace
