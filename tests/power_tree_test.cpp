// System sleep and resume over the whole device tree: the controller's stack (hub PDO, FDO) and
// the two children's stacks, driven by the world's power manager.
#include "support/scenario_world.h"

namespace {

using sim::power::PowerManager;
using sim::power::SentIrp;

// The world ends by unplugging the controller.
class PowerTreeTest : public velt_test::EachCompletion {
  protected:
    velt_test::WorldOptions Options() const override {
        velt_test::WorldOptions options;
        options.unplugAtEnd = true;
        return options;
    }
    void SetUp() override {
        velt_test::EachCompletion::SetUp();
        for (const sim::pnp::DeviceNode& child : pnp_->Children(Pdo())) {
            children_.push_back(child.pdo);
        }
    }

    DEVICE_POWER_STATE FdoState() const {
        return ExtensionOf(Fdo())->DevicePowerState;
    }

    // The system IRPs sent since the given index, as (device, minor, state) in order.
    std::vector<SentIrp> SystemIrpsSince(size_t from) const {
        std::vector<SentIrp> sent = power_->Sent();
        std::vector<SentIrp> system;
        for (size_t i = from; i < sent.size(); ++i) {
            if (!sent[i].requested) {
                system.push_back(sent[i]);
            }
        }
        return system;
    }

    std::vector<PDEVICE_OBJECT> children_;
};

// Children hear of a sleep before their parent and of the resume after it; the controller's
// stack goes to the state its capabilities map and back to D0, and both the FDO and the bus
// tell the power manager so.
TEST_P(PowerTreeTest, SleepStatesAndResumeInTreeOrder) {
    ASSERT_EQ(2u, children_.size());
    ASSERT_EQ(STATUS_SUCCESS, power_->Resume()) << "the first S0 after start";
    ASSERT_EQ(PowerDeviceD0, FdoState());
    for (SYSTEM_POWER_STATE state : {PowerSystemSleeping3, PowerSystemHibernate}) {
        SCOPED_TRACE(static_cast<int>(state));
        size_t from = power_->Sent().size();
        size_t requests = power_->Requests();

        ASSERT_EQ(STATUS_SUCCESS, power_->Sleep(state));
        EXPECT_EQ(state, power_->SystemState());
        EXPECT_EQ(PowerDeviceD3, FdoState());
        EXPECT_EQ(PowerDeviceD3, PowerManager::DeviceState(Fdo()));
        EXPECT_EQ(PowerDeviceD3, PowerManager::DeviceState(Pdo()));

        std::vector<SentIrp> down = SystemIrpsSince(from);
        ASSERT_EQ(6u, down.size());
        for (size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(i < 3 ? IRP_MN_QUERY_POWER : IRP_MN_SET_POWER, down[i].minor);
            EXPECT_EQ(state, down[i].state.SystemState);
            EXPECT_EQ(STATUS_SUCCESS, down[i].status);
        }
        EXPECT_EQ(Pdo(), down[2].device) << "the parent is asked last";
        EXPECT_EQ(Pdo(), down[5].device) << "the parent is set last";

        from = power_->Sent().size();
        ASSERT_EQ(STATUS_SUCCESS, power_->Resume());
        std::vector<SentIrp> up = SystemIrpsSince(from);
        ASSERT_EQ(3u, up.size());
        EXPECT_EQ(Pdo(), up[0].device) << "the parent wakes first";
        EXPECT_EQ(PowerDeviceD0, FdoState());
        EXPECT_EQ(PowerDeviceD0, PowerManager::DeviceState(Pdo()));
        EXPECT_EQ(requests + 2, power_->Requests()) << "one device request each way";
    }
    EXPECT_EQ((std::vector<DEVICE_POWER_STATE>{PowerDeviceD0, PowerDeviceD3, PowerDeviceD0,
                                               PowerDeviceD3, PowerDeviceD0}),
              PowerManager::DeviceStates(Fdo()));
}

// A controller that does not come back to D0 keeps the FDO's state; the next resume asks again.
TEST_P(PowerTreeTest, FailedPowerUpIsRetriedOnTheNextResume) {
    ASSERT_EQ(STATUS_SUCCESS, power_->Resume());
    ASSERT_EQ(STATUS_SUCCESS, power_->Sleep(PowerSystemSleeping3));
    hub_->FailPowerUp(STATUS_UNSUCCESSFUL);

    EXPECT_EQ(STATUS_SUCCESS, power_->Resume()) << "the system resumes without the device";
    EXPECT_EQ(PowerDeviceD3, FdoState());
    EXPECT_EQ(PowerDeviceD3, PowerManager::DeviceState(Fdo()));

    hub_->FailPowerUp(STATUS_SUCCESS);
    ASSERT_EQ(STATUS_SUCCESS, power_->Resume());
    EXPECT_EQ(PowerDeviceD0, FdoState());
    EXPECT_EQ(PowerDeviceD0, PowerManager::DeviceState(Pdo()));
}

// Many cycles through S3 and S4 and back: every power IRP the manager sent came back with
// success, the controller's stack alternates between D3 and D0 and ends in D0, nothing is left.
TEST_P(PowerTreeTest, FiftySleepCyclesLoseNoPowerIrp) {
    constexpr unsigned Cycles = 50;
    ASSERT_EQ(STATUS_SUCCESS, power_->Resume());
    for (unsigned cycle = 0; cycle < Cycles; ++cycle) {
        SCOPED_TRACE(cycle);
        SYSTEM_POWER_STATE state = cycle % 5 == 4 ? PowerSystemHibernate : PowerSystemSleeping3;
        ASSERT_EQ(STATUS_SUCCESS, power_->Sleep(state));
        ASSERT_EQ(PowerDeviceD3, FdoState());
        ASSERT_EQ(STATUS_SUCCESS, power_->Resume());
        ASSERT_EQ(PowerDeviceD0, FdoState());
    }
    EXPECT_EQ(1u + 2 * Cycles, power_->Requests());
    for (const SentIrp& irp : power_->Sent()) {
        EXPECT_TRUE(irp.returned);
        EXPECT_EQ(STATUS_SUCCESS, irp.status);
    }
    std::vector<DEVICE_POWER_STATE> states = PowerManager::DeviceStates(Fdo());
    ASSERT_EQ(1u + 2 * Cycles, states.size());
    for (size_t i = 0; i < states.size(); ++i) {
        EXPECT_EQ(i % 2 == 0 ? PowerDeviceD0 : PowerDeviceD3, states[i]) << i;
    }
    EXPECT_EQ(states, PowerManager::DeviceStates(Pdo())) << "the bus went the same way";
}

INSTANTIATE_TEST_SUITE_P(Completion, PowerTreeTest, velt_test::BothCompletions(),
                         velt_test::CompletionTestName);

} // namespace
