#include "monitor/handshakes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "monitor/frames.h"
#include "platform/fake_platform.h"
#include "run/test_outcomes.h"
#include "serial/port.h"

namespace {

class HandshakeTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        PortHandle = nullptr;
        std::strcpy(PortName, "\\\\.\\COM1");
        const uint8_t initial[4] = {'N', '#', 0, 0};
        std::memcpy(ModeFrame, initial, 4);
    }
    // COM1 open under the short profile, as the device search leaves it.
    fake::Device& Open() {
        fake::Device& dev = fake::AddPort(1);
        EXPECT_EQ(OpenPort(), 0);
        EXPECT_EQ(SetShortTimeouts(), 0);
        return dev;
    }
};

enum Op { kNormal, kPrompt, kMode };

struct ModeCase {
    const char* name;
    Op op;
    std::function<void(fake::Device&)> device;
    int result;
};

class ModeHandshakes : public HandshakeTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ModeHandshakes, Codes) {
    const ModeCase& c = GetParam();
    c.device(Open());
    int result = c.op == kNormal ? EnterNormalMode() : c.op == kPrompt ? CheckTerminalPrompt() : CheckTerminalMode();
    EXPECT_EQ(result, c.result);
    if (c.op == kPrompt && result != 0) outcometest::ExpectListed("prompt", result);
    EXPECT_EQ(fake::Remaining(), "");
}

fake::Device& T(fake::Device& d) { return d.ExpectWrite("T#"); }
fake::Device& N(fake::Device& d) { return d.ExpectWrite("N#"); }

INSTANTIATE_TEST_SUITE_P(
    Monitor, ModeHandshakes,
    ::testing::Values(
        ModeCase{"NormalAck", kNormal, [](fake::Device& d) { N(d).Reply("\n\r"); }, 0},
        ModeCase{"NormalSwapped", kNormal, [](fake::Device& d) { N(d).Reply("\r\n"); }, 4},
        ModeCase{"NormalOneByte", kNormal, [](fake::Device& d) { N(d).Reply("\n"); }, 2},
        ModeCase{"NormalReadFails", kNormal, [](fake::Device& d) { N(d).FailRead(); }, 2},
        ModeCase{"NormalSendFails", kNormal, [](fake::Device& d) { d.FailWrite(); }, 1},
        ModeCase{"PromptOfRom", kPrompt, [](fake::Device& d) { T(d).Reply("\n\r>"); }, 0},
        ModeCase{"PromptAnyFirstByte", kPrompt, [](fake::Device& d) { T(d).Reply("Z\r>"); }, 0},
        ModeCase{"PromptGetsSramAnswer", kPrompt, [](fake::Device& d) { T(d).Reply("\n\r\n"); }, 4},
        ModeCase{"PromptTwoOfThree", kPrompt, [](fake::Device& d) { T(d).Reply("\n\r"); }, 2},
        ModeCase{"PromptSendFails", kPrompt, [](fake::Device& d) { d.FailWrite(); }, 1},
        ModeCase{"ModeOfSram", kMode, [](fake::Device& d) { T(d).Reply("\n\r\n"); }, 0},
        ModeCase{"ModeAnyFirstByte", kMode, [](fake::Device& d) { T(d).Reply(std::string("\0\r\n", 3)); }, 0},
        ModeCase{"ModeGetsRomPrompt", kMode, [](fake::Device& d) { T(d).Reply("\n\r>"); }, 4},
        ModeCase{"ModeSilent", kMode, [](fake::Device& d) { T(d); }, 2}),
    [](const ::testing::TestParamInfo<ModeCase>& p) { return std::string(p.param.name); });

TEST_F(HandshakeTest, ReturnToTerminalSendsTAndReadsNothing) {
    EXPECT_EQ(ReturnToTerminal(), 1) << "no port open";
    EXPECT_EQ(fake::WriteCalls(), 0);
    Open().ExpectWrite("T#").FailWrite();
    EXPECT_EQ(ReturnToTerminal(), 0);
    EXPECT_EQ(ReturnToTerminal(), 2);
    EXPECT_EQ(fake::ReadCalls(), 0);
}

// Scripts the steps of QueryVersion after the version text: "#\n", then the
// reopen with "N#" answered by answer.
void AfterVersion(fake::Device& d, const std::string& answer = "\n\r") {
    d.ExpectWrite("#\n").ExpectWrite("N#").Reply(answer);
}

struct VersionCase {
    const char* name;
    std::function<void(fake::Device&)> device;
    int32_t result;
    std::string printed;  // console output
};

class QueryVersionCases : public HandshakeTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(QueryVersionCases, ResultAndPrintedText) {
    const VersionCase& c = GetParam();
    c.device(Open());
    ::testing::internal::CaptureStdout();
    int32_t result = QueryVersion();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, c.result);
    if (result != 10 && result != 20) {
        // Exactly one of the version rows of the sheets explains the code.
        int rows = 0;
        for (const char* key : {"version-unsupported", "version-unreadable", "version-link"})
            rows += HasCode(*FindOutcome(key), result);
        EXPECT_EQ(rows, 1) << "version code " << result;
    }
    EXPECT_EQ(out, c.printed);
    EXPECT_EQ(fake::Remaining(), "");
}

