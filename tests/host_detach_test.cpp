// The host kernel's device deletion: a device deleted while another is attached to it lives
// until that one detaches, as on Windows.
#include <host/host.h>

#include <gtest/gtest.h>

namespace {

NTSTATUS NTAPI NoEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

TEST(HostDevices, DeletionWaitsForTheDeviceAboveToDetach) {
    host::Reset();
    PDRIVER_OBJECT driver = host::LoadDriver(NoEntry, u"detachtest");
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              IoCreateDevice(driver, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower));
    ASSERT_EQ(STATUS_SUCCESS,
              IoCreateDevice(driver, 0, NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper));
    ASSERT_EQ(lower, IoAttachDeviceToDeviceStack(upper, lower));

    // The lower driver deletes its device while handling a removal the upper one passed down.
    IoDeleteDevice(lower);
    EXPECT_TRUE(host::IsDeleted(lower));
    EXPECT_EQ(1, host::ObjectReferences(lower)) << "still there for the device above";
    EXPECT_EQ(upper, lower->AttachedDevice);

    IoDetachDevice(lower);
    EXPECT_EQ(0, host::ObjectReferences(lower)) << "gone once detached";
    IoDeleteDevice(upper);
    EXPECT_EQ(0, host::ObjectReferences(upper));
    host::UnloadDriver(driver);
    EXPECT_TRUE(host::Violations().empty()) << host::DescribeViolations();
}

} // namespace
