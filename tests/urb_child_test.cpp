// The children's URB handling on a bench: descriptor-request length rules of both children,
// configuration selection, the gamepad child's class requests and the URB repeater.
#include "support/urb_bed.h"

#include "core/log.h"
#include "emulation/descriptors.h"
#include "emulation/urb_child.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

namespace {

using urbbed::ClassRequest;
using urbbed::DescriptorRequest;
using urbbed::Transfer;
using Bytes = std::vector<UCHAR>;

constexpr UCHAR kFill = 0xCC;
constexpr UCHAR kDevice = 1, kConfiguration = 2, kString = 3, kReport = 0x22;

// The controller's own descriptors, as the FDO would have read them.
UCHAR g_controllerDevice[18] = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0xA1,
                                0xF3, 0x2D, 0x5C, 0x00, 0x01, 0x01, 0x02, 0x03, 0x01};
UCHAR g_controllerString1[10] = {0x0A, 0x03, 'V', 0, 'e', 0, 'l', 0, 't', 0};
UCHAR g_controllerString2[8] = {0x08, 0x03, 'P', 0, 'a', 0, 'd', 0};

Bytes Of(const UCHAR* data, size_t length) {
    return Bytes(data, data + length);
}

Bytes Padded(Bytes bytes, size_t length) {
    bytes.resize(length, 0);
    return bytes;
}

class UrbChildTest : public urbbed::UrbBed {
  protected:
    void SetUp() override {
        UrbBed::SetUp();
        PDEVICE_EXTENSION fdo = Extension(fdo_);
        fdo->pDeviceDescriptor = g_controllerDevice;
        fdo->pStringDescriptor[0] = g_controllerString1;
        fdo->pStringDescriptor[1] = g_controllerString2;
        fdo->NumStringDescriptors = 2;
        fdo->MacAddress[0] = 0x11;
        fdo->MacAddress[5] = 0x66;
    }
    void TearDown() override {
        PDEVICE_EXTENSION fdo = Extension(fdo_);
        fdo->pDeviceDescriptor = nullptr;
        fdo->pStringDescriptor[0] = fdo->pStringDescriptor[1] = nullptr;
        fdo->NumStringDescriptors = 0;
        UrbBed::TearDown();
    }

    // Sends a descriptor request with a buffer full of kFill; returns the buffer's first
    // `length` bytes and the URB as it came back.
    Bytes Describe(PDEVICE_OBJECT child, USHORT function, UCHAR type, UCHAR index, ULONG length,
                   URB* back) {
        Bytes buffer(length + 16, kFill);
        URB urb = DescriptorRequest(function, type, index, buffer.data(), length);
        host::IrpResult result = Submit(child, &urb);
        EXPECT_EQ(STATUS_SUCCESS, result.status);
        EXPECT_EQ(0u, result.information);
        EXPECT_TRUE(std::all_of(buffer.begin() + length, buffer.end(), [](UCHAR b) {
            return b == kFill;
        })) << "written past TransferBufferLength";
        *back = urb;
        buffer.resize(length);
        return buffer;
    }
};

// The lengths each child's tables serve, with the exact answer for each: every other length is
// answered as a device answers it (below).
struct ServedLength {
    const char* name;
    ULONG kind;
    UCHAR type;
    UCHAR index;
    ULONG length;
    Bytes served;  // what the first bytes of the buffer hold
    bool reported; // TransferBufferLength comes back as the number of bytes served
};

// A descriptor as a child holds it, and the function that reads it.
struct DescriptorUnderTest {
    const char* name;
    ULONG kind;
    USHORT function;
    UCHAR type;
    UCHAR index;
    Bytes descriptor;
};

