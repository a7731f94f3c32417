// The URB side of the USB bus for one device, with a controller model behind it.
#include "sim/usb/urb_engine.h"

#include "sim/usb/failure_statuses.h"

#include <host/host.h>
#include <usbdlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace sim::usb {

namespace {

constexpr ULONG AddressOffset = 49;
constexpr UCHAR OnCode[] = {'Q', 'V', 'K', 'D'};
constexpr size_t CommandCodeOffset = 15;
constexpr UCHAR GetDescriptor = 0x06;
constexpr UCHAR SetConfiguration = 0x09;

PVOID BufferOf(PVOID buffer, PMDL mdl) {
    if (buffer == NULL && mdl != NULL) {
        return MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    }
    return buffer;
}

PURB UrbOf(PIRP irp) {
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

// Where a control request that the device NAKs waits: the default pipe's IN address, which no
// interrupt or bulk endpoint has.
constexpr UCHAR DefaultPipeMarker = 0x80;
// The completion queues of the bus thread: one per endpoint address, the default pipe's (0) for
// every control transfer, and one for what the hub answers itself (a port status), which no
// endpoint address can be (bits 4 to 6 are reserved).
constexpr UCHAR DefaultPipeQueue = 0x00;
constexpr UCHAR HubQueue = 0xFF;

// The requests that travel on the default pipe as control transfers.
bool UsesDefaultPipe(USHORT function) {
    switch (function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_ISOCH_TRANSFER:
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return false;
    default:
        return true;
    }
}

// A request that fails or is cancelled has moved no data: the length of its transfer buffer
// becomes 0. Requests without a transfer buffer (a configuration selection among them) keep
// every field as it was.
void ClearTransferLength(PURB urb) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_CONTROL_TRANSFER:
        urb->UrbControlTransfer.TransferBufferLength = 0;
        break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        break;
    case URB_FUNCTION_ISOCH_TRANSFER:
        urb->UrbIsochronousTransfer.TransferBufferLength = 0;
        break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
        break;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
        urb->UrbControlVendorClassRequest.TransferBufferLength = 0;
        break;
    default:
        break;
    }
}

// A counter-based hash (SplitMix64's finaliser), so that a delay depends only on the seed, the
// queue and the request's number on it, not on which thread drew before.
uint64_t Mix(uint64_t value) {
    value += 0x9E3779B97F4A7C15ULL;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
    return value ^ (value >> 31);
}

// The delay of the n-th completion on a queue: bits 0 and 1 pick no delay (one in four), bits 8
// to 15 the number of microframes.
LONGLONG BusDelay(uint64_t seed, UCHAR queue, uint64_t n) {
    uint64_t bits = Mix(Mix(seed) ^ Mix((static_cast<uint64_t>(queue) << 56) ^ n));
    if ((bits & 3) == 0) {
        return 0;
    }
    return kBusDelayMicroframe *
           static_cast<LONGLONG>(1 + ((bits >> 8) & 0xFF) % kBusDelayMaxMicroframes);
}

// A descriptor read changes nothing on the device: cancelling it after the fact loses nothing.
bool ReadsDescriptor(USHORT function) {
    return function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
           function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ||
           function == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT;
}

bool IsClass(USHORT function) {
    return function == URB_FUNCTION_CLASS_DEVICE || function == URB_FUNCTION_CLASS_INTERFACE ||
           function == URB_FUNCTION_CLASS_ENDPOINT || function == URB_FUNCTION_CLASS_OTHER;
}

std::mutex g_busWritesLock;
std::map<const void*, Bytes> g_busWrites;

void RecordBusWrite(const void* buffer, const UCHAR* data, ULONG count) {
    std::lock_guard<std::mutex> guard(g_busWritesLock);
    g_busWrites[buffer] = Bytes(data, data + count);
}

// The descriptors inside a configuration: the interface descriptor (number, alternate) and
// the endpoints that follow it, or nothing.
struct InterfaceView {
    const UCHAR* interface = nullptr;
    std::vector<const UCHAR*> endpoints;
    const UCHAR* hid = nullptr;
};

InterfaceView FindInterface(const Bytes& configuration, UCHAR number, int alternate) {
    InterfaceView view;
    bool inside = false;
    for (size_t at = 0; at + 2 <= configuration.size() && configuration[at] != 0;
         at += configuration[at]) {
        const UCHAR* d = &configuration[at];
        if (at + d[0] > configuration.size()) {
            break;
        }
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= 9) {
            if (inside) {
                break;
            }
            inside = d[2] == number && (alternate < 0 || d[3] == alternate);
            if (inside) {
                view.interface = d;
            }
        } else if (inside && d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[0] >= 7) {
            view.endpoints.push_back(d);
        } else if (inside && d[1] == 0x21 && view.hid == nullptr) {
            view.hid = d;
        }
    }
    return view;
}

