// Selecting the controller's configuration and keeping its pipe handles.
#include "fdo/fdo.h"
#include "sim/usb/controller.h"
#include "support/usb_stack.h"

#include <gmock/gmock.h>

using namespace sim::usb;
using namespace velt_test;
using ::testing::Contains;
using ::testing::Not;

namespace {

class ConfigurationTest : public UsbStackTest {
  protected:
    NTSTATUS Configure() {
        host::IrqlScope passive(PASSIVE_LEVEL);
        GetDescriptorData(Extension());
        return SetTargetConfiguration(Extension(), Extension()->pConfigDescriptor);
    }
    UCHAR Endpoint(USBD_PIPE_HANDLE handle) {
        return Stack().Device().EndpointOf(handle);
    }
};

struct PipeCase {
    const char* name;
    ControllerModel (*model)();
    UCHAR interruptIn, interruptOut, bulkIn, bulkOut;
    std::vector<const char*> interfacesSelected; // the "IF n  bInterfaceNumber" lines
};

class PipeTables : public ConfigurationTest, public ::testing::WithParamInterface<PipeCase> {};

TEST_P(PipeTables, EntryZeroHoldsTheLastPipeOfEachKind) {
    const PipeCase& c = GetParam();
    Plug(c.model());
    EXPECT_EQ(Configure(), STATUS_SUCCESS);
    PDEVICE_EXTENSION e = Extension();
    EXPECT_EQ(Endpoint(e->InterruptInPipe[0]), c.interruptIn);
    EXPECT_EQ(Endpoint(e->InterruptOutPipe[0]), c.interruptOut);
    EXPECT_EQ(Endpoint(e->BulkInPipe[0]), c.bulkIn);
    EXPECT_EQ(Endpoint(e->BulkOutPipe[0]), c.bulkOut);
    EXPECT_EQ(e->BulkInPipe[0] != nullptr, c.bulkIn != 0);
    EXPECT_EQ(e->BulkOutPipe[0] != nullptr, c.bulkOut != 0);
    for (USBD_PIPE_HANDLE* table :
         {e->InterruptInPipe, e->InterruptOutPipe, e->BulkInPipe, e->BulkOutPipe}) {
        EXPECT_EQ(table[1], nullptr);
    }
    EXPECT_EQ(e->NumMappedEndpoints, 0u);
    for (const char* line : c.interfacesSelected) {
        EXPECT_THAT(host::LogTexts(), Contains(line));
    }
    EXPECT_TRUE(Stack().Device().Configured());
    EXPECT_THAT(host::PoolOutstanding(),
                Not(Contains(::testing::Field(&host::PoolUsage::tag, std::string("Vltc")))));
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, PipeTables,
    ::testing::Values(
        PipeCase{"Default",
                 DefaultController,
                 0x84,
                 0x03,
                 0,
                 0,
                 {"VELTDRIVER : IF 0  bInterfaceNumber 0", "VELTDRIVER : IF 1  bAlternateSetting 0",
                  "VELTDRIVER : IF 3  bInterfaceNumber 3"}},
        PipeCase{"TwoInterruptIn", ControllerWithTwoInterruptInPipes, 0x82, 0x02, 0, 0, {}},
        PipeCase{"Bulk", ControllerWithBulkEndpoints, 0x81, 0x01, 0x86, 0x07, {}},
        PipeCase{
            "Interfaces0And2",
            ControllerWithInterfaces0And2,
            0x82,
            0x01,
            0,
            0,
            {"VELTDRIVER : IF 0  bInterfaceNumber 0", "VELTDRIVER : IF 2  bInterfaceNumber 2"}}),
    [](const ::testing::TestParamInfo<PipeCase>& info) { return info.param.name; });

TEST_F(ConfigurationTest, ExactLinesOfTheHidInterfaceAndItsPipes) {
    Plug(DefaultController());
    Configure();
    PDEVICE_EXTENSION e = Extension();
    std::vector<std::string> lines = LogFrom("VELTDRIVER : NumberOfPipes 0x2");
    auto handle = [](USBD_PIPE_HANDLE h) {
        char text[64];
        std::snprintf(text, sizeof text, "VELTDRIVER : Handle 0x%llX",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
        return std::string(text);
    };
    std::vector<std::string> expected = {
        "VELTDRIVER : NumberOfPipes 0x2",
        "VELTDRIVER : Length 0x" +
            [] {
                char text[16];
                std::snprintf(text, sizeof text, "%zX", GET_USBD_INTERFACE_SIZE(2));
                return std::string(text);
            }(),
        "VELTDRIVER : Alt Setting 0x0",
        "VELTDRIVER : Interface Number 0x3",
        "VELTDRIVER : Class, subclass, protocol 0x3 0x0 0x0",
        "",
        "",
        "",
        "VELTDRIVER : PipeType 0x3 INTERRUPT PIPE",
        "VELTDRIVER : EndpointAddress 0x84",
        "VELTDRIVER : MaxPacketSize 0x40",
        "VELTDRIVER : Interval 0x4",
        handle(e->InterruptInPipe[0]),
        "VELTDRIVER : MaximumTransferSize 0xFFFFFFFF",
        "",
        "",
        "VELTDRIVER : PipeType 0x3 INTERRUPT PIPE",
        "VELTDRIVER : EndpointAddress 0x3",
        "VELTDRIVER : MaxPacketSize 0x40",
        "VELTDRIVER : Interval 0x4",
        handle(e->InterruptOutPipe[0]),
        "VELTDRIVER : MaximumTransferSize 0xFFFFFFFF",
        "",
        "",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(ConfigurationTest, NoConfigurationCopyLeavesThePipesNullAndFails) {
    Plug(DefaultController());
    PDEVICE_EXTENSION e = Extension();
    e->InterruptInPipe[0] = e; // what an earlier start left
    host::IrqlScope passive(PASSIVE_LEVEL);
    EXPECT_FALSE(NT_SUCCESS(SetTargetConfiguration(e, NULL)));
    EXPECT_EQ(e->InterruptInPipe[0], nullptr);
    EXPECT_FALSE(Stack().Device().Configured());
    EXPECT_EQ(host::LogTexts(),
              std::vector<std::string>{"VELTDRIVER : SetTargetConfiguration : 0 selected"});
}

TEST_F(ConfigurationTest, InterfaceSearchEndsWhenTheCountIsNeverReached) {
    ControllerModel model = DefaultController();
    model.configuration =
        ConfigurationBuilder().Interface(0, 0, 1, 3).Endpoint(0x81, 3, 64, 4).Build();
    model.configuration[4] = 3; // announces three interfaces, holds one
    Plug(model);
    EXPECT_EQ(Configure(), STATUS_SUCCESS);
    EXPECT_EQ(Endpoint(Extension()->InterruptInPipe[0]), 0x81);
}

TEST_F(ConfigurationTest, FailuresLeaveThePipesNull) {
    struct Case {
        const char* name;
        std::function<void(UsbStack&)> arrange;
        NTSTATUS status;
        const char* line;
    } cases[] = {
        {"list", [](UsbStack&) { host::FailNthCall(host::Alloc::Pool, 1); },
         STATUS_INSUFFICIENT_RESOURCES,
         "VELTDRIVER : SetTargetConfiguration : Failed to allocate mem for interfacelistentry"},
        {"urb", [](UsbStack&) { host::FailNthCall(host::Alloc::Pool, 2); },
         STATUS_INSUFFICIENT_RESOURCES, "VELTDRIVER : USBD_CreateConfigurationRequestEx failed"},
        {"select", [](UsbStack& stack) { stack.Device().Unplug(); }, STATUS_NO_SUCH_DEVICE,
         "VELTDRIVER : Failed to select an interface"},
    };
    for (const Case& c : cases) {
        Plug(DefaultController());
        host::IrqlScope passive(PASSIVE_LEVEL);
        GetDescriptorData(Extension());
        host::ClearLog();
        c.arrange(Stack());
        EXPECT_EQ(SetTargetConfiguration(Extension(), Extension()->pConfigDescriptor), c.status)
            << c.name;
        EXPECT_EQ(Extension()->InterruptInPipe[0], nullptr) << c.name;
        EXPECT_EQ(Extension()->InterruptOutPipe[0], nullptr) << c.name;
        EXPECT_EQ(host::LogLines().back().text, c.line) << c.name;
        EXPECT_EQ(host::LogLines().back().level, 0u) << c.name;
        stack_.reset();
        EXPECT_TRUE(host::PoolOutstanding().empty()) << c.name;
        host::Reset();
        host::SetTimeScale(100);
    }
}

} // namespace
