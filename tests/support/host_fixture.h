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
