#include "sim/host/cdc_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "sim/chip/usb_port.h"
#include "sim/rom/usb_descriptors.h"

namespace sim {
namespace {

constexpr uint32_t kFields = kCsrForcestall | kCsrDir | kCsrEptypeMask | kCsrEpeds;
constexpr uint64_t kFirmwarePeriod = 500;  // cycles between two looks of the firmware at the port

std::vector<uint8_t> Bytes(size_t n, uint8_t first = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

// Device firmware for the tests: serves the port through its registers as
// the chip sheet asks (every CSR change read back until it shows), with a
// CDC device on endpoint 0 and a bulk OUT and bulk IN endpoint.
class Firmware {
 public:
    Firmware(UsbPort* port, RomDescriptorLayout layout, std::vector<std::string>* timeline)
        : config(ConfigurationDescriptor(layout)),
          out_ep(layout == RomDescriptorLayout::kSwapped ? 2 : 1),
          in_ep(layout == RomDescriptorLayout::kSwapped ? 1 : 2),
          port_(port),
          timeline_(timeline) {}

    // Looks at the port once, at chip time t; returns the time after its accesses.
    uint64_t Service(uint64_t t) {
        now_ = std::max(now_, t);
        if (Read(kUsbIsr) & kIsrEndbusres) {
            Write(kUsbIcr, kIsrEndbusres);
            Write(kUsbFaddr, kFaddrFen);
            Change(0, 0, kFields, kCsrEpeds | kEptypeControl << kCsrEptypeShift);
            ep0_ = Ep0::kIdle;
            ResetBulkState();
        }
        if (serve_ep0) ServeEp0();
        if (stall_out) Change(out_ep, 0, kCsrForcestall, kCsrForcestall);
        if (serve_out) ServeOut();
        ServeIn();
        return now_;
    }
    // An answer in IN packets of 64 bytes, with a zero-length packet after a
    // full last one when zlp.
    void Send(const std::vector<uint8_t>& bytes, bool zlp) {
        for (size_t i = 0; i < bytes.size(); i += 64)
            to_send.emplace_back(bytes.begin() + i, bytes.begin() + std::min(bytes.size(), i + 64));
        if (zlp && bytes.size() % 64 == 0) to_send.emplace_back();
    }
    // Resets the bulk IN endpoint behind the host's back (its toggle goes to DATA0).
    void ResetIn() {
        Write(kUsbRstEp, 1u << in_ep);
        Write(kUsbRstEp, 0);
        in_released_ = in_filled_ = false;
    }

    std::vector<uint8_t> device = DeviceDescriptor();
    std::vector<uint8_t> config;
    const int out_ep, in_ep;
    bool serve_ep0 = true, serve_out = true, stall_out = false;
    std::set<uint8_t> stall_requests;  // bRequest values refused with STALL
    uint8_t coding[7] = {0x80, 0x25, 0, 0, 0, 0, 8};  // 9600 8N1
    std::vector<uint8_t> received;                    // bulk OUT bytes in order
    std::vector<size_t> out_packets;                  // their packet sizes
    std::deque<std::vector<uint8_t>> to_send;         // IN packets still to go
    std::vector<std::pair<uint64_t, uint8_t>> setups;  // chip time and bRequest of each SETUP
    uint64_t address_set_at = 0;

 private:
    enum class Ep0 { kIdle, kDataIn, kDataOut, kStatusIn };

    uint32_t Read(uint32_t offset) {
        uint32_t v = 0;
        EXPECT_TRUE(port_->Read(offset, now_++, &v));
        return v;
    }
    void Write(uint32_t offset, uint32_t value) { EXPECT_TRUE(port_->Write(offset, value, now_++)); }
    uint32_t Csr(int n) { return Read(kUsbCsr0 + 4 * static_cast<uint32_t>(n)); }
    // Clears the flags of `clear`, sets the fields of `mask` to `fields`,
    // releases an IN bank when `release`; then reads CSRn until it shows.
    void Change(int n, uint32_t clear, uint32_t mask, uint32_t fields, bool release = false) {
        const uint32_t seen = Csr(n);
        Write(kUsbCsr0 + 4 * static_cast<uint32_t>(n), (kCsrW0cFlags & ~clear) | (seen & kFields & ~mask) |
                                                           (fields & mask) | (release ? kCsrTxpktrdy : 0));
        now_ += kCsrSettleMaxCycles;  // the write has shown
    }
    void ResetEndpoint(int n) {
        Write(kUsbRstEp, 1u << n);
        Write(kUsbRstEp, 0);
    }
    void ResetBulkState() {
        out_bank_ = 0;
        in_released_ = in_filled_ = false;
    }
    void Ep0Packet(const std::vector<uint8_t>& data) {
        for (uint8_t b : data) Write(kUsbFdr0, b);
        Change(0, 0, 0, 0, true);
    }
    void Status() {
        Ep0Packet({});
        ep0_ = Ep0::kStatusIn;
    }

    void ServeEp0() {
        const uint32_t csr = Csr(0);
        if (csr & kCsrRxsetup) {
            uint8_t s[8];
            for (uint8_t& b : s) b = static_cast<uint8_t>(Read(kUsbFdr0));
            setups.emplace_back(now_, s[1]);
            const uint16_t value = static_cast<uint16_t>(s[2] | s[3] << 8);
            const uint16_t length = static_cast<uint16_t>(s[6] | s[7] << 8);
            const uint32_t control = kCsrEpeds | kEptypeControl << kCsrEptypeShift;
            std::vector<uint8_t> data;
            bool known = true;
            if (s[1] == 6 && (value >> 8) == 1) {
                data = device;
            } else if (s[1] == 6 && (value >> 8) == 2) {
                data = config;
            } else if (s[1] == 0x21) {
                data.assign(coding, coding + 7);
            } else {
                known = s[1] == 5 || s[1] == 9 || s[1] == 1 || s[1] == 0x20 || s[1] == 0x22;
            }
            if (!known || stall_requests.count(s[1])) {
                Change(0, kCsrRxsetup | kCsrStallsent, kFields, control | kCsrForcestall);
                ep0_ = Ep0::kIdle;
                return;
            }
            const bool in = (s[0] & 0x80) && length > 0;
            Change(0, kCsrRxsetup | kCsrStallsent, kFields, control | (in ? kCsrDir : 0));
            if (in) {
                if (data.size() > length) data.resize(length);
                in_packets_.clear();
                for (size_t i = 0; i < data.size(); i += 8)
                    in_packets_.emplace_back(data.begin() + i, data.begin() + std::min(data.size(), i + 8));
                if (data.size() < length && data.size() % 8 == 0) in_packets_.emplace_back();
                ep0_ = Ep0::kDataIn;
                Ep0Packet(in_packets_.front());
                in_packets_.pop_front();
                return;
            }
            pending_address_ = -1;
            if (s[1] == 5) pending_address_ = value;
            if (s[1] == 9) {
                Change(out_ep, 0, kFields, kCsrEpeds | kEptypeBulkOut << kCsrEptypeShift);
                Change(in_ep, 0, kFields, kCsrEpeds | kEptypeBulkIn << kCsrEptypeShift);
                ResetEndpoint(out_ep);
                ResetEndpoint(in_ep);
                ResetBulkState();
                Write(kUsbGlbStat, Read(kUsbGlbStat) | kGlbConfg);
            }
            if (s[1] == 1) {  // CLEAR_FEATURE(ENDPOINT_HALT): the endpoint is reset, its toggle too
                const int ep = s[4] & 0x0F;
                Change(ep, kCsrStallsent, kCsrForcestall, 0);
                ResetEndpoint(ep);
                if (ep == out_ep) {
                    out_bank_ = 0;
                    stall_out = false;
                } else {
                    in_released_ = in_filled_ = false;
                }
            }
            if (s[1] == 0x20) {
                ep0_ = Ep0::kDataOut;
                ep0_out_.clear();
                return;
            }
            Status();
            return;
        }
        if (csr & kCsrRxDataBk0) {
            const uint32_t n = (csr & kCsrRxbytecntMask) >> kCsrRxbytecntShift;
            for (uint32_t i = 0; i < n; ++i) ep0_out_.push_back(static_cast<uint8_t>(Read(kUsbFdr0)));
            Change(0, kCsrRxDataBk0, 0, 0);
            if (ep0_ == Ep0::kDataOut && ep0_out_.size() >= 7) {
                std::copy(ep0_out_.begin(), ep0_out_.begin() + 7, coding);
                Status();
            } else if (ep0_ != Ep0::kDataOut) {
                ep0_ = Ep0::kIdle;  // the host's status stage
            }
            return;
        }
        if (csr & kCsrTxcomp) {
            Change(0, kCsrTxcomp, 0, 0);
            if (ep0_ == Ep0::kDataIn && !in_packets_.empty()) {
                Ep0Packet(in_packets_.front());
                in_packets_.pop_front();
            } else if (ep0_ == Ep0::kStatusIn) {
                if (pending_address_ >= 0) {
                    Write(kUsbFaddr, kFaddrFen | static_cast<uint32_t>(pending_address_));
                    Write(kUsbGlbStat, Read(kUsbGlbStat) | kGlbFadden);
                    address_set_at = now_;
                    pending_address_ = -1;
                }
                ep0_ = Ep0::kIdle;
            }
        }
    }

    void ServeOut() {
        for (;;) {
            const uint32_t csr = Csr(out_ep);
            const uint32_t flag = out_bank_ ? kCsrRxDataBk1 : kCsrRxDataBk0;
            if (!(csr & flag)) return;
            const uint32_t n = (csr & kCsrRxbytecntMask) >> kCsrRxbytecntShift;
            for (uint32_t i = 0; i < n; ++i) received.push_back(static_cast<uint8_t>(Read(kUsbFdr0 + 4u * out_ep)));
            out_packets.push_back(n);
            timeline_->push_back("out " + std::to_string(n));
            Change(out_ep, flag, 0, 0);
            out_bank_ ^= 1;
        }
    }

    // One bank released at a time; the next packet is written into the
    // other bank at once and released when TXCOMP shows.
    void ServeIn() {
        if (in_released_ && (Csr(in_ep) & kCsrTxcomp)) {
            Change(in_ep, kCsrTxcomp, 0, 0);
            in_released_ = false;
        }
        if (!in_filled_ && !to_send.empty()) {
            for (uint8_t b : to_send.front()) Write(kUsbFdr0 + 4u * in_ep, b);
            to_send.pop_front();
            in_filled_ = true;
        }
        if (in_filled_ && !in_released_) {
            Change(in_ep, 0, 0, 0, true);
            in_released_ = true;
            in_filled_ = false;
        }
    }

    UsbPort* port_;
    std::vector<std::string>* timeline_;
    uint64_t now_ = 0;
    Ep0 ep0_ = Ep0::kIdle;
    std::deque<std::vector<uint8_t>> in_packets_;
    std::vector<uint8_t> ep0_out_;
    int pending_address_ = -1;
    int out_bank_ = 0;
    bool in_released_ = false, in_filled_ = false;
};

// The program's side: scripted events, recorded deliveries.
class FakeSide : public HostSide {
 public:
    bool PeekEvent(HostEvent* event) override {
        if (events.empty()) return false;
        *event = events.front();
        return true;
    }
    void PopEvent() override { events.pop_front(); }
    bool MoreMayFollow() override { return more; }
    void Deliver(const uint8_t* data, const uint64_t*, size_t n) override {
        got.insert(got.end(), data, data + n);
        deliveries.push_back(n);
    }
    void DeviceGone(const char* why) override { gone = why; }

    void Add(HostEvent::Kind kind, LineCoding coding = LineCoding()) {
        HostEvent e;
        e.kind = kind;
        e.coding = coding;
        events.push_back(e);
    }
    void Write(const std::vector<uint8_t>& bytes, bool unit_end = true) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            HostEvent e;
            e.byte = bytes[i];
            e.unit_end = unit_end && i + 1 == bytes.size();
            events.push_back(e);
        }
    }

