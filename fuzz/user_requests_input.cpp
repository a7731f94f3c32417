#include "user_requests_input.h"

#include <algorithm>

namespace fuzz::user_requests {
namespace {

// The codes the driver's device-control routines tell apart.
const ULONG KnownCodes[] = {
    0x220003, 0x220007, 0x22000F, 0x220013, 0x22001B, 0x220027, 0x220433, 0x0B0003,
    0x0B0007, 0x0B000B, 0x0B000F, 0x0B0013, 0x0B001F, 0x0B0023, 0x0B0027, 0x0B002B,
};
constexpr size_t KnownCodeCount = sizeof(KnownCodes) / sizeof(KnownCodes[0]);

// A buffer's bytes: no more than the buffer can hold and the record gives.
Bytes Contents(Reader& reader, Address address, ULONG length) {
    if (address != Address::Buffer) {
        return {};
    }
    Bytes bytes = reader.Take(std::min<ULONG>(length, LargestBuffer));
    bytes.resize(std::min<ULONG>(length, LargestBuffer), 0);
    return bytes;
}

Call DecodeCall(const Record& record) {
    Reader reader(record.payload);
    Call call;
    call.target = static_cast<Target>(reader.U8() % static_cast<uint8_t>(Target::Count));
    uint8_t selector = reader.U8();
    call.code = selector < RawCodeFrom ? KnownCodes[selector % KnownCodeCount] : reader.U32();
    uint8_t method = reader.U8();
    if ((method & ReplaceMethod) != 0) {
        call.code = (call.code & ~ULONG{3}) | (method & 3);
    }
    uint8_t kinds = reader.U8();
    call.input = static_cast<Address>((kinds & 0x0F) % static_cast<uint8_t>(Address::Count));
    call.output = static_cast<Address>((kinds >> 4) % static_cast<uint8_t>(Address::Count));
    call.inputLength = reader.U32();
    call.outputLength = reader.U32();
    call.inputNumber = reader.U32();
    call.outputNumber = reader.U32();
    call.inputPlant = reader.U16();
    call.outputPlant = reader.U16();
    call.inputBytes = Contents(reader, call.input, call.inputLength);
    call.outputBytes = Contents(reader, call.output, call.outputLength);
    return call;
}

} // namespace

std::vector<Call> Decode(const uint8_t* data, size_t size) {
    return DecodeEach(data, size, DecodeCall);
}

Writer Encode(const Call& call) {
    Writer record;
    record.U8(static_cast<uint8_t>(call.target))
        .U8(RawCodeFrom)
        .U32(call.code)
        .U8(0)
        .U8(static_cast<uint8_t>(static_cast<uint8_t>(call.input) |
                                 (static_cast<uint8_t>(call.output) << 4)))
        .U32(call.inputLength)
        .U32(call.outputLength)
        .U32(call.inputNumber)
        .U32(call.outputNumber)
        .U16(call.inputPlant)
        .U16(call.outputPlant)
        .Append(call.inputBytes)
        .Append(call.outputBytes);
    return record;
}

} // namespace fuzz::user_requests
