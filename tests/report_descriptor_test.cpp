// The HID report descriptor parser on small descriptors: state handling, report sizes and the
// descriptors it must refuse.
#include "sim/hid/report_descriptor.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;
using sim::hid::ParsedReports;
using sim::hid::ReportKind;
using sim::hid::Usage;

ParsedReports Parse(const std::vector<uint8_t>& descriptor) {
    ParsedReports reports;
    std::string error;
    EXPECT_TRUE(
        sim::hid::ParseReportDescriptor(descriptor.data(), descriptor.size(), &reports, &error))
        << error;
    return reports;
}

TEST(ReportDescriptor, PushAndPopRestoreTheGlobalState) {
    // Report Size 8, Push, Report Size 4 for one input field, Pop: the next field is 8 bits again.
    ParsedReports reports = Parse({
        0x05, 0x01, 0x09, 0x02, 0xA1, 0x01,             // Generic Desktop, Mouse, Application
        0x75, 0x08, 0x95, 0x01, 0x15, 0x81, 0x25, 0x7F, // size 8, count 1, -127..127
        0xA4,                                           // Push
        0x75, 0x04, 0x09, 0x30, 0x81, 0x02,             // size 4: X
        0xB4,                                           // Pop
        0x09, 0x31, 0x81, 0x06,                         // Y, relative
        0x75, 0x04, 0x81, 0x03,                         // 4 bits of constant padding
        0xC0,
    });
    ASSERT_EQ(1u, reports.input.size());
    EXPECT_FALSE(reports.usesReportIds);
    const sim::hid::Report& report = reports.input[0];
    EXPECT_EQ(0, report.id);
    EXPECT_EQ(16u, report.dataBits);
    EXPECT_EQ(2u, report.ByteLength());
    ASSERT_EQ(3u, report.fields.size());
    EXPECT_EQ(4u, report.fields[0].size);
    EXPECT_EQ(8u, report.fields[1].size);
    EXPECT_EQ(4u, report.fields[1].bitOffset);
    EXPECT_EQ(-127, report.fields[1].logicalMin);
    EXPECT_EQ(Usage(0x01, 0x31), report.fields[1].UsageAt(0));
    EXPECT_TRUE(report.fields[2].usages.empty());
    EXPECT_EQ(Usage(0x01, 0x02), reports.applicationUsage);

    Bytes data = {0x0F, 0xFF};
    int64_t value = 0;
    ASSERT_TRUE(sim::hid::ExtractValue(report.fields[1], 0, data.data(), data.size(), &value));
    EXPECT_EQ(-16, value); // bits 4..11: 0xF0 sign-extended
    ASSERT_TRUE(sim::hid::InsertValue(report.fields[1], 0, 0x12, data.data(), data.size()));
    EXPECT_EQ((Bytes{0x2F, 0xF1}), data);
    EXPECT_FALSE(sim::hid::ExtractValue(report.fields[1], 1, data.data(), data.size(), &value));
    EXPECT_FALSE(sim::hid::ExtractValue(report.fields[1], 0, data.data(), 1, &value));
}

TEST(ReportDescriptor, ReportIdsSplitReportsOfEachKind) {
    ParsedReports reports = Parse({
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08,
        0x85, 0x01, 0x95, 0x03, 0x09, 0x10, 0x81, 0x02,       // input 1: 3 bytes
        0x85, 0x02, 0x95, 0x05, 0x09, 0x11, 0x91, 0x02,       // output 2: 5 bytes
        0x85, 0x01, 0x95, 0x02, 0x0A, 0x21, 0x27, 0xB1, 0x02, // feature 1: 2 bytes
        0x85, 0x01, 0x95, 0x01, 0x09, 0x12, 0x81, 0x02,       // input 1 again: one byte more
        0xC0,
    });
    EXPECT_TRUE(reports.usesReportIds);
    ASSERT_NE(nullptr, reports.Find(ReportKind::Input, 1));
    EXPECT_EQ(5u, reports.Find(ReportKind::Input, 1)->ByteLength());
    EXPECT_EQ(32u, reports.Find(ReportKind::Input, 1)->fields[1].bitOffset);
    EXPECT_EQ(6u, reports.Find(ReportKind::Output, 2)->ByteLength());
    EXPECT_EQ(3u, reports.Find(ReportKind::Feature, 1)->ByteLength());
    EXPECT_EQ(nullptr, reports.Find(ReportKind::Feature, 2));
    uint32_t index = 9;
    EXPECT_NE(nullptr, reports.FindUsage(ReportKind::Feature, 1, Usage(0xFF00, 0x2721), &index));
    EXPECT_EQ(0u, index);
}

TEST(ReportDescriptor, UsageRangeAndFourByteUsages) {
    ParsedReports reports = Parse({
        0x05, 0x09, 0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x75,
        0x01, 0x95, 0x04, 0x81, 0x02, // buttons 1..3, the last repeated
        0x0B, 0x30, 0x00, 0x01, 0x00, 0x75, 0x04, 0x95, 0x01, 0x81, 0x02, // X as 0x00010030
    });
    const sim::hid::Report& report = reports.input[0];
    EXPECT_EQ(Usage(0x09, 0x03), report.fields[0].UsageAt(3));
    EXPECT_EQ(Usage(0x01, 0x30), report.fields[1].UsageAt(0));
    EXPECT_EQ(0x09, report.fields[1].usagePage); // the page item in force stays Button
}

TEST(ReportDescriptor, MalformedDescriptorsAreRefused) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"item cut short", {0x05, 0x01, 0x26, 0xFF}},
        {"long item cut short", {0xFE, 0x10, 0x00, 0x01}},
        {"pop without push", {0xB4}},
        {"collection not closed", {0xA1, 0x01, 0x75, 0x08}},
        {"end without collection", {0xC0}},
        {"report id 0", {0x85, 0x00}},
        {"usage range reversed", {0x19, 0x05, 0x29, 0x01, 0x75, 0x01, 0x95, 0x01, 0x81, 0x02}},
        {"usage range too wide",
         {0x1A, 0x00, 0x00, 0x2A, 0xFF, 0xFF, 0x75, 0x01, 0x95, 0x01, 0x81, 0x02}},
        {"report too long", {0x75, 0xFF, 0x96, 0xFF, 0xFF, 0x81, 0x02, 0x81, 0x02, 0x81, 0x02}},
        {"mixed ids", {0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01, 0x81, 0x02}},
    };
    for (const Case& c : cases) {
        ParsedReports reports;
        reports.usesReportIds = true;
        std::string error;
        EXPECT_FALSE(
            sim::hid::ParseReportDescriptor(c.bytes.data(), c.bytes.size(), &reports, &error))
            << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
        EXPECT_TRUE(reports.input.empty()) << c.name;
        EXPECT_FALSE(reports.usesReportIds) << c.name;
    }
}

} // namespace
