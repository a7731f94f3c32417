// The FDO's plug and play and its dispatcher thread, driven by the PnP manager over the hub's
// PDO of the default controller.
#include "core/driver.h"
#include "dispatcher/dispatcher.h"
#include "sim/hid/hid_stack.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/hub_pdo.h"
#include "sim/usb/urb_engine.h"
#include "support/log_gate.h"

#include <gtest/gtest.h>

#include <atomic>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

using sim::pnp::NodeState;

// A log line as the host records it: without its newline.
std::string Line(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

const std::string StartLine = Line("VELTDRIVER :       DispatchPnp: START_DEVICE \n");
const std::string EnteringLine = Line("VELTDRIVER : DispatcherThread : entering\n");
const std::string ExitingLine = Line("VELTDRIVER : DispatcherThread : exiting\n");
const std::string CreatePdoLine = Line("VELTDRIVER : PDO : CreatePDO\n");
const std::string CreateXdoLine = Line("VELTDRIVER : XDO : CreateXDO\n");
const std::string BusRelationsLine =
    Line("VELTDRIVER :       DispatchPnp: IRP_MN_QUERY_DEVICE_RELATIONS : BusRelations \n");
const std::string AddingLine = Line("VELTDRIVER :       Adding child PDOs to list\n");
const std::string SurpriseLine = Line("VELTDRIVER :       DispatchPnp: SURPRISE_REMOVAL \n");
const std::string RemoveLine = Line("VELTDRIVER :       DispatchPnp: REMOVE_DEVICE \n");
const std::string WaitingLine =
    Line("VELTDRIVER : RemoveDevice : Waiting for dispatcher thread to exit\n");

// %p as the debug log writes it: all digits, upper case, no prefix.
std::string Pointer(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
    return text;
}

LONG_PTR References(PVOID object) {
    LONG_PTR count = ObfReferenceObject(object) - 1;
    ObfDereferenceObject(object);
    return count;
}

std::vector<std::string> Lines() {
    return host::LogTexts();
}

size_t Count(const std::string& line) {
    std::vector<std::string> lines = Lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// Index of the first occurrence of a line, or -1.
long IndexOf(const std::string& line) {
    std::vector<std::string> lines = Lines();
    auto found = std::find(lines.begin(), lines.end(), line);
    return found == lines.end() ? -1 : static_cast<long>(found - lines.begin());
}

class FdoPnpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::Reset();
        // The address query pauses a kernel second per attempt: 10 ms here.
        host::SetTimeScale(100);
        NewHub();
        pnp_ = std::make_unique<sim::pnp::PnpManager>();
        ASSERT_TRUE(pnp_->LoadInf(VELT_DRIVER_INF));
        pnp_->RegisterDriver("veltdriver", DriverEntry);
    }

    void TearDown() override {
        pnp_.reset();
        hub_.reset();
        controller_.reset();
        EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
        EXPECT_TRUE(host::PoolOutstanding().empty());
        // A thread object is signalled just before its thread is gone.
        EXPECT_TRUE(Eventually([] { return host::LiveSystemThreads() == 0; }));
    }

    // A hub PDO with the default controller behind it.
    void NewHub() {
        controller_ = std::make_unique<sim::usb::UsbDevice>(sim::usb::DefaultController());
        hub_ = std::make_unique<sim::usb::HubPdo>();
        sim::usb::UsbDevice* controller = controller_.get();
        hub_->SetInternalIoctlHandler([controller](PDEVICE_OBJECT pdo, PIRP irp) {
            return controller->HandleInternalIoctl(pdo, irp);
        });
    }

    PDEVICE_OBJECT Pdo() const {
        return hub_->Device();
    }
    PDEVICE_OBJECT Fdo() const {
        return Pdo()->AttachedDevice;
    }
    PDEVICE_EXTENSION FdoExtension() const {
        return ExtensionOf(Fdo());
    }

    // Plugs the controller and waits until the dispatcher has created both children and the
    // PnP manager has enumerated them.
    void PlugAndEnumerate() {
        ASSERT_EQ(pnp_->Plug(Pdo()), NodeState::Started);
        ASSERT_TRUE(pnp_->WaitUntil([this] { return pnp_->Children(Pdo()).size() == 2; }));
        pnp_->WaitIdle();
    }

    // The controller goes away with its port, so the children's pending reads come back.
    void UnplugController() {
        controller_->Unplug();
        hub_->Unplug();
        pnp_->Unplug(Pdo());
        EXPECT_TRUE(hub_->Deleted());
        EXPECT_EQ(pnp_->Driver("veltdriver"), nullptr) << "the driver unloads with its last device";
    }

    host::IrpResult SendPnpToFdo(UCHAR minor, ULONG_PTR information,
                                 const std::function<void(PIO_STACK_LOCATION)>& fill = {}) {
        return host::SendIrp(Fdo(), STATUS_NOT_SUPPORTED, [&](PIRP irp, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = IRP_MJ_PNP;
            stack->MinorFunction = minor;
            irp->IoStatus.Information = information;
            if (fill) {
                fill(stack);
            }
        });
    }

    std::unique_ptr<sim::usb::UsbDevice> controller_;
    std::unique_ptr<sim::usb::HubPdo> hub_;
    std::unique_ptr<sim::pnp::PnpManager> pnp_;
};

