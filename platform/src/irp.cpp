// IRPs: allocation, IoCallDriver, IoCompleteRequest with completion routines, cancellation,
// threaded device-control IRPs and MDLs. The verifier watches every IRP it hands out.
#include "kernel.h"

#include <cstdio>
#include <cstdlib>
#include <unordered_map>

namespace host::detail {
namespace {

constexpr CSHORT IoTypeIrp = 6;
constexpr size_t MaxStackLocations = 64;

// What the verifier saw at one stack location.
struct LocationRecord {
    PDEVICE_OBJECT device = nullptr; // the device the IRP was sent to while it is there
    bool passed = false;             // completion has walked past it
    bool pendingSeen = false;        // SL_PENDING_RETURNED as completion found it
    NTSTATUS status = 0;             // IoStatus.Status as completion reached it
    // STATUS_PENDING was returned before the location was marked: the completion routine of
    // its driver (run by the walk from below, maybe on another thread) may still mark it, so
    // the walk checks it when it leaves the location.
    PDEVICE_OBJECT pendingToCheck = nullptr;
    // The request as it was sent there, to name it in reports.
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG code = 0;
};

// What the verifier knows about one IRP; kept alive by IofCallDriver frames after a free.
struct IrpInfo {
    std::mutex lock;
    bool threaded = false; // built by IoBuildDeviceIoControlRequest: the I/O manager frees it
    bool freed = false;
    bool completing = false;
    CHAR lowestCompleted = 0; // completion has walked up past every location below this one
    // One record per stack location, with room for location 0 and the allocator's own above the
    // last: sized to the IRP, so that an IRP costs no more to track than it has locations.
    std::vector<LocationRecord> at;
    unsigned visits = 0;    // drivers the IRP was sent to since it was (re)initialised
    unsigned startNext = 0; // PoStartNextPowerIrp calls for it
    bool power = false;
    PDRIVER_OBJECT owner = nullptr; // the driver that allocated it, if any
    CHAR senderLocation = 0;        // the highest location the IRP was sent from: its allocator's
    PVOID threadedSystemBuffer = nullptr;
    PVOID threadedOutputBuffer = nullptr;
};

struct Irps {
    std::mutex lock;
    std::unordered_map<PIRP, std::shared_ptr<IrpInfo>> live;
    std::unordered_map<PDEVICE_OBJECT, size_t> heldByDevice;
};

Irps& TheIrps() {
    static Irps* irps = new Irps; // never destroyed: detached threads may outlive exit
    return *irps;
}

// A device holds an IRP from IoCallDriver until completion walks past its location. The PnP
// remove request is the one its own target may delete itself under.
bool IsHeldForVerifier(const PIO_STACK_LOCATION stack) {
    return !(stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE);
}

// Called with the IRP's own lock held, together with the change of its location record, so that
// the count and the records never disagree while another thread deletes a device.
void Hold(PDEVICE_OBJECT device, int delta) {
    std::lock_guard<std::mutex> guard(TheIrps().lock);
    // A count that drops to zero stays in the table: the device's next IRP finds it there.
    TheIrps().heldByDevice[device] += delta;
}

std::shared_ptr<IrpInfo> FindIrp(PIRP irp) {
    std::lock_guard<std::mutex> guard(TheIrps().lock);
    auto found = TheIrps().live.find(irp);
    return found == TheIrps().live.end() ? nullptr : found->second;
}

PIRP AllocateIrp(CCHAR stackSize, bool threaded) {
    if (stackSize <= 0 || static_cast<size_t>(stackSize) >= MaxStackLocations) {
        BugCheck(0x35, "IoAllocateIrp with a stack size of " + std::to_string(stackSize));
    }
    USHORT size = IoSizeOfIrp(stackSize);
    auto* irp = static_cast<PIRP>(std::calloc(1, size));
    if (irp == nullptr) {
        return NULL;
    }
    IoInitializeIrp(irp, size, stackSize);
    auto info = std::make_shared<IrpInfo>();
    info->at.resize(static_cast<size_t>(stackSize) + 2);
    info->threaded = threaded;
    info->owner = CurrentDriver();
    std::lock_guard<std::mutex> guard(TheIrps().lock);
    TheIrps().live[irp] = info;
    return irp;
}

// Every driver a power IRP visited must have let the next one start. Checked when the IRP ends
// or is reinitialised; caller holds info.lock.
void CheckPowerBookkeeping(PIRP irp, const IrpInfo& info) {
    if (info.power && info.startNext < info.visits) {
        Violate(host::rule::PowerIrpWithoutStartNext,
                "power IRP " + Hex(irp) + " passed " + std::to_string(info.visits) +
                    " driver(s) but PoStartNextPowerIrp was called " +
                    std::to_string(info.startNext) + " time(s)");
    }
}

void ReleaseIrpMemory(PIRP irp) {
    std::shared_ptr<IrpInfo> info;
    {
        std::lock_guard<std::mutex> guard(TheIrps().lock);
        auto found = TheIrps().live.find(irp);
        info = found->second;
        TheIrps().live.erase(found);
    }
    {
        std::lock_guard<std::mutex> guard(info->lock);
        CheckPowerBookkeeping(irp, *info);
        info->freed = true;
        for (LocationRecord& record : info->at) {
            if (record.device != nullptr) {
                Hold(record.device, -1);
                record.device = nullptr;
            }
        }
    }
    std::free(irp);
}

// The I/O manager's own end of a threaded IRP: status to the caller, event set, IRP freed.
void CompleteThreadedIrp(PIRP irp, IrpInfo& info) {
    if (info.threadedSystemBuffer != nullptr) {
        if (info.threadedOutputBuffer != nullptr && NT_SUCCESS(irp->IoStatus.Status)) {
            memcpy(info.threadedOutputBuffer, info.threadedSystemBuffer, irp->IoStatus.Information);
        }
        std::free(info.threadedSystemBuffer);
    }
    if (irp->MdlAddress != NULL) {
        IoFreeMdl(irp->MdlAddress);
    }
    if (irp->UserIosb != NULL) {
        *irp->UserIosb = irp->IoStatus;
    }
    PKEVENT event = irp->UserEvent;
    ReleaseIrpMemory(irp);
    if (event != NULL) {
        KeSetEvent(event, 0, FALSE);
    }
}

KSPIN_LOCK g_cancelLock = 0;

} // namespace

void ResetIrps() {
    std::lock_guard<std::mutex> guard(TheIrps().lock);
    for (auto& entry : TheIrps().live) {
        Violate(host::rule::IrpLeaked, "IRP " + Hex(entry.first) + " was never freed");
    }
    TheIrps().live.clear();
    TheIrps().heldByDevice.clear();
}

size_t IrpsHeldBy(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(TheIrps().lock);
    auto found = TheIrps().heldByDevice.find(device);
    return found == TheIrps().heldByDevice.end() ? 0 : found->second;
}

std::string DescribeIrpsHeldBy(PDEVICE_OBJECT device) {
    std::vector<std::pair<PIRP, std::shared_ptr<IrpInfo>>> irps;
    {
        std::lock_guard<std::mutex> guard(TheIrps().lock);
        irps.assign(TheIrps().live.begin(), TheIrps().live.end());
    }
    std::string text;
    for (auto& [irp, info] : irps) {
        std::lock_guard<std::mutex> guard(info->lock);
        for (const LocationRecord& record : info->at) {
            if (record.device != device) {
                continue;
            }
            char request[64];
            std::snprintf(request, sizeof(request), " (major 0x%02X minor 0x%02X code 0x%08lX)",
                          record.major, record.minor, static_cast<unsigned long>(record.code));
            text += (text.empty() ? "IRP " : ", IRP ") + Hex(irp) + request;
        }
    }
    return text;
}

size_t IrpsOwnedBy(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(TheIrps().lock);
    size_t count = 0;
    for (auto& entry : TheIrps().live) {
        count += entry.second->owner == driver ? 1 : 0;
    }
    return count;
}

void NoteStartNextPowerIrp(PIRP irp) {
    std::shared_ptr<IrpInfo> info = FindIrp(irp);
    if (info != nullptr) {
        std::lock_guard<std::mutex> guard(info->lock);
        info->startNext++;
    }
}

} // namespace host::detail

