// The USB capture as its readers see it: what each completion's packet says and carries when a
// URB comes back rewritten, alone, with another URB, through an MDL, with a length it never had,
// too short for its function, or too long for a packet.
#include "sim/usb/capture.h"

#include "support/host_fixture.h"

#include <usbdlib.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// One pcap record of the file and the fields of its USBPcap header.
struct Packet {
    uint32_t captured = 0; // incl_len
    uint32_t whole = 0;    // orig_len
    uint16_t headerLength = 0;
    uint16_t function = 0;
    uint8_t info = 0;
    uint8_t endpoint = 0;
    uint8_t transfer = 0;
    uint32_t dataLength = 0;
    std::string data;
};

uint32_t Get(const std::string& bytes, size_t at, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) {
        value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
    }
    return value;
}

std::vector<Packet> ReadCapture(const std::string& path) {
    std::string file;
    if (FILE* in = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof(chunk), in)) > 0) {
            file.append(chunk, got);
        }
        std::fclose(in);
    }
    std::vector<Packet> packets;
    for (size_t at = 24; at + 16 <= file.size();) {
        Packet packet;
        packet.captured = Get(file, at + 8, 4);
        packet.whole = Get(file, at + 12, 4);
        std::string bytes = file.substr(at + 16, packet.captured);
        at += 16 + packet.captured;
        packet.headerLength = static_cast<uint16_t>(Get(bytes, 0, 2));
        packet.function = static_cast<uint16_t>(Get(bytes, 14, 2));
        packet.info = static_cast<uint8_t>(bytes[16]);
        packet.endpoint = static_cast<uint8_t>(bytes[21]);
        packet.transfer = static_cast<uint8_t>(bytes[22]);
        packet.dataLength = Get(bytes, 23, 4);
        packet.data = bytes.substr(packet.headerLength);
        packets.push_back(packet);
    }
    return packets;
}

class UsbCaptureTest : public velt::test::HostTest {
  protected:
    std::string path_ = "/tmp/velt_capture_test_" + std::to_string(getpid()) + ".pcap";
    void TearDown() override {
        std::remove(path_.c_str());
        HostTest::TearDown();
    }
};

URB Descriptor(PVOID buffer, ULONG length) {
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, NULL, length, NULL);
    return urb;
}

URB Bulk(PVOID buffer, ULONG length, bool in) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    return urb;
}

// What the last packet of a case must say.
struct Expected {
    uint16_t headerLength;
    uint8_t transfer;
    uint8_t endpoint;
    uint32_t dataLength;
    std::string data;
    uint32_t whole;
};

struct Case {
    const char* name;
    // Records the case's traffic; the buffers it uses live in `store`.
    std::function<void(sim::usb::UsbCapture&, std::vector<std::string>& store)> run;
    Expected expected;
};

const char kIrp[] = "irp";

TEST_F(UsbCaptureTest, CompletionsCarryWhatTheirSubmissionAllows) {
    const Case cases[] = {
        {"a class request that comes back as a control transfer keeps its IN data",
         [](sim::usb::UsbCapture& capture, std::vector<std::string>& store) {
             store.emplace_back(4, '\0');
             URB urb{};
             urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
             urb.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
             auto& request = urb.UrbControlVendorClassRequest;
             request.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
             request.TransferBuffer = store.back().data();
             request.TransferBufferLength = 4;
             request.Request = 0x01;
             request.Value = 0x0302;
             capture.Submitted(2, 1, kIrp, &urb);
             memcpy(store.back().data(), "\x02\x0a\x00\x01", 4);
             urb.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
             capture.Completed(2, 1, kIrp, &urb);
         },
         {28, 2, 0x80, 4, std::string("\x02\x0a\x00\x01", 4), 32}},
        {"a completion never submitted is told by itself",
         [](sim::usb::UsbCapture& capture, std::vector<std::string>& store) {
             store.emplace_back("abc");
             URB urb = Bulk(store.back().data(), 3, true);
             capture.Completed(1, 1, kIrp, &urb);
         },
         {27, 0xFF, 0x80, 3, "abc", 30}},
        {"a request sent again with another URB is that URB's transfer",
         [](sim::usb::UsbCapture& capture, std::vector<std::string>& store) {
             store.emplace_back(18, '\0');
             URB first = Descriptor(store.back().data(), 18);
             capture.Submitted(1, 1, kIrp, &first);
             store.emplace_back("xy");
             URB second = Bulk(store.back().data(), 2, true);
             capture.Completed(1, 1, kIrp, &second);
         },
         {27, 0xFF, 0x80, 2, "xy", 29}},
        {"an MDL-only buffer is read no further than the MDL reaches",
         [](sim::usb::UsbCapture& capture, std::vector<std::string>& store) {
             store.emplace_back("12345678");
             PMDL mdl = IoAllocateMdl(store.back().data(), 8, FALSE, FALSE, nullptr);
             MmBuildMdlForNonPagedPool(mdl);
             URB urb = Descriptor(NULL, 64);
             urb.UrbControlDescriptorRequest.TransferBufferMDL = mdl;
             capture.Submitted(1, 1, kIrp, &urb);
             capture.Completed(1, 1, kIrp, &urb);
             IoFreeMdl(mdl);
         },
         {28, 2, 0x80, 8, "12345678", 36}},
        {"a completion claims no more than was submitted",
         [](sim::usb::UsbCapture& capture, std::vector<std::string>& store) {
             store.emplace_back("wxyz");
             URB urb = Descriptor(store.back().data(), 4);
             capture.Submitted(1, 1, kIrp, &urb);
             urb.UrbControlDescriptorRequest.TransferBufferLength = 4096;
             capture.Completed(1, 1, kIrp, &urb);
         },
         {28, 2, 0x80, 4, "wxyz", 32}},
        {"a URB shorter than its function's structure is told by its header",
         [](sim::usb::UsbCapture& capture, std::vector<std::string>& store) {
             store.emplace_back(18, '\0');
             URB urb = Descriptor(store.back().data(), 18);
             urb.UrbHeader.Length = sizeof(struct _URB_HEADER);
             capture.Submitted(1, 1, kIrp, &urb);
             capture.Completed(1, 1, kIrp, &urb);
         },
         {27, 0xFE, 0x00, 0, "", 27}},
        {"data too long for a packet is cut, its length kept",
         [](sim::usb::UsbCapture& capture, std::vector<std::string>& store) {
             store.emplace_back(70000, 'o');
             URB urb = Bulk(store.back().data(), 70000, false);
             capture.Submitted(1, 1, kIrp, &urb);
         },
         {27, 0xFF, 0x00, 70000, std::string(65535 - 28 - 8, 'o'), 27 + 70000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> store;
        store.reserve(4);
        {
            sim::usb::UsbCapture capture(path_);
            ASSERT_TRUE(capture.Ok());
            c.run(capture, store);
            ASSERT_TRUE(capture.Ok());
        }
        std::vector<Packet> packets = ReadCapture(path_);
        ASSERT_FALSE(packets.empty());
        const Packet& last = packets.back();
        const Expected& e = c.expected;
        EXPECT_EQ(e.headerLength, last.headerLength);
        EXPECT_EQ(e.transfer, last.transfer);
        EXPECT_EQ(e.endpoint, last.endpoint);
        EXPECT_EQ(e.dataLength, last.dataLength);
        EXPECT_EQ(e.data, last.data);
        EXPECT_EQ(e.whole, last.whole);
        EXPECT_EQ(last.headerLength + e.data.size(), last.captured);
    }
}

} // namespace
