#include "application.h"

namespace sim::app {

Application::Application(host::Caller caller, size_t userBytes)
    : caller_(caller), space_(userBytes) {}

Application::~Application() {
    for (host::UserHandle& handle : handles_) {
        host::UserClose(handle);
    }
}

int Application::Open(PDEVICE_OBJECT device, ACCESS_MASK access, const std::u16string& remainder,
                      NTSTATUS* status) {
    host::UserHandle handle;
    NTSTATUS result = host::UserOpen(caller_, device, remainder, access, handle);
    if (status != nullptr) {
        *status = result;
    }
    if (!NT_SUCCESS(result)) {
        return 0;
    }
    handles_.push_back(handle);
    return static_cast<int>(handles_.size());
}

void Application::Close(int handle) {
    host::UserClose(handles_.at(static_cast<size_t>(handle - 1)));
}

PVOID Application::Buffer(const Bytes& contents) {
    PVOID address = space_.Allocate(contents.size());
    if (address != NULL && !contents.empty()) {
        space_.Write(address, contents.data(), contents.size());
    }
    return address;
}

PVOID Application::Buffer(size_t size) {
    return space_.Allocate(size);
}

Bytes Application::Read(const void* address, size_t size) const {
    Bytes bytes(size);
    space_.Read(address, bytes.data(), size);
    return bytes;
}

void Application::Write(PVOID address, const Bytes& contents) {
    space_.Write(address, contents.data(), contents.size());
}

host::UserIoResult Application::Control(int handle, ULONG code, PVOID input, ULONG inputLength,
                                        PVOID output, ULONG outputLength) {
    return host::UserDeviceIoControl(space_, handles_.at(static_cast<size_t>(handle - 1)), code,
                                     input, inputLength, output, outputLength);
}

host::UserIoResult Application::ControlMember(int handle, PDEVICE_OBJECT member, ULONG code,
                                              PVOID input, ULONG inputLength, PVOID output,
                                              ULONG outputLength) {
    return host::UserDeviceIoControl(space_, handles_.at(static_cast<size_t>(handle - 1)), code,
                                     input, inputLength, output, outputLength, member);
}

} // namespace sim::app
