// Reading an INF the way the PnP manager does to pick a driver: the models of every
// manufacturer for this platform, each with the service that the install section adds as the
// device's function driver and the security that its hardware section gives the device.
#pragma once

#include <ntddk.h>

#include <string>
#include <vector>

namespace sim::pnp {

struct InfModel {
    std::string id;             // hardware or compatible ID, as the INF writes it
    std::string description;    // strings expanded
    std::string installSection; // the decorated section that was chosen
    std::string service;        // the kernel service added as function driver, "" for none
    // The SDDL that the install section's .HW section writes to the device's hardware key as its
    // Security value (the PnP manager applies it to the device objects of the stack), "" for none.
    std::string security;
};

// The platform decoration of models and install sections: NTamd64 or NTx86.
std::string PlatformDecoration();

// Models of an INF's text for the given decoration, in file order.
std::vector<InfModel> ParseInfModels(const std::string& text,
                                     const std::string& decoration = PlatformDecoration());

// Reads a file; FALSE when it cannot be read.
bool ReadInfModels(const std::string& path, std::vector<InfModel>& models);

// What the PnP manager does with the model's Security value once the device's stack is built:
// every device object of the stack, from the PDO up, gets that descriptor ("Setting Device Object
// Properties in the Registry"). TRUE when there is none to apply; FALSE for SDDL the host cannot
// read, and nothing changes then.
bool ApplyDeviceSecurity(const InfModel& model, PDEVICE_OBJECT stackMember);

} // namespace sim::pnp