// The entry of a selection's interface list at Position (the list ends at End) and the interface
// of Configuration it names; NULL when the entry overruns the URB, is too short for that
// interface's pipes, or names none.
PUSBD_INTERFACE_INFORMATION InterfaceEntry(const Bytes& configuration, PUCHAR position, PUCHAR end,
                                           InterfaceView* view) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
    *view = FindInterface(configuration, info->InterfaceNumber, info->AlternateSetting);
    if (info->Length == 0 || view->interface == nullptr ||
        info->Length < GET_USBD_INTERFACE_SIZE(view->endpoints.size()) ||
        position + info->Length > end) {
        return NULL;
    }
    return info;
}

} // namespace

const char* CompletionName(Completion mode) {
    return mode == Completion::BusThread ? "async" : "sync";
}

UsbDevice::UsbDevice(ControllerModel model, uint64_t seed)
    : model_(std::move(model)), stack_(static_cast<int>(CurrentUsbStack())), seed_(seed) {
    bus_ = std::thread([this] { BusThread(); });
}

UsbDevice::~UsbDevice() {
    StopInputReports();
    Unplug();
    {
        // What Unplug left are reads whose cancel routines run and still use the device.
        std::unique_lock<std::mutex> guard(lock_);
        readsWake_.wait(guard, [this] { return reads_.empty(); });
    }
    {
        std::lock_guard<std::mutex> guard(busLock_);
        busStopping_ = true;
    }
    busWake_.notify_all();
    bus_.join();
}

void UsbDevice::SetCompletion(Completion mode) {
    std::lock_guard<std::mutex> guard(lock_);
    completion_ = mode;
}

Completion UsbDevice::CompletionMode() const {
    std::lock_guard<std::mutex> guard(lock_);
    return completion_;
}

void UsbDevice::SetUrbObserver(UrbObserver observer) {
    std::lock_guard<std::mutex> guard(lock_);
    observer_ = std::move(observer);
}

// Tells the observer about a URB request; other internal requests carry no URB.
void UsbDevice::Observe(PIRP irp, bool completed) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB ||
        stack->Parameters.Others.Argument1 == NULL) {
        return;
    }
    UrbObserver observer;
    {
        std::lock_guard<std::mutex> guard(lock_);
        observer = observer_;
    }
    if (observer) {
        observer(irp, UrbOf(irp), completed);
    }
}

void UsbDevice::Complete(PIRP irp) {
    Observe(irp, true);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// Completes a request that is cancelled, or that a cancel caught before it was queued, with
// the USB stack's cancellation status; at DISPATCH_LEVEL, as a cancel routine runs.
void UsbDevice::CompleteCancelled(PIRP irp) {
    const UsbFailureStatus& cancelled = Failure(UsbFailure::Cancelled);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        auto* urb = UrbOf(irp);
        urb->UrbHeader.Status = cancelled.usbd;
        ClearTransferLength(urb);
    }
    irp->IoStatus.Status = cancelled.status;
    irp->IoStatus.Information = 0;
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    Complete(irp);
}

// ---- Bus thread ---------------------------------------------------------------------------------

// Queues an answered request for its completion from the bus thread after a seeded delay, no
// earlier than what its queue holds. While it waits it can be cancelled, as a transfer queued
// at a host controller can (IoCancelIrp, "Cancel Routines in Drivers"), unless the device has
// already carried it out: a cancel must not report undone what was done.
void UsbDevice::Defer(PIRP irp, UCHAR queue, bool cancellable) {
    irp->Tail.Overlay.DriverContext[0] = this;
    {
        std::lock_guard<std::mutex> guard(busLock_);
        LONGLONG delay = BusDelay(seed_, queue, queueCount_[queue]++);
        auto due = std::chrono::steady_clock::now() + host::RealDuration(delay);
        auto last = lastDue_.find(queue);
        if (last != lastDue_.end() && last->second > due) {
            due = last->second;
        }
        lastDue_[queue] = due;
        // Kernel time waits for this completion: no driver's timeout passes it.
        uint64_t hold = host::HoldTime(host::KernelTime() + delay);
        delayed_.push_back(Delayed{due, nextOrder_++, queue, irp, hold, cancellable, false, false});
        if (!cancellable) {
            busWake_.notify_all();
            return;
        }
        IoSetCancelRoutine(irp, CancelRequest);
        // A cancel that came before the routine was set found none to call: it is ours to
        // honour. When the routine is already gone again, the cancel routine completes it.
        if (!__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) ||
            IoSetCancelRoutine(irp, NULL) == NULL) {
            busWake_.notify_all();
            return;
        }
        host::ReleaseTime(delayed_.back().hold);
        delayed_.pop_back();
    }
    CompleteCancelled(irp);
}

