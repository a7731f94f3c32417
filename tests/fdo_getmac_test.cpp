// The controller address query: commands on the interrupt OUT pipe, reads on the interrupt IN
// pipe, one second of kernel time per attempt, and the ways the loop ends.
#include "fdo/fdo.h"
#include "sim/usb/controller.h"
#include "support/usb_stack.h"

#include <gmock/gmock.h>

using namespace sim::usb;
using namespace velt_test;
using ::testing::ElementsAre;

namespace {

constexpr LONGLONG KernelSecond = 10000000;

Bytes Command(bool on) {
    Bytes report(32);
    report[0] = 0x05;
    if (on) {
        report[15] = 'Q';
        report[16] = 'V';
        report[17] = 'K';
        report[18] = 'D';
    }
    report[19] = 0x50;
    report[20] = 0x50;
    report[21] = 0x40;
    report[22] = 0x50;
    return report;
}

class GetMacTest : public UsbStackTest {
  protected:
    // One kernel second lasts 100 ms here, so that scheduling delays on a loaded machine stay
    // small beside the one-second waits being measured.
    void SetUp() override {
        UsbStackTest::SetUp();
        host::SetTimeScale(10);
    }
    // Descriptors and configuration as the dispatcher runs them before the query.
    void Prepare() {
        host::IrqlScope passive(PASSIVE_LEVEL);
        GetDescriptorData(Extension());
        SetTargetConfiguration(Extension(), Extension()->pConfigDescriptor);
        host::ClearLog();
    }
    NTSTATUS Query() {
        host::IrqlScope passive(PASSIVE_LEVEL);
        LONGLONG start = host::KernelTime();
        NTSTATUS status = GetMac(Extension());
        elapsed_ = host::KernelTime() - start;
        return status;
    }
    std::vector<UCHAR> Mac() {
        return std::vector<UCHAR>(Extension()->MacAddress, Extension()->MacAddress + 6);
    }
    std::vector<TransferRecord> Out() {
        return Stack().Device().OutTransfers();
    }
    LONGLONG elapsed_ = 0;
    PDEVICE_EXTENSION removing_ = nullptr;
};

class AnswersAtOnce : public GetMacTest, public ::testing::WithParamInterface<Completion> {};

TEST_P(AnswersAtOnce, OneAttemptThenTheOffCommand) {
    Plug(DefaultController());
    Stack().Device().SetCompletion(GetParam());
    Prepare();
    EXPECT_EQ(Query(), STATUS_SUCCESS);
    EXPECT_THAT(Mac(), ElementsAre(0x02, 0x56, 0x4C, 0x54, 0x00, 0x01));
    std::vector<TransferRecord> out = Out();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].endpoint, 0x03);
    EXPECT_EQ(out[0].data, Command(true));
    EXPECT_EQ(out[1].data, Command(false));
    EXPECT_FALSE(Stack().Device().AddressQueryOn());
    EXPECT_GE(elapsed_, KernelSecond);
    EXPECT_LT(elapsed_, 2 * KernelSecond);
    EXPECT_EQ(host::LogTexts(),
              (std::vector<std::string>{"VELTDRIVER : GetMac : 1: 02 56 4C 54 00 01" +
                                            std::string(30, ' ') + " .VLT..",
                                        "", " ", " "}));
}

INSTANTIATE_TEST_SUITE_P(Completions, AnswersAtOnce,
                         ::testing::Values(Completion::CallerThread, Completion::BusThread));

TEST_F(GetMacTest, PendingReadIsCancelledAndTheAttemptRepeated) {
    Plug(ControllerWithPendingFirstRead());
    Prepare();
    EXPECT_EQ(Query(), STATUS_SUCCESS);
    EXPECT_EQ(Stack().Device().OnCommands(), 2u);
    EXPECT_THAT(Mac(), ElementsAre(0x02, 0x56, 0x4C, 0x54, 0x00, 0x01));
    std::vector<TransferRecord> out = Out();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out.back().data, Command(false));
    EXPECT_EQ(Stack().Device().PendingReads(), 0u);
    // A pause and a timed-out read, then a pause and an answered read.
    EXPECT_GE(elapsed_, 3 * KernelSecond);
    EXPECT_LT(elapsed_, 4 * KernelSecond + KernelSecond / 2);
}

TEST_F(GetMacTest, RemovalEndsTheLoopOfANeverAnsweringController) {
    ControllerModel model = ControllerNeverAnswering();
    PDEVICE_EXTENSION* fdo = &removing_;
    // Removal begins while the second attempt runs.
    model.onOut = [fdo](UsbDevice& device, UCHAR, const Bytes&) {
        if (device.OnCommands() == 2) {
            (*fdo)->Removed = TRUE;
        }
    };
    Plug(model);
    removing_ = Extension();
    Prepare();
    EXPECT_EQ(Query(), STATUS_SUCCESS);
    EXPECT_EQ(Stack().Device().OnCommands(), 2u);
    EXPECT_THAT(Mac(), ElementsAre(0, 0, 0, 0, 0, 0));
    EXPECT_EQ(Out().back().data, Command(false));
    EXPECT_EQ(Stack().Device().PendingReads(), 0u);
    // Each attempt: a one-second pause and a read that times out after another second.
    EXPECT_GE(elapsed_, 4 * KernelSecond);
    EXPECT_LT(elapsed_, 5 * KernelSecond + KernelSecond / 2);
}

TEST_F(GetMacTest, SkipGetMacSendsNothing) {
    Plug(ControllerWith220ByteReportDescriptor());
    Prepare();
    EXPECT_EQ(Extension()->SkipGetMac, 1u);
    EXPECT_EQ(Query(), STATUS_SUCCESS);
    EXPECT_TRUE(Out().empty());
    EXPECT_THAT(Mac(), ElementsAre(0, 0, 0, 0, 0, 0));
}

TEST_F(GetMacTest, MissingBufferUrbOrIrpMeansNoTransfer) {
    struct Case {
        host::Alloc kind;
        unsigned nth;
    } cases[] = {{host::Alloc::Pool, 1}, {host::Alloc::Pool, 2}, {host::Alloc::Irp, 1}};
    for (const Case& c : cases) {
        Plug(DefaultController());
        Prepare();
        host::FailNthCall(c.kind, c.nth);
        EXPECT_EQ(Query(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(Out().empty());
        EXPECT_EQ(Stack().Device().PendingReads(), 0u);
        host::FailNthCall(c.kind, 0);
        stack_.reset();
        EXPECT_TRUE(host::PoolOutstanding().empty());
    }
}

TEST_F(GetMacTest, UnconfiguredControllerStillEndsOnRemoval) {
    // Without a configuration the transfers go out on NULL handles and fail at once.
    Plug(DefaultController());
    Extension()->Removed = TRUE;
    EXPECT_EQ(Query(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Out().empty());
    EXPECT_GE(elapsed_, KernelSecond);
}

} // namespace
