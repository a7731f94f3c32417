// A hostile or buggy driver above each child: arbitrary control codes, URB functions, header
// lengths, transfer lengths and buffers (by pointer, by MDL alone, by both or none) reach both
// children's device-control routines, with the children live on an FDO started over the default
// controller. One world serves every input; after each one, every request must have come back
// with a sound answer, and the pool must be as the start-up left it.
#include "child_requests_input.h"
#include "world.h"

#include <host/host.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

using fuzz::child_requests::Call;

// What a call left behind for the checks after it came back.
struct Placed {
    Call call;
    std::unique_ptr<fuzz::CallerBuffer> buffer;
    std::unique_ptr<UCHAR[]> urb;
    size_t urbSize = 0;
    HID_XFER_PACKET packet{};
    fuzz::Request* request = nullptr;
};

// The transfer length field of the URB's function, where it has one.
PULONG TransferLengthOf(PURB urb, size_t urbSize) {
    size_t offset;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        offset = offsetof(URB, UrbControlDescriptorRequest.TransferBufferLength);
        break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        offset = offsetof(URB, UrbBulkOrInterruptTransfer.TransferBufferLength);
        break;
    case URB_FUNCTION_CLASS_INTERFACE:
        offset = offsetof(URB, UrbControlVendorClassRequest.TransferBufferLength);
        break;
    case URB_FUNCTION_CONTROL_TRANSFER:
        offset = offsetof(URB, UrbControlTransfer.TransferBufferLength);
        break;
    default:
        return nullptr;
    }
    if (offset + sizeof(ULONG) > urbSize) {
        return nullptr;
    }
    return reinterpret_cast<PULONG>(reinterpret_cast<PUCHAR>(urb) + offset);
}

void Place(fuzz::World& world, Placed& placed) {
    const Call& call = placed.call;
    placed.buffer = std::make_unique<fuzz::CallerBuffer>(call.bufferKind, call.data);
    PDEVICE_OBJECT child = call.vendor ? world.Vendor() : world.Gamepad();
    PVOID argument = nullptr;
    if (call.code == IOCTL_INTERNAL_USB_SUBMIT_URB && !call.nullUrb) {
        URB urb = fuzz::child_requests::BuildUrb(call, *placed.buffer);
        // The URB is exactly as long as its header says (at least a header).
        placed.urbSize = std::max<size_t>(call.headerLength, sizeof(struct _URB_HEADER));
        placed.urb = std::make_unique<UCHAR[]>(placed.urbSize);
        std::memset(placed.urb.get(), 0, placed.urbSize);
        std::memcpy(placed.urb.get(), &urb, std::min(placed.urbSize, sizeof(urb)));
        argument = placed.urb.get();
    }
    PVOID userBuffer = nullptr;
    if (call.packet) {
        placed.packet.reportBuffer = static_cast<PUCHAR>(placed.buffer->Pointer());
        placed.packet.reportBufferLen = placed.packet.reportBuffer ? placed.buffer->Size() : 0;
        placed.packet.reportId = call.reportId;
        userBuffer = &placed.packet;
    }
    UCHAR major = call.deviceControl ? IRP_MJ_DEVICE_CONTROL : IRP_MJ_INTERNAL_DEVICE_CONTROL;
    placed.request = &world.Send(child, STATUS_SUCCESS, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = major;
        stack->Parameters.DeviceIoControl.IoControlCode = call.code;
        stack->Parameters.Others.Argument1 = argument;
        irp->UserBuffer = userBuffer;
    });
}

// A request that came back: the child never claims more data than the caller's buffer holds.
void Check(const Placed& placed) {
    if (placed.urb == nullptr) {
        return;
    }
    auto urb = reinterpret_cast<PURB>(placed.urb.get());
    PULONG length = TransferLengthOf(urb, placed.urbSize);
    if (length == nullptr || placed.request->irp->IoStatus.Status != STATUS_SUCCESS) {
        return;
    }
    bool hasBuffer = placed.buffer->Pointer() != nullptr || placed.buffer->Mdl() != nullptr;
    if (hasBuffer && *length > placed.buffer->Size()) {
        fuzz::Fail("a child reports more bytes than the caller's buffer holds");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::World& world = fuzz::SharedWorld();
    static const size_t poolAfterStart = host::PoolBytesOutstanding();
    std::vector<Placed> placed;
    for (const Call& call : fuzz::child_requests::Decode(data, size)) {
        placed.emplace_back();
        placed.back().call = call;
    }
    for (Placed& one : placed) {
        Place(world, one);
    }
    world.Drain();
    for (const Placed& one : placed) {
        Check(one);
    }
    world.Forget();
    fuzz::CheckHost("after the requests");
    if (host::PoolBytesOutstanding() != poolAfterStart) {
        fuzz::Fail("the requests changed the pool in use");
    }
    host::ClearLog();
    return 0;
}
