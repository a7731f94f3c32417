// The input of fuzz_descriptors: a controller whose descriptors come from the fuzzer, and the
// descriptor requests that the drivers above the children then make.
#pragma once

#include "input.h"
#include "sim/usb/controller.h"

namespace fuzz::descriptors {

// Record tags.
enum Tag : uint8_t {
    DeviceTag = 0x01,        // the device descriptor's bytes
    ConfigurationTag = 0x02, // configuration 0 with all it holds (what selection works on)
    StringTag = 0x03,        // index, then the string descriptor's bytes as sent (0: languages)
    ReportTag = 0x04,        // interface number, then its report descriptor
    AnswerTag = 0x05,        // type, index, read (0: every read), status, reported length
                             // (0xFFFF: the bytes sent), then the bytes: one read's answer
    AddressTag = 0x06,       // answers the address query (bit 0)
    ProbeTag = 0x07,         // a descriptor request to a child once the children exist
};

// Probe flags.
constexpr uint8_t ProbeVendor = 0x01;    // else the gamepad child
constexpr uint8_t ProbeInterface = 0x02; // URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE
constexpr uint8_t ProbeMdlOnly = 0x04;   // the buffer given by its MDL alone

// A probe: flags, descriptor type, index, TransferBufferLength.
struct Probe {
    uint8_t flags = 0;
    uint8_t type = 0;
    uint8_t index = 0;
    uint16_t length = 0;
};

// The statuses an answer may carry, by its status byte (modulo their number).
NTSTATUS AnswerStatus(uint8_t selector);

struct Scenario {
    sim::usb::ControllerModel model;
    std::vector<Probe> probes;
};

Scenario Decode(const uint8_t* data, size_t size);

// The records that describe a controller model as it is, and the probes that a HID stack on the
// vendor child makes.
Writer Encode(const sim::usb::ControllerModel& model);
Writer ProbesOfHidStack(bool vendor);

} // namespace fuzz::descriptors
