// The hub's PDO for one USB device: plug and play as a USB bus driver answers it for its child,
// power as a bus driver at the bottom of a stack, and internal device control through the handler
// that the device's model registers.
#include "hub_pdo.h"

#include "failure_statuses.h"

#include <usbioctl.h>

#include <algorithm>
#include <cstdio>
#include <condition_variable>
#include <mutex>

namespace sim::usb {

struct HubPdo::State {
    DeviceIdentity identity;
    ULONG port = 0;
    PDEVICE_OBJECT pdo = nullptr;
    mutable std::mutex lock;
    InternalIoctlHandler handler;
    bool present = true;
    bool deleted = false;
    bool started = false;
    // Serves URBs: from a successful start until a stop, surprise removal or removal.
    bool serving = false;
    // Stopped by IRP_MN_STOP_DEVICE and not started since: its requests fail as a stopped PDO's.
    bool stopped = false;
    PIRP deconfiguration = nullptr; // the stop's own request to the device, served while stopped
    NTSTATUS powerUpFailure = STATUS_SUCCESS;
    NTSTATUS startFailure = STATUS_SUCCESS;
    // Test knobs for the next selection of a configuration: it waits in the dispatch routine
    // until let go (before the PDO looks at its state), or it fails as the device refused it.
    bool holdSelection = false;
    bool selectionWaiting = false;
    std::condition_variable selectionLetGo;
    NTSTATUS selectionFailure = STATUS_SUCCESS;
    USBD_STATUS selectionUsbd = USBD_STATUS_SUCCESS;
    bool keepConfiguration = false; // a stop leaves the device configured (test knob)
    std::vector<UCHAR> minors;
};

namespace {

// {9d7debbc-c85d-11d1-9eb4-006008c3a19a}
const GUID BusTypeUsb = {
    0x9d7debbc, 0xc85d, 0x11d1, {0x9e, 0xb4, 0x00, 0x60, 0x08, 0xc3, 0xa1, 0x9a}};

// "Uhub" as the debugger shows it.
constexpr ULONG HubPoolTag = 'U' | ('h' << 8) | ('u' << 16) | (static_cast<ULONG>('b') << 24);

struct HubExtension {
    HubPdo::State* state;
};

HubPdo::State* StateOf(PDEVICE_OBJECT device) {
    return static_cast<HubExtension*>(device->DeviceExtension)->state;
}

std::u16string Hex4(USHORT value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return std::u16string(text, text + 4);
}

std::u16string Hex2(UCHAR value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value);
    return std::u16string(text, text + 2);
}

std::u16string Ascii(const char* text) {
    std::u16string result;
    for (; *text != '\0'; ++text) {
        result += static_cast<char16_t>(*text);
    }
    return result;
}

// A reply that the PnP manager takes over and frees with ExFreePool.
PWCHAR PoolStrings(const std::vector<std::u16string>& strings, bool multi) {
    size_t characters = multi ? 1 : 0;
    for (const std::u16string& s : strings) {
        characters += s.size() + 1;
    }
    auto* buffer = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(PagedPool, characters * sizeof(WCHAR), HubPoolTag));
    if (buffer == NULL) {
        return NULL;
    }
    PWCHAR at = buffer;
    for (const std::u16string& s : strings) {
        for (char16_t c : s) {
            *at++ = c;
        }
        *at++ = 0;
    }
    if (multi) {
        *at = 0;
    }
    return buffer;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteWithPool(PIRP irp, PVOID reply) {
    if (reply == NULL) {
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(reply);
    return Complete(irp, STATUS_SUCCESS);
}

// The serial number the hub uses: one invalid character (below 0x20, a comma, above 0x7F)
// makes Windows discard the whole serial and treat the device as having none
// (usbcon/usb-faq--introductory-level).
std::u16string SerialOf(const DeviceIdentity& id) {
    bool valid = std::all_of(id.serialNumber.begin(), id.serialNumber.end(),
                             [](char16_t c) { return c >= 0x20 && c <= 0x7F && c != u','; });
    return valid ? id.serialNumber : std::u16string();
}

NTSTATUS QueryId(HubPdo::State& state, PIRP irp, BUS_QUERY_ID_TYPE type) {
    const DeviceIdentity& id = state.identity;
    switch (type) {
    case BusQueryDeviceID:
        return CompleteWithPool(irp, PoolStrings({DeviceIdOf(id)}, false));
    case BusQueryHardwareIDs:
        return CompleteWithPool(irp, PoolStrings(HardwareIdsOf(id), true));
    case BusQueryCompatibleIDs:
        return CompleteWithPool(irp, PoolStrings(CompatibleIdsOf(id), true));
    case BusQueryInstanceID: {
        // Without a serial number the port is all that tells two equal devices apart.
        std::u16string serial = SerialOf(id);
        std::u16string instance =
            serial.empty() ? Ascii(std::to_string(state.port).c_str()) : serial;
        return CompleteWithPool(irp, PoolStrings({instance}, false));
    }
    default:
        // Serial number and container ID: the PnP manager derives what it needs itself.
        return Complete(irp, irp->IoStatus.Status);
    }
}

NTSTATUS QueryDeviceText(HubPdo::State& state, PIRP irp, DEVICE_TEXT_TYPE type) {
    if (type == DeviceTextDescription && !state.identity.product.empty()) {
        return CompleteWithPool(irp, PoolStrings({state.identity.product}, false));
    }
    if (type == DeviceTextLocationInformation) {
        char text[32];
        std::snprintf(text, sizeof text, "Port_#%04u.Hub_#0001", static_cast<unsigned>(state.port));
        return CompleteWithPool(irp, PoolStrings({Ascii(text)}, false));
    }
    return Complete(irp, irp->IoStatus.Status);
}

// As a USB hub reports a device: removable, suspend is D2, the port as address and UI number.
// Sleep states map to D2 only when the device can wake the system from suspend.
NTSTATUS QueryCapabilities(HubPdo::State& state, PIRP irp, PDEVICE_CAPABILITIES caps) {
    if (caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        return Complete(irp, STATUS_UNSUCCESSFUL);
    }
    bool wake = state.identity.remoteWakeup;
    caps->DeviceD1 = 0;
    caps->DeviceD2 = 1;
    caps->Removable = 1;
    caps->SurpriseRemovalOK = 1;
    caps->UniqueID = SerialOf(state.identity).empty() ? 0 : 1;
    caps->WakeFromD2 = wake ? 1 : 0;
    caps->Address = state.port;
    caps->UINumber = state.port;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s) {
        caps->DeviceState[s] = wake ? PowerDeviceD2 : PowerDeviceD3;
    }
    caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps->SystemWake = wake ? PowerSystemSleeping3 : PowerSystemUnspecified;
    caps->DeviceWake = wake ? PowerDeviceD2 : PowerDeviceUnspecified;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS QueryBusInformation(PIRP irp) {
    auto* info = static_cast<PPNP_BUS_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), HubPoolTag));
    if (info != NULL) {
        info->BusTypeGuid = BusTypeUsb;
        info->LegacyBusType = PNPBus;
        info->BusNumber = 0;
    }
    return CompleteWithPool(irp, info);
}

