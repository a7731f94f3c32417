// The power manager of the world: system sleep and resume over the device tree that the PnP
// manager keeps, as Windows sends them, and PoRequestPowerIrp for the drivers.
//
// A system transition sends query-power and then set-power system IRPs to the top of each
// started device's stack, children before their parent on the way down and parents first on the
// way back to S0, and waits for each stack's IRP before it moves on. A query that a driver fails
// vetoes the sleep: the devices already asked are told to stay in S0. Device IRPs that drivers
// request go to the top of the device's stack from the manager's own worker thread at
// PASSIVE_LEVEL (the stacks here are pageable), and their completion functions are called when
// they come back. Every power IRP the manager sends is recorded until it returns.
#pragma once

#include "../pnp/pnp_manager.h"

#include <host/host.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sim::power {

IO_COMPLETION_ROUTINE RequestedIrpDone;

// One power IRP the manager sent, and what became of it.
struct SentIrp {
    PDEVICE_OBJECT device = nullptr; // the stack's PDO, or the device a driver requested for
    UCHAR minor = 0;
    POWER_STATE_TYPE type = SystemPowerState;
    POWER_STATE state{};
    bool requested = false; // through PoRequestPowerIrp
    bool returned = false;
    NTSTATUS status = STATUS_PENDING; // the IRP's status when it came back
};

class PowerManager {
  public:
    // Serves PoRequestPowerIrp from now on; the tree is read from the PnP manager.
    explicit PowerManager(const pnp::PnpManager& pnp);
    // Without a tree: system IRPs go only where SendSystemIrp sends them.
    PowerManager();
    // Waits for the device IRPs still out, then gives PoRequestPowerIrp back to the kernel.
    ~PowerManager();
    PowerManager(const PowerManager&) = delete;
    PowerManager& operator=(const PowerManager&) = delete;

    // Query, then set, a sleeping, hibernate or shutdown state over the tree. Returns
    // STATUS_SUCCESS, the status of a vetoed query, or the first failed set-power IRP's status
    // (the transition goes on, as Windows does). Returns once requested device IRPs are back.
    NTSTATUS Sleep(SYSTEM_POWER_STATE state);
    // Set S0 over the tree, parents first; returns the first failure or STATUS_SUCCESS, once the
    // device IRPs the drivers requested meanwhile are back.
    NTSTATUS Resume();
    // One system IRP to the top of one device's stack, waited for; the IRP's status.
    NTSTATUS SendSystemIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state);

    // The next count calls of PoRequestPowerIrp fail with this status and send nothing.
    void FailRequests(NTSTATUS status, unsigned count = 1);
    // TRUE once every device IRP requested so far is back and the worker has returned from
    // sending it (FALSE after the time-out).
    bool WaitRequests(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    SYSTEM_POWER_STATE SystemState() const;
    // Device power states a device object told with PoSetPowerState, in order.
    static std::vector<DEVICE_POWER_STATE> DeviceStates(PDEVICE_OBJECT device);
    // The last of them, PowerDeviceUnspecified when it told none.
    static DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device);

    std::vector<SentIrp> Sent() const;
    // Calls of PoRequestPowerIrp that sent an IRP.
    size_t Requests() const;
    // Power IRPs sent that have not come back.
    size_t Outstanding() const;

    struct Request; // one device IRP on its way

  private:
    friend IO_COMPLETION_ROUTINE RequestedIrpDone;

    NTSTATUS OnRequest(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                       PREQUEST_POWER_COMPLETE completion, PVOID context);
    void WorkerMain();
    size_t Record(const SentIrp& irp);
    void Returned(size_t index, NTSTATUS status);
    std::vector<PDEVICE_OBJECT> ActiveDevices() const;

    const pnp::PnpManager* pnp_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<SentIrp> sent_;
    size_t requests_ = 0;
    size_t requestsOut_ = 0;
    NTSTATUS failStatus_ = STATUS_SUCCESS;
    unsigned failCount_ = 0;
    SYSTEM_POWER_STATE systemState_ = PowerSystemWorking;
    POWER_ACTION lastAction_ = PowerActionNone;
    std::deque<Request*> queue_;
    bool sending_ = false; // the worker is inside PoCallDriver
    bool stopping_ = false;
    std::thread worker_;
};

} // namespace sim::power