fake::Device& V(fake::Device& d, const std::string& text) {
    d.ExpectWrite("V#\n");
    if (!text.empty()) d.Reply(text);
    return d;
}

INSTANTIATE_TEST_SUITE_P(
    Monitor, QueryVersionCases,
    ::testing::Values(
        VersionCase{"VersionOne", [](fake::Device& d) { AfterVersion(V(d, "v1.1 rom\r\n>")); }, 10,
                    "Chip ver : v1.1 rom\r\n"},
        VersionCase{"VersionTwo", [](fake::Device& d) { AfterVersion(V(d, "v1.2")); }, 20, "Chip ver : v1.2"},
        VersionCase{"VersionThree", [](fake::Device& d) { AfterVersion(V(d, "v1.3")); }, 30, "Chip ver : v1.3"},
        VersionCase{"PromptAtOneStays", [](fake::Device& d) { AfterVersion(V(d, "x>y2>z")); }, 20,
                    "Chip ver : x>y2"},
        VersionCase{"NoText", [](fake::Device& d) { AfterVersion(V(d, "")); }, -480, "Chip ver : "},
        VersionCase{"ThreeBytes", [](fake::Device& d) { AfterVersion(V(d, "abc")); }, -480, "Chip ver : abc"},
        VersionCase{"PromptAtThree", [](fake::Device& d) { AfterVersion(V(d, "abc>")); }, -480,
                    "Chip ver : abc"},
        VersionCase{"SignedByte", [](fake::Device& d) { AfterVersion(V(d, "abc\xB2")); }, -1260,
                    "Chip ver : abc?"},
        VersionCase{"PercentIsPlainText", [](fake::Device& d) { AfterVersion(V(d, "%s%2%n")); }, 20,
                    "Chip ver : %s%2%n"},
        VersionCase{"ControlBytesShownAsQuestionMarks",
                    [](fake::Device& d) { AfterVersion(V(d, "\x1b]02\x07\tA\x7f\x80\r\n")); }, 20,
                    "Chip ver : ?]02?\tA??\r\n"},
        VersionCase{"FortyBytesAtMost",
                    [](fake::Device& d) { AfterVersion(V(d, "v1.2" + std::string(36, '.') + "TAIL")); }, 20,
                    "Chip ver : v1.2" + std::string(36, '.')},
        VersionCase{"VersionSendFails", [](fake::Device& d) { d.FailWrite(); }, 1, ""},
        VersionCase{"VersionReadFails", [](fake::Device& d) { V(d, "").FailRead(); }, 41, "Chip ver : "},
        VersionCase{"HashSendFails", [](fake::Device& d) { V(d, "v1.2").FailWrite(); }, 42, "Chip ver : v1.2"},
        VersionCase{"ReopenFails", [](fake::Device& d) { V(d, "v1.2").ExpectWrite("#\n").OpenFails(); }, 87,
                    "Chip ver : v1.2"},
        VersionCase{"NormalSendFails", [](fake::Device& d) { V(d, "v1.2").ExpectWrite("#\n").FailWrite(); }, 62,
                    "Chip ver : v1.2"},
        VersionCase{"NormalReadFails", [](fake::Device& d) { V(d, "v1.2").ExpectWrite("#\n").ExpectWrite("N#"); },
                    51, "Chip ver : v1.2"},
        VersionCase{"NormalAnswerShort",
                    [](fake::Device& d) {
                        // The long profile is refused after the reopen, so the
                        // short one stays and the read runs out of budget.
                        V(d, "v1.2").ExpectWrite("#\n").RejectTimeouts().ExpectWrite("N#").Reply("\n");
                    },
                    52, "Chip ver : v1.2"},
        VersionCase{"NormalAnswerSwapped", [](fake::Device& d) { AfterVersion(V(d, "v1.2"), "\r\n"); }, 4,
                    "Chip ver : v1.2"}),
    [](const ::testing::TestParamInfo<VersionCase>& p) { return std::string(p.param.name); });

TEST_F(HandshakeTest, QueryVersionReconnectsWithLongProfileAndDropsLateAnswer) {
    // The monitor answers "#\n" with bytes the purge must discard before "N#".
    Open().ExpectWrite("V#\n").Reply("v1.2").ExpectWrite("#\n").Reply("junk").ExpectWrite("N#").Reply("\n\r");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(QueryVersion(), 20);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(fake::ConfigCalls(),
              (std::vector<std::string>{"open COM1", "timeouts short", "purge 10", "purge 5", "close", "open COM1",
                                        "timeouts A", "queues 8192"}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ModeFrame), 4), std::string("N#\n\0", 4));
    EXPECT_NE(PortHandle, nullptr);
}

}  // namespace
