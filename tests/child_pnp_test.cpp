// The children's answers to the PnP manager: identities, relations, capabilities, bus
// information, device state, state changes, and the log lines of both children.
#include "support/child_bed.h"

#include <cstring>

namespace {

using childbed::ChildBed;

const NTSTATUS STATUS_SENTINEL_FAILURE = STATUS_DEVICE_NOT_READY;
const ULONG_PTR SENTINEL_INFORMATION = 0x5A5A;

// Reads a REG_MULTI_SZ (or a single string followed by the reply's trailing zeros) as its list of
// strings, up to the empty string that closes it.
std::vector<std::string> ParseMultiSz(ULONG_PTR information) {
    const WCHAR* text = reinterpret_cast<const WCHAR*>(information);
    std::vector<std::string> strings;
    while (*text != 0) {
        std::string narrow;
        for (; *text != 0; ++text) {
            narrow += static_cast<char>(*text);
        }
        strings.push_back(narrow);
        ++text;
    }
    return strings;
}

size_t PoolBytesWithTag(const std::string& tag) {
    for (const host::PoolUsage& usage : host::PoolOutstanding()) {
        if (usage.tag == tag) {
            return usage.bytes;
        }
    }
    return 0;
}

struct IdCase {
    bool vendor;
    BUS_QUERY_ID_TYPE type;
    const char* typeName;
    std::vector<std::string> strings;
    size_t lengthInWchars; // the reply holds this many WCHARs and four zero bytes
};

const std::vector<IdCase> IdCases = {
    {false, BusQueryDeviceID, "BusQueryDeviceID", {"USB\\VID_054C&PID_09CC"}, 21},
    {false,
     BusQueryHardwareIDs,
     "BusQueryHardwareIDs",
     {"USB\\VID_054C&PID_09CC&REV_0100", "USB\\VID_054C&PID_09CC"},
     54},
    {false,
     BusQueryCompatibleIDs,
     "BusQueryCompatibleIDs",
     {"USB\\Class_03&SubClass_00&Prot_00", "USB\\Class_03&SubClass_00", "USB\\Class_03"},
     72},
    {false, BusQueryInstanceID, "BusQueryInstanceID", {"0010"}, 4},
    {false,
     BusQueryContainerID,
     "BusQueryContainerID",
     {"{6b1c0e52-93d4-4f0a-b8e7-2a5d40c9f316}"},
     38},
    {true, BusQueryDeviceID, "BusQueryDeviceID", {"USB\\VID_F3A1&PID_5C2D"}, 21},
    {true,
     BusQueryHardwareIDs,
     "BusQueryHardwareIDs",
     {"USB\\VID_F3A1&PID_5C2D&REV_0100", "USB\\VID_F3A1&PID_5C2D"},
     54},
    {true,
     BusQueryCompatibleIDs,
     "BusQueryCompatibleIDs",
     {"USB\\Class_03&SubClass_00&Prot_00", "USB\\Class_03&SubClass_00", "USB\\Class_03"},
     72},
    {true, BusQueryInstanceID, "BusQueryInstanceID", {"0011"}, 4},
    {true,
     BusQueryContainerID,
     "BusQueryContainerID",
     {"{6b1c0e52-93d4-4f0a-b8e7-2a5d40c9f316}"},
     38},
};

TEST_F(ChildBed, IdRepliesAreTheExactUtf16Lists) {
    for (const IdCase& c : IdCases) {
        SCOPED_TRACE(std::string(c.vendor ? "XDO " : "PDO ") + c.typeName);
        host::ClearLog();
        host::IrpResult result = SendPnp(
            c.vendor ? vendor_ : gamepad_, IRP_MN_QUERY_ID, STATUS_NOT_SUPPORTED,
            [&](PIRP, PIO_STACK_LOCATION stack) { stack->Parameters.QueryId.IdType = c.type; });
        ASSERT_EQ(STATUS_SUCCESS, result.status);
        ASSERT_NE(0u, result.information);
        EXPECT_EQ(c.strings, ParseMultiSz(result.information));
        EXPECT_EQ(c.lengthInWchars * 2 + 4, PoolBytesWithTag("Vlta"));
        const UCHAR* bytes = reinterpret_cast<const UCHAR*>(result.information);
        for (size_t i = c.lengthInWchars * 2; i < c.lengthInWchars * 2 + 4; ++i) {
            EXPECT_EQ(0, bytes[i]) << "byte " << i;
        }
        std::string expected = std::string("VELTDRIVER : ") + (c.vendor ? "XDO" : "PDO") +
                               " : DispatchPnp: IRP_MN_QUERY_ID " + c.typeName;
        EXPECT_EQ(std::vector<std::string>{expected}, Lines());
        ExFreePool(reinterpret_cast<PVOID>(result.information));
    }
}

TEST_F(ChildBed, UnansweredIdTypesAreNotSupportedWhateverTheyCameWith) {
    const ULONG types[] = {BusQueryDeviceSerialNumber, 6, 7};
    const NTSTATUS arriving[] = {STATUS_SUCCESS, STATUS_NOT_SUPPORTED, STATUS_SENTINEL_FAILURE};
    for (PDEVICE_OBJECT child : {gamepad_, vendor_}) {
        for (ULONG type : types) {
            for (NTSTATUS status : arriving) {
                host::ClearLog();
                host::IrpResult result =
                    SendPnp(child, IRP_MN_QUERY_ID, status, [&](PIRP irp, PIO_STACK_LOCATION s) {
                        s->Parameters.QueryId.IdType = static_cast<BUS_QUERY_ID_TYPE>(type);
                        irp->IoStatus.Information = SENTINEL_INFORMATION;
                    });
                EXPECT_EQ(STATUS_NOT_SUPPORTED, result.status) << type;
                EXPECT_EQ(SENTINEL_INFORMATION, result.information);
                std::string tag = child == gamepad_ ? "PDO" : "XDO";
                EXPECT_EQ(std::vector<std::string>{"VELTDRIVER : " + tag +
                                                   " : DispatchPnp: IRP_MN_QUERY_ID default"},
                          Lines());
            }
        }
    }
}

TEST_F(ChildBed, IdReplyAllocationFailureLeavesInformation) {
    host::FailNthCall(host::Alloc::Pool, 1);
    host::IrpResult result = SendPnp(gamepad_, IRP_MN_QUERY_ID, STATUS_NOT_SUPPORTED,
                                     [](PIRP irp, PIO_STACK_LOCATION s) {
                                         s->Parameters.QueryId.IdType = BusQueryHardwareIDs;
                                         irp->IoStatus.Information = SENTINEL_INFORMATION;
                                     });
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.status);
    EXPECT_EQ(SENTINEL_INFORMATION, result.information);
}

