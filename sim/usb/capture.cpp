// USB traffic as USBPcap writes it: a pcap file of link type 249 whose packets are a packed
// little-endian header (27 bytes; 28 with the control stage) and the transfer's data.
#include "sim/usb/capture.h"

#include "sim/usb/urb_engine.h"

#include <host/host.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>

namespace sim::usb {

namespace {

constexpr uint32_t PcapMagic = 0xA1B2C3D4;
constexpr uint32_t SnapLength = 65535;
constexpr uint32_t LinkTypeUsbPcap = 249;

constexpr USHORT PacketHeaderLength = 27;
constexpr USHORT ControlHeaderLength = 28;
constexpr UCHAR InfoPdoToFdo = 0x01; // the packet is a completion

// Transfer types of the format.
constexpr UCHAR TransferIsochronous = 0;
constexpr UCHAR TransferInterrupt = 1;
constexpr UCHAR TransferControl = 2;
constexpr UCHAR TransferBulk = 3;
constexpr UCHAR TransferIrpInfo = 0xFE;
constexpr UCHAR TransferUnknown = 0xFF;

// Control stages.
constexpr UCHAR StageSetup = 0;
constexpr UCHAR StageComplete = 3;

constexpr UCHAR GetDescriptor = 0x06;
constexpr UCHAR SetConfiguration = 0x09;

void Put(std::string& out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

struct Control {
    UCHAR setup[8];
    PVOID buffer;
    PMDL mdl;
    ULONG length;
};

void SetSetup(Control& control, UCHAR requestType, UCHAR request, USHORT value, USHORT index) {
    const UCHAR setup[8] = {requestType,
                            request,
                            static_cast<UCHAR>(value),
                            static_cast<UCHAR>(value >> 8),
                            static_cast<UCHAR>(index),
                            static_cast<UCHAR>(index >> 8),
                            static_cast<UCHAR>(control.length),
                            static_cast<UCHAR>(control.length >> 8)};
    memcpy(control.setup, setup, sizeof(setup));
}

// The length of the structure each function's URB is read as: a URB whose header says it is
// shorter is recorded by its header alone, since its fields may lie beyond what its sender owns.
// Functions not listed are read by their header only. (_URB_HEADER, _URB_SELECT_CONFIGURATION and
// friends on Microsoft Learn: UrbHeader.Length is the size of the whole URB.)
struct UrbLayout {
    USHORT function;
    size_t length;
};

constexpr UrbLayout kUrbLayouts[] = {
    {URB_FUNCTION_SELECT_CONFIGURATION, offsetof(struct _URB_SELECT_CONFIGURATION, Interface)},
    {URB_FUNCTION_ABORT_PIPE, sizeof(struct _URB_PIPE_REQUEST)},
    {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sizeof(struct _URB_PIPE_REQUEST)},
    {URB_FUNCTION_SYNC_RESET_PIPE, sizeof(struct _URB_PIPE_REQUEST)},
    {URB_FUNCTION_SYNC_CLEAR_STALL, sizeof(struct _URB_PIPE_REQUEST)},
    {URB_FUNCTION_CONTROL_TRANSFER, sizeof(struct _URB_CONTROL_TRANSFER)},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)},
    {URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_VENDOR_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_VENDOR_ENDPOINT, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_VENDOR_OTHER, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_CLASS_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_CLASS_ENDPOINT, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
    {URB_FUNCTION_CLASS_OTHER, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)},
};

// Whether the URB is long enough to be read as a URB of `function`.
bool Fits(const URB* urb, USHORT function) {
    for (const UrbLayout& layout : kUrbLayouts) {
        if (layout.function == function) {
            return urb->UrbHeader.Length >= layout.length;
        }
    }
    return true;
}

// The setup packet and data buffer of a URB that travels as a control transfer, read as a URB of
// `function`: a bus driver may change the Function of a URB it completes, and the request it
// answered is the one that was submitted. None for a URB too short for that function.
std::optional<Control> ControlOf(const URB* urb, USHORT function) {
    if (!Fits(urb, function)) {
        return std::nullopt;
    }
    Control control{};
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
        const auto& request = urb->UrbControlDescriptorRequest;
        control.buffer = request.TransferBuffer;
        control.mdl = request.TransferBufferMDL;
        control.length = request.TransferBufferLength;
        SetSetup(control, static_cast<UCHAR>(0x80 | UrbRecipient(function)), GetDescriptor,
                 static_cast<USHORT>((request.DescriptorType << 8) | request.Index),
                 request.LanguageId);
        return control;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
        const auto& request = urb->UrbControlVendorClassRequest;
        bool vendor =
            function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_VENDOR_INTERFACE ||
            function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
        control.buffer = request.TransferBuffer;
        control.mdl = request.TransferBufferMDL;
        control.length = request.TransferBufferLength;
        SetSetup(control,
                 static_cast<UCHAR>((USBD_TRANSFER_DIRECTION(request.TransferFlags) ? 0x80 : 0) |
                                    (vendor ? 0x40 : 0x20) | UrbRecipient(function)),
                 request.Request, request.Value, request.Index);
        return control;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
        const auto& request = urb->UrbControlTransfer;
        control.buffer = request.TransferBuffer;
        control.mdl = request.TransferBufferMDL;
        control.length = request.TransferBufferLength;
        memcpy(control.setup, request.SetupPacket, sizeof(control.setup));
        return control;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        const auto& select = urb->UrbSelectConfiguration;
        UCHAR value = select.ConfigurationDescriptor != NULL
                          ? select.ConfigurationDescriptor->bConfigurationValue
                          : 0;
        SetSetup(control, 0x00, SetConfiguration, value, 0);
        return control;
    }
    default:
        return std::nullopt;
    }
}

