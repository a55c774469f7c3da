#include "serial/port.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/fake_platform.h"

namespace {

class PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        PortHandle = nullptr;
        std::strcpy(PortName, "\\\\.\\COM1");
    }
    // Opens COM1 (which must exist) under the short profile.
    void OpenShort() {
        ASSERT_EQ(OpenPort(), 0);
        ASSERT_EQ(SetShortTimeouts(), 0);
    }
};

TEST_F(PortTest, OpenCloseAndPortState) {
    EXPECT_EQ(OpenPort(), 1) << "no COM1 exists yet";
    EXPECT_EQ(PortHandle, nullptr);
    EXPECT_EQ(IsPortClosed(), 1);

    fake::Device& dev = fake::AddPort(1);
    dev.refuse_open = true;
    EXPECT_EQ(OpenPort(), 1);
    EXPECT_EQ(PortHandle, nullptr);

    dev.refuse_open = false;
    EXPECT_EQ(OpenPort(), 0);
    EXPECT_NE(PortHandle, nullptr);
    EXPECT_EQ(IsPortClosed(), 0);
    ClosePort();
    EXPECT_EQ(PortHandle, nullptr);
    ClosePort();  // harmless twice
    EXPECT_EQ(fake::ConfigCalls(),
              (std::vector<std::string>{"open COM1 failed", "open COM1 failed", "open COM1", "close"}));
}

TEST_F(PortTest, ConfigureLineSetsTheLineAndKeepsUnnamedFields) {
    fake::Device& dev = fake::AddPort(1);
    dev.line.BaudRate = 9600;
    dev.line.Parity = 2;
    dev.line.fOutxCtsFlow = 1;
    dev.line.fDtrControl = 1;
    dev.line.fRtsControl = 2;
    dev.line.fOutX = 1;
    dev.line.fDsrSensitivity = 1;
    dev.line.EofChar = 0x1A;
    dev.line.XonChar = 0x11;
    ASSERT_EQ(OpenPort(), 0);
    ASSERT_EQ(ConfigureLine(), 0);
    EXPECT_NE(PortHandle, nullptr);
    const PlatformLineSettings& l = dev.line;
    EXPECT_EQ(l.DCBlength, 28u);
    EXPECT_EQ(l.BaudRate, 115200u);
    EXPECT_EQ(l.ByteSize, 8);
    EXPECT_EQ(l.Parity, 0);
    EXPECT_EQ(l.StopBits, 0);
    EXPECT_EQ(l.fBinary, 1u);
    EXPECT_EQ(l.fOutxCtsFlow, 0u);
    EXPECT_EQ(l.fDtrControl, 0u);
    EXPECT_EQ(l.fRtsControl, 0u);
    EXPECT_EQ(l.fOutX, 0u);
    EXPECT_EQ(l.fAbortOnError, 1u);
    EXPECT_EQ(l.XonChar, 0);
    EXPECT_EQ(static_cast<uint8_t>(l.XoffChar), 0xFF);
    EXPECT_EQ(l.fDsrSensitivity, 1u) << "not named: keeps what was read";
    EXPECT_EQ(l.EofChar, 0x1A) << "not named: keeps what was read";
}

TEST_F(PortTest, RejectedLineSettingsClosePort) {
    fake::AddPort(1).reject_line = true;
    ASSERT_EQ(OpenPort(), 0);
    EXPECT_EQ(ConfigureLine(), 1);
    EXPECT_EQ(PortHandle, nullptr);
    EXPECT_EQ(fake::ConfigCalls(), (std::vector<std::string>{"open COM1", "line rejected", "close"}));
}

TEST_F(PortTest, ProfilesCarryTheirValuesAndRejectionKeepsPortOpen) {
    fake::Device& dev = fake::AddPort(1);
    ASSERT_EQ(OpenPort(), 0);
    EXPECT_EQ(SetShortTimeouts(), 0);
    EXPECT_EQ(SetLongTimeoutsA(), 0);
    EXPECT_EQ(SetLongTimeoutsB(), 0);
    EXPECT_EQ(dev.timeouts.ReadTotalTimeoutMultiplier, 0x02861550u);
    dev.reject_timeouts = true;
    EXPECT_EQ(SetShortTimeouts(), 1);
    EXPECT_NE(PortHandle, nullptr);
    EXPECT_EQ(dev.timeouts.ReadTotalTimeoutMultiplier, 0x02861550u) << "keeps the time-outs it had";
    EXPECT_EQ(fake::ConfigCalls(), (std::vector<std::string>{"open COM1", "timeouts short", "timeouts A",
                                                             "timeouts B", "timeouts short rejected"}));
}

TEST_F(PortTest, WritePortResults) {
    EXPECT_EQ(WritePort("N#", 2), 1) << "no port open";
    EXPECT_EQ(fake::WriteCalls(), 0);
    EXPECT_TRUE(fake::Boxes().empty());

    fake::AddPort(1).ExpectWrite("N#").FailWrite();
    OpenShort();
    EXPECT_EQ(WritePort("N#", 2), 0);
    EXPECT_EQ(WritePort("T#", 2), 2);
    EXPECT_EQ(PortHandle, nullptr);
    EXPECT_EQ(WritePort("T#", 2), 1);
    EXPECT_EQ(fake::WriteCalls(), 2);
    EXPECT_EQ(fake::Remaining(), "");
}

