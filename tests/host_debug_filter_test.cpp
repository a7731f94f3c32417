// DbgPrintEx's filter: what a component's mask lets through, the error level that always passes,
// and the open filter that Reset restores.
#include "support/host_fixture.h"

#include <gmock/gmock.h>

namespace velt::test {
namespace {

using ::testing::ElementsAre;

using DebugFilter = HostTest;

TEST_F(DebugFilter, LevelsPassByTheComponentMaskAndTheErrorLevelAlways) {
    host::SetDebugPrintFilter(DPFLTR_IHVDRIVER_ID, 1u << DPFLTR_WARNING_LEVEL);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "error %d\n", 0);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_WARNING_LEVEL, "warning %d\n", 1);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_TRACE_LEVEL, "trace %d\n", 2);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0x4, "mask %d\n", 4);   // a level above 31 is a mask
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0x22, "mask %d\n", 34); // holds the warning bit
    DbgPrintEx(DPFLTR_IHVDRIVER_ID + 1, DPFLTR_TRACE_LEVEL, "other %s\n", "component");
    EXPECT_THAT(host::LogTexts(),
                ElementsAre("error 0", "warning 1", "mask 34", "other component"));
}

TEST_F(DebugFilter, ResetOpensEveryLevelAgain) {
    host::SetDebugPrintFilter(DPFLTR_IHVDRIVER_ID, 0);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_TRACE_LEVEL, "hidden\n");
    host::Reset();
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_TRACE_LEVEL, "shown\n");
    EXPECT_THAT(host::LogTexts(), ElementsAre("shown"));
}

} // namespace
} // namespace velt::test
