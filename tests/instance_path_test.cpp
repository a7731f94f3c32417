// Device instance paths as Windows forms them, and what happens when two present devices would
// share one: several controllers with serial numbers plugged at once each bring up both
// children, and every child streams.
#include "core/driver.h"
#include "emulation/urb_child.h"
#include "sim/hid/hid_stack.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/hub_pdo.h"
#include "sim/usb/urb_engine.h"
#include "support/host_fixture.h"
#include "support/log_gate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using sim::pnp::DeviceNode;
using sim::pnp::NodeState;

std::string Narrow(const std::u16string& text) {
    return std::string(text.begin(), text.end());
}

// One controller on its own hub port, with serial number "VD000<port>".
struct Controller {
    std::unique_ptr<sim::usb::UsbDevice> usb;
    std::unique_ptr<sim::usb::HubPdo> hub;
    std::shared_ptr<sim::hid::HidDevice> gamepad;
    std::shared_ptr<sim::hid::HidDevice> vendor;
};

class ControllersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::Reset();
        host::SetTimeScale(100);
        InputFrameCounter = 0;
        sim::hid::ForgetHidDevices();
        pnp_ = std::make_unique<sim::pnp::PnpManager>();
        ASSERT_TRUE(pnp_->LoadInf(VELT_DRIVER_INF));
        pnp_->RegisterDriver("veltdriver", DriverEntry);
        for (ULONG port = 1; port <= Count(); ++port) {
            sim::usb::DeviceIdentity identity = sim::usb::DefaultControllerIdentity();
            identity.serialNumber = u"VD000" + std::u16string(1, char16_t(u'0' + port));
            Controller c;
            c.usb = std::make_unique<sim::usb::UsbDevice>(sim::usb::DefaultController());
            c.hub = std::make_unique<sim::usb::HubPdo>(identity, port);
            sim::usb::UsbDevice* usb = c.usb.get();
            c.hub->SetInternalIoctlHandler(
                [usb](PDEVICE_OBJECT pdo, PIRP irp) { return usb->HandleInternalIoctl(pdo, irp); });
            controllers_.push_back(std::move(c));
        }
    }

    virtual unsigned Count() const = 0;

    void TearDown() override {
        for (Controller& c : controllers_) {
            c.usb->Unplug();
            c.hub->Unplug();
            pnp_->Unplug(c.hub->Device());
        }
        pnp_.reset();
        controllers_.clear();
        sim::hid::ForgetHidDevices();
        host::JoinSystemThreads();
        EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
        EXPECT_EQ(0u, host::PoolBytesOutstanding());
    }

    // Plugs every controller at once and waits until each has both children running.
    ::testing::AssertionResult PlugAll() {
        std::vector<std::thread> plugs;
        for (Controller& c : controllers_) {
            PDEVICE_OBJECT pdo = c.hub->Device();
            plugs.emplace_back([this, pdo] { pnp_->Plug(pdo); });
        }
        for (std::thread& t : plugs) {
            t.join();
        }
        auto up = [this] {
            for (Controller& c : controllers_) {
                std::vector<DeviceNode> children = pnp_->Children(c.hub->Device());
                if (children.size() != 2) {
                    return false;
                }
                for (const DeviceNode& child : children) {
                    if (child.state != NodeState::Started ||
                        sim::hid::HidDeviceOn(child.pdo) == nullptr ||
                        sim::hid::HidDeviceOn(child.pdo)->State() != sim::hid::HidState::Running) {
                        return false;
                    }
                }
            }
            return true;
        };
        if (!pnp_->WaitUntil(up, std::chrono::seconds(30))) {
            return ::testing::AssertionFailure() << "refused " << pnp_->DuplicatesRefused() << "\n"
                                                 << pnp_->Describe();
        }
        pnp_->WaitIdle();
        for (Controller& c : controllers_) {
            for (const DeviceNode& child : pnp_->Children(c.hub->Device())) {
                bool gamepad = ExtensionOf(child.pdo)->DeviceKind == DEVICE_KIND_GAMEPAD;
                (gamepad ? c.gamepad : c.vendor) = sim::hid::HidDeviceOn(child.pdo);
            }
        }
        return ::testing::AssertionSuccess();
    }

    // Reports from one controller reach only its own children, each unchanged in its byte 1.
    ::testing::AssertionResult Stream(Controller& c) {
        unsigned got[2] = {0, 0};
        for (unsigned sent = 1; got[0] < 2 || got[1] < 2; ++sent) {
            if (sent > 128) {
                return ::testing::AssertionFailure() << "a child starved";
            }
            if (!Eventually([&] { return c.usb->PendingReads() == 4; })) {
                return ::testing::AssertionFailure() << "reads pending " << c.usb->PendingReads();
            }
            sim::usb::Bytes report(64);
            report[0] = 0x01;
            report[1] = static_cast<UCHAR>(sent);
            c.usb->SendInputReport(report);
            if (!Eventually([&] {
                    return c.gamepad->QueuedInputReports() + c.vendor->QueuedInputReports() == 1;
                })) {
                return ::testing::AssertionFailure() << "report " << sent << " lost";
            }
            int which = c.gamepad->QueuedInputReports() == 1 ? 0 : 1;
            std::optional<sim::hid::Bytes> read = (which == 0 ? c.gamepad : c.vendor)->ReadInput();
            if (!read.has_value() || (*read)[1] != report[1]) {
                return ::testing::AssertionFailure() << "report " << sent << " changed";
            }
            ++got[which];
        }
        return ::testing::AssertionSuccess();
    }

    std::unique_ptr<sim::pnp::PnpManager> pnp_;
    std::vector<Controller> controllers_;
};