TEST_F(ChildBed, TargetRelationReplacesAListItFindsAndReferencesTheChildOnce) {
    // A list left by a driver above, naming another device and holding a reference on it.
    auto* previous = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), PoolTag("Test")));
    previous->Count = 1;
    previous->Objects[0] = busPdo_;
    LONG_PTR busReferences = host::ObjectReferences(busPdo_);
    ObfReferenceObject(busPdo_);
    LONG_PTR childReferences = host::ObjectReferences(vendor_);

    host::IrpResult result =
        SendPnp(vendor_, IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED,
                [&](PIRP irp, PIO_STACK_LOCATION s) {
                    s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
                    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(previous);
                });

    ASSERT_EQ(STATUS_SUCCESS, result.status);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
    ASSERT_NE(nullptr, relations);
    EXPECT_EQ(1u, relations->Count);
    EXPECT_EQ(vendor_, relations->Objects[0]);
    EXPECT_EQ(childReferences + 1, host::ObjectReferences(vendor_));
    EXPECT_EQ(busReferences, host::ObjectReferences(busPdo_)) << "the old list's reference";
    EXPECT_EQ(0u, PoolBytesWithTag("Test"));
    EXPECT_EQ(sizeof(DEVICE_RELATIONS), PoolBytesWithTag("Vlt9"));
    EXPECT_EQ(
        (std::vector<std::string>{"VELTDRIVER : XDO : DispatchPnp: IRP_MN_QUERY_DEVICE_RELATIONS : "
                                  "TargetDeviceRelation ",
                                  "VELTDRIVER : XDO : Reporting child PDO "}),
        Lines());
    // What the PnP manager does with the reply.
    ObfDereferenceObject(vendor_);
    ExFreePool(relations);
}

TEST_F(ChildBed, TargetRelationAllocationFailureLeavesNoList) {
    LONG_PTR childReferences = host::ObjectReferences(gamepad_);
    host::FailNthCall(host::Alloc::Pool, 1);
    host::IrpResult result = SendPnp(gamepad_, IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED,
                                     [](PIRP, PIO_STACK_LOCATION s) {
                                         s->Parameters.QueryDeviceRelations.Type =
                                             TargetDeviceRelation;
                                     });
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.status);
    EXPECT_EQ(0u, result.information);
    EXPECT_EQ(childReferences, host::ObjectReferences(gamepad_));
}

