// Controllers that stop answering: a default pipe that NAKs every request, an interrupt IN
// endpoint that never brings the address answer. The certification scenarios' PnP and power
// sequences still end, and leave nothing behind.
#include "core/driver.h"
#include "emulation/urb_child.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/power/power_manager.h"
#include "sim/usb/hub_pdo.h"
#include "sim/usb/urb_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace {

using sim::pnp::NodeState;

struct Sequence {
    const char* name;
    sim::usb::ControllerModel (*model)();
    // The PnP and power requests, ending with the controller removed.
    void (*run)(sim::pnp::PnpManager& pnp, sim::power::PowerManager& power, PDEVICE_OBJECT pdo);
};

void PrintTo(const Sequence& sequence, std::ostream* out) {
    *out << sequence.name;
}

void OrderlyRemoval(sim::pnp::PnpManager& pnp, sim::power::PowerManager&, PDEVICE_OBJECT pdo) {
    EXPECT_TRUE(pnp.Remove(pdo));
}

void SurpriseRemoval(sim::pnp::PnpManager& pnp, sim::power::PowerManager&, PDEVICE_OBJECT pdo) {
    pnp.SurpriseRemove(pdo);
}

void DisableAndEnable(sim::pnp::PnpManager& pnp, sim::power::PowerManager&, PDEVICE_OBJECT pdo) {
    EXPECT_TRUE(pnp.Disable(pdo));
    EXPECT_EQ(NodeState::Started, pnp.Enable(pdo));
    EXPECT_TRUE(pnp.Remove(pdo));
}

void SleepAndRemoval(sim::pnp::PnpManager& pnp, sim::power::PowerManager& power,
                     PDEVICE_OBJECT pdo) {
    EXPECT_EQ(STATUS_SUCCESS, power.Sleep(PowerSystemSleeping3));
    EXPECT_EQ(STATUS_SUCCESS, power.Resume());
    EXPECT_TRUE(pnp.Remove(pdo));
}

void RebalanceAndRemoval(sim::pnp::PnpManager& pnp, sim::power::PowerManager&, PDEVICE_OBJECT pdo) {
    EXPECT_TRUE(pnp.Restart(pdo));
    EXPECT_TRUE(pnp.Remove(pdo));
}

const Sequence Sequences[] = {
    {"SilentControlOrderlyRemoval", sim::usb::ControllerWithSilentControlPipe, OrderlyRemoval},
    {"SilentControlSurpriseRemoval", sim::usb::ControllerWithSilentControlPipe, SurpriseRemoval},
    {"SilentControlDisableEnable", sim::usb::ControllerWithSilentControlPipe, DisableAndEnable},
    {"SilentControlSleep", sim::usb::ControllerWithSilentControlPipe, SleepAndRemoval},
    {"SilentControlRebalance", sim::usb::ControllerWithSilentControlPipe, RebalanceAndRemoval},
    {"NoAddressOrderlyRemoval", sim::usb::ControllerNeverAnswering, OrderlyRemoval},
    {"NoAddressSurpriseRemoval", sim::usb::ControllerNeverAnswering, SurpriseRemoval},
    {"NoAddressSleep", sim::usb::ControllerNeverAnswering, SleepAndRemoval},
};

class SilentDevice : public ::testing::TestWithParam<Sequence> {};

TEST_P(SilentDevice, EveryPnpAndPowerSequenceEnds) {
    host::Reset();
    host::SetTimeScale(100);
    InputFrameCounter = 0;
    auto usb = std::make_unique<sim::usb::UsbDevice>(GetParam().model());
    auto hub = std::make_unique<sim::usb::HubPdo>();
    hub->SetInternalIoctlHandler(
        [&usb](PDEVICE_OBJECT pdo, PIRP irp) { return usb->HandleInternalIoctl(pdo, irp); });
    auto pnp = std::make_unique<sim::pnp::PnpManager>();
    ASSERT_TRUE(pnp->LoadInf(VELT_DRIVER_INF));
    pnp->RegisterDriver("veltdriver", DriverEntry);
    auto power = std::make_unique<sim::power::PowerManager>(*pnp);
    ASSERT_EQ(NodeState::Started, pnp->Plug(hub->Device()));
    // Let the driver's start-up meet the silent device.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    std::packaged_task<void()> task([&] { GetParam().run(*pnp, *power, hub->Device()); });
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    // Real time: every bound of the driver is a few kernel seconds, tens of milliseconds here.
    if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        std::fprintf(stderr, "%s: the sequence hung on the silent device\n", GetParam().name);
        std::fflush(stderr);
        std::_Exit(1);
    }
    runner.join();
    usb->Unplug();
    hub->Unplug();
    pnp->Unplug(hub->Device());
    EXPECT_TRUE(power->WaitRequests());
    power.reset();
    pnp.reset();
    hub.reset();
    usb.reset();
    host::JoinSystemThreads();
    EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
    EXPECT_EQ(0u, host::PoolBytesOutstanding());
    EXPECT_EQ(0u, host::LiveSystemThreads());
}

// A configuration selection that the NAKing device holds has no transfer buffer: when the
// unplug fails it, only its header's status changes.
TEST(SilentDeviceUrbs, AFailedSelectionKeepsItsFields) {
    host::Reset();
    auto usb = std::make_unique<sim::usb::UsbDevice>(sim::usb::ControllerWithSilentControlPipe());
    auto hub = std::make_unique<sim::usb::HubPdo>();
    hub->SetInternalIoctlHandler(
        [&usb](PDEVICE_OBJECT pdo, PIRP irp) { return usb->HandleInternalIoctl(pdo, irp); });
    host::SendIrp(hub->Device(), STATUS_NOT_SUPPORTED, [](PIRP, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = IRP_MN_START_DEVICE;
    });
    static UCHAR configuration[9] = {0x09, 0x02, 0x09, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32};
    URB urb;
    memset(&urb, 0xA5, sizeof(urb));
    urb.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb.UrbSelectConfiguration.ConfigurationDescriptor =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration);
    const URB before = urb;
    host::IrpResult result{};
    std::thread sender([&] {
        result =
            host::SendIrp(hub->Device(), STATUS_NOT_SUPPORTED, [&](PIRP, PIO_STACK_LOCATION stack) {
                stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
                stack->Parameters.Others.Argument1 = &urb;
            });
    });
    while (usb->PendingReads() == 0) {
        std::this_thread::yield();
    }
    usb->Unplug();
    sender.join();
    EXPECT_FALSE(NT_SUCCESS(result.status));
    const size_t header = sizeof(struct _URB_HEADER);
    EXPECT_EQ(0, memcmp(reinterpret_cast<const UCHAR*>(&before) + header,
                        reinterpret_cast<const UCHAR*>(&urb) + header,
                        sizeof(struct _URB_SELECT_CONFIGURATION) - header));
    hub.reset();
    usb.reset();
    EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
}

INSTANTIATE_TEST_SUITE_P(Models, SilentDevice, ::testing::ValuesIn(Sequences),
                         [](const ::testing::TestParamInfo<Sequence>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
