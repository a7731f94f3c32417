// The world's PnP manager, the USB hub's PDO and the INF reader, with the system's HID stack and
// small test drivers.
#include "core/driver.h"
#include "sim/hid/hid_stack.h"
#include "sim/pnp/inf.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/failure_statuses.h"
#include "sim/usb/hub_pdo.h"
#include "sim/usb/urb_engine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using sim::pnp::NodeState;

std::string ReadFile(const char* path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

sim::usb::DeviceIdentity VendorChildLookalike() {
    sim::usb::DeviceIdentity id;
    id.idVendor = 0xF3A1;
    id.idProduct = 0x5C2D;
    id.bcdDevice = 0x0100;
    id.interfaceClass = 3;
    return id;
}

// A HID device behind the lookalike's hub PDO, so that the HID stack can enumerate it.
void ServeUrbs(sim::usb::HubPdo& hub, sim::usb::UsbDevice& usb) {
    hub.SetInternalIoctlHandler(
        [&usb](PDEVICE_OBJECT pdo, PIRP irp) { return usb.HandleInternalIoctl(pdo, irp); });
}

// The project's INF binds exactly the controller's two hardware IDs, on both platforms, to the
// kernel service veltdriver.
TEST(InfTest, DriverInfBindsTheControllerOnBothPlatforms) {
    std::string text = ReadFile(VELT_DRIVER_INF);
    ASSERT_FALSE(text.empty());
    for (const char* decoration : {"NTamd64", "NTx86"}) {
        SCOPED_TRACE(decoration);
        std::vector<sim::pnp::InfModel> models = sim::pnp::ParseInfModels(text, decoration);
        ASSERT_EQ(models.size(), 2u);
        EXPECT_EQ(models[0].id, "USB\\VID_F3A1&PID_5C20&REV_0100");
        EXPECT_EQ(models[1].id, "USB\\VID_F3A1&PID_5C20");
        for (const sim::pnp::InfModel& m : models) {
            EXPECT_EQ(m.service, "veltdriver");
            EXPECT_EQ(m.installSection, "VeltInstall.NT");
            EXPECT_EQ(m.description, "veltdriver USB game controller");
        }
    }
    EXPECT_TRUE(sim::pnp::ParseInfModels(text, "NTarm64").empty());
}

// What the reader must not take for a function driver: a service without the associated-service
// flag, or one that is not a kernel driver.
TEST(InfTest, OnlyAnAssociatedKernelServiceIsAFunctionDriver) {
    const char* base = "[Manufacturer]\n%M% = Models\n"
                       "[Models]\nDev = Inst, USB\\VID_1234&PID_0001 ; comment\n"
                       "[Inst.NT]\n[Inst.NT.Services]\nAddService = svc, %s, Svc\n"
                       "[Svc]\nServiceType = %s\n[Strings]\nM = \"Maker\"\n";
    struct Case {
        const char* flags;
        const char* type;
        const char* service;
    } cases[] = {{"0x00000002", "1", "svc"}, {"0", "1", ""}, {"2", "2", ""}};
    for (const Case& c : cases) {
        char text[512];
        std::snprintf(text, sizeof text, base, c.flags, c.type);
        std::vector<sim::pnp::InfModel> models = sim::pnp::ParseInfModels(text, "NTamd64");
        ASSERT_EQ(models.size(), 1u);
        EXPECT_EQ(models[0].id, "USB\\VID_1234&PID_0001");
        EXPECT_EQ(models[0].service, c.service);
    }
}

class PnpManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::Reset();
    }
    void TearDown() override {
        EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
        EXPECT_TRUE(host::PoolOutstanding().empty());
    }
};

