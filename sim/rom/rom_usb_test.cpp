// The ROM monitor's USB side in chip time: the monitor serves the chip's port
// model through its registers while the PC's CDC driver model (or a test
// acting as the host, transaction by transaction) is on the bus.
#include "sim/rom/rom_usb.h"

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "sim/host/cdc_host.h"
#include "sim/host/usb_test_bus.h"
#include "sim/rom/rom_monitor.h"
#include "sim/rom/usb_descriptors.h"

namespace sim {
namespace {

const char kVersion[] = "v1.4 Nov 10 2006";

std::string Text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }
std::vector<uint8_t> Head(const std::vector<uint8_t>& bytes, size_t n) {
    return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(n));
}

// The program on the PC: scripted port events, and what reached it.
class FakeSide : public HostSide {
 public:
    bool PeekEvent(HostEvent* event) override {
        if (events.empty()) return false;
        *event = events.front();
        return true;
    }
    void PopEvent() override { events.pop_front(); }
    bool MoreMayFollow() override { return false; }
    void Deliver(const uint8_t* data, const uint64_t*, size_t n) override {
        delivered.insert(delivered.end(), data, data + n);
    }
    void DeviceGone(const char* why) override { gone = why; }

    // One write of the program.
    void Write(const std::string& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            HostEvent e;
            e.kind = HostEvent::kData;
            e.byte = static_cast<uint8_t>(bytes[i]);
            e.unit_end = i + 1 == bytes.size();
            events.push_back(e);
        }
    }
    void Event(HostEvent::Kind kind, const LineCoding& coding = LineCoding()) {
        HostEvent e;
        e.kind = kind;
        e.coding = coding;
        events.push_back(e);
    }

    std::deque<HostEvent> events;
    std::vector<uint8_t> delivered;
    std::string gone;
};

ChipOptions LoggingChip(std::vector<std::string>* notes) {
    ChipOptions o;
    o.log = [notes](const std::string& note) { notes->push_back(note); };
    return o;
}

CdcHostOptions Driver(HostDriver driver, std::vector<std::string>* notes) {
    CdcHostOptions o;
    o.driver = driver;
    o.log = [notes](const std::string& note) { notes->push_back("usb host: " + note); };
    return o;
}

uint32_t Read(Chip& chip, uint32_t offset) {
    uint32_t v = 0;
    EXPECT_TRUE(chip.Read32(kUsbBase + offset, &v));
    return v;
}
uint32_t Csr(Chip& chip, int endpoint) { return Read(chip, kUsbCsr0 + 4 * static_cast<uint32_t>(endpoint)); }
uint32_t Eptype(uint32_t csr) { return (csr & kCsrEptypeMask) >> kCsrEptypeShift; }

// The monitor's line, counting the answers it has finished (the host has
// taken their last packet).
class CountingLine : public MonitorLine {
 public:
    explicit CountingLine(UsbMonitorLine* line) : line_(line) {}
    bool PollByte(uint8_t* byte) override { return line_->PollByte(byte); }
    bool WaitByte(int max_ms) override { return line_->WaitByte(max_ms); }
    void SendByte(uint8_t byte) override { line_->SendByte(byte); }
    bool Stopped() override { return line_->Stopped(); }
    void BeginCall() override { line_->BeginCall(); }
    void EndCall(bool returned) override { line_->EndCall(returned); }
    void EndOfAnswer() override {
        line_->EndOfAnswer();
        ++frames_done;
    }
    SerialLine* DebugUnitLine() override { return line_->DebugUnitLine(); }

    uint64_t frames_done = 0;

 private:
    UsbMonitorLine* line_;
};

// The whole link: chip, port, the PC's driver and the ROM monitor on its USB
// line.
struct Rig {
    explicit Rig(HostDriver driver = HostDriver::kLinux, RomDescriptorLayout layout = RomDescriptorLayout::kSheet)
        : chip(LoggingChip(&notes)),
          host(Driver(driver, &notes), &chip.Usb(), &side),
          bus(&chip.Usb(), &host),
          line(&chip, &bus, layout),
          counting(&line),
          monitor(&chip, &counting, kVersion) {
        InstallRomDescriptors(&chip, layout);
        chip.SetBus(&bus);
        line.Boot();
    }

