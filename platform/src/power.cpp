// The kernel's side of power IRPs: PoCallDriver, the PoStartNextPowerIrp and PoSetPowerState
// bookkeeping, and PoRequestPowerIrp.
#include "kernel.h"

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
    PDEVICE_OBJECT top;
    PIRP irp;
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
// from a kernel thread of its own so that pageable stacks see it at PASSIVE_LEVEL.
VOID NTAPI SendRequestedIrp(PVOID context) {
    auto* request = static_cast<Request*>(context);
    PDEVICE_OBJECT top = request->top;
    PIRP irp = request->irp;
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

// ddi/ntifs/nf-ntifs-pocalldriver: DISPATCH_LEVEL at most; PASSIVE_LEVEL for a device with
// DO_POWER_PAGABLE set, which IoCallDriver checks for every power IRP.
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!DdiIrqlAllowed(Ddi::PoCallDriver)) {
        CheckDdiIrql(Ddi::PoCallDriver, "IRP " + Hex(Irp) + " to device " + Hex(DeviceObject));
    }
    return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    CheckDdiIrql(Ddi::PoStartNextPowerIrp);
    NoteStartNextPowerIrp(Irp);
    std::lock_guard<std::mutex> guard(ThePower().lock);
    ThePower().events.push_back({host::PowerEvent::StartNext, NULL, Irp, SystemPowerState, {}});
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
    CheckDdiIrql(Ddi::PoSetPowerState);
    std::lock_guard<std::mutex> guard(ThePower().lock);
    ThePower().events.push_back({host::PowerEvent::SetState, DeviceObject, NULL, Type, State});
    POWER_STATE previous = ThePower().deviceStates[DeviceObject];
    ThePower().deviceStates[DeviceObject] = State;
    return previous;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp) {
    CheckDdiIrql(Ddi::PoRequestPowerIrp);
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
    // The IRP is the kernel's, allocated now so that the caller gets it (a wait-wake request is
    // cancelled through it), and sent from a thread of the kernel.
    PDRIVER_OBJECT caller = EnterDriver(nullptr);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    EnterDriver(caller);
    if (irp == NULL) {
        ObfDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State = PowerState;
    }
    auto* request =
        new Request{top, irp, DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
    if (Irp != NULL) {
        *Irp = irp;
    }
    if (!NT_SUCCESS(StartKernelThread(SendRequestedIrp, request))) {
        if (Irp != NULL) {
            *Irp = NULL;
        }
        ObfDereferenceObject(top);
        IoFreeIrp(irp);
        delete request;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_PENDING;
}

} // extern "C"
