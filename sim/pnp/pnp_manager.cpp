// The PnP manager's engine: one worker thread that runs every operation on the device tree in
// turn and talks to the device stacks with PnP IRPs.
#include "pnp_manager.h"

#include "../hid/hid_stack.h"
#include "device_requests.h"
#include "filter_driver.h"
#include "inf.h"
#include "host/user_io.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <future>
#include <set>
#include <sstream>

namespace sim::pnp {

struct PnpManager::Entry {
    unsigned long long serial = 0;
    DeviceNode node;
    Entry* parent = nullptr;
    std::vector<Entry*> children; // the manager holds a reference on each node's PDO
};

namespace {

// Longest ID list the manager reads from a reply, in characters.
constexpr size_t MaxReplyCharacters = 4096;

host::IrpResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                        const std::function<void(PIO_STACK_LOCATION)>& fill = {}) {
    return host::SendIrp(pdo, STATUS_NOT_SUPPORTED, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = minor;
        irp->IoStatus.Information = 0;
        if (fill) {
            fill(stack);
        }
    });
}

// Reads a reply string, or a REG_MULTI_SZ list, and frees it: the manager owns what it gets.
std::vector<std::u16string> TakeStrings(ULONG_PTR information, bool multi) {
    std::vector<std::u16string> strings;
    auto* text = reinterpret_cast<const WCHAR*>(information);
    size_t at = 0;
    do {
        std::u16string s;
        while (at < MaxReplyCharacters && text[at] != 0) {
            s += static_cast<char16_t>(text[at++]);
        }
        ++at;
        if (s.empty()) {
            break;
        }
        strings.push_back(s);
    } while (multi && at < MaxReplyCharacters);
    ExFreePool(reinterpret_cast<PVOID>(information));
    return strings;
}

// IRP_MN_QUERY_ID and IRP_MN_QUERY_DEVICE_TEXT; FALSE when the stack gave no answer.
bool QueryStrings(PDEVICE_OBJECT pdo, UCHAR minor, ULONG type, bool multi,
                  std::vector<std::u16string>& out) {
    host::IrpResult r = SendPnp(pdo, minor, [type](PIO_STACK_LOCATION stack) {
        if (stack->MinorFunction == IRP_MN_QUERY_ID) {
            stack->Parameters.QueryId.IdType = static_cast<BUS_QUERY_ID_TYPE>(type);
        } else {
            stack->Parameters.QueryDeviceText.DeviceTextType = static_cast<DEVICE_TEXT_TYPE>(type);
            stack->Parameters.QueryDeviceText.LocaleId = 0x409;
        }
    });
    if (!NT_SUCCESS(r.status) || r.information == 0) {
        return false;
    }
    out = TakeStrings(r.information, multi);
    return true;
}

std::u16string QueryString(PDEVICE_OBJECT pdo, UCHAR minor, ULONG type) {
    std::vector<std::u16string> strings;
    if (!QueryStrings(pdo, minor, type, false, strings) || strings.empty()) {
        return u"";
    }
    return strings.front();
}

bool QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES& caps) {
    DEVICE_CAPABILITIES asked{};
    asked.Size = sizeof(DEVICE_CAPABILITIES);
    asked.Version = 1;
    asked.Address = 0xFFFFFFFF;
    asked.UINumber = 0xFFFFFFFF;
    host::IrpResult r = SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceCapabilities.Capabilities = &asked;
    });
    if (!NT_SUCCESS(r.status)) {
        return false;
    }
    caps = asked;
    return true;
}

std::string Narrow(const std::u16string& text) {
    std::string result;
    for (char16_t c : text) {
        result += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return result;
}

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

bool SameId(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::vector<PDEVICE_OBJECT> StackOf(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice) {
        stack.push_back(d);
    }
    return stack;
}

// The verifier's check where Windows makes it: a device object that a driver created for a
// stack (after AddDevice) or reported as a child must be initialised by then.
void CheckInitialized(PDEVICE_OBJECT device, const char* when) {
    if ((device->Flags & DO_DEVICE_INITIALIZING) != 0) {
        char text[160];
        std::snprintf(text, sizeof text, "device object %p still has DO_DEVICE_INITIALIZING %s",
                      static_cast<void*>(device), when);
        host::ReportViolation(host::rule::DeviceStillInitializing, text);
    }
}

// The instance path of whatever a device given to Plug hangs from: the hub that the world's
// USB devices share.
const std::u16string RootHubPath = u"USB\\ROOT_HUB30\\4&1B2C3D4E&0&0";

uint32_t Crc32(const std::u16string& text) {
    uint32_t crc = 0xFFFFFFFFu;
    for (char16_t c : text) {
        for (int half = 0; half < 2; ++half) {
            crc ^= static_cast<uint8_t>(half == 0 ? c & 0xFF : c >> 8);
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
            }
        }
    }
    return ~crc;
}

