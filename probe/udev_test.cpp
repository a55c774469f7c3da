// The udev rule built from the descriptors a probe found.
#include "probe/udev.h"

#include <gtest/gtest.h>

namespace {

using probe::DeviceDescriptor;
using probe::Report;

DeviceDescriptor Device(uint16_t vendor, uint16_t product) {
    DeviceDescriptor d;
    d.vendor_id = vendor;
    d.product_id = product;
    return d;
}

// The rule lines alone, without the comments.
std::vector<std::string> RuleLines(const std::string& rule) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < rule.size()) {
        const size_t end = rule.find('\n', at);
        EXPECT_NE(end, std::string::npos) << "the rule does not end with a line break";
        if (end == std::string::npos) break;
        const std::string line = rule.substr(at, end - at);
        if (line.empty() || line[0] != '#') lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

std::string IgnoreLine(const char* vendor, const char* product) {
    return std::string("ACTION==\"add|change\", SUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"") + vendor +
           "\", ATTRS{idProduct}==\"" + product + "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
}

std::string GroupLine(const char* vendor, const char* product) {
    return std::string("ACTION==\"add|change\", SUBSYSTEM==\"tty\", SUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"") +
           vendor + "\", ATTRS{idProduct}==\"" + product + "\", GROUP=\"dialout\", MODE=\"0660\"";
}

TEST(UdevRuleTest, OneLinePairPerDistinctIdPair) {
    const struct {
        const char* name;
        std::vector<DeviceDescriptor> found;
        std::vector<std::string> lines;
    } cases[] = {
        {"four lowercase digits", {Device(0x0A0B, 0x00FF)}, {IgnoreLine("0a0b", "00ff"), GroupLine("0a0b", "00ff")}},
        {"the same ids twice", {Device(0xF00D, 0x5EED), Device(0xF00D, 0x5EED)},
         {IgnoreLine("f00d", "5eed"), GroupLine("f00d", "5eed")}},
        {"two pairs, in address order", {Device(0xF00D, 0x5EED), Device(0x0001, 0xF00D)},
         {IgnoreLine("f00d", "5eed"), GroupLine("f00d", "5eed"), IgnoreLine("0001", "f00d"),
          GroupLine("0001", "f00d")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Report report;
        report.stage = probe::Stage::kRead;
        report.port = "COM3";
        report.device_descriptors = c.found;
        const std::string rule = probe::UdevRule(report);
        EXPECT_EQ(RuleLines(rule), c.lines);
        EXPECT_NE(rule.find("on COM3."), std::string::npos);
        EXPECT_EQ(probe::UdevRuleExitCode(report), 0);
    }
}

TEST(UdevRuleTest, NoRuleWithoutDescriptorOrInstrument) {
    Report read;
    read.stage = probe::Stage::kRead;
    EXPECT_EQ(probe::UdevRule(read), "");
    EXPECT_EQ(probe::UdevRuleExitCode(read), 1);

    Report absent;  // the search found nothing
    EXPECT_EQ(probe::UdevRule(absent), "");
    EXPECT_EQ(probe::UdevRuleExitCode(absent), 2);
}

}  // namespace
