// Driver entry, the FDO's creation, routing by device kind and the forwarding helpers.
#include "support/host_fixture.h"

#include "core/driver.h"

#include <thread>

namespace velt::test {
namespace {

std::string PointerText(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
    return text;
}

struct VersionCase {
    const char* name;
    host::OsVersion version;
    POOL_TYPE expected;
};

class PoolTypeByVersion : public HostTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(PoolTypeByVersion, FollowsTheNtddiAnswer) {
    host::SetOsVersion(GetParam().version);
    PDRIVER_OBJECT driver = host::LoadDriver(DriverEntry, u"veltdriver");
    EXPECT_EQ(GetParam().expected, NonPagedPoolType);
    host::UnloadDriver(driver);
}

INSTANTIATE_TEST_SUITE_P(
    Systems, PoolTypeByVersion,
    ::testing::Values(VersionCase{"Windows10", host::Windows10, NonPagedPoolNx},
                      VersionCase{"Windows8", host::Windows8, NonPagedPoolNx},
                      VersionCase{"Windows7", host::Windows7, NonPagedPool},
                      VersionCase{"WindowsXp", host::WindowsXp, NonPagedPool},
                      VersionCase{"Windows7WithoutRtl", {6, 1, 7600, false}, NonPagedPool},
                      VersionCase{"Windows8WithoutRtl", {6, 2, 9200, false}, NonPagedPoolNx}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return info.param.name; });

using DriverFrame = DriverTest;

TEST_F(DriverFrame, EntryInstallsTheRoutersAndLogsItself) {
    EXPECT_EQ((std::vector<std::string>{"VELTDRIVER : DriverEntry()"}), Lines());
    EXPECT_EQ(driver_, GlobalDriverObject);
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        PDRIVER_DISPATCH expected = PassDownIrp;
        switch (major) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLEANUP:
        case IRP_MJ_CLOSE:
        case IRP_MJ_READ:
        case IRP_MJ_WRITE:
            expected = DispatchCreateCleanCloseEtc;
            break;
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            expected = RouteDeviceControl;
            break;
        case IRP_MJ_PNP:
            expected = RoutePnp;
            break;
        case IRP_MJ_POWER:
            expected = RoutePower;
            break;
        case IRP_MJ_SYSTEM_CONTROL:
            expected = DispatchSystemControl;
            break;
        }
        EXPECT_EQ(expected, driver_->MajorFunction[major]) << int(major);
    }
    EXPECT_EQ(AddDevice, driver_->DriverExtension->AddDevice);
    EXPECT_EQ(Unload, driver_->DriverUnload);
}

TEST_F(DriverFrame, AddDeviceAttachesAnFdoReadyForRequests) {
    TestDriver bus(u"usbhub");
    PDEVICE_OBJECT pdo = bus.CreateDevice();
    host::ClearLog();
    ASSERT_EQ(STATUS_SUCCESS, AddDevice(driver_, pdo));
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    ASSERT_NE(nullptr, fdo);
    EXPECT_EQ("VELTDRIVER : AddDevice: Driver " + PointerText(driver_) + " lower Device " +
                  PointerText(pdo),
              Lines().at(0));
    EXPECT_EQ(ULONG(DO_DIRECT_IO | DO_POWER_PAGABLE), fdo->Flags);
    EXPECT_EQ(ULONG(FILE_DEVICE_UNKNOWN), fdo->DeviceType);
    EXPECT_EQ(ULONG(FILE_DEVICE_SECURE_OPEN), fdo->Characteristics);
    PDEVICE_EXTENSION extension = ExtensionOf(fdo);
    EXPECT_EQ(DEVICE_KIND_FDO, extension->DeviceKind);
    EXPECT_EQ(pdo, extension->PhysicalDeviceObject);
    EXPECT_EQ(fdo, extension->ParentFdo);
    EXPECT_EQ(pdo, extension->LowerDeviceObject);
    EXPECT_EQ(1, extension->RemoveLock.Common.IoCount);
    EXPECT_EQ(nullptr, extension->GamepadChild);
    DestroyFdo(fdo);
}

