#include "stress.h"

#include "console.h"
#include "describe.h"
#include "json.h"
#include "models.h"

#include <host/host.h>

#include "core/driver.h"
#include "sim/hid/hid_stack.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/power/power_manager.h"
#include "sim/usb/hub_pdo.h"
#include "sim/usb/urb_engine.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace veltsim {

namespace {

using sim::hid::HidDevice;
using sim::hid::HidState;

// Kernel seconds per real second: the driver's one-second waits take 10 ms.
constexpr double kTimeScale = 100;
// Reports in one streaming burst: at least this many, and more until both children had theirs
// (a report completes whichever child's read the bus serves), but never more than the cap.
constexpr unsigned kReportsPerBurst = 4;
constexpr unsigned kMaxReportsPerBurst = 64;
// Every read of both HID stacks waiting at the controller: two per child.
constexpr size_t kReadsOutstanding = 4;
// URBs that reach the controller while the driver and the HID stacks bring it up, about.
constexpr unsigned kEnumerationUrbs = 24;
// Input while a safe removal waits for the HID stacks' reads: a report every millisecond.
constexpr LONGLONG kRemovalReportPeriod = 10000 * static_cast<LONGLONG>(kTimeScale);
// The world's waits are judged by the watchdog, not by a limit of their own.
constexpr std::chrono::hours kNoLimit(24);

// Where a cycle's surprise removal strikes.
enum class Moment { None, Enumeration, Streaming, Sleep, Count };

const char* MomentName(Moment moment) {
    switch (moment) {
    case Moment::Enumeration:
        return "mid-enumeration";
    case Moment::Streaming:
        return "mid-stream";
    case Moment::Sleep:
        return "mid-sleep";
    default:
        return "none";
    }
}

// One cycle's plan, drawn before it runs, so that a seed repeats every cycle.
struct Plan {
    Moment surprise = Moment::None;
    unsigned at = 0; // enumeration: the controller's Nth URB; streaming: before the Nth report
};

// Four cycles in ten end in a safe removal; the others in a surprise removal, evenly spread over
// the moments.
Plan Draw(std::mt19937_64& random) {
    Plan plan;
    unsigned kind = static_cast<unsigned>(random() % 10);
    if (kind < 4) {
        return plan;
    }
    plan.surprise = kind < 6 ? Moment::Enumeration : kind < 8 ? Moment::Streaming : Moment::Sleep;
    if (plan.surprise == Moment::Enumeration) {
        plan.at = 1 + static_cast<unsigned>(random() % kEnumerationUrbs);
    } else if (plan.surprise == Moment::Streaming) {
        plan.at = static_cast<unsigned>(random() % (2 * kReportsPerBurst));
    }
    return plan;
}

// Turns a hang into a failure: when a cycle has run longer than its deadline, it says which
// cycle and phase, lists the IRPs in flight and the system threads alive, and ends the run.
class Watchdog {
  public:
    Watchdog(double deadlineSeconds, uint64_t seed)
        : deadline_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
              std::chrono::duration<double>(deadlineSeconds))),
          seed_(seed), thread_([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void Begin(unsigned cycle) {
        std::lock_guard<std::mutex> guard(lock_);
        cycle_ = cycle;
        phase_ = "plug";
        start_ = std::chrono::steady_clock::now();
    }
    // A cycle that ended after its deadline counts as hung all the same: the watchdog looks only
    // now and then.
    void End() {
        std::lock_guard<std::mutex> guard(lock_);
        if (std::chrono::steady_clock::now() - start_ > deadline_) {
            Fire();
        }
        cycle_ = 0;
    }
    void Phase(const char* phase) {
        std::lock_guard<std::mutex> guard(lock_);
        phase_ = phase;
    }
    const char* CurrentPhase() const {
        std::lock_guard<std::mutex> guard(lock_);
        return phase_;
    }
    unsigned Cycle() const {
        std::lock_guard<std::mutex> guard(lock_);
        return cycle_;
    }

  private:
    void Watch() {
        std::unique_lock<std::mutex> guard(lock_);
        while (!stopping_) {
            if (cycle_ != 0 && std::chrono::steady_clock::now() - start_ > deadline_) {
                Fire();
            }
            wake_.wait_for(guard, std::chrono::milliseconds(20));
        }
    }

    // Caller holds lock_; never returns.
    void Fire() {
        std::fprintf(stderr,
                     "veltsim: watchdog: cycle %u hung in %s for more than %.2f s (seed %llu)\n",
                     cycle_, phase_, std::chrono::duration<double>(deadline_).count(),
                     static_cast<unsigned long long>(seed_));
        std::vector<std::string> irps = host::IrpsInFlight();
        std::fprintf(stderr, "veltsim: IRPs in flight: %zu\n", irps.size());
        for (const std::string& irp : irps) {
            std::fprintf(stderr, "  %s\n", irp.c_str());
        }
        std::vector<std::string> threads = host::SystemThreadsAlive();
        std::fprintf(stderr, "veltsim: system threads alive: %zu\n", threads.size());
        for (const std::string& thread : threads) {
            std::fprintf(stderr, "  %s\n", thread.c_str());
        }
        std::fflush(stderr);
        std::_Exit(1);
    }

    const std::chrono::steady_clock::duration deadline_;
    const uint64_t seed_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    unsigned cycle_ = 0;
    const char* phase_ = "start";
    std::chrono::steady_clock::time_point start_;
    std::thread thread_;
};

unsigned SurpriseTotal(const unsigned (&surprises)[static_cast<size_t>(Moment::Count)]) {
    unsigned total = 0;
    for (size_t moment = 1; moment < static_cast<size_t>(Moment::Count); ++moment) {
        total += surprises[moment];
    }
    return total;
}

// One controller of the run, the same in every cycle: its serial number and address answer.
struct ControllerResult {
    unsigned index = 0;
    sim::usb::ControllerModel model;
    uint64_t reports = 0;
    // Its "device_tree", "children" and "output_reports" members from the last cycle that
    // enumerated it, or "" when none did.
    std::string enumerated;
};

struct CycleResult {
    Moment surprised = Moment::None;     // where the surprise removal struck, if one did
    std::vector<uint64_t> reports;       // by controller
    std::vector<std::string> enumerated; // by controller: as ControllerResult's, or ""
    std::vector<std::string> problems;
};

// The seed of a controller's USB delays in one cycle: from the run's seed, the cycle and the
// controller, so that a seed replays every device's delays without changing the cycles' plans.
uint64_t DeviceSeed(uint64_t seed, unsigned cycle, unsigned index) {
    std::seed_seq sequence{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32), cycle,
                           index};
    uint32_t words[2];
    sequence.generate(words, words + 2);
    return (static_cast<uint64_t>(words[1]) << 32) | words[0];
}