TEST_F(PortTest, ReadPortWithoutPortShowsNoticeAndFails) {
    uint8_t buffer[4];
    EXPECT_EQ(ReadPort(buffer, 4), 1);
    EXPECT_EQ(PortHandle, nullptr);
    EXPECT_EQ(ReadPort(buffer, 0), 0);
    ASSERT_EQ(fake::Boxes().size(), 2u);
    EXPECT_EQ(fake::Boxes()[0].caption, "Error 4");
    EXPECT_EQ(fake::Boxes()[0].type, 0x10u);
}

TEST_F(PortTest, ReadPortOfZeroBytesReadsNothing) {
    fake::AddPort(1).Reply("x");
    OpenShort();
    uint8_t buffer[1] = {0};
    EXPECT_EQ(ReadPort(buffer, 0), 0);
    EXPECT_EQ(fake::ReadCalls(), 0);
    EXPECT_TRUE(fake::Boxes().empty());
}

// Return-at-once profile: short reads take no fake time when bytes came,
// 1 ms when none did; lets the 3 ms budget allow a fourth call.
const PlatformTimeouts kAtOnce = {0xFFFFFFFFu, 0, 0, 0, 0};

struct ReadCase {
    const char* name;
    bool at_once;             // return-at-once profile instead of the short one
    uint32_t start_tick;
    std::string reply;        // bytes the device sends
    std::vector<uint32_t> pieces;
    uint32_t numb;
    int result;
    int reads;                // read calls made
    uint32_t elapsed;         // fake ms spent
};

class ReadPortCases : public PortTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadPortCases, AttemptsAndBudget) {
    const ReadCase& c = GetParam();
    fake::Device& dev = fake::AddPort(1);
    if (c.pieces.empty())
        dev.Reply(c.reply);
    else
        dev.ReplyInPieces(c.reply, c.pieces);
    OpenShort();
    if (c.at_once) {
        ASSERT_NE(PlatformSetCommTimeouts(PortHandle, &kAtOnce), 0);
    }
    fake::SetTick(c.start_tick);
    uint8_t buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(ReadPort(buffer, c.numb), c.result);
    EXPECT_EQ(fake::ReadCalls(), c.reads);
    EXPECT_EQ(static_cast<uint32_t>(fake::Tick() - c.start_tick), c.elapsed);
    EXPECT_NE(PortHandle, nullptr) << "a budget that ran out leaves the port open";
    size_t got = std::min<size_t>(c.reply.size(), c.numb);
    if (c.result == 0) {
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), c.reply.substr(0, got));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Serial, ReadPortCases,
    ::testing::Values(
        ReadCase{"AllAtOnce", false, 0, "\n\r", {}, 2, 0, 1, 0},
        ReadCase{"PiecesOverThreeCalls", false, 0, "abcd", {1, 2, 1}, 4, 0, 3, 14 + 13},
        ReadCase{"SilentShortProfile", false, 0, "", {}, 2, 2, 3, 3 * 12},
        ReadCase{"PartOnlyShortProfile", false, 0, "a", {}, 2, 2, 3, 12 + 11 + 11},
        ReadCase{"FourPiecesOutOfBudget", false, 0, "abcd", {1, 1, 1, 1}, 4, 2, 3, 14 + 13 + 12},
        ReadCase{"FourthCallWithinBudget", true, 0, "abcd", {1, 1, 1, 1}, 4, 0, 4, 0},
        ReadCase{"BudgetEndsAfterThreeMs", true, 0, "", {}, 4, 2, 3, 3},
        ReadCase{"SilentAcrossTickWrap", true, 0xFFFFFFFEu, "", {}, 4, 2, 3, 3},
        ReadCase{"WrapDoesNotEndReadEarly", true, 0xFFFFFFFFu, "abcde", {0, 1, 1, 1, 1, 1}, 5, 0, 6, 1}),
    [](const ::testing::TestParamInfo<ReadCase>& p) { return std::string(p.param.name); });

TEST_F(PortTest, ReadFailureClosesPortAndLaterWriteFails) {
    fake::AddPort(1).Reply("a").FailRead();
    OpenShort();
    uint8_t buffer[2] = {0, 0};
    EXPECT_EQ(ReadPort(buffer, 2), 1);
    EXPECT_EQ(buffer[0], 'a') << "bytes received so far stay in the buffer";
    EXPECT_EQ(PortHandle, nullptr);
    EXPECT_EQ(WritePort("N#", 2), 1);
    EXPECT_EQ(fake::WriteCalls(), 0);
}

TEST_F(PortTest, LongProfileReadsWholeBlockInOneCallOrFailsWhenSilent) {
    std::string block(300, 'z');
    fake::AddPort(1).ReplyInPieces(block, {100, 100, 100});
    ASSERT_EQ(OpenPort(), 0);
    ASSERT_EQ(SetLongTimeoutsB(), 0);
    std::vector<uint8_t> buffer(300);
    EXPECT_EQ(ReadPort(buffer.data(), 300), 0);
    EXPECT_EQ(fake::ReadCalls(), 1);
    uint8_t two[2];
    EXPECT_EQ(ReadPort(two, 2), 1) << "no byte within the no-progress bound";
    EXPECT_EQ(fake::Tick(), kPlatformNoProgressMs);
    EXPECT_EQ(PortHandle, nullptr);
}

TEST_F(PortTest, FakeReportsWritesThatDifferFromTheScript) {
    fake::AddPort(1).ExpectWrite("N#");
    OpenShort();
    EXPECT_NONFATAL_FAILURE(WritePort("T#", 2), "expected: \"N#\"\n  written:  \"T#\"");
    EXPECT_NONFATAL_FAILURE(WritePort("\x01", 1), "unexpected write \"\\x01\"");
}

}  // namespace
