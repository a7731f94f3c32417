// The USB bus's URB side for one device: serves IOCTL_INTERNAL_USB_SUBMIT_URB on the device's
// hub PDO the way the system's USB stack does (descriptor reads, configuration selection with
// real pipe handles, interrupt and bulk transfers, class and vendor requests, abort pipe) with a
// controller model behind it, and records what the controller receives.
#pragma once

#include "sim/usb/controller.h"

#include <usbioctl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace sim::usb {

// The recipient bits of bmRequestType (0 device, 1 interface, 2 endpoint, 3 other) of the
// control transfer that a URB function stands for.
UCHAR UrbRecipient(USHORT function);

// How requests that the device can answer at once are completed.
//
// BusThread, the default, as a host controller does: the request is marked pending, dispatch
// returns STATUS_PENDING, and the bus thread completes it at DISPATCH_LEVEL after a delay that
// the device's seed picks. Reads that wait for data, and the failures of pending
// reads (unplug, abort, stall), complete from the bus thread too. Completions on one queue (an
// endpoint; the default pipe for every control transfer; the hub's own port-status requests)
// come in the order they were answered, as a host controller completes an endpoint's transfers
// in order; queues are independent, so completions of different endpoints may overtake each
// other; the device acts on the requests of one queue in the order they complete. While it
// waits, a request nothing was carried out for (a failure at dispatch, a descriptor read) can be
// cancelled (STATUS_CANCELLED, USBD_STATUS_CANCELED); one the device has carried out (a
// configuration selection, a pipe request, an OUT transfer, a class or vendor request, a read
// holding data) or the controller has retired (a read failed at unplug, abort or stall)
// completes with its result, as a cancel that comes too late does.
// Not modelled: the device acts on a request when it arrives, not at the end of its time in
// the host controller's schedule, so a cancel during the delay cannot stop a request the device
// acts on; a control request a NAKing device holds does not block the default pipe's later
// transfers, which a host controller would keep behind it.
enum class Completion {
    CallerThread, // in the dispatch routine, on the caller's thread
    BusThread,
};

// "async" (BusThread) or "sync" (CallerThread), as veltsim names the modes.
const char* CompletionName(Completion mode);

// The delays of the bus thread, in kernel time, as a host controller completes transfers at
// the end of a microframe: one completion in four comes without delay, the others after 1 to 24
// microframes of 125 us (up to 3 ms), drawn evenly. The bus thread sleeps their real duration
// at the clock's scale, and kernel time does not pass a completion that is due and not yet
// delivered (host::HoldTime), so that no driver timeout expires only because the bus thread was
// not scheduled. Requests a NAKing device holds and reads waiting for data hold no time.
constexpr LONGLONG kBusDelayMicroframe = 1250; // 100 ns units
constexpr unsigned kBusDelayMaxMicroframes = 24;

// One transfer as the controller saw it.
struct TransferRecord {
    UCHAR endpoint = 0;
    Bytes data;
};

struct ControlRecord {
    USHORT function = 0; // the URB function that carried it
    ControlSetup setup;
    Bytes data; // OUT: what the host sent; IN: what the controller answered
};

// Sees each URB a device receives: as it arrives, and as it is completed (before the sender gets
// it back). Runs on the submitting or completing thread, at up to DISPATCH_LEVEL.
using UrbObserver = std::function<void(PIRP irp, const URB* urb, bool completed)>;

// What the bus last wrote into a buffer as the data of an IN transfer, on any device; taken once
// (the entry is gone afterwards). Lets the world check that a report an application receives is
// one that a controller sent.
std::optional<Bytes> TakeBusWrite(const void* buffer);
// Drops every write not taken yet (a new world starts).
void ForgetBusWrites();

enum class UsbFailure; // failure_statuses.h
struct UsbFailureStatus;

class UsbDevice {
  public:
    // The seed picks the bus thread's delays: the delay of a completion is a function of the
    // seed, its queue and its number on that queue, so the same seed replays the same delays.
    // Thread scheduling is not replayed: which of two threads' requests comes first on a queue,
    // and how late each thread runs, may differ, so a race may need several runs to show again.
    explicit UsbDevice(ControllerModel model, uint64_t seed = 1);
    ~UsbDevice(); // fails what is still pending, as an unplug does
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    const ControllerModel& Model() const {
        return model_;
    }

    // The handler for internal device-control IRPs on the hub PDO; owns the IRP.
    NTSTATUS HandleInternalIoctl(PDEVICE_OBJECT pdo, PIRP irp);
    void SetCompletion(Completion mode);
    Completion CompletionMode() const;
    // For a capture, or a test that acts at a given request; empty: none.
    void SetUrbObserver(UrbObserver observer);

    // ---- The controller's side ----
    // Queues an input report on an interrupt or bulk IN endpoint (0: the first interrupt IN of
    // the selected configuration; an unconfigured device sends nothing) and completes a pending
    // read with it, at DISPATCH_LEVEL.
    // While the address query is on, bytes 49 to 54 of a 64-byte report carry the address.
    void SendInputReport(Bytes report, UCHAR endpoint = 0);
    // A 64-byte input report with ID 1 whose byte 1 counts the reports sent.
    Bytes NextDefaultReport();
    // Sends an input report from `make` every `period` (100 ns kernel units) from the bus
    // thread until StopInputReports.
    void StartInputReports(LONGLONG period, std::function<Bytes()> make = nullptr);
    void StopInputReports();
    // The device leaves the bus: pending transfers and every later request fail as the USB stack
    // of the running Windows version fails them (failure_statuses.h).
    void Unplug();
    // The reads pending now fail with this status (a cancellation, a stall); the device stays.
    // In the bus mode they complete from the bus thread, after what their endpoints completed
    // before.
    void FailPendingReads(NTSTATUS status, USBD_STATUS usbd = USBD_STATUS_CANCELED);

