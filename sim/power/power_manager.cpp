// The power manager's engine: system IRPs from the caller's thread, one stack at a time, and
// the device IRPs that drivers request from a worker thread of its own.
#include "power_manager.h"

#include <algorithm>

namespace sim::power {

struct PowerManager::Request {
    PowerManager* manager = nullptr;
    PDEVICE_OBJECT device = nullptr; // what the driver asked for
    PDEVICE_OBJECT top = nullptr;    // referenced until the IRP is back
    PIRP irp = nullptr;
    UCHAR minor = 0;
    POWER_STATE state{};
    PREQUEST_POWER_COMPLETE completion = nullptr;
    PVOID context = nullptr;
    size_t index = 0;
};

namespace {

// Not in the host's headers; values of the WDK's ntstatus.h.
constexpr NTSTATUS StatusIoTimeout = static_cast<NTSTATUS>(0xC00000B5L);
constexpr NTSTATUS StatusInvalidParameter2 = static_cast<NTSTATUS>(0xC00000F0L);

// How long the manager waits for one system IRP before it counts it as lost.
constexpr auto SystemIrpTimeout = std::chrono::seconds(30);

// One system IRP the caller waits for.
struct SystemWait {
    std::mutex lock;
    std::condition_variable done;
    bool back = false;
};

NTSTATUS NTAPI SystemIrpDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    auto* wait = static_cast<SystemWait*>(Context);
    // Under the lock: the waiter frees the block as soon as it sees the IRP back.
    std::lock_guard<std::mutex> guard(wait->lock);
    wait->back = true;
    wait->done.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

POWER_ACTION ActionOf(SYSTEM_POWER_STATE state) {
    if (state == PowerSystemHibernate) {
        return PowerActionHibernate;
    }
    if (state == PowerSystemShutdown) {
        return PowerActionShutdown;
    }
    return PowerActionSleep;
}

} // namespace

// The device IRP is back, at whatever level its last driver completed it: the requester's
// completion function runs, then the manager frees the IRP it allocated.
NTSTATUS NTAPI RequestedIrpDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* request = static_cast<PowerManager::Request*>(Context);
    NTSTATUS status = Irp->IoStatus.Status;
    if (request->completion != NULL) {
        request->completion(request->device, request->minor, request->state, request->context,
                            &Irp->IoStatus);
    }
    IoFreeIrp(Irp);
    ObDereferenceObject(request->top);
    request->manager->Returned(request->index, status);
    delete request;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PowerManager::PowerManager(const pnp::PnpManager& pnp) : PowerManager() {
    pnp_ = &pnp;
}

PowerManager::PowerManager() : pnp_(nullptr) {
    worker_ = std::thread([this] { WorkerMain(); });
    host::SetPowerRequestHandler([this](PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                        PREQUEST_POWER_COMPLETE completion, PVOID context) {
        return OnRequest(device, minor, state, completion, context);
    });
}

PowerManager::~PowerManager() {
    WaitRequests();
    host::SetPowerRequestHandler(nullptr);
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

NTSTATUS PowerManager::Sleep(SYSTEM_POWER_STATE state) {
    std::vector<PDEVICE_OBJECT> devices = ActiveDevices();
    std::reverse(devices.begin(), devices.end());
    {
        std::lock_guard<std::mutex> guard(lock_);
        lastAction_ = ActionOf(state);
    }
    std::vector<PDEVICE_OBJECT> asked;
    for (PDEVICE_OBJECT pdo : devices) {
        asked.push_back(pdo);
        NTSTATUS status = SendSystemIrp(pdo, IRP_MN_QUERY_POWER, state);
        if (!NT_SUCCESS(status)) {
            // A veto: the devices asked so far learn that the system stays in S0.
            for (auto it = asked.rbegin(); it != asked.rend(); ++it) {
                SendSystemIrp(*it, IRP_MN_SET_POWER, PowerSystemWorking);
            }
            WaitRequests();
            return status;
        }
    }
    NTSTATUS result = STATUS_SUCCESS;
    for (PDEVICE_OBJECT pdo : devices) {
        NTSTATUS status = SendSystemIrp(pdo, IRP_MN_SET_POWER, state);
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) {
            result = status;
        }
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        systemState_ = state;
    }
    WaitRequests();
    return result;
}

NTSTATUS PowerManager::Resume() {
    NTSTATUS result = STATUS_SUCCESS;
    for (PDEVICE_OBJECT pdo : ActiveDevices()) {
        NTSTATUS status = SendSystemIrp(pdo, IRP_MN_SET_POWER, PowerSystemWorking);
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) {
            result = status;
        }
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        systemState_ = PowerSystemWorking;
    }
    WaitRequests();
    return result;
}