    // Serves frames until done() holds or `ms` of chip time have passed.
    bool ServeUntil(const std::function<bool()>& done, uint64_t ms = 2000) {
        bus.done = done;
        bus.deadline = chip.Now() + ms * kFrameCycles;
        monitor.Serve();
        bus.done = nullptr;
        bus.deadline = UINT64_MAX;
        return done();
    }
    // Enumerates and opens the port as the program does.
    void Open(const LineCoding& coding = LineCoding()) {
        ASSERT_TRUE(ServeUntil([this] { return host.Configured(); })) << "not enumerated: " << side.gone;
        side.Event(HostEvent::kOpen, coding);
    }
    // Writes `count` frames with one write and returns the `length` bytes
    // that reach the program once the monitor has finished the last one.
    std::string Ask(const std::string& frames, size_t length, int count = 1) {
        side.delivered.clear();
        side.Write(frames);
        const uint64_t done = counting.frames_done + static_cast<uint64_t>(count);
        EXPECT_TRUE(ServeUntil([&] { return side.delivered.size() >= length && counting.frames_done >= done; }))
            << "answer to " << frames.substr(0, 24) << ": " << side.delivered.size() << " of " << length << " bytes";
        return Text(side.delivered);
    }
    void ExpectClean() {
        EXPECT_EQ(chip.Usb().Stats().lost_events, 0u);
        EXPECT_EQ(chip.Usb().Stats().discipline_faults, 0u);
        EXPECT_EQ(host.Stats().control_stalled, 0u);
        EXPECT_EQ(host.Stats().control_timed_out, 0u);
        EXPECT_EQ(host.Stats().control_unexpected, 0u);
        EXPECT_EQ(host.Stats().in_repeats_dropped, 0u);
        EXPECT_EQ(host.Stats().missing_zlp, 0u);
        EXPECT_EQ(line.StalledRequests(), 0u);
        EXPECT_TRUE(side.gone.empty()) << side.gone;
        for (const std::string& note : notes) ADD_FAILURE() << note;
    }

    std::vector<std::string> notes;
    Chip chip;
    FakeSide side;
    CdcHost host;
    TestBus bus;
    UsbMonitorLine line;
    CountingLine counting;
    RomMonitor monitor;
};

// ARM code run with G.
constexpr uint32_t kBxLr = 0xE12FFF1E;
constexpr uint32_t kBranchToSelf = 0xEAFFFFFE;

void Load(Chip& chip, const std::vector<uint32_t>& words) {
    for (size_t i = 0; i < words.size(); ++i)
        ASSERT_TRUE(chip.Write32(kSramBase + 4 * static_cast<uint32_t>(i), words[i]));
}

// ldr r0, =iterations; 1: subs r0, r0, #1; bne 1b; bx lr
std::vector<uint32_t> SpinProgram(uint32_t iterations) {
    return {0xE59F0008u, 0xE2500001u, 0x1AFFFFFDu, kBxLr, iterations};
}

// --- Descriptors -------------------------------------------------------------

struct EndpointDesc {
    uint8_t address;
    uint8_t attributes;
};

// The endpoint descriptors of a configuration descriptor, in order; checks
// that the descriptors chain up to wTotalLength.
std::vector<EndpointDesc> Endpoints(const std::vector<uint8_t>& config, std::vector<uint8_t>* types) {
    std::vector<EndpointDesc> endpoints;
    size_t pos = 0;
    while (pos < config.size()) {
        const size_t length = config[pos];
        EXPECT_GE(length, 2u);
        if (length < 2 || pos + length > config.size()) break;
        types->push_back(config[pos + 1]);
        if (config[pos + 1] == 0x05) {
            EXPECT_EQ(length, 7u);
            EXPECT_EQ(config[pos + 4] | config[pos + 5] << 8, 64);
            endpoints.push_back({config[pos + 2], config[pos + 3]});
        }
        pos += length;
    }
    EXPECT_EQ(pos, config.size());
    return endpoints;
}

TEST(RomUsbDescriptors, DeviceAndCdcConfigurationPerLayout) {
    const std::vector<uint8_t> device = DeviceDescriptor();
    const std::vector<uint8_t> expected = {18, 1, 0x00, 0x02, 0x02, 0, 0, 8, 0x0D, 0xF0, 0xED, 0x5E, 0x00, 0x01,
                                           0, 0, 0, 1};
    EXPECT_EQ(device, expected);

    struct Row {
        RomDescriptorLayout layout;
        std::vector<uint8_t> endpoint_addresses;
    };
    const Row rows[] = {
        {RomDescriptorLayout::kSheet, {0x83, 0x01, 0x82}},
        {RomDescriptorLayout::kSwapped, {0x83, 0x81, 0x02}},
    };
    for (const Row& row : rows) {
        const std::vector<uint8_t> config = ConfigurationDescriptor(row.layout);
        ASSERT_GE(config.size(), 9u);
        EXPECT_EQ(config[0], 9);
        EXPECT_EQ(config[1], 2);
        EXPECT_EQ(static_cast<size_t>(config[2] | config[3] << 8), config.size());
        EXPECT_EQ(config[4], 2);  // interfaces
        EXPECT_EQ(config[5], 1);  // configuration value
        // Configuration, communication interface, header, call management,
        // ACM, union, interrupt endpoint, data interface, two bulk endpoints.
        std::vector<uint8_t> types;
        const std::vector<EndpointDesc> endpoints = Endpoints(config, &types);
        EXPECT_EQ(types, (std::vector<uint8_t>{2, 4, 0x24, 0x24, 0x24, 0x24, 5, 4, 5, 5}));
        ASSERT_EQ(endpoints.size(), 3u);
        for (size_t i = 0; i < 3; ++i) EXPECT_EQ(endpoints[i].address, row.endpoint_addresses[i]);
        EXPECT_EQ(endpoints[0].attributes, 3);  // interrupt
        EXPECT_EQ(endpoints[1].attributes, 2);  // bulk
        EXPECT_EQ(endpoints[2].attributes, 2);
        // The communication interface is CDC ACM with AT commands; the ACM
        // descriptor offers line coding and control line state.
        EXPECT_EQ(std::vector<uint8_t>(config.begin() + 9 + 5, config.begin() + 9 + 8),
                  (std::vector<uint8_t>{0x02, 0x02, 0x01}));
        EXPECT_EQ(config[9 + 9 + 5 + 5 + 3], 0x02);
    }
}

