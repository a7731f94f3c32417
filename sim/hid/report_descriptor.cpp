#include "sim/hid/report_descriptor.h"

#include <algorithm>

namespace sim::hid {
namespace {

// Bounds a real HID parser also keeps, so that a hostile descriptor cannot make us allocate or
// loop without end.
constexpr size_t kMaxPushDepth = 16;
constexpr size_t kMaxCollectionDepth = 32;
constexpr uint32_t kMaxUsagesPerItem = 1024;
constexpr uint32_t kMaxReportBits = 0xFFFF * 8;

enum ItemType : uint8_t { kMain = 0, kGlobal = 1, kLocal = 2 };

struct GlobalState {
    uint16_t usagePage = 0;
    int32_t logicalMin = 0;
    int32_t logicalMax = 0;
    uint32_t logicalMaxRaw = 0;
    uint32_t logicalMaxBytes = 0;
    int32_t physicalMin = 0;
    int32_t physicalMax = 0;
    int32_t unitExponent = 0;
    uint32_t unit = 0;
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint8_t reportId = 0;
};

struct LocalState {
    std::vector<uint32_t> usages;
    bool haveMin = false;
    bool haveMax = false;
    uint32_t usageMin = 0;
    uint32_t usageMax = 0;
};

int32_t Signed(uint32_t raw, uint32_t bytes) {
    switch (bytes) {
    case 1:
        return static_cast<int8_t>(raw);
    case 2:
        return static_cast<int16_t>(raw);
    default:
        return static_cast<int32_t>(raw);
    }
}

// A usage item of fewer than four bytes takes its page from the Usage Page in force when the
// main item comes; a four-byte one carries its own page.
uint32_t Extend(uint32_t raw, uint32_t bytes, uint16_t page) {
    return bytes == 4 ? raw : Usage(page, static_cast<uint16_t>(raw));
}

Report* ReportFor(ParsedReports* out, ReportKind kind, uint8_t id) {
    std::vector<Report>& list = kind == ReportKind::Input    ? out->input
                                : kind == ReportKind::Output ? out->output
                                                             : out->feature;
    for (Report& report : list) {
        if (report.id == id) {
            return &report;
        }
    }
    list.push_back(Report{});
    list.back().kind = kind;
    list.back().id = id;
    return &list.back();
}

class Parser {
  public:
    Parser(ParsedReports* out, std::string* error) : out_(out), error_(error) {}

    bool Run(const uint8_t* data, size_t length) {
        size_t pos = 0;
        while (pos < length) {
            uint8_t prefix = data[pos];
            if (prefix == 0xFE) {
                // Long item: skip it, as no long item is defined.
                if (pos + 3 > length || pos + 3 + data[pos + 1] > length) {
                    return Fail("long item runs past the end", pos);
                }
                pos += 3 + data[pos + 1];
                continue;
            }
            uint32_t bytes = prefix & 0x03;
            if (bytes == 3) {
                bytes = 4;
            }
            if (pos + 1 + bytes > length) {
                return Fail("item runs past the end", pos);
            }
            uint32_t raw = 0;
            for (uint32_t i = 0; i < bytes; ++i) {
                raw |= static_cast<uint32_t>(data[pos + 1 + i]) << (8 * i);
            }
            uint8_t type = (prefix >> 2) & 0x03;
            uint8_t tag = prefix >> 4;
            bool ok = type == kMain     ? Main(tag, raw)
                      : type == kGlobal ? Global(tag, raw, bytes)
                      : type == kLocal  ? Local(tag, raw, bytes)
                                        : true;
            if (!ok) {
                return Fail(reason_, pos);
            }
            pos += 1 + bytes;
        }
        if (depth_ != 0) {
            return Fail("collection not closed", length);
        }
        if (!ids_.empty() && anonymous_) {
            return Fail("report without ID in a descriptor that uses IDs", length);
        }
        out_->usesReportIds = !ids_.empty();
        return true;
    }

  private:
    bool Fail(const std::string& why, size_t offset) {
        *error_ = why + " (offset " + std::to_string(offset) + ")";
        return false;
    }
    bool Reject(const char* why) {
        reason_ = why;
        return false;
    }

