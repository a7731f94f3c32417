// The controller models veltsim can plug in, by the name the command line gives them.
#pragma once

#include "sim/usb/controller.h"

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

} // namespace veltsim