// ParentIdPrefix (install/device-instance-ids; the PnP manager keeps it in the parent's key):
// the parent's depth in the tree and a checksum of its instance path, in hex, and a third field
// Windows adds (0 here). Not modelled: the depth and checksum a given machine gives, its root
// hub's depth among them (1 here) and the case of the hex digits; what matters is that the
// prefix is stable and differs between parents.
std::u16string ParentIdPrefix(unsigned depth, const std::u16string& parentPath) {
    char text[32];
    std::snprintf(text, sizeof text, "%x&%x&0", depth, Crc32(parentPath));
    return std::u16string(text, text + std::strlen(text));
}

// IRP_MN_QUERY_ID: an instance ID may hold only characters 0x20 to 0x7F, neither a comma nor a
// backslash; the PnP manager bug-checks 0xCA with parameter 1 = 0x3 otherwise. Not modelled: the
// limit on an ID's length, and the checks on device and hardware IDs.
bool ValidInstanceId(const std::u16string& id) {
    return std::all_of(id.begin(), id.end(), [](char16_t c) {
        return c >= 0x20 && c <= 0x7F && c != u',' && c != u'\\';
    });
}

// Instance paths are compared without regard to case, as registry key names are.
bool SamePath(const std::u16string& a, const std::u16string& b) {
    auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [&](char16_t x, char16_t y) { return upper(x) == upper(y); });
}

bool IsActive(NodeState state) {
    return state == NodeState::Started || state == NodeState::Stopped;
}

} // namespace

const char* NodeStateName(NodeState state) {
    switch (state) {
    case NodeState::NoDriver:
        return "no driver";
    case NodeState::DriverMissing:
        return "driver missing";
    case NodeState::AddFailed:
        return "AddDevice failed";
    case NodeState::StartFailed:
        return "start failed";
    case NodeState::Added:
        return "added";
    case NodeState::Started:
        return "started";
    case NodeState::Stopped:
        return "stopped";
    case NodeState::Disabled:
        return "disabled";
    case NodeState::Removed:
        return "removed";
    case NodeState::Duplicate:
        return "duplicate device (Code 42)";
    }
    return "?";
}

// The IoInvalidateDeviceRelations handler may be called after the manager is gone: it reaches the
// manager only through here, and calls in flight finish before the manager goes.
struct PnpManager::Inbox {
    std::mutex lock;
    PnpManager* manager = nullptr;
};

PnpManager::PnpManager(Options options) : options_(std::move(options)), random_(options_.seed) {
    if (!options_.filterAbove.empty()) {
        drivers_[FilterService].entry = FilterDriverEntry;
    }
    RegisteredDriver hid;
    hid.object = hid::HidStackDriver();
    hid.resident = true;
    drivers_[hid::HidStackService] = hid;
    models_.push_back({hid::HidStackModelId, hid::HidStackService, ""});
    worker_ = std::thread([this] { WorkerMain(); });
    inbox_ = std::make_shared<Inbox>();
    inbox_->manager = this;
    std::shared_ptr<Inbox> inbox = inbox_;
    host::SetInvalidateRelationsHandler([inbox](PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type) {
        std::lock_guard<std::mutex> guard(inbox->lock);
        if (inbox->manager != nullptr) {
            inbox->manager->OnInvalidate(pdo, type);
        }
    });
}

PnpManager::~PnpManager() {
    Run([this] {
        std::vector<Entry*> roots;
        {
            std::lock_guard<std::mutex> guard(treeLock_);
            for (auto& e : entries_) {
                if (e->parent == nullptr) {
                    roots.push_back(e.get());
                }
            }
        }
        for (Entry* root : roots) {
            std::vector<Entry*> nodes = Subtree(*root);
            bool orderly = QueryRemoveAll(nodes);
            RemoveAll(nodes, !orderly);
            Forget(nodes);
        }
        UnloadIdleDrivers();
    });
    {
        std::lock_guard<std::mutex> guard(inbox_->lock);
        inbox_->manager = nullptr;
    }
    host::SetInvalidateRelationsHandler(nullptr);
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        stopping_ = true;
    }
    queueWake_.notify_all();
    worker_.join();
}

