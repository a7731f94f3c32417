// The debug log: every line goes to the IHV driver component, level 0 for failures and level 2
// for traces, and these routines turn values into the log's text.
#pragma once

#include "driver.h"

constexpr ULONG LOG_ERROR = DPFLTR_ERROR_LEVEL;
constexpr ULONG LOG_TRACE = DPFLTR_TRACE_LEVEL;

#define VELT_TRACE(...) DbgPrintEx(DPFLTR_IHVDRIVER_ID, LOG_TRACE, __VA_ARGS__)
#define VELT_ERROR(...) DbgPrintEx(DPFLTR_IHVDRIVER_ID, LOG_ERROR, __VA_ARGS__)

constexpr ULONG HEX_DUMP_BYTES_PER_LINE = 16;

PCSTR StatusName(NTSTATUS Status);
PCSTR DevicePowerName(DEVICE_POWER_STATE State);
PCSTR SystemPowerName(SYSTEM_POWER_STATE State);
// Writes Count bytes, sixteen to a line, as hex and as characters; BytesPerLine is always 16.
VOID HexDump(const VOID* Data, SIZE_T Count, ULONG BytesPerLine);
VOID DumpCapabilities(const DEVICE_CAPABILITIES* Capabilities);