class SeveralControllers : public ControllersTest, public ::testing::WithParamInterface<unsigned> {
  protected:
    unsigned Count() const override {
        return GetParam();
    }
};

TEST_P(SeveralControllers, EachBringsUpBothChildrenWithPathsOfTheirOwnAndStreams) {
    ASSERT_TRUE(PlugAll());
    EXPECT_EQ(0u, pnp_->DuplicatesRefused());
    std::vector<std::u16string> paths;
    for (Controller& c : controllers_) {
        // The hub reports a serial number as unique: the path is the device ID and the serial.
        EXPECT_EQ("USB\\VID_F3A1&PID_5C20\\" + Narrow(c.hub->Identity().serialNumber),
                  Narrow(pnp_->InstancePath(c.hub->Device())));
        for (const DeviceNode& child : pnp_->Children(c.hub->Device())) {
            EXPECT_FALSE(child.capabilities.UniqueID);
            paths.push_back(child.instancePath);
        }
    }
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths.end(), std::adjacent_find(paths.begin(), paths.end()));
    for (Controller& c : controllers_) {
        EXPECT_TRUE(Stream(c));
    }
}

INSTANTIATE_TEST_SUITE_P(AtOnce, SeveralControllers, ::testing::Values(2u, 4u));

// The second controller's serial number, and what becomes of it.
struct SecondController {
    const char* name;
    const char16_t* serial; // nullptr: the first controller's
    NodeState state;
    const char* path; // for a started one
};

void PrintTo(const SecondController& second, std::ostream* out) {
    *out << second.name;
}

const SecondController SecondControllers[] = {
    {"SameSerial", nullptr, NodeState::Duplicate, nullptr},
    // Depth 1 under the root hub, the CRC-32 of its path; the port as the instance ID.
    {"NoSerial", u"", NodeState::Started, "USB\\VID_F3A1&PID_5C20\\1&5c6fef93&0&2"},
    // A comma makes the hub discard the serial number: the device has none.
    {"InvalidSerial", u"VD,002", NodeState::Started, "USB\\VID_F3A1&PID_5C20\\1&5c6fef93&0&2"},
};

