// One controller on the USB bus with this driver over it, for the fuzzers: the hub's PDO with a
// controller model behind it, the driver added and started on it as the PnP manager would, and
// the two children that the dispatcher creates, used directly (no PnP manager and no HID stack,
// so that the fuzzer alone decides what reaches them). Requests are sent without waiting, and
// every check aborts so that libFuzzer records the input that broke it.
#pragma once

#include "core/driver.h"
#include "input.h"
#include "sim/usb/hub_pdo.h"
#include "sim/usb/urb_engine.h"

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace fuzz {

// Prints the reason and aborts: libFuzzer keeps the input.
[[noreturn]] void Fail(const char* what, const std::string& detail = "");
// Fails when the verifier saw anything.
void CheckHost(const char* when);

// Boots a fresh host kernel: the verifier clean, and a kernel second of the address query lasting
// 10 microseconds.
void BootHost();

// A request on its way through a device stack; `done` turns true when it has come back.
struct Request {
    PIRP irp = nullptr;
    std::atomic<bool> done{false};
    NTSTATUS returned = STATUS_SUCCESS;
};

class World {
  public:
    explicit World(sim::usb::ControllerModel model);
    // Unplugs the controller, removes the FDO (and with it both children), unloads the driver,
    // and fails unless every request came back and no pool and no verifier finding remain.
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // Waits until the start-up work items have run: TRUE once both children exist, FALSE when the
    // address query has been tried `attempts` times without them.
    bool WaitForChildren(unsigned attempts = 2);
    // Waits until the dispatcher has run the start-up's last work item (the invalidation of the
    // bus relations that reports the children) and gone back to sleep: from then on only a
    // request changes the FDO's extension or the pool.
    void WaitForStartUp();

    PDEVICE_OBJECT Fdo() const {
        return fdo_;
    }
    PDEVICE_OBJECT Gamepad() const;
    PDEVICE_OBJECT Vendor() const;
    sim::usb::UsbDevice& Controller() {
        return *usb_;
    }

    // Sends an IRP to the top of a device's stack without waiting for it; `setup` fills the
    // first stack location (and the IRP).
    Request& Send(PDEVICE_OBJECT device, NTSTATUS initialStatus,
                  const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup);
    // Lets the controller answer every read still pending (a default report each; a read that no
    // report reaches is cancelled) until all requests sent have come back; fails when one never
    // does.
    void Drain();
    // Frees the requests that have come back; call after their results were looked at.
    void Forget();

  private:
    PDEVICE_EXTENSION FdoExtension() const {
        return ExtensionOf(fdo_);
    }
    size_t Outstanding() const;
    static NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    std::unique_ptr<sim::usb::UsbDevice> usb_;
    std::unique_ptr<sim::usb::HubPdo> hub_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    std::deque<Request> requests_;
    std::shared_ptr<std::atomic<unsigned>> getMacAttempts_;
    std::shared_ptr<std::atomic<unsigned>> invalidations_;
};

// A buffer as a caller above a child describes it: by pointer, by MDL alone, by both, or not at
// all. The memory is exactly `size` bytes, so that AddressSanitizer sees every stray byte.
enum class BufferKind { None, Pointer, MdlOnly, Both };

class CallerBuffer {
  public:
    CallerBuffer(BufferKind kind, const Bytes& contents);
    ~CallerBuffer();
    CallerBuffer(const CallerBuffer&) = delete;
    CallerBuffer& operator=(const CallerBuffer&) = delete;

    PVOID Pointer() const; // what goes into TransferBuffer
    PMDL Mdl() const;      // what goes into TransferBufferMDL
    ULONG Size() const {
        return static_cast<ULONG>(size_);
    }

  private:
    BufferKind kind_;
    size_t size_;
    std::unique_ptr<UCHAR[]> data_;
    PMDL mdl_ = nullptr;
};

BufferKind BufferKindOf(unsigned bits);

// One world with the default controller and both children up, booted on first use and kept for
// the whole process (the targets that need no controller of their own share it between inputs).
World& SharedWorld();

} // namespace fuzz