// Completes the requests of the delayed queue as they fall due, at DISPATCH_LEVEL as a host
// controller's DPC does. When the device object goes, what remains completes without delay.
void UsbDevice::BusThread() {
    std::unique_lock<std::mutex> guard(busLock_);
    for (;;) {
        auto next = delayed_.end();
        for (auto it = delayed_.begin(); it != delayed_.end(); ++it) {
            if (!it->cancelling && (next == delayed_.end() || it->due < next->due ||
                                    (it->due == next->due && it->order < next->order))) {
                next = it;
            }
        }
        if (next == delayed_.end()) {
            // What is left belongs to cancel routines, which say when they are done.
            if (busStopping_ && delayed_.empty()) {
                return;
            }
            busWake_.wait(guard);
            continue;
        }
        if (!busStopping_ && next->due > std::chrono::steady_clock::now()) {
            // A copy: the wait lets go of the lock, and a request queued meanwhile may move the
            // entry.
            auto due = next->due;
            busWake_.wait_until(guard, due);
            continue;
        }
        PIRP irp = next->irp;
        if (next->cancellable && IoSetCancelRoutine(irp, NULL) == NULL) {
            next->cancelling = true;
            continue;
        }
        uint64_t hold = next->hold;
        delayed_.erase(next);
        guard.unlock();
        {
            host::IrqlScope dispatch(DISPATCH_LEVEL);
            Complete(irp);
        }
        host::ReleaseTime(hold);
        guard.lock();
    }
}

// Completes a request the device answered at once, as the completion mode says.
void UsbDevice::Finish(PIRP irp, NTSTATUS status, UCHAR queue, bool cancellable) {
    irp->IoStatus.Status = status;
    if (CompletionMode() == Completion::BusThread) {
        Defer(irp, queue, cancellable);
    } else {
        Complete(irp);
    }
}

const UsbFailureStatus& UsbDevice::Failure(UsbFailure failure) const {
    return FailureStatus(failure, static_cast<UsbStack>(stack_));
}

// The completion queue of a URB: its pipe's endpoint for transfers and pipe requests, the
// default pipe's for control transfers.
UCHAR UsbDevice::QueueOf(PURB urb) const {
    USHORT function = urb->UrbHeader.Function;
    if (UsesDefaultPipe(function)) {
        return DefaultPipeQueue;
    }
    USBD_PIPE_HANDLE handle = function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
                                  ? urb->UrbBulkOrInterruptTransfer.PipeHandle
                                  : urb->UrbPipeRequest.PipeHandle;
    return EndpointOf(handle);
}

// ---- Requests
// -------------------------------------------------------------------------------------

NTSTATUS UsbDevice::HandleInternalIoctl(PDEVICE_OBJECT pdo, PIRP irp) {
    UNREFERENCED_PARAMETER(pdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    NTSTATUS status;
    UCHAR queue = HubQueue;
    bool carriedOut = false; // the device acted on it: a cancel can no longer undo it
    Observe(irp, false);
    // In the bus mode a request takes its place in its queue's order as the device acts on it,
    // so that the device acts on and completes one queue's requests in the same order.
    std::unique_lock<std::recursive_mutex> acting(actLock_, std::defer_lock);
    if (CompletionMode() == Completion::BusThread) {
        acting.lock();
    }
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
        auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (urb == NULL) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        // Taken before a configuration selection closes the pipes it names.
        queue = QueueOf(urb);
        status = Submit(irp, urb);
        if (status == STATUS_PENDING) {
            return STATUS_PENDING;
        }
        carriedOut = NT_SUCCESS(status) && !ReadsDescriptor(urb->UrbHeader.Function);
        break;
    }
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        std::lock_guard<std::mutex> guard(lock_);
        *static_cast<PULONG>(stack->Parameters.Others.Argument1) =
            gone_ ? 0 : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
        status = STATUS_SUCCESS;
        break;
    }
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    if (CompletionMode() == Completion::BusThread) {
        IoMarkIrpPending(irp);
        Finish(irp, status, queue, !carriedOut);
        return STATUS_PENDING;
    }
    Finish(irp, status, queue, !carriedOut);
    return status;
}

