// Both children in the world: the PnP manager enumerates them as USB HID devices and binds the
// HID stack; requests that belong to the controller travel from a child's stack to the top of
// the controller's; power requests end at the child.
#include "core/driver.h"
#include "sim/hid/hid_stack.h"
#include "sim/pnp/device_requests.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/hub_pdo.h"
#include "sim/usb/urb_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <mutex>

namespace {

using sim::pnp::NodeState;
using ::testing::HasSubstr;

const char16_t ContainerId[] = u"{6b1c0e52-93d4-4f0a-b8e7-2a5d40c9f316}";

struct ChildExpectation {
    const char* tag;
    std::u16string deviceId;
    std::vector<std::u16string> hardwareIds;
    std::u16string instanceId;
    ULONG address;
};

const ChildExpectation Gamepad = {"PDO",
                                  u"USB\\VID_054C&PID_09CC",
                                  {u"USB\\VID_054C&PID_09CC&REV_0100", u"USB\\VID_054C&PID_09CC"},
                                  u"0010",
                                  10};
const ChildExpectation Vendor = {"XDO",
                                 u"USB\\VID_F3A1&PID_5C2D",
                                 {u"USB\\VID_F3A1&PID_5C2D&REV_0100", u"USB\\VID_F3A1&PID_5C2D"},
                                 u"0011",
                                 11};

// A filter above the controller's FDO: records the PnP requests it sees and passes everything
// down; it can answer configuration reads itself, as a filter that owns the space would.
struct FilterRecord {
    std::mutex lock;
    std::vector<UCHAR> minors;
    bool answerReadConfig = false;
};

FilterRecord& Filter() {
    static FilterRecord record;
    return record;
}

PDEVICE_OBJECT FilterLower(PDEVICE_OBJECT device) {
    return *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
}

NTSTATUS NTAPI FilterPassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(FilterLower(device), irp);
}

NTSTATUS NTAPI FilterPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool answer;
    {
        std::lock_guard<std::mutex> guard(Filter().lock);
        Filter().minors.push_back(stack->MinorFunction);
        answer = Filter().answerReadConfig && stack->MinorFunction == IRP_MN_READ_CONFIG;
    }
    if (answer) {
        memset(stack->Parameters.ReadWriteConfig.Buffer, 0xC5,
               stack->Parameters.ReadWriteConfig.Length);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = stack->Parameters.ReadWriteConfig.Length;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    if (stack->MinorFunction != IRP_MN_REMOVE_DEVICE) {
        return FilterPassDown(device, irp);
    }
    PDEVICE_OBJECT lower = FilterLower(device);
    NTSTATUS status = FilterPassDown(device, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS NTAPI FilterPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(FilterLower(device), irp);
}

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) {
        dispatch = FilterPassDown;
    }
    driver->MajorFunction[IRP_MJ_PNP] = FilterPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FilterPower;
    return STATUS_SUCCESS;
}

class ChildrenWorldTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::Reset();
        {
            std::lock_guard<std::mutex> guard(Filter().lock);
            Filter().minors.clear();
            Filter().answerReadConfig = false;
        }
        // The default controller behind the hub; its address query pauses 10 ms per attempt.
        host::SetTimeScale(100);
        controller_ = std::make_unique<sim::usb::UsbDevice>(sim::usb::DefaultController());
        hub_ = std::make_unique<sim::usb::HubPdo>();
        sim::usb::UsbDevice* controller = controller_.get();
        hub_->SetInternalIoctlHandler([controller](PDEVICE_OBJECT pdo, PIRP irp) {
            return controller->HandleInternalIoctl(pdo, irp);
        });
        pnp_ = std::make_unique<sim::pnp::PnpManager>();
        ASSERT_TRUE(pnp_->LoadInf(VELT_DRIVER_INF));
        pnp_->RegisterDriver("veltdriver", DriverEntry);
        ASSERT_EQ(pnp_->Plug(hub_->Device()), NodeState::Started);
        ASSERT_TRUE(pnp_->WaitUntil([this] { return pnp_->Children(hub_->Device()).size() == 2; }));
        pnp_->WaitIdle();
    }

    void TearDown() override {
        controller_->Unplug();
        hub_->Unplug();
        pnp_->Unplug(hub_->Device());
        EXPECT_TRUE(hub_->Deleted());
        if (filterDriver_ != nullptr) {
            host::UnloadDriver(filterDriver_);
        }
        pnp_.reset();
        hub_.reset();
        controller_.reset();
        EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
        EXPECT_TRUE(host::PoolOutstanding().empty());
        EXPECT_EQ(host::LiveSystemThreads(), 0u);
    }

    PDEVICE_OBJECT Fdo() const {
        return hub_->Device()->AttachedDevice;
    }
    PDEVICE_OBJECT GamepadChild() const {
        return ExtensionOf(Fdo())->GamepadChild;
    }
    PDEVICE_OBJECT VendorChild() const {
        return ExtensionOf(Fdo())->VendorChild;
    }

    PDEVICE_OBJECT AttachFilterAboveFdo() {
        filterDriver_ = host::LoadDriver(FilterEntry, u"testfilter");
        PDEVICE_OBJECT filter = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(filterDriver_, sizeof(PDEVICE_OBJECT), NULL,
                                                 FILE_DEVICE_UNKNOWN, 0, FALSE, &filter));
        *static_cast<PDEVICE_OBJECT*>(filter->DeviceExtension) =
            IoAttachDeviceToDeviceStack(filter, hub_->Device());
        filter->Flags &= ~DO_DEVICE_INITIALIZING;
        return filter;
    }

    std::unique_ptr<sim::usb::UsbDevice> controller_;
    std::unique_ptr<sim::usb::HubPdo> hub_;
    std::unique_ptr<sim::pnp::PnpManager> pnp_;
    PDRIVER_OBJECT filterDriver_ = nullptr;
};

// Each child's node carries its IDs, the shared container, its capabilities and USB bus
// information, and the HID stack, bound through USB\Class_03.
TEST_F(ChildrenWorldTest, ChildrenAreEnumeratedAsUsbHidDevices) {
    std::vector<sim::pnp::DeviceNode> children = pnp_->Children(hub_->Device());
    ASSERT_EQ(2u, children.size());
    const std::pair<PDEVICE_OBJECT, const ChildExpectation*> expected[] = {
        {GamepadChild(), &Gamepad}, {VendorChild(), &Vendor}};
    for (size_t i = 0; i < 2; ++i) {
        const sim::pnp::DeviceNode& node = children[i];
        const ChildExpectation& e = *expected[i].second;
        SCOPED_TRACE(e.tag);
        EXPECT_EQ(expected[i].first, node.pdo);
        EXPECT_EQ(e.deviceId, node.deviceId);
        EXPECT_EQ(e.hardwareIds, node.hardwareIds);
        EXPECT_EQ((std::vector<std::u16string>{u"USB\\Class_03&SubClass_00&Prot_00",
                                               u"USB\\Class_03&SubClass_00", u"USB\\Class_03"}),
                  node.compatibleIds);
        EXPECT_EQ(e.instanceId, node.instanceId);
        EXPECT_EQ(ContainerId, node.containerId);
        EXPECT_EQ(NodeState::Started, node.state);
        EXPECT_EQ(sim::hid::HidStackService, node.service);
        EXPECT_EQ("USB\\Class_03", node.matchedId);
        ASSERT_EQ(2u, node.stack.size());
        EXPECT_EQ(sim::hid::HidStackDriver(), node.stack[1]->DriverObject);

        ASSERT_TRUE(node.hasCapabilities);
        DEVICE_CAPABILITIES amended = ExtensionOf(Fdo())->DeviceCapabilities;
        amended.Removable = 0;
        amended.SurpriseRemovalOK = 0;
        amended.UniqueID = 0; // "0010" and "0011" are unique on this bus only
        amended.Address = e.address;
        amended.UINumber = 0xFFFFFFFF;
        EXPECT_EQ(0, memcmp(&amended, &node.capabilities, sizeof amended));
        EXPECT_EQ(1u, ExtensionOf(Fdo())->DeviceCapabilities.Removable) << "the hub's own";

        ASSERT_TRUE(node.hasBusInformation);
        EXPECT_EQ(0x9d7debbcu, node.busInformation.BusTypeGuid.Data1);
        EXPECT_EQ(PNPBus, node.busInformation.LegacyBusType);
        EXPECT_EQ(0u, node.busInformation.BusNumber);
        EXPECT_EQ(0u, node.deviceState);
    }
    std::string tree = pnp_->Describe();
    // Not unique: the instance IDs follow the controller's ParentIdPrefix (depth 2, the CRC-32
    // of "USB\VID_F3A1&PID_5C20\VD0001" in UTF-16).
    EXPECT_THAT(tree, HasSubstr("  USB\\VID_054C&PID_09CC\\2&ad6e62a6&0&0010  [started]  driver "
                                "hidusb (USB\\Class_03)\n"));
    EXPECT_THAT(tree, HasSubstr("  USB\\VID_F3A1&PID_5C2D\\2&ad6e62a6&0&0011  [started]  driver "
                                "hidusb (USB\\Class_03)\n"));
}