void PnpManager::RegisterDriver(const std::string& service, PDRIVER_INITIALIZE entry) {
    Run([this, service, entry] { drivers_[service].entry = entry; });
}

// An INF whose Security value cannot be read is refused whole, as the installer refuses it.
bool PnpManager::LoadInf(const std::string& path) {
    std::vector<InfModel> models;
    if (!ReadInfModels(path, models)) {
        return false;
    }
    for (const InfModel& m : models) {
        if (!m.security.empty() && !host::SddlReadable(m.security)) {
            return false;
        }
    }
    Run([this, &models] {
        for (const InfModel& m : models) {
            if (!m.service.empty()) {
                models_.push_back({m.id, m.service, m.security});
            }
        }
    });
    return true;
}

PDRIVER_OBJECT PnpManager::Driver(const std::string& service) const {
    std::lock_guard<std::mutex> guard(treeLock_);
    auto found = drivers_.find(service);
    return found == drivers_.end() ? nullptr : found->second.object;
}

// ---- Operations
// ----------------------------------------------------------------------------------

NodeState PnpManager::Plug(PDEVICE_OBJECT pdo) {
    NodeState state = NodeState::NoDriver;
    Run([&] {
        Entry* entry = Find(pdo);
        if (entry == nullptr) {
            ObReferenceObject(pdo);
            entry = NewEntry(pdo, nullptr);
            Configure(*entry);
        }
        state = entry->node.state;
    });
    return state;
}

void PnpManager::SurpriseRemove(PDEVICE_OBJECT pdo) {
    Run([&] {
        Entry* entry = Find(pdo);
        if (entry == nullptr || !IsActive(entry->node.state)) {
            return;
        }
        std::vector<Entry*> nodes = Subtree(*entry);
        RemoveAll(nodes, true);
        nodes.pop_back(); // the device is still on its bus; its children go with its stack
        Forget(nodes);
        UnloadIdleDrivers();
    });
}

void PnpManager::Unplug(PDEVICE_OBJECT pdo) {
    Run([&] {
        Entry* entry = Find(pdo);
        if (entry == nullptr) {
            return;
        }
        std::vector<Entry*> nodes = Subtree(*entry);
        RemoveAll(nodes, true);
        Forget(nodes);
        UnloadIdleDrivers();
    });
}

bool PnpManager::Remove(PDEVICE_OBJECT pdo) {
    return RemoveKeeping(pdo, NodeState::Removed);
}

bool PnpManager::Disable(PDEVICE_OBJECT pdo) {
    return RemoveKeeping(pdo, NodeState::Disabled);
}

bool PnpManager::RemoveKeeping(PDEVICE_OBJECT pdo, NodeState state) {
    bool done = false;
    Run([&] {
        Entry* entry = Find(pdo);
        if (entry == nullptr) {
            return;
        }
        std::vector<Entry*> nodes = Subtree(*entry);
        if (!QueryRemoveAll(nodes)) {
            return;
        }
        RemoveAll(nodes, false);
        nodes.pop_back(); // the node itself stays, its children go with their parent's stack
        Forget(nodes);
        {
            std::lock_guard<std::mutex> guard(treeLock_);
            entry->node.state = state;
        }
        UnloadIdleDrivers();
        done = true;
    });
    return done;
}

NodeState PnpManager::Enable(PDEVICE_OBJECT pdo) {
    NodeState state = NodeState::NoDriver;
    Run([&] {
        Entry* entry = Find(pdo);
        if (entry == nullptr) {
            return;
        }
        NodeState now = entry->node.state;
        if (now == NodeState::Disabled || now == NodeState::Removed ||
            now == NodeState::StartFailed) {
            Configure(*entry);
        }
        state = entry->node.state;
    });
    return state;
}

bool PnpManager::Restart(PDEVICE_OBJECT pdo) {
    bool done = false;
    Run([&] {
        Entry* entry = Find(pdo);
        if (entry == nullptr || entry->node.state != NodeState::Started) {
            return;
        }
        UnsolicitedPower(*entry);
        if (!NT_SUCCESS(SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE).status)) {
            SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
            return;
        }
        SendPnp(pdo, IRP_MN_STOP_DEVICE);
        {
            std::lock_guard<std::mutex> guard(treeLock_);
            entry->node.state = NodeState::Stopped;
        }
        if (StartStack(*entry)) {
            AfterStart(*entry);
        }
        UnloadIdleDrivers();
        done = true;
    });
    return done;
}

