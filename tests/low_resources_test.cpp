// The whole lifecycle (plug, both children enumerated by their HID stacks, input streamed to both,
// unplug) once for every allocating call the driver's own code makes in it, failing exactly that
// call: whatever fails, nothing may crash, hang, leak or break a kernel rule.
#include "core/driver.h"
#include "emulation/urb_child.h"
#include "sim/hid/hid_stack.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/hub_pdo.h"
#include "sim/usb/urb_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using sim::hid::HidDevice;
using sim::hid::HidState;

// What one lifecycle came to.
struct Outcome {
    sim::pnp::NodeState controller = sim::pnp::NodeState::NoDriver;
    size_t children = 0;
    size_t running = 0;    // children whose HID stack enumerated them
    size_t delivering = 0; // running children that received input reports
    bool injected = false;
    std::string hang;                   // the step that did not finish in time
    std::string firstError;             // first driver error line the fault-free run did not write
    std::vector<std::string> leftovers; // pool, threads and violations after unplug

    std::string Describe() const {
        std::ostringstream text;
        text << "controller " << sim::pnp::NodeStateName(controller) << ", children " << children
             << ", enumerated " << running << ", delivering " << delivering;
        if (!firstError.empty()) {
            text << ", first error \"" << firstError << "\"";
        }
        return text.str();
    }
};

const char* const KindNames[] = {"Pool",         "Irp",       "BuildIoctl", "CreateDevice",
                                 "CreateThread", "Lookaside", "Mdl"};

// Kernel time runs fast so that the address query's one-second waits are short.
constexpr double TimeScale = 1000;
// Input reports streamed in each lifecycle.
constexpr int ReportsStreamed = 6;
// Real time each step may take before it counts as a hang.
constexpr auto StepLimit = 10s;

// Polls the condition (it may change on any thread) until it holds; FALSE on time-out.
bool Poll(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(200us);
    }
    return true;
}

std::set<std::string> ErrorLines() {
    std::set<std::string> lines;
    for (const host::LogLine& line : host::LogLines()) {
        if (line.level == DPFLTR_ERROR_LEVEL) {
            lines.insert(line.text);
        }
    }
    return lines;
}

// One lifecycle in a fresh world, with the given fault armed for the driver's calls only.
class Lifecycle {
  public:
    Outcome Run(host::Alloc kind, unsigned nth, const std::set<std::string>& baselineErrors) {
        // The previous lifecycle's violations were reported with it; IRPs it leaked are reported
        // by the reset, in this one.
        host::ClearViolations();
        host::Reset();
        host::SetTimeScale(TimeScale);
        InputFrameCounter = 0;
        sim::hid::ForgetHidDevices();
        usb_ = std::make_unique<sim::usb::UsbDevice>(sim::usb::DefaultController());
        hub_ = std::make_unique<sim::usb::HubPdo>();
        hub_->SetInternalIoctlHandler(
            [this](PDEVICE_OBJECT pdo, PIRP irp) { return usb_->HandleInternalIoctl(pdo, irp); });
        pnp_ = std::make_unique<sim::pnp::PnpManager>();
        if (!pnp_->LoadInf(VELT_DRIVER_INF)) {
            outcome_.leftovers.push_back("the INF did not load");
            return outcome_;
        }
        pnp_->RegisterDriver("veltdriver", DriverEntry);
        host::CountCallsOf(DriverEntry);
        faulted_ = nth != 0;
        host::FailNthCall(kind, nth);

        Plug();
        if (outcome_.hang.empty()) {
            Stream();
        }
        if (outcome_.hang.empty()) {
            Unplug();
        }
        outcome_.injected = host::FaultInjected();
        for (const std::string& line : ErrorLines()) {
            if (baselineErrors.count(line) == 0) {
                outcome_.firstError = line;
                break;
            }
        }
        if (outcome_.hang.empty()) {
            Check();
        }
        return outcome_;
    }

