#include "serial/search.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/fake_platform.h"
#include "run/test_outcomes.h"
#include "serial/port.h"

namespace {

const std::string kAck("\n\r", 2);

class SearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        PortHandle = nullptr;
        std::strcpy(PortName, "\\\\.\\COM1");
    }
    // Runs the search and returns its console output.
    std::string Search(int32_t* code) {
        ::testing::internal::CaptureStdout();
        *code = SearchDevice();
        return ::testing::internal::GetCapturedStdout();
    }
};

TEST_F(SearchTest, SetPortNumberWritesOneOrTwoDigits) {
    const struct {
        int32_t n;
        const char* name;
    } cases[] = {{0, "\\\\.\\COM0"}, {7, "\\\\.\\COM7"}, {10, "\\\\.\\COM10"}, {98, "\\\\.\\COM98"},
                 {99, "\\\\.\\COM99"}, {3, "\\\\.\\COM3"}};
    for (const auto& c : cases) {
        SetPortNumber(c.n);
        EXPECT_STREQ(PortName, c.name) << c.n;
    }
}

TEST_F(SearchTest, DeviceOnPortOneIsLeftOpenAndConfigured) {
    fake::Device& dev = fake::AddPort(1).ExpectWrite("N#").Reply(kAck);
    int32_t code = -1;
    EXPECT_EQ(Search(&code), ".1. \n");
    EXPECT_EQ(code, 0);
    EXPECT_NE(PortHandle, nullptr);
    EXPECT_STREQ(PortName, "\\\\.\\COM1");
    EXPECT_EQ(fake::Remaining(), "");
    EXPECT_EQ(fake::ConfigCalls(), (std::vector<std::string>{"open COM1", "mask 1", "queues 4096", "purge 15",
                                                             "timeouts short", "line"}));
    EXPECT_EQ(dev.line.BaudRate, 115200u);
}

TEST_F(SearchTest, DeviceOnTwelveAfterDecoys) {
    fake::AddPort(1).ExpectWrite("N#");  // never answers
    fake::AddPort(3).ExpectWrite("N#").Reply(std::string("\r\n", 2));  // swapped answer
    fake::AddPort(12).ExpectWrite("N#").Reply(kAck);
    fake::AddPort(13).ExpectWrite("N#").Reply(kAck);  // a second instrument, never probed
    int32_t code = -1;
    EXPECT_EQ(Search(&code), ".1..3..12. \n");
    EXPECT_EQ(code, 0);
    EXPECT_STREQ(PortName, "\\\\.\\COM12");
    EXPECT_EQ(fake::ReadCalls(), 3 + 1 + 1) << "three attempts on the silent port";
    EXPECT_EQ(fake::Remaining(), "COM13: [write \"N#\"] [reply \"\\n\\r\"]\n");
}

TEST_F(SearchTest, HeldPortIsSkippedSilently) {
    fake::AddPort(4).ExpectWrite("N#").Reply(kAck);
    PlatformPort other = PlatformOpenPort("\\\\.\\COM4");  // another program holds it
    ASSERT_NE(other, nullptr);
    int32_t code = -1;
    EXPECT_EQ(Search(&code), " \n");
    EXPECT_EQ(code, 1);
    EXPECT_EQ(PortHandle, nullptr);
    EXPECT_STREQ(PortName, "\\\\.\\COM98");
    PlatformClosePort(other);
}

TEST_F(SearchTest, StopsAtFirstAnsweringPortBeforeSilentNinetyEight) {
    fake::AddPort(5).ExpectWrite("N#").Reply(kAck);
    fake::AddPort(98).ExpectWrite("N#");
    int32_t code = -1;
    EXPECT_EQ(Search(&code), ".5. \n");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(fake::Remaining(), "COM98: [write \"N#\"]\n");
}

// The result without an instrument is the code of port 98.
struct LastPortCase {
    const char* name;
    std::function<void(fake::Device&)> setup;
    const char* output;
    int32_t code;
};

class SearchLastPort : public SearchTest, public ::testing::WithParamInterface<LastPortCase> {};

TEST_P(SearchLastPort, ReportsTheCodeOfPortNinetyEight) {
    const LastPortCase& c = GetParam();
    fake::AddPort(2).ExpectWrite("N#").Reply("??");  // an earlier failure is overwritten
    if (c.setup) c.setup(fake::AddPort(98));
    int32_t code = -1;
    EXPECT_EQ(Search(&code), std::string(".2.") + c.output);
    EXPECT_EQ(code, c.code);
    outcometest::ExpectListed(code == 6 ? "search-answer" : "search-none", code);
    EXPECT_EQ(PortHandle, nullptr);
    EXPECT_STREQ(PortName, "\\\\.\\COM98");
    EXPECT_EQ(fake::Remaining(), "");
    fake::Device* last = fake::FindPort("\\\\.\\COM98");
    if (last) {
        EXPECT_FALSE(last->open) << "every failed candidate is closed";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Serial, SearchLastPort,
    ::testing::Values(
        LastPortCase{"Absent", nullptr, " \n", 1},
        LastPortCase{"OpenRefused", [](fake::Device& d) { d.refuse_open = true; }, " \n", 1},
        LastPortCase{"ProfileRejected", [](fake::Device& d) { d.reject_timeouts = true; }, ".98. \n", 2},
        LastPortCase{"LineRejected", [](fake::Device& d) { d.reject_line = true; }, ".98. \n", 3},
        LastPortCase{"WriteFails", [](fake::Device& d) { d.FailWrite(); }, ".98. \n", 4},
        LastPortCase{"Silent", [](fake::Device& d) { d.ExpectWrite("N#"); }, ".98. \n", 5},
        LastPortCase{"OneByteOnly", [](fake::Device& d) { d.ExpectWrite("N#").Reply("\n"); }, ".98. \n", 5},
        LastPortCase{"ReadFails", [](fake::Device& d) { d.ExpectWrite("N#").FailRead(); }, ".98. \n", 5},
        LastPortCase{"Swapped", [](fake::Device& d) { d.ExpectWrite("N#").Reply(std::string("\r\n", 2)); },
                     ".98. \n", 6}),
    [](const ::testing::TestParamInfo<LastPortCase>& p) { return std::string(p.param.name); });

}  // namespace
