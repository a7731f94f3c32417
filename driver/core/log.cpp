// Name tables and dumps for the debug log. Callable at any IRQL up to DISPATCH_LEVEL: they
// allocate nothing and build their lines on the stack.
#include "log.h"

namespace {

struct StatusText {
    NTSTATUS Status;
    PCSTR Name;
};

const StatusText StatusNames[] = {
    {STATUS_SUCCESS, "STATUS_SUCCESS"},
    {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
    {STATUS_PENDING, "STATUS_PENDING"},
    {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
    {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
    {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
    {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
    {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
    {STATUS_MORE_PROCESSING_REQUIRED, "STATUS_MORE_PROCESSING_REQUIRED"},
    {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
    {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
    {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {STATUS_OBJECT_NAME_COLLISION, "STATUS_OBJECT_NAME_COLLISION"},
    {STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING"},
    {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
    {STATUS_DEVICE_DATA_ERROR, "STATUS_DEVICE_DATA_ERROR"},
    {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
    {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
    {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
    {STATUS_CANCELLED, "STATUS_CANCELLED"},
    {STATUS_POWER_STATE_INVALID, "STATUS_POWER_STATE_INVALID"},
};

PCSTR const DevicePowerNames[] = {
    "PowerDeviceUnspecified", "PowerDeviceD0", "PowerDeviceD1", "PowerDeviceD2", "PowerDeviceD3",
};

PCSTR const SystemPowerNames[] = {
    "PowerSystemUnspecified", "PowerSystemWorking",   "PowerSystemSleeping1",
    "PowerSystemSleeping2",   "PowerSystemSleeping3", "PowerSystemHibernate",
    "PowerSystemShutdown",
};

constexpr char HexDigits[] = "0123456789ABCDEF";

// Room for "1:" and sixteen " XX", and for sixteen characters.
constexpr ULONG HEX_PART_SIZE = 210;
constexpr ULONG CHAR_PART_SIZE = 65;

PCSTR YesNo(ULONG Flag) {
    return Flag ? "Y" : "N";
}

} // namespace

PCSTR StatusName(NTSTATUS Status) {
    for (const StatusText& entry : StatusNames) {
        if (entry.Status == Status) {
            return entry.Name;
        }
    }
    return "???";
}

PCSTR DevicePowerName(DEVICE_POWER_STATE State) {
    ULONG index = static_cast<ULONG>(State);
    return index < sizeof(DevicePowerNames) / sizeof(DevicePowerNames[0])
               ? DevicePowerNames[index]
               : "<unknown device power>";
}

PCSTR SystemPowerName(SYSTEM_POWER_STATE State) {
    ULONG index = static_cast<ULONG>(State);
    return index < sizeof(SystemPowerNames) / sizeof(SystemPowerNames[0])
               ? SystemPowerNames[index]
               : "<unknown system power>";
}

VOID HexDump(const VOID* Data, SIZE_T Count, ULONG BytesPerLine) {
    UNREFERENCED_PARAMETER(BytesPerLine);
    const UCHAR* bytes = static_cast<const UCHAR*>(Data);
    CHAR hexPart[HEX_PART_SIZE];
    CHAR charPart[CHAR_PART_SIZE];
    ULONG hexLength = 0;
    ULONG column = 0;
    for (SIZE_T i = 0; i < Count; ++i) {
        if (column == 0) {
            hexPart[0] = '1';
            hexPart[1] = ':';
            hexLength = 2;
        }
        UCHAR value = bytes[i];
        hexPart[hexLength++] = ' ';
        hexPart[hexLength++] = HexDigits[value >> 4];
        hexPart[hexLength++] = HexDigits[value & 0xF];
        charPart[column] = (value >= 0x20 && value <= 0x7E) ? static_cast<CHAR>(value) : '.';
        if (++column == HEX_DUMP_BYTES_PER_LINE) {
            hexPart[hexLength] = 0;
            charPart[column] = 0;
            VELT_TRACE("%s %s\n", hexPart, charPart);
            column = 0;
        }
    }
    if (column != 0) {
        charPart[column] = 0;
        for (ULONG missing = column; missing < HEX_DUMP_BYTES_PER_LINE; ++missing) {
            hexPart[hexLength++] = ' ';
            hexPart[hexLength++] = ' ';
            hexPart[hexLength++] = ' ';
        }
        hexPart[hexLength] = 0;
        VELT_TRACE("%s %s\n", hexPart, charPart);
    }
    VELT_TRACE("\n \n \n");
}

VOID DumpCapabilities(const DEVICE_CAPABILITIES* Capabilities) {
    const DEVICE_CAPABILITIES* c = Capabilities;
    VELT_TRACE("Device capabilities:\n");
    VELT_TRACE("\n");
    VELT_TRACE("  Lock supported       = %s   Device D1          = %s\n", YesNo(c->LockSupported),
               YesNo(c->DeviceD1));
    VELT_TRACE("  Eject supported      = %s   Device D2          = %s\n",
               YesNo(c->EjectSupported), YesNo(c->DeviceD2));
    VELT_TRACE("  Warm eject supported = %s   Wake from D0       = %s\n",
               YesNo(c->WarmEjectSupported), YesNo(c->WakeFromD0));
    VELT_TRACE("  Removable            = %s   Wake from D1       = %s\n", YesNo(c->Removable),
               YesNo(c->WakeFromD1));
    VELT_TRACE("  Docking device       = %s   Wake from D2       = %s\n", YesNo(c->DockDevice),
               YesNo(c->WakeFromD2));
    VELT_TRACE("  Unique ID            = %s   Wake from D3       = %s\n", YesNo(c->UniqueID),
               YesNo(c->WakeFromD3));
    VELT_TRACE("  Silent install       = %s   Raw device OK      = %s\n", YesNo(c->SilentInstall),
               YesNo(c->RawDeviceOK));
    VELT_TRACE("  Surprise removal OK  = %s   Hardware disabled  = %s\n",
               YesNo(c->SurpriseRemovalOK), YesNo(c->HardwareDisabled));
    VELT_TRACE("  Non-dynamic          = %s   Don't diplay in UI = %s\n", YesNo(c->NonDynamic),
               YesNo(c->NoDisplayInUI));
    VELT_TRACE("\n");
    VELT_TRACE("  PowerSystemWorking   -> %s\n",
               DevicePowerName(c->DeviceState[PowerSystemWorking]));
    VELT_TRACE("  PowerSystemSleeping1 -> %s\n",
               DevicePowerName(c->DeviceState[PowerSystemSleeping1]));
    VELT_TRACE("  PowerSystemSleeping2 -> %s\n",
               DevicePowerName(c->DeviceState[PowerSystemSleeping2]));
    VELT_TRACE("  PowerSystemSleeping3 -> %s\n",
               DevicePowerName(c->DeviceState[PowerSystemSleeping3]));
    VELT_TRACE("  PowerSystemHibernate -> %s\n",
               DevicePowerName(c->DeviceState[PowerSystemHibernate]));
    VELT_TRACE("  PowerSystemShutdown  -> %s\n",
               DevicePowerName(c->DeviceState[PowerSystemShutdown]));
    VELT_TRACE("\n");
    VELT_TRACE("  System wake = %s\n", SystemPowerName(c->SystemWake));
    VELT_TRACE("  Device wake = %s\n", DevicePowerName(c->DeviceWake));
    VELT_TRACE("  D1 latency  = %d us\n", c->D1Latency * 100);
    VELT_TRACE("  D2 latency  = %d us\n", c->D2Latency * 100);
    VELT_TRACE("  D3 latency  = %d us\n", c->D3Latency * 100);
    VELT_TRACE("  Address     = %d\n", c->Address);
    VELT_TRACE("  UI number   = %d\n", c->UINumber);
}
