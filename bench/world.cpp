#include "world.h"

#include "core/driver.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace bench {
namespace {

constexpr size_t ReadsPerHidStack = 2;

// Spins (yielding the core to the HID stacks' threads) until the condition holds; FALSE after
// ten seconds of real time.
bool Spin(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// The driver's controllers differ in their serial number only.
sim::usb::DeviceIdentity DriverIdentity(size_t index) {
    sim::usb::DeviceIdentity identity = sim::usb::DefaultControllerIdentity();
    if (index != 0) {
        char16_t serial[8] = u"VD1000";
        for (int digit = 5; digit >= 2 && index != 0; --digit, index /= 10) {
            serial[digit] = static_cast<char16_t>(u'0' + index % 10);
        }
        identity.serialNumber = serial;
    }
    return identity;
}

// The baseline's controller: the default controller's descriptors under a product ID the driver's
// INF does not list, reported as a single HID interface so that the HID stack binds to it.
sim::usb::DeviceIdentity BaselineIdentity() {
    sim::usb::DeviceIdentity identity = sim::usb::DefaultControllerIdentity();
    identity.idProduct = 0x0001;
    identity.composite = false;
    identity.interfaceClass = 0x03;
    identity.serialNumber = u"VD0002";
    return identity;
}

bool Running(const std::shared_ptr<sim::hid::HidDevice>& hid) {
    if (hid == nullptr || hid->State() != sim::hid::HidState::Running) {
        std::fprintf(stderr, "a HID stack is not running: %s\n",
                     hid == nullptr ? "absent" : hid->FailureReason().c_str());
        return false;
    }
    return true;
}

} // namespace

bool World::Boot(double timeScale) {
    host::Reset();
    host::SetTimeScale(timeScale);
    sim::hid::ForgetHidDevices();
    pnp_ = std::make_unique<sim::pnp::PnpManager>();
    if (!pnp_->LoadInf(VELT_DRIVER_INF)) {
        std::fprintf(stderr, "cannot read %s\n", VELT_DRIVER_INF);
        return false;
    }
    pnp_->RegisterDriver("veltdriver", DriverEntry);
    return true;
}

bool World::Plug(Path& path, const sim::usb::DeviceIdentity& identity, ULONG port,
                 const std::function<void(const Path&)>& plugging) {
    path.usb = std::make_unique<sim::usb::UsbDevice>(sim::usb::DefaultController());
    path.hub = std::make_unique<sim::usb::HubPdo>(identity, port);
    sim::usb::UsbDevice* usb = path.usb.get();
    path.hub->SetInternalIoctlHandler(
        [usb](PDEVICE_OBJECT pdo, PIRP irp) { return usb->HandleInternalIoctl(pdo, irp); });
    if (plugging) {
        plugging(path);
    }
    if (pnp_->Plug(path.hub->Device()) != sim::pnp::NodeState::Started) {
        std::fprintf(stderr, "controller did not start:\n%s", pnp_->Describe().c_str());
        return false;
    }
    return true;
}

bool World::PlugDriverController(const std::function<void(const Path&)>& plugging) {
    size_t index = driver_.size();
    driver_.push_back(std::make_unique<Path>());
    Path& path = *driver_.back();
    if (!Plug(path, DriverIdentity(index), static_cast<ULONG>(index + 1), plugging)) {
        return false;
    }
    PDEVICE_OBJECT pdo = path.hub->Device();
    if (!pnp_->WaitUntil([&] { return pnp_->Children(pdo).size() == 2; })) {
        std::fprintf(stderr, "the driver made no children:\n%s", pnp_->Describe().c_str());
        return false;
    }
    pnp_->WaitIdle();
    for (const sim::pnp::DeviceNode& child : pnp_->Children(pdo)) {
        bool gamepad = ExtensionOf(child.pdo)->DeviceKind == DEVICE_KIND_GAMEPAD;
        (gamepad ? path.gamepad : path.vendor) = sim::hid::HidDeviceOn(child.pdo);
    }
    path.readers = 2 * ReadsPerHidStack;
    return Running(path.gamepad) && Running(path.vendor);
}

bool World::PlugBaseline() {
    if (!Plug(baseline_, BaselineIdentity(), 100, nullptr)) {
        return false;
    }
    pnp_->WaitIdle();
    baseline_.gamepad = sim::hid::HidDeviceOn(baseline_.hub->Device());
    baseline_.readers = ReadsPerHidStack;
    return Running(baseline_.gamepad);
}

bool World::Assemble(size_t controllers, double timeScale) {
    if (!Boot(timeScale)) {
        return false;
    }
    for (size_t i = 0; i < controllers; ++i) {
        if (!PlugDriverController()) {
            return false;
        }
    }
    if (!PlugBaseline()) {
        return false;
    }
    for (auto& path : driver_) {
        if (!ReadsPending(*path)) {
            return false;
        }
    }
    return ReadsPending(baseline_);
}

bool World::KeepReading(Readers readers) {
    if (readers == Readers::Both) {
        return true;
    }
    for (auto& path : driver_) {
        std::shared_ptr<sim::hid::HidDevice> quiet =
            readers == Readers::Gamepad ? path->vendor : path->gamepad;
        // The driver's children set no cancel routine: the stopped reads end with reports.
        quiet->StopReads(false);
        unsigned sent = 0;
        if (!Spin([&] {
                if (quiet->Counters().readsOutstanding == 0) {
                    return true;
                }
                path->usb->SendInputReport(SampleInput(sent++));
                return false;
            })) {
            return false;
        }
        path->readers = ReadsPerHidStack;
        if (!ReadsPending(*path)) {
            return false;
        }
        for (const auto& hid : {path->gamepad, path->vendor}) {
            while (hid->QueuedInputReports() != 0) {
                hid->ReadInput(0);
            }
        }
    }
    return true;
}

bool World::Dismantle() {
    std::vector<Path*> paths;
    for (auto& path : driver_) {
        paths.push_back(path.get());
    }
    if (baseline_.usb != nullptr) {
        paths.push_back(&baseline_);
    }
    // The HID stacks wait for their reads on removal. They stop reading first and the controllers
    // answer what is left, so that removal runs the same way every time.
    bool quiet = true;
    for (Path* path : paths) {
        for (const auto& hid : {path->gamepad, path->vendor}) {
            if (hid != nullptr) {
                hid->StopReads(false);
            }
        }
    }
    for (Path* path : paths) {
        unsigned sent = 0;
        quiet = quiet && path->usb != nullptr && Spin([&] {
                    if (path->usb->PendingReads() == 0) {
                        return true;
                    }
                    path->usb->SendInputReport(SampleInput(sent++));
                    return false;
                });
    }
    if (!quiet) {
        std::fprintf(stderr, "reads still pending at removal\n");
        return false;
    }
    pnp_.reset();
    for (Path* path : paths) {
        path->gamepad.reset();
        path->vendor.reset();
        path->hub.reset();
        path->usb.reset();
    }
    driver_.clear();
    sim::hid::ForgetHidDevices();
    host::JoinSystemThreads();
    bool clean = true;
    if (!host::Violations().empty()) {
        std::fprintf(stderr, "host violations:\n%s\n", host::DescribeViolations().c_str());
        clean = false;
    }
    if (host::PoolBytesOutstanding() != 0) {
        std::fprintf(stderr, "%zu pool bytes outstanding\n", host::PoolBytesOutstanding());
        clean = false;
    }
    return clean;
}

bool ReadsPending(const Path& path) {
    return Spin([&] { return path.usb->PendingReads() == path.readers; });
}

bool InputReport(Path& path, const Bytes& report) {
    path.usb->SendInputReport(report);
    std::shared_ptr<sim::hid::HidDevice> reader;
    bool arrived = Spin([&] {
        for (const auto& hid : {path.gamepad, path.vendor}) {
            if (hid != nullptr && hid->QueuedInputReports() != 0) {
                reader = hid;
                return true;
            }
        }
        return false;
    });
    if (!arrived || reader->ReadInput(0) == std::nullopt) {
        return false;
    }
    return ReadsPending(path);
}

bool OutputReport(Path& path, const Bytes& report) {
    return path.gamepad->WriteOutput(report).status == STATUS_SUCCESS;
}

bool VendorOutputReport(Path& path, const Bytes& report) {
    return path.vendor->WriteOutput(report).status == STATUS_SUCCESS;
}

Bytes SampleInput(unsigned sequence) {
    Bytes report(64);
    report[0] = 0x01;
    report[1] = static_cast<uint8_t>(sequence);
    for (int i = 0; i < 4; ++i) {
        report[2 + i] = static_cast<uint8_t>(sequence >> (8 * i));
    }
    return report;
}

unsigned SequenceOf(const Bytes& report) {
    unsigned sequence = 0;
    for (int i = 0; i < 4 && 2 + i < static_cast<int>(report.size()); ++i) {
        sequence |= static_cast<unsigned>(report[2 + i]) << (8 * i);
    }
    return sequence;
}

Bytes SampleOutput() {
    Bytes report(32);
    report[0] = 0x05;
    report[1] = 0xFF;
    report[4] = 0x40; // rumble
    return report;
}

} // namespace bench