// Serves one URB; STATUS_PENDING when the IRP waits for the controller (marked pending).
NTSTATUS UsbDevice::Submit(PIRP irp, PURB urb) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (gone_) {
            const UsbFailureStatus& gone = Failure(UsbFailure::SubmittedAfterGone);
            urb->UrbHeader.Status = gone.usbd;
            return gone.status;
        }
    }
    USHORT function = urb->UrbHeader.Function;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    // Deconfiguration takes effect on the host side whatever the device answers (the hub's stop
    // resets the port), so a NAKing device does not hold it.
    bool deconfigure = function == URB_FUNCTION_SELECT_CONFIGURATION &&
                       urb->UrbSelectConfiguration.ConfigurationDescriptor == NULL;
    if (model_.controlNaks && UsesDefaultPipe(function) && !deconfigure) {
        // Retried by the host controller for as long as the device NAKs; a cancel ends it.
        QueueRead(irp, DefaultPipeMarker);
        return STATUS_PENDING;
    }
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return Transfer(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
        return AbortPipe(urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return STATUS_SUCCESS;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
        auto& request = urb->UrbControlDescriptorRequest;
        ControlSetup setup;
        setup.requestType = static_cast<UCHAR>(
            0x80 | (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE      ? 0
                    : function == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 1
                                                                             : 2));
        setup.request = GetDescriptor;
        setup.value = static_cast<USHORT>((request.DescriptorType << 8) | request.Index);
        setup.index = request.LanguageId;
        setup.length = static_cast<USHORT>(request.TransferBufferLength);
        return ControlRequest(urb, setup,
                              BufferOf(request.TransferBuffer, request.TransferBufferMDL),
                              &request.TransferBufferLength);
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
        auto& request = urb->UrbControlVendorClassRequest;
        ControlSetup setup;
        setup.requestType =
            static_cast<UCHAR>((USBD_TRANSFER_DIRECTION(request.TransferFlags) ? 0x80 : 0) |
                               (IsClass(function) ? 0x20 : 0x40) | UrbRecipient(function));
        setup.request = request.Request;
        setup.value = request.Value;
        setup.index = request.Index;
        setup.length = static_cast<USHORT>(request.TransferBufferLength);
        return ControlRequest(urb, setup,
                              BufferOf(request.TransferBuffer, request.TransferBufferMDL),
                              &request.TransferBufferLength);
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
        auto& request = urb->UrbControlTransfer;
        const UCHAR* packet = request.SetupPacket;
        ControlSetup setup;
        setup.requestType = packet[0];
        setup.request = packet[1];
        setup.value = static_cast<USHORT>(packet[2] | (packet[3] << 8));
        setup.index = static_cast<USHORT>(packet[4] | (packet[5] << 8));
        setup.length = static_cast<USHORT>(packet[6] | (packet[7] << 8));
        return ControlRequest(urb, setup,
                              BufferOf(request.TransferBuffer, request.TransferBufferMDL),
                              &request.TransferBufferLength);
    }
    default:
        urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
        return STATUS_INVALID_PARAMETER;
    }
}

