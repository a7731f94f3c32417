#include "demo.h"

#include "console.h"
#include "describe.h"
#include "json.h"
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

// A capture's USB addresses: controller N is device 1.N; its gamepad and vendor children are
// devices 2.(2N-1) and 2.2N, so that one controller keeps 1.1, 2.1 and 2.2. Any child that is not
// the gamepad is the vendor child.
constexpr USHORT kControllerBus = 1;
constexpr USHORT kChildrenBus = 2;

USHORT ChildAddress(unsigned controller, ULONG kind) {
    return static_cast<USHORT>(2 * (controller - 1) + (kind == DEVICE_KIND_GAMEPAD ? 1 : 2));
}

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

// What one child's HID stack saw while the demo streamed.
struct ChildRun {
    std::string name;
    std::shared_ptr<HidDevice> hid;
    bool gamepad = false;
    USHORT captureAddress = 0; // device 2.captureAddress of a capture
    std::vector<FeatureAnswer> features;
    bool sharedCounter = false; // other controllers' gamepad children advance its counter too
    std::atomic<uint64_t> reportsRead{0};
    // Frame counter: byte 7 of the gamepad child's reports, the controller's buttons in its low
    // bits.
    int lastCounter = -1;
    uint64_t counterBreaks = 0;
    std::mutex lock;
    Bytes last;
    bool outputSeen = false;
};

// One controller of the run: its model, its port on the hub and what its children saw.
struct ControllerRun {
    unsigned index = 0; // 1-based: the hub port and device 1.index of a capture
    sim::usb::ControllerModel model;
    std::unique_ptr<sim::usb::UsbDevice> usb;
    std::unique_ptr<sim::usb::HubPdo> hub;
    std::string noChildren; // why the driver is right to create none, when it is
    std::vector<std::unique_ptr<ChildRun>> children;
    std::string tree;                              // its device tree once enumerated, as JSON
    std::vector<sim::usb::TransferRecord> outputs; // OUT transfers the controller received
    bool counterOk = false;
};

// "" for a run of one controller; "controller N: " before what concerns one of several.
std::string Who(const ControllerRun& controller, size_t count) {
    return count == 1 ? std::string() : Format("controller %u: ", controller.index);
}

// Every URB of the controllers (bus 1) and of their children (bus 2) to the capture.
void Capture(sim::usb::UsbCapture& capture,
             const std::vector<std::unique_ptr<ControllerRun>>& controllers) {
    auto record = [&capture](USHORT bus, USHORT address, const void* request, const URB* urb,
                             bool completed) {
        if (completed) {
            capture.Completed(bus, address, request, urb);
        } else {
            capture.Submitted(bus, address, request, urb);
        }
    };
    std::vector<std::pair<PDEVICE_OBJECT, unsigned>> ports;
    for (const auto& controller : controllers) {
        USHORT address = static_cast<USHORT>(controller->index);
        controller->usb->SetUrbObserver(
            [record, address](PIRP irp, const URB* urb, bool completed) {
                record(kControllerBus, address, irp, urb, completed);
            });
        ports.emplace_back(controller->hub->Device(), controller->index);
    }
    // A child leads to its controller through its parent FDO's physical device object.
    sim::hid::SetUrbObserver(
        [record, ports](PDEVICE_OBJECT pdo, const void* request, const URB* urb, bool completed) {
            const DEVICE_EXTENSION* child = ExtensionOf(pdo);
            PDEVICE_OBJECT hubPdo = ExtensionOf(child->ParentFdo)->PhysicalDeviceObject;
            for (const auto& [device, index] : ports) {
                if (device == hubPdo) {
                    record(kChildrenBus, ChildAddress(index, child->DeviceKind), request, urb,
                           completed);
                }
            }
        });
}

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
            // One counter serves the driver's every gamepad child: with several controllers,
            // the others' reports advance it too, and only a repeat is a break.
            bool broken =
                child->sharedCounter
                    ? counter == child->lastCounter
                    : counter != (child->lastCounter + FRAME_COUNTER_STEP) % FRAME_COUNTER_WRAP;
            if (child->lastCounter >= 0 && broken) {
                child->counterBreaks++;
            }
            child->lastCounter = counter;
        }
        child->last = std::move(*report);
    }
}