    bool Main(uint8_t tag, uint32_t raw) {
        bool ok = true;
        switch (tag) {
        case 0x8:
            ok = AddField(ReportKind::Input, raw);
            break;
        case 0x9:
            ok = AddField(ReportKind::Output, raw);
            break;
        case 0xB:
            ok = AddField(ReportKind::Feature, raw);
            break;
        case 0xA:
            if (++depth_ > kMaxCollectionDepth) {
                return Reject("collections nested too deep");
            }
            if (depth_ == 1 && out_->applicationUsage == 0 && raw == 0x01) {
                out_->applicationUsage = FirstUsage();
            }
            break;
        case 0xC:
            if (depth_ == 0) {
                return Reject("End Collection without Collection");
            }
            --depth_;
            break;
        default:
            return Reject("unknown main item");
        }
        local_ = LocalState{};
        return ok;
    }

    uint32_t FirstUsage() const {
        if (!local_.usages.empty()) {
            return local_.usages.front();
        }
        return local_.haveMin ? local_.usageMin : 0;
    }

    bool AddField(ReportKind kind, uint32_t raw) {
        if (global_.reportSize == 0 || global_.reportCount == 0) {
            return true; // a main item of no bits adds nothing
        }
        uint64_t bits = static_cast<uint64_t>(global_.reportSize) * global_.reportCount;
        Report* report = ReportFor(out_, kind, global_.reportId);
        if (report->dataBits + bits > kMaxReportBits) {
            return Reject("report too long");
        }
        if (global_.reportId == 0) {
            anonymous_ = true;
        }
        Field field;
        field.kind = kind;
        field.reportId = global_.reportId;
        field.flags = raw;
        field.usagePage = global_.usagePage;
        field.bitOffset = report->dataBits + (global_.reportId != 0 ? 8 : 0);
        field.size = global_.reportSize;
        field.count = global_.reportCount;
        field.logicalMin = global_.logicalMin;
        // With a non-negative minimum the maximum reads unsigned (26 FF 00 and 25 FF alike).
        field.logicalMax = global_.logicalMin >= 0 && global_.logicalMaxBytes < 4
                               ? static_cast<int32_t>(global_.logicalMaxRaw)
                               : global_.logicalMax;
        field.physicalMin = global_.physicalMin;
        field.physicalMax = global_.physicalMax;
        field.unit = global_.unit;
        field.unitExponent = global_.unitExponent;
        if (!ExpandUsages(&field)) {
            return false;
        }
        report->dataBits += static_cast<uint32_t>(bits);
        report->fields.push_back(std::move(field));
        return true;
    }

    bool ExpandUsages(Field* field) {
        std::vector<uint32_t> usages = local_.usages;
        if (local_.haveMin && local_.haveMax) {
            if (local_.usageMax < local_.usageMin) {
                return Reject("Usage Maximum below Usage Minimum");
            }
            if (local_.usageMax - local_.usageMin >= kMaxUsagesPerItem) {
                return Reject("usage range too large");
            }
            for (uint32_t u = local_.usageMin; u <= local_.usageMax; ++u) {
                usages.push_back(u);
            }
        }
        if (usages.size() > field->count) {
            usages.resize(field->count);
        }
        field->usages = std::move(usages);
        return true;
    }

    bool Global(uint8_t tag, uint32_t raw, uint32_t bytes) {
        switch (tag) {
        case 0x0:
            global_.usagePage = static_cast<uint16_t>(raw);
            break;
        case 0x1:
            global_.logicalMin = Signed(raw, bytes);
            break;
        case 0x2:
            global_.logicalMax = Signed(raw, bytes);
            global_.logicalMaxRaw = raw;
            global_.logicalMaxBytes = bytes;
            break;
        case 0x3:
            global_.physicalMin = Signed(raw, bytes);
            break;
        case 0x4:
            global_.physicalMax = Signed(raw, bytes);
            break;
        case 0x5:
            global_.unitExponent = Signed(raw, bytes);
            break;
        case 0x6:
            global_.unit = raw;
            break;
        case 0x7:
            if (raw == 0 || raw > 0xFFFF) {
                return Reject("bad Report Size");
            }
            global_.reportSize = raw;
            break;
        case 0x8:
            if (raw == 0 || raw > 0xFF) {
                return Reject("bad Report ID");
            }
            global_.reportId = static_cast<uint8_t>(raw);
            if (std::find(ids_.begin(), ids_.end(), global_.reportId) == ids_.end()) {
                ids_.push_back(global_.reportId);
            }
            break;
        case 0x9:
            if (raw > 0xFFFF) {
                return Reject("bad Report Count");
            }
            global_.reportCount = raw;
            break;
        case 0xA:
            if (stack_.size() >= kMaxPushDepth) {
                return Reject("Push nested too deep");
            }
            stack_.push_back(global_);
            break;
        case 0xB:
            if (stack_.empty()) {
                return Reject("Pop without Push");
            }
            global_ = stack_.back();
            stack_.pop_back();
            break;
        default:
            return Reject("unknown global item");
        }
        return true;
    }

