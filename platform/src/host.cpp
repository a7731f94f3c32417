// Booting the host, loading and unloading drivers, and sending IRPs from outside a driver.
#include "kernel.h"

namespace host {
namespace {

// Never destroyed: detached threads may outlive exit.
std::mutex& g_relationsLock = *new std::mutex;
auto& g_relationsHandler = *new std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)>;

struct SentIrp {
    KEVENT done;
};

NTSTATUS NTAPI SentIrpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(&static_cast<SentIrp*>(Context)->done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A device the driver attached in AddDevice takes over what the stack below it set: paging
// behaviour for power (0xC9/0x23F), the buffering method (0x244, both at once 0x245) and the
// device type (0x246).
void CheckInheritance(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    for (PDEVICE_OBJECT lower = pdo; lower != NULL; lower = lower->AttachedDevice) {
        PDEVICE_OBJECT upper = lower->AttachedDevice;
        if (upper == NULL || upper->DriverObject != driver) {
            continue;
        }
        std::string pair =
            "device " + detail::Hex(upper) + " attached to device " + detail::Hex(lower);
        if ((lower->Flags & DO_POWER_PAGABLE) && !(upper->Flags & DO_POWER_PAGABLE)) {
            detail::Violate(rule::PowerPagableNotInherited,
                            pair + " lacks the DO_POWER_PAGABLE of the device below");
        }
        ULONG io = DO_BUFFERED_IO | DO_DIRECT_IO;
        if ((lower->Flags & io) != 0 && (upper->Flags & io) == 0) {
            detail::Violate(rule::IoFlagsNotInherited,
                            pair + " took neither DO_BUFFERED_IO nor DO_DIRECT_IO from below");
        }
        if ((upper->Flags & io) == io) {
            detail::Violate(rule::IoFlagsNotInherited,
                            pair + " sets both DO_BUFFERED_IO and DO_DIRECT_IO");
        }
        if (upper->DeviceType != lower->DeviceType) {
            detail::Violate(rule::DeviceTypeNotInherited,
                            pair + " has device type " + std::to_string(upper->DeviceType) +
                                ", the device below " + std::to_string(lower->DeviceType));
        }
    }
}

void ReportPoolLeaks(PDRIVER_OBJECT driver, const char* when) {
    for (const PoolUsage& usage : detail::PoolOutstandingOf(driver)) {
        detail::Violate(rule::PoolLeakedAtUnload,
                        std::to_string(usage.allocations) + " allocation(s), " +
                            std::to_string(usage.bytes) + " bytes with tag '" + usage.tag + "' " +
                            when);
    }
}

} // namespace

void Reset() {
    JoinSystemThreads();
    SetInvalidateRelationsHandler(nullptr);
    detail::ResetPower();
    detail::ResetFaults();
    detail::ResetIrps();
    detail::ResetPool();
    detail::ResetRemoveLocks();
    detail::ResetVersion();
    detail::ResetTime();
    detail::ResetLog();
    SetLogObserver(nullptr);
    SetBugCheckHandler(nullptr);
}

PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const char16_t* serviceName) {
    auto* driver = new DRIVER_OBJECT{};
    auto* extension = new DRIVER_EXTENSION{};
    driver->Type = 4; // IO_TYPE_DRIVER
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    RtlInitUnicodeString(&extension->ServiceKeyName, serviceName);
    driver->DriverInit = entry;
    static const char16_t registryRoot[] =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    std::u16string path = std::u16string(registryRoot) + serviceName;
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, path.c_str());
    IrqlScope passive(PASSIVE_LEVEL);
    PDRIVER_OBJECT caller = detail::EnterDriver(driver);
    NTSTATUS status = entry(driver, &registryPath);
    detail::EnterDriver(caller);
    if (!NT_SUCCESS(status)) {
        delete extension;
        delete driver;
        return NULL;
    }
    return driver;
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    IrqlScope passive(PASSIVE_LEVEL);
    PDRIVER_OBJECT caller = detail::EnterDriver(driver);
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
    detail::EnterDriver(caller);
    if (NT_SUCCESS(status)) {
        CheckInheritance(driver, pdo);
    }
    return status;
}

bool UnloadDriver(PDRIVER_OBJECT driver) {
    std::string name = detail::Hex(driver);
    if (size_t devices = detail::DevicesOwnedBy(driver)) {
        // The kernel does not unload a driver whose device objects live on.
        detail::Violate(rule::DeviceLeftAtUnload,
                        "driver " + name + " cannot unload while " + std::to_string(devices) +
                            " of its device objects exist or are still referenced");
        return false;
    }
    if (driver->DriverUnload != NULL) {
        IrqlScope passive(PASSIVE_LEVEL);
        PDRIVER_OBJECT caller = detail::EnterDriver(driver);
        driver->DriverUnload(driver);
        detail::EnterDriver(caller);
    }
    if (size_t threads = detail::ThreadsOwnedBy(driver)) {
        detail::Violate(rule::ThreadAliveAtUnload, "driver " + name + " unloads while " +
                                                       std::to_string(threads) +
                                                       " of its system threads still run");
    }
    if (size_t irps = detail::IrpsOwnedBy(driver)) {
        detail::Violate(rule::IrpAliveAtUnload, "driver " + name + " unloads while " +
                                                    std::to_string(irps) +
                                                    " IRP(s) it allocated are not freed");
    }
    ReportPoolLeaks(driver, "outstanding at driver unload");
    delete driver->DriverExtension;
    delete driver;
    return true;
}

void SetInvalidateRelationsHandler(std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> h) {
    std::lock_guard<std::mutex> guard(g_relationsLock);
    g_relationsHandler = std::move(h);
}

IrpResult SendIrp(PDEVICE_OBJECT target, NTSTATUS initialStatus,
                  const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(target);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == NULL) {
        ObfDereferenceObject(top);
        return {STATUS_INSUFFICIENT_RESOURCES, 0, STATUS_INSUFFICIENT_RESOURCES};
    }
    irp->IoStatus.Status = initialStatus;
    SentIrp sent;
    KeInitializeEvent(&sent.done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    setup(irp, stack);
    IoSetCompletionRoutine(irp, SentIrpComplete, &sent, TRUE, TRUE, TRUE);
    NTSTATUS returned = IofCallDriver(top, irp);
    KeWaitForSingleObject(&sent.done, Executive, KernelMode, FALSE, NULL);
    IrpResult result{irp->IoStatus.Status, irp->IoStatus.Information, returned};
    IoFreeIrp(irp);
    ObfDereferenceObject(top);
    return result;
}

} // namespace host

extern "C" VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject,
                                                  DEVICE_RELATION_TYPE Type) {
    host::detail::CheckDdiIrql(host::detail::Ddi::IoInvalidateDeviceRelations);
    std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> handler;
    {
        std::lock_guard<std::mutex> guard(host::g_relationsLock);
        handler = host::g_relationsHandler;
    }
    if (handler) {
        handler(DeviceObject, Type);
    }
}