// The default controller as the hub reports it, and bound by our INF.
TEST_F(PnpManagerTest, ControllerIdentityAndBinding) {
    sim::usb::HubPdo hub;
    sim::pnp::PnpManager pnp;
    ASSERT_TRUE(pnp.LoadInf(VELT_DRIVER_INF));
    // The service is not registered: the model matches, no driver loads.
    EXPECT_EQ(pnp.Plug(hub.Device()), NodeState::DriverMissing);
    std::optional<sim::pnp::DeviceNode> node = pnp.Node(hub.Device());
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->deviceId, u"USB\\VID_F3A1&PID_5C20");
    EXPECT_EQ(node->hardwareIds, (std::vector<std::u16string>{u"USB\\VID_F3A1&PID_5C20&REV_0100",
                                                              u"USB\\VID_F3A1&PID_5C20"}));
    EXPECT_EQ(node->compatibleIds,
              (std::vector<std::u16string>{u"USB\\DevClass_00&SubClass_00&Prot_00",
                                           u"USB\\DevClass_00&SubClass_00", u"USB\\DevClass_00",
                                           u"USB\\COMPOSITE"}));
    EXPECT_EQ(node->instanceId, u"VD0001");
    EXPECT_FALSE(node->containerId.empty());
    EXPECT_EQ(node->location, u"Port_#0001.Hub_#0001");
    EXPECT_EQ(node->service, "veltdriver");
    EXPECT_EQ(node->matchedId, "USB\\VID_F3A1&PID_5C20&REV_0100");
    ASSERT_TRUE(node->hasBusInformation);
    EXPECT_EQ(node->busInformation.LegacyBusType, PNPBus);
    EXPECT_EQ(node->busInformation.BusTypeGuid.Data1, 0x9d7debbcu);
    EXPECT_EQ(node->stack, std::vector<PDEVICE_OBJECT>{hub.Device()});
    hub.Unplug();
    pnp.Unplug(hub.Device());
    EXPECT_TRUE(hub.Deleted());
    EXPECT_TRUE(pnp.Tree().empty());
}

// A device with the vendor child's IDs and HID compatible IDs gets the HID stack, never our
// driver: the INF's models name only the controller.
TEST_F(PnpManagerTest, VendorChildIdsBindTheHidStackNotOurDriver) {
    sim::usb::HubPdo hub(VendorChildLookalike(), 2);
    sim::usb::UsbDevice usb(sim::usb::DefaultController());
    ServeUrbs(hub, usb);
    sim::pnp::PnpManager pnp;
    ASSERT_TRUE(pnp.LoadInf(VELT_DRIVER_INF));
    pnp.RegisterDriver("veltdriver", DriverEntry);
    EXPECT_EQ(pnp.Plug(hub.Device()), NodeState::Started);
    std::optional<sim::pnp::DeviceNode> node = pnp.Node(hub.Device());
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->compatibleIds,
              (std::vector<std::u16string>{u"USB\\Class_03&SubClass_00&Prot_00",
                                           u"USB\\Class_03&SubClass_00", u"USB\\Class_03"}));
    EXPECT_EQ(node->service, sim::hid::HidStackService);
    EXPECT_EQ(node->matchedId, "USB\\Class_03");
    EXPECT_EQ(pnp.Driver("veltdriver"), nullptr);
    ASSERT_EQ(node->stack.size(), 2u);
    EXPECT_EQ(node->stack[1]->DriverObject, sim::hid::HidStackDriver());
    usb.Unplug(); // the device leaves with its port
    hub.Unplug();
    pnp.Unplug(hub.Device());
    EXPECT_TRUE(hub.Deleted());
}

// What the bottom of a new device's stack sees, in order, as Windows sends it.
TEST_F(PnpManagerTest, RequestSequenceOfANewDevice) {
    sim::usb::HubPdo hub(VendorChildLookalike());
    sim::usb::UsbDevice usb(sim::usb::DefaultController());
    ServeUrbs(hub, usb);
    sim::pnp::PnpManager pnp;
    ASSERT_EQ(pnp.Plug(hub.Device()), NodeState::Started);
    EXPECT_EQ(hub.PnpMinorsSeen(),
              (std::vector<UCHAR>{IRP_MN_QUERY_ID, IRP_MN_QUERY_ID, IRP_MN_QUERY_ID,
                                  IRP_MN_QUERY_ID, IRP_MN_QUERY_ID, IRP_MN_QUERY_CAPABILITIES,
                                  IRP_MN_QUERY_DEVICE_TEXT, IRP_MN_QUERY_DEVICE_TEXT,
                                  IRP_MN_QUERY_RESOURCE_REQUIREMENTS, IRP_MN_QUERY_BUS_INFORMATION,
                                  IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                                  IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_DEVICE_RELATIONS}));
    EXPECT_TRUE(hub.Started());
    usb.Unplug(); // the device leaves with its port
    hub.Unplug();
    pnp.Unplug(hub.Device());
}

