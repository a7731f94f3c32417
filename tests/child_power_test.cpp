// The children's power handling: every request completes at the child, the power manager's
// bookkeeping is kept, wait-wake is refused and nothing is ever vetoed.
#include "support/child_bed.h"

namespace {

using childbed::ChildBed;

struct PowerCase {
    const char* what;
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;             // a SYSTEM_POWER_STATE or DEVICE_POWER_STATE value
    NTSTATUS expectedStatus; // STATUS_PENDING stands for "the status it came with"
    bool expectedInformationZero;
    bool setsDeviceState;
};

const NTSTATUS CAME_WITH = STATUS_PENDING;

NTSTATUS NTAPI StopCompletion(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

const PowerCase PowerCases[] = {
    {"wait-wake", IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3, STATUS_NOT_SUPPORTED,
     true, false},
    {"power sequence", IRP_MN_POWER_SEQUENCE, SystemPowerState, 0, CAME_WITH, false, false},
    {"set D3", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, STATUS_SUCCESS, false, true},
    {"set D0", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0, STATUS_SUCCESS, false, true},
    {"set S3", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, STATUS_SUCCESS, false,
     false},
    {"query S4", IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemHibernate, STATUS_SUCCESS, false,
     false},
    {"query D2", IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2, STATUS_SUCCESS, false, false},
    {"minor 4", 4, DevicePowerState, PowerDeviceD1, CAME_WITH, false, false},
    {"minor 7", 7, SystemPowerState, PowerSystemWorking, CAME_WITH, false, false},
};

// The power manager may send a child's requests at DISPATCH_LEVEL (the bus PDO here is not
// DO_POWER_PAGABLE, so neither are the children): the children complete them synchronously.
// Returns the IRP's address, for matching the power manager's records; it is freed by then.
PIRP SendPowerAtDispatch(PDEVICE_OBJECT child, NTSTATUS initial, const PowerCase& c,
                         host::IrpResult* result) {
    PIRP irp = IoAllocateIrp(child->StackSize, FALSE);
    irp->IoStatus.Status = initial;
    irp->IoStatus.Information = 0x31;
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = IRP_MJ_POWER;
    s->MinorFunction = c.minor;
    s->Parameters.Power.Type = c.type;
    s->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(c.state);
    IoSetCompletionRoutine(irp, StopCompletion, nullptr, TRUE, TRUE, TRUE);
    {
        host::IrqlScope dispatch(DISPATCH_LEVEL);
        result->returned = PoCallDriver(child, irp);
    }
    result->status = irp->IoStatus.Status;
    result->information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return irp;
}

TEST_F(ChildBed, EveryPowerRequestCompletesAtTheChild) {
    const NTSTATUS arriving[] = {STATUS_NOT_SUPPORTED, STATUS_DEVICE_NOT_READY};
    for (PDEVICE_OBJECT child : {gamepad_, vendor_}) {
        for (const PowerCase& c : PowerCases) {
            for (NTSTATUS initial : arriving) {
                SCOPED_TRACE(std::string(child == gamepad_ ? "PDO " : "XDO ") + c.what);
                host::ClearLog();
                size_t eventsBefore = host::PowerEvents().size();
                host::IrpResult result;
                PIRP sent = SendPowerAtDispatch(child, initial, c, &result);
                NTSTATUS expected = c.expectedStatus == CAME_WITH ? initial : c.expectedStatus;
                EXPECT_EQ(expected, result.status);
                EXPECT_EQ(expected, result.returned);
                EXPECT_EQ(c.expectedInformationZero ? 0u : 0x31u, result.information);

                std::vector<host::PowerEvent> events = host::PowerEvents();
                events.erase(events.begin(), events.begin() + eventsBefore);
                ASSERT_EQ(c.setsDeviceState ? 2u : 1u, events.size());
                EXPECT_EQ(host::PowerEvent::StartNext, events[0].kind);
                EXPECT_EQ(sent, events[0].irp);
                if (c.setsDeviceState) {
                    EXPECT_EQ(host::PowerEvent::SetState, events[1].kind);
                    EXPECT_EQ(child, events[1].device);
                    EXPECT_EQ(DevicePowerState, events[1].type);
                    EXPECT_EQ(static_cast<DEVICE_POWER_STATE>(c.state),
                              events[1].state.DeviceState);
                }
                EXPECT_TRUE(host::LogTexts().empty()) << "power handlers write no line";
            }
        }
    }
    EXPECT_EQ(1, Extension(gamepad_)->RemoveLock.Common.IoCount) << "no remove lock taken";
}

TEST_F(ChildBed, PowerRequestsAreAnsweredAfterRemove) {
    EXPECT_EQ(STATUS_SUCCESS, SendPnp(vendor_, IRP_MN_REMOVE_DEVICE, STATUS_NOT_SUPPORTED).status);
    host::IrqlScope passive(PASSIVE_LEVEL);
    host::IrpResult result =
        host::SendIrp(vendor_, STATUS_NOT_SUPPORTED, [](PIRP, PIO_STACK_LOCATION s) {
            s->MajorFunction = IRP_MJ_POWER;
            s->MinorFunction = IRP_MN_QUERY_POWER;
            s->Parameters.Power.Type = DevicePowerState;
            s->Parameters.Power.State.DeviceState = PowerDeviceD3;
        });
    EXPECT_EQ(STATUS_SUCCESS, result.status);
}

} // namespace
