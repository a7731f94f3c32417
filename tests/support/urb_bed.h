// A bench for the children's URB handling: the driver loaded, its FDO over the PDO of a test bus
// whose internal device-control handler the test writes, and both children created as the
// dispatcher creates them. Requests go to a child through the driver's dispatch table.
#pragma once

#include <host/host.h>

#include "core/driver.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace urbbed {

// Answers an internal device-control request at the bus PDO; owns the IRP.
using BusHandler = std::function<NTSTATUS(PIRP irp, PURB urb)>;

class UrbBed : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The bus completes every URB at once at DISPATCH_LEVEL with this status (and records it).
    void BusCompletes(NTSTATUS status, const std::function<void(PURB)>& fill = nullptr);
    void SetBus(BusHandler handler);

    // Sends IOCTL_INTERNAL_USB_SUBMIT_URB (or another code) to a child and waits for it.
    host::IrpResult Submit(PDEVICE_OBJECT child, PURB urb, NTSTATUS initialStatus = STATUS_SUCCESS,
                           UCHAR major = IRP_MJ_INTERNAL_DEVICE_CONTROL);
    host::IrpResult Control(PDEVICE_OBJECT child, ULONG code, PVOID userBuffer = nullptr);

    PDEVICE_EXTENSION Extension(PDEVICE_OBJECT device) {
        return static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    }
    static std::vector<std::string> Lines() {
        return host::LogTexts();
    }

    PDRIVER_OBJECT velt_ = nullptr;
    PDRIVER_OBJECT testDriver_ = nullptr;
    PDEVICE_OBJECT busPdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_OBJECT gamepad_ = nullptr;
    PDEVICE_OBJECT vendor_ = nullptr;
    // Set when the test removed the FDO through its own IRP_MN_REMOVE_DEVICE.
    bool fdoRemoved_ = false;
    // Copies of the URBs that reached the bus, as they arrived.
    std::vector<URB> busUrbs_;
};

// URB builders.
URB DescriptorRequest(USHORT function, UCHAR type, UCHAR index, PVOID buffer, ULONG length);
URB Transfer(bool in, PVOID buffer, ULONG length);
URB ClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer, ULONG length);

// Pipe handles the bench's FDO holds, as the configuration selection stored them.
extern const USBD_PIPE_HANDLE kControllerInPipe;
extern const USBD_PIPE_HANDLE kControllerOutPipe;

} // namespace urbbed