// The lower stack starts first, the dispatcher thread only after it, and START completes while
// the thread is still held before its first item. Then the items run in order, both children
// appear in the tree (bound to the HID stack), and unplugging takes it all down.
TEST_F(FdoPnpTest, StartSequenceWorkItemsChildrenAndUnplug) {
    bool lowerStartedFirst = false;
    {
        LogGate held(EnteringLine);
        std::thread plug([&] { EXPECT_EQ(pnp_->Plug(Pdo()), NodeState::Started); });
        ASSERT_TRUE(held.WaitReached());
        lowerStartedFirst = hub_->Started();
        plug.join(); // START completed and the manager finished its start-up queries
        EXPECT_EQ(FdoExtension()->GamepadChild, nullptr);
        EXPECT_EQ(Count(BusRelationsLine), 1u) << "queried after start, before the children";
        EXPECT_EQ(Count(AddingLine), 0u);
        EXPECT_TRUE(pnp_->Children(Pdo()).empty());
    }
    EXPECT_TRUE(lowerStartedFirst);
    std::vector<UCHAR> minors = hub_->PnpMinorsSeen();
    EXPECT_NE(std::find(minors.begin(), minors.end(), IRP_MN_START_DEVICE), minors.end());

    ASSERT_TRUE(pnp_->WaitUntil([this] { return pnp_->Children(Pdo()).size() == 2; }));
    pnp_->WaitIdle();
    EXPECT_LT(IndexOf(StartLine), IndexOf(EnteringLine));
    EXPECT_LT(IndexOf(EnteringLine), IndexOf(CreatePdoLine));
    EXPECT_LT(IndexOf(CreatePdoLine), IndexOf(CreateXdoLine));
    EXPECT_LT(IndexOf(CreateXdoLine), IndexOf(AddingLine));
    EXPECT_EQ(pnp_->InvalidationsSeen(), 1u);

    PDEVICE_EXTENSION fdo = FdoExtension();
    std::vector<sim::pnp::DeviceNode> children = pnp_->Children(Pdo());
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].pdo, fdo->GamepadChild);
    EXPECT_EQ(children[1].pdo, fdo->VendorChild);
    for (const sim::pnp::DeviceNode& child : children) {
        EXPECT_EQ(child.parent, Pdo());
        EXPECT_FALSE(child.deviceId.empty());
        EXPECT_EQ(child.state, NodeState::Started);
        EXPECT_EQ(child.service, sim::hid::HidStackService);
    }
    std::optional<sim::pnp::DeviceNode> controller = pnp_->Node(Pdo());
    ASSERT_TRUE(controller.has_value());
    EXPECT_EQ(controller->service, "veltdriver");
    EXPECT_EQ(controller->matchedId, "USB\\VID_F3A1&PID_5C20&REV_0100");
    EXPECT_EQ(controller->stack, (std::vector<PDEVICE_OBJECT>{Pdo(), Fdo()}));

    // The children as the dispatcher created them.
    const PDEVICE_OBJECT created[] = {fdo->GamepadChild, fdo->VendorChild};
    for (ULONG i = 0; i < 2; ++i) {
        PDEVICE_OBJECT child = created[i];
        PDEVICE_EXTENSION ext = ExtensionOf(child);
        EXPECT_EQ(ext->DeviceKind, i + 1);
        EXPECT_EQ(ext->PhysicalDeviceObject, child);
        EXPECT_EQ(ext->ParentFdo, Fdo());
        EXPECT_EQ(child->Characteristics & FILE_AUTOGENERATED_DEVICE_NAME,
                  ULONG(FILE_AUTOGENERATED_DEVICE_NAME));
        EXPECT_EQ(child->StackSize, 1 + Fdo()->StackSize);
        EXPECT_EQ(child->Flags & DO_DEVICE_INITIALIZING, 0u);
        EXPECT_EQ(child->Flags & DO_POWER_PAGABLE, ULONG(DO_POWER_PAGABLE)) << "from the hub PDO";
    }

    host::ClearLog();
    PDEVICE_OBJECT fdoObject = Fdo();
    UnplugController();
    std::string removing =
        "VELTDRIVER : RemoveDevice  : removing " + Pointer(fdoObject) + "  from " + Pointer(Pdo());
    EXPECT_LT(IndexOf(SurpriseLine), IndexOf(RemoveLine));
    // The thread is woken before the wait is logged: the two lines may come in either order.
    EXPECT_LT(IndexOf(RemoveLine), IndexOf(WaitingLine));
    EXPECT_LT(IndexOf(RemoveLine), IndexOf(ExitingLine));
    EXPECT_LT(IndexOf(WaitingLine), IndexOf(removing));
    EXPECT_LT(IndexOf(ExitingLine), IndexOf(removing));
    EXPECT_TRUE(pnp_->Tree().empty());
}

