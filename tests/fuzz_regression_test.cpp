// Faults the fuzzers found, each kept as a focused case: URBs shorter than their function's
// structure (or none at all) sent to a child, failed transfers reported as longer than the
// caller's buffer, and the address query still talking to the controller's device after that
// device had removed itself.
#include "support/host_fixture.h"
#include "support/urb_bed.h"

#include "core/driver.h"
#include "emulation/urb_child.h"

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace {

using urbbed::Transfer;

class FuzzRegressionUrbTest : public urbbed::UrbBed {};

// A URB exactly as long as its header says, so that AddressSanitizer sees any read past it.
struct ShortUrb {
    explicit ShortUrb(USHORT function, USHORT length)
        : bytes(std::make_unique<UCHAR[]>(std::max<size_t>(length, sizeof(struct _URB_HEADER)))) {
        std::memset(bytes.get(), 0, std::max<size_t>(length, sizeof(struct _URB_HEADER)));
        As<struct _URB_HEADER>()->Length = length;
        As<struct _URB_HEADER>()->Function = function;
    }
    // The URB seen as the structure of its function (which must fit in it).
    template <typename Structure> Structure* As() {
        return reinterpret_cast<Structure*>(bytes.get());
    }
    PURB Urb() {
        return reinterpret_cast<PURB>(bytes.get());
    }
    std::unique_ptr<UCHAR[]> bytes;
};

TEST_F(FuzzRegressionUrbTest, UrbShorterThanItsFunctionIsRefusedUnread) {
    const struct Case {
        USHORT function;
        USHORT length;
    } cases[] = {
        {URB_FUNCTION_SELECT_CONFIGURATION, sizeof(struct _URB_HEADER)},
        {URB_FUNCTION_SELECT_CONFIGURATION, FIELD_OFFSET(URB, UrbSelectConfiguration.Interface)},
        {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER,
         sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) - 1},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(struct _URB_HEADER)},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0},
        {URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_HEADER) + 4},
        {URB_FUNCTION_CONTROL_TRANSFER, 2},
    };
    for (PDEVICE_OBJECT child : {gamepad_, vendor_}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "function " << c.function << " length " << c.length);
            host::ClearLog();
            ShortUrb urb(c.function, c.length);
            host::IrpResult result = Submit(child, urb.Urb());
            EXPECT_EQ(STATUS_INVALID_PARAMETER, result.status);
            EXPECT_EQ(0u, result.information);
            char line[128];
            std::snprintf(line, sizeof line,
                          "%sIOCTL_INTERNAL_USB_SUBMIT_URB : header length %d too short for "
                          "function 0x%X ",
                          child == gamepad_ ? "VELTDRIVER PDO : " : "VELTDRIVER : XDO : ", c.length,
                          c.function);
            EXPECT_THAT(Lines(), testing::ElementsAre(line));
        }
    }
    EXPECT_TRUE(busUrbs_.empty()) << "nothing refused may reach the controller";
}

TEST_F(FuzzRegressionUrbTest, SubmitWithoutUrbIsRefused) {
    for (PDEVICE_OBJECT child : {gamepad_, vendor_}) {
        host::ClearLog();
        host::IrpResult result = Submit(child, nullptr);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, result.status);
        EXPECT_THAT(Lines(),
                    testing::ElementsAre(std::string(child == gamepad_ ? "VELTDRIVER PDO : "
                                                                       : "VELTDRIVER : XDO : ") +
                                         "IOCTL_INTERNAL_USB_SUBMIT_URB : no URB "));
    }
}

TEST_F(FuzzRegressionUrbTest, UrbOfExactlyItsFunctionsLengthIsServed) {
    UCHAR buffer[18] = {};
    ShortUrb urb(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                 sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    auto request = urb.As<struct _URB_CONTROL_DESCRIPTOR_REQUEST>();
    request->DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    request->TransferBuffer = buffer;
    request->TransferBufferLength = sizeof(buffer);
    EXPECT_EQ(STATUS_SUCCESS, Submit(gamepad_, urb.Urb()).status);
    EXPECT_EQ(0x12, buffer[0]);
}

// A failed transfer counts as 32 bytes, but never as more than its caller's buffer holds.
TEST_F(FuzzRegressionUrbTest, FailedTransferNeverReportsMoreThanTheCallersBuffer) {
    const struct Case {
        ULONG requested;
        ULONG reported;
    } cases[] = {{0, 0}, {1, 1}, {8, 8}, {31, 31}, {32, 32}, {64, 32}};
    BusCompletes(STATUS_CANCELLED,
                 [](PURB urb) { urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0; });
    for (PDEVICE_OBJECT child : {gamepad_, vendor_}) {
        for (bool in : {true, false}) {
            for (const Case& c : cases) {
                SCOPED_TRACE(testing::Message() << "in " << in << " requested " << c.requested);
                auto buffer = std::make_unique<UCHAR[]>(c.requested + 1);
                URB urb = Transfer(in, c.requested == 0 ? nullptr : buffer.get(), c.requested);
                host::IrpResult result = Submit(child, &urb);
                EXPECT_EQ(STATUS_SUCCESS, result.status);
                EXPECT_EQ(0u, result.information);
                EXPECT_EQ(c.reported, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
            }
        }
    }
}

// The FDO over a bus device that records whether any URB reaches it after it has seen
// IRP_MN_REMOVE_DEVICE. The controller never answers the address query, so the query is still
// running when the removal comes.
class FuzzRegressionRemovalTest : public velt::test::DriverTest {
  protected:
    NTSTATUS Bus(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_PNP) {
            if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
                removed_ = true;
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
        } else if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
            if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                ++transfers_;
            }
            urbsAfterRemoval_ += removed_ ? 1 : 0;
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    host::IrpResult SendPnp(PDEVICE_OBJECT device, UCHAR minor) {
        return host::SendIrp(device, STATUS_SUCCESS, [minor](PIRP, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = IRP_MJ_PNP;
            stack->MinorFunction = minor;
        });
    }

    std::atomic<bool> removed_{false};
    std::atomic<unsigned> transfers_{0};
    std::atomic<unsigned> urbsAfterRemoval_{0};
};

TEST_F(FuzzRegressionRemovalTest, AddressQueryEndsBeforeTheLowerDeviceIsRemoved) {
    // A kernel second of the query's pause lasts 50 ms: the removal lands inside it.
    host::SetTimeScale(20);
    velt::test::TestDriver bus(u"testbus");
    PDEVICE_OBJECT pdo = bus.CreateDevice([this](PDEVICE_OBJECT, PIRP irp) { return Bus(irp); });
    ASSERT_EQ(STATUS_SUCCESS, host::CallAddDevice(driver_, pdo));
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    ASSERT_EQ(STATUS_SUCCESS, SendPnp(fdo, IRP_MN_START_DEVICE).status);
    // The first on command of the address query has gone out; its pause has begun.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (transfers_ == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_NE(0u, transfers_);
    SendPnp(fdo, IRP_MN_SURPRISE_REMOVAL);
    SendPnp(fdo, IRP_MN_REMOVE_DEVICE);
    EXPECT_TRUE(removed_);
    EXPECT_EQ(0u, urbsAfterRemoval_) << "the address query sent to a device already removed";
    EXPECT_TRUE(host::IsDeleted(fdo));
}

} // namespace
