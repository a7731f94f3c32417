#include "sim/hid/hid_stack.h"

#include "sim/usb/urb_engine.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <new>

namespace sim::hid {
namespace {

constexpr UCHAR kDeviceType = 0x01;
constexpr UCHAR kConfigurationType = 0x02;
constexpr UCHAR kStringType = 0x03;
constexpr UCHAR kHidType = 0x21;
constexpr UCHAR kReportType = 0x22;
constexpr UCHAR kHidClass = 0x03;
constexpr UCHAR kGetReport = 0x01;
constexpr UCHAR kSetReport = 0x09;
constexpr UCHAR kSetIdle = 0x0A;
constexpr USHORT kFeature = 0x0300;
constexpr ULONG kStringBuffer = 255;
constexpr USHORT kConfigurationHeader = 9;

struct Extension {
    std::shared_ptr<HidDevice> device;
    PDEVICE_OBJECT lower;
};

std::mutex g_devicesLock;
std::map<PDEVICE_OBJECT, std::shared_ptr<HidDevice>> g_devices; // by PDO

std::mutex g_totalsLock;
HidCounters g_totals;

std::mutex g_observerLock;
UrbObserver g_observer;

void Observe(PDEVICE_OBJECT pdo, const void* request, const URB* urb, bool completed) {
    UrbObserver observer;
    {
        std::lock_guard<std::mutex> guard(g_observerLock);
        observer = g_observer;
    }
    if (observer) {
        observer(pdo, request, urb, completed);
    }
}

Extension* ExtensionOf(PDEVICE_OBJECT fdo) {
    return static_cast<Extension*>(fdo->DeviceExtension);
}

NTSTATUS PassDown(PDEVICE_OBJECT fdo, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(ExtensionOf(fdo)->lower, irp);
}

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and takes it back once the lower stack has finished with it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT fdo, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(ExtensionOf(fdo)->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI HidAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = NULL;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(Extension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    auto device = std::make_shared<HidDevice>(pdo, lower);
    new (fdo->DeviceExtension) Extension{device, lower};
    fdo->Flags |= lower->Flags & (DO_POWER_PAGABLE | DO_DIRECT_IO | DO_BUFFERED_IO);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard<std::mutex> guard(g_devicesLock);
    g_devices[pdo] = device;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI HidPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    Extension* extension = ExtensionOf(fdo);
    std::shared_ptr<HidDevice> device = extension->device;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(fdo, irp);
        if (NT_SUCCESS(status)) {
            status = device->Start();
        }
        return Complete(irp, status);
    }
    case IRP_MN_SURPRISE_REMOVAL:
        device->StopReads(false);
        device->MarkRemoved(HidState::SurpriseRemoved);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(fdo, irp);
    case IRP_MN_REMOVE_DEVICE: {
        // The reads must be back before the stack goes: a read pending below comes back only
        // when the device answers it or is gone.
        device->StopReads(true);
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(fdo, irp);
        PDEVICE_OBJECT lower = extension->lower;
        extension->~Extension();
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        device->MarkRemoved(HidState::Removed);
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(fdo, irp);
    default:
        return PassDown(fdo, irp);
    }
}

NTSTATUS NTAPI HidPower(PDEVICE_OBJECT fdo, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ExtensionOf(fdo)->lower, irp);
}

NTSTATUS NTAPI HidPassDown(PDEVICE_OBJECT fdo, PIRP irp) {
    return PassDown(fdo, irp);
}

NTSTATUS NTAPI HidDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) {
        dispatch = HidPassDown;
    }
    driver->MajorFunction[IRP_MJ_PNP] = HidPnp;
    driver->MajorFunction[IRP_MJ_POWER] = HidPower;
    driver->DriverExtension->AddDevice = HidAddDevice;
    return STATUS_SUCCESS;
}

uint16_t Word(const Bytes& bytes, size_t at) {
    return bytes.size() < at + 2 ? 0 : static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

} // namespace

const char* HidStateName(HidState state) {
    switch (state) {
    case HidState::Added:
        return "added";
    case HidState::Running:
        return "running";
    case HidState::Failed:
        return "failed";
    case HidState::SurpriseRemoved:
        return "surprise-removed";
    default:
        return "removed";
    }
}

HidDevice::HidDevice(PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower) : pdo_(pdo), lower_(lower) {}

HidDevice::~HidDevice() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        pumpExit_ = true;
    }
    changed_.notify_all();
    if (pump_.joinable()) {
        pump_.join();
    }
    for (Read& read : reads_) {
        if (read.irp != nullptr && !read.outstanding) {
            IoFreeIrp(read.irp);
        }
    }
}