// The controllers' life in one cycle, together: plug, enumeration, a burst of input, sleep and
// resume, another burst, and a safe removal; or a surprise removal where the plan says, which
// strikes each controller at the same point of its own traffic.
class CycleRun {
  public:
    CycleRun(sim::pnp::PnpManager& pnp, sim::power::PowerManager& power, Watchdog& watchdog,
             const Plan& plan, const std::vector<ControllerResult>& controllers,
             sim::usb::Completion completion, uint64_t seed, unsigned cycle)
        : pnp_(pnp), power_(power), watchdog_(watchdog), plan_(plan) {
        for (const ControllerResult& controller : controllers) {
            units_.push_back(std::make_unique<Unit>(controller, completion,
                                                    DeviceSeed(seed, cycle, controller.index)));
        }
    }

    CycleResult Run() {
        for (const auto& unit : units_) {
            if (plan_.surprise == Moment::Enumeration) {
                Unit* which = unit.get();
                unit->usb.SetUrbObserver([this, which](PIRP, const URB*, bool completed) {
                    if (!completed && ++which->urbs == plan_.at) {
                        Unplug(*which);
                    }
                });
            }
            pnp_.Plug(unit->hub.Device());
        }
        watchdog_.Phase("enumeration");
        if (Enumerate()) {
            watchdog_.Phase("streaming");
            StreamAll();
        }
        if (AnyPresent() && result_.problems.empty()) {
            watchdog_.Phase("sleep");
            NTSTATUS status = power_.Sleep(PowerSystemSleeping3);
            if (!NT_SUCCESS(status)) {
                result_.problems.push_back(Format("the sleep failed with 0x%08X", status));
            }
            if (plan_.surprise == Moment::Sleep) {
                for (const auto& unit : units_) {
                    Unplug(*unit);
                }
            }
            watchdog_.Phase("resume");
            status = power_.Resume();
            if (!NT_SUCCESS(status) && AnyPresent()) {
                result_.problems.push_back(Format("the resume failed with 0x%08X", status));
            }
        }
        if (AnyPresent() && result_.problems.empty()) {
            watchdog_.Phase("streaming after resume");
            StreamAll();
        }
        watchdog_.Phase("removal");
        bool surprised = AnyGone();
        Remove();
        result_.surprised = surprised ? plan_.surprise : Moment::None;
        for (const auto& unit : units_) {
            unit->usb.SetUrbObserver(nullptr);
            uint64_t reports = 0;
            for (const std::shared_ptr<HidDevice>& hid : {unit->gamepad, unit->vendor}) {
                if (hid != nullptr) {
                    reports += hid->Counters().reportsReceived;
                }
            }
            result_.reports.push_back(reports);
            result_.enumerated.push_back(Enumerated(*unit));
        }
        return result_;
    }

