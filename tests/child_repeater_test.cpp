// The children's PnP repeater: what reaches the top of the FDO's stack, how the answer settles
// the child's request, and what it holds and releases on the way.
#include "support/child_bed.h"

#include "child/child.h"

#include <gmock/gmock.h>

namespace {

using childbed::Answer;
using childbed::ChildBed;
using childbed::SeenRequests;
using ::testing::Contains;

std::string Tag(bool vendor) {
    return vendor ? "XDO" : "PDO";
}

std::string CompletionLine(bool vendor, NTSTATUS status, const char* name, ULONG information) {
    char text[160];
    snprintf(text, sizeof text,
             "VELTDRIVER : %s : PnP OnRepeaterComplete : subirp status is 0x%X %s  Information is "
             "0x%X ",
             Tag(vendor).c_str(), static_cast<unsigned>(status), name, information);
    return text;
}

struct RepeatedCase {
    UCHAR minor;
    const char* name;
    bool needsVote;
};

const RepeatedCase RepeatedByDispatch[] = {
    {IRP_MN_READ_CONFIG, "IRP_MN_READ_CONFIG", true},
    {IRP_MN_WRITE_CONFIG, "IRP_MN_WRITE_CONFIG", true},
    {IRP_MN_EJECT, "IRP_MN_EJECT", true},
    {IRP_MN_SET_LOCK, "IRP_MN_SET_LOCK", true},
    {IRP_MN_DEVICE_USAGE_NOTIFICATION, "IRP_MN_DEVICE_USAGE_NOTIFICATION", false},
};

TEST_F(ChildBed, RepeatedRequestsCarryTheParentStacksAnswer) {
    for (bool vendor : {false, true}) {
        PDEVICE_OBJECT child = vendor ? vendor_ : gamepad_;
        for (const RepeatedCase& c : RepeatedByDispatch) {
            SCOPED_TRACE(Tag(vendor) + " " + c.name);
            host::ClearLog();
            SeenRequests().clear();
            childbed::BusAnswer() = Answer{false, STATUS_SUCCESS, 64, false};
            LONG_PTR fdoReferences = host::ObjectReferences(fdo_);
            host::IrpResult result = SendPnp(child, c.minor, STATUS_NOT_SUPPORTED);
            EXPECT_EQ(STATUS_PENDING, result.returned) << "even when answered at once";
            EXPECT_EQ(STATUS_SUCCESS, result.status);
            EXPECT_EQ(64u, result.information);
            // The FDO passed it down to the bus PDO, which saw the child's own request.
            ASSERT_EQ(1u, SeenRequests().size());
            EXPECT_EQ(busPdo_, SeenRequests()[0].device);
            EXPECT_EQ(c.minor, SeenRequests()[0].minor);
            EXPECT_EQ(STATUS_NOT_SUPPORTED, SeenRequests()[0].statusOnArrival);
            EXPECT_EQ(fdoReferences, host::ObjectReferences(fdo_));
            EXPECT_EQ(1, Extension(child)->RemoveLock.Common.IoCount);
            // The FDO may trace the request on its way too.
            EXPECT_THAT(LinesAt(DPFLTR_TRACE_LEVEL),
                        Contains("VELTDRIVER : " + Tag(vendor) + " : DispatchPnp: " + c.name +
                                 " : calling RepeatReqest"));
            std::vector<std::string> errors;
            if (vendor) {
                errors.push_back("VELTDRIVER : XDO : RepeatRequestXDO");
            }
            errors.push_back(CompletionLine(vendor, STATUS_SUCCESS, "STATUS_SUCCESS", 0x40));
            EXPECT_EQ(errors, LinesAt(DPFLTR_ERROR_LEVEL));
        }
    }
}

TEST_F(ChildBed, UnhandledRepeatedRequestsFollowTheNeedsVoteRule) {
    for (const RepeatedCase& c : RepeatedByDispatch) {
        SCOPED_TRACE(c.name);
        host::ClearLog();
        childbed::BusAnswer() = Answer{false, STATUS_NOT_SUPPORTED, 0, false};
        // The child's request keeps the status it came with unless the code needs a vote.
        host::IrpResult result =
            SendPnp(gamepad_, c.minor, STATUS_DEVICE_NOT_READY,
                    [](PIRP irp, PIO_STACK_LOCATION) { irp->IoStatus.Information = 0x77; });
        EXPECT_EQ(STATUS_PENDING, result.returned);
        EXPECT_EQ(c.needsVote ? STATUS_UNSUCCESSFUL : STATUS_DEVICE_NOT_READY, result.status);
        EXPECT_EQ(0x77u, result.information);
        std::vector<std::string> errors{
            CompletionLine(false, STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED", 0)};
        if (c.needsVote) {
            errors.push_back("VELTDRIVER : PDO : PnP OnRepeaterComplete : needs vote, seting main "
                             "Irp to STATUS_UNSUCCESSFUL");
        }
        EXPECT_EQ(errors, LinesAt(DPFLTR_ERROR_LEVEL));
    }
}

TEST_F(ChildBed, NeedsVoteRuleForEveryMinorCode) {
    // A filter above the FDO answers every request itself, so the FDO's own PnP handling stays
    // out of this.
    Answer unhandled{false, STATUS_NOT_SUPPORTED, 0, false};
    AttachFilterAboveFdo(unhandled);
    for (ULONG minor = 0; minor <= 0x1A; ++minor) {
        if (minor == IRP_MN_REMOVE_DEVICE) {
            continue; // the filter would have to leave the stack
        }
        bool needsVote = (minor >= 0x0F && minor <= 0x12) || minor == 0x15 || minor >= 0x18;
        for (bool vendor : {false, true}) {
            SCOPED_TRACE(Tag(vendor) + " minor " + std::to_string(minor));
            host::IrpResult result = SendToRepeater(vendor ? vendor_ : gamepad_,
                                                    static_cast<UCHAR>(minor), STATUS_SUCCESS);
            EXPECT_EQ(STATUS_PENDING, result.returned);
            EXPECT_EQ(needsVote ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS, result.status);
        }
    }
}

TEST_F(ChildBed, AnsweredRepeatedRequestsPassThroughWhateverTheFlag) {
    const NTSTATUS answers[] = {STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST, STATUS_CANCELLED};
    for (NTSTATUS answer : answers) {
        AttachFilterAboveFdo(Answer{false, answer, 0x1234, false});
        for (int minor : {IRP_MN_READ_CONFIG, IRP_MN_DEVICE_USAGE_NOTIFICATION, 0x1A}) {
            host::IrpResult result =
                SendToRepeater(vendor_, static_cast<UCHAR>(minor), STATUS_NOT_SUPPORTED);
            EXPECT_EQ(answer, result.status) << minor;
            EXPECT_EQ(0x1234u, result.information);
        }
        IoDetachDevice(fdo_);
        IoDeleteDevice(filter_);
        filter_ = nullptr;
    }
}

TEST_F(ChildBed, FilterAboveTheFdoReceivesTheRepeatedRequestFirst) {
    // Without a filter the FDO is the top of its stack.
    SeenRequests().clear();
    SendPnp(gamepad_, IRP_MN_EJECT, STATUS_NOT_SUPPORTED);
    ASSERT_EQ(1u, SeenRequests().size());
    EXPECT_EQ(fdo_->StackSize + 1, SeenRequests()[0].stackCount);

    PDEVICE_OBJECT filter = AttachFilterAboveFdo(Answer{true, STATUS_SUCCESS, 0, false});
    EXPECT_EQ(fdo_->StackSize + 1, filter->StackSize);
    SeenRequests().clear();
    childbed::BusAnswer() = Answer{false, STATUS_SUCCESS, 5, false};
    LONG_PTR filterReferences = host::ObjectReferences(filter);
    host::IrpResult result =
        SendPnp(vendor_, IRP_MN_SET_LOCK, STATUS_NOT_SUPPORTED,
                [](PIRP, PIO_STACK_LOCATION s) { s->Parameters.SetLock.Lock = TRUE; });
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(5u, result.information);
    ASSERT_EQ(2u, SeenRequests().size());
    EXPECT_EQ(filter, SeenRequests()[0].device);
    EXPECT_EQ(busPdo_, SeenRequests()[1].device);
    // One stack location more than the target's stack: the repeater's own.
    EXPECT_EQ(filter->StackSize + 1, SeenRequests()[0].stackCount);
    // The child's stack location arrives as it was, with no completion routine of the child's.
    const IO_STACK_LOCATION& arrived = SeenRequests()[0].stack;
    EXPECT_EQ(IRP_MJ_PNP, arrived.MajorFunction);
    EXPECT_EQ(IRP_MN_SET_LOCK, arrived.MinorFunction);
    EXPECT_EQ(TRUE, arrived.Parameters.SetLock.Lock);
    EXPECT_EQ(filter, arrived.DeviceObject);
    EXPECT_EQ(filterReferences, host::ObjectReferences(filter));
}

TEST_F(ChildBed, RepeatedRequestCompletedLaterAtDispatchLevel) {
    childbed::BusAnswer() = Answer{false, STATUS_SUCCESS, 8, true};
    host::IrpResult result =
        SendPnp(gamepad_, IRP_MN_READ_CONFIG, STATUS_NOT_SUPPORTED,
                [](PIRP, PIO_STACK_LOCATION s) { s->Parameters.ReadWriteConfig.Length = 8; });
    EXPECT_EQ(STATUS_PENDING, result.returned);
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(8u, result.information);
    // The completion routine releases the lock after completing the child's request.
    JoinCompleters();
    EXPECT_EQ(1, Extension(gamepad_)->RemoveLock.Common.IoCount);
}

TEST_F(ChildBed, RepeatedIrpAllocationFailureReleasesLockAndReference) {
    struct {
        bool vendor;
        std::vector<std::string> lines;
    } cases[] = {
        {false, {"VELTDRIVER :  PDO : PnP RepeatRequest : IoAllocateIrp failed "}},
        {true,
         {"VELTDRIVER : XDO : RepeatRequestXDO",
          "VELTDRIVER : XDO : RepeatRequestXDO : IoAllocateIrp failed "}},
    };
    for (const auto& c : cases) {
        PDEVICE_OBJECT child = c.vendor ? vendor_ : gamepad_;
        LONG_PTR fdoReferences = host::ObjectReferences(fdo_);
        SeenRequests().clear();
        host::ClearLog();
        // The first IRP is the one sent to the child; the second the repeater's.
        host::FailNthCall(host::Alloc::Irp, 2);
        host::IrpResult result =
            SendPnp(child, IRP_MN_WRITE_CONFIG, STATUS_NOT_SUPPORTED,
                    [](PIRP irp, PIO_STACK_LOCATION) { irp->IoStatus.Information = 0x99; });
        host::FailNthCall(host::Alloc::Irp, 0);
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.returned);
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.status);
        EXPECT_EQ(0x99u, result.information);
        EXPECT_TRUE(SeenRequests().empty());
        EXPECT_EQ(fdoReferences, host::ObjectReferences(fdo_));
        EXPECT_EQ(1, Extension(child)->RemoveLock.Common.IoCount);
        EXPECT_EQ(c.lines, LinesAt(DPFLTR_ERROR_LEVEL));
    }
}

} // namespace
