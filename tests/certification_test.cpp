// The plug and play and sleep scenarios a device certification runs on a driver, on the whole
// world: each runs on the controller's device or on one of the children, with input streaming to
// both children before and after, plainly or with the PnP manager's verification (a pass-through
// filter above each of the driver's device objects, unsolicited device power cycles, children
// handled in a shuffled order). The world is then taken down and nothing may be left.
#include "sim/pnp/filter_driver.h"
#include "support/log_gate.h"
#include "support/scenario_world.h"

#include <atomic>
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <tuple>

namespace {

using sim::hid::Bytes;
using sim::hid::HidDevice;
using sim::hid::HidState;
using sim::pnp::NodeState;

enum class Target { Controller, Gamepad, Vendor };
enum class Mode {
    Plain,
    Filtered,  // the filter above the driver's devices, and unsolicited power cycles
    Scrambled, // as Filtered, with the children of a relation in a shuffled order
};

const char* TargetName(Target target) {
    switch (target) {
    case Target::Controller:
        return "Controller";
    case Target::Gamepad:
        return "Gamepad";
    default:
        return "Vendor";
    }
}

const char* ModeName(Mode mode) {
    switch (mode) {
    case Mode::Plain:
        return "Plain";
    case Mode::Filtered:
        return "Filtered";
    default:
        return "Scrambled";
    }
}

// A feature report each child answers: the gamepad child's own address report, and one that
// the vendor child asks the controller for.
constexpr uint8_t GamepadFeature = 0x12;
constexpr uint8_t VendorFeature = 0x03;

velt_test::WorldOptions OptionsFor(Mode mode, unsigned seed) {
    velt_test::WorldOptions options;
    options.model.featureReports[VendorFeature] = Bytes(48, VendorFeature);
    if (mode != Mode::Plain) {
        options.pnp.filterAbove = "veltdriver";
        options.pnp.unsolicitedPower = true;
        options.pnp.scrambleChildren = mode == Mode::Scrambled;
        options.pnp.seed = seed;
    }
    return options;
}

// Answers every read waiting at the controller with an input report while it lives: the HID
// stacks being removed wait for their reads, which only the controller completes.
class ReadAnswerer {
  public:
    explicit ReadAnswerer(sim::usb::UsbDevice& usb) : usb_(usb), thread_([this] { Run(); }) {}
    ~ReadAnswerer() {
        stop_ = true;
        thread_.join();
    }
    ReadAnswerer(const ReadAnswerer&) = delete;
    ReadAnswerer& operator=(const ReadAnswerer&) = delete;

