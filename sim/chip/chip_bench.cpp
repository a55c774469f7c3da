// Benchmark (not a test): a full 24-chunk write and read-back of 516,096
// bytes through the flash applet running on the simulated chip, driven
// directly through the chip's bus (no pty, no monitor). Prints the wall
// time, the chip time and how many instructions and peripheral accesses the
// emulated code made, and what one emulated store and load to SRAM cost.
// The monitors on the USB link in chip time: monitor_bench.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/chip/chip.h"

namespace {

constexpr uint32_t kApplet = 0x00202000;
constexpr uint32_t kMailbox = 0x00202004;
constexpr uint32_t kBuffer = 0x00202AF4;
constexpr uint32_t kChunk = 0x5400;
constexpr uint32_t kReturn = sim::kRomBase + 0x100;

class QuietLine : public sim::SerialLine {
 public:
    bool PollByte(uint8_t*) override { return false; }
    bool WaitByte(int) override { return false; }
    void SendByte(uint8_t) override {}
    bool Stopped() override { return false; }
};

bool Command(sim::Chip& chip, uint32_t code, const std::vector<uint32_t>& args) {
    QuietLine line;
    chip.Write32(kMailbox, code);
    for (size_t i = 0; i < args.size(); ++i) chip.Write32(kMailbox + 8 + 4 * static_cast<uint32_t>(i), args[i]);
    if (chip.Run(kApplet, kReturn, &line) != sim::RunResult::kReturned) {
        std::fprintf(stderr, "command %u: %s\n", code, chip.LastFault().c_str());
        return false;
    }
    uint32_t done = 0, status = 0;
    chip.Read32(kMailbox, &done);
    chip.Read32(kMailbox + 4, &status);
    if (done != ~code || status != 0) {
        std::fprintf(stderr, "command %u: done %08X status %u\n", code, done, status);
        return false;
    }
    return true;
}

// Wall time in ns of one pass of a three-instruction loop that stores to
// (or loads from) a word of SRAM away from the code, or -1 on a fault.
double LoopNs(bool store) {
    constexpr uint32_t kPasses = 0x100000;
    const uint32_t code[] = {
        0xE3A01601,                      // mov  r1, #0x100000 (kPasses)
        0xE3A02602,                      // mov  r2, #0x200000
        0xE2822901,                      // add  r2, r2, #0x4000
        store ? 0xE5820000u : 0xE5920000u,  // str/ldr r0, [r2]
        0xE2511001,                      // subs r1, r1, #1
        0x1AFFFFFC,                      // bne  the str/ldr
        0xE12FFF1E,                      // bx   lr
    };
    sim::Chip chip{sim::ChipOptions{}};
    for (uint32_t i = 0; i < sizeof code / sizeof code[0]; ++i) chip.Write32(kApplet + 4 * i, code[i]);
    QuietLine line;
    auto t0 = std::chrono::steady_clock::now();
    if (chip.Run(kApplet, kReturn, &line) != sim::RunResult::kReturned) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / kPasses * 1e9;
}

std::vector<uint8_t> ReadImage(const char* name) {
    std::string path = std::string(QUILLMERE_SOURCE_DIR) + "/applet/images/" + name;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (image.empty()) std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return image;
}

}  // namespace

int main() {
    const std::vector<uint8_t> applet = ReadImage("flash_applet.bin");
    if (applet.empty()) return 1;
    sim::Chip chip{sim::ChipOptions{}};
    for (size_t i = 0; i < applet.size(); ++i) chip.Write8(kApplet + static_cast<uint32_t>(i), applet[i]);

    std::vector<uint8_t> image(24 * kChunk);
    uint32_t x = 7;
    for (auto& b : image) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);

    auto t0 = std::chrono::steady_clock::now();
    if (!Command(chip, 0, {4, 0}) || !Command(chip, 1, {0})) return 1;
    for (uint32_t c = 0; c < 24; ++c) {
        for (uint32_t i = 0; i < kChunk; ++i) chip.Write8(kBuffer + i, image[c * kChunk + i]);
        if (!Command(chip, 2, {kBuffer, kChunk, c * kChunk})) return 1;
    }
    for (uint32_t c = 0; c < 24; ++c) {
        if (!Command(chip, 3, {kBuffer, kChunk, c * kChunk})) return 1;
        for (uint32_t i = 0; i < kChunk; ++i) {
            uint8_t b = 0;
            chip.Read8(kBuffer + i, &b);
            if (b != image[c * kChunk + i]) {
                std::fprintf(stderr, "chunk %u differs at %u\n", c, i);
                return 1;
            }
        }
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const sim::ChipStats& s = chip.Stats();
    std::printf("24-chunk write and read-back: %.3f s wall, %.3f s chip time\n", wall,
                static_cast<double>(s.cycles) / sim::kMasterClockHz);
    std::printf("instructions: %llu (%.1f M/s), mmio accesses: %llu, fmcn errors: %llu\n",
                static_cast<unsigned long long>(s.instructions), s.instructions / wall / 1e6,
                static_cast<unsigned long long>(s.mmio_accesses), static_cast<unsigned long long>(s.fmcn_errors));
    // What one emulated store and one load to SRAM cost: code that stores a
    // lot (the SRAM monitor, per byte it moves) runs at the store's speed.
    const double store = LoopNs(true), load = LoopNs(false);
    if (store < 0 || load < 0) return 1;
    std::printf("a loop of one SRAM store: %.1f ns per pass, of one SRAM load: %.1f ns (3 instructions each)\n",
                store, load);
    return 0;
}
