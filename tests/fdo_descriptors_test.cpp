// Reading the controller's descriptors: the copies kept, the string rules, the walk over the
// configuration (whose content is untrusted) and the exact dump lines.
#include "fdo/fdo.h"
#include "sim/usb/controller.h"
#include "support/usb_stack.h"

#include <gmock/gmock.h>

#include <cstring>

using namespace sim::usb;
using namespace velt_test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

Bytes CopyOf(PVOID buffer, size_t length) {
    auto* bytes = static_cast<const UCHAR*>(buffer);
    return Bytes(bytes, bytes + length);
}

std::vector<std::string> Lines(std::initializer_list<const char*> texts) {
    return std::vector<std::string>(texts.begin(), texts.end());
}

void Append(std::vector<std::string>& to, const std::vector<std::string>& lines) {
    to.insert(to.end(), lines.begin(), lines.end());
}

std::vector<std::string> InterfaceDump(int number, int alternate, int endpoints, int cls,
                                       int subclass, const char* classText,
                                       const char* subclassText) {
    char buffer[128];
    std::vector<std::string> lines{"", "",
                                   "VELTDRIVER : I N T E R F A C E    D E S C R I P T O R:"};
    std::snprintf(buffer, sizeof buffer, "VELTDRIVER : bInterfaceNumber:     0x%02X", number);
    lines.push_back(buffer);
    std::snprintf(buffer, sizeof buffer, "VELTDRIVER : bAlternateSetting:    0x%02X", alternate);
    lines.push_back(buffer);
    std::snprintf(buffer, sizeof buffer, "VELTDRIVER : bNumEndpoints:        0x%02X", endpoints);
    lines.push_back(buffer);
    std::snprintf(buffer, sizeof buffer, "VELTDRIVER : bInterfaceClass:      0x%02X \t%s", cls,
                  classText);
    lines.push_back(buffer);
    std::snprintf(buffer, sizeof buffer, "VELTDRIVER : bInterfaceSubClass:   0x%02X", subclass);
    lines.push_back(buffer);
    if (subclassText != nullptr) {
        lines.push_back(std::string("VELTDRIVER :  ") + subclassText);
    }
    Append(lines, Lines({"VELTDRIVER : bInterfaceProtocol:   0x00",
                         "VELTDRIVER : iInterface:           0x00", " ", ""}));
    return lines;
}