// What a transfer buffer holds: `length` bytes, no more than an MDL-only buffer describes (a URB's
// length is its sender's word), and as many of them as fit a packet.
struct Data {
    std::string bytes;
    ULONG length = 0; // what travelled, before the packet's room cut it
};

Data DataOf(PVOID buffer, PMDL mdl, ULONG length) {
    if (buffer == NULL && mdl != NULL) {
        buffer = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
        length = std::min<ULONG>(length, MmGetMdlByteCount(mdl));
    }
    if (buffer == NULL) {
        return {};
    }
    ULONG room = SnapLength - ControlHeaderLength - sizeof(Control::setup);
    return {std::string(static_cast<const char*>(buffer), std::min(length, room)), length};
}

UCHAR TransferTypeOf(USBD_PIPE_TYPE type) {
    switch (type) {
    case UsbdPipeTypeControl:
        return TransferControl;
    case UsbdPipeTypeIsochronous:
        return TransferIsochronous;
    case UsbdPipeTypeBulk:
        return TransferBulk;
    default:
        return TransferInterrupt;
    }
}

} // namespace

UsbCapture::UsbCapture(const std::string& path) {
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        return;
    }
    auto now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    startMicroseconds_ = now.count() - host::KernelTime() / 10;
    std::string header;
    Put(header, PcapMagic, 4);
    Put(header, 2, 2); // version 2.4
    Put(header, 4, 2);
    Put(header, 0, 4); // GMT
    Put(header, 0, 4); // timestamp accuracy
    Put(header, SnapLength, 4);
    Put(header, LinkTypeUsbPcap, 4);
    ok_ = std::fwrite(header.data(), 1, header.size(), file_) == header.size();
}

UsbCapture::~UsbCapture() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool UsbCapture::Ok() const {
    std::lock_guard<std::mutex> guard(lock_);
    return ok_ && file_ != nullptr && std::fflush(file_) == 0;
}

size_t UsbCapture::Packets() const {
    std::lock_guard<std::mutex> guard(lock_);
    return packets_;
}

void UsbCapture::Submitted(USHORT bus, USHORT address, const void* request, const URB* urb) {
    Record(bus, address, request, urb, false);
}

void UsbCapture::Completed(USHORT bus, USHORT address, const void* request, const URB* urb) {
    Record(bus, address, request, urb, true);
}

// The endpoint of a pipe handle on a device, as the last configuration selection told it.
std::optional<UsbCapture::Pipe> UsbCapture::PipeOf(const DeviceKey& device,
                                                   USBD_PIPE_HANDLE handle) const {
    auto pipes = pipes_.find(device);
    if (pipes == pipes_.end()) {
        return std::nullopt;
    }
    auto pipe = pipes->second.find(handle);
    if (pipe == pipes->second.end()) {
        return std::nullopt;
    }
    return pipe->second;
}