  private:
    struct Unit {
        Unit(const ControllerResult& controller, sim::usb::Completion completion, uint64_t seed)
            : index(controller.index), usb(controller.model, seed),
              hub(NumberedIdentity(controller.model), controller.index) {
            usb.SetCompletion(completion);
            hub.SetInternalIoctlHandler(
                [this](PDEVICE_OBJECT pdo, PIRP irp) { return usb.HandleInternalIoctl(pdo, irp); });
        }
        unsigned index;
        sim::usb::UsbDevice usb;
        sim::usb::HubPdo hub;
        std::atomic<bool> gone{false};
        std::atomic<unsigned> urbs{0};
        unsigned reportsSent = 0;
        std::shared_ptr<HidDevice> gamepad;
        std::shared_ptr<HidDevice> vendor;
        std::string tree;                    // once enumerated, as JSON
        std::vector<FeatureAnswer> features; // the gamepad child's, once enumerated
    };

    // What the summary tells of a controller that enumerated in this cycle: its device tree, its
    // children as the cycle left them and the OUT transfers it received; "" when it did not.
    static std::string Enumerated(Unit& unit) {
        if (unit.tree.empty()) {
            return "";
        }
        std::string gamepad = JsonChildMembers("gamepad", *unit.gamepad, unit.features, {});
        std::string vendor = JsonChildMembers("vendor", *unit.vendor, {}, {});
        return "\"device_tree\": " + unit.tree + ", \"children\": [{" + gamepad + "}, {" + vendor +
               "}], \"output_reports\": " + JsonTransfers(unit.usb.OutTransfers());
    }

    std::string Who(const Unit& unit) const {
        return units_.size() == 1 ? std::string() : Format("controller %u: ", unit.index);
    }

    bool AnyPresent() const {
        for (const auto& unit : units_) {
            if (!unit->gone) {
                return true;
            }
        }
        return false;
    }

    bool AnyGone() const {
        for (const auto& unit : units_) {
            if (unit->gone) {
                return true;
            }
        }
        return false;
    }

    // A controller leaves the bus; the PnP manager learns it at removal.
    static void Unplug(Unit& unit) {
        if (!unit.gone.exchange(true)) {
            unit.usb.Unplug();
            unit.hub.Unplug();
        }
    }

    // Waits until every present controller's children have their HID stacks started (or
    // failed). FALSE when a stack failed or no controller is left.
    bool Enumerate() {
        WaitFor(
            [this] {
                for (const auto& unit : units_) {
                    for (const sim::pnp::DeviceNode& node : pnp_.Children(unit->hub.Device())) {
                        bool gamepad = ExtensionOf(node.pdo)->DeviceKind == DEVICE_KIND_GAMEPAD;
                        std::shared_ptr<HidDevice>& hid = gamepad ? unit->gamepad : unit->vendor;
                        if (hid == nullptr) {
                            hid = sim::hid::HidDeviceOn(node.pdo);
                        }
                    }
                    if (!unit->gone && (unit->gamepad == nullptr || unit->vendor == nullptr ||
                                        unit->gamepad->State() == HidState::Added ||
                                        unit->vendor->State() == HidState::Added)) {
                        return false;
                    }
                }
                return true;
            },
            kNoLimit);
        bool running = false;
        for (const auto& unit : units_) {
            if (unit->gone) {
                continue;
            }
            bool started = true;
            for (const std::shared_ptr<HidDevice>& hid : {unit->gamepad, unit->vendor}) {
                if (hid->State() != HidState::Running) {
                    result_.problems.push_back(Who(*unit) + "the HID stack did not start on the " +
                                               (hid == unit->gamepad ? "gamepad" : "vendor") +
                                               " child: " + hid->FailureReason());
                    started = false;
                }
            }
            std::optional<sim::pnp::DeviceNode> root = pnp_.Node(unit->hub.Device());
            if (started && root) {
                unit->tree = JsonDeviceTree(pnp_, *root, pnp_.Driver("veltdriver"));
                unit->features = ReadGamepadFeatures(*unit->gamepad);
            }
            running = running || started;
        }
        return running && result_.problems.empty();
    }

