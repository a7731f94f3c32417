// A small bench for the children's routines: the driver loaded, its FDO attached over the PDO of
// a test bus driver, and both children created as the dispatcher's CreatePDOs command creates
// them. The bus PDO (and an optional filter above the FDO) answer PnP requests from a script and
// record what reached them.
#pragma once

#include <host/host.h>

#include "core/driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace childbed {

// How a test device answers an IRP_MJ_PNP request.
struct Answer {
    bool passDown = false; // a filter hands the request to the device below it
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool completeLater = false; // pend, then complete from another thread at DISPATCH_LEVEL
};

// What a test device saw of one request.
struct Seen {
    PDEVICE_OBJECT device;
    UCHAR minor;
    CHAR stackCount;
    NTSTATUS statusOnArrival;
    IO_STACK_LOCATION stack;
};

class ChildBed : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Attaches a filter device of the test driver above the FDO; it becomes the top of the FDO's
    // stack.
    PDEVICE_OBJECT AttachFilterAboveFdo(const Answer& answer);

    // Sends a PnP request to a child through the driver's dispatch table.
    host::IrpResult SendPnp(PDEVICE_OBJECT child, UCHAR minor, NTSTATUS initialStatus,
                            const std::function<void(PIRP, PIO_STACK_LOCATION)>& fill = nullptr);

    // Sends a PnP request of any minor code straight to a child's repeater, as the child's
    // DispatchPnp does: with the child's remove lock held for the IRP.
    host::IrpResult SendToRepeater(PDEVICE_OBJECT child, UCHAR minor, NTSTATUS initialStatus);

    // Waits until every request a test device completes from another thread has been completed
    // and its completion has run to the end.
    void JoinCompleters();

    PDEVICE_EXTENSION Extension(PDEVICE_OBJECT device) {
        return static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    }

    // Trace lines since the last ClearLog, and those of one level.
    std::vector<std::string> Lines();
    std::vector<std::string> LinesAt(ULONG level);

    PDRIVER_OBJECT velt_ = nullptr;
    PDRIVER_OBJECT testDriver_ = nullptr;
    PDEVICE_OBJECT busPdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    PDEVICE_OBJECT shim_ = nullptr;
    PDEVICE_OBJECT gamepad_ = nullptr;
    PDEVICE_OBJECT vendor_ = nullptr;
};

// The script and record shared with the test driver's dispatch routines.
Answer& BusAnswer();
std::vector<Seen>& SeenRequests();

} // namespace childbed