  private:
    void Run() {
        while (!stop_) {
            if (usb_.PendingReads() > 0) {
                usb_.SendInputReport(usb_.NextDefaultReport());
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    sim::usb::UsbDevice& usb_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The world for one scenario, with the PnP operations the scenarios are made of.
class CertificationWorld : public velt_test::ScenarioTest {
  protected:
    PDEVICE_OBJECT TargetPdo(Target target) const {
        if (target == Target::Controller) {
            return Pdo();
        }
        ULONG kind = target == Target::Gamepad ? DEVICE_KIND_GAMEPAD : DEVICE_KIND_VENDOR;
        for (const sim::pnp::DeviceNode& child : pnp_->Children(Pdo())) {
            if (ExtensionOf(child.pdo)->DeviceKind == kind) {
                return child.pdo;
            }
        }
        return nullptr;
    }
    NodeState StateOf(PDEVICE_OBJECT pdo) const {
        std::optional<sim::pnp::DeviceNode> node = pnp_->Node(pdo);
        return node.has_value() ? node->state : NodeState::NoDriver;
    }
    // The HID stacks that go down with the target: both children's for the controller.
    std::vector<std::shared_ptr<HidDevice>> HidStacksOf(Target target) const {
        if (target == Target::Controller) {
            return {gamepad_, vendor_};
        }
        return {target == Target::Gamepad ? gamepad_ : vendor_};
    }
    // The PnP minor codes the bottom of the controller's stack saw from `from` on.
    std::vector<UCHAR> HubMinorsSince(size_t from) const {
        std::vector<UCHAR> minors = hub_->PnpMinorsSeen();
        return std::vector<UCHAR>(minors.begin() + static_cast<ptrdiff_t>(from), minors.end());
    }

    // Brings a removed, disabled or failed device back and waits for the children.
    void EnableAgain(PDEVICE_OBJECT pdo) {
        ReadAnswerer answer(*usb_);
        ASSERT_EQ(NodeState::Started, pnp_->Enable(pdo));
        ASSERT_TRUE(ChildrenRunning());
    }

  public:
    // ---- The scenarios, each on a target where it applies
    void SurpriseRemove(Target target) {
        PDEVICE_OBJECT pdo = TargetPdo(target);
        std::vector<std::shared_ptr<HidDevice>> stacks = HidStacksOf(target);
        size_t mark = hub_->PnpMinorsSeen().size();
        {
            ReadAnswerer answer(*usb_);
            pnp_->SurpriseRemove(pdo);
        }
        EXPECT_EQ(NodeState::Removed, StateOf(pdo));
        for (const auto& stack : stacks) {
            EXPECT_EQ(HidState::Removed, stack->State());
            EXPECT_EQ(0u, stack->Counters().readsOutstanding);
        }
        if (target == Target::Controller) {
            EXPECT_EQ((std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}),
                      HubMinorsSince(mark));
            EXPECT_EQ(nullptr, Pdo()->AttachedDevice);
        }
        EnableAgain(pdo);
    }

    void RemoveAndEnable(Target target, bool disable) {
        PDEVICE_OBJECT pdo = TargetPdo(target);
        std::vector<std::shared_ptr<HidDevice>> stacks = HidStacksOf(target);
        size_t mark = hub_->PnpMinorsSeen().size();
        {
            ReadAnswerer answer(*usb_);
            ASSERT_TRUE(disable ? pnp_->Disable(pdo) : pnp_->Remove(pdo));
        }
        EXPECT_EQ(disable ? NodeState::Disabled : NodeState::Removed, StateOf(pdo));
        for (const auto& stack : stacks) {
            EXPECT_EQ(HidState::Removed, stack->State());
        }
        if (target == Target::Controller) {
            EXPECT_EQ((std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}),
                      HubMinorsSince(mark));
            EXPECT_FALSE(hub_->Deleted());
        }
        EnableAgain(pdo);
    }

    // A filter vetoes the query: the stack hears the cancel, and nothing went down.
    void CancelRemove(Target target) {
        PDEVICE_OBJECT pdo = TargetPdo(target);
        std::vector<std::shared_ptr<HidDevice>> stacks = HidStacksOf(target);
        size_t mark = hub_->PnpMinorsSeen().size();
        unsigned failures = sim::pnp::FilterFailures(pdo);
        sim::pnp::FailInFilter(pdo, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_UNSUCCESSFUL);
        EXPECT_FALSE(pnp_->Remove(pdo));
        EXPECT_EQ(failures + 1, sim::pnp::FilterFailures(pdo));
        EXPECT_EQ(NodeState::Started, StateOf(pdo));
        for (const auto& stack : stacks) {
            EXPECT_EQ(HidState::Running, stack->State());
        }
        if (target == Target::Controller) {
            EXPECT_EQ((std::vector<UCHAR>{IRP_MN_CANCEL_REMOVE_DEVICE}), HubMinorsSince(mark));
            EXPECT_FALSE(FdoExtension()->Removed);
        }
    }

    void CancelStop(Target target) {
        PDEVICE_OBJECT pdo = TargetPdo(target);
        size_t mark = hub_->PnpMinorsSeen().size();
        unsigned failures = sim::pnp::FilterFailures(pdo);
        sim::pnp::FailInFilter(pdo, IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL);
        EXPECT_FALSE(pnp_->Restart(pdo));
        EXPECT_EQ(failures + 1, sim::pnp::FilterFailures(pdo));
        EXPECT_EQ(NodeState::Started, StateOf(pdo));
        if (target == Target::Controller) {
            EXPECT_EQ((std::vector<UCHAR>{IRP_MN_CANCEL_STOP_DEVICE}), HubMinorsSince(mark));
        }
    }

    // Rebalance of the controller: the driver keeps its thread and its children through it.
    void StopAndStart(Target) {
        PDEVICE_OBJECT gamepadChild = FdoExtension()->GamepadChild;
        PDEVICE_OBJECT vendorChild = FdoExtension()->VendorChild;
        std::vector<std::shared_ptr<HidDevice>> stacks = {gamepad_, vendor_};
        size_t threads = host::LiveSystemThreads();
        size_t mark = hub_->PnpMinorsSeen().size();
        ASSERT_TRUE(pnp_->Restart(Pdo()));
        EXPECT_EQ(NodeState::Started, StateOf(Pdo()));
        std::vector<UCHAR> minors = HubMinorsSince(mark);
        ASSERT_GE(minors.size(), 3u);
        EXPECT_EQ(
            (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE}),
            std::vector<UCHAR>(minors.begin(), minors.begin() + 3));
        EXPECT_EQ(threads, host::LiveSystemThreads()) << "one dispatcher thread";
        ASSERT_TRUE(ChildrenRunning());
        EXPECT_EQ(gamepadChild, FdoExtension()->GamepadChild);
        EXPECT_EQ(vendorChild, FdoExtension()->VendorChild);
        EXPECT_EQ(stacks, (std::vector<std::shared_ptr<HidDevice>>{gamepad_, vendor_}));
    }

    // The start after a rebalance fails in the filter above the FDO: surprise removal and
    // removal of the controller's stack and its children, then the device is started anew.
    void RestartFails(Target) {
        std::vector<std::shared_ptr<HidDevice>> stacks = {gamepad_, vendor_};
        size_t mark = hub_->PnpMinorsSeen().size();
        unsigned failures = sim::pnp::FilterFailures(Pdo());
        sim::pnp::FailInFilter(Pdo(), IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
        {
            ReadAnswerer answer(*usb_);
            EXPECT_TRUE(pnp_->Restart(Pdo()));
        }
        EXPECT_EQ(failures + 1, sim::pnp::FilterFailures(Pdo()));
        EXPECT_EQ(NodeState::StartFailed, StateOf(Pdo()));
        EXPECT_TRUE(pnp_->Children(Pdo()).empty());
        EXPECT_EQ(
            (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE,
                                IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}),
            HubMinorsSince(mark));
        for (const auto& stack : stacks) {
            EXPECT_EQ(HidState::Removed, stack->State());
        }
        EnableAgain(Pdo());
    }

    void Remove(Target target) {
        RemoveAndEnable(target, false);
    }
    void DisableEnable(Target target) {
        RemoveAndEnable(target, true);
    }

  protected:
    uint8_t FeatureOf(const std::shared_ptr<HidDevice>& child) const {
        return child == gamepad_ ? GamepadFeature : VendorFeature;
    }

    void SleepAndResume() {
        ASSERT_EQ(STATUS_SUCCESS, power_->Sleep(PowerSystemSleeping3));
        EXPECT_EQ(PowerDeviceD3, FdoExtension()->DevicePowerState);
        ASSERT_EQ(STATUS_SUCCESS, power_->Resume());
        EXPECT_EQ(PowerDeviceD0, FdoExtension()->DevicePowerState);
    }

  public:
    void SleepWithDisableEnable(Target target) {
        RemoveAndEnable(target, true);
        ASSERT_TRUE(StreamToBoth());
        SleepAndResume();
        ASSERT_TRUE(StreamToBoth());
        RemoveAndEnable(target, true);
    }

    // Input, output and feature requests of both children in flight through the transition.
    void SleepWithIo(Target) {
        std::atomic<bool> stop{false};
        std::atomic<unsigned> failed{0};
        std::atomic<unsigned> done{0};
        std::vector<std::thread> io;
        for (const auto& child : {gamepad_, vendor_}) {
            io.emplace_back([&, child] {
                Bytes output(32);
                output[0] = 0x05;
                while (!stop) {
                    failed += NT_SUCCESS(child->WriteOutput(output).status) ? 0 : 1;
                    failed += NT_SUCCESS(child->GetFeature(FeatureOf(child)).status) ? 0 : 1;
                    done += 2;
                }
            });
        }
        {
            ReadAnswerer answer(*usb_);
            EXPECT_TRUE(Eventually([&] { return done > 8; }));
            SleepAndResume();
            stop = true;
        }
        for (std::thread& t : io) {
            t.join();
        }
        EXPECT_EQ(0u, failed.load());
    }
};

// ---- One scenario at a time

struct ScenarioKind;

struct Case {
    const ScenarioKind* kind;
    Target target;
    Mode mode;
    sim::usb::Completion completion;
};

// The scenarios, where each runs, and whether it needs the filter (which is what fails).
struct ScenarioKind {
    const char* name;
    void (CertificationWorld::*run)(Target target);
    bool onChildren; // a child's stack can take it (the HID stack has no stop and restart)
    bool needsFilter;
};

const ScenarioKind Scenarios[] = {
    {"SurpriseRemove", &CertificationWorld::SurpriseRemove, true, false},
    {"Remove", &CertificationWorld::Remove, true, false},
    {"CancelRemove", &CertificationWorld::CancelRemove, true, true},
    {"StopStart", &CertificationWorld::StopAndStart, false, false},
    {"CancelStop", &CertificationWorld::CancelStop, true, true},
    {"RestartFails", &CertificationWorld::RestartFails, false, true},
    {"DisableEnable", &CertificationWorld::DisableEnable, true, false},
    {"SleepWithDisableEnable", &CertificationWorld::SleepWithDisableEnable, true, false},
    {"SleepWithIo", &CertificationWorld::SleepWithIo, false, false},
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.kind->name << " on " << TargetName(c.target) << ", " << ModeName(c.mode) << ", "
         << sim::usb::CompletionName(c.completion);
}

// Each scenario on each target it applies to, with and without the filter; the controller's
// also with the children handled in a shuffled order (its removal and re-enumeration take
// both children at once). Each in both completion modes.
std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (const ScenarioKind& kind : Scenarios) {
        for (Target target : {Target::Controller, Target::Gamepad, Target::Vendor}) {
            if (target != Target::Controller && !kind.onChildren) {
                continue;
            }
            for (Mode mode : {Mode::Plain, Mode::Filtered, Mode::Scrambled}) {
                if ((mode == Mode::Plain && kind.needsFilter) ||
                    (mode == Mode::Scrambled && target != Target::Controller)) {
                    continue;
                }
                for (sim::usb::Completion completion :
                     {sim::usb::Completion::BusThread, sim::usb::Completion::CallerThread}) {
                    cases.push_back({&kind, target, mode, completion});
                }
            }
        }
    }
    return cases;
}

class Certification : public CertificationWorld, public ::testing::WithParamInterface<Case> {
  protected:
    velt_test::WorldOptions Options() const override {
        return OptionsFor(GetParam().mode, 7);
    }
    sim::usb::Completion CompletionMode() const override {
        return GetParam().completion;
    }
};

TEST_P(Certification, ScenarioWithInputBeforeAndAfter) {
    const Case& c = GetParam();
    ASSERT_TRUE(StreamToBoth()) << "before";
    (this->*c.kind->run)(c.target);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(ChildrenRunning());
    ASSERT_TRUE(StreamToBoth()) << "after";
    EXPECT_EQ(0u, gamepad_->Counters().readErrors);
    EXPECT_EQ(0u, vendor_->Counters().readErrors);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Certification, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.kind->name) + "_" +
                                    TargetName(info.param.target) + "_" +
                                    ModeName(info.param.mode) + "_" +
                                    sim::usb::CompletionName(info.param.completion);
                         });

