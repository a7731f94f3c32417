// The PnP manager of the world: binds drivers to devices by their IDs and the models of INFs,
// sends the requests Windows sends for a new device, enumerates children on
// IoInvalidateDeviceRelations from its own worker thread, keeps the device tree and drives
// removal (orderly, surprise), stop and restart, disable and enable.
//
// Every operation runs on the manager's worker thread, one at a time, as in Windows; the public
// calls below post their operation and wait for it (except where said). IoInvalidateDeviceRelations
// only posts: a driver may call it from any thread, holding locks.
#pragma once

#include <host/host.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace sim::pnp {

enum class NodeState {
    NoDriver,      // enumerated; no ID matched any model (or the device answered no ID)
    DriverMissing, // a model matched, but its service is not registered
    AddFailed,     // AddDevice failed
    StartFailed,   // IRP_MN_START_DEVICE failed; the stack was removed
    Added,         // AddDevice succeeded, not started yet
    Started,
    Stopped,   // after Restart's stop, until its start
    Disabled,  // query-removed and removed; the device is still there
    Removed,   // removed in order while still on its bus; Unplug finishes it
    Duplicate, // refused: another present device has its instance path (Code 42)
};

// Device Manager's problem code of a device refused as a duplicate (CM_PROB_DUPLICATE_DEVICE).
constexpr ULONG ProblemDuplicateDevice = 42;
// Bug check PNP_DETECTED_FATAL_ERROR and its first parameters used here.
constexpr ULONG PnpDetectedFatalError = 0xCA;
constexpr ULONG_PTR FatalDuplicatePdo = 0x1;
constexpr ULONG_PTR FatalInvalidId = 0x3;

const char* NodeStateName(NodeState state);

// A snapshot of one device node.
struct DeviceNode {
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT parent = nullptr; // the parent's PDO; NULL for a device given to Plug
    std::vector<PDEVICE_OBJECT> children;
    std::vector<PDEVICE_OBJECT> stack; // from the PDO up to the top of the stack
    std::u16string deviceId;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string instanceId;
    // The device instance path, as Windows forms it: device ID, then the instance ID, prefixed
    // with the parent's ParentIdPrefix unless the capabilities say UniqueID.
    std::u16string instancePath;
    ULONG problem = 0;          // Device Manager's problem code; 0: none
    std::u16string containerId; // the device's answer, or derived as Windows derives it
    std::u16string description;
    std::u16string location;
    bool hasCapabilities = false;
    DEVICE_CAPABILITIES capabilities{};
    bool hasBusInformation = false;
    PNP_BUS_INFORMATION busInformation{};
    PNP_DEVICE_STATE deviceState = 0;
    std::string service;   // the function driver bound, "" for none
    std::string matchedId; // the ID that selected it
    NodeState state = NodeState::NoDriver;
};

// What the manager does beyond what Windows does by default, as the kernel's enhanced I/O
// verification does to the drivers it checks.
struct Options {
    // The service of a driver whose device objects each get the pass-through filter
    // (filter_driver.h) directly above them: above its function device after AddDevice, above
    // each PDO it enumerates before the function driver is added there. Empty: no filter.
    std::string filterAbove;
    // New children of a bus relation are configured and started, and siblings queried and
    // removed, in an order shuffled with the seed rather than in the order reported.
    bool scrambleChildren = false;
    // Each stack gets a device power cycle nobody asked for (a query for a lower device state,
    // that state, then D0 again) after it started and before it is queried for removal or stop.
    bool unsolicitedPower = false;
    unsigned seed = 1;
};

class PnpManager {
  public:
    // Installs itself as the IoInvalidateDeviceRelations handler and knows the system's HID
    // stack (model USB\Class_03).
    explicit PnpManager(Options options = {});
    // Removes in order what is still in the tree, unloads the drivers it loaded, stops.
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // A driver the manager may load, by its service name; loaded on first bind, unloaded when
    // its last device object is gone (host::UnloadDriver then reports leaked pool).
    void RegisterDriver(const std::string& service, PDRIVER_INITIALIZE entry);
    // Adds the models of an INF; FALSE when the file cannot be read.
    bool LoadInf(const std::string& path);
    // The loaded driver object of a service, or NULL.
    PDRIVER_OBJECT Driver(const std::string& service) const;

