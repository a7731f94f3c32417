// A pass-through filter driver, as a verifier puts one into device stacks: each of its devices
// forwards every request unchanged to the device below it, keeps a remove lock as a sound filter
// does, and leaves its stack on IRP_MN_REMOVE_DEVICE. On demand it fails PnP requests of a given
// kind, so that the PnP manager has to recover (cancel a query, take down a stack that failed to
// start).
#pragma once

#include <host/host.h>

#include <vector>

namespace sim::pnp {

// The service name the PnP manager loads the filter under.
constexpr const char* FilterService = "pnpfilter";

NTSTATUS NTAPI FilterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Creates a filter device of the loaded filter driver and attaches it to the top of pdo's stack;
// NULL when no device could be created.
PDEVICE_OBJECT AttachFilter(PDRIVER_OBJECT filterDriver, PDEVICE_OBJECT pdo);

// The filter devices in pdo's stack, from the bottom up.
std::vector<PDEVICE_OBJECT> FiltersIn(PDEVICE_OBJECT pdo);

// The next `count` PnP requests with this minor code that reach a filter in pdo's stack fail
// there with `status`. A query (remove or stop) fails before it goes down, as a vetoing driver
// fails it; any other request fails on its way back up, after the drivers below handled it.
void FailInFilter(PDEVICE_OBJECT pdo, UCHAR minor, NTSTATUS status, unsigned count = 1);
// Requests the filters in pdo's stack have failed so far.
unsigned FilterFailures(PDEVICE_OBJECT pdo);
// Disarms every failure and forgets the counts (a new world starts).
void ResetFilterFailures();

} // namespace sim::pnp