// The children's own trace of their enumeration, in the order the PnP manager asks.
TEST_F(ChildrenWorldTest, EnumerationAsTheChildrenLogIt) {
    for (const char* tag : {"PDO", "XDO"}) {
        std::string prefix = std::string("VELTDRIVER : ") + tag + " : DispatchPnp: ";
        std::vector<std::string> lines;
        for (const std::string& line : host::LogTexts()) {
            if (line.rfind(prefix, 0) == 0) {
                lines.push_back(line.substr(prefix.size()));
            }
        }
        EXPECT_EQ((std::vector<std::string>{
                      "IRP_MN_QUERY_ID BusQueryDeviceID",
                      "IRP_MN_QUERY_ID BusQueryHardwareIDs",
                      "IRP_MN_QUERY_ID BusQueryCompatibleIDs",
                      "IRP_MN_QUERY_ID BusQueryInstanceID",
                      "IRP_MN_QUERY_ID BusQueryContainerID",
                      "IRP_MN_QUERY_CAPABILITIES",
                      "completing IRP_MN_QUERY_RESOURCE_REQUIREMENTS with STATUS_SUCCESS ",
                      "IRP_MN_QUERY_BUS_INFORMATION ",
                      "completing IRP_MN_START_DEVICE with STATUS_SUCCESS ",
                      "IRP_MN_QUERY_CAPABILITIES",
                      "IRP_MN_QUERY_PNP_DEVICE_STATE",
                      "IRP_MN_QUERY_DEVICE_RELATIONS : some other relation, type is 0",
                  }),
                  lines)
            << tag;
    }
}