    void StreamAll() {
        for (const auto& unit : units_) {
            if (!unit->gone) {
                Stream(*unit);
            }
        }
    }

    // Sends reports one at a time, each once every read is back at the controller, until both
    // children had one; the plan may pull the plug before one of them.
    void Stream(Unit& unit) {
        uint64_t gamepadBefore = unit.gamepad->Counters().reportsReceived;
        uint64_t vendorBefore = unit.vendor->Counters().reportsReceived;
        for (unsigned sent = 0; sent < kMaxReportsPerBurst; ++sent) {
            if (plan_.surprise == Moment::Streaming && unit.reportsSent == plan_.at) {
                Unplug(unit);
                return;
            }
            WaitFor([&unit] { return unit.gone || unit.usb.PendingReads() == kReadsOutstanding; },
                    kNoLimit);
            if (unit.gone) {
                return;
            }
            unit.usb.SendInputReport(unit.usb.NextDefaultReport());
            unit.reportsSent++;
            WaitFor(
                [&unit] {
                    return unit.gone ||
                           unit.gamepad->QueuedInputReports() + unit.vendor->QueuedInputReports() ==
                               1;
                },
                kNoLimit);
            if (unit.gone) {
                return;
            }
            (unit.gamepad->QueuedInputReports() == 1 ? unit.gamepad : unit.vendor)->ReadInput();
            if (sent + 1 >= kReportsPerBurst &&
                unit.gamepad->Counters().reportsReceived > gamepadBefore &&
                unit.vendor->Counters().reportsReceived > vendorBefore) {
                return;
            }
        }
        result_.problems.push_back(
            Who(unit) + Format("%u reports did not reach both children", kMaxReportsPerBurst));
    }

    // A safe removal of each controller still there, with it still sending so that the HID
    // stacks' reads come back, then the unplug; after a surprise, the unplug alone.
    void Remove() {
        for (const auto& unit : units_) {
            if (!unit->gone.exchange(true)) {
                unit->usb.StartInputReports(kRemovalReportPeriod);
                if (!pnp_.Remove(unit->hub.Device())) {
                    result_.problems.push_back(Who(*unit) + "the safe removal was vetoed");
                }
                unit->usb.StopInputReports();
                unit->usb.Unplug();
                unit->hub.Unplug();
            }
        }
        for (const auto& unit : units_) {
            pnp_.Unplug(unit->hub.Device());
        }
        pnp_.WaitIdle();
    }

    sim::pnp::PnpManager& pnp_;
    sim::power::PowerManager& power_;
    Watchdog& watchdog_;
    const Plan plan_;
    std::vector<std::unique_ptr<Unit>> units_;
    CycleResult result_;
};

// What must hold once a cycle's controller is gone: nothing of it left anywhere.
void CheckAfterCycle(const sim::pnp::PnpManager& pnp, const sim::power::PowerManager& power,
                     std::vector<std::string>* problems) {
    if (!pnp.Tree().empty()) {
        problems->push_back("device nodes remain after the unplug");
    }
    if (pnp.Driver("veltdriver") != nullptr) {
        problems->push_back("the driver was not unloaded once its devices were gone");
    }
    if (power.Outstanding() != 0) {
        problems->push_back(std::to_string(power.Outstanding()) + " power IRP(s) never came back");
    }
    for (const std::string& irp : host::IrpsInFlight()) {
        problems->push_back("left in flight: " + irp);
    }
    for (const host::PoolUsage& leak : host::PoolOutstanding()) {
        problems->push_back(Format("pool leaked: tag %s, %zu allocation(s), %zu bytes",
                                   leak.tag.c_str(), leak.allocations, leak.bytes));
    }
    for (const host::Violation& violation : host::Violations()) {
        problems->push_back("verifier: " + violation.rule + ": " + violation.detail);
    }
    if (sim::hid::TotalCounters().phantomReports != 0) {
        problems->push_back(std::to_string(sim::hid::TotalCounters().phantomReports) +
                            " input report(s) delivered that no controller sent");
    }
    if (pnp.DuplicatesRefused() != 0) {
        problems->push_back(std::to_string(pnp.DuplicatesRefused()) +
                            " device(s) refused as duplicates (Code 42)");
    }
}