// Every line GetDescriptorData writes for the default controller.
std::vector<std::string> DefaultControllerLog(PDEVICE_OBJECT fdo) {
    std::vector<std::string> log{"VELTDRIVER : GetDescriptorData, DevicePropertyHardwareID " +
                                 PointerText(fdo) + "  USB\\VID_F3A1&PID_5C20&REV_0100"};
    Append(log, Lines({"", "", "", "VELTDRIVER : S T R I N G    D E S C R I P T O R S:",
                       "VELTDRIVER : Velt Devices", "VELTDRIVER : Velt Game Controller",
                       "VELTDRIVER : VD0001"}));
    Append(log, Lines({"", "", "", "VELTDRIVER : D E V I C E    D E S C R I P T O R:",
                       "VELTDRIVER : bLength 18", "VELTDRIVER : bDescriptorType 1",
                       "VELTDRIVER : bcdUSB 0x200", "VELTDRIVER : bDeviceClass 0",
                       "VELTDRIVER : bDeviceSubClass 0", "VELTDRIVER : bDeviceProtocol 0",
                       "VELTDRIVER : bMaxPacketSize0 64", "VELTDRIVER : idVendor 0xF3A1",
                       "VELTDRIVER : idProduct 0x5C20", "VELTDRIVER : bcdDevice 0x100",
                       "VELTDRIVER : iManufacturer 1", "VELTDRIVER : iProduct 2",
                       "VELTDRIVER : iSerialNumber 3", "VELTDRIVER : bNumConfigurations 1"}));
    Append(
        log,
        Lines({"", "", "", "VELTDRIVER : C O F I G U R A T I O N    D E S C R I P T O R:",
               "VELTDRIVER : wTotalLength:       0x00B9", "VELTDRIVER : bNumInterfaces:       0x04",
               "VELTDRIVER : bConfigurationValue:  0x01", "VELTDRIVER : iConfiguration:       0x00",
               "VELTDRIVER : bmAttributes:         0xA0 ( Bus Powered  Remote Wakeup )",
               "VELTDRIVER : MaxPower:             0xFA (500 mA)", " ", ""}));
    Append(log, InterfaceDump(0, 0, 0, 1, 1, " (Audio)", " (Audio Control)"));
    Append(log, Lines({"VELTDRIVER : Audio Interface Descriptor ",
                       "VELTDRIVER : Audio Interface Descriptor ",
                       "VELTDRIVER : Audio Interface Descriptor "}));
    for (int streaming = 1; streaming <= 2; ++streaming) {
        Append(log, InterfaceDump(streaming, 0, 0, 1, 2, " (Audio)", " (Audio Streaming)"));
        Append(log, InterfaceDump(streaming, 1, 1, 1, 2, " (Audio)", " (Audio Streaming)"));
        // The 9-byte audio endpoint is passed over; its class-specific companion is not.
        Append(log, Lines({"VELTDRIVER : Audio Interface Descriptor ",
                           "VELTDRIVER : Audio Interface Descriptor ",
                           "VELTDRIVER : Audio Endpoint Descriptor "}));
    }
    Append(log, InterfaceDump(3, 0, 2, 3, 0, " (HID)", nullptr));
    Append(log, Lines({"", "", "VELTDRIVER : H I D  D E S C R I P T O R for interface 3:",
                       "VELTDRIVER : bLength:              0x0009",
                       "VELTDRIVER : bDescriptorType:      0x0021",
                       "VELTDRIVER : bcdHID:               0x0111",
                       "VELTDRIVER : bCountry:             0x0000",
                       "VELTDRIVER : bNumDescriptors:      0x0001", "", "",
                       "VELTDRIVER : R E P O R T   D E S C R I P T O R:",
                       "VELTDRIVER : bReportType:          0x0022",
                       "VELTDRIVER : wReportLength:        0x003D"}));
    Bytes report = DefaultReportDescriptor();
    char buffer[64];
    for (size_t i = 0; i + 1 < report.size(); i += 2) {
        std::snprintf(buffer, sizeof buffer, "VELTDRIVER :\t\t0x%04X\t\t0x%04X", report[i],
                      report[i + 1]);
        log.push_back(buffer);
    }
    std::snprintf(buffer, sizeof buffer, "VELTDRIVER :\t\t0x%04X", report.back());
    log.push_back(buffer);
    Append(log, Lines({"", ""}));
    Append(log, Lines({"", "", "VELTDRIVER : E N D P O I N T   D E S C R I P T O R:",
                       "VELTDRIVER : bEndpointAddress:     0x84  IN",
                       "VELTDRIVER : Transfer Type:   Interrupt",
                       "VELTDRIVER : wMaxPacketSize:     0x0040 (64) ",
                       "VELTDRIVER : bInterval:            0x04", "", ""}));
    Append(log, Lines({"", "", "VELTDRIVER : E N D P O I N T   D E S C R I P T O R:",
                       "VELTDRIVER : bEndpointAddress:     0x03  OUT",
                       "VELTDRIVER : Transfer Type:   Interrupt",
                       "VELTDRIVER : wMaxPacketSize:     0x0040 (64) ",
                       "VELTDRIVER : bInterval:            0x04", "", ""}));
    return log;
}

class DescriptorTest : public UsbStackTest {
  protected:
    NTSTATUS Read() {
        host::IrqlScope passive(PASSIVE_LEVEL);
        return GetDescriptorData(Extension());
    }
};

