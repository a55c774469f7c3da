// The three target images of applet/images, run on the simulated chip: the
// start-up and flash applets driven through their mailbox, and the SRAM
// monitor driven frame by frame over a scripted serial line.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "sim/chip/chip.h"
#include "target/applet.h"

namespace {

constexpr uint32_t kReturnAddress = 0x00300000;  // in the ROM, as the ROM monitor calls
constexpr uint32_t kSramMonitorBase = 0x00200000;
constexpr uint32_t kChunk = FLASH_APPLET_BUFSIZE;

std::vector<uint8_t> ReadImage(const char* name) {
    std::string path = std::string(QUILLMERE_SOURCE_DIR) + "/applet/images/" + name;
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t Word(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

std::string Hex8(uint32_t v) {
    char text[9];
    snprintf(text, sizeof text, "%08X", v);
    return text;
}

// A line whose host side is a script: each step sends its bytes, then waits
// for reply_len bytes of answer before the next step starts. Steps without a
// reply flow straight into the next one, at line speed, as the tool sends.
// Stopped() turns true when the script is done or after a wall-clock limit.
class ScriptLine : public sim::SerialLine {
 public:
    struct Step {
        std::string send;
        size_t reply_len;
        std::string reply;
    };

    void Add(const std::string& send, size_t reply_len = 0) { steps_.push_back({send, reply_len, {}}); }
    void Add(const std::vector<uint8_t>& data) { Add(std::string(data.begin(), data.end())); }

    bool PollByte(uint8_t* byte) override {
        Advance();
        if (step_ >= steps_.size() || sent_ >= steps_[step_].send.size()) return false;
        if (late_ && sent_ == 0 && !waited_) return false;
        *byte = static_cast<uint8_t>(steps_[step_].send[sent_++]);
        return true;
    }
    bool WaitByte(int max_ms) override {
        Advance();
        if (late_ && step_ < steps_.size() && sent_ == 0 && !waited_) {
            // The step's bytes come in just after this wait has given up, as
            // bytes from a pty may.
            std::this_thread::sleep_for(std::chrono::milliseconds(max_ms));
            waited_ = true;
            return false;
        }
        return step_ < steps_.size() && sent_ < steps_[step_].send.size();
    }
    void SendByte(uint8_t byte) override {
        if (step_ < steps_.size())
            steps_[step_].reply.push_back(static_cast<char>(byte));
        else
            extra_.push_back(static_cast<char>(byte));
        Advance();
    }
    bool Stopped() override {
        Advance();
        return step_ >= steps_.size() || std::chrono::steady_clock::now() > deadline_;
    }

    // Each step's bytes show up only after the chip has waited for the line once.
    void SetLate() { late_ = true; }
    bool Done() const { return step_ >= steps_.size(); }
    const std::string& Reply(size_t step) const { return steps_.at(step).reply; }
    size_t Steps() const { return steps_.size(); }
    const std::string& Extra() const { return extra_; }

 private:
    void Advance() {
        while (step_ < steps_.size() && sent_ >= steps_[step_].send.size() &&
               steps_[step_].reply.size() >= steps_[step_].reply_len) {
            ++step_;
            sent_ = 0;
            waited_ = false;
        }
    }
    std::vector<Step> steps_;
    size_t step_ = 0;
    size_t sent_ = 0;
    std::string extra_;
    bool late_ = false;
    bool waited_ = false;
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(60);
};

// The line of an applet run: the host sends nothing and waits.
class IdleLine : public sim::SerialLine {
 public:
    bool PollByte(uint8_t*) override { return false; }
    bool WaitByte(int) override { return false; }
    void SendByte(uint8_t byte) override { sent.push_back(static_cast<char>(byte)); }
    bool Stopped() override { return std::chrono::steady_clock::now() > deadline_; }
    std::string sent;

 private:
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(20);
};

struct Mailbox {
    uint32_t command, status, arg1, arg2, arg3, arg4;
};

class AppletTest : public ::testing::Test {
 protected:
    void Load(uint32_t base, const std::vector<uint8_t>& image) {
        for (size_t i = 0; i < image.size(); i += 4) ASSERT_TRUE(chip_.Write32(base + i, Word(image, i)));
    }
    void LoadFlashApplet() {
        Load(APPLET_BASE, ReadImage("flash_applet.bin"));
        Mailbox m = Command(APPLET_CMD_INIT, 0, 4, 0);
        ASSERT_EQ(m.status, 0u);
    }
    uint32_t Read(uint32_t address) {
        uint32_t v = 0;
        EXPECT_TRUE(chip_.Read32(address, &v));
        return v;
    }
    // Fills the mailbox as the tool does, starts the applet and reads back.
    Mailbox Command(uint32_t code, uint32_t a1, uint32_t a2 = 0, uint32_t a3 = 0) {
        chip_.Write32(APPLET_MAILBOX + 0, code);
        chip_.Write32(APPLET_MAILBOX + 8, a1);
        chip_.Write32(APPLET_MAILBOX + 12, a2);
        chip_.Write32(APPLET_MAILBOX + 16, a3);
        IdleLine idle;
        EXPECT_EQ(chip_.Run(APPLET_BASE, kReturnAddress, &idle), sim::RunResult::kReturned) << chip_.LastFault();
        EXPECT_EQ(idle.sent, "");
        Mailbox m;
        m.command = Read(APPLET_MAILBOX);
        m.status = Read(APPLET_MAILBOX + 4);
        m.arg1 = Read(APPLET_MAILBOX + 8);
        m.arg2 = Read(APPLET_MAILBOX + 12);
        m.arg3 = Read(APPLET_MAILBOX + 16);
        m.arg4 = Read(APPLET_MAILBOX + 20);
        return m;
    }
    void PutBuffer(const std::vector<uint8_t>& data) {
        for (size_t i = 0; i < data.size(); i += 4) chip_.Write32(FLASH_APPLET_BUFFER + i, Word(data, i));
    }
    std::vector<uint8_t> GetBuffer(size_t size) {
        std::vector<uint8_t> out(size);
        for (size_t i = 0; i < size; ++i) chip_.Read8(FLASH_APPLET_BUFFER + i, &out[i]);
        return out;
    }
    std::vector<uint8_t> FlashAt(uint32_t offset, size_t size) {
        return std::vector<uint8_t>(chip_.Flash().begin() + offset, chip_.Flash().begin() + offset + size);
    }

    sim::Chip chip_{sim::ChipOptions{}};
};

TEST_F(AppletTest, ImagesHaveTheirSizesAndFirstWords) {
    struct Row {
        const char* name;
        size_t size;
        uint32_t first;
    } rows[] = {{"init_applet.bin", 1088, 0xEA000020},
                {"flash_applet.bin", 2520, 0xEA000020},
                {"sram_monitor.bin", 5392, 0xEA000006}};
    for (const Row& row : rows) {
        std::vector<uint8_t> image = ReadImage(row.name);
        ASSERT_EQ(image.size(), row.size) << row.name;
        EXPECT_EQ(Word(image, 0), row.first) << row.name;
        if (row.first == 0xEA000020) {
            // Mailbox and the prepared flag are zero in the image.
            for (size_t at = 4; at < 0x88; at += 4) EXPECT_EQ(Word(image, at), 0u) << row.name << " +" << at;
        }
    }
}

TEST_F(AppletTest, StartupAppletPreparesChipAndAnswersExactly) {
    Load(APPLET_BASE, ReadImage("init_applet.bin"));
    chip_.Write32(APPLET_MAILBOX + 20, 0);
    chip_.Write32(APPLET_MAILBOX + 24, 0);
    Mailbox m = Command(APPLET_CMD_INIT, 0, 4, 0);
    EXPECT_EQ(m.command, 0xFFFFFFFFu);
    EXPECT_EQ(m.status, 0u);
    EXPECT_EQ(m.arg1, 0u);
    EXPECT_EQ(m.arg2, 4u);
    EXPECT_EQ(m.arg3, 0u);
    EXPECT_EQ(m.arg4, 0u);
    EXPECT_EQ(Read(EFC0_BASE + EFC_MR) & 0x300u, EFC_MR_FWS(1));
    EXPECT_EQ(Read(EFC1_BASE + EFC_MR) & 0x300u, EFC_MR_FWS(1));
    EXPECT_EQ(Read(WDT_MR) & WDT_MR_WDDIS, WDT_MR_WDDIS);
}

TEST_F(AppletTest, FlashAppletInitReportsGeometry) {
    Load(APPLET_BASE, ReadImage("flash_applet.bin"));
    // Leftovers of an earlier applet in the variables are cleared on the first start.
    chip_.Write32(FLASH_APPLET_VARS, 0xDEADBEEF);
    chip_.Write32(FLASH_APPLET_BUFFER - 4, 0xDEADBEEF);
    Mailbox m = Command(APPLET_CMD_INIT, 0, 4, 0);
    EXPECT_EQ(m.command, 0xFFFFFFFFu);
    EXPECT_EQ(m.status, 0u);
    EXPECT_EQ(m.arg1, 0x00080000u);
    EXPECT_EQ(m.arg2, 0x00202AF4u);
    EXPECT_EQ(m.arg3, 0x00005400u);
    EXPECT_EQ(m.arg4, 0x00204000u);
    EXPECT_EQ(Read(FLASH_APPLET_VARS), 0u);
    EXPECT_EQ(Read(FLASH_APPLET_BUFFER - 4), 0u);
}

TEST_F(AppletTest, EraseClearsBothPlanes) {
    LoadFlashApplet();
    std::fill(chip_.Flash().begin(), chip_.Flash().end(), 0x00);
    Mailbox m = Command(APPLET_CMD_ERASE, 0);
    EXPECT_EQ(m.command, 0xFFFFFFFEu);
    EXPECT_EQ(m.status, 0u);
    for (size_t i = 0; i < chip_.Flash().size(); ++i) ASSERT_EQ(chip_.Flash()[i], 0xFF) << "offset " << i;
}

TEST_F(AppletTest, EraseRefusedWhileARegionOfPlaneOneIsLocked) {
    LoadFlashApplet();
    std::fill(chip_.Flash().begin(), chip_.Flash().end(), 0x00);
    chip_.SetLockBits(1u << 20);
    Mailbox m = Command(APPLET_CMD_ERASE, 0);
    EXPECT_EQ(m.command, 0xFFFFFFFEu);
    EXPECT_EQ(m.status, static_cast<uint32_t>(APPLET_ST_LOCKED));
    EXPECT_EQ(chip_.Flash()[FLASH_PLANE_SIZE], 0x00);  // plane 1 untouched
}

TEST_F(AppletTest, ChunkWrittenAndReadBack) {
    // First chunk, the chunk across the plane boundary, the last chunk of a full image.
    for (uint32_t index : {0u, 12u, 23u}) {
        SCOPED_TRACE("chunk " + std::to_string(index));
        LoadFlashApplet();
        uint32_t offset = index * kChunk;
        std::vector<uint8_t> data = Pattern(kChunk, index);
        PutBuffer(data);
        Mailbox w = Command(APPLET_CMD_WRITE, FLASH_APPLET_BUFFER, kChunk, offset);
        EXPECT_EQ(w.command, 0xFFFFFFFDu);
        EXPECT_EQ(w.status, 0u);
        EXPECT_EQ(w.arg1, kChunk);
        EXPECT_EQ(FlashAt(offset, kChunk), data);
        EXPECT_EQ(GetBuffer(kChunk), data);  // the applet's stack stays above the buffer

        PutBuffer(std::vector<uint8_t>(kChunk, 0));
        Mailbox r = Command(APPLET_CMD_READ, FLASH_APPLET_BUFFER, kChunk, offset);
        EXPECT_EQ(r.command, 0xFFFFFFFCu);
        EXPECT_EQ(r.status, 0u);
        EXPECT_EQ(r.arg1, kChunk);
        EXPECT_EQ(GetBuffer(kChunk), data);
    }
}

TEST_F(AppletTest, PagesAroundRegionAndPlaneBoundaries) {
    LoadFlashApplet();
    // Last page of region 0 and first of region 1; last of region 15 (plane 0)
    // and first of region 16 (plane 1).
    for (uint32_t offset : {0x4000u - 0x100u, FLASH_PLANE_SIZE - 0x100u}) {
        std::vector<uint8_t> data = Pattern(0x200, offset);
        PutBuffer(data);
        Mailbox m = Command(APPLET_CMD_WRITE, FLASH_APPLET_BUFFER, 0x200, offset);
        EXPECT_EQ(m.status, 0u) << offset;
        EXPECT_EQ(m.arg1, 0x200u) << offset;
        EXPECT_EQ(FlashAt(offset, 0x200), data) << offset;
        EXPECT_EQ(chip_.Flash()[offset - 1], 0xFF) << offset;
        EXPECT_EQ(chip_.Flash()[offset + 0x200], 0xFF) << offset;
    }
}

TEST_F(AppletTest, LockAndUnlockRegions) {
    LoadFlashApplet();
    for (uint32_t region : {0u, 15u, 16u, 31u}) {
        Mailbox lock = Command(APPLET_CMD_LOCK, region);
        EXPECT_EQ(lock.command, 0xFFFFFFFBu);
        EXPECT_EQ(lock.status, 0u);
        EXPECT_EQ(chip_.LockBits(), 1u << region) << region;
        Mailbox unlock = Command(APPLET_CMD_UNLOCK, region);
        EXPECT_EQ(unlock.command, 0xFFFFFFFAu);
        EXPECT_EQ(unlock.status, 0u);
        EXPECT_EQ(chip_.LockBits(), 0u) << region;
    }
}

TEST_F(AppletTest, WriteIntoLockedRegionIsRefusedAndLeavesFlash) {
    LoadFlashApplet();
    ASSERT_EQ(Command(APPLET_CMD_LOCK, 17).status, 0u);
    uint32_t offset = 17 * FLASH_REGION_SIZE;
    std::vector<uint8_t> before = FlashAt(offset, 0x400);
    PutBuffer(Pattern(0x400, 5));
    Mailbox m = Command(APPLET_CMD_WRITE, FLASH_APPLET_BUFFER, 0x400, offset);
    EXPECT_EQ(m.command, 0xFFFFFFFDu);
    EXPECT_EQ(m.status, static_cast<uint32_t>(APPLET_ST_LOCKED));
    EXPECT_EQ(m.arg1, 0u);
    EXPECT_EQ(FlashAt(offset, 0x400), before);
}

TEST_F(AppletTest, PagesThatFlashAlreadyHoldsAreNotWritten) {
    // Four pages written at once over flash prepared per row; the answer is
    // the same whatever was skipped, and the flash ends equal to the data.
    constexpr uint32_t kOffset = 3 * FLASH_REGION_SIZE - 2 * FLASH_PAGE_SIZE;  // across a region boundary
    constexpr uint32_t kSize = 4 * FLASH_PAGE_SIZE;
    const std::vector<uint8_t> data = Pattern(kSize, 21);
    std::vector<uint8_t> one_differs = data;
    one_differs[2 * FLASH_PAGE_SIZE + 77] ^= 0x10;
    std::vector<uint8_t> half_erased = data;
    std::fill(half_erased.begin() + FLASH_PAGE_SIZE, half_erased.begin() + 3 * FLASH_PAGE_SIZE, 0xFF);
    const std::vector<uint8_t> erased(kSize, 0xFF), zeros(kSize, 0x00);
    struct Row {
        const char* what;
        std::vector<uint8_t> flash, data;
        uint64_t pages_written;
    } rows[] = {
        {"flash equal to the data", data, data, 0},
        {"one byte of the third page differs", one_differs, data, 1},
        {"0xFF pages over erased flash", erased, half_erased, 2},
        {"0xFF pages over flash not erased", zeros, erased, 4},
        {"every page differs", zeros, data, 4},
    };
    LoadFlashApplet();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::copy(row.flash.begin(), row.flash.end(), chip_.Flash().begin() + kOffset);
        PutBuffer(row.data);
        const uint64_t before = chip_.Stats().page_writes;
        Mailbox m = Command(APPLET_CMD_WRITE, FLASH_APPLET_BUFFER, kSize, kOffset);
        EXPECT_EQ(m.command, 0xFFFFFFFDu);
        EXPECT_EQ(m.status, 0u);
        EXPECT_EQ(m.arg1, kSize);
        EXPECT_EQ(chip_.Stats().page_writes - before, row.pages_written);
        EXPECT_EQ(FlashAt(kOffset, kSize), row.data);
    }
}

TEST_F(AppletTest, LockedPageEqualToTheDataIsStillRefused) {
    LoadFlashApplet();
    const uint32_t offset = 9 * FLASH_REGION_SIZE;
    const std::vector<uint8_t> data = FlashAt(offset, 0x200);  // what the region already holds
    ASSERT_EQ(Command(APPLET_CMD_LOCK, 9).status, 0u);
    PutBuffer(data);
    Mailbox m = Command(APPLET_CMD_WRITE, FLASH_APPLET_BUFFER, 0x200, offset);
    EXPECT_EQ(m.command, 0xFFFFFFFDu);
    EXPECT_EQ(m.status, static_cast<uint32_t>(APPLET_ST_LOCKED));
    EXPECT_EQ(m.arg1, 0u);
    EXPECT_EQ(FlashAt(offset, 0x200), data);
}

TEST_F(AppletTest, GpnvmBitSetAndCleared) {
    LoadFlashApplet();
    Mailbox set = Command(APPLET_CMD_GPNVM, 1, 2);
    EXPECT_EQ(set.command, 0xFFFFFFF9u);
    EXPECT_EQ(set.status, 0u);
    EXPECT_EQ(chip_.GpnvmBits(), 4u);
    EXPECT_EQ(Command(APPLET_CMD_GPNVM, 0, 2).status, 0u);
    EXPECT_EQ(chip_.GpnvmBits(), 0u);
}

TEST_F(AppletTest, BadArgumentsAreRefusedWithoutTouchingFlash) {
    struct Row {
        uint32_t code, a1, a2, a3;
        int status;
    } rows[] = {
        {APPLET_CMD_LOCK, 32, 0, 0, APPLET_ST_BAD_ARG},
        {APPLET_CMD_UNLOCK, 0xFFFFFFFF, 0, 0, APPLET_ST_BAD_ARG},
        {APPLET_CMD_GPNVM, 1, 3, 0, APPLET_ST_BAD_ARG},
        {APPLET_CMD_GPNVM, 2, 2, 0, APPLET_ST_BAD_ARG},
        {APPLET_CMD_ERASE, 1, 0, 0, APPLET_ST_BAD_ARG},
        {APPLET_CMD_WRITE, FLASH_APPLET_BUFFER, 0x100, 0x80, APPLET_ST_BAD_RANGE},
        {APPLET_CMD_WRITE, FLASH_APPLET_BUFFER, 0x180, 0, APPLET_ST_BAD_RANGE},
        {APPLET_CMD_WRITE, FLASH_APPLET_BUFFER, 0x200, 0x7FF00, APPLET_ST_BAD_RANGE},
        {APPLET_CMD_WRITE, FLASH_APPLET_BUFFER, 0x200, 0xFFFFFF00, APPLET_ST_BAD_RANGE},
        {APPLET_CMD_WRITE, FLASH_APPLET_BUFFER + 2, 0x100, 0, APPLET_ST_BAD_BUFFER},
        {APPLET_CMD_WRITE, APPLET_BASE, 0x100, 0, APPLET_ST_BAD_BUFFER},
        {APPLET_CMD_READ, FLASH_APPLET_BUFFER, kChunk + 0x100, 0, APPLET_ST_BAD_BUFFER},
        {APPLET_CMD_READ, FLASH_APPLET_BUFFER + 0x100, kChunk, 0, APPLET_ST_BAD_BUFFER},
        {APPLET_CMD_READ, 0x00200000, 0x100, 0, APPLET_ST_BAD_BUFFER},
        {7, 0, 0, 0, APPLET_ST_UNKNOWN_CMD},
    };
    LoadFlashApplet();
    std::fill(chip_.Flash().begin(), chip_.Flash().end(), 0x5A);
    PutBuffer(Pattern(kChunk, 9));
    for (const Row& row : rows) {
        Mailbox m = Command(row.code, row.a1, row.a2, row.a3);
        EXPECT_EQ(m.command, ~row.code) << "command " << row.code << " arg1 " << row.a1;
        EXPECT_EQ(m.status, static_cast<uint32_t>(row.status)) << "command " << row.code << " arg1 " << row.a1;
        if (row.code == APPLET_CMD_WRITE || row.code == APPLET_CMD_READ) {
            EXPECT_EQ(m.arg1, 0u);
        }
    }
    EXPECT_EQ(chip_.LockBits(), 0u);
    EXPECT_EQ(chip_.GpnvmBits(), 0u);
    for (size_t i = 0; i < chip_.Flash().size(); ++i) ASSERT_EQ(chip_.Flash()[i], 0x5A) << "offset " << i;
}

// --- The SRAM monitor, frame by frame ---------------------------------------

class SramMonitorTest : public AppletTest {
 protected:
    void SetUp() override { Load(kSramMonitorBase, ReadImage("sram_monitor.bin")); }
    // Runs the monitor until the script is done; it never returns by itself.
    void Play(ScriptLine* line) {
        EXPECT_EQ(chip_.Run(kSramMonitorBase, kReturnAddress, line), sim::RunResult::kStopped) << chip_.LastFault();
        EXPECT_TRUE(line->Done());
        EXPECT_EQ(line->Extra(), "");
        EXPECT_EQ(chip_.Stats().lost_bytes, 0u);
    }
    static std::string W(uint32_t address, uint32_t value) { return "W" + Hex8(address) + "," + Hex8(value) + "#"; }
    static std::string R4(uint32_t address) { return "w" + Hex8(address) + ",4#"; }
    static std::string Le(uint32_t v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 24)};
    }
};

