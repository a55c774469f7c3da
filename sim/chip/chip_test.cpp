// The chip with emulated code: hand-encoded ARM instructions run from SRAM
// and return to an address in the ROM area.
#include "sim/chip/chip.h"

#include <gtest/gtest.h>

#include <deque>
#include <initializer_list>

#include "sim/chip/debug_unit.h"

namespace sim {
namespace {

constexpr uint32_t kCode = kSramBase;
constexpr uint32_t kReturn = kRomBase + 0x100;
constexpr uint32_t kBxLr = 0xE12FFF1E;

// ARM encodings used by the snippets below.
uint32_t LdrLiteral(int rd, int at, int literal) {  // ldr rd, [pc, #...]
    return 0xE59F0000u | (rd << 12) | static_cast<uint32_t>((literal - at - 2) * 4);
}
uint32_t Ldr(int rd, int rn, uint32_t off) { return 0xE5900000u | (rn << 16) | (rd << 12) | off; }
uint32_t Str(int rd, int rn, uint32_t off) { return 0xE5800000u | (rn << 16) | (rd << 12) | off; }
uint32_t Branch(uint32_t cond, int at, int to) {
    return (cond << 28) | 0x0A000000u | (static_cast<uint32_t>(to - at - 2) & 0xFFFFFF);
}
constexpr uint32_t kEq = 0x0, kNe = 0x1, kAl = 0xE;
uint32_t SubsR0One() { return 0xE2500001u; }               // subs r0, r0, #1
uint32_t TstImm(int rn, uint32_t imm) { return 0xE3100000u | (rn << 16) | imm; }

class FakeLine : public SerialLine {
 public:
    FakeLine(std::initializer_list<uint8_t> bytes = {}) : in(bytes) {}
    bool PollByte(uint8_t* byte) override {
        ++polls;
        if (in.empty()) return false;
        *byte = in.front();
        in.pop_front();
        return true;
    }
    bool WaitByte(int) override {
        ++waits;
        if (waits >= stop_after_waits) stopped = true;
        return !in.empty();
    }
    void SendByte(uint8_t byte) override { out.push_back(byte); }
    bool Stopped() override { return stopped; }

