#include "sim/chip/flash_controller.h"

#include <gtest/gtest.h>

#include "sim/chip/chip.h"

namespace sim {
namespace {

constexpr uint64_t kPageWrite = 3000 * 48, kErase = 15000 * 48, kLock = 2000 * 48;
constexpr uint32_t kModeWrite = (72u << 16) | (1u << 8);
constexpr uint32_t kModeBits = (48u << 16) | (1u << 8);

uint32_t Cmd(uint32_t fcmd, uint32_t pagen, uint32_t key = kFlashKey) { return (key << 24) | (pagen << 8) | fcmd; }

struct Plane {
    explicit Plane(int index, int64_t flip = -1)
        : flash(kFlashSize, 0xFF), efc(index, &flash, FlashTimes{kPageWrite, kErase, kLock}, flip), base(index * kFlashPlaneSize) {}
    // Runs a command at `now` and returns the status once it is done.
    uint32_t Run(uint32_t mode, uint32_t command) {
        efc.WriteMode(mode);
        efc.WriteCommand(command, now);
        now = efc.BusyUntil() > now ? efc.BusyUntil() : now;
        return efc.ReadStatus(now);
    }
    void Latch(uint32_t page, uint32_t word_value) {
        for (uint32_t i = 0; i < kFlashPageSize; i += 4) efc.WriteLatch(page * kFlashPageSize + i, word_value, 4);
    }
    uint8_t At(uint32_t page, uint32_t byte) const { return flash[base + page * kFlashPageSize + byte]; }