// Builds the packet of one submission or completion: the header, for control transfers the
// stage (setup on the way down, complete on the way back) with the setup packet, then the data
// that travelled in that direction. A completion is described by its submission (function,
// endpoint, direction, setup packet and buffer length); only its status, length and data are its
// own, and its data no longer than what was submitted.
void UsbCapture::Record(USHORT bus, USHORT address, const void* request, const URB* urb,
                        bool completed) {
    if (urb == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (file_ == nullptr) {
        return;
    }
    DeviceKey device{bus, address};
    RequestKey key{device, request};
    Submission submission = Describe(device, urb);
    auto submitted = submissions_.find(key);
    if (completed && submitted != submissions_.end()) {
        // A request sent again with another URB is a new transfer, whatever came before.
        if (submitted->second.urb == urb) {
            submission = submitted->second;
        }
        submissions_.erase(submitted);
    } else if (!completed) {
        submissions_[key] = submission;
    }
    std::optional<Control> control = ControlOf(urb, submission.function);
    bool in = (submission.endpoint & 0x80) != 0;
    std::string prefix;
    Data data;
    if (control) {
        if (!completed) {
            prefix.assign(reinterpret_cast<const char*>(submission.setup),
                          sizeof(submission.setup));
        }
        if (in == completed) {
            data =
                DataOf(control->buffer, control->mdl, std::min(control->length, submission.length));
        }
    } else if (submission.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
               Fits(urb, submission.function) && in == completed) {
        const auto& transfer = urb->UrbBulkOrInterruptTransfer;
        data = DataOf(transfer.TransferBuffer, transfer.TransferBufferMDL,
                      std::min(transfer.TransferBufferLength, submission.length));
    }
    if (completed && submission.function == URB_FUNCTION_SELECT_CONFIGURATION &&
        urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION && control &&
        USBD_SUCCESS(urb->UrbHeader.Status)) {
        LearnPipes(device, urb);
    }

    std::string packet;
    Put(packet, control ? ControlHeaderLength : PacketHeaderLength, 2);
    Put(packet, reinterpret_cast<uintptr_t>(request), 8);
    Put(packet, completed ? static_cast<uint32_t>(urb->UrbHeader.Status) : 0, 4);
    Put(packet, urb->UrbHeader.Function, 2);
    Put(packet, completed ? InfoPdoToFdo : 0, 1);
    Put(packet, bus, 2);
    Put(packet, address, 2);
    Put(packet, submission.endpoint, 1);
    Put(packet, submission.transfer, 1);
    // The length that travelled, even where the packet's room cut the bytes short.
    uint64_t length = prefix.size() + static_cast<uint64_t>(data.length);
    Put(packet, std::min<uint64_t>(length, UINT32_MAX), 4);
    if (control) {
        Put(packet, completed ? StageComplete : StageSetup, 1);
    }
    uint64_t whole = packet.size() + length;
    packet += prefix;
    packet += data.bytes;
    Write(packet, whole);
}

// What a URB asks for as it is submitted: its function, the endpoint and transfer type it
// travels on, its buffer length and, for a control transfer, its setup packet. A URB too short
// for its function is told by its header alone.
UsbCapture::Submission UsbCapture::Describe(const DeviceKey& device, const URB* urb) const {
    Submission submission;
    submission.urb = urb;
    submission.function = urb->UrbHeader.Function;
    submission.transfer = TransferIrpInfo;
    if (!Fits(urb, submission.function)) {
        return submission;
    }
    std::optional<Control> control = ControlOf(urb, submission.function);
    if (control) {
        memcpy(submission.setup, control->setup, sizeof(submission.setup));
        submission.endpoint = (control->setup[0] & 0x80) != 0 ? 0x80 : 0x00;
        submission.transfer = TransferControl;
        submission.length = control->length;
    } else if (submission.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        const auto& transfer = urb->UrbBulkOrInterruptTransfer;
        submission.endpoint = USBD_TRANSFER_DIRECTION(transfer.TransferFlags) != 0 ? 0x80 : 0x00;
        submission.transfer = TransferUnknown;
        submission.length = transfer.TransferBufferLength;
        if (std::optional<Pipe> pipe = PipeOf(device, transfer.PipeHandle)) {
            submission.endpoint = pipe->endpoint;
            submission.transfer = pipe->transfer;
        }
    } else if (submission.function == URB_FUNCTION_ABORT_PIPE ||
               submission.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
               submission.function == URB_FUNCTION_SYNC_RESET_PIPE ||
               submission.function == URB_FUNCTION_SYNC_CLEAR_STALL) {
        if (std::optional<Pipe> pipe = PipeOf(device, urb->UrbPipeRequest.PipeHandle)) {
            submission.endpoint = pipe->endpoint;
        }
    }
    return submission;
}

// The pipes a successful configuration selection handed out replace the device's earlier ones.
void UsbCapture::LearnPipes(const DeviceKey& device, const URB* urb) {
    std::map<const void*, Pipe>& pipes = pipes_[device];
    pipes.clear();
    const auto* position = reinterpret_cast<const UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    const auto* end = reinterpret_cast<const UCHAR*>(urb) + urb->UrbHeader.Length;
    while (position + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        const auto* info = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(position);
        if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) ||
            info->Length > static_cast<size_t>(end - position)) {
            return;
        }
        size_t room = (info->Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) /
                      sizeof(USBD_PIPE_INFORMATION);
        for (ULONG i = 0; i < info->NumberOfPipes && i < room; ++i) {
            const USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
            pipes[pipe.PipeHandle] = Pipe{pipe.EndpointAddress, TransferTypeOf(pipe.PipeType)};
        }
        position += info->Length;
    }
}

// One pcap record: `packet` as captured (incl_len) of a packet `whole` bytes long (orig_len).
void UsbCapture::Write(const std::string& packet, uint64_t whole) {
    int64_t at = startMicroseconds_ + host::KernelTime() / 10;
    std::string record;
    Put(record, static_cast<uint64_t>(at / 1000000), 4);
    Put(record, static_cast<uint64_t>(at % 1000000), 4);
    Put(record, packet.size(), 4);
    Put(record, std::min<uint64_t>(whole, UINT32_MAX), 4);
    record += packet;
    if (std::fwrite(record.data(), 1, record.size(), file_) != record.size()) {
        ok_ = false;
    }
    packets_++;
}

} // namespace sim::usb