TEST_F(UrbChildTest, DescriptorRequestsOfEveryLengthAreAnsweredAsADeviceWould) {
    const Bytes gamepadDevice = Of(GamepadDeviceDescriptor, 18);
    const Bytes gamepadConfig = Of(GamepadConfigurationDescriptor, 41);
    const Bytes vendorConfig = Of(VendorConfigurationDescriptor, 41);
    const Bytes language = {0x04, 0x03, 0x09, 0x04};
    const Bytes manufacturer = Of(GamepadManufacturerString, 62);
    const Bytes product = Of(GamepadProductString, 40);
    const ServedLength served[] = {
        {"gamepad device 18", DEVICE_KIND_GAMEPAD, kDevice, 0, 18, gamepadDevice, true},
        {"gamepad config 9", DEVICE_KIND_GAMEPAD, kConfiguration, 0, 9,
         Bytes(gamepadConfig.begin(), gamepadConfig.begin() + 9), true},
        {"gamepad config 41", DEVICE_KIND_GAMEPAD, kConfiguration, 0, 41, gamepadConfig, true},
        {"gamepad languages 4", DEVICE_KIND_GAMEPAD, kString, 0, 4, language, true},
        // A longer language request gets the 4 bytes and keeps its length, as before.
        {"gamepad languages 9", DEVICE_KIND_GAMEPAD, kString, 0, 9, language, false},
        {"gamepad languages 255", DEVICE_KIND_GAMEPAD, kString, 0, 255, language, false},
        {"gamepad string 1 4", DEVICE_KIND_GAMEPAD, kString, 1, 4, {0x3E, 0x03, 0x53, 0x00}, true},
        {"gamepad string 1 62", DEVICE_KIND_GAMEPAD, kString, 1, 62, manufacturer, true},
        {"gamepad string 1 255", DEVICE_KIND_GAMEPAD, kString, 1, 255, Padded(manufacturer, 255),
         true},
        {"gamepad string 2 4", DEVICE_KIND_GAMEPAD, kString, 2, 4, {0x28, 0x03, 0x57, 0x00}, true},
        {"gamepad string 2 40", DEVICE_KIND_GAMEPAD, kString, 2, 40, product, true},
        {"gamepad string 2 255", DEVICE_KIND_GAMEPAD, kString, 2, 255, Padded(product, 255), true},
        {"vendor device 18", DEVICE_KIND_VENDOR, kDevice, 0, 18, Of(g_controllerDevice, 18), true},
        {"vendor config 9", DEVICE_KIND_VENDOR, kConfiguration, 0, 9,
         Bytes(vendorConfig.begin(), vendorConfig.begin() + 9), true},
        {"vendor config 41", DEVICE_KIND_VENDOR, kConfiguration, 0, 41, vendorConfig, true},
        // Any longer configuration request gets the 41 bytes and keeps its length, as before.
        {"vendor config 255", DEVICE_KIND_VENDOR, kConfiguration, 0, 255, vendorConfig, false},
        {"vendor languages 4", DEVICE_KIND_VENDOR, kString, 0, 4, language, true},
        {"vendor languages 9", DEVICE_KIND_VENDOR, kString, 0, 9, language, false},
        {"vendor languages 255", DEVICE_KIND_VENDOR, kString, 0, 255, language, false},
        {"vendor string 1 4", DEVICE_KIND_VENDOR, kString, 1, 4, Of(g_controllerString1, 4), true},
        {"vendor string 1 10", DEVICE_KIND_VENDOR, kString, 1, 10, Of(g_controllerString1, 10),
         true},
        {"vendor string 1 255", DEVICE_KIND_VENDOR, kString, 1, 255,
         Padded(Of(g_controllerString1, 10), 255), true},
        {"vendor string 2 4", DEVICE_KIND_VENDOR, kString, 2, 4, Of(g_controllerString2, 4), true},
        {"vendor string 2 8", DEVICE_KIND_VENDOR, kString, 2, 8, Of(g_controllerString2, 8), true},
        {"vendor string 2 9", DEVICE_KIND_VENDOR, kString, 2, 9,
         Padded(Of(g_controllerString2, 8), 9), true},
        {"vendor string 2 255", DEVICE_KIND_VENDOR, kString, 2, 255,
         Padded(Of(g_controllerString2, 8), 255), true},
    };
    const DescriptorUnderTest descriptors[] = {
        {"gamepad device", DEVICE_KIND_GAMEPAD, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kDevice, 0,
         gamepadDevice},
        {"gamepad config", DEVICE_KIND_GAMEPAD, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
         kConfiguration, 0, gamepadConfig},
        {"gamepad languages", DEVICE_KIND_GAMEPAD, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kString,
         0, language},
        {"gamepad string 1", DEVICE_KIND_GAMEPAD, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kString,
         1, manufacturer},
        {"gamepad string 2", DEVICE_KIND_GAMEPAD, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kString,
         2, product},
        {"gamepad report", DEVICE_KIND_GAMEPAD, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, kReport,
         0, Of(GamepadReportDescriptor, 507)},
        {"vendor device", DEVICE_KIND_VENDOR, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kDevice, 0,
         Of(g_controllerDevice, 18)},
        {"vendor config", DEVICE_KIND_VENDOR, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
         kConfiguration, 0, vendorConfig},
        {"vendor languages", DEVICE_KIND_VENDOR, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kString,
         0, language},
        {"vendor string 1", DEVICE_KIND_VENDOR, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kString, 1,
         Of(g_controllerString1, 10)},
        {"vendor string 2", DEVICE_KIND_VENDOR, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kString, 2,
         Of(g_controllerString2, 8)},
        {"vendor report", DEVICE_KIND_VENDOR, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, kReport,
         0, Of(VendorReportDescriptor, 102)},
    };
    for (const DescriptorUnderTest& d : descriptors) {
        const ULONG size = static_cast<ULONG>(d.descriptor.size());
        for (ULONG length : {0u, 2u, 4u, 9u, size - 1, size, 255u}) {
            SCOPED_TRACE(::testing::Message() << d.name << " " << length);
            Bytes expected;
            ULONG reported;
            const ServedLength* rule = nullptr;
            for (const ServedLength& s : served) {
                if (s.kind == d.kind && s.type == d.type && s.index == d.index &&
                    s.length == length) {
                    rule = &s;
                }
            }
            if (rule != nullptr) {
                expected = rule->served;
                reported = rule->reported ? static_cast<ULONG>(expected.size()) : length;
            } else if (d.type == kReport && length >= size) {
                expected = d.descriptor;
                reported = size;
            } else {
                // What a USB device sends: the first min(length, size) bytes, and says so.
                reported = std::min(length, size);
                expected = Bytes(d.descriptor.begin(), d.descriptor.begin() + reported);
            }
            URB back;
            Bytes buffer = Describe(d.kind == DEVICE_KIND_GAMEPAD ? gamepad_ : vendor_, d.function,
                                    d.type, d.index, length, &back);
            EXPECT_EQ(reported, back.UrbControlDescriptorRequest.TransferBufferLength);
            expected.resize(std::max<size_t>(expected.size(), length), kFill);
            EXPECT_EQ(Bytes(expected.begin(), expected.begin() + length), buffer);
        }
    }
    EXPECT_TRUE(busUrbs_.empty());
    // The refusals are still written to the log.
    EXPECT_THAT(Lines(), ::testing::Contains("VELTDRIVER PDO :  invalid length 255 "));
    EXPECT_THAT(Lines(), ::testing::Contains("VELTDRIVER PDO : invalid length 506 "));
    EXPECT_THAT(Lines(), ::testing::Contains("VELTDRIVER : XDO :  invalid length 40 "));
    EXPECT_THAT(Lines(), ::testing::Contains("VELTDRIVER : XDO : invalid length 101 "));
}

