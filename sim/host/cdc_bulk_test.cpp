// The CDC driver model's bulk transfers: OUT packets and their toggles, NAKs
// and halts, IN transfers and when they reach the program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/host/cdc_host_test_bench.h"

namespace sim {
namespace {

using namespace cdc_bench;

TEST(CdcHost, WritesAreCutIntoPackets) {
    struct Write {
        size_t n;
        bool unit_end;
    };
    struct Case {
        std::vector<Write> writes;
        bool more_may_follow;
        std::vector<size_t> packets;
    } cases[] = {
        {{{1, true}}, true, {1}},
        {{{63, true}}, true, {63}},
        {{{64, true}}, true, {64}},
        {{{65, true}}, true, {64, 1}},
        {{{130, true}}, true, {64, 64, 2}},
        {{{10, true}, {20, true}}, true, {10, 20}},  // a packet ends with each write
        {{{10, false}}, true, {}},                   // the write goes on: no short packet yet
        {{{10, false}, {60, true}}, true, {64, 6}},
        {{{10, false}}, false, {10}},
    };
    for (const Case& c : cases) {
        Bench b;
        b.Up();
        b.Open();
        b.side.more = c.more_may_follow;
        size_t total = 0;
        for (const Write& w : c.writes) {
            b.side.Write(Bytes(w.n, static_cast<uint8_t>(total)), w.unit_end);
            total += w.n;
        }
        b.Frames(5);
        EXPECT_EQ(b.fw.out_packets, c.packets);
        if (c.packets.empty()) {
            EXPECT_EQ(b.host.NextEventAt(b.now), UINT64_MAX);
        }
    }
}

TEST(CdcHost, OutPacketsWaitWhileBothBanksAreFull) {
    Bench b;
    b.Up();
    b.Open();
    b.fw.serve_out = false;
    b.side.Write(Bytes(200));
    b.Frames(5);
    EXPECT_EQ(b.host.Stats().out_packets, 2u);
    EXPECT_GE(b.host.Stats().out_naks, 5u * kSlotsPerFrame - 3);
    EXPECT_EQ(b.host.Stats().out_naks, b.port.Stats().out_naks);
    b.fw.serve_out = true;
    b.Frames(2);
    EXPECT_EQ(b.fw.received, Bytes(200));
    EXPECT_EQ(b.fw.out_packets, (std::vector<size_t>{64, 64, 64, 8}));
    EXPECT_EQ(b.port.Stats().repeats_dropped, 0u);
}

TEST(CdcHost, TogglesStayInStepOverAReopen) {
    // Windows clears both halts at the open (device and host back to DATA0);
    // Linux leaves both toggles as they were.
    for (HostDriver driver : {HostDriver::kLinux, HostDriver::kWindows}) {
        Bench b(driver);
        b.Up();
        b.Open();
        b.side.Write({'a'});
        b.fw.Send({'1'}, true);
        b.Frames(2);
        b.side.Add(HostEvent::kClose);
        b.Open();
        b.side.Write({'b'});
        b.fw.Send({'2'}, true);
        b.Frames(2);
        EXPECT_EQ(b.fw.received, (std::vector<uint8_t>{'a', 'b'}));
        EXPECT_EQ(b.side.got, (std::vector<uint8_t>{'1', '2'}));
        EXPECT_EQ(b.port.Stats().repeats_dropped + b.host.Stats().in_repeats_dropped, 0u);
    }
}

TEST(CdcHost, InPacketWithTheWrongToggleIsDroppedAsARepeat) {
    Bench b;
    b.Up();
    b.Open();
    b.fw.Send({'a'}, true);
    b.Frames(2);
    b.fw.ResetIn();  // the device goes back to DATA0 while the host expects DATA1
    b.fw.Send({'b'}, true);
    b.Frames(2);
    b.fw.Send({'c'}, true);
    b.Frames(2);
    EXPECT_EQ(b.side.got, (std::vector<uint8_t>{'a', 'c'}));
    EXPECT_EQ(b.host.Stats().in_repeats_dropped, 1u);
    EXPECT_EQ(b.host.Stats().in_packets, 2u);
}

TEST(CdcHost, InTransfersEndWithAShortPacketOrWhenFull) {
    struct Case {
        HostDriver driver;
        size_t n;
        bool zlp;
        std::vector<size_t> deliveries;
        uint64_t missing_zlp;
    } cases[] = {
        {HostDriver::kLinux, 64, true, {64}, 0},
        {HostDriver::kLinux, 64, false, {}, 1},
        {HostDriver::kLinux, 128, false, {128}, 0},  // the transfer is full
        {HostDriver::kLinux, 130, false, {128, 2}, 0},
        {HostDriver::kWindows, 128, false, {}, 1},
        {HostDriver::kWindows, 128, true, {128}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << (c.zlp ? " zlp" : "")
                                        << (c.driver == HostDriver::kWindows ? " windows" : ""));
        Bench b(c.driver);
        b.Up();
        b.Open();
        b.fw.Send(Bytes(c.n), c.zlp);
        b.Frames(30);
        EXPECT_EQ(b.side.deliveries, c.deliveries);
        EXPECT_EQ(b.host.Stats().missing_zlp, c.missing_zlp);
        if (c.missing_zlp > 0) {
            const auto held = [](const std::string& s) { return s.find("held on the host") != std::string::npos; };
            EXPECT_EQ(std::count_if(b.logs.begin(), b.logs.end(), held), 1);
            // The held bytes come with the next answer.
            b.fw.Send({'o', 'k'}, true);
            b.Frames(2);
            EXPECT_EQ(b.side.deliveries, std::vector<size_t>{c.n + 2});
        }
    }
}

TEST(CdcHost, FinishedTransferReachesTheProgramAtTheEndOfItsFrame) {
    Bench b;
    b.Up();
    b.Open();
    b.fw.Send({'o', 'k'}, true);
    while (b.host.Stats().in_packets == 0) b.Run(b.now + kSlotCycles);
    b.firmware_runs = false;  // chip time moves only with the host now
    const uint64_t frame_end = (b.now / kFrameCycles + 1) * kFrameCycles;
    b.Run(frame_end - 1);
    EXPECT_TRUE(b.side.got.empty());
    b.Run(frame_end);
    EXPECT_EQ(b.side.got, (std::vector<uint8_t>{'o', 'k'}));
}

TEST(CdcHost, AtMostNineteenBulkPacketsAFrameInBothDirections) {
    Bench b;
    b.Up();
    b.Open();
    b.side.Write(Bytes(3000));
    b.fw.Send(Bytes(3000), true);
    uint64_t frame = b.now / kFrameCycles + 1, most = 0;
    b.Run(frame * kFrameCycles - 1);
    for (int i = 0; i < 12; ++i, ++frame) {
        const uint64_t before = b.host.Stats().out_packets + b.host.Stats().in_packets;
        b.Run((frame + 1) * kFrameCycles - 1);
        const uint64_t moved = b.host.Stats().out_packets + b.host.Stats().in_packets - before;
        EXPECT_LE(moved, static_cast<uint64_t>(kSlotsPerFrame));
        most = std::max(most, moved);
    }
    EXPECT_EQ(most, static_cast<uint64_t>(kSlotsPerFrame));
    b.Frames(5);
    EXPECT_EQ(b.fw.received, Bytes(3000));
    EXPECT_EQ(b.side.got, Bytes(3000));
}

TEST(CdcHost, StallOnBulkOutClearsTheHaltAndSendsAgain) {
    Bench b;
    b.Up();
    b.Open();
    b.side.Write({'a'});
    b.Frames(2);
    b.fw.stall_out = true;
    const size_t from = b.timeline.size();
    b.side.Write(Bytes(100, 'b'));
    b.Frames(5);
    EXPECT_EQ(b.Since(from), (Notes{"CLEAR_FEATURE ENDPOINT_HALT 0x01 ok", "out 64", "out 36"}));
    EXPECT_EQ(b.fw.received.size(), 101u);
    EXPECT_EQ(b.port.Stats().repeats_dropped, 0u);
}

}  // namespace
}  // namespace sim
