// The emulated descriptor sets against the rows they must match byte for byte, the report sizes
// that their HID descriptors imply, and the interface, pipes and handles of both children.
#include "emulation/descriptors.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<UCHAR> Hex(const std::vector<std::string>& rows) {
    std::vector<UCHAR> bytes;
    for (const std::string& row : rows) {
        std::istringstream in(row);
        std::string token;
        while (in >> token) {
            bytes.push_back(static_cast<UCHAR>(std::stoul(token, nullptr, 16)));
        }
    }
    return bytes;
}

std::vector<UCHAR> Bytes(const UCHAR* data, size_t length) {
    return std::vector<UCHAR>(data, data + length);
}

std::vector<UCHAR> Utf16Descriptor(const std::string& text) {
    std::vector<UCHAR> bytes{static_cast<UCHAR>(2 + 2 * text.size()), 0x03};
    for (char c : text) {
        bytes.push_back(static_cast<UCHAR>(c));
        bytes.push_back(0);
    }
    return bytes;
}

// Report sizes in bytes, ID included, by kind (0x80 input, 0x90 output, 0xB0 feature) and ID,
// from the short items of a report descriptor.
std::map<std::pair<UCHAR, UCHAR>, size_t> ReportSizes(const UCHAR* data, size_t length) {
    std::map<std::pair<UCHAR, UCHAR>, size_t> bits;
    ULONG reportSize = 0;
    ULONG reportCount = 0;
    UCHAR reportId = 0;
    for (size_t i = 0; i < length;) {
        UCHAR prefix = data[i];
        size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        ULONG value = 0;
        for (size_t b = 0; b < size; ++b) {
            value |= static_cast<ULONG>(data[i + 1 + b]) << (8 * b);
        }
        switch (prefix & 0xFC) {
        case 0x74:
            reportSize = value;
            break;
        case 0x94:
            reportCount = value;
            break;
        case 0x84:
            reportId = static_cast<UCHAR>(value);
            break;
        case 0x80:
        case 0x90:
        case 0xB0:
            bits[{static_cast<UCHAR>(prefix & 0xFC), reportId}] += reportSize * reportCount;
            break;
        }
        i += 1 + size;
    }
    std::map<std::pair<UCHAR, UCHAR>, size_t> bytes;
    for (const auto& entry : bits) {
        EXPECT_EQ(0u, entry.second % 8) << "report " << int(entry.first.second);
        bytes[entry.first] = 1 + entry.second / 8;
    }
    return bytes;
}

const std::vector<std::string> GamepadReportRows = {
    "05 01 09 05 A1 01 85 01 09 30 09 31 09 32 09 35", // 0
    "15 00 26 FF 00 75 08 95 04 81 02 09 39 15 00 25", // 16
    "07 35 00 46 3B 01 65 14 75 04 95 01 81 42 65 00", // 32
    "05 09 19 01 29 0E 15 00 25 01 75 01 95 0E 81 02", // 48
    "06 00 FF 09 20 75 06 95 01 15 00 25 7F 81 02 05", // 64
    "01 09 33 09 34 15 00 26 FF 00 75 08 95 02 81 02", // 80
    "06 00 FF 09 21 95 36 81 02 85 05 09 22 95 1F 91", // 96
    "02 85 04 09 23 95 24 B1 02 85 02 09 24 95 24 B1", // 112
    "02 85 08 09 25 95 03 B1 02 85 10 09 26 95 04 B1", // 128
    "02 85 11 09 27 95 02 B1 02 85 12 06 02 FF 09 21", // 144
    "95 0F B1 02 85 13 09 22 95 16 B1 02 85 14 06 05", // 160
    "FF 09 20 95 10 B1 02 85 15 09 21 95 2C B1 02 06", // 176
    "80 FF 85 80 09 20 95 06 B1 02 85 81 09 21 95 06", // 192
    "B1 02 85 82 09 22 95 05 B1 02 85 83 09 23 95 01", // 208
    "B1 02 85 84 09 24 95 04 B1 02 85 85 09 25 95 06", // 224
    "B1 02 85 86 09 26 95 06 B1 02 85 87 09 27 95 23", // 240
    "B1 02 85 88 09 28 95 3F B1 02 85 89 09 29 95 02", // 256
    "B1 02 85 90 09 30 95 05 B1 02 85 91 09 31 95 03", // 272
    "B1 02 85 92 09 32 95 03 B1 02 85 93 09 33 95 0C", // 288
    "B1 02 85 94 09 34 95 3F B1 02 85 A0 09 40 95 06", // 304
    "B1 02 85 A1 09 41 95 01 B1 02 85 A2 09 42 95 01", // 320
    "B1 02 85 A3 09 43 95 30 B1 02 85 A4 09 44 95 0D", // 336
    "B1 02 85 F0 09 47 95 3F B1 02 85 F1 09 48 95 3F", // 352
    "B1 02 85 F2 09 49 95 0F B1 02 85 A7 09 4A 95 01", // 368
    "B1 02 85 A8 09 4B 95 01 B1 02 85 A9 09 4C 95 08", // 384
    "B1 02 85 AA 09 4E 95 01 B1 02 85 AB 09 4F 95 39", // 400
    "B1 02 85 AC 09 50 95 39 B1 02 85 AD 09 51 95 0B", // 416
    "B1 02 85 AE 09 52 95 01 B1 02 85 AF 09 53 95 02", // 432
    "B1 02 85 B0 09 54 95 3F B1 02 85 E0 09 57 95 02", // 448
    "B1 02 85 B3 09 55 95 3F B1 02 85 B4 09 55 95 3F", // 464
    "B1 02 85 B5 09 56 95 3F B1 02 85 D0 09 58 95 3F", // 480
    "B1 02 85 D4 09 59 95 3F B1 02 C0",                // 496
};

