#include "repeater_input.h"

#include <algorithm>

namespace fuzz::repeater {

// STATUS_IO_TIMEOUT, which the platform headers do not name.
constexpr NTSTATUS IoTimeout = static_cast<NTSTATUS>(0xC00000B5);

NTSTATUS FailStatus(uint8_t selector) {
    static const NTSTATUS statuses[] = {STATUS_CANCELLED,
                                        STATUS_NO_SUCH_DEVICE,
                                        STATUS_UNSUCCESSFUL,
                                        IoTimeout,
                                        STATUS_DEVICE_NOT_CONNECTED,
                                        STATUS_DEVICE_DATA_ERROR,
                                        STATUS_NOT_SUPPORTED,
                                        STATUS_SUCCESS,
                                        STATUS_INSUFFICIENT_RESOURCES};
    return statuses[selector % (sizeof(statuses) / sizeof(statuses[0]))];
}

NTSTATUS InitialStatus(uint8_t selector) {
    static const NTSTATUS statuses[] = {STATUS_SUCCESS, STATUS_NOT_SUPPORTED, STATUS_UNSUCCESSFUL,
                                        STATUS_NO_SUCH_DEVICE};
    return statuses[selector % (sizeof(statuses) / sizeof(statuses[0]))];
}

std::vector<Step> Decode(const uint8_t* data, size_t size) {
    std::vector<Step> steps;
    for (const Record& record : SplitRecords(data, size)) {
        Reader reader(record.payload);
        Step step;
        switch (record.tag) {
        case TransferOp: {
            step.op = TransferOp;
            uint8_t flags = reader.U8();
            step.vendor = (flags & TransferVendor) != 0;
            step.in = (flags & TransferIn) != 0;
            step.bufferKind = BufferKindOf(flags >> TransferBufferShift);
            uint16_t size = std::min<uint16_t>(reader.U16(), LargestBuffer);
            uint16_t length = reader.U16();
            step.initialStatus = InitialStatus(reader.U8());
            if (step.bufferKind == BufferKind::None) {
                step.length = length;
            } else {
                step.length = length % (ULONG{size} + 1);
                step.data = reader.Take(size);
                step.data.resize(size, 0);
            }
            break;
        }
        case ReportOp:
            step.op = ReportOp;
            step.data = reader.Rest();
            break;
        case FailOp: {
            step.op = FailOp;
            uint8_t selector = reader.U8();
            step.status =
                selector == RawStatus ? static_cast<NTSTATUS>(reader.U32()) : FailStatus(selector);
            step.usbdStatus = static_cast<USBD_STATUS>(reader.U32());
            break;
        }
        case CancelOp:
            step.op = CancelOp;
            step.which = reader.U8();
            break;
        case ClassOp: {
            step.op = ClassOp;
            step.request = reader.U8();
            step.value = reader.U16();
            step.in = (reader.U8() & 1) != 0;
            step.data.resize(std::min<uint16_t>(reader.U16(), LargestBuffer), 0x77);
            step.length = static_cast<ULONG>(step.data.size());
            break;
        }
        default:
            continue;
        }
        steps.push_back(std::move(step));
    }
    return steps;
}

} // namespace fuzz::repeater