namespace host {

std::vector<std::string> IrpsInFlight() {
    std::vector<std::pair<PIRP, std::shared_ptr<detail::IrpInfo>>> irps;
    {
        std::lock_guard<std::mutex> guard(detail::TheIrps().lock);
        irps.assign(detail::TheIrps().live.begin(), detail::TheIrps().live.end());
    }
    std::vector<std::string> lines;
    for (auto& [irp, info] : irps) {
        std::string line = "IRP " + detail::Hex(irp);
        std::string holders;
        std::lock_guard<std::mutex> guard(info->lock);
        if (info->freed) {
            continue; // freed since the list was taken; its memory is gone
        }
        for (CHAR location = 1; location <= irp->StackCount; ++location) {
            PDEVICE_OBJECT device = info->at[static_cast<size_t>(location)].device;
            if (device == nullptr) {
                continue;
            }
            const IO_STACK_LOCATION& stack =
                reinterpret_cast<PIO_STACK_LOCATION>(irp + 1)[location - 1];
            holders += (holders.empty() ? " held by " : ", then ") + std::string("device ") +
                       detail::Hex(device) + " (" + detail::ServiceNameOf(device->DriverObject) +
                       ") major " + std::to_string(stack.MajorFunction) + " minor " +
                       std::to_string(stack.MinorFunction);
        }
        lines.push_back(line + (holders.empty() ? " not sent" : holders));
    }
    return lines;
}

} // namespace host

