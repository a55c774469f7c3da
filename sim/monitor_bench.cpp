// Benchmark (not a test): the boot monitors on the USB link with the PC's
// CDC driver model, in chip time. The SRAM monitor image: one chunk's S data
// (21,504 bytes) and one R answer (21,503 bytes), each beside its bus time,
// and the monitor's own cycles per byte (chip time it did not spend waiting
// for the bus); for both monitor versions one chunk of the read-back pass as
// the tool sends it. Chip time does not depend on the machine's load.
#include <cstdio>
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

namespace {

constexpr uint32_t kApplet = 0x00202000;
constexpr uint32_t kMailbox = 0x00202004;
constexpr uint32_t kBuffer = 0x00202AF4;
constexpr uint32_t kChunk = 0x5400;

std::vector<uint8_t> ReadImage(const char* name) {
    std::string path = std::string(QUILLMERE_SOURCE_DIR) + "/applet/images/" + name;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (image.empty()) std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return image;
}

// The bus of the USB rig, adding up the chip time that code spent only
// waiting for it (the bus moved chip time on to its next event). Its Now()
// is the chip time the bus is being run up to, so that what the driver does
// meanwhile is marked within one bus event of when it happens.
class WaitCountingBus : public sim::BusClock {
 public:
    explicit WaitCountingBus(sim::BusClock* bus) : bus_(bus) {}
    uint64_t NextEventAt(uint64_t now) override { return bus_->NextEventAt(now); }
    void AdvanceTo(uint64_t now) override {
        if (now > now_) now_ = now;
        bus_->AdvanceTo(now);
        if (after) after();
    }
    uint64_t Idle(uint64_t now) override {
        uint64_t next = NextEventAt(now);
        if (next == UINT64_MAX || next <= now) next = now + sim::kFrameCycles;
        waited += next - now;
        AdvanceTo(next);
        return next;
    }
    bool Stopped() override { return bus_->Stopped(); }
    uint64_t Now() const { return now_; }

    uint64_t waited = 0;
    std::function<void()> after;  // run after each advance of the bus

 private:
    sim::BusClock* bus_;
    uint64_t now_ = 0;
};

// The program on the PC as steps: each is one write and the bytes of answer
// it waits for before the next step begins. Chip time and waited time are
// kept when a step begins, when the port has taken its last byte, and when
// its answer is complete.
class StepSide : public sim::HostSide {
 public:
    struct Mark {
        uint64_t at = 0, waited = 0;
        bool set = false;
    };
    struct Step {
        std::string bytes;
        size_t reply_len = 0;
        uint64_t pause = 0;    // chip time the step waits after its begin
        uint64_t written = 0;  // bytes of all writes up to this one's end
        size_t sent = 0;
        std::string reply;
        Mark begun, taken, answered;
    };

    // The clock and the driver the marks are read from; both must outlive the side.
    void Watch(const WaitCountingBus* bus, const sim::CdcHost* host) {
        bus_ = bus;
        host_ = host;
    }
    size_t Write(const std::string& bytes, size_t reply_len = 0) {
        Step step;
        step.bytes = bytes;
        step.reply_len = reply_len;
        step.written = (steps_.empty() ? 0 : steps_.back().written) + bytes.size();
        steps_.push_back(step);
        return steps_.size() - 1;
    }
    // A step that only lets chip time pass.
    void Pause(uint64_t cycles) {
        Write("");
        steps_.back().pause = cycles;
    }
    const Step& At(size_t i) const { return steps_.at(i); }
    bool Finished() {
        Advance();
        return current_ >= steps_.size();
    }

    bool PeekEvent(sim::HostEvent* event) override {
        if (!opened_) {
            event->kind = sim::HostEvent::kOpen;
            event->coding.rate = 115200;
            return true;
        }
        Advance();
        if (current_ >= steps_.size() || steps_[current_].sent >= steps_[current_].bytes.size()) return false;
        Step& s = steps_[current_];
        Note(&s.begun);
        event->kind = sim::HostEvent::kData;
        event->byte = static_cast<uint8_t>(s.bytes[s.sent]);
        event->tag = current_;
        event->unit_end = s.sent + 1 == s.bytes.size();
        return true;
    }
    void PopEvent() override {
        if (!opened_)
            opened_ = true;
        else
            ++steps_[current_].sent;
    }
    bool MoreMayFollow() override { return false; }
    void Deliver(const uint8_t* data, const uint64_t*, size_t n) override {
        if (current_ < steps_.size()) steps_[current_].reply.append(reinterpret_cast<const char*>(data), n);
        Advance();
    }
    void DeviceGone(const char* why) override { std::fprintf(stderr, "port gone: %s\n", why); }