TEST_F(SramMonitorTest, ModeAndVersionFrames) {
    ScriptLine line;
    line.Add("T#", 3);
    line.Add("N#", 2);
    line.Add("#\n\n");  // no answer
    line.Add("V#\n", 2 + 17 + 3);
    line.Add("T#", 3);
    Play(&line);
    EXPECT_EQ(line.Reply(0), "\n\r\n");
    EXPECT_EQ(line.Reply(1), "\n\r");
    EXPECT_EQ(line.Reply(2), "");
    EXPECT_EQ(line.Reply(3), "\n\rv1.0 SRAM monitor\n\r>");
    EXPECT_EQ(line.Reply(4), "\n\r\n");
}

// Frames that reach the line only after the monitor has idled: the debug unit
// must still take them one byte time apart, not as one burst.
TEST_F(SramMonitorTest, FramesAfterAnIdleLineAreNotLost) {
    ScriptLine line;
    line.SetLate();
    line.Add("T#", 3);
    line.Add("N#", 2);
    line.Add("W00203000,CAFEF00D#");
    line.Add(R4(0x00203000), 4);
    Play(&line);
    EXPECT_EQ(line.Reply(0), "\n\r\n");
    EXPECT_EQ(line.Reply(1), "\n\r");
    EXPECT_EQ(line.Reply(3), Le(0xCAFEF00D));
}

