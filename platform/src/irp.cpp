// IRPs: allocation, IoCallDriver, IoCompleteRequest with completion routines, cancellation,
// threaded device-control IRPs and MDLs. The verifier watches every IRP it hands out.
#include "kernel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <unordered_map>

namespace host::detail {
namespace {

constexpr CSHORT IoTypeIrp = 6;
constexpr size_t MaxStackLocations = 64;

// What the verifier saw at one stack location.
struct LocationRecord {
    PDEVICE_OBJECT device = nullptr; // the device the IRP was sent to while it is there
    bool passed = false;             // completion has walked past it
    bool sent = false;               // IoCallDriver gave the location to a device
    bool markedOnEntry = false;      // a driver above marked it and skipped it down
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
    unsigned visits = 0;     // drivers the IRP was sent to since it was (re)initialised
    unsigned generation = 0; // IoReuseIrp calls: a dispatch frame of an earlier use checks nothing
    // Power IRPs: the drivers it visited and those that let the next power IRP start.
    std::set<PDRIVER_OBJECT> powerVisited;
    std::set<PDRIVER_OBJECT> startedNext;
    bool power = false;
    PDRIVER_OBJECT owner = nullptr; // the driver that allocated it, if any
    USHORT allocated = 0;           // bytes the host allocated: Irp->Size is the driver's to write
    CHAR senderLocation = 0;        // the highest location the IRP was sent from: its allocator's
    PVOID threadedSystemBuffer = nullptr;
    PVOID threadedOutputBuffer = nullptr;
    ULONG threadedOutputLength = 0;
};

// Freed IRPs are held back, poisoned, before their memory is reused, so that a completion of a
// freed IRP is not taken for a request on the next IRP allocated at the same address. Under I/O
// Verification IoAllocateIrp takes IRPs from special pool (devtest/i-o-verification): touching a
// freed one stops Windows with 0xCC (PAGE_FAULT_IN_FREED_SPECIAL_POOL), and 0x44 is what it
// reports while the memory still holds an IRP. The host keeps the freed memory accessible and
// reports a completion of it as the double completion it is (0x44); a write to it is found when
// it leaves the quarantine.
constexpr size_t IrpQuarantineDepth = 256;
constexpr unsigned char FreedIrpPoison = 0xDB;

struct FreedIrp {
    PIRP irp;
    USHORT size; // as allocated
};

struct Irps {
    std::mutex lock;
    std::unordered_map<PIRP, std::shared_ptr<IrpInfo>> live;
    std::unordered_map<PDEVICE_OBJECT, size_t> heldByDevice;
    std::deque<FreedIrp> quarantine; // oldest first
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
    info->allocated = size;
    std::lock_guard<std::mutex> guard(TheIrps().lock);
    TheIrps().live[irp] = info;
    return irp;
}

// Before Windows Vista every driver a power IRP visited must let the next one start
// (ddi/wdm/nf-wdm-postartnextpowerirp; a no-op from Vista on). Checked per driver when the IRP
// ends or is reinitialised, so that one driver calling it twice hides no other; caller holds
// info.lock.
void CheckPowerBookkeeping(PIRP irp, const IrpInfo& info) {
    if (!info.power || !StartNextPowerIrpRequired()) {
        return;
    }
    for (PDRIVER_OBJECT driver : info.powerVisited) {
        if (info.startedNext.count(driver) == 0) {
            Violate(host::rule::PowerIrpWithoutStartNext,
                    "power IRP " + Hex(irp) + " passed driver " + Hex(driver) + " (" +
                        ServiceNameOf(driver) + "), which never called PoStartNextPowerIrp");
        }
    }
}

// A driver owns a location of the IRP: it was sent and completion has not come back to its
// allocator. The allocator may free or reuse it from the completion routine of the location it
// sent it from, while its own extra location is still current.
bool OwnedBelowItsAllocator(PIRP irp, const IrpInfo& info) {
    return irp->CurrentLocation != irp->StackCount + 1 &&
           (info.senderLocation == 0 || irp->CurrentLocation < info.senderLocation);
}

// A freed IRP must still hold its poison when it leaves the quarantine: a write the driver made
// after the free is reported there, late but with its offset.
void CheckFreedIrp(const FreedIrp& freed) {
    auto* bytes = reinterpret_cast<const unsigned char*>(freed.irp);
    for (USHORT i = 0; i < freed.size; ++i) {
        if (bytes[i] != FreedIrpPoison) {
            Violate(host::rule::IrpWrittenAfterFree, "IRP " + Hex(freed.irp) +
                                                         " was written at offset " +
                                                         std::to_string(i) + " after it was freed");
            return;
        }
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
    memset(irp, FreedIrpPoison, info->allocated);
    FreedIrp oldest{nullptr, 0};
    {
        std::lock_guard<std::mutex> guard(TheIrps().lock);
        TheIrps().quarantine.push_back({irp, info->allocated});
        if (TheIrps().quarantine.size() > IrpQuarantineDepth) {
            oldest = TheIrps().quarantine.front();
            TheIrps().quarantine.pop_front();
        }
    }
    CheckFreedIrp(oldest);
    std::free(oldest.irp);
}

// The I/O manager's own end of a threaded IRP: status to the caller, event set, IRP freed.
// The output is copied back for warnings as for successes
// (ddi/ehstorioctl/ni-ehstorioctl-ioctl_ehstor_device_enumerate_pdos), never beyond the caller's
// buffer (0xC9/0x312). Not modelled: Windows runs this stage as an APC on the issuing thread.
void CompleteThreadedIrp(PIRP irp, IrpInfo& info) {
    if (info.threadedSystemBuffer != nullptr && info.threadedOutputBuffer != nullptr &&
        irp->IoStatus.Information > info.threadedOutputLength) {
        Violate(host::rule::InformationExceedsOutput,
                "threaded IRP " + Hex(irp) + " completed with Information " +
                    std::to_string(irp->IoStatus.Information) + " for an output buffer of " +
                    std::to_string(info.threadedOutputLength) + " bytes");
    }
    // Windows copies the output and writes the status block in a special kernel APC on the
    // issuing thread, at APC_LEVEL ("I/O Completion", IoCompleteRequest); the host does it on the
    // completing thread, seen at APC_LEVEL for these writes, so that a pageable buffer or status
    // block of the caller is paged in rather than stopping the machine with 0xD1.
    KIRQL completing = CurrentIrql();
    SetIrql(APC_LEVEL);
    if (info.threadedSystemBuffer != nullptr) {
        if (info.threadedOutputBuffer != nullptr && !NT_ERROR(irp->IoStatus.Status)) {
            size_t length = irp->IoStatus.Information < info.threadedOutputLength
                                ? irp->IoStatus.Information
                                : info.threadedOutputLength;
            memcpy(info.threadedOutputBuffer, info.threadedSystemBuffer, length);
        }
        std::free(info.threadedSystemBuffer);
    }
    if (irp->UserIosb != NULL) {
        *irp->UserIosb = irp->IoStatus;
    }
    SetIrql(completing);
    if (irp->MdlAddress != NULL) {
        IoFreeMdl(irp->MdlAddress);
    }
    PKEVENT event = irp->UserEvent;
    ReleaseIrpMemory(irp);
    if (event != NULL) {
        KeSetEvent(event, 0, FALSE);
    }
}

// The highest IRQL at which an IRP of this major function may be sent: power, read, write and
// device control at DISPATCH_LEVEL, PnP only at PASSIVE_LEVEL, the rest below DISPATCH_LEVEL
// (devtest/wdm-forwardedatbadirql, 0xC9/0x23A).
KIRQL MaxIrqlToSend(UCHAR major) {
    switch (major) {
    case IRP_MJ_POWER:
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return DISPATCH_LEVEL;
    case IRP_MJ_PNP:
        return PASSIVE_LEVEL;
    default:
        return APC_LEVEL;
    }
}

// What IoCallDriver checks of the location it is about to make current, before it does: no
// cancel routine (0xC9/0x203), the IRQL of the major function (0xC9/0x23A), a threaded IRP
// sent at or above APC_LEVEL (0xC9/0x302), and a location the caller prepared rather than copied by
// hand with the upper driver's completion routine or control bits in it (0xC9/0x206, 0x207). A
// skipped location is the caller's own and is passed on as it is.
void CheckForwarding(PDEVICE_OBJECT device, PIRP irp, IrpInfo& info) {
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != NULL) {
        Violate(host::rule::ForwardedWithCancelRoutine, "IRP " + Hex(irp) + " sent to device " +
                                                            Hex(device) +
                                                            " with its cancel routine still set");
    }
    if (irp->CurrentLocation <= 1) {
        return;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    // From Windows Vista on drivers may send power IRPs with IoCallDriver as with PoCallDriver
    // (ddi/ntifs/nf-ntifs-pocalldriver): a pageable power path is held to PASSIVE_LEVEL either way.
    if (next->MajorFunction == IRP_MJ_POWER && (device->Flags & DO_POWER_PAGABLE) != 0 &&
        !DdiIrqlAllowed(Ddi::PoCallDriverPagable)) {
        CheckDdiIrql(Ddi::PoCallDriverPagable,
                     "power IRP " + Hex(irp) + " to device " + Hex(device));
    }
    if (CurrentIrql() > MaxIrqlToSend(next->MajorFunction)) {
        Violate(host::rule::ForwardedAtBadIrql,
                "IRP " + Hex(irp) + " of major function " + std::to_string(next->MajorFunction) +
                    " sent to device " + Hex(device) + " at IRQL " + std::to_string(CurrentIrql()));
    }
    bool skipped;
    bool firstSend;
    {
        std::lock_guard<std::mutex> guard(info.lock);
        const LocationRecord& record = info.at[static_cast<size_t>(irp->CurrentLocation - 1)];
        skipped = record.sent && !record.passed;
        firstSend = info.visits == 0;
    }
    if (info.threaded && firstSend && CurrentIrql() >= APC_LEVEL) {
        Violate(host::rule::ThreadedIrpSentAtApcLevel,
                "threaded IRP " + Hex(irp) + " issued to device " + Hex(device) + " at IRQL " +
                    std::to_string(CurrentIrql()) +
                    ": its completion needs an APC to the issuing thread");
    }
    if (skipped) {
        return;
    }
    if (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
        if (next->CompletionRoutine != NULL &&
            next->CompletionRoutine == current->CompletionRoutine &&
            next->Context == current->Context) {
            Violate(host::rule::ForwardedWithUpperRoutine,
                    "IRP " + Hex(irp) + " sent to device " + Hex(device) +
                        " with the upper driver's completion routine " +
                        Hex(reinterpret_cast<const void*>(next->CompletionRoutine)) +
                        " copied into the next location");
            return;
        }
    }
    UCHAR control = __atomic_load_n(&next->Control, __ATOMIC_RELAXED);
    bool invokeWithoutRoutine =
        next->CompletionRoutine == NULL &&
        (control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL)) != 0;
    if ((control & SL_PENDING_RETURNED) != 0 || invokeWithoutRoutine) {
        char controlHex[8];
        std::snprintf(controlHex, sizeof controlHex, "%02X", control);
        Violate(host::rule::ForwardedWithControlSet,
                "IRP " + Hex(irp) + " sent to device " + Hex(device) +
                    " with the next location's Control 0x" + controlHex +
                    " not cleared (use IoCopyCurrentIrpStackLocationToNext)");
    }
}

// After a function or filter driver's dispatch routine answered IRP_MN_REMOVE_DEVICE, its device
// must be off the stack (0xC9/0x21D) and deleted (0xC9/0x21E).
void CheckRemoved(PDEVICE_OBJECT device) {
    if (host::AttachedTo(device) != nullptr) {
        Violate(host::rule::RemoveWithoutDetach,
                "device " + Hex(device) +
                    " answered IRP_MN_REMOVE_DEVICE without detaching from the device below");
    }
    if (!host::IsDeleted(device)) {
        Violate(host::rule::RemoveWithoutDelete,
                "device " + Hex(device) + " answered IRP_MN_REMOVE_DEVICE without deleting itself");
    }
}

// A driver must not fail IRP_MN_SET_POWER for a system state (kernel/irp-mn-set-power,
// kernel/handling-a-system-set-power-irp-in-a-bus-driver; Static Driver Verifier's PowerDownFail
// and PowerUpFail). Checked where a completion routine turns the lower drivers' success into a
// failure; the IRP is still at the routine's own location.
void CheckSystemPowerKept(PIRP irp, NTSTATUS before, PDEVICE_OBJECT device) {
    if (irp->CurrentLocation > irp->StackCount || !NT_SUCCESS(before) ||
        NT_SUCCESS(irp->IoStatus.Status)) {
        return;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_POWER && stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == SystemPowerState) {
        Violate(host::rule::SystemSetPowerFailed,
                "completion routine of device " + Hex(device) +
                    " failed the system set-power IRP " + Hex(irp) + " with status " +
                    Hex(reinterpret_cast<void*>(static_cast<uintptr_t>(irp->IoStatus.Status))));
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
    for (const FreedIrp& freed : TheIrps().quarantine) {
        CheckFreedIrp(freed);
        std::free(freed.irp);
    }
    TheIrps().quarantine.clear();
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

// The power manager starts the next power IRP of the device whose stack location is current
// (ddi/wdm/nf-wdm-postartnextpowerirp), whichever thread calls: a requester's power completion
// function that finishes a held system IRP runs on the thread that completed its device IRP.
void NoteStartNextPowerIrp(PIRP irp) {
    std::shared_ptr<IrpInfo> info = FindIrp(irp);
    if (info != nullptr) {
        std::lock_guard<std::mutex> guard(info->lock);
        PDRIVER_OBJECT driver = CurrentDriver();
        if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
            PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            driver = device != NULL ? device->DriverObject : driver;
        }
        info->startedNext.insert(driver);
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
    CheckDdiIrql(Ddi::IoInitializeIrp);
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
    CheckDdiIrql(Ddi::IoAllocateIrp);
    UNREFERENCED_PARAMETER(ChargeQuota);
    if (ShouldFail(host::Alloc::Irp)) {
        return NULL;
    }
    return AllocateIrp(StackSize, false);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    CheckDdiIrql(Ddi::IoFreeIrp);
    std::shared_ptr<IrpInfo> info = FindIrp(Irp);
    if (info == nullptr) {
        BugCheck(0xC9, "DRIVER_VERIFIER_IOMANAGER_VIOLATION 0x01: IoFreeIrp of " + Hex(Irp) +
                           ", not an IRP");
    }
    if (info->threaded) {
        Violate(host::rule::ThreadedIrpFreed, "IoFreeIrp of threaded IRP " + Hex(Irp) +
                                                  ", which is tied to its thread and freed by "
                                                  "the I/O manager");
    }
    if (OwnedBelowItsAllocator(Irp, *info)) {
        Violate(host::rule::IrpFreedInUse,
                "IoFreeIrp of IRP " + Hex(Irp) + " while a driver still owns a stack location");
    }
    ReleaseIrpMemory(Irp);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    CheckDdiIrql(Ddi::IoReuseIrp);
    std::shared_ptr<IrpInfo> info = FindIrp(Irp);
    if (info == nullptr) {
        BugCheck(0xC9,
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION: IoReuseIrp of " + Hex(Irp) + ", not an IRP");
    }
    // kernel/reusing-irps: only an idle IRP the driver allocated itself may be reused.
    if (info->threaded) {
        Violate(host::rule::ThreadedIrpReused,
                "IoReuseIrp of threaded IRP " + Hex(Irp) + " from IoBuildDeviceIoControlRequest");
    }
    bool inUse;
    {
        std::lock_guard<std::mutex> guard(info->lock);
        inUse = OwnedBelowItsAllocator(Irp, *info);
    }
    if (inUse) {
        Violate(host::rule::IrpReusedInUse,
                "IoReuseIrp of IRP " + Hex(Irp) + " while a driver still owns a stack location");
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
        info->generation++;
        // The holders of an IRP reused in use keep it: their completion is still to come.
        for (LocationRecord& record : info->at) {
            if (record.device == nullptr) {
                record = LocationRecord();
            }
        }
        info->visits = 0;
        info->powerVisited.clear();
        info->startedNext.clear();
        info->power = false;
    }
}

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    std::shared_ptr<IrpInfo> info = FindIrp(Irp);
    if (info == nullptr) {
        BugCheck(0xC9, "DRIVER_VERIFIER_IOMANAGER_VIOLATION 0x03: IoCallDriver with " + Hex(Irp) +
                           ", not an IRP");
    }
    CheckDdiIrql(Ddi::IoCallDriver);
    CheckForwarding(DeviceObject, Irp, *info);
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
                    ", whose DO_DEVICE_INITIALIZING is still set",
                "host (Windows reports 0xC9/0x243 at the end of AddDevice)");
    }
    bool held = IsHeldForVerifier(stack);
    bool remove = major == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE &&
                  host::AttachedTo(DeviceObject) != nullptr;
    unsigned generation;
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
        record.sent = true;
        record.markedOnEntry =
            (__atomic_load_n(&stack->Control, __ATOMIC_RELAXED) & SL_PENDING_RETURNED) != 0;
        record.major = major;
        record.minor = stack->MinorFunction;
        record.code = stack->Parameters.DeviceIoControl.IoControlCode;
        info->visits++;
        info->power = major == IRP_MJ_POWER;
        if (info->power) {
            info->powerVisited.insert(DeviceObject->DriverObject);
        }
        generation = info->generation;
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
    if (remove && status != STATUS_PENDING) {
        CheckRemoved(DeviceObject);
    }
    std::lock_guard<std::mutex> guard(info->lock);
    if (info->generation != generation) {
        return status; // reused (and maybe resent) by its owner since
    }
    const LocationRecord& record = info->at[static_cast<size_t>(location)];
    std::string dispatchText = "dispatch routine of device " + Hex(DeviceObject) +
                               " for major function " + std::to_string(major);
    if (status == STATUS_PENDING) {
        bool marked = record.pendingSeen;
        if (!marked && !info->freed && info->lowestCompleted <= location) {
            if ((__atomic_load_n(&stack->Control, __ATOMIC_RELAXED) & SL_PENDING_RETURNED) == 0) {
                info->at[static_cast<size_t>(location)].pendingToCheck = DeviceObject;
            }
            marked = true;
        }
        if (!marked) {
            Violate(host::rule::PendingNotMarked, dispatchText +
                                                      " returned STATUS_PENDING for IRP " +
                                                      Hex(Irp) + " without IoMarkIrpPending");
        }
        return status;
    }
    bool stillHere = !record.passed && !info->freed;
    bool marked =
        !record.markedOnEntry &&
        (record.pendingSeen || (stillHere && (__atomic_load_n(&stack->Control, __ATOMIC_RELAXED) &
                                              SL_PENDING_RETURNED) != 0));
    if (marked) {
        // devtest/wdm-markirppending: an IRP marked pending must be answered with STATUS_PENDING.
        Violate(host::rule::MarkedPendingNotReturned,
                dispatchText + " marked IRP " + Hex(Irp) + " pending but returned " +
                    Hex(reinterpret_cast<void*>(static_cast<uintptr_t>(status))));
    } else if (stillHere) {
        Violate(host::rule::NeitherCompletedNorPended,
                dispatchText + " returned " +
                    Hex(reinterpret_cast<void*>(static_cast<uintptr_t>(status))) + " for IRP " +
                    Hex(Irp) + " without completing, forwarding or pending it");
    } else if (record.passed && record.status != status) {
        Violate(host::rule::SyncStatusMismatch,
                dispatchText + " completed IRP " + Hex(Irp) + " with status " +
                    Hex(reinterpret_cast<void*>(static_cast<uintptr_t>(record.status))) +
                    " but returned " +
                    Hex(reinterpret_cast<void*>(static_cast<uintptr_t>(status))));
    }
    return status;
}

VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    // Double completion is bug check 0x44 (debugger/bug-check-0x44--multiple-irp-complete-
    // requests): the IRP is gone, or completion already walked past its last location.
    std::shared_ptr<IrpInfo> info = FindIrp(Irp);
    if (info == nullptr) {
        Violate(host::rule::IrpCompletedTwice, "IoCompleteRequest of " + Hex(Irp) +
                                                   ", which has already been completed and freed");
        return;
    }
    bool neverSent;
    {
        std::lock_guard<std::mutex> guard(info->lock);
        neverSent = info->visits == 0;
    }
    if (Irp->CurrentLocation > Irp->StackCount + 1 ||
        (Irp->CurrentLocation == Irp->StackCount + 1 && !neverSent)) {
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
    CheckDdiIrql(Ddi::IoCompleteRequest);
    // The cancel routine must be taken back first (0xC9/0x07; enhanced I/O verification 0x23C).
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != NULL) {
        Violate(host::rule::CompletedWithCancelRoutine,
                "IoCompleteRequest of IRP " + Hex(Irp) + " with its cancel routine " +
                    Hex(reinterpret_cast<const void*>(Irp->CancelRoutine)) + " still set");
    }
    {
        std::lock_guard<std::mutex> guard(info->lock);
        // A warning only (0xC9/0x239): the walk goes on to the top.
        if (neverSent && Irp->CurrentLocation == Irp->StackCount + 1) {
            Violate(host::rule::IrpCompletedNeverSent,
                    "IoCompleteRequest of IRP " + Hex(Irp) + ", which was never sent");
        }
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
            KIRQL irql = CurrentIrql();
            int spinLocks = HeldSpinLocks();
            NTSTATUS result = routine(device, Irp, context);
            EnterDriver(caller);
            // A completion routine returns at the IRQL it was called at (0xC4/0xFA).
            if (CurrentIrql() != irql || HeldSpinLocks() != spinLocks) {
                Violate(host::rule::IrqlNotRestored,
                        "completion routine " + Hex(reinterpret_cast<const void*>(routine)) +
                            " for IRP " + Hex(Irp) + " returned at IRQL " +
                            std::to_string(CurrentIrql()) + " with " +
                            std::to_string(HeldSpinLocks()) +
                            " spin lock(s) held; it was called at IRQL " + std::to_string(irql) +
                            " with " + std::to_string(spinLocks));
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
            CheckSystemPowerKept(Irp, status, device);
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
    CheckDdiIrql(Ddi::IoAcquireCancelSpinLock);
    KeAcquireSpinLock(&g_cancelLock, Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    CheckDdiIrql(Ddi::IoReleaseCancelSpinLock);
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    CheckDdiIrql(Ddi::IoCancelIrp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Set before the routine is taken, and read by drivers without the cancel spin lock.
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
    if (routine == NULL) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
        BugCheck(0x48, "CANCEL_STATE_IN_COMPLETED_IRP: IRP " + Hex(Irp));
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : NULL;
    routine(device, Irp);
    return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    CheckDdiIrql(Ddi::IoBuildDeviceIoControlRequest);
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
            info->threadedOutputLength = OutputBufferLength;
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
    CheckDdiIrql(Ddi::IoAllocateMdl);
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
    CheckDdiIrql(Ddi::IoFreeMdl);
    std::free(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    CheckDdiIrql(Ddi::MmBuildMdlForNonPagedPool);
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority) {
    CheckDdiIrql(Ddi::MmMapLockedPagesSpecifyCache);
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
