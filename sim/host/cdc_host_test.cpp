// The CDC driver model's enumeration, control requests and bus resets, its
// open, line settings and close, and its frames.
#include "sim/host/cdc_host.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/host/cdc_host_test_bench.h"

namespace sim {
namespace {

using namespace cdc_bench;

TEST(CdcHost, EnumeratesAndTakesTheBulkEndpointsFromTheDescriptor) {
    for (auto layout : {RomDescriptorLayout::kSheet, RomDescriptorLayout::kSwapped}) {
        const bool swapped = layout == RomDescriptorLayout::kSwapped;
        SCOPED_TRACE(swapped ? "swapped" : "sheet");
        Bench b(HostDriver::kLinux, layout);
        b.Up();
        EXPECT_EQ(b.timeline, (Notes{"bus reset", "GET_DESCRIPTOR device 18 bytes ok", "SET_ADDRESS 1 ok",
                                     "GET_DESCRIPTOR device 18 bytes ok", "GET_DESCRIPTOR configuration 9 bytes ok",
                                     "GET_DESCRIPTOR configuration 67 bytes ok", "SET_CONFIGURATION 1 ok",
                                     swapped ? "enumerated: bulk OUT 0x02, bulk IN 0x81"
                                             : "enumerated: bulk OUT 0x01, bulk IN 0x82"}));
        EXPECT_EQ(b.host.DeviceDescriptor(), DeviceDescriptor());
        EXPECT_EQ(b.host.ConfigurationDescriptor(), b.fw.config);
        // Reset signalling and recovery before the first request; the new
        // address only after SET_ADDRESS's status stage, and 2 ms later.
        ASSERT_GE(b.fw.setups.size(), 3u);
        EXPECT_GE(b.fw.setups[0].first, kResetCycles + 10 * kFrameCycles);
        EXPECT_EQ(b.fw.setups[1].second, 5);
        // (The firmware notes its FADDR write after the CSR writes before it
        // have shown, up to two settle delays after the status stage.)
        EXPECT_GE(b.fw.setups[2].first + 2 * kCsrSettleMaxCycles, b.fw.address_set_at + 2 * kFrameCycles);
        EXPECT_EQ(b.host.Stats().unanswered, 0u);
        EXPECT_EQ(b.host.Stats().enumerations, 1u);

        b.Open();
        b.side.Write({'h', 'i'});
        b.fw.Send({'o', 'k'}, true);
        b.Frames(3);
        EXPECT_EQ(b.fw.received, (std::vector<uint8_t>{'h', 'i'}));
        EXPECT_EQ(b.side.got, (std::vector<uint8_t>{'o', 'k'}));
    }
}

TEST(CdcHost, OpenMakesTheDriversRequestsBeforeAnyData) {
    struct Case {
        HostDriver driver;
        Notes notes;
    } cases[] = {
        {HostDriver::kLinux,
         {"SET_CONTROL_LINE_STATE 3 ok", "GET_LINE_CODING 9600 8N1 ok", "SET_LINE_CODING 115200 8N1 ok", "out 3"}},
        {HostDriver::kWindows,
         {"CLEAR_FEATURE ENDPOINT_HALT 0x01 ok", "CLEAR_FEATURE ENDPOINT_HALT 0x82 ok", "SET_CONTROL_LINE_STATE 3 ok",
          "GET_LINE_CODING 9600 8N1 ok", "SET_LINE_CODING 115200 8N1 ok", "out 3"}},
    };
    for (const Case& c : cases) {
        Bench b(c.driver);
        b.Up();
        const size_t from = b.timeline.size();
        b.side.Add(HostEvent::kOpen, Coding(115200));
        b.side.Write({'N', '#', '\n'});
        b.Frames(5);
        EXPECT_EQ(b.Since(from), c.notes);
        EXPECT_EQ(b.host.DeviceLineCoding(), Coding(9600));
        EXPECT_EQ(LineCoding::FromBytes(b.fw.coding), Coding(115200));
    }
}

TEST(CdcHost, LineSettingsRequests) {
    struct Case {
        HostDriver driver;
        LineCoding coding;
        Notes notes;
    } cases[] = {
        {HostDriver::kLinux, Coding(115200), {"SET_CONTROL_LINE_STATE 0 ok", "out 3"}},  // the coding is unchanged
        {HostDriver::kLinux, Coding(9600, 7, 2, 2),
         {"SET_LINE_CODING 9600 7E2 ok", "SET_CONTROL_LINE_STATE 0 ok", "out 3"}},
        {HostDriver::kWindows, Coding(115200),
         {"SET_LINE_CODING 115200 8N1 ok", "SET_CONTROL_LINE_STATE 0 ok", "out 3"}},
    };
    for (const Case& c : cases) {
        Bench b(c.driver);
        b.Up();
        b.Open(Coding(115200));
        const size_t from = b.timeline.size();
        b.side.Add(HostEvent::kLineSettings, c.coding);
        b.side.Write({'T', '#', '\n'});  // written after the call returned
        b.Frames(3);
        EXPECT_EQ(b.Since(from), c.notes);
    }
}

TEST(CdcHost, CloseLowersTheLinesDropsReadsAndStopsPolling) {
    Bench b;
    b.Up();
    b.Open();
    b.fw.Send(Bytes(64), false);  // held on the host: no zero-length packet
    b.Frames(2);
    const size_t from = b.timeline.size();
    b.side.Add(HostEvent::kClose);
    b.Frames(2);
    EXPECT_EQ(b.Since(from), Notes{"SET_CONTROL_LINE_STATE 0 ok"});
    b.fw.Send({'x'}, true);
    b.Frames(5);
    EXPECT_TRUE(b.port.InPending(2)) << "nobody polls a closed port";
    b.Open();
    b.Frames(2);
    EXPECT_EQ(b.side.got, (std::vector<uint8_t>{'x'}));
}

TEST(CdcHost, RequestNotCompleteInFiveSecondsFails) {
    Bench b;
    b.Up();
    b.firmware_runs = false;  // nobody serves endpoint 0: the SETUP is taken, the rest NAKed
    const size_t from = b.timeline.size();
    const uint64_t start = b.now;
    b.side.Add(HostEvent::kOpen, Coding(115200));
    while (b.host.Stats().control_timed_out == 0) b.Run(b.now + kSlotCycles);
    EXPECT_GE(b.now, start + kControlTimeoutCycles);
    EXPECT_LE(b.now, start + kControlTimeoutCycles + 3 * kSlotCycles);
    b.firmware_runs = true;
    b.Frames(5);
    EXPECT_EQ(b.Since(from), (Notes{"SET_CONTROL_LINE_STATE 3 timed out", "GET_LINE_CODING 9600 8N1 ok",
                                    "SET_LINE_CODING 115200 8N1 ok"}));
    b.fw.Send({'o', 'k'}, true);
    b.Frames(2);
    EXPECT_EQ(b.side.got.size(), 2u) << "the port is open all the same";
}

TEST(CdcHost, StalledRequestFailsAndTheNextOneGoesOn) {
    Bench b;
    b.Up();
    b.fw.stall_requests.insert(0x21);
    const size_t from = b.timeline.size();
    b.Open();
    EXPECT_EQ(b.Since(from),
              (Notes{"SET_CONTROL_LINE_STATE 3 ok", "GET_LINE_CODING stalled", "SET_LINE_CODING 115200 8N1 ok"}));
    EXPECT_EQ(b.host.Stats().control_stalled, 1u);
}

TEST(CdcHost, BusResetComesBackOnlyWithTheSameDescriptors) {
    for (bool same : {true, false}) {
        Bench b;
        b.Up();
        b.Open();
        b.fw.serve_out = false;
        b.side.Write(Bytes(200));
        b.side.Add(HostEvent::kBusReset);
        b.Frames(5);
        EXPECT_EQ(b.host.Stats().bus_resets, 1u) << "the reset waits for the bytes before it";
        if (!same) b.fw.device[10] ^= 1;  // another product id
        const size_t from = b.timeline.size();
        b.fw.serve_out = true;
        b.Frames(40);
        const Notes notes = b.Since(from);
        ASSERT_GE(notes.size(), 3u);
        EXPECT_EQ(notes.back(),
                  same ? "enumerated: descriptors as before"
                       : "enumeration failed: the device descriptor differs from the first enumeration's");
        EXPECT_EQ(b.host.Configured(), same);
        EXPECT_EQ(b.host.Gone(), !same);
        EXPECT_EQ(b.side.gone.empty(), same);
        EXPECT_EQ(b.fw.received, Bytes(200));
        if (same) {
            b.fw.Send({'o', 'k'}, true);  // still open, reads go on from DATA0
            b.Frames(2);
            EXPECT_EQ(b.side.got.size(), 2u);
        }
    }
}

// A device that refuses or never answers the enumeration: each driver tries
// its requests and new port resets as a real one does, then the port is gone.
TEST(CdcHost, FailedEnumerationIsRetriedThenGivenUp) {
    struct Case {
        const char* name;
        HostDriver driver;
        bool answers;        // false: endpoint 0 stays off (no answer); true: GET_DESCRIPTOR stalled
        uint64_t requests;   // GET_DESCRIPTOR(device, 64) requests made
        uint64_t resets;
    } cases[] = {
        {"Linux, no answer", HostDriver::kLinux, false, 4 * 3, 4},
        {"Windows, no answer", HostDriver::kWindows, false, 3, 3},
        {"Linux, STALL", HostDriver::kLinux, true, 4 * 3, 4},
        {"Windows, STALL", HostDriver::kWindows, true, 3, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(c.driver);
        b.firmware_runs = c.answers;
        b.fw.stall_requests.insert(6);
        b.port.PowerOn();
        b.host.Attach(0);
        uint64_t gone_at = 0;
        while (!b.host.Gone() && b.now < 5 * 48000000ull) {
            b.Frames(1);
            gone_at = b.now;
        }
        ASSERT_TRUE(b.host.Gone());
        EXPECT_FALSE(b.side.gone.empty());
        const CdcHostStats& st = b.host.Stats();
        EXPECT_EQ(st.control_requests, c.requests);
        EXPECT_EQ(st.bus_resets, c.resets);
        EXPECT_EQ(st.enumeration_retries, c.resets - 1);
        EXPECT_EQ(st.enumeration_unanswered, c.answers ? 0u : c.requests);
        // No answer: every try of the SETUP, then the transaction error.
        EXPECT_EQ(st.unanswered, c.answers ? 0u : c.requests * kTransactionTries);
        // Attempts 100 ms apart, each after its reset and recovery; no 5 s waits.
        EXPECT_GE(gone_at, (c.resets - 1) * kAttemptPauseCycles + kResetCycles + 10 * kFrameCycles);
        EXPECT_LT(gone_at, c.resets * (kAttemptPauseCycles + kResetCycles + 10 * kFrameCycles));
        EXPECT_EQ(b.timeline.back().rfind("enumeration failed: GET_DESCRIPTOR device", 0), 0u) << b.timeline.back();
    }
}

// The first request comes the reset recovery time after the reset signalling;
// a device that answers only from the second attempt on is configured, and
// the retry is counted.
TEST(CdcHost, FirstRequestAfterTheRecoveryTimeAndALateDevice) {
    for (uint64_t recovery_ms : {10u, 50u}) {
        SCOPED_TRACE(recovery_ms);
        Bench b;
        CdcHostOptions o = b.Options(HostDriver::kLinux);
        o.reset_recovery_cycles = recovery_ms * kFrameCycles;
        CdcHost host(o, &b.port, &b.side);
        b.port.PowerOn();
        host.Attach(0);
        uint64_t first = 0;
        while (host.Stats().unanswered == 0) {
            b.now += kSlotCycles;
            host.AdvanceTo(b.now);
            first = b.now;
        }
        EXPECT_GE(first, kResetCycles + recovery_ms * kFrameCycles);
        EXPECT_LT(first, kResetCycles + recovery_ms * kFrameCycles + kSlotCycles + 1);
        // The device comes up during the pause after the first attempt.
        while (host.Stats().enumeration_retries == 0) host.AdvanceTo(b.now += kSlotCycles);
        while (!host.Configured() && b.now < 2 * 48000000ull) {
            b.now += kSlotCycles;
            host.AdvanceTo(b.now);
            b.now = std::max(b.now, b.fw.Service(b.now));
        }
        EXPECT_TRUE(host.Configured());
        EXPECT_EQ(host.Stats().enumeration_retries, 1u);
        EXPECT_EQ(host.Stats().enumeration_unanswered, 3u);
        EXPECT_EQ(host.Stats().enumerations, 1u);
    }
}

TEST(CdcHost, IdleBusSkipsFramesCheaply) {
    Bench b;
    b.Up();
    b.Open();
    EXPECT_EQ(b.host.NextEventAt(b.now), UINT64_MAX);
    const uint64_t polls = b.port.Stats().in_naks;
    const uint64_t until = b.now + 10ull * 48000000 + 12345;
    b.host.AdvanceTo(until);
    EXPECT_LE(b.port.Stats().in_naks - polls, 2u * kSlotsPerFrame);
    uint32_t frame = 0;
    ASSERT_TRUE(b.port.Read(kUsbFrmNum, until, &frame));
    EXPECT_EQ(frame & kFrmNumMask, (until / kFrameCycles) & kFrmNumMask);

    // Bytes held after a full packet: the next event is the frame end at which the log is due.
    b.now = until;
    b.fw.Send(Bytes(64), false);
    while (b.host.Stats().in_packets == 0) b.Run(b.now + kSlotCycles);
    const uint64_t taken = b.now;
    b.firmware_runs = false;
    const uint64_t next = b.host.NextEventAt(b.now + kFrameCycles);
    EXPECT_GT(next, taken + kHeldCycles - kFrameCycles);
    EXPECT_LE(next, taken + kHeldCycles + kFrameCycles);
    EXPECT_EQ(next % kFrameCycles, 0u);
    b.Run(next);
    EXPECT_EQ(b.host.Stats().missing_zlp, 1u);
    EXPECT_EQ(b.host.NextEventAt(b.now), UINT64_MAX);
}

}  // namespace
}  // namespace sim
