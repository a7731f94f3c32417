// The OS version the driver sees: PsGetVersion, RtlIsNtDdiVersionAvailable and the routine
// lookup that tells whether the latter exists.
#include "kernel.h"

namespace host {

const OsVersion WindowsXp{5, 1, 2600, false};
const OsVersion Windows7{6, 1, 7601, true};
const OsVersion Windows8{6, 2, 9200, true};
const OsVersion Windows10{10, 0, 19045, true};

namespace detail {
namespace {

std::mutex g_versionLock;
OsVersion g_version = Windows10;

OsVersion Current() {
    std::lock_guard<std::mutex> guard(g_versionLock);
    return g_version;
}

} // namespace

void ResetVersion() {
    SetOsVersion(Windows10);
}

bool NtDdiVersionAvailable(ULONG version) {
    OsVersion running = Current();
    return (((running.major << 8) | running.minor) << 16) >= (version & 0xFFFF0000u);
}

bool StartNextPowerIrpRequired() {
    return !NtDdiVersionAvailable(0x06000000);
}

} // namespace detail

void SetOsVersion(const OsVersion& version) {
    std::lock_guard<std::mutex> guard(detail::g_versionLock);
    detail::g_version = version;
}

} // namespace host

extern "C" {

BOOLEAN NTAPI PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                           PUNICODE_STRING CSDVersion) {
    host::detail::CheckDdiIrql(host::detail::Ddi::PsGetVersion);
    UNREFERENCED_PARAMETER(CSDVersion);
    host::OsVersion version = host::detail::Current();
    if (MajorVersion != NULL) {
        *MajorVersion = version.major;
    }
    if (MinorVersion != NULL) {
        *MinorVersion = version.minor;
    }
    if (BuildNumber != NULL) {
        *BuildNumber = version.build;
    }
    return FALSE; // a free build
}

BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version) {
    host::detail::CheckDdiIrql(host::detail::Ddi::RtlIsNtDdiVersionAvailable);
    return host::detail::NtDdiVersionAvailable(Version) ? TRUE : FALSE;
}

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    host::detail::CheckDdiIrql(host::detail::Ddi::MmGetSystemRoutineAddress);
    static const char16_t name[] = u"RtlIsNtDdiVersionAvailable";
    if (!host::detail::Current().hasRtlIsNtDdiVersionAvailable || SystemRoutineName == NULL ||
        SystemRoutineName->Length != sizeof(name) - sizeof(char16_t) ||
        memcmp(SystemRoutineName->Buffer, name, SystemRoutineName->Length) != 0) {
        return NULL;
    }
    return reinterpret_cast<PVOID>(&RtlIsNtDdiVersionAvailable);
}

SIZE_T NTAPI RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
    host::detail::CheckDdiIrql(host::detail::Ddi::RtlCompareMemory);
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T same = 0;
    while (same < Length && a[same] == b[same]) {
        ++same;
    }
    return same;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    host::detail::CheckDdiIrql(host::detail::Ddi::RtlInitUnicodeString);
    size_t length = 0;
    while (SourceString != NULL && SourceString[length] != 0) {
        ++length;
    }
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    DestinationString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    DestinationString->MaximumLength =
        SourceString != NULL ? static_cast<USHORT>((length + 1) * sizeof(WCHAR)) : 0;
}

} // extern "C"
