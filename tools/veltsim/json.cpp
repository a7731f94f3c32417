#include "json.h"

#include "console.h"
#include "models.h"

#include "core/log.h"
#include "sim/hid/report_descriptor.h"

namespace veltsim {

namespace {

std::string JsonText(const std::u16string& text) {
    return JsonString(Narrow(text));
}

std::string JsonIds(const std::vector<std::u16string>& ids) {
    std::vector<std::string> items;
    for (const std::u16string& id : ids) {
        items.push_back(JsonText(id));
    }
    return JsonArray(items);
}

// Bytes as one lowercase hex string, two digits a byte ("" for none).
std::string JsonHex(const sim::hid::Bytes& bytes) {
    std::string out = "\"";
    for (uint8_t byte : bytes) {
        out += Format("%02x", byte);
    }
    return out + "\"";
}

// A status by its name, or in hex when the driver's table does not name it.
std::string JsonStatus(NTSTATUS status) {
    std::string name = StatusName(status);
    return JsonString(
        name.rfind("STATUS_", 0) == 0 ? name : Format("0x%08X", static_cast<unsigned>(status)));
}

} // namespace

std::string JsonControllerIdentity(unsigned index, const sim::usb::ControllerModel& controller) {
    std::u16string serial = NumberedIdentity(controller).serialNumber;
    return Format("\"index\": %u, \"serial_number\": ", index) +
           (serial.empty() ? "null" : JsonText(serial)) + ", \"address\": " +
           JsonHex(sim::hid::Bytes(controller.addressQuery.address.begin(),
                                   controller.addressQuery.address.end()));
}

std::string JsonArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "" : ", ") + items[i];
    }
    return out + "]";
}

// The instance path the PnP manager formed for the node, as Windows forms it.
std::u16string InstancePath(const sim::pnp::DeviceNode& node) {
    return node.instancePath;
}

std::string JsonDeviceTree(const sim::pnp::PnpManager& pnp, const sim::pnp::DeviceNode& root,
                           PDRIVER_OBJECT driver) {
    std::vector<std::string> stack;
    for (const std::string& name : StackNames(root, driver)) {
        stack.push_back(JsonString(name));
    }
    std::vector<std::string> children;
    for (const sim::pnp::DeviceNode& child : pnp.Children(root.pdo)) {
        children.push_back(JsonDeviceTree(pnp, child, driver));
    }
    return "{\"device_id\": " + JsonText(root.deviceId) +
           ", \"hardware_ids\": " + JsonIds(root.hardwareIds) +
           ", \"compatible_ids\": " + JsonIds(root.compatibleIds) +
           ", \"instance_id\": " + JsonText(root.instanceId) +
           ", \"instance_path\": " + JsonText(InstancePath(root)) +
           ", \"container_id\": " + JsonText(root.containerId) + ", \"description\": " +
           (root.description.empty() ? "null" : JsonText(root.description)) +
           ", \"state\": " + JsonString(sim::pnp::NodeStateName(root.state)) +
           ", \"driver\": " + (root.service.empty() ? "null" : JsonString(root.service)) +
           ", \"stack\": " + JsonArray(stack) + ", \"children\": " + JsonArray(children) + "}";
}

std::string JsonDescriptors(const sim::hid::HidDevice& hid) {
    std::vector<std::string> reports;
    for (sim::hid::ReportKind kind : {sim::hid::ReportKind::Input, sim::hid::ReportKind::Output,
                                      sim::hid::ReportKind::Feature}) {
        for (const sim::hid::Report& report : hid.Reports().Of(kind)) {
            reports.push_back(Format("{\"id\": %u, \"kind\": %s, \"bytes\": %zu}", report.id,
                                     JsonString(sim::hid::ReportKindName(kind)).c_str(),
                                     report.ByteLength()));
        }
    }
    auto string = [](const std::u16string& text) {
        return text.empty() ? std::string("null") : JsonText(text);
    };
    return "{\"device\": " + JsonHex(hid.DeviceDescriptor()) +
           Format(", \"vendor_id\": %u, \"product_id\": %u", hid.VendorId(), hid.ProductId()) +
           ", \"configuration\": " + JsonHex(hid.ConfigurationDescriptor()) +
           ", \"hid\": " + JsonHex(hid.HidDescriptor()) +
           ", \"strings\": {\"manufacturer\": " + string(hid.Manufacturer()) +
           ", \"product\": " + string(hid.Product()) +
           ", \"serial_number\": " + string(hid.SerialNumber()) + "}" +
           Format(", \"report_descriptor_length\": %zu", hid.ReportDescriptor().size()) +
           ", \"reports\": " + JsonArray(reports) + "}";
}

