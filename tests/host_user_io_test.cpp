// The user-mode side of the host's I/O manager: how a program's requests reach a driver, what
// the I/O manager refuses before any driver sees a request, device security, and the stop that
// a driver's touch of a user address turns into.
#include "sim/app/application.h"
#include "support/host_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace velt::test;
using sim::app::Application;
using sim::app::Bytes;

namespace {

constexpr ULONG Code(ULONG method, ULONG access = FILE_ANY_ACCESS) {
    return CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, method, access);
}

// What the test driver saw of one request.
struct Seen {
    UCHAR major = 0xFF;
    KPROCESSOR_MODE mode = KernelMode;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT fileDevice = nullptr;
    PVOID systemBuffer = nullptr;
    PVOID type3 = nullptr;
    PVOID userBuffer = nullptr;
    PMDL mdl = nullptr;
    PVOID mdlAddress = nullptr; // the address the MDL describes
    Bytes systemBytes;          // the first bytes of the system buffer, when there is one
};

class UserIoTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        driver_ = std::make_unique<TestDriver>();
        device_ = driver_->CreateDevice([this](PDEVICE_OBJECT, PIRP irp) { return Serve(irp); });
    }
    void TearDown() override {
        driver_.reset();
        HostTest::TearDown();
    }

    // Records the request; a buffered or direct device control gets "OK" back in its output.
    NTSTATUS Serve(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        Seen seen;
        seen.major = stack->MajorFunction;
        seen.mode = irp->RequestorMode;
        seen.file = stack->FileObject;
        seen.fileDevice = seen.file != nullptr ? seen.file->DeviceObject : nullptr;
        irp->IoStatus.Information = 0;
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            ULONG method = METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode);
            ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
            ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
            seen.type3 = stack->Parameters.DeviceIoControl.Type3InputBuffer;
            seen.userBuffer = irp->UserBuffer;
            seen.mdl = irp->MdlAddress;
            seen.mdlAddress = seen.mdl != nullptr ? MmGetMdlVirtualAddress(seen.mdl) : nullptr;
            if (method != METHOD_NEITHER) {
                seen.systemBuffer = irp->AssociatedIrp.SystemBuffer;
                if (seen.systemBuffer != NULL && in != 0) {
                    auto* bytes = static_cast<const uint8_t*>(seen.systemBuffer);
                    seen.systemBytes.assign(bytes, bytes + in);
                }
            }
            PVOID answer = method == METHOD_BUFFERED ? irp->AssociatedIrp.SystemBuffer
                           : method == METHOD_NEITHER || irp->MdlAddress == NULL
                               ? NULL
                               : MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
            if (answer != NULL && out >= 2) {
                memcpy(answer, "OK", 2);
                irp->IoStatus.Information = 2;
            }
        }
        seen_.push_back(seen);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }

    std::unique_ptr<TestDriver> driver_;
    PDEVICE_OBJECT device_ = nullptr;
    std::vector<Seen> seen_;
};

TEST_F(UserIoTest, CreateCleanupAndCloseCarryOneFileObjectFromUserMode) {
    {
        Application app;
        ASSERT_NE(0, app.Open(device_));
    }
    ASSERT_EQ(3u, seen_.size());
    const UCHAR majors[] = {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(majors[i], seen_[i].major);
        EXPECT_EQ(UserMode, seen_[i].mode);
        ASSERT_NE(nullptr, seen_[i].file);
        EXPECT_EQ(seen_[0].file, seen_[i].file);
        EXPECT_EQ(device_, seen_[i].fileDevice);
    }
}

// Where each transfer method puts a program's buffers.
TEST_F(UserIoTest, EachTransferMethodPlacesTheBuffersAsWindowsDoes) {
    for (ULONG method : {METHOD_BUFFERED, METHOD_IN_DIRECT, METHOD_OUT_DIRECT, METHOD_NEITHER}) {
        seen_.clear();
        Application app;
        int handle = app.Open(device_);
        PVOID input = app.Buffer(Bytes{1, 2, 3});
        PVOID output = app.Buffer(8);
        host::UserIoResult result = app.Control(handle, Code(method), input, 3, output, 8);
        ASSERT_TRUE(result.sent) << method;
        EXPECT_EQ(STATUS_SUCCESS, result.status);
        ASSERT_EQ(2u, seen_.size());
        const Seen& seen = seen_[1];
        EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, seen.major);
        EXPECT_EQ(UserMode, seen.mode);
        EXPECT_EQ(seen_[0].file, seen.file);
        if (method == METHOD_NEITHER) {
            // The program's own addresses, unprobed and uncopied; nothing came back.
            EXPECT_EQ(input, seen.type3);
            EXPECT_EQ(output, seen.userBuffer);
            EXPECT_EQ(0u, result.information);
            EXPECT_EQ((Bytes{0, 0}), app.Read(output, 2));
            continue;
        }
        // The input in a system buffer, which is none of the program's addresses; the output
        // through the system buffer (buffered) or an MDL (direct).
        EXPECT_FALSE(app.Space().Contains(seen.systemBuffer, 1)) << method;
        EXPECT_EQ((Bytes{1, 2, 3}), seen.systemBytes) << method;
        EXPECT_EQ(method != METHOD_BUFFERED, seen.mdl != nullptr) << method;
        if (method == METHOD_BUFFERED) {
            EXPECT_EQ(output, seen.userBuffer);
        } else {
            EXPECT_EQ(output, seen.mdlAddress) << "the MDL describes the program's pages";
        }
        EXPECT_EQ(2u, result.information);
        EXPECT_EQ((Bytes{'O', 'K', 0}), app.Read(output, 3)) << method;
    }
}

