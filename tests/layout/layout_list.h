// The structures whose layouts the driver relies on, as the USB and HID stacks and the I/O
// manager define them: sizes and field offsets, listed once for the probe that reads them off
// the DDK headers and for the test that holds the host's headers to them.
#pragma once

#define VELT_LAYOUT_LIST(SIZE, FIELD)                                                              \
    SIZE(URB)                                                                                      \
    SIZE(struct _URB_HEADER)                                                                       \
    FIELD(struct _URB_HEADER, Length)                                                              \
    FIELD(struct _URB_HEADER, Function)                                                            \
    FIELD(struct _URB_HEADER, Status)                                                              \
    FIELD(struct _URB_HEADER, UsbdDeviceHandle)                                                    \
    FIELD(struct _URB_HEADER, UsbdFlags)                                                           \
    SIZE(struct _URB_CONTROL_DESCRIPTOR_REQUEST)                                                   \
    FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength)                            \
    FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer)                                  \
    FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferMDL)                               \
    FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink)                                         \
    FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index)                                           \
    FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType)                                  \
    FIELD(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId)                                      \
    SIZE(struct _URB_SELECT_CONFIGURATION)                                                         \
    FIELD(struct _URB_SELECT_CONFIGURATION, ConfigurationDescriptor)                               \
    FIELD(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle)                                   \
    FIELD(struct _URB_SELECT_CONFIGURATION, Interface)                                             \
    SIZE(struct _URB_BULK_OR_INTERRUPT_TRANSFER)                                                   \
    FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle)                                      \
    FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags)                                   \
    FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength)                            \
    FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer)                                  \
    FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL)                               \
    FIELD(struct _URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink)                                         \
    SIZE(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)                                              \
    FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags)                              \
    FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength)                       \
    FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer)                             \
    FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferMDL)                          \
    FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits)                    \
    FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request)                                    \
    FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value)                                      \
    FIELD(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index)                                      \
    SIZE(struct _URB_PIPE_REQUEST)                                                                 \
    FIELD(struct _URB_PIPE_REQUEST, PipeHandle)                                                    \
    SIZE(struct _URB_CONTROL_TRANSFER)                                                             \
    FIELD(struct _URB_CONTROL_TRANSFER, PipeHandle)                                                \
    FIELD(struct _URB_CONTROL_TRANSFER, TransferFlags)                                             \
    FIELD(struct _URB_CONTROL_TRANSFER, TransferBufferLength)                                      \
    FIELD(struct _URB_CONTROL_TRANSFER, TransferBuffer)                                            \
    FIELD(struct _URB_CONTROL_TRANSFER, TransferBufferMDL)                                         \
    FIELD(struct _URB_CONTROL_TRANSFER, UrbLink)                                                   \
    FIELD(struct _URB_CONTROL_TRANSFER, SetupPacket)                                               \
    SIZE(USBD_INTERFACE_INFORMATION)                                                               \
    FIELD(USBD_INTERFACE_INFORMATION, Length)                                                      \
    FIELD(USBD_INTERFACE_INFORMATION, InterfaceNumber)                                             \
    FIELD(USBD_INTERFACE_INFORMATION, AlternateSetting)                                            \
    FIELD(USBD_INTERFACE_INFORMATION, Class)                                                       \
    FIELD(USBD_INTERFACE_INFORMATION, SubClass)                                                    \
    FIELD(USBD_INTERFACE_INFORMATION, Protocol)                                                    \
    FIELD(USBD_INTERFACE_INFORMATION, InterfaceHandle)                                             \
    FIELD(USBD_INTERFACE_INFORMATION, NumberOfPipes)                                               \
    FIELD(USBD_INTERFACE_INFORMATION, Pipes)                                                       \
    SIZE(USBD_PIPE_INFORMATION)                                                                    \
    FIELD(USBD_PIPE_INFORMATION, MaximumPacketSize)                                                \
    FIELD(USBD_PIPE_INFORMATION, EndpointAddress)                                                  \
    FIELD(USBD_PIPE_INFORMATION, Interval)                                                         \
    FIELD(USBD_PIPE_INFORMATION, PipeType)                                                         \
    FIELD(USBD_PIPE_INFORMATION, PipeHandle)                                                       \
    FIELD(USBD_PIPE_INFORMATION, MaximumTransferSize)                                              \
    FIELD(USBD_PIPE_INFORMATION, PipeFlags)                                                        \
    SIZE(USBD_INTERFACE_LIST_ENTRY)                                                                \
    FIELD(USBD_INTERFACE_LIST_ENTRY, InterfaceDescriptor)                                          \
    FIELD(USBD_INTERFACE_LIST_ENTRY, Interface)                                                    \
    SIZE(USB_DEVICE_DESCRIPTOR)                                                                    \
    FIELD(USB_DEVICE_DESCRIPTOR, idVendor)                                                         \
    FIELD(USB_DEVICE_DESCRIPTOR, bNumConfigurations)                                               \
    SIZE(USB_CONFIGURATION_DESCRIPTOR)                                                             \
    FIELD(USB_CONFIGURATION_DESCRIPTOR, wTotalLength)                                              \
    FIELD(USB_CONFIGURATION_DESCRIPTOR, MaxPower)                                                  \
    SIZE(USB_INTERFACE_DESCRIPTOR)                                                                 \
    SIZE(USB_ENDPOINT_DESCRIPTOR)                                                                  \
    FIELD(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize)                                                 \
    FIELD(USB_ENDPOINT_DESCRIPTOR, bInterval)                                                      \
    SIZE(IO_STACK_LOCATION)                                                                        \
    FIELD(IO_STACK_LOCATION, Parameters)                                                           \
    FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength)                        \
    FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength)                         \
    FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode)                             \
    FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer)                          \
    FIELD(IO_STACK_LOCATION, Parameters.Others.Argument1)                                          \
    FIELD(IO_STACK_LOCATION, Parameters.Others.Argument2)                                          \
    FIELD(IO_STACK_LOCATION, Parameters.Others.Argument3)                                          \
    FIELD(IO_STACK_LOCATION, Parameters.Others.Argument4)                                          \
    FIELD(IO_STACK_LOCATION, DeviceObject)                                                         \
    FIELD(IO_STACK_LOCATION, CompletionRoutine)                                                    \
    FIELD(IO_STACK_LOCATION, Context)                                                              \
    SIZE(HID_XFER_PACKET)                                                                          \
    FIELD(HID_XFER_PACKET, reportBuffer)                                                           \
    FIELD(HID_XFER_PACKET, reportBufferLen)                                                        \
    FIELD(HID_XFER_PACKET, reportId)                                                               \
    SIZE(HID_DEVICE_ATTRIBUTES)                                                                    \
    FIELD(HID_DEVICE_ATTRIBUTES, VendorID)                                                         \
    FIELD(HID_DEVICE_ATTRIBUTES, ProductID)
