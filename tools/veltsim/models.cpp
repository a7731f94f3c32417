#include "models.h"

#include <cstdio>
#include <iterator>

namespace veltsim {

namespace {

const Model kModels[] = {
    {"default", sim::usb::DefaultController},
    {"220-byte-report-descriptor", sim::usb::ControllerWith220ByteReportDescriptor},
    {"no-strings", sim::usb::ControllerWithoutStrings},
    {"strings-1-and-2", sim::usb::ControllerWithStrings1And2},
    {"interfaces-0-and-2", sim::usb::ControllerWithInterfaces0And2},
    {"two-interrupt-in-pipes", sim::usb::ControllerWithTwoInterruptInPipes},
    {"bulk-endpoints", sim::usb::ControllerWithBulkEndpoints},
};

} // namespace

const Model* FindModel(const std::string& name) {
    for (const Model& model : kModels) {
        if (name == model.name) {
            return &model;
        }
    }
    return nullptr;
}

std::string ModelNames() {
    std::string names;
    for (const Model& model : kModels) {
        names += names.empty() ? "" : ", ";
        names += model.name;
    }
    return names;
}

sim::usb::ControllerModel NumberedController(const Model& model, unsigned index) {
    sim::usb::ControllerModel controller = model.make();
    UCHAR serialIndex = controller.device.size() > 16 ? controller.device[16] : 0;
    auto serial = controller.strings.find(serialIndex);
    if (index > 1 && serialIndex != 0 && serial != controller.strings.end()) {
        char text[16];
        std::snprintf(text, sizeof(text), "VD%04u", index);
        serial->second.assign(text, text + std::char_traits<char>::length(text));
    }
    controller.addressQuery.address[5] =
        static_cast<UCHAR>(controller.addressQuery.address[5] + index - 1);
    return controller;
}

sim::usb::DeviceIdentity NumberedIdentity(const sim::usb::ControllerModel& controller) {
    sim::usb::DeviceIdentity identity = sim::usb::DefaultControllerIdentity();
    UCHAR serialIndex = controller.device.size() > 16 ? controller.device[16] : 0;
    auto serial = controller.strings.find(serialIndex);
    identity.serialNumber =
        serialIndex != 0 && serial != controller.strings.end() ? serial->second : u"";
    return identity;
}

} // namespace veltsim
