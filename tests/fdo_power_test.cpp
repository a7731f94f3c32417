// The FDO's power policy over a lower stack of the tests, with the world's power manager
// serving PoRequestPowerIrp: system requests turned into device requests, the device state the
// FDO records, the failures that reach the system request, and requests during removal.
#include "core/driver.h"
#include "sim/power/power_manager.h"
#include "support/host_fixture.h"
#include "support/log_gate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

using sim::power::PowerManager;

// %p as the debug log writes it: all digits, upper case, no prefix.
std::string Pointer(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
    return text;
}

// How the stack below the FDO answers power requests.
struct LowerPolicy {
    bool async = false; // complete from another thread at DISPATCH_LEVEL
    NTSTATUS systemStatus = STATUS_SUCCESS;
    NTSTATUS powerUpStatus = STATUS_SUCCESS;
    bool holdNext = false; // keep the next power request until the test releases it
};

// What reached the stack below the FDO.
struct LowerSeen {
    PIRP irp;
    UCHAR minor;
    POWER_STATE_TYPE type;
    POWER_STATE state;
};

class FdoPowerTest : public velt::test::DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        bus_ = std::make_unique<velt::test::TestDriver>(u"testbus");
        lower_ = bus_->CreateDevice(
            [this](PDEVICE_OBJECT device, PIRP irp) { return Lower(device, irp); });
        lower_->Flags |= DO_POWER_PAGABLE;
        ASSERT_EQ(STATUS_SUCCESS, host::CallAddDevice(driver_, lower_));
        fdo_ = lower_->AttachedDevice;
        ASSERT_NE(nullptr, fdo_);
        // What a USB hub maps for a device that cannot wake the system.
        DEVICE_CAPABILITIES& caps = Extension()->DeviceCapabilities;
        caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) {
            caps.DeviceState[s] = PowerDeviceD3;
        }
        power_ = std::make_unique<PowerManager>();
        host::ClearLog();
    }

    void TearDown() override {
        // A completer may still be inside the power manager, asking for a device request.
        JoinCompleters();
        power_.reset();
        if (fdo_ != nullptr) {
            DestroyFdo(fdo_);
        }
        bus_.reset();
        EXPECT_TRUE(host::PoolOutstanding().empty());
        DriverTest::TearDown();
    }

    PDEVICE_EXTENSION Extension() const {
        return ExtensionOf(fdo_);
    }

    NTSTATUS Send(UCHAR minor, SYSTEM_POWER_STATE state) {
        return power_->SendSystemIrp(lower_, minor, state);
    }

    // A device power request sent to the FDO from outside, as the power manager sends one.
    host::IrpResult SendDevice(UCHAR minor, DEVICE_POWER_STATE state) {
        host::IrqlScope passive(PASSIVE_LEVEL);
        return host::SendIrp(fdo_, STATUS_NOT_SUPPORTED, [&](PIRP, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = IRP_MJ_POWER;
            stack->MinorFunction = minor;
            stack->Parameters.Power.Type = DevicePowerState;
            stack->Parameters.Power.State.DeviceState = state;
        });
    }

    // Takes the device to D0 through the first S0 after start, then forgets what it logged.
    void StartInD0() {
        ASSERT_EQ(STATUS_SUCCESS, Send(IRP_MN_SET_POWER, PowerSystemWorking));
        ASSERT_TRUE(power_->WaitRequests());
        ASSERT_EQ(PowerDeviceD0, Extension()->DevicePowerState);
        host::ClearLog();
        seen_.clear();
    }

    std::vector<LowerSeen> Seen() {
        std::lock_guard<std::mutex> guard(lock_);
        return seen_;
    }

    size_t DeviceRequestsSeen() {
        std::vector<LowerSeen> seen = Seen();
        return static_cast<size_t>(std::count_if(seen.begin(), seen.end(), [](const LowerSeen& s) {
            return s.type == DevicePowerState;
        }));
    }

    std::vector<DEVICE_POWER_STATE> FdoStates() const {
        return PowerManager::DeviceStates(fdo_);
    }

    // A line written after PoRequestPowerIrp returns may come after the system IRP completed on
    // the power manager's thread: it is waited for a while.
    bool HasLine(const std::string& line) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            std::vector<std::string> lines = host::LogTexts();
            if (std::find(lines.begin(), lines.end(), line) != lines.end()) {
                return true;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    PIRP Held() {
        std::lock_guard<std::mutex> guard(lock_);
        return held_;
    }

    // Completes the held request as the lower stack would.
    void ReleaseHeld(NTSTATUS status) {
        PIRP irp;
        {
            std::lock_guard<std::mutex> guard(lock_);
            irp = held_;
            held_ = nullptr;
        }
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }

    LowerPolicy policy_;
    std::unique_ptr<velt::test::TestDriver> bus_;
    PDEVICE_OBJECT lower_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    std::unique_ptr<PowerManager> power_;

  private:
    // The bottom of the stack: power as a bus driver's PDO answers it, PnP succeeds.
    NTSTATUS Lower(PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_POWER) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
        PoStartNextPowerIrp(irp);
        NTSTATUS status = STATUS_SUCCESS;
        bool async;
        {
            std::lock_guard<std::mutex> guard(lock_);
            seen_.push_back({irp, stack->MinorFunction, stack->Parameters.Power.Type,
                             stack->Parameters.Power.State});
            if (policy_.holdNext) {
                policy_.holdNext = false;
                held_ = irp;
                IoMarkIrpPending(irp);
                return STATUS_PENDING;
            }
            async = policy_.async;
            if (stack->Parameters.Power.Type == SystemPowerState) {
                status = policy_.systemStatus;
            } else if (stack->MinorFunction == IRP_MN_SET_POWER) {
                if (stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
                    status = policy_.powerUpStatus;
                }
                if (NT_SUCCESS(status)) {
                    PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
                }
            }
        }
        irp->IoStatus.Status = status;
        if (!async) {
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> guard(lock_);
        completers_.emplace_back([irp] {
            host::IrqlScope dispatch(DISPATCH_LEVEL);
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    }

    void JoinCompleters() {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> guard(lock_);
            threads.swap(completers_);
        }
        for (std::thread& t : threads) {
            t.join();
        }
    }

    std::mutex lock_;
    std::vector<LowerSeen> seen_;
    std::vector<std::thread> completers_;
    PIRP held_ = nullptr;
};

// Runs every case with the lower stack completing on the caller's thread and from another
// thread at DISPATCH_LEVEL.
class FdoPowerBothWays : public FdoPowerTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        FdoPowerTest::SetUp();
        policy_.async = GetParam();
    }
};