TEST_F(DescriptorTest, DefaultControllerCopiesAndExactDump) {
    UsbStack& stack = Plug(DefaultController());
    EXPECT_EQ(Read(), STATUS_SUCCESS);

    const ControllerModel& model = stack.Device().Model();
    PDEVICE_EXTENSION e = Extension();
    EXPECT_EQ(CopyOf(e->pDeviceDescriptor, 18), model.device);
    EXPECT_EQ(CopyOf(e->pConfigDescriptorHeader, 9),
              Bytes(model.configuration.begin(), model.configuration.begin() + 9));
    EXPECT_EQ(CopyOf(e->pConfigDescriptor, model.configuration.size()), model.configuration);
    ASSERT_EQ(e->NumStringDescriptors, 3u);
    const char16_t* texts[] = {u"Velt Devices", u"Velt Game Controller", u"VD0001"};
    for (int i = 0; i < 3; ++i) {
        std::u16string text(texts[i]);
        Bytes expected = StringDescriptor(text);
        expected.insert(expected.end(), {0, 0});
        EXPECT_EQ(CopyOf(e->pStringDescriptor[i], expected.size()), expected);
    }
    EXPECT_EQ(e->pStringDescriptor[3], nullptr);
    EXPECT_EQ(CopyOf(e->pReportDescriptor[3], 61), DefaultReportDescriptor());
    EXPECT_EQ(e->ReportDescriptorLength[3], 61u);
    EXPECT_EQ(e->SkipGetMac, 0u);
    EXPECT_THAT(PoolTagsOutstanding(),
                ElementsAre("Vlt2", "Vlt2", "Vlt2", "Vlt3", "Vlt4", "Vlt5", "rlup"));

    EXPECT_EQ(host::LogTexts(), DefaultControllerLog(stack.Fdo()));
    for (const host::LogLine& line : host::LogLines()) {
        EXPECT_EQ(line.component, 77u);
        EXPECT_EQ(line.level, 2u) << line.text;
    }
}

TEST_F(DescriptorTest, SecondRunReplacesTheCopies) {
    Plug(DefaultController());
    Read();
    size_t bytes = host::PoolBytesOutstanding();
    Read();
    EXPECT_EQ(host::PoolBytesOutstanding(), bytes);
    EXPECT_EQ(Extension()->NumStringDescriptors, 3u);
}

struct StringCase {
    const char* name;
    ControllerModel (*model)();
    ULONG count;
    std::vector<std::string> errors;
    UCHAR lastIndexRead;
};

ControllerModel ChangingString2() {
    return ControllerWithChangingString(2);
}

class StringRules : public DescriptorTest, public ::testing::WithParamInterface<StringCase> {};