// --- Enumeration ---------------------------------------------------------------

class RomUsbLayout : public ::testing::TestWithParam<RomDescriptorLayout> {};

TEST_P(RomUsbLayout, EnumeratesWithItsDescriptorsAndServesItsEndpoints) {
    const RomDescriptorLayout layout = GetParam();
    Rig r(HostDriver::kLinux, layout);
    // The tables are in the ROM region, or (kNone) not there at all.
    std::vector<uint8_t> rom(18);
    for (size_t i = 0; i < rom.size(); ++i)
        ASSERT_TRUE(r.chip.Read8(kRomDeviceDescriptor + static_cast<uint32_t>(i), &rom[i]));
    EXPECT_EQ(rom == DeviceDescriptor(), layout != RomDescriptorLayout::kNone);
    EXPECT_EQ(Read(r.chip, kUsbFaddr), 0u);  // nothing before the host's bus reset
    r.Open();
    const RomDescriptorLayout shown = layout == RomDescriptorLayout::kNone ? RomDescriptorLayout::kSheet : layout;
    EXPECT_EQ(r.host.DeviceDescriptor(), DeviceDescriptor());
    EXPECT_EQ(r.host.ConfigurationDescriptor(), ConfigurationDescriptor(shown));
    EXPECT_EQ(r.host.Stats().enumerations, 1u);

    // Address and configuration as the host set them; endpoints as the
    // descriptors say.
    EXPECT_EQ(Read(r.chip, kUsbGlbStat) & (kGlbFadden | kGlbConfg), kGlbFadden | kGlbConfg);
    EXPECT_EQ(Read(r.chip, kUsbFaddr), kFaddrFen | 1u);
    const bool swapped = layout == RomDescriptorLayout::kSwapped;
    const uint32_t types[4] = {kEptypeControl, swapped ? kEptypeBulkIn : kEptypeBulkOut,
                               swapped ? kEptypeBulkOut : kEptypeBulkIn, kEptypeIntIn};
    for (int ep = 0; ep < 4; ++ep) {
        const uint32_t csr = Csr(r.chip, ep);
        EXPECT_TRUE(csr & kCsrEpeds) << "endpoint " << ep;
        EXPECT_EQ(Eptype(csr), types[ep]) << "endpoint " << ep;
    }
    EXPECT_EQ(r.Ask("V#", 2 + sizeof kVersion - 1 + 3), std::string("\n\r") + kVersion + "\n\r>");
    r.ExpectClean();
}

INSTANTIATE_TEST_SUITE_P(RomUsb, RomUsbLayout,
                         ::testing::Values(RomDescriptorLayout::kSheet, RomDescriptorLayout::kSwapped,
                                           RomDescriptorLayout::kNone));

// --- Frames and answers ----------------------------------------------------------

class RomUsbDriver : public ::testing::TestWithParam<HostDriver> {};