// Each pass-down minor code writes exactly its line and reaches the hub PDO.
TEST_F(FdoPnpTest, TraceLineOfEveryPassedDownMinorCode) {
    PlugAndEnumerate();
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    struct Case {
        UCHAR minor;
        std::vector<std::string> lines;
        std::function<void(PIO_STACK_LOCATION)> fill;
        bool reply = false; // the hub PDO answers with pool that the sender takes over
    };
    const Case cases[] = {
        {0x01, {Line("VELTDRIVER :       DispatchPnp: QUERY_REMOVE_DEVICE \n")}, {}},
        {0x03, {Line("VELTDRIVER :       DispatchPnp: CANCEL_REMOVE_DEVICE \n")}, {}},
        {0x05, {Line("VELTDRIVER :       DispatchPnp: QUERY_STOP_DEVICE   \n")}, {}},
        {0x06, {Line("VELTDRIVER :       DispatchPnp: CANCEL_STOP_DEVICE  \n")}, {}},
        {0x07,
         {Line(
             "VELTDRIVER :       DispatchPnp: IRP_MN_QUERY_DEVICE_RELATIONS : !BusRelations  type "
             "is 3\n")},
         [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = RemovalRelations; }},
        {0x08, {Line("VELTDRIVER :       DispatchPnp: QUERY_INTERFACE    \n")}, {}},
        {0x09,
         {Line("VELTDRIVER :       DispatchPnp: IRP_MN_QUERY_CAPABILITIES \n")},
         [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; }},
        {0x0A, {Line("VELTDRIVER :       DispatchPnp: IRP_MN_QUERY_RESOURCES  \n")}, {}},
        {0x0B, {Line("VELTDRIVER :       DispatchPnp: QUERY_RESOURCE_REQUIREMENTS \n")}, {}},
        {0x0C,
         {Line("VELTDRIVER :       DispatchPnp: IRP_MN_QUERY_DEVICE_TEXT  \n")},
         [](PIO_STACK_LOCATION s) {
             s->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
         },
         true},
        {0x0D, {Line("VELTDRIVER :       DispatchPnp: FILTER_RESOURCE_REQUIREMENTS \n")}, {}},
        {0x0E, {Line("VELTDRIVER :       DispatchPnp: Forwarding unknown irp   0xE\n")}, {}},
        {0x0F, {Line("VELTDRIVER :       DispatchPnp: READ_CONFIG     \n")}, {}},
        {0x10, {Line("VELTDRIVER :       DispatchPnp:  WRITE_CONFIG      \n")}, {}},
        {0x11, {Line("VELTDRIVER :       DispatchPnp: EJECT       \n")}, {}},
        {0x12, {Line("VELTDRIVER :       DispatchPnp: SET_LOCK        \n")}, {}},
        {0x13,
         {Line("VELTDRIVER :       DispatchPnp: IRP_MN_QUERY_ID  \n")},
         [](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = BusQueryDeviceSerialNumber; }},
        {0x14, {}, {}},
        {0x15,
         {Line("VELTDRIVER :       DispatchPnp: IRP_MN_QUERY_BUS_INFORMATION        \n")},
         {},
         true},
        {0x16, {Line("VELTDRIVER :       DispatchPnp: IRP_MN_DEVICE_USAGE_NOTIFICATION \n")}, {}},
        {0x18, {Line("VELTDRIVER :       DispatchPnp: Forwarding unknown irp   0x18\n")}, {}},
        {0x19, {Line("VELTDRIVER :       DispatchPnp: Forwarding unknown irp   0x19\n")}, {}},
        {0x04, {Line("VELTDRIVER :       DispatchPnp: STOP_DEVICE  \n")}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "minor 0x" << std::hex << int(c.minor));
        size_t seen = hub_->PnpMinorsSeen().size();
        host::ClearLog();
        host::IrpResult r = SendPnpToFdo(c.minor, 0, c.fill);
        // The stop leaves the controller unconfigured: the children's transfers that come back
        // cancelled write their own lines.
        std::vector<std::string> lines = Lines();
        if (c.minor == IRP_MN_STOP_DEVICE) {
            lines.erase(std::remove_if(lines.begin(), lines.end(),
                                       [](const std::string& line) {
                                           return line.find("IOCTLRepeaterComplete") !=
                                                  std::string::npos;
                                       }),
                        lines.end());
        }
        EXPECT_EQ(lines, c.lines);
        std::vector<UCHAR> minors = hub_->PnpMinorsSeen();
        ASSERT_EQ(minors.size(), seen + 1);
        EXPECT_EQ(minors.back(), c.minor);
        if (c.reply) {
            ASSERT_NE(r.information, 0u);
            ExFreePool(reinterpret_cast<PVOID>(r.information));
        } else {
            EXPECT_EQ(r.information, 0u);
        }
    }
    UnplugController();
}