// Requests that no table answers: nothing is served, and TransferBufferLength says so.
TEST_F(UrbChildTest, DescriptorsAChildDoesNotHaveAreNotServed) {
    struct Case {
        const char* name;
        ULONG kind;
        USHORT function;
        UCHAR type;
        UCHAR index;
    } cases[] = {
        {"gamepad string 3", DEVICE_KIND_GAMEPAD, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kString,
         3},
        {"gamepad unknown type", DEVICE_KIND_GAMEPAD, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 7,
         0},
        {"vendor string 3 not obtained", DEVICE_KIND_VENDOR,
         URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kString, 3},
        {"vendor string 4", DEVICE_KIND_VENDOR, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kString,
         4},
        {"gamepad HID descriptor", DEVICE_KIND_GAMEPAD, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE,
         0x21, 0},
        {"vendor physical descriptor", DEVICE_KIND_VENDOR,
         URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x23, 0},
        {"gamepad interface type 0x30", DEVICE_KIND_GAMEPAD,
         URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x30, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        URB back;
        Bytes buffer = Describe(c.kind == DEVICE_KIND_GAMEPAD ? gamepad_ : vendor_, c.function,
                                c.type, c.index, 255, &back);
        EXPECT_EQ(0u, back.UrbControlDescriptorRequest.TransferBufferLength);
        EXPECT_EQ(Bytes(255, kFill), buffer);
    }
}

TEST_F(UrbChildTest, VendorChildServesNothingTheFdoDidNotObtain) {
    Extension(fdo_)->pDeviceDescriptor = nullptr;
    for (ULONG length : {18u, 64u}) {
        URB back;
        Bytes buffer =
            Describe(vendor_, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kDevice, 0, length, &back);
        EXPECT_EQ(Bytes(length, kFill), buffer);
        EXPECT_EQ(0u, back.UrbControlDescriptorRequest.TransferBufferLength);
    }
}

TEST_F(UrbChildTest, ReportDescriptorRequestsComeBackAsControlTransfers) {
    for (PDEVICE_OBJECT child : {gamepad_, vendor_}) {
        URB back;
        Describe(child, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, kReport, 0, 4096, &back);
        EXPECT_EQ(URB_FUNCTION_CONTROL_TRANSFER, back.UrbHeader.Function);
    }
}

// A buffer given only by an MDL is served through the MDL and never past its end, whatever
// TransferBufferLength claims; the buffer is exactly the MDL's size, so AddressSanitizer sees an
// overrun. No buffer at all: nothing is served.
TEST_F(UrbChildTest, BufferGivenOnlyByAnMdlIsServedWithinTheMdl) {
    const Bytes gamepadDevice = Of(GamepadDeviceDescriptor, 18);
    const Bytes language = {0x04, 0x03, 0x09, 0x04};
    struct Case {
        const char* name;
        USHORT function;
        UCHAR type;
        UCHAR index;
        ULONG mdlBytes; // 0: no buffer at all
        ULONG length;
        Bytes served;
    } cases[] = {
        {"device 18 of 18", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kDevice, 0, 18, 18,
         gamepadDevice},
        {"device 64 in 8", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kDevice, 0, 8, 64,
         Bytes(gamepadDevice.begin(), gamepadDevice.begin() + 8)},
        {"config 64 in 8", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kConfiguration, 0, 8, 64,
         Of(GamepadConfigurationDescriptor, 8)},
        {"languages 64 in 2", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kString, 0, 2, 64,
         Bytes(language.begin(), language.begin() + 2)},
        {"string 1 255 in 8", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kString, 1, 8, 255,
         Of(GamepadManufacturerString, 8)},
        {"report 4096 in 8", URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, kReport, 0, 8, 4096,
         Of(GamepadReportDescriptor, 8)},
        {"device without buffer", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kDevice, 0, 0, 18, {}},
        {"string without buffer", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, kString, 1, 0, 62, {}},
        {"report without buffer",
         URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE,
         kReport,
         0,
         0,
         507,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<UCHAR[]> buffer(c.mdlBytes ? new UCHAR[c.mdlBytes] : nullptr);
        PMDL mdl = nullptr;
        if (c.mdlBytes != 0) {
            memset(buffer.get(), kFill, c.mdlBytes);
            mdl = IoAllocateMdl(buffer.get(), c.mdlBytes, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(mdl);
        }
        URB urb = DescriptorRequest(c.function, c.type, c.index, nullptr, c.length);
        urb.UrbControlDescriptorRequest.TransferBufferMDL = mdl;
        EXPECT_EQ(STATUS_SUCCESS, Submit(gamepad_, &urb).status);
        EXPECT_EQ(c.served.size(), urb.UrbControlDescriptorRequest.TransferBufferLength);
        EXPECT_EQ(c.served, Bytes(buffer.get(), buffer.get() + c.served.size()));
        if (mdl != nullptr) {
            IoFreeMdl(mdl);
        }
    }

    // A class request's answer, 37 bytes, does not fit an 8-byte MDL: nothing is written.
    std::unique_ptr<UCHAR[]> feature(new UCHAR[8]);
    memset(feature.get(), kFill, 8);
    PMDL mdl = IoAllocateMdl(feature.get(), 8, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    URB urb = ClassRequest(0x01, 0x0302, 0, nullptr, 64);
    urb.UrbControlVendorClassRequest.TransferBufferMDL = mdl;
    EXPECT_EQ(STATUS_SUCCESS, Submit(gamepad_, &urb).status);
    EXPECT_EQ(8u, urb.UrbControlVendorClassRequest.TransferBufferLength);
    EXPECT_EQ(Bytes(8, kFill), Bytes(feature.get(), feature.get() + 8));
    IoFreeMdl(mdl);
}

// The hex dumps of a caller's buffer (an endpoint descriptor request, a control transfer, an OUT
// transfer, a repeated control transfer that comes back) show an MDL-only buffer only as far as
// the MDL reaches, whatever TransferBufferLength claims: 8 bytes, one dump line each.
TEST_F(UrbChildTest, HexDumpsNeverReadPastAnMdlOnlyBuffer) {
    constexpr ULONG MdlBytes = 8;
    constexpr ULONG Claimed = 64;
    auto controlTransfer = [] {
        URB urb{};
        urb.UrbControlTransfer.Hdr.Length = sizeof(struct _URB_CONTROL_TRANSFER);
        urb.UrbControlTransfer.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
        urb.UrbControlTransfer.TransferBufferLength = Claimed;
        return urb;
    };
    struct Case {
        const char* name;
        PDEVICE_OBJECT child;
        URB urb;
        size_t dumps; // dumps of the buffer that the request's road writes
    } cases[] = {
        {"endpoint descriptor", gamepad_,
         DescriptorRequest(URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, kDevice, 0, nullptr, Claimed),
         1},
        {"control transfer", gamepad_, controlTransfer(), 1},
        {"OUT transfer", vendor_, Transfer(false, nullptr, Claimed), 1},
        {"repeated control transfer", vendor_, ClassRequest(0x01, 0x0303, 0, nullptr, Claimed), 2},
    };
    // The controller's stack answers a class request as the control transfer it carried out.
    BusCompletes(STATUS_SUCCESS, [](PURB urb) {
        if (urb->UrbHeader.Function == URB_FUNCTION_CLASS_INTERFACE) {
            urb->UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
        }
    });
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<UCHAR[]> buffer(new UCHAR[MdlBytes]);
        memset(buffer.get(), kFill, MdlBytes);
        PMDL mdl = IoAllocateMdl(buffer.get(), MdlBytes, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
        // TransferBufferLength and TransferBufferMDL sit at the same offsets in every transfer.
        c.urb.UrbControlTransfer.TransferBufferMDL = mdl;
        host::ClearLog();
        EXPECT_EQ(STATUS_SUCCESS, Submit(c.child, &c.urb).status);
        std::vector<std::string> lines = Lines();
        size_t dumpLines = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.rfind("1:", 0) == 0;
        });
        EXPECT_EQ(c.dumps * ((MdlBytes + HEX_DUMP_BYTES_PER_LINE - 1) / HEX_DUMP_BYTES_PER_LINE),
                  dumpLines);
        IoFreeMdl(mdl);
    }
}

TEST_F(UrbChildTest, SelectConfigurationHandsOutTheEmulatedInterfaceAndPipes) {
    struct Case {
        PDEVICE_OBJECT child;
        const EMULATED_DEVICE* emulation;
    } cases[] = {{gamepad_, &GamepadEmulation}, {vendor_, &VendorEmulation}};
    for (const Case& c : cases) {
        alignas(URB) UCHAR storage[sizeof(URB) + 2 * sizeof(USBD_PIPE_INFORMATION)] = {};
        auto* urb = reinterpret_cast<PURB>(storage);
        urb->UrbHeader.Length =
            static_cast<USHORT>(FIELD_OFFSET(URB, UrbSelectConfiguration.Interface.Pipes) +
                                2 * sizeof(USBD_PIPE_INFORMATION));
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbSelectConfiguration.ConfigurationDescriptor =
            reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
                const_cast<UCHAR*>(c.emulation->ConfigurationDescriptor));
        urb->UrbSelectConfiguration.Interface.NumberOfPipes = 2;
        EXPECT_EQ(STATUS_SUCCESS, Submit(c.child, urb).status);
        EXPECT_EQ(c.emulation->DeviceHandle,
                  reinterpret_cast<ULONG_PTR>(urb->UrbHeader.UsbdDeviceHandle));
        EXPECT_EQ(c.emulation->ConfigurationHandle,
                  reinterpret_cast<ULONG_PTR>(urb->UrbSelectConfiguration.ConfigurationHandle));
        const USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
        EXPECT_EQ(0x03, info.Class);
        for (ULONG i = 0; i < 2; ++i) {
            const USBD_PIPE_INFORMATION& pipe = info.Pipes[i];
            EXPECT_EQ(c.emulation->Interface.Pipes[i].EndpointAddress, pipe.EndpointAddress);
            EXPECT_EQ(c.emulation->Interface.Pipes[i].PipeHandle,
                      reinterpret_cast<ULONG_PTR>(pipe.PipeHandle));
            EXPECT_EQ(64, pipe.MaximumPacketSize);
            EXPECT_EQ(0x20, pipe.Interval);
            EXPECT_EQ(UsbdPipeTypeInterrupt, pipe.PipeType);
            EXPECT_EQ(0x400000u, pipe.MaximumTransferSize);
        }
    }
    if (sizeof(void*) == 8) {
        EXPECT_EQ(0xFFFFFFFFFFFF0084ULL, GamepadEmulation.Interface.Pipes[0].PipeHandle);
    }
}

TEST_F(UrbChildTest, SelectConfigurationNeverWritesPastTheCallersRequest) {
    alignas(URB) UCHAR storage[sizeof(URB) + 2 * sizeof(USBD_PIPE_INFORMATION)];
    memset(storage, kFill, sizeof(storage));
    auto* urb = reinterpret_cast<PURB>(storage);
    SIZE_T onePipe =
        FIELD_OFFSET(URB, UrbSelectConfiguration.Interface.Pipes) + sizeof(USBD_PIPE_INFORMATION);
    urb->UrbHeader.Length = static_cast<USHORT>(onePipe);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
            const_cast<UCHAR*>(GamepadConfigurationDescriptor));
    EXPECT_EQ(STATUS_SUCCESS, Submit(gamepad_, urb).status);
    EXPECT_EQ(0x84, urb->UrbSelectConfiguration.Interface.Pipes[0].EndpointAddress);
    EXPECT_TRUE(std::all_of(storage + onePipe, storage + sizeof(storage),
                            [](UCHAR b) { return b == kFill; }));

    URB deconfigure{};
    deconfigure.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    deconfigure.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    EXPECT_EQ(STATUS_SUCCESS, Submit(gamepad_, &deconfigure).status);
    EXPECT_EQ(nullptr, deconfigure.UrbSelectConfiguration.ConfigurationHandle);
    EXPECT_THAT(Lines(), ::testing::Contains("VELTDRIVER PDO : URB_FUNCTION_SELECT_CONFIGURATION : "
                                             "  deconfigure "));
}