NTSTATUS PowerManager::SendSystemIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
    host::IrqlScope passive(PASSIVE_LEVEL);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == NULL) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    POWER_ACTION action;
    {
        std::lock_guard<std::mutex> guard(lock_);
        action = lastAction_;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minor;
    stack->Parameters.Power.Type = SystemPowerState;
    stack->Parameters.Power.State.SystemState = state;
    stack->Parameters.Power.ShutdownType = action;
    auto* wait = new SystemWait;
    IoSetCompletionRoutine(irp, SystemIrpDone, wait, TRUE, TRUE, TRUE);
    SentIrp record;
    record.device = pdo;
    record.minor = minor;
    record.type = SystemPowerState;
    record.state.SystemState = state;
    size_t index = Record(record);
    PoCallDriver(top, irp);
    bool back;
    {
        std::unique_lock<std::mutex> guard(wait->lock);
        back = wait->done.wait_for(guard, SystemIrpTimeout, [wait] { return wait->back; });
    }
    ObDereferenceObject(top);
    if (!back) {
        // Lost: a driver kept it. The record stays outstanding and the IRP is left to it.
        return StatusIoTimeout;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    delete wait;
    Returned(index, status);
    return status;
}

// Up to DISPATCH_LEVEL, in the requester's context: the IRP is allocated here, so that a
// failure reaches the requester as PoRequestPowerIrp's status, and sent by the worker.
NTSTATUS PowerManager::OnRequest(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                 PREQUEST_POWER_COMPLETE completion, PVOID context) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (failCount_ > 0) {
            --failCount_;
            return failStatus_;
        }
    }
    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE) {
        return StatusInvalidParameter2;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == NULL) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State = state;
    }
    auto* request = new Request;
    request->manager = this;
    request->device = device;
    request->top = top;
    request->irp = irp;
    request->minor = minor;
    request->state = state;
    request->completion = completion;
    request->context = context;
    IoSetCompletionRoutine(irp, RequestedIrpDone, request, TRUE, TRUE, TRUE);
    SentIrp record;
    record.device = device;
    record.minor = minor;
    record.type = DevicePowerState;
    record.state = state;
    record.requested = true;
    request->index = Record(record);
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++requests_;
        ++requestsOut_;
        queue_.push_back(request);
    }
    changed_.notify_all();
    return STATUS_PENDING;
}

void PowerManager::WorkerMain() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;
        }
        Request* request = queue_.front();
        queue_.pop_front();
        sending_ = true;
        guard.unlock();
        {
            host::IrqlScope passive(PASSIVE_LEVEL);
            PoCallDriver(request->top, request->irp);
        }
        guard.lock();
        sending_ = false;
        changed_.notify_all();
    }
}

size_t PowerManager::Record(const SentIrp& irp) {
    std::lock_guard<std::mutex> guard(lock_);
    sent_.push_back(irp);
    return sent_.size() - 1;
}

// Notifies under the lock: a waiter may destroy the manager as soon as the count says so.
void PowerManager::Returned(size_t index, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(lock_);
    sent_[index].returned = true;
    sent_[index].status = status;
    if (sent_[index].requested) {
        --requestsOut_;
    }
    changed_.notify_all();
}

void PowerManager::FailRequests(NTSTATUS status, unsigned count) {
    std::lock_guard<std::mutex> guard(lock_);
    failStatus_ = status;
    failCount_ = count;
}

bool PowerManager::WaitRequests(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout,
                             [this] { return requestsOut_ == 0 && queue_.empty() && !sending_; });
}

SYSTEM_POWER_STATE PowerManager::SystemState() const {
    std::lock_guard<std::mutex> guard(lock_);
    return systemState_;
}

std::vector<DEVICE_POWER_STATE> PowerManager::DeviceStates(PDEVICE_OBJECT device) {
    std::vector<DEVICE_POWER_STATE> states;
    for (const host::PowerEvent& event : host::PowerEvents()) {
        if (event.kind == host::PowerEvent::SetState && event.device == device &&
            event.type == DevicePowerState) {
            states.push_back(event.state.DeviceState);
        }
    }
    return states;
}

DEVICE_POWER_STATE PowerManager::DeviceState(PDEVICE_OBJECT device) {
    std::vector<DEVICE_POWER_STATE> states = DeviceStates(device);
    return states.empty() ? PowerDeviceUnspecified : states.back();
}

std::vector<SentIrp> PowerManager::Sent() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sent_;
}

size_t PowerManager::Requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

size_t PowerManager::Outstanding() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<size_t>(
        std::count_if(sent_.begin(), sent_.end(), [](const SentIrp& s) { return !s.returned; }));
}

std::vector<PDEVICE_OBJECT> PowerManager::ActiveDevices() const {
    std::vector<PDEVICE_OBJECT> devices;
    if (pnp_ == nullptr) {
        return devices;
    }
    for (const pnp::DeviceNode& node : pnp_->Tree()) {
        if (node.state == pnp::NodeState::Started || node.state == pnp::NodeState::Stopped) {
            devices.push_back(node.pdo);
        }
    }
    return devices;
}

} // namespace sim::power