// Configuration space, eject, lock and usage notifications sent to a child's stack reach the
// filter above the FDO first, then the FDO and the hub's PDO, which handles none of them.
TEST_F(ChildrenWorldTest, RepeatedRequestsTravelToTheTopOfTheControllersStack) {
    PDEVICE_OBJECT filter = AttachFilterAboveFdo();
    ASSERT_EQ(filter, IoGetAttachedDevice(hub_->Device()));
    UCHAR space[16] = {};
    struct Case {
        const char* what;
        UCHAR minor;
        std::function<host::IrpResult(PDEVICE_OBJECT)> send;
        NTSTATUS expected;
    } cases[] = {
        {"read config", IRP_MN_READ_CONFIG,
         [&](PDEVICE_OBJECT d) {
             return sim::pnp::ReadConfig(d, sim::pnp::ConfigSpace, space, 0, 16);
         },
         STATUS_UNSUCCESSFUL},
        {"write config", IRP_MN_WRITE_CONFIG,
         [&](PDEVICE_OBJECT d) {
             return sim::pnp::WriteConfig(d, sim::pnp::ConfigSpace, space, 4, 8);
         },
         STATUS_UNSUCCESSFUL},
        {"eject", IRP_MN_EJECT, [](PDEVICE_OBJECT d) { return sim::pnp::Eject(d); },
         STATUS_UNSUCCESSFUL},
        {"set lock", IRP_MN_SET_LOCK, [](PDEVICE_OBJECT d) { return sim::pnp::SetLock(d, true); },
         STATUS_UNSUCCESSFUL},
        // No vote needed: the request keeps the status the PnP manager started it with.
        {"usage notification", IRP_MN_DEVICE_USAGE_NOTIFICATION,
         [](PDEVICE_OBJECT d) { return sim::pnp::NotifyUsage(d, DeviceUsageTypePaging, true); },
         STATUS_NOT_SUPPORTED},
    };
    for (PDEVICE_OBJECT child : {GamepadChild(), VendorChild()}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            {
                std::lock_guard<std::mutex> guard(Filter().lock);
                Filter().minors.clear();
            }
            size_t hubSeen = hub_->PnpMinorsSeen().size();
            host::IrpResult result = c.send(child);
            EXPECT_EQ(c.expected, result.status);
            EXPECT_EQ(STATUS_PENDING, result.returned) << "the child's stack saw it pend";
            {
                std::lock_guard<std::mutex> guard(Filter().lock);
                EXPECT_EQ(std::vector<UCHAR>{c.minor}, Filter().minors);
            }
            std::vector<UCHAR> hubMinors = hub_->PnpMinorsSeen();
            ASSERT_EQ(hubSeen + 1, hubMinors.size());
            EXPECT_EQ(c.minor, hubMinors.back());
        }
    }

    // A driver above the FDO that answers: its answer reaches the child's caller.
    {
        std::lock_guard<std::mutex> guard(Filter().lock);
        Filter().answerReadConfig = true;
    }
    host::IrpResult read = sim::pnp::ReadConfig(VendorChild(), sim::pnp::ConfigSpace, space, 0, 16);
    EXPECT_EQ(STATUS_SUCCESS, read.status);
    EXPECT_EQ(16u, read.information);
    EXPECT_EQ(0xC5, space[15]);
}

// Power requests end at the child, which keeps the power manager's books.
TEST_F(ChildrenWorldTest, PowerRequestsEndAtTheChild) {
    for (PDEVICE_OBJECT child : {GamepadChild(), VendorChild()}) {
        size_t before = host::PowerEvents().size();
        POWER_STATE d3;
        d3.DeviceState = PowerDeviceD3;
        host::IrpResult set = sim::pnp::SendPower(child, IRP_MN_SET_POWER, DevicePowerState, d3);
        EXPECT_EQ(STATUS_SUCCESS, set.status);
        std::vector<host::PowerEvent> events = host::PowerEvents();
        events.erase(events.begin(), events.begin() + before);
        // The HID stack starts the next IRP before passing it down, the child before completing.
        ASSERT_EQ(3u, events.size());
        EXPECT_EQ(host::PowerEvent::StartNext, events[0].kind);
        EXPECT_EQ(host::PowerEvent::StartNext, events[1].kind);
        EXPECT_EQ(events[0].irp, events[1].irp);
        EXPECT_EQ(host::PowerEvent::SetState, events[2].kind);
        EXPECT_EQ(child, events[2].device);
        EXPECT_EQ(DevicePowerState, events[2].type);
        EXPECT_EQ(PowerDeviceD3, events[2].state.DeviceState);

        POWER_STATE s0;
        s0.SystemState = PowerSystemWorking;
        EXPECT_EQ(STATUS_NOT_SUPPORTED,
                  sim::pnp::SendPower(child, IRP_MN_WAIT_WAKE, SystemPowerState, s0).status);
        EXPECT_EQ(STATUS_SUCCESS,
                  sim::pnp::SendPower(child, IRP_MN_QUERY_POWER, SystemPowerState, s0).status);
    }
}

} // namespace
