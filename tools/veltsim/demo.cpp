#include "demo.h"

#include "console.h"
#include "describe.h"
#include "models.h"

#include <host/host.h>

#include "core/driver.h"
#include "core/log.h"
#include "emulation/urb_child.h"
#include "sim/hid/hid_stack.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/capture.h"
#include "sim/usb/hub_pdo.h"
#include "sim/usb/urb_engine.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veltsim {

namespace {

using sim::hid::Bytes;
using sim::hid::HidDevice;
using sim::hid::HidState;

// Byte of the gamepad child's input report that carries the driver's frame counter.
constexpr size_t kFrameCounterByte = 7;

// Kernel seconds per real second: enumeration's kernel waits pass quickly, streaming stays
// readable.
constexpr double kTimeScale = 1.0;

// Driver log lines that mark a stage of bring-up (the first line of each is shown), and how the
// demo names them.
struct Stage {
    const char* marker;
    const char* label;
};

const Stage kStages[] = {
    {"AddDevice: Driver", "AddDevice"},
    {"DispatchPnp: START_DEVICE", "START (controller)"},
    {"GetDescriptorData,", "work GetDescriptorData"},
    {"SetTargetConfiguration : ", "work SetTargetConfig"},
    {"GetMac : ", "work GetMac"},
    {"PDO : CreatePDO", "work CreatePDOs"},
    {"XDO : CreateXDO", "work CreatePDOs"},
    {"PDO : DispatchPnp: completing IRP_MN_START_DEVICE", "START (gamepad child)"},
    {"XDO : DispatchPnp: completing IRP_MN_START_DEVICE", "START (vendor child)"},
};

// The controller's USB address in a capture (bus 1); the children are bus 2, by device kind.
constexpr USHORT kControllerBus = 1;
constexpr USHORT kControllerAddress = 1;
constexpr USHORT kChildrenBus = 2;

// How long the demo waits for the driver's children, in real time.
constexpr std::chrono::seconds kEnumerationLimit(10);

// The debug log line of each address query attempt.
constexpr const char* kAddressQueryLine = "VELTDRIVER : GetMac : ";

// Why the driver is right to create no children with this controller, or "" when it should
// create them. The driver reads the controller's address on the interrupt IN pipe it kept (the
// last of the configuration) and asks again, without end, until an answer comes there or the
// controller is removed; the children come only after that. A controller that answers on
// another interrupt IN endpoint therefore never gets them.
std::string NoChildrenExpected(const sim::usb::UsbDevice& usb, PDEVICE_OBJECT hubPdo) {
    PDEVICE_OBJECT fdo = hubPdo->AttachedDevice;
    const UCHAR* answers = FirstInterruptIn(usb.Model());
    if (fdo == NULL || answers == nullptr || ExtensionOf(fdo)->SkipGetMac != 0) {
        return "";
    }
    UCHAR reads = usb.EndpointOf(ExtensionOf(fdo)->InterruptInPipe[0]);
    if (reads == 0 || reads == answers[2]) {
        return "";
    }
    return Format("the driver keeps the last interrupt IN pipe of the configuration (endpoint "
                  "0x%02X) and asks for the controller's address there until the controller is "
                  "removed, but this controller answers on endpoint 0x%02X, so the driver creates "
                  "no children",
                  reads, answers[2]);
}

// Every URB of the controller (bus 1) and of the children (bus 2, by their kind) to the capture.
void Capture(sim::usb::UsbCapture& capture, sim::usb::UsbDevice& usb) {
    auto record = [&capture](USHORT bus, USHORT address, const void* request, const URB* urb,
                             bool completed) {
        if (completed) {
            capture.Completed(bus, address, request, urb);
        } else {
            capture.Submitted(bus, address, request, urb);
        }
    };
    usb.SetUrbObserver([record](PIRP irp, const URB* urb, bool completed) {
        record(kControllerBus, kControllerAddress, irp, urb, completed);
    });
    sim::hid::SetUrbObserver(
        [record](PDEVICE_OBJECT pdo, const void* request, const URB* urb, bool completed) {
            record(kChildrenBus, static_cast<USHORT>(ExtensionOf(pdo)->DeviceKind), request, urb,
                   completed);
        });
}

// What one child's HID stack saw while the demo streamed.
struct ChildRun {
    std::string name;
    std::shared_ptr<HidDevice> hid;
    bool gamepad = false;
    std::atomic<uint64_t> reportsRead{0};
    // Frame counter: byte 7 of the gamepad child's reports, the controller's buttons in its low
    // bits.
    int lastCounter = -1;
    uint64_t counterBreaks = 0;
    std::mutex lock;
    Bytes last;
    bool outputSeen = false;
};

void Reader(ChildRun* child, const std::atomic<bool>* stop) {
    for (;;) {
        std::optional<Bytes> report = child->hid->ReadInput(100);
        if (!report) {
            if (stop->load()) {
                return;
            }
            continue;
        }
        std::lock_guard<std::mutex> guard(child->lock);
        child->reportsRead++;
        if (child->gamepad && report->size() > kFrameCounterByte) {
            int counter = (*report)[kFrameCounterByte] & 0xFC;
            if (child->lastCounter >= 0 &&
                counter != (child->lastCounter + FRAME_COUNTER_STEP) % FRAME_COUNTER_WRAP) {
                child->counterBreaks++;
            }
            child->lastCounter = counter;
        }
        child->last = std::move(*report);
    }
}

} // namespace