    // ---- What reached the controller ----
    std::vector<TransferRecord> OutTransfers() const;
    std::vector<ControlRecord> ControlTransfers() const;
    // IN transfers waiting for data, and control requests a NAKing device holds.
    size_t PendingReads() const;
    // Requests answered and waiting for the bus thread to complete them.
    size_t DelayedCompletions() const;
    size_t QueuedInputReports() const;
    bool AddressQueryOn() const;
    unsigned OnCommands() const;
    // How many times descriptor (type, index) was read.
    unsigned DescriptorReads(UCHAR type, UCHAR index) const;
    bool Configured() const;
    // The endpoint address behind a pipe handle of the current configuration, or 0.
    UCHAR EndpointOf(USBD_PIPE_HANDLE handle) const;

  private:
    struct Pipe {
        UCHAR endpoint;
        UCHAR attributes;
        USHORT maxPacket;
        UCHAR interval;
        bool valid;
    };

    NTSTATUS Submit(PIRP irp, PURB urb);
    NTSTATUS SelectConfiguration(PURB urb);
    NTSTATUS Transfer(PIRP irp, PURB urb);
    NTSTATUS ControlRequest(PURB urb, const ControlSetup& setup, PVOID buffer, ULONG* length);
    NTSTATUS DescriptorRequest(const ControlSetup& setup, PVOID buffer, ULONG* length);
    NTSTATUS HidClassRequest(const ControlSetup& setup, Bytes& data);
    NTSTATUS AbortPipe(PURB urb);
    void OutReport(UCHAR endpoint, const Bytes& data);
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);
    UCHAR FirstInterruptIn() const;
    void QueueRead(PIRP irp, UCHAR endpoint);
    PIRP TakeRead(UCHAR endpoint); // caller holds lock_
    void CompleteRead(PIRP irp, const Bytes& report, UCHAR endpoint);
    void FailPending(const std::function<bool(UCHAR)>& which, NTSTATUS status, USBD_STATUS usbd);
    void Finish(PIRP irp, NTSTATUS status, UCHAR queue, bool cancellable);
    void Defer(PIRP irp, UCHAR queue, bool cancellable);
    void Complete(PIRP irp); // IofCompleteRequest, seen by the observer first
    void CompleteCancelled(PIRP irp);
    void Observe(PIRP irp, bool completed);
    UCHAR QueueOf(PURB urb) const;
    const UsbFailureStatus& Failure(UsbFailure failure) const;
    void BusThread();
    static VOID NTAPI CancelRequest(PDEVICE_OBJECT device, PIRP irp);

    ControllerModel model_;
    // The USB stack (failure_statuses.h) of the Windows version at the device's arrival:
    // requests fail as it fails them. Read once, because PsGetVersion is for PASSIVE_LEVEL and
    // the bus fails requests at DISPATCH_LEVEL. Kept as its number: tests that meet the name
    // UsbStack in two namespaces include this header.
    const int stack_;
    mutable std::mutex lock_;
    std::recursive_mutex actLock_; // the device acts on one request at a time (bus mode)
    Completion completion_ = Completion::BusThread;
    UrbObserver observer_;
    bool gone_ = false;
    bool configured_ = false;
    std::deque<Pipe> pipes_; // a handle is the address of its record
    // A read whose cancel routine runs stays listed (marked once the routine has it) until the
    // routine has completed it: the device is not destroyed under the routine (readsWake_
    // tells the destructor, which waits for the list to empty).
    struct PendingRead {
        PIRP irp;
        UCHAR endpoint;
        bool cancelling;
    };
    std::deque<PendingRead> reads_;
    std::condition_variable readsWake_;
    std::map<UCHAR, std::deque<Bytes>> queuedReports_;
    std::vector<TransferRecord> outTransfers_;
    std::vector<ControlRecord> controlTransfers_;
    std::map<std::pair<UCHAR, UCHAR>, unsigned> descriptorReads_;
    bool addressQueryOn_ = false;
    unsigned onCommands_ = 0;
    unsigned reportCounter_ = 0;

    // A request answered, waiting for its completion from the bus thread. The bus thread
    // completes the earliest due first; a queue (an endpoint, or the hub's own requests) never
    // has one due before an earlier one of its own, so each endpoint completes in order.
    struct Delayed {
        std::chrono::steady_clock::time_point due;
        uint64_t order;
        UCHAR queue;
        PIRP irp;
        uint64_t hold;    // the kernel time it holds (host::HoldTime)
        bool cancellable; // nothing is carried out yet (a failure at dispatch, a descriptor read)
        bool cancelling;  // its cancel routine runs and completes it
        bool completing;  // that routine has it and is completing it
    };
    mutable std::mutex busLock_;
    std::condition_variable busWake_;
    std::vector<Delayed> delayed_;
    std::map<UCHAR, std::chrono::steady_clock::time_point> lastDue_;
    uint64_t nextOrder_ = 0;
    const uint64_t seed_;
    std::map<UCHAR, uint64_t> queueCount_; // completions queued so far, per queue
    bool busStopping_ = false;
    std::thread bus_;
    std::thread reporter_;
    std::atomic<bool> reporting_{false};
};

} // namespace sim::usb
