// The input of fuzz_child_requests: one record per request that a driver above a child sends.
#pragma once

#include "input.h"
#include "world.h"

namespace fuzz::child_requests {

// Flags of a request record.
constexpr uint8_t CallVendor = 0x01;        // else the gamepad child
constexpr uint8_t CallDeviceControl = 0x02; // IRP_MJ_DEVICE_CONTROL, else the internal one
constexpr uint8_t CallBufferShift = 2;      // two bits: BufferKindOf
constexpr uint8_t CallNullUrb = 0x10;       // IOCTL_INTERNAL_USB_SUBMIT_URB without a URB
constexpr uint8_t CallPacket = 0x20;        // a HID_XFER_PACKET at the IRP's UserBuffer
constexpr uint8_t CallConfiguration = 0x40; // a selection carries a configuration descriptor

// Code selectors below this one mean IOCTL_INTERNAL_USB_SUBMIT_URB; from it on, an entry of the
// table of other codes; 0xFF, a raw code that follows.
constexpr uint8_t OtherCodesFrom = 0x80;
constexpr uint8_t RawCode = 0xFF;

constexpr uint16_t LargestBuffer = 4096;

struct Call {
    bool vendor = false;
    bool deviceControl = false;
    bool nullUrb = false;
    bool packet = false;
    bool configuration = false;
    BufferKind bufferKind = BufferKind::None;
    ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB;
    USHORT headerLength = 0;
    USHORT function = 0;
    ULONG transferLength = 0; // never more than the buffer when there is one
    ULONG transferFlags = 0;
    UCHAR descriptorType = 0;
    UCHAR index = 0;
    USHORT value = 0;
    UCHAR request = 0;
    USHORT languageOrIndex = 0;
    UCHAR reportId = 0;
    Bytes data; // the caller's buffer
};

std::vector<Call> Decode(const uint8_t* data, size_t size);
// The URB of a call, its buffer fields pointing at `buffer`.
URB BuildUrb(const Call& call, const CallerBuffer& buffer);

// The record of a call (for the seeds).
Writer Encode(const Call& call, uint8_t codeSelector);

} // namespace fuzz::child_requests
