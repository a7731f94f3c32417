// Writes the seed corpora of the four fuzzers: every controller model of the world for
// fuzz_descriptors, with the descriptor requests of a HID stack on each child; the requests of a
// HID stack and a few odd ones for fuzz_child_requests; typical reads, reports and failures for
// fuzz_repeater; a program's user addresses taken for a URB and a HID_XFER_PACKET, a kernel
// address as METHOD_NEITHER's output, and each transfer method's buffers, for fuzz_user_requests.
// Usage: fuzz_seeds <corpus directory> (it holds one folder per fuzzer).
#include "child_requests_input.h"
#include "descriptors_input.h"
#include "repeater_input.h"
#include "user_requests_input.h"

#include <usbdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>

namespace {

namespace fs = std::filesystem;

int failures = 0;

void Save(const fs::path& folder, const std::string& name, const fuzz::Bytes& bytes) {
    fs::create_directories(folder);
    if (!fuzz::WriteFile((folder / name).string(), bytes)) {
        std::fprintf(stderr, "cannot write %s\n", (folder / name).c_str());
        ++failures;
    }
}

void DescriptorSeeds(const fs::path& folder) {
    using namespace fuzz::descriptors;
    const std::pair<const char*, std::function<sim::usb::ControllerModel()>> models[] = {
        {"default", sim::usb::DefaultController},
        {"report_220", sim::usb::ControllerWith220ByteReportDescriptor},
        {"no_strings", sim::usb::ControllerWithoutStrings},
        {"strings_1_2", sim::usb::ControllerWithStrings1And2},
        {"interfaces_0_2", sim::usb::ControllerWithInterfaces0And2},
        {"two_interrupt_in", sim::usb::ControllerWithTwoInterruptInPipes},
        {"bulk", sim::usb::ControllerWithBulkEndpoints},
        {"never_answering", sim::usb::ControllerNeverAnswering},
    };
    for (const auto& [name, make] : models) {
        fuzz::Writer input = Encode(make());
        input.Append(ProbesOfHidStack(true).Data()).Append(ProbesOfHidStack(false).Data());
        Save(folder, name, input.Data());
    }
    // The second read of string 2 one character shorter than the first.
    sim::usb::ControllerModel changing = sim::usb::DefaultController();
    fuzz::Writer input = Encode(changing);
    input.Add(AnswerTag, fuzz::Writer()
                             .U8(USB_STRING_DESCRIPTOR_TYPE)
                             .U8(2)
                             .U8(2)
                             .U8(0)
                             .U16(0xFFFF)
                             .Append(sim::usb::StringDescriptor(u"Velt Game Controlle")));
    input.Append(ProbesOfHidStack(true).Data());
    Save(folder, "changing_string", input.Data());
    // A header whose wTotalLength promises more than the whole read returns.
    sim::usb::ControllerModel shortWhole = sim::usb::DefaultController();
    input = Encode(shortWhole);
    fuzz::Bytes truncated(shortWhole.configuration.begin(), shortWhole.configuration.begin() + 40);
    input.Add(AnswerTag, fuzz::Writer()
                             .U8(USB_CONFIGURATION_DESCRIPTOR_TYPE)
                             .U8(0)
                             .U8(2)
                             .U8(0)
                             .U16(0xFFFF)
                             .Append(truncated));
    input.Append(ProbesOfHidStack(true).Data());
    Save(folder, "short_configuration", input.Data());
}

void ChildRequestSeeds(const fs::path& folder) {
    using namespace fuzz::child_requests;
    auto descriptor = [](bool vendor, USHORT function, UCHAR type, UCHAR index, uint16_t size) {
        Call call;
        call.vendor = vendor;
        call.bufferKind = fuzz::BufferKind::Pointer;
        call.headerLength = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
        call.function = function;
        call.descriptorType = type;
        call.index = index;
        call.data.assign(size, 0);
        call.transferLength = size;
        return call;
    };
    for (bool vendor : {false, true}) {
        fuzz::Writer input;
        std::vector<Call> calls = {
            descriptor(vendor, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 1, 0, 18),
            descriptor(vendor, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 2, 0, 9),
            descriptor(vendor, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 2, 0, 41),
            descriptor(vendor, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x22, 0, 4096),
            descriptor(vendor, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 3, 0, 255),
            descriptor(vendor, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 3, 2, 255),
        };
        Call select;
        select.vendor = vendor;
        select.configuration = true;
        // A selection of one interface with two pipes, as USBD_CreateConfigurationRequestEx builds
        // it.
        select.headerLength = static_cast<USHORT>(sizeof(struct _URB_SELECT_CONFIGURATION) +
                                                  sizeof(USBD_PIPE_INFORMATION));
        select.function = URB_FUNCTION_SELECT_CONFIGURATION;
        select.value = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(2));
        select.descriptorType = 2;
        calls.push_back(select);
        Call idle;
        idle.vendor = vendor;
        idle.headerLength = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        idle.function = URB_FUNCTION_CLASS_INTERFACE;
        idle.request = 0x0A;
        calls.push_back(idle);
        Call feature = idle;
        feature.bufferKind = fuzz::BufferKind::Pointer;
        feature.request = 0x01;
        feature.value = 0x0302;
        feature.transferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        feature.data.assign(37, 0);
        feature.transferLength = 37;
        calls.push_back(feature);
        Call read;
        read.vendor = vendor;
        read.bufferKind = fuzz::BufferKind::Pointer;
        read.headerLength = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        read.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        read.transferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        read.data.assign(64, 0);
        read.transferLength = 64;
        calls.push_back(read);
        Call write = read;
        write.transferFlags = 0;
        write.data.assign(32, 0);
        write.data[0] = 0x05;
        write.transferLength = 32;
        calls.push_back(write);
        for (const Call& call : calls) {
            input.Add(0, Encode(call, 0));
        }
        Save(folder, vendor ? "hid_stack_vendor" : "hid_stack_gamepad", input.Data());
    }
    // Other control codes, an MDL-only buffer and a write report packet.
    fuzz::Writer input;
    Call port;
    port.code = 0x220013;
    input.Add(0, Encode(port, OtherCodesFrom + 2));
    Call write;
    write.vendor = true;
    write.packet = true;
    write.bufferKind = fuzz::BufferKind::Pointer;
    write.data.assign(32, 0x05);
    input.Add(0, Encode(write, OtherCodesFrom + 26));
    Call mdl = descriptor(true, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 3, 1, 255);
    mdl.bufferKind = fuzz::BufferKind::MdlOnly;
    input.Add(0, Encode(mdl, 0));
    Call raw;
    raw.code = 0x00224000;
    input.Add(0, Encode(raw, RawCode));
    Save(folder, "other_codes", input.Data());
    // Found by the fuzzer: a selection whose URB ends inside its interface, a transfer URB of a
    // header alone, and a submission without a URB.
    fuzz::Writer shortUrbs;
    Call select;
    select.configuration = true;
    select.function = URB_FUNCTION_SELECT_CONFIGURATION;
    select.headerLength = static_cast<USHORT>(FIELD_OFFSET(URB, UrbSelectConfiguration.Interface));
    shortUrbs.Add(0, Encode(select, 0));
    Call transfer;
    transfer.vendor = true;
    transfer.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.headerLength = sizeof(struct _URB_HEADER);
    shortUrbs.Add(0, Encode(transfer, 0));
    Call none;
    none.nullUrb = true;
    shortUrbs.Add(0, Encode(none, 0));
    Save(folder, "regression_short_urbs", shortUrbs.Data());
}

