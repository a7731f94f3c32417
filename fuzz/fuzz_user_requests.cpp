// A hostile program: any control code, transfer method, buffer lengths and addresses, sent from
// user mode to each of the driver's three devices (the FDO, the gamepad child, the vendor child)
// through handles it opened on them, with the FDO started over the default controller. After
// every request the driver must have left its own memory and the program's alone: no stop (a
// touch of a user address stops the host), the three device extensions as they were, the
// program's output buffers as they were, no log line that comes from a buffer (a dump, a
// packet's or a URB's fields: a disclosure even where nothing crashes), and the status the
// request's device gives a program (for the FDO, what the hub's PDO answers it by itself).
#include "user_requests_input.h"
#include "world.h"

#include "sim/app/application.h"

#include <host/host.h>

#include <cstring>
#include <regex>

namespace {

using fuzz::user_requests::Address;
using fuzz::user_requests::Call;
using fuzz::user_requests::Target;

constexpr size_t UserSpaceBytes = 1 << 20;
constexpr size_t MostCallsPerInput = 64;

// A buffer argument as the program passes it.
PVOID Place(sim::app::Application& app, Address kind, ULONG number, const fuzz::Bytes& bytes,
            uint16_t plant, PVOID kernel, PVOID kernelPacket) {
    auto base = reinterpret_cast<uintptr_t>(app.Space().Base());
    size_t size = app.Space().Size();
    switch (kind) {
    case Address::Null:
    case Address::Count:
        return nullptr;
    case Address::Buffer: {
        fuzz::Bytes contents = bytes;
        if (size_t{plant} + sizeof(PVOID) <= contents.size()) {
            std::memcpy(contents.data() + plant, &kernel, sizeof(PVOID));
        }
        return app.Buffer(contents);
    }
    case Address::InSpace:
        return reinterpret_cast<PVOID>(base + number % size);
    case Address::SpaceEnd:
        return reinterpret_cast<PVOID>(base + size - 1 - number % 16);
    case Address::Kernel:
        return kernel;
    case Address::Number:
        return reinterpret_cast<PVOID>(uintptr_t{number});
    case Address::KernelPacket:
        return kernelPacket;
    }
    return nullptr;
}

struct Extensions {
    DEVICE_EXTENSION of[3];
};

Extensions Snapshot(PDEVICE_OBJECT const (&devices)[3]) {
    Extensions snapshot;
    for (size_t i = 0; i < 3; ++i) {
        std::memcpy(&snapshot.of[i], devices[i]->DeviceExtension, sizeof(DEVICE_EXTENSION));
    }
    return snapshot;
}

// The lines the driver may write for a program's request: the fixed line of a code, its lengths,
// and a child's refusal. Nothing that the request's buffers could have supplied.
bool NeedsNoBuffer(const std::string& line) {
    static const std::regex allowed[] = {
        std::regex("VELTDRIVER :       IOCTL_{1,2}HID_[A-Z_]+( up)? *"),
        std::regex(
            "VELTDRIVER :       IOCTL_{1,2}HID_[A-Z_]+( up)? +-?[0-9]+ bytes of data to read, "
            "+-?[0-9]+ returned "),
        std::regex("VELTDRIVER (PDO|: XDO) : DeviceControl : not an internal request, IOCTLCODE "
                   "0x[0-9A-F]+ refused "),
        std::regex("VELTDRIVER DeviceControl: Remove lock failed IOCTL Irp type \\[[0-9a-f]+\\]"),
    };
    for (const std::regex& pattern : allowed) {
        if (std::regex_match(line, pattern)) {
            return true;
        }
    }
    return false;
}

void CheckLog(const Call& call) {
    for (const std::string& line : host::LogTexts()) {
        if (!NeedsNoBuffer(line)) {
            fuzz::Fail("a program's request put a line from a buffer into the log",
                       "code " + std::to_string(call.code) + ": " + line);
        }
    }
}

// `lower` is what the hub's PDO answers the same request by itself.
void Check(const Call& call, const host::UserIoResult& result, const host::UserIoResult& lower) {
    if (!result.sent) {
        if (result.status != STATUS_ACCESS_VIOLATION && result.status != STATUS_ACCESS_DENIED &&
            result.status != STATUS_INSUFFICIENT_RESOURCES) {
            fuzz::Fail("the I/O manager refused a request with an odd status");
        }
        return;
    }
    // The FDO passes a program's request down and the program learns the lower driver's answer;
    // a child refuses it.
    NTSTATUS expected =
        call.target == Target::Fdo ? lower.status : NTSTATUS(STATUS_INVALID_DEVICE_REQUEST);
    if (result.status != expected || result.information != 0) {
        fuzz::Fail("a program's request got an answer its device does not give",
                   "code " + std::to_string(call.code) + " status " +
                       std::to_string(static_cast<unsigned long>(result.status)));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::World& world = fuzz::SharedWorld();
    static const size_t poolAfterStart = host::PoolBytesOutstanding();
    std::vector<Call> calls = fuzz::user_requests::Decode(data, size);
    if (calls.size() > MostCallsPerInput) {
        calls.resize(MostCallsPerInput);
    }
    PDEVICE_OBJECT const devices[3] = {world.Fdo(), world.Gamepad(), world.Vendor()};
    PVOID kernel = devices[0]->DeviceExtension;
    PDEVICE_OBJECT hubPdo = host::AttachedTo(world.Fdo());
    static HID_XFER_PACKET kernelPacket;
    kernelPacket.reportBuffer = static_cast<PUCHAR>(kernel);
    kernelPacket.reportBufferLen = sizeof(DEVICE_EXTENSION);
    kernelPacket.reportId = 1;
    {
        sim::app::Application app(host::Caller::Administrator, UserSpaceBytes);
        int handles[3];
        for (size_t i = 0; i < 3; ++i) {
            handles[i] = app.Open(devices[i]);
            if (handles[i] == 0) {
                fuzz::Fail("an administrator's program could not open one of the devices");
            }
        }
        Extensions before = Snapshot(devices);
        for (const Call& call : calls) {
            PVOID input = Place(app, call.input, call.inputNumber, call.inputBytes, call.inputPlant,
                                kernel, &kernelPacket);
            PVOID output = Place(app, call.output, call.outputNumber, call.outputBytes,
                                 call.outputPlant, kernel, &kernelPacket);
            bool readable = call.output == Address::Buffer && output != nullptr;
            fuzz::Bytes outputBefore =
                readable ? app.Read(output, call.outputBytes.size()) : fuzz::Bytes();
            int handle = handles[static_cast<size_t>(call.target)];
            host::ClearLog();
            host::UserIoResult result =
                app.Control(handle, call.code, input, call.inputLength, output, call.outputLength);
            CheckLog(call);
            host::UserIoResult lower = {};
            if (call.target == Target::Fdo) {
                lower = app.ControlMember(handle, hubPdo, call.code, input, call.inputLength,
                                          output, call.outputLength);
            }
            Check(call, result, lower);
            if (readable && app.Read(output, outputBefore.size()) != outputBefore) {
                fuzz::Fail("a program's output buffer changed, though nothing was returned");
            }
            Extensions after = Snapshot(devices);
            if (std::memcmp(&before, &after, sizeof(before)) != 0) {
                fuzz::Fail("a program's request changed a device extension");
            }
        }
    }
    fuzz::CheckHost("after the program's requests");
    if (host::PoolBytesOutstanding() != poolAfterStart) {
        fuzz::Fail("the program's requests changed the pool in use");
    }
    host::ClearLog();
    return 0;
}