TEST_P(StringRules, StringsStopAtTheFirstAbsentOrInconsistentIndex) {
    const StringCase& c = GetParam();
    UsbStack& stack = Plug(c.model());
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    PDEVICE_EXTENSION e = Extension();
    EXPECT_EQ(e->NumStringDescriptors, c.count);
    for (ULONG i = 0; i < MAX_STRING_DESCRIPTORS; ++i) {
        EXPECT_EQ(e->pStringDescriptor[i] != nullptr, i < c.count) << i;
    }
    std::vector<std::string> errors;
    for (const host::LogLine& line : host::LogLines()) {
        if (line.level == 0) {
            errors.push_back(line.text);
        }
    }
    EXPECT_EQ(errors, c.errors);
    EXPECT_EQ(stack.Device().DescriptorReads(USB_STRING_DESCRIPTOR_TYPE, c.lastIndexRead + 1), 0u);
    // The device and configuration descriptors are read whatever the strings did.
    EXPECT_NE(e->pDeviceDescriptor, nullptr);
    EXPECT_NE(e->pConfigDescriptor, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, StringRules,
    ::testing::Values(StringCase{"NoStrings", ControllerWithoutStrings, 0, {}, 0},
                      StringCase{"Strings1And2", ControllerWithStrings1And2, 2, {}, 3},
                      StringCase{
                          "SecondReadDiffers",
                          ChangingString2,
                          1,
                          {"VELTDRIVER : Different lengths for allocated 42 and Second call 40 for "
                           "string descriptor"},
                          2},
                      StringCase{"AllThree", DefaultController, 3, {}, 4}),
    [](const ::testing::TestParamInfo<StringCase>& info) { return info.param.name; });

TEST_F(DescriptorTest, NoStringHeadingWithoutStrings) {
    Plug(ControllerWithoutStrings());
    Read();
    EXPECT_THAT(host::LogTexts(),
                Not(Contains("VELTDRIVER : S T R I N G    D E S C R I P T O R S:")));
}

// ---- The walk
// ------------------------------------------------------------------------------------

// A model whose configuration is exactly `configuration`, with a report descriptor of `report`
// bytes for interfaces 0 and 1.
ControllerModel WithConfiguration(Bytes configuration) {
    ControllerModel model = DefaultController();
    model.configuration = std::move(configuration);
    model.reportDescriptors = {{0, Bytes(4, 0x11)}, {1, Bytes(4, 0x22)}};
    return model;
}

std::vector<std::string> WalkLines() {
    std::vector<std::string> walk =
        LogFrom("VELTDRIVER : C O F I G U R A T I O N    D E S C R I P T O R:");
    return walk;
}

TEST_F(DescriptorTest, HidDescriptorBeforeAnyInterfaceIsInterfaceZero) {
    Plug(WithConfiguration(ConfigurationBuilder().Hid(4).Interface(1, 0, 0, 3).Build()));
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_THAT(host::LogTexts(),
                Contains("VELTDRIVER : H I D  D E S C R I P T O R for interface 0:"));
    EXPECT_EQ(CopyOf(Extension()->pReportDescriptor[0], 4), Bytes(4, 0x11));
    EXPECT_EQ(Extension()->ReportDescriptorLength[0], 4u);
}

TEST_F(DescriptorTest, InterfaceFiveOrAboveFetchesNoReportDescriptor) {
    UsbStack& stack =
        Plug(WithConfiguration(ConfigurationBuilder().Interface(5, 0, 0, 3).Hid(4).Build()));
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_THAT(host::LogTexts(),
                Contains("VELTDRIVER : Exceeded maximum (5) numberof interfaces per device"));
    EXPECT_THAT(host::LogTexts(), Not(Contains("VELTDRIVER : R E P O R T   D E S C R I P T O R:")));
    EXPECT_EQ(stack.Device().DescriptorReads(0x22, 0), 0u);
}

TEST_F(DescriptorTest, FailedReportReadKeepsTheZeroedBufferAndTheWalkGoesOn) {
    ControllerModel model = WithConfiguration(
        ConfigurationBuilder().Interface(2, 0, 1, 3).Hid(6).Endpoint(0x81, 3, 8, 1).Build());
    Plug(model); // no report descriptor for interface 2: the device stalls
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(CopyOf(Extension()->pReportDescriptor[2], 6), Bytes(6, 0));
    EXPECT_EQ(Extension()->ReportDescriptorLength[2], 0u);
    EXPECT_THAT(host::LogTexts(),
                Contains("VELTDRIVER :\t\tURB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE failed with "
                         "STATUS_UNSUCCESSFUL"));
    EXPECT_THAT(host::LogTexts(), Contains("VELTDRIVER : bEndpointAddress:     0x81  IN"));
}

TEST_F(DescriptorTest, UnknownAndMislengthedDescriptors) {
    Bytes config = ConfigurationBuilder()
                       .Raw({3, 0x30, 0})                // unknown type
                       .Raw({8, 0x04, 0, 0, 0, 3, 0, 0}) // an interface of the wrong length
                       .Raw({6, 0x05, 0x81, 3, 8, 0})    // an endpoint of the wrong length
                       .Build();
    Plug(WithConfiguration(config));
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    std::vector<std::string> expected = {
        "VELTDRIVER : DisplayConfigDescAndGetReportDescriptopr :    Unknown descriptor type 48"};
    std::vector<std::string> walk = WalkLines();
    ASSERT_GE(walk.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(walk.begin() + 9, walk.end()), expected);
}

TEST_F(DescriptorTest, DescriptorRunningPastTheEndEndsTheWalk) {
    Bytes config = ConfigurationBuilder().Interface(0, 0, 0, 3).Raw({9, 0x30, 0, 0}).Build();
    Plug(WithConfiguration(config));
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(WalkLines().back(), "");
    EXPECT_THAT(host::LogTexts(),
                Not(Contains("VELTDRIVER : DisplayConfigDescAndGetReportDescriptopr :    Unknown "
                             "descriptor type 48")));
}

TEST_F(DescriptorTest, ZeroLengthDescriptorEndsTheWalk) {
    Bytes config = ConfigurationBuilder().Raw({0, 0x30, 0, 0}).Interface(0, 0, 0, 3).Hid(4).Build();
    UsbStack& stack = Plug(WithConfiguration(config));
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_THAT(host::LogTexts(),
                Not(Contains("VELTDRIVER : I N T E R F A C E    D E S C R I P T O R:")));
    EXPECT_EQ(stack.Device().DescriptorReads(0x22, 0), 0u);
}

TEST_F(DescriptorTest, ShortHidDescriptorIsNotReadPastItsEnd) {
    // A HID descriptor of six bytes, last in the configuration: no report length to read.
    Bytes config =
        ConfigurationBuilder().Interface(0, 0, 0, 3).Raw({6, 0x21, 0x11, 0x01, 0, 1}).Build();
    UsbStack& stack = Plug(WithConfiguration(config));
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(LogFrom("VELTDRIVER : H I D  D E S C R I P T O R for interface 0:"),
              Lines({"VELTDRIVER : H I D  D E S C R I P T O R for interface 0:",
                     "VELTDRIVER : bLength:              0x0006",
                     "VELTDRIVER : bDescriptorType:      0x0021",
                     "VELTDRIVER : bcdHID:               0x0111",
                     "VELTDRIVER : bCountry:             0x0000",
                     "VELTDRIVER : bNumDescriptors:      0x0001", "", ""}));
    EXPECT_EQ(stack.Device().DescriptorReads(0x22, 0), 0u);
    EXPECT_EQ(Extension()->pReportDescriptor[0], nullptr);
}

TEST_F(DescriptorTest, ReportDescriptorOf220BytesSetsSkipGetMac) {
    Plug(ControllerWith220ByteReportDescriptor());
    Read();
    EXPECT_EQ(Extension()->SkipGetMac, 1u);
    EXPECT_EQ(Extension()->ReportDescriptorLength[3], 220u);
}

TEST_F(DescriptorTest, ReportDescriptorThatCannotBeAllocatedSkipsTheInterface) {
    UsbStack& stack = Plug(DefaultController());
    // Three strings, the device descriptor and the two configuration buffers come first.
    host::FailNthCall(host::Alloc::Pool, 7);
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->pReportDescriptor[3], nullptr);
    EXPECT_EQ(stack.Device().DescriptorReads(0x22, 0), 0u);
    EXPECT_THAT(host::LogTexts(), Contains("VELTDRIVER : bEndpointAddress:     0x03  OUT"));
}