// Capabilities as a hub reports a USB device, with and without remote wake-up.
TEST_F(PnpManagerTest, HubCapabilities) {
    for (bool wake : {false, true}) {
        SCOPED_TRACE(wake ? "remote wake-up" : "no remote wake-up");
        sim::usb::DeviceIdentity id = sim::usb::DefaultControllerIdentity();
        id.remoteWakeup = wake;
        sim::usb::HubPdo hub(id, 3);
        sim::pnp::PnpManager pnp;
        pnp.Plug(hub.Device());
        DEVICE_CAPABILITIES caps = pnp.Node(hub.Device())->capabilities;
        EXPECT_EQ(caps.Removable, 1u);
        EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
        EXPECT_EQ(caps.UniqueID, 1u);
        EXPECT_EQ(caps.DeviceD2, 1u);
        EXPECT_EQ(caps.Address, 3u);
        EXPECT_EQ(caps.UINumber, 3u);
        DEVICE_POWER_STATE sleep = wake ? PowerDeviceD2 : PowerDeviceD3;
        EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
        EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], sleep);
        EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], sleep);
        EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
        EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);
        EXPECT_EQ(caps.DeviceWake, wake ? PowerDeviceD2 : PowerDeviceUnspecified);
        hub.Unplug();
        pnp.Unplug(hub.Device());
    }
}

// Orderly removal keeps a device that is still on the bus; disable and enable bring the stack
// down and up again; the final remove after unplugging deletes the PDO.
TEST_F(PnpManagerTest, RemoveDisableEnableAndFinalRemove) {
    sim::usb::HubPdo hub(VendorChildLookalike());
    sim::usb::UsbDevice usb(sim::usb::DefaultController());
    ServeUrbs(hub, usb);
    sim::pnp::PnpManager pnp;
    ASSERT_EQ(pnp.Plug(hub.Device()), NodeState::Started);
    EXPECT_TRUE(pnp.Disable(hub.Device()));
    EXPECT_EQ(pnp.Node(hub.Device())->state, NodeState::Disabled);
    EXPECT_EQ(hub.Device()->AttachedDevice, nullptr);
    EXPECT_FALSE(hub.Deleted());
    EXPECT_EQ(pnp.Enable(hub.Device()), NodeState::Started);
    EXPECT_NE(hub.Device()->AttachedDevice, nullptr);
    EXPECT_TRUE(pnp.Remove(hub.Device()));
    EXPECT_EQ(pnp.Node(hub.Device())->state, NodeState::Removed);
    EXPECT_FALSE(hub.Deleted());
    std::vector<UCHAR> minors = hub.PnpMinorsSeen();
    EXPECT_EQ(minors[minors.size() - 2], IRP_MN_QUERY_REMOVE_DEVICE);
    EXPECT_EQ(minors.back(), IRP_MN_REMOVE_DEVICE);
    usb.Unplug(); // the device leaves with its port
    hub.Unplug();
    pnp.Unplug(hub.Device());
    EXPECT_TRUE(hub.Deleted());
    EXPECT_EQ(hub.PnpMinorsSeen().back(), IRP_MN_REMOVE_DEVICE);
}