TEST_F(DriverFrame, AddDeviceThatCannotCreateReturnsTheStatusAndLogsAnError) {
    TestDriver bus(u"usbhub");
    PDEVICE_OBJECT pdo = bus.CreateDevice();
    host::FailNthCall(host::Alloc::CreateDevice, 1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AddDevice(driver_, pdo));
    host::LogLine last = host::LogLines().back();
    EXPECT_EQ("VELTDRIVER : AddDevice: Cannot create DeviceObject", last.text);
    EXPECT_EQ(0u, last.level);
    EXPECT_EQ(nullptr, driver_->DeviceObject);
}

TEST_F(DriverFrame, AddDeviceThatCannotAttachLeavesNoDeviceObject) {
    TestDriver bus(u"usbhub");
    PDEVICE_OBJECT pdo = bus.CreateDevice();
    // A PDO already deleted takes no attachment; the reference keeps its memory for the test.
    ObReferenceObject(pdo);
    IoDeleteDevice(pdo);
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, AddDevice(driver_, pdo));
    EXPECT_EQ(nullptr, driver_->DeviceObject);
    host::LogLine last = host::LogLines().back();
    EXPECT_EQ(0u, last.level);
    EXPECT_EQ(0u, last.text.find("VELTDRIVER : AddDevice: Unable to attach "));
    EXPECT_NE(std::string::npos, last.text.find(" to target " + PointerText(pdo)));
    ObDereferenceObject(pdo);
}

// An FDO over a lower device of the tests, with two device objects made as the children are.
class Routing : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        lower_ = bus_.CreateDevice([this](PDEVICE_OBJECT device, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            seen_.push_back(*stack);
            return CompleteAsIs(device, irp);
        });
        ASSERT_EQ(STATUS_SUCCESS, AddDevice(driver_, lower_));
        fdo_ = lower_->AttachedDevice;
        for (ULONG kind : {DEVICE_KIND_GAMEPAD, DEVICE_KIND_VENDOR}) {
            PDEVICE_OBJECT child;
            ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(DEVICE_EXTENSION), NULL,
                                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &child));
            ExtensionOf(child)->DeviceKind = kind;
            ExtensionOf(child)->PhysicalDeviceObject = child;
            ExtensionOf(child)->ParentFdo = fdo_;
            child->Flags &= ~DO_DEVICE_INITIALIZING;
            children_.push_back(child);
        }
    }
    void TearDown() override {
        for (PDEVICE_OBJECT child : children_) {
            IoDeleteDevice(child);
        }
        DestroyFdo(fdo_);
        DriverTest::TearDown();
    }
    host::IrpResult Send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor = 0) {
        return host::SendIrp(device, STATUS_NOT_SUPPORTED, [&](PIRP, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = major;
            stack->MinorFunction = minor;
            stack->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0x1111);
            stack->Parameters.Others.Argument4 = reinterpret_cast<PVOID>(0x4444);
        });
    }

    TestDriver bus_{u"usbhub"};
    PDEVICE_OBJECT lower_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    std::vector<PDEVICE_OBJECT> children_;
    std::vector<IO_STACK_LOCATION> seen_;
};

TEST_F(Routing, CreateCloseReadWriteCleanupSucceedAtOnceOnEveryKind) {
    for (PDEVICE_OBJECT device : {fdo_, children_[0], children_[1]}) {
        for (UCHAR major :
             {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_CLEANUP}) {
            host::IrpResult result = Send(device, major);
            EXPECT_EQ(STATUS_SUCCESS, result.status);
            EXPECT_EQ(STATUS_SUCCESS, result.returned);
            EXPECT_EQ(0u, result.information);
        }
    }
    EXPECT_TRUE(seen_.empty());
    EXPECT_EQ("VELTDRIVER : DispatchCreateCleanCloseEtc", Lines().back());
}

