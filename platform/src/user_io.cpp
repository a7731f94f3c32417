// The user-mode side of the I/O manager: programs' address spaces, the fault that a driver's
// touch of a user address turns into, device security, and the create, close and device-control
// requests of a program. Written from learn.microsoft.com: "Buffer Descriptions for I/O Control
// Codes", "Using Neither Buffered Nor Direct I/O", "Controlling Device Namespace Access",
// "Securing Device Objects", "ProbeForRead", and bug checks 0x50 and 0xD1.
//
// Not modelled: paging (every committed user page is resident), SEH in drivers (the host offers
// no ProbeForRead/ProbeForWrite to drivers: none of its drivers may touch a user address at
// all), the IO_SECURITY_CONTEXT of a create, share access and exclusive devices, and the check
// that IoStatus.Information of a buffered request fits its output buffer (verifier 0xC9 0x312).
#include <host/user_io.h>

#include "faults.h"
#include "kernel.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace host {

namespace rule {
const char* const UserAddressTouched = "USER_ADDRESS_TOUCHED_BY_DRIVER";
} // namespace rule

// The reservations of user spaces, read by the fault handler without a lock. A reservation stays
// PROT_NONE for the life of the process: a dead space's addresses still fault as user addresses,
// and no later host allocation lands on them; a new space of no greater size takes it over.
enum SlotState : int { SlotEmpty, SlotLive, SlotDead };
struct UserRange {
    std::atomic<int> state{SlotEmpty};
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<UCHAR*> alias{nullptr}; // the live space's bytes
    std::atomic<size_t> liveSize{0};    // and their count
};
namespace {

// ---- Faults on user addresses -------------------------------------------------------------------

constexpr size_t MaxUserSpaces = 64;
UserRange g_userRanges[MaxUserSpaces];

bool IsUserAddress(uintptr_t address) {
    for (const UserRange& range : g_userRanges) {
        if (address >= range.begin.load(std::memory_order_acquire) &&
            address < range.end.load(std::memory_order_acquire)) {
            return true;
        }
    }
    return false;
}

// Whether the faulting access wrote, and where the code that made it runs, from the x86 fault
// frame; unknown elsewhere.
void DescribeAccess(void* context, bool& write, uintptr_t& pc) {
    write = false;
    pc = 0;
#if defined(__x86_64__)
    auto* frame = static_cast<ucontext_t*>(context);
    write = (frame->uc_mcontext.gregs[REG_ERR] & 2) != 0;
    pc = static_cast<uintptr_t>(frame->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    auto* frame = static_cast<ucontext_t*>(context);
    write = (frame->uc_mcontext.gregs[REG_ERR] & 2) != 0;
    pc = static_cast<uintptr_t>(frame->uc_mcontext.gregs[REG_EIP]);
#else
    (void)context;
#endif
}

// The driver's service name, for a line written in the fault handler.
void AddServiceName(detail::SignalLine& line, PDRIVER_OBJECT driver) {
    if (driver->DriverExtension == nullptr) {
        line.Add("unnamed driver");
        return;
    }
    const UNICODE_STRING& name = driver->DriverExtension->ServiceKeyName;
    for (USHORT i = 0; i < name.Length / sizeof(WCHAR) && line.used < sizeof line.text; ++i) {
        line.text[line.used++] = name.Buffer[i] < 0x80 ? static_cast<char>(name.Buffer[i]) : '?';
    }
}

// A kernel-mode access to a user address. Windows reads a resident page of the requesting
// process silently at PASSIVE_LEVEL, and stops the machine wherever the page is not there (an
// arbitrary thread, a raised IRQL, an address the program chose); the host cannot tell the
// requester's context from another, so it stops at every such access: 0xD1
// DRIVER_IRQL_NOT_LESS_OR_EQUAL at DISPATCH_LEVEL and above, 0x50 PAGE_FAULT_IN_NONPAGED_AREA
// below. The violation and the stop are written straight to stderr, the only record that
// outlives the stop (the verifier's list takes a lock the faulting code may hold). Other faults
// belong to the other owners or to the handler that was there before.
bool OnUserFault(uintptr_t address, void* context) {
    if (!IsUserAddress(address)) {
        return false;
    }
    bool write;
    uintptr_t pc;
    DescribeAccess(context, write, pc);
    KIRQL irql = detail::CurrentIrql();
    PDRIVER_OBJECT driver = detail::CurrentDriver();
    detail::SignalLine what;
    if (driver == nullptr) {
        what.Add("kernel code outside any driver");
    } else {
        what.Add("driver ");
        AddServiceName(what, driver);
    }
    what.Add(" (instruction at 0x");
    what.AddNumber(pc, 16, 1);
    what.Add(write ? ") wrote user address 0x" : ") read user address 0x");
    what.AddNumber(address, 16, 1);
    what.Add(" at IRQL ");
    what.AddNumber(irql, 10, 1);
    detail::SignalLine line;
    line.Add(rule::UserAddressTouched);
    line.Add(": ");
    line.Add(what);
    line.Add("\n");
    line.Emit();
    if (irql >= DISPATCH_LEVEL) {
        detail::StopFromSignal(0xD1, "DRIVER_IRQL_NOT_LESS_OR_EQUAL", what);
    }
    detail::StopFromSignal(0x50, "PAGE_FAULT_IN_NONPAGED_AREA", what);
}

void InstallFaultHandler() {
    detail::AddFaultOwner(OnUserFault);
}

// ---- Security -----------------------------------------------------------------------------------

struct Ace {
    bool allow;
    ACCESS_MASK mask;
    std::string sid;
};

struct SecurityDescriptor {
    std::vector<Ace> dacl;
};

// Access rights of SDDL ("ACE Strings"): the generic ones, and the file rights of "File Security
// and Access Rights".
struct RightName {
    const char* name;
    ACCESS_MASK mask;
};
const RightName RightNames[] = {
    {"GA", GENERIC_ALL},        {"GR", GENERIC_READ},         {"GW", GENERIC_WRITE},
    {"GX", GENERIC_EXECUTE},    {"FA", FILE_ALL_ACCESS},      {"FR", FILE_GENERIC_READ},
    {"FW", FILE_GENERIC_WRITE}, {"FX", FILE_GENERIC_EXECUTE},
};

// The SID aliases of SDDL, and the ones each caller's token holds.
const char* const KnownSids[] = {"SY", "BA", "WD", "AU", "BU", "IU", "RC"};

struct TokenGroups {
    Caller caller;
    std::vector<std::string> sids;
};
const TokenGroups Tokens[] = {
    {Caller::User, {"WD", "AU", "BU", "IU"}},
    {Caller::Administrator, {"WD", "AU", "BU", "IU", "BA"}},
    {Caller::System, {"SY", "BA", "WD", "AU"}},
};

// What a device object gets when neither its driver nor its registry key gives it security: full
// access for the system and administrators, read, write and execute for everyone ("Securing
// Device Objects": the default descriptor of a named device object).
const char DefaultDeviceSddl[] = "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGWGX;;;WD)";

// The generic mapping of the file object type, which an open of a device is checked with
// ("GENERIC_MAPPING", "File Security and Access Rights"): each generic right stands for its file
// rights, on the ACE's side and the desired side alike.
ACCESS_MASK MapGeneric(ACCESS_MASK mask) {
    const struct {
        ACCESS_MASK generic;
        ACCESS_MASK specific;
    } FileMapping[] = {
        {GENERIC_READ, FILE_GENERIC_READ},
        {GENERIC_WRITE, FILE_GENERIC_WRITE},
        {GENERIC_EXECUTE, FILE_GENERIC_EXECUTE},
        {GENERIC_ALL, FILE_ALL_ACCESS},
    };
    ACCESS_MASK mapped = mask;
    for (const auto& entry : FileMapping) {
        if ((mask & entry.generic) != 0) {
            mapped = (mapped & ~entry.generic) | entry.specific;
        }
    }
    return mapped;
}

bool ParseRights(const std::string& text, ACCESS_MASK& mask) {
    mask = 0;
    if (text.empty() || text.size() % 2 != 0) {
        return false;
    }
    for (size_t at = 0; at < text.size(); at += 2) {
        bool known = false;
        for (const RightName& right : RightNames) {
            if (text.compare(at, 2, right.name) == 0) {
                mask |= right.mask;
                known = true;
            }
        }
        if (!known) {
            return false;
        }
    }
    return true;
}

// "D:" and the DACL flags P, AI and AR in any order, then "(type;flags;rights;;;sid)*" with allow
// and deny ACEs, no inheritance flags and no object GUIDs: what device security needs.
bool ParseSddl(const std::string& text, SecurityDescriptor& descriptor) {
    if (text.compare(0, 2, "D:") != 0) {
        return false;
    }
    size_t at = text.find('(');
    std::string flags = text.substr(2, at == std::string::npos ? std::string::npos : at - 2);
    for (size_t from = 0; from < flags.size();) {
        size_t length = flags[from] == 'P' ? 1 : 2;
        std::string token = flags.substr(from, length);
        if (token != "P" && token != "AI" && token != "AR") {
            return false;
        }
        from += length;
    }
    while (at != std::string::npos && at < text.size()) {
        size_t close = text.find(')', at);
        if (text[at] != '(' || close == std::string::npos) {
            return false;
        }
        std::vector<std::string> fields;
        std::string ace = text.substr(at + 1, close - at - 1);
        for (size_t from = 0;;) {
            size_t semicolon = ace.find(';', from);
            fields.push_back(ace.substr(from, semicolon - from));
            if (semicolon == std::string::npos) {
                break;
            }
            from = semicolon + 1;
        }
        Ace entry{};
        if (fields.size() != 6 || (fields[0] != "A" && fields[0] != "D") || !fields[1].empty() ||
            !fields[3].empty() || !fields[4].empty() || !ParseRights(fields[2], entry.mask)) {
            return false;
        }
        bool knownSid = false;
        for (const char* sid : KnownSids) {
            knownSid = knownSid || fields[5] == sid;
        }
        if (!knownSid) {
            return false;
        }
        entry.allow = fields[0] == "A";
        entry.sid = fields[5];
        descriptor.dacl.push_back(entry);
        at = close + 1;
    }
    return true;
}

// Descriptors by their text; a device object's SecurityDescriptor points at one. Never freed:
// a device object may outlive any owner we could give them.
const SecurityDescriptor* InternDescriptor(const std::string& sddl) {
    static std::mutex& lock = *new std::mutex;
    static auto& interned = *new std::map<std::string, std::unique_ptr<SecurityDescriptor>>;
    std::lock_guard<std::mutex> guard(lock);
    auto found = interned.find(sddl);
    if (found != interned.end()) {
        return found->second.get();
    }
    auto descriptor = std::make_unique<SecurityDescriptor>();
    if (!ParseSddl(sddl, *descriptor)) {
        return nullptr;
    }
    return (interned[sddl] = std::move(descriptor)).get();
}

bool HasSid(Caller caller, const std::string& sid) {
    for (const TokenGroups& token : Tokens) {
        if (token.caller != caller) {
            continue;
        }
        for (const std::string& group : token.sids) {
            if (group == sid) {
                return true;
            }
        }
    }
    return false;
}

// The DACL in order: the first ACE that decides a right decides it.
ACCESS_MASK AccessCheck(const SecurityDescriptor& descriptor, Caller caller) {
    ACCESS_MASK granted = 0;
    ACCESS_MASK denied = 0;
    for (const Ace& ace : descriptor.dacl) {
        if (!HasSid(caller, ace.sid)) {
            continue;
        }
        ACCESS_MASK bits = MapGeneric(ace.mask) & ~granted & ~denied;
        (ace.allow ? granted : denied) |= bits;
    }
    return granted;
}

// The characteristics that the PnP manager gives every device object of a stack (the union of
// the stack's FILE_CHARACTERISTICS_PROPAGATED bits, of which FILE_DEVICE_SECURE_OPEN is one).
bool StackOpensSecurely(PDEVICE_OBJECT member) {
    PDEVICE_OBJECT bottom = member;
    while (AttachedTo(bottom) != nullptr) {
        bottom = AttachedTo(bottom);
    }
    for (PDEVICE_OBJECT device = bottom; device != nullptr; device = device->AttachedDevice) {
        if ((device->Characteristics & FILE_DEVICE_SECURE_OPEN) != 0) {
            return true;
        }
    }
    return false;
}

// The file object with what it owns.
struct FileRecord {
    FILE_OBJECT file;
    std::u16string name;
};

// A request of the file itself (create, cleanup, close), to the top of its stack, from user mode.
IrpResult SendFileRequest(PFILE_OBJECT file, UCHAR major) {
    IrqlScope passive(PASSIVE_LEVEL);
    return SendIrp(file->DeviceObject, STATUS_SUCCESS,
                   [file, major](PIRP irp, PIO_STACK_LOCATION stack) {
                       stack->MajorFunction = major;
                       stack->FileObject = file;
                       irp->RequestorMode = UserMode;
                       irp->Tail.Overlay.OriginalFileObject = file;
                   });
}

} // namespace

// ---- User spaces --------------------------------------------------------------------------------

UserSpace::UserSpace(size_t bytes) : size_((bytes + PAGE_SIZE - 1) & ~size_t(PAGE_SIZE - 1)) {
    InstallFaultHandler();
    bytes_ = static_cast<UCHAR*>(std::calloc(1, size_));
    if (bytes_ == nullptr) {
        detail::BugCheck(0x7D, "INSTALL_MORE_MEMORY: no memory for a user space");
    }
    for (UserRange& range : g_userRanges) {
        int dead = SlotDead;
        if (range.end.load() - range.begin.load() >= size_ &&
            range.state.compare_exchange_strong(dead, SlotLive)) {
            Claim(range);
            return;
        }
    }
    for (UserRange& range : g_userRanges) {
        int empty = SlotEmpty;
        if (range.state.compare_exchange_strong(empty, SlotLive)) {
            int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
#if defined(MAP_32BIT) && defined(__x86_64__)
            flags |= MAP_32BIT;
#endif
            void* base = mmap(nullptr, size_, PROT_NONE, flags, -1, 0);
            if (base == MAP_FAILED) {
                detail::BugCheck(0x7D, "INSTALL_MORE_MEMORY: no address range for a user space");
            }
            range.begin.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
            range.end.store(reinterpret_cast<uintptr_t>(base) + size_, std::memory_order_release);
            Claim(range);
            return;
        }
    }
    detail::BugCheck(0x7D, "INSTALL_MORE_MEMORY: more than 64 user spaces at once");
}

void UserSpace::Claim(UserRange& range) {
    slot_ = &range;
    base_ = reinterpret_cast<PVOID>(range.begin.load());
    range.liveSize.store(size_, std::memory_order_release);
    range.alias.store(bytes_, std::memory_order_release);
}

UserSpace::~UserSpace() {
    slot_->alias.store(nullptr);
    slot_->liveSize.store(0);
    slot_->state.store(SlotDead);
    std::free(bytes_);
}

PVOID UserSpace::Allocate(size_t size) {
    if (size > size_ - committed_) {
        return NULL;
    }
    size_t rounded = ((size == 0 ? 1 : size) + 15) & ~size_t(15);
    if (rounded > size_ - committed_) {
        return NULL;
    }
    PVOID address = static_cast<UCHAR*>(base_) + committed_;
    committed_ += rounded;
    return address;
}

bool UserSpace::Contains(const void* address, size_t size) const {
    auto begin = reinterpret_cast<uintptr_t>(address);
    auto base = reinterpret_cast<uintptr_t>(base_);
    return begin >= base && begin - base <= size_ && size <= size_ - (begin - base);
}

PVOID UserSpace::SystemAlias(const void* address) const {
    return bytes_ + (reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(base_));
}

namespace detail {

PVOID UserSystemAlias(const void* address, size_t size) {
    auto at = reinterpret_cast<uintptr_t>(address);
    for (const UserRange& range : g_userRanges) {
        UCHAR* alias = range.alias.load(std::memory_order_acquire);
        uintptr_t begin = range.begin.load(std::memory_order_acquire);
        size_t live = range.liveSize.load(std::memory_order_acquire);
        if (alias != nullptr && at >= begin && at - begin <= live && size <= live - (at - begin)) {
            return alias + (at - begin);
        }
    }
    return nullptr;
}

} // namespace detail

void UserSpace::Write(PVOID address, const void* data, size_t size) {
    if (!Contains(address, size)) {
        detail::BugCheck(0x50, "a program wrote outside its own address space");
    }
    if (size != 0) {
        std::memcpy(SystemAlias(address), data, size);
    }
}

void UserSpace::Read(const void* address, void* data, size_t size) const {
    if (!Contains(address, size)) {
        detail::BugCheck(0x50, "a program read outside its own address space");
    }
    if (size != 0) {
        std::memcpy(data, SystemAlias(address), size);
    }
}

// ---- Security -----------------------------------------------------------------------------------

bool SddlReadable(const std::string& sddl) {
    return InternDescriptor(sddl) != nullptr;
}

bool SetDeviceSecurity(PDEVICE_OBJECT device, const std::string& sddl) {
    const SecurityDescriptor* descriptor = InternDescriptor(sddl);
    if (descriptor == nullptr) {
        return false;
    }
    device->SecurityDescriptor = const_cast<SecurityDescriptor*>(descriptor);
    return true;
}

ACCESS_MASK GrantedAccess(PDEVICE_OBJECT device, Caller caller) {
    auto descriptor = static_cast<const SecurityDescriptor*>(device->SecurityDescriptor);
    if (descriptor == nullptr) {
        descriptor = InternDescriptor(DefaultDeviceSddl);
    }
    return AccessCheck(*descriptor, caller);
}

// ---- Requests of a program ----------------------------------------------------------------------

// The access CreateFileW asks for besides the caller's: SYNCHRONIZE, as its handles are for
// synchronous I/O, and FILE_READ_ATTRIBUTES ("CreateFileW", "NtCreateFile": DesiredAccess).
constexpr ACCESS_MASK CreateFileAdds = SYNCHRONIZE | FILE_READ_ATTRIBUTES;

// An open that asks for no access at all still needs the descriptor to grant the caller
// something (UNVERIFIED: Windows' rule for a zero desired access is not documented for devices).
NTSTATUS UserOpen(Caller caller, PDEVICE_OBJECT named, const std::u16string& remainder,
                  ACCESS_MASK desired, UserHandle& handle) {
    ACCESS_MASK wanted = MapGeneric(desired | CreateFileAdds);
    if (remainder.empty() || StackOpensSecurely(named)) {
        ACCESS_MASK granted = GrantedAccess(named, caller);
        if (granted == 0 || (granted & wanted) != wanted) {
            return STATUS_ACCESS_DENIED;
        }
    }
    auto* record = new FileRecord{};
    record->name = remainder;
    PFILE_OBJECT file = &record->file;
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = named;
    file->ReadAccess = (wanted & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    file->WriteAccess = (wanted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    RtlInitUnicodeString(&file->FileName, record->name.c_str());
    ObfReferenceObject(named);
    IrpResult result = SendFileRequest(file, IRP_MJ_CREATE);
    if (!NT_SUCCESS(result.status)) {
        ObfDereferenceObject(named);
        delete record;
        return result.status;
    }
    handle.file = file;
    handle.granted = wanted;
    return STATUS_SUCCESS;
}

void UserClose(UserHandle& handle) {
    if (handle.file == nullptr) {
        return;
    }
    SendFileRequest(handle.file, IRP_MJ_CLEANUP);
    SendFileRequest(handle.file, IRP_MJ_CLOSE);
    ObfDereferenceObject(handle.file->DeviceObject);
    delete reinterpret_cast<FileRecord*>(handle.file);
    handle = UserHandle();
}

// NtDeviceIoControlFile for a caller in user mode: the handle must hold the access the code
// names (FILE_READ_ACCESS is FILE_READ_DATA, FILE_WRITE_ACCESS FILE_WRITE_DATA: "Defining I/O
// Control Codes"); METHOD_BUFFERED probes both buffers and copies through a system buffer
// (UserBuffer keeps the output's user address); the direct methods buffer the input and describe
// the probed, locked output by an MDL of its user address, which a driver reaches only through
// the system address it maps; METHOD_NEITHER hands Type3InputBuffer and UserBuffer over as the
// program gave them, unprobed. A failed probe is STATUS_ACCESS_VIOLATION, before any IRP exists.
UserIoResult UserDeviceIoControl(UserSpace& space, const UserHandle& handle, ULONG code,
                                 PVOID input, ULONG inputLength, PVOID output, ULONG outputLength,
                                 PDEVICE_OBJECT target) {
    ULONG required = (code >> 14) & 3;
    if (((required & FILE_READ_ACCESS) != 0 && (handle.granted & FILE_READ_DATA) == 0) ||
        ((required & FILE_WRITE_ACCESS) != 0 && (handle.granted & FILE_WRITE_DATA) == 0)) {
        return {STATUS_ACCESS_DENIED, 0, false};
    }
    ULONG method = METHOD_FROM_CTL_CODE(code);
    bool probeInput = method != METHOD_NEITHER && inputLength != 0;
    bool probeOutput = method != METHOD_NEITHER && outputLength != 0;
    if ((probeInput && !space.Contains(input, inputLength)) ||
        (probeOutput && !space.Contains(output, outputLength))) {
        return {STATUS_ACCESS_VIOLATION, 0, false};
    }
    PVOID systemInput = probeInput ? space.SystemAlias(input) : NULL;
    PVOID systemOutput = probeOutput ? space.SystemAlias(output) : NULL;
    std::unique_ptr<UCHAR[]> directInput;
    PMDL outputMdl = NULL;
    if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        if (probeInput) {
            directInput.reset(new UCHAR[inputLength]);
            std::memcpy(directInput.get(), systemInput, inputLength);
        }
        systemInput = directInput.get();
        // MmProbeAndLockPages on the user address: the MDL describes the program's pages, with no
        // system mapping yet.
        if (probeOutput) {
            outputMdl = IoAllocateMdl(output, outputLength, FALSE, FALSE, NULL);
            if (outputMdl == NULL) {
                return {STATUS_INSUFFICIENT_RESOURCES, 0, false};
            }
            outputMdl->MdlFlags |= MDL_PAGES_LOCKED;
        }
        systemOutput = NULL;
    } else if (method == METHOD_NEITHER) {
        systemInput = input;
        systemOutput = output;
    }
    IrqlScope passive(PASSIVE_LEVEL);
    PDEVICE_OBJECT top = target;
    if (top == NULL) {
        top = IoGetAttachedDeviceReference(handle.file->DeviceObject);
    } else {
        ObfReferenceObject(top);
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status = {};
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, systemInput, inputLength, systemOutput,
                                             outputLength, FALSE, &done, &status);
    if (irp == NULL) {
        if (outputMdl != NULL) {
            IoFreeMdl(outputMdl);
        }
        ObfDereferenceObject(top);
        return {STATUS_INSUFFICIENT_RESOURCES, 0, false};
    }
    irp->MdlAddress = outputMdl;
    if (method == METHOD_BUFFERED) {
        irp->UserBuffer = output;
    }
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = handle.file;
    IoGetNextIrpStackLocation(irp)->FileObject = handle.file;
    if (IofCallDriver(top, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, UserMode, FALSE, NULL);
    }
    ObfDereferenceObject(top);
    return {status.Status, status.Information, true};
}

} // namespace host
