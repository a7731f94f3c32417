// Object manager and I/O manager objects: device objects, references, handles, system threads.
#include "kernel.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <unordered_map>

// The host's private part of every device object.
struct _DEVOBJ_EXTENSION {
    CSHORT Type;
    USHORT Size;
    PDEVICE_OBJECT DeviceObject;
    host::detail::DeviceInfo info;
};

struct _KTHREAD {
    DISPATCHER_HEADER Header;
    PKSTART_ROUTINE start;
    PVOID context;
    PDRIVER_OBJECT creator;
};

namespace host::detail {
namespace {

struct ObjectRecord {
    const char* kind;
    LONG_PTR references;
    std::function<void()> destroy;
};

struct Objects {
    std::unordered_map<const void*, ObjectRecord> records;
    std::unordered_map<HANDLE, void*> handles;
    uintptr_t nextHandle = 0x100;
    ULONG nextDeviceNumber = 1;
};

Objects& TheObjects() {
    static Objects* objects = new Objects; // never destroyed: detached threads may outlive exit
    return *objects;
}

thread_local PKTHREAD t_currentThread = nullptr;
thread_local PDRIVER_OBJECT t_driver = nullptr;
std::atomic<size_t> g_liveThreads{0};
size_t g_exitingThreads = 0; // under DispatcherLock
// Never destroyed: detached threads may outlive exit.
std::mutex& g_threadsLock = *new std::mutex;
std::map<PKTHREAD, PDRIVER_OBJECT>& g_threads = *new std::map<PKTHREAD, PDRIVER_OBJECT>;

void ThreadEnded(PKTHREAD thread) {
    if (HeldSpinLocks() != 0) {
        Violate(host::rule::IrqlNotRestored,
                "system thread " + Hex(thread) + " ends holding a spin lock");
    }
    {
        std::lock_guard<std::mutex> guard(g_threadsLock);
        g_threads.erase(thread);
    }
    {
        // Counted out as its object is signalled: a waiter that wakes sees no live thread.
        std::lock_guard<std::mutex> guard(DispatcherLock());
        g_liveThreads--;
        g_exitingThreads++;
        thread->Header.SignalState = 1;
    }
    DispatcherWake().notify_all();
    ObfDereferenceObject(thread);
    // JoinSystemThreads returns only once the thread has let go of everything.
    std::lock_guard<std::mutex> guard(DispatcherLock());
    g_exitingThreads--;
    DispatcherWake().notify_all();
}

void* ThreadMain(void* argument) {
    auto* thread = static_cast<PKTHREAD>(argument);
    t_currentThread = thread;
    t_driver = thread->creator;
    SetIrql(PASSIVE_LEVEL);
    thread->start(thread->context);
    ThreadEnded(thread);
    return nullptr;
}

} // namespace

// A system thread running start(context); counted to creator, with a handle when asked for.
NTSTATUS CreateThread(PKSTART_ROUTINE start, PVOID context, PDRIVER_OBJECT creator,
                      PHANDLE handle) {
    auto* thread = new _KTHREAD{};
    thread->Header.Type = ThreadObjectType;
    InitializeListHead(&thread->Header.WaitListHead);
    thread->start = start;
    thread->context = context;
    thread->creator = creator;
    {
        std::lock_guard<std::mutex> guard(g_threadsLock);
        g_threads[thread] = creator;
    }
    // One reference for the running thread, one for the handle.
    RegisterObject(thread, "thread", [thread] { delete thread; });
    HANDLE opened = NULL;
    if (handle != nullptr) {
        ObfReferenceObject(thread);
        std::lock_guard<std::mutex> guard(ObjectLock());
        opened = reinterpret_cast<HANDLE>(TheObjects().nextHandle);
        TheObjects().nextHandle += 4;
        TheObjects().handles[opened] = thread;
        *handle = opened;
    }
    g_liveThreads++;
    pthread_t id;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    int error = pthread_create(&id, &attributes, ThreadMain, thread);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        {
            std::lock_guard<std::mutex> guard(g_threadsLock);
            g_threads.erase(thread);
        }
        g_liveThreads--;
        if (handle != nullptr) {
            ZwClose(opened);
            *handle = NULL;
        }
        ObfDereferenceObject(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS StartKernelThread(PKSTART_ROUTINE start, PVOID context) {
    return CreateThread(start, context, nullptr, nullptr);
}

std::mutex& ObjectLock() {
    static std::mutex* lock = new std::mutex; // never destroyed: detached threads may outlive exit
    return *lock;
}

void RegisterObject(void* object, const char* kind, std::function<void()> destroy) {
    std::lock_guard<std::mutex> guard(ObjectLock());
    TheObjects().records[object] = {kind, 1, std::move(destroy)};
}

bool IsRegisteredObject(const void* object) {
    std::lock_guard<std::mutex> guard(ObjectLock());
    return TheObjects().records.count(object) != 0;
}

PDRIVER_OBJECT CurrentDriver() {
    return t_driver;
}

PDRIVER_OBJECT EnterDriver(PDRIVER_OBJECT driver) {
    PDRIVER_OBJECT previous = t_driver;
    t_driver = driver;
    return previous;
}

size_t ThreadsOwnedBy(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(g_threadsLock);
    size_t count = 0;
    for (auto& entry : g_threads) {
        count += entry.second == driver ? 1 : 0;
    }
    return count;
}

size_t DevicesOwnedBy(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(ObjectLock());
    size_t count = 0;
    for (auto& entry : TheObjects().records) {
        const char* kind = entry.second.kind;
        if (std::string(kind) == "device object" &&
            static_cast<const DEVICE_OBJECT*>(entry.first)->DriverObject == driver) {
            ++count;
        }
    }
    return count;
}

bool FirstReportOfInitializing(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(ObjectLock());
    DeviceInfo* info = FindDevice(device);
    if (info == nullptr || info->initializingReported) {
        return false;
    }
    info->initializingReported = true;
    return true;
}

DeviceInfo* FindDevice(PDEVICE_OBJECT device) {
    if (device == nullptr || TheObjects().records.count(device) == 0) {
        return nullptr;
    }
    return &device->DeviceObjectExtension->info;
}

} // namespace host::detail

namespace host {

size_t LiveSystemThreads() {
    return detail::g_liveThreads.load();
}

std::vector<std::string> SystemThreadsAlive() {
    std::lock_guard<std::mutex> guard(detail::g_threadsLock);
    std::vector<std::string> lines;
    for (auto& [thread, driver] : detail::g_threads) {
        lines.push_back("thread " + detail::Hex(thread) + " of " + detail::ServiceNameOf(driver) +
                        ", start routine " +
                        detail::Hex(reinterpret_cast<const void*>(thread->start)));
    }
    return lines;
}

void JoinSystemThreads() {
    std::unique_lock<std::mutex> guard(detail::DispatcherLock());
    detail::DispatcherWake().wait(
        guard, [] { return detail::g_liveThreads.load() == 0 && detail::g_exitingThreads == 0; });
}

size_t DeviceObjectsOf(PDRIVER_OBJECT driver) {
    return detail::DevicesOwnedBy(driver);
}

PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(detail::ObjectLock());
    detail::DeviceInfo* info = detail::FindDevice(device);
    return info != nullptr ? info->attachedTo : nullptr;
}

bool IsDeleted(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(detail::ObjectLock());
    detail::DeviceInfo* info = detail::FindDevice(device);
    return info == nullptr || info->deleted;
}

LONG_PTR ObjectReferences(const void* object) {
    std::lock_guard<std::mutex> guard(detail::ObjectLock());
    auto found = detail::TheObjects().records.find(object);
    return found == detail::TheObjects().records.end() ? 0 : found->second.references;
}

void SetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                       std::vector<UCHAR> value) {
    std::lock_guard<std::mutex> guard(detail::ObjectLock());
    detail::DeviceInfo* info = detail::FindDevice(pdo);
    if (info != nullptr) {
        info->properties[property] = std::move(value);
    }
}

} // namespace host

