// How the world's USB stack completes what a device answers at once: asynchronously by default
// (pending, then from the bus thread at DISPATCH_LEVEL after a seeded delay, in order on each
// endpoint, cancellable while it waits), or in the dispatch routine as a variant.
#include "sim/usb/failure_statuses.h"
#include "support/usb_stack.h"

#include <usbdlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using sim::usb::Completion;
using sim::usb::DefaultController;

// One URB sent to the hub PDO by hand, so that the test can cancel it or leave it in flight.
struct Request {
    URB urb = {};
    UCHAR buffer[18] = {};
    PIRP irp = nullptr;
    NTSTATUS returned = STATUS_SUCCESS;
    KEVENT done;
    std::thread::id completedOn;
    KIRQL completedAt = PASSIVE_LEVEL;
};

NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* request = static_cast<Request*>(context);
    request->completedOn = std::this_thread::get_id();
    request->completedAt = KeGetCurrentIrql();
    KeSetEvent(&request->done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends `urb` (by default the request's own, which reads the device descriptor); `cancelFirst`
// cancels the IRP before it is sent.
void Send(PDEVICE_OBJECT pdo, Request* request, bool cancelFirst = false, PURB urb = nullptr) {
    KeInitializeEvent(&request->done, NotificationEvent, FALSE);
    UsbBuildGetDescriptorRequest(&request->urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, request->buffer, NULL,
                                 sizeof(request->buffer), NULL);
    request->irp = IoAllocateIrp(pdo->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request->irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb != nullptr ? urb : &request->urb;
    IoSetCompletionRoutine(request->irp, Completed, request, TRUE, TRUE, TRUE);
    if (cancelFirst) {
        EXPECT_FALSE(IoCancelIrp(request->irp)) << "nobody holds it yet";
    }
    request->returned = IofCallDriver(pdo, request->irp);
}

NTSTATUS Wait(Request* request) {
    KeWaitForSingleObject(&request->done, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status = request->irp->IoStatus.Status;
    IoFreeIrp(request->irp);
    request->irp = nullptr;
    return status;
}

class BusCompletion : public velt_test::UsbStackTest,
                      public ::testing::WithParamInterface<Completion> {};

// The default is the asynchronous mode; each mode completes where and how it says.
TEST_P(BusCompletion, AnsweredRequestCompletesWhereTheModeSays) {
    Plug(DefaultController());
    EXPECT_EQ(Completion::BusThread, Stack().Device().CompletionMode());
    Stack().Device().SetCompletion(GetParam());
    Request request;
    Send(Stack().Pdo(), &request);
    EXPECT_EQ(STATUS_SUCCESS, Wait(&request));
    EXPECT_EQ(USBD_STATUS_SUCCESS, request.urb.UrbHeader.Status);
    EXPECT_EQ(18u, request.urb.UrbControlDescriptorRequest.TransferBufferLength);
    EXPECT_EQ(DefaultController().device, sim::usb::Bytes(request.buffer, request.buffer + 18));
    if (GetParam() == Completion::BusThread) {
        EXPECT_EQ(STATUS_PENDING, request.returned);
        EXPECT_NE(std::this_thread::get_id(), request.completedOn);
        EXPECT_EQ(DISPATCH_LEVEL, request.completedAt);
    } else {
        EXPECT_EQ(STATUS_SUCCESS, request.returned);
        EXPECT_EQ(std::this_thread::get_id(), request.completedOn);
        EXPECT_EQ(PASSIVE_LEVEL, request.completedAt);
    }
}

// Transfers on one endpoint come back in the order they were submitted, whatever delays the
// seed drew for each.
TEST_P(BusCompletion, TransfersOnTheDefaultPipeCompleteInSubmissionOrder) {
    Plug(DefaultController());
    Stack().Device().SetCompletion(GetParam());
    std::mutex lock;
    std::vector<PIRP> order;
    Stack().Device().SetUrbObserver([&](PIRP irp, const URB*, bool completed) {
        if (completed) {
            std::lock_guard<std::mutex> guard(lock);
            order.push_back(irp);
        }
    });
    std::vector<Request> requests(48);
    std::vector<PIRP> sent;
    for (Request& request : requests) {
        Send(Stack().Pdo(), &request);
        sent.push_back(request.irp);
    }
    for (Request& request : requests) {
        EXPECT_EQ(STATUS_SUCCESS, Wait(&request));
    }
    Stack().Device().SetUrbObserver(nullptr);
    EXPECT_EQ(sent, order);
}

INSTANTIATE_TEST_SUITE_P(Modes, BusCompletion,
                         ::testing::Values(Completion::BusThread, Completion::CallerThread),
                         [](const ::testing::TestParamInfo<Completion>& info) {
                             return std::string(sim::usb::CompletionName(info.param));
                         });

class DelayedCompletion : public velt_test::UsbStackTest {
  protected:
    // Holds the bus thread in the completion of the next request until Release, so that what
    // is submitted meanwhile stays waiting for its completion.
    void HoldBus() {
        Stack().Device().SetUrbObserver([this](PIRP, const URB*, bool completed) {
            if (!completed || held_.exchange(true)) {
                return;
            }
            std::unique_lock<std::mutex> guard(lock_);
            holding_ = true;
            wake_.notify_all();
            wake_.wait(guard, [this] { return released_; });
        });
    }
    void WaitUntilHeld() {
        std::unique_lock<std::mutex> guard(lock_);
        wake_.wait(guard, [this] { return holding_; });
    }
    void Release() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            released_ = true;
        }
        wake_.notify_all();
    }

    std::atomic<bool> held_{false};
    std::mutex lock_;
    std::condition_variable wake_;
    bool holding_ = false;
    bool released_ = false;
};

// A request waiting for the bus thread is cancellable: IoCancelIrp completes it at once as the
// USB stack completes a cancelled transfer, and the bus thread later skips it.
TEST_F(DelayedCompletion, WaitingRequestIsCancelledWithTheStacksStatus) {
    Plug(DefaultController());
    HoldBus();
    Request first;
    Send(Stack().Pdo(), &first);
    WaitUntilHeld();
    Request second;
    Send(Stack().Pdo(), &second);
    EXPECT_EQ(STATUS_PENDING, second.returned);
    EXPECT_EQ(1u, Stack().Device().DelayedCompletions());
    EXPECT_TRUE(IoCancelIrp(second.irp));
    const sim::usb::UsbFailureStatus& cancelled =
        sim::usb::FailureStatus(sim::usb::UsbFailure::Cancelled);
    EXPECT_EQ(cancelled.status, Wait(&second));
    EXPECT_EQ(cancelled.usbd, second.urb.UrbHeader.Status);
    EXPECT_EQ(0u, second.urb.UrbControlDescriptorRequest.TransferBufferLength);
    Release();
    EXPECT_EQ(STATUS_SUCCESS, Wait(&first));
    Stack().Device().SetUrbObserver(nullptr);
}

// A driver's timeout on a request cannot expire only because the bus thread was not scheduled:
// kernel time does not pass a completion that is due (a host controller's DPC runs before the
// waiting thread sees its timer expire). Here the bus thread is held for twice the real time
// that the wait's 5 kernel seconds take at the world's scale.
TEST_F(DelayedCompletion, WaitOnAnAnsweredRequestOutlastsALateBusThread) {
    Plug(DefaultController());
    HoldBus();
    Request first;
    Send(Stack().Pdo(), &first);
    WaitUntilHeld();
    Request second;
    Send(Stack().Pdo(), &second);
    std::atomic<NTSTATUS> waited{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER fiveSeconds;
        fiveSeconds.QuadPart = -50000000;
        waited = KeWaitForSingleObject(&second.done, Executive, KernelMode, FALSE, &fiveSeconds);
    });
    std::this_thread::sleep_for(host::RealDuration(100000000));
    Release();
    waiter.join();
    EXPECT_EQ(STATUS_SUCCESS, waited.load());
    EXPECT_EQ(STATUS_SUCCESS, Wait(&first));
    EXPECT_EQ(STATUS_SUCCESS, Wait(&second));
    Stack().Device().SetUrbObserver(nullptr);
}

// A configuration the device has taken is not reported cancelled: a cancel that finds the
// selection waiting for its completion comes too late, and the driver gets the pipes it has.
TEST_F(DelayedCompletion, SelectionCarriedOutIsNotCancelled) {
    Plug(DefaultController());
    sim::usb::Bytes configuration = Stack().Device().Model().configuration;
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 3, -1, -1), NULL},
        {NULL, NULL}};
    ASSERT_NE(nullptr, list[0].InterfaceDescriptor);
    PURB select = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(nullptr, select);
    HoldBus();
    Request first;
    Send(Stack().Pdo(), &first);
    WaitUntilHeld();
    Request selection;
    Send(Stack().Pdo(), &selection, false, select);
    EXPECT_FALSE(IoCancelIrp(selection.irp));
    Release();
    EXPECT_EQ(STATUS_SUCCESS, Wait(&first));
    EXPECT_EQ(STATUS_SUCCESS, Wait(&selection));
    EXPECT_TRUE(Stack().Device().Configured());
    ASSERT_NE(0u, list[0].Interface->NumberOfPipes);
    EXPECT_NE(0u, Stack().Device().EndpointOf(list[0].Interface->Pipes[0].PipeHandle));
    ExFreePool(select);
    Stack().Device().SetUrbObserver(nullptr);
}

