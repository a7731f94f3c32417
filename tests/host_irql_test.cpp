// Every DDI of the host against its row of the IRQL table: silent at the documented limit,
// reported one level beyond it (and below the lowest level where the routine has one).
#include "support/host_fixture.h"

#include <usbdlib.h>

#include <cctype>
#include <cstring>

namespace velt::test {
namespace {

PDEVICE_OBJECT g_completes; // completes what it is sent
PDEVICE_OBJECT g_parks;     // pends what it is sent in g_parked
PIRP g_parked;

NTSTATUS NTAPI Stop(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an IRP of the major function to the device at the IRQL, through `send`.
void SendAt(KIRQL irql, PDEVICE_OBJECT device, UCHAR major,
            NTSTATUS(NTAPI* send)(PDEVICE_OBJECT, PIRP)) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    IoSetCompletionRoutine(irp, Stop, NULL, TRUE, TRUE, TRUE);
    {
        host::IrqlScope at(irql);
        send(device, irp);
    }
    IoFreeIrp(irp);
}

PIRP BuildIoctl(PDEVICE_OBJECT device, IO_STATUS_BLOCK* iosb) {
    return IoBuildDeviceIoControlRequest(
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), device, NULL, 0,
        NULL, 0, TRUE, NULL, iosb);
}

VOID NTAPI Returns(PVOID) {}

KIRQL g_threadIrql;

VOID NTAPI TerminatesAtIrql(PVOID) {
    host::IrqlScope at(g_threadIrql);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// A configuration of one interface, for the USBD parsers.
const UCHAR Configuration[] = {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 3, 0, 0, 0};

PUSB_CONFIGURATION_DESCRIPTOR ConfigurationCopy(UCHAR (&copy)[sizeof Configuration]) {
    memcpy(copy, Configuration, sizeof Configuration);
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy);
}

struct IrqlCase {
    const char* ddi;
    void (*call)(KIRQL irql);
};

#define AT(irql) host::IrqlScope at(irql)

const IrqlCase Cases[] = {
    {"IoCallDriver", [](KIRQL irql) { SendAt(irql, g_completes, IRP_MJ_READ, IofCallDriver); }},
    {"PoCallDriver", [](KIRQL irql) { SendAt(irql, g_completes, IRP_MJ_POWER, PoCallDriver); }},
    {"PoCallDriver (DO_POWER_PAGABLE)",
     [](KIRQL irql) {
         g_completes->Flags |= DO_POWER_PAGABLE;
         SendAt(irql, g_completes, IRP_MJ_POWER, PoCallDriver);
         g_completes->Flags &= ~DO_POWER_PAGABLE;
     }},
    {"IoCompleteRequest",
     [](KIRQL irql) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         IoSetCompletionRoutine(irp, Stop, NULL, TRUE, TRUE, TRUE);
         IofCallDriver(g_parks, irp);
         {
             AT(irql);
             IofCompleteRequest(g_parked, IO_NO_INCREMENT);
         }
         IoFreeIrp(irp);
     }},
    {"IoAllocateIrp",
     [](KIRQL irql) {
         PIRP irp;
         {
             AT(irql);
             irp = IoAllocateIrp(1, FALSE);
         }
         IoFreeIrp(irp);
     }},
    {"IoFreeIrp",
     [](KIRQL irql) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         AT(irql);
         IoFreeIrp(irp);
     }},
    {"IoReuseIrp",
     [](KIRQL irql) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         {
             AT(irql);
             IoReuseIrp(irp, STATUS_SUCCESS);
         }
         IoFreeIrp(irp);
     }},
    {"IoInitializeIrp",
     [](KIRQL irql) {
         alignas(16) UCHAR packet[IoSizeOfIrp(1)];
         AT(irql);
         IoInitializeIrp(reinterpret_cast<PIRP>(packet), sizeof packet, 1);
     }},
    {"IoCancelIrp",
     [](KIRQL irql) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         {
             AT(irql);
             IoCancelIrp(irp);
         }
         IoFreeIrp(irp);
     }},
    {"IoAcquireCancelSpinLock",
     [](KIRQL irql) {
         AT(irql);
         KIRQL old;
         IoAcquireCancelSpinLock(&old);
         IoReleaseCancelSpinLock(old);
     }},
    {"IoReleaseCancelSpinLock",
     [](KIRQL irql) {
         KIRQL old;
         IoAcquireCancelSpinLock(&old);
         {
             AT(irql);
             IoReleaseCancelSpinLock(irql);
         }
         KeLowerIrql(old);
     }},
    {"IoBuildDeviceIoControlRequest",
     [](KIRQL irql) {
         IO_STATUS_BLOCK iosb;
         PIRP irp;
         {
             AT(irql);
             irp = BuildIoctl(g_completes, &iosb);
         }
         IofCallDriver(g_completes, irp);
     }},
    {"IoCreateDevice",
     [](KIRQL irql) {
         PDEVICE_OBJECT device;
         {
             AT(irql);
             IoCreateDevice(g_completes->DriverObject, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &device);
         }
         IoDeleteDevice(device);
     }},
    {"IoDeleteDevice",
     [](KIRQL irql) {
         PDEVICE_OBJECT device;
         IoCreateDevice(g_completes->DriverObject, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
         AT(irql);
         IoDeleteDevice(device);
     }},
    {"IoAttachDeviceToDeviceStack",
     [](KIRQL irql) {
         {
             AT(irql);
             IoAttachDeviceToDeviceStack(g_parks, g_completes);
         }
         IoDetachDevice(g_completes);
     }},
    {"IoDetachDevice",
     [](KIRQL irql) {
         IoAttachDeviceToDeviceStack(g_parks, g_completes);
         AT(irql);
         IoDetachDevice(g_completes);
     }},
    {"IoGetAttachedDevice",
     [](KIRQL irql) {
         AT(irql);
         IoGetAttachedDevice(g_completes);
     }},
    {"IoGetAttachedDeviceReference",
     [](KIRQL irql) {
         PDEVICE_OBJECT top;
         {
             AT(irql);
             top = IoGetAttachedDeviceReference(g_completes);
         }
         ObfDereferenceObject(top);
     }},
    {"IoGetDeviceProperty",
     [](KIRQL irql) {
         UCHAR buffer[8];
         ULONG length;
         AT(irql);
         IoGetDeviceProperty(g_completes, DevicePropertyAddress, sizeof buffer, buffer, &length);
     }},
    {"IoInvalidateDeviceRelations",
     [](KIRQL irql) {
         AT(irql);
         IoInvalidateDeviceRelations(g_completes, BusRelations);
     }},
    {"IoInitializeRemoveLock",
     [](KIRQL irql) {
         IO_REMOVE_LOCK lock;
         AT(irql);
         IoInitializeRemoveLock(&lock, 0x74736554, 1, 10);
     }},
    {"IoAcquireRemoveLock",
     [](KIRQL irql) {
         IO_REMOVE_LOCK lock;
         IoInitializeRemoveLock(&lock, 0x74736554, 1, 10);
         {
             AT(irql);
             IoAcquireRemoveLock(&lock, &lock);
         }
         IoReleaseRemoveLock(&lock, &lock);
     }},
    {"IoReleaseRemoveLock",
     [](KIRQL irql) {
         IO_REMOVE_LOCK lock;
         IoInitializeRemoveLock(&lock, 0x74736554, 1, 10);
         IoAcquireRemoveLock(&lock, &lock);
         AT(irql);
         IoReleaseRemoveLock(&lock, &lock);
     }},
    {"IoReleaseRemoveLockAndWait",
     [](KIRQL irql) {
         IO_REMOVE_LOCK lock;
         IoInitializeRemoveLock(&lock, 0x74736554, 1, 10);
         IoAcquireRemoveLock(&lock, &lock);
         AT(irql);
         IoReleaseRemoveLockAndWait(&lock, &lock);
     }},
    {"IoAllocateMdl",
     [](KIRQL irql) {
         UCHAR buffer[16];
         PMDL mdl;
         {
             AT(irql);
             mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, NULL);
         }
         IoFreeMdl(mdl);
     }},
    {"IoFreeMdl",
     [](KIRQL irql) {
         UCHAR buffer[16];
         PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, NULL);
         AT(irql);
         IoFreeMdl(mdl);
     }},
    {"MmBuildMdlForNonPagedPool",
     [](KIRQL irql) {
         UCHAR buffer[16];
         PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, NULL);
         {
             AT(irql);
             MmBuildMdlForNonPagedPool(mdl);
         }
         IoFreeMdl(mdl);
     }},
    {"MmMapLockedPagesSpecifyCache",
     [](KIRQL irql) {
         UCHAR buffer[16];
         PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, NULL);
         {
             AT(irql);
             MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, NULL, FALSE,
                                          NormalPagePriority);
         }
         IoFreeMdl(mdl);
     }},
    {"MmGetSystemRoutineAddress",
     [](KIRQL irql) {
         UNICODE_STRING name;
         RtlInitUnicodeString(&name, u"RtlIsNtDdiVersionAvailable");
         AT(irql);
         MmGetSystemRoutineAddress(&name);
     }},
    {"PoRequestPowerIrp",
     [](KIRQL irql) {
         host::SetPowerRequestHandler([](PDEVICE_OBJECT, UCHAR, POWER_STATE,
                                         PREQUEST_POWER_COMPLETE,
                                         PVOID) { return STATUS_SUCCESS; });
         POWER_STATE state;
         state.DeviceState = PowerDeviceD0;
         AT(irql);
         PoRequestPowerIrp(g_completes, IRP_MN_SET_POWER, state, NULL, NULL, NULL);
     }},
    {"PoStartNextPowerIrp",
     [](KIRQL irql) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         {
             AT(irql);
             PoStartNextPowerIrp(irp);
         }
         IoFreeIrp(irp);
     }},
    {"PoSetPowerState",
     [](KIRQL irql) {
         POWER_STATE state;
         state.DeviceState = PowerDeviceD3;
         AT(irql);
         PoSetPowerState(g_completes, DevicePowerState, state);
     }},
    {"KeInitializeEvent",
     [](KIRQL irql) {
         KEVENT event;
         AT(irql);
         KeInitializeEvent(&event, NotificationEvent, FALSE);
     }},
    {"KeSetEvent",
     [](KIRQL irql) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         AT(irql);
         KeSetEvent(&event, 0, FALSE);
     }},
    {"KeSetEvent (Wait TRUE)",
     [](KIRQL irql) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         AT(irql);
         KeSetEvent(&event, 0, TRUE);
     }},
    {"KeResetEvent",
     [](KIRQL irql) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         AT(irql);
         KeResetEvent(&event);
     }},
    {"KeClearEvent",
     [](KIRQL irql) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         AT(irql);
         KeClearEvent(&event);
     }},
    {"KeReadStateEvent",
     [](KIRQL irql) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         AT(irql);
         KeReadStateEvent(&event);
     }},
    {"KeWaitForSingleObject (zero timeout)",
     [](KIRQL irql) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         LARGE_INTEGER poll{};
         AT(irql);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll);
     }},
    {"KeWaitForSingleObject",
     [](KIRQL irql) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         LARGE_INTEGER timeout;
         timeout.QuadPart = -1;
         AT(irql);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
     }},
    {"KeDelayExecutionThread",
     [](KIRQL irql) {
         LARGE_INTEGER interval;
         interval.QuadPart = -1;
         AT(irql);
         KeDelayExecutionThread(KernelMode, FALSE, &interval);
     }},
    {"KeAcquireSpinLock",
     [](KIRQL irql) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         AT(irql);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeReleaseSpinLock(&lock, old);
     }},
    {"KeReleaseSpinLock",
     [](KIRQL irql) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         {
             AT(irql);
             KeReleaseSpinLock(&lock, irql);
         }
         KeLowerIrql(old);
     }},
    {"KeAcquireSpinLockAtDpcLevel",
     [](KIRQL irql) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         {
             AT(irql);
             KeAcquireSpinLockAtDpcLevel(&lock);
         }
         AT(DISPATCH_LEVEL);
         KeReleaseSpinLockFromDpcLevel(&lock);
     }},
    {"KeReleaseSpinLockFromDpcLevel",
     [](KIRQL irql) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         {
             AT(DISPATCH_LEVEL);
             KeAcquireSpinLockAtDpcLevel(&lock);
         }
         AT(irql);
         KeReleaseSpinLockFromDpcLevel(&lock);
     }},
    {"KeRaiseIrql",
     [](KIRQL irql) {
         AT(irql);
         KIRQL old;
         KeRaiseIrql(irql, &old);
         KeLowerIrql(old);
     }},
    {"KeLowerIrql",
     [](KIRQL irql) {
         AT(irql);
         KeLowerIrql(irql);
     }},
    {"KeGetCurrentIrql",
     [](KIRQL irql) {
         AT(irql);
         EXPECT_EQ(irql, KeGetCurrentIrql());
     }},
    {"KeQuerySystemTime",
     [](KIRQL irql) {
         LARGE_INTEGER now;
         AT(irql);
         KeQuerySystemTime(&now);
     }},
    {"KeQueryInterruptTime",
     [](KIRQL irql) {
         AT(irql);
         KeQueryInterruptTime();
     }},
    {"KeBugCheckEx",
     [](KIRQL irql) {
         AT(irql);
         EXPECT_DEATH(KeBugCheckEx(0xE2, 0, 0, 0, 0), "STOP: 0x000000E2");
     }},
    {"ExAllocatePoolWithTag",
     [](KIRQL irql) {
         PVOID block;
         {
             AT(irql);
             block = ExAllocatePoolWithTag(NonPagedPool, 8, 0x74736554);
         }
         ExFreePool(block);
     }},
    {"ExAllocatePoolWithTag (paged)",
     [](KIRQL irql) {
         PVOID block;
         {
             AT(irql);
             block = ExAllocatePoolWithTag(PagedPool, 8, 0x74736554);
         }
         ExFreePool(block);
     }},
    {"ExFreePool",
     [](KIRQL irql) {
         PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, 0x74736554);
         AT(irql);
         ExFreePool(block);
     }},
    {"ExFreePool (paged)",
     [](KIRQL irql) {
         PVOID block = ExAllocatePoolWithTag(PagedPool, 8, 0x74736554);
         AT(irql);
         ExFreePool(block);
     }},
    {"ExInitializeNPagedLookasideList",
     [](KIRQL irql) {
         NPAGED_LOOKASIDE_LIST list;
         {
             AT(irql);
             ExInitializeNPagedLookasideList(&list, NULL, NULL, 0, 16, 0x74736554, 0);
         }
         ExDeleteNPagedLookasideList(&list);
     }},
    {"ExAllocateFromNPagedLookasideList",
     [](KIRQL irql) {
         NPAGED_LOOKASIDE_LIST list;
         ExInitializeNPagedLookasideList(&list, NULL, NULL, 0, 16, 0x74736554, 0);
         PVOID entry;
         {
             AT(irql);
             entry = ExAllocateFromNPagedLookasideList(&list);
         }
         ExFreeToNPagedLookasideList(&list, entry);
         ExDeleteNPagedLookasideList(&list);
     }},
    {"ExFreeToNPagedLookasideList",
     [](KIRQL irql) {
         NPAGED_LOOKASIDE_LIST list;
         ExInitializeNPagedLookasideList(&list, NULL, NULL, 0, 16, 0x74736554, 0);
         PVOID entry = ExAllocateFromNPagedLookasideList(&list);
         {
             AT(irql);
             ExFreeToNPagedLookasideList(&list, entry);
         }
         ExDeleteNPagedLookasideList(&list);
     }},
    {"ExDeleteNPagedLookasideList",
     [](KIRQL irql) {
         NPAGED_LOOKASIDE_LIST list;
         ExInitializeNPagedLookasideList(&list, NULL, NULL, 0, 16, 0x74736554, 0);
         AT(irql);
         ExDeleteNPagedLookasideList(&list);
     }},
    {"ExInterlockedInsert/RemoveList",
     [](KIRQL irql) {
         LIST_ENTRY head;
         LIST_ENTRY entry;
         KSPIN_LOCK lock;
         InitializeListHead(&head);
         KeInitializeSpinLock(&lock);
         AT(irql);
         ExInterlockedInsertTailList(&head, &entry, &lock);
         EXPECT_EQ(&entry, ExInterlockedRemoveHeadList(&head, &lock));
     }},
    {"ObReferenceObject",
     [](KIRQL irql) {
         {
             AT(irql);
             ObfReferenceObject(g_completes);
         }
         ObfDereferenceObject(g_completes);
     }},
    {"ObDereferenceObject",
     [](KIRQL irql) {
         ObfReferenceObject(g_completes);
         AT(irql);
         ObfDereferenceObject(g_completes);
     }},
    {"ObReferenceObjectByHandle",
     [](KIRQL irql) {
         HANDLE handle;
         ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL,
                                                        NULL, Returns, NULL));
         PVOID thread = NULL;
         {
             AT(irql);
             ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, &thread, NULL);
         }
         ObfDereferenceObject(thread);
         ZwClose(handle);
         host::JoinSystemThreads();
     }},
    {"ZwClose",
     [](KIRQL irql) {
         HANDLE handle;
         ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL,
                                                        NULL, Returns, NULL));
         {
             AT(irql);
             ZwClose(handle);
         }
         host::JoinSystemThreads();
     }},
    {"PsCreateSystemThread",
     [](KIRQL irql) {
         HANDLE handle;
         {
             AT(irql);
             PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, Returns, NULL);
         }
         ZwClose(handle);
         host::JoinSystemThreads();
     }},
    {"PsTerminateSystemThread",
     [](KIRQL irql) {
         g_threadIrql = irql;
         HANDLE handle;
         PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, TerminatesAtIrql, NULL);
         ZwClose(handle);
         host::JoinSystemThreads();
     }},
    {"PsGetVersion",
     [](KIRQL irql) {
         ULONG major;
         AT(irql);
         PsGetVersion(&major, NULL, NULL, NULL);
     }},
    {"RtlIsNtDdiVersionAvailable",
     [](KIRQL irql) {
         AT(irql);
         RtlIsNtDdiVersionAvailable(0x06010000);
     }},
    {"RtlInitUnicodeString",
     [](KIRQL irql) {
         UNICODE_STRING text;
         AT(irql);
         RtlInitUnicodeString(&text, u"text");
     }},
    {"RtlCompareMemory",
     [](KIRQL irql) {
         AT(irql);
         EXPECT_EQ(4u, RtlCompareMemory("abcd", "abcd", 4));
     }},
    {"DbgPrintEx",
     [](KIRQL irql) {
         AT(irql);
         DbgPrintEx(77, 2, "at IRQL %d\n", irql);
     }},
    {"DbgPrint",
     [](KIRQL irql) {
         AT(irql);
         DbgPrint("at IRQL %d\n", irql);
     }},
    {"USBD_ParseConfigurationDescriptorEx",
     [](KIRQL irql) {
         UCHAR copy[sizeof Configuration];
         PUSB_CONFIGURATION_DESCRIPTOR configuration = ConfigurationCopy(copy);
         AT(irql);
         EXPECT_NE(nullptr, USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1,
                                                                -1, -1, -1, -1));
     }},
    {"USBD_ParseDescriptors",
     [](KIRQL irql) {
         UCHAR copy[sizeof Configuration];
         AT(irql);
         EXPECT_NE(nullptr, USBD_ParseDescriptors(copy, sizeof copy, ConfigurationCopy(copy),
                                                  USB_INTERFACE_DESCRIPTOR_TYPE));
     }},
    {"USBD_CreateConfigurationRequestEx",
     [](KIRQL irql) {
         UCHAR copy[sizeof Configuration];
         PUSB_CONFIGURATION_DESCRIPTOR configuration = ConfigurationCopy(copy);
         USBD_INTERFACE_LIST_ENTRY list[2] = {};
         list[0].InterfaceDescriptor =
             USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, -1, -1, -1);
         PURB urb;
         {
             AT(irql);
             urb = USBD_CreateConfigurationRequestEx(configuration, list);
         }
         ExFreePool(urb);
     }},
};

