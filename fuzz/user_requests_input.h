// The input of fuzz_user_requests: one record per DeviceIoControl that a program sends to one of
// the driver's three devices, with any control code, transfer method, lengths and addresses.
#pragma once

#include "input.h"

#include <ntddk.h>

namespace fuzz::user_requests {

enum class Target : uint8_t { Fdo, Gamepad, Vendor, Count };

// Where a buffer argument points.
enum class Address : uint8_t {
    Null,
    Buffer,   // a committed buffer of the program, holding the record's bytes
    InSpace,  // anywhere in the program's space, at the record's number modulo its size
    SpaceEnd, // the last bytes of the program's space: a long range runs past it
    Kernel,   // the FDO's device extension
    Number,   // the record's raw 32-bit number
    // Kernel memory holding a HID_XFER_PACKET whose report buffer is the FDO's extension: what a
    // program that learned a kernel address may name through METHOD_NEITHER.
    KernelPacket,
    Count,
};

// Code selectors below this one index the table of the codes the driver knows; from it on, a raw
// code follows.
constexpr uint8_t RawCodeFrom = 0x80;
// Method flags: bit 2 replaces the code's transfer method by bits 0 and 1.
constexpr uint8_t ReplaceMethod = 0x04;

constexpr uint16_t LargestBuffer = 4096;

struct Call {
    Target target = Target::Fdo;
    ULONG code = 0;
    Address input = Address::Null;
    Address output = Address::Null;
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    ULONG inputNumber = 0;
    ULONG outputNumber = 0;
    // Offsets in the input and output buffers where the address of kernel memory is planted (a
    // HID_XFER_PACKET's reportBuffer, a URB's TransferBuffer); 0xFFFF for none.
    uint16_t inputPlant = 0xFFFF;
    uint16_t outputPlant = 0xFFFF;
    Bytes inputBytes;
    Bytes outputBytes;
};

std::vector<Call> Decode(const uint8_t* data, size_t size);

// The record of a call (for the seeds): the code is written raw.
Writer Encode(const Call& call);

} // namespace fuzz::user_requests
