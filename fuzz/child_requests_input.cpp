#include "child_requests_input.h"

#include <algorithm>

namespace fuzz::child_requests {
namespace {

const ULONG OtherCodes[] = {
    0x220007, 0x22000F, 0x220013, 0x220017, 0x22001B, 0x22001F, 0x220020, 0x220027,
    0x220408, 0x22040C, 0x220410, 0x220414, 0x220418, 0x22041C, 0x220420, 0x220424,
    0x220428, 0x22042C, 0x220433, 0x22043C, 0x220440, 0x220444, 0x220448, 0x0B0003,
    0x0B0007, 0x0B000B, 0x0B000F, 0x0B0013, 0x0B001F, 0x0B0023, 0x0B0027, 0x0B002B,
};
constexpr size_t OtherCodeCount = sizeof(OtherCodes) / sizeof(OtherCodes[0]);

// A configuration descriptor for selections that carry one; the children do not read it.
const UCHAR SelectedConfiguration[41] = {
    0x09, 0x02, 0x29, 0x00, 0x01, 0x01, 0x00, 0xC0, 0xFA, 0x09, 0x04, 0x00, 0x00, 0x02,
    0x03, 0x00, 0x00, 0x00, 0x09, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, 0xFB, 0x01, 0x07,
    0x05, 0x84, 0x03, 0x40, 0x00, 0x05, 0x07, 0x05, 0x03, 0x03, 0x40, 0x00, 0x05,
};

Call DecodeCall(const Record& record) {
    Reader reader(record.payload);
    Call call;
    uint8_t flags = reader.U8();
    call.vendor = (flags & CallVendor) != 0;
    call.deviceControl = (flags & CallDeviceControl) != 0;
    call.bufferKind = BufferKindOf(flags >> CallBufferShift);
    call.nullUrb = (flags & CallNullUrb) != 0;
    call.packet = (flags & CallPacket) != 0;
    call.configuration = (flags & CallConfiguration) != 0;
    uint8_t selector = reader.U8();
    if (selector == RawCode) {
        call.code = reader.U32();
    } else if (selector >= OtherCodesFrom) {
        call.code = OtherCodes[(selector - OtherCodesFrom) % OtherCodeCount];
    }
    call.headerLength = reader.U16();
    call.function = reader.U16();
    uint16_t bufferSize = std::min<uint16_t>(reader.U16(), LargestBuffer);
    ULONG transferLength = reader.U32();
    call.transferFlags = reader.U32();
    call.descriptorType = reader.U8();
    call.index = reader.U8();
    call.value = reader.U16();
    call.request = reader.U8();
    call.languageOrIndex = reader.U16();
    call.reportId = reader.U8();
    if (call.bufferKind == BufferKind::None) {
        call.transferLength = transferLength;
    } else {
        call.transferLength = transferLength % (ULONG{bufferSize} + 1);
        call.data = reader.Take(bufferSize);
        call.data.resize(bufferSize, 0);
    }
    return call;
}

} // namespace

std::vector<Call> Decode(const uint8_t* data, size_t size) {
    return DecodeEach(data, size, DecodeCall);
}

URB BuildUrb(const Call& call, const CallerBuffer& buffer) {
    URB urb{};
    urb.UrbHeader.Length = call.headerLength;
    urb.UrbHeader.Function = call.function;
    switch (call.function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        auto& select = urb.UrbSelectConfiguration;
        select.ConfigurationDescriptor = call.configuration
                                             ? reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
                                                   const_cast<UCHAR*>(SelectedConfiguration))
                                             : nullptr;
        select.Interface.Length = call.value;
        select.Interface.InterfaceNumber = call.index;
        select.Interface.NumberOfPipes = call.descriptorType;
        break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto& transfer = urb.UrbBulkOrInterruptTransfer;
        transfer.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(ULONG_PTR{call.value});
        transfer.TransferFlags = call.transferFlags;
        transfer.TransferBufferLength = call.transferLength;
        transfer.TransferBuffer = buffer.Pointer();
        transfer.TransferBufferMDL = buffer.Mdl();
        break;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
        auto& transfer = urb.UrbControlTransfer;
        transfer.TransferFlags = call.transferFlags;
        transfer.TransferBufferLength = call.transferLength;
        transfer.TransferBuffer = buffer.Pointer();
        transfer.TransferBufferMDL = buffer.Mdl();
        transfer.SetupPacket[0] = call.descriptorType;
        transfer.SetupPacket[1] = call.request;
        transfer.SetupPacket[2] = static_cast<UCHAR>(call.value);
        transfer.SetupPacket[3] = static_cast<UCHAR>(call.value >> 8);
        break;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT: {
        auto& request = urb.UrbControlVendorClassRequest;
        request.TransferFlags = call.transferFlags;
        request.TransferBufferLength = call.transferLength;
        request.TransferBuffer = buffer.Pointer();
        request.TransferBufferMDL = buffer.Mdl();
        request.Request = call.request;
        request.Value = call.value;
        request.Index = call.languageOrIndex;
        break;
    }
    default: {
        auto& request = urb.UrbControlDescriptorRequest;
        request.TransferBufferLength = call.transferLength;
        request.TransferBuffer = buffer.Pointer();
        request.TransferBufferMDL = buffer.Mdl();
        request.Index = call.index;
        request.DescriptorType = call.descriptorType;
        request.LanguageId = call.languageOrIndex;
        break;
    }
    }
    return urb;
}

Writer Encode(const Call& call, uint8_t codeSelector) {
    uint8_t flags = static_cast<uint8_t>(
        (call.vendor ? CallVendor : 0) | (call.deviceControl ? CallDeviceControl : 0) |
        (static_cast<uint8_t>(call.bufferKind) << CallBufferShift) |
        (call.nullUrb ? CallNullUrb : 0) | (call.packet ? CallPacket : 0) |
        (call.configuration ? CallConfiguration : 0));
    Writer record;
    record.U8(flags).U8(codeSelector);
    if (codeSelector == RawCode) {
        record.U32(call.code);
    }
    record.U16(call.headerLength)
        .U16(call.function)
        .U16(static_cast<uint16_t>(call.data.size()))
        .U32(call.transferLength)
        .U32(call.transferFlags)
        .U8(call.descriptorType)
        .U8(call.index)
        .U16(call.value)
        .U8(call.request)
        .U16(call.languageOrIndex)
        .U8(call.reportId);
    // The buffer's trailing zeros need not be spelled out: a short record pads them.
    Bytes data = call.data;
    while (!data.empty() && data.back() == 0) {
        data.pop_back();
    }
    return record.Append(data);
}

} // namespace fuzz::child_requests
