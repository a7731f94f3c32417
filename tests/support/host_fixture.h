// Fixtures shared by the suites: a fresh host kernel per test, and a driver of the tests whose
// device objects answer requests through handlers the test gives them.
#pragma once

#include <host/host.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace velt::test {

// Every test starts on a freshly booted host and ends with no verifier violation.
class HostTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // The log lines written since the test began, text only.
    static std::vector<std::string> Lines();
};

// Whether this process can run its own binary again, as a thread-safe death test does: not a
// 32-bit build on a kernel without 32-bit support, which runs under qemu-i386 unless the machine
// registered it for such binaries.
bool SelfReexecutes();

// In a test body: death tests in a process with threads re-execute the binary (a fork would
// keep only the forking thread, and the locks the others held); skipped where that cannot be.
#define VELT_THREADSAFE_DEATH_TESTS()                                                              \
    do {                                                                                           \
        if (!::velt::test::SelfReexecutes()) {                                                     \
            GTEST_SKIP() << "this machine cannot run the test binary again (a 32-bit build "       \
                            "under qemu-i386 with no binfmt registration)";                        \
        }                                                                                          \
        GTEST_FLAG_SET(death_test_style, "threadsafe");                                            \
    } while (false)

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// Completes the request with the status it carries.
NTSTATUS CompleteAsIs(PDEVICE_OBJECT device, PIRP irp);

// A driver of the tests. Its devices dispatch every major function to their handler.
class TestDriver {
  public:
    explicit TestDriver(const char16_t* name = u"testdriver");
    ~TestDriver();
    TestDriver(const TestDriver&) = delete;
    TestDriver& operator=(const TestDriver&) = delete;

    PDEVICE_OBJECT CreateDevice(Handler handler = CompleteAsIs);
    void SetHandler(PDEVICE_OBJECT device, Handler handler);
    PDRIVER_OBJECT Object() const {
        return driver_;
    }

  private:
    PDRIVER_OBJECT driver_;
};

// Loads the driver under test for one test and unloads it afterwards.
class DriverTest : public HostTest {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Takes the FDO off its stack and deletes it, as its removal does.
    static void DestroyFdo(PDEVICE_OBJECT fdo);
    PDRIVER_OBJECT driver_ = nullptr;
};

} // namespace velt::test
