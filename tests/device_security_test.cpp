// Who may open the driver's devices: the INF gives the controller's device the security of a
// system device, and every device object of the driver checks opens of its namespace too.
#include "sim/app/application.h"
#include "sim/pnp/inf.h"
#include "support/scenario_world.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

using namespace velt_test;

namespace {

const char SystemAndAdministrators[] = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";

TEST(DriverInfSecurity, GivesTheControllerSystemAndAdministratorsOnly) {
    std::ifstream file(VELT_DRIVER_INF);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (const char* decoration : {"NTamd64", "NTx86"}) {
        std::vector<sim::pnp::InfModel> models = sim::pnp::ParseInfModels(text, decoration);
        EXPECT_FALSE(models.empty()) << decoration;
        for (const sim::pnp::InfModel& model : models) {
            EXPECT_EQ(SystemAndAdministrators, model.security) << decoration << " " << model.id;
        }
    }
}

TEST(InfModelSecurity, TakesTheSecurityOfTheHardwareSectionOnly) {
    const char text[] = R"inf([Manufacturer]
M = Models, NTamd64
[Models.NTamd64]
D = Install, ID\ONE
D = Other, ID\TWO
[Install.NT]
[Install.NT.HW]
AddReg = First, Second
[First]
HKR,,Security,,"D:P(A;;GA;;;SY)"
[Second]
HKR,,Security,,"%Sddl%" ; the last write wins
HKR,,DeviceCharacteristics,0x10001,0x100
[Other.NT]
AddReg = First
[Strings]
Sddl = "D:P(A;;GA;;;BA)"
)inf";
    std::vector<sim::pnp::InfModel> models = sim::pnp::ParseInfModels(text, "NTamd64");
    ASSERT_EQ(2u, models.size());
    EXPECT_EQ("D:P(A;;GA;;;BA)", models[0].security);
    EXPECT_EQ("", models[1].security) << "AddReg of the install section writes the driver key";
}

class DeviceSecurityTest : public EachCompletion {};

// The PnP manager applies the hardware key's Security to the controller's stack; the driver's
// device objects carry FILE_DEVICE_SECURE_OPEN, so a name in their namespace is no way around it.
TEST_P(DeviceSecurityTest, OnlyTheSystemAndAdministratorsOpenTheControllersStack) {
    PDEVICE_EXTENSION fdo = FdoExtension();
    for (PDEVICE_OBJECT device :
         {Fdo(), ReadPublished(&fdo->GamepadChild), ReadPublished(&fdo->VendorChild)}) {
        EXPECT_EQ(ULONG(FILE_DEVICE_SECURE_OPEN),
                  device->Characteristics & FILE_DEVICE_SECURE_OPEN);
    }
    for (PDEVICE_OBJECT device : {Pdo(), Fdo()}) {
        EXPECT_EQ(0u, host::GrantedAccess(device, host::Caller::User));
    }
    struct Case {
        host::Caller caller;
        PDEVICE_OBJECT member;
        const char16_t* remainder;
        NTSTATUS status;
    } cases[] = {
        {host::Caller::User, Pdo(), u"", STATUS_ACCESS_DENIED},
        {host::Caller::User, Pdo(), u"\\x", STATUS_ACCESS_DENIED},
        {host::Caller::User, Fdo(), u"\\x", STATUS_ACCESS_DENIED},
        {host::Caller::Administrator, Pdo(), u"", STATUS_SUCCESS},
        {host::Caller::System, Fdo(), u"\\x", STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        sim::app::Application app(c.caller);
        NTSTATUS status = STATUS_PENDING;
        app.Open(c.member, GENERIC_READ | GENERIC_WRITE, c.remainder, &status);
        EXPECT_EQ(c.status, status) << int(c.caller);
    }
}

INSTANTIATE_TEST_SUITE_P(Completion, DeviceSecurityTest, BothCompletions(), CompletionTestName);

} // namespace
