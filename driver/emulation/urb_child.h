// USB request emulation shared by the two children: the per-child constant record that holds
// everything in which the gamepad child and the vendor child differ, and the routines that serve
// both of them from it.
#pragma once

#include "../core/driver.h"
#include "descriptors.h"

typedef struct _CHILD_PROFILE CHILD_PROFILE;

// Serves one HID class request (URB_FUNCTION_CLASS_INTERFACE) with the child's remove lock held
// for the IRP; owns the IRP on return.
typedef NTSTATUS CLASS_REQUEST_HANDLER(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB Urb);
// The controller's descriptor copy that a child serves, or NULL when the FDO did not obtain it.
typedef const UCHAR* DESCRIPTOR_SOURCE(PDEVICE_EXTENSION FdoExtension, UCHAR Index);

struct _CHILD_PROFILE {
    // Log prefixes: before a blank ("VELTDRIVER PDO : ") and before text that follows the colon
    // directly on the gamepad child ("VELTDRIVER PDO :").
    PCSTR Prefix;
    PCSTR PrefixTight;
    PCSTR RemoveLockFailedFormat;
    PCSTR UnknownFunctionFormat;
    PCSTR HidDescriptorFormat;
    PCSTR ReportDescriptorFormat;
    PCSTR PhysicalDescriptorFormat;
    PCSTR AllocationFailedLine;

    // Descriptor set, interface, pipes and handles.
    const EMULATED_DEVICE* Emulation;
    DESCRIPTOR_SOURCE* DeviceDescriptor;
    DESCRIPTOR_SOURCE* StringDescriptor;        // indexes 1 and above; NULL result: nothing served
    BOOLEAN ServesConfigurationToLongerBuffers; // vendor: any length from 41 up gets the 41

    CLASS_REQUEST_HANDLER* ClassRequest;
    BOOLEAN AddsFrameCounter;
    BOOLEAN DumpsControlTransfers; // hex dump when a repeated control transfer comes back
    BOOLEAN TracesWrites;          // trace line and dump of every OUT transfer
};

extern const CHILD_PROFILE GamepadProfile;
extern const CHILD_PROFILE VendorProfile;

// The data buffer of a transfer: TransferBuffer, else the system address of TransferBufferMDL,
// else NULL (nothing may then be read or written).
PVOID UrbTransferBuffer(PVOID TransferBuffer, PMDL TransferBufferMdl);

// The same buffer and, in *Capacity, how many of its bytes may be touched: Length for
// TransferBuffer, no more than the MDL's byte count for an MDL-only buffer, 0 without a buffer.
PVOID UrbTransferBufferOf(PVOID TransferBuffer, PMDL TransferBufferMdl, ULONG Length,
                          PULONG Capacity);

// Hex dump of a transfer's buffer, no further than the buffer reaches (nothing without one).
VOID DumpTransferBuffer(PVOID TransferBuffer, PMDL TransferBufferMdl, ULONG Length);

// The device-control routine of both children (up to DISPATCH_LEVEL; owns the IRP on return).
NTSTATUS ChildDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, const CHILD_PROFILE* Profile);

// Ends a request that a child answers itself: releases the child's remove lock, completes the
// IRP with Status and Information 0 and returns Status.
NTSTATUS CompleteChildRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status);

// The URB repeater: sends the child's request to the top of the parent FDO's stack and completes
// the child's IRP when it comes back. The caller holds the child's remove lock for the IRP; the
// repeater releases it.
NTSTATUS IOCTLRepeatRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
IO_COMPLETION_ROUTINE IOCTLRepeaterComplete;

// Driver-wide frame counter of the gamepad child's input reports: 0, 4, ... 248, 0.
extern LONG volatile InputFrameCounter;
constexpr LONG FRAME_COUNTER_STEP = 4;
constexpr LONG FRAME_COUNTER_WRAP = 252;
// Returns the counter's value and advances it, in one indivisible step.
UCHAR TakeInputFrameCounter();

CLASS_REQUEST_HANDLER GamepadClassRequest;
CLASS_REQUEST_HANDLER VendorClassRequest;

// HID class requests (bRequest) and the report types in the high byte of wValue.
constexpr UCHAR HID_GET_REPORT = 0x01;
constexpr UCHAR HID_GET_IDLE = 0x02;
constexpr UCHAR HID_GET_PROTOCOL = 0x03;
constexpr UCHAR HID_SET_REPORT = 0x09;
constexpr UCHAR HID_SET_IDLE = 0x0A;
constexpr UCHAR HID_SET_PROTOCOL = 0x0B;
constexpr UCHAR REPORT_TYPE_INPUT = 1;
constexpr UCHAR REPORT_TYPE_OUTPUT = 2;
constexpr UCHAR REPORT_TYPE_FEATURE = 3;

// The trace lines a child writes for its HID class requests; a NULL line is not written.
// GetReportOfType and SetReportOfType are indexed by report type - 1 and take the report ID.
typedef struct _CLASS_REQUEST_TEXTS {
    PCSTR Request;   // every request: bRequest
    PCSTR GetReport; // GET_REPORT of any type: report ID, report type and wIndex
    PCSTR GetReportOfType[REPORT_TYPE_FEATURE];
    PCSTR GetIdle;     // report ID
    PCSTR GetProtocol; // no argument
    PCSTR SetReportOfType[REPORT_TYPE_FEATURE];
    PCSTR SetIdle;     // report ID and duration
    PCSTR SetProtocol; // wValue
} CLASS_REQUEST_TEXTS;

// Writes the trace lines of one HID class request from the child's texts.
VOID TraceClassRequest(const CLASS_REQUEST_TEXTS* Texts,
                       const struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* Request);
