// The Windows side of the Wine harness: installs the test bus on a root devnode, checks what a
// program sees of veltdriver's two children through SetupDi, hid.dll and ReadFile/WriteFile, and
// removes the bus again.
//
//   veltwine install <bus INF>   creates ROOT\VELTTESTBUS\0000 and installs the INF on it
//   veltwine check <seconds>     waits for both HID devices, has the bus put the controller's
//                                stack to sleep and wake it, then checks them
//   veltwine remove              removes the root devnode through setupapi (DIF_REMOVE)
//
// Every check prints one line "ok ..." or "FAIL ..."; the exit code is 1 when any check failed.
#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
#include <newdev.h>
// mingw's HID headers declare hid.dll's routines without C linkage.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
#include <hidclass.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../busioctl.h"

namespace {

const wchar_t BusHardwareId[] = L"ROOT\\VELTTESTBUS";
const wchar_t BusInstance[] = L"ROOT\\VELTTESTBUS\\0000";
const DWORD IoTimeout = 5000;

int failures = 0;

void Check(bool good, const char* what, const std::string& detail = std::string()) {
    std::printf("%s %s%s%s\n", good ? "ok" : "FAIL", what, detail.empty() ? "" : ": ",
                detail.c_str());
    std::fflush(stdout);
    if (!good) {
        ++failures;
    }
}

std::string Hex(const unsigned char* bytes, size_t count) {
    std::string text;
    char two[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(two, sizeof(two), i ? " %02X" : "%02X", bytes[i]);
        text += two;
    }
    return text;
}

std::string Format(const char* format, unsigned long a, unsigned long b = 0, unsigned long c = 0) {
    char text[160];
    std::snprintf(text, sizeof(text), format, a, b, c);
    return text;
}

// ---- install and remove -------------------------------------------------------------------------

int Install(const wchar_t* inf) {
    wchar_t full[MAX_PATH];
    if (GetFullPathNameW(inf, MAX_PATH, full, NULL) == 0) {
        std::printf("FAIL install: no INF path\n");
        return 1;
    }
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, NULL);
    if (set == INVALID_HANDLE_VALUE) {
        std::printf("FAIL install: SetupDiCreateDeviceInfoList %lu\n", GetLastError());
        return 1;
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    bool good =
        SetupDiCreateDeviceInfoW(set, BusInstance, &GUID_DEVCLASS_SYSTEM, NULL, NULL, 0, &device) &&
        SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                          reinterpret_cast<const BYTE*>(L"ROOT\\VELTTESTBUS\0"),
                                          sizeof(L"ROOT\\VELTTESTBUS\0")) &&
        SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    if (!good) {
        std::printf("FAIL install: root devnode %lu\n", error);
        return 1;
    }
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(NULL, BusHardwareId, full, INSTALLFLAG_FORCE,
                                            &reboot)) {
        std::printf("FAIL install: UpdateDriverForPlugAndPlayDevices %lu\n", GetLastError());
        return 1;
    }
    std::printf("ok install: %ls with %ls\n", BusInstance, full);
    return 0;
}

int Remove() {
    HDEVINFO set = SetupDiGetClassDevsW(NULL, L"ROOT", NULL, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        std::printf("FAIL remove: SetupDiGetClassDevs %lu\n", GetLastError());
        return 1;
    }
    int removed = 0;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        wchar_t ids[256] = {};
        if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, NULL,
                                               reinterpret_cast<BYTE*>(ids), sizeof(ids) - 4,
                                               NULL) ||
            _wcsicmp(ids, BusHardwareId) != 0) {
            continue;
        }
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
            std::printf("FAIL remove: DIF_REMOVE %lu\n", GetLastError());
            SetupDiDestroyDeviceInfoList(set);
            return 1;
        }
        ++removed;
    }
    SetupDiDestroyDeviceInfoList(set);
    std::printf("%s remove: %d root devnode(s) removed\n", removed == 1 ? "ok" : "FAIL", removed);
    return removed == 1 ? 0 : 1;
}

// ---- finding the HID devices ------------------------------------------------------------------

struct Child {
    const char* name;
    USHORT vendor;
    USHORT product;
    // The HID devnode hidclass makes on veltdriver's child: HID\ and the child's device ID's
    // last part, then the child's instance ID.
    const wchar_t* instance;
    std::wstring path;
    int matches;
};