HidState HidDevice::State() const {
    std::lock_guard<std::mutex> guard(lock_);
    return state_;
}

std::string HidDevice::FailureReason() const {
    std::lock_guard<std::mutex> guard(lock_);
    return failure_;
}

uint16_t HidDevice::VendorId() const {
    return Word(deviceDescriptor_, 8);
}

uint16_t HidDevice::ProductId() const {
    return Word(deviceDescriptor_, 10);
}

NTSTATUS HidDevice::Fail(const std::string& why, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(lock_);
    state_ = HidState::Failed;
    failure_ = why;
    return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
}

NTSTATUS HidDevice::SubmitSync(PURB urb) {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower_, NULL, 0, NULL,
                                             0, TRUE, &done, &iosb);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    // The observer sees the completion while the IRP still exists, before the I/O manager
    // frees it and its address can name another request.
    SyncRequest request{this, urb};
    IoSetCompletionRoutine(irp, SyncComplete, &request, TRUE, TRUE, TRUE);
    Observe(pdo_, irp, urb, false);
    NTSTATUS status = IofCallDriver(lower_, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = iosb.Status;
    }
    return status;
}

NTSTATUS NTAPI HidDevice::SyncComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<SyncRequest*>(context);
    Observe(request->self->pdo_, irp, request->urb, true);
    return STATUS_SUCCESS;
}

NTSTATUS HidDevice::GetDescriptor(UCHAR type, UCHAR index, USHORT language, Bytes* out,
                                  ULONG length) {
    out->assign(length, 0);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                 language, out->data(), NULL, length, NULL);
    NTSTATUS status = SubmitSync(&urb);
    out->resize(std::min<ULONG>(length, urb.UrbControlDescriptorRequest.TransferBufferLength));
    return status;
}

NTSTATUS HidDevice::ClassRequest(bool in, UCHAR request, USHORT value, Bytes* buffer) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
    urb.UrbControlVendorClassRequest.TransferFlags =
        in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT;
    urb.UrbControlVendorClassRequest.Request = request;
    urb.UrbControlVendorClassRequest.Value = value;
    urb.UrbControlVendorClassRequest.Index = interfaceNumber_;
    urb.UrbControlVendorClassRequest.TransferBuffer = buffer->empty() ? NULL : buffer->data();
    urb.UrbControlVendorClassRequest.TransferBufferLength = static_cast<ULONG>(buffer->size());
    NTSTATUS status = SubmitSync(&urb);
    buffer->resize(
        std::min<size_t>(buffer->size(), urb.UrbControlVendorClassRequest.TransferBufferLength));
    return status;
}

NTSTATUS HidDevice::SelectConfiguration() {
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_.data());
    PUSB_INTERFACE_DESCRIPTOR hid =
        USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, kHidClass, -1, -1);
    if (hid == NULL) {
        return Fail("no HID interface in the configuration", STATUS_DEVICE_DATA_ERROR);
    }
    interfaceNumber_ = hid->bInterfaceNumber;
    USBD_INTERFACE_LIST_ENTRY list[2] = {{hid, NULL}, {NULL, NULL}};
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    if (urb == NULL) {
        return Fail("no select-configuration request", STATUS_INSUFFICIENT_RESOURCES);
    }
    NTSTATUS status = SubmitSync(urb);
    if (NT_SUCCESS(status)) {
        PUSBD_INTERFACE_INFORMATION info = list[0].Interface;
        for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
            const USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
            if (pipe.PipeType != UsbdPipeTypeInterrupt) {
                continue;
            }
            if (pipe.EndpointAddress & 0x80) {
                inPipe_ = pipe.PipeHandle;
                inMaxPacket_ = pipe.MaximumPacketSize;
            } else {
                outPipe_ = pipe.PipeHandle;
            }
        }
    }
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) {
        return Fail("configuration selection failed", status);
    }
    if (inPipe_ == nullptr) {
        return Fail("no interrupt IN pipe", STATUS_DEVICE_DATA_ERROR);
    }
    return STATUS_SUCCESS;
}

std::u16string HidDevice::ReadString(UCHAR index) {
    if (index == 0) {
        return {};
    }
    Bytes languages;
    if (!NT_SUCCESS(GetDescriptor(kStringType, 0, 0, &languages, kStringBuffer)) ||
        languages.size() < 4 || languages[0] < 4) {
        return {};
    }
    Bytes string;
    if (!NT_SUCCESS(
            GetDescriptor(kStringType, index, Word(languages, 2), &string, kStringBuffer)) ||
        string.size() < 2 || string[1] != kStringType) {
        return {};
    }
    size_t length = std::min<size_t>(string[0], string.size());
    std::u16string text;
    for (size_t at = 2; at + 1 < length; at += 2) {
        text.push_back(static_cast<char16_t>(string[at] | (string[at + 1] << 8)));
    }
    return text;
}