NTSTATUS QueryRelations(PDEVICE_OBJECT device, PIRP irp, DEVICE_RELATION_TYPE type) {
    if (type != TargetDeviceRelation) {
        // A USB device has no children of its own on this bus.
        return Complete(irp, irp->IoStatus.Status);
    }
    auto* relations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), HubPoolTag));
    if (relations != NULL) {
        relations->Count = 1;
        relations->Objects[0] = device;
        ObReferenceObject(device);
    }
    return CompleteWithPool(irp, relations);
}

// An internal request on a PDO that is not serving (never started, stopped, surprise-removed or
// removed) fails as the running Windows version's USB hub fails it (failure_statuses.h).
NTSTATUS FailNotServing(PIRP irp, bool stopped) {
    const UsbFailureStatus& failure =
        FailureStatus(stopped ? UsbFailure::PdoStopped : UsbFailure::PdoNotStarted);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
        stack->Parameters.Others.Argument1 != NULL) {
        static_cast<PURB>(stack->Parameters.Others.Argument1)->UrbHeader.Status = failure.usbd;
    }
    irp->IoStatus.Information = 0;
    return Complete(irp, failure.status);
}

// Puts the device into its unconfigured state through the device's own handler, as a
// SET_CONFIGURATION(0) would; the PDO no longer serves anyone else's request.
void Deconfigure(PDEVICE_OBJECT device) {
    HubPdo::State& state = *StateOf(device);
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb.UrbSelectConfiguration.ConfigurationDescriptor = NULL;
    host::SendIrp(device, STATUS_NOT_SUPPORTED, [&urb, &state](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        stack->Parameters.Others.Argument1 = &urb;
        std::lock_guard<std::mutex> guard(state.lock);
        state.deconfiguration = irp;
    });
    std::lock_guard<std::mutex> guard(state.lock);
    state.deconfiguration = nullptr;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    HubPdo::State& state = *StateOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.minors.push_back(stack->MinorFunction);
    }
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS failure;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            failure = state.startFailure;
            state.startFailure = STATUS_SUCCESS;
            state.started = NT_SUCCESS(failure);
            state.serving = state.started;
            state.stopped = state.stopped && !state.started;
        }
        return Complete(irp, failure);
    }
    case IRP_MN_STOP_DEVICE: {
        // The hub leaves a stopped device unconfigured (its USB 3.0 hub resets it at the next
        // start): the pipe handles handed out before are dead, their transfers cancelled. From
        // now until the next start the PDO serves no request but its own.
        bool configured;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            configured = state.serving && state.handler && !state.keepConfiguration;
            state.stopped = state.serving;
            state.started = false;
            state.serving = false;
        }
        if (configured) {
            Deconfigure(device);
        }
        break;
    }
    case IRP_MN_SURPRISE_REMOVAL: {
        std::lock_guard<std::mutex> guard(state.lock);
        state.stopped = false;
        state.started = false;
        state.serving = false;
        break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        break;
    case IRP_MN_REMOVE_DEVICE: {
        bool gone;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            state.started = false;
            state.serving = false;
            state.stopped = false;
            gone = !state.present;
            state.deleted = gone;
        }
        Complete(irp, STATUS_SUCCESS);
        // A device still on the bus keeps its PDO: the PnP manager may enumerate it again.
        if (gone) {
            IoDeleteDevice(device);
        }
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID:
        return QueryId(state, irp, stack->Parameters.QueryId.IdType);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return QueryDeviceText(state, irp, stack->Parameters.QueryDeviceText.DeviceTextType);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(state, irp, stack->Parameters.DeviceCapabilities.Capabilities);
    case IRP_MN_QUERY_BUS_INFORMATION:
        return QueryBusInformation(irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return QueryRelations(device, irp, stack->Parameters.QueryDeviceRelations.Type);
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        break;
    default:
        // Resources, interfaces and the rest: a USB device has none to offer here.
        return Complete(irp, irp->IoStatus.Status);
    }
    return Complete(irp, STATUS_SUCCESS);
}