    // A bus reports a new device: IDs, capabilities, text, resources, bus information, driver,
    // AddDevice, start, device state, bus relations. Returns the node's state.
    NodeState Plug(PDEVICE_OBJECT pdo);
    // The device left its bus (its bus driver already knows): surprise removal, then removal,
    // children first; the node leaves the tree.
    void Unplug(PDEVICE_OBJECT pdo);
    // Orderly removal: query-remove of the subtree, then removal, children first. FALSE when a
    // driver vetoed (the queried ones get the cancel). The node stays as Removed.
    bool Remove(PDEVICE_OBJECT pdo);
    // The stack failed while the device stays on its bus (a driver reported it failed):
    // surprise removal, then removal, children first. The node stays as Removed.
    void SurpriseRemove(PDEVICE_OBJECT pdo);
    // Rebalance: query-stop, stop, start. FALSE when the query was vetoed (the stack gets the
    // cancel). A start that fails then takes the stack and its children down with a surprise
    // removal and a removal; the node stays as StartFailed.
    bool Restart(PDEVICE_OBJECT pdo);
    // Disable: like Remove, the node stays as Disabled. Enable enumerates a disabled, removed or
    // failed node again.
    bool Disable(PDEVICE_OBJECT pdo);
    NodeState Enable(PDEVICE_OBJECT pdo);

    // Waits until every posted operation (invalidations included) has run.
    void WaitIdle();
    // Waits until the condition holds, re-testing it after each operation; FALSE on time-out.
    bool WaitUntil(const std::function<bool()>& condition,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));

    std::optional<DeviceNode> Node(PDEVICE_OBJECT pdo) const;
    std::vector<DeviceNode> Children(PDEVICE_OBJECT pdo) const;
    // IoInvalidateDeviceRelations calls for BusRelations of a device in the tree, so far.
    size_t InvalidationsSeen() const;
    // The device instance path of a node in the tree; empty when the node is unknown.
    std::u16string InstancePath(PDEVICE_OBJECT pdo) const;
    // Devices refused so far because another present device had their instance path: a
    // failure of the driver that reported them.
    size_t DuplicatesRefused() const;

    // Every node, parents before their children.
    std::vector<DeviceNode> Tree() const;
    // The tree as indented text, one node a line.
    std::string Describe() const;

  private:
    struct Entry; // one node of the tree
    struct Inbox; // where IoInvalidateDeviceRelations reaches the manager

    struct Model {
        std::string id;
        std::string service;
        std::string security; // the INF's Security value for the device, "" for none
    };
    struct RegisteredDriver {
        PDRIVER_INITIALIZE entry = nullptr;
        PDRIVER_OBJECT object = nullptr;
        std::u16string name;   // the driver object's service key points here
        bool resident = false; // a driver of the machine: never unloaded
    };

    void Post(std::function<void()> operation);
    void Run(std::function<void()> operation);
    void WorkerMain();
    void OnInvalidate(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type);

    Entry* Find(PDEVICE_OBJECT pdo) const;
    Entry* FindSerial(unsigned long long serial) const;
    Entry* NewEntry(PDEVICE_OBJECT pdo, Entry* parent);
    void Configure(Entry& entry);
    void QueryIdentity(Entry& entry);
    bool RefuseDuplicate(Entry& entry);
    void Bind(Entry& entry);
    void Filter(Entry& entry, PDEVICE_OBJECT below);
    bool StartStack(Entry& entry);
    void UnsolicitedPower(Entry& entry);
    void AfterStart(Entry& entry);
    void EnumerateChildren(Entry& entry);
    std::vector<Entry*> Subtree(Entry& entry);
    bool QueryRemoveAll(const std::vector<Entry*>& nodes);
    void RemoveAll(const std::vector<Entry*>& nodes, bool surprise);
    void Forget(const std::vector<Entry*>& nodes);
    bool RemoveKeeping(PDEVICE_OBJECT pdo, NodeState state);
    void UnloadIdleDrivers();
    DeviceNode Snapshot(const Entry& entry) const;
    std::u16string NewContainerId();

    const Options options_;
    std::mt19937 random_; // the worker's only

    mutable std::mutex treeLock_; // the tree; never held while an IRP is sent
    std::vector<std::unique_ptr<Entry>> entries_;
    unsigned long long nextSerial_ = 1;
    unsigned containers_ = 0;
    size_t invalidations_ = 0;
    size_t duplicates_ = 0;
    std::vector<Model> models_;
    std::map<std::string, RegisteredDriver> drivers_;

    std::mutex queueLock_;
    std::condition_variable queueWake_;
    std::deque<std::function<void()>> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::mutex changeLock_;
    std::condition_variable changeWake_;
    std::thread worker_;
    std::shared_ptr<Inbox> inbox_;
};

} // namespace sim::pnp
