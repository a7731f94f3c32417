// The system's USB HID stack as it loads on a USB HID device (a function driver bound through
// the compatible ID USB\Class_03): at start it reads the device and configuration descriptors,
// selects the configuration, finds the HID descriptor in it, reads the report descriptor, sends
// SET_IDLE, reads the strings and then keeps two interrupt IN reads outstanding. It parses the
// report descriptor and offers read input, get and set feature and write output. On removal it
// cancels its reads and waits until they have come back, as the real stack does.
#pragma once

#include <host/host.h>
#include <usb.h>

#include "sim/hid/report_descriptor.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sim::hid {

using Bytes = std::vector<uint8_t>;

enum class HidState {
    Added,           // AddDevice ran; not started
    Running,         // enumerated, reads outstanding
    Failed,          // enumeration failed (see FailureReason)
    SurpriseRemoved, // the device is gone; reads stopped
    Removed,         // IRP_MN_REMOVE_DEVICE done, device object deleted
};
const char* HidStateName(HidState state);

// What one transfer returned.
struct HidResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Bytes data; // GET requests: the bytes the device returned (TransferBufferLength of them)
};

struct HidCounters {
    uint64_t readsCompleted = 0;  // IN reads that came back, whatever their status
    uint64_t reportsReceived = 0; // successful reads that carried an input report
    // Successful reads whose data does not fit the report descriptor (an unknown report ID, or
    // shorter than its input report): the class driver drops them.
    uint64_t reportsDropped = 0;
    // Reports delivered that no controller sent: data the bus did not write for that read
    // (beyond the gamepad child's frame counter, multiples of 4 added to byte 7).
    uint64_t phantomReports = 0;
    uint64_t readErrors = 0; // reads that came back with a failure status
    uint64_t outputsWritten = 0;
    uint64_t featuresRead = 0;
    uint64_t featuresWritten = 0;
    uint64_t readsOutstanding = 0;
};

// One instance of the HID stack, on one device.
class HidDevice {
  public:
    HidDevice(PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower);
    ~HidDevice();
    HidDevice(const HidDevice&) = delete;
    HidDevice& operator=(const HidDevice&) = delete;

    // ---- Enumeration ----
    HidState State() const;
    std::string FailureReason() const;
    PDEVICE_OBJECT Pdo() const {
        return pdo_;
    }
    const Bytes& DeviceDescriptor() const {
        return deviceDescriptor_;
    }
    const Bytes& ConfigurationDescriptor() const {
        return configuration_;
    }
    const Bytes& HidDescriptor() const {
        return hidDescriptor_;
    }
    const Bytes& ReportDescriptor() const {
        return reportDescriptor_;
    }
    uint16_t VendorId() const;
    uint16_t ProductId() const;
    // Strings by descriptor index (UTF-16 as the device sent them); empty when absent.
    std::u16string Manufacturer() const {
        return manufacturer_;
    }
    std::u16string Product() const {
        return product_;
    }
    std::u16string SerialNumber() const {
        return serial_;
    }
    const ParsedReports& Reports() const {
        return reports_;
    }
    // The pipes that configuration selection handed out.
    USBD_PIPE_HANDLE InPipe() const {
        return inPipe_;
    }
    USBD_PIPE_HANDLE OutPipe() const {
        return outPipe_;
    }
    UCHAR InterfaceNumber() const {
        return interfaceNumber_;
    }

    // ---- Reports ----
    // The next input report, in arrival order; waits up to `waitMs` of real time for one.
    std::optional<Bytes> ReadInput(unsigned waitMs = 2000);
    size_t QueuedInputReports() const;
    // GET_REPORT of a feature report with a buffer of the size the report descriptor gives it.
    HidResult GetFeature(uint8_t reportId);
    // SET_REPORT of a feature report; returns what the device left in the buffer too.
    HidResult SetFeature(const Bytes& report);
    // An output report as an interrupt OUT transfer.
    HidResult WriteOutput(const Bytes& report);
    HidCounters Counters() const;
    // The status and data of the read that came back last, as the device returned them.
    HidResult LastRead() const;

