#include "describe.h"

#include "console.h"

#include "sim/hid/report_descriptor.h"

#include <cstdio>

namespace veltsim {

namespace {

using sim::hid::Bytes;
using sim::hid::ReportKind;
using sim::hid::Usage;

std::string Join(const std::vector<std::u16string>& ids) {
    std::string out;
    for (const std::u16string& id : ids) {
        out += (out.empty() ? "" : ", ") + Narrow(id);
    }
    return out.empty() ? "(none)" : out;
}

unsigned Word(const Bytes& bytes, size_t at) {
    return bytes[at] | (bytes[at + 1] << 8);
}

std::string Node(const sim::pnp::DeviceNode& node, const std::string& indent,
                 PDRIVER_OBJECT driver) {
    std::string out;
    out += indent + "Device ID      " + Narrow(node.deviceId) + "\n";
    out += indent + "Hardware IDs   " + Join(node.hardwareIds) + "\n";
    out += indent + "Compatible IDs " + Join(node.compatibleIds) + "\n";
    out += indent + "Instance ID    " + Narrow(node.instanceId) + "\n";
    out += indent + "Container ID   " + Narrow(node.containerId) + "\n";
    std::string stack;
    for (const std::string& name : StackNames(node, driver)) {
        stack += (stack.empty() ? "" : " <- ") + name;
    }
    out += indent + "Stack          " + stack + "\n";
    return out;
}

std::string StringsOf(sim::hid::HidDevice& hid) {
    auto show = [](const std::u16string& text) {
        return text.empty() ? std::string("(none)") : "\"" + Narrow(text) + "\"";
    };
    return "  strings: manufacturer " + show(hid.Manufacturer()) + ", product " +
           show(hid.Product()) + ", serial " + show(hid.SerialNumber()) + "\n";
}

std::string Configuration(const Bytes& config) {
    static const char* const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
    std::string out;
    for (size_t at = 0; at + 2 <= config.size();) {
        size_t length = config[at];
        if (length < 2 || at + length > config.size()) {
            out += Format("  (malformed descriptor at offset %zu)\n", at);
            break;
        }
        UCHAR type = config[at + 1];
        if (type == 0x02 && length >= 9) {
            out += Format("  configuration %u: %u bytes, %u interfaces, attributes 0x%02X, %u mA\n",
                          config[at + 5], Word(config, at + 2), config[at + 4], config[at + 7],
                          config[at + 8] * 2);
        } else if (type == 0x04 && length >= 9) {
            out += Format("    interface %u alt %u: class 0x%02X/0x%02X/0x%02X, %u endpoints\n",
                          config[at + 2], config[at + 3], config[at + 5], config[at + 6],
                          config[at + 7], config[at + 4]);
        } else if (type == 0x05 && length >= 7) {
            UCHAR address = config[at + 2];
            out += Format("      endpoint 0x%02X %s %s, max packet %u, interval %u\n", address,
                          (address & 0x80) != 0 ? "IN " : "OUT", kTypes[config[at + 3] & 3],
                          Word(config, at + 4), config[at + 6]);
        } else if (type == 0x21 && length >= 9) {
            out += Format("      HID %X.%02X, report descriptor %u bytes\n", config[at + 3],
                          config[at + 2], Word(config, at + 7));
        } else {
            out += Format("    descriptor type 0x%02X, %zu bytes\n", type, length);
        }
        at += length;
    }
    return out;
}

std::string ReportTable(const sim::hid::ParsedReports& reports) {
    std::string out = "  reports (ID kind size):\n";
    for (ReportKind kind : {ReportKind::Input, ReportKind::Output, ReportKind::Feature}) {
        const std::vector<sim::hid::Report>& list = reports.Of(kind);
        for (size_t i = 0; i < list.size(); ++i) {
            out += Format("%s0x%02X %-7s %2zu", i % 6 == 0 ? "    " : "   ", list[i].id,
                          sim::hid::ReportKindName(kind), list[i].ByteLength());
            if (i % 6 == 5 || i + 1 == list.size()) {
                out += "\n";
            }
        }
    }
    return out;
}

// The NUL-terminated ASCII text in bytes [from, from + length) of a report.
std::string TextAt(const Bytes& report, size_t from, size_t length) {
    std::string out;
    for (size_t i = from; i < report.size() && i < from + length && report[i] != 0; ++i) {
        out += report[i] >= 0x20 && report[i] < 0x7F ? static_cast<char>(report[i]) : '?';
    }
    return out;
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    for (uint8_t byte : bytes) {
        out += Format("%s%02X", out.empty() ? "" : " ", byte);
    }
    return out;
}

} // namespace

// A device's strings are untrusted: a surrogate pair becomes its one code point, a surrogate
// without its partner U+FFFD, so that what is printed or put in JSON is always valid UTF-8.
std::string Narrow(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDFFF) {
            bool pair = c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                        text[i + 1] <= 0xDFFF;
            c = pair ? 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00) : 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::vector<std::string> StackNames(const sim::pnp::DeviceNode& node, PDRIVER_OBJECT driver) {
    std::vector<std::string> names;
    for (PDEVICE_OBJECT device : node.stack) {
        std::string name = device->DriverObject == driver                       ? "veltdriver"
                           : device->DriverObject == sim::hid::HidStackDriver() ? "HID stack"
                                                                                : "USB hub";
        names.push_back(name + (device == node.pdo ? " PDO" : " FDO"));
    }
    return names;
}

std::string DescribeTree(const sim::pnp::PnpManager& pnp, PDEVICE_OBJECT controller,
                         PDRIVER_OBJECT driver) {
    std::optional<sim::pnp::DeviceNode> root = pnp.Node(controller);
    if (!root) {
        return "(the controller is not in the tree)\n";
    }
    std::string out = Narrow(root->description) + " (" + sim::pnp::NodeStateName(root->state) +
                      ")\n" + Node(*root, "  ", driver);
    std::vector<sim::pnp::DeviceNode> children = pnp.Children(controller);
    for (size_t i = 0; i < children.size(); ++i) {
        const sim::pnp::DeviceNode& child = children[i];
        bool last = i + 1 == children.size();
        std::shared_ptr<sim::hid::HidDevice> hid = sim::hid::HidDeviceOn(child.pdo);
        std::u16string name = !child.description.empty() ? child.description
                              : hid != nullptr           ? hid->Product()
                                                         : u"(unnamed)";
        out += std::string(last ? "  `- " : "  |- ") + Narrow(name) + " (" +
               sim::pnp::NodeStateName(child.state) + ")\n";
        std::string indent = last ? "       " : "  |    ";
        out += Node(child, indent, driver);
        if (hid != nullptr) {
            out += indent + Format("HID stack      %s, VID_%04X PID_%04X, %zu-byte report "
                                   "descriptor\n",
                                   sim::hid::HidStateName(hid->State()), hid->VendorId(),
                                   hid->ProductId(), hid->ReportDescriptor().size());
        }
    }
    return out;
}

std::string DescribeDescriptors(sim::hid::HidDevice& hid) {
    std::string out;
    const Bytes& device = hid.DeviceDescriptor();
    if (device.size() >= 18) {
        out += Format("  device: USB %X.%02X, class 0x%02X/0x%02X/0x%02X, max packet %u, VID_%04X "
                      "PID_%04X rev %X.%02X, strings %u/%u/%u, %u configuration(s)\n",
                      device[3], device[2], device[4], device[5], device[6], device[7],
                      Word(device, 8), Word(device, 10), device[13], device[12], device[14],
                      device[15], device[16], device[17]);
    } else {
        out += Format("  device: %zu bytes (short)\n", device.size());
    }
    out += Configuration(hid.ConfigurationDescriptor());
    out += StringsOf(hid);
    out += ReportTable(hid.Reports());
    return out;
}

std::vector<FeatureAnswer> ReadGamepadFeatures(sim::hid::HidDevice& hid) {
    std::vector<FeatureAnswer> answers;
    for (uint8_t id : {0x02, 0x12, 0xA3}) {
        answers.push_back({false, id, hid.GetFeature(id)});
    }
    // SET_REPORT with the report's own size; the child answers into the buffer.
    for (uint8_t id : {0x13, 0x14}) {
        const sim::hid::Report* report = hid.Reports().Find(ReportKind::Feature, id);
        Bytes data(report != nullptr ? report->ByteLength() : 1, 0);
        data[0] = id;
        answers.push_back({true, id, hid.SetFeature(data)});
    }
    return answers;
}

std::string DescribeGamepadFeatures(const std::vector<FeatureAnswer>& answers) {
    std::string out;
    for (const FeatureAnswer& answer : answers) {
        const Bytes& data = answer.result.data;
        bool ok = NT_SUCCESS(answer.result.status);
        if (!answer.set && answer.id == 0x12 && ok && data.size() >= 7) {
            out += Format("  0x12 address %02X:%02X:%02X:%02X:%02X:%02X\n", data[1], data[2],
                          data[3], data[4], data[5], data[6]);
        } else if (!answer.set && answer.id == 0xA3 && ok && data.size() >= 33) {
            out +=
                "  0xA3 firmware built " + TextAt(data, 1, 16) + " " + TextAt(data, 17, 16) + "\n";
        } else {
            out += Format("  0x%02X %s (%zu bytes, %s): %s\n", answer.id,
                          answer.set ? "set, answered" : "get", data.size(), ok ? "ok" : "failed",
                          Hex(data).c_str());
        }
    }
    return out;
}

std::string DescribeGamepadState(const sim::hid::ParsedReports& reports, const Bytes& report) {
    if (report.empty()) {
        return "(no input yet)";
    }
    auto value = [&](uint32_t usage, int64_t* out) {
        uint32_t index = 0;
        const sim::hid::Field* field =
            reports.FindUsage(ReportKind::Input, report[0], usage, &index);
        return field != nullptr &&
               sim::hid::ExtractValue(*field, index, report.data(), report.size(), out);
    };
    static const struct {
        const char* name;
        uint16_t id;
    } kAxes[] = {{"X", 0x30}, {"Y", 0x31}, {"Z", 0x32}, {"Rz", 0x35}, {"Rx", 0x33}, {"Ry", 0x34}};
    std::string out;
    for (const auto& axis : kAxes) {
        int64_t v = 0;
        if (value(Usage(0x01, axis.id), &v)) {
            out += Format("%s %3lld  ", axis.name, static_cast<long long>(v));
        }
    }
    int64_t hat = 0;
    if (value(Usage(0x01, 0x39), &hat)) {
        out += Format("hat %lld  ", static_cast<long long>(hat));
    }
    std::string buttons;
    for (uint16_t id = 1; id <= 32; ++id) {
        int64_t pressed = 0;
        if (value(Usage(0x09, id), &pressed)) {
            buttons += pressed != 0 ? '1' : '.';
        }
    }
    out += "buttons " + (buttons.empty() ? std::string("-") : buttons);
    int64_t counter = 0;
    if (value(Usage(0xFF00, 0x20), &counter)) {
        out += Format("  counter %lld", static_cast<long long>(counter));
    }
    return out;
}

const UCHAR* FirstInterruptIn(const sim::usb::ControllerModel& model) {
    const Bytes& config = model.configuration;
    for (size_t at = 0; at + 7 <= config.size() && config[at] >= 2; at += config[at]) {
        if (config[at + 1] == 0x05 && (config[at + 2] & 0x80) != 0 && (config[at + 3] & 3) == 3) {
            return &config[at];
        }
    }
    return nullptr;
}

unsigned InputInterval(const sim::usb::ControllerModel& model) {
    const UCHAR* endpoint = FirstInterruptIn(model);
    if (endpoint == nullptr) {
        return 4;
    }
    return endpoint[6] != 0 ? endpoint[6] : 1;
}

} // namespace veltsim