TEST_P(RomUsbDriver, FramesAndAnswers) {
    Rig r(GetParam());
    std::string sram(0x100, '\0'), flash(21503, '\0');
    for (size_t i = 0; i < sram.size(); ++i) {
        sram[i] = static_cast<char>(i * 7 + 3);
        ASSERT_TRUE(r.chip.Write8(kSramBase + static_cast<uint32_t>(i), static_cast<uint8_t>(sram[i])));
    }
    for (size_t i = 0; i < flash.size(); ++i) {
        flash[i] = static_cast<char>((i * 131) >> 3);
        r.chip.Flash()[i] = static_cast<uint8_t>(flash[i]);
    }
    std::string block(6144, '\0');  // S data: 96 full packets
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i ^ (i >> 8));
    r.Open();

    struct Row {
        std::string frames;
        std::string answer;
        uint64_t zero_length;  // zero-length packets after the answer
        int count = 1;         // frames in the write
    };
    const Row rows[] = {
        {"T#", "\n\r>", 0},
        {"V#", std::string("\n\r") + kVersion + "\n\r>", 0},
        {"N#", "\n\r", 0},
        {"V#", std::string("\n\r") + kVersion + "\n\r", 0},
        {"w00200004,4#", sram.substr(4, 4), 0},
        {"R00200000,00000040#", sram.substr(0, 64), 1},
        {"R00200010,00000080#", sram.substr(0x10, 128), 1},
        {"R00200000,0000003F#", sram.substr(0, 63), 0},
        {"R00200001,00000041#", sram.substr(1, 65), 0},
        {"R00100000,000053FF#", flash, 0},
        {"S00201000,00001800#" + block + "R00201000,00001800#", block, 1, 2},
        {"W00200000,CAFEF00D#w00200000,4#", "\x0D\xF0\xFE\xCA", 0, 2},
        {"T#", "\n\r>", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.frames.substr(0, 24));
        const uint64_t packets_before = r.host.Stats().in_packets;
        EXPECT_EQ(r.Ask(row.frames, row.answer.size(), row.count), row.answer);
        // Bulk IN packets: 64 bytes each, the last one shorter, and the
        // zero-length one after an answer that fills its last packet.
        const uint64_t full_or_short = (row.answer.size() + 63) / 64;
        EXPECT_EQ(r.host.Stats().in_packets - packets_before, full_or_short + row.zero_length);
    }
    // Nothing more comes, and both bulk endpoints are idle between frames.
    r.ServeUntil([] { return false; }, 20);
    EXPECT_EQ(Text(r.side.delivered), "\n\r>");
    EXPECT_EQ(Csr(r.chip, 1) & (kCsrRxDataBk0 | kCsrRxDataBk1), 0u);
    EXPECT_EQ(Csr(r.chip, 2) & (kCsrTxpktrdy | kCsrTxcomp), 0u);
    r.ExpectClean();
}

TEST_P(RomUsbDriver, OpenLineSettingsCloseAndOpenAgain) {
    Rig r(GetParam());
    LineCoding a;
    a.rate = 57600;
    a.parity = 2;
    LineCoding b;
    b.rate = 9600;
    b.data_bits = 7;
    b.parity = 1;
    b.stop_bits = 2;
    ASSERT_TRUE(r.chip.Write32(kSramBase, 0x11223344));
    r.Open(a);
    // Odd packet counts both ways, so that toggles are at DATA1 when the
    // port is opened again.
    EXPECT_EQ(r.Ask("N#", 2), "\n\r");
    EXPECT_EQ(r.Ask("V#", 2 + sizeof kVersion - 1 + 2), std::string("\n\r") + kVersion + "\n\r");
    // The driver asked for the coding before setting its own: the monitor's.
    LineCoding initial;
    initial.rate = 115200;
    EXPECT_EQ(r.host.DeviceLineCoding(), initial);
    EXPECT_EQ(LineCoding::FromBytes(r.line.LineCodingBytes()), a);

    // New line settings: the driver's request may pass the next frame.
    r.side.Event(HostEvent::kLineSettings, b);
    EXPECT_EQ(r.Ask("w00200000,4#", 4), "\x44\x33\x22\x11");
    EXPECT_TRUE(r.ServeUntil([&] { return LineCoding::FromBytes(r.line.LineCodingBytes()) == b; }));

    // The Windows driver clears both halts at the open: toggles start over
    // on both sides, mid-stream.
    r.side.Event(HostEvent::kClose);
    r.side.Event(HostEvent::kOpen, b);
    std::string sram(128, '\0');
    for (size_t i = 0; i < sram.size(); ++i)
        ASSERT_TRUE(r.chip.Read8(kSramBase + static_cast<uint32_t>(i), reinterpret_cast<uint8_t*>(&sram[i])));
    EXPECT_EQ(r.Ask("R00200000,00000080#", 128), sram);
    EXPECT_EQ(r.host.DeviceLineCoding(), b);
    EXPECT_EQ(r.host.Stats().control_ok, r.host.Stats().control_requests);
    EXPECT_EQ(r.chip.Usb().Stats().repeats_dropped, 0u);
    r.ExpectClean();
}

INSTANTIATE_TEST_SUITE_P(RomUsb, RomUsbDriver, ::testing::Values(HostDriver::kLinux, HostDriver::kWindows));

// --- G ---------------------------------------------------------------------------