// ---- The verification itself

class VerifiedWorld : public velt_test::InBothCompletions<CertificationWorld> {
  protected:
    velt_test::WorldOptions Options() const override {
        return OptionsFor(Mode::Scrambled, 3);
    }
};

// The filter sits right above the FDO and right above each child, and every stack went through
// a device power cycle that nobody asked for.
TEST_P(VerifiedWorld, FilterAboveEachDeviceOfTheDriverAndUnsolicitedPower) {
    std::vector<PDEVICE_OBJECT> filters = sim::pnp::FiltersIn(Pdo());
    ASSERT_EQ(1u, filters.size());
    EXPECT_EQ(filters[0], Fdo()->AttachedDevice);
    for (Target target : {Target::Gamepad, Target::Vendor}) {
        PDEVICE_OBJECT child = TargetPdo(target);
        filters = sim::pnp::FiltersIn(child);
        ASSERT_EQ(1u, filters.size());
        EXPECT_EQ(filters[0], child->AttachedDevice);
        EXPECT_EQ(sim::hid::HidStackDriver(), filters[0]->AttachedDevice->DriverObject);
        EXPECT_FALSE(sim::power::PowerManager::DeviceStates(child).empty());
    }
    std::vector<DEVICE_POWER_STATE> states = sim::power::PowerManager::DeviceStates(Fdo());
    ASSERT_GE(states.size(), 2u);
    EXPECT_NE(PowerDeviceD0, states[states.size() - 2]);
    EXPECT_EQ(PowerDeviceD0, states.back());
    EXPECT_EQ(PowerDeviceD0, FdoExtension()->DevicePowerState);
}