void PnpManager::OnInvalidate(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type) {
    if (type != BusRelations) {
        return;
    }
    unsigned long long serial;
    {
        // The node is identified now: by the time the worker runs, the PDO may be gone.
        std::lock_guard<std::mutex> guard(treeLock_);
        auto found =
            std::find_if(entries_.begin(), entries_.end(),
                         [pdo](const std::unique_ptr<Entry>& e) { return e->node.pdo == pdo; });
        if (found == entries_.end()) {
            return;
        }
        serial = (*found)->serial;
        ++invalidations_;
    }
    Post([this, serial] {
        Entry* entry = FindSerial(serial);
        if (entry != nullptr && entry->node.state == NodeState::Started) {
            EnumerateChildren(*entry);
            UnloadIdleDrivers();
        }
    });
}

// ---- Enumeration -------------------------------------------------------------------------------

void PnpManager::Configure(Entry& entry) {
    QueryIdentity(entry);
    if (RefuseDuplicate(entry)) {
        return;
    }
    Bind(entry);
    if (entry.node.state == NodeState::Added && StartStack(entry)) {
        AfterStart(entry);
    }
    UnloadIdleDrivers();
}

// The requests Windows sends to a new device's bus driver before any driver is loaded.
void PnpManager::QueryIdentity(Entry& entry) {
    PDEVICE_OBJECT pdo = entry.node.pdo;
    DeviceNode found;
    found.deviceId = QueryString(pdo, IRP_MN_QUERY_ID, BusQueryDeviceID);
    QueryStrings(pdo, IRP_MN_QUERY_ID, BusQueryHardwareIDs, true, found.hardwareIds);
    QueryStrings(pdo, IRP_MN_QUERY_ID, BusQueryCompatibleIDs, true, found.compatibleIds);
    found.instanceId = QueryString(pdo, IRP_MN_QUERY_ID, BusQueryInstanceID);
    found.containerId = QueryString(pdo, IRP_MN_QUERY_ID, BusQueryContainerID);
    found.hasCapabilities = QueryCapabilities(pdo, found.capabilities);
    found.description = QueryString(pdo, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription);
    found.location = QueryString(pdo, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation);
    host::IrpResult resources = SendPnp(pdo, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    if (NT_SUCCESS(resources.status) && resources.information != 0) {
        ExFreePool(reinterpret_cast<PVOID>(resources.information));
    }
    host::IrpResult bus = SendPnp(pdo, IRP_MN_QUERY_BUS_INFORMATION);
    if (NT_SUCCESS(bus.status) && bus.information != 0) {
        found.hasBusInformation = true;
        found.busInformation = *reinterpret_cast<PPNP_BUS_INFORMATION>(bus.information);
        ExFreePool(reinterpret_cast<PVOID>(bus.information));
    }
    // Without an answer, a removable device starts a container of its own; anything else
    // belongs to its parent's.
    if (found.containerId.empty()) {
        bool removable = found.hasCapabilities && found.capabilities.Removable;
        found.containerId = removable || entry.parent == nullptr ? NewContainerId()
                                                                 : entry.parent->node.containerId;
    }
    if (!ValidInstanceId(found.instanceId)) {
        KeBugCheckEx(PnpDetectedFatalError, FatalInvalidId, reinterpret_cast<ULONG_PTR>(pdo), 0, 0);
    }
    unsigned depth = 1;
    std::u16string parentPath = RootHubPath;
    if (entry.parent != nullptr) {
        parentPath = entry.parent->node.instancePath;
        for (Entry* up = entry.parent; up != nullptr; up = up->parent) {
            ++depth;
        }
    }
    bool unique = found.hasCapabilities && found.capabilities.UniqueID;
    found.instancePath =
        found.deviceId + u"\\" +
        (unique ? found.instanceId : ParentIdPrefix(depth, parentPath) + u"&" + found.instanceId);
    std::lock_guard<std::mutex> guard(treeLock_);
    DeviceNode& node = entry.node;
    node.instancePath = found.instancePath;
    node.problem = 0;
    node.deviceId = found.deviceId;
    node.hardwareIds = found.hardwareIds;
    node.compatibleIds = found.compatibleIds;
    node.instanceId = found.instanceId;
    node.containerId = found.containerId;
    node.hasCapabilities = found.hasCapabilities;
    node.capabilities = found.capabilities;
    node.description = found.description;
    node.location = found.location;
    node.hasBusInformation = found.hasBusInformation;
    node.busInformation = found.busInformation;
}

// Two present devices cannot share an instance path (install/cm-prob-duplicate-device,
// bug-check 0xCA): a device whose instance ID is unique (UniqueID set) met twice is one device
// reported by two parents, and the later one is refused with Code 42 and stays without a driver;
// one whose instance ID is unique only under its parent carries that parent's prefix, so one
// parent reported both, and the machine stops with 0xCA/0x1.
bool PnpManager::RefuseDuplicate(Entry& entry) {
    Entry* older = nullptr;
    {
        std::lock_guard<std::mutex> guard(treeLock_);
        for (const auto& e : entries_) {
            if (e.get() != &entry && e->node.state != NodeState::Duplicate &&
                !e->node.instancePath.empty() &&
                SamePath(e->node.instancePath, entry.node.instancePath)) {
                older = e.get();
                break;
            }
        }
        if (older == nullptr) {
            return false;
        }
        if (entry.node.hasCapabilities && entry.node.capabilities.UniqueID) {
            entry.node.state = NodeState::Duplicate;
            entry.node.problem = ProblemDuplicateDevice;
            ++duplicates_;
            return true;
        }
    }
    KeBugCheckEx(PnpDetectedFatalError, FatalDuplicatePdo,
                 reinterpret_cast<ULONG_PTR>(entry.node.pdo),
                 reinterpret_cast<ULONG_PTR>(older->node.pdo), 0);
}

// Hardware IDs first, then compatible IDs, each in the device's order: the first ID that a
// model names picks the driver. A device without a device ID gets none.
void PnpManager::Bind(Entry& entry) {
    std::string service;
    std::string security;
    std::string matched;
    if (!entry.node.deviceId.empty()) {
        std::vector<std::u16string> ids = entry.node.hardwareIds;
        ids.insert(ids.end(), entry.node.compatibleIds.begin(), entry.node.compatibleIds.end());
        for (const std::u16string& id : ids) {
            auto model = std::find_if(models_.begin(), models_.end(),
                                      [&](const Model& m) { return SameId(m.id, Narrow(id)); });
            if (model != models_.end()) {
                service = model->service;
                security = model->security;
                matched = Narrow(id);
                break;
            }
        }
    }
    NodeState state = NodeState::NoDriver;
    if (!service.empty()) {
        auto driver = drivers_.find(service);
        if (driver == drivers_.end() ||
            (driver->second.object == nullptr && driver->second.entry == nullptr)) {
            state = NodeState::DriverMissing;
        } else {
            RegisteredDriver& d = driver->second;
            if (d.object == nullptr) {
                d.name = Wide(service);
                d.object = host::LoadDriver(d.entry, d.name.c_str());
            }
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            if (d.object != nullptr && d.object->DriverExtension->AddDevice != nullptr) {
                Filter(entry, entry.node.pdo);
                // Through the host, so that what AddDevice allocates is the driver's.
                status = host::CallAddDevice(d.object, entry.node.pdo);
            }
            state = NT_SUCCESS(status) ? NodeState::Added : NodeState::AddFailed;
            if (state == NodeState::Added) {
                PDEVICE_OBJECT top = entry.node.pdo;
                while (top->AttachedDevice != nullptr) {
                    top = top->AttachedDevice;
                }
                Filter(entry, top);
                // The device's hardware key holds the INF's Security: every device object of
                // the stack gets it (read when the INF was loaded, so it applies).
                InfModel installed;
                installed.security = security;
                ApplyDeviceSecurity(installed, entry.node.pdo);
            }
            for (PDEVICE_OBJECT d = entry.node.pdo->AttachedDevice; d != nullptr;
                 d = d->AttachedDevice) {
                CheckInitialized(d, "after AddDevice");
            }
        }
    }
    std::lock_guard<std::mutex> guard(treeLock_);
    entry.node.service = service;
    entry.node.matchedId = matched;
    entry.node.state = state;
    entry.node.stack = StackOf(entry.node.pdo);
}

// The filter goes on top of the stack when the device object now on top is the filtered
// driver's.
void PnpManager::Filter(Entry& entry, PDEVICE_OBJECT below) {
    if (options_.filterAbove.empty()) {
        return;
    }
    auto filtered = drivers_.find(options_.filterAbove);
    if (filtered == drivers_.end() || filtered->second.object == nullptr ||
        below->DriverObject != filtered->second.object) {
        return;
    }
    RegisteredDriver& filter = drivers_[FilterService];
    if (filter.object == nullptr) {
        filter.name = Wide(FilterService);
        PDRIVER_OBJECT object = host::LoadDriver(filter.entry, filter.name.c_str());
        std::lock_guard<std::mutex> guard(treeLock_);
        filter.object = object;
    }
    if (filter.object != nullptr) {
        AttachFilter(filter.object, entry.node.pdo);
    }
}

// A start that fails takes the stack down again, as Windows does: a new device gets its
// removal; a device restarted after a stop is surprise-removed first, with its children.
bool PnpManager::StartStack(Entry& entry) {
    bool restart = entry.node.state == NodeState::Stopped;
    host::IrpResult r = SendPnp(entry.node.pdo, IRP_MN_START_DEVICE);
    if (NT_SUCCESS(r.status)) {
        return true;
    }
    std::vector<Entry*> nodes = restart ? Subtree(entry) : std::vector<Entry*>{&entry};
    RemoveAll(nodes, restart);
    nodes.pop_back();
    Forget(nodes);
    std::lock_guard<std::mutex> guard(treeLock_);
    entry.node.state = NodeState::StartFailed;
    entry.node.stack = StackOf(entry.node.pdo);
    return false;
}

// After a start Windows asks the whole stack again for capabilities and state, and for the
// device's children.
void PnpManager::AfterStart(Entry& entry) {
    PDEVICE_OBJECT pdo = entry.node.pdo;
    DEVICE_CAPABILITIES caps{};
    bool hasCaps = QueryCapabilities(pdo, caps);
    host::IrpResult state = SendPnp(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
    {
        std::lock_guard<std::mutex> guard(treeLock_);
        entry.node.state = NodeState::Started;
        if (hasCaps) {
            entry.node.capabilities = caps;
            entry.node.hasCapabilities = true;
        }
        entry.node.deviceState =
            NT_SUCCESS(state.status) ? static_cast<PNP_DEVICE_STATE>(state.information) : 0;
    }
    UnsolicitedPower(entry);
    EnumerateChildren(entry);
}

// From the worker at PASSIVE_LEVEL, on a stack with a driver: the device may go to a lower
// state if its stack agrees, and comes back to D0, where the working system keeps it.
void PnpManager::UnsolicitedPower(Entry& entry) {
    if (!options_.unsolicitedPower || !IsActive(entry.node.state)) {
        return;
    }
    POWER_STATE lower;
    lower.DeviceState = static_cast<DEVICE_POWER_STATE>(PowerDeviceD1 + random_() % 3);
    POWER_STATE working;
    working.DeviceState = PowerDeviceD0;
    PDEVICE_OBJECT pdo = entry.node.pdo;
    if (NT_SUCCESS(SendPower(pdo, IRP_MN_QUERY_POWER, DevicePowerState, lower).status)) {
        SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, lower);
    }
    SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, working);
}

