// Selecting the controller's configuration and keeping its pipe handles.
#include "fdo.h"

// Dispatcher thread, PASSIVE_LEVEL. Until the configuration is selected, there is nothing to do.
NTSTATUS SetTargetConfiguration(PDEVICE_EXTENSION Extension, PVOID ConfigurationDescriptor) {
    UNREFERENCED_PARAMETER(Extension);
    UNREFERENCED_PARAMETER(ConfigurationDescriptor);
    return STATUS_SUCCESS;
}