// One line, redrawn on a terminal; a line every tenth of the run otherwise.
class Progress {
  public:
    Progress(Console& out, unsigned cycles)
        : out_(out), cycles_(cycles), live_(isatty(STDOUT_FILENO) == 1),
          every_(cycles >= 10 ? cycles / 10 : 1) {}
    void Update(unsigned done, unsigned surprises, uint64_t reports) {
        if (live_) {
            constexpr unsigned kWidth = 30;
            unsigned filled = done * kWidth / cycles_;
            out_.Print("\r[%s%s] %u/%u cycles, %u surprise removals, %llu reports\033[K",
                       std::string(filled, '#').c_str(), std::string(kWidth - filled, '.').c_str(),
                       done, cycles_, surprises, static_cast<unsigned long long>(reports));
        } else if (done % every_ == 0 || done == cycles_) {
            out_.Print("cycle %u/%u: %u surprise removals, %llu reports\n", done, cycles_,
                       surprises, static_cast<unsigned long long>(reports));
        }
    }
    void End() {
        if (live_) {
            out_.Print("\n");
        }
    }

  private:
    Console& out_;
    unsigned cycles_;
    bool live_;
    unsigned every_;
};

std::string ControllerJson(const ControllerResult& controller) {
    return "{" + JsonControllerIdentity(controller.index, controller.model) +
           Format(", \"reports\": %llu, ", static_cast<unsigned long long>(controller.reports)) +
           (controller.enumerated.empty()
                ? "\"device_tree\": null, \"children\": [], \"output_reports\": []"
                : controller.enumerated) +
           "}";
}

} // namespace