struct ClassCase {
    const char* name;
    UCHAR request;
    USHORT value;
    ULONG length;
    Bytes answer; // empty: buffer and length untouched
};

TEST_F(UrbChildTest, GamepadClassRequestsAnswerFixedReportsWhenTheBufferHoldsThem) {
    Bytes feature12 = {0x12, 0x11, 0, 0, 0, 0, 0x66, 0x08, 0x25, 0, 0, 0, 0, 0, 0, 0};
    Bytes feature13 = {0x13, 0xAC, 0x9E, 0x17, 0x94, 0x05, 0xB0};
    for (int i = 0; i < 16; ++i) {
        feature13.push_back(static_cast<UCHAR>(i * 0x11));
    }
    Bytes feature14 = Padded({0x14, 0x02}, 17);
    const ClassCase cases[] = {
        {"feature 0x02", 0x01, 0x0302, 37, {0x02, 0x0A, 0x00, 0x01, 0x00, 0xF0, 0xFF, 0xE7,
                                            0x22, 0x2D, 0xDD, 0xB5, 0x22, 0x4E, 0xDD, 0x99,
                                            0x22, 0x47, 0xDD, 0x1C, 0x02, 0x1C, 0x02, 0x7B,
                                            0x1F, 0x8F, 0xE0, 0x74, 0x20, 0x52, 0xE0, 0xA3,
                                            0x20, 0x82, 0xDF, 0x06, 0x00}},
        {"feature 0x12", 0x01, 0x0312, 64, feature12},
        {"feature 0x12 short", 0x01, 0x0312, 15, {}},
        {"feature 0x81", 0x01, 0x0381, 64, {}},
        {"input 0x01", 0x01, 0x0101, 64, {}},
        {"set feature 0x13", 0x09, 0x0313, 23, feature13},
        {"set feature 0x14", 0x09, 0x0314, 17, feature14},
        {"set feature 0x14 short", 0x09, 0x0314, 16, {}},
        {"set output 0x05", 0x09, 0x0205, 32, {}},
        {"set idle", 0x0A, 0x0000, 0, {}},
        {"set protocol", 0x0B, 0x0001, 0, {}},
    };
    for (const ClassCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes buffer(c.length, kFill);
        if (c.request == 0x09 && c.length > 1) {
            buffer[1] = 0x02;
        }
        Bytes before = buffer;
        URB urb = ClassRequest(c.request, c.value, 0, c.length ? buffer.data() : nullptr, c.length);
        host::IrpResult result = Submit(gamepad_, &urb);
        EXPECT_EQ(STATUS_SUCCESS, result.status);
        EXPECT_EQ(URB_FUNCTION_CONTROL_TRANSFER, urb.UrbHeader.Function);
        if (c.answer.empty()) {
            EXPECT_EQ(c.length, urb.UrbControlVendorClassRequest.TransferBufferLength);
            EXPECT_EQ(before, buffer);
        } else {
            EXPECT_EQ(c.answer.size(), urb.UrbControlVendorClassRequest.TransferBufferLength);
            EXPECT_EQ(c.answer, Bytes(buffer.begin(), buffer.begin() + c.answer.size()));
        }
    }
    EXPECT_TRUE(busUrbs_.empty()) << "the gamepad child answers its class requests itself";

    host::ClearLog();
    UCHAR a3[49] = {};
    URB urb = ClassRequest(0x01, 0x03A3, 0, a3, sizeof(a3));
    Submit(gamepad_, &urb);
    EXPECT_EQ("Aug  3 2013", std::string(reinterpret_cast<char*>(a3 + 1)));
    EXPECT_EQ("07:01:12", std::string(reinterpret_cast<char*>(a3 + 17)));
    std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(" ", lines[0]);
    EXPECT_EQ("VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : request 0x1", lines[1]);
    EXPECT_EQ("VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : HID_GET_REPORT :  report ID is "
              "0xA3  report type is 0x3   index is 0x0",
              lines[2]);
    EXPECT_EQ("VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : HID_GET_REPORT : FEATURE    "
              "report ID is 0xA3",
              lines[3]);
    EXPECT_EQ("1: A3 41 75 67 20 20 33 20 32 30 31 33 00 00 00 00 .Aug  3 2013....", lines[4]);
}