// A driver that vetoes queries: the PnP manager cancels and leaves the device running.
NTSTATUS NTAPI VetoDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = stack->MajorFunction;
    UCHAR minor = stack->MinorFunction;
    if (major == IRP_MJ_PNP &&
        (minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_QUERY_STOP_DEVICE)) {
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS NTAPI VetoAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = NULL;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = lower;
    fdo->Flags |= lower->Flags & DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI VetoEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) {
        dispatch = VetoDispatch;
    }
    driver->DriverExtension->AddDevice = VetoAddDevice;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SloppyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    NTSTATUS status = VetoAddDevice(driver, pdo);
    pdo->AttachedDevice->Flags |= DO_DEVICE_INITIALIZING;
    return status;
}

NTSTATUS NTAPI SloppyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    VetoEntry(driver, path);
    driver->DriverExtension->AddDevice = SloppyAddDevice;
    return STATUS_SUCCESS;
}

// Binds the default controller to a test driver through an INF of its own.
void LoadTestDriver(sim::pnp::PnpManager& pnp, const char* service, PDRIVER_INITIALIZE entry) {
    std::string inf = std::string("[Manufacturer]\nM = Models\n[Models]\n") +
                      "Dev = Inst, USB\\VID_F3A1&PID_5C20\n[Inst]\n[Inst.Services]\n" +
                      "AddService = " + service + ", 2, Svc\n[Svc]\nServiceType = 1\n";
    std::string path = testing::TempDir() + service + ".inf";
    std::ofstream(path) << inf;
    ASSERT_TRUE(pnp.LoadInf(path));
    pnp.RegisterDriver(service, entry);
}

TEST_F(PnpManagerTest, DeviceLeftInitializingAfterAddDeviceIsReported) {
    sim::usb::HubPdo hub;
    sim::pnp::PnpManager pnp;
    LoadTestDriver(pnp, "sloppy", SloppyEntry);
    pnp.Plug(hub.Device());
    // Reported where the PnP manager looks after AddDevice, and by the I/O manager once.
    std::vector<host::Violation> violations = host::Violations();
    ASSERT_EQ(violations.size(), 2u);
    for (const host::Violation& violation : violations) {
        EXPECT_EQ(violation.rule, host::rule::DeviceStillInitializing);
    }
    host::ClearViolations();
    hub.Unplug();
    pnp.Unplug(hub.Device());
}

TEST_F(PnpManagerTest, VetoedQueriesAreCancelled) {
    sim::usb::HubPdo hub;
    sim::pnp::PnpManager pnp;
    LoadTestDriver(pnp, "veto", VetoEntry);
    ASSERT_EQ(pnp.Plug(hub.Device()), NodeState::Started);
    EXPECT_FALSE(pnp.Remove(hub.Device()));
    EXPECT_EQ(hub.PnpMinorsSeen().back(), IRP_MN_CANCEL_REMOVE_DEVICE);
    EXPECT_FALSE(pnp.Restart(hub.Device()));
    EXPECT_EQ(hub.PnpMinorsSeen().back(), IRP_MN_CANCEL_STOP_DEVICE);
    EXPECT_EQ(pnp.Node(hub.Device())->state, NodeState::Started);
    hub.Unplug();
    pnp.Unplug(hub.Device());
    EXPECT_TRUE(hub.Deleted());
    EXPECT_EQ(pnp.Driver("veto"), nullptr);
}