class TwoControllers : public ControllersTest,
                       public ::testing::WithParamInterface<SecondController> {
  protected:
    unsigned Count() const override {
        return 2;
    }
};

// Two controllers that report one serial number: the later one's path is taken, so Windows
// refuses it with Code 42 and the world counts the failure. Without a serial number the hub's
// port number is the instance ID, under the root hub's ParentIdPrefix.
TEST_P(TwoControllers, TheSecondWithTheSameSerialIsRefusedAsADuplicate) {
    const SecondController& c = GetParam();
    sim::usb::DeviceIdentity same = sim::usb::DefaultControllerIdentity();
    sim::usb::DeviceIdentity other = same;
    if (c.serial != nullptr) {
        other.serialNumber = c.serial;
    }
    for (Controller& controller : controllers_) {
        controller.hub.reset();
    }
    controllers_[0].hub = std::make_unique<sim::usb::HubPdo>(same, 1);
    controllers_[1].hub = std::make_unique<sim::usb::HubPdo>(other, 2);
    for (Controller& controller : controllers_) {
        sim::usb::UsbDevice* usb = controller.usb.get();
        controller.hub->SetInternalIoctlHandler(
            [usb](PDEVICE_OBJECT pdo, PIRP irp) { return usb->HandleInternalIoctl(pdo, irp); });
    }
    EXPECT_EQ(NodeState::Started, pnp_->Plug(controllers_[0].hub->Device()));
    NodeState second = pnp_->Plug(controllers_[1].hub->Device());
    std::optional<DeviceNode> node = pnp_->Node(controllers_[1].hub->Device());
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(c.state, second);
    if (c.state == NodeState::Duplicate) {
        EXPECT_EQ(sim::pnp::ProblemDuplicateDevice, node->problem);
        EXPECT_EQ(1u, pnp_->DuplicatesRefused());
        EXPECT_EQ(1u, node->stack.size()) << "no driver is loaded on a refused device";
    } else {
        EXPECT_EQ(0u, pnp_->DuplicatesRefused());
        EXPECT_EQ(c.path, Narrow(node->instancePath));
    }
    pnp_->WaitIdle();
}

INSTANTIATE_TEST_SUITE_P(SameSerialOrNone, TwoControllers, ::testing::ValuesIn(SecondControllers),
                         [](const ::testing::TestParamInfo<SecondController>& info) {
                             return std::string(info.param.name);
                         });

// ---- One driver instance that reports two children with one instance path

constexpr ULONG TwinTag = 0x6E697754; // "Twin"
PDEVICE_OBJECT g_twinLower = nullptr;
PDEVICE_OBJECT g_twins[2] = {nullptr, nullptr};
bool g_twinsUnique = false; // the children report UniqueID

NTSTATUS CompleteTwin(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PWCHAR PoolString(const std::u16string& text) {
    auto* buffer = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(PagedPool, (text.size() + 2) * sizeof(WCHAR), TwinTag));
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = buffer[text.size() + 1] = 0;
    return buffer;
}

// Both children answer the same device ID and instance ID, not unique: a bus driver's fault.
NTSTATUS NTAPI TwinDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (device == g_twins[0] || device == g_twins[1]) {
        if (stack->MinorFunction == IRP_MN_QUERY_ID) {
            BUS_QUERY_ID_TYPE type = stack->Parameters.QueryId.IdType;
            if (type == BusQueryDeviceID || type == BusQueryHardwareIDs) {
                return CompleteTwin(irp, STATUS_SUCCESS,
                                    reinterpret_cast<ULONG_PTR>(PoolString(u"TWIN\\CHILD")));
            }
            if (type == BusQueryInstanceID) {
                return CompleteTwin(irp, STATUS_SUCCESS,
                                    reinterpret_cast<ULONG_PTR>(PoolString(u"0")));
            }
        }
        if (stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
            stack->Parameters.DeviceCapabilities.Capabilities->UniqueID = g_twinsUnique;
            return CompleteTwin(irp, STATUS_SUCCESS, irp->IoStatus.Information);
        }
        return CompleteTwin(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
        stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
            PagedPool, sizeof(DEVICE_RELATIONS) + sizeof(PDEVICE_OBJECT), TwinTag));
        relations->Count = 2;
        for (int i = 0; i < 2; ++i) {
            ObReferenceObject(g_twins[i]);
            relations->Objects[i] = g_twins[i];
        }
        return CompleteTwin(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(g_twinLower, irp);
}

