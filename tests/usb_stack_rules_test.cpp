// The world's USB stack fails requests as the USB stack of each Windows generation does, and the
// children pass on what says that the device is going away.
#include "core/driver.h"
#include "emulation/urb_child.h"
#include "sim/usb/failure_statuses.h"
#include "support/log_gate.h"
#include "support/scenario_world.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <tuple>

namespace {

using sim::usb::FailureStatus;
using sim::usb::UsbFailure;
using sim::usb::UsbStack;

struct Generation {
    const char* name;
    host::OsVersion os;
    UsbStack stack;
};

const Generation Generations[] = {
    {"WindowsXp", host::WindowsXp, UsbStack::Usb20},
    {"Windows7", host::Windows7, UsbStack::Usb20},
    {"Windows8", host::Windows8, UsbStack::Usb30},
    {"Windows10", host::Windows10, UsbStack::Usb30},
};

void PrintTo(const Generation& generation, std::ostream* out) {
    *out << generation.name;
}

// An output report sent straight to a child, as its HID stack sends one, and how it ended.
struct RawOutput {
    PIRP irp = nullptr;
    URB urb{};
    std::vector<UCHAR> data;
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;

    ~RawOutput() {
        if (irp != nullptr) {
            IoFreeIrp(irp);
        }
    }
};

NTSTATUS NTAPI RawOutputDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* output = static_cast<RawOutput*>(context);
    output->status = irp->IoStatus.Status;
    output->done = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

const USBD_PIPE_HANDLE GamepadOutPipe = reinterpret_cast<USBD_PIPE_HANDLE>(
    GamepadProfile.Emulation->Interface.Pipes[EMULATED_OUT_PIPE].PipeHandle);

void SendOutput(PDEVICE_OBJECT child, RawOutput& output, UCHAR mark) {
    output.data.assign(32, mark);
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = output.urb.UrbBulkOrInterruptTransfer;
    transfer.Hdr.Length = sizeof(transfer);
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = GamepadOutPipe;
    transfer.TransferBuffer = output.data.data();
    transfer.TransferBufferLength = static_cast<ULONG>(output.data.size());
    output.irp = IoAllocateIrp(child->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(output.irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = &output.urb;
    IoSetCompletionRoutine(output.irp, RawOutputDone, &output, TRUE, TRUE, TRUE);
    IoCallDriver(child, output.irp);
}

bool IsOutTransfer(const URB* urb) {
    return urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
           (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0;
}

class UsbStackRules
    : public velt_test::ScenarioTest,
      public ::testing::WithParamInterface<std::tuple<Generation, sim::usb::Completion>> {
  protected:
    const Generation& Param() const {
        return std::get<0>(GetParam());
    }
    sim::usb::Completion CompletionMode() const override {
        return std::get<1>(GetParam());
    }
    velt_test::WorldOptions Options() const override {
        velt_test::WorldOptions options;
        options.os = Param().os;
        options.power = false;
        options.unplugAtEnd = true;
        return options;
    }

    // With the restart's failure armed: a rebalance while every read waits at the controller.
    void ExpectFailedRestartEndsTheHeldReads() {
        ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
        sim::hid::HidCounters gamepad = gamepad_->Counters();
        sim::hid::HidCounters vendor = vendor_->Counters();
        EXPECT_TRUE(pnp_->Restart(Pdo()));
        for (const auto& [child, before] : {std::pair{gamepad_, gamepad}, {vendor_, vendor}}) {
            EXPECT_TRUE(Eventually([&] { return child->Counters().readsOutstanding == 0; }));
            EXPECT_EQ(STATUS_DELETE_PENDING, child->LastRead().status)
                << std::hex << child->LastRead().status;
            EXPECT_EQ(before.reportsReceived, child->Counters().reportsReceived);
            EXPECT_EQ(0u, child->Counters().phantomReports);
            EXPECT_EQ(0u, child->Counters().reportsDropped);
        }
    }

    // After a restart that selected no configuration: an output ends as going away, never sent
    // to the controller nor reported as written.
    void ExpectOutputEndsAsGoingAway() {
        size_t sent = usb_->OutTransfers().size();
        RawOutput output;
        SendOutput(FdoExtension()->GamepadChild, output, 0x40);
        ASSERT_TRUE(Eventually([&] { return output.done.load(); }));
        EXPECT_EQ(STATUS_DELETE_PENDING, output.status) << std::hex << output.status;
        EXPECT_EQ(0u, output.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
        EXPECT_EQ(sent, usb_->OutTransfers().size()) << "sent after the failed restart";
    }

    // The device's URB observer until the returned guard goes, also when an assertion ends the
    // test early: the observer refers to the test's locals.
    auto ObserveUrbs(sim::usb::UrbObserver observer) {
        usb_->SetUrbObserver(std::move(observer));
        auto clear = [](sim::usb::UsbDevice* device) { device->SetUrbObserver(nullptr); };
        return std::unique_ptr<sim::usb::UsbDevice, decltype(clear)>(usb_.get(), clear);
    }

    // A stop's query or its cancel, sent to the controller's stack as the PnP manager sends it.
    NTSTATUS SendStopRequest(UCHAR minor) {
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Pdo());
        host::IrpResult result =
            host::SendIrp(top, STATUS_NOT_SUPPORTED, [minor](PIRP, PIO_STACK_LOCATION stack) {
                stack->MajorFunction = IRP_MJ_PNP;
                stack->MinorFunction = minor;
            });
        ObDereferenceObject(top);
        return result.status;
    }
};

// The reads pending at an unplug fail with the stack's going-away status, and that status is
// what the HID stacks see: no read comes back as a fake report.
TEST_P(UsbStackRules, UnplugReachesTheHidStacksAsTheStacksStatusWithoutFakeReports) {
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    NTSTATUS gone = FailureStatus(UsbFailure::PendingAtUnplug, Param().stack).status;
    usb_->Unplug();
    hub_->Unplug();
    for (const auto& child : {gamepad_, vendor_}) {
        EXPECT_TRUE(Eventually([&] { return child->LastRead().status == gone; }))
            << std::hex << "last read 0x" << child->LastRead().status;
        EXPECT_EQ(0u, child->Counters().reportsDropped);
        EXPECT_EQ(0u, child->Counters().reportsReceived);
    }
    pnp_->Unplug(Pdo());
}

// A rebalance leaves the controller unconfigured: the driver selects its configuration again,
// and both children stream as before.
TEST_P(UsbStackRules, RebalanceStopAndStartKeepBothChildrenStreaming) {
    ASSERT_TRUE(StreamToBoth());
    ASSERT_TRUE(pnp_->Restart(Pdo()));
    EXPECT_EQ(sim::pnp::NodeState::Started, pnp_->Node(Pdo())->state);
    EXPECT_TRUE(StreamToBoth());
    ASSERT_TRUE(pnp_->Restart(Pdo()));
    EXPECT_TRUE(StreamToBoth());
}

// While the controller is stopped its PDO fails every request with the stack's stopped status:
// the reads outstanding at the rebalance wait in the driver and go to the controller again once
// the restart has selected its configuration. None comes back to a HID stack across it (neither
// as a fake report, nor failed, nor lost), so nothing spins on failed reads during the stop.
TEST_P(UsbStackRules, RebalanceHoldsTheChildrensReadsUntilTheConfigurationIsSelectedAgain) {
    ASSERT_TRUE(StreamToBoth());
    for (int rebalance = 0; rebalance < 2; ++rebalance) {
        ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
        sim::hid::HidCounters gamepad = gamepad_->Counters();
        sim::hid::HidCounters vendor = vendor_->Counters();
        ASSERT_TRUE(pnp_->Restart(Pdo()));
        ASSERT_TRUE(ChildrenRunning());
        EXPECT_TRUE(Eventually([this] { return AllReadsPending(); }))
            << "reads pending at the controller: " << usb_->PendingReads();
        for (const auto& [child, before] : {std::pair{gamepad_, gamepad}, {vendor_, vendor}}) {
            EXPECT_EQ(before.readsCompleted, child->Counters().readsCompleted)
                << std::hex << "last read 0x" << child->LastRead().status;
            EXPECT_EQ(0u, child->Counters().readErrors);
            EXPECT_EQ(0u, child->Counters().reportsDropped);
        }
        EXPECT_TRUE(StreamToBoth());
    }
}

// From a stop's query on, a child's requests wait in the driver: one that its caller cancels ends
// cancelled with the child's own pipe handle, the others reach the controller in their order once
// the stop is cancelled, and one still waiting when the controller leaves ends as going away.
TEST_P(UsbStackRules, RequestsHeldFromAStopQueryAreCancellableAndGoDownInOrder) {
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    PDEVICE_OBJECT child = FdoExtension()->GamepadChild;
    size_t before = usb_->OutTransfers().size();
    ASSERT_EQ(STATUS_SUCCESS, SendStopRequest(IRP_MN_QUERY_STOP_DEVICE));
    RawOutput outputs[3];
    for (UCHAR i = 0; i < 3; ++i) {
        SendOutput(child, outputs[i], static_cast<UCHAR>(0x10 + i));
    }
    IoCancelIrp(outputs[1].irp);
    ASSERT_TRUE(Eventually([&] { return outputs[1].done.load(); }));
    EXPECT_EQ(STATUS_CANCELLED, outputs[1].status);
    EXPECT_EQ(GamepadOutPipe, outputs[1].urb.UrbBulkOrInterruptTransfer.PipeHandle);
    EXPECT_FALSE(outputs[0].done || outputs[2].done);
    EXPECT_EQ(before, usb_->OutTransfers().size()) << "sent while held";

    ASSERT_EQ(STATUS_SUCCESS, SendStopRequest(IRP_MN_CANCEL_STOP_DEVICE));
    ASSERT_TRUE(Eventually([&] { return outputs[0].done && outputs[2].done; }));
    EXPECT_EQ(STATUS_SUCCESS, outputs[0].status);
    EXPECT_EQ(STATUS_SUCCESS, outputs[2].status);
    std::vector<sim::usb::TransferRecord> sent = usb_->OutTransfers();
    ASSERT_EQ(before + 2, sent.size());
    EXPECT_EQ(outputs[0].data, sent[before].data);
    EXPECT_EQ(outputs[2].data, sent[before + 1].data);

    // A stop with no start after it: the reads that the stop cancelled at the controller wait
    // again with the new output, and all end at the unplug, the output as going away.
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    ASSERT_EQ(STATUS_SUCCESS, SendStopRequest(IRP_MN_QUERY_STOP_DEVICE));
    ASSERT_EQ(STATUS_SUCCESS, SendStopRequest(IRP_MN_STOP_DEVICE));
    EXPECT_EQ(0u, usb_->PendingReads());
    RawOutput last;
    SendOutput(child, last, 0x20);
    EXPECT_FALSE(last.done);
    for (const auto& hid : {gamepad_, vendor_}) {
        EXPECT_NE(0u, hid->Counters().readsOutstanding) << "held across the stop";
    }
    Unplug();
    ASSERT_TRUE(Eventually([&] { return last.done.load(); }));
    EXPECT_EQ(STATUS_DELETE_PENDING, last.status);
    EXPECT_EQ(before + 2, usb_->OutTransfers().size());
    for (const auto& hid : {gamepad_, vendor_}) {
        EXPECT_TRUE(Eventually([&] { return hid->Counters().readsOutstanding == 0; }));
        EXPECT_EQ(0u, hid->Counters().phantomReports);
        EXPECT_EQ(0u, hid->Counters().reportsDropped);
    }
}

// A stop's query and its cancel that the PnP manager sends while the restart's release of the
// held requests (on the dispatcher thread, once the configuration is selected) is sending one
// down leave the rest to that release: a second release beside it would send the next request
// before the one in flight reaches the device.
TEST_P(UsbStackRules, StopQueryAndCancelDuringAReleaseKeepTheHeldRequestsInOrder) {
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    PDEVICE_OBJECT child = FdoExtension()->GamepadChild;
    size_t before = usb_->OutTransfers().size();
    ASSERT_EQ(STATUS_SUCCESS, SendStopRequest(IRP_MN_QUERY_STOP_DEVICE));
    ASSERT_EQ(STATUS_SUCCESS, SendStopRequest(IRP_MN_STOP_DEVICE));
    RawOutput outputs[3];
    for (UCHAR i = 0; i < 3; ++i) {
        SendOutput(child, outputs[i], static_cast<UCHAR>(0x10 + i));
    }
    // The first output on its way to the device: another thread queries the stop and cancels it,
    // once the start is done (the PnP manager sends one request at a time).
    std::atomic<bool> armed{true};
    std::atomic<bool> startReturned{false};
    NTSTATUS query = STATUS_PENDING, cancel = STATUS_PENDING;
    auto observing = ObserveUrbs([&](PIRP, const URB* urb, bool completed) {
        if (completed || !IsOutTransfer(urb) || !armed.exchange(false)) {
            return;
        }
        std::thread pnp([&] {
            if (!Eventually([&] { return startReturned.load(); })) {
                return;
            }
            query = SendStopRequest(IRP_MN_QUERY_STOP_DEVICE);
            cancel = SendStopRequest(IRP_MN_CANCEL_STOP_DEVICE);
        });
        pnp.join();
    });
    NTSTATUS started = SendStopRequest(IRP_MN_START_DEVICE);
    startReturned = true;
    ASSERT_EQ(STATUS_SUCCESS, started);
    ASSERT_TRUE(Eventually([&] { return outputs[0].done && outputs[1].done && outputs[2].done; }));
    observing.reset();
    EXPECT_EQ(STATUS_SUCCESS, query);
    EXPECT_EQ(STATUS_SUCCESS, cancel);
    std::vector<sim::usb::TransferRecord> sent = usb_->OutTransfers();
    ASSERT_EQ(before + 3, sent.size());
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(STATUS_SUCCESS, outputs[i].status);
        EXPECT_EQ(outputs[i].data, sent[before + i].data) << "output " << i;
    }
}

// An output on its way into the device's stack when the PnP manager stops the controller: the
// stop waits until the device has it, so that it reaches the device on the configuration it was
// sent for, and never the stopped device or a pipe handle the restart replaced.
TEST_P(UsbStackRules, StopWaitsForAnOutputOnItsWayIntoTheDevicesStack) {
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    size_t before = usb_->OutTransfers().size();
    std::atomic<bool> armed{true};
    std::atomic<NTSTATUS> query{STATUS_PENDING}, stop{STATUS_PENDING}, start{STATUS_PENDING};
    std::thread pnp;
    bool stoppedFirst = true;
    auto observing = ObserveUrbs([&](PIRP, const URB* urb, bool completed) {
        if (completed || !IsOutTransfer(urb) || !armed.exchange(false)) {
            return;
        }
        pnp = std::thread([&] {
            query = SendStopRequest(IRP_MN_QUERY_STOP_DEVICE);
            stop = SendStopRequest(IRP_MN_STOP_DEVICE);
            start = SendStopRequest(IRP_MN_START_DEVICE);
        });
        // The query does not wait for the output; the stop must, however long it is held here.
        ASSERT_TRUE(Eventually([&] { return query != STATUS_PENDING; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stoppedFirst = stop != STATUS_PENDING;
    });
    RawOutput output;
    SendOutput(FdoExtension()->GamepadChild, output, 0x50);
    bool done = Eventually([&] { return output.done.load(); });
    EXPECT_TRUE(Eventually([&] { return start != STATUS_PENDING; })) << "the rebalance hangs";
    if (pnp.joinable()) {
        pnp.join();
    }
    observing.reset();
    ASSERT_TRUE(done);
    EXPECT_FALSE(stoppedFirst) << "the stop went down before the output reached the device";
    EXPECT_EQ(STATUS_SUCCESS, query.load());
    EXPECT_EQ(STATUS_SUCCESS, stop.load());
    EXPECT_EQ(STATUS_SUCCESS, start.load());
    EXPECT_EQ(STATUS_SUCCESS, output.status) << std::hex << output.status;
    std::vector<sim::usb::TransferRecord> sent = usb_->OutTransfers();
    ASSERT_EQ(before + 1, sent.size());
    EXPECT_EQ(output.data, sent.back().data);
    EXPECT_TRUE(StreamToBoth());
}

// An output that passed the FDO just before a whole rebalance, and that the rebalance overtook
// before the driver had its repeated IRP (held up in the allocation), goes down on the pipe the
// restart selected, never with the handle the stop closed nor reported written without reaching
// the device.
TEST_P(UsbStackRules, OutputARebalanceOvertookBeforeItWentDownUsesTheNewPipe) {
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    size_t before = usb_->OutTransfers().size();
    RawOutput output;
    std::atomic<bool> armed{true};
    NTSTATUS query = STATUS_PENDING, stop = STATUS_PENDING, start = STATUS_PENDING;
    bool restarted = false;
    const std::thread::id sender = std::this_thread::get_id();
    host::SetCallObserver([&](host::Alloc kind) {
        // The repeater's allocation for the output: the bench's own IRP is allocated already.
        if (kind != host::Alloc::Irp || std::this_thread::get_id() != sender ||
            output.irp == nullptr || !armed.exchange(false)) {
            return;
        }
        std::thread pnp([&] {
            query = SendStopRequest(IRP_MN_QUERY_STOP_DEVICE);
            stop = SendStopRequest(IRP_MN_STOP_DEVICE);
            start = SendStopRequest(IRP_MN_START_DEVICE);
        });
        pnp.join();
        // The restart is over once its selection has sent the held reads down again.
        restarted = Eventually([this] { return AllReadsPending(); });
    });
    SendOutput(FdoExtension()->GamepadChild, output, 0x50);
    host::SetCallObserver(nullptr);
    ASSERT_TRUE(Eventually([&] { return output.done.load(); }));
    EXPECT_FALSE(armed.load()) << "the output's repeated IRP was not allocated";
    EXPECT_EQ(STATUS_SUCCESS, query);
    EXPECT_EQ(STATUS_SUCCESS, stop);
    EXPECT_EQ(STATUS_SUCCESS, start);
    EXPECT_TRUE(restarted);
    EXPECT_EQ(STATUS_SUCCESS, output.status) << std::hex << output.status;
    std::vector<sim::usb::TransferRecord> sent = usb_->OutTransfers();
    ASSERT_EQ(before + 1, sent.size()) << "reported written, never at the device";
    EXPECT_EQ(output.data, sent.back().data);
    EXPECT_TRUE(StreamToBoth());
}

// At the stop the driver takes its children's transfers back from the controller's stack itself,
// also from a hub that would leave them pending on the stopped device; they go down again after
// the restart.
TEST_P(UsbStackRules, StopTakesTheChildrensTransfersBackWhateverTheHubDoes) {
    hub_->KeepConfigurationAtStop();
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    ASSERT_EQ(STATUS_SUCCESS, SendStopRequest(IRP_MN_QUERY_STOP_DEVICE));
    ASSERT_EQ(STATUS_SUCCESS, SendStopRequest(IRP_MN_STOP_DEVICE));
    EXPECT_TRUE(Eventually([this] { return usb_->PendingReads() == 0; }))
        << "reads left at the stopped device: " << usb_->PendingReads();
    for (const auto& hid : {gamepad_, vendor_}) {
        EXPECT_NE(0u, hid->Counters().readsOutstanding) << "held across the stop";
        EXPECT_EQ(0u, hid->Counters().readErrors);
    }
    ASSERT_EQ(STATUS_SUCCESS, SendStopRequest(IRP_MN_START_DEVICE));
    EXPECT_TRUE(StreamToBoth());
}

// A stopped controller removed in order, with no surprise removal: a request still held when
// the FDO's removal comes ends as going away before the removal waits for the children.
TEST_P(UsbStackRules, RemovalOfAStoppedControllerEndsTheHeldRequests) {
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    ASSERT_EQ(STATUS_SUCCESS, SendStopRequest(IRP_MN_QUERY_STOP_DEVICE));
    ASSERT_EQ(STATUS_SUCCESS, SendStopRequest(IRP_MN_STOP_DEVICE));
    RawOutput held;
    SendOutput(FdoExtension()->GamepadChild, held, 0x30);
    EXPECT_TRUE(pnp_->Remove(Pdo()));
    ASSERT_TRUE(held.done);
    EXPECT_EQ(STATUS_DELETE_PENDING, held.status);
    for (const auto& hid : {gamepad_, vendor_}) {
        EXPECT_EQ(0u, hid->Counters().readsOutstanding);
        EXPECT_EQ(0u, hid->Counters().phantomReports);
    }
    hub_->Unplug();
    pnp_->Unplug(Pdo());
}

// A restart that cannot work leaves nothing waiting: the reads held across the stop end as going
// away, none as a report, and the stack goes away clean. The controller's PDO fails the start,
// the device refuses the configuration, or the selection is never queued for want of pool.
TEST_P(UsbStackRules, RestartThatThePdoFailsEndsTheHeldReadsAsGoingAway) {
    hub_->FailNextStart(STATUS_UNSUCCESSFUL);
    ExpectFailedRestartEndsTheHeldReads();
    EXPECT_EQ(sim::pnp::NodeState::StartFailed, pnp_->Node(Pdo())->state);
}

TEST_P(UsbStackRules, RestartWhoseSelectionFailsEndsTheHeldReadsAsGoingAway) {
    hub_->FailNextSelection(UsbFailure::Stalled);
    ExpectFailedRestartEndsTheHeldReads();
    ExpectOutputEndsAsGoingAway();
}

TEST_P(UsbStackRules, RestartWhoseSelectionIsLostEndsTheHeldReadsAsGoingAway) {
    host::CountCallsOf(DriverEntry);
    host::FailNthCall(host::Alloc::Lookaside, 1);
    ExpectFailedRestartEndsTheHeldReads();
    EXPECT_TRUE(host::FaultInjected());
    host::FailNthCall(host::Alloc::Lookaside, 0);
    host::CountCallsOf(NULL);
    ExpectOutputEndsAsGoingAway();
}

// A stop that comes before an earlier restart has selected the configuration keeps the reads
// held: that late selection (refused by the stopped PDO) releases nothing, and the reads go down
// once the restart after this stop has selected again.
TEST_P(UsbStackRules, StopBeforeARestartsSelectionKeepsTheReadsHeldForTheNextRestart) {
    ASSERT_TRUE(StreamToBoth());
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    sim::hid::HidCounters gamepad = gamepad_->Counters();
    sim::hid::HidCounters vendor = vendor_->Counters();
    hub_->HoldNextSelection();
    ASSERT_TRUE(pnp_->Restart(Pdo()));
    ASSERT_TRUE(Eventually([this] { return hub_->SelectionWaiting(); }));
    ASSERT_EQ(STATUS_SUCCESS, SendStopRequest(IRP_MN_QUERY_STOP_DEVICE));
    ASSERT_EQ(STATUS_SUCCESS, SendStopRequest(IRP_MN_STOP_DEVICE));
    hub_->LetSelectionGo();
    ASSERT_TRUE(Eventually([this] { return usb_->PendingReads() == 0; }));
    ASSERT_EQ(STATUS_SUCCESS, SendStopRequest(IRP_MN_START_DEVICE));
    EXPECT_TRUE(Eventually([this] { return AllReadsPending(); }))
        << "reads pending at the controller: " << usb_->PendingReads();
    for (const auto& [child, before] : {std::pair{gamepad_, gamepad}, {vendor_, vendor}}) {
        EXPECT_EQ(before.readsCompleted, child->Counters().readsCompleted)
            << std::hex << "last read 0x" << child->LastRead().status;
        EXPECT_EQ(0u, child->Counters().readErrors);
    }
    EXPECT_TRUE(StreamToBoth());
}

INSTANTIATE_TEST_SUITE_P(
    EachGeneration, UsbStackRules,
    ::testing::Combine(::testing::ValuesIn(Generations), velt_test::BothCompletions()),
    [](const ::testing::TestParamInfo<std::tuple<Generation, sim::usb::Completion>>& info) {
        return std::string(std::get<0>(info.param).name) + "_" +
               sim::usb::CompletionName(std::get<1>(info.param));
    });

} // namespace
