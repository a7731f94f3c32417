// The controller models veltsim can plug in, by the name the command line gives them.
#pragma once

#include "sim/usb/controller.h"
#include "sim/usb/hub_pdo.h"

#include <string>

namespace veltsim {

struct Model {
    const char* name;
    sim::usb::ControllerModel (*make)();
};

// NULL when no model has that name.
const Model* FindModel(const std::string& name);
// Every name, comma-separated, for messages.
std::string ModelNames();

// The most controllers a run plugs at once: a hub's worth, as the bench runs.
constexpr unsigned kMaxControllers = 16;

// Controller `index` (1 to kMaxControllers) of a run: the model with its own serial number and its
// own address answer, so that N controllers of one model are N devices to the system. Controller
// 1 is the model as it is.
sim::usb::ControllerModel NumberedController(const Model& model, unsigned index);
// What the hub reports for it: the default identity with its serial number (none when the model
// has no serial string).
sim::usb::DeviceIdentity NumberedIdentity(const sim::usb::ControllerModel& controller);

} // namespace veltsim
