// A malicious controller: its device, configuration, string and report descriptors, and the
// lengths it reports for them, come from the input. The FDO starts over it, so that
// GetDescriptorData and SetTargetConfiguration run on them; when the children come up, the
// descriptor requests of the input reach them, the vendor child serving the controller's own.
#include "descriptors_input.h"
#include "world.h"

#include <host/host.h>

namespace {

using fuzz::descriptors::Probe;

// One descriptor request from above a child, with a buffer of exactly the length it gives.
void SendProbe(fuzz::World& world, const Probe& probe) {
    PDEVICE_OBJECT child =
        (probe.flags & fuzz::descriptors::ProbeVendor) ? world.Vendor() : world.Gamepad();
    fuzz::CallerBuffer buffer((probe.flags & fuzz::descriptors::ProbeMdlOnly)
                                  ? fuzz::BufferKind::MdlOnly
                                  : fuzz::BufferKind::Pointer,
                              fuzz::Bytes(probe.length, 0xA5));
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbHeader.Function = (probe.flags & fuzz::descriptors::ProbeInterface)
                                 ? URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE
                                 : URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    auto& request = urb.UrbControlDescriptorRequest;
    request.DescriptorType = probe.type;
    request.Index = probe.index;
    request.LanguageId = 0x0409;
    request.TransferBuffer = buffer.Pointer();
    request.TransferBufferMDL = buffer.Mdl();
    request.TransferBufferLength = buffer.Size();
    fuzz::Request& sent = world.Send(child, STATUS_SUCCESS, [&urb](PIRP, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        stack->Parameters.Others.Argument1 = &urb;
    });
    world.Drain();
    if (!sent.done || request.TransferBufferLength > buffer.Size()) {
        fuzz::Fail("a descriptor request reports more bytes than the caller's buffer holds");
    }
    world.Forget();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::descriptors::Scenario scenario = fuzz::descriptors::Decode(data, size);
    fuzz::BootHost();
    {
        fuzz::World world(std::move(scenario.model));
        if (world.WaitForChildren()) {
            for (const Probe& probe : scenario.probes) {
                SendProbe(world, probe);
            }
        }
        fuzz::CheckHost("after the descriptor requests");
    }
    return 0;
}
