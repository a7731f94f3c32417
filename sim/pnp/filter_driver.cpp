// The pass-through filter's dispatch routines and the failures armed for it.
#include "filter_driver.h"

#include <map>
#include <mutex>
#include <new>

namespace sim::pnp {
namespace {

// "Pflt" as the debugger shows it.
constexpr ULONG FilterLockTag = 'P' | ('f' << 8) | ('l' << 16) | (static_cast<ULONG>('t') << 24);

struct FilterExtension {
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo; // the bottom of the stack: failures are armed by it
    IO_REMOVE_LOCK removeLock;
};

struct ArmedFailure {
    UCHAR minor;
    NTSTATUS status;
    unsigned count;
};

struct Failures {
    std::mutex lock;
    std::map<PDEVICE_OBJECT, std::vector<ArmedFailure>> armed; // by the stack's PDO
    std::map<PDEVICE_OBJECT, unsigned> failed;
};

Failures& TheFailures() {
    static Failures failures;
    return failures;
}

FilterExtension* ExtensionOf(PDEVICE_OBJECT device) {
    return static_cast<FilterExtension*>(device->DeviceExtension);
}

// Takes one armed failure of this request for the stack, if there is one.
bool TakeFailure(PDEVICE_OBJECT pdo, UCHAR minor, NTSTATUS* status) {
    Failures& f = TheFailures();
    std::lock_guard<std::mutex> guard(f.lock);
    auto found = f.armed.find(pdo);
    if (found == f.armed.end()) {
        return false;
    }
    for (ArmedFailure& armed : found->second) {
        if (armed.minor == minor && armed.count > 0) {
            --armed.count;
            ++f.failed[pdo];
            *status = armed.status;
            return true;
        }
    }
    return false;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI SignalBack(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Every request but PnP and power: down unchanged; the lock keeps the device until the call
// returns.
NTSTATUS NTAPI FilterPassDown(PDEVICE_OBJECT device, PIRP irp) {
    FilterExtension* extension = ExtensionOf(device);
    NTSTATUS status = IoAcquireRemoveLock(&extension->removeLock, irp);
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Information = 0;
        return Complete(irp, status);
    }
    IoSkipCurrentIrpStackLocation(irp);
    status = IofCallDriver(extension->lower, irp);
    IoReleaseRemoveLock(&extension->removeLock, irp);
    return status;
}

// A request that fails on its way back up: the drivers below handle it first.
NTSTATUS FailAfterLower(FilterExtension* extension, PIRP irp, NTSTATUS failure) {
    KEVENT back;
    KeInitializeEvent(&back, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalBack, &back, TRUE, TRUE, TRUE);
    if (IofCallDriver(extension->lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, NULL);
    }
    return Complete(irp, failure);
}

// PASSIVE_LEVEL. Removal waits for the requests in flight, then follows the request down and
// leaves the stack.
NTSTATUS NTAPI FilterPnp(PDEVICE_OBJECT device, PIRP irp) {
    FilterExtension* extension = ExtensionOf(device);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    NTSTATUS status = IoAcquireRemoveLock(&extension->removeLock, irp);
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Information = 0;
        return Complete(irp, status);
    }
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoReleaseRemoveLockAndWait(&extension->removeLock, irp);
        PDEVICE_OBJECT lower = extension->lower;
        IoSkipCurrentIrpStackLocation(irp);
        status = IofCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    NTSTATUS failure;
    if (TakeFailure(extension->pdo, minor, &failure)) {
        if (minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_QUERY_STOP_DEVICE) {
            status = Complete(irp, failure);
        } else {
            status = FailAfterLower(extension, irp, failure);
        }
        IoReleaseRemoveLock(&extension->removeLock, irp);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    status = IofCallDriver(extension->lower, irp);
    IoReleaseRemoveLock(&extension->removeLock, irp);
    return status;
}

// Up to DISPATCH_LEVEL for a stack that is not pageable: the next power IRP may start at once.
NTSTATUS NTAPI FilterPower(PDEVICE_OBJECT device, PIRP irp) {
    FilterExtension* extension = ExtensionOf(device);
    PoStartNextPowerIrp(irp);
    NTSTATUS status = IoAcquireRemoveLock(&extension->removeLock, irp);
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Information = 0;
        return Complete(irp, status);
    }
    IoSkipCurrentIrpStackLocation(irp);
    status = PoCallDriver(extension->lower, irp);
    IoReleaseRemoveLock(&extension->removeLock, irp);
    return status;
}

} // namespace

NTSTATUS NTAPI FilterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) {
        dispatch = FilterPassDown;
    }
    driver->MajorFunction[IRP_MJ_PNP] = FilterPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FilterPower;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT AttachFilter(PDRIVER_OBJECT filterDriver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = NULL;
    if (!NT_SUCCESS(IoCreateDevice(filterDriver, sizeof(FilterExtension), NULL, FILE_DEVICE_UNKNOWN,
                                   0, FALSE, &device))) {
        return nullptr;
    }
    auto* extension = new (device->DeviceExtension) FilterExtension{};
    extension->pdo = pdo;
    IoInitializeRemoveLock(&extension->removeLock, FilterLockTag, 1, 100);
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (lower == NULL) {
        IoDeleteDevice(device);
        return nullptr;
    }
    extension->lower = lower;
    // The filter takes the I/O and power traits of what it sits on, as every filter must.
    device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->DeviceType = lower->DeviceType;
    device->Characteristics = lower->Characteristics;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

std::vector<PDEVICE_OBJECT> FiltersIn(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> filters;
    for (PDEVICE_OBJECT d = pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice) {
        if (d->DriverObject->MajorFunction[IRP_MJ_PNP] == FilterPnp) {
            filters.push_back(d);
        }
    }
    return filters;
}

void FailInFilter(PDEVICE_OBJECT pdo, UCHAR minor, NTSTATUS status, unsigned count) {
    Failures& f = TheFailures();
    std::lock_guard<std::mutex> guard(f.lock);
    f.armed[pdo].push_back({minor, status, count});
}

unsigned FilterFailures(PDEVICE_OBJECT pdo) {
    Failures& f = TheFailures();
    std::lock_guard<std::mutex> guard(f.lock);
    auto found = f.failed.find(pdo);
    return found == f.failed.end() ? 0 : found->second;
}

void ResetFilterFailures() {
    Failures& f = TheFailures();
    std::lock_guard<std::mutex> guard(f.lock);
    f.armed.clear();
    f.failed.clear();
}

} // namespace sim::pnp