// BusRelations of a started stack: new device objects become nodes (the manager keeps the
// reference the list carried), known ones give back the extra reference, and children missing
// from the list are surprise-removed.
void PnpManager::EnumerateChildren(Entry& entry) {
    host::IrpResult r =
        SendPnp(entry.node.pdo, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION stack) {
            stack->Parameters.QueryDeviceRelations.Type = BusRelations;
        });
    if (!NT_SUCCESS(r.status)) {
        return;
    }
    std::vector<PDEVICE_OBJECT> listed;
    if (r.information != 0) {
        auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
        listed.assign(relations->Objects, relations->Objects + relations->Count);
        ExFreePool(relations);
    }
    std::set<PDEVICE_OBJECT> seen;
    std::vector<Entry*> added;
    for (PDEVICE_OBJECT child : listed) {
        bool known = std::any_of(entry.children.begin(), entry.children.end(),
                                 [child](Entry* e) { return e->node.pdo == child; });
        if (known || !seen.insert(child).second) {
            ObDereferenceObject(child);
            continue;
        }
        CheckInitialized(child, "when reported in BusRelations");
        added.push_back(NewEntry(child, &entry));
    }
    if (options_.scrambleChildren) {
        std::shuffle(added.begin(), added.end(), random_);
    }
    std::vector<Entry*> missing;
    for (Entry* child : entry.children) {
        if (std::find(listed.begin(), listed.end(), child->node.pdo) == listed.end()) {
            missing.push_back(child);
        }
    }
    for (Entry* gone : missing) {
        std::vector<Entry*> nodes = Subtree(*gone);
        RemoveAll(nodes, true);
        Forget(nodes);
    }
    for (Entry* child : added) {
        Configure(*child);
    }
}