    // ---- Plug and play, called by the stack's dispatch routines ----
    NTSTATUS Start();          // after the lower stack started: enumerate and start reading
    void StopReads(bool wait); // cancel the reads; with wait, until they have come back
    void MarkRemoved(HidState state);

  private:
    struct Read {
        HidDevice* owner = nullptr;
        PIRP irp = nullptr;
        URB urb{};
        Bytes buffer;
        bool outstanding = false;
        bool valid = true; // the last completion carried an input report
    };

    struct SyncRequest {
        HidDevice* self;
        const URB* urb;
    };

    NTSTATUS SubmitSync(PURB urb);
    NTSTATUS GetDescriptor(UCHAR type, UCHAR index, USHORT language, Bytes* out, ULONG length);
    NTSTATUS ClassRequest(bool in, UCHAR request, USHORT value, Bytes* buffer);
    NTSTATUS SelectConfiguration();
    std::u16string ReadString(UCHAR index);
    NTSTATUS Fail(const std::string& why, NTSTATUS status);
    void SubmitRead(Read* read);
    void Pump();
    // The length of the input report the data carries, or 0 when it fits none.
    size_t InputReportLength(const Bytes& data) const;
    // Adds one to a counter of this device and of the totals; the caller holds lock_.
    void Count(uint64_t HidCounters::*counter);
    static NTSTATUS NTAPI ReadComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    static NTSTATUS NTAPI SyncComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    PDEVICE_OBJECT pdo_;
    PDEVICE_OBJECT lower_;
    HidState state_ = HidState::Added;
    std::string failure_;
    Bytes deviceDescriptor_;
    Bytes configuration_;
    Bytes hidDescriptor_;
    Bytes reportDescriptor_;
    std::u16string manufacturer_;
    std::u16string product_;
    std::u16string serial_;
    ParsedReports reports_;
    USBD_PIPE_HANDLE inPipe_ = nullptr;
    USBD_PIPE_HANDLE outPipe_ = nullptr;
    USHORT inMaxPacket_ = 64;
    UCHAR interfaceNumber_ = 0;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Bytes> input_;
    HidCounters counters_;
    HidResult lastRead_;
    Read reads_[2];
    std::deque<Read*> resubmit_;
    bool stopping_ = false;
    bool pumpExit_ = false;
    std::thread pump_;
};

// The service name the built-in model binds, and the compatible ID it binds to.
constexpr const char* HidStackService = "hidusb";
constexpr const char* HidStackModelId = "USB\\Class_03";

// The stack's driver object: part of the machine, loaded once, never unloaded.
PDRIVER_OBJECT HidStackDriver();

// Sees each URB the stack sends to a device (the device's PDO): as it goes down, and as it comes
// back. `request` identifies the request and is never to be dereferenced. Runs on the sending or
// completing thread, at up to DISPATCH_LEVEL. Empty: none.
using UrbObserver =
    std::function<void(PDEVICE_OBJECT pdo, const void* request, const URB* urb, bool completed)>;
void SetUrbObserver(UrbObserver observer);

// The devices the stack drives, by the PDO it was added on. A device stays listed after its
// removal (state Removed) until ForgetHidDevices, so that tests and tools can read it.
std::shared_ptr<HidDevice> HidDeviceOn(PDEVICE_OBJECT pdo);
// The counters of every device the stack ever drove since the last ResetTotalCounters (devices
// forgotten included); readsOutstanding is not summed.
HidCounters TotalCounters();
void ResetTotalCounters();
std::vector<std::shared_ptr<HidDevice>> HidDevices();
// Forgets the devices, and what the bus wrote into buffers that no read took.
void ForgetHidDevices();

} // namespace sim::hid