TEST(RomUsbGo, CodeThatReturnsFindsTheNextFramesWaitingInTheBanks) {
    Rig r;
    Load(r.chip, SpinProgram(500000));  // about 21 ms of chip time
    r.Open();
    ASSERT_EQ(r.Ask("N#", 2), "\n\r");
    std::string block(600, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 13 + (i >> 4));
    const uint64_t naks_before = r.host.Stats().out_naks;
    const uint64_t instructions_before = r.chip.Stats().instructions;
    // The host writes on while the code runs: the banks hold two packets,
    // the port NAKs the rest until the monitor serves again.
    r.side.Write("G00200000#");
    r.side.Write("S00201000,00000258#" + block);
    EXPECT_EQ(r.Ask("R00201000,00000258#", block.size(), 3), block);
    EXPECT_GE(r.chip.Stats().instructions - instructions_before, 1000000u);
    EXPECT_GT(r.host.Stats().out_naks - naks_before, 10u);
    EXPECT_EQ(r.Ask("V#", 2 + sizeof kVersion - 1 + 2), std::string("\n\r") + kVersion + "\n\r");
    r.ExpectClean();
}

TEST(RomUsbGo, CodeThatNeverReturnsInheritsThePortMidStream) {
    Rig r;
    Load(r.chip, {kBranchToSelf});
    ASSERT_TRUE(r.chip.Write32(kSramBase + 0x10, 0xA5A5A5A5));
    r.Open();
    ASSERT_EQ(r.Ask("N#", 2), "\n\r");
    ASSERT_EQ(r.Ask("V#", 2 + sizeof kVersion - 1 + 2), std::string("\n\r") + kVersion + "\n\r");
    ASSERT_EQ(r.Ask("w00200010,4#", 4), "\xA5\xA5\xA5\xA5");
    r.side.Write("W00200010,1#");
    r.side.Write("G00200000#");
    r.side.Write("w00200000,4#");
    r.side.Write("N#");
    r.side.Write("V#");
    r.ServeUntil([] { return false; }, 30);

    // Seven packets taken: four frames before G, G itself and the two after
    // it, which wait in the banks; the third waits in the driver.
    const CdcHostStats& host = r.host.Stats();
    EXPECT_EQ(host.out_packets, 7u);
    EXPECT_GT(host.out_naks, 0u);
    EXPECT_EQ(host.in_packets, 3u);

    EXPECT_EQ(Read(r.chip, kUsbGlbStat) & (kGlbFadden | kGlbConfg), kGlbFadden | kGlbConfg);
    EXPECT_EQ(Read(r.chip, kUsbFaddr), kFaddrFen | 1u);
    EXPECT_EQ(Read(r.chip, kUsbTxvc) & (kTxvcPuon | kTxvcTxvdis), kTxvcPuon);
    EXPECT_EQ(Read(r.chip, kUsbRstEp), 0u);
    const uint32_t csr0 = Csr(r.chip, 0);
    EXPECT_EQ(csr0 & (kCsrEpeds | kCsrEptypeMask | kCsrForcestall | kCsrTxpktrdy | kCsrRxsetup), kCsrEpeds);
    // Endpoint 1: both banks full, the older holding the 12 bytes of
    // "w00200000,4#"; the next packet due with DATA1 (7 taken).
    const uint32_t csr1 = Csr(r.chip, 1);
    EXPECT_EQ(csr1 & (kCsrEpeds | kCsrForcestall), kCsrEpeds);
    EXPECT_EQ(Eptype(csr1), kEptypeBulkOut);
    EXPECT_EQ(csr1 & (kCsrRxDataBk0 | kCsrRxDataBk1), kCsrRxDataBk0 | kCsrRxDataBk1);
    EXPECT_EQ((csr1 & kCsrRxbytecntMask) >> kCsrRxbytecntShift, 12u);
    EXPECT_EQ(csr1 & kCsrDtgle, kCsrDtgle);
    // Endpoint 2: every answer taken, nothing pending; next packet DATA1.
    const uint32_t csr2 = Csr(r.chip, 2);
    EXPECT_EQ(csr2 & (kCsrEpeds | kCsrForcestall | kCsrTxpktrdy | kCsrTxcomp), kCsrEpeds);
    EXPECT_EQ(Eptype(csr2), kEptypeBulkIn);
    EXPECT_EQ(csr2 & kCsrDtgle, kCsrDtgle);
    const uint32_t csr3 = Csr(r.chip, 3);
    EXPECT_EQ(csr3 & kCsrEpeds, kCsrEpeds);
    EXPECT_EQ(Eptype(csr3), kEptypeIntIn);
    r.ExpectClean();
}

// --- Bus reset -----------------------------------------------------------------