void RepeaterSeeds(const fs::path& folder) {
    using namespace fuzz::repeater;
    auto transfer = [](uint8_t flags, uint16_t size) {
        return fuzz::Writer().U8(flags).U16(size).U16(size).U8(0);
    };
    auto report = [](uint8_t length) {
        fuzz::Bytes bytes(length, 0);
        if (length > 0) {
            bytes[0] = 0x01;
        }
        return fuzz::Writer().Append(bytes);
    };
    constexpr uint8_t pointer = 1 << TransferBufferShift;
    constexpr uint8_t mdlOnly = 2 << TransferBufferShift;
    fuzz::Writer reads;
    reads.Add(TransferOp, transfer(TransferIn | pointer, 64))
        .Add(TransferOp, transfer(TransferIn | TransferVendor | pointer, 64))
        .Add(ReportOp, report(64))
        .Add(ReportOp, report(64))
        .Add(TransferOp, transfer(pointer, 32))
        .Add(TransferOp, transfer(TransferVendor | pointer, 32));
    Save(folder, "reads_and_writes", reads.Data());
    fuzz::Writer failures;
    failures.Add(TransferOp, transfer(TransferIn | pointer, 64))
        .Add(TransferOp, transfer(TransferIn | TransferVendor | mdlOnly, 64))
        .Add(FailOp, fuzz::Writer().U8(0).U32(USBD_STATUS_CANCELED))
        .Add(TransferOp, transfer(TransferIn | pointer, 16))
        .Add(FailOp, fuzz::Writer().U8(1).U32(USBD_STATUS_DEVICE_GONE))
        .Add(TransferOp, transfer(TransferIn | pointer, 64))
        .Add(CancelOp, fuzz::Writer().U8(0))
        .Add(FailOp, fuzz::Writer().U8(6).U32(0));
    Save(folder, "failures", failures.Data());
    fuzz::Writer lengths;
    lengths.Add(TransferOp, transfer(TransferIn | pointer, 8))
        .Add(ReportOp, report(64))
        .Add(TransferOp, transfer(TransferIn | pointer, 64))
        .Add(ReportOp, report(3))
        .Add(TransferOp, transfer(TransferIn, 0))
        .Add(ReportOp, report(0))
        .Add(ClassOp, fuzz::Writer().U8(0x01).U16(0x0380).U8(1).U16(64));
    Save(folder, "lengths", lengths.Data());
}

