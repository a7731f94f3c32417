#include "device_requests.h"

#include <functional>

namespace sim::pnp {
namespace {

// Like every PnP and power IRP on Windows, these start as not handled by anybody.
host::IrpResult Send(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)>& fill) {
    host::IrqlScope passive(PASSIVE_LEVEL);
    return host::SendIrp(pdo, STATUS_NOT_SUPPORTED, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        irp->IoStatus.Information = 0;
        stack->MajorFunction = major;
        stack->MinorFunction = minor;
        fill(stack);
    });
}

host::IrpResult SendConfig(PDEVICE_OBJECT pdo, UCHAR minor, ULONG whichSpace, PVOID buffer,
                           ULONG offset, ULONG length) {
    return Send(pdo, IRP_MJ_PNP, minor, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.ReadWriteConfig.WhichSpace = whichSpace;
        stack->Parameters.ReadWriteConfig.Buffer = buffer;
        stack->Parameters.ReadWriteConfig.Offset = offset;
        stack->Parameters.ReadWriteConfig.Length = length;
    });
}

} // namespace

host::IrpResult ReadConfig(PDEVICE_OBJECT pdo, ULONG whichSpace, PVOID buffer, ULONG offset,
                           ULONG length) {
    return SendConfig(pdo, IRP_MN_READ_CONFIG, whichSpace, buffer, offset, length);
}

host::IrpResult WriteConfig(PDEVICE_OBJECT pdo, ULONG whichSpace, PVOID buffer, ULONG offset,
                            ULONG length) {
    return SendConfig(pdo, IRP_MN_WRITE_CONFIG, whichSpace, buffer, offset, length);
}

host::IrpResult Eject(PDEVICE_OBJECT pdo) {
    return Send(pdo, IRP_MJ_PNP, IRP_MN_EJECT, [](PIO_STACK_LOCATION) {});
}

host::IrpResult SetLock(PDEVICE_OBJECT pdo, bool lock) {
    return Send(pdo, IRP_MJ_PNP, IRP_MN_SET_LOCK, [lock](PIO_STACK_LOCATION stack) {
        stack->Parameters.SetLock.Lock = lock ? TRUE : FALSE;
    });
}

host::IrpResult NotifyUsage(PDEVICE_OBJECT pdo, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath) {
    return Send(pdo, IRP_MJ_PNP, IRP_MN_DEVICE_USAGE_NOTIFICATION, [=](PIO_STACK_LOCATION stack) {
        stack->Parameters.UsageNotification.InPath = inPath ? TRUE : FALSE;
        stack->Parameters.UsageNotification.Type = type;
    });
}

host::IrpResult SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                          POWER_STATE state) {
    return Send(pdo, IRP_MJ_POWER, minor, [=](PIO_STACK_LOCATION stack) {
        stack->Parameters.Power.Type = type;
        stack->Parameters.Power.State = state;
    });
}

} // namespace sim::pnp
