#include "world.h"

#include <host/host.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace fuzz {
namespace {

// A kernel second lasts 10 microseconds: the address query's pauses cost next to nothing.
constexpr double TimeScale = 1e5;
// What a start-up, a request or a removal may take in real time before it counts as a hang.
constexpr auto HangLimit = std::chrono::seconds(10);

const char GetMacLine[] = "VELTDRIVER : GetMac : ";

host::IrpResult SendPnp(PDEVICE_OBJECT device, UCHAR minor) {
    host::IrqlScope passive(PASSIVE_LEVEL);
    return host::SendIrp(device, STATUS_NOT_SUPPORTED, [minor](PIRP, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = minor;
    });
}

// Spins until the condition holds; FALSE after the hang limit.
bool Eventually(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + HangLimit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return true;
}

} // namespace

void Fail(const char* what, const std::string& detail) {
    // The driver's last words first: they usually tell what it was doing.
    std::vector<std::string> lines = host::LogTexts();
    size_t from = lines.size() > 40 ? lines.size() - 40 : 0;
    for (size_t i = from; i < lines.size(); ++i) {
        std::fprintf(stderr, "log: %s\n", lines[i].c_str());
    }
    std::fprintf(stderr, "fuzz: %s\n%s\n", what, detail.c_str());
    std::abort();
}

void CheckHost(const char* when) {
    if (!host::Violations().empty()) {
        Fail(when, host::DescribeViolations());
    }
}

void BootHost() {
    host::Reset();
    host::ClearViolations();
    host::SetTimeScale(TimeScale);
}

World::World(sim::usb::ControllerModel model)
    : usb_(std::make_unique<sim::usb::UsbDevice>(std::move(model))),
      hub_(std::make_unique<sim::usb::HubPdo>()),
      getMacAttempts_(std::make_shared<std::atomic<unsigned>>(0)),
      invalidations_(std::make_shared<std::atomic<unsigned>>(0)) {
    sim::usb::UsbDevice* usb = usb_.get();
    hub_->SetInternalIoctlHandler(
        [usb](PDEVICE_OBJECT pdo, PIRP irp) { return usb->HandleInternalIoctl(pdo, irp); });
    std::shared_ptr<std::atomic<unsigned>> attempts = getMacAttempts_;
    host::SetLogObserver([attempts](const host::LogLine& line) {
        if (line.text.compare(0, sizeof(GetMacLine) - 1, GetMacLine) == 0) {
            ++*attempts;
        }
    });
    std::shared_ptr<std::atomic<unsigned>> invalidations = invalidations_;
    host::SetInvalidateRelationsHandler(
        [invalidations](PDEVICE_OBJECT, DEVICE_RELATION_TYPE) { ++*invalidations; });
    driver_ = host::LoadDriver(DriverEntry, u"veltdriver");
    if (driver_ == nullptr || !NT_SUCCESS(host::CallAddDevice(driver_, hub_->Device()))) {
        Fail("the driver did not load or add its FDO");
    }
    fdo_ = hub_->Device()->AttachedDevice;
    if (!NT_SUCCESS(SendPnp(fdo_, IRP_MN_START_DEVICE).status)) {
        Fail("IRP_MN_START_DEVICE failed");
    }
}

World::~World() {
    usb_->Unplug();
    Drain();
    Forget();
    hub_->Unplug();
    SendPnp(fdo_, IRP_MN_SURPRISE_REMOVAL);
    SendPnp(fdo_, IRP_MN_REMOVE_DEVICE);
    if (!host::UnloadDriver(driver_)) {
        Fail("the driver left device objects behind");
    }
    hub_.reset();
    usb_.reset();
    host::SetLogObserver(nullptr);
    host::SetInvalidateRelationsHandler(nullptr);
    host::JoinSystemThreads();
    CheckHost("after removal");
    if (!host::PoolOutstanding().empty()) {
        Fail("pool outstanding after removal");
    }
}

bool World::WaitForChildren(unsigned attempts) {
    bool settled = Eventually([&] {
        return (Gamepad() != nullptr && Vendor() != nullptr) || *getMacAttempts_ >= attempts;
    });
    if (!settled) {
        Fail("the start-up work items never finished");
    }
    return Gamepad() != nullptr && Vendor() != nullptr;
}