// Power as a bus driver's PDO at the bottom of the stack: the next power IRP may start, a device
// state reached is told to the power manager, and every request succeeds but a power-up that
// the device fails.
NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    HubPdo::State& state = *StateOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == DevicePowerState) {
        NTSTATUS failure;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            failure = state.powerUpFailure;
        }
        if (stack->Parameters.Power.State.DeviceState == PowerDeviceD0 && !NT_SUCCESS(failure)) {
            return Complete(irp, failure);
        }
        PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
    }
    return Complete(irp, STATUS_SUCCESS);
}

// A URB that selects a configuration (not the unconfiguring one).
bool IsSelection(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    return stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
           urb != NULL && urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
           urb->UrbSelectConfiguration.ConfigurationDescriptor != NULL;
}

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        return DispatchPnp(device, irp);
    case IRP_MJ_POWER:
        return DispatchPower(device, irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        InternalIoctlHandler handler;
        HubPdo::State& state = *StateOf(device);
        bool serving;
        bool stopped;
        bool selection = IsSelection(irp);
        NTSTATUS selectionFailure = STATUS_SUCCESS;
        USBD_STATUS selectionUsbd = USBD_STATUS_SUCCESS;
        {
            std::unique_lock<std::mutex> guard(state.lock);
            if (selection && state.holdSelection) {
                state.holdSelection = false;
                state.selectionWaiting = true;
                state.selectionLetGo.wait(guard, [&state] { return !state.selectionWaiting; });
            }
            handler = state.handler;
            serving = state.serving || irp == state.deconfiguration;
            stopped = state.stopped;
            if (selection && serving) {
                std::swap(selectionFailure, state.selectionFailure);
                std::swap(selectionUsbd, state.selectionUsbd);
            }
        }
        if (!serving) {
            return FailNotServing(irp, stopped);
        }
        if (!NT_SUCCESS(selectionFailure)) {
            static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1)
                ->UrbHeader.Status = selectionUsbd;
            irp->IoStatus.Information = 0;
            return Complete(irp, selectionFailure);
        }
        if (handler) {
            return handler(device, irp);
        }
        return Complete(irp, STATUS_NOT_SUPPORTED);
    }
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        irp->IoStatus.Information = 0;
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, irp->IoStatus.Status);
    }
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) {
        dispatch = BusDispatch;
    }
    return STATUS_SUCCESS;
}