INSTANTIATE_TEST_SUITE_P(Completion, FdoPowerBothWays, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("AtDispatch") : std::string("Inline");
                         });

TEST_P(FdoPowerBothWays, FirstS0AfterStartRequestsD0AndRecordsItOnceTheStackIsUp) {
    ASSERT_EQ(PowerDeviceUnspecified, Extension()->DevicePowerState);

    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_SET_POWER, PowerSystemWorking));
    ASSERT_TRUE(power_->WaitRequests());

    EXPECT_EQ(1u, power_->Requests());
    EXPECT_EQ(PowerDeviceD0, Extension()->DevicePowerState);
    EXPECT_EQ(std::vector<DEVICE_POWER_STATE>{PowerDeviceD0}, FdoStates());
    // The D0 request runs on the power manager's thread while the system request finishes, so
    // the two threads' lines interleave; their statuses show how the lower stack completed.
    std::string returned = GetParam() ? "0x103 (STATUS_PENDING)" : "0x0 (STATUS_SUCCESS)";
    std::string called = GetParam() ? "0x103 STATUS_PENDING" : "0x0 STATUS_SUCCESS";
    std::vector<std::string> expected = {
        "VELTDRIVER : DispatchPowerFdo()",
        "VELTDRIVER : SetSPS()",
        "VELTDRIVER : SysPwrUpCompl() S0 -> D0",
        "VELTDRIVER : SysPwrUpCompl : PoRequestPowerIrp returned status 0x103 STATUS_PENDING",
        "VELTDRIVER : -> SetSPS(): PoRequestPowerIrp() returned status " + returned,
        "VELTDRIVER : DispatchPowerFdo()",
        "VELTDRIVER : SetDPS(): currently at D-1,  power goes to D0",
        "VELTDRIVER : SetDPSPwrUpCompl : status 0x0 STATUS_SUCCESS",
        "VELTDRIVER : SetDPS : PoCallDriver returned status " + called,
        "",
    };
    std::vector<std::string> lines = host::LogTexts();
    std::sort(expected.begin(), expected.end());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(expected, lines);
}

