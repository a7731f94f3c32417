// The emulated USB devices of the two children: their descriptor sets, the interface and pipes
// they report when their configuration is selected, and the handles they hand out. Constant data
// in USB wire format, shared by every device the driver serves; nothing writes it.
#pragma once

#include "../core/driver.h"

constexpr ULONG DEVICE_DESCRIPTOR_LENGTH = 18;
constexpr ULONG CONFIGURATION_DESCRIPTOR_LENGTH = 41;
// The first bytes of a configuration descriptor, on their own: the configuration header.
constexpr ULONG CONFIGURATION_HEADER_LENGTH = 9;
constexpr ULONG GAMEPAD_MANUFACTURER_STRING_LENGTH = 62;
constexpr ULONG GAMEPAD_PRODUCT_STRING_LENGTH = 40;
constexpr ULONG GAMEPAD_REPORT_DESCRIPTOR_LENGTH = 507;
constexpr ULONG VENDOR_REPORT_DESCRIPTOR_LENGTH = 102;

// String descriptor 0 is built in the reply, not stored: bLength 4, type 3, one LANGID.
constexpr ULONG LANGUAGE_LIST_LENGTH = 4;
constexpr UCHAR STRING_DESCRIPTOR_TYPE = 0x03;
constexpr USHORT LANGUAGE_ID_ENGLISH_US = 0x0409;

// Offsets inside a configuration descriptor of this layout (configuration, interface, HID,
// IN endpoint, OUT endpoint).
constexpr ULONG CONFIG_TOTAL_LENGTH_OFFSET = 2;
constexpr ULONG CONFIG_HID_REPORT_LENGTH_OFFSET = 25;
constexpr ULONG CONFIG_IN_ENDPOINT_ADDRESS_OFFSET = 29;
constexpr ULONG CONFIG_OUT_ENDPOINT_ADDRESS_OFFSET = 36;

extern const UCHAR GamepadDeviceDescriptor[DEVICE_DESCRIPTOR_LENGTH];
extern const UCHAR GamepadConfigurationDescriptor[CONFIGURATION_DESCRIPTOR_LENGTH];
extern const UCHAR VendorConfigurationDescriptor[CONFIGURATION_DESCRIPTOR_LENGTH];
extern const UCHAR GamepadManufacturerString[GAMEPAD_MANUFACTURER_STRING_LENGTH];
extern const UCHAR GamepadProductString[GAMEPAD_PRODUCT_STRING_LENGTH];
extern const UCHAR GamepadReportDescriptor[GAMEPAD_REPORT_DESCRIPTOR_LENGTH];
extern const UCHAR VendorReportDescriptor[VENDOR_REPORT_DESCRIPTOR_LENGTH];

// UsbdPipeTypeInterrupt, the only pipe type the children report.
constexpr ULONG EMULATED_PIPE_TYPE_INTERRUPT = 3;
constexpr USHORT EMULATED_MAX_PACKET_SIZE = 64;
// Deliberately not the endpoint descriptors' bInterval of 5.
constexpr UCHAR EMULATED_PIPE_INTERVAL = 0x20;
constexpr ULONG EMULATED_MAX_TRANSFER_SIZE = 0x400000;
constexpr ULONG EMULATED_PIPE_COUNT = 2;
constexpr ULONG EMULATED_IN_PIPE = 0;
constexpr ULONG EMULATED_OUT_PIPE = 1;

// Handles are opaque pointer-sized values: the 64-bit build uses the first, the 32-bit build the
// second. The children never look them up; a pipe handle's low byte is its endpoint address.
constexpr ULONG_PTR EmulatedHandle(ULONGLONG Wide, ULONG Narrow) {
    return sizeof(ULONG_PTR) == sizeof(ULONGLONG) ? static_cast<ULONG_PTR>(Wide)
                                                  : static_cast<ULONG_PTR>(Narrow);
}

typedef struct _EMULATED_PIPE {
    UCHAR EndpointAddress;
    USHORT MaximumPacketSize;
    UCHAR Interval;
    ULONG PipeType;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
    ULONG_PTR PipeHandle;
} EMULATED_PIPE;

typedef struct _EMULATED_INTERFACE {
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    ULONG_PTR InterfaceHandle;
    EMULATED_PIPE Pipes[EMULATED_PIPE_COUNT];
} EMULATED_INTERFACE;

// One child's emulated device. DeviceDescriptor is NULL for the vendor child, which serves the
// controller's own device descriptor and strings 1 to 3 from the FDO's copies.
typedef struct _EMULATED_DEVICE {
    const UCHAR* DeviceDescriptor;
    const UCHAR* ConfigurationDescriptor;
    const UCHAR* ReportDescriptor;
    ULONG ReportDescriptorLength;
    ULONG_PTR DeviceHandle;
    ULONG_PTR ConfigurationHandle;
    EMULATED_INTERFACE Interface;
} EMULATED_DEVICE;

extern const EMULATED_DEVICE GamepadEmulation;
extern const EMULATED_DEVICE VendorEmulation;