// The FDO keeps the capabilities the lower stack returned, also when the lower stack fails the
// request (then the caller's structure, as it came back, is kept).
TEST_F(FdoPnpTest, CapabilitiesCopiedWhateverTheStatus) {
    PlugAndEnumerate();
    const DEVICE_CAPABILITIES& kept = FdoExtension()->DeviceCapabilities;
    EXPECT_EQ(kept.Address, 1u);
    EXPECT_EQ(kept.UINumber, 1u);
    EXPECT_EQ(kept.Removable, 1u);
    EXPECT_EQ(kept.DeviceState[PowerSystemWorking], PowerDeviceD0);

    DEVICE_CAPABILITIES unknown{};
    unknown.Size = sizeof unknown;
    unknown.Version = 0; // the hub fails a version it does not know
    unknown.UINumber = 0x1234;
    host::IrpResult r = SendPnpToFdo(IRP_MN_QUERY_CAPABILITIES, 0, [&](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceCapabilities.Capabilities = &unknown;
    });
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.returned, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(std::memcmp(&kept, &unknown, sizeof unknown), 0);
    UnplugController();
}

// BusRelations as drivers above may hand it down: no list, strangers only, both children, one.
TEST_F(FdoPnpTest, BusRelationsAddsOnlyMissingChildren) {
    PlugAndEnumerate();
    PDEVICE_OBJECT gamepad = FdoExtension()->GamepadChild;
    PDEVICE_OBJECT vendor = FdoExtension()->VendorChild;
    sim::usb::HubPdo s1, s2, s3; // strangers: device objects of another bus
    PDEVICE_OBJECT strangers[] = {s1.Device(), s2.Device(), s3.Device()};
    constexpr ULONG TestTag = 'T' | ('s' << 8) | ('t' << 16) | (static_cast<ULONG>('R') << 24);
    auto list = [&](std::vector<PDEVICE_OBJECT> objects) {
        auto* r = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
            PagedPool, sizeof(DEVICE_RELATIONS) + objects.size() * sizeof(PVOID), TestTag));
        r->Count = static_cast<ULONG>(objects.size());
        std::copy(objects.begin(), objects.end(), r->Objects);
        return r;
    };
    struct Case {
        const char* name;
        std::vector<PDEVICE_OBJECT> received; // empty with `none`: no list at all
        bool none;
        std::vector<PDEVICE_OBJECT> expected;
        bool replaced;
    };
    const Case cases[] = {
        {"no list", {}, true, {gamepad, vendor}, true},
        {"three strangers",
         {strangers[0], strangers[1], strangers[2]},
         false,
         {strangers[0], strangers[1], strangers[2], gamepad, vendor},
         true},
        {"both children",
         {vendor, strangers[0], gamepad},
         false,
         {vendor, strangers[0], gamepad},
         false},
        {"gamepad child only",
         {strangers[1], gamepad},
         false,
         {strangers[1], gamepad, vendor},
         true},
        {"vendor child only", {vendor}, false, {vendor, gamepad}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LONG_PTR gamepadRefs = References(gamepad);
        LONG_PTR vendorRefs = References(vendor);
        PDEVICE_RELATIONS received = c.none ? nullptr : list(c.received);
        host::ClearLog();
        host::IrpResult r = SendPnpToFdo(
            IRP_MN_QUERY_DEVICE_RELATIONS, reinterpret_cast<ULONG_PTR>(received),
            [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
        auto* result = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(std::vector<PDEVICE_OBJECT>(result->Objects, result->Objects + result->Count),
                  c.expected);
        bool hadGamepad = !c.none && std::count(c.received.begin(), c.received.end(), gamepad);
        bool hadVendor = !c.none && std::count(c.received.begin(), c.received.end(), vendor);
        EXPECT_EQ(References(gamepad), gamepadRefs + (hadGamepad ? 0 : 1));
        EXPECT_EQ(References(vendor), vendorRefs + (hadVendor ? 0 : 1));
        if (c.replaced) {
            EXPECT_EQ(r.status, STATUS_SUCCESS);
            EXPECT_NE(result, received);
            EXPECT_EQ(Lines(), (std::vector<std::string>{BusRelationsLine, AddingLine}));
            std::vector<host::PoolUsage> pool = host::PoolOutstanding();
            EXPECT_TRUE(std::none_of(pool.begin(), pool.end(), [](const host::PoolUsage& u) {
                return u.tag == "TstR";
            })) << "the received list is freed";
        } else {
            EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED) << "left as it came";
            EXPECT_EQ(result, received);
            EXPECT_EQ(Lines(),
                      (std::vector<std::string>{
                          BusRelationsLine,
                          Line("VELTDRIVER :       child PDO and XDO already in list\n")}));
        }
        // The sender takes over the list and its references.
        for (ULONG i = 0; i < result->Count; ++i) {
            PDEVICE_OBJECT o = result->Objects[i];
            bool added = (o == gamepad && !hadGamepad) || (o == vendor && !hadVendor);
            if (added) {
                ObfDereferenceObject(o);
            }
        }
        ExFreePool(result);
    }
    UnplugController();
}

// Surprise removal while the CreatePDOs item runs: that item runs to its end but creates no
// vendor child, the IoInvalidateDeviceRelations item behind it never runs, and a PnP request
// that arrives once removal began fails with STATUS_DELETE_PENDING. Surprise removal before the
// first item: no item runs, no child is created.
TEST_F(FdoPnpTest, SurpriseRemovalStopsTheWorkItems) {
    struct Case {
        const char* name;
        std::string heldAt;
        bool gamepadCreated;
    };
    const Case cases[] = {
        {"during CreatePDOs", CreatePdoLine, true},
        {"before the first item", EnteringLine, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (hub_ == nullptr) {
            NewHub();
        }
        host::ClearLog();
        size_t invalidations = pnp_->InvalidationsSeen();
        LogGate held(c.heldAt);
        ASSERT_EQ(pnp_->Plug(Pdo()), NodeState::Started);
        ASSERT_TRUE(held.WaitReached());
        PDEVICE_EXTENSION fdo = FdoExtension();
        PDEVICE_OBJECT fdoObject = Fdo();
        hub_->Unplug();
        std::thread unplug([&] { pnp_->Unplug(Pdo()); });
        // The remove waits for the held item, with the remove lock closed to newcomers.
        ASSERT_TRUE(Eventually([&] {
            return __atomic_load_n(&fdo->RemoveLock.Common.Removed, __ATOMIC_SEQ_CST) != 0;
        }));
        EXPECT_TRUE(fdo->Removed);
        host::IrpResult late =
            host::SendIrp(fdoObject, STATUS_NOT_SUPPORTED, [](PIRP irp, PIO_STACK_LOCATION s) {
                s->MajorFunction = IRP_MJ_PNP;
                s->MinorFunction = IRP_MN_QUERY_PNP_DEVICE_STATE;
                irp->IoStatus.Information = 5;
            });
        EXPECT_EQ(late.status, STATUS_DELETE_PENDING);
        EXPECT_EQ(late.returned, STATUS_DELETE_PENDING);
        EXPECT_EQ(late.information, 0u);
        std::vector<host::LogLine> lines = host::LogLines();
        auto failed = std::find_if(lines.begin(), lines.end(), [](const host::LogLine& l) {
            return l.text ==
                   Line("VELTDRIVER :  DispatchPnp : Remove lock failed PNP Irp type [0x14]\n");
        });
        ASSERT_NE(failed, lines.end());
        EXPECT_EQ(failed->level, 0u);
        held.Open();
        unplug.join();
        EXPECT_EQ(Count(CreatePdoLine), c.gamepadCreated ? 1u : 0u);
        EXPECT_EQ(Count(CreateXdoLine), 0u);
        EXPECT_EQ(Count(ExitingLine), 1u);
        EXPECT_EQ(pnp_->InvalidationsSeen(), invalidations) << "no relations item ran";
        EXPECT_TRUE(hub_->Deleted());
        EXPECT_EQ(pnp_->Driver("veltdriver"), nullptr);
        EXPECT_TRUE(host::PoolOutstanding().empty());
        hub_.reset();
    }
}

// IRP_MN_REMOVE_DEVICE while the four start-up items are still queued: the thread ends without
// running them and every record goes back to the lookaside list (none is left at unload).
TEST_F(FdoPnpTest, RemoveWithItemsQueuedDropsThem) {
    LogGate held(EnteringLine);
    ASSERT_EQ(pnp_->Plug(Pdo()), NodeState::Started);
    ASSERT_TRUE(held.WaitReached());
    std::thread remove([&] { EXPECT_TRUE(pnp_->Remove(Pdo())); });
    ASSERT_TRUE(Eventually([] { return IndexOf(WaitingLine) >= 0; }));
    held.Open();
    remove.join();
    EXPECT_EQ(Count(CreatePdoLine), 0u);
    EXPECT_EQ(Count(ExitingLine), 1u);
    EXPECT_EQ(pnp_->Driver("veltdriver"), nullptr);
    EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
    EXPECT_TRUE(host::PoolOutstanding().empty());
    // Still on the bus: the PDO stays until the device leaves.
    EXPECT_FALSE(hub_->Deleted());
    EXPECT_EQ(pnp_->Node(Pdo())->state, NodeState::Removed);
    hub_->Unplug();
    pnp_->Unplug(Pdo());
    EXPECT_TRUE(hub_->Deleted());
}

// A stop and a second start keep the one dispatcher thread and the one pair of children.
TEST_F(FdoPnpTest, StopAndRestartKeepOneThreadAndOnePairOfChildren) {
    PlugAndEnumerate();
    PDEVICE_OBJECT gamepad = FdoExtension()->GamepadChild;
    PDEVICE_OBJECT vendor = FdoExtension()->VendorChild;
    host::ClearLog();
    ASSERT_TRUE(pnp_->Restart(Pdo()));
    pnp_->WaitIdle();
    std::vector<std::string> lines = Lines();
    EXPECT_GE(IndexOf(Line("VELTDRIVER :       DispatchPnp: QUERY_STOP_DEVICE   \n")), 0);
    EXPECT_GE(IndexOf(Line("VELTDRIVER :       DispatchPnp: STOP_DEVICE  \n")), 0);
    EXPECT_GE(IndexOf(StartLine), 0);
    EXPECT_EQ(Count(EnteringLine), 0u);
    EXPECT_EQ(Count(CreatePdoLine), 0u);
    EXPECT_EQ(host::LiveSystemThreads(), 1u);
    EXPECT_EQ(FdoExtension()->GamepadChild, gamepad);
    EXPECT_EQ(FdoExtension()->VendorChild, vendor);
    EXPECT_EQ(pnp_->Node(Pdo())->state, NodeState::Started);
    std::vector<sim::pnp::DeviceNode> children = pnp_->Children(Pdo());
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].pdo, gamepad);
    EXPECT_EQ(children[1].pdo, vendor);
    UnplugController();
}

