// The input of fuzz_repeater: steps of the callers above both children (interrupt transfers, the
// vendor child's class requests, cancellations) and of the controller below (input reports of
// any length, reads ended with any status).
#pragma once

#include "input.h"
#include "world.h"

namespace fuzz::repeater {

enum Op : uint8_t {
    TransferOp = 0x01, // flags, buffer size, TransferBufferLength, initial status; then data
    ReportOp = 0x02,   // the controller sends these bytes as an input report
    FailOp = 0x03,     // the controller ends its pending reads: status selector (0xFF: raw
                       // NTSTATUS follows), USBD status
    CancelOp = 0x04,   // a caller cancels its request: which one (modulo those in flight)
    ClassOp = 0x05,    // vendor child class request: request, value, buffer size, IN
};

constexpr uint8_t TransferVendor = 0x01; // else the gamepad child
constexpr uint8_t TransferIn = 0x02;
constexpr uint8_t TransferBufferShift = 2; // two bits: BufferKindOf

constexpr uint16_t LargestBuffer = 1024;
constexpr uint8_t RawStatus = 0xFF;

struct Step {
    Op op = TransferOp;
    bool vendor = false;
    bool in = false;
    BufferKind bufferKind = BufferKind::Pointer;
    ULONG length = 0;
    NTSTATUS initialStatus = STATUS_SUCCESS;
    NTSTATUS status = STATUS_CANCELLED;
    USBD_STATUS usbdStatus = 0;
    uint8_t which = 0;
    UCHAR request = 0;
    USHORT value = 0;
    Bytes data; // the caller's buffer, or the controller's report
};

NTSTATUS FailStatus(uint8_t selector);
NTSTATUS InitialStatus(uint8_t selector);
std::vector<Step> Decode(const uint8_t* data, size_t size);

} // namespace fuzz::repeater