// A selection that names no interface of the device is refused before anything changes: the
// device keeps the configuration and the pipes of the selection before it.
TEST_P(BusCompletion, RefusedSelectionLeavesTheConfigurationAsItWas) {
    Plug(DefaultController());
    Stack().Device().SetCompletion(GetParam());
    sim::usb::Bytes configuration = Stack().Device().Model().configuration;
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 3, -1, -1), NULL},
        {NULL, NULL}};
    ASSERT_NE(nullptr, list[0].InterfaceDescriptor);
    PURB select = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(nullptr, select);
    Request selection;
    Send(Stack().Pdo(), &selection, false, select);
    ASSERT_EQ(STATUS_SUCCESS, Wait(&selection));
    ASSERT_NE(0u, list[0].Interface->NumberOfPipes);
    USBD_PIPE_HANDLE pipe = list[0].Interface->Pipes[0].PipeHandle;
    UCHAR endpoint = Stack().Device().EndpointOf(pipe);
    ASSERT_NE(0u, endpoint);

    auto selections = [this] {
        std::vector<sim::usb::ControlRecord> records = Stack().Device().ControlTransfers();
        return std::count_if(records.begin(), records.end(), [](const auto& record) {
            return record.function == URB_FUNCTION_SELECT_CONFIGURATION;
        });
    };
    auto selected = selections();
    select->UrbSelectConfiguration.Interface.InterfaceNumber = 0x7F;
    Request refused;
    Send(Stack().Pdo(), &refused, false, select);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Wait(&refused));
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, select->UrbHeader.Status);
    EXPECT_TRUE(Stack().Device().Configured());
    EXPECT_EQ(endpoint, Stack().Device().EndpointOf(pipe));
    EXPECT_EQ(selected, selections()) << "the refused selection reached the device";
    ExFreePool(select);
}