TEST_F(ChildBed, OtherRelationsKeepStatusAndInformation) {
    struct {
        DEVICE_RELATION_TYPE type;
        const char* line;
    } cases[] = {
        {BusRelations, "VELTDRIVER : PDO : DispatchPnp: IRP_MN_QUERY_DEVICE_RELATIONS : some other "
                       "relation, type is 0"},
        {PowerRelations, "VELTDRIVER : PDO : DispatchPnp: IRP_MN_QUERY_DEVICE_RELATIONS : some "
                         "other relation, type is 2"},
        {RemovalRelations,
         "VELTDRIVER : PDO : DispatchPnp: IRP_MN_QUERY_DEVICE_RELATIONS : RemovalRelations"},
        {EjectionRelations,
         "VELTDRIVER : PDO : DispatchPnp: IRP_MN_QUERY_DEVICE_RELATIONS : EjectionRelations"},
    };
    for (const auto& c : cases) {
        host::ClearLog();
        host::IrpResult result =
            SendPnp(gamepad_, IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_SENTINEL_FAILURE,
                    [&](PIRP irp, PIO_STACK_LOCATION s) {
                        s->Parameters.QueryDeviceRelations.Type = c.type;
                        irp->IoStatus.Information = SENTINEL_INFORMATION;
                    });
        EXPECT_EQ(STATUS_SENTINEL_FAILURE, result.status) << c.type;
        EXPECT_EQ(SENTINEL_INFORMATION, result.information);
        EXPECT_EQ(std::vector<std::string>{c.line}, Lines());
    }
}

TEST_F(ChildBed, CapabilitiesAreTheFdoCopyAmended) {
    DEVICE_CAPABILITIES& stored = Extension(fdo_)->DeviceCapabilities;
    stored.Size = sizeof(DEVICE_CAPABILITIES);
    stored.Version = 1;
    stored.DeviceD2 = 1;
    stored.LockSupported = 1;
    stored.Removable = 1;
    stored.SurpriseRemovalOK = 1;
    stored.WakeFromD3 = 1;
    stored.Address = 3;
    stored.UINumber = 7;
    stored.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    stored.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    stored.SystemWake = PowerSystemSleeping3;
    stored.DeviceWake = PowerDeviceD2;
    stored.D3Latency = 12;

    for (PDEVICE_OBJECT child : {gamepad_, vendor_}) {
        host::ClearLog();
        DEVICE_CAPABILITIES reply;
        memset(&reply, 0xA5, sizeof reply);
        host::IrpResult result = SendPnp(child, IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED,
                                         [&](PIRP, PIO_STACK_LOCATION s) {
                                             s->Parameters.DeviceCapabilities.Capabilities = &reply;
                                         });
        EXPECT_EQ(STATUS_SUCCESS, result.status);
        DEVICE_CAPABILITIES expected = stored;
        expected.Removable = 0;
        expected.SurpriseRemovalOK = 0;
        expected.Address = child == gamepad_ ? 10 : 11;
        expected.UINumber = 0xFFFFFFFF;
        EXPECT_EQ(0, memcmp(&expected, &reply, sizeof reply));
        std::vector<std::string> lines = Lines();
        ASSERT_EQ(27u, lines.size());
        EXPECT_EQ(std::string("VELTDRIVER : ") + (child == gamepad_ ? "PDO" : "XDO") +
                      " : DispatchPnp: IRP_MN_QUERY_CAPABILITIES",
                  lines[0]);
        EXPECT_EQ("Device capabilities:", lines[1]);
        EXPECT_EQ("  Removable            = N   Wake from D1       = N", lines[6]);
        EXPECT_EQ(std::string("  Address     = ") + (child == gamepad_ ? "10" : "11"), lines[25]);
        EXPECT_EQ("  UI number   = -1", lines[26]);
    }
}