    std::deque<uint8_t> in;
    std::vector<uint8_t> out;
    int polls = 0;
    int waits = 0;
    int stop_after_waits = 1 << 30;
    bool stopped = false;
};

void Load(Chip& chip, const std::vector<uint32_t>& words, uint32_t at = kCode) {
    for (size_t i = 0; i < words.size(); ++i) ASSERT_TRUE(chip.Write32(at + 4 * static_cast<uint32_t>(i), words[i]));
}

// Spins `iterations` times round a two-instruction loop, then returns.
std::vector<uint32_t> SpinProgram(uint32_t iterations) {
    return {LdrLiteral(0, 0, 4), SubsR0One(), Branch(kNe, 2, 1), kBxLr, iterations};
}

TEST(ChipRun, ReturnsToLrAndCountsEveryInstructionsCycles) {
    Chip chip{ChipOptions{}};
    Load(chip, SpinProgram(10000));
    FakeLine line;
    ASSERT_EQ(chip.Run(kCode, kReturn, &line), RunResult::kReturned) << chip.LastFault();
    // 1 load + 2 per iteration + return, across many slices of chip time.
    EXPECT_EQ(chip.Stats().instructions, 20002u);
    // ldr 3; subs 1 and bne 3 a round (the last bne, not taken, 1); bx 3.
    EXPECT_EQ(chip.Stats().cycles, 3 + 10000 * 4 - 2 + 3);

    // A second program loaded at the same address replaces the first.
    // ldr r1, =result; mov r0, #7; str r0, [r1]; bx lr
    Load(chip, {LdrLiteral(1, 0, 4), 0xE3A00007u, Str(0, 1, 0), kBxLr, kSramBase + 0x100});
    ASSERT_EQ(chip.Run(kCode, kReturn, &line), RunResult::kReturned) << chip.LastFault();
    uint32_t v = 0;
    ASSERT_TRUE(chip.Read32(kSramBase + 0x100, &v));
    EXPECT_EQ(v, 7u);
}

// Code that leaves the debug unit alone for 10 ms while 12 bytes arrive.
TEST(ChipDebugUnit, UnreadReceiveRegisterLosesAllButTheFirstByte) {
    Chip chip{ChipOptions{}};
    Load(chip, SpinProgram(120000));  // 480,000 cycles = 10 ms
    FakeLine line{'w', '0', '0', '2', '0', '2', '0', '0', '4', ',', '4', '#'};
    ASSERT_EQ(chip.Run(kCode, kReturn, &line), RunResult::kReturned) << chip.LastFault();
    EXPECT_EQ(chip.Stats().lost_bytes, 11u);
    uint32_t status = 0, rhr = 0;
    ASSERT_TRUE(chip.Read32(kDbguBase + kDbguStatus, &status));
    EXPECT_TRUE(status & kSrRxrdy);
    EXPECT_TRUE(status & kSrOvre);
    ASSERT_TRUE(chip.Read32(kDbguBase + kDbguRhr, &rhr));
    EXPECT_EQ(rhr, uint32_t{'w'});
    // RSTSTA clears the overrun; reading RHR cleared RXRDY.
    ASSERT_TRUE(chip.Write32(kDbguBase + kDbguControl, kCrRststa));
    ASSERT_TRUE(chip.Read32(kDbguBase + kDbguStatus, &status));
    EXPECT_FALSE(status & (kSrRxrdy | kSrOvre));
}

TEST(ChipDebugUnit, ReceiveDmaKeepsEveryByteAcrossBothBuffers) {
    Chip chip{ChipOptions{}};
    Load(chip, SpinProgram(240000));
    const uint32_t buf1 = kSramBase + 0x1000, buf2 = kSramBase + 0x1800;
    ASSERT_TRUE(chip.Write32(kDbguBase + kDbguRpr, buf1));
    ASSERT_TRUE(chip.Write32(kDbguBase + kDbguRcr, 5));
    ASSERT_TRUE(chip.Write32(kDbguBase + kDbguRnpr, buf2));
    ASSERT_TRUE(chip.Write32(kDbguBase + kDbguRncr, 100));
    ASSERT_TRUE(chip.Write32(kDbguBase + kDbguPtcr, kPtcrRxten));
    FakeLine line{'w', '0', '0', '2', '0', '2', '0', '0', '4', ',', '4', '#'};
    ASSERT_EQ(chip.Run(kCode, kReturn, &line), RunResult::kReturned) << chip.LastFault();
    EXPECT_EQ(chip.Stats().lost_bytes, 0u);
    std::string got;
    for (uint32_t i = 0; i < 5; ++i) {
        uint8_t b = 0;
        ASSERT_TRUE(chip.Read8(buf1 + i, &b));
        got += static_cast<char>(b);
    }
    for (uint32_t i = 0; i < 7; ++i) {
        uint8_t b = 0;
        ASSERT_TRUE(chip.Read8(buf2 + i, &b));
        got += static_cast<char>(b);
    }
    EXPECT_EQ(got, "w00202004,4#");
    uint32_t rpr = 0, rcr = 0, rncr = 0, status = 0;
    ASSERT_TRUE(chip.Read32(kDbguBase + kDbguRpr, &rpr));
    ASSERT_TRUE(chip.Read32(kDbguBase + kDbguRcr, &rcr));
    ASSERT_TRUE(chip.Read32(kDbguBase + kDbguRncr, &rncr));
    ASSERT_TRUE(chip.Read32(kDbguBase + kDbguStatus, &status));
    EXPECT_EQ(rpr, buf2 + 7);
    EXPECT_EQ(rcr, 93u);
    EXPECT_EQ(rncr, 0u);
    EXPECT_FALSE(status & (kSrRxrdy | kSrOvre | kSrEndrx | kSrRxbuff));
}

TEST(ChipDebugUnit, DmaWithBothCountersZeroFallsBackToTheHoldingRegister) {
    Chip chip{ChipOptions{}};
    Load(chip, SpinProgram(20000));
    ASSERT_TRUE(chip.Write32(kDbguBase + kDbguRpr, kSramBase + 0x1000));
    ASSERT_TRUE(chip.Write32(kDbguBase + kDbguRcr, 2));
    ASSERT_TRUE(chip.Write32(kDbguBase + kDbguPtcr, kPtcrRxten));
    FakeLine line{'a', 'b', 'c', 'd'};
    ASSERT_EQ(chip.Run(kCode, kReturn, &line), RunResult::kReturned) << chip.LastFault();
    uint32_t status = 0, rhr = 0;
    ASSERT_TRUE(chip.Read32(kDbguBase + kDbguStatus, &status));
    EXPECT_EQ(status & (kSrEndrx | kSrRxbuff | kSrRxrdy | kSrOvre), kSrEndrx | kSrRxbuff | kSrRxrdy | kSrOvre);
    ASSERT_TRUE(chip.Read32(kDbguBase + kDbguRhr, &rhr));
    EXPECT_EQ(rhr, uint32_t{'c'});
    EXPECT_EQ(chip.Stats().lost_bytes, 1u);
}

// An echo loop: waits for RXRDY, reads RHR, writes it to THR, forever.
std::vector<uint32_t> EchoProgram() {
    return {
        LdrLiteral(1, 0, 6),        // 0: r1 = debug unit base
        Ldr(2, 1, kDbguStatus),     // 1: r2 = status
        TstImm(2, kSrRxrdy),        // 2
        Branch(kEq, 3, 1),          // 3: wait for a byte
        Ldr(3, 1, kDbguRhr),        // 4
        Str(3, 1, kDbguThr) | 0,    // 5: echo it ...
        kDbguBase,                  // 6 (literal; never executed: 5 falls through to it)
    };
}

TEST(ChipDebugUnit, IdlePollingWaitsOnTheLineAndBytesKeepPace) {
    Chip chip{ChipOptions{}};
    std::vector<uint32_t> code = EchoProgram();
    code[6] = Branch(kAl, 6, 1);  // loop back
    code.push_back(kDbguBase);    // 7: literal
    code[0] = LdrLiteral(1, 0, 7);
    Load(chip, code);
    FakeLine line{'N', '#'};
    line.stop_after_waits = 3;
    EXPECT_EQ(chip.Run(kCode, kReturn, &line), RunResult::kStopped) << chip.LastFault();
    EXPECT_EQ(line.out, (std::vector<uint8_t>{'N', '#'}));
    EXPECT_EQ(chip.Stats().lost_bytes, 0u);
    EXPECT_GE(line.waits, 3);
    // Waiting code did not spin: two byte times passed in chip time with far
    // fewer instructions.
    EXPECT_GE(chip.Stats().cycles, 2 * kCyclesPerByte);
    EXPECT_LT(chip.Stats().instructions, kCyclesPerByte);
}

// Sends 300 bytes, polling TXRDY before each: busy code, not a waiting one.
TEST(ChipDebugUnit, TransmitLoopRunsInFullChipTime) {
    Chip chip{ChipOptions{}};
    Load(chip, {
                   LdrLiteral(1, 0, 9),      // 0: r1 = debug unit base
                   LdrLiteral(0, 1, 10),     // 1: r0 = count
                   Ldr(2, 1, kDbguStatus),   // 2
                   TstImm(2, kSrTxrdy),      // 3
                   Branch(kEq, 4, 2),        // 4
                   Str(0, 1, kDbguThr),      // 5: send the low byte of the count
                   SubsR0One(),              // 6
                   Branch(kNe, 7, 2),        // 7
                   kBxLr,                    // 8
                   kDbguBase,                // 9
                   300,                      // 10
               });
    FakeLine line;
    ASSERT_EQ(chip.Run(kCode, kReturn, &line), RunResult::kReturned) << chip.LastFault();
    ASSERT_EQ(line.out.size(), 300u);
    EXPECT_EQ(line.out[0], 300 & 0xFF);
    EXPECT_EQ(line.out[299], 1);
    EXPECT_EQ(line.waits, 0);
    // Every instruction in chip time: two literal loads (3 each), 300 rounds
    // of ldr 3 + 1 wait state, tst 1, beq not taken 1, str 2 + 1, subs 1,
    // bne 3 (not taken the last time: 1), and bx 3.
    EXPECT_EQ(chip.Stats().cycles, 2 * 3 + 300 * 13 - 2 + 3);
}

// Programs one page through the page latch and waits for FRDY.
TEST(ChipFlash, PageWriteByCodeTakesItsBusyTimeInChipTime) {
    Chip chip{ChipOptions{}};
    const uint32_t page = 5;
    std::vector<uint32_t> code = {
        LdrLiteral(1, 0, 12),        // 0: r1 = controller 0 base 0xFFFFFF60
        LdrLiteral(2, 1, 13),        // 1: r2 = mode FMCN 72, FWS 1
        Str(2, 1, 0),                // 2: mode
        LdrLiteral(3, 3, 14),        // 3: r3 = page address
        LdrLiteral(4, 4, 15),        // 4: r4 = data word
        Str(4, 3, 0),                // 5: latch word 0
        Str(4, 3, 4),                // 6: latch word 1
        LdrLiteral(5, 7, 16),        // 7: r5 = command
        Str(5, 1, 4),                // 8: command
        Ldr(6, 1, 8),                // 9: status
        TstImm(6, 1),                // 10
        Branch(kEq, 11, 9),          // 11
        0xFFFFFF60u,                 // 12
        (72u << 16) | (1u << 8),     // 13
        kFlashBase + page * 256,     // 14
        0x12345678u,                 // 15
        0x5A000000u | (page << 8) | 1,  // 16
    };
    code.insert(code.begin() + 12, kBxLr);  // 12: return; literals shift by one
    code[0] = LdrLiteral(1, 0, 13);
    code[1] = LdrLiteral(2, 1, 14);
    code[3] = LdrLiteral(3, 3, 15);
    code[4] = LdrLiteral(4, 4, 16);
    code[7] = LdrLiteral(5, 7, 17);
    Load(chip, code);
    FakeLine line;
    ASSERT_EQ(chip.Run(kCode, kReturn, &line), RunResult::kReturned) << chip.LastFault();
    EXPECT_GE(chip.Stats().cycles, 3000u * 48);
    EXPECT_LT(chip.Stats().cycles, 3000u * 48 + 1000);
    EXPECT_EQ(chip.Stats().fmcn_errors, 0u);
    const std::vector<uint8_t>& flash = chip.Flash();
    EXPECT_EQ(flash[page * 256 + 0], 0x78);
    EXPECT_EQ(flash[page * 256 + 7], 0x12);
    EXPECT_EQ(flash[page * 256 + 8], 0xFF);
}

struct FaultCase {
    const char* name;
    std::vector<uint32_t> code;  // r1 = literal at index 3 before the faulting instruction
    std::string expected;        // part of LastFault()
};

TEST(ChipFault, StopsTheCodeWithPcAndAddress) {
    const std::vector<FaultCase> cases = {
        {"unaligned word load", {LdrLiteral(1, 0, 3), Ldr(0, 1, 0), kBxLr, kSramBase + 1},
         "pc=0x00200004 address=0x00200001"},
        {"unaligned half-word load", {LdrLiteral(1, 0, 3), 0xE1D100B0u, kBxLr, kSramBase + 3},
         "pc=0x00200004 address=0x00200003"},
        {"unaligned word store", {LdrLiteral(1, 0, 3), Str(0, 1, 0), kBxLr, kSramBase + 2},
         "pc=0x00200004 address=0x00200002"},
        {"read outside the map", {LdrLiteral(1, 0, 3), Ldr(0, 1, 0), kBxLr, 0x00400000},
         "pc=0x00200004 address=0x00400000"},
        {"write outside the map", {LdrLiteral(1, 0, 3), Str(0, 1, 0), kBxLr, 0x00000010},
         "pc=0x00200004 address=0x00000010"},
        {"unmodelled peripheral", {LdrLiteral(1, 0, 3), Ldr(0, 1, 0), kBxLr, 0xFFFFFA00},
         "pc=0x00200004 address=0xFFFFFA00"},
        {"USB port offset that is no register", {LdrLiteral(1, 0, 3), Ldr(0, 1, 0), kBxLr, 0xFFFB0024},
         "pc=0x00200004 address=0xFFFB0024"},
        {"USB endpoint the port lacks", {LdrLiteral(1, 0, 3), Str(0, 1, 0), kBxLr, 0xFFFB0040},
         "pc=0x00200004 address=0xFFFB0040"},
        {"unaligned flash read", {LdrLiteral(1, 0, 3), Ldr(0, 1, 0), kBxLr, kFlashBase + 2},
         "address=0x00100002"},
        {"undefined instruction", {0xE3A00000u, 0xE7F000F0u, kBxLr}, "pc=0x00200004"},
        {"jump outside the map", {LdrLiteral(1, 0, 3), 0xE12FFF11u, kBxLr, 0x00500000},
         "address=0x00500000"},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        Chip chip{ChipOptions{}};
        Load(chip, c.code);
        FakeLine line;
        EXPECT_EQ(chip.Run(kCode, kReturn, &line), RunResult::kFault);
        EXPECT_NE(chip.LastFault().find(c.expected), std::string::npos) << chip.LastFault();
    }
}

TEST(ChipFault, ClockWritesAreCountedNotApplied) {
    // The power management controller reads as 0; a write by code is
    // counted (the images must leave the clocks alone) and changes nothing.
    Chip chip{ChipOptions{}};
    Load(chip, {LdrLiteral(1, 0, 3), Str(1, 1, 0), kBxLr, 0xFFFFFC10});
    FakeLine line;
    EXPECT_EQ(chip.Run(kCode, kReturn, &line), RunResult::kReturned);
    EXPECT_EQ(chip.Stats().pmc_writes, 1u);
    uint32_t v = 1;
    EXPECT_TRUE(chip.Read32(0xFFFFFC10, &v));
    EXPECT_EQ(v, 0u);
}

TEST(ChipBus, MonitorAccessesFollowTheMemoryMap) {
    ChipOptions options;
    options.chip_id = 0x11223344;
    Chip chip{options};
    uint32_t v = 0;
    uint16_t h = 0;
    uint8_t b = 0;
    EXPECT_TRUE(chip.Write32(kSramBase + 0x7FFC, 0xA1B2C3D4));
    EXPECT_TRUE(chip.Read16(kSramBase + 0x7FFE, &h));
    EXPECT_EQ(h, 0xA1B2);
    EXPECT_FALSE(chip.Write32(kSramBase + 0x7FFE, 0));  // runs past the end of SRAM
    EXPECT_TRUE(chip.Write8(kFlashBase + 10, 0x00));      // ignored
    EXPECT_TRUE(chip.Read8(kFlashBase + 10, &b));
    EXPECT_EQ(b, 0xFF);
    EXPECT_TRUE(chip.Read32(kChipIdAddress, &v));
    EXPECT_EQ(v, 0x11223344u);
    EXPECT_TRUE(chip.Read32(kChipIdAddress + 4, &v));
    EXPECT_EQ(v, 0u);
    EXPECT_FALSE(chip.Read32(0x00000000, &v));
    EXPECT_FALSE(chip.Read32(0x00400000, &v));
    EXPECT_FALSE(chip.Write32(0xFFFFF000, 1));

    // The watchdog mode register takes its first write only.
    EXPECT_TRUE(chip.Write32(0xFFFFFD44, 0x8000));
    EXPECT_TRUE(chip.Write32(0xFFFFFD44, 0x0123));
    EXPECT_TRUE(chip.Read32(0xFFFFFD44, &v));
    EXPECT_EQ(v, 0x8000u);
    EXPECT_EQ(chip.WatchdogModeWrites(), (std::vector<uint32_t>{0x8000, 0x0123}));
}

// Two writes to one CSR in one translated block, with `gap` one-cycle
// instructions between them: the second is a fault only when the first has
// not shown yet, judged at each store's own chip time, not its block's.
TEST(ChipUsb, EachAccessSeesItsOwnInstructionsChipTime) {
    for (int gap : {0, 4, static_cast<int>(kCsrSettleMaxCycles) + 4}) {
        SCOPED_TRACE(gap);
        Chip chip{ChipOptions{}};
        chip.Usb().PowerOn();
        const int n = gap;
        std::vector<uint32_t> code = {LdrLiteral(1, 0, n + 6), LdrLiteral(2, 1, n + 7), Str(2, 1, kUsbCsr0)};
        for (int i = 0; i < gap; ++i) code.push_back(0xE1A00000u);  // mov r0, r0
        code.push_back(Str(2, 1, kUsbCsr0 + 4));  // another CSR: no fault of its own
        code.push_back(Str(2, 1, kUsbCsr0));
        code.push_back(kBxLr);
        code.push_back(kUsbBase);
        code.push_back(kCsrEpeds | kCsrForcestall);
        Load(chip, code);
        FakeLine line;
        ASSERT_EQ(chip.Run(kCode, kReturn, &line), RunResult::kReturned) << chip.LastFault();
        EXPECT_EQ(chip.Usb().Stats().discipline_faults, gap > static_cast<int>(kCsrSettleMaxCycles) ? 0u : 1u);
    }
}

}  // namespace
}  // namespace sim