// Fills in the paths of the children that are present, each the one HID device of its VID/PID
// on its devnode; true when each is found exactly once.
bool FindChildren(std::vector<Child>& children) {
    for (Child& child : children) {
        child.path.clear();
        child.matches = 0;
    }
    GUID hid;
    HidD_GetHidGuid(&hid);
    HDEVINFO set = SetupDiGetClassDevsW(&hid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return false;
    }
    SP_DEVICE_INTERFACE_DATA entry = {};
    entry.cbSize = sizeof(entry);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, NULL, &hid, i, &entry); ++i) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
            char room[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + MAX_PATH * sizeof(wchar_t)];
        } u;
        u.detail.cbSize = sizeof(u.detail);
        SP_DEVINFO_DATA node = {};
        node.cbSize = sizeof(node);
        wchar_t instance[MAX_PATH] = {};
        if (!SetupDiGetDeviceInterfaceDetailW(set, &entry, &u.detail, sizeof(u), NULL, &node) ||
            !SetupDiGetDeviceInstanceIdW(set, &node, instance, MAX_PATH, NULL)) {
            continue;
        }
        HANDLE file = CreateFileW(u.detail.DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                  OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            continue;
        }
        HIDD_ATTRIBUTES attributes = {};
        attributes.Size = sizeof(attributes);
        if (HidD_GetAttributes(file, &attributes)) {
            for (Child& child : children) {
                if (attributes.VendorID == child.vendor && attributes.ProductID == child.product) {
                    child.matches++;
                    if (_wcsicmp(instance, child.instance) == 0) {
                        child.path = u.detail.DevicePath;
                    }
                }
            }
        }
        CloseHandle(file);
    }
    SetupDiDestroyDeviceInfoList(set);
    for (const Child& child : children) {
        if (child.path.empty() || child.matches != 1) {
            return false;
        }
    }
    return true;
}

// ---- I/O with a bound ---------------------------------------------------------------------------

enum class Io { Read, Write, Control };

// One overlapped ReadFile, WriteFile or DeviceIoControl (code, no input) on a handle opened
// with FILE_FLAG_OVERLAPPED; false when it fails or does not complete within the bound.
bool Bounded(HANDLE file, Io kind, void* buffer, DWORD length, DWORD* done, DWORD code = 0) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    BOOL started = kind == Io::Read ? ReadFile(file, buffer, length, NULL, &overlapped)
                   : kind == Io::Write
                       ? WriteFile(file, buffer, length, NULL, &overlapped)
                       : DeviceIoControl(file, code, NULL, 0, buffer, length, NULL, &overlapped);
    bool good = started || GetLastError() == ERROR_IO_PENDING;
    if (good && WaitForSingleObject(overlapped.hEvent, IoTimeout) != WAIT_OBJECT_0) {
        CancelIo(file);
        good = false;
    }
    good = GetOverlappedResult(file, &overlapped, done, TRUE) && good;
    CloseHandle(overlapped.hEvent);
    return good;
}

// ---- the checks ---------------------------------------------------------------------------------

const unsigned char Feature02[37] = {0x02, 0x0A, 0x00, 0x01, 0x00, 0xF0, 0xFF, 0xE7, 0x22, 0x2D,
                                     0xDD, 0xB5, 0x22, 0x4E, 0xDD, 0x99, 0x22, 0x47, 0xDD, 0x1C,
                                     0x02, 0x1C, 0x02, 0x7B, 0x1F, 0x8F, 0xE0, 0x74, 0x20, 0x52,
                                     0xE0, 0xA3, 0x20, 0x82, 0xDF, 0x06, 0x00};
// The bus's controller address, then 08 25 and seven zeros.
const unsigned char Feature12[16] = {0x12, 0x02, 0x56, 0x4C, 0x54, 0x00, 0x01, 0x08,
                                     0x25, 0,    0,    0,    0,    0,    0,    0};
const unsigned char FeatureA3[49] = {
    0xA3, 'A',  'u',  'g',  ' ',  ' ',  '3',  ' ',  '2',  '0',  '1',  '3',  0,    0,    0,   0, 0,
    '0',  '7',  ':',  '0',  '1',  ':',  '1',  '2',  0,    0,    0,    0,    0,    0,    0,   0, 0,
    0x01, 0x00, 0x31, 0x03, 0x00, 0x00, 0x00, 0x49, 0x00, 0x05, 0x00, 0x00, 0x80, 0x03, 0x00};

void CheckCaps(HANDLE file, const Child& child, HIDP_CAPS* caps) {
    PHIDP_PREPARSED_DATA preparsed = NULL;
    bool good = HidD_GetPreparsedData(file, &preparsed) &&
                HidP_GetCaps(preparsed, caps) == HIDP_STATUS_SUCCESS;
    if (preparsed != NULL) {
        HidD_FreePreparsedData(preparsed);
    }
    std::string detail = std::string(child.name) +
                         Format(" input %lu output %lu feature %lu", caps->InputReportByteLength,
                                caps->OutputReportByteLength, caps->FeatureReportByteLength);
    Check(good && caps->InputReportByteLength == 64 && caps->OutputReportByteLength == 32 &&
              caps->FeatureReportByteLength == 64,
          "HidP_GetCaps", detail);
}