// The USB bus driver is part of the machine: loaded once, never unloaded.
PDRIVER_OBJECT BusDriver() {
    static PDRIVER_OBJECT driver = host::LoadDriver(BusEntry, u"usbhub");
    return driver;
}

} // namespace

DeviceIdentity DefaultControllerIdentity() {
    DeviceIdentity id;
    id.idVendor = 0xF3A1;
    id.idProduct = 0x5C20;
    id.bcdDevice = 0x0100;
    id.composite = true;
    id.serialNumber = u"VD0001";
    id.product = u"Game Controller";
    return id;
}

std::u16string DeviceIdOf(const DeviceIdentity& id) {
    return u"USB\\VID_" + Hex4(id.idVendor) + u"&PID_" + Hex4(id.idProduct);
}

std::vector<std::u16string> HardwareIdsOf(const DeviceIdentity& id) {
    return {DeviceIdOf(id) + u"&REV_" + Hex4(id.bcdDevice), DeviceIdOf(id)};
}

std::vector<std::u16string> CompatibleIdsOf(const DeviceIdentity& id) {
    if (id.deviceClass == 0 && !id.composite) {
        std::u16string cls = u"USB\\Class_" + Hex2(id.interfaceClass);
        std::u16string sub = cls + u"&SubClass_" + Hex2(id.interfaceSubClass);
        return {sub + u"&Prot_" + Hex2(id.interfaceProtocol), sub, cls};
    }
    std::u16string cls = u"USB\\DevClass_" + Hex2(id.deviceClass);
    std::u16string sub = cls + u"&SubClass_" + Hex2(id.deviceSubClass);
    std::vector<std::u16string> ids = {sub + u"&Prot_" + Hex2(id.deviceProtocol), sub, cls};
    if (id.composite) {
        ids.push_back(u"USB\\COMPOSITE");
    }
    return ids;
}

HubPdo::HubPdo(const DeviceIdentity& identity, ULONG port) : state_(std::make_shared<State>()) {
    state_->identity = identity;
    state_->port = port;
    PDEVICE_OBJECT pdo = NULL;
    NTSTATUS status = IoCreateDevice(BusDriver(), sizeof(HubExtension), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        return;
    }
    static_cast<HubExtension*>(pdo->DeviceExtension)->state = state_.get();
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    state_->pdo = pdo;
}

HubPdo::~HubPdo() {
    if (state_->pdo != nullptr && !Deleted()) {
        IoDeleteDevice(state_->pdo);
    }
}

PDEVICE_OBJECT HubPdo::Device() const {
    return state_->pdo;
}

const DeviceIdentity& HubPdo::Identity() const {
    return state_->identity;
}

void HubPdo::SetInternalIoctlHandler(InternalIoctlHandler handler) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->handler = std::move(handler);
}

void HubPdo::Unplug() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->present = false;
}

bool HubPdo::Present() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->present;
}

bool HubPdo::Deleted() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->deleted;
}

void HubPdo::FailPowerUp(NTSTATUS status) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->powerUpFailure = status;
}

void HubPdo::FailNextStart(NTSTATUS status) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->startFailure = status;
}

std::vector<UCHAR> HubPdo::PnpMinorsSeen() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->minors;
}

bool HubPdo::Started() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->started;
}

void HubPdo::KeepConfigurationAtStop() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->keepConfiguration = true;
}

void HubPdo::HoldNextSelection() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->holdSelection = true;
}

bool HubPdo::SelectionWaiting() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->selectionWaiting;
}

void HubPdo::LetSelectionGo() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->selectionWaiting = false;
    state_->selectionLetGo.notify_all();
}

void HubPdo::FailNextSelection(UsbFailure failure) {
    const UsbFailureStatus& row = FailureStatus(failure);
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->selectionFailure = row.status;
    state_->selectionUsbd = row.usbd;
}

} // namespace sim::usb