TEST_P(FdoPowerBothWays, ResumeInD0MakesNoDeviceRequest) {
    StartInD0();

    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_SET_POWER, PowerSystemWorking));

    EXPECT_EQ(1u, power_->Requests()) << "only the first S0 asked for D0";
    EXPECT_EQ(0u, DeviceRequestsSeen());
    for (const std::string& line : host::LogTexts()) {
        EXPECT_EQ(std::string::npos, line.find("SysPwrUpCompl() S")) << line;
    }
}

TEST_P(FdoPowerBothWays, SleepCycleRecordsD3ThenD0) {
    StartInD0();

    ASSERT_EQ(STATUS_SUCCESS, Send(IRP_MN_SET_POWER, PowerSystemSleeping3));
    EXPECT_EQ(PowerDeviceD3, Extension()->DevicePowerState);
    EXPECT_EQ(PowerDeviceD3, PowerManager::DeviceState(lower_)) << "the D3 request went down";
    std::vector<LowerSeen> seen = Seen();
    ASSERT_EQ(2u, seen.size());
    PIRP systemIrp = seen[0].irp;
    EXPECT_EQ(PowerDeviceD3, seen[1].state.DeviceState);
    std::vector<std::string> sleepLines = {
        "VELTDRIVER : SysPwrDnCompl() S3 -> D3",
        "VELTDRIVER : SysPwrDnCompl : PoRequestPowerIrp returned status 0x103  STATUS_PENDING",
        "VELTDRIVER : DispatchPowerFdo()",
        "VELTDRIVER :  SetDPS : currently at D0,  power goes to D3",
    };
    for (const std::string& line : sleepLines) {
        EXPECT_TRUE(HasLine(line)) << line;
    }
    EXPECT_TRUE(HasLine(": SysDevPwrCallback() sps_irp " + Pointer(systemIrp) +
                        "h,  status 0x0 (STATUS_SUCCESS)"));

    ASSERT_EQ(STATUS_SUCCESS, Send(IRP_MN_SET_POWER, PowerSystemWorking));
    ASSERT_TRUE(power_->WaitRequests());
    EXPECT_EQ(PowerDeviceD0, Extension()->DevicePowerState);
    EXPECT_EQ((std::vector<DEVICE_POWER_STATE>{PowerDeviceD0, PowerDeviceD3, PowerDeviceD0}),
              FdoStates());
    EXPECT_EQ(3u, power_->Requests());
    EXPECT_EQ(0u, power_->Outstanding());
}

TEST_P(FdoPowerBothWays, FailedPowerUpLeavesTheStateUnchanged) {
    StartInD0();
    ASSERT_EQ(STATUS_SUCCESS, Send(IRP_MN_SET_POWER, PowerSystemSleeping3));
    policy_.powerUpStatus = STATUS_UNSUCCESSFUL;
    host::ClearLog();

    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_SET_POWER, PowerSystemWorking))
        << "the system request does not wait for D0";
    ASSERT_TRUE(power_->WaitRequests());

    EXPECT_EQ(PowerDeviceD3, Extension()->DevicePowerState);
    EXPECT_EQ((std::vector<DEVICE_POWER_STATE>{PowerDeviceD0, PowerDeviceD3}), FdoStates());
    EXPECT_TRUE(HasLine("VELTDRIVER : SetDPSPwrUpCompl : status 0xC0000001 STATUS_UNSUCCESSFUL"));
    std::vector<sim::power::SentIrp> sent = power_->Sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_TRUE(sent.back().requested);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, sent.back().status);
}

