// The test bus's requests from the application through \\.\VeltTestBus (shared by the bus
// driver and the application): the record of what reached the controller, and a sleep and wake
// cycle of the controller's stack.
#pragma once

#define VELTBUS_DOS_NAME L"\\DosDevices\\VeltTestBus"
#define VELTBUS_USER_NAME L"\\\\.\\VeltTestBus"
// FILE_DEVICE_UNKNOWN, function 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS.
#define IOCTL_VELTBUS_GET_RECORD 0x00222000
// Function 0x801: a capabilities query, then system set-power S3 and S0 to the top of the
// controller's stack.
#define IOCTL_VELTBUS_SLEEP_AND_WAKE 0x00222004

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

typedef struct _VELTBUS_POWER {
    LONG Capabilities; // the status each request completed with
    LONG Sleep;
    LONG Wake;
} VELTBUS_POWER;