TEST_F(UrbChildTest, ClassRequestsAreTracedInEachChildsWording) {
    BusCompletes(STATUS_SUCCESS);
    const std::string pdo = "VELTDRIVER PDO : URB_FUNCTION_CLASS_INTERFACE : ";
    const std::string xdo = "VELTDRIVER : XDO : URB_FUNCTION_CLASS_INTERFACE : ";
    struct Case {
        bool gamepad;
        UCHAR request;
        USHORT value;
        std::string line;
    };
    const Case cases[] = {
        {true, 0x01, 0x0105, pdo + "HID_GET_REPORT : INPUT report ID is 0x5"},
        {true, 0x01, 0x0205, pdo + "HID_GET_REPORT : OUTPUT  report ID is 0x5"},
        {true, 0x02, 0x001A, pdo + "HID_GET_IDLE   report ID is 26"},
        {true, 0x03, 0x0000, pdo + "HID_GET_PROTOCOL  "},
        {true, 0x09, 0x011A, pdo + "HID_SET_REPORT : INPUT report ID is 26"},
        {true, 0x09, 0x021A, pdo + "HID_SET_REPORT : OUTPUT  report ID is 26"},
        {true, 0x09, 0x031A, pdo + "HID_SET_REPORT : FEATURED  report ID is 26"},
        {true, 0x0A, 0x7D1A, pdo + "HID_SET_IDLE report ID  26   duration 125 "},
        {true, 0x0B, 0x0001, pdo + "HID_SET_PROTOCOL protocol 1 "},
        {false, 0x01, 0x011A, xdo + "HID_GET_REPORT : INPUT report ID is 0x1A"},
        {false, 0x01, 0x021A, xdo + "HID_GET_REPORT : OUTPUT  report ID is 0x1A"},
        {false, 0x01, 0x031A, xdo + "HID_GET_REPORT : FEATURE    report ID is 0x1A"},
        {false, 0x02, 0x001A, xdo + "HID_GET_IDLE   report ID is 0x1A"},
        {false, 0x03, 0x0000, xdo + "HID_GET_PROTOCOL  "},
        {false, 0x09, 0x011A, xdo + "HID_SET_REPORT : INPUT report ID is 0x1A"},
        {false, 0x09, 0x021A, xdo + "HID_SET_REPORT : OUTPUT  report ID is 0x1A"},
        {false, 0x09, 0x031A, xdo + "HID_SET_REPORT : FEATURE  report ID is 0x1A"},
        {false, 0x0A, 0x7D1A, xdo + "HID_SET_IDLE report ID  26   duration 0x7D "},
        {false, 0x0B, 0x0001, xdo + "HID_SET_PROTOCOL protocol 0x1 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        host::ClearLog();
        UCHAR buffer[8] = {};
        URB urb = ClassRequest(c.request, c.value, 0, buffer, sizeof(buffer));
        EXPECT_EQ(STATUS_SUCCESS, Submit(c.gamepad ? gamepad_ : vendor_, &urb).status);
        EXPECT_THAT(Lines(), ::testing::Contains(c.line));
    }

    // A report type outside input, output and feature gets no line of its own.
    host::ClearLog();
    UCHAR buffer[8] = {};
    URB urb = ClassRequest(0x09, 0x041A, 0, buffer, sizeof(buffer));
    Submit(vendor_, &urb);
    for (const std::string& line : Lines()) {
        EXPECT_EQ(std::string::npos, line.find("HID_SET_REPORT")) << line;
    }
}

TEST_F(UrbChildTest, VendorClassRequestGoesToInterfaceThreeWithTheControllersAnswer) {
    BusCompletes(STATUS_SUCCESS, [](PURB urb) {
        auto* data = static_cast<PUCHAR>(urb->UrbControlVendorClassRequest.TransferBuffer);
        data[0] = 0x03;
        data[1] = 0x5A;
        urb->UrbControlVendorClassRequest.TransferBufferLength = 48;
    });
    UCHAR buffer[48] = {};
    URB urb = ClassRequest(0x01, 0x0303, 0, buffer, sizeof(buffer));
    host::IrpResult result = Submit(vendor_, &urb);
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(STATUS_PENDING, result.returned);
    ASSERT_EQ(1u, busUrbs_.size());
    EXPECT_EQ(URB_FUNCTION_CLASS_INTERFACE, busUrbs_[0].UrbHeader.Function);
    EXPECT_EQ(3, busUrbs_[0].UrbControlVendorClassRequest.Index);
    EXPECT_EQ(0x0303, busUrbs_[0].UrbControlVendorClassRequest.Value);
    EXPECT_EQ(3, urb.UrbControlVendorClassRequest.Index);
    EXPECT_EQ(0x5A, buffer[1]);
    EXPECT_THAT(Lines(), ::testing::Contains("VELTDRIVER : XDO : IOCTLRepeaterComplete : "
                                             "URB_FUNCTION_CLASS_INTERFACE : status is 0x0 "
                                             "STATUS_SUCCESS  length is 0x30"));

    BusCompletes(STATUS_UNSUCCESSFUL);
    URB failed = ClassRequest(0x09, 0x0303, 0, buffer, sizeof(buffer));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Submit(vendor_, &failed).status);
}