// A control request through the default pipe: standard descriptor reads, the HID class requests
// of the controller's HID interface, then the model's own handler. IN data is cut to the
// caller's buffer and its length reported back.
NTSTATUS UsbDevice::ControlRequest(PURB urb, const ControlSetup& setup, PVOID buffer,
                                   ULONG* length) {
    bool in = (setup.requestType & 0x80) != 0;
    ControlRecord record;
    record.function = urb->UrbHeader.Function;
    record.setup = setup;
    if (!in && buffer != NULL) {
        auto* bytes = static_cast<const UCHAR*>(buffer);
        record.data.assign(bytes, bytes + *length);
    }
    NTSTATUS status;
    if ((setup.requestType & 0x60) == 0 && setup.request == GetDescriptor) {
        status = DescriptorRequest(setup, buffer, length);
        if (NT_SUCCESS(status) && buffer != NULL) {
            auto* bytes = static_cast<const UCHAR*>(buffer);
            record.data.assign(bytes, bytes + *length);
        }
    } else {
        Bytes data = record.data;
        bool hid =
            (setup.requestType & 0x7F) == 0x21 && (setup.index & 0xFF) == model_.hidInterface;
        if (hid) {
            status = HidClassRequest(setup, data);
        } else if (model_.onControl && model_.onControl(*this, setup, data)) {
            status = STATUS_SUCCESS;
        } else {
            status = Failure(UsbFailure::Stalled).status;
        }
        if (NT_SUCCESS(status) && in) {
            ULONG count = std::min<ULONG>(*length, static_cast<ULONG>(data.size()));
            if (buffer != NULL && count != 0) {
                memcpy(buffer, data.data(), count);
            }
            *length = count;
            record.data.assign(data.begin(), data.begin() + count);
        }
    }
    if (!NT_SUCCESS(status)) {
        // A request the device does not serve is stalled; a model may name another failure.
        urb->UrbHeader.Status = Failure(UsbFailure::Stalled).usbd;
        if (in) {
            *length = 0;
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    controlTransfers_.push_back(std::move(record));
    return status;
}

NTSTATUS UsbDevice::DescriptorRequest(const ControlSetup& setup, PVOID buffer, ULONG* length) {
    UCHAR type = static_cast<UCHAR>(setup.value >> 8);
    UCHAR index = static_cast<UCHAR>(setup.value & 0xFF);
    unsigned read;
    {
        std::lock_guard<std::mutex> guard(lock_);
        read = ++descriptorReads_[{type, index}];
    }
    std::optional<Bytes> data;
    switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        data = model_.device;
        break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        if (index == 0) {
            data = model_.configuration;
        }
        break;
    case USB_STRING_DESCRIPTOR_TYPE:
        if (index == 0 && model_.hasStrings) {
            data = Bytes{4, USB_STRING_DESCRIPTOR_TYPE, static_cast<UCHAR>(model_.languageId),
                         static_cast<UCHAR>(model_.languageId >> 8)};
        } else if (index != 0 && model_.hasStrings && model_.strings.count(index) != 0) {
            data = StringDescriptor(model_.strings.at(index));
        }
        break;
    case 0x21: {
        InterfaceView view =
            FindInterface(model_.configuration, static_cast<UCHAR>(setup.index), -1);
        if (view.hid != nullptr) {
            data = Bytes(view.hid, view.hid + view.hid[0]);
        }
        break;
    }
    case 0x22: {
        auto found = model_.reportDescriptors.find(static_cast<UCHAR>(setup.index));
        if (found != model_.reportDescriptors.end()) {
            data = found->second;
        }
        break;
    }
    default:
        break;
    }
    DescriptorAnswer answer;
    if (data) {
        answer.bytes = *data;
    } else {
        answer.status = STATUS_UNSUCCESSFUL;
    }
    if (model_.describe) {
        if (std::optional<DescriptorAnswer> changed = model_.describe(type, index, read)) {
            answer = *changed;
        }
    }
    if (!NT_SUCCESS(answer.status)) {
        return answer.status;
    }
    ULONG count = std::min<ULONG>(*length, static_cast<ULONG>(answer.bytes.size()));
    if (buffer != NULL && count != 0) {
        memcpy(buffer, answer.bytes.data(), count);
    }
    *length = std::min<ULONG>(answer.reported.value_or(count), *length);
    return STATUS_SUCCESS;
}

// GET_REPORT, SET_REPORT, idle and protocol requests of the HID interface.
NTSTATUS UsbDevice::HidClassRequest(const ControlSetup& setup, Bytes& data) {
    UCHAR reportType = static_cast<UCHAR>(setup.value >> 8);
    UCHAR reportId = static_cast<UCHAR>(setup.value & 0xFF);
    switch (setup.request) {
    case 0x01: // GET_REPORT
        if (reportType == 3 && model_.featureReports.count(reportId) != 0) {
            data = model_.featureReports.at(reportId);
            return STATUS_SUCCESS;
        }
        if (reportType == 1) {
            data = NextDefaultReport();
            return STATUS_SUCCESS;
        }
        break;
    case 0x02: // GET_IDLE
    case 0x03: // GET_PROTOCOL
        data = Bytes{static_cast<UCHAR>(setup.request == 0x03 ? 1 : 0)};
        return STATUS_SUCCESS;
    case 0x09: // SET_REPORT
    case 0x0A: // SET_IDLE
    case 0x0B: // SET_PROTOCOL
        return STATUS_SUCCESS;
    default:
        break;
    }
    if (model_.onControl && model_.onControl(*this, setup, data)) {
        return STATUS_SUCCESS;
    }
    return STATUS_UNSUCCESSFUL;
}

// Selects the interfaces listed in the URB and hands out a pipe handle per endpoint; the handles
// of an earlier selection stop working. A malformed list is refused before anything changes, so
// that a refusal leaves the device as it was.
NTSTATUS UsbDevice::SelectConfiguration(PURB urb) {
    auto& select = urb->UrbSelectConfiguration;
    PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    if (select.ConfigurationDescriptor != NULL) {
        PUCHAR position = reinterpret_cast<PUCHAR>(&select.Interface);
        while (position + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
            InterfaceView view;
            PUSBD_INTERFACE_INFORMATION info =
                InterfaceEntry(model_.configuration, position, end, &view);
            if (info == NULL) {
                urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
                return STATUS_INVALID_PARAMETER;
            }
            position += info->Length;
        }
    }
    std::unique_lock<std::mutex> guard(lock_);
    for (Pipe& pipe : pipes_) {
        pipe.valid = false;
    }
    configured_ = false;
    queuedReports_.clear(); // a device being (re)configured resets its endpoints
    // Transfers on the pipes that just closed end as aborted ones do.
    if (!reads_.empty()) {
        guard.unlock();
        const UsbFailureStatus& aborted = Failure(UsbFailure::Cancelled);
        FailPending([](UCHAR) { return true; }, aborted.status, aborted.usbd);
        guard.lock();
    }
    if (select.ConfigurationDescriptor == NULL) {
        return STATUS_SUCCESS;
    }
    PUCHAR position = reinterpret_cast<PUCHAR>(&select.Interface);
    while (position + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        InterfaceView view;
        PUSBD_INTERFACE_INFORMATION info =
            InterfaceEntry(model_.configuration, position, end, &view);
        if (info == NULL) {
            // The list changed under the device after it was checked: what the caller's
            // buffer holds is not to be trusted twice.
            urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
            return STATUS_INVALID_PARAMETER;
        }
        info->Class = view.interface[5];
        info->SubClass = view.interface[6];
        info->Protocol = view.interface[7];
        info->InterfaceHandle = const_cast<UCHAR*>(view.interface);
        info->NumberOfPipes = static_cast<ULONG>(view.endpoints.size());
        for (size_t i = 0; i < view.endpoints.size(); ++i) {
            const UCHAR* e = view.endpoints[i];
            pipes_.push_back(Pipe{e[2], e[3], static_cast<USHORT>(e[4] | (e[5] << 8)), e[6], true});
            USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
            pipe.EndpointAddress = e[2];
            pipe.PipeType = static_cast<USBD_PIPE_TYPE>(e[3] & USB_ENDPOINT_TYPE_MASK);
            pipe.MaximumPacketSize = pipes_.back().maxPacket;
            pipe.Interval = e[6];
            pipe.PipeHandle = &pipes_.back();
        }
        position += info->Length;
    }
    select.ConfigurationHandle = this;
    configured_ = true;
    ControlRecord record;
    record.function = URB_FUNCTION_SELECT_CONFIGURATION;
    record.setup = ControlSetup{0x00, SetConfiguration, model_.configuration[5], 0, 0};
    controlTransfers_.push_back(record);
    return STATUS_SUCCESS;
}

UsbDevice::Pipe* UsbDevice::FindPipe(USBD_PIPE_HANDLE handle) {
    for (Pipe& pipe : pipes_) {
        if (&pipe == handle) {
            return pipe.valid ? &pipe : nullptr;
        }
    }
    return nullptr;
}

UCHAR UsbDevice::FirstInterruptIn() const {
    for (const Pipe& pipe : pipes_) {
        if (pipe.valid && (pipe.endpoint & 0x80) &&
            (pipe.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_INTERRUPT) {
            return pipe.endpoint;
        }
    }
    return 0;
}

NTSTATUS UsbDevice::Transfer(PIRP irp, PURB urb) {
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    UCHAR endpoint;
    {
        std::lock_guard<std::mutex> guard(lock_);
        Pipe* pipe = FindPipe(transfer.PipeHandle);
        if (pipe == nullptr) {
            urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
            return STATUS_INVALID_PARAMETER;
        }
        endpoint = pipe->endpoint;
    }
    if (endpoint & 0x80) {
        QueueRead(irp, endpoint);
        return STATUS_PENDING;
    }
    auto* buffer =
        static_cast<const UCHAR*>(BufferOf(transfer.TransferBuffer, transfer.TransferBufferMDL));
    Bytes data;
    if (buffer != NULL) {
        data.assign(buffer, buffer + transfer.TransferBufferLength);
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        outTransfers_.push_back(TransferRecord{endpoint, data});
    }
    OutReport(endpoint, data);
    if (model_.onOut) {
        model_.onOut(*this, endpoint, data);
    }
    return STATUS_SUCCESS;
}

// The address query: the on code turns it on (from the model's Nth on command) and makes the
// controller send a report at once; the zeroed code turns it off.
void UsbDevice::OutReport(UCHAR endpoint, const Bytes& data) {
    UNREFERENCED_PARAMETER(endpoint);
    if (data.size() < CommandCodeOffset + sizeof(OnCode) || data[0] != 0x05) {
        return;
    }
    const UCHAR* code = &data[CommandCodeOffset];
    bool answer = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (memcmp(code, OnCode, sizeof(OnCode)) == 0) {
            ++onCommands_;
            answer = model_.addressQuery.answers && onCommands_ >= model_.addressQuery.answerFrom;
            addressQueryOn_ = addressQueryOn_ || answer;
        } else if (std::all_of(code, code + sizeof(OnCode), [](UCHAR b) { return b == 0; })) {
            addressQueryOn_ = false;
        }
    }
    if (answer) {
        SendInputReport(NextDefaultReport());
    }
}

// ---- Pending reads ----------------------------------------------------------------------------

void UsbDevice::QueueRead(PIRP irp, UCHAR endpoint) {
    IoMarkIrpPending(irp);
    std::unique_lock<std::mutex> guard(lock_);
    auto queued = queuedReports_.find(endpoint);
    if (queued != queuedReports_.end() && !queued->second.empty()) {
        Bytes report = std::move(queued->second.front());
        queued->second.pop_front();
        guard.unlock();
        CompleteRead(irp, report, endpoint);
        return;
    }
    if (gone_) {
        // Raced the unplug past its check: it ends as the reads the unplug failed.
        guard.unlock();
        const UsbFailureStatus& gone = Failure(UsbFailure::PendingAtUnplug);
        auto* urb = UrbOf(irp);
        urb->UrbHeader.Status = gone.usbd;
        ClearTransferLength(urb);
        irp->IoStatus.Status = gone.status;
        host::IrqlScope dispatch(DISPATCH_LEVEL);
        Complete(irp);
        return;
    }
    irp->Tail.Overlay.DriverContext[0] = this;
    IoSetCancelRoutine(irp, CancelRequest);
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && IoSetCancelRoutine(irp, NULL) != NULL) {
        guard.unlock();
        CompleteCancelled(irp);
        return;
    }
    reads_.push_back(PendingRead{irp, endpoint, false});
}

