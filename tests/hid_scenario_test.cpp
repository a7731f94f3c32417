// The whole world: the PnP manager plugs the default controller, the driver creates both
// children, and the system's HID stack enumerates each of them and reads reports through them.
#include "core/driver.h"
#include "emulation/urb_child.h"
#include "support/log_gate.h"
#include "support/scenario_world.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

namespace {

using sim::hid::Bytes;
using sim::hid::HidState;
using sim::hid::ReportKind;

std::map<uint8_t, size_t> Sizes(const std::vector<sim::hid::Report>& reports) {
    std::map<uint8_t, size_t> sizes;
    for (const sim::hid::Report& report : reports) {
        sizes[report.id] = report.ByteLength();
    }
    return sizes;
}

// The vendor child's feature report 0x03 is served by the controller.
class HidScenario : public velt_test::EachCompletion {
  protected:
    velt_test::WorldOptions Options() const override {
        velt_test::WorldOptions options;
        Bytes vendorFeature(48);
        vendorFeature[0] = 0x03;
        vendorFeature[1] = 0xC3;
        options.model.featureReports[0x03] = vendorFeature;
        options.power = false;
        return options;
    }
};

TEST_P(HidScenario, BothChildrenEnumerateWithTheirReports) {
    EXPECT_EQ(0x054C, gamepad_->VendorId());
    EXPECT_EQ(0x09CC, gamepad_->ProductId());
    EXPECT_EQ(u"Sony Interactive Entertainment", gamepad_->Manufacturer());
    EXPECT_EQ(u"Wireless Controller", gamepad_->Product());
    EXPECT_EQ(507u, gamepad_->ReportDescriptor().size());
    EXPECT_EQ(0xF3A1, vendor_->VendorId()); // the controller's own device descriptor
    EXPECT_EQ(0x5C20, vendor_->ProductId());
    EXPECT_EQ(u"Velt Devices", vendor_->Manufacturer());
    EXPECT_EQ(102u, vendor_->ReportDescriptor().size());

    const std::map<uint8_t, size_t> gamepadFeatures = {
        {0x04, 37}, {0x02, 37}, {0x08, 4},  {0x10, 5},  {0x11, 3},  {0x12, 16}, {0x13, 23},
        {0x14, 17}, {0x15, 45}, {0x80, 7},  {0x81, 7},  {0x82, 6},  {0x83, 2},  {0x84, 5},
        {0x85, 7},  {0x86, 7},  {0x87, 36}, {0x88, 64}, {0x89, 3},  {0x90, 6},  {0x91, 4},
        {0x92, 4},  {0x93, 13}, {0x94, 64}, {0xA0, 7},  {0xA1, 2},  {0xA2, 2},  {0xA3, 49},
        {0xA4, 14}, {0xF0, 64}, {0xF1, 64}, {0xF2, 16}, {0xA7, 2},  {0xA8, 2},  {0xA9, 9},
        {0xAA, 2},  {0xAB, 58}, {0xAC, 58}, {0xAD, 12}, {0xAE, 2},  {0xAF, 3},  {0xB0, 64},
        {0xE0, 3},  {0xB3, 64}, {0xB4, 64}, {0xB5, 64}, {0xD0, 64}, {0xD4, 64}};
    const sim::hid::ParsedReports& gamepad = gamepad_->Reports();
    EXPECT_EQ((std::map<uint8_t, size_t>{{0x01, 64}}), Sizes(gamepad.input));
    EXPECT_EQ((std::map<uint8_t, size_t>{{0x05, 32}}), Sizes(gamepad.output));
    EXPECT_EQ(48u, gamepad.feature.size());
    EXPECT_EQ(gamepadFeatures, Sizes(gamepad.feature));
    EXPECT_EQ(sim::hid::Usage(0x01, 0x05), gamepad.applicationUsage);

    const sim::hid::ParsedReports& vendor = vendor_->Reports();
    EXPECT_EQ((std::map<uint8_t, size_t>{{0x01, 64}}), Sizes(vendor.input));
    EXPECT_EQ((std::map<uint8_t, size_t>{{0x05, 32}}), Sizes(vendor.output));
    EXPECT_EQ((std::map<uint8_t, size_t>{{0x03, 48},
                                         {0xE0, 3},
                                         {0xD0, 64},
                                         {0xD1, 64},
                                         {0xD2, 16},
                                         {0xD3, 8},
                                         {0xFE, 64},
                                         {0xFF, 64}}),
              Sizes(vendor.feature));
    uint32_t index = 0;
    const sim::hid::Field* wide =
        vendor.FindUsage(ReportKind::Feature, 0x03, sim::hid::Usage(0xFF00, 0x2721), &index);
    ASSERT_NE(nullptr, wide);
    EXPECT_EQ(47u, wide->count);

    for (const auto& node : pnp_->Children(Pdo())) {
        EXPECT_EQ(sim::hid::HidStackService, node.service);
    }
}

TEST_P(HidScenario, GamepadInputFieldsComeFromTheParsedDescriptor) {
    const sim::hid::ParsedReports& reports = gamepad_->Reports();
    struct Expected {
        uint32_t usage;
        uint32_t bit; // of the value, in the report with its ID byte
        uint32_t size;
        int32_t logicalMax;
    } fields[] = {
        {sim::hid::Usage(0x01, 0x30), 8, 8, 255},  {sim::hid::Usage(0x01, 0x35), 32, 8, 255},
        {sim::hid::Usage(0x01, 0x39), 40, 4, 7},   {sim::hid::Usage(0x09, 0x01), 44, 1, 1},
        {sim::hid::Usage(0x09, 0x0E), 57, 1, 1},   {sim::hid::Usage(0xFF00, 0x20), 58, 6, 127},
        {sim::hid::Usage(0x01, 0x33), 64, 8, 255}, {sim::hid::Usage(0xFF00, 0x21), 80, 8, 255},
    };
    for (const Expected& e : fields) {
        SCOPED_TRACE(e.usage);
        uint32_t index = 0;
        const sim::hid::Field* field = reports.FindUsage(ReportKind::Input, 1, e.usage, &index);
        ASSERT_NE(nullptr, field);
        EXPECT_EQ(e.bit, field->bitOffset + index * field->size);
        EXPECT_EQ(e.size, field->size);
        EXPECT_EQ(e.logicalMax, field->logicalMax);
    }
    uint32_t index = 0;
    const sim::hid::Field* hat =
        reports.FindUsage(ReportKind::Input, 1, sim::hid::Usage(0x01, 0x39), &index);
    EXPECT_EQ(315, hat->physicalMax);
    EXPECT_EQ(0x14u, hat->unit);
    EXPECT_TRUE(hat->flags & sim::hid::kMainNullState);

    Bytes report(64);
    report[0] = 0x01;
    report[5] = 0x36; // hat 6, button 2 (bit 5 is button 2)
    report[7] = 0x02 | (9 << 2);
    int64_t value = 0;
    ASSERT_TRUE(sim::hid::ExtractValue(*hat, 0, report.data(), report.size(), &value));
    EXPECT_EQ(6, value);
    const sim::hid::Field* buttons =
        reports.FindUsage(ReportKind::Input, 1, sim::hid::Usage(0x09, 0x02), &index);
    ASSERT_TRUE(sim::hid::ExtractValue(*buttons, index, report.data(), report.size(), &value));
    EXPECT_EQ(1, value);
    ASSERT_TRUE(sim::hid::ExtractValue(*buttons, 13, report.data(), report.size(), &value));
    EXPECT_EQ(1, value); // button 14: bit 1 of byte 7
    const sim::hid::Field* vendorBits =
        reports.FindUsage(ReportKind::Input, 1, sim::hid::Usage(0xFF00, 0x20), &index);
    ASSERT_TRUE(sim::hid::ExtractValue(*vendorBits, 0, report.data(), report.size(), &value));
    EXPECT_EQ(9, value);
}

TEST_P(HidScenario, InputReportsReachBothChildrenWithTheFrameCounterOnTheGamepadOnly) {
    std::vector<Bytes> gamepadReports;
    std::vector<Bytes> vendorReports;
    for (unsigned sent = 0; gamepadReports.size() < 66 && sent < 400; ++sent) {
        ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
        Bytes report(64);
        report[0] = 0x01;
        report[1] = static_cast<uint8_t>(sent);
        report[7] = 0x01; // button 13 pressed; the counter adds to the byte
        usb_->SendInputReport(report);
        ASSERT_TRUE(Eventually(
            [&] { return gamepad_->QueuedInputReports() + vendor_->QueuedInputReports() == 1; }));
        if (gamepad_->QueuedInputReports() == 1) {
            gamepadReports.push_back(*gamepad_->ReadInput());
        } else {
            vendorReports.push_back(*vendor_->ReadInput());
        }
    }
    ASSERT_GE(gamepadReports.size(), 66u);
    ASSERT_FALSE(vendorReports.empty());
    for (size_t i = 0; i < gamepadReports.size(); ++i) {
        ASSERT_EQ(64u, gamepadReports[i].size());
        EXPECT_EQ(0x01 + (i % 63) * 4, gamepadReports[i][7]) << "gamepad report " << i;
    }
    for (const Bytes& report : vendorReports) {
        ASSERT_EQ(64u, report.size());
        EXPECT_EQ(0x01, report[7]);
    }
    EXPECT_EQ(gamepadReports.size(), gamepad_->Counters().reportsReceived);
}

TEST_P(HidScenario, OutputReportFromEitherChildReachesTheOutPipeUnchanged) {
    for (const auto& child : {gamepad_, vendor_}) {
        Bytes report(32);
        report[0] = 0x05;
        for (size_t i = 1; i < report.size(); ++i) {
            report[i] = static_cast<uint8_t>(0xA0 + i);
        }
        report[1] = child == gamepad_ ? 0x11 : 0x22;
        EXPECT_EQ(STATUS_SUCCESS, child->WriteOutput(report).status);
        std::vector<sim::usb::TransferRecord> out = usb_->OutTransfers();
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(0x03, out.back().endpoint);
        EXPECT_EQ(report, out.back().data);
    }
}

TEST_P(HidScenario, GamepadFeaturesAnswerLocallyWithTheAddressGetMacRead) {
    size_t controlBefore = usb_->ControlTransfers().size();
    sim::hid::HidResult address = gamepad_->GetFeature(0x12);
    ASSERT_EQ(STATUS_SUCCESS, address.status);
    ASSERT_EQ(16u, address.data.size());
    Bytes mac(FdoExtension()->MacAddress, FdoExtension()->MacAddress + 6);
    EXPECT_EQ(
        Bytes(usb_->Model().addressQuery.address.begin(), usb_->Model().addressQuery.address.end()),
        mac);
    EXPECT_EQ(mac, Bytes(address.data.begin() + 1, address.data.begin() + 7));
    EXPECT_EQ(0x08, address.data[7]);
    EXPECT_EQ(0x25, address.data[8]);

    EXPECT_EQ(37u, gamepad_->GetFeature(0x02).data.size());
    EXPECT_EQ(49u, gamepad_->GetFeature(0xA3).data.size());
    sim::hid::HidResult pairing = gamepad_->SetFeature(Bytes(23, 0x13));
    EXPECT_EQ(STATUS_SUCCESS, pairing.status);
    EXPECT_EQ((Bytes{0x13, 0xAC, 0x9E, 0x17, 0x94, 0x05, 0xB0, 0x00, 0x11}),
              Bytes(pairing.data.begin(), pairing.data.begin() + 9));
    EXPECT_EQ(controlBefore, usb_->ControlTransfers().size()) << "nothing reached the controller";
}

TEST_P(HidScenario, VendorFeatureReportIsAClassRequestToInterfaceThree) {
    sim::hid::HidResult feature = vendor_->GetFeature(0x03);
    EXPECT_EQ(STATUS_SUCCESS, feature.status);
    ASSERT_EQ(48u, feature.data.size());
    EXPECT_EQ(0xC3, feature.data[1]);
    std::vector<sim::usb::ControlRecord> control = usb_->ControlTransfers();
    ASSERT_FALSE(control.empty());
    const sim::usb::ControlRecord& last = control.back();
    EXPECT_EQ(URB_FUNCTION_CLASS_INTERFACE, last.function);
    EXPECT_EQ(0x01, last.setup.request);
    EXPECT_EQ(0x0303, last.setup.value);
    EXPECT_EQ(3, last.setup.index);
}

TEST_P(HidScenario, CancelledTransferReachesTheChildAsSuccessOf32Bytes) {
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    usb_->FailPendingReads(STATUS_CANCELLED);
    for (const auto& child : {gamepad_, vendor_}) {
        ASSERT_TRUE(Eventually([&] { return child->Counters().reportsDropped >= 2; }));
        sim::hid::HidResult last = child->LastRead();
        EXPECT_EQ(STATUS_SUCCESS, last.status);
        EXPECT_EQ(32u, last.data.size());
        EXPECT_EQ(0u, child->Counters().readErrors);
    }
    // The stacks read on: a report still gets through.
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    usb_->SendInputReport(usb_->NextDefaultReport());
    EXPECT_TRUE(Eventually(
        [this] { return gamepad_->QueuedInputReports() + vendor_->QueuedInputReports() == 1; }));
}

// The world's own check: data that reaches a HID stack as a report although the bus wrote
// something else for that read counts as a phantom report.
TEST_P(HidScenario, ReportTheBusDidNotSendCountsAsPhantom) {
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    usb_->SetUrbObserver([](PIRP, const URB* urb, bool completed) {
        if (completed && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            static_cast<PUCHAR>(urb->UrbBulkOrInterruptTransfer.TransferBuffer)[20] ^= 0x5A;
        }
    });
    usb_->SendInputReport(usb_->NextDefaultReport());
    ASSERT_TRUE(Eventually(
        [this] { return gamepad_->QueuedInputReports() + vendor_->QueuedInputReports() == 1; }));
    usb_->SetUrbObserver(nullptr);
    EXPECT_EQ(1u, gamepad_->Counters().phantomReports + vendor_->Counters().phantomReports);
    EXPECT_EQ(0u, gamepad_->Counters().reportsDropped + vendor_->Counters().reportsDropped);
}

// Data too short for its input report, or of an ID that is no input report, is dropped.
TEST_P(HidScenario, ReportsThatDoNotFitTheDescriptorAreDropped) {
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    Bytes shortReport(10);
    shortReport[0] = 0x01;
    Bytes unknownId(64);
    unknownId[0] = 0x7E;
    usb_->SendInputReport(shortReport);
    usb_->SendInputReport(unknownId);
    ASSERT_TRUE(Eventually([this] {
        return gamepad_->Counters().reportsDropped + vendor_->Counters().reportsDropped == 2;
    }));
    EXPECT_EQ(0u, gamepad_->QueuedInputReports() + vendor_->QueuedInputReports());
}

TEST_P(HidScenario, SurpriseRemovalWithReadsOutstandingLeavesNothingBehind) {
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    std::vector<PDEVICE_OBJECT> children;
    for (const auto& node : pnp_->Children(Pdo())) {
        children.push_back(node.pdo);
    }
    Unplug();
    EXPECT_TRUE(hub_->Deleted());
    for (const auto& child : {gamepad_, vendor_}) {
        EXPECT_EQ(HidState::Removed, child->State());
        EXPECT_EQ(STATUS_NO_SUCH_DEVICE, child->LastRead().status);
        EXPECT_EQ(0u, child->Counters().readsOutstanding);
    }
    for (PDEVICE_OBJECT child : children) {
        EXPECT_TRUE(host::IsDeleted(child));
    }
    EXPECT_EQ(0u, usb_->PendingReads());
}

TEST_P(HidScenario, OrderlyRemovalWaitsForReadsTheStreamingControllerAnswers) {
    ASSERT_TRUE(Eventually([this] { return AllReadsPending(); }));
    usb_->StartInputReports(10000, [this] { return usb_->NextDefaultReport(); });
    EXPECT_TRUE(pnp_->Remove(Pdo()));
    usb_->StopInputReports();
    for (const auto& child : {gamepad_, vendor_}) {
        EXPECT_EQ(HidState::Removed, child->State());
        EXPECT_EQ(0u, child->Counters().readsOutstanding);
    }
    hub_->Unplug();
    pnp_->Unplug(Pdo());
}

INSTANTIATE_TEST_SUITE_P(Completion, HidScenario, velt_test::BothCompletions(),
                         velt_test::CompletionTestName);

} // namespace
