// veltsim: boots the host kernel, plugs the default controller into the USB bus, lets the PnP
// manager load the driver through its INF and enumerate the driver's children, then unplugs the
// controller. The driver's debug log is printed as it is written.
#include <host/host.h>

#include "core/driver.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/hub_pdo.h"
#include "sim/usb/urb_engine.h"

#include <cstdio>

int main() {
    host::Reset();
    host::SetLogObserver([](const host::LogLine& line) {
        std::printf("[%9.6f] %s\n", static_cast<double>(line.time) / 1e7, line.text.c_str());
    });
    int result = 0;
    {
        sim::usb::UsbDevice device(sim::usb::DefaultController());
        sim::usb::HubPdo controller;
        controller.SetInternalIoctlHandler([&device](PDEVICE_OBJECT pdo, PIRP irp) {
            return device.HandleInternalIoctl(pdo, irp);
        });
        sim::pnp::PnpManager pnp;
        if (!pnp.LoadInf(VELT_DRIVER_INF)) {
            std::printf("cannot read %s\n", VELT_DRIVER_INF);
            return 1;
        }
        pnp.RegisterDriver("veltdriver", DriverEntry);

        std::printf("--- plugging the controller\n");
        sim::pnp::NodeState state = pnp.Plug(controller.Device());
        std::printf("--- controller %s\n", sim::pnp::NodeStateName(state));
        if (!pnp.WaitUntil([&] { return pnp.Children(controller.Device()).size() == 2; })) {
            std::printf("--- the children did not appear\n");
            result = 1;
        }
        pnp.WaitIdle();
        std::printf("--- device tree\n%s", pnp.Describe().c_str());

        std::printf("--- unplugging the controller\n");
        controller.Unplug();
        pnp.Unplug(controller.Device());
        std::printf("--- device tree\n%s",
                    pnp.Describe().empty() ? "(empty)\n" : pnp.Describe().c_str());
    }
    host::SetLogObserver(nullptr);

    std::string violations = host::DescribeViolations();
    std::printf("verifier: %s\n", violations.empty() ? "no violations" : violations.c_str());
    std::printf("pool outstanding: %zu bytes\n", host::PoolBytesOutstanding());
    if (!violations.empty() || host::PoolBytesOutstanding() != 0) {
        result = 1;
    }
    return result;
}