NTSTATUS HidDevice::Start() {
    NTSTATUS status = GetDescriptor(kDeviceType, 0, 0, &deviceDescriptor_, 18);
    if (!NT_SUCCESS(status) || deviceDescriptor_.size() != 18 || deviceDescriptor_[0] != 18 ||
        deviceDescriptor_[1] != kDeviceType) {
        return Fail("no device descriptor", status);
    }
    Bytes header;
    status = GetDescriptor(kConfigurationType, 0, 0, &header, kConfigurationHeader);
    if (!NT_SUCCESS(status) || header.size() != kConfigurationHeader ||
        header[1] != kConfigurationType) {
        return Fail("no configuration descriptor header", status);
    }
    USHORT total = Word(header, 2);
    if (total < kConfigurationHeader) {
        return Fail("bad wTotalLength", STATUS_DEVICE_DATA_ERROR);
    }
    status = GetDescriptor(kConfigurationType, 0, 0, &configuration_, total);
    if (!NT_SUCCESS(status) || configuration_.size() != total || Word(configuration_, 2) != total) {
        return Fail("no configuration descriptor", status);
    }
    status = SelectConfiguration();
    if (!NT_SUCCESS(status)) {
        return status;
    }

    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_.data());
    PUSB_INTERFACE_DESCRIPTOR hid =
        USBD_ParseConfigurationDescriptorEx(config, config, interfaceNumber_, -1, -1, -1, -1);
    auto* hidDescriptor =
        reinterpret_cast<PUCHAR>(USBD_ParseDescriptors(config, total, hid, kHidType));
    if (hidDescriptor == NULL || hidDescriptor[0] < 9 ||
        hidDescriptor + hidDescriptor[0] > configuration_.data() + total ||
        hidDescriptor[6] != kReportType) {
        return Fail("no HID descriptor", STATUS_DEVICE_DATA_ERROR);
    }
    hidDescriptor_.assign(hidDescriptor, hidDescriptor + hidDescriptor[0]);
    USHORT reportLength = Word(hidDescriptor_, 7);

    URB urb{};
    reportDescriptor_.assign(reportLength, 0);
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE;
    urb.UrbControlDescriptorRequest.DescriptorType = kReportType;
    urb.UrbControlDescriptorRequest.LanguageId = interfaceNumber_;
    urb.UrbControlDescriptorRequest.TransferBuffer = reportDescriptor_.data();
    urb.UrbControlDescriptorRequest.TransferBufferLength = reportLength;
    status = SubmitSync(&urb);
    if (!NT_SUCCESS(status) ||
        urb.UrbControlDescriptorRequest.TransferBufferLength != reportLength) {
        return Fail("no report descriptor", status);
    }
    std::string why;
    if (!ParseReportDescriptor(reportDescriptor_.data(), reportDescriptor_.size(), &reports_,
                               &why)) {
        return Fail("report descriptor: " + why, STATUS_DEVICE_DATA_ERROR);
    }

    Bytes none;
    ClassRequest(false, kSetIdle, 0, &none); // a device may stall SET_IDLE; the stack goes on

    manufacturer_ = ReadString(deviceDescriptor_[14]);
    product_ = ReadString(deviceDescriptor_[15]);
    serial_ = ReadString(deviceDescriptor_[16]);

    size_t readLength = inMaxPacket_;
    for (const Report& report : reports_.input) {
        readLength = std::max(readLength, report.ByteLength());
    }
    for (Read& read : reads_) {
        read.owner = this;
        read.buffer.assign(readLength, 0);
        read.irp = IoAllocateIrp(lower_->StackSize, FALSE);
        if (read.irp == NULL) {
            return Fail("no read IRP", STATUS_INSUFFICIENT_RESOURCES);
        }
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        state_ = HidState::Running;
    }
    pump_ = std::thread([this] { Pump(); });
    for (Read& read : reads_) {
        SubmitRead(&read);
    }
    return STATUS_SUCCESS;
}

