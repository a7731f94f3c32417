// The controller's side of the repeated transfers: both children's interrupt transfers (and the
// vendor child's class requests) reach the default controller, which answers them with input
// reports of any length, or ends them with any status: cancelled, device gone, stalled, or
// statuses no USB stack should return. Every transfer must come back to its caller with a sound
// result: a success or STATUS_NO_SUCH_DEVICE, no more bytes than the caller asked for, and the
// child's own pipe handle.
#include "emulation/urb_child.h"
#include "repeater_input.h"
#include "world.h"

#include <host/host.h>

#include <memory>

namespace {

using fuzz::repeater::Step;

struct Placed {
    Step step;
    URB urb{};
    std::unique_ptr<fuzz::CallerBuffer> buffer;
    fuzz::Request* request = nullptr;
};

void Place(fuzz::World& world, Placed& placed) {
    const Step& step = placed.step;
    placed.buffer = std::make_unique<fuzz::CallerBuffer>(step.bufferKind, step.data);
    PDEVICE_OBJECT child =
        step.vendor || step.op == fuzz::repeater::ClassOp ? world.Vendor() : world.Gamepad();
    URB& urb = placed.urb;
    if (step.op == fuzz::repeater::ClassOp) {
        urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        urb.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
        auto& request = urb.UrbControlVendorClassRequest;
        request.TransferFlags = step.in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0;
        request.TransferBuffer = placed.buffer->Pointer();
        request.TransferBufferMDL = placed.buffer->Mdl();
        request.TransferBufferLength = step.length;
        request.Request = step.request;
        request.Value = step.value;
    } else {
        urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        auto& transfer = urb.UrbBulkOrInterruptTransfer;
        transfer.TransferFlags = step.in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0;
        transfer.TransferBuffer = placed.buffer->Pointer();
        transfer.TransferBufferMDL = placed.buffer->Mdl();
        transfer.TransferBufferLength = step.length;
    }
    placed.request = &world.Send(child, step.initialStatus, [&urb](PIRP, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        stack->Parameters.Others.Argument1 = &urb;
    });
}

// A transfer that came back carries a success, a status that says the device or its FDO is going
// away (STATUS_NO_SUCH_DEVICE, STATUS_DEVICE_NOT_CONNECTED, STATUS_DELETE_PENDING), or
// STATUS_CANCELLED when its caller cancelled it; it reports no more bytes than its caller asked
// for, and the child's own pipe handle.
void Check(const Placed& placed) {
    const Step& step = placed.step;
    if (step.op != fuzz::repeater::TransferOp) {
        return;
    }
    PIRP irp = placed.request->irp;
    NTSTATUS status = irp->IoStatus.Status;
    bool goingAway = status == STATUS_NO_SUCH_DEVICE || status == STATUS_DEVICE_NOT_CONNECTED ||
                     status == STATUS_DELETE_PENDING;
    if (status != STATUS_SUCCESS && !goingAway && !(status == STATUS_CANCELLED && irp->Cancel)) {
        fuzz::Fail("a repeated transfer came back with a status other than success or gone");
    }
    const auto& transfer = placed.urb.UrbBulkOrInterruptTransfer;
    if (transfer.TransferBufferLength > step.length) {
        fuzz::Fail("a repeated transfer reports more bytes than its caller asked for");
    }
    const CHILD_PROFILE* profile = step.vendor ? &VendorProfile : &GamepadProfile;
    ULONG_PTR expected =
        profile->Emulation->Interface.Pipes[step.in ? EMULATED_IN_PIPE : EMULATED_OUT_PIPE]
            .PipeHandle;
    if (reinterpret_cast<ULONG_PTR>(transfer.PipeHandle) != expected) {
        fuzz::Fail("a repeated transfer came back without the child's pipe handle");
    }
}

void Act(fuzz::World& world, std::vector<Placed>& placed, Placed& one) {
    const Step& step = one.step;
    switch (step.op) {
    case fuzz::repeater::TransferOp:
    case fuzz::repeater::ClassOp:
        Place(world, one);
        break;
    case fuzz::repeater::ReportOp:
        world.Controller().SendInputReport(step.data);
        break;
    case fuzz::repeater::FailOp:
        world.Controller().FailPendingReads(step.status, step.usbdStatus);
        break;
    case fuzz::repeater::CancelOp: {
        std::vector<PIRP> inFlight;
        for (const Placed& other : placed) {
            if (other.request != nullptr && !other.request->done) {
                inFlight.push_back(other.request->irp);
            }
        }
        if (!inFlight.empty()) {
            IoCancelIrp(inFlight[step.which % inFlight.size()]);
        }
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::World& world = fuzz::SharedWorld();
    static const size_t poolAfterStart = host::PoolBytesOutstanding();
    std::vector<Placed> placed;
    for (Step& step : fuzz::repeater::Decode(data, size)) {
        placed.emplace_back();
        placed.back().step = std::move(step);
    }
    for (Placed& one : placed) {
        Act(world, placed, one);
    }
    world.Drain();
    for (const Placed& one : placed) {
        Check(one);
    }
    world.Forget();
    fuzz::CheckHost("after the transfers");
    LONG counter = InputFrameCounter;
    if (counter < 0 || counter >= FRAME_COUNTER_WRAP || counter % FRAME_COUNTER_STEP != 0) {
        fuzz::Fail("the frame counter left its cycle");
    }
    if (host::PoolBytesOutstanding() != poolAfterStart) {
        fuzz::Fail("the transfers changed the pool in use");
    }
    host::ClearLog();
    return 0;
}
