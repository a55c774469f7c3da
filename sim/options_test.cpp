// Command-line options of the simulator: values, defaults and refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/options.h"

namespace sim {
namespace {

bool Parse(std::vector<std::string> args, SimOptions* o, std::string* error) {
    args.insert(args.begin(), "quillmere-sim");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    return ParseOptions(static_cast<int>(argv.size()), argv.data(), o, error);
}

TEST(OptionsTest, ValuesAndDefaults) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--port", "12", "--chip-id", "275A0740", "--flip-flash", "0x100",
                       "--corrupt-request", "7:3:20", "--decoy", "held:4", "--decoy", "crlf:98",
                       "--link", "serial", "--baud", "115200", "--timeout", "2.5", "--exit-after-close"},
                      &o, &error))
        << error;
    EXPECT_EQ(o.port, 12);
    EXPECT_EQ(o.chip_id, 0x275A0740u);
    EXPECT_EQ(o.flip_flash, 0x100);
    EXPECT_EQ(o.corrupt_request, 7);
    EXPECT_EQ(o.corrupt_request_offset, 3);
    EXPECT_EQ(o.corrupt_request_mask, 0x20);
    ASSERT_EQ(o.decoys.size(), 2u);
    EXPECT_EQ(o.decoys[0].kind, DecoyKind::kHeld);
    EXPECT_EQ(o.decoys[1].port, 98);
    EXPECT_EQ(o.baud, 115200u);
    EXPECT_DOUBLE_EQ(o.timeout_s, 2.5);
    EXPECT_TRUE(o.exit_after_close);
    EXPECT_EQ(o.drop_reply, kNoFrame);
    EXPECT_EQ(o.version, "v1.4 Nov 10 2006");

    SimOptions d;
    ASSERT_TRUE(Parse({"--corrupt-request", "0"}, &d, &error)) << error;
    EXPECT_EQ(d.corrupt_request, 0);
    EXPECT_EQ(d.corrupt_request_offset, -1);  // the frame's default byte
    EXPECT_EQ(d.corrupt_request_mask, 0x01);
    EXPECT_EQ(d.port, 1);
    EXPECT_EQ(d.port_dir, "./ports");
    // The instrument's own link, as a PC with the Linux driver sees it.
    EXPECT_EQ(d.link, LinkKind::kUsb);
    EXPECT_FALSE(d.usb_windows);
    EXPECT_FALSE(d.real_time);
    EXPECT_EQ(d.usb_endpoints, 4);
    EXPECT_EQ(d.rom_descriptors, RomDescriptorLayout::kSheet);
    EXPECT_EQ(d.bus_reset_at, kNoFrame);
    EXPECT_EQ(d.reset_recovery_ms, 10);

    SimOptions u;
    ASSERT_TRUE(Parse({"--usb-driver", "windows", "--real-time", "--bus-reset-at", "12", "--usb-endpoints", "6",
                       "--rom-descriptors", "swapped", "--reset-recovery-ms", "50"},
                      &u, &error))
        << error;
    EXPECT_TRUE(u.usb_windows);
    EXPECT_TRUE(u.real_time);
    EXPECT_EQ(u.bus_reset_at, 12);
    EXPECT_EQ(u.usb_endpoints, 6);
    EXPECT_EQ(u.rom_descriptors, RomDescriptorLayout::kSwapped);
    EXPECT_EQ(u.reset_recovery_ms, 50);
}

TEST(OptionsTest, Refusals) {
    const std::vector<std::vector<std::string>> cases = {
        {"--port"},
        {"--port", "x"},
        {"--chip-id", "1FFFFFFFF"},
        {"--flip-flash", "0x80000"},  // past the flash
        {"--drop-reply", "-1"},
        {"--corrupt-request", "1:2:3:4"},
        {"--corrupt-request", "1:2:0"},  // a mask of 0 changes nothing
        {"--decoy", "loud:3"},
        {"--decoy", "silent:1"},  // the instrument's own port
        {"--decoy", "silent:2", "--decoy", "crlf:2"},
        {"--timeout", "0"},
        {"--bogus", "1"},
        {"--link", "radio"},
        {"--usb-driver", "mac"},
        {"--usb-endpoints", "3"},
        {"--usb-endpoints", "9"},
        {"--rom-descriptors", "some"},
        {"--baud", "115200"},                                 // the throttle is the serial line's
        {"--link", "serial", "--real-time"},                  // chip time on a bus the link lacks
        {"--link", "serial", "--bus-reset-at", "3"},
    };
    for (const auto& args : cases) {
        SimOptions o;
        std::string error;
        EXPECT_FALSE(Parse(args, &o, &error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

}  // namespace
}  // namespace sim