std::string JsonFeatures(const std::vector<FeatureAnswer>& answers) {
    std::vector<std::string> items;
    for (const FeatureAnswer& answer : answers) {
        items.push_back(Format("{\"request\": %s, \"id\": %u, \"status\": %s, \"data\": ",
                               answer.set ? "\"SET_REPORT\"" : "\"GET_REPORT\"", answer.id,
                               JsonStatus(answer.result.status).c_str()) +
                        JsonHex(answer.result.data) + "}");
    }
    return JsonArray(items);
}

std::string JsonCounters(const sim::hid::HidCounters& counters,
                         std::optional<uint64_t> frameCounterBreaks) {
    std::string json =
        Format("{\"reads_completed\": %llu, \"reports_received\": %llu, "
               "\"reports_dropped\": %llu, \"phantom_reports\": %llu, \"read_errors\": %llu, "
               "\"outputs_written\": %llu, \"features_read\": %llu, \"features_written\": %llu",
               static_cast<unsigned long long>(counters.readsCompleted),
               static_cast<unsigned long long>(counters.reportsReceived),
               static_cast<unsigned long long>(counters.reportsDropped),
               static_cast<unsigned long long>(counters.phantomReports),
               static_cast<unsigned long long>(counters.readErrors),
               static_cast<unsigned long long>(counters.outputsWritten),
               static_cast<unsigned long long>(counters.featuresRead),
               static_cast<unsigned long long>(counters.featuresWritten));
    if (frameCounterBreaks) {
        json += Format(", \"frame_counter_breaks\": %llu",
                       static_cast<unsigned long long>(*frameCounterBreaks));
    }
    return json + "}";
}

std::string JsonChildMembers(const std::string& name, const sim::hid::HidDevice& hid,
                             const std::vector<FeatureAnswer>& features,
                             std::optional<uint64_t> frameCounterBreaks) {
    sim::hid::HidCounters counters = hid.Counters();
    return "\"name\": " + JsonString(name) +
           ", \"hid_state\": " + JsonString(sim::hid::HidStateName(hid.State())) +
           Format(", \"reports\": %llu",
                  static_cast<unsigned long long>(counters.reportsReceived)) +
           ", \"stream\": " + JsonCounters(counters, frameCounterBreaks) +
           ", \"descriptors\": " + JsonDescriptors(hid) +
           ", \"features\": " + JsonFeatures(features);
}

std::string JsonTransfers(const std::vector<sim::usb::TransferRecord>& transfers) {
    std::vector<std::string> items;
    for (const sim::usb::TransferRecord& transfer : transfers) {
        items.push_back(Format("{\"endpoint\": %u, \"data\": ", transfer.endpoint) +
                        JsonHex(transfer.data) + "}");
    }
    return JsonArray(items);
}

std::string JsonPoolAndVerifier(size_t highWater, const std::vector<host::PoolUsage>& leaks,
                                const std::vector<host::Violation>& violations) {
    std::vector<std::string> outstanding;
    for (const host::PoolUsage& leak : leaks) {
        outstanding.push_back(
            "{\"tag\": " + JsonString(leak.tag) +
            Format(", \"allocations\": %zu, \"bytes\": %zu}", leak.allocations, leak.bytes));
    }
    std::vector<std::string> found;
    for (const host::Violation& violation : violations) {
        found.push_back("{\"rule\": " + JsonString(violation.rule) +
                        ", \"detail\": " + JsonString(violation.detail) + "}");
    }
    return Format("\"pool\": {\"high_water\": %zu, \"leaks\": ", highWater) +
           JsonArray(outstanding) + "}, \"verifier\": {\"violations\": " + JsonArray(found) + "}";
}

} // namespace veltsim