void UserRequestSeeds(const fs::path& folder) {
    using namespace fuzz::user_requests;
    // On each device: a URB "at" the output length a program chose, a HID_XFER_PACKET of the
    // program's whose report buffer points into kernel memory or nowhere, and one in kernel memory
    // named as METHOD_NEITHER's output.
    fuzz::Writer paths;
    for (uint8_t target = 0; target < static_cast<uint8_t>(Target::Count); ++target) {
        Call urb;
        urb.target = static_cast<Target>(target);
        urb.code = 0x220003;
        urb.outputLength = 0x40000010;
        paths.Add(0, Encode(urb));
        Call packet;
        packet.target = urb.target;
        packet.code = 0x0B000F;
        packet.output = Address::Buffer;
        packet.outputLength = sizeof(HID_XFER_PACKET);
        packet.outputBytes.assign(sizeof(HID_XFER_PACKET), 0);
        packet.outputBytes[sizeof(PVOID)] = 64; // reportBufferLen
        packet.outputPlant = 0;                 // reportBuffer: the FDO's extension
        paths.Add(0, Encode(packet));
        packet.outputPlant = 0xFFFF;
        const uint8_t nowhere[] = {0x00, 0x00, 0xAD, 0xDE};
        std::copy(std::begin(nowhere), std::end(nowhere), packet.outputBytes.begin());
        paths.Add(0, Encode(packet));
        Call kernelPacket;
        kernelPacket.target = urb.target;
        kernelPacket.code = 0x0B000F;
        kernelPacket.output = Address::KernelPacket;
        kernelPacket.outputLength = sizeof(HID_XFER_PACKET);
        paths.Add(0, Encode(kernelPacket));
    }
    Save(folder, "user_address_as_urb_and_packet", paths.Data());
    // Each transfer method with buffers of the program, and ranges that run past its space.
    fuzz::Writer methods;
    for (ULONG method = 0; method < 4; ++method) {
        Call call;
        call.target = static_cast<Target>(method % 3);
        call.code = CTL_CODE(FILE_DEVICE_KEYBOARD, 0x03, method, FILE_ANY_ACCESS);
        call.input = Address::Buffer;
        call.inputLength = 16;
        call.inputBytes.assign(16, 0x5A);
        call.output = Address::Buffer;
        call.outputLength = 32;
        call.outputBytes.assign(32, 0);
        methods.Add(0, Encode(call));
        call.input = Address::SpaceEnd;
        call.inputLength = 4096;
        call.output = Address::Kernel;
        methods.Add(0, Encode(call));
    }
    Save(folder, "methods", methods.Data());
    // An empty output buffer of the program: its bytes, none, were once read through a null
    // pointer.
    Call empty;
    empty.output = Address::Buffer;
    Save(folder, "regression_empty_output", fuzz::Writer().Add(0, Encode(empty)).Data());
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds <corpus directory>\n");
        return 2;
    }
    fs::path corpus = argv[1];
    DescriptorSeeds(corpus / "fuzz_descriptors");
    ChildRequestSeeds(corpus / "fuzz_child_requests");
    RepeaterSeeds(corpus / "fuzz_repeater");
    UserRequestSeeds(corpus / "fuzz_user_requests");
    return failures == 0 ? 0 : 1;
}