PIRP UsbDevice::TakeRead(UCHAR endpoint) {
    for (auto it = reads_.begin(); it != reads_.end(); ++it) {
        // A read whose cancel routine is already running belongs to that routine; one it has
        // completed may be gone or in use again, and is not touched.
        if (it->endpoint == endpoint && !it->cancelling &&
            IoSetCancelRoutine(it->irp, NULL) != NULL) {
            PIRP irp = it->irp;
            reads_.erase(it);
            return irp;
        }
    }
    return NULL;
}

void UsbDevice::CompleteRead(PIRP irp, const Bytes& report, UCHAR endpoint) {
    auto* urb = UrbOf(irp);
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    ULONG count = std::min<ULONG>(transfer.TransferBufferLength, static_cast<ULONG>(report.size()));
    PVOID buffer = BufferOf(transfer.TransferBuffer, transfer.TransferBufferMDL);
    if (buffer != NULL && count != 0) {
        memcpy(buffer, report.data(), count);
    }
    if (buffer != NULL) {
        RecordBusWrite(buffer, report.data(), count);
    }
    transfer.TransferBufferLength = count;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    if (CompletionMode() == Completion::BusThread) {
        Finish(irp, STATUS_SUCCESS, endpoint, false);
        return;
    }
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    Finish(irp, STATUS_SUCCESS, endpoint, false);
}

