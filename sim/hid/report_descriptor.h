// HID report descriptor parser: turns a device's report descriptor into its input, output and
// feature reports and the fields each one carries, as the system's HID parser does. The
// descriptor is untrusted device data: every malformed input yields an error, never a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::hid {

enum class ReportKind { Input, Output, Feature };
const char* ReportKindName(ReportKind kind);

// Main-item data bits (Input, Output, Feature).
constexpr uint32_t kMainConstant = 0x01;
constexpr uint32_t kMainVariable = 0x02;
constexpr uint32_t kMainRelative = 0x04;
constexpr uint32_t kMainNullState = 0x40;

// One main item: Count values of Size bits each, starting BitOffset bits into the report as it
// travels (the report ID byte, when the device uses IDs, counts: offset 8 is the first data bit).
struct Field {
    ReportKind kind = ReportKind::Input;
    uint8_t reportId = 0;
    uint32_t flags = 0;     // main-item data bits
    uint16_t usagePage = 0; // the Usage Page in force
    // One usage per value where the descriptor gave them (extended: page << 16 | id), the last
    // one repeating; empty for constant padding.
    std::vector<uint32_t> usages;
    uint32_t bitOffset = 0;
    uint32_t size = 0;  // bits per value
    uint32_t count = 0; // values
    int32_t logicalMin = 0;
    int32_t logicalMax = 0;
    int32_t physicalMin = 0;
    int32_t physicalMax = 0;
    uint32_t unit = 0;
    int32_t unitExponent = 0;

    // Usage of value i (extended form), or 0 when the field has none.
    uint32_t UsageAt(uint32_t i) const;
    bool IsVariable() const {
        return (flags & kMainVariable) != 0;
    }
};

struct Report {
    ReportKind kind = ReportKind::Input;
    uint8_t id = 0;        // 0: the device uses no report IDs
    uint32_t dataBits = 0; // sum of the fields' bits, without the ID byte
    std::vector<Field> fields;

    // Bytes on the wire: the ID byte (when used) and the data rounded up to whole bytes.
    size_t ByteLength() const {
        return (id != 0 ? 1 : 0) + (dataBits + 7) / 8;
    }
};

struct ParsedReports {
    // In the order of first appearance in the descriptor.
    std::vector<Report> input;
    std::vector<Report> output;
    std::vector<Report> feature;
    bool usesReportIds = false;
    // Top-level application collection usage (extended), 0 when none.
    uint32_t applicationUsage = 0;

    const std::vector<Report>& Of(ReportKind kind) const;
    const Report* Find(ReportKind kind, uint8_t id) const;
    // The field that carries the (extended) usage, and the value index within it.
    const Field* FindUsage(ReportKind kind, uint8_t id, uint32_t usage, uint32_t* index) const;
};

// Parses data[0..length). On failure returns false and says why in *error.
bool ParseReportDescriptor(const uint8_t* data, size_t length, ParsedReports* out,
                           std::string* error);

// Reads value `index` of a field out of a report buffer as it travels (ID byte first when the
// device uses IDs). Values are sign-extended when the logical minimum is negative. Returns false
// when the buffer is too short.
bool ExtractValue(const Field& field, uint32_t index, const uint8_t* report, size_t length,
                  int64_t* value);
// Writes value `index` of a field into a report buffer. Returns false when it does not fit.
bool InsertValue(const Field& field, uint32_t index, uint64_t value, uint8_t* report,
                 size_t length);

constexpr uint32_t Usage(uint16_t page, uint16_t id) {
    return (static_cast<uint32_t>(page) << 16) | id;
}

} // namespace sim::hid
