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
    std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> handler;
    {
        std::lock_guard<std::mutex> guard(host::g_relationsLock);
        handler = host::g_relationsHandler;
    }
    if (handler) {
        handler(DeviceObject, Type);
    }
}
