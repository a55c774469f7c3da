// Flash operations against the scripted device: codes, frames and dots.
#include "applet/flash.h"

#include <gtest/gtest.h>

#include <cstring>

#include "applet/mailbox.h"
#include "applet/test_scripts.h"
#include "run/test_outcomes.h"
#include "run/buffers.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class FlashTest : public ::testing::Test {
protected:
    void SetUp() override {
        dev = &script::OpenDevice();
        AppletInfo[0] = script::kBuffer;
        AppletInfo[1] = script::kChunk;
        FlashOffset = 0;
    }
    void TearDown() override {
        EXPECT_EQ(fake::Remaining(), "");
        ClosePort();
    }
    fake::Device* dev = nullptr;
};

// A region walk failing at one step of one region: 0 command write,
// 1 region write, 2 command word, 3 status word.
struct RegionFailure {
    uint32_t region;
    int step;
    int32_t code;
    const char* dots;
};

void ScriptRegionFailure(fake::Device& d, uint32_t command, const RegionFailure& f) {
    for (uint32_t r = 0; r < f.region; ++r) script::RegionOk(d, command, r);
    if (f.step == 0) {
        d.FailWrite();
        return;
    }
    d.ExpectWord(script::kCmd, command);
    if (f.step == 1) {
        d.FailWrite();
        return;
    }
    d.ExpectWord(script::kArg1, f.region).ExpectGo(script::kBase);
    if (f.step == 2) {
        d.ExpectReadWord(script::kCmd, command);  // left at the command code
        return;
    }
    d.ExpectReadWord(script::kCmd, ~command).ExpectReadWord(script::kStatus, 5);
}

TEST_F(FlashTest, UnlockAndEraseAllPrintsEightDots) {
    script::UnlockEraseOk(*dev);
    CaptureStdout();
    EXPECT_EQ(UnlockAndEraseAll(), 0);
    EXPECT_EQ(GetCapturedStdout(), "........");
    // The erase's words are read after a 2 ms pause.
    const auto& calls = fake::Calls();
    auto go = std::find(calls.rbegin(), calls.rend(), "write G00202000#");
    ASSERT_NE(go, calls.rend());
    EXPECT_EQ(*(go - 1), "sleep 2");
}

TEST_F(FlashTest, UnlockFailuresGiveTheirCodes) {
    const RegionFailure cases[] = {
        {0, 0, 80, ""}, {0, 1, 81, ""}, {3, 2, 82, ""}, {4, 3, 83, "."}, {31, 3, 83, "......."},
    };
    for (const RegionFailure& f : cases) {
        SCOPED_TRACE(f.code);
        fake::Device& d = script::OpenDevice();
        ScriptRegionFailure(d, 5, f);
        CaptureStdout();
        EXPECT_EQ(UnlockAndEraseAll(), f.code);
        outcometest::ExpectListed("erase", f.code);
        EXPECT_EQ(GetCapturedStdout(), f.dots);
        EXPECT_EQ(fake::Remaining(), "");
    }
}

TEST_F(FlashTest, EraseFailures) {
    struct Case {
        const char* name;
        int fail_write;      // 1 command, 2 argument, 0 none
        uint32_t command;    // command word after the erase
        uint32_t status;
        int32_t code;
        const char* out;
    } cases[] = {
        {"command write", 1, 0, 0, 84, "........"},
        {"argument write", 2, 0, 0, 85, "........"},
        {"status non-zero", 0, 0xFFFFFFFE, 5, 86, "........+ "},
        {"command word not compared", 0, 1, 0, 0, "........"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Device& d = script::OpenDevice();
        for (uint32_t r = 0; r < 32; ++r) script::RegionOk(d, 5, r);
        if (c.fail_write == 1) {
            d.FailWrite();
        } else if (c.fail_write == 2) {
            d.ExpectWord(script::kCmd, 1).FailWrite();
        } else {
            d.ExpectWord(script::kCmd, 1).ExpectWord(script::kArg1, 0).ExpectGo(script::kBase);
            d.ExpectReadWord(script::kCmd, c.command).ExpectReadWord(script::kStatus, c.status);
        }
        CaptureStdout();
        EXPECT_EQ(UnlockAndEraseAll(), c.code);
        if (c.code != 0) outcometest::ExpectListed("erase", c.code);
        EXPECT_EQ(GetCapturedStdout(), c.out);
        EXPECT_EQ(fake::Remaining(), "");
    }
}

TEST_F(FlashTest, LockFailuresGiveTheirCodes) {
    // Status non-zero at region 5: one dot, nothing sent for regions 6-31.
    const RegionFailure cases[] = {
        {0, 0, 380, ""}, {8, 1, 381, ".."}, {12, 2, 382, "..."}, {5, 3, 383, "."},
    };
    for (const RegionFailure& f : cases) {
        SCOPED_TRACE(f.code);
        fake::Device& d = script::OpenDevice();
        ScriptRegionFailure(d, 4, f);
        CaptureStdout();
        EXPECT_EQ(LockAllRegions(), f.code);
        outcometest::ExpectListed("lock", f.code);
        EXPECT_EQ(GetCapturedStdout(), f.dots);
        EXPECT_EQ(fake::Remaining(), "");
    }
}

TEST_F(FlashTest, SetGpnvm2Codes) {
    // fail: 1-3 the n-th word write, 4 Go, 5 wrong command word, 6 status.
    const struct { int fail; int32_t code; } cases[] = {
        {0, 0}, {1, 371}, {2, 372}, {3, 373}, {4, 361}, {5, 361}, {6, 362},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fail);
        fake::Device& d = script::OpenDevice();
        const uint32_t words[3][2] = {{script::kCmd, 6}, {script::kArg1, 1}, {script::kArg2, 2}};
        int step = 1;
        for (; step <= 3 && step != c.fail; ++step) d.ExpectWord(words[step - 1][0], words[step - 1][1]);
        if (c.fail >= 1 && c.fail <= 4) {
            d.FailWrite();
        } else {
            d.ExpectGo(script::kBase);
            d.ExpectReadWord(script::kCmd, c.fail == 5 ? 6 : 0xFFFFFFF9);
            if (c.fail != 5) d.ExpectReadWord(script::kStatus, c.fail == 6 ? 1 : 0);
        }
        EXPECT_EQ(SetGpnvm2(), c.code);
        if (c.code != 0) {
            outcometest::ExpectListed("gpnvm", c.code);
            outcometest::ExpectListed("gpnvm-cancel", c.code);
        }
        EXPECT_EQ(fake::Remaining(), "");
    }
}