// HidD_GetFeature for the content, the IOCTL under it for the byte count.
void CheckFeature(HANDLE file, const HIDP_CAPS& caps, const unsigned char* expected, DWORD length) {
    std::vector<unsigned char> buffer(caps.FeatureReportByteLength);
    buffer[0] = expected[0];
    bool got = HidD_GetFeature(file, buffer.data(), static_cast<ULONG>(buffer.size()));
    bool same = got && std::memcmp(buffer.data(), expected, length) == 0;
    std::vector<unsigned char> again(caps.FeatureReportByteLength);
    again[0] = expected[0];
    DWORD count = 0;
    bool counted = Bounded(file, Io::Control, again.data(), static_cast<DWORD>(again.size()),
                           &count, IOCTL_HID_GET_FEATURE);
    std::string detail =
        Format("0x%02lX, %lu bytes: ", expected[0], count) + Hex(buffer.data(), length);
    Check(same && counted && count == length, "HidD_GetFeature", detail);
}

// The bus's input report as it sent it (its sticks in bytes 1 to 4 move together, byte 5 counts,
// the rest is zero), apart from byte 7, which the gamepad child counts in.
bool AsSent(const unsigned char* report, bool frameCounter) {
    unsigned char step = report[1];
    bool same = report[2] == static_cast<unsigned char>(0xFF - step) &&
                report[3] == static_cast<unsigned char>(step * 2) &&
                report[4] == static_cast<unsigned char>(0x80 + step) && report[5] == step;
    for (int i = 6; i < 64; ++i) {
        same = same && (report[i] == 0 || (i == 7 && frameCounter));
    }
    return same;
}

// Reads a stream of reports: ID 1, 64 bytes, unchanged from the bus, the sticks moving and, on
// the gamepad, the frame counter in byte 7 going up from report to report as the driver counts.
void CheckInput(HANDLE file, const Child& child, bool frameCounter) {
    const int reports = 24;
    unsigned char report[64];
    int good = 0;
    int counterSteps = 0;
    int unchanged = 0;
    bool sticksMoved = false;
    unsigned char lastCounter = 0;
    unsigned char lastX = 0;
    std::string seen;
    for (int i = 0; i < reports; ++i) {
        DWORD done = 0;
        if (!Bounded(file, Io::Read, report, sizeof(report), &done) || done != sizeof(report) ||
            report[0] != 0x01) {
            break;
        }
        ++good;
        unchanged += AsSent(report, frameCounter);
        if (i > 0) {
            // The counter goes up by 4 per gamepad report and skips 252: 0, 4, ..., 248, 0.
            unsigned char next =
                static_cast<unsigned char>(lastCounter == 248 ? 0 : lastCounter + 4);
            counterSteps += report[7] == next;
            sticksMoved = sticksMoved || report[1] != lastX;
        }
        lastCounter = report[7];
        lastX = report[1];
        if (i < 8) {
            seen += Format(i ? " %lu" : "%lu", report[7]);
        }
    }
    std::string detail = std::string(child.name) +
                         Format(" %lu of %lu reports of 64 bytes, %lu as the bus sent them", good,
                                reports, unchanged) +
                         ", byte 7: " + seen + " ...";
    bool stream = good == reports && unchanged == reports && sticksMoved;
    if (frameCounter) {
        Check(stream && counterSteps == reports - 1, "ReadFile frame counter", detail);
    } else {
        Check(stream, "ReadFile input", detail);
    }
}