TEST_F(UrbChildTest, InputTransfersCarryTheFrameCounterOnTheGamepadChildOnly) {
    BusCompletes(STATUS_SUCCESS, [](PURB urb) {
        auto* data = static_cast<PUCHAR>(urb->UrbBulkOrInterruptTransfer.TransferBuffer);
        data[0] = 0x01;
        data[7] = 0x01;
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 64;
    });
    std::vector<int> seen;
    for (int i = 0; i < 65; ++i) {
        UCHAR report[64] = {};
        URB urb = Transfer(true, report, sizeof(report));
        urb.UrbBulkOrInterruptTransfer.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x1234);
        host::IrpResult result = Submit(gamepad_, &urb);
        ASSERT_EQ(STATUS_SUCCESS, result.status);
        seen.push_back(report[7] - 1);
        EXPECT_EQ(GamepadEmulation.Interface.Pipes[0].PipeHandle,
                  reinterpret_cast<ULONG_PTR>(urb.UrbBulkOrInterruptTransfer.PipeHandle));
    }
    for (const URB& sent : busUrbs_) {
        EXPECT_EQ(urbbed::kControllerInPipe, sent.UrbBulkOrInterruptTransfer.PipeHandle);
    }
    for (int i = 0; i < 65; ++i) {
        EXPECT_EQ((i % 63) * 4, seen[i]) << "completion " << i;
    }
    EXPECT_EQ(8, InputFrameCounter);

    UCHAR vendorReport[64] = {};
    URB vendorUrb = Transfer(true, vendorReport, sizeof(vendorReport));
    Submit(vendor_, &vendorUrb);
    EXPECT_EQ(0x01, vendorReport[7]);
    EXPECT_EQ(8, InputFrameCounter);
    EXPECT_EQ(VendorEmulation.Interface.Pipes[0].PipeHandle,
              reinterpret_cast<ULONG_PTR>(vendorUrb.UrbBulkOrInterruptTransfer.PipeHandle));
}

TEST_F(UrbChildTest, ShortInputTransferGetsNoFrameCounter) {
    BusCompletes(STATUS_SUCCESS,
                 [](PURB urb) { urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 4; });
    InputFrameCounter = 8;
    UCHAR buffer[8];
    memset(buffer, kFill, sizeof(buffer));
    URB urb = Transfer(true, buffer, 7);
    EXPECT_EQ(STATUS_SUCCESS, Submit(gamepad_, &urb).status);
    EXPECT_EQ(kFill, buffer[7]);
    EXPECT_EQ(12, InputFrameCounter);
}

