// The pieces of veltsim's JSON summaries that the demo and stress share: the device tree, a
// child's descriptors and feature answers, the controller's output reports, pool and verifier.
// Each returns JSON text; tools/veltsim/summary.schema.json describes the whole.
#pragma once

#include <host/host.h>

#include "describe.h"
#include "sim/hid/hid_stack.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/controller.h"
#include "sim/usb/urb_engine.h"

#include <optional>
#include <string>
#include <vector>

namespace veltsim {

// The members that tell controller `index` of a run: "index", "serial_number" (null for none)
// and "address", its answer to the address query.
std::string JsonControllerIdentity(unsigned index, const sim::usb::ControllerModel& controller);

// Items already in JSON, as an array.
std::string JsonArray(const std::vector<std::string>& items);

// The path of a node under the registry's Enum key, by which Windows names a device instance.
std::u16string InstancePath(const sim::pnp::DeviceNode& node);

// A node and, nested in "children", the nodes below it: IDs, instance path, container ID,
// description (null for none), state, driver and stack (bottom first).
std::string JsonDeviceTree(const sim::pnp::PnpManager& pnp, const sim::pnp::DeviceNode& root,
                           PDRIVER_OBJECT driver);
// A child's device and configuration descriptors, strings, report descriptor length and report
// table, as its HID stack read them.
std::string JsonDescriptors(const sim::hid::HidDevice& hid);
// Feature requests and their answers: request, report ID, status and the data as hex.
std::string JsonFeatures(const std::vector<FeatureAnswer>& answers);
// A child's HID stack's counts, with "frame_counter_breaks" when the caller watched the gamepad's
// frame counter.
std::string JsonCounters(const sim::hid::HidCounters& counters,
                         std::optional<uint64_t> frameCounterBreaks);
// The members that tell a child both summaries share: "name", "hid_state", "reports" (input
// reports delivered), "stream" (its counts), "descriptors" and "features" (its answers).
std::string JsonChildMembers(const std::string& name, const sim::hid::HidDevice& hid,
                             const std::vector<FeatureAnswer>& features,
                             std::optional<uint64_t> frameCounterBreaks);
// OUT transfers a controller received, each its endpoint and its data as hex.
std::string JsonTransfers(const std::vector<sim::usb::TransferRecord>& transfers);
// "pool" (high water and what is outstanding, by tag) and "verifier" (its violations) members.
std::string JsonPoolAndVerifier(size_t highWater, const std::vector<host::PoolUsage>& leaks,
                                const std::vector<host::Violation>& violations);

} // namespace veltsim
