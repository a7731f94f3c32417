// Selecting the controller's configuration and keeping its interrupt and bulk pipe handles.
#include "../core/log.h"
#include "fdo.h"

namespace {

// Interface numbers are one byte: the search for bNumInterfaces interfaces ends there even when
// the descriptor holds fewer distinct numbers than it announces.
constexpr LONG INTERFACE_NUMBER_LIMIT = 256;

VOID ClearPipeTables(PDEVICE_EXTENSION Extension) {
    for (ULONG i = 0; i < PIPE_TABLE_SIZE; ++i) {
        Publish<VOID>(&Extension->BulkOutPipe[i], NULL);
        Publish<VOID>(&Extension->BulkInPipe[i], NULL);
        Publish<VOID>(&Extension->InterruptInPipe[i], NULL);
        Publish<VOID>(&Extension->InterruptOutPipe[i], NULL);
    }
    Extension->NumMappedEndpoints = 0;
}

VOID LogInterface(LONG Number, PUSB_INTERFACE_DESCRIPTOR Interface) {
    VELT_TRACE("VELTDRIVER : IF %d  bLength %d\n", Number, Interface->bLength);
    VELT_TRACE("VELTDRIVER : IF %d  bDescriptorType %d\n", Number, Interface->bDescriptorType);
    VELT_TRACE("VELTDRIVER : IF %d  bInterfaceNumber %d\n", Number, Interface->bInterfaceNumber);
    VELT_TRACE("VELTDRIVER : IF %d  bAlternateSetting %d\n", Number, Interface->bAlternateSetting);
    VELT_TRACE("VELTDRIVER : IF %d  bNumEndpoints %d\n", Number, Interface->bNumEndpoints);
    VELT_TRACE("VELTDRIVER : IF %d  bInterfaceClass %d\n", Number, Interface->bInterfaceClass);
    VELT_TRACE("VELTDRIVER : IF %d  bInterfaceSubClass %d\n", Number,
               Interface->bInterfaceSubClass);
    VELT_TRACE("VELTDRIVER : IF %d  bInterfaceProtocol %d\n", Number,
               Interface->bInterfaceProtocol);
    VELT_TRACE("VELTDRIVER : IF %d  iInterface %d\n\n\n", Number, Interface->iInterface);
}

VOID LogPipeDetails(PUSBD_PIPE_INFORMATION Pipe) {
    VELT_TRACE("VELTDRIVER : EndpointAddress 0x%X\n", Pipe->EndpointAddress);
    VELT_TRACE("VELTDRIVER : MaxPacketSize 0x%X\n", Pipe->MaximumPacketSize);
    VELT_TRACE("VELTDRIVER : Interval 0x%X\n", Pipe->Interval);
    VELT_TRACE("VELTDRIVER : Handle 0x%I64X\n",
               static_cast<ULONGLONG>(reinterpret_cast<ULONG_PTR>(Pipe->PipeHandle)));
    VELT_TRACE("VELTDRIVER : MaximumTransferSize 0x%X\n", Pipe->MaximumTransferSize);
}

// Logs one pipe and keeps its handle when it is an interrupt or bulk pipe. Every handle goes to
// entry 0 (NumMappedEndpoints stays 0), which the address query and the children read, so a
// later pipe of the same type and direction replaces an earlier one.
VOID MapPipe(PDEVICE_EXTENSION Extension, PUSBD_PIPE_INFORMATION Pipe) {
    BOOLEAN in = (Pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
    USBD_PIPE_HANDLE* table;
    if (Pipe->PipeType == UsbdPipeTypeInterrupt) {
        VELT_TRACE("\n\n");
        VELT_TRACE("VELTDRIVER : PipeType 0x%X INTERRUPT PIPE\n", Pipe->PipeType);
        table = in ? Extension->InterruptInPipe : Extension->InterruptOutPipe;
    } else if (Pipe->PipeType == UsbdPipeTypeBulk) {
        VELT_TRACE("\n\n");
        if (in) {
            VELT_TRACE("VELTDRIVER : PipeType 0x%X BULK IN PIPE\n", Pipe->PipeType);
        } else {
            VELT_TRACE("VELTDRIVER : PipeType 0x%X BULK OUT PIPE\n", Pipe->PipeType);
        }
        table = in ? Extension->BulkInPipe : Extension->BulkOutPipe;
    } else {
        return;
    }
    LogPipeDetails(Pipe);
    Publish(&table[0], Pipe->PipeHandle);
}

// Logs the interfaces the USB stack filled in and keeps their pipe handles.
VOID MapInterfaces(PDEVICE_EXTENSION Extension, PUSBD_INTERFACE_LIST_ENTRY List) {
    for (PUSBD_INTERFACE_LIST_ENTRY entry = List; entry->Interface != NULL; ++entry) {
        PUSBD_INTERFACE_INFORMATION iface = entry->Interface;
        VELT_TRACE("VELTDRIVER : NumberOfPipes 0x%X\n", iface->NumberOfPipes);
        VELT_TRACE("VELTDRIVER : Length 0x%X\n", iface->Length);
        VELT_TRACE("VELTDRIVER : Alt Setting 0x%X\n", iface->AlternateSetting);
        VELT_TRACE("VELTDRIVER : Interface Number 0x%X\n", iface->InterfaceNumber);
        VELT_TRACE("VELTDRIVER : Class, subclass, protocol 0x%X 0x%X 0x%X\n\n", iface->Class,
                   iface->SubClass, iface->Protocol);
        for (ULONG pipe = 0; pipe < iface->NumberOfPipes; ++pipe) {
            MapPipe(Extension, &iface->Pipes[pipe]);
        }
    }
}

} // namespace

// Dispatcher thread, PASSIVE_LEVEL: the "SetTargetConfiguration" work item. Selects
// configuration 0 with the first descriptor of each of its interfaces. The pipe tables stay NULL
// unless the selection succeeds.
NTSTATUS SetTargetConfiguration(PDEVICE_EXTENSION Extension, PVOID ConfigurationDescriptor) {
    ClearPipeTables(Extension);
    VELT_TRACE("VELTDRIVER : SetTargetConfiguration : %d selected\n", 0);
    // The descriptor read may have failed: there is nothing to select then.
    if (ConfigurationDescriptor == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    auto configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ConfigurationDescriptor);
    ULONG interfaceCount = configuration->bNumInterfaces;
    SIZE_T listSize = (interfaceCount + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        ExAllocatePoolWithTag(NonPagedPoolType, listSize, PoolTag("Vltc")));
    if (list == NULL) {
        VELT_ERROR("VELTDRIVER : SetTargetConfiguration : Failed to allocate mem for "
                   "interfacelistentry\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(list, listSize);

    ULONG found = 0;
    for (LONG number = 0; found < interfaceCount && number < INTERFACE_NUMBER_LIMIT; ++number) {
        PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(
            configuration, configuration, number, -1, -1, -1, -1);
        if (iface != NULL) {
            LogInterface(number, iface);
            list[found++].InterfaceDescriptor = iface;
        }
    }

    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    if (urb == NULL) {
        VELT_ERROR("VELTDRIVER : USBD_CreateConfigurationRequestEx failed\n");
        ExFreePool(list);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SubmitUrbSync(Extension, urb);
    if (!NT_SUCCESS(status)) {
        VELT_ERROR("VELTDRIVER : Failed to select an interface\n");
    } else {
        MapInterfaces(Extension, list);
        VELT_TRACE("\n\n");
    }
    ExFreePool(urb);
    ExFreePool(list);
    return status;
}