int RunDemo(const Options& options) {
    const Model* model = FindModel(options.controller);
    if (model == nullptr) {
        std::fprintf(stderr, "veltsim: unknown controller '%s' (known: %s)\n",
                     options.controller.c_str(), ModelNames().c_str());
        return 2;
    }
    std::unique_ptr<sim::usb::UsbCapture> capture;
    if (!options.capture.empty()) {
        capture = std::make_unique<sim::usb::UsbCapture>(options.capture);
        if (!capture->Ok()) {
            std::fprintf(stderr, "veltsim: cannot write the capture to %s\n",
                         options.capture.c_str());
            return 2;
        }
    }
    std::string logPath =
        options.log.empty() ? "/tmp/veltsim-" + std::to_string(getpid()) + ".log" : options.log;
    Console out(!options.quiet && !options.json);
    BootHost(options, kTimeScale, nullptr);
    sim::hid::ForgetHidDevices();
    std::atomic<bool> stageSeen[std::size(kStages)] = {};
    std::atomic<unsigned> addressQueries{0};
    DebugLog log;
    bool logOpen = log.Open(logPath, [&](const host::LogLine& line) {
        if (line.text.rfind(kAddressQueryLine, 0) == 0) {
            addressQueries++;
        }
        for (size_t i = 0; i < std::size(kStages); ++i) {
            if (line.text.find(kStages[i].marker) != std::string::npos &&
                !stageSeen[i].exchange(true)) {
                std::string text = line.text.substr(0, line.text.find_last_not_of(' ') + 1);
                out.Print("[%10.6f] %-22s %s\n", Seconds(line.time), kStages[i].label,
                          text.c_str());
            }
        }
    });
    if (!logOpen) {
        std::fprintf(stderr, "veltsim: cannot write the log to %s\n", logPath.c_str());
        return 2;
    }

    std::vector<std::string> problems;
    std::string noChildren; // why the driver is right to create none, when it is
    std::vector<std::unique_ptr<ChildRun>> children;
    size_t highWater = 0;
    {
        sim::usb::ControllerModel controllerModel = model->make();
        sim::usb::UsbDevice usb(controllerModel);
        sim::usb::HubPdo hub;
        hub.SetInternalIoctlHandler(
            [&usb](PDEVICE_OBJECT pdo, PIRP irp) { return usb.HandleInternalIoctl(pdo, irp); });
        sim::pnp::PnpManager pnp;
        if (!pnp.LoadInf(VELT_DRIVER_INF)) {
            std::fprintf(stderr, "veltsim: cannot read %s\n", VELT_DRIVER_INF);
            return 1;
        }
        pnp.RegisterDriver("veltdriver", DriverEntry);
        if (capture != nullptr) {
            Capture(*capture, usb);
            out.Print("== capturing USB traffic to %s: the controller is device 1.%u, the gamepad "
                      "child 2.%u, the vendor child 2.%u\n",
                      options.capture.c_str(), kControllerAddress, DEVICE_KIND_GAMEPAD,
                      DEVICE_KIND_VENDOR);
        }

        out.Print("== plugging the '%s' controller (Windows %s)\n", options.controller.c_str(),
                  options.os.c_str());
        sim::pnp::NodeState state = pnp.Plug(hub.Device());
        out.Print("[%10.6f] %-22s %s\n", Seconds(host::KernelTime()), "controller",
                  sim::pnp::NodeStateName(state));
        // The children come once the address query has its answer; a second query means the
        // first went unanswered, and the configuration may say why.
        auto enumerated = [&] { return pnp.Children(hub.Device()).size() == 2; };
        WaitFor([&] { return enumerated() || addressQueries >= 2; }, kEnumerationLimit);
        if (!enumerated()) {
            noChildren = NoChildrenExpected(usb, hub.Device());
        }
        if (noChildren.empty() && !WaitFor(enumerated, kEnumerationLimit)) {
            problems.push_back("the driver did not report its two children");
        }
        if (!noChildren.empty()) {
            out.Print("\n== no children, as intended: %s\n", noChildren.c_str());
        }
        pnp.WaitIdle();
        for (const sim::pnp::DeviceNode& node : pnp.Children(hub.Device())) {
            auto child = std::make_unique<ChildRun>();
            child->gamepad = ExtensionOf(node.pdo)->DeviceKind == DEVICE_KIND_GAMEPAD;
            child->name = child->gamepad ? "gamepad" : "vendor";
            bool running = pnp.WaitUntil([&] {
                std::shared_ptr<HidDevice> hid = sim::hid::HidDeviceOn(node.pdo);
                return hid != nullptr && hid->State() != HidState::Added;
            });
            child->hid = sim::hid::HidDeviceOn(node.pdo);
            if (!running || child->hid == nullptr || child->hid->State() != HidState::Running) {
                problems.push_back(
                    "the HID stack did not start on the " + child->name + " child" +
                    (child->hid != nullptr ? ": " + child->hid->FailureReason() : std::string()));
                continue;
            }
            out.Print("[%10.6f] %-22s %s child\n", Seconds(host::KernelTime()), "HID stack started",
                      child->name.c_str());
            children.push_back(std::move(child));
        }
        // The gamepad first, as Device Manager lists it.
        std::stable_sort(children.begin(), children.end(),
                         [](const auto& a, const auto& b) { return a->gamepad && !b->gamepad; });

        if (out.Verbose()) {
            out.Print("\n== devices by connection\n%s",
                      DescribeTree(pnp, hub.Device(), pnp.Driver("veltdriver")).c_str());
            for (const auto& child : children) {
                out.Print("\n== %s child: descriptors\n%s", child->name.c_str(),
                          DescribeDescriptors(*child->hid).c_str());
                if (child->gamepad) {
                    out.Print("\n== gamepad child: feature reports\n%s",
                              DescribeGamepadFeatures(*child->hid).c_str());
                }
            }
        }

        if (!children.empty()) {
            // Streaming at the controller's interrupt interval unless asked otherwise.
            double rate = options.rate > 0 ? options.rate : 1000.0 / InputInterval(controllerModel);
            out.Print("\n== streaming input for %.1f s at %.0f reports/s\n", options.duration,
                      rate);
            std::atomic<bool> stop{false};
            std::vector<std::thread> readers;
            for (const auto& child : children) {
                readers.emplace_back(Reader, child.get(), &stop);
            }
            // The controller as a hand moves it: sticks sweep, the hat turns, buttons come and go.
            usb.StartInputReports(static_cast<LONGLONG>(1e7 / rate), [&usb] {
                Bytes report = usb.NextDefaultReport();
                uint8_t n = report[1];
                report[2] = static_cast<uint8_t>(255 - n);
                report[3] = static_cast<uint8_t>(n * 2);
                report[5] = static_cast<uint8_t>(((n >> 5) & 7) | (((n >> 3) & 0xF) << 4));
                return report;
            });
            ChildRun* gamepad = nullptr;
            for (const auto& child : children) {
                if (child->gamepad) {
                    gamepad = child.get();
                }
            }
            bool live = out.Verbose() && isatty(STDOUT_FILENO) == 1;
            auto start = std::chrono::steady_clock::now();
            auto end = start + std::chrono::duration<double>(options.duration);
            auto step = live ? std::chrono::duration<double>(0.1)
                             : std::chrono::duration<double>(options.duration / 4);
            for (auto next = start + step; next <= end + step / 2; next += step) {
                std::this_thread::sleep_until(std::min(next, end));
                if (gamepad == nullptr) {
                    continue;
                }
                std::string view;
                {
                    std::lock_guard<std::mutex> guard(gamepad->lock);
                    view = DescribeGamepadState(gamepad->hid->Reports(), gamepad->last);
                }
                out.Print(live ? "\r%s\033[K" : "%s\n", view.c_str());
            }
            if (live) {
                out.Print("\n");
            }
            usb.StopInputReports();
            stop = true;
            for (std::thread& reader : readers) {
                reader.join();
            }

            out.Print("\n== output reports\n");
            for (const auto& child : children) {
                const std::vector<sim::hid::Report>& outputs = child->hid->Reports().output;
                if (outputs.empty()) {
                    continue;
                }
                Bytes report(outputs.front().ByteLength());
                report[0] = outputs.front().id;
                for (size_t i = 1; i < report.size(); ++i) {
                    report[i] = static_cast<uint8_t>(child->gamepad ? 0x10 + i : 0x80 + i);
                }
                NTSTATUS status = child->hid->WriteOutput(report).status;
                std::vector<sim::usb::TransferRecord> seen = usb.OutTransfers();
                child->outputSeen =
                    status == STATUS_SUCCESS && !seen.empty() && seen.back().data == report;
                out.Print(
                    "%-8s report 0x%02X, %zu bytes: %s, %s at the controller (endpoint 0x%02X)\n",
                    child->name.c_str(), report[0], report.size(), StatusName(status),
                    child->outputSeen ? "seen" : "NOT seen",
                    seen.empty() ? 0 : seen.back().endpoint);
                if (!child->outputSeen) {
                    problems.push_back("the " + child->name +
                                       " child's output report did not reach the controller");
                }
            }
        }

        out.Print("\n== unplugging the controller\n");
        usb.Unplug();
        hub.Unplug();
        pnp.Unplug(hub.Device());
        pnp.WaitIdle();
        out.Print("[%10.6f] %-22s %s\n", Seconds(host::KernelTime()), "unplugged",
                  pnp.Tree().empty() ? "device tree empty" : "device tree NOT empty");
        if (!pnp.Tree().empty()) {
            problems.push_back("device nodes remain after the unplug");
        }
        highWater = host::PoolHighWater();
        usb.SetUrbObserver(nullptr);
        sim::hid::SetUrbObserver(nullptr);
    }
    sim::hid::ForgetHidDevices();
    host::JoinSystemThreads();
    if (capture != nullptr && !capture->Ok()) {
        problems.push_back("the capture could not be written to " + options.capture);
    }

    for (const auto& child : children) {
        if (child->hid->Counters().reportsReceived == 0) {
            problems.push_back("no input report reached the " + child->name + " child");
        }
        if (child->counterBreaks != 0) {
            problems.push_back("the gamepad child's frame counter broke its sequence " +
                               std::to_string(child->counterBreaks) + " times");
        }
    }
    if (children.size() != 2 && noChildren.empty()) {
        problems.push_back("the HID stack runs on " + std::to_string(children.size()) +
                           " children, not 2");
    }
    std::vector<host::PoolUsage> leaks = host::PoolOutstanding();
    if (!leaks.empty()) {
        problems.push_back("pool leaked");
    }
    std::string violations = host::DescribeViolations();
    size_t violationCount = host::Violations().size();
    if (violationCount != 0) {
        problems.push_back("verifier violations");
    }
    bool counterOk = false;
    for (const auto& child : children) {
        counterOk =
            counterOk || (child->gamepad && child->counterBreaks == 0 && child->reportsRead > 1);
    }

    if (options.json) {
        std::string json = "{\"controller\": " + JsonString(options.controller) +
                           ", \"os\": " + JsonString(options.os) + ", \"children\": [";
        for (size_t i = 0; i < children.size(); ++i) {
            const ChildRun& child = *children[i];
            json += (i == 0 ? "" : ", ");
            json += "{\"name\": " + JsonString(child.name) +
                    ", \"reports\": " + std::to_string(child.hid->Counters().reportsReceived) +
                    ", \"output_seen\": " + (child.outputSeen ? "true" : "false") + "}";
        }
        json += "], \"frame_counter_ok\": " + std::string(counterOk ? "true" : "false") +
                ", \"pool_high_water\": " + std::to_string(highWater) + ", \"leaks\": [";
        for (size_t i = 0; i < leaks.size(); ++i) {
            json += (i == 0 ? "" : ", ");
            json += "{\"tag\": " + JsonString(leaks[i].tag) +
                    ", \"allocations\": " + std::to_string(leaks[i].allocations) +
                    ", \"bytes\": " + std::to_string(leaks[i].bytes) + "}";
        }
        json += "], \"violations\": " + std::to_string(violationCount) +
                ", \"log\": " + JsonString(logPath);
        if (capture != nullptr) {
            json += ", \"capture\": " + JsonString(options.capture) +
                    ", \"capture_packets\": " + std::to_string(capture->Packets());
        }
        if (!noChildren.empty()) {
            json += ", \"no_children\": " + JsonString(noChildren);
        }
        json += ", " + JsonProblemsAndEnd(problems);
        std::fputs(json.c_str(), stdout);
    } else {
        std::printf("%s== summary\n", out.Verbose() ? "\n" : "");
        for (const auto& child : children) {
            std::printf("%-8s child: HID stack %s, %llu input reports delivered\n",
                        child->name.c_str(), sim::hid::HidStateName(child->hid->State()),
                        static_cast<unsigned long long>(child->hid->Counters().reportsReceived));
        }
        if (!noChildren.empty()) {
            std::printf("children: none, as intended: %s\n", noChildren.c_str());
        } else {
            std::printf("frame counter: %s\n", counterOk
                                                   ? "byte 7 steps by 4 on every gamepad report"
                                                   : "NOT in sequence");
        }
        std::printf("pool: high water %zu bytes, %s\n", highWater,
                    leaks.empty() ? "no leak" : "LEAKED:");
        for (const host::PoolUsage& leak : leaks) {
            std::printf("  tag %s: %zu allocations, %zu bytes\n", leak.tag.c_str(),
                        leak.allocations, leak.bytes);
        }
        std::printf("verifier: %s", violationCount == 0 ? "no violations\n" : violations.c_str());
        std::printf("debug log: %s\n", logPath.c_str());
        if (capture != nullptr) {
            std::printf("USB capture: %s, %zu packets\n", options.capture.c_str(),
                        capture->Packets());
        }
        for (const std::string& problem : problems) {
            std::printf("PROBLEM: %s\n", problem.c_str());
        }
        std::printf("%s\n", problems.empty() ? "all well" : "the driver misbehaved");
    }
    return problems.empty() ? 0 : 1;
}

} // namespace veltsim