// ---- Configuration content the device gets wrong -----------------------------------------------

TEST_F(DescriptorTest, SecondTotalLengthBeyondTheFirstIsNotFollowed) {
    ControllerModel model = DefaultController();
    Bytes inflated = model.configuration;
    inflated[2] = static_cast<UCHAR>(inflated.size() + 64);
    model.describe = [inflated](UCHAR type, UCHAR,
                                unsigned read) -> std::optional<DescriptorAnswer> {
        if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && read == 2) {
            return DescriptorAnswer{inflated, std::nullopt, STATUS_SUCCESS};
        }
        return std::nullopt;
    };
    UsbStack& stack = Plug(model);
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    auto* copy = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Extension()->pConfigDescriptor);
    EXPECT_EQ(copy->wTotalLength, 0xB9);
    EXPECT_EQ(host::LogTexts(), DefaultControllerLog(stack.Fdo()));
}

TEST_F(DescriptorTest, BytesBeyondWhatWasReceivedAreNotWalked) {
    ControllerModel model = DefaultController();
    Bytes config = model.configuration;
    size_t received = config.size() - 14; // the two HID endpoints do not arrive
    Bytes stale(config.begin(), config.begin() + received);
    while (stale.size() < config.size()) {
        stale.insert(stale.end(), {2, 0x30});
    }
    model.describe = [stale, received](UCHAR type, UCHAR,
                                       unsigned read) -> std::optional<DescriptorAnswer> {
        if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && read == 2) {
            return DescriptorAnswer{stale, static_cast<ULONG>(received), STATUS_SUCCESS};
        }
        return std::nullopt;
    };
    Plug(model);
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_THAT(host::LogTexts(),
                Not(Contains("VELTDRIVER : DisplayConfigDescAndGetReportDescriptopr :    Unknown "
                             "descriptor type 48")));
    EXPECT_THAT(host::LogTexts(),
                Not(Contains("VELTDRIVER : E N D P O I N T   D E S C R I P T O R:")));
    auto* copy = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Extension()->pConfigDescriptor);
    EXPECT_EQ(copy->wTotalLength, received);
}