// The cancel routine of a read waiting for data, of a control request a NAKing device holds, and
// of a request waiting for its delayed completion.
VOID NTAPI UsbDevice::CancelRequest(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* self = static_cast<UsbDevice*>(irp->Tail.Overlay.DriverContext[0]);
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        auto it =
            std::find_if(self->reads_.begin(), self->reads_.end(), [irp](const PendingRead& read) {
                return read.irp == irp && !read.cancelling;
            });
        if (it != self->reads_.end()) {
            it->cancelling = true;
            found = true;
        }
    }
    if (found) {
        self->CompleteCancelled(irp);
        // Entries of one IRP that are being cancelled are alike: any one of them is ours.
        std::lock_guard<std::mutex> guard(self->lock_);
        self->reads_.erase(
            std::find_if(self->reads_.begin(), self->reads_.end(), [irp](const PendingRead& read) {
                return read.irp == irp && read.cancelling;
            }));
        self->readsWake_.notify_all();
        return;
    }
    uint64_t order;
    uint64_t hold;
    {
        // The entry stays, marked, until the IRP is completed: a stopping bus thread waits for
        // it, so the device outlives this routine. An entry being completed is a former use of
        // the same IRP.
        std::lock_guard<std::mutex> guard(self->busLock_);
        auto it =
            std::find_if(self->delayed_.begin(), self->delayed_.end(), [irp](const Delayed& entry) {
                return entry.irp == irp && !entry.completing;
            });
        if (it == self->delayed_.end()) {
            return;
        }
        it->cancelling = it->completing = true;
        order = it->order;
        hold = it->hold;
    }
    self->CompleteCancelled(irp);
    host::ReleaseTime(hold);
    std::lock_guard<std::mutex> guard(self->busLock_);
    self->delayed_.erase(
        std::find_if(self->delayed_.begin(), self->delayed_.end(),
                     [order](const Delayed& entry) { return entry.order == order; }));
    self->busWake_.notify_all();
}

// Fails the reads that wait on the endpoints chosen. In the bus mode the failures complete from
// the bus thread, behind what their endpoints answered before; a transfer already answered keeps
// its answer. The controller has retired them with their status: a later cancel cannot change
// it, as a flushed transfer is no longer on the schedule.
void UsbDevice::FailPending(const std::function<bool(UCHAR)>& which, NTSTATUS status,
                            USBD_STATUS usbd) {
    std::vector<PendingRead> failed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = reads_.begin(); it != reads_.end();) {
            if (which(it->endpoint) && !it->cancelling &&
                IoSetCancelRoutine(it->irp, NULL) != NULL) {
                failed.push_back(*it);
                it = reads_.erase(it);
            } else {
                ++it;
            }
        }
    }
    bool bus = CompletionMode() == Completion::BusThread;
    host::IrqlScope dispatch(DISPATCH_LEVEL);
    for (const PendingRead& read : failed) {
        auto* urb = UrbOf(read.irp);
        urb->UrbHeader.Status = usbd;
        ClearTransferLength(urb);
        read.irp->IoStatus.Status = status;
        if (bus) {
            Defer(read.irp, read.endpoint == DefaultPipeMarker ? DefaultPipeQueue : read.endpoint,
                  false);
        } else {
            Complete(read.irp);
        }
    }
}

