// The USB bus below a controller's function driver: the bus driver (one host driver object for
// the whole world) and the hub's physical device object for one device on one port. The PDO
// answers plug and play as a USB bus driver answers it for its child; internal device-control
// requests (URBs and the other internal USB codes) go to a handler that a controller model
// registers.
#pragma once

#include <host/host.h>
#include <usb.h>

#include "failure_statuses.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim::usb {

// What the hub learns from a device's descriptors when it enumerates it.
struct DeviceIdentity {
    USHORT idVendor = 0;
    USHORT idProduct = 0;
    USHORT bcdDevice = 0;
    UCHAR deviceClass = 0;
    UCHAR deviceSubClass = 0;
    UCHAR deviceProtocol = 0;
    // Class 0 devices: several interfaces make a composite device; a single interface lends its
    // class triple to the compatible IDs.
    bool composite = false;
    UCHAR interfaceClass = 0;
    UCHAR interfaceSubClass = 0;
    UCHAR interfaceProtocol = 0;
    std::u16string serialNumber; // empty: the device has no serial string
    std::u16string product;      // iProduct string, reported as the device description
    bool remoteWakeup = false;
};

// The default controller: F3A1:5C20, release 1.00, composite, serial "VD0001".
DeviceIdentity DefaultControllerIdentity();

// The IDs the hub reports for an identity (what IRP_MN_QUERY_ID answers).
std::u16string DeviceIdOf(const DeviceIdentity& identity);
std::vector<std::u16string> HardwareIdsOf(const DeviceIdentity& identity);
std::vector<std::u16string> CompatibleIdsOf(const DeviceIdentity& identity);

// IRP_MJ_INTERNAL_DEVICE_CONTROL on a hub PDO. The handler owns the IRP: it completes it (or
// pends it) and returns what a dispatch routine returns. It may run at up to DISPATCH_LEVEL.
using InternalIoctlHandler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

class HubPdo {
  public:
    // Creates the PDO for a device attached to the given hub port (Address and UINumber).
    explicit HubPdo(const DeviceIdentity& identity = DefaultControllerIdentity(), ULONG port = 1);
    // The PDO must be gone (unplugged and removed) or never have been handed to the PnP
    // manager; in the second case it is deleted here.
    ~HubPdo();
    HubPdo(const HubPdo&) = delete;
    HubPdo& operator=(const HubPdo&) = delete;

    PDEVICE_OBJECT Device() const;
    const DeviceIdentity& Identity() const;

    // Replaces the handler of internal device-control requests; an empty handler restores the
    // default, which completes them with STATUS_NOT_SUPPORTED.
    void SetInternalIoctlHandler(InternalIoctlHandler handler);

    // The device leaves the bus: the PDO is deleted by the next IRP_MN_REMOVE_DEVICE (or by the
    // one that already came, when the PnP manager sends its final remove).
    void Unplug();
    bool Present() const;
    // TRUE once the bus driver deleted the PDO.
    bool Deleted() const;

    // The device fails every power-up to D0 with this status from now on; STATUS_SUCCESS lets
    // it power up again.
    void FailPowerUp(NTSTATUS status);
    // The next IRP_MN_START_DEVICE fails with this status and leaves the device not started.
    void FailNextStart(NTSTATUS status);
    // From now on a stop leaves the device configured and its transfers pending: the USB 2.0
    // hub's handling of a stopped device is undocumented, and a driver must not rely on either.
    void KeepConfigurationAtStop();
    // The next request that selects a configuration waits in the PDO's dispatch routine, the
    // sender's thread blocked, until LetSelectionGo; then the PDO answers it as it stands.
    void HoldNextSelection();
    bool SelectionWaiting() const;
    void LetSelectionGo();
    // The next selection that the PDO serves fails with the statuses of this failure on the
    // stack of the kernel's Windows version, as a device that refuses the configuration.
    void FailNextSelection(UsbFailure failure);

    // PnP minor codes that reached the PDO, in order (what the bottom of the stack saw).
    std::vector<UCHAR> PnpMinorsSeen() const;
    bool Started() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};

} // namespace sim::usb
