// The write and verify passes against the scripted device.
#include <gtest/gtest.h>

#include "applet/flash.h"
#include "applet/mailbox.h"
#include "run/buffers.h"
#include "run/run.h"
#include "run/test_run.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class PassesTest : public runtest::WorkDirTest {
protected:
    void SetUp() override {
        runtest::WorkDirTest::SetUp();
        dev = &script::OpenDevice();
        AppletInfo[0] = script::kBuffer;
        AppletInfo[1] = script::kChunk;
        FlashOffset = 0;
    }
    void TearDown() override {
        EXPECT_EQ(fake::Remaining(), "");
        ClosePort();
        ProgramImage.close();
        runtest::WorkDirTest::TearDown();
    }
    void OpenImage(const std::string& image) {
        WriteFile("image.bin", image);
        ProgramImage.clear();
        ProgramImage.open("image.bin", std::ios::in | std::ios::binary);
        ASSERT_TRUE(ProgramImage.is_open());
    }
    std::vector<std::string> Captions() {
        std::vector<std::string> out;
        for (const fake::Box& b : fake::Boxes()) out.push_back(b.caption);
        return out;
    }
    fake::Device* dev = nullptr;
};

// Image sizes and the chunks each pass carries: a size that ends on a chunk
// boundary below 24 chunks gets one more chunk of zeros. The scripts expect
// every last chunk zero-padded, where the buffer still holds the chunk before.
TEST_F(PassesTest, ChunkCountsAndDotsPerImageSize) {
    const struct { size_t size; int chunks; const char* dots; } cases[] = {
        {0, 1, ""},
        {1, 1, ""},
        {0x5400, 2, "."},
        {0x5400 * 3, 4, ".."},
        {0x5400 * 4 + 100, 5, ".."},
        {0x5400 * 23, 24, "............"},
        {0x5400 * 24, 24, "............"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        fake::Device& d = script::OpenDevice();
        const std::string image = runtest::Image(c.size);
        OpenImage(image);
        runtest::WritePassOk(d, image, c.chunks);
        runtest::VerifyPassOk(d, image, c.chunks);
        CaptureStdout();
        EXPECT_EQ(WritePass(), 0);
        EXPECT_EQ(ChunkSize, 0x5400);
        EXPECT_EQ(VerifyPass(), 0);
        EXPECT_EQ(GetCapturedStdout(),
                  std::string(" 7. Write flash ..") + c.dots + " OK \n 8. Compare .." + c.dots + " OK \n");
        EXPECT_EQ(fake::Remaining(), "");
        EXPECT_TRUE(fake::Boxes().empty());
        ProgramImage.close();
    }
}

TEST_F(PassesTest, MismatchReportsFirstDifferenceWithTargetAddress) {
    std::string image = runtest::Image(0x5400 * 3 + 50);
    image[2 * 0x5400 + 5] = char(0xFF);
    image[2 * 0x5400 + 9] = char(0x77);
    OpenImage(image);
    runtest::VerifyPassOk(*dev, image, 2);
    std::string flash = runtest::Chunk(image, 2);
    flash[5] = 0x00;   // first difference
    flash[9] = 0x05;   // a later one is not reported
    script::ReadChunkOk(*dev, script::kChunk, 2 * script::kChunk);
    script::FetchChunkOk(*dev, flash);
    ChunkSize = 0x5400;
    CaptureStdout();
    EXPECT_EQ(VerifyPass(), 1);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(out, " 8. Compare ... Error !  \nADR = 10A805 , DFILE = FF , DFLASH = 0 \n");
    EXPECT_EQ(Captions(), std::vector<std::string>{"Error 11"});
    outcometest::ExpectOutcome("compare-mismatch", out, Captions());
}

TEST_F(PassesTest, MismatchInPaddingShowsSmallBytesWithoutLeadingZeros) {
    const std::string image = runtest::Image(3);
    OpenImage(image);
    std::string flash = runtest::Chunk(image, 0);
    flash[0x53FF] = char(0x80);  // the byte fetched by the byte read
    script::ReadChunkOk(*dev, script::kChunk, 0);
    script::FetchChunkOk(*dev, flash);
    ChunkSize = 0x5400;
    CaptureStdout();
    EXPECT_EQ(VerifyPass(), 1);
    EXPECT_EQ(GetCapturedStdout(), " 8. Compare .. Error !  \nADR = 1053FF , DFILE = 0 , DFLASH = 80 \n");
}

// Failure rows of the write pass: the wait before a chunk and after the last
// add 900, WriteChunk's codes go out unchanged.
TEST_F(PassesTest, WritePassFailures) {
    const std::string image = runtest::Image(0x5400 * 2 + 1);  // three chunks
    struct Case {
        const char* name;
        int good_chunks;       // chunks written and confirmed before the failure
        int kind;              // 0 wait before a chunk, 1 WriteChunk frame, 2 wait after the last
        const char* out;
    } cases[] = {
        {"wait before chunk 2", 1, 0, " 7. Write flash .. error N 901 \n"},
        {"chunk 3 frame", 2, 1, " 7. Write flash ... error N 701 \n"},
        {"wait after the last", 3, 2, " 7. Write flash ... error N 903 \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Device& d = script::OpenDevice();
        OpenImage(image);
        for (int k = 0; k < c.good_chunks; ++k) {
            if (k > 0) script::DoneCheck(d, 0xFFFFFFFD, script::kChunk);
            script::WriteChunkOk(d, runtest::Chunk(image, k), uint32_t(k) * script::kChunk);
        }
        if (c.kind == 0) {
            for (int i = 0; i < 6; ++i) d.ExpectReadWord(script::kCmd, 2);
        } else if (c.kind == 1) {
            script::DoneCheck(d, 0xFFFFFFFD, script::kChunk);
            d.FailWrite();
        } else {
            for (int i = 0; i < 6; ++i) script::DoneCheck(d, 0xFFFFFFFD, script::kChunk - 1);
        }
        CaptureStdout();
        EXPECT_EQ(WritePass(), 1);
        const std::string out = GetCapturedStdout();
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(Captions(), std::vector<std::string>{"Error 11"});
        outcometest::ExpectOutcome("write", out, Captions());
        EXPECT_EQ(fake::Remaining(), "");
        ProgramImage.close();
    }
}

TEST_F(PassesTest, VerifyPassFailures) {
    const std::string image = runtest::Image(0x5400 * 2 + 1);
    const struct { bool fetch; const char* out; } cases[] = {
        {false, " 8. Compare ... error N 521 \n"},
        {true, " 8. Compare ... error N 564 \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        fake::Device& d = script::OpenDevice();
        OpenImage(image);
        ChunkSize = 0x5400;
        runtest::VerifyPassOk(d, image, 2);
        if (c.fetch) script::ReadChunkOk(d, script::kChunk, 2 * script::kChunk);
        d.FailWrite();
        CaptureStdout();
        EXPECT_EQ(VerifyPass(), 1);
        const std::string out = GetCapturedStdout();
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(Captions(), std::vector<std::string>{"Error 11"});
        outcometest::ExpectOutcome("compare", out, Captions());
        EXPECT_EQ(fake::Remaining(), "");
        ProgramImage.close();
    }
}

// An image stream that a read error has put in the bad state is a failure of
// the pass before anything is sent, not an early end of the image: otherwise
// both passes would agree on a chunk of zeros and report success.
TEST_F(PassesTest, ImageReadErrorStopsEitherPassBeforeAnyFrame) {
    const struct { bool verify; const char* out; } cases[] = {
        {false, " 7. Write flash .. error image read \n"},
        {true, " 8. Compare .. error image read \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        script::OpenDevice();
        OpenImage(runtest::Image(0x5400 * 2));
        ProgramImage.setstate(std::ios::badbit);
        ChunkSize = 0x5400;
        CaptureStdout();
        EXPECT_EQ(c.verify ? VerifyPass() : WritePass(), 1);
        const std::string out = GetCapturedStdout();
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(Captions(), std::vector<std::string>{"Error 11"});
        outcometest::ExpectOutcome(c.verify ? "compare-image" : "write-image", out, Captions());
        EXPECT_EQ(fake::Remaining(), "");
        ProgramImage.close();
    }
}

}  // namespace
