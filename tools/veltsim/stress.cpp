#include "stress.h"

#include "console.h"

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

struct CycleResult {
    Moment surprised = Moment::None; // where the surprise removal struck, if one did
    uint64_t reports = 0;
    std::vector<std::string> problems;
};

// One controller's life: plug, enumeration, a burst of input, sleep and resume, another burst,
// and a safe removal; or a surprise removal where the plan says.
class CycleRun {
  public:
    CycleRun(sim::pnp::PnpManager& pnp, sim::power::PowerManager& power, Watchdog& watchdog,
             const Plan& plan)
        : pnp_(pnp), power_(power), watchdog_(watchdog), plan_(plan),
          usb_(sim::usb::DefaultController()) {
        hub_.SetInternalIoctlHandler(
            [this](PDEVICE_OBJECT pdo, PIRP irp) { return usb_.HandleInternalIoctl(pdo, irp); });
    }

    CycleResult Run() {
        if (plan_.surprise == Moment::Enumeration) {
            usb_.SetUrbObserver([this](PIRP, const URB*, bool completed) {
                if (!completed && ++urbs_ == plan_.at) {
                    Unplug();
                }
            });
        }
        pnp_.Plug(hub_.Device());
        watchdog_.Phase("enumeration");
        if (Enumerate() && !gone_) {
            watchdog_.Phase("streaming");
            Stream();
        }
        if (!gone_ && result_.problems.empty()) {
            watchdog_.Phase("sleep");
            NTSTATUS status = power_.Sleep(PowerSystemSleeping3);
            if (!NT_SUCCESS(status)) {
                result_.problems.push_back(Format("the sleep failed with 0x%08X", status));
            }
            if (plan_.surprise == Moment::Sleep) {
                Unplug();
            }
            watchdog_.Phase("resume");
            status = power_.Resume();
            if (!NT_SUCCESS(status) && !gone_) {
                result_.problems.push_back(Format("the resume failed with 0x%08X", status));
            }
        }
        if (!gone_ && result_.problems.empty()) {
            watchdog_.Phase("streaming after resume");
            Stream();
        }
        watchdog_.Phase("removal");
        bool surprised = gone_;
        Remove();
        usb_.SetUrbObserver(nullptr);
        result_.surprised = surprised ? plan_.surprise : Moment::None;
        for (const std::shared_ptr<HidDevice>& hid : {gamepad_, vendor_}) {
            if (hid != nullptr) {
                result_.reports += hid->Counters().reportsReceived;
            }
        }
        return result_;
    }

  private:
    // The controller leaves the bus; the PnP manager learns it at removal.
    void Unplug() {
        if (!gone_.exchange(true)) {
            usb_.Unplug();
            hub_.Unplug();
        }
    }

    // Waits until both children's HID stacks have started (or failed), or the controller is
    // gone. FALSE when a stack failed.
    bool Enumerate() {
        WaitFor(
            [this] {
                for (const sim::pnp::DeviceNode& node : pnp_.Children(hub_.Device())) {
                    bool gamepad = ExtensionOf(node.pdo)->DeviceKind == DEVICE_KIND_GAMEPAD;
                    std::shared_ptr<HidDevice>& hid = gamepad ? gamepad_ : vendor_;
                    if (hid == nullptr) {
                        hid = sim::hid::HidDeviceOn(node.pdo);
                    }
                }
                return gone_ || (gamepad_ != nullptr && vendor_ != nullptr &&
                                 gamepad_->State() != HidState::Added &&
                                 vendor_->State() != HidState::Added);
            },
            kNoLimit);
        if (gone_) {
            return false;
        }
        bool running = true;
        for (const std::shared_ptr<HidDevice>& hid : {gamepad_, vendor_}) {
            if (hid->State() != HidState::Running) {
                result_.problems.push_back(std::string("the HID stack did not start on the ") +
                                           (hid == gamepad_ ? "gamepad" : "vendor") +
                                           " child: " + hid->FailureReason());
                running = false;
            }
        }
        return running;
    }