 private:
    void Note(Mark* m) const {
        if (m->set) return;
        m->set = true;
        m->at = bus_->Now();
        m->waited = bus_->waited;
    }
    void Advance() {
        while (current_ < steps_.size()) {
            Step& s = steps_[current_];
            if (s.bytes.empty()) Note(&s.begun);
            if (s.sent < s.bytes.size() || bus_->Now() < s.begun.at + s.pause) return;
            if (host_->Stats().out_bytes >= s.written) Note(&s.taken);
            if (!s.taken.set || s.reply.size() < s.reply_len) return;
            Note(&s.answered);
            ++current_;
        }
    }
    const WaitCountingBus* bus_ = nullptr;
    const sim::CdcHost* host_ = nullptr;
    std::vector<Step> steps_;
    size_t current_ = 0;
    bool opened_ = false;
};

std::string Hex8(uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

void PrintPath(const char* what, const StepSide::Mark& from, const StepSide::Mark& to, uint64_t bytes,
               uint64_t packets) {
    const uint64_t elapsed = to.at - from.at, own = elapsed - (to.waited - from.waited);
    std::printf("  %s: %.2f ms chip time, bus time %.2f ms (%llu packets at 19 a frame); the monitor's own "
                "%.1f cycles a byte\n",
                what, elapsed / 48000.0, packets * sim::kSlotCycles / 48000.0,
                static_cast<unsigned long long>(packets), static_cast<double>(own) / bytes);
}

std::string W(uint32_t address, uint32_t value) { return "W" + Hex8(address) + "," + Hex8(value) + "#"; }
std::string Read4(uint32_t address) { return "w" + Hex8(address) + ",4#"; }

// One monitor on the USB link with the PC's CDC driver model, in chip time:
// version 2 is the SRAM monitor image started as the tool starts it (S, G,
// T#), version 1 the ROM monitor itself. Then the flash applet, one chunk of
// S data into its buffer, one R answer of a chunk less a byte, and one chunk
// of the read-back pass as the tool sends it (the read command's four W, G,
// three w, R, o).
int UsbPaths(bool version2) {
    const std::vector<uint8_t> monitor_image = ReadImage("sram_monitor.bin");
    const std::vector<uint8_t> applet = ReadImage("flash_applet.bin");
    if (monitor_image.empty() || applet.empty()) return 1;
    sim::Chip chip{sim::ChipOptions{}};
    StepSide side;
    sim::CdcHost host(sim::CdcHostOptions{}, &chip.Usb(), &side);
    sim::TestBus bus(&chip.Usb(), &host);
    WaitCountingBus clock(&bus);
    side.Watch(&clock, &host);
    clock.after = [&side] { side.Finished(); };
    sim::UsbMonitorLine line(&chip, &clock, sim::RomDescriptorLayout::kSheet);
    sim::RomMonitor rom(&chip, &line, version2 ? "v2.0 Jan 01 2010" : "v1.4 Nov 10 2006");
    sim::InstallRomDescriptors(&chip, sim::RomDescriptorLayout::kSheet);
    chip.SetBus(&clock);
    line.Boot();

    std::string data(kChunk, '\0');
    uint32_t x = 11;
    for (char& b : data) b = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    auto command = [&side](uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3) {
        const size_t first = side.Write(W(kMailbox, code));
        side.Write(W(kMailbox + 8, a1));
        side.Write(W(kMailbox + 12, a2));
        side.Write(W(kMailbox + 16, a3));
        side.Write("G" + Hex8(kApplet) + "#");
        return first;
    };
    side.Write("N#", 2);
    if (version2) {
        side.Write("S00200000," + Hex8(static_cast<uint32_t>(monitor_image.size())) + "#");
        side.Write(std::string(monitor_image.begin(), monitor_image.end()));
        side.Write("G00200000#");
        side.Write("T#", 3);
        side.Write("N#", 2);
    }
    side.Write("S" + Hex8(kApplet) + "," + Hex8(static_cast<uint32_t>(applet.size())) + "#");
    side.Write(std::string(applet.begin(), applet.end()));
    command(0, 4, 0, 0);
    side.Write(Read4(kMailbox), 4);
    // Long enough for the SRAM monitor's search for the descriptors, which
    // runs while it waits for the host, to end as it does early in a session.
    side.Pause(100 * sim::kFrameCycles);
    side.Write("S" + Hex8(kBuffer) + "," + Hex8(kChunk) + "#");
    const size_t s_data = side.Write(data);
    const size_t check = side.Write("o" + Hex8(kBuffer + kChunk - 1) + ",4#", 1);
    const size_t r = side.Write("R" + Hex8(kBuffer) + "," + Hex8(kChunk - 1) + "#", kChunk - 1);
    const size_t chunk_first = command(3, kBuffer, kChunk, 0);
    for (uint32_t i = 0; i < 3; ++i) side.Write(Read4(kMailbox + 4 * i), 4);
    const size_t chunk_r = side.Write("R" + Hex8(kBuffer) + "," + Hex8(kChunk - 1) + "#", kChunk - 1);
    const size_t chunk_last = side.Write("o" + Hex8(kBuffer + kChunk - 1) + ",4#", 1);
    bus.done = [&side] { return side.Finished(); };
    bus.deadline = 60000 * sim::kFrameCycles;
    rom.Serve();
    const std::string flash(chip.Flash().begin(), chip.Flash().begin() + kChunk - 1);
    if (!side.Finished() || side.At(check).reply != data.substr(kChunk - 1) ||
        side.At(r).reply != data.substr(0, kChunk - 1) || side.At(chunk_r).reply != flash) {
        std::fprintf(stderr, "the monitor's session did not complete as expected\n");
        return 1;
    }
    const StepSide::Mark &from = side.At(chunk_first).begun, &to = side.At(chunk_last).answered;
    if (version2) {
        std::printf("SRAM monitor on USB, in chip time:\n");
        PrintPath("S data, 21,504 bytes, until the port took the last packet", side.At(s_data).begun,
                  side.At(s_data).taken, kChunk, kChunk / 64);
        PrintPath("R answer, 21,503 bytes, from the frame to the last byte delivered", side.At(r).begun,
                  side.At(r).answered, kChunk - 1, 1 + kChunk / 64);
    }
    std::printf("  %s: one chunk of the read-back pass (4 W, G, 3 w, R, o) %.2f ms chip time; "
                "its R answer %.2f ms\n",
                version2 ? "version 2" : "version 1 (the ROM monitor)", (to.at - from.at) / 48000.0,
                (side.At(chunk_r).answered.at - side.At(chunk_r).begun.at) / 48000.0);
    return 0;
}

}  // namespace

int main() { return UsbPaths(true) | UsbPaths(false); }