TEST_F(Routing, SystemControlEndsAtAChildAndGoesDownFromTheFdo) {
    for (PDEVICE_OBJECT child : children_) {
        host::IrpResult result = Send(child, IRP_MJ_SYSTEM_CONTROL);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, result.status);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, result.returned);
    }
    EXPECT_TRUE(seen_.empty());
    Send(fdo_, IRP_MJ_SYSTEM_CONTROL);
    ASSERT_EQ(1u, seen_.size());
    EXPECT_EQ(IRP_MJ_SYSTEM_CONTROL, seen_[0].MajorFunction);
}

TEST_F(Routing, RequestsWithoutARouteGoDownFromTheFdoAndEndAtAChild) {
    for (PDEVICE_OBJECT child : children_) {
        EXPECT_EQ(STATUS_NOT_SUPPORTED, Send(child, IRP_MJ_FLUSH_BUFFERS).status);
    }
    EXPECT_TRUE(seen_.empty());
    Send(fdo_, IRP_MJ_FLUSH_BUFFERS, 5);
    ASSERT_EQ(1u, seen_.size());
    // The lower driver sees exactly the stack location the FDO received.
    EXPECT_EQ(IRP_MJ_FLUSH_BUFFERS, seen_[0].MajorFunction);
    EXPECT_EQ(5, seen_[0].MinorFunction);
    EXPECT_EQ(reinterpret_cast<PVOID>(0x1111), seen_[0].Parameters.Others.Argument1);
    EXPECT_EQ(reinterpret_cast<PVOID>(0x4444), seen_[0].Parameters.Others.Argument4);
    EXPECT_EQ(lower_, seen_[0].DeviceObject);
}

TEST_F(Routing, AnUnknownDeviceKindIsRoutedAsTheFdo) {
    ExtensionOf(children_[0])->DeviceKind = 7;
    ExtensionOf(children_[0])->LowerDeviceObject = lower_;
    children_[0]->StackSize = 2;
    Send(children_[0], IRP_MJ_SYSTEM_CONTROL);
    EXPECT_EQ(1u, seen_.size());
}

// A request the FDO has received, as its dispatch routine would see it.
PIRP ReceivedAtFdo(PDEVICE_OBJECT fdo) {
    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    stack->DeviceObject = fdo;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    return irp;
}

void Release(PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    IoFreeIrp(irp);
}

struct ForwardCase {
    const char* name;
    bool pend;
    NTSTATUS lowerStatus;
};

class ForwardAndWaitCases : public DriverTest, public ::testing::WithParamInterface<ForwardCase> {};

TEST_P(ForwardAndWaitCases, ReturnsTheLowerStatusWithTheIrpBack) {
    const ForwardCase& c = GetParam();
    TestDriver bus(u"usbhub");
    std::thread completer;
    PDEVICE_OBJECT lower = bus.CreateDevice([&](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = c.lowerStatus;
        if (!c.pend) {
            return CompleteAsIs(nullptr, irp);
        }
        IoMarkIrpPending(irp);
        completer = std::thread([irp] {
            host::IrqlScope dispatch(DISPATCH_LEVEL);
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    });
    ASSERT_EQ(STATUS_SUCCESS, AddDevice(driver_, lower));
    PDEVICE_OBJECT fdo = lower->AttachedDevice;
    PIRP irp = ReceivedAtFdo(fdo);
    EXPECT_EQ(c.lowerStatus, ForwardAndWait(fdo, irp));
    if (completer.joinable()) {
        completer.join();
    }
    // Back at the FDO's own stack location, not yet completed.
    EXPECT_EQ(irp->StackCount, irp->CurrentLocation);
    EXPECT_EQ(c.lowerStatus, irp->IoStatus.Status);
    Release(irp);
    DestroyFdo(fdo);
}

INSTANTIATE_TEST_SUITE_P(
    Lower, ForwardAndWaitCases,
    ::testing::Values(ForwardCase{"CompletesAtOnce", false, STATUS_SUCCESS},
                      ForwardCase{"Pends", true, STATUS_SUCCESS},
                      ForwardCase{"FailsAtOnce", false, STATUS_DEVICE_NOT_READY},
                      ForwardCase{"PendsAndFails", true, STATUS_CANCELLED}),
    [](const ::testing::TestParamInfo<ForwardCase>& info) { return info.param.name; });

} // namespace
} // namespace velt::test