// One request to the test bus through \\.\VeltTestBus; true when it fills all of Out.
bool BusRequest(DWORD code, void* out, DWORD size) {
    HANDLE bus = CreateFileW(VELTBUS_USER_NAME, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (bus == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD got = 0;
    bool good = Bounded(bus, Io::Control, out, size, &got, code) && got == size;
    CloseHandle(bus);
    return good;
}

// Hidclass on Wine reports a write of a report with a non-zero ID as one byte short of what the
// minidriver transferred (hid_device_xfer_report's padding): 31 for the 32 bytes of report 5.
const DWORD WrittenByWine = 31;

// Writes output report 5 and looks for it, byte for byte, among the bus's OUT transfers; the
// byte count WriteFile reports comes from the driver's answer to the transfer.
void CheckOutput(HANDLE file) {
    unsigned char report[32];
    report[0] = 0x05;
    for (int i = 1; i < 32; ++i) {
        report[i] = static_cast<unsigned char>(0xA0 + i);
    }
    DWORD written = 0;
    bool wrote = Bounded(file, Io::Write, report, sizeof(report), &written);
    VELTBUS_RECORD record = {};
    bool read = BusRequest(IOCTL_VELTBUS_GET_RECORD, &record, sizeof(record));
    bool found = false;
    for (ULONG i = 0; read && i < record.Kept && i < VELTBUS_KEPT_OUT; ++i) {
        found = found || (record.OutLength[i] == sizeof(report) &&
                          std::memcmp(record.Out[i], report, sizeof(report)) == 0);
    }
    Check(wrote && written == WrittenByWine && found, "WriteFile output report",
          Format("WriteFile reported %lu bytes; the bus received it ", written) +
              (found ? "unchanged" : "not"));
    Check(
        read && record.OnCommands >= 1 && record.OffCommands >= 1 && record.InReports > 0,
        "bus record",
        Format("address query on %lu off %lu, ", record.OnCommands, record.OffCommands) +
            Format("%lu OUT transfers, %lu input reports", record.OutTransfers, record.InReports));
}

// A sleep and wake cycle of the controller's stack, sent by the bus as Windows' managers send it:
// each request must complete with success.
void CheckSleepAndWake() {
    VELTBUS_POWER power = {-1, -1, -1};
    bool got = BusRequest(IOCTL_VELTBUS_SLEEP_AND_WAKE, &power, sizeof(power));
    Check(got && power.Capabilities == 0 && power.Sleep == 0 && power.Wake == 0, "sleep and wake",
          Format("capabilities 0x%lX, S3 0x%lX, S0 0x%lX", static_cast<ULONG>(power.Capabilities),
                 static_cast<ULONG>(power.Sleep), static_cast<ULONG>(power.Wake)));
}

int CheckChildren(DWORD seconds) {
    std::vector<Child> children = {
        {"gamepad", 0x054C, 0x09CC, L"HID\\VID_054C&PID_09CC\\0010", {}, 0},
        {"vendor", 0xF3A1, 0x5C20, L"HID\\VID_F3A1&PID_5C2D\\0011", {}, 0}};
    DWORD start = GetTickCount();
    while (!FindChildren(children) && GetTickCount() - start < seconds * 1000) {
        Sleep(250);
    }
    for (const Child& child : children) {
        Check(!child.path.empty() && child.matches == 1, "HID device present",
              std::string(child.name) +
                  Format(" %04lX:%04lX after %lu ms, ", child.vendor, child.product,
                         GetTickCount() - start) +
                  Format("%lu with its VID/PID, ", child.matches) +
                  (child.path.empty() ? "none on its devnode" : "on its devnode"));
    }
    // The children's checks below then run on a stack that has slept and woken.
    CheckSleepAndWake();
    for (const Child& child : children) {
        if (child.path.empty()) {
            continue;
        }
        HANDLE file = CreateFileW(child.path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            Check(false, "CreateFile", child.name);
            continue;
        }
        // Room for every report the bus sends while the checks before the reads run: the read
        // check wants consecutive reports, and a full ring drops the oldest.
        Check(HidD_SetNumInputBuffers(file, 512), "HidD_SetNumInputBuffers", child.name);
        HIDD_ATTRIBUTES attributes = {};
        attributes.Size = sizeof(attributes);
        bool got = HidD_GetAttributes(file, &attributes);
        Check(got && attributes.VendorID == child.vendor && attributes.ProductID == child.product,
              "HidD_GetAttributes",
              std::string(child.name) + Format(" VID %04lX PID %04lX version %04lX",
                                               attributes.VendorID, attributes.ProductID,
                                               attributes.VersionNumber));
        HIDP_CAPS caps = {};
        CheckCaps(file, child, &caps);
        bool gamepad = child.vendor == 0x054C;
        if (gamepad && caps.FeatureReportByteLength >= sizeof(FeatureA3)) {
            CheckFeature(file, caps, Feature02, sizeof(Feature02));
            CheckFeature(file, caps, Feature12, sizeof(Feature12));
            CheckFeature(file, caps, FeatureA3, sizeof(FeatureA3));
        }
        CheckInput(file, child, gamepad);
        if (gamepad) {
            CheckOutput(file);
        }
        CloseHandle(file);
    }
    return failures != 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && wcscmp(argv[1], L"install") == 0) {
        return Install(argv[2]);
    }
    if (argc == 3 && wcscmp(argv[1], L"check") == 0) {
        return CheckChildren(static_cast<DWORD>(_wtoi(argv[2])));
    }
    if (argc == 2 && wcscmp(argv[1], L"remove") == 0) {
        return Remove();
    }
    std::printf("usage: veltwine install <INF> | check <seconds> | remove\n");
    return 2;
}