TEST(RomUsbBusReset, EnumeratesAgainWithTheSameDescriptorsAndServesOn) {
    Rig r;
    r.Open();
    ASSERT_EQ(r.Ask("N#", 2), "\n\r");
    ASSERT_EQ(r.Ask("V#", 2 + sizeof kVersion - 1 + 2), std::string("\n\r") + kVersion + "\n\r");
    r.side.Event(HostEvent::kBusReset);
    EXPECT_EQ(r.Ask("V#", 2 + sizeof kVersion - 1 + 2), std::string("\n\r") + kVersion + "\n\r");
    EXPECT_EQ(r.host.Stats().enumerations, 2u);
    EXPECT_EQ(r.chip.Usb().Stats().bus_resets, 2u);
    EXPECT_FALSE(r.host.Gone());
    EXPECT_EQ(Read(r.chip, kUsbGlbStat) & (kGlbFadden | kGlbConfg), kGlbFadden | kGlbConfg);
    EXPECT_EQ(Read(r.chip, kUsbFaddr), kFaddrFen | 1u);
    r.ExpectClean();
}

// --- Endpoint 0 transaction by transaction ---------------------------------------

std::array<uint8_t, 8> Request(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
    return {type,
            request,
            static_cast<uint8_t>(value),
            static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(index),
            static_cast<uint8_t>(index >> 8),
            static_cast<uint8_t>(length),
            static_cast<uint8_t>(length >> 8)};
}

// The host's side done by hand, with the monitor looking at the port before
// every transaction.
struct RawHost {
    explicit RawHost(RomDescriptorLayout layout = RomDescriptorLayout::kSheet)
        : chip(LoggingChip(&notes)), bus(&chip.Usb(), nullptr), line(&chip, &bus, layout) {
        InstallRomDescriptors(&chip, layout);
        chip.SetBus(&bus);
        line.Boot();
        chip.Usb().BusReset(Tick());
        Serve();
    }
    uint64_t Tick() {
        chip.SetNow(chip.Now() + kSlotCycles);
        return chip.Now();
    }
    void Serve() {
        for (int i = 0; i < 8; ++i) {
            uint8_t byte = 0;
            if (line.PollByte(&byte)) received.push_back(byte);
        }
    }
    Handshake In(int endpoint, InPacket* packet) {
        Handshake h = Handshake::kNak;
        for (int i = 0; i < 20 && h == Handshake::kNak; ++i) {
            Serve();
            h = chip.Usb().In(address, endpoint, packet, Tick());
        }
        return h;
    }
    Handshake Out(int endpoint, const std::vector<uint8_t>& data, int toggle) {
        Handshake h = Handshake::kNak;
        for (int i = 0; i < 20 && h == Handshake::kNak; ++i) {
            Serve();
            h = chip.Usb().Out(address, endpoint, data.data(), data.size(), toggle, nullptr, Tick());
        }
        return h;
    }
    struct Result {
        Handshake handshake = Handshake::kNone;
        std::vector<uint8_t> data;  // the IN data stage
        int packets = 0;            // its packets
    };
    Result Control(const std::array<uint8_t, 8>& setup, const std::vector<uint8_t>& out = {}) {
        Result r;
        Serve();
        r.handshake = chip.Usb().Setup(address, setup.data(), Tick());
        if (r.handshake != Handshake::kAck) return r;
        const size_t length = static_cast<size_t>(setup[6] | setup[7] << 8);
        if ((setup[0] & 0x80) && length > 0) {
            for (;;) {
                InPacket packet;
                r.handshake = In(0, &packet);
                if (r.handshake != Handshake::kAck) return r;
                ++r.packets;
                r.data.insert(r.data.end(), packet.data.begin(), packet.data.end());
                if (packet.data.size() < 8 || r.data.size() >= length) break;
            }
            r.handshake = Out(0, {}, 1);
            return r;
        }
        int toggle = 1;
        for (size_t i = 0; i < out.size(); i += 8) {
            const std::vector<uint8_t> part(out.begin() + static_cast<long>(i),
                                            out.begin() + static_cast<long>(std::min(i + 8, out.size())));
            r.handshake = Out(0, part, toggle);
            if (r.handshake != Handshake::kAck) return r;
            toggle ^= 1;
        }
        InPacket status;
        r.handshake = In(0, &status);
        EXPECT_TRUE(status.data.empty());
        return r;
    }
    void ExpectClean() {
        EXPECT_EQ(chip.Usb().Stats().lost_events, 0u);
        EXPECT_EQ(chip.Usb().Stats().discipline_faults, 0u);
        for (const std::string& note : notes) ADD_FAILURE() << note;
    }

    std::vector<std::string> notes;
    Chip chip;
    TestBus bus;
    UsbMonitorLine line;
    uint8_t address = 0;
    std::vector<uint8_t> received;
};

