// The controller models and the helpers that build their descriptors.
#include "controller.h"

#include <algorithm>

namespace sim::usb {

namespace {

void PutUshort(Bytes& bytes, USHORT value) {
    bytes.push_back(static_cast<UCHAR>(value & 0xFF));
    bytes.push_back(static_cast<UCHAR>(value >> 8));
}

constexpr UCHAR Interrupt = USB_ENDPOINT_TYPE_INTERRUPT;
constexpr UCHAR Bulk = USB_ENDPOINT_TYPE_BULK;
// Isochronous, adaptive.
constexpr UCHAR IsochronousAdaptive = 0x09;

ControllerModel WithConfiguration(ControllerModel model, Bytes configuration,
                                  std::map<UCHAR, Bytes> reports, UCHAR hidInterface) {
    model.configuration = std::move(configuration);
    model.reportDescriptors = std::move(reports);
    model.hidInterface = hidInterface;
    return model;
}

} // namespace

ConfigurationBuilder& ConfigurationBuilder::Interface(UCHAR number, UCHAR alternate,
                                                      UCHAR endpoints, UCHAR cls, UCHAR subclass,
                                                      UCHAR protocol) {
    body_.insert(body_.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls,
                               subclass, protocol, 0});
    if (std::find(interfaceNumbers_.begin(), interfaceNumbers_.end(), number) ==
        interfaceNumbers_.end()) {
        interfaceNumbers_.push_back(number);
    }
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::Endpoint(UCHAR address, UCHAR type, USHORT maxPacket,
                                                     UCHAR interval) {
    body_.insert(body_.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, type});
    PutUshort(body_, maxPacket);
    body_.push_back(interval);
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::AudioEndpoint(UCHAR address, UCHAR type,
                                                          USHORT maxPacket, UCHAR interval) {
    body_.insert(body_.end(), {9, USB_ENDPOINT_DESCRIPTOR_TYPE, address, type});
    PutUshort(body_, maxPacket);
    body_.insert(body_.end(), {interval, 0, 0});
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::Hid(USHORT reportLength) {
    body_.insert(body_.end(), {9, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22});
    PutUshort(body_, reportLength);
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::HidInterface(UCHAR number, USHORT reportLength,
                                                         std::initializer_list<UCHAR> endpoints) {
    Interface(number, 0, static_cast<UCHAR>(endpoints.size()), 3).Hid(reportLength);
    for (UCHAR address : endpoints) {
        Endpoint(address, Interrupt, 64, 4);
    }
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::Raw(const Bytes& descriptor) {
    body_.insert(body_.end(), descriptor.begin(), descriptor.end());
    return *this;
}

Bytes ConfigurationBuilder::Build(UCHAR attributes, UCHAR maxPower) const {
    Bytes bytes{9, USB_CONFIGURATION_DESCRIPTOR_TYPE};
    PutUshort(bytes, static_cast<USHORT>(9 + body_.size()));
    bytes.insert(bytes.end(),
                 {static_cast<UCHAR>(interfaceNumbers_.size()), 1, 0, attributes, maxPower});
    bytes.insert(bytes.end(), body_.begin(), body_.end());
    return bytes;
}

Bytes DeviceDescriptor(USHORT vendor, USHORT product, USHORT release, UCHAR manufacturer,
                       UCHAR productString, UCHAR serial) {
    Bytes bytes{18, USB_DEVICE_DESCRIPTOR_TYPE};
    PutUshort(bytes, 0x0200);
    bytes.insert(bytes.end(), {0x00, 0x00, 0x00, 64});
    PutUshort(bytes, vendor);
    PutUshort(bytes, product);
    PutUshort(bytes, release);
    bytes.insert(bytes.end(), {manufacturer, productString, serial, 1});
    return bytes;
}

Bytes StringDescriptor(const std::u16string& text) {
    Bytes bytes{static_cast<UCHAR>(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
    for (char16_t c : text) {
        PutUshort(bytes, static_cast<USHORT>(c));
    }
    return bytes;
}

Bytes DefaultReportDescriptor() {
    return {
        0x05, 0x01, 0x09, 0x05, 0xA1, 0x01,             // Generic Desktop, Game Pad, Application
        0x85, 0x01,                                     // Report ID 1
        0x09, 0x30, 0x09, 0x31, 0x09, 0x32, 0x09, 0x35, // X, Y, Z, Rz
        0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,
        0x06, 0x00, 0xFF, 0x09, 0x20, 0x95, 0x3B, 0x81, 0x02, // 59 vendor bytes: 64 with the ID
        0x85, 0x05, 0x09, 0x21, 0x95, 0x1F, 0x91, 0x02,       // output report 5: 32 bytes
        0x85, 0x80, 0x09, 0x22, 0x95, 0x3F, 0xB1, 0x02,       // feature report 0x80: 64 bytes
        0x85, 0x81, 0x09, 0x23, 0x95, 0x3F, 0xB1, 0x02,       // feature report 0x81: 64 bytes
        0xC0,
    };
}

Bytes PaddedReportDescriptor(size_t length) {
    Bytes bytes = DefaultReportDescriptor();
    bytes.pop_back(); // the end of the collection comes last again
    if ((length - bytes.size() - 1) % 2 != 0) {
        bytes.insert(bytes.end(), {0x0A, 0x01, 0x00}); // a 16-bit vendor usage
    }
    while (bytes.size() + 1 < length) {
        bytes.insert(bytes.end(), {0x09, 0x01});
    }
    bytes.push_back(0xC0);
    return bytes;
}

ControllerModel DefaultController() {
    ControllerModel model;
    model.name = "default";
    model.device = DeviceDescriptor(0xF3A1, 0x5C20, 0x0100, 1, 2, 3);
    Bytes report = DefaultReportDescriptor();
    ConfigurationBuilder config;
    config.Interface(0, 0, 0, 1, 1)
        .Raw({10, 0x24, 0x01, 0x00, 0x01, 0x1F, 0x00, 0x02, 0x01, 0x02}) // AC header
        .Raw({12, 0x24, 0x02, 0x01, 0x01, 0x01, 0x00, 0x02, 0x03, 0x00, 0x00, 0x00})
        .Raw({9, 0x24, 0x03, 0x02, 0x01, 0x03, 0x00, 0x01, 0x00});
    for (UCHAR streaming = 1; streaming <= 2; ++streaming) {
        UCHAR endpoint = streaming == 1 ? 0x01 : 0x82;
        config.Interface(streaming, 0, 0, 1, 2)
            .Interface(streaming, 1, 1, 1, 2)
            .Raw({7, 0x24, 0x01, static_cast<UCHAR>(streaming == 1 ? 1 : 2), 0x01, 0x01, 0x00})
            .Raw({11, 0x24, 0x02, 0x01, 0x02, 0x02, 0x10, 0x01, 0x80, 0xBB, 0x00})
            .AudioEndpoint(endpoint, IsochronousAdaptive, 0x00C4, 1)
            .Raw({7, 0x25, 0x01, 0x01, 0x00, 0x00, 0x00});
    }
    config.HidInterface(3, static_cast<USHORT>(report.size()), {0x84, 0x03});
    model.configuration = config.Build();
    model.reportDescriptors[3] = report;
    model.strings = {{1, u"Velt Devices"}, {2, u"Velt Game Controller"}, {3, u"VD0001"}};
    for (UCHAR id : {UCHAR{0x80}, UCHAR{0x81}}) {
        Bytes feature(64);
        feature[0] = id;
        for (size_t i = 1; i < feature.size(); ++i) {
            feature[i] = static_cast<UCHAR>(id + i);
        }
        model.featureReports[id] = feature;
    }
    model.hidInterface = 3;
    return model;
}

ControllerModel ControllerWith220ByteReportDescriptor() {
    ControllerModel model = DefaultController();
    model.name = "220-byte report descriptor";
    Bytes report = PaddedReportDescriptor(220);
    ConfigurationBuilder config;
    config.HidInterface(3, static_cast<USHORT>(report.size()), {0x84, 0x03});
    return WithConfiguration(model, config.Build(), {{3, report}}, 3);
}

ControllerModel ControllerWithoutStrings() {
    ControllerModel model = DefaultController();
    model.name = "no strings";
    model.hasStrings = false;
    model.strings.clear();
    model.device[14] = model.device[15] = model.device[16] = 0;
    return model;
}

ControllerModel ControllerWithStrings1And2() {
    ControllerModel model = DefaultController();
    model.name = "strings 1 and 2";
    model.strings.erase(3);
    model.device[16] = 0;
    return model;
}

ControllerModel ControllerWithChangingString(UCHAR index) {
    ControllerModel model = DefaultController();
    model.name = "changing string";
    std::u16string text = model.strings[index];
    model.describe = [index, text](UCHAR type, UCHAR which,
                                   unsigned read) -> std::optional<DescriptorAnswer> {
        if (type != USB_STRING_DESCRIPTOR_TYPE || which != index || read != 2) {
            return std::nullopt;
        }
        DescriptorAnswer answer;
        answer.bytes = StringDescriptor(text.substr(0, text.size() - 1));
        return answer;
    };
    return model;
}

ControllerModel ControllerWithInterfaces0And2() {
    ControllerModel model = DefaultController();
    model.name = "interfaces 0 and 2";
    Bytes report = DefaultReportDescriptor();
    ConfigurationBuilder config;
    auto length = static_cast<USHORT>(report.size());
    config.HidInterface(0, length, {0x81, 0x01}).HidInterface(2, length, {0x82});
    return WithConfiguration(model, config.Build(), {{0, report}, {2, report}}, 0);
}

ControllerModel ControllerWithTwoInterruptInPipes() {
    ControllerModel model = DefaultController();
    model.name = "two interrupt IN pipes";
    Bytes report = DefaultReportDescriptor();
    ConfigurationBuilder config;
    config.HidInterface(0, static_cast<USHORT>(report.size()), {0x81, 0x82, 0x02});
    return WithConfiguration(model, config.Build(), {{0, report}}, 0);
}

ControllerModel ControllerWithBulkEndpoints() {
    ControllerModel model = DefaultController();
    model.name = "bulk endpoints";
    Bytes report = DefaultReportDescriptor();
    ConfigurationBuilder config;
    config.HidInterface(0, static_cast<USHORT>(report.size()), {0x81, 0x01})
        .Interface(1, 0, 2, 0xFF)
        .Endpoint(0x86, Bulk, 512, 0)
        .Endpoint(0x07, Bulk, 512, 0);
    return WithConfiguration(model, config.Build(), {{0, report}}, 0);
}

ControllerModel ControllerWithSilentControlPipe() {
    ControllerModel model = DefaultController();
    model.name = "silent-control";
    model.controlNaks = true;
    return model;
}

ControllerModel ControllerNeverAnswering() {
    ControllerModel model = DefaultController();
    model.name = "never answers the address query";
    model.addressQuery.answers = false;
    return model;
}

ControllerModel ControllerWithPendingFirstRead() {
    ControllerModel model = DefaultController();
    model.name = "first address read stays pending";
    model.addressQuery.answerFrom = 2;
    return model;
}

} // namespace sim::usb