    // Sends reports one at a time, each once every read is back at the controller, until both
    // children had one; the plan may pull the plug before one of them.
    void Stream() {
        uint64_t gamepadBefore = gamepad_->Counters().reportsReceived;
        uint64_t vendorBefore = vendor_->Counters().reportsReceived;
        for (unsigned sent = 0; sent < kMaxReportsPerBurst; ++sent) {
            if (plan_.surprise == Moment::Streaming && reportsSent_ == plan_.at) {
                Unplug();
                return;
            }
            WaitFor([this] { return gone_ || usb_.PendingReads() == kReadsOutstanding; }, kNoLimit);
            if (gone_) {
                return;
            }
            usb_.SendInputReport(usb_.NextDefaultReport());
            reportsSent_++;
            WaitFor(
                [this] {
                    return gone_ ||
                           gamepad_->QueuedInputReports() + vendor_->QueuedInputReports() == 1;
                },
                kNoLimit);
            if (gone_) {
                return;
            }
            (gamepad_->QueuedInputReports() == 1 ? gamepad_ : vendor_)->ReadInput();
            if (sent + 1 >= kReportsPerBurst &&
                gamepad_->Counters().reportsReceived > gamepadBefore &&
                vendor_->Counters().reportsReceived > vendorBefore) {
                return;
            }
        }
        result_.problems.push_back(
            Format("%u reports did not reach both children", kMaxReportsPerBurst));
    }

    // A safe removal, with the controller still sending so that the HID stacks' reads come
    // back, then the unplug; or, after a surprise, the unplug alone.
    void Remove() {
        if (!gone_.exchange(true)) {
            usb_.StartInputReports(kRemovalReportPeriod);
            if (!pnp_.Remove(hub_.Device())) {
                result_.problems.push_back("the safe removal was vetoed");
            }
            usb_.StopInputReports();
            usb_.Unplug();
            hub_.Unplug();
        }
        pnp_.Unplug(hub_.Device());
        pnp_.WaitIdle();
    }

    sim::pnp::PnpManager& pnp_;
    sim::power::PowerManager& power_;
    Watchdog& watchdog_;
    const Plan plan_;
    sim::usb::UsbDevice usb_;
    sim::usb::HubPdo hub_;
    std::atomic<bool> gone_{false};
    std::atomic<unsigned> urbs_{0};
    unsigned reportsSent_ = 0;
    std::shared_ptr<HidDevice> gamepad_;
    std::shared_ptr<HidDevice> vendor_;
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

} // namespace

int RunStress(const Options& options) {
    std::random_device entropy;
    uint64_t seed =
        options.seed ? *options.seed : (static_cast<uint64_t>(entropy()) << 32) | entropy();
    Console out(!options.quiet && !options.json);
    out.Print("== stress: %u cycles, seed %llu (repeat with: veltsim stress --cycles %u --seed "
              "%llu)\n",
              options.cycles, static_cast<unsigned long long>(seed), options.cycles,
              static_cast<unsigned long long>(seed));
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
        Progress progress(out, options.cycles);
        for (unsigned cycle = 1; cycle <= options.cycles && problems.empty(); ++cycle) {
            Plan plan = Draw(random);
            watchdog.Begin(cycle);
            host::ClearLog();
            CycleResult result = CycleRun(pnp, power, watchdog, plan).Run();
            sim::hid::ForgetHidDevices();
            watchdog.Phase("after the unplug");
            host::JoinSystemThreads();
            problems = result.problems;
            CheckAfterCycle(pnp, power, &problems);
            surprises[static_cast<size_t>(result.surprised)]++;
            reports += result.reports;
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

    if (options.json) {
        std::string json =
            Format("{\"command\": \"stress\", \"cycles\": %u, \"completed\": %u, \"seed\": %llu, "
                   "\"surprise_removals\": {\"total\": %u",
                   options.cycles, completed, static_cast<unsigned long long>(seed), surprised);
        for (size_t moment = 1; moment < static_cast<size_t>(Moment::Count); ++moment) {
            json += Format(", %s: %u", JsonString(MomentName(static_cast<Moment>(moment))).c_str(),
                           surprises[moment]);
        }
        json += Format("}, \"safe_removals\": %u, \"reports\": %llu, ", surprises[0],
                       static_cast<unsigned long long>(reports));
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
        std::printf("input reports delivered: %llu\n", static_cast<unsigned long long>(reports));
        std::printf("seed: %llu\n", static_cast<unsigned long long>(seed));
        for (const std::string& problem : problems) {
            std::printf("PROBLEM: %s\n", problem.c_str());
        }
        std::printf("%s\n", problems.empty() ? "all well" : "the driver misbehaved");
    }
    return problems.empty() ? 0 : 1;
}

} // namespace veltsim
