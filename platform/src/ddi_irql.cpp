// The documented IRQL range of every routine the host provides, as one table, and the check each
// routine makes on entry. Levels are the req.irql of the routine's page under
// learn.microsoft.com/windows-hardware/drivers/ddi/ (wdm unless named), tightened where Driver
// Verifier's DDI compliance rules (devtest/wdm-irql*) or bug check 0xC4 are stricter.
#include "kernel.h"

namespace host::detail {
namespace {

struct DdiRow {
    Ddi ddi;
    const char* name;
    KIRQL lowest;
    KIRQL highest;
    const char* code; // what Driver Verifier reports, where it names a code
};

constexpr KIRQL Any = HIGH_LEVEL;

constexpr DdiRow DdiTable[] = {
    {Ddi::IoCallDriver, "IoCallDriver", PASSIVE_LEVEL, DISPATCH_LEVEL, "0xC9/0x10"},
    // ddi/ntifs/nf-ntifs-pocalldriver, which names no Verifier code.
    {Ddi::PoCallDriver, "PoCallDriver", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    // A power IRP, by PoCallDriver or IoCallDriver, to a device whose DO_POWER_PAGABLE is set: its
    // power path may touch pageable code (the same page).
    {Ddi::PoCallDriverPagable, "PoCallDriver (DO_POWER_PAGABLE)", PASSIVE_LEVEL, PASSIVE_LEVEL, ""},
    {Ddi::IoCompleteRequest, "IoCompleteRequest", PASSIVE_LEVEL, DISPATCH_LEVEL, "0xC9/0x0E"},
    {Ddi::IoAllocateIrp, "IoAllocateIrp", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::IoFreeIrp, "IoFreeIrp", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::IoReuseIrp, "IoReuseIrp", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::IoInitializeIrp, "IoInitializeIrp", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::IoCancelIrp, "IoCancelIrp", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::IoAcquireCancelSpinLock, "IoAcquireCancelSpinLock", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::IoReleaseCancelSpinLock, "IoReleaseCancelSpinLock", DISPATCH_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::IoBuildDeviceIoControlRequest, "IoBuildDeviceIoControlRequest", PASSIVE_LEVEL, APC_LEVEL,
     "0xC4/0x2000A"},
    // The DDI page allows APC_LEVEL; Verifier's IrqlIoPassive1 demands PASSIVE_LEVEL.
    {Ddi::IoCreateDevice, "IoCreateDevice", PASSIVE_LEVEL, PASSIVE_LEVEL, "0xC4/0x2000A"},
    {Ddi::IoDeleteDevice, "IoDeleteDevice", PASSIVE_LEVEL, APC_LEVEL, "0xC4/0x20009"},
    {Ddi::IoAttachDeviceToDeviceStack, "IoAttachDeviceToDeviceStack", PASSIVE_LEVEL, DISPATCH_LEVEL,
     ""},
    {Ddi::IoDetachDevice, "IoDetachDevice", PASSIVE_LEVEL, PASSIVE_LEVEL, "0xC4/0x2000C"},
    {Ddi::IoGetAttachedDevice, "IoGetAttachedDevice", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::IoGetAttachedDeviceReference, "IoGetAttachedDeviceReference", PASSIVE_LEVEL,
     DISPATCH_LEVEL, ""},
    {Ddi::IoGetDeviceProperty, "IoGetDeviceProperty", PASSIVE_LEVEL, PASSIVE_LEVEL, ""},
    {Ddi::IoInvalidateDeviceRelations, "IoInvalidateDeviceRelations", PASSIVE_LEVEL, DISPATCH_LEVEL,
     ""},
    {Ddi::IoInitializeRemoveLock, "IoInitializeRemoveLock", PASSIVE_LEVEL, PASSIVE_LEVEL, ""},
    {Ddi::IoAcquireRemoveLock, "IoAcquireRemoveLock", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::IoReleaseRemoveLock, "IoReleaseRemoveLock", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::IoReleaseRemoveLockAndWait, "IoReleaseRemoveLockAndWait", PASSIVE_LEVEL, PASSIVE_LEVEL,
     ""},
    {Ddi::IoAllocateMdl, "IoAllocateMdl", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::IoFreeMdl, "IoFreeMdl", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::MmBuildMdlForNonPagedPool, "MmBuildMdlForNonPagedPool", PASSIVE_LEVEL, DISPATCH_LEVEL,
     ""},
    {Ddi::MmMapLockedPagesSpecifyCache, "MmMapLockedPagesSpecifyCache", PASSIVE_LEVEL,
     DISPATCH_LEVEL, ""},
    {Ddi::MmGetSystemRoutineAddress, "MmGetSystemRoutineAddress", PASSIVE_LEVEL, PASSIVE_LEVEL, ""},
    {Ddi::PoRequestPowerIrp, "PoRequestPowerIrp", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::PoStartNextPowerIrp, "PoStartNextPowerIrp", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    // The page names APC_LEVEL, DISPATCH_LEVEL for D0; the power manager sends any D-IRP of a
    // stack without DO_POWER_PAGABLE at DISPATCH_LEVEL and Verifier has no run-time rule, so the
    // host holds it to DISPATCH_LEVEL only.
    {Ddi::PoSetPowerState, "PoSetPowerState", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::KeInitializeEvent, "KeInitializeEvent", PASSIVE_LEVEL, Any, ""},
    {Ddi::KeSetEvent, "KeSetEvent", PASSIVE_LEVEL, DISPATCH_LEVEL, "0xC4/0x80"},
    {Ddi::KeSetEventWait, "KeSetEvent (Wait TRUE)", PASSIVE_LEVEL, APC_LEVEL, "0xC4/0x20016"},
    {Ddi::KeResetEvent, "KeResetEvent", PASSIVE_LEVEL, DISPATCH_LEVEL, "0xC4/0x20011"},
    {Ddi::KeClearEvent, "KeClearEvent", PASSIVE_LEVEL, DISPATCH_LEVEL, "0xC4/0x20011"},
    {Ddi::KeReadStateEvent, "KeReadStateEvent", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::KeWaitPoll, "KeWaitForSingleObject (zero timeout)", PASSIVE_LEVEL, DISPATCH_LEVEL,
     "0xC4/0x120"},
    {Ddi::KeWait, "KeWaitForSingleObject", PASSIVE_LEVEL, APC_LEVEL, "0xC4/0x121, 0x122"},
    {Ddi::KeDelayExecutionThread, "KeDelayExecutionThread", PASSIVE_LEVEL, APC_LEVEL,
     "0xC4/0x2000F"},
    {Ddi::KeAcquireSpinLock, "KeAcquireSpinLock", PASSIVE_LEVEL, DISPATCH_LEVEL, "0xC4/0x42"},
    {Ddi::KeReleaseSpinLock, "KeReleaseSpinLock", DISPATCH_LEVEL, DISPATCH_LEVEL, "0xC4/0x32"},
    {Ddi::KeAcquireSpinLockAtDpcLevel, "KeAcquireSpinLockAtDpcLevel", DISPATCH_LEVEL, Any,
     "0xC4/0x40"},
    {Ddi::KeReleaseSpinLockFromDpcLevel, "KeReleaseSpinLockFromDpcLevel", DISPATCH_LEVEL, Any,
     "0xC4/0x41"},
    {Ddi::KeRaiseIrql, "KeRaiseIrql", PASSIVE_LEVEL, Any, "0x09 when lowering"},
    {Ddi::KeLowerIrql, "KeLowerIrql", PASSIVE_LEVEL, Any, "0x0A when raising"},
    {Ddi::KeGetCurrentIrql, "KeGetCurrentIrql", PASSIVE_LEVEL, Any, ""},
    {Ddi::KeQuerySystemTime, "KeQuerySystemTime", PASSIVE_LEVEL, Any, ""},
    {Ddi::KeQueryInterruptTime, "KeQueryInterruptTime", PASSIVE_LEVEL, Any, ""},
    {Ddi::KeBugCheckEx, "KeBugCheckEx", PASSIVE_LEVEL, Any, ""},
    {Ddi::ExAllocatePool, "ExAllocatePoolWithTag", PASSIVE_LEVEL, DISPATCH_LEVEL, "0xC4/0x02"},
    {Ddi::ExAllocatePagedPool, "ExAllocatePoolWithTag (paged)", PASSIVE_LEVEL, APC_LEVEL,
     "0xC4/0x01"},
    {Ddi::ExFreePool, "ExFreePool", PASSIVE_LEVEL, DISPATCH_LEVEL, "0xC4/0x12"},
    {Ddi::ExFreePagedPool, "ExFreePool (paged)", PASSIVE_LEVEL, APC_LEVEL, "0xC4/0x11"},
    {Ddi::ExInitializeNPagedLookasideList, "ExInitializeNPagedLookasideList", PASSIVE_LEVEL,
     DISPATCH_LEVEL, ""},
    {Ddi::ExAllocateFromNPagedLookasideList, "ExAllocateFromNPagedLookasideList", PASSIVE_LEVEL,
     DISPATCH_LEVEL, ""},
    {Ddi::ExFreeToNPagedLookasideList, "ExFreeToNPagedLookasideList", PASSIVE_LEVEL, DISPATCH_LEVEL,
     ""},
    {Ddi::ExDeleteNPagedLookasideList, "ExDeleteNPagedLookasideList", PASSIVE_LEVEL, DISPATCH_LEVEL,
     ""},
    {Ddi::ExInterlockedList, "ExInterlockedInsert/RemoveList", PASSIVE_LEVEL, Any, ""},
    {Ddi::ObReferenceObject, "ObReferenceObject", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::ObDereferenceObject, "ObDereferenceObject", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::ObReferenceObjectByHandle, "ObReferenceObjectByHandle", PASSIVE_LEVEL, PASSIVE_LEVEL,
     "0xC4/0x2001B"},
    {Ddi::ZwClose, "ZwClose", PASSIVE_LEVEL, PASSIVE_LEVEL, "0xC4/0x2001F"},
    {Ddi::PsCreateSystemThread, "PsCreateSystemThread", PASSIVE_LEVEL, PASSIVE_LEVEL,
     "0xC4/0x2001C"},
    {Ddi::PsTerminateSystemThread, "PsTerminateSystemThread", PASSIVE_LEVEL, PASSIVE_LEVEL,
     "0xC4/0x2001C"},
    {Ddi::PsGetVersion, "PsGetVersion", PASSIVE_LEVEL, PASSIVE_LEVEL, ""},
    {Ddi::RtlIsNtDdiVersionAvailable, "RtlIsNtDdiVersionAvailable", PASSIVE_LEVEL, PASSIVE_LEVEL,
     ""},
    // Resident strings and buffers only, which is all the host has.
    {Ddi::RtlInitUnicodeString, "RtlInitUnicodeString", PASSIVE_LEVEL, DISPATCH_LEVEL, ""},
    {Ddi::RtlCompareMemory, "RtlCompareMemory", PASSIVE_LEVEL, Any, ""},
    {Ddi::DbgPrintEx, "DbgPrintEx", PASSIVE_LEVEL, Any, ""},
    {Ddi::DbgPrint, "DbgPrint", PASSIVE_LEVEL, Any, ""},
    // ddi/usbdlib/nf-usbdlib-usbd_*: PASSIVE_LEVEL.
    {Ddi::UsbdParseConfigurationDescriptorEx, "USBD_ParseConfigurationDescriptorEx", PASSIVE_LEVEL,
     PASSIVE_LEVEL, ""},
    {Ddi::UsbdParseDescriptors, "USBD_ParseDescriptors", PASSIVE_LEVEL, PASSIVE_LEVEL, ""},
    {Ddi::UsbdCreateConfigurationRequestEx, "USBD_CreateConfigurationRequestEx", PASSIVE_LEVEL,
     PASSIVE_LEVEL, ""},
};
constexpr bool RowsInDdiOrder() {
    for (size_t i = 0; i < sizeof(DdiTable) / sizeof(DdiTable[0]); ++i) {
        if (static_cast<size_t>(DdiTable[i].ddi) != i) {
            return false;
        }
    }
    return sizeof(DdiTable) / sizeof(DdiTable[0]) == static_cast<size_t>(Ddi::Count);
}
static_assert(RowsInDdiOrder(), "one row per DDI, in the order of the enumeration");

const DdiRow& RowOf(Ddi ddi) {
    return DdiTable[static_cast<size_t>(ddi)];
}

} // namespace

bool DdiIrqlAllowed(Ddi ddi) {
    const DdiRow& row = RowOf(ddi);
    KIRQL irql = CurrentIrql();
    return irql >= row.lowest && irql <= row.highest;
}

void CheckDdiIrql(Ddi ddi, const std::string& objects) {
    if (DdiIrqlAllowed(ddi)) {
        return;
    }
    const DdiRow& row = RowOf(ddi);
    KIRQL irql = CurrentIrql();
    std::string text = std::string(row.name) + " called at IRQL " + std::to_string(irql) +
                       " (documented range " + std::to_string(row.lowest) + " to " +
                       std::to_string(row.highest) + (row.code[0] != 0 ? ", " : "") + row.code +
                       ") by driver " + ServiceNameOf(CurrentDriver()) +
                       (objects.empty() ? "" : ", " + objects);
    // The row's own code: each DDI has its own in Verifier's 0xC4 list.
    Violate(irql > row.highest ? host::rule::IrqlTooHigh : host::rule::IrqlTooLow, text,
            row.code[0] != 0 ? row.code : "host (no documented code)");
}

} // namespace host::detail

namespace host {

std::vector<DdiIrql> DdiIrqlTable() {
    std::vector<DdiIrql> rows;
    for (const detail::DdiRow& row : detail::DdiTable) {
        rows.push_back({row.name, row.lowest, row.highest, row.code});
    }
    return rows;
}

} // namespace host