    std::deque<HostEvent> events;
    bool more = false;
    std::vector<uint8_t> got;
    std::vector<size_t> deliveries;
    std::string gone;
};

LineCoding Coding(uint32_t rate, uint8_t data_bits = 8, uint8_t parity = 0, uint8_t stop_bits = 0) {
    LineCoding c;
    c.rate = rate;
    c.data_bits = data_bits;
    c.parity = parity;
    c.stop_bits = stop_bits;
    return c;
}

struct Bench {
    explicit Bench(HostDriver driver = HostDriver::kLinux, RomDescriptorLayout layout = RomDescriptorLayout::kSheet)
        : port(UsbPortOptions()), fw(&port, layout, &timeline), host(Options(driver), &port, &side) {}

    CdcHostOptions Options(HostDriver driver) {
        CdcHostOptions o;
        o.driver = driver;
        o.note = [this](const std::string& text) { timeline.push_back(text); };
        o.log = [this](const std::string& text) { logs.push_back(text); };
        return o;
    }
    // Runs the host and (when it runs) the firmware up to chip time until.
    void Run(uint64_t until) {
        while (now < until) {
            uint64_t next = host.NextEventAt(now);
            if (firmware_runs) next = std::min(next, now + kFirmwarePeriod);
            now = std::min(next, until);
            host.AdvanceTo(now);
            if (firmware_runs) now = std::max(now, fw.Service(now));
        }
        host.AdvanceTo(now);  // the firmware's accesses took a few cycles
    }
    void Frames(uint64_t n) { Run(now + n * kFrameCycles); }
    void Up() {
        port.PowerOn();
        host.Attach(now);
        while (!host.Configured() && !host.Gone() && now < 200 * kFrameCycles) Frames(1);
        ASSERT_TRUE(host.Configured());
    }
    void Open(LineCoding coding = Coding(115200)) {
        side.Add(HostEvent::kOpen, coding);
        Frames(5);
    }
    // The host's notes (and the firmware's "out n") from index `from` on.
    std::vector<std::string> Since(size_t from) const {
        return std::vector<std::string>(timeline.begin() + static_cast<long>(from), timeline.end());
    }

    std::vector<std::string> timeline, logs;
    UsbPort port;
    FakeSide side;
    Firmware fw;
    CdcHost host;
    uint64_t now = 0;
    bool firmware_runs = true;
};

using Notes = std::vector<std::string>;

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