// Internal device control on a started hub PDO: STATUS_NOT_SUPPORTED until a handler is
// registered; on a PDO not started or surprise-removed, the failure of the USB stack of the Windows
// version.
TEST_F(PnpManagerTest, HubPdoInternalIoctlHandler) {
    sim::usb::HubPdo hub;
    auto send = [&] {
        return host::SendIrp(hub.Device(), STATUS_SUCCESS, [](PIRP, PIO_STACK_LOCATION s) {
            s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            s->Parameters.DeviceIoControl.IoControlCode = 0x220003;
        });
    };
    auto pnp = [&](UCHAR minor) {
        return host::SendIrp(hub.Device(), STATUS_NOT_SUPPORTED,
                             [minor](PIRP, PIO_STACK_LOCATION s) {
                                 s->MajorFunction = IRP_MJ_PNP;
                                 s->MinorFunction = minor;
                             });
    };
    const NTSTATUS notStarted = sim::usb::FailureStatus(sim::usb::UsbFailure::PdoNotStarted).status;
    EXPECT_EQ(send().status, notStarted);
    EXPECT_EQ(pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(send().status, STATUS_NOT_SUPPORTED);
    ULONG seen = 0;
    hub.SetInternalIoctlHandler([&](PDEVICE_OBJECT device, PIRP irp) {
        EXPECT_EQ(device, hub.Device());
        seen = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    EXPECT_EQ(send().status, STATUS_SUCCESS);
    EXPECT_EQ(seen, 0x220003u);
    hub.SetInternalIoctlHandler(nullptr);
    EXPECT_EQ(send().status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_EQ(send().status, notStarted);
}

// A stopped hub PDO serves no URB until a start succeeds, and fails it with the stopped status in
// the IRP and the URB alike; only the stop's own deconfiguration reaches the device, not a request
// sent while it runs. A surprise removal after the stop fails them as a PDO not started.
TEST_F(PnpManagerTest, HubPdoStoppedFailsUrbsUntilStarted) {
    sim::usb::HubPdo hub;
    struct Answer {
        NTSTATUS status;
        USBD_STATUS usbd;
    };
    auto sendUrb = [&] {
        URB urb{};
        urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        NTSTATUS status =
            host::SendIrp(hub.Device(), STATUS_NOT_SUPPORTED, [&urb](PIRP, PIO_STACK_LOCATION s) {
                s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
                s->Parameters.Others.Argument1 = &urb;
            }).status;
        return Answer{status, urb.UrbHeader.Status};
    };
    auto pnp = [&](UCHAR minor) {
        return host::SendIrp(hub.Device(), STATUS_NOT_SUPPORTED,
                             [minor](PIRP, PIO_STACK_LOCATION s) {
                                 s->MajorFunction = IRP_MJ_PNP;
                                 s->MinorFunction = minor;
                             });
    };
    unsigned deconfigurations = 0;
    Answer duringDeconfiguration{STATUS_PENDING, 0};
    hub.SetInternalIoctlHandler([&](PDEVICE_OBJECT, PIRP irp) {
        auto* urb =
            static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
            urb->UrbSelectConfiguration.ConfigurationDescriptor == NULL) {
            ++deconfigurations;
            duringDeconfiguration = sendUrb();
        }
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    const sim::usb::UsbFailureStatus& stopped =
        sim::usb::FailureStatus(sim::usb::UsbFailure::PdoStopped);
    const sim::usb::UsbFailureStatus& notStarted =
        sim::usb::FailureStatus(sim::usb::UsbFailure::PdoNotStarted);
    auto expect = [](const sim::usb::UsbFailureStatus& row, Answer answer) {
        EXPECT_EQ(row.status, answer.status) << std::hex << answer.status;
        EXPECT_EQ(row.usbd, answer.usbd) << std::hex << answer.usbd;
    };

    ASSERT_EQ(pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(sendUrb().status, STATUS_SUCCESS);
    EXPECT_EQ(pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(sendUrb().status, STATUS_SUCCESS) << "a stop's query leaves the PDO serving";
    EXPECT_EQ(pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(1u, deconfigurations);
    expect(stopped, duringDeconfiguration);
    expect(stopped, sendUrb());

    hub.FailNextStart(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pnp(IRP_MN_START_DEVICE).status, STATUS_UNSUCCESSFUL);
    expect(stopped, sendUrb());
    ASSERT_EQ(pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    Answer served = sendUrb();
    EXPECT_EQ(STATUS_SUCCESS, served.status);
    EXPECT_EQ(USBD_STATUS_SUCCESS, served.usbd);

    EXPECT_EQ(pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    expect(notStarted, sendUrb());
    EXPECT_EQ(2u, deconfigurations);
}

} // namespace