    bool Local(uint8_t tag, uint32_t raw, uint32_t bytes) {
        switch (tag) {
        case 0x0:
            if (local_.usages.size() >= kMaxUsagesPerItem) {
                return Reject("too many usages");
            }
            local_.usages.push_back(Extend(raw, bytes, global_.usagePage));
            break;
        case 0x1:
            local_.usageMin = Extend(raw, bytes, global_.usagePage);
            local_.haveMin = true;
            break;
        case 0x2:
            local_.usageMax = Extend(raw, bytes, global_.usagePage);
            local_.haveMax = true;
            break;
        default:
            break; // designators, strings and delimiters carry nothing we report
        }
        return true;
    }

    ParsedReports* out_;
    std::string* error_;
    std::string reason_;
    GlobalState global_;
    LocalState local_;
    std::vector<GlobalState> stack_;
    std::vector<uint8_t> ids_;
    size_t depth_ = 0;
    bool anonymous_ = false;
};

} // namespace

const char* ReportKindName(ReportKind kind) {
    switch (kind) {
    case ReportKind::Input:
        return "input";
    case ReportKind::Output:
        return "output";
    default:
        return "feature";
    }
}

uint32_t Field::UsageAt(uint32_t i) const {
    if (usages.empty()) {
        return 0;
    }
    return i < usages.size() ? usages[i] : usages.back();
}

const std::vector<Report>& ParsedReports::Of(ReportKind kind) const {
    return kind == ReportKind::Input ? input : kind == ReportKind::Output ? output : feature;
}

const Report* ParsedReports::Find(ReportKind kind, uint8_t id) const {
    for (const Report& report : Of(kind)) {
        if (report.id == id) {
            return &report;
        }
    }
    return nullptr;
}

const Field* ParsedReports::FindUsage(ReportKind kind, uint8_t id, uint32_t usage,
                                      uint32_t* index) const {
    const Report* report = Find(kind, id);
    if (report == nullptr) {
        return nullptr;
    }
    for (const Field& field : report->fields) {
        for (uint32_t i = 0; i < field.usages.size(); ++i) {
            if (field.usages[i] == usage) {
                *index = i;
                return &field;
            }
        }
    }
    return nullptr;
}

bool ParseReportDescriptor(const uint8_t* data, size_t length, ParsedReports* out,
                           std::string* error) {
    *out = ParsedReports{};
    std::string ignored;
    Parser parser(out, error != nullptr ? error : &ignored);
    if (!parser.Run(data, length)) {
        *out = ParsedReports{};
        return false;
    }
    return true;
}

bool ExtractValue(const Field& field, uint32_t index, const uint8_t* report, size_t length,
                  int64_t* value) {
    if (index >= field.count || field.size > 32) {
        return false;
    }
    uint64_t first = field.bitOffset + static_cast<uint64_t>(index) * field.size;
    if (first + field.size > static_cast<uint64_t>(length) * 8) {
        return false;
    }
    uint64_t raw = 0;
    for (uint32_t bit = 0; bit < field.size; ++bit) {
        uint64_t at = first + bit;
        raw |= static_cast<uint64_t>((report[at / 8] >> (at % 8)) & 1) << bit;
    }
    if (field.logicalMin < 0 && field.size < 64 && (raw >> (field.size - 1)) != 0) {
        raw |= ~0ULL << field.size;
    }
    *value = static_cast<int64_t>(raw);
    return true;
}

bool InsertValue(const Field& field, uint32_t index, uint64_t value, uint8_t* report,
                 size_t length) {
    if (index >= field.count || field.size > 32) {
        return false;
    }
    uint64_t first = field.bitOffset + static_cast<uint64_t>(index) * field.size;
    if (first + field.size > static_cast<uint64_t>(length) * 8) {
        return false;
    }
    for (uint32_t bit = 0; bit < field.size; ++bit) {
        uint64_t at = first + bit;
        uint8_t mask = static_cast<uint8_t>(1u << (at % 8));
        if ((value >> bit) & 1) {
            report[at / 8] |= mask;
        } else {
            report[at / 8] &= static_cast<uint8_t>(~mask);
        }
    }
    return true;
}

} // namespace sim::hid