TEST_F(ChildBed, BusInformationIsUsbOnPnpBus) {
    host::IrpResult result = SendPnp(gamepad_, IRP_MN_QUERY_BUS_INFORMATION, STATUS_NOT_SUPPORTED);
    ASSERT_EQ(STATUS_SUCCESS, result.status);
    auto* information = reinterpret_cast<PPNP_BUS_INFORMATION>(result.information);
    const UCHAR usbBusType[16] = {0xbc, 0xeb, 0x7d, 0x9d, 0x5d, 0xc8, 0xd1, 0x11,
                                  0x9e, 0xb4, 0x00, 0x60, 0x08, 0xc3, 0xa1, 0x9a};
    EXPECT_EQ(0, memcmp(usbBusType, &information->BusTypeGuid, sizeof usbBusType));
    EXPECT_EQ(PNPBus, information->LegacyBusType);
    EXPECT_EQ(15, information->LegacyBusType);
    EXPECT_EQ(0u, information->BusNumber);
    EXPECT_EQ(sizeof(PNP_BUS_INFORMATION), PoolBytesWithTag("Vltd"));
    EXPECT_EQ(std::vector<std::string>{"VELTDRIVER : PDO : DispatchPnp: "
                                       "IRP_MN_QUERY_BUS_INFORMATION "},
              Lines());
    ExFreePool(information);

    host::FailNthCall(host::Alloc::Pool, 1);
    result = SendPnp(
        vendor_, IRP_MN_QUERY_BUS_INFORMATION, STATUS_NOT_SUPPORTED,
        [](PIRP irp, PIO_STACK_LOCATION) { irp->IoStatus.Information = SENTINEL_INFORMATION; });
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.status);
    EXPECT_EQ(SENTINEL_INFORMATION, result.information);
}

TEST_F(ChildBed, DeviceStateReportsNoFlag) {
    host::IrpResult result = SendPnp(vendor_, IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_NOT_SUPPORTED,
                                     [](PIRP irp, PIO_STACK_LOCATION) {
                                         irp->IoStatus.Information =
                                             PNP_DEVICE_DISABLED | PNP_DEVICE_NOT_DISABLEABLE;
                                     });
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(0u, result.information);
    EXPECT_EQ(
        (std::vector<std::string>{"VELTDRIVER : XDO : DispatchPnp: IRP_MN_QUERY_PNP_DEVICE_STATE",
                                  "VELTDRIVER : reporting device is present"}),
        Lines());
}

TEST_F(ChildBed, StateChangesAndResourceQueriesSucceed) {
    struct {
        UCHAR minor;
        const char* name;
    } cases[] = {
        {IRP_MN_START_DEVICE, "IRP_MN_START_DEVICE"},
        {IRP_MN_QUERY_REMOVE_DEVICE, "IRP_MN_QUERY_REMOVE_DEVICE"},
        {IRP_MN_CANCEL_REMOVE_DEVICE, "IRP_MN_CANCEL_REMOVE_DEVICE"},
        {IRP_MN_STOP_DEVICE, "IRP_MN_STOP_DEVICE"},
        {IRP_MN_QUERY_STOP_DEVICE, "IRP_MN_QUERY_STOP_DEVICE"},
        {IRP_MN_CANCEL_STOP_DEVICE, "IRP_MN_CANCEL_STOP_DEVICE"},
        {IRP_MN_QUERY_RESOURCES, "IRP_MN_QUERY_RESOURCES"},
        {IRP_MN_QUERY_RESOURCE_REQUIREMENTS, "IRP_MN_QUERY_RESOURCE_REQUIREMENTS"},
        {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, "IRP_MN_FILTER_RESOURCE_REQUIREMENTS"},
        {IRP_MN_SURPRISE_REMOVAL, "IRP_MN_SURPRISE_REMOVAL"},
        {IRP_MN_REMOVE_DEVICE, "IRP_MN_REMOVE_DEVICE"},
    };
    for (PDEVICE_OBJECT child : {gamepad_, vendor_}) {
        for (const auto& c : cases) {
            host::ClearLog();
            host::IrpResult result =
                SendPnp(child, c.minor, STATUS_NOT_SUPPORTED, [](PIRP irp, PIO_STACK_LOCATION) {
                    irp->IoStatus.Information = SENTINEL_INFORMATION;
                });
            EXPECT_EQ(STATUS_SUCCESS, result.status) << c.name;
            EXPECT_EQ(STATUS_SUCCESS, result.returned) << c.name;
            EXPECT_EQ(SENTINEL_INFORMATION, result.information) << c.name;
            std::string tag = child == gamepad_ ? "PDO" : "XDO";
            EXPECT_EQ(std::vector<std::string>{"VELTDRIVER : " + tag +
                                               " : DispatchPnp: completing " + c.name +
                                               " with STATUS_SUCCESS "},
                      LinesAt(DPFLTR_TRACE_LEVEL));
        }
    }
    EXPECT_FALSE(host::IsDeleted(gamepad_));
    EXPECT_FALSE(host::IsDeleted(vendor_));
}