void HidDevice::SubmitRead(Read* read) {
    // The IRP is made ready while it is not outstanding, so a stop that cancels outstanding
    // reads never meets it half reinitialised.
    IoReuseIrp(read->irp, STATUS_NOT_SUPPORTED);
    read->urb = URB{};
    read->urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    read->urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    read->urb.UrbBulkOrInterruptTransfer.PipeHandle = inPipe_;
    read->urb.UrbBulkOrInterruptTransfer.TransferFlags =
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    read->urb.UrbBulkOrInterruptTransfer.TransferBuffer = read->buffer.data();
    read->urb.UrbBulkOrInterruptTransfer.TransferBufferLength =
        static_cast<ULONG>(read->buffer.size());
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(read->irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &read->urb;
    IoSetCompletionRoutine(read->irp, ReadComplete, read, TRUE, TRUE, TRUE);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_) {
            return;
        }
        read->outstanding = true;
        counters_.readsOutstanding++;
    }
    Observe(pdo_, read->irp, &read->urb, false);
    IofCallDriver(lower_, read->irp);
}

// The frame counter is the one change a child makes to a report: multiples of 4 in byte 7.
bool SentByController(const std::optional<Bytes>& sent, const Bytes& delivered) {
    constexpr size_t CounterByte = 7;
    if (!sent.has_value() || sent->size() != delivered.size()) {
        return false;
    }
    for (size_t i = 0; i < delivered.size(); ++i) {
        uint8_t added = static_cast<uint8_t>(delivered[i] - (*sent)[i]);
        if (added != 0 && (i != CounterByte || added % 4 != 0)) {
            return false;
        }
    }
    return true;
}

void HidDevice::Count(uint64_t HidCounters::*counter) {
    ++(counters_.*counter);
    std::lock_guard<std::mutex> guard(g_totalsLock);
    ++(g_totals.*counter);
}

// The class driver's handling of a completed read. Microsoft documents no rule for it; the model
// takes the strict reading of the report descriptor: data whose report ID is not an input report of
// the descriptor, or shorter than that report, is dropped; longer data is cut to the report's
// length; a failed read is followed by the next one, but not on a device that is gone, which the
// USB minidriver then fails at once without the bus. Not modelled: the class driver sends the next
// read at once; the model waits one polling interval after a read that brought no report.
NTSTATUS NTAPI HidDevice::ReadComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* read = static_cast<Read*>(context);
    HidDevice* self = read->owner;
    NTSTATUS status = irp->IoStatus.Status;
    Observe(self->pdo_, irp, &read->urb, true);
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->Count(&HidCounters::readsCompleted);
        ULONG length = std::min<ULONG>(read->urb.UrbBulkOrInterruptTransfer.TransferBufferLength,
                                       static_cast<ULONG>(read->buffer.size()));
        self->lastRead_ = {status, Bytes(read->buffer.begin(), read->buffer.begin() + length)};
        std::optional<Bytes> sent = sim::usb::TakeBusWrite(read->buffer.data());
        size_t reportLength = self->InputReportLength(self->lastRead_.data);
        read->valid = NT_SUCCESS(status) && reportLength != 0;
        if (read->valid) {
            if (!SentByController(sent, self->lastRead_.data)) {
                self->Count(&HidCounters::phantomReports);
            }
            self->input_.emplace_back(self->lastRead_.data.begin(),
                                      self->lastRead_.data.begin() +
                                          static_cast<ptrdiff_t>(reportLength));
            self->Count(&HidCounters::reportsReceived);
        } else if (NT_SUCCESS(status)) {
            self->Count(&HidCounters::reportsDropped);
        } else {
            self->Count(&HidCounters::readErrors);
        }
        // A device that is gone answers no further read.
        bool gone = status == STATUS_NO_SUCH_DEVICE || status == STATUS_DELETE_PENDING ||
                    status == STATUS_DEVICE_NOT_CONNECTED;
        if (!self->stopping_ && !gone) {
            self->resubmit_.push_back(read);
        }
        read->outstanding = false;
        self->counters_.readsOutstanding--;
    }
    self->changed_.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the next read from a thread of its own, as the class driver does, so that a device that
// answers at once does not recurse through the completion routine.
void HidDevice::Pump() {
    for (;;) {
        Read* read = nullptr;
        {
            std::unique_lock<std::mutex> guard(lock_);
            changed_.wait(guard, [this] { return pumpExit_ || !resubmit_.empty(); });
            if (resubmit_.empty()) {
                return;
            }
            read = resubmit_.front();
            resubmit_.pop_front();
        }
        if (!read->valid) {
            // No device delivers faster than it is polled: after a read that brought no report,
            // wait one polling interval rather than spin on a bus that fails every transfer.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        SubmitRead(read);
    }
}

void HidDevice::StopReads(bool wait) {
    std::vector<PIRP> outstanding;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        resubmit_.clear();
        for (Read& read : reads_) {
            if (read.outstanding) {
                outstanding.push_back(read.irp);
            }
        }
    }
    for (PIRP irp : outstanding) {
        IoCancelIrp(irp);
    }
    if (!wait) {
        return;
    }
    {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [this] { return counters_.readsOutstanding == 0; });
        pumpExit_ = true;
    }
    changed_.notify_all();
    if (pump_.joinable()) {
        pump_.join();
    }
    for (Read& read : reads_) {
        if (read.irp != nullptr) {
            IoFreeIrp(read.irp);
            read.irp = nullptr;
        }
    }
}

