#include "monitor/frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "applet/images.h"
#include "platform/fake_platform.h"
#include "serial/port.h"

namespace {

class FramesTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        PortHandle = nullptr;
        std::strcpy(PortName, "\\\\.\\COM1");
        std::memset(ReadReply, 0, sizeof ReadReply);
    }
    fake::Device& Open() {
        fake::Device& dev = fake::AddPort(1);
        EXPECT_EQ(OpenPort(), 0);
        EXPECT_EQ(SetLongTimeoutsA(), 0);
        return dev;
    }
    std::string Frame() const { return reinterpret_cast<const char*>(CommandFrame); }
};

struct FrameCase {
    const char* name;
    std::function<int()> send;  // the command, its result as int
    std::string wire;           // exact frame bytes
    int result;
};

class FrameEncoding : public FramesTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(FrameEncoding, SendsExactlyTheFrame) {
    const FrameCase& c = GetParam();
    Open().ExpectWrite(c.wire);
    EXPECT_EQ(c.send(), c.result);
    EXPECT_EQ(Frame(), c.wire) << "CommandFrame holds the frame NUL-terminated";
    EXPECT_EQ(fake::Remaining(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Monitor, FrameEncoding,
    ::testing::Values(
        FrameCase{"WriteWordSix", [] { return WriteWord(0x00202004, 6); }, "W00202004,00000006#", 0},
        FrameCase{"WriteWordAllOnes", [] { return WriteWord(0x00202010, 0xFFFFFFFF); }, "W00202010,FFFFFFFF#",
                  0},
        FrameCase{"WriteWordHighAddress", [] { return WriteWord(0xFFFFF240, 0xABCDEF01); },
                  "WFFFFF240,ABCDEF01#", 0},
        FrameCase{"WriteHalfWord", [] { return WriteHalfWord(0x00202010, 0xBEEF); }, "H00202010,BEEF#", 0},
        FrameCase{"WriteOctet", [] { return WriteOctet(0x00202010, 0x7F); }, "O00202010,7F#", 0},
        FrameCase{"Go", [] { return Go(0x00202000); }, "G00202000#", 0},
        FrameCase{"GoSramMonitor", [] { return Go(kSramMonitorBase); }, "G00200000#", 0}),
    [](const ::testing::TestParamInfo<FrameCase>& p) { return std::string(p.param.name); });

TEST_F(FramesTest, EncodeValueWidthsDropHigherDigits) {
    const struct {
        uint32_t value;
        int32_t width;
        const char* digits;
    } cases[] = {{0x1234, 1, "34"}, {0x12345, 2, "2345"}, {0xDEADBEEF, 4, "DEADBEEF"},
                 {0xABC, 3, "BC"},  {0x5A, 0, "5A"},      {0x0, 4, "00000000"}};
    for (const auto& c : cases) {
        std::memset(CommandFrame, '.', sizeof CommandFrame);
        EncodeValue(c.value, c.width);
        std::string digits(reinterpret_cast<char*>(CommandFrame) + 10, std::strlen(c.digits));
        EXPECT_EQ(digits, c.digits) << std::hex << c.value << " width " << c.width;
        EXPECT_EQ(CommandFrame[10 + std::strlen(c.digits)], '.') << "nothing written past the digits";
    }
}

TEST_F(FramesTest, ReadWordBuildsLittleEndianWord) {
    Open().ExpectWrite("wFFFFF240,4#").Reply(std::string("\x78\x56\x34\x12", 4));
    EXPECT_EQ(ReadWord(0xFFFFF240), 0x12345678u);
    EXPECT_EQ(fake::Remaining(), "");
}

TEST_F(FramesTest, ReadOctetUsesTheWordReadTailAndReadsOneByte) {
    Open().ExpectWrite("o00200000,4#").Reply(std::string("\xB2", 1));
    EXPECT_EQ(ReadOctet(0x00200000), 0xB2);
    EXPECT_EQ(fake::Calls()[fake::Calls().size() - 1], "read 1 -> 1");
}

TEST_F(FramesTest, ShortWordAnswerKeepsEarlierReplyBytes) {
    Open().ExpectReadWord(0x00202004, 0xAABBCCDD).ExpectWrite("w00202008,4#").Reply("\x11");
    ASSERT_EQ(SetShortTimeouts(), 0);  // a short answer runs out of budget, it does not fail
    EXPECT_EQ(ReadWord(0x00202004), 0xAABBCCDDu);
    EXPECT_EQ(ReadWord(0x00202008), 0xAABBCC11u);
    EXPECT_NE(PortHandle, nullptr) << "a short answer leaves the port open";
}

TEST_F(FramesTest, DataSendsFrameThenBlock) {
    fake::Device& dev = Open();
    dev.ExpectSendData(kSramMonitorBase, std::string(reinterpret_cast<const char*>(SramMonitorImage), 5392));
    dev.ExpectWrite("S00202000,00000440#").ExpectWrite(std::string(reinterpret_cast<const char*>(InitApplet), 1088));
    dev.ExpectWrite("S00202000,000009D8#").ExpectAnyWrite(2520);
    EXPECT_EQ(StartSramMonitorUpload(), 0);
    EXPECT_EQ(SendApplet(1088, InitApplet), 0);
    EXPECT_EQ(SendApplet(2520, FlashApplet), 0);
    EXPECT_EQ(fake::WriteCalls(), 6);
    EXPECT_EQ(fake::Remaining(), "");
}

TEST_F(FramesTest, SendDataReportsWhichWriteFailed) {
    Open().FailWrite();
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(SendData(AppletBase, 3, data), 1);
    EXPECT_EQ(fake::WriteCalls(), 1) << "no data after a failed frame";

    fake::Reset();
    PortHandle = nullptr;
    Open().ExpectWrite("S00202000,00000003#").FailWrite();
    EXPECT_EQ(SendData(AppletBase, 3, data), 2);
    EXPECT_EQ(PortHandle, nullptr);
}

TEST_F(FramesTest, ReceiveDataResults) {
    std::string block(21503, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 7);
    Open().ExpectReceiveData(0x00202AF4, block).ExpectWrite("R00202AF4,00000004#").Reply("ab");
    std::vector<uint8_t> out(21503);
    EXPECT_EQ(ReceiveData(0x00202AF4, 21503, out.data()), 0);
    EXPECT_EQ(std::string(out.begin(), out.end()), block);
    EXPECT_EQ(Frame(), "R00202AF4,000053FF#");
    EXPECT_EQ(ReceiveData(0x00202AF4, 4, out.data()), 2) << "short answer";
    ClosePort();
    EXPECT_EQ(ReceiveData(0x00202AF4, 4, out.data()), 1) << "no port: frame fails, nothing read";
    EXPECT_TRUE(fake::Boxes().empty());
}

TEST_F(FramesTest, WordFrameAfterGoRewritesEveryPosition) {
    Open().ExpectGo(0x00202000).ExpectWord(0x00202004, 1).ExpectWrite("o00202000,4#").Reply("x").ExpectGo(0x1);
    EXPECT_EQ(Go(0x00202000), 0);
    EXPECT_EQ(WriteWord(0x00202004, 1), 0);
    EXPECT_EQ(ReadOctet(0x00202000), 'x');
    EXPECT_EQ(Go(0x1), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(CommandFrame) + 11, 2), std::string("#\0", 2))
        << "bytes behind a shorter frame's NUL stay as the longer frame left them";
    EXPECT_EQ(fake::Remaining(), "");
}

TEST_F(FramesTest, NoPortOpen) {
    uint8_t data[1] = {0};
    ReadReply[0] = 0x55;
    EXPECT_EQ(WriteWord(0x00202004, 6), 1);
    EXPECT_EQ(WriteHalfWord(0x00202004, 6), 1);
    EXPECT_EQ(WriteOctet(0x00202004, 6), 1);
    EXPECT_EQ(Go(0x00202000), 1);
    EXPECT_EQ(ReadWord(0xFFFFF240), 0u);
    EXPECT_EQ(ReadOctet(0xFFFFF240), 0u);
    EXPECT_EQ(SendData(AppletBase, 1, data), 1);
    EXPECT_EQ(fake::ReadCalls() + fake::WriteCalls(), 0);
    EXPECT_TRUE(fake::Boxes().empty()) << "no read, so no no-device notice";
}

}  // namespace