using namespace host::detail;

extern "C" {

LONG_PTR NTAPI ObfReferenceObject(PVOID Object) {
    CheckDdiIrql(Ddi::ObReferenceObject);
    std::lock_guard<std::mutex> guard(ObjectLock());
    auto found = TheObjects().records.find(Object);
    if (found == TheObjects().records.end()) {
        BugCheck(0x18, "ObReferenceObject of " + Hex(Object) + ", not a live object");
    }
    return ++found->second.references;
}

LONG_PTR NTAPI ObfDereferenceObject(PVOID Object) {
    CheckDdiIrql(Ddi::ObDereferenceObject);
    std::function<void()> destroy;
    LONG_PTR left;
    {
        std::lock_guard<std::mutex> guard(ObjectLock());
        auto found = TheObjects().records.find(Object);
        if (found == TheObjects().records.end()) {
            Violate(host::rule::DereferenceBelowZero,
                    "ObDereferenceObject of " + Hex(Object) + ", which has no reference left");
            return 0;
        }
        left = --found->second.references;
        if (left == 0) {
            destroy = std::move(found->second.destroy);
            TheObjects().records.erase(found);
        }
    }
    if (destroy) {
        destroy();
    }
    return left;
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object, PVOID HandleInformation) {
    CheckDdiIrql(Ddi::ObReferenceObjectByHandle);
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectType);
    UNREFERENCED_PARAMETER(AccessMode);
    UNREFERENCED_PARAMETER(HandleInformation);
    void* target;
    {
        std::lock_guard<std::mutex> guard(ObjectLock());
        auto found = TheObjects().handles.find(Handle);
        if (found == TheObjects().handles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        target = found->second;
    }
    ObfReferenceObject(target);
    *Object = target;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    CheckDdiIrql(Ddi::ZwClose);
    void* target;
    {
        std::lock_guard<std::mutex> guard(ObjectLock());
        auto found = TheObjects().handles.find(Handle);
        if (found == TheObjects().handles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        target = found->second;
        TheObjects().handles.erase(found);
    }
    ObfDereferenceObject(target);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
    CheckDdiIrql(Ddi::PsCreateSystemThread);
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectAttributes);
    UNREFERENCED_PARAMETER(ProcessHandle);
    UNREFERENCED_PARAMETER(ClientId);
    if (ShouldFail(host::Alloc::CreateThread)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return CreateThread(StartRoutine, StartContext, t_driver, ThreadHandle);
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    CheckDdiIrql(Ddi::PsTerminateSystemThread);
    UNREFERENCED_PARAMETER(ExitStatus);
    PKTHREAD thread = t_currentThread;
    if (thread == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ThreadEnded(thread);
    pthread_exit(nullptr);
}

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
    CheckDdiIrql(Ddi::IoCreateDevice);
    UNREFERENCED_PARAMETER(DeviceName);
    if (ShouldFail(host::Alloc::CreateDevice)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    size_t objectSize = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
    auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, objectSize + DeviceExtensionSize));
    if (device == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* extension = new _DEVOBJ_EXTENSION{};
    extension->Type = 13;
    extension->Size = sizeof(_DEVOBJ_EXTENSION);
    extension->DeviceObject = device;
    device->Type = 3; // IO_TYPE_DEVICE
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceExtension =
        DeviceExtensionSize != 0 ? reinterpret_cast<char*>(device) + objectSize : NULL;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->StackSize = 1;
    device->AlignmentRequirement = 0;
    device->SectorSize = 0;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    device->DeviceObjectExtension = extension;
    RegisterObject(device, "device object", [device, extension, DeviceExtensionSize] {
        ForgetRemoveLocksIn(device->DeviceExtension, DeviceExtensionSize);
        delete extension;
        std::free(device);
    });
    {
        std::lock_guard<std::mutex> guard(ObjectLock());
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    CheckDdiIrql(Ddi::IoDeleteDevice);
    if (size_t irps = IrpsHeldBy(DeviceObject)) {
        Violate(host::rule::DeviceDeletedWithIrps,
                "device " + Hex(DeviceObject) + " deleted while it holds " + std::to_string(irps) +
                    " IRP(s): " + DescribeIrpsHeldBy(DeviceObject));
    }
    size_t extensionSize = DeviceObject->Size - sizeof(DEVICE_OBJECT);
    if (size_t holds = RemoveLockHoldsIn(DeviceObject->DeviceExtension, extensionSize)) {
        Violate(host::rule::RemoveLockHeldAtDelete,
                "device " + Hex(DeviceObject) + " deleted while its remove lock has " +
                    std::to_string(holds) + " acquisition(s) outstanding");
    }
    {
        std::lock_guard<std::mutex> guard(ObjectLock());
        DeviceInfo* info = FindDevice(DeviceObject);
        if (info == nullptr || info->deleted) {
            BugCheck(0xC9, "DRIVER_VERIFIER_IOMANAGER_VIOLATION 0x240: IoDeleteDevice of " +
                               Hex(DeviceObject) + ", not a live device");
        }
        // A device still attached to a lower one must detach first (0xC9/0x201).
        if (info->attachedTo != nullptr) {
            Violate(host::rule::DeviceDeletedAttached,
                    "IoDeleteDevice of device " + Hex(DeviceObject) +
                        " while it is still attached to device " + Hex(info->attachedTo));
        }
        info->deleted = true;
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link != NULL && *link != DeviceObject) {
            link = &(*link)->NextDevice;
        }
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
        }
        // A device that another is still attached to stays until that one detaches from it, as
        // a filter does after passing IRP_MN_REMOVE_DEVICE down to a driver that deletes itself.
        if (DeviceObject->AttachedDevice != NULL) {
            info->releaseOnDetach = true;
            return;
        }
    }
    ObfDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    CheckDdiIrql(Ddi::IoGetAttachedDevice);
    std::lock_guard<std::mutex> guard(ObjectLock());
    while (DeviceObject->AttachedDevice != NULL) {
        DeviceObject = DeviceObject->AttachedDevice;
    }
    return DeviceObject;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    CheckDdiIrql(Ddi::IoGetAttachedDeviceReference);
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
    CheckDdiIrql(Ddi::IoAttachDeviceToDeviceStack);
    std::lock_guard<std::mutex> guard(ObjectLock());
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != NULL) {
        top = top->AttachedDevice;
    }
    DeviceInfo* topInfo = FindDevice(top);
    DeviceInfo* sourceInfo = FindDevice(SourceDevice);
    if (topInfo == nullptr || topInfo->deleted || sourceInfo == nullptr) {
        return NULL;
    }
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    sourceInfo->attachedTo = top;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    CheckDdiIrql(Ddi::IoDetachDevice);
    bool release = false;
    {
        std::lock_guard<std::mutex> guard(ObjectLock());
        PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
        // Detaching from a device nothing is attached to, as a second detach does (0xC9/0x202).
        if (above == NULL) {
            Violate(host::rule::DetachNotAttached, "IoDetachDevice of device " + Hex(TargetDevice) +
                                                       ", which has no device attached");
        }
        if (above != NULL) {
            DeviceInfo* info = FindDevice(above);
            if (info != nullptr) {
                info->attachedTo = nullptr;
            }
        }
        TargetDevice->AttachedDevice = NULL;
        DeviceInfo* target = FindDevice(TargetDevice);
        if (target != nullptr && target->releaseOnDetach) {
            target->releaseOnDetach = false;
            release = true;
        }
    }
    // A deletion that waited for this detach completes now.
    if (release) {
        ObfDereferenceObject(TargetDevice);
    }
}

NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject,
                                   DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                   PVOID PropertyBuffer, PULONG ResultLength) {
    CheckDdiIrql(Ddi::IoGetDeviceProperty);
    std::lock_guard<std::mutex> guard(ObjectLock());
    DeviceInfo* info = FindDevice(DeviceObject);
    if (info == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto found = info->properties.find(DeviceProperty);
    if (found == info->properties.end()) {
        *ResultLength = 0;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *ResultLength = static_cast<ULONG>(found->second.size());
    if (found->second.size() > BufferLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(PropertyBuffer, found->second.data(), found->second.size());
    return STATUS_SUCCESS;
}

} // extern "C"