int RunStress(const Options& options) {
    std::random_device entropy;
    uint64_t seed =
        options.seed ? *options.seed : (static_cast<uint64_t>(entropy()) << 32) | entropy();
    Console out(!options.quiet && !options.json);
    std::string again =
        options.controllers == 1 ? std::string() : Format(" --controllers %u", options.controllers);
    if (options.os != "10") {
        again += " --os " + options.os;
    }
    if (options.completion != "async") {
        again += " --completion " + options.completion;
    }
    out.Print("== stress: %u cycles, seed %llu (repeat with: veltsim stress --cycles %u --seed "
              "%llu%s)\n",
              options.cycles, static_cast<unsigned long long>(seed), options.cycles,
              static_cast<unsigned long long>(seed), again.c_str());
    Watchdog watchdog(options.deadline, seed);
    BootHost(options, kTimeScale, [&watchdog, seed] {
        return Format("in cycle %u (%s), seed %llu", watchdog.Cycle(), watchdog.CurrentPhase(),
                      static_cast<unsigned long long>(seed));
    });
    sim::hid::ForgetHidDevices();
    DebugLog log;
    if (!log.Open(options.log, nullptr)) {
        std::fprintf(stderr, "veltsim: cannot write the log to %s\n", options.log.c_str());
        return 2;
    }

    std::vector<ControllerResult> controllers;
    for (unsigned index = 1; index <= options.controllers; ++index) {
        ControllerResult controller;
        controller.index = index;
        controller.model = NumberedController(*FindModel("default"), index);
        controllers.push_back(std::move(controller));
    }
    std::mt19937_64 random(seed);
    unsigned completed = 0;
    unsigned surprises[static_cast<size_t>(Moment::Count)] = {};
    uint64_t reports = 0;
    std::vector<std::string> problems;
    {
        sim::pnp::PnpManager pnp;
        if (!pnp.LoadInf(VELT_DRIVER_INF)) {
            std::fprintf(stderr, "veltsim: cannot read %s\n", VELT_DRIVER_INF);
            return 1;
        }
        pnp.RegisterDriver("veltdriver", DriverEntry);
        sim::power::PowerManager power(pnp);
        sim::hid::ResetTotalCounters();
        Progress progress(out, options.cycles);
        for (unsigned cycle = 1; cycle <= options.cycles && problems.empty(); ++cycle) {
            Plan plan = Draw(random);
            watchdog.Begin(cycle);
            host::ClearLog();
            CycleResult result = CycleRun(pnp, power, watchdog, plan, controllers,
                                          CompletionOf(options), seed, cycle)
                                     .Run();
            sim::hid::ForgetHidDevices();
            watchdog.Phase("after the unplug");
            host::JoinSystemThreads();
            problems = result.problems;
            CheckAfterCycle(pnp, power, &problems);
            surprises[static_cast<size_t>(result.surprised)]++;
            for (size_t i = 0; i < controllers.size(); ++i) {
                controllers[i].reports += result.reports[i];
                reports += result.reports[i];
                if (!result.enumerated[i].empty()) {
                    controllers[i].enumerated = result.enumerated[i];
                }
            }
            if (!problems.empty()) {
                problems.insert(problems.begin(), Format("cycle %u (surprise removal: %s) failed",
                                                         cycle, MomentName(result.surprised)));
                break;
            }
            completed = cycle;
            progress.Update(completed, SurpriseTotal(surprises), reports);
        }
        progress.End();
        watchdog.End();
    }
    host::JoinSystemThreads();
    unsigned surprised = SurpriseTotal(surprises);
    std::vector<host::Violation> violations = host::Violations();

    if (options.json) {
        std::string json =
            Format("{\"command\": \"stress\", \"cycles\": %u, \"completed\": %u, \"seed\": %llu, "
                   "\"completion\": %s, \"surprise_removals\": {\"total\": %u",
                   options.cycles, completed, static_cast<unsigned long long>(seed),
                   JsonString(options.completion).c_str(), surprised);
        for (size_t moment = 1; moment < static_cast<size_t>(Moment::Count); ++moment) {
            json += Format(", %s: %u", JsonString(MomentName(static_cast<Moment>(moment))).c_str(),
                           surprises[moment]);
        }
        json += Format("}, \"safe_removals\": %u, \"reports\": %llu, \"phantom_reports\": %llu, ",
                       surprises[0], static_cast<unsigned long long>(reports),
                       static_cast<unsigned long long>(sim::hid::TotalCounters().phantomReports));
        std::vector<std::string> items;
        for (const ControllerResult& controller : controllers) {
            items.push_back(ControllerJson(controller));
        }
        json += "\"controllers\": " + JsonArray(items) + ", " +
                JsonPoolAndVerifier(host::PoolHighWater(), host::PoolOutstanding(), violations) +
                ", ";
        json += JsonProblemsAndEnd(problems);
        std::fputs(json.c_str(), stdout);
    } else {
        std::printf("%s== summary\n", out.Verbose() ? "\n" : "");
        std::printf("cycles: %u of %u\n", completed, options.cycles);
        std::printf("surprise removals: %u (", surprised);
        for (size_t moment = 1; moment < static_cast<size_t>(Moment::Count); ++moment) {
            std::printf("%s%s %u", moment == 1 ? "" : ", ", MomentName(static_cast<Moment>(moment)),
                        surprises[moment]);
        }
        std::printf("), safe removals: %u\n", surprises[0]);
        std::printf("input reports delivered: %llu, phantom: %llu\n",
                    static_cast<unsigned long long>(reports),
                    static_cast<unsigned long long>(sim::hid::TotalCounters().phantomReports));
        if (controllers.size() > 1) {
            for (const ControllerResult& controller : controllers) {
                std::printf("  controller %u (serial %s): %llu\n", controller.index,
                            Narrow(NumberedIdentity(controller.model).serialNumber).c_str(),
                            static_cast<unsigned long long>(controller.reports));
            }
        }
        std::printf("seed: %llu\n", static_cast<unsigned long long>(seed));
        std::printf("USB completion: %s\n", options.completion.c_str());
        for (const std::string& problem : problems) {
            std::printf("PROBLEM: %s\n", problem.c_str());
        }
        std::printf("%s\n", problems.empty() ? "all well" : "the driver misbehaved");
    }
    return problems.empty() ? 0 : 1;
}

} // namespace veltsim
