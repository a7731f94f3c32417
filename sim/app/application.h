// A program in user mode: its own address space, the token it runs with, and the handles it opens
// on device stacks. It opens a stack by the device object of any of its members, as
// "\\?\GLOBALROOT\Device\<name>" lets a program open any named device object, and sends requests
// the way DeviceIoControl does. Handles still open when the program ends are closed, as Windows
// closes the handles of a process that exits.
#pragma once

#include <host/user_io.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim::app {

using Bytes = std::vector<uint8_t>;

class Application {
  public:
    explicit Application(host::Caller caller = host::Caller::User, size_t userBytes = 1 << 20);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // CreateFile: a handle number (from 1) on success, 0 with the status in `status` otherwise.
    int Open(PDEVICE_OBJECT device, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE,
             const std::u16string& remainder = u"", NTSTATUS* status = nullptr);
    void Close(int handle);

    // Memory of the program: a new buffer holding `contents` (or `size` zeros), its user address.
    PVOID Buffer(const Bytes& contents);
    PVOID Buffer(size_t size);
    Bytes Read(const void* address, size_t size) const;
    void Write(PVOID address, const Bytes& contents);

    // DeviceIoControl with whatever addresses and lengths the program passes.
    host::UserIoResult Control(int handle, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                               ULONG outputLength);
    // The same request sent to one member of the handle's stack (not the top), to learn what that
    // member answers a program by itself.
    host::UserIoResult ControlMember(int handle, PDEVICE_OBJECT member, ULONG code, PVOID input,
                                     ULONG inputLength, PVOID output, ULONG outputLength);

    host::UserSpace& Space() {
        return space_;
    }

  private:
    host::Caller caller_;
    host::UserSpace space_;
    std::vector<host::UserHandle> handles_;
};

} // namespace sim::app