TEST_F(FlashTest, WriteChunkSendsBufferAndStartsWithoutReadingBack) {
    for (int i = 0; i < 0x5400; ++i) TransferBuffer[i] = uint8_t(i * 7);
    script::WriteChunkOk(*dev, script::Bytes(TransferBuffer, 0x5400), 0);
    EXPECT_EQ(WriteChunk(0x5400), 0);
    EXPECT_EQ(FlashOffset, 0x5400);
    EXPECT_EQ(script::WordReads(), 0);
    EXPECT_EQ(fake::ReadCalls(), 0);

    script::WriteChunkOk(*dev, script::Bytes(TransferBuffer, 0x5400), 0x5400);
    EXPECT_EQ(WriteChunk(0x5400), 0);
    EXPECT_EQ(FlashOffset, 0xA800);
}

// Transfer-start failures: n-th write of the command words (1-4), or Go (5).
void ScriptTransferFailure(fake::Device& d, uint32_t command, int fail) {
    const uint32_t words[4][2] = {
        {script::kCmd, command}, {script::kArg1, script::kBuffer}, {script::kArg2, 0x5400}, {script::kArg3, 0}};
    for (int i = 1; i < fail; ++i) d.ExpectWord(words[i - 1][0], words[i - 1][1]);
    d.FailWrite();
}

TEST_F(FlashTest, WriteChunkCodes) {
    const struct { int fail; int32_t code; } cases[] = {
        {-1, 701}, {0, 702}, {1, 721}, {2, 722}, {3, 723}, {4, 724}, {5, 731},
    };
    std::memset(TransferBuffer, 0, 0x5400);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        fake::Device& d = script::OpenDevice();
        FlashOffset = 0;
        if (c.fail == -1) {
            d.FailWrite();
        } else if (c.fail == 0) {
            d.ExpectWrite("S00202AF4,00005400#").FailWrite();
        } else {
            d.ExpectSendData(script::kBuffer, std::string(0x5400, '\0'));
            ScriptTransferFailure(d, 2, c.fail);
        }
        EXPECT_EQ(WriteChunk(0x5400), c.code);
        outcometest::ExpectListed("write", c.code);
        EXPECT_EQ(FlashOffset, 0);
        EXPECT_EQ(IsPortClosed(), 1);  // the failed write closed the port
        EXPECT_EQ(fake::Remaining(), "");
    }
}

TEST_F(FlashTest, ReadChunkCodes) {
    const struct { int fail; int32_t code; } cases[] = {
        {1, 521}, {2, 522}, {3, 523}, {4, 524}, {5, 531},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        script::OpenDevice();
        FlashOffset = 0;
        ScriptTransferFailure(*fake::FindPort("\\\\.\\COM3"), 3, c.fail);
        EXPECT_EQ(ReadChunk(0x5400), c.code);
        outcometest::ExpectListed("compare", c.code);
        EXPECT_EQ(FlashOffset, 0);
        EXPECT_EQ(fake::Remaining(), "");
    }
}

TEST_F(FlashTest, ReadChunkWithStuckStatusGives542AfterSixChecks) {
    script::TransferStart(*dev, 3, 0x5400, 0);
    for (int i = 0; i < 6; ++i) dev->ExpectReadWord(script::kCmd, 0xFFFFFFFC).ExpectReadWord(script::kStatus, 1);
    EXPECT_EQ(ReadChunk(0x5400), 542);
    EXPECT_EQ(FlashOffset, 0x5400);
    EXPECT_EQ(fake::Sleeps().size(), 6u);
}

TEST_F(FlashTest, FetchChunkCodes) {
    dev->FailWrite();
    EXPECT_EQ(FetchChunk(0x5400), 564);
    outcometest::ExpectListed("compare", 564);

    fake::Device& d = script::OpenDevice();
    d.ExpectWrite("R00202AF4,000053FF#").Reply(std::string(100, 'x'));  // then nothing more
    EXPECT_EQ(FetchChunk(0x5400), 565);
    outcometest::ExpectListed("compare", 565);
}

}  // namespace
