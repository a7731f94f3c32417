// The user-mode side of the I/O manager: a program's address space, the handles it opens on a
// device stack and the device-control requests it sends, built as Windows builds them for a
// caller in user mode. What a user address holds is the program's: the kernel side reaches it
// only through the I/O manager's own probes and copies, and a driver that touches one stops the
// machine as Windows would.
#pragma once

#include <ntddk.h>

#include <string>

// What wdm.h leaves to the headers of user-mode programs and to ntifs.h.
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define GENERIC_EXECUTE 0x20000000UL
#define GENERIC_ALL 0x10000000UL
#endif
#ifndef FILE_READ_ACCESS
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#endif
#ifndef FILE_READ_DATA
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#endif
#ifndef SYNCHRONIZE
#define DELETE 0x00010000UL
#define READ_CONTROL 0x00020000UL
#define WRITE_DAC 0x00040000UL
#define WRITE_OWNER 0x00080000UL
#define SYNCHRONIZE 0x00100000UL
#define STANDARD_RIGHTS_REQUIRED 0x000F0000UL
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#endif
#ifndef FILE_ALL_ACCESS
#define FILE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF)
#define FILE_GENERIC_READ                                                                          \
    (STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE)
#define FILE_GENERIC_WRITE                                                                         \
    (STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA |             \
     FILE_APPEND_DATA | SYNCHRONIZE)
#define FILE_GENERIC_EXECUTE                                                                       \
    (STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE)
#endif
#ifndef MDL_PAGES_LOCKED
#define MDL_PAGES_LOCKED 0x0002
#endif
#ifndef STATUS_ACCESS_VIOLATION
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#endif
#define IO_TYPE_FILE 5

// The leading members of the WDK's FILE_OBJECT, in its order; the I/O manager fills the ones a
// device-control path meets (the driver of this project reads none of them).
typedef struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    struct _FILE_OBJECT* RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
} FILE_OBJECT, *PFILE_OBJECT;

namespace host {

namespace rule {
// A driver read or wrote a user address itself, outside the I/O manager's probe and copy.
extern const char* const UserAddressTouched;
} // namespace rule

struct UserRange;

// One program's address space. Its user addresses are an inaccessible mapping: the program's
// bytes live elsewhere, and only the program (Write, Read) and the I/O manager reach them. On a
// 64-bit host the range lies below 4 GB, so that a 32-bit field a program fills (a buffer
// length, say) can hold one of its addresses, as it can on Windows.
class UserSpace {
  public:
    explicit UserSpace(size_t bytes = 1 << 20);
    ~UserSpace();
    UserSpace(const UserSpace&) = delete;
    UserSpace& operator=(const UserSpace&) = delete;

    // Commits `size` zeroed bytes (at least one) and returns their user address; NULL when the
    // space is full.
    PVOID Allocate(size_t size);
    // The program's own stores and loads. A range outside the space is a bug of the caller.
    void Write(PVOID address, const void* data, size_t size);
    void Read(const void* address, void* data, size_t size) const;
    // ProbeForRead/ProbeForWrite's test: the whole range lies in this space.
    bool Contains(const void* address, size_t size) const;
    // Where the I/O manager (never a driver) reads and writes the bytes of a probed range.
    PVOID SystemAlias(const void* address) const;

    PVOID Base() const {
        return base_;
    }
    size_t Size() const {
        return size_;
    }

  private:
    void Claim(UserRange& range);

    UserRange* slot_ = nullptr;
    PVOID base_ = nullptr;
    size_t size_;
    UCHAR* bytes_ = nullptr;
    size_t committed_ = 0;
};

// Who runs the program: its token's groups decide what a security descriptor grants it.
enum class Caller { User, Administrator, System };

// An open handle: the file object, and the access the open granted.
struct UserHandle {
    PFILE_OBJECT file = nullptr;
    ACCESS_MASK granted = 0;
};

// Sets the security descriptor of a device object from SDDL text, as the PnP manager applies the
// Security value of the device's registry key; FALSE for text it does not understand (nothing
// changes then). A device object with none has the system's default one.
bool SetDeviceSecurity(PDEVICE_OBJECT device, const std::string& sddl);
// Whether the host can read the SDDL (an INF's Security value, say).
bool SddlReadable(const std::string& sddl);
// The access that the device's security descriptor grants the caller, in file rights (its
// generic rights mapped as the file object type maps them).
ACCESS_MASK GrantedAccess(PDEVICE_OBJECT device, Caller caller);

// CreateFile on "\\?\GLOBALROOT\Device\<name of `named`>" followed by `remainder` (empty, or a
// name in the device's namespace such as u"\\x"): the access check against the named device
// object's security descriptor (skipped for a name in the namespace unless the stack carries
// FILE_DEVICE_SECURE_OPEN) for `desired` (generic or file rights) and what CreateFileW adds to
// it, then IRP_MJ_CREATE with a new file object to the top of its stack, RequestorMode UserMode.
// Returns the status; `handle` is filled on success only.
NTSTATUS UserOpen(Caller caller, PDEVICE_OBJECT named, const std::u16string& remainder,
                  ACCESS_MASK desired, UserHandle& handle);

// CloseHandle: IRP_MJ_CLEANUP and IRP_MJ_CLOSE to the top of the stack, then the file object
// goes.
void UserClose(UserHandle& handle);

struct UserIoResult {
    NTSTATUS status; // what DeviceIoControl's caller learns
    ULONG_PTR information;
    bool sent; // FALSE when the I/O manager refused the request before any driver saw it
};

// DeviceIoControl: `input` and `output` are user addresses (or any values a program passes).
// The access bits of the code are checked against the handle, the buffers are probed and placed
// by the code's transfer method, and IRP_MJ_DEVICE_CONTROL goes to the top of the stack with
// RequestorMode UserMode; the call returns when the request has completed. A `target` other
// than NULL, a member of the handle's stack, gets the request in place of the top: what that
// member answers a program by itself.
UserIoResult UserDeviceIoControl(UserSpace& space, const UserHandle& handle, ULONG code,
                                 PVOID input, ULONG inputLength, PVOID output, ULONG outputLength,
                                 PDEVICE_OBJECT target = NULL);

} // namespace host