TEST_P(FdoPowerBothWays, SystemRequestFailedBelowMakesNoDeviceRequest) {
    StartInD0();
    policy_.systemStatus = STATUS_UNSUCCESSFUL;

    EXPECT_EQ(STATUS_UNSUCCESSFUL, Send(IRP_MN_SET_POWER, PowerSystemSleeping3));

    EXPECT_EQ(PowerDeviceD0, Extension()->DevicePowerState);
    EXPECT_EQ(1u, power_->Requests());
    EXPECT_EQ(0u, DeviceRequestsSeen());
}

TEST_F(FdoPowerTest, SleepToTheStateTheDeviceIsInCompletesAtOnce) {
    StartInD0();
    // A device that stays powered in S1.
    Extension()->DeviceCapabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD0;

    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_SET_POWER, PowerSystemSleeping1));

    EXPECT_EQ(1u, power_->Requests());
    EXPECT_EQ(0u, DeviceRequestsSeen());
    EXPECT_EQ(PowerDeviceD0, Extension()->DevicePowerState);
    EXPECT_TRUE(HasLine("VELTDRIVER : SysPwrDnCompl() S1 -> D0"));
}

// A request that cannot be made, or no memory to carry the system request across it, leaves the
// device where it was and the system request succeeding, since it must not be failed; nothing is
// left behind.
TEST_F(FdoPowerTest, FailedDeviceRequestLeavesTheSystemRequestSucceeding) {
    struct Case {
        const char* name;
        SYSTEM_POWER_STATE state;
        bool noMemory;
        NTSTATUS requestStatus;
    };
    const Case cases[] = {
        {"sleep, request refused", PowerSystemSleeping3, false, STATUS_INSUFFICIENT_RESOURCES},
        {"hibernate, request refused", PowerSystemHibernate, false, STATUS_INVALID_PARAMETER},
        {"sleep, no context", PowerSystemSleeping3, true, STATUS_SUCCESS},
        {"resume, request refused", PowerSystemWorking, false, STATUS_UNSUCCESSFUL},
    };
    StartInD0();
    size_t requests = power_->Requests();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.state == PowerSystemWorking) {
            // Resume needs a device that is not in D0.
            ASSERT_EQ(STATUS_SUCCESS, SendDevice(IRP_MN_SET_POWER, PowerDeviceD3).status);
        }
        if (c.noMemory) {
            host::FailNthCall(host::Alloc::Pool, 1);
        } else {
            power_->FailRequests(c.requestStatus);
        }
        DEVICE_POWER_STATE before = Extension()->DevicePowerState;

        EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MN_SET_POWER, c.state));

        host::FailNthCall(host::Alloc::Pool, 0);
        EXPECT_EQ(before, Extension()->DevicePowerState);
        EXPECT_EQ(requests, power_->Requests()) << "no device request went out";
        EXPECT_TRUE(host::PoolOutstanding().empty());
        if (c.state == PowerSystemWorking) {
            ASSERT_EQ(STATUS_SUCCESS, SendDevice(IRP_MN_SET_POWER, PowerDeviceD0).status);
        }
    }
}