using namespace host::detail;

extern "C" {

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    memset(Irp, 0, PacketSize);
    Irp->Type = IoTypeIrp;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(reinterpret_cast<UCHAR*>(Irp) + sizeof(IRP)) +
        StackSize;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    if (ShouldFail(host::Alloc::Irp)) {
        return NULL;
    }
    return AllocateIrp(StackSize, false);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    std::shared_ptr<IrpInfo> info = FindIrp(Irp);
    if (info == nullptr) {
        BugCheck(0xC2, "IoFreeIrp of " + Hex(Irp) + ", not a live IRP");
    }
    if (info->threaded) {
        Violate(host::rule::IrpCompletedTwice,
                "IoFreeIrp of threaded IRP " + Hex(Irp) + ", which the I/O manager frees");
    }
    // The allocator may free the IRP from the completion routine of the location it sent it
    // from, while its own extra location is still current; below that, a driver owns it, and an
    // IRP never sent must have no location in use.
    if (Irp->CurrentLocation != Irp->StackCount + 1 &&
        (info->senderLocation == 0 || Irp->CurrentLocation < info->senderLocation)) {
        Violate(host::rule::IrpFreedInUse,
                "IoFreeIrp of IRP " + Hex(Irp) + " while a driver still owns a stack location");
    }
    ReleaseIrpMemory(Irp);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    std::shared_ptr<IrpInfo> info = FindIrp(Irp);
    if (info == nullptr) {
        BugCheck(0xC2, "IoReuseIrp of " + Hex(Irp) + ", not a live IRP");
    }
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    {
        std::lock_guard<std::mutex> guard(info->lock);
        CheckPowerBookkeeping(Irp, *info);
        info->lowestCompleted = 0;
        info->senderLocation = 0;
        for (LocationRecord& record : info->at) {
            if (record.device != nullptr) {
                Hold(record.device, -1);
            }
            record = LocationRecord();
        }
        info->visits = 0;
        info->startNext = 0;
        info->power = false;
    }
}

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    std::shared_ptr<IrpInfo> info = FindIrp(Irp);
    if (info == nullptr) {
        BugCheck(0xC2, "IoCallDriver with " + Hex(Irp) + ", not a live IRP");
    }
    {
        std::lock_guard<std::mutex> guard(info->lock);
        if (Irp->CurrentLocation > info->senderLocation) {
            info->senderLocation = Irp->CurrentLocation;
        }
    }
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0) {
        host::detail::Violate(host::rule::NoMoreStackLocations,
                              "IRP " + Hex(Irp) + " sent to device " + Hex(DeviceObject) +
                                  " with no stack location left");
        BugCheck(0x35, "NO_MORE_IRP_STACK_LOCATIONS: IRP " + Hex(Irp));
    }
    CHAR location = Irp->CurrentLocation;
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    UCHAR major = stack->MajorFunction;
    if ((DeviceObject->Flags & DO_DEVICE_INITIALIZING) && FirstReportOfInitializing(DeviceObject)) {
        Violate(host::rule::DeviceStillInitializing,
                "IRP " + Hex(Irp) + " sent to device " + Hex(DeviceObject) +
                    ", whose DO_DEVICE_INITIALIZING is still set");
    }
    bool held = IsHeldForVerifier(stack);
    {
        std::lock_guard<std::mutex> guard(info->lock);
        LocationRecord& record = info->at[static_cast<size_t>(location)];
        // A driver that skipped its location hands the IRP on with it.
        if (record.device != nullptr) {
            Hold(record.device, -1);
        }
        if (held) {
            Hold(DeviceObject, +1);
        }
        record = LocationRecord();
        record.device = held ? DeviceObject : nullptr;
        record.major = major;
        record.minor = stack->MinorFunction;
        record.code = stack->Parameters.DeviceIoControl.IoControlCode;
        info->visits++;
        info->power = major == IRP_MJ_POWER;
    }
    KIRQL irql = CurrentIrql();
    int spinLocks = HeldSpinLocks();
    PDRIVER_OBJECT caller = EnterDriver(DeviceObject->DriverObject);
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
    NTSTATUS status = dispatch(DeviceObject, Irp);
    EnterDriver(caller);
    if (CurrentIrql() != irql || HeldSpinLocks() != spinLocks) {
        Violate(host::rule::IrqlNotRestored,
                "dispatch routine of device " + Hex(DeviceObject) + " for major function " +
                    std::to_string(major) + " returned at IRQL " + std::to_string(CurrentIrql()) +
                    " with " + std::to_string(HeldSpinLocks()) +
                    " spin lock(s) held; it was called at IRQL " + std::to_string(irql) + " with " +
                    std::to_string(spinLocks));
    }
    std::lock_guard<std::mutex> guard(info->lock);
    const LocationRecord& record = info->at[static_cast<size_t>(location)];
    if (status == STATUS_PENDING) {
        bool marked = record.pendingSeen;
        if (!marked && !info->freed && info->lowestCompleted <= location) {
            if ((__atomic_load_n(&stack->Control, __ATOMIC_RELAXED) & SL_PENDING_RETURNED) == 0) {
                info->at[static_cast<size_t>(location)].pendingToCheck = DeviceObject;
            }
            marked = true;
        }
        if (!marked) {
            Violate(host::rule::PendingNotMarked,
                    "dispatch routine of device " + Hex(DeviceObject) + " for major function " +
                        std::to_string(major) + " returned STATUS_PENDING for IRP " + Hex(Irp) +
                        " without IoMarkIrpPending");
        }
    } else if (record.passed && record.status != status) {
        Violate(host::rule::SyncStatusMismatch,
                "dispatch routine of device " + Hex(DeviceObject) + " for major function " +
                    std::to_string(major) + " completed IRP " + Hex(Irp) + " with status " +
                    Hex(reinterpret_cast<void*>(static_cast<uintptr_t>(record.status))) +
                    " but returned " +
                    Hex(reinterpret_cast<void*>(static_cast<uintptr_t>(status))));
    }
    return status;
}

VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    std::shared_ptr<IrpInfo> info = FindIrp(Irp);
    if (info == nullptr) {
        Violate(host::rule::IrpCompletedTwice, "IoCompleteRequest of " + Hex(Irp) +
                                                   ", which has already been completed and freed");
        return;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        Violate(host::rule::IrpCompletedTwice,
                "IoCompleteRequest of IRP " + Hex(Irp) +
                    ", which has already been completed back to its sender");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        Violate(host::rule::IrpCompletedWithPending,
                "IoCompleteRequest of IRP " + Hex(Irp) + " with STATUS_PENDING");
        return;
    }
    if (CurrentIrql() > DISPATCH_LEVEL) {
        Violate(host::rule::IrqlTooHigh, "IoCompleteRequest of IRP " + Hex(Irp) + " at IRQL " +
                                             std::to_string(CurrentIrql()));
    }
    {
        std::lock_guard<std::mutex> guard(info->lock);
        if (info->completing) {
            Violate(host::rule::IrpCompletedTwice,
                    "IoCompleteRequest of IRP " + Hex(Irp) + " while it is being completed");
            return;
        }
        info->completing = true;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    for (Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++;
         Irp->CurrentLocation <= Irp->StackCount + 1;
         stack++, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        CHAR location = static_cast<CHAR>(Irp->CurrentLocation - 1);
        UCHAR control = stack->Control;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        {
            std::lock_guard<std::mutex> guard(info->lock);
            LocationRecord& record = info->at[static_cast<size_t>(location)];
            if (record.pendingToCheck != nullptr && !Irp->PendingReturned) {
                Violate(host::rule::PendingNotMarked,
                        "dispatch routine of device " + Hex(record.pendingToCheck) +
                            " returned STATUS_PENDING for IRP " + Hex(Irp) +
                            " and neither it nor its completion routine marked it pending");
            }
            record.pendingToCheck = nullptr;
            record.pendingSeen = Irp->PendingReturned;
            record.passed = true;
            record.status = Irp->IoStatus.Status;
            if (record.device != nullptr) {
                Hold(record.device, -1);
                record.device = nullptr;
            }
            info->lowestCompleted = static_cast<CHAR>(location + 1);
            // The stack location is cleared as the walk leaves it.
            memset(stack, 0, sizeof(*stack));
            if (routine != NULL) {
                info->completing = false;
            }
        }
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke =
            routine != NULL &&
            ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
             (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
             (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? NULL
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            // The setter has the IRP back in its routine and may let its device go there (a
            // remove lock released) before the walk leaves its location.
            if (Irp->CurrentLocation <= Irp->StackCount) {
                std::lock_guard<std::mutex> guard(info->lock);
                LocationRecord& record = info->at[static_cast<size_t>(Irp->CurrentLocation)];
                if (record.device != nullptr) {
                    Hold(record.device, -1);
                    record.device = nullptr;
                }
            }
            // The routine runs as code of the driver that set it.
            PDRIVER_OBJECT caller =
                EnterDriver(device != NULL ? device->DriverObject : CurrentDriver());
            NTSTATUS result = routine(device, Irp, context);
            EnterDriver(caller);
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
        std::lock_guard<std::mutex> guard(info->lock);
        info->completing = true;
    }
    if (info->threaded) {
        CompleteThreadedIrp(Irp, *info);
        return;
    }
    Violate(host::rule::DriverIrpReachedTop,
            "IRP " + Hex(Irp) +
                " from IoAllocateIrp was completed past its last stack location; its sender's "
                "completion routine must return STATUS_MORE_PROCESSING_REQUIRED");
    std::lock_guard<std::mutex> guard(info->lock);
    info->completing = false;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&g_cancelLock, Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Set before the routine is taken, and read by drivers without the cancel spin lock.
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
    if (routine == NULL) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        BugCheck(0x48, "CANCEL_STATE_IN_COMPLETED_IRP: IRP " + Hex(Irp));
    }
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    if (ShouldFail(host::Alloc::BuildIoctl)) {
        return NULL;
    }
    PIRP irp = AllocateIrp(DeviceObject->StackSize, true);
    if (irp == NULL) {
        return NULL;
    }
    std::shared_ptr<IrpInfo> info = FindIrp(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        size_t length =
            InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (length != 0) {
            // Not zeroed on Windows: whatever the driver leaves unwritten is old pool.
            void* system = std::malloc(length);
            if (system == nullptr) {
                ReleaseIrpMemory(irp);
                return NULL;
            }
            memset(system, 0xA5, length);
            if (InputBuffer != NULL && InputBufferLength != 0) {
                memcpy(system, InputBuffer, InputBufferLength);
            }
            irp->AssociatedIrp.SystemBuffer = system;
            info->threadedSystemBuffer = system;
            info->threadedOutputBuffer = OutputBufferLength != 0 ? OutputBuffer : nullptr;
        }
        irp->UserBuffer = OutputBuffer;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        irp->AssociatedIrp.SystemBuffer = InputBuffer;
        if (OutputBuffer != NULL && OutputBufferLength != 0) {
            irp->MdlAddress = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, NULL);
            MmBuildMdlForNonPagedPool(irp->MdlAddress);
        }
        break;
    default:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    return irp;
}

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
    UNREFERENCED_PARAMETER(SecondaryBuffer);
    UNREFERENCED_PARAMETER(ChargeQuota);
    if (ShouldFail(host::Alloc::Mdl)) {
        return NULL;
    }
    auto* mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
    if (mdl == nullptr) {
        return NULL;
    }
    mdl->Size = sizeof(MDL);
    mdl->StartVa = PAGE_ALIGN(VirtualAddress);
    mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    mdl->ByteCount = Length;
    if (Irp != NULL) {
        Irp->MdlAddress = mdl;
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
    std::free(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority) {
    UNREFERENCED_PARAMETER(AccessMode);
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(RequestedAddress);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    UNREFERENCED_PARAMETER(Priority);
    // The pages of a program's locked buffer get a system address of their own.
    PVOID address = MmGetMdlVirtualAddress(MemoryDescriptorList);
    PVOID alias = UserSystemAlias(address, MemoryDescriptorList->ByteCount);
    MemoryDescriptorList->MappedSystemVa = alias != NULL ? alias : address;
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return MemoryDescriptorList->MappedSystemVa;
}

} // extern "C"
