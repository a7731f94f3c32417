// A controller's device stack for tests: a hub PDO served by the URB engine with a controller
// model behind it, and the driver's FDO attached over it by the driver's own AddDevice. The
// driver's routines are then called directly on the FDO's extension.
#pragma once

#include "core/driver.h"
#include "sim/usb/urb_engine.h"

#include <functional>
#include <memory>
#include <string>

namespace velt_test {

class UsbStack {
  public:
    explicit UsbStack(sim::usb::ControllerModel model,
                      const std::u16string& hardwareIds = u"USB\\VID_F3A1&PID_5C20&REV_0100");
    // Frees what the FDO's removal frees, deletes both device objects and unloads both drivers.
    ~UsbStack();
    UsbStack(const UsbStack&) = delete;
    UsbStack& operator=(const UsbStack&) = delete;

    PDEVICE_OBJECT Fdo() const {
        return fdo_;
    }
    PDEVICE_OBJECT Pdo() const {
        return pdo_;
    }
    PDEVICE_EXTENSION Extension() const {
        return ExtensionOf(fdo_);
    }
    sim::usb::UsbDevice& Device() {
        return *device_;
    }

    // Answers the PDO's internal device-control requests other than the USB ones (the HID
    // minidriver codes that the FDO passes down); by default they fail STATUS_NOT_SUPPORTED.
    void SetOtherRequests(std::function<NTSTATUS(PIRP)> handler);

  private:
    static NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path);
    static NTSTATUS NTAPI BusInternalControl(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI BusOther(PDEVICE_OBJECT device, PIRP irp);

    std::unique_ptr<sim::usb::UsbDevice> device_;
    std::function<NTSTATUS(PIRP)> other_;
    PDRIVER_OBJECT busDriver_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

// The pool tags outstanding, each once per allocation, sorted.
std::vector<std::string> PoolTagsOutstanding();

} // namespace velt_test

#include <gtest/gtest.h>
#include <host/host.h>

namespace velt_test {

// Boots the host kernel for one test, with one kernel second lasting 10 ms; on teardown the
// stack is gone, no verifier rule fired and no pool is left.
class UsbStackTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    UsbStack& Plug(sim::usb::ControllerModel model,
                   const std::u16string& hardwareIds = u"USB\\VID_F3A1&PID_5C20&REV_0100");
    UsbStack& Stack() {
        return *stack_;
    }
    PDEVICE_EXTENSION Extension() {
        return stack_->Extension();
    }

    std::unique_ptr<UsbStack> stack_;
};

// %p as the debug log prints it.
std::string PointerText(const void* pointer);
// The log lines from the first one equal to `first` on (all of them when absent).
std::vector<std::string> LogFrom(const std::string& first);

} // namespace velt_test