#undef AT

// Whether a violation of the rule names this DDI; `withItsCode` also asks for the DDI's own code.
bool Reported(const char* rule, const host::DdiIrql& ddi, bool withItsCode = false) {
    std::string code = ddi.code.empty() ? "host (no documented code)" : ddi.code;
    for (const host::Violation& v : host::Violations()) {
        if (v.rule == rule && v.detail.rfind(ddi.name + " called at IRQL", 0) == 0 &&
            (!withItsCode || v.code == code)) {
            return true;
        }
    }
    return false;
}

class OutsideItsRange : public HostTest, public ::testing::WithParamInterface<host::DdiIrql> {};

TEST_P(OutsideItsRange, IsReported) {
    const host::DdiIrql& row = GetParam();
    const IrqlCase* found = nullptr;
    for (const IrqlCase& c : Cases) {
        found = row.name == c.ddi ? &c : found;
    }
    ASSERT_NE(nullptr, found) << "no case calls " << row.name;
    TestDriver drivers;
    g_completes = drivers.CreateDevice();
    g_parks = drivers.CreateDevice([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        g_parked = irp;
        return STATUS_PENDING;
    });
    found->call(row.highest);
    found->call(row.lowest);
    EXPECT_FALSE(Reported(host::rule::IrqlTooHigh, row) || Reported(host::rule::IrqlTooLow, row))
        << host::DescribeViolations();
    if (row.highest < HIGH_LEVEL) {
        found->call(static_cast<KIRQL>(row.highest + 1));
        EXPECT_TRUE(Reported(host::rule::IrqlTooHigh, row, true)) << host::DescribeViolations();
    }
    if (row.lowest > PASSIVE_LEVEL) {
        found->call(static_cast<KIRQL>(row.lowest - 1));
        EXPECT_TRUE(Reported(host::rule::IrqlTooLow, row, true)) << host::DescribeViolations();
    }
    host::ClearViolations();
}

INSTANTIATE_TEST_SUITE_P(DdiIrql, OutsideItsRange, ::testing::ValuesIn(host::DdiIrqlTable()),
                         [](const ::testing::TestParamInfo<host::DdiIrql>& info) {
                             std::string name;
                             for (char c : info.param.name) {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

} // namespace
} // namespace velt::test