    // Every step runs on a thread of its own so that a hang is reported with its name, not
    // waited out by the test's time limit.
    bool Step(const char* name, const std::function<void()>& work) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        auto finished = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
        std::thread runner([work, done, finished] {
            work();
            std::lock_guard<std::mutex> guard(finished->first);
            done->store(true);
            finished->second.notify_all();
        });
        std::unique_lock<std::mutex> lock(finished->first);
        if (!finished->second.wait_for(lock, StepLimit, [&] { return done->load(); })) {
            outcome_.hang = name;
            runner.detach(); // the world is wedged; the sweep stops here
            return false;
        }
        lock.unlock();
        runner.join();
        return true;
    }

  private:
    PDEVICE_OBJECT Pdo() const {
        return hub_->Device();
    }

    void Plug() {
        if (!Step("plug", [this] { outcome_.controller = pnp_->Plug(Pdo()); }) ||
            outcome_.controller != sim::pnp::NodeState::Started) {
            return;
        }
        // A fault may leave fewer children: that is an outcome, not a hang. The fault-free run
        // waits long enough for any machine.
        pnp_->WaitUntil([this] { return pnp_->Children(Pdo()).size() == 2; },
                        faulted_ ? 300ms : 10000ms);
        if (!Step("enumeration", [this] { pnp_->WaitIdle(); })) {
            return;
        }
        std::vector<sim::pnp::DeviceNode> children = pnp_->Children(Pdo());
        outcome_.children = children.size();
        for (const sim::pnp::DeviceNode& child : children) {
            std::shared_ptr<HidDevice> hid = sim::hid::HidDeviceOn(child.pdo);
            if (hid == nullptr) {
                continue;
            }
            bool settled = Poll(
                [&] {
                    HidState state = hid->State();
                    return state != HidState::Added;
                },
                StepLimit);
            if (!settled) {
                outcome_.hang = "HID enumeration";
                return;
            }
            if (hid->State() == HidState::Running) {
                hids_.push_back(hid);
            }
        }
        outcome_.running = hids_.size();
    }

    // A few reports, each sent once every enumerated child has its reads waiting; they go to the
    // children in turn. A child that stopped reading ends the stream: that is an outcome.
    void Stream() {
        if (hids_.empty()) {
            return;
        }
        for (int sent = 0; sent < ReportsStreamed; ++sent) {
            size_t before = Received();
            if (!Poll([this] { return usb_->PendingReads() == 2 * hids_.size(); }, 1s)) {
                break;
            }
            usb_->SendInputReport(usb_->NextDefaultReport());
            if (!Poll([&] { return Received() > before; }, 1s)) {
                break;
            }
        }
        for (const auto& hid : hids_) {
            outcome_.delivering += hid->Counters().reportsReceived > 0 ? 1 : 0;
        }
    }

    size_t Received() const {
        size_t received = 0;
        for (const auto& hid : hids_) {
            received += hid->Counters().reportsReceived;
        }
        return received;
    }

    void Unplug() {
        if (!Step("controller unplug", [this] { usb_->Unplug(); }) ||
            !Step("hub unplug", [this] { hub_->Unplug(); }) ||
            !Step("PnP manager unplug", [this] { pnp_->Unplug(Pdo()); }) ||
            !Step("driver unload", [this] { pnp_.reset(); })) {
            return;
        }
        hids_.clear();
        hub_.reset();
        usb_.reset();
        sim::hid::ForgetHidDevices();
        Step("system threads ending", [] { host::JoinSystemThreads(); });
    }

    void Check() {
        for (const host::PoolUsage& usage : host::PoolOutstanding()) {
            outcome_.leftovers.push_back("pool " + usage.tag + ": " +
                                         std::to_string(usage.allocations) + " allocations");
        }
        if (host::LiveSystemThreads() != 0) {
            outcome_.leftovers.push_back(std::to_string(host::LiveSystemThreads()) +
                                         " system threads alive");
        }
        for (const host::Violation& v : host::Violations()) {
            outcome_.leftovers.push_back(v.rule + ": " + v.detail);
        }
    }

    std::unique_ptr<sim::usb::UsbDevice> usb_;
    std::unique_ptr<sim::usb::HubPdo> hub_;
    std::unique_ptr<sim::pnp::PnpManager> pnp_;
    std::vector<std::shared_ptr<HidDevice>> hids_;
    Outcome outcome_;
    bool faulted_ = false;
};

// Kinds with more calls than this are sampled: the first calls, then every k-th.
constexpr unsigned CallsSweptInFull = 48;

TEST(LowResources, EveryDriverAllocationFailingAloneLeavesTheSystemSound) {
    host::SetBugCheckHandler([](ULONG code, const std::string& reason) {
        std::fprintf(stderr, "bug check 0x%08X during the low-resources sweep: %s\n", code,
                     reason.c_str());
    });
    Outcome baseline;
    std::set<std::string> baselineErrors;
    unsigned counts[static_cast<size_t>(host::Alloc::Kinds)] = {};
    {
        Lifecycle clean;
        baseline = clean.Run(host::Alloc::Pool, 0, {});
        for (size_t k = 0; k < static_cast<size_t>(host::Alloc::Kinds); ++k) {
            counts[k] = host::CallCount(static_cast<host::Alloc>(k));
        }
        baselineErrors = ErrorLines();
    }
    ASSERT_TRUE(baseline.hang.empty()) << "fault-free run hung in " << baseline.hang;
    ASSERT_EQ(2u, baseline.running) << baseline.Describe();
    ASSERT_EQ(2u, baseline.delivering) << baseline.Describe();
    ASSERT_TRUE(baseline.leftovers.empty()) << baseline.leftovers.front();
    // The counts are of the driver's calls only; the fault-free run must have made some of each
    // kind the driver uses, or the sweep proves nothing.
    ASSERT_GT(counts[static_cast<size_t>(host::Alloc::Pool)], 0u);
    ASSERT_GT(counts[static_cast<size_t>(host::Alloc::Irp)], 0u);

    for (size_t k = 0; k < static_cast<size_t>(host::Alloc::Kinds); ++k) {
        host::Alloc kind = static_cast<host::Alloc>(k);
        unsigned stride = counts[k] > CallsSweptInFull ? counts[k] / CallsSweptInFull : 1;
        unsigned swept = 0;
        for (unsigned n = 1; n <= counts[k]; ++n) {
            if (n > 8 && n % stride != 0) {
                continue;
            }
            ++swept;
            Lifecycle run;
            Outcome outcome = run.Run(kind, n, baselineErrors);
            std::string call = std::string(KindNames[k]) + " call " + std::to_string(n);
            if (!outcome.hang.empty()) {
                std::fprintf(stderr, "%s: hung in %s; %s\n", call.c_str(), outcome.hang.c_str(),
                             outcome.Describe().c_str());
                std::fflush(stderr);
                std::_Exit(EXIT_FAILURE); // threads of the wedged world cannot be unwound
            }
            EXPECT_TRUE(outcome.leftovers.empty()) << call << ": " << outcome.leftovers.front();
            std::printf("[ sweep    ] %-12s %4u %s %s\n", KindNames[k], n,
                        outcome.injected ? "failed:" : "not reached:", outcome.Describe().c_str());
        }
        std::printf("[ sweep    ] %s: %u of %u calls failed in turn\n", KindNames[k], swept,
                    counts[k]);
    }
    host::SetBugCheckHandler(nullptr);
}

} // namespace