NTSTATUS UsbDevice::AbortPipe(PURB urb) {
    UCHAR endpoint;
    {
        std::lock_guard<std::mutex> guard(lock_);
        Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
        if (pipe == nullptr) {
            urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
            return STATUS_INVALID_PARAMETER;
        }
        endpoint = pipe->endpoint;
    }
    const UsbFailureStatus& aborted = Failure(UsbFailure::Cancelled);
    FailPending([endpoint](UCHAR e) { return e == endpoint; }, aborted.status, aborted.usbd);
    return STATUS_SUCCESS;
}

// ---- The controller's side ---------------------------------------------------------------------

void UsbDevice::SendInputReport(Bytes report, UCHAR endpoint) {
    PIRP irp;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (gone_) {
            return;
        }
        if (endpoint == 0) {
            endpoint = FirstInterruptIn();
        }
        // An unconfigured device has no interrupt endpoint to send on.
        if (endpoint == 0) {
            return;
        }
        if (addressQueryOn_ && report.size() >= AddressOffset + 6) {
            std::copy(model_.addressQuery.address.begin(), model_.addressQuery.address.end(),
                      report.begin() + AddressOffset);
        }
        irp = TakeRead(endpoint);
        if (irp == NULL) {
            queuedReports_[endpoint].push_back(std::move(report));
            return;
        }
    }
    CompleteRead(irp, report, endpoint);
}

Bytes UsbDevice::NextDefaultReport() {
    std::lock_guard<std::mutex> guard(lock_);
    Bytes report(64);
    report[0] = 0x01;
    report[1] = static_cast<UCHAR>(reportCounter_++);
    return report;
}

void UsbDevice::StartInputReports(LONGLONG period, std::function<Bytes()> make) {
    StopInputReports();
    reporting_ = true;
    reporter_ = std::thread([this, period, make] {
        while (reporting_) {
            LARGE_INTEGER interval;
            interval.QuadPart = -period;
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
            if (reporting_) {
                SendInputReport(make ? make() : NextDefaultReport());
            }
        }
    });
}

void UsbDevice::StopInputReports() {
    reporting_ = false;
    if (reporter_.joinable()) {
        reporter_.join();
    }
}

void UsbDevice::Unplug() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        gone_ = true;
        queuedReports_.clear();
    }
    const UsbFailureStatus& gone = Failure(UsbFailure::PendingAtUnplug);
    FailPending([](UCHAR) { return true; }, gone.status, gone.usbd);
}

void UsbDevice::FailPendingReads(NTSTATUS status, USBD_STATUS usbd) {
    FailPending([](UCHAR) { return true; }, status, usbd);
}

// ---- Records
// --------------------------------------------------------------------------------------

std::vector<TransferRecord> UsbDevice::OutTransfers() const {
    std::lock_guard<std::mutex> guard(lock_);
    return outTransfers_;
}

std::vector<ControlRecord> UsbDevice::ControlTransfers() const {
    std::lock_guard<std::mutex> guard(lock_);
    return controlTransfers_;
}

size_t UsbDevice::PendingReads() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<size_t>(std::count_if(
        reads_.begin(), reads_.end(), [](const PendingRead& read) { return !read.cancelling; }));
}

size_t UsbDevice::DelayedCompletions() const {
    std::lock_guard<std::mutex> guard(busLock_);
    return delayed_.size();
}

size_t UsbDevice::QueuedInputReports() const {
    std::lock_guard<std::mutex> guard(lock_);
    size_t count = 0;
    for (const auto& entry : queuedReports_) {
        count += entry.second.size();
    }
    return count;
}

bool UsbDevice::AddressQueryOn() const {
    std::lock_guard<std::mutex> guard(lock_);
    return addressQueryOn_;
}

unsigned UsbDevice::OnCommands() const {
    std::lock_guard<std::mutex> guard(lock_);
    return onCommands_;
}

unsigned UsbDevice::DescriptorReads(UCHAR type, UCHAR index) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = descriptorReads_.find({type, index});
    return found == descriptorReads_.end() ? 0 : found->second;
}

bool UsbDevice::Configured() const {
    std::lock_guard<std::mutex> guard(lock_);
    return configured_;
}

UCHAR UsbDevice::EndpointOf(USBD_PIPE_HANDLE handle) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const Pipe& pipe : pipes_) {
        if (&pipe == handle && pipe.valid) {
            return pipe.endpoint;
        }
    }
    return 0;
}

std::optional<Bytes> TakeBusWrite(const void* buffer) {
    std::lock_guard<std::mutex> guard(g_busWritesLock);
    auto found = g_busWrites.find(buffer);
    if (found == g_busWrites.end()) {
        return std::nullopt;
    }
    Bytes data = std::move(found->second);
    g_busWrites.erase(found);
    return data;
}

void ForgetBusWrites() {
    std::lock_guard<std::mutex> guard(g_busWritesLock);
    g_busWrites.clear();
}

UCHAR UrbRecipient(USHORT function) {
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_CLASS_INTERFACE:
        return 1;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_ENDPOINT:
        return 2;
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_OTHER:
        return 3;
    default:
        return 0;
    }
}

} // namespace sim::usb
