// The kernel's side of power IRPs: PoCallDriver, the PoStartNextPowerIrp and PoSetPowerState
// bookkeeping, and PoRequestPowerIrp.
#include "kernel.h"

#include <thread>

namespace host::detail {
namespace {

struct PowerState {
    std::mutex lock;
    std::vector<PowerEvent> events;
    PowerRequestHandler handler;
    std::map<PDEVICE_OBJECT, POWER_STATE> deviceStates;
};

PowerState& ThePower() {
    static PowerState* power = new PowerState; // never destroyed: detached threads may outlive exit
    return *power;
}

struct Request {
    PDEVICE_OBJECT device;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
};

NTSTATUS NTAPI RequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* request = static_cast<Request*>(Context);
    if (request->completion != NULL) {
        request->completion(request->device, request->minor, request->state, request->context,
                            &Irp->IoStatus);
    }
    IoFreeIrp(Irp);
    delete request;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Without a power manager the kernel itself sends the requested IRP to the top of the stack,
// from a worker so that pageable stacks see it at PASSIVE_LEVEL.
void SendRequestedIrp(Request* request) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(request->device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == NULL) {
        IO_STATUS_BLOCK failed{};
        failed.Status = STATUS_INSUFFICIENT_RESOURCES;
        if (request->completion != NULL) {
            request->completion(request->device, request->minor, request->state, request->context,
                                &failed);
        }
        delete request;
        ObfDereferenceObject(top);
        return;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = request->minor;
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State = request->state;
    IoSetCompletionRoutine(irp, RequestComplete, request, TRUE, TRUE, TRUE);
    PoCallDriver(top, irp);
    ObfDereferenceObject(top);
}

} // namespace

void ResetPower() {
    std::lock_guard<std::mutex> guard(ThePower().lock);
    ThePower().events.clear();
    ThePower().handler = nullptr;
    ThePower().deviceStates.clear();
}

} // namespace host::detail

namespace host {

std::vector<PowerEvent> PowerEvents() {
    std::lock_guard<std::mutex> guard(detail::ThePower().lock);
    return detail::ThePower().events;
}

void SetPowerRequestHandler(PowerRequestHandler handler) {
    std::lock_guard<std::mutex> guard(detail::ThePower().lock);
    detail::ThePower().handler = std::move(handler);
}

} // namespace host

using namespace host::detail;

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    NoteStartNextPowerIrp(Irp);
    std::lock_guard<std::mutex> guard(ThePower().lock);
    ThePower().events.push_back({host::PowerEvent::StartNext, NULL, Irp, SystemPowerState, {}});
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
    std::lock_guard<std::mutex> guard(ThePower().lock);
    ThePower().events.push_back({host::PowerEvent::SetState, DeviceObject, NULL, Type, State});
    POWER_STATE previous = ThePower().deviceStates[DeviceObject];
    ThePower().deviceStates[DeviceObject] = State;
    return previous;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp) {
    if (Irp != NULL) {
        *Irp = NULL;
    }
    host::PowerRequestHandler handler;
    {
        std::lock_guard<std::mutex> guard(ThePower().lock);
        handler = ThePower().handler;
    }
    if (handler) {
        return handler(DeviceObject, MinorFunction, PowerState, CompletionFunction, Context);
    }
    if (ShouldFail(host::Alloc::Irp)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* request =
        new Request{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
    std::thread(SendRequestedIrp, request).detach();
    return STATUS_PENDING;
}

} // extern "C"