// The system buffer holds no zeros the driver did not write: a driver that reports more than it
// wrote hands the program whatever the pool held, visibly.
TEST_F(UserIoTest, BufferedOutputThatTheDriverDidNotWriteIsNotZeros) {
    driver_->SetHandler(device_, [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        irp->IoStatus.Information = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL
                                        ? stack->Parameters.DeviceIoControl.OutputBufferLength
                                        : 0;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    Application app;
    int handle = app.Open(device_);
    PVOID output = app.Buffer(4);
    host::UserIoResult result = app.Control(handle, Code(METHOD_BUFFERED), NULL, 0, output, 4);
    EXPECT_EQ(4u, result.information);
    EXPECT_NE((Bytes{0, 0, 0, 0}), app.Read(output, 4));
}

// Refused by the I/O manager before an IRP exists: a probe that fails, and a code whose access
// the handle lacks. METHOD_NEITHER probes nothing.
TEST_F(UserIoTest, ProbesAndAccessBitsRefuseBeforeAnyDriverSeesTheRequest) {
    Application app;
    int readOnly = app.Open(device_, GENERIC_READ);
    PVOID inside = app.Buffer(16);
    PVOID outside = reinterpret_cast<PVOID>(reinterpret_cast<uintptr_t>(app.Space().Base()) +
                                            app.Space().Size() - 4);
    struct Case {
        ULONG code;
        PVOID input;
        ULONG inputLength;
        NTSTATUS status;
        bool sent;
    } cases[] = {
        {Code(METHOD_BUFFERED), outside, 16, STATUS_ACCESS_VIOLATION, false},
        {Code(METHOD_OUT_DIRECT), outside, 16, STATUS_ACCESS_VIOLATION, false},
        {Code(METHOD_BUFFERED), reinterpret_cast<PVOID>(uintptr_t(0x1000)), 4,
         STATUS_ACCESS_VIOLATION, false},
        {Code(METHOD_NEITHER), outside, 16, STATUS_SUCCESS, true},
        {Code(METHOD_BUFFERED, FILE_WRITE_ACCESS), inside, 16, STATUS_ACCESS_DENIED, false},
        {Code(METHOD_BUFFERED, FILE_READ_ACCESS), inside, 16, STATUS_SUCCESS, true},
    };
    for (const Case& c : cases) {
        size_t before = seen_.size();
        host::UserIoResult result = app.Control(readOnly, c.code, c.input, c.inputLength, NULL, 0);
        EXPECT_EQ(c.status, result.status) << std::hex << c.code;
        EXPECT_EQ(c.sent, result.sent) << std::hex << c.code;
        EXPECT_EQ(c.sent ? before + 1 : before, seen_.size()) << std::hex << c.code;
    }
}

// The device's security decides who opens it; a name in its namespace escapes the check unless
// the stack carries FILE_DEVICE_SECURE_OPEN.
TEST_F(UserIoTest, SecurityDecidesWhoOpensAndSecureOpenCoversTheNamespace) {
    for (const char* unparsed : {"D:P(A;;GA;;;XX)", "O:SYD:(A;;GA;;;SY)", "D:RRI(A;;GA;;;SY)",
                                 "D:PA(A;;GA;;;SY)", "D:AIP(A;;GA;;;SY)x"}) {
        EXPECT_FALSE(host::SetDeviceSecurity(device_, unparsed)) << unparsed;
    }
    EXPECT_EQ(FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE,
              host::GrantedAccess(device_, host::Caller::User))
        << "the default security lets everyone read and write";
    ASSERT_TRUE(host::SetDeviceSecurity(device_, "D:PAIAR(A;;GA;;;SY)"));
    EXPECT_EQ(FILE_ALL_ACCESS, host::GrantedAccess(device_, host::Caller::System));
    ASSERT_TRUE(host::SetDeviceSecurity(device_, "D:P(A;;GA;;;SY)(A;;GA;;;BA)"));
    struct Case {
        host::Caller caller;
        const char16_t* remainder;
        bool secureOpen;
        NTSTATUS status;
    } cases[] = {
        {host::Caller::User, u"", false, STATUS_ACCESS_DENIED},
        {host::Caller::User, u"\\x", false, STATUS_SUCCESS},
        {host::Caller::User, u"\\x", true, STATUS_ACCESS_DENIED},
        {host::Caller::User, u"", true, STATUS_ACCESS_DENIED},
        {host::Caller::Administrator, u"\\x", true, STATUS_SUCCESS},
        {host::Caller::System, u"", true, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        device_->Characteristics = c.secureOpen ? FILE_DEVICE_SECURE_OPEN : 0;
        Application app(c.caller);
        NTSTATUS status = STATUS_PENDING;
        int handle = app.Open(device_, GENERIC_READ | GENERIC_WRITE, c.remainder, &status);
        EXPECT_EQ(c.status, status) << int(c.caller) << " " << c.secureOpen;
        EXPECT_EQ(NT_SUCCESS(c.status), handle != 0);
    }
}

// Generic rights map to file rights on both sides of the check, and CreateFileW's own
// SYNCHRONIZE | FILE_READ_ATTRIBUTES must be granted too.
TEST_F(UserIoTest, OpensAreCheckedInFileRights) {
    struct Case {
        const char* sddl;
        ACCESS_MASK desired;
        NTSTATUS status;
    } cases[] = {
        {"D:P(A;;FR;;;WD)", GENERIC_READ, STATUS_SUCCESS},
        {"D:P(A;;FR;;;WD)", FILE_READ_DATA, STATUS_SUCCESS},
        {"D:P(A;;FR;;;WD)", GENERIC_WRITE, STATUS_ACCESS_DENIED},
        {"D:P(A;;FR;;;WD)", GENERIC_ALL, STATUS_ACCESS_DENIED},
        {"D:P(A;;GRGW;;;WD)", FILE_READ_DATA | FILE_WRITE_DATA, STATUS_SUCCESS},
        {"D:P(A;;FX;;;WD)", FILE_READ_DATA, STATUS_ACCESS_DENIED},
        {"D:P(A;;FA;;;WD)", GENERIC_ALL, STATUS_SUCCESS},
        // FILE_GENERIC_WRITE holds SYNCHRONIZE, which every CreateFileW asks for.
        {"D:P(D;;FW;;;WD)(A;;GA;;;WD)", GENERIC_READ, STATUS_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(host::SetDeviceSecurity(device_, c.sddl)) << c.sddl;
        Application app;
        NTSTATUS status = STATUS_PENDING;
        app.Open(device_, c.desired, u"", &status);
        EXPECT_EQ(c.status, status) << c.sddl << " " << std::hex << c.desired;
    }
}

class UserIoDeathTest : public UserIoTest {};

// A driver that reads a program's address itself stops the machine, naming itself; at
// DISPATCH_LEVEL with the code Windows gives there. The address an MDL describes is the
// program's too: only the system address mapped for it is the driver's to touch.
TEST_F(UserIoDeathTest, DriverThatTouchesAUserAddressStopsTheMachine) {
    VELT_THREADSAFE_DEATH_TESTS();
    struct Case {
        KIRQL irql;
        ULONG method;
        const char* stop;
    } cases[] = {
        {PASSIVE_LEVEL, METHOD_NEITHER,
         "STOP: 0x00000050 \\(PAGE_FAULT_IN_NONPAGED_AREA: driver testdriver .*read user "
         "address .* at IRQL 0"},
        {DISPATCH_LEVEL, METHOD_NEITHER,
         "STOP: 0x000000D1 \\(DRIVER_IRQL_NOT_LESS_OR_EQUAL: driver testdriver .*read user "
         "address .* at IRQL 2"},
        {PASSIVE_LEVEL, METHOD_OUT_DIRECT,
         "STOP: 0x00000050 \\(PAGE_FAULT_IN_NONPAGED_AREA: driver testdriver .*read user "
         "address .* at IRQL 0"},
    };
    for (const Case& c : cases) {
        driver_->SetHandler(device_, [c](PDEVICE_OBJECT, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
                host::IrqlScope level(c.irql);
                PVOID buffer = c.method == METHOD_NEITHER ? irp->UserBuffer
                                                          : MmGetMdlVirtualAddress(irp->MdlAddress);
                irp->IoStatus.Information = *static_cast<volatile UCHAR*>(buffer);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        });
        EXPECT_DEATH(
            {
                Application app;
                int handle = app.Open(device_);
                PVOID output = app.Buffer(Bytes{7});
                app.Control(handle, Code(c.method), NULL, 0, output, 1);
            },
            c.stop)
            << c.method;
    }
}

// A program's address range stays reserved after the program ends: a driver that keeps one of
// its addresses still stops the machine, and never reads host memory that came to lie there.
TEST_F(UserIoDeathTest, AnAddressOfAProgramThatEndedStillStopsTheMachine) {
    VELT_THREADSAFE_DEATH_TESTS();
    PVOID stale = nullptr;
    {
        Application ended;
        stale = ended.Buffer(Bytes{7});
    }
    driver_->SetHandler(device_, [stale](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            irp->IoStatus.Information = *static_cast<volatile UCHAR*>(stale);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    EXPECT_DEATH(
        {
            Application app(host::Caller::User, 1 << 21);
            int handle = app.Open(device_);
            app.Control(handle, Code(METHOD_BUFFERED), NULL, 0, NULL, 0);
        },
        "STOP: 0x00000050 \\(PAGE_FAULT_IN_NONPAGED_AREA: driver testdriver .*read user address");
}

} // namespace