// A cancel that came before the request reached the stack found no cancel routine; the stack
// sees the IRP's Cancel flag once it sets its own, and completes it as cancelled.
TEST_F(DelayedCompletion, RequestCancelledBeforeItArrivesIsCompletedCancelled) {
    Plug(DefaultController());
    Request request;
    Send(Stack().Pdo(), &request, true);
    EXPECT_EQ(STATUS_PENDING, request.returned);
    EXPECT_EQ(STATUS_CANCELLED, Wait(&request));
    EXPECT_EQ(USBD_STATUS_CANCELED, request.urb.UrbHeader.Status);
    EXPECT_EQ(0u, Stack().Device().DelayedCompletions());
}

// The bus fails what arrives after the device left at whatever IRQL it arrives, up to
// DISPATCH_LEVEL (a completion routine sending the next transfer), without calling routines
// that are for PASSIVE_LEVEL only.
TEST_P(BusCompletion, RequestAfterTheDeviceLeftFailsAtDispatchLevel) {
    Plug(DefaultController());
    Stack().Device().SetCompletion(GetParam());
    Stack().Device().Unplug();
    Request request;
    {
        host::IrqlScope dispatch(DISPATCH_LEVEL);
        Send(Stack().Pdo(), &request);
    }
    const sim::usb::UsbFailureStatus& gone =
        sim::usb::FailureStatus(sim::usb::UsbFailure::SubmittedAfterGone);
    EXPECT_EQ(gone.status, Wait(&request));
    EXPECT_EQ(gone.usbd, request.urb.UrbHeader.Status);
}

} // namespace