// A first start that fails (in the filter, after the driver started its thread and queued its
// work) takes the new stack down with a removal alone; the device can be enabled again.
TEST_P(VerifiedWorld, FailedFirstStartIsRemovedWithoutSurpriseRemoval) {
    {
        ReadAnswerer answer(*usb_);
        ASSERT_TRUE(pnp_->Disable(Pdo()));
    }
    size_t mark = hub_->PnpMinorsSeen().size();
    sim::pnp::FailInFilter(Pdo(), IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(NodeState::StartFailed, pnp_->Enable(Pdo()));
    std::vector<UCHAR> minors = HubMinorsSince(mark);
    ASSERT_GE(minors.size(), 2u);
    EXPECT_EQ((std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}),
              std::vector<UCHAR>(minors.end() - 2, minors.end()));
    EXPECT_EQ(minors.end(), std::find(minors.begin(), minors.end(), IRP_MN_SURPRISE_REMOVAL));
    EXPECT_EQ(nullptr, Pdo()->AttachedDevice);
    EnableAgain(Pdo());
    ASSERT_TRUE(StreamToBoth());
}

// With the order scrambled, the children start in either order over a few re-enumerations.
TEST_P(VerifiedWorld, ScrambledEnumerationStartsTheChildrenInEitherOrder) {
    const std::string gamepadStart =
        "VELTDRIVER : PDO : DispatchPnp: completing IRP_MN_START_DEVICE with STATUS_SUCCESS ";
    const std::string vendorStart =
        "VELTDRIVER : XDO : DispatchPnp: completing IRP_MN_START_DEVICE with STATUS_SUCCESS ";
    std::set<bool> gamepadFirst;
    for (unsigned cycle = 0; cycle < 8 && gamepadFirst.size() < 2; ++cycle) {
        host::ClearLog();
        RemoveAndEnable(Target::Controller, true);
        ASSERT_FALSE(HasFatalFailure());
        std::vector<std::string> lines = host::LogTexts();
        auto gamepad = std::find(lines.begin(), lines.end(), gamepadStart);
        auto vendor = std::find(lines.begin(), lines.end(), vendorStart);
        ASSERT_NE(lines.end(), gamepad);
        ASSERT_NE(lines.end(), vendor);
        gamepadFirst.insert(gamepad < vendor);
    }
    EXPECT_EQ(2u, gamepadFirst.size());
    ASSERT_TRUE(StreamToBoth());
}