TEST_F(ChildBed, UnhandledRequestsKeepTheirStatus) {
    struct {
        UCHAR minor;
        std::vector<std::string> lines;
    } cases[] = {
        {IRP_MN_QUERY_INTERFACE,
         {"VELTDRIVER : PDO : DispatchPnp: IRP_MN_QUERY_INTERFACE  completing with existing "
          "status STATUS_DEVICE_NOT_READY"}},
        {IRP_MN_QUERY_DEVICE_TEXT, {}},
        {0x0E,
         {"VELTDRIVER : PDO : DispatchPnp: default handler for minor function 0xE , completing "
          "with existing status"}},
        {0x18,
         {"VELTDRIVER : PDO : DispatchPnp: default handler for minor function 0x18 , completing "
          "with existing status"}},
        {IRP_MN_DEVICE_ENUMERATED,
         {"VELTDRIVER : PDO : DispatchPnp: default handler for minor function 0x19 , completing "
          "with existing status"}},
    };
    for (const auto& c : cases) {
        host::ClearLog();
        host::IrpResult result =
            SendPnp(gamepad_, c.minor, STATUS_SENTINEL_FAILURE, [](PIRP irp, PIO_STACK_LOCATION) {
                irp->IoStatus.Information = SENTINEL_INFORMATION;
            });
        EXPECT_EQ(STATUS_SENTINEL_FAILURE, result.status) << int(c.minor);
        EXPECT_EQ(STATUS_SENTINEL_FAILURE, result.returned);
        EXPECT_EQ(SENTINEL_INFORMATION, result.information);
        EXPECT_EQ(c.lines, Lines());
    }
}

TEST_F(ChildBed, RemoveLockFailureCompletesWithTheLocksStatus) {
    struct {
        PDEVICE_OBJECT child;
        const char* line;
    } cases[] = {
        {gamepad_, "VELTDRIVER :  PDO : Pnp: Remove lock failed PNP Irp type [0x13]"},
        {vendor_, "VELTDRIVER : XDO : DispatchPnp : Remove lock failed PNP Irp type [0x13]"},
    };
    for (const auto& c : cases) {
        // The lock as a removal leaves it.
        PIO_REMOVE_LOCK lock = &Extension(c.child)->RemoveLock;
        ASSERT_EQ(STATUS_SUCCESS,
                  IoAcquireRemoveLockEx(lock, this, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK)));
        IoReleaseRemoveLockAndWaitEx(lock, this, sizeof(IO_REMOVE_LOCK));
        host::ClearLog();
        host::IrpResult result = SendPnp(c.child, IRP_MN_QUERY_ID, STATUS_NOT_SUPPORTED,
                                         [](PIRP irp, PIO_STACK_LOCATION s) {
                                             s->Parameters.QueryId.IdType = BusQueryDeviceID;
                                             irp->IoStatus.Information = SENTINEL_INFORMATION;
                                         });
        EXPECT_EQ(STATUS_DELETE_PENDING, result.status);
        EXPECT_EQ(STATUS_DELETE_PENDING, result.returned);
        EXPECT_EQ(0u, result.information);
        EXPECT_EQ(std::vector<std::string>{c.line}, LinesAt(DPFLTR_ERROR_LEVEL));
        EXPECT_TRUE(LinesAt(DPFLTR_TRACE_LEVEL).empty());
    }
}

TEST_F(ChildBed, ChildStillAnswersAfterRemove) {
    for (PDEVICE_OBJECT child : {gamepad_, vendor_}) {
        EXPECT_EQ(STATUS_SUCCESS,
                  SendPnp(child, IRP_MN_REMOVE_DEVICE, STATUS_NOT_SUPPORTED).status);
        host::IrpResult result =
            SendPnp(child, IRP_MN_QUERY_ID, STATUS_NOT_SUPPORTED, [](PIRP, PIO_STACK_LOCATION s) {
                s->Parameters.QueryId.IdType = BusQueryInstanceID;
            });
        ASSERT_EQ(STATUS_SUCCESS, result.status);
        EXPECT_EQ(std::vector<std::string>{child == gamepad_ ? "0010" : "0011"},
                  ParseMultiSz(result.information));
        ExFreePool(reinterpret_cast<PVOID>(result.information));
        EXPECT_EQ(1, Extension(child)->RemoveLock.Common.IoCount) << "no hold left behind";
    }
}

} // namespace