TEST_F(UrbChildTest, OutputTransfersReachTheControllersOutPipeUnchanged) {
    for (PDEVICE_OBJECT child : {gamepad_, vendor_}) {
        busUrbs_.clear();
        Bytes sent;
        BusCompletes(STATUS_SUCCESS, [&sent](PURB urb) {
            auto* data = static_cast<PUCHAR>(urb->UrbBulkOrInterruptTransfer.TransferBuffer);
            sent.assign(data, data + urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
        });
        Bytes report(32);
        for (size_t i = 0; i < report.size(); ++i) {
            report[i] = static_cast<UCHAR>(i == 0 ? 0x05 : i * 3);
        }
        Bytes copy = report;
        URB urb = Transfer(false, report.data(), 32);
        EXPECT_EQ(STATUS_SUCCESS, Submit(child, &urb).status);
        ASSERT_EQ(1u, busUrbs_.size());
        EXPECT_EQ(urbbed::kControllerOutPipe, busUrbs_[0].UrbBulkOrInterruptTransfer.PipeHandle);
        EXPECT_EQ(copy, sent);
        EXPECT_EQ(copy, report);
        const EMULATED_DEVICE* emulation = child == gamepad_ ? &GamepadEmulation : &VendorEmulation;
        EXPECT_EQ(emulation->Interface.Pipes[1].PipeHandle,
                  reinterpret_cast<ULONG_PTR>(urb.UrbBulkOrInterruptTransfer.PipeHandle));
    }
    EXPECT_EQ(0, InputFrameCounter);
    EXPECT_THAT(Lines(), ::testing::Contains("VELTDRIVER : XDO : "
                                             "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER  write data "
                                             "length is 0x20"));
}

// A failure that the child turns into a report steps the frame counter like any report; one it
// passes on carries no data: TransferBufferLength 0, byte 7 untouched, the counter unmoved.
TEST_F(UrbChildTest, FailedTransfersReachTheChildAsTheRulesSay) {
    struct Case {
        NTSTATUS controller;
        NTSTATUS arrival;
        NTSTATUS child;
        ULONG length;
    } cases[] = {
        {STATUS_CANCELLED, STATUS_SUCCESS, STATUS_SUCCESS, 32},
        {STATUS_DEVICE_DATA_ERROR, STATUS_SUCCESS, STATUS_SUCCESS, 32},
        {STATUS_NO_SUCH_DEVICE, STATUS_SUCCESS, STATUS_NO_SUCH_DEVICE, 0},
        // The device or its FDO is going away: no fake report, whatever stack says so.
        {STATUS_DEVICE_NOT_CONNECTED, STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED, 0},
        {STATUS_DELETE_PENDING, STATUS_SUCCESS, STATUS_DELETE_PENDING, 0},
        {STATUS_UNSUCCESSFUL, STATUS_SUCCESS, STATUS_SUCCESS, 32},
        // Not supported below: the child's request keeps the status it arrived with.
        {STATUS_NOT_SUPPORTED, STATUS_SUCCESS, STATUS_SUCCESS, 64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.controller);
        BusCompletes(c.controller,
                     [](PURB urb) { urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 64; });
        InputFrameCounter = 8;
        UCHAR report[64] = {};
        URB urb = Transfer(true, report, sizeof(report));
        host::IrpResult result = Submit(gamepad_, &urb, c.arrival);
        EXPECT_EQ(c.child, result.status);
        EXPECT_EQ(0u, result.information);
        EXPECT_EQ(c.length, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
        const bool passedOn = !NT_SUCCESS(c.child);
        EXPECT_EQ(passedOn ? 0 : 8, report[7]);
        EXPECT_EQ(passedOn ? 8 : 12, InputFrameCounter);
    }
    EXPECT_THAT(Lines(), ::testing::Contains("VELTDRIVER PDO : IOCTLRepeaterComplete : "
                                             "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER : IN status "
                                             "is 0xC0000120 STATUS_CANCELLED  Length  is 0x40 "));
}

TEST_F(UrbChildTest, RepeaterWithoutAnIrpFailsTheRequestAndReleasesEverything) {
    host::FailNthCall(host::Alloc::Irp, 2); // the first is the bench's own request
    UCHAR report[64] = {};
    URB urb = Transfer(true, report, sizeof(report));
    host::IrpResult result = Submit(vendor_, &urb);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.status);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.returned);
    EXPECT_TRUE(busUrbs_.empty());
    // Nothing read, and the pipe handle the child handed out, not the controller's.
    EXPECT_EQ(0u, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(reinterpret_cast<USBD_PIPE_HANDLE>(
                  VendorProfile.Emulation->Interface.Pipes[EMULATED_IN_PIPE].PipeHandle),
              urb.UrbBulkOrInterruptTransfer.PipeHandle);
    EXPECT_EQ(1, Extension(vendor_)->RemoveLock.Common.IoCount);
    EXPECT_THAT(Lines(), ::testing::Contains(
                             "VELTDRIVER : XDO : IOCTLRepeatRequest : IoAllocateIrp failed "));
}

TEST_F(UrbChildTest, PendingTransferHoldsTheChildsRemoveLockUntilItComesBack) {
    PIRP held = nullptr;
    SetBus([&held](PIRP irp, PURB) {
        IoMarkIrpPending(irp);
        __atomic_store_n(&held, irp, __ATOMIC_SEQ_CST);
        return STATUS_PENDING;
    });
    UCHAR report[64] = {};
    URB urb = Transfer(true, report, sizeof(report));
    host::IrpResult result{};
    std::thread reader([&] { result = Submit(gamepad_, &urb); });
    while (__atomic_load_n(&held, __ATOMIC_SEQ_CST) == nullptr) {
        std::this_thread::yield();
    }
    EXPECT_EQ(2,
              __atomic_load_n(&Extension(gamepad_)->RemoveLock.Common.IoCount, __ATOMIC_SEQ_CST));
    {
        host::IrqlScope dispatch(DISPATCH_LEVEL);
        held->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        IofCompleteRequest(held, IO_NO_INCREMENT);
    }
    reader.join();
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, result.status);
    EXPECT_EQ(STATUS_PENDING, result.returned);
    EXPECT_EQ(1, Extension(gamepad_)->RemoveLock.Common.IoCount);
}

// The controller's stack completes a cancelled transfer with this status: as USB stacks do, or
// with another failure (the transfer failed as the cancel came).
NTSTATUS CancelledAtBus = STATUS_CANCELLED;