TEST(RomUsbControl, AddressTakesEffectAfterTheStatusStage) {
    RawHost h;
    EXPECT_EQ(Read(h.chip, kUsbFaddr), kFaddrFen);
    EXPECT_EQ(Csr(h.chip, 0) & (kCsrEpeds | kCsrEptypeMask), kCsrEpeds);
    const auto setup = Request(0x00, 5, 9, 0, 0);
    ASSERT_EQ(h.chip.Usb().Setup(0, setup.data(), h.Tick()), Handshake::kAck);
    h.Serve();
    EXPECT_EQ(Read(h.chip, kUsbFaddr), kFaddrFen);  // the status stage still goes to address 0
    InPacket status;
    ASSERT_EQ(h.In(0, &status), Handshake::kAck);
    EXPECT_TRUE(status.data.empty());
    h.Serve();
    EXPECT_EQ(Read(h.chip, kUsbFaddr), kFaddrFen | 9u);
    EXPECT_EQ(Read(h.chip, kUsbGlbStat) & (kGlbFadden | kGlbConfg), kGlbFadden);
    h.address = 9;
    EXPECT_EQ(h.Control(Request(0x80, 6, 0x0100, 0, 18)).data, DeviceDescriptor());
    h.ExpectClean();
}

TEST(RomUsbControl, StandardAndClassRequestsAndRefusals) {
    RawHost h;
    ASSERT_EQ(h.Control(Request(0x00, 5, 3, 0, 0)).handshake, Handshake::kAck);
    h.address = 3;
    const std::vector<uint8_t> device = DeviceDescriptor();
    const std::vector<uint8_t> config = ConfigurationDescriptor();
    const std::vector<uint8_t> coding = {0x80, 0x25, 0, 0, 2, 1, 7};  // 9600 7O2
    const std::vector<uint8_t> initial = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8};
    struct Row {
        const char* what;
        std::array<uint8_t, 8> setup;
        std::vector<uint8_t> out;
        Handshake handshake;
        std::vector<uint8_t> data;
    };
    const Row rows[] = {
        {"device descriptor", Request(0x80, 6, 0x0100, 0, 64), {}, Handshake::kAck, device},
        {"device descriptor, 8 asked", Request(0x80, 6, 0x0100, 0, 8), {}, Handshake::kAck, Head(device, 8)},
        {"configuration before SET_CONFIGURATION", Request(0x80, 8, 0, 0, 1), {}, Handshake::kAck, {0}},
        {"endpoint status before configuration", Request(0x82, 0, 0, 0x01, 2), {}, Handshake::kStall, {}},
        {"configuration 2", Request(0x00, 9, 2, 0, 0), {}, Handshake::kStall, {}},
        {"configuration 1", Request(0x00, 9, 1, 0, 0), {}, Handshake::kAck, {}},
        {"configuration", Request(0x80, 8, 0, 0, 1), {}, Handshake::kAck, {1}},
        {"configuration head", Request(0x80, 6, 0x0200, 0, 9), {}, Handshake::kAck, Head(config, 9)},
        {"whole configuration", Request(0x80, 6, 0x0200, 0, 255), {}, Handshake::kAck, config},
        {"string descriptor", Request(0x80, 6, 0x0300, 0x0409, 255), {}, Handshake::kStall, {}},
        {"device qualifier", Request(0x80, 6, 0x0600, 0, 10), {}, Handshake::kStall, {}},
        {"device status", Request(0x80, 0, 0, 0, 2), {}, Handshake::kAck, {0, 0}},
        {"interface status", Request(0x81, 0, 0, 1, 2), {}, Handshake::kAck, {0, 0}},
        {"bulk IN status", Request(0x82, 0, 0, 0x82, 2), {}, Handshake::kAck, {0, 0}},
        {"halt bulk IN", Request(0x02, 3, 0, 0x82, 0), {}, Handshake::kAck, {}},
        {"bulk IN status, halted", Request(0x82, 0, 0, 0x82, 2), {}, Handshake::kAck, {1, 0}},
        {"clear bulk IN halt", Request(0x02, 1, 0, 0x82, 0), {}, Handshake::kAck, {}},
        {"bulk IN status, cleared", Request(0x82, 0, 0, 0x82, 2), {}, Handshake::kAck, {0, 0}},
        {"halt interrupt endpoint", Request(0x02, 3, 0, 0x83, 0), {}, Handshake::kStall, {}},
        {"remote wakeup", Request(0x00, 3, 1, 0, 0), {}, Handshake::kStall, {}},
        {"line coding", Request(0xA1, 0x21, 0, 0, 7), {}, Handshake::kAck, initial},
        {"set line coding", Request(0x21, 0x20, 0, 0, 7), coding, Handshake::kAck, {}},
        {"line coding as set", Request(0xA1, 0x21, 0, 0, 7), {}, Handshake::kAck, coding},
        {"line coding, 4 asked", Request(0xA1, 0x21, 0, 0, 4), {}, Handshake::kAck, Head(coding, 4)},
        {"line coding of 6 bytes", Request(0x21, 0x20, 0, 0, 6), {1, 2, 3, 4, 5, 6}, Handshake::kStall, {}},
        {"control line state", Request(0x21, 0x22, 3, 0, 0), {}, Handshake::kAck, {}},
        {"send break", Request(0x21, 0x23, 0xFFFF, 0, 0), {}, Handshake::kStall, {}},
        {"get interface", Request(0x81, 10, 0, 0, 1), {}, Handshake::kStall, {}},
    };
    uint64_t stalls = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const RawHost::Result result = h.Control(row.setup, row.out);
        EXPECT_EQ(result.handshake, row.handshake);
        if (row.handshake == Handshake::kAck) {
            EXPECT_EQ(result.data, row.data);
        }
        if (row.handshake == Handshake::kStall) {
            ++stalls;
            // Refused until the next SETUP.
            InPacket packet;
            EXPECT_EQ(h.In(0, &packet), Handshake::kStall);
        }
    }
    EXPECT_EQ(h.line.StalledRequests(), stalls);
    EXPECT_EQ(std::vector<uint8_t>(h.line.LineCodingBytes(), h.line.LineCodingBytes() + 7), coding);
    EXPECT_EQ(Read(h.chip, kUsbGlbStat) & kGlbConfg, kGlbConfg);
    h.ExpectClean();
}

