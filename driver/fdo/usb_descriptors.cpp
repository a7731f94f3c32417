// Reading the controller's USB descriptors.
#include "fdo.h"

// Dispatcher thread, PASSIVE_LEVEL. Until descriptors are read, there is nothing to do.
NTSTATUS GetDescriptorData(PDEVICE_EXTENSION Extension) {
    UNREFERENCED_PARAMETER(Extension);
    return STATUS_SUCCESS;
}