VOID NTAPI CancelAtBus(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = CancelledAtBus;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// Whatever failure the controller's stack reports for it, a transfer its caller cancelled comes
// back cancelled, with no data (never as a 32-byte report).
TEST_F(UrbChildTest, CancelledTransferIsCancelledAtTheControllerAndReportedAsCancelled) {
    for (auto [beforeSend, atBus] : {std::pair{false, STATUS_CANCELLED},
                                     {true, STATUS_CANCELLED},
                                     {false, STATUS_UNSUCCESSFUL}}) {
        SCOPED_TRACE(beforeSend ? "cancelled before it was repeated" : "cancelled while pending");
        SCOPED_TRACE(atBus);
        CancelledAtBus = atBus;
        std::atomic<PIRP> below{nullptr};
        SetBus([&below](PIRP irp, PURB) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelAtBus);
            if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
                CancelAtBus(nullptr, irp);
            }
            below = irp;
            return STATUS_PENDING;
        });
        UCHAR report[64] = {};
        URB urb = Transfer(true, report, sizeof(report));
        std::atomic<PIRP> childIrp{nullptr};
        host::IrpResult result{};
        std::thread reader([&] {
            result =
                host::SendIrp(gamepad_, STATUS_SUCCESS, [&](PIRP irp, PIO_STACK_LOCATION stack) {
                    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
                    stack->Parameters.Others.Argument1 = &urb;
                    irp->Cancel = beforeSend;
                    childIrp = irp;
                });
        });
        while (below.load() == nullptr) {
            std::this_thread::yield();
        }
        if (!beforeSend) {
            IoCancelIrp(childIrp.load());
        }
        reader.join();
        EXPECT_EQ(STATUS_CANCELLED, result.status);
        EXPECT_EQ(STATUS_PENDING, result.returned);
        EXPECT_EQ(USBD_STATUS_CANCELED, urb.UrbHeader.Status);
        EXPECT_EQ(0u, urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
        EXPECT_EQ(1, Extension(gamepad_)->RemoveLock.Common.IoCount);
    }
}

TEST_F(UrbChildTest, OtherControlCodesSucceedWithATraceLineAndNothingElse) {
    ULONG portStatus = 0xABCD;
    EXPECT_EQ(STATUS_SUCCESS, Control(gamepad_, 0x220013, &portStatus).status);
    EXPECT_EQ(0xABCDu, portStatus);
    EXPECT_EQ(STATUS_SUCCESS, Control(vendor_, 0x22001B).status);
    EXPECT_EQ(STATUS_SUCCESS, Control(gamepad_, IOCTL_HID_WRITE_REPORT).status);
    EXPECT_EQ(STATUS_SUCCESS, Control(gamepad_, 0x12345).status);
    URB abort{};
    abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    EXPECT_EQ(STATUS_SUCCESS, Submit(vendor_, &abort).status);
    // Only internal requests are served: an IRP_MJ_DEVICE_CONTROL's Argument1 is no URB.
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              Submit(vendor_, &abort, STATUS_SUCCESS, IRP_MJ_DEVICE_CONTROL).status);
    URB selectInterface{};
    selectInterface.UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    EXPECT_EQ(STATUS_NOT_SUPPORTED, Submit(gamepad_, &selectInterface).status);
    std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(
        "VELTDRIVER PDO : IOCTL_INTERNAL_USB_GET_PORT_STATUS   0x220013   0x0  STATUS_SUCCESS",
        lines[0]);
    EXPECT_EQ("VELTDRIVER : XDO :  OCTL_INTERNAL_USB_GET_HUB_COUNT   0x22001B   0x0  "
              "STATUS_SUCCESS",
              lines[1]);
    EXPECT_EQ("VELTDRIVER PDO :  IOCTL_HID_WRITE_REPORT 0 bytes id = 0 report buffer:", lines[2]);
    EXPECT_THAT(lines[3], ::testing::StartsWith("VELTDRIVER PDO : Default :  DeviceObject "));
    EXPECT_THAT(lines, ::testing::Contains("VELTDRIVER : XDO : URB_FUNCTION_ABORT_PIPE  "));
    EXPECT_THAT(lines, ::testing::Contains("VELTDRIVER : XDO : DeviceControl : not an internal "
                                           "request, IOCTLCODE 0x220003 refused "));
    EXPECT_THAT(lines, ::testing::Contains("VELTDRIVER PDO : URB_FUNCTION_SELECT_INTERFACE "
                                           "completing with STATUS_NOT_SUPPORTED"));
    EXPECT_TRUE(busUrbs_.empty());
}

class FdoRemovalTest : public urbbed::UrbBed {};

TEST_F(FdoRemovalTest, ChildIsDeletedOnlyAfterItsRepeatedTransferCameBack) {
    Extension(fdo_)->GamepadChild = gamepad_;
    Extension(fdo_)->VendorChild = vendor_;
    PIRP held = nullptr;
    int arrivals = 0;
    SetBus([&held, &arrivals](PIRP irp, PURB) {
        ++arrivals;
        IoMarkIrpPending(irp);
        __atomic_store_n(&held, irp, __ATOMIC_SEQ_CST);
        return STATUS_PENDING;
    });
    UCHAR report[64] = {};
    URB urb = Transfer(true, report, sizeof(report));
    std::thread reader([&] { Submit(gamepad_, &urb); });
    while (__atomic_load_n(&held, __ATOMIC_SEQ_CST) == nullptr) {
        std::this_thread::yield();
    }

    std::thread removal([this] {
        host::IrqlScope passive(PASSIVE_LEVEL);
        host::SendIrp(fdo_, STATUS_NOT_SUPPORTED, [](PIRP, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = IRP_MJ_PNP;
            stack->MinorFunction = IRP_MN_REMOVE_DEVICE;
        });
    });
    // The removal has taken the child's remove lock for itself and waits on it.
    while (!__atomic_load_n(&Extension(gamepad_)->RemoveLock.Common.Removed, __ATOMIC_SEQ_CST)) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(host::IsDeleted(gamepad_));
    UCHAR another[64] = {};
    URB late = Transfer(true, another, sizeof(another));
    EXPECT_EQ(STATUS_DELETE_PENDING, Submit(gamepad_, &late).status);
    {
        host::IrqlScope dispatch(DISPATCH_LEVEL);
        held->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        IofCompleteRequest(held, IO_NO_INCREMENT);
    }
    reader.join();
    removal.join();
    fdoRemoved_ = true;
    EXPECT_TRUE(host::IsDeleted(gamepad_));
    EXPECT_TRUE(host::IsDeleted(vendor_));
    EXPECT_EQ(1, arrivals) << "the late request never left the child";
}

} // namespace