// ---- Removal
// -------------------------------------------------------------------------------------

std::vector<PnpManager::Entry*> PnpManager::Subtree(Entry& entry) {
    std::vector<Entry*> nodes;
    std::vector<Entry*> children = entry.children;
    if (options_.scrambleChildren) {
        std::shuffle(children.begin(), children.end(), random_);
    }
    for (Entry* child : children) {
        std::vector<Entry*> below = Subtree(*child);
        nodes.insert(nodes.end(), below.begin(), below.end());
    }
    nodes.push_back(&entry);
    return nodes;
}

// Query-remove, children first; a veto cancels the ones already asked, last asked first.
bool PnpManager::QueryRemoveAll(const std::vector<Entry*>& nodes) {
    std::vector<Entry*> asked;
    for (Entry* node : nodes) {
        if (!IsActive(node->node.state)) {
            continue;
        }
        UnsolicitedPower(*node);
        if (!NT_SUCCESS(SendPnp(node->node.pdo, IRP_MN_QUERY_REMOVE_DEVICE).status)) {
            for (auto it = asked.rbegin(); it != asked.rend(); ++it) {
                SendPnp((*it)->node.pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
            }
            SendPnp(node->node.pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
            return false;
        }
        asked.push_back(node);
    }
    return true;
}

// Children first. Every node gets IRP_MN_REMOVE_DEVICE, also one removed before: that final
// remove is what lets a bus driver delete a PDO that has left its bus.
void PnpManager::RemoveAll(const std::vector<Entry*>& nodes, bool surprise) {
    if (surprise) {
        for (Entry* node : nodes) {
            if (IsActive(node->node.state)) {
                SendPnp(node->node.pdo, IRP_MN_SURPRISE_REMOVAL);
            }
        }
    }
    for (Entry* node : nodes) {
        SendPnp(node->node.pdo, IRP_MN_REMOVE_DEVICE);
        std::lock_guard<std::mutex> guard(treeLock_);
        node->node.state = NodeState::Removed;
        node->node.stack = {node->node.pdo};
    }
}

// The nodes leave the tree and the manager lets go of their PDOs.
void PnpManager::Forget(const std::vector<Entry*>& nodes) {
    std::vector<PDEVICE_OBJECT> release;
    {
        std::lock_guard<std::mutex> guard(treeLock_);
        for (Entry* node : nodes) {
            if (node->parent != nullptr) {
                auto& siblings = node->parent->children;
                siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
            }
            release.push_back(node->node.pdo);
            entries_.erase(
                std::remove_if(entries_.begin(), entries_.end(),
                               [node](const std::unique_ptr<Entry>& e) { return e.get() == node; }),
                entries_.end());
        }
    }
    for (PDEVICE_OBJECT pdo : release) {
        ObDereferenceObject(pdo);
    }
}

// Windows unloads a driver once its last device object is gone.
void PnpManager::UnloadIdleDrivers() {
    for (auto& [service, driver] : drivers_) {
        if (!driver.resident && driver.object != nullptr &&
            host::DeviceObjectsOf(driver.object) == 0) {
            PDRIVER_OBJECT object = driver.object;
            {
                std::lock_guard<std::mutex> guard(treeLock_);
                driver.object = nullptr;
            }
            host::UnloadDriver(object);
        }
    }
}

// ---- Tree
// ----------------------------------------------------------------------------------------

PnpManager::Entry* PnpManager::NewEntry(PDEVICE_OBJECT pdo, Entry* parent) {
    auto entry = std::make_unique<Entry>();
    entry->node.pdo = pdo;
    entry->node.parent = parent != nullptr ? parent->node.pdo : nullptr;
    entry->node.stack = {pdo};
    entry->parent = parent;
    std::lock_guard<std::mutex> guard(treeLock_);
    entry->serial = nextSerial_++;
    Entry* raw = entry.get();
    entries_.push_back(std::move(entry));
    if (parent != nullptr) {
        parent->children.push_back(raw);
    }
    return raw;
}

PnpManager::Entry* PnpManager::Find(PDEVICE_OBJECT pdo) const {
    std::lock_guard<std::mutex> guard(treeLock_);
    for (const auto& e : entries_) {
        if (e->node.pdo == pdo) {
            return e.get();
        }
    }
    return nullptr;
}

PnpManager::Entry* PnpManager::FindSerial(unsigned long long serial) const {
    std::lock_guard<std::mutex> guard(treeLock_);
    for (const auto& e : entries_) {
        if (e->serial == serial) {
            return e.get();
        }
    }
    return nullptr;
}

std::u16string PnpManager::InstancePath(PDEVICE_OBJECT pdo) const {
    std::lock_guard<std::mutex> guard(treeLock_);
    for (const auto& e : entries_) {
        if (e->node.pdo == pdo) {
            return e->node.instancePath;
        }
    }
    return {};
}

size_t PnpManager::DuplicatesRefused() const {
    std::lock_guard<std::mutex> guard(treeLock_);
    return duplicates_;
}

size_t PnpManager::InvalidationsSeen() const {
    std::lock_guard<std::mutex> guard(treeLock_);
    return invalidations_;
}

std::u16string PnpManager::NewContainerId() {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-0000-4000-8000-%012x}", ++containers_, 0x5e0u);
    return Wide(text);
}

DeviceNode PnpManager::Snapshot(const Entry& entry) const {
    DeviceNode node = entry.node;
    node.children.clear();
    for (Entry* child : entry.children) {
        node.children.push_back(child->node.pdo);
    }
    return node;
}

std::optional<DeviceNode> PnpManager::Node(PDEVICE_OBJECT pdo) const {
    std::lock_guard<std::mutex> guard(treeLock_);
    for (const auto& e : entries_) {
        if (e->node.pdo == pdo) {
            return Snapshot(*e);
        }
    }
    return std::nullopt;
}

std::vector<DeviceNode> PnpManager::Children(PDEVICE_OBJECT pdo) const {
    std::vector<DeviceNode> result;
    std::lock_guard<std::mutex> guard(treeLock_);
    for (const auto& e : entries_) {
        if (e->node.pdo == pdo) {
            for (Entry* child : e->children) {
                result.push_back(Snapshot(*child));
            }
        }
    }
    return result;
}

std::vector<DeviceNode> PnpManager::Tree() const {
    std::vector<DeviceNode> result;
    std::lock_guard<std::mutex> guard(treeLock_);
    std::function<void(const Entry&)> visit = [&](const Entry& e) {
        result.push_back(Snapshot(e));
        for (Entry* child : e.children) {
            visit(*child);
        }
    };
    for (const auto& e : entries_) {
        if (e->parent == nullptr) {
            visit(*e);
        }
    }
    return result;
}

std::string PnpManager::Describe() const {
    std::ostringstream text;
    std::vector<DeviceNode> tree = Tree();
    std::map<PDEVICE_OBJECT, int> depth;
    for (const DeviceNode& node : tree) {
        int d = node.parent != nullptr ? depth[node.parent] + 1 : 0;
        depth[node.pdo] = d;
        text << std::string(static_cast<size_t>(d) * 2, ' ')
             << (node.deviceId.empty() ? std::string("(no device ID)") : Narrow(node.instancePath));
        text << "  [" << NodeStateName(node.state) << "]";
        if (!node.service.empty()) {
            text << "  driver " << node.service << " (" << node.matchedId << ")";
        }
        text << "\n";
    }
    return text.str();
}

// ---- Worker
// --------------------------------------------------------------------------------------

void PnpManager::Post(std::function<void()> operation) {
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        queue_.push_back(std::move(operation));
    }
    queueWake_.notify_all();
}

void PnpManager::Run(std::function<void()> operation) {
    if (std::this_thread::get_id() == worker_.get_id()) {
        operation();
        return;
    }
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    Post([&] {
        operation();
        done.set_value();
    });
    finished.wait();
}

void PnpManager::WorkerMain() {
    std::unique_lock<std::mutex> guard(queueLock_);
    for (;;) {
        queueWake_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;
        }
        std::function<void()> operation = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        guard.unlock();
        operation();
        { std::lock_guard<std::mutex> change(changeLock_); }
        changeWake_.notify_all();
        guard.lock();
        busy_ = false;
        queueWake_.notify_all();
    }
}

void PnpManager::WaitIdle() {
    std::unique_lock<std::mutex> guard(queueLock_);
    queueWake_.wait(guard, [this] { return queue_.empty() && !busy_; });
}

bool PnpManager::WaitUntil(const std::function<bool()>& condition,
                           std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> guard(changeLock_);
    while (!condition()) {
        if (changeWake_.wait_until(guard, deadline) == std::cv_status::timeout) {
            return condition();
        }
    }
    return true;
}

} // namespace sim::pnp