// The controller's address answer, as the gamepad's feature report 0x12 shows it.
std::string AddressText(const sim::usb::ControllerModel& model) {
    std::string out;
    for (UCHAR byte : model.addressQuery.address) {
        out += Format("%s%02X", out.empty() ? "" : ":", byte);
    }
    return out;
}

std::string SerialOf(const ControllerRun& controller) {
    return Narrow(NumberedIdentity(controller.model).serialNumber);
}

std::string ControllerJson(const ControllerRun& controller) {
    std::string json =
        "{" + JsonControllerIdentity(controller.index, controller.model) +
        Format(", \"capture_address\": \"%u.%u\"", kControllerBus, controller.index) +
        ", \"device_tree\": " + (controller.tree.empty() ? "null" : controller.tree) +
        ", \"children\": [";
    for (size_t i = 0; i < controller.children.size(); ++i) {
        const ChildRun& child = *controller.children[i];
        json += (i == 0 ? "{" : ", {") +
                JsonChildMembers(child.name, *child.hid, child.features, child.counterBreaks) +
                Format(", \"capture_address\": \"%u.%u\"", kChildrenBus, child.captureAddress) +
                ", \"output_seen\": " + (child.outputSeen ? "true" : "false") + "}";
    }
    json += "], \"frame_counter_ok\": " + std::string(controller.counterOk ? "true" : "false") +
            ", \"output_reports\": " + JsonTransfers(controller.outputs);
    if (!controller.noChildren.empty()) {
        json += ", \"no_children\": " + JsonString(controller.noChildren);
    }
    return json + "}";
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

    const size_t count = options.controllers;
    std::vector<std::string> problems;
    std::vector<std::unique_ptr<ControllerRun>> controllers;
    for (unsigned index = 1; index <= count; ++index) {
        auto controller = std::make_unique<ControllerRun>();
        controller->index = index;
        controller->model = NumberedController(*model, index);
        // The demo has no seed of its own: each controller's delays are those of its number.
        controller->usb = std::make_unique<sim::usb::UsbDevice>(controller->model, index);
        controller->usb->SetCompletion(CompletionOf(options));
        controller->hub =
            std::make_unique<sim::usb::HubPdo>(NumberedIdentity(controller->model), index);
        sim::usb::UsbDevice* usb = controller->usb.get();
        controller->hub->SetInternalIoctlHandler(
            [usb](PDEVICE_OBJECT pdo, PIRP irp) { return usb->HandleInternalIoctl(pdo, irp); });
        controllers.push_back(std::move(controller));
    }
    size_t highWater = 0;
    {
        sim::pnp::PnpManager pnp;
        if (!pnp.LoadInf(VELT_DRIVER_INF)) {
            std::fprintf(stderr, "veltsim: cannot read %s\n", VELT_DRIVER_INF);
            return 1;
        }
        pnp.RegisterDriver("veltdriver", DriverEntry);
        if (capture != nullptr) {
            Capture(*capture, controllers);
            if (count == 1) {
                out.Print("== capturing USB traffic to %s: the controller is device 1.1, the "
                          "gamepad child 2.%u, the vendor child 2.%u\n",
                          options.capture.c_str(), ChildAddress(1, DEVICE_KIND_GAMEPAD),
                          ChildAddress(1, DEVICE_KIND_VENDOR));
            } else {
                out.Print("== capturing USB traffic to %s: controller N is device 1.N, its "
                          "gamepad child 2.(2N-1), its vendor child 2.2N\n",
                          options.capture.c_str());
            }
        }

        if (count == 1) {
            out.Print("== plugging the '%s' controller (Windows %s)\n", options.controller.c_str(),
                      options.os.c_str());
        } else {
            out.Print("== plugging %zu '%s' controllers (Windows %s)\n", count,
                      options.controller.c_str(), options.os.c_str());
        }
        for (const auto& controller : controllers) {
            sim::pnp::NodeState state = pnp.Plug(controller->hub->Device());
            out.Print("[%10.6f] %-22s %s%s\n", Seconds(host::KernelTime()), "controller",
                      Who(*controller, count).c_str(), sim::pnp::NodeStateName(state));
        }
        // The children come once the address query has its answer; a query more than one per
        // controller means one went unanswered, and the configuration may say why.
        auto enumerated = [&](const ControllerRun& controller) {
            return pnp.Children(controller.hub->Device()).size() == 2;
        };
        WaitFor(
            [&] {
                for (const auto& controller : controllers) {
                    if (!enumerated(*controller)) {
                        return addressQueries > count;
                    }
                }
                return true;
            },
            kEnumerationLimit);
        for (const auto& controller : controllers) {
            if (!enumerated(*controller)) {
                controller->noChildren =
                    NoChildrenExpected(*controller->usb, controller->hub->Device());
            }
            if (controller->noChildren.empty() &&
                !WaitFor([&] { return enumerated(*controller); }, kEnumerationLimit)) {
                problems.push_back(Who(*controller, count) +
                                   "the driver did not report its two children");
            }
            if (!controller->noChildren.empty()) {
                out.Print("\n== %sno children, as intended: %s\n", Who(*controller, count).c_str(),
                          controller->noChildren.c_str());
            }
        }
        pnp.WaitIdle();
        for (const auto& controller : controllers) {
            for (const sim::pnp::DeviceNode& node : pnp.Children(controller->hub->Device())) {
                auto child = std::make_unique<ChildRun>();
                ULONG kind = ExtensionOf(node.pdo)->DeviceKind;
                child->gamepad = kind == DEVICE_KIND_GAMEPAD;
                child->name = child->gamepad ? "gamepad" : "vendor";
                child->captureAddress = ChildAddress(controller->index, kind);
                child->sharedCounter = count > 1;
                bool running = pnp.WaitUntil([&] {
                    std::shared_ptr<HidDevice> hid = sim::hid::HidDeviceOn(node.pdo);
                    return hid != nullptr && hid->State() != HidState::Added;
                });
                child->hid = sim::hid::HidDeviceOn(node.pdo);
                if (!running || child->hid == nullptr || child->hid->State() != HidState::Running) {
                    problems.push_back(Who(*controller, count) +
                                       "the HID stack did not start on the " + child->name +
                                       " child" +
                                       (child->hid != nullptr ? ": " + child->hid->FailureReason()
                                                              : std::string()));
                    continue;
                }
                out.Print("[%10.6f] %-22s %s%s child\n", Seconds(host::KernelTime()),
                          "HID stack started", Who(*controller, count).c_str(),
                          child->name.c_str());
                controller->children.push_back(std::move(child));
            }
            // The gamepad first, as Device Manager lists it.
            std::stable_sort(
                controller->children.begin(), controller->children.end(),
                [](const auto& a, const auto& b) { return a->gamepad && !b->gamepad; });
            for (const auto& child : controller->children) {
                if (child->gamepad) {
                    child->features = ReadGamepadFeatures(*child->hid);
                }
            }
            std::optional<sim::pnp::DeviceNode> root = pnp.Node(controller->hub->Device());
            if (root) {
                controller->tree = JsonDeviceTree(pnp, *root, pnp.Driver("veltdriver"));
            }
        }

        if (out.Verbose()) {
            for (const auto& controller : controllers) {
                std::string which =
                    count == 1 ? std::string() : Format("controller %u ", controller->index);
                out.Print(
                    "\n== %sdevices by connection\n%s", which.c_str(),
                    DescribeTree(pnp, controller->hub->Device(), pnp.Driver("veltdriver")).c_str());
                for (const auto& child : controller->children) {
                    out.Print("\n== %s%s child: descriptors\n%s", which.c_str(),
                              child->name.c_str(), DescribeDescriptors(*child->hid).c_str());
                    if (child->gamepad) {
                        out.Print("\n== %sgamepad child: feature reports\n%s", which.c_str(),
                                  DescribeGamepadFeatures(child->features).c_str());
                    }
                }
            }
        }

        std::vector<ChildRun*> children;
        for (const auto& controller : controllers) {
            for (const auto& child : controller->children) {
                children.push_back(child.get());
            }
        }
        if (!children.empty()) {
            // Streaming at the controller's interrupt interval unless asked otherwise.
            double rate = options.rate > 0 ? options.rate
                                           : 1000.0 / InputInterval(controllers.front()->model);
            out.Print("\n== streaming input for %.1f s at %.0f reports/s%s\n", options.duration,
                      rate, count == 1 ? "" : " per controller");
            std::atomic<bool> stop{false};
            std::vector<std::thread> readers;
            for (ChildRun* child : children) {
                readers.emplace_back(Reader, child, &stop);
            }
            // Each controller as a hand moves it: sticks sweep, the hat turns, buttons come and
            // go.
            for (const auto& controller : controllers) {
                if (controller->children.empty()) {
                    continue;
                }
                sim::usb::UsbDevice* usb = controller->usb.get();
                usb->StartInputReports(static_cast<LONGLONG>(1e7 / rate), [usb] {
                    Bytes report = usb->NextDefaultReport();
                    uint8_t n = report[1];
                    report[2] = static_cast<uint8_t>(255 - n);
                    report[3] = static_cast<uint8_t>(n * 2);
                    report[5] = static_cast<uint8_t>(((n >> 5) & 7) | (((n >> 3) & 0xF) << 4));
                    return report;
                });
            }
            ChildRun* gamepad = nullptr;
            for (ChildRun* child : children) {
                if (child->gamepad && gamepad == nullptr) {
                    gamepad = child;
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
            for (const auto& controller : controllers) {
                controller->usb->StopInputReports();
            }
            stop = true;
            for (std::thread& reader : readers) {
                reader.join();
            }

            out.Print("\n== output reports\n");
            for (const auto& controller : controllers) {
                for (const auto& child : controller->children) {
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
                    std::vector<sim::usb::TransferRecord> seen = controller->usb->OutTransfers();
                    child->outputSeen =
                        status == STATUS_SUCCESS && !seen.empty() && seen.back().data == report;
                    out.Print("%s%-8s report 0x%02X, %zu bytes: %s, %s at the controller "
                              "(endpoint 0x%02X)\n",
                              Who(*controller, count).c_str(), child->name.c_str(), report[0],
                              report.size(), StatusName(status),
                              child->outputSeen ? "seen" : "NOT seen",
                              seen.empty() ? 0 : seen.back().endpoint);
                    if (!child->outputSeen) {
                        problems.push_back(Who(*controller, count) + "the " + child->name +
                                           " child's output report did not reach the controller");
                    }
                }
            }
        }

        out.Print("\n== unplugging the controller%s\n", count == 1 ? "" : "s");
        for (const auto& controller : controllers) {
            controller->usb->Unplug();
            controller->hub->Unplug();
        }
        for (const auto& controller : controllers) {
            pnp.Unplug(controller->hub->Device());
        }
        pnp.WaitIdle();
        out.Print("[%10.6f] %-22s %s\n", Seconds(host::KernelTime()), "unplugged",
                  pnp.Tree().empty() ? "device tree empty" : "device tree NOT empty");
        if (!pnp.Tree().empty()) {
            problems.push_back("device nodes remain after the unplug");
        }
        if (pnp.DuplicatesRefused() != 0) {
            problems.push_back(std::to_string(pnp.DuplicatesRefused()) +
                               " device(s) refused as duplicates (Code 42)");
        }
        highWater = host::PoolHighWater();
        for (const auto& controller : controllers) {
            controller->outputs = controller->usb->OutTransfers();
            controller->usb->SetUrbObserver(nullptr);
        }
        sim::hid::SetUrbObserver(nullptr);
    }
    for (const auto& controller : controllers) {
        controller->hub.reset();
        controller->usb.reset();
    }
    sim::hid::ForgetHidDevices();
    host::JoinSystemThreads();
    if (capture != nullptr && !capture->Ok()) {
        problems.push_back("the capture could not be written to " + options.capture);
    }

    bool counterOk = true;
    for (const auto& controller : controllers) {
        for (const auto& child : controller->children) {
            if (child->hid->Counters().reportsReceived == 0) {
                problems.push_back(Who(*controller, count) + "no input report reached the " +
                                   child->name + " child");
            }
            if (child->hid->Counters().phantomReports != 0) {
                problems.push_back(Who(*controller, count) + "the " + child->name +
                                   " child delivered " +
                                   std::to_string(child->hid->Counters().phantomReports) +
                                   " input report(s) the controller never sent");
            }
            if (child->counterBreaks != 0) {
                problems.push_back(Who(*controller, count) +
                                   "the gamepad child's frame counter broke its sequence " +
                                   std::to_string(child->counterBreaks) + " times");
            }
            controller->counterOk =
                controller->counterOk ||
                (child->gamepad && child->counterBreaks == 0 && child->reportsRead > 1);
        }
        if (controller->children.size() != 2 && controller->noChildren.empty()) {
            problems.push_back(Who(*controller, count) + "the HID stack runs on " +
                               std::to_string(controller->children.size()) + " children, not 2");
        }
        // A controller rightly left without children has no counter to judge.
        if (controller->noChildren.empty()) {
            counterOk = counterOk && controller->counterOk;
        }
    }
    std::vector<host::PoolUsage> leaks = host::PoolOutstanding();
    if (!leaks.empty()) {
        problems.push_back("pool leaked");
    }
    std::string violations = host::DescribeViolations();
    std::vector<host::Violation> violationList = host::Violations();
    if (!violationList.empty()) {
        problems.push_back("verifier violations");
    }

    if (options.json) {
        std::vector<std::string> items;
        for (const auto& controller : controllers) {
            items.push_back(ControllerJson(*controller));
        }
        std::string json =
            "{\"command\": \"demo\", \"controller\": " + JsonString(options.controller) +
            ", \"os\": " + JsonString(options.os) +
            ", \"completion\": " + JsonString(options.completion) +
            ", \"controllers\": " + JsonArray(items) +
            ", \"frame_counter_ok\": " + (counterOk ? "true" : "false") + ", " +
            JsonPoolAndVerifier(highWater, leaks, violationList) +
            ", \"log\": " + JsonString(logPath);
        if (capture != nullptr) {
            json += ", \"capture\": " + JsonString(options.capture) +
                    ", \"capture_packets\": " + std::to_string(capture->Packets());
        }
        json += ", " + JsonProblemsAndEnd(problems);
        std::fputs(json.c_str(), stdout);
    } else {
        std::printf("%s== summary\n", out.Verbose() ? "\n" : "");
        for (const auto& controller : controllers) {
            std::string indent = count == 1 ? "" : "  ";
            if (count != 1) {
                std::string serial = SerialOf(*controller);
                std::printf("controller %u: serial %s, address %s\n", controller->index,
                            serial.empty() ? "(none)" : serial.c_str(),
                            AddressText(controller->model).c_str());
            }
            for (const auto& child : controller->children) {
                std::printf(
                    "%s%-8s child: HID stack %s, %llu input reports delivered, %llu phantom\n",
                    indent.c_str(), child->name.c_str(),
                    sim::hid::HidStateName(child->hid->State()),
                    static_cast<unsigned long long>(child->hid->Counters().reportsReceived),
                    static_cast<unsigned long long>(child->hid->Counters().phantomReports));
            }
            if (!controller->noChildren.empty()) {
                std::printf("%schildren: none, as intended: %s\n", indent.c_str(),
                            controller->noChildren.c_str());
            } else {
                const char* sequence = count == 1 ? "byte 7 steps by 4 on every gamepad report"
                                                  : "byte 7 advances on every gamepad report (one "
                                                    "counter for the driver's gamepad children)";
                std::printf("%sframe counter: %s\n", indent.c_str(),
                            controller->counterOk ? sequence : "NOT in sequence");
            }
        }
        std::printf("USB completion: %s\n", options.completion.c_str());
        std::printf("pool: high water %zu bytes, %s\n", highWater,
                    leaks.empty() ? "no leak" : "LEAKED:");
        for (const host::PoolUsage& leak : leaks) {
            std::printf("  tag %s: %zu allocations, %zu bytes\n", leak.tag.c_str(),
                        leak.allocations, leak.bytes);
        }
        std::printf("verifier: %s", violationList.empty() ? "no violations\n" : violations.c_str());
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