// ---- A controller that sends nothing

class SilentController : public velt_test::InBothCompletions<CertificationWorld> {};

// The HID stacks cancel their reads when their devices go; a disable must not depend on input
// that may never come, so the children pass the cancellation on to the transfers they repeated
// to the controller.
TEST_P(SilentController, DisableDoesNotWaitForInput) {
    std::atomic<bool> done{false};
    std::thread remover([&] {
        EXPECT_TRUE(pnp_->Disable(Pdo()));
        done = true;
    });
    bool finished = Eventually([&] { return done.load(); });
    if (!finished) {
        ReadAnswerer answer(*usb_);
        remover.join();
    } else {
        remover.join();
    }
    EXPECT_TRUE(finished) << "the disable waited for input from the controller";
    EnableAgain(Pdo());
}

INSTANTIATE_TEST_SUITE_P(Completion, VerifiedWorld, velt_test::BothCompletions(),
                         velt_test::CompletionTestName);
INSTANTIATE_TEST_SUITE_P(Completion, SilentController, velt_test::BothCompletions(),
                         velt_test::CompletionTestName);

// ---- Chaos

// PnP actions and sleep cycles, chosen by a seed, while both children stream input and their
// output and feature requests keep coming. Actions that take stacks down wait for the requests
// of the moment (an application closes its handles before a removal goes through); the rest run
// beside them.
class Chaos : public CertificationWorld,
              public ::testing::WithParamInterface<std::tuple<unsigned, sim::usb::Completion>> {
  protected:
    velt_test::WorldOptions Options() const override {
        return OptionsFor(Mode::Scrambled, std::get<0>(GetParam()));
    }
    sim::usb::Completion CompletionMode() const override {
        return std::get<1>(GetParam());
    }
    // A run cut short by a failure stops its requests before the world goes.
    void TearDown() override {
        StopIo();
        CertificationWorld::TearDown();
    }

    void StartIo() {
        for (bool gamepad : {true, false}) {
            io_.emplace_back([this, gamepad] {
                Bytes output(32);
                output[0] = 0x05;
                while (!stopIo_) {
                    {
                        std::shared_lock<std::shared_mutex> guard(ioLock_);
                        std::shared_ptr<HidDevice> child = gamepad ? gamepad_ : vendor_;
                        if (child->State() == HidState::Running) {
                            NTSTATUS written = child->WriteOutput(output).status;
                            if (!NT_SUCCESS(written)) {
                                ++outputsFailed_;
                                NoteFailure("an output report", gamepad, written);
                            }
                            NTSTATUS read = child->GetFeature(FeatureOf(child)).status;
                            if (!NT_SUCCESS(read)) {
                                ++featuresFailed_;
                                NoteFailure("a feature report", gamepad, read);
                            }
                            ++requests_;
                        }
                    }
                    std::this_thread::sleep_for(std::chrono::microseconds(300));
                }
            });
        }
    }
    void StopIo() {
        stopIo_ = true;
        for (std::thread& t : io_) {
            t.join();
        }
        io_.clear();
    }

    // The first failed request, with the step that ran beside it: a rare failure names its cause.
    void NoteFailure(const char* what, bool gamepad, NTSTATUS status) {
        std::lock_guard<std::mutex> guard(failureLock_);
        if (firstFailure_.empty()) {
            char text[160];
            std::snprintf(text, sizeof(text),
                          "%s to the %s child failed with 0x%08lX beside step %u", what,
                          gamepad ? "gamepad" : "vendor",
                          static_cast<unsigned long>(static_cast<ULONG>(status)), step_.load());
            firstFailure_ = text;
        }
    }

    std::shared_mutex ioLock_;
    std::mutex failureLock_;
    std::string firstFailure_;
    std::atomic<unsigned> step_{0};
    std::vector<std::thread> io_;
    std::atomic<bool> stopIo_{false};
    std::atomic<unsigned> outputsFailed_{0};
    std::atomic<unsigned> featuresFailed_{0};
    std::atomic<unsigned> requests_{0};
};

