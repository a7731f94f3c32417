// Controller models: what a USB game controller presents on the bus (its descriptors, strings and
// report descriptors) and how it behaves (the address query, feature reports), as plain data
// plus a few callbacks. UsbDevice (urb_engine.h) puts a model on the bus.
#pragma once

#include <usb.h>

#include <array>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim::usb {

class UsbDevice;

using Bytes = std::vector<UCHAR>;

// The eight bytes of a control request's setup stage.
struct ControlSetup {
    UCHAR requestType = 0;
    UCHAR request = 0;
    USHORT value = 0;
    USHORT index = 0;
    USHORT length = 0;
};

// A descriptor answer that differs from the model's data: a read that fails, returns other
// bytes, or reports fewer bytes than it leaves in the caller's buffer.
struct DescriptorAnswer {
    Bytes bytes;                   // written to the caller's buffer (cut to its length)
    std::optional<ULONG> reported; // the length the bus reports; default: bytes written
    NTSTATUS status = STATUS_SUCCESS;
};

// The address query: output report 0x05 with the on code makes the controller put its address
// into bytes 49 to 54 of its input reports until the off code.
struct AddressQuery {
    bool answers = true;     // false: the controller ignores the query
    unsigned answerFrom = 1; // answers from the Nth on command onwards
    std::array<UCHAR, 6> address{{0x02, 0x56, 0x4C, 0x54, 0x00, 0x01}};
};

struct ControllerModel {
    std::string name;
    Bytes device;                             // the 18-byte device descriptor
    Bytes configuration;                      // configuration 0 with all it holds
    std::map<UCHAR, Bytes> reportDescriptors; // HID report descriptor per interface
    bool hasStrings = true;                   // string descriptor 0 exists
    USHORT languageId = 0x0409;
    std::map<UCHAR, std::u16string> strings; // by index, 1 and up
    std::map<UCHAR, Bytes> featureReports;   // GET_REPORT(feature) answers by ID
    UCHAR hidInterface = 3;                  // interface of the class requests
    AddressQuery addressQuery;
    // The device NAKs every request on its default pipe: control requests (descriptor reads,
    // configuration, class and vendor requests) stay pending until cancelled or the device leaves.
    bool controlNaks = false;

    // Replaces the answer of the read-th (1-based) read of descriptor (type, index); nullopt
    // keeps the model's data.
    std::function<std::optional<DescriptorAnswer>(UCHAR type, UCHAR index, unsigned read)> describe;
    // Called for every OUT transfer after the controller has handled it (on the sender's thread).
    std::function<void(UsbDevice&, UCHAR endpoint, const Bytes& data)> onOut;
    // Class and vendor requests beyond the HID ones the engine serves; return false to stall.
    std::function<bool(UsbDevice&, const ControlSetup&, Bytes& data)> onControl;
};

// ---- Building descriptors ----------------------------------------------------------------------
// Builds a configuration: descriptors in the order added, wTotalLength and bNumInterfaces (the
// number of distinct interface numbers) filled in by Build.
class ConfigurationBuilder {
  public:
    ConfigurationBuilder& Interface(UCHAR number, UCHAR alternate, UCHAR endpoints, UCHAR cls,
                                    UCHAR subclass = 0, UCHAR protocol = 0);
    ConfigurationBuilder& Endpoint(UCHAR address, UCHAR type, USHORT maxPacket, UCHAR interval);
    // The 9-byte endpoint of audio class 1.0 (with bRefresh and bSynchAddress).
    ConfigurationBuilder& AudioEndpoint(UCHAR address, UCHAR type, USHORT maxPacket,
                                        UCHAR interval);
    ConfigurationBuilder& Hid(USHORT reportLength);
    // A HID interface (class 3, alternate 0) with its HID descriptor and interrupt endpoints of 64
    // bytes polled every 4 ms, at the given addresses.
    ConfigurationBuilder& HidInterface(UCHAR number, USHORT reportLength,
                                       std::initializer_list<UCHAR> endpoints);
    ConfigurationBuilder& Raw(const Bytes& descriptor);
    Bytes Build(UCHAR attributes = 0xA0, UCHAR maxPower = 0xFA) const;

  private:
    Bytes body_;
    std::vector<UCHAR> interfaceNumbers_;
};

Bytes DeviceDescriptor(USHORT vendor, USHORT product, USHORT release, UCHAR manufacturer,
                       UCHAR productString, UCHAR serial);
Bytes StringDescriptor(const std::u16string& text);
// The default controller's report descriptor padded with vendor usages to `length` bytes.
Bytes PaddedReportDescriptor(size_t length);

// ---- The models ---------------------------------------------------------------------------------
// idVendor 0xF3A1, idProduct 0x5C20, bcdDevice 0x0100; strings "Velt Devices", "Velt Game
// Controller", "VD0001"; audio control (0), two audio streaming interfaces with an isochronous
// endpoint on alternate 1 (1, 2), HID interface 3 with interrupt IN 0x84 and OUT 0x03. Input
// report ID 1 (64 bytes), output report ID 5 (32 bytes), vendor feature reports 0x80 and 0x81.
ControllerModel DefaultController();
Bytes DefaultReportDescriptor();

ControllerModel ControllerWith220ByteReportDescriptor();
ControllerModel ControllerWithoutStrings();
ControllerModel ControllerWithStrings1And2();
// The second read of string `index` reports a length one less than the first.
ControllerModel ControllerWithChangingString(UCHAR index);
// Two HID interfaces numbered 0 and 2 (bNumInterfaces 2).
ControllerModel ControllerWithInterfaces0And2();
// One HID interface with interrupt IN 0x81 and 0x82 and interrupt OUT 0x02.
ControllerModel ControllerWithTwoInterruptInPipes();
// HID interface 0 (interrupt IN 0x81, OUT 0x01) and a vendor interface 1 with bulk IN 0x86 and
// bulk OUT 0x07.
ControllerModel ControllerWithBulkEndpoints();
ControllerModel ControllerNeverAnswering();
// The default controller whose default pipe NAKs forever from the first request on.
ControllerModel ControllerWithSilentControlPipe();
// Ignores the first on command, so the first address read stays pending; answers the second.
ControllerModel ControllerWithPendingFirstRead();

} // namespace sim::usb
