#include "world.h"

#include "core/driver.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace bench {
namespace {

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

} // namespace

bool World::Plug(Path& path, const sim::usb::DeviceIdentity& identity, ULONG port) {
    path.usb = std::make_unique<sim::usb::UsbDevice>(sim::usb::DefaultController());
    path.hub = std::make_unique<sim::usb::HubPdo>(identity, port);
    sim::usb::UsbDevice* usb = path.usb.get();
    path.hub->SetInternalIoctlHandler(
        [usb](PDEVICE_OBJECT pdo, PIRP irp) { return usb->HandleInternalIoctl(pdo, irp); });
    if (pnp_->Plug(path.hub->Device()) != sim::pnp::NodeState::Started) {
        std::fprintf(stderr, "controller did not start:\n%s", pnp_->Describe().c_str());
        return false;
    }
    return true;
}

bool World::Assemble() {
    host::Reset();
    host::SetTimeScale(100);
    sim::hid::ForgetHidDevices();
    pnp_ = std::make_unique<sim::pnp::PnpManager>();
    if (!pnp_->LoadInf(VELT_DRIVER_INF)) {
        std::fprintf(stderr, "cannot read %s\n", VELT_DRIVER_INF);
        return false;
    }
    pnp_->RegisterDriver("veltdriver", DriverEntry);

    if (!Plug(driver_, sim::usb::DefaultControllerIdentity(), 1)) {
        return false;
    }
    PDEVICE_OBJECT pdo = driver_.hub->Device();
    if (!pnp_->WaitUntil([&] { return pnp_->Children(pdo).size() == 2; })) {
        std::fprintf(stderr, "the driver made no children:\n%s", pnp_->Describe().c_str());
        return false;
    }
    pnp_->WaitIdle();
    for (const sim::pnp::DeviceNode& child : pnp_->Children(pdo)) {
        bool gamepad = ExtensionOf(child.pdo)->DeviceKind == DEVICE_KIND_GAMEPAD;
        (gamepad ? driver_.gamepad : driver_.vendor) = sim::hid::HidDeviceOn(child.pdo);
    }
    driver_.readers = 4;

    if (!Plug(baseline_, BaselineIdentity(), 2)) {
        return false;
    }
    pnp_->WaitIdle();
    baseline_.gamepad = sim::hid::HidDeviceOn(baseline_.hub->Device());
    baseline_.readers = 2;

    for (const auto& hid : {driver_.gamepad, driver_.vendor, baseline_.gamepad}) {
        if (hid == nullptr || hid->State() != sim::hid::HidState::Running) {
            std::fprintf(stderr, "a HID stack is not running: %s\n",
                         hid == nullptr ? "absent" : hid->FailureReason().c_str());
            return false;
        }
    }
    return ReadsPending(driver_) && ReadsPending(baseline_);
}

bool World::Dismantle() {
    // The HID stacks wait for their reads on removal: the controllers answer them meanwhile.
    for (Path* path : {&driver_, &baseline_}) {
        sim::usb::UsbDevice* usb = path->usb.get();
        usb->StartInputReports(10000, [usb] { return usb->NextDefaultReport(); });
    }
    pnp_.reset();
    for (Path* path : {&driver_, &baseline_}) {
        path->usb->StopInputReports();
        path->gamepad.reset();
        path->vendor.reset();
        path->hub.reset();
        path->usb.reset();
    }
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

Bytes SampleInput(unsigned sequence) {
    Bytes report(64);
    report[0] = 0x01;
    report[1] = static_cast<uint8_t>(sequence);
    report[7] = 0x08; // a button held
    return report;
}

Bytes SampleOutput() {
    Bytes report(32);
    report[0] = 0x05;
    report[1] = 0xFF;
    report[4] = 0x40; // rumble
    return report;
}

} // namespace bench