void World::WaitForStartUp() {
    // The invalidation is queued while the thread runs the children's creation, so the event
    // stays signalled until the thread, done with the invalidation and its remove lock, waits
    // again and finds its queue empty.
    PDEVICE_EXTENSION extension = FdoExtension();
    bool asleep = Eventually([&] {
        return *invalidations_ > 0 &&
               VeltReadAcquire(&extension->WorkQueue.Flink) == &extension->WorkQueue &&
               VeltReadAcquire(&extension->WorkEvent.Header.SignalState) == 0;
    });
    if (!asleep) {
        Fail("the dispatcher never went back to sleep after the start-up");
    }
}

PDEVICE_OBJECT World::Gamepad() const {
    return ReadPublished(&FdoExtension()->GamepadChild);
}

PDEVICE_OBJECT World::Vendor() const {
    return ReadPublished(&FdoExtension()->VendorChild);
}

NTSTATUS NTAPI World::RequestDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    static_cast<Request*>(context)->done = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

Request& World::Send(PDEVICE_OBJECT device, NTSTATUS initialStatus,
                     const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup) {
    requests_.emplace_back();
    Request& request = requests_.back();
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == NULL) {
        Fail("no IRP for a request");
    }
    request.irp = irp;
    irp->IoStatus.Status = initialStatus;
    irp->IoStatus.Information = 0;
    setup(irp, IoGetNextIrpStackLocation(irp));
    IoSetCompletionRoutine(irp, RequestDone, &request, TRUE, TRUE, TRUE);
    request.returned = IofCallDriver(device, irp);
    return request;
}

void World::Drain() {
    bool back = Eventually([&] {
        for (size_t pending; (pending = usb_->PendingReads()) != 0;) {
            usb_->SendInputReport(usb_->NextDefaultReport());
            // A read on another IN endpoint than the first is not served by reports: end it.
            if (usb_->PendingReads() >= pending) {
                usb_->FailPendingReads(STATUS_CANCELLED);
            }
        }
        return Outstanding() == 0;
    });
    if (!back) {
        Fail("a request sent to a child never came back");
    }
}

void World::Forget() {
    for (Request& request : requests_) {
        if (!request.done) {
            Fail("forgetting a request still in flight");
        }
        IoFreeIrp(request.irp);
    }
    requests_.clear();
}

size_t World::Outstanding() const {
    size_t count = 0;
    for (const Request& request : requests_) {
        count += request.done ? 0 : 1;
    }
    return count;
}

BufferKind BufferKindOf(unsigned bits) {
    static const BufferKind kinds[] = {BufferKind::None, BufferKind::Pointer, BufferKind::MdlOnly,
                                       BufferKind::Both};
    return kinds[bits % 4];
}

CallerBuffer::CallerBuffer(BufferKind kind, const Bytes& contents)
    : kind_(kind), size_(contents.size()), data_(new UCHAR[contents.size()]) {
    std::copy(contents.begin(), contents.end(), data_.get());
    if (kind_ == BufferKind::MdlOnly || kind_ == BufferKind::Both) {
        mdl_ = IoAllocateMdl(data_.get(), static_cast<ULONG>(size_), FALSE, FALSE, NULL);
        if (mdl_ == NULL) {
            Fail("no MDL for a caller's buffer");
        }
        MmBuildMdlForNonPagedPool(mdl_);
    }
}

CallerBuffer::~CallerBuffer() {
    if (mdl_ != nullptr) {
        IoFreeMdl(mdl_);
    }
}

PVOID CallerBuffer::Pointer() const {
    return kind_ == BufferKind::Pointer || kind_ == BufferKind::Both ? data_.get() : nullptr;
}

PMDL CallerBuffer::Mdl() const {
    return mdl_;
}

World& SharedWorld() {
    static World* world = [] {
        BootHost();
        auto* started = new World(sim::usb::DefaultController());
        if (!started->WaitForChildren()) {
            Fail("the default controller brought up no children");
        }
        started->WaitForStartUp();
        return started;
    }();
    return *world;
}

} // namespace fuzz
