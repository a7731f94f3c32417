#include "descriptors_input.h"

#include <map>
#include <memory>
#include <tuple>

namespace fuzz::descriptors {
namespace {

struct Answers {
    // By type, index and read number (0: every read).
    std::map<std::tuple<uint8_t, uint8_t, uint8_t>, sim::usb::DescriptorAnswer> byRead;
};

} // namespace

// STATUS_IO_TIMEOUT, which the platform headers do not name.
constexpr NTSTATUS IoTimeout = static_cast<NTSTATUS>(0xC00000B5);

NTSTATUS AnswerStatus(uint8_t selector) {
    static const NTSTATUS statuses[] = {
        STATUS_SUCCESS,           STATUS_UNSUCCESSFUL, STATUS_NO_SUCH_DEVICE,   STATUS_CANCELLED,
        STATUS_DEVICE_DATA_ERROR, IoTimeout,           STATUS_INVALID_PARAMETER};
    return statuses[selector % (sizeof(statuses) / sizeof(statuses[0]))];
}

Scenario Decode(const uint8_t* data, size_t size) {
    Scenario scenario;
    sim::usb::ControllerModel& model = scenario.model;
    model.name = "fuzzed";
    model.hasStrings = false;
    model.addressQuery.answers = false;
    auto answers = std::make_shared<Answers>();
    for (const Record& record : SplitRecords(data, size)) {
        Reader reader(record.payload);
        switch (record.tag) {
        case DeviceTag:
            model.device = reader.Rest();
            break;
        case ConfigurationTag:
            model.configuration = reader.Rest();
            break;
        case StringTag: {
            uint8_t index = reader.U8();
            sim::usb::DescriptorAnswer answer;
            answer.bytes = reader.Rest();
            answers->byRead[{USB_STRING_DESCRIPTOR_TYPE, index, 0}] = answer;
            break;
        }
        case ReportTag: {
            uint8_t interface = reader.U8();
            model.reportDescriptors[interface] = reader.Rest();
            break;
        }
        case AnswerTag: {
            uint8_t type = reader.U8();
            uint8_t index = reader.U8();
            uint8_t read = reader.U8();
            sim::usb::DescriptorAnswer answer;
            answer.status = AnswerStatus(reader.U8());
            uint16_t reported = reader.U16();
            if (reported != 0xFFFF) {
                answer.reported = reported;
            }
            answer.bytes = reader.Rest();
            answers->byRead[{type, index, read}] = answer;
            break;
        }
        case AddressTag:
            model.addressQuery.answers = (reader.U8() & 1) != 0;
            break;
        case ProbeTag: {
            Probe probe;
            probe.flags = reader.U8();
            probe.type = reader.U8();
            probe.index = reader.U8();
            probe.length = reader.U16();
            scenario.probes.push_back(probe);
            break;
        }
        default:
            break;
        }
    }
    model.describe = [answers](UCHAR type, UCHAR index,
                               unsigned read) -> std::optional<sim::usb::DescriptorAnswer> {
        uint8_t nth = read > 0xFF ? 0 : static_cast<uint8_t>(read);
        for (uint8_t which : {nth, uint8_t{0}}) {
            auto found = answers->byRead.find({type, index, which});
            if (found != answers->byRead.end()) {
                return found->second;
            }
        }
        return std::nullopt;
    };
    return scenario;
}

Writer Encode(const sim::usb::ControllerModel& model) {
    Writer input;
    input.Add(DeviceTag, Writer().Append(model.device));
    input.Add(ConfigurationTag, Writer().Append(model.configuration));
    if (model.hasStrings) {
        Bytes languages{4, USB_STRING_DESCRIPTOR_TYPE, static_cast<uint8_t>(model.languageId),
                        static_cast<uint8_t>(model.languageId >> 8)};
        input.Add(StringTag, Writer().U8(0).Append(languages));
        for (const auto& [index, text] : model.strings) {
            input.Add(StringTag, Writer().U8(index).Append(sim::usb::StringDescriptor(text)));
        }
    }
    for (const auto& [interface, report] : model.reportDescriptors) {
        input.Add(ReportTag, Writer().U8(interface).Append(report));
    }
    input.Add(AddressTag, Writer().U8(model.addressQuery.answers ? 1 : 0));
    return input;
}

Writer ProbesOfHidStack(bool vendor) {
    uint8_t child = vendor ? ProbeVendor : 0;
    struct Step {
        uint8_t flags;
        uint8_t type;
        uint8_t index;
        uint16_t length;
    };
    const Step steps[] = {
        {0, USB_DEVICE_DESCRIPTOR_TYPE, 0, 18},
        {0, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9},
        {0, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 41},
        {0, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 255},
        {ProbeInterface, 0x22, 0, 4096},
        {0, USB_STRING_DESCRIPTOR_TYPE, 0, 255},
        {0, USB_STRING_DESCRIPTOR_TYPE, 1, 4},
        {0, USB_STRING_DESCRIPTOR_TYPE, 1, 255},
        {0, USB_STRING_DESCRIPTOR_TYPE, 2, 4},
        {ProbeMdlOnly, USB_STRING_DESCRIPTOR_TYPE, 2, 255},
        {0, USB_STRING_DESCRIPTOR_TYPE, 3, 255},
        {0, USB_STRING_DESCRIPTOR_TYPE, 4, 255},
    };
    Writer probes;
    for (const Step& step : steps) {
        probes.Add(ProbeTag, Writer()
                                 .U8(static_cast<uint8_t>(step.flags | child))
                                 .U8(step.type)
                                 .U8(step.index)
                                 .U16(step.length));
    }
    return probes;
}

} // namespace fuzz::descriptors