// Only the system set-power request has a policy; every other request goes down as it is and
// comes back with the lower stack's answer, which the FDO never changes.
TEST_F(FdoPowerTest, OtherRequestsAreOnlyPassedDown) {
    struct Case {
        const char* name;
        UCHAR minor;
        POWER_STATE_TYPE type;
        ULONG state;
        bool querySps;
    };
    const Case cases[] = {
        {"query S3", IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, true},
        {"query S4", IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemHibernate, true},
        {"query D3", IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3, false},
        {"wait wake", IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3, false},
        {"power sequence", IRP_MN_POWER_SEQUENCE, SystemPowerState, 0, false},
    };
    StartInD0();
    for (NTSTATUS lowerStatus : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
        policy_.systemStatus = lowerStatus;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            host::ClearLog();
            size_t seenBefore = Seen().size();
            host::IrpResult r;
            {
                host::IrqlScope passive(PASSIVE_LEVEL);
                r = host::SendIrp(fdo_, STATUS_NOT_SUPPORTED, [&](PIRP, PIO_STACK_LOCATION s) {
                    s->MajorFunction = IRP_MJ_POWER;
                    s->MinorFunction = c.minor;
                    s->Parameters.Power.Type = c.type;
                    s->Parameters.Power.State.SystemState =
                        static_cast<SYSTEM_POWER_STATE>(c.state);
                });
            }
            std::vector<LowerSeen> seen = Seen();
            ASSERT_EQ(seenBefore + 1, seen.size()) << "passed down once";
            EXPECT_EQ(c.minor, seen.back().minor);
            NTSTATUS lowerAnswer = c.type == SystemPowerState ? lowerStatus : STATUS_SUCCESS;
            EXPECT_EQ(lowerAnswer, r.status);
            std::vector<std::string> expected = {"VELTDRIVER : DispatchPowerFdo()"};
            if (c.querySps) {
                expected.push_back("VELTDRIVER : QuerySPS()");
            }
            EXPECT_EQ(expected, host::LogTexts());
        }
    }
    EXPECT_EQ(1u, power_->Requests());
    EXPECT_EQ(PowerDeviceD0, Extension()->DevicePowerState);
}

// A power request that arrives while the removal waits for the requests in progress is not
// passed down: it completes with STATUS_DELETE_PENDING, and the removal finishes once the
// request in progress is done.
TEST_F(FdoPowerTest, RequestDuringRemovalCompletesWithDeletePending) {
    StartInD0();
    policy_.holdNext = true;
    std::thread resume([this] { Send(IRP_MN_SET_POWER, PowerSystemWorking); });
    ASSERT_TRUE(Eventually([this] { return Held() != nullptr; }));
    std::thread remove([this] {
        host::IrqlScope passive(PASSIVE_LEVEL);
        host::SendIrp(fdo_, STATUS_NOT_SUPPORTED, [](PIRP, PIO_STACK_LOCATION s) {
            s->MajorFunction = IRP_MJ_PNP;
            s->MinorFunction = IRP_MN_REMOVE_DEVICE;
        });
    });
    ASSERT_TRUE(Eventually([this] {
        return __atomic_load_n(&Extension()->RemoveLock.Common.Removed, __ATOMIC_SEQ_CST) != FALSE;
    }));
    host::ClearLog();
    size_t seenBefore = Seen().size();

    for (UCHAR minor : {IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}) {
        host::IrpResult r;
        {
            host::IrqlScope passive(PASSIVE_LEVEL);
            r = host::SendIrp(fdo_, STATUS_NOT_SUPPORTED, [&](PIRP irp, PIO_STACK_LOCATION s) {
                irp->IoStatus.Information = 7;
                s->MajorFunction = IRP_MJ_POWER;
                s->MinorFunction = minor;
                s->Parameters.Power.Type = SystemPowerState;
                s->Parameters.Power.State.SystemState = PowerSystemSleeping3;
            });
        }
        EXPECT_EQ(STATUS_DELETE_PENDING, r.status);
        EXPECT_EQ(STATUS_DELETE_PENDING, r.returned);
        EXPECT_EQ(0u, r.information);
    }
    EXPECT_EQ(seenBefore, Seen().size()) << "nothing went down";
    EXPECT_EQ(std::vector<std::string>(2, "VELTDRIVER : DispatchPowerFdo()"), host::LogTexts());

    ReleaseHeld(STATUS_SUCCESS);
    resume.join();
    remove.join();
    fdo_ = nullptr;
}

} // namespace