TEST_F(SramMonitorTest, AddressFramesInBinaryMode) {
    ScriptLine line;
    line.Add("N#", 2);
    line.Add(W(0x00203000, 0x12345678));
    line.Add(R4(0x00203000), 4);
    line.Add("w00203000,4#", 4);
    line.Add("W00203004,deadbeef#");  // lower-case digits
    line.Add("o00203007,4#", 1);
    line.Add("H00203008,BEEF#");
    line.Add("O0020300B,7F#");
    line.Add(R4(0x00203008), 4);
    line.Add(W(0x00203011, 0xA1B2C3D4));  // unaligned: byte by byte
    line.Add("R00203010,00000006#", 6);
    line.Add("S00203020,00000005#" + std::string("\x00#\n\r\xFF", 5));
    line.Add("R00203020,00000005#", 5);
    line.Add("wFFFFF240,4#", 4);
    Play(&line);
    EXPECT_EQ(line.Reply(0), "\n\r");
    EXPECT_EQ(line.Reply(2), Le(0x12345678));
    EXPECT_EQ(line.Reply(3), Le(0x12345678));
    EXPECT_EQ(line.Reply(5), "\xDE");
    EXPECT_EQ(line.Reply(8), Le(0x7F00BEEF));
    EXPECT_EQ(line.Reply(10), std::string("\x00\xD4\xC3\xB2\xA1\x00", 6));
    EXPECT_EQ(line.Reply(12), std::string("\x00#\n\r\xFF", 5));
    EXPECT_EQ(line.Reply(13), Le(0x272A0A40));
}