// A restart that the lower stack fails selects no configuration on the device that did not
// start: the PnP manager takes the stack down, and nothing more reaches the controller.
TEST_F(FdoPnpTest, RestartThatTheLowerStackFailsSelectsNothing) {
    std::atomic<int> selects{0};
    sim::usb::UsbDevice* controller = controller_.get();
    hub_->SetInternalIoctlHandler([controller, &selects](PDEVICE_OBJECT pdo, PIRP irp) {
        auto urb =
            static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        if (urb != nullptr && urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
            urb->UrbSelectConfiguration.ConfigurationDescriptor != nullptr) {
            ++selects;
        }
        return controller->HandleInternalIoctl(pdo, irp);
    });
    PlugAndEnumerate();
    int before = selects;
    hub_->FailNextStart(STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(pnp_->Restart(Pdo()));
    pnp_->WaitIdle();
    EXPECT_EQ(NodeState::StartFailed, pnp_->Node(Pdo())->state);
    EXPECT_EQ(before, selects) << "a configuration selected on a device that failed its start";
    controller_->Unplug();
    hub_->Unplug();
    pnp_->Unplug(Pdo());
}

// Without a thread the FDO still starts with the lower stack's status, and still goes away.
TEST_F(FdoPnpTest, StartWithoutThreadStillCompletes) {
    host::FailNthCall(host::Alloc::CreateThread, 1);
    ASSERT_EQ(pnp_->Plug(Pdo()), NodeState::Started);
    pnp_->WaitIdle();
    EXPECT_EQ(FdoExtension()->DispatcherThread, nullptr);
    EXPECT_FALSE(FdoExtension()->DispatcherRunning);
    EXPECT_EQ(Count(EnteringLine), 0u);
    EXPECT_TRUE(pnp_->Children(Pdo()).empty());
    host::ClearLog();
    UnplugController();
    EXPECT_EQ(Count(WaitingLine), 0u);
}

// QueueWorkItem on its own: a long name is cut to 255 characters; nothing is queued while the
// dispatcher is not running.
TEST(WorkQueueTest, QueueWorkItemStoresNameAndArgument) {
    host::Reset();
    PDRIVER_OBJECT driver = host::LoadDriver(DriverEntry, u"veltdriver");
    DEVICE_EXTENSION extension{};
    KeInitializeEvent(&extension.WorkEvent, SynchronizationEvent, FALSE);
    InitializeListHead(&extension.WorkQueue);

    QueueWorkItem("GetMac", &extension, 3);
    EXPECT_TRUE(IsListEmpty(&extension.WorkQueue));
    EXPECT_EQ(KeReadStateEvent(&extension.WorkEvent), 0);

    extension.DispatcherRunning = TRUE;
    std::string name(300, 'x');
    name.replace(0, 6, "GetMac");
    QueueWorkItem(name.c_str(), &extension, 7);
    EXPECT_EQ(KeReadStateEvent(&extension.WorkEvent), 1);
    PLIST_ENTRY entry = ExInterlockedRemoveHeadList(&extension.WorkQueue, &extension.WorkQueueLock);
    ASSERT_NE(entry, nullptr);
    PWORK_ITEM item = CONTAINING_RECORD(entry, WORK_ITEM, Link);
    EXPECT_EQ(std::string(item->CommandName), name.substr(0, 255));
    EXPECT_EQ(item->Argument, 7u);
    EXPECT_TRUE(IsListEmpty(&extension.WorkQueue));
    ExFreeToNPagedLookasideList(&WorkItemLookaside, item);

    host::UnloadDriver(driver);
    EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
}

} // namespace