    std::vector<uint8_t> flash;
    FlashController efc;
    uint32_t base;
    uint64_t now = 1000;
};

TEST(FlashController, PageWriteErasesFirstUnlessNebp) {
    struct Case {
        uint8_t before, latch;
        bool nebp;
        uint8_t after;
    } cases[] = {
        {0xFF, 0x5A, false, 0x5A}, {0x0F, 0xF0, false, 0xF0},  // erase then program
        {0xFF, 0x5A, true, 0x5A},  {0x0F, 0xF0, true, 0x00},   // AND into what is there
        {0x3C, 0xFF, true, 0x3C},
    };
    for (const Case& c : cases) {
        for (int index : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "plane " << index << " before " << int(c.before) << " latch "
                                            << int(c.latch) << " nebp " << c.nebp);
            Plane p(index);
            std::fill(p.flash.begin() + p.base + 7 * kFlashPageSize, p.flash.begin() + p.base + 8 * kFlashPageSize,
                      c.before);
            p.Latch(7, c.latch * 0x01010101u);
            uint32_t status = p.Run(kModeWrite | (c.nebp ? kFmrNebp : 0), Cmd(kFcmdWritePage, 7));
            EXPECT_EQ(status & (kFsrFrdy | kFsrLocke | kFsrProge), kFsrFrdy);
            EXPECT_EQ(p.At(7, 0), c.after);
            EXPECT_EQ(p.At(7, 255), c.after);
            EXPECT_EQ(p.At(6, 255), 0xFF);
            EXPECT_EQ(p.At(8, 0), 0xFF);
            // The other plane is untouched.
            uint32_t other = index ? 0 : kFlashPlaneSize;
            EXPECT_EQ(p.flash[other + 7 * kFlashPageSize], 0xFF);
        }
    }
}

TEST(FlashController, LockedRegionRefusesWriteAndEraseAll) {
    Plane p(1);
    p.flash[p.base + 70 * kFlashPageSize] = 0x11;
    // Region 17 = controller 1, PAGEN (17 mod 16) x 64.
    EXPECT_EQ(p.Run(kModeBits, Cmd(kFcmdSetLock, 64)) & (kFsrLocke | kFsrProge), 0u);
    EXPECT_EQ(p.efc.LockBits(), 1u << 1);
    EXPECT_EQ(p.efc.ReadStatus(p.now) >> 16, 1u << 1);

    p.Latch(70, 0);
    uint32_t status = p.Run(kModeWrite, Cmd(kFcmdWritePage, 70));  // inside region 1 of the plane
    EXPECT_EQ(status & (kFsrFrdy | kFsrLocke), kFsrFrdy | kFsrLocke);
    EXPECT_EQ(p.At(70, 0), 0x11);
    EXPECT_EQ(p.efc.ReadStatus(p.now) & kFsrLocke, 0u) << "LOCKE is cleared by the read that showed it";

    // Page 63 is in region 0 of the plane, unlocked; page 64 the first of the locked one.
    p.Latch(63, 0x12345678);
    EXPECT_EQ(p.Run(kModeWrite, Cmd(kFcmdWritePage, 63)) & kFsrLocke, 0u);
    EXPECT_EQ(p.At(63, 0), 0x78);
    EXPECT_NE(p.Run(kModeWrite, Cmd(kFcmdWritePage, 64)) & kFsrLocke, 0u);

    // Erase-all is refused and erases nothing while any region is locked.
    EXPECT_NE(p.Run(kModeWrite, Cmd(kFcmdEraseAll, 0)) & kFsrLocke, 0u);
    EXPECT_EQ(p.At(63, 0), 0x78);
    EXPECT_EQ(p.At(70, 0), 0x11);

    EXPECT_EQ(p.Run(kModeBits, Cmd(kFcmdClearLock, 64)) & (kFsrLocke | kFsrProge), 0u);
    EXPECT_EQ(p.efc.LockBits(), 0u);
    EXPECT_EQ(p.Run(kModeWrite, Cmd(kFcmdEraseAll, 0)) & (kFsrLocke | kFsrProge), 0u);
    EXPECT_EQ(p.At(63, 0), 0xFF);
    EXPECT_EQ(p.At(70, 0), 0xFF);
    EXPECT_EQ(p.flash[0], 0xFF);
}

TEST(FlashController, WritePageAndLockLocksAfterWriting) {
    Plane p(0);
    p.Latch(1023, 0);
    EXPECT_EQ(p.Run(kModeWrite, Cmd(kFcmdWritePageLock, 1023)) & (kFsrLocke | kFsrProge), 0u);
    EXPECT_EQ(p.At(1023, 0), 0x00);
    EXPECT_EQ(p.efc.LockBits(), 1u << 15);
}

TEST(FlashController, RefusedCommandsSetProgeAndChangeNothing) {
    struct Case {
        const char* name;
        int index;
        uint32_t command;
    } cases[] = {
        {"bad key", 0, Cmd(kFcmdSetLock, 0, 0xA5)},
        {"no key", 0, Cmd(kFcmdEraseAll, 0, 0)},
        {"unknown command", 0, Cmd(0x5, 0)},
        {"command 0", 0, Cmd(0x0, 0)},
        {"GPNVM bit 3", 0, Cmd(kFcmdSetGpnvm, 3)},
        {"GPNVM on controller 1", 1, Cmd(kFcmdSetGpnvm, 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Plane p(c.index);
        p.flash[p.base] = 0;
        uint32_t status = p.Run(kModeBits, c.command);
        EXPECT_EQ(status & (kFsrFrdy | kFsrProge | kFsrLocke), kFsrFrdy | kFsrProge);
        EXPECT_EQ(p.efc.ReadStatus(p.now) & kFsrProge, 0u) << "PROGE is cleared by the read that showed it";
        EXPECT_EQ(p.flash[p.base], 0);
        EXPECT_EQ(p.efc.LockBits(), 0u);
        EXPECT_EQ(p.efc.GpnvmBits(), 0u);
    }
}

TEST(FlashController, GpnvmBitsSetAndClearOnControllerZero) {
    Plane p(0);
    for (uint32_t bit = 0; bit < 3; ++bit) {
        EXPECT_EQ(p.Run(kModeBits, Cmd(kFcmdSetGpnvm, bit)) & (kFsrProge | kFsrLocke), 0u);
    }
    EXPECT_EQ(p.efc.GpnvmBits(), 7u);
    EXPECT_EQ((p.efc.ReadStatus(p.now) >> 8) & 7u, 7u);
    p.Run(kModeBits, Cmd(kFcmdClearGpnvm, 1));
    EXPECT_EQ(p.efc.GpnvmBits(), 5u);
    EXPECT_EQ(p.efc.FmcnErrors(), 0u);
}

TEST(FlashController, FrdyReadsZeroForTheBusyTime) {
    struct Case {
        const char* name;
        uint32_t mode, command;
        uint64_t busy;
    } cases[] = {
        {"page write", kModeWrite, Cmd(kFcmdWritePage, 0), kPageWrite},
        {"erase all", kModeWrite, Cmd(kFcmdEraseAll, 0), kErase},
        {"lock", kModeBits, Cmd(kFcmdSetLock, 0), kLock},
        {"unlock", kModeBits, Cmd(kFcmdClearLock, 0), kLock},
        {"GPNVM", kModeBits, Cmd(kFcmdSetGpnvm, 2), kLock},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Plane p(0);
        p.efc.WriteMode(c.mode);
        p.efc.WriteCommand(c.command, 500);
        EXPECT_EQ(p.efc.ReadStatus(500) & kFsrFrdy, 0u);
        EXPECT_EQ(p.efc.ReadStatus(500 + c.busy - 1) & kFsrFrdy, 0u);
        EXPECT_EQ(p.efc.ReadStatus(500 + c.busy) & (kFsrFrdy | kFsrProge | kFsrLocke), kFsrFrdy);
    }
}

TEST(FlashController, CommandWhileBusyIsRefusedAndReportedWhenReady) {
    Plane p(0);
    p.efc.WriteMode(kModeBits);
    p.efc.WriteCommand(Cmd(kFcmdSetLock, 0), 0);
    p.efc.WriteCommand(Cmd(kFcmdSetLock, 64), 10);
    // Polls while busy neither show nor clear the error ...
    EXPECT_EQ(p.efc.ReadStatus(20) & (kFsrFrdy | kFsrProge), 0u);
    // ... it comes with FRDY, in the same value.
    EXPECT_EQ(p.efc.ReadStatus(kLock) & (kFsrFrdy | kFsrProge), kFsrFrdy | kFsrProge);
    EXPECT_EQ(p.efc.LockBits(), 1u);
}

TEST(FlashController, WrongFmcnIsCountedButRuns) {
    Plane p(0);
    p.Latch(0, 0);
    p.Run(kModeBits, Cmd(kFcmdWritePage, 0));  // 48 where 72 is due
    p.Run(kModeWrite, Cmd(kFcmdSetLock, 0));   // 72 where 48 is due
    EXPECT_EQ(p.efc.FmcnErrors(), 2u);
    EXPECT_NE(p.efc.LastFmcnError().find("FMCN 72, expected 48"), std::string::npos) << p.efc.LastFmcnError();
    EXPECT_EQ(p.At(0, 0), 0x00);
    EXPECT_EQ(p.efc.LockBits(), 1u);
}

TEST(FlashController, FlipFaultInvertsTheByteAfterItsPageIsWritten) {
    const int64_t flip = kFlashPlaneSize + 5 * kFlashPageSize + 3;
    Plane p(1, flip);
    p.Latch(4, 0x11111111);
    p.Run(kModeWrite, Cmd(kFcmdWritePage, 4));
    p.Latch(5, 0x11111111);
    p.Run(kModeWrite, Cmd(kFcmdWritePage, 5));
    EXPECT_EQ(p.At(4, 3), 0x11);
    EXPECT_EQ(p.At(5, 2), 0x11);
    EXPECT_EQ(p.At(5, 3), 0xEE);
}

}  // namespace
}  // namespace sim