const std::vector<std::string> VendorReportRows = {
    "06 00 FF 09 01 A1 01 15 00 26 FF 00 75 08 85 01", // 0
    "09 21 75 08 95 3F 81 02 85 05 09 22 95 1F 91 02", // 16
    "85 03 0A 21 27 95 2F B1 02 06 80 FF 85 E0 09 57", // 32
    "95 02 B1 02 85 D0 09 58 95 3F B1 02 85 D1 09 59", // 48
    "95 3F B1 02 85 D2 09 5A 95 0F B1 02 85 D3 0A 01", // 64
    "48 95 07 B1 02 85 FE 09 46 95 3F B1 02 85 FF 09", // 80
    "47 95 3F B1 02 C0",                               // 96
};

TEST(EmulatedDescriptors, GamepadDeviceDescriptorBytes) {
    EXPECT_EQ(Hex({"12 01 00 02 00 00 00 40 4C 05 CC 09 00 01 01 02 00 01"}),
              Bytes(GamepadDeviceDescriptor, sizeof GamepadDeviceDescriptor));
    EXPECT_EQ(&GamepadDeviceDescriptor[0], GamepadEmulation.DeviceDescriptor);
    EXPECT_EQ(nullptr, VendorEmulation.DeviceDescriptor) << "the controller's own is served";
}

TEST(EmulatedDescriptors, ConfigurationDescriptorBytes) {
    std::vector<UCHAR> gamepad = Hex({"09 02 29 00 01 01 00 C0 FA 09 04 00 00 02 03 00 00 00 09 21 "
                                      "11 01 00 01 22 FB 01 07 05 84 03 40 00 05 07 05 03 03 40 00 "
                                      "05"});
    std::vector<UCHAR> vendor = gamepad;
    vendor[25] = 0x66;
    vendor[26] = 0x00;
    vendor[29] = 0x85;
    vendor[36] = 0x04;
    EXPECT_EQ(gamepad, Bytes(GamepadConfigurationDescriptor, CONFIGURATION_DESCRIPTOR_LENGTH));
    EXPECT_EQ(vendor, Bytes(VendorConfigurationDescriptor, CONFIGURATION_DESCRIPTOR_LENGTH));
    EXPECT_EQ(&GamepadConfigurationDescriptor[0], GamepadEmulation.ConfigurationDescriptor);
    EXPECT_EQ(&VendorConfigurationDescriptor[0], VendorEmulation.ConfigurationDescriptor);
}

TEST(EmulatedDescriptors, GamepadStrings) {
    EXPECT_EQ(Utf16Descriptor("Sony Interactive Entertainment"),
              Bytes(GamepadManufacturerString, sizeof GamepadManufacturerString));
    EXPECT_EQ(Utf16Descriptor("Wireless Controller"),
              Bytes(GamepadProductString, sizeof GamepadProductString));
    EXPECT_EQ(62u, sizeof GamepadManufacturerString);
    EXPECT_EQ(40u, sizeof GamepadProductString);
    EXPECT_EQ(4u, LANGUAGE_LIST_LENGTH);
    EXPECT_EQ(0x0409, LANGUAGE_ID_ENGLISH_US);
}

TEST(EmulatedDescriptors, ReportDescriptorBytes) {
    EXPECT_EQ(Hex(GamepadReportRows),
              Bytes(GamepadReportDescriptor, sizeof GamepadReportDescriptor));
    EXPECT_EQ(Hex(VendorReportRows), Bytes(VendorReportDescriptor, sizeof VendorReportDescriptor));
    EXPECT_EQ(507u, GamepadEmulation.ReportDescriptorLength);
    EXPECT_EQ(102u, VendorEmulation.ReportDescriptorLength);
    EXPECT_EQ(&GamepadReportDescriptor[0], GamepadEmulation.ReportDescriptor);
    EXPECT_EQ(&VendorReportDescriptor[0], VendorEmulation.ReportDescriptor);
}

