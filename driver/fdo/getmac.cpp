// Asking the controller for its address.
#include "fdo.h"

// Dispatcher thread, PASSIVE_LEVEL. Until the address query exists, there is nothing to do.
NTSTATUS GetMac(PDEVICE_EXTENSION Extension) {
    UNREFERENCED_PARAMETER(Extension);
    return STATUS_SUCCESS;
}