TEST_F(SramMonitorTest, TerminalModeReadsAnswerText) {
    ScriptLine line;
    line.Add(W(0x00203000, 0x00C0FFEE));
    line.Add(R4(0x00203000), 12);
    line.Add("o00203000,4#", 6);
    Play(&line);
    EXPECT_EQ(line.Reply(1), "0x00C0FFEE\n\r");
    EXPECT_EQ(line.Reply(2), "0xEE\n\r");
}

// The applet session of the tool through the SRAM monitor: the flash applet
// sent with S and initialised, then chunk writes whose completion check is
// sent at once behind the G frame, while the applet still writes.
TEST_F(SramMonitorTest, ServesTheAppletSessionWithoutLosingBytes) {
    std::vector<uint8_t> applet = ReadImage("flash_applet.bin");
    std::vector<uint8_t> chunk0 = Pattern(kChunk, 100), chunk23 = Pattern(kChunk, 123);
    auto command = [](ScriptLine& l, uint32_t code, uint32_t a1, uint32_t a2, uint32_t a3) {
        l.Add(W(APPLET_MAILBOX, code));
        l.Add(W(APPLET_MAILBOX + 8, a1));
        l.Add(W(APPLET_MAILBOX + 12, a2));
        l.Add(W(APPLET_MAILBOX + 16, a3));
    };
    ScriptLine line;
    line.Add("T#", 3);
    line.Add("N#", 2);
    line.Add("S00202000,000009D8#");
    line.Add(applet);
    command(line, APPLET_CMD_INIT, 0, 4, 0);
    line.Add("G00202000#");
    size_t init_reply = line.Steps();
    for (int i = 0; i < 6; ++i) line.Add(R4(APPLET_MAILBOX + 4 * i), 4);
    command(line, APPLET_CMD_ERASE, 0, 0, 0);
    line.Add("G00202000#");
    size_t erase_reply = line.Steps();
    line.Add(R4(APPLET_MAILBOX + 4), 4);
    size_t write_reply[2], read_back[2];
    const std::vector<uint8_t>* chunks[2] = {&chunk0, &chunk23};
    uint32_t offsets[2] = {0, 23 * kChunk};
    for (int c = 0; c < 2; ++c) {
        line.Add("S00202AF4,00005400#");
        line.Add(*chunks[c]);
        command(line, APPLET_CMD_WRITE, FLASH_APPLET_BUFFER, kChunk, offsets[c]);
        write_reply[c] = line.Steps();
        line.Add("G00202000#" + R4(APPLET_MAILBOX), 4);  // at once, while the applet writes
        line.Add(R4(APPLET_MAILBOX + 4), 4);
        line.Add(R4(APPLET_MAILBOX + 8), 4);
    }
    for (int c = 0; c < 2; ++c) {
        command(line, APPLET_CMD_READ, FLASH_APPLET_BUFFER, kChunk, offsets[c]);
        line.Add("G00202000#" + R4(APPLET_MAILBOX), 4);
        read_back[c] = line.Steps();
        line.Add("R00202AF4,000053FF#", kChunk - 1);
        line.Add("o00207EF3,4#", 1);
    }
    Play(&line);

    EXPECT_EQ(line.Reply(0), "\n\r\n");
    EXPECT_EQ(line.Reply(1), "\n\r");
    uint32_t expect_init[6] = {0xFFFFFFFF, 0, 0x00080000, 0x00202AF4, 0x00005400, 0x00204000};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(line.Reply(init_reply + i), Le(expect_init[i])) << "init word " << i;
    EXPECT_EQ(line.Reply(erase_reply), Le(0));
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE("chunk at " + Hex8(offsets[c]));
        EXPECT_EQ(line.Reply(write_reply[c]), Le(0xFFFFFFFD));
        EXPECT_EQ(line.Reply(write_reply[c] + 1), Le(0));
        EXPECT_EQ(line.Reply(write_reply[c] + 2), Le(kChunk));
        EXPECT_EQ(FlashAt(offsets[c], kChunk), *chunks[c]);
        std::string back = line.Reply(read_back[c]) + line.Reply(read_back[c] + 1);
        EXPECT_EQ(back, std::string(chunks[c]->begin(), chunks[c]->end()));
    }
}

}  // namespace
