// The debug log's name tables and dumps, line for line.
#include "support/host_fixture.h"

#include "core/log.h"

namespace velt::test {
namespace {

using Log = HostTest;

TEST_F(Log, StatusNamesAreTheSymbolicNamesAndUnknownIsQuestionMarks) {
    const std::pair<ULONG, const char*> table[] = {
        {0x00000000, "STATUS_SUCCESS"},
        {0x00000102, "STATUS_TIMEOUT"},
        {0x00000103, "STATUS_PENDING"},
        {0xC0000001, "STATUS_UNSUCCESSFUL"},
        {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
        {0xC000000D, "STATUS_INVALID_PARAMETER"},
        {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
        {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
        {0xC0000016, "STATUS_MORE_PROCESSING_REQUIRED"},
        {0xC0000022, "STATUS_ACCESS_DENIED"},
        {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
        {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {0xC0000035, "STATUS_OBJECT_NAME_COLLISION"},
        {0xC0000056, "STATUS_DELETE_PENDING"},
        {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
        {0xC000009C, "STATUS_DEVICE_DATA_ERROR"},
        {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
        {0xC00000A3, "STATUS_DEVICE_NOT_READY"},
        {0xC00000BB, "STATUS_NOT_SUPPORTED"},
        {0xC0000120, "STATUS_CANCELLED"},
        {0xC00002D3, "STATUS_POWER_STATE_INVALID"},
        {0x80000005, "???"},
        {0xC0000000, "???"},
    };
    for (const auto& entry : table) {
        EXPECT_STREQ(entry.second, StatusName(static_cast<NTSTATUS>(entry.first))) << entry.first;
    }
}

TEST_F(Log, PowerNamesWithTheirFallbacks) {
    const char* devices[] = {"PowerDeviceUnspecified", "PowerDeviceD0", "PowerDeviceD1",
                             "PowerDeviceD2",          "PowerDeviceD3", "<unknown device power>"};
    for (int state = 0; state < 6; ++state) {
        EXPECT_STREQ(devices[state], DevicePowerName(static_cast<DEVICE_POWER_STATE>(state)));
    }
    EXPECT_STREQ("PowerSystemShutdown", SystemPowerName(PowerSystemShutdown));
    EXPECT_STREQ("<unknown system power>", SystemPowerName(PowerSystemMaximum));
}

TEST_F(Log, HexDumpPadsTheLastLineUnderTheCharactersAbove) {
    const UCHAR bytes[] = {0x41, 0x00, 0x7F};
    HexDump(bytes, sizeof bytes, 16);
    std::vector<std::string> expected = {"1: 41 00 7F" + std::string(39, ' ') + " A..", "", " ",
                                         " "};
    EXPECT_EQ(expected, Lines());
    for (const host::LogLine& line : host::LogLines()) {
        EXPECT_EQ(77u, line.component);
        EXPECT_EQ(2u, line.level);
    }
}

TEST_F(Log, HexDumpWritesFullLinesOfSixteen) {
    UCHAR bytes[32];
    for (UCHAR i = 0; i < 32; ++i) {
        bytes[i] = static_cast<UCHAR>(0x30 + i);
    }
    HexDump(bytes, sizeof bytes, 16);
    std::vector<std::string> expected = {
        "1: 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F 0123456789:;<=>?",
        "1: 40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F @ABCDEFGHIJKLMNO", "", " ", " "};
    EXPECT_EQ(expected, Lines());
}

TEST_F(Log, HexDumpOfNothingWritesOnlyTheTrailer) {
    HexDump(nullptr, 0, 16);
    EXPECT_EQ((std::vector<std::string>{"", " ", " "}), Lines());
}

TEST_F(Log, DumpCapabilitiesShowsFlagsStatesAndLatencies) {
    DEVICE_CAPABILITIES caps{};
    caps.SurpriseRemovalOK = 1;
    caps.Removable = 1;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    caps.SystemWake = PowerSystemSleeping1;
    caps.DeviceWake = PowerDeviceD2;
    caps.D1Latency = 3;
    caps.Address = 10;
    caps.UINumber = 4;
    DumpCapabilities(&caps);
    std::vector<std::string> expected = {
        "Device capabilities:",
        "",
        "  Lock supported       = N   Device D1          = N",
        "  Eject supported      = N   Device D2          = N",
        "  Warm eject supported = N   Wake from D0       = N",
        "  Removable            = Y   Wake from D1       = N",
        "  Docking device       = N   Wake from D2       = N",
        "  Unique ID            = N   Wake from D3       = N",
        "  Silent install       = N   Raw device OK      = N",
        "  Surprise removal OK  = Y   Hardware disabled  = N",
        "  Non-dynamic          = N   Don't diplay in UI = N",
        "",
        "  PowerSystemWorking   -> PowerDeviceD0",
        "  PowerSystemSleeping1 -> PowerDeviceUnspecified",
        "  PowerSystemSleeping2 -> PowerDeviceUnspecified",
        "  PowerSystemSleeping3 -> PowerDeviceD3",
        "  PowerSystemHibernate -> PowerDeviceUnspecified",
        "  PowerSystemShutdown  -> PowerDeviceUnspecified",
        "",
        "  System wake = PowerSystemSleeping1",
        "  Device wake = PowerDeviceD2",
        "  D1 latency  = 300 us",
        "  D2 latency  = 0 us",
        "  D3 latency  = 0 us",
        "  Address     = 10",
        "  UI number   = 4",
    };
    EXPECT_EQ(expected, Lines());
}

} // namespace
} // namespace velt::test