void HidDevice::MarkRemoved(HidState state) {
    std::lock_guard<std::mutex> guard(lock_);
    state_ = state;
    changed_.notify_all();
}

std::optional<Bytes> HidDevice::ReadInput(unsigned waitMs) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::milliseconds(waitMs),
                      [this] { return !input_.empty() || state_ != HidState::Running; });
    if (input_.empty()) {
        return std::nullopt;
    }
    Bytes report = std::move(input_.front());
    input_.pop_front();
    return report;
}

size_t HidDevice::QueuedInputReports() const {
    std::lock_guard<std::mutex> guard(lock_);
    return input_.size();
}

HidResult HidDevice::GetFeature(uint8_t reportId) {
    const Report* report = reports_.Find(ReportKind::Feature, reportId);
    if (report == nullptr) {
        return {STATUS_INVALID_PARAMETER, {}};
    }
    HidResult result;
    result.data.assign(report->ByteLength(), 0);
    result.data[0] = reportId;
    result.status = ClassRequest(true, kGetReport, kFeature | reportId, &result.data);
    std::lock_guard<std::mutex> guard(lock_);
    Count(&HidCounters::featuresRead);
    return result;
}

HidResult HidDevice::SetFeature(const Bytes& report) {
    if (report.empty() || reports_.Find(ReportKind::Feature, report[0]) == nullptr) {
        return {STATUS_INVALID_PARAMETER, {}};
    }
    HidResult result;
    result.data = report;
    result.status = ClassRequest(false, kSetReport, kFeature | report[0], &result.data);
    std::lock_guard<std::mutex> guard(lock_);
    Count(&HidCounters::featuresWritten);
    return result;
}

HidResult HidDevice::WriteOutput(const Bytes& report) {
    if (outPipe_ == nullptr || report.empty()) {
        return {STATUS_INVALID_DEVICE_REQUEST, {}};
    }
    HidResult result;
    result.data = report;
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = outPipe_;
    urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = result.data.data();
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = static_cast<ULONG>(result.data.size());
    result.status = SubmitSync(&urb);
    std::lock_guard<std::mutex> guard(lock_);
    Count(&HidCounters::outputsWritten);
    return result;
}

// A report as the class driver accepts it: an input report of the descriptor, whole.
size_t HidDevice::InputReportLength(const Bytes& data) const {
    if (data.empty()) {
        return 0;
    }
    const Report* report = reports_.Find(ReportKind::Input, reports_.usesReportIds ? data[0] : 0);
    return report != nullptr && data.size() >= report->ByteLength() ? report->ByteLength() : 0;
}

HidResult HidDevice::LastRead() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lastRead_;
}

HidCounters HidDevice::Counters() const {
    std::lock_guard<std::mutex> guard(lock_);
    return counters_;
}

PDRIVER_OBJECT HidStackDriver() {
    static PDRIVER_OBJECT driver = host::LoadDriver(HidDriverEntry, u"hidusb");
    return driver;
}

std::shared_ptr<HidDevice> HidDeviceOn(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(g_devicesLock);
    auto found = g_devices.find(pdo);
    return found == g_devices.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<HidDevice>> HidDevices() {
    std::lock_guard<std::mutex> guard(g_devicesLock);
    std::vector<std::shared_ptr<HidDevice>> devices;
    for (auto& entry : g_devices) {
        devices.push_back(entry.second);
    }
    return devices;
}

void SetUrbObserver(UrbObserver observer) {
    std::lock_guard<std::mutex> guard(g_observerLock);
    g_observer = std::move(observer);
}

HidCounters TotalCounters() {
    std::lock_guard<std::mutex> guard(g_totalsLock);
    return g_totals;
}

void ResetTotalCounters() {
    std::lock_guard<std::mutex> guard(g_totalsLock);
    g_totals = HidCounters{};
}

void ForgetHidDevices() {
    {
        std::lock_guard<std::mutex> guard(g_devicesLock);
        g_devices.clear();
    }
    // What the bus wrote into buffers that no HID read took must not vouch for a later buffer
    // at the same address.
    sim::usb::ForgetBusWrites();
}

} // namespace sim::hid