TEST(RomUsbControl, ClearingTheOutHaltStartsTheEndpointOver) {
    RawHost h;
    ASSERT_EQ(h.Control(Request(0x00, 5, 3, 0, 0)).handshake, Handshake::kAck);
    h.address = 3;
    ASSERT_EQ(h.Control(Request(0x00, 9, 1, 0, 0)).handshake, Handshake::kAck);
    ASSERT_EQ(h.Out(1, {'z'}, 0), Handshake::kAck);
    h.Serve();
    EXPECT_EQ(Text(h.received), "z");
    EXPECT_EQ(Csr(h.chip, 1) & kCsrDtgle, kCsrDtgle);

    ASSERT_EQ(h.Control(Request(0x02, 3, 0, 0x01, 0)).handshake, Handshake::kAck);
    EXPECT_EQ(h.Out(1, {'x'}, 1), Handshake::kStall);
    EXPECT_EQ(Csr(h.chip, 1) & (kCsrForcestall | kCsrStallsent), kCsrForcestall | kCsrStallsent);
    ASSERT_EQ(h.Control(Request(0x02, 1, 0, 0x01, 0)).handshake, Handshake::kAck);
    EXPECT_EQ(Csr(h.chip, 1) & (kCsrForcestall | kCsrStallsent | kCsrDtgle), 0u);
    // The host starts over with DATA0 as well. Two packets fill bank 0,
    // then bank 1, before the monitor looks: it takes bank 0 first.
    const uint8_t ab[] = {'a', 'b'}, c[] = {'c'};
    ASSERT_EQ(h.chip.Usb().Out(3, 1, ab, 2, 0, nullptr, h.Tick()), Handshake::kAck);
    ASSERT_EQ(h.chip.Usb().Out(3, 1, c, 1, 1, nullptr, h.Tick()), Handshake::kAck);
    EXPECT_EQ(Csr(h.chip, 1) & (kCsrRxDataBk0 | kCsrRxDataBk1), kCsrRxDataBk0 | kCsrRxDataBk1);
    h.Serve();
    EXPECT_EQ(Text(h.received), "zabc");
    EXPECT_EQ(h.chip.Usb().Stats().repeats_dropped, 0u);
    h.ExpectClean();
}

TEST(RomUsbControl, DescriptorsComeFromTheRomRegion) {
    RawHost h;
    // A configuration of 16 bytes in the ROM: two full packets, and a
    // zero-length one when more was asked for.
    const std::vector<uint8_t> small = {9, 2, 16, 0, 1, 1, 0, 0x80, 50, 7, 5, 0x81, 2, 64, 0, 0};
    h.chip.WriteRom(kRomConfigDescriptor - kRomBase, small.data(), small.size());
    std::vector<uint8_t> device = DeviceDescriptor();
    device[10] = 0x34;  // another product id
    h.chip.WriteRom(kRomDeviceDescriptor - kRomBase, device.data(), device.size());
    struct Row {
        std::array<uint8_t, 8> setup;
        std::vector<uint8_t> data;
        int packets;
    };
    const Row rows[] = {
        {Request(0x80, 6, 0x0100, 0, 64), device, 3},
        {Request(0x80, 6, 0x0200, 0, 255), small, 3},
        {Request(0x80, 6, 0x0200, 0, 16), small, 2},
        {Request(0x80, 6, 0x0200, 0, 9), Head(small, 9), 2},
    };
    for (const Row& row : rows) {
        const RawHost::Result result = h.Control(row.setup);
        EXPECT_EQ(result.handshake, Handshake::kAck);
        EXPECT_EQ(result.data, row.data);
        EXPECT_EQ(result.packets, row.packets);
    }
    h.ExpectClean();
}

}  // namespace
}  // namespace sim