NTSTATUS NTAPI TwinAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    IoCreateDevice(driver, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    g_twinLower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    for (PDEVICE_OBJECT& twin : g_twins) {
        IoCreateDevice(driver, 0, NULL, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE,
                       &twin);
        twin->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TwinEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) {
        dispatch = TwinDispatch;
    }
    driver->DriverExtension->AddDevice = TwinAddDevice;
    return STATUS_SUCCESS;
}

// Plugs a controller whose driver reports the twins, and waits until the manager is idle.
void PlugTwins(sim::pnp::PnpManager& pnp, sim::usb::HubPdo& hub) {
    // One file per process: CTest runs the death tests side by side, and a file that the other
    // is rewriting reads as an INF without the model.
    std::string inf = ::testing::TempDir() + "twin" + std::to_string(getpid()) + ".inf";
    std::FILE* file = std::fopen(inf.c_str(), "w");
    ASSERT_NE(file, nullptr) << inf;
    std::fputs("[Manufacturer]\n%M% = Models\n[Models]\nDev = Inst, USB\\VID_F3A1&PID_"
               "5C20\n[Inst.NT]\n[Inst.NT.Services]\nAddService = twin, 0x00000002, "
               "Svc\n[Svc]\nServiceType = 1\n[Strings]\nM = \"Maker\"\n",
               file);
    std::fclose(file);
    bool loaded = pnp.LoadInf(inf);
    std::remove(inf.c_str());
    ASSERT_TRUE(loaded) << inf;
    pnp.RegisterDriver("twin", TwinEntry);
    pnp.Plug(hub.Device());
    pnp.WaitIdle();
}

// An instance ID unique only under its parent, met twice: that parent reported both, and the
// machine stops with bug check 0xCA, parameter 1 = 0x1 (duplicate PDO).
TEST(DuplicatePdoDeathTest, TwoChildrenOfOneDriverWithOnePathStopTheMachine) {
    VELT_THREADSAFE_DEATH_TESTS();
    EXPECT_DEATH(
        {
            host::Reset();
            g_twinsUnique = false;
            sim::pnp::PnpManager pnp;
            sim::usb::HubPdo hub;
            PlugTwins(pnp, hub);
        },
        "STOP: 0x000000CA \\(KeBugCheckEx\\(0x1, ");
}

// A unique instance ID met twice is one device that two parents report, whoever reports it:
// the later one is refused with Code 42 and the machine runs on. In a child process, which the
// twins' driver (it never deletes its devices) leaves untidy.
TEST(DuplicatePdoDeathTest, AUniqueInstanceIdMetTwiceIsRefusedWithCode42) {
    VELT_THREADSAFE_DEATH_TESTS();
    EXPECT_EXIT(
        {
            host::Reset();
            g_twinsUnique = true;
            sim::pnp::PnpManager pnp;
            sim::usb::HubPdo hub;
            PlugTwins(pnp, hub);
            std::optional<DeviceNode> later = pnp.Node(g_twins[1]);
            bool refused = pnp.DuplicatesRefused() == 1 && later.has_value() &&
                           later->state == NodeState::Duplicate &&
                           later->problem == sim::pnp::ProblemDuplicateDevice;
            std::fprintf(stderr, refused ? "refused\n" : "not refused\n");
            std::_Exit(refused ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "^refused");
}

} // namespace