TEST_F(DescriptorTest, HeaderWithTotalLengthBelowNineIsAFailedRead) {
    ControllerModel model = DefaultController();
    model.describe = [](UCHAR type, UCHAR, unsigned read) -> std::optional<DescriptorAnswer> {
        if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && read == 1) {
            return DescriptorAnswer{
                {9, 2, 4, 0, 1, 1, 0, 0xA0, 0xFA}, std::nullopt, STATUS_SUCCESS};
        }
        return std::nullopt;
    };
    UsbStack& stack = Plug(model);
    EXPECT_EQ(Read(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(host::LogTexts().back(), "VELTDRIVER : Failed to read configuration descriptor");
    EXPECT_EQ(Extension()->pConfigDescriptor, nullptr);
    EXPECT_EQ(stack.Device().DescriptorReads(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0), 1u);
}

TEST_F(DescriptorTest, FailedReadsEndTheRunWithTheirStatus) {
    struct Case {
        UCHAR type;
        unsigned read;
        const char* line;
        bool configurationKept;
    } cases[] = {
        {USB_DEVICE_DESCRIPTOR_TYPE, 1, "VELTDRIVER : Failed to read device descriptor", false},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 1,
         "VELTDRIVER : Failed to read configuration descriptor", false},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 2,
         "VELTDRIVER : Failed to read configuration descriptor 1", false},
    };
    for (const Case& c : cases) {
        ControllerModel model = DefaultController();
        model.describe = [c](UCHAR type, UCHAR, unsigned read) -> std::optional<DescriptorAnswer> {
            if (type == c.type && read == c.read) {
                return DescriptorAnswer{{}, std::nullopt, STATUS_DEVICE_DATA_ERROR};
            }
            return std::nullopt;
        };
        Plug(model);
        EXPECT_EQ(Read(), STATUS_DEVICE_DATA_ERROR) << c.line;
        EXPECT_EQ(host::LogTexts().back(), c.line);
        EXPECT_EQ(Extension()->pConfigDescriptor != nullptr, c.configurationKept) << c.line;
        EXPECT_EQ(Extension()->NumStringDescriptors, 3u);
        stack_.reset();
    }
}

// ---- The hardware ID line
// ------------------------------------------------------------------------

TEST_F(DescriptorTest, HardwareIdIsTerminatedWhateverThePropertyHolds) {
    struct Case {
        std::u16string ids;
        std::string logged;
    } cases[] = {
        {u"", ""},                                          // no property at all
        {std::u16string(128, u'A'), std::string(127, 'A')}, // fills the buffer unterminated
    };
    for (const Case& c : cases) {
        stack_ = std::make_unique<UsbStack>(DefaultController(), u"");
        if (!c.ids.empty()) {
            std::vector<UCHAR> raw;
            for (char16_t ch : c.ids) {
                raw.push_back(static_cast<UCHAR>(ch));
                raw.push_back(0);
            }
            host::SetDeviceProperty(stack_->Pdo(), DevicePropertyHardwareID, raw);
        }
        host::ClearLog();
        Read();
        EXPECT_EQ(host::LogTexts().front(),
                  "VELTDRIVER : GetDescriptorData, DevicePropertyHardwareID " +
                      PointerText(stack_->Fdo()) + "  " + c.logged);
        stack_.reset();
    }
}

} // namespace
