// A USB capture file in the pcap format that USBPcap writes (link type 249), which Wireshark and
// tshark read: every URB twice, as it is submitted and as it comes back, each with the packet
// header of that format; control transfers carry their stage and their 8-byte setup packet. A
// completion is told by what was submitted (the bus may rewrite a URB's Function on the way back),
// so the IN data of every control transfer shows.
// Select-configuration requests appear as the SET_CONFIGURATION control transfer they stand for,
// and the pipe handles they hand out tell the endpoint of later transfers.
#pragma once

#include <usb.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace sim::usb {

class UsbCapture {
  public:
    // Creates (or truncates) the file and writes the pcap header; see Ok().
    explicit UsbCapture(const std::string& path);
    ~UsbCapture();
    UsbCapture(const UsbCapture&) = delete;
    UsbCapture& operator=(const UsbCapture&) = delete;

    // FALSE when the file could not be created or a write failed.
    bool Ok() const;

    // One URB of device `address` on bus `bus`. `request` identifies the request (its IRP) and
    // is never dereferenced; the URB is read now, so it must still be valid. Submission: as the
    // URB goes down; completion: once the device has answered, before the sender sees it.
    void Submitted(USHORT bus, USHORT address, const void* request, const URB* urb);
    void Completed(USHORT bus, USHORT address, const void* request, const URB* urb);

    // Packets written so far.
    size_t Packets() const;

  private:
    struct Pipe {
        UCHAR endpoint;
        UCHAR transfer; // USBPcap transfer type
    };
    // A URB as it went down, kept until it comes back.
    struct Submission {
        const URB* urb = nullptr; // the URB it went with
        USHORT function = 0;
        UCHAR endpoint = 0;
        UCHAR transfer = 0;  // USBPcap transfer type
        UCHAR setup[8] = {}; // control transfers
        ULONG length = 0;    // TransferBufferLength as submitted: no completion returns more
    };
    using DeviceKey = std::pair<USHORT, USHORT>;
    using RequestKey = std::pair<DeviceKey, const void*>;

    void Record(USHORT bus, USHORT address, const void* request, const URB* urb, bool completed);
    Submission Describe(const DeviceKey& device, const URB* urb) const; // caller holds lock_
    std::optional<Pipe> PipeOf(const DeviceKey& device,
                               USBD_PIPE_HANDLE handle) const; // caller holds lock_
    void LearnPipes(const DeviceKey& device, const URB* urb);  // caller holds lock_
    void Write(const std::string& packet, uint64_t whole);     // caller holds lock_

    mutable std::mutex lock_;
    FILE* file_ = nullptr;
    bool ok_ = false;
    size_t packets_ = 0;
    int64_t startMicroseconds_ = 0; // wall time of kernel time zero
    std::map<DeviceKey, std::map<const void*, Pipe>> pipes_;
    std::map<RequestKey, Submission> submissions_; // submitted, not yet completed
};

} // namespace sim::usb
