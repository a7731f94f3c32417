#include "models.h"

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

} // namespace veltsim