TEST(EmulatedDescriptors, ReportSizesMatchWhatTheChildrenServe) {
    auto gamepad = ReportSizes(GamepadReportDescriptor, sizeof GamepadReportDescriptor);
    EXPECT_EQ(64u, (gamepad[{0x80, 0x01}])) << "one interrupt packet, wMaxPacketSize";
    EXPECT_EQ(32u, (gamepad[{0x90, 0x05}]));
    const std::pair<UCHAR, size_t> features[] = {{0x02, 37}, {0x12, 16}, {0x13, 23},
                                                 {0x14, 17}, {0xA3, 49}, {0x04, 37},
                                                 {0x15, 45}, {0x88, 64}, {0xD4, 64}};
    for (const auto& feature : features) {
        EXPECT_EQ(feature.second, (gamepad[{0xB0, feature.first}])) << int(feature.first);
    }
    EXPECT_EQ(2u + 48u, gamepad.size()) << "input, output and 48 feature reports";

    auto vendor = ReportSizes(VendorReportDescriptor, sizeof VendorReportDescriptor);
    EXPECT_EQ(64u, (vendor[{0x80, 0x01}]));
    EXPECT_EQ(32u, (vendor[{0x90, 0x05}]));
    EXPECT_EQ(48u, (vendor[{0xB0, 0x03}]));
    EXPECT_EQ(8u, (vendor[{0xB0, 0xD3}]));
    EXPECT_EQ(2u + 8u, vendor.size());
}

TEST(EmulatedDescriptors, InterfaceAndPipes) {
    struct {
        const EMULATED_DEVICE* device;
        UCHAR in;
        UCHAR out;
    } cases[] = {{&GamepadEmulation, 0x84, 0x03}, {&VendorEmulation, 0x85, 0x04}};
    for (const auto& c : cases) {
        const EMULATED_INTERFACE& interface = c.device->Interface;
        EXPECT_EQ(0x03, interface.Class);
        EXPECT_EQ(0x00, interface.SubClass);
        EXPECT_EQ(0x00, interface.Protocol);
        EXPECT_EQ(c.in, interface.Pipes[EMULATED_IN_PIPE].EndpointAddress);
        EXPECT_EQ(c.out, interface.Pipes[EMULATED_OUT_PIPE].EndpointAddress);
        // The configuration descriptor names the same endpoints.
        EXPECT_EQ(c.in, c.device->ConfigurationDescriptor[CONFIG_IN_ENDPOINT_ADDRESS_OFFSET]);
        EXPECT_EQ(c.out, c.device->ConfigurationDescriptor[CONFIG_OUT_ENDPOINT_ADDRESS_OFFSET]);
        for (const EMULATED_PIPE& pipe : interface.Pipes) {
            EXPECT_EQ(64, pipe.MaximumPacketSize);
            EXPECT_EQ(0x20, pipe.Interval);
            EXPECT_EQ(3u, pipe.PipeType);
            EXPECT_EQ(0x400000u, pipe.MaximumTransferSize);
            EXPECT_EQ(0u, pipe.PipeFlags);
            EXPECT_EQ(pipe.EndpointAddress, pipe.PipeHandle & 0xFF);
        }
    }
}

TEST(EmulatedDescriptors, HandlesForThisPointerWidth) {
    struct Handles {
        ULONG_PTR device, configuration, interface, in, out;
    };
    const bool wide = sizeof(void*) == 8;
    Handles gamepad = wide ? Handles{static_cast<ULONG_PTR>(0xFFFFFFFFFFFF0001ULL),
                                     static_cast<ULONG_PTR>(0xFFFFFFFF00000001ULL),
                                     static_cast<ULONG_PTR>(0xFFFFFFFFFFFF0000ULL),
                                     static_cast<ULONG_PTR>(0xFFFFFFFFFFFF0084ULL),
                                     static_cast<ULONG_PTR>(0xFFFFFFFFFFFF0003ULL)}
                           : Handles{0xFFFFFF01, 0xFFFF0001, 0xFFFFFF00, 0xFFFFF084, 0xFFFFF003};
    Handles vendor = wide ? Handles{static_cast<ULONG_PTR>(0xFFFFFFFFFFFF0002ULL),
                                    static_cast<ULONG_PTR>(0xFFFFFFFF00000002ULL),
                                    static_cast<ULONG_PTR>(0xFFFFFFFFFFFE0000ULL),
                                    static_cast<ULONG_PTR>(0xFFFFFFFFFFFE0085ULL),
                                    static_cast<ULONG_PTR>(0xFFFFFFFFFFFE0004ULL)}
                          : Handles{0xFFFFFF02, 0xFFFF0002, 0xFFFFFE00, 0xFFFFE085, 0xFFFFE004};
    struct {
        const EMULATED_DEVICE* device;
        Handles expected;
    } cases[] = {{&GamepadEmulation, gamepad}, {&VendorEmulation, vendor}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected.device, c.device->DeviceHandle);
        EXPECT_EQ(c.expected.configuration, c.device->ConfigurationHandle);
        EXPECT_EQ(c.expected.interface, c.device->Interface.InterfaceHandle);
        EXPECT_EQ(c.expected.in, c.device->Interface.Pipes[EMULATED_IN_PIPE].PipeHandle);
        EXPECT_EQ(c.expected.out, c.device->Interface.Pipes[EMULATED_OUT_PIPE].PipeHandle);
    }
}

} // namespace
