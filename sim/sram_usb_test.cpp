// The SRAM monitor image (applet/images/sram_monitor.bin) on the instrument's
// USB link, in chip time: the ROM monitor enumerates and takes the image with
// S, G starts it, and from then on the emulated monitor serves the port that
// the PC's CDC driver model keeps talking to, frame by frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "sim/chip/chip.h"
#include "sim/host/cdc_host.h"
#include "sim/host/usb_test_bus.h"
#include "sim/rom/rom_monitor.h"
#include "sim/rom/rom_usb.h"
#include "sim/rom/usb_descriptors.h"
#include "target/applet.h"

namespace sim {
namespace {

constexpr uint32_t kMonitorBase = 0x00200000;
constexpr uint32_t kScratch = 0x00203000;  // test data and code, in the applets' area
constexpr uint32_t kChunk = FLASH_APPLET_BUFSIZE;

std::vector<uint8_t> ReadImage(const char* name) {
    std::ifstream in(std::string(QUILLMERE_SOURCE_DIR) + "/applet/images/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Hex8(uint32_t v) {
    char text[9];
    snprintf(text, sizeof text, "%08X", v);
    return text;
}

std::string Le(uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

std::string Pattern(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<char>(x >> 16);
    }
    return out;
}

std::string W(uint32_t address, uint32_t value) { return "W" + Hex8(address) + "," + Hex8(value) + "#"; }
std::string R4(uint32_t address) { return "w" + Hex8(address) + ",4#"; }

// The program on the PC as a script of steps: each step hands its events to
// the driver, then waits for reply_len bytes of answer and for its own
// condition, before the next step begins. Bytes that reach the program are
// kept with the step during which they arrived.
class ScriptSide : public HostSide {
 public:
    struct Step {
        std::vector<HostEvent> events;
        size_t reply_len = 0;
        std::function<void()> begin;      // run when the step begins (may be empty)
        std::function<bool()> until;      // the step also waits for this (may be empty)
        std::string reply;
        size_t sent = 0;
        bool begun = false;
    };

    // One write of the program; returns the step's index.
    size_t Write(const std::string& bytes, size_t reply_len = 0) {
        Step step;
        for (size_t i = 0; i < bytes.size(); ++i) {
            HostEvent e;
            e.byte = static_cast<uint8_t>(bytes[i]);
            e.tag = steps_.size();
            e.unit_end = i + 1 == bytes.size();
            step.events.push_back(e);
        }
        step.reply_len = reply_len;
        written += bytes.size();
        return Add(std::move(step));
    }
    size_t Event(HostEvent::Kind kind, const LineCoding& coding = LineCoding()) {
        Step step;
        HostEvent e;
        e.kind = kind;
        e.coding = coding;
        step.events.push_back(e);
        return Add(std::move(step));
    }
    size_t Wait(std::function<void()> begin, std::function<bool()> until) {
        Step step;
        step.begin = std::move(begin);
        step.until = std::move(until);
        return Add(std::move(step));
    }
    size_t Add(Step step) {
        steps_.push_back(std::move(step));
        return steps_.size() - 1;
    }

    bool Finished() {
        Advance();
        return current_ >= steps_.size();
    }
    const std::string& Reply(size_t step) const { return steps_.at(step).reply; }
    size_t Current() const { return current_; }

    bool PeekEvent(HostEvent* event) override {
        Advance();
        if (current_ >= steps_.size() || steps_[current_].sent >= steps_[current_].events.size()) return false;
        *event = steps_[current_].events[steps_[current_].sent];
        return true;
    }
    void PopEvent() override { ++steps_[current_].sent; }
    bool MoreMayFollow() override { return false; }
    void Deliver(const uint8_t* data, const uint64_t*, size_t n) override {
        std::string& to = current_ < steps_.size() ? steps_[current_].reply : extra;
        to.append(reinterpret_cast<const char*>(data), n);
    }
    void DeviceGone(const char* why) override { gone = why; }

    std::string extra;   // bytes after the last step
    std::string gone;
    uint64_t written = 0;  // bytes of all writes in the script so far

 private:
    void Advance() {
        while (current_ < steps_.size()) {
            Step& s = steps_[current_];
            if (!s.begun) {
                s.begun = true;
                if (s.begin) s.begin();
            }
            if (s.sent < s.events.size() || s.reply.size() < s.reply_len || (s.until && !s.until())) return;
            ++current_;
        }
    }
    std::vector<Step> steps_;
    size_t current_ = 0;
};

// The debug serial unit's host side, for a monitor that leaves the USB link:
// it sends its bytes once the USB port is gone and collects the answer.
class SerialSide : public SerialLine {
 public:
    bool PollByte(uint8_t* byte) override {
        if (!Ready()) return false;
        *byte = static_cast<uint8_t>(send[sent_++]);
        return true;
    }
    bool WaitByte(int) override { return Ready(); }
    void SendByte(uint8_t byte) override { received.push_back(static_cast<char>(byte)); }
    bool Stopped() override { return stop && stop(); }

    std::function<bool()> active;  // the host sends only while this holds
    std::function<bool()> stop;    // the run ends once this holds
    std::string send;
    std::string received;

 private:
    bool Ready() const { return active && active() && sent_ < send.size(); }
    size_t sent_ = 0;
};

// The ROM monitor's USB line, with the debug unit wired to a serial side.
class RomLine : public UsbMonitorLine {
 public:
    RomLine(Chip* chip, BusClock* bus, RomDescriptorLayout layout, SerialSide* serial)
        : UsbMonitorLine(chip, bus, layout), serial_(serial) {}
    SerialLine* DebugUnitLine() override { return serial_; }

 private:
    SerialSide* serial_;
};

CdcHostOptions Driver(HostDriver driver, std::vector<std::string>* notes, std::vector<std::string>* requests,
                      std::function<void()> noted = nullptr) {
    CdcHostOptions o;
    o.driver = driver;
    o.log = [notes](const std::string& note) { notes->push_back("host: " + note); };
    o.note = [requests, noted](const std::string& note) {
        requests->push_back(note);
        if (noted) noted();
    };
    return o;
}

ChipOptions LoggingChip(std::vector<std::string>* notes) {
    ChipOptions o;
    o.log = [notes](const std::string& note) { notes->push_back("chip: " + note); };
    return o;
}

// Chip, port, the PC's driver and the ROM monitor on the USB line. The
// script's first steps open the port and start the SRAM monitor image.
struct Rig {
    explicit Rig(HostDriver driver = HostDriver::kLinux, RomDescriptorLayout layout = RomDescriptorLayout::kSheet)
        : chip(LoggingChip(&notes)),
          host(Driver(driver, &notes, &requests, [this] { request_times.push_back(chip.Now()); }), &chip.Usb(),
               &side),
          bus(&chip.Usb(), &host),
          line(&chip, &bus, layout, &serial),
          monitor(&chip, &line, "v2.0 Jan 01 2010") {
        InstallRomDescriptors(&chip, layout);
        chip.SetBus(&bus);
        line.Boot();
        LineCoding coding;
        coding.rate = 115200;
        side.Event(HostEvent::kOpen, coding);
        side.Write("N#", 2);
    }

    // The version-2 start as the tool makes it: the image with S, G, and T#
    // at once behind it.
    void StartMonitor() {
        const std::vector<uint8_t> image = ReadImage("sram_monitor.bin");
        side.Write("S00200000," + Hex8(static_cast<uint32_t>(image.size())) + "#");
        side.Write(std::string(image.begin(), image.end()));
        side.Write("G00200000#");
    }
    // The ROM monitor starts code that spins `ms` and then jumps to the SRAM
    // monitor, so that the host's next writes wait in the banks at takeover.
    void StartMonitorLate(uint32_t ms) {
        const std::vector<uint8_t> image = ReadImage("sram_monitor.bin");
        side.Write("S00200000," + Hex8(static_cast<uint32_t>(image.size())) + "#");
        side.Write(std::string(image.begin(), image.end()));
        // ldr r0, =n; 1: subs r0, r0, #1; bne 1b; ldr pc, =0x00200000
        const uint32_t code[] = {0xE59F0008u, 0xE2500001u, 0x1AFFFFFDu, 0xE59FF000u, ms * 48000 / 2, kMonitorBase};
        for (size_t i = 0; i < 6; ++i) side.Write(W(kScratch + 4 * static_cast<uint32_t>(i), code[i]));
        side.Write("G" + Hex8(kScratch) + "#");
    }
    // A step that waits until the device has taken every byte written so far.
    size_t WaitWritten() {
        const uint64_t bytes = side.written;
        return side.Wait(nullptr, [this, bytes] { return host.Stats().out_bytes >= bytes; });
    }
    // A control request of the test's own, as one script step.
    size_t Request(RawRequest* request) {
        return side.Wait([this, request] { bus.Start(request); }, [request] { return request->done; });
    }
    // Runs the script; the monitor never returns, so the run ends with it.
    void Run(uint64_t ms = 20000) {
        bus.done = [this] { return side.Finished(); };
        serial.stop = bus.done;
        bus.deadline = chip.Now() + ms * kFrameCycles;
        monitor.Serve();
        EXPECT_TRUE(side.Finished()) << "script stopped at step " << side.Current() << " after "
                                     << chip.Now() / kFrameCycles << " ms";
        EXPECT_EQ(side.extra, "");
    }
    // allowed: driver notes expected by the test (substrings).
    void ExpectClean(const std::vector<std::string>& allowed = {}) {
        const UsbPortStats& port = chip.Usb().Stats();
        EXPECT_EQ(port.lost_events, 0u);
        EXPECT_EQ(port.discipline_faults, 0u);
        EXPECT_EQ(port.txvc_writes, 0u);
        EXPECT_EQ(chip.Stats().pmc_writes, 0u);
        EXPECT_EQ(chip.Stats().txvc_writes, 0u);
        EXPECT_EQ(host.Stats().control_timed_out, 0u);
        EXPECT_EQ(host.Stats().control_unexpected, 0u);
        EXPECT_EQ(host.Stats().in_repeats_dropped, 0u);
        EXPECT_EQ(host.Stats().missing_zlp, 0u);
        EXPECT_EQ(port.repeats_dropped, 0u);
        EXPECT_TRUE(side.gone.empty()) << side.gone;
        for (const std::string& note : notes) {
            bool expected = false;
            for (const std::string& a : allowed) expected |= note.find(a) != std::string::npos;
            if (!expected) ADD_FAILURE() << note;
        }
    }
    uint32_t Word(uint32_t address) {
        uint32_t v = 0;
        EXPECT_TRUE(chip.Read32(address, &v));
        return v;
    }

    std::vector<std::string> notes;     // the chip's and the driver's log
    std::vector<std::string> requests;  // the driver's control requests and their outcome
    std::vector<uint64_t> request_times;  // chip time of each of them
    Chip chip;
    ScriptSide side;
    SerialSide serial;
    CdcHost host;
    TestBus bus;
    RomLine line;
    RomMonitor monitor;
};

// --- Takeover ------------------------------------------------------------------

// The tool's version-2 start: T# right behind G, answered within the short
// read budget, then frames as usual.
TEST(SramUsb, AnswersTheTerminalCheckAtOnceAfterItsStart) {
    Rig r;
    r.StartMonitor();
    r.WaitWritten();  // the write of G has returned: the tool's read budget starts
    uint64_t started = 0;
    r.side.Wait([&] { started = r.chip.Now(); }, nullptr);
    const size_t t = r.side.Write("T#", 3);
    uint64_t answered = 0;
    r.side.Wait([&] { answered = r.chip.Now(); }, nullptr);
    const size_t n = r.side.Write("N#", 2);
    const size_t v = r.side.Write("V#\n", 22);
    r.Run();
    EXPECT_EQ(r.side.Reply(t), "\n\r\n");
    // A question and its answer cost about a frame; the short profile's
    // first read waits 13 ms.
    EXPECT_LE(answered - started, 2 * kFrameCycles);
    EXPECT_EQ(r.side.Reply(n), "\n\r");
    EXPECT_EQ(r.side.Reply(v), "\n\rv1.0 SRAM monitor\n\r>");
    r.ExpectClean();
}

// The host's next writes already fill both OUT banks (and a third waits on
// NAK) when the monitor starts: they are served first, in order, whichever
// bank the toggles left first.
class SramUsbTakeover : public ::testing::TestWithParam<int> {};

TEST_P(SramUsbTakeover, ServesThePacketsWaitingInBothBanksFirst) {
    Rig r;
    for (int i = 0; i < GetParam(); ++i) r.side.Write("#\n");  // moves the banks and toggles on by one
    r.StartMonitorLate(3);
    uint64_t naks = 0;
    r.side.Wait([&] { naks = r.chip.Usb().Stats().out_naks; }, nullptr);
    r.side.Write("T#");
    r.side.Write("N#");
    const size_t last = r.side.Write("V#\n", 3 + 2 + 22);
    r.Run();
    EXPECT_EQ(r.side.Reply(last), "\n\r\n\n\r\n\rv1.0 SRAM monitor\n\r>");
    EXPECT_GT(r.chip.Usb().Stats().out_naks - naks, 10u);  // V# waited on NAK while both banks were full
    r.ExpectClean();
}

INSTANTIATE_TEST_SUITE_P(SramUsb, SramUsbTakeover, ::testing::Values(0, 1));

// --- Frames and their exact answers ------------------------------------------------

TEST(SramUsb, EveryFrameAndItsExactAnswer) {
    Rig r;
    const std::string data = Pattern(0x100, 7);
    r.StartMonitor();
    struct Row {
        std::string frame;
        std::string answer;
        uint64_t zero_length;  // zero-length packets that end the answer
    };
    const Row rows[] = {
        {"T#", "\n\r\n", 0},
        {W(kScratch, 0x00C0FFEE) + R4(kScratch), "0x00C0FFEE\n\r", 0},  // terminal mode: text
        {"o" + Hex8(kScratch) + ",4#", "0xEE\n\r", 0},
        {"V#\n", "\n\rv1.0 SRAM monitor\n\r>", 0},
        {"N#", "\n\r", 0},
        {"#\n\n\r" + R4(kScratch), Le(0x00C0FFEE), 0},  // line ends and an empty frame: no answer
        {"Wzz,1#" + R4(kScratch), Le(0x00C0FFEE), 0},   // a frame with another character: ignored
        {"W00203004,deadbeef#o00203007,4#", "\xDE", 0},
        {"H00203008,BEEF#O0020300B,7F#" + R4(0x00203008), Le(0x7F00BEEF), 0},
        {W(0x00203011, 0xA1B2C3D4) + "R00203010,00000006#", std::string("\x00\xD4\xC3\xB2\xA1\x00", 6), 0},
        {"S00203100,00000100#" + data + "R00203100,00000040#", data.substr(0, 64), 1},
        {"R00203110,00000080#", data.substr(0x10, 128), 1},
        {"R00203100,0000003F#", data.substr(0, 63), 0},
        {"R00203101,00000041#", data.substr(1, 65), 0},
        {"R00203100,00000100#", data, 1},
        {R4(0xFFFFF240), Le(0x272A0A40), 0},
        {"T#", "\n\r\n", 0},
    };
    std::vector<size_t> steps;
    uint64_t zero_length = 0, zero_length_before = 0;
    r.side.Wait([&] { zero_length_before = r.chip.Usb().Stats().zero_length_in; }, nullptr);
    for (const Row& row : rows) {
        steps.push_back(r.side.Write(row.frame, row.answer.size()));
        zero_length += row.zero_length;
    }
    r.Run();
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(r.side.Reply(steps[i]), rows[i].answer) << rows[i].frame.substr(0, 24);
    // A zero-length packet after each answer that fills its last packet, and
    // no other: the host's transfers end exactly with the answers.
    EXPECT_EQ(r.chip.Usb().Stats().zero_length_in - zero_length_before, zero_length);
    r.ExpectClean();
}

// An answer that fills its last packet reaches the program only with the
// zero-length packet after it; that packet follows at once in chip time, so
// the answer arrives within the frames its packets take, on either driver
// (Linux transfers of 128 bytes, Windows ones of 4096: a full packet that
// does not fill the transfer leaves it open).
class SramUsbFullLastPacket : public testing::TestWithParam<HostDriver> {};

TEST_P(SramUsbFullLastPacket, TheZeroLengthPacketFollowsAtOnce) {
    Rig r(GetParam());
    const std::string flash = Pattern(kChunk, 3);
    std::memcpy(r.chip.Flash().data(), flash.data(), flash.size());
    r.StartMonitor();
    r.side.Write("N#", 2);
    // One a transfer leaves open on both drivers, one that fills a Linux
    // transfer, one that fills a Windows transfer, a whole chunk.
    const uint32_t lengths[] = {64, 128, 4096, kChunk};
    struct Timed {
        size_t reply;
        uint64_t asked = 0, delivered = 0;
    };
    std::vector<Timed> timed(std::size(lengths));
    uint64_t zero_length_before = 0;
    r.side.Wait([&] { zero_length_before = r.chip.Usb().Stats().zero_length_in; }, nullptr);
    for (size_t i = 0; i < std::size(lengths); ++i) {
        r.side.Wait([&r, &timed, i] { timed[i].asked = r.chip.Now(); }, nullptr);
        timed[i].reply = r.side.Write("R" + Hex8(kFlashBase) + "," + Hex8(lengths[i]) + "#", lengths[i]);
        r.side.Wait([&r, &timed, i] { timed[i].delivered = r.chip.Now(); }, nullptr);
    }
    r.Run();
    for (size_t i = 0; i < std::size(lengths); ++i) {
        SCOPED_TRACE(lengths[i]);
        EXPECT_EQ(r.side.Reply(timed[i].reply), flash.substr(0, lengths[i]));
        // The frame's packet, the answer's packets at the bus's 19 a frame,
        // the frame end that delivers: a held transfer would take 10 frames
        // more, a late zero-length packet as long as it is late.
        const uint64_t frames = (timed[i].delivered - timed[i].asked) / kFrameCycles;
        EXPECT_LE(frames, lengths[i] / 64 / kSlotsPerFrame + 3);
    }
    EXPECT_EQ(r.chip.Usb().Stats().zero_length_in - zero_length_before, std::size(lengths));
    r.ExpectClean();
}

INSTANTIATE_TEST_SUITE_P(SramUsb, SramUsbFullLastPacket, ::testing::Values(HostDriver::kLinux, HostDriver::kWindows));

// G runs code while the host's next frame waits in the banks; on return the
// monitor serves it, and the applet session's write pass (S and its data,
// four W, G, the first w, sent at once) goes through while the applet writes.
TEST(SramUsb, WritePassBurstWhileTheAppletWrites) {
    Rig r;
    const std::vector<uint8_t> applet = ReadImage("flash_applet.bin");
    const std::string chunks[2] = {Pattern(kChunk, 100), Pattern(kChunk, 123)};
    const uint32_t offsets[2] = {0, 23 * kChunk};
    auto command = [&r](uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3) {
        r.side.Write(W(APPLET_MAILBOX, code));
        r.side.Write(W(APPLET_MAILBOX + 8, a1));
        r.side.Write(W(APPLET_MAILBOX + 12, a2));
        r.side.Write(W(APPLET_MAILBOX + 16, a3));
    };
    r.StartMonitor();
    r.side.Write("T#", 3);
    r.side.Write("N#", 2);
    r.side.Write("S00202000," + Hex8(static_cast<uint32_t>(applet.size())) + "#");
    r.side.Write(std::string(applet.begin(), applet.end()));
    command(APPLET_CMD_INIT, 0, 4, 0);
    r.side.Write("G00202000#");
    const size_t init = r.side.Write(R4(APPLET_MAILBOX), 4);
    for (uint32_t i = 1; i < 6; ++i) r.side.Write(R4(APPLET_MAILBOX + 4 * i), 4);
    command(APPLET_CMD_ERASE, 0, 0, 0);
    r.side.Write("G00202000#");
    const size_t erase = r.side.Write(R4(APPLET_MAILBOX + 4), 4);
    size_t written[2], read_back[2];
    for (int c = 0; c < 2; ++c) {
        r.side.Write("S00202AF4,00005400#");
        r.side.Write(chunks[c]);
        command(APPLET_CMD_WRITE, FLASH_APPLET_BUFFER, kChunk, offsets[c]);
        r.side.Write("G00202000#");
        written[c] = r.side.Write(R4(APPLET_MAILBOX), 4);
        r.side.Write(R4(APPLET_MAILBOX + 4), 4);
        r.side.Write(R4(APPLET_MAILBOX + 8), 4);
    }
    for (int c = 0; c < 2; ++c) {
        command(APPLET_CMD_READ, FLASH_APPLET_BUFFER, kChunk, offsets[c]);
        r.side.Write("G00202000#");
        r.side.Write(R4(APPLET_MAILBOX), 4);
        read_back[c] = r.side.Write("R00202AF4,000053FF#", kChunk - 1);
        r.side.Write("o00207EF3,4#", 1);
    }
    r.Run(60000);

    const uint32_t expect_init[6] = {0xFFFFFFFF, 0, 0x00080000, 0x00202AF4, 0x00005400, 0x00204000};
    for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(r.side.Reply(init + i), Le(expect_init[i])) << "init word " << i;
    EXPECT_EQ(r.side.Reply(erase), Le(0));
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE("chunk at " + Hex8(offsets[c]));
        EXPECT_EQ(r.side.Reply(written[c]), Le(0xFFFFFFFD));
        EXPECT_EQ(r.side.Reply(written[c] + 1), Le(0));
        EXPECT_EQ(r.side.Reply(written[c] + 2), Le(kChunk));
        EXPECT_TRUE(std::equal(chunks[c].begin(), chunks[c].end(), r.chip.Flash().begin() + offsets[c],
                               [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
        EXPECT_EQ(r.side.Reply(read_back[c]) + r.side.Reply(read_back[c] + 1), chunks[c]);
    }
    r.ExpectClean();
}

// --- Endpoint 0 ---------------------------------------------------------------------

// Requests of the test's own between frames: the standard and CDC requests
// answered, STALL for anything else, and the next request served normally.
TEST(SramUsb, RequestsOnEndpointZeroBetweenFrames) {
    Rig r;
    r.StartMonitor();
    r.side.Write("T#", 3);
    const std::vector<uint8_t> device = DeviceDescriptor(), config = ConfigurationDescriptor();
    const uint8_t self_powered = (config[7] & 0x40) ? 1 : 0;
    const std::vector<uint8_t> coding = {0x80, 0x25, 0x00, 0x00, 0x00, 0x02, 0x07};  // 9600 7E1
    struct Row {
        const char* what;
        RawRequest request;
        bool stalled;
        std::vector<uint8_t> answer;
        bool frame_after = true;  // a frame follows (not while the bulk OUT endpoint is halted)
    };
    std::vector<Row> rows = {
        {"device descriptor", RawRequest::Make(0x80, 6, 0x0100, 0, 64), false, device},
        {"configuration head", RawRequest::Make(0x80, 6, 0x0200, 0, 9), false, {config.begin(), config.begin() + 9}},
        {"configuration", RawRequest::Make(0x80, 6, 0x0200, 0, 255), false, config},
        {"string descriptor", RawRequest::Make(0x80, 6, 0x0300, 0, 255), true, {}},
        {"configuration value", RawRequest::Make(0x80, 8, 0, 0, 1), false, {1}},
        {"device status", RawRequest::Make(0x80, 0, 0, 0, 2), false, {self_powered, 0}},
        {"interface status", RawRequest::Make(0x81, 0, 0, 0, 2), false, {0, 0}},
        {"bulk OUT status", RawRequest::Make(0x82, 0, 0, 0x01, 2), false, {0, 0}},
        {"halt bulk OUT", RawRequest::Make(0x02, 3, 0, 0x01, 0), false, {}, false},
        {"bulk OUT halted", RawRequest::Make(0x82, 0, 0, 0x01, 2), false, {1, 0}, false},
        {"clear bulk OUT halt", RawRequest::Make(0x02, 1, 0, 0x01, 0), false, {}},
        {"bulk OUT running", RawRequest::Make(0x82, 0, 0, 0x01, 2), false, {0, 0}},
        {"halt of endpoint 0", RawRequest::Make(0x02, 3, 0, 0x00, 0), true, {}},
        {"vendor request", RawRequest::Make(0x40, 0x55, 1, 2, 0), true, {}},
        {"vendor read", RawRequest::Make(0xC0, 0x55, 1, 2, 4), true, {}},
        {"vendor write", RawRequest::Make(0x40, 0x56, 1, 2, 4, {1, 2, 3, 4}), true, {}},
        {"GET_INTERFACE", RawRequest::Make(0x81, 10, 0, 0, 1), true, {}},
        {"line coding as opened", RawRequest::Make(0xA1, 0x21, 0, 0, 7), false, {0x00, 0xC2, 0x01, 0, 0, 0, 8}},
        {"SET_LINE_CODING", RawRequest::Make(0x21, 0x20, 0, 0, 7, coding), false, {}},
        {"line coding as set", RawRequest::Make(0xA1, 0x21, 0, 0, 7), false, coding},
        {"SET_CONTROL_LINE_STATE", RawRequest::Make(0x21, 0x22, 3, 0, 0), false, {}},
    };
    std::vector<size_t> frames;
    for (Row& row : rows) {
        r.Request(&row.request);
        frames.push_back(row.frame_after ? r.side.Write("V#\n", 22) : SIZE_MAX);
    }
    r.Run();
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].what);
        EXPECT_TRUE(rows[i].request.done);
        EXPECT_EQ(rows[i].request.stalled, rows[i].stalled);
        EXPECT_FALSE(rows[i].request.bad_toggle);
        EXPECT_EQ(rows[i].request.in, rows[i].answer);
        if (frames[i] != SIZE_MAX) {
            EXPECT_EQ(r.side.Reply(frames[i]), "\n\rv1.0 SRAM monitor\n\r>");
        }
    }
    r.ExpectClean();
}

// The Windows driver's open clears the halt of both bulk endpoints (their
// toggles back to DATA0) in the middle of a session, and a halt the host
// meets on a write is cleared by the driver itself; no byte is lost.
TEST(SramUsb, ClearFeatureInTheMiddleOfASession) {
    Rig r(HostDriver::kWindows);
    r.StartMonitor();
    r.side.Write("T#", 3);
    r.side.Write("N#", 2);
    size_t before = 0;
    r.side.Wait([&r, &before] { before = r.requests.size(); }, nullptr);
    const std::string data = Pattern(3000, 9);
    r.side.Write("S00203000,00000BB8#");
    r.side.Write(data);
    r.side.Event(HostEvent::kClose);
    LineCoding coding;
    coding.rate = 115200;
    r.side.Event(HostEvent::kOpen, coding);
    const size_t back = r.side.Write("R00203000,00000BB8#", data.size());
    RawRequest halt = RawRequest::Make(0x02, 3, 0, 0x01, 0);
    r.Request(&halt);
    const size_t after = r.side.Write(R4(0x00203000), 4);  // meets the STALL; the driver clears it
    r.Run();
    EXPECT_EQ(r.side.Reply(back), data);
    EXPECT_TRUE(halt.done && !halt.stalled);
    EXPECT_EQ(r.side.Reply(after), data.substr(0, 4));
    // Both at the new open, the bulk OUT one again after the STALL.
    const std::vector<std::string> cleared(r.requests.begin() + before, r.requests.end());
    EXPECT_EQ(std::count(cleared.begin(), cleared.end(), "CLEAR_FEATURE ENDPOINT_HALT 0x01 ok"), 2);
    EXPECT_EQ(std::count(cleared.begin(), cleared.end(), "CLEAR_FEATURE ENDPOINT_HALT 0x82 ok"), 1);
    EXPECT_EQ(r.host.Stats().control_stalled, 0u);
    r.ExpectClean({"stalled: clearing the halt"});
}

// A clear-halt of the bulk IN endpoint between answers, with the last
// answer's TXCOMP still set, then answers long enough that the monitor fills
// its second bank while the host has not yet taken the first: the leftover
// TXCOMP must not read as that first packet taken.
TEST(SramUsb, ClearHaltOfTheInEndpointBetweenAnswers) {
    for (const HostDriver driver : {HostDriver::kLinux, HostDriver::kWindows}) {
        SCOPED_TRACE(driver == HostDriver::kLinux ? "Linux" : "Windows");
        Rig r(driver);
        const std::string data = Pattern(3000, 21);
        r.StartMonitor();
        r.side.Write("T#", 3);
        r.side.Write("N#", 2);
        r.side.Write("S00203000,00000BB8#");
        r.side.Write(data);
        std::vector<RawRequest> clears(3, RawRequest::Make(0x02, 1, 0, 0x82, 0));
        std::vector<size_t> answers;
        for (RawRequest& clear : clears) {
            r.side.Write(R4(0x00203000), 4);
            r.Request(&clear);
            answers.push_back(r.side.Write("R00203000,00000BB8#", data.size()));
        }
        r.Run();
        for (size_t i = 0; i < clears.size(); ++i) {
            EXPECT_TRUE(clears[i].done && !clears[i].stalled);
            EXPECT_EQ(r.side.Reply(answers[i]), data) << "answer " << i;
        }
        r.ExpectClean();
    }
}

// --- Bus reset ------------------------------------------------------------------------

// After a bus reset the monitor enumerates again with the boot monitor's
// descriptors, which it finds in the boot ROM, wherever the bulk endpoints
// lie; the port comes back under the same name and frames go on.
class SramUsbLayout : public ::testing::TestWithParam<RomDescriptorLayout> {};

TEST_P(SramUsbLayout, BusResetAndTheNewEnumeration) {
    Rig r(HostDriver::kLinux, GetParam());
    r.StartMonitor();
    r.side.Write("T#", 3);
    r.side.Write("N#", 2);
    r.side.Write(W(kScratch, 0x600DCAFE));
    r.side.Event(HostEvent::kBusReset);
    r.side.Wait(nullptr, [&r] { return r.host.Stats().enumerations == 2 && r.host.Configured(); });
    const size_t word = r.side.Write(R4(kScratch), 4);
    const size_t version = r.side.Write("V#\n", 22);
    r.Run();
    EXPECT_EQ(r.side.Reply(word), Le(0x600DCAFE));
    EXPECT_EQ(r.side.Reply(version), "\n\rv1.0 SRAM monitor\n\r>");
    EXPECT_EQ(r.host.Stats().bus_resets, 2u);
    EXPECT_EQ(r.chip.Usb().Stats().bus_resets, 2u);
    EXPECT_EQ(r.host.DeviceDescriptor(), DeviceDescriptor());
    EXPECT_EQ(r.host.ConfigurationDescriptor(), ConfigurationDescriptor(GetParam()));
    r.ExpectClean();
}

INSTANTIATE_TEST_SUITE_P(SramUsb, SramUsbLayout,
                         ::testing::Values(RomDescriptorLayout::kSheet, RomDescriptorLayout::kSwapped));

// Boot ROM contents for the search: code words, with byte pairs that begin
// like a device (0x12 0x01) or configuration (0x09 0x02) descriptor inside
// them but are none, before and after a standard CDC ACM function's
// descriptors (a communication interface with header, call management, ACM
// and union descriptors and an interrupt endpoint; a data interface with two
// bulk endpoints) placed at addresses drawn from seed. last: both tables at
// the end of the ROM region, so that the search reads all of it.
void InstallScatteredDescriptors(Chip* chip, uint32_t seed, bool last) {
    const std::vector<uint8_t> device = DeviceDescriptor(), config = ConfigurationDescriptor();
    std::vector<uint8_t> rom(0x10000);
    uint32_t x = seed * 2654435761u + 7;
    auto next = [&x] { return x = x * 1103515245u + 12345u; };
    for (size_t i = 0; i < rom.size(); i += 4) {
        // Data processing and load/store words with varied operands.
        const uint32_t word = 0xE0000000u | (next() >> 4 & 0x0FFFFFFFu);
        for (int b = 0; b < 4; ++b) rom[i + static_cast<size_t>(b)] = static_cast<uint8_t>(word >> (8 * b));
    }
    // Look-alikes: a device descriptor with 64-byte packets on endpoint 0 and
    // one with no configuration; configuration heads whose length runs past
    // the ROM or is not covered by what follows.
    const std::vector<std::vector<uint8_t>> decoys = {
        {0x12, 0x01, 0x00, 0x02, 0x02, 0x00, 0x00, 0x40},
        {0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {0x09, 0x02, 0xFF, 0xFF, 0x02, 0x01, 0x00, 0x80, 0x32},
        {0x09, 0x02, 0x43, 0x00, 0x02, 0x01, 0x00, 0x80, 0x32, 0x09, 0x04, 0x00, 0x00, 0x05},
    };
    auto put = [&rom](uint32_t at, const std::vector<uint8_t>& bytes) {
        std::copy(bytes.begin(), bytes.end(), rom.begin() + at);
    };
    const uint32_t span = 0x10000 - 0x400;
    const uint32_t device_at = last ? 0x10000 - 0x200 : 0x800 + next() % (span / 2) / 4 * 4 + 1;
    const uint32_t config_at = last ? 0x10000 - static_cast<uint32_t>(config.size()) - 16
                                    : span / 2 + next() % (span / 2 - 0x100) + 2;
    for (uint32_t at = 0x100; at + 0x100 < 0x10000; at += 0x7F3) {
        if ((at > device_at - 0x40 && at < device_at + 0x40) || (at > config_at - 0x80 && at < config_at + 0x80))
            continue;
        put(at, decoys[at % decoys.size()]);
    }
    put(device_at - 20, decoys[0]);
    put(config_at - 40, decoys[3]);
    put(device_at, device);
    put(config_at, config);
    if (!last) put(config_at + static_cast<uint32_t>(config.size()) + 3, decoys[2]);
    chip->WriteRom(0, rom.data(), rom.size());
}

// The moments a bus reset is worst for a monitor that looks for its
// descriptors between frames: just after an answer (the search has just
// begun), and while code started with G runs and the host's next frame
// waits in the banks (the search has not begun; the reset drops the frame).
enum class ResetMoment { kAfterAnswer, kFrameInBanks };
struct ResetCase {
    HostDriver driver;
    ResetMoment moment;
    bool scattered;  // the descriptors at random ROM addresses among look-alikes
    uint32_t seed;
};

class SramUsbResetMoment : public ::testing::TestWithParam<ResetCase> {};

// The host's first request comes 10 ms after the reset: the monitor answers
// it, the enumeration completes at the first try with the same descriptors,
// and frames go on.
TEST_P(SramUsbResetMoment, EnumeratesAtTheFirstTry) {
    const ResetCase c = GetParam();
    Rig r(c.driver, c.scattered ? RomDescriptorLayout::kNone : RomDescriptorLayout::kSheet);
    if (c.scattered) InstallScatteredDescriptors(&r.chip, c.seed, false);
    r.StartMonitor();
    r.side.Write("T#", 3);
    if (c.moment == ResetMoment::kFrameInBanks) {
        // ldr r0, =n; 1: subs r0, r0, #1; bne 1b; bx lr: 3 ms. The frame
        // behind its G waits in the banks.
        const uint32_t code[] = {0xE59F0008u, 0xE2500001u, 0x1AFFFFFDu, 0xE12FFF1Eu, 3 * 48000 / 4};
        for (size_t i = 0; i < 5; ++i) r.side.Write(W(kScratch + 4 * static_cast<uint32_t>(i), code[i]));
        r.side.Write("G" + Hex8(kScratch) + "#");
        r.side.Write("N#");  // lost with the banks
        r.WaitWritten();
    }
    r.side.Event(HostEvent::kBusReset);
    r.side.Wait(nullptr, [&r] { return r.host.Stats().enumerations == 2 && r.host.Configured(); });
    const size_t t = r.side.Write("T#", 3);
    const size_t v = r.side.Write("V#\n", 22);
    r.Run();
    EXPECT_EQ(r.side.Reply(t), "\n\r\n");
    EXPECT_EQ(r.side.Reply(v), "\n\rv1.0 SRAM monitor\n\r>");
    const CdcHostStats& host = r.host.Stats();
    EXPECT_EQ(host.unanswered, 0u);
    EXPECT_EQ(host.enumeration_unanswered, 0u);
    EXPECT_EQ(host.enumeration_retries, 0u);
    EXPECT_EQ(host.bus_resets, 2u);
    EXPECT_EQ(r.host.DeviceDescriptor(), DeviceDescriptor());
    EXPECT_EQ(r.host.ConfigurationDescriptor(), ConfigurationDescriptor());
    // At address 0 within microseconds of the reset's end (the monitor was
    // spinning in code of its own at most until the reset began).
    EXPECT_LT(r.chip.Usb().Stats().reset_answer_cycles, 48u * 50) << r.chip.Usb().Stats().reset_answer_cycles;
    r.ExpectClean();
}

INSTANTIATE_TEST_SUITE_P(
    SramUsb, SramUsbResetMoment,
    ::testing::Values(ResetCase{HostDriver::kLinux, ResetMoment::kAfterAnswer, false, 0},
                      ResetCase{HostDriver::kWindows, ResetMoment::kAfterAnswer, false, 0},
                      ResetCase{HostDriver::kLinux, ResetMoment::kFrameInBanks, false, 0},
                      ResetCase{HostDriver::kWindows, ResetMoment::kFrameInBanks, false, 0},
                      ResetCase{HostDriver::kLinux, ResetMoment::kAfterAnswer, true, 1},
                      ResetCase{HostDriver::kWindows, ResetMoment::kFrameInBanks, true, 2},
                      ResetCase{HostDriver::kLinux, ResetMoment::kFrameInBanks, true, 3},
                      ResetCase{HostDriver::kWindows, ResetMoment::kAfterAnswer, true, 4}),
    [](const ::testing::TestParamInfo<ResetCase>& p) {
        const ResetCase& c = p.param;
        return std::string(c.driver == HostDriver::kLinux ? "Linux" : "Windows") +
               (c.moment == ResetMoment::kAfterAnswer ? "AfterAnAnswer" : "FrameInTheBanks") +
               (c.scattered ? "ScatteredDescriptors" + std::to_string(c.seed) : "");
    });

// The search's chip time, with both descriptors at the end of the boot ROM:
// a bus reset right after the first answer leaves nearly all of it for the
// reset, and the host's first request waits in endpoint 0 until it ends.
// Between frames the search costs an answer no more than one step.
TEST(SramUsb, DescriptorSearchTimeInChipTime) {
    Rig r(HostDriver::kLinux, RomDescriptorLayout::kNone);
    InstallScatteredDescriptors(&r.chip, 5, true);
    r.StartMonitor();
    r.side.Write("T#", 3);
    r.side.Event(HostEvent::kBusReset);
    r.side.Wait(nullptr, [&r] { return r.host.Stats().enumerations == 2 && r.host.Configured(); });
    r.Run();
    size_t reset = 0, answer = 0;
    for (size_t i = 0; i < r.requests.size(); ++i) {
        if (r.requests[i] == "bus reset") reset = i;
        if (reset && !answer && r.requests[i].rfind("GET_DESCRIPTOR device", 0) == 0) answer = i;
    }
    ASSERT_GT(answer, reset);
    const uint64_t reset_end = r.request_times[reset] + kResetCycles;
    const double search_ms = static_cast<double>(r.request_times[answer] - reset_end) / kFrameCycles;
    std::printf("descriptor search over the whole boot ROM: %.1f ms of chip time; answering at address 0 "
                "%.1f us after the reset\n", search_ms, r.chip.Usb().Stats().reset_answer_cycles / 48.0);
    EXPECT_GT(search_ms, 10.0);  // longer than the reset recovery: the request did wait
    EXPECT_LT(search_ms, 60.0);
    EXPECT_EQ(r.host.Stats().enumeration_retries, 0u);
    EXPECT_EQ(r.host.Stats().unanswered, 0u);
    r.ExpectClean();
}

// Without descriptors in the boot ROM the monitor cannot enumerate again
// after a bus reset: endpoint 0 stays off, the host's enumeration fails, and
// the monitor goes on serving the debug serial unit.
TEST(SramUsb, WithoutDescriptorsABusResetLeavesTheDebugUnit) {
    Rig r(HostDriver::kLinux, RomDescriptorLayout::kNone);
    r.StartMonitor();
    const size_t t = r.side.Write("T#", 3);
    r.side.Event(HostEvent::kBusReset);
    r.serial.active = [&r] { return !r.side.gone.empty(); };
    r.serial.send = "T#N#" + R4(0xFFFFF240);
    r.side.Wait(nullptr, [&r] { return r.serial.received.size() >= 3 + 2 + 4; });
    r.bus.run_when_gone = true;
    r.Run();
    EXPECT_EQ(r.side.Reply(t), "\n\r\n");
    EXPECT_NE(r.side.gone.find("enumeration failed"), std::string::npos) << r.side.gone;
    EXPECT_EQ(r.serial.received, "\n\r\n\n\r" + Le(0x272A0A40));
    EXPECT_EQ(r.host.Stats().enumerations, 1u);
    uint32_t csr0 = 0;
    ASSERT_TRUE(r.chip.Read32(kUsbBase + kUsbCsr0, &csr0));
    EXPECT_EQ(csr0 & kCsrEpeds, 0u);  // endpoint 0 left off: the host's requests got no answer
    EXPECT_GT(r.host.Stats().unanswered, 0u);
    EXPECT_EQ(r.chip.Usb().Stats().lost_events, 0u);
    EXPECT_EQ(r.chip.Usb().Stats().discipline_faults, 0u);
}

}  // namespace
}  // namespace sim
