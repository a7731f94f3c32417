// The test bus's record of what reached the controller, read back by the application through
// \\.\VeltTestBus (shared by the bus driver and the application).
#pragma once

#define VELTBUS_DOS_NAME L"\\DosDevices\\VeltTestBus"
#define VELTBUS_USER_NAME L"\\\\.\\VeltTestBus"
// FILE_DEVICE_UNKNOWN, function 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS.
#define IOCTL_VELTBUS_GET_RECORD 0x00222000

#define VELTBUS_KEPT_OUT 8
#define VELTBUS_OUT_SIZE 64

typedef struct _VELTBUS_RECORD {
    ULONG OutTransfers; // interrupt OUT transfers since the bus started
    ULONG InReports;    // input reports delivered
    ULONG OnCommands;   // address-query on commands
    ULONG OffCommands;  // address-query off commands
    ULONG Kept;         // entries of Out in use, oldest first
    ULONG OutLength[VELTBUS_KEPT_OUT];
    UCHAR Out[VELTBUS_KEPT_OUT][VELTBUS_OUT_SIZE];
} VELTBUS_RECORD;