TEST_P(Chaos, PnpAndSleepBesideIoOnBothChildren) {
    constexpr unsigned Steps = 60;
    std::mt19937 random(std::get<0>(GetParam()));
    const Target targets[] = {Target::Controller, Target::Gamepad, Target::Vendor};
    ASSERT_TRUE(StreamToBoth()) << "before";
    StartIo();
    {
        ReadAnswerer answer(*usb_);
        for (unsigned step = 0; step < Steps && !HasFatalFailure(); ++step) {
            Target target = targets[random() % 3];
            unsigned action = random() % 8;
            step_ = step;
            SCOPED_TRACE(::testing::Message() << "step " << step << " action " << action << " on "
                                              << TargetName(target));
            switch (action) {
            case 0:
                ASSERT_TRUE(pnp_->Restart(Pdo()));
                break;
            case 1:
                CancelRemove(target);
                break;
            case 2:
                CancelStop(target);
                break;
            case 3:
                SleepAndResume();
                break;
            default: {
                std::unique_lock<std::shared_mutex> guard(ioLock_);
                if (action == 4) {
                    RemoveAndEnable(target, true);
                } else if (action == 5) {
                    RemoveAndEnable(target, false);
                } else if (action == 6) {
                    SurpriseRemove(target);
                } else {
                    RestartFails(Target::Controller);
                }
                break;
            }
            }
            // The children's HID devices are taken anew while no request uses them.
            std::unique_lock<std::shared_mutex> guard(ioLock_);
            ASSERT_TRUE(ChildrenRunning());
        }
    }
    StopIo();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_GT(requests_.load(), 0u);
    {
        std::lock_guard<std::mutex> guard(failureLock_);
        EXPECT_EQ(0u, outputsFailed_.load()) << firstFailure_;
        EXPECT_EQ(0u, featuresFailed_.load()) << firstFailure_;
    }
    ASSERT_TRUE(ChildrenRunning());
    ASSERT_TRUE(StreamToBoth()) << "after";
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, Chaos,
    ::testing::Combine(::testing::Values(1u, 2u, 3u, 4u), velt_test::BothCompletions()),
    [](const ::testing::TestParamInfo<std::tuple<unsigned, sim::usb::Completion>>& info) {
        return std::to_string(std::get<0>(info.param)) + "_" +
               sim::usb::CompletionName(std::get<1>(info.param));
    });

} // namespace
