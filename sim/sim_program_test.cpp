// The simulator program over its pty: the native ROM monitor's replies,
// decoys, injected faults, the state file, the wire log and how it ends.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_client.h"

namespace sim {
namespace {

const std::string kProgram = QUILLMERE_SIM_PATH;

// A running simulator with its port COM1 open.
class SimProgramTest : public ::testing::Test {
 protected:
    void Launch(const std::vector<std::string>& args = {}) {
        std::string error;
        ASSERT_TRUE(client_.Start(kProgram, args, &error)) << error;
        ASSERT_TRUE(client_.OpenPort(1)) << client_.PortPath(1);
    }
    std::string Ask(const std::string& frame, size_t n) { return client_.Exchange(frame, n, 1000); }
    // Nothing within a short while.
    std::string Quiet(const std::string& frame) { return client_.Exchange(frame, 1, 200); }
    std::string Binary() { return Ask("N#", 2); }
    // The log of the simulator, for failure messages.
    std::string Log() const { return client_.ReadFile("sim.log"); }

    SimClient client_;
};

std::string Word(uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
}

TEST_F(SimProgramTest, ModeAndVersionHandshakes) {
    Launch();
    EXPECT_EQ(Ask("N#", 2), "\n\r");
    EXPECT_EQ(Ask("T#", 3), "\n\r>");
    // Asks for more than the answer, as the tool does, to see nothing follows.
    EXPECT_EQ(client_.Exchange("V#\n", 40, 300), "\n\rv1.4 Nov 10 2006\n\r>");
    EXPECT_EQ(Quiet("#\n"), "");
    EXPECT_EQ(Quiet("\n"), "");
    EXPECT_EQ(client_.Exchange("N#", 3, 300), "\n\r");  // nothing left over from "#\n" or "\n"
}

TEST_F(SimProgramTest, VersionTwoText) {
    Launch({"--version", "v2.0 Jan 01 2010"});
    EXPECT_EQ(Ask("T#", 3), "\n\r>");
    EXPECT_EQ(client_.Exchange("V#\n", 40, 300), "\n\rv2.0 Jan 01 2010\n\r>");
}

TEST_F(SimProgramTest, MemoryFramesInBinaryMode) {
    Launch();
    ASSERT_EQ(Binary(), "\n\r");
    EXPECT_EQ(Ask("wFFFFF240,4#", 4), Word(0x272A0A40));
    EXPECT_EQ(Quiet("W00201000,12345678#"), "");
    EXPECT_EQ(Ask("w00201000,4#", 4), Word(0x12345678));
    EXPECT_EQ(Ask("o00201001,4#", 1), "\x56");
    EXPECT_EQ(Quiet("H00201002,BEEF#"), "");
    EXPECT_EQ(Quiet("O00201000,7F#"), "");
    EXPECT_EQ(Ask("w00201000,4#", 4), Word(0xBEEF567F));
    std::string block;
    for (int i = 0; i < 300; ++i) block.push_back(static_cast<char>(i * 7));
    EXPECT_EQ(Quiet("S00202AF4,0000012C#" + block), "");
    EXPECT_EQ(Ask("R00202AF4,0000012C#", 300), block);
    EXPECT_EQ(Ask("R00202AF5,00000002#", 2), block.substr(1, 2));
}

TEST_F(SimProgramTest, FlashIsNotWritableByFrames) {
    Launch();
    ASSERT_EQ(Binary(), "\n\r");
    const std::string before = Ask("R00100000,00000008#", 8);
    ASSERT_EQ(before, std::string(8, '\xFF'));
    Quiet("W00100000,11111111#");
    Quiet("O00100004,22#");
    Quiet("S00100004,00000002#ab");
    EXPECT_EQ(Ask("R00100000,00000008#", 8), before);
    EXPECT_EQ(Ask("N#", 2), "\n\r");  // the S data did not end up as frames
}

TEST_F(SimProgramTest, ChipIdOptionAndTerminalModeReads) {
    Launch({"--chip-id", "12345678"});
    EXPECT_EQ(Ask("wFFFFF240,4#", 15), "\n\r0x12345678\n\r>");  // terminal mode at start
    ASSERT_EQ(Binary(), "\n\r");
    EXPECT_EQ(Ask("wFFFFF240,4#", 4), Word(0x12345678));
}

TEST_F(SimProgramTest, BytesLeftInTheLineSurviveCloseAndReopen) {
    Launch();
    ASSERT_TRUE(client_.Send("N#"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    client_.ClosePort();
    ASSERT_TRUE(client_.OpenPort(1));
    EXPECT_EQ(client_.Read(2, 1000), "\n\r");
    EXPECT_EQ(Ask("T#", 3), "\n\r>");
}

// Code started with G that returns: the ROM monitor carries on, and a frame
// sent while the code still runs is answered (the ROM takes every byte).
TEST_F(SimProgramTest, CodeThatReturnsAndFramesSentMeanwhile) {
    Launch();
    ASSERT_EQ(Binary(), "\n\r");
    // mov r0, #0x100000; loop: subs r0, r0, #1; bne loop; bx lr
    const uint32_t code[] = {0xE3A00601, 0xE2500001, 0x1AFFFFFD, 0xE12FFF1E};
    std::string image;
    for (uint32_t w : code) image += Word(w);
    Quiet("S00202000,00000010#" + image);
    Quiet("W00202100,FFFFFFFD#");
    EXPECT_EQ(Ask("G00202000#w00202100,4#", 4), Word(0xFFFFFFFD)) << Log();
    EXPECT_EQ(Ask("N#", 2), "\n\r");
    EXPECT_EQ(client_.Stop(), 0);
    const std::string summary = client_.ReadFile("summary.txt");
    EXPECT_NE(summary.find("lost_bytes: 0\n"), std::string::npos) << summary;
    EXPECT_EQ(summary.find("instructions: 0\n"), std::string::npos) << summary;
}

TEST_F(SimProgramTest, FaultingCodeLeavesTheLineSilent) {
    Launch();
    ASSERT_EQ(Binary(), "\n\r");
    EXPECT_EQ(Quiet("G00400000#"), "");
    EXPECT_EQ(Quiet("N#"), "");
    EXPECT_EQ(Quiet("T#"), "");
    EXPECT_NE(Log().find("faulted"), std::string::npos) << Log();
    EXPECT_EQ(client_.Stop(), 0);
}

TEST_F(SimProgramTest, DecoyPorts) {
    Launch({"--decoy", "silent:2", "--decoy", "crlf:3", "--decoy", "held:4"});
    ASSERT_TRUE(client_.OpenPort(2));
    EXPECT_EQ(Quiet("N#"), "");
    ASSERT_TRUE(client_.OpenPort(3));
    EXPECT_EQ(Ask("N#", 2), "\r\n");
    EXPECT_EQ(Ask("T#", 2), "\r\n");
    client_.ClosePort();
    // The held port: an exclusive open fails (open refused, or the lock
    // taken when the caller may bypass TIOCEXCL).
    const int fd = open(client_.PortPath(4).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
        close(fd);
    } else {
        EXPECT_EQ(errno, EBUSY);
    }
    ASSERT_TRUE(client_.OpenPort(1));
    EXPECT_EQ(Ask("N#", 2), "\n\r");
}

// Each fault on the sequence N# (frame 0), T# (1), N# (2).
TEST_F(SimProgramTest, ReplyFaults) {
    struct Case {
        const char* option;
        std::string t_reply;
        std::string n_reply;
    };
    const Case cases[] = {
        {"--drop-reply", "", "\n\r"},
        {"--corrupt-reply", "\xF5\r>", "\n\r"},
        {"--silent-from", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        SimClient client;
        std::string error;
        ASSERT_TRUE(client.Start(kProgram, {c.option, "1"}, &error)) << error;
        ASSERT_TRUE(client.OpenPort(1));
        EXPECT_EQ(client.Exchange("N#", 2, 1000), "\n\r");
        EXPECT_EQ(client.Exchange("T#", 3, c.t_reply.size() == 3 ? 1000 : 200), c.t_reply);
        EXPECT_EQ(client.Exchange("N#", 2, c.n_reply.empty() ? 200 : 1000), c.n_reply);
        EXPECT_EQ(client.Stop(), 0);
    }
}

TEST_F(SimProgramTest, CloseAtMakesTheDeviceVanish) {
    Launch({"--close-at", "1"});
    EXPECT_EQ(Binary(), "\n\r");
    ASSERT_TRUE(client_.Send("T#"));
    const int r = client_.RawRead(2000);
    EXPECT_TRUE(r == -1 || r == 0) << r;  // EIO or end of file, not a timeout
    EXPECT_EQ(client_.WaitExit(3000), 0);
    client_.ClosePort();
    EXPECT_FALSE(client_.OpenPort(1));
    EXPECT_EQ(access(client_.PortPath(1).c_str(), F_OK), -1);
}

TEST_F(SimProgramTest, RequestCorruption) {
    struct Case {
        const char* value;  // of --corrupt-request
        std::string frame;
        std::string check;
        std::string expected;
    };
    const Case cases[] = {
        // Default byte: the last value digit of W (4 -> 5).
        {"1", "W00201000,00000004#", "w00201000,4#", Word(5)},
        // Default byte: the first data byte of S ('A' xor 1 = '@').
        {"1", "S00201000,00000002#AB", "R00201000,00000002#", "@B"},
        // Offset 7, the next-to-last address digit: the word lands at 0x00201010.
        {"1:7", "W00201000,00000004#", "w00201010,4#", Word(4)},
        // Mask 0x20 on the last value digit: 'A' becomes 'a', the same value.
        {"1:17:20", "W00201000,0000000A#", "w00201000,4#", Word(10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.value) + " " + c.frame);
        SimClient client;
        std::string error;
        ASSERT_TRUE(client.Start(kProgram, {"--corrupt-request", c.value}, &error)) << error;
        ASSERT_TRUE(client.OpenPort(1));
        ASSERT_EQ(client.Exchange("N#", 2, 1000), "\n\r");
        client.Exchange(c.frame, 1, 200);
        EXPECT_EQ(client.Exchange(c.check, c.expected.size(), 1000), c.expected);
        EXPECT_EQ(client.Stop(), 0);
        EXPECT_NE(client.ReadFile("wire.log").find("on the way in)"), std::string::npos);
    }
}

TEST_F(SimProgramTest, StateFileRoundTripAndSummary) {
    SimState in;
    in.flash.assign(0x80000, 0xFF);
    in.flash[0] = 'Q';
    in.flash[1] = 'M';
    in.flash[0x7FFFF] = 0x00;
    in.lock_bits = 0x80000001;
    in.gpnvm_bits = 0x4;
    std::string error;
    char pattern[] = "/tmp/quillmere-state-XXXXXX";
    const int tmp = mkstemp(pattern);
    ASSERT_GE(tmp, 0);
    close(tmp);
    ASSERT_TRUE(WriteStateFile(pattern, in, &error)) << error;
    Launch({"--state-in", pattern});
    unlink(pattern);
    ASSERT_EQ(Binary(), "\n\r");
    EXPECT_EQ(Ask("R00100000,00000002#", 2), "QM");
    EXPECT_EQ(Ask("o0017FFFF,4#", 1), std::string(1, '\0'));
    EXPECT_EQ(client_.Stop(), 0);
    SimState out;
    ASSERT_TRUE(client_.ReadState(&out, &error)) << error;
    EXPECT_EQ(out.flash, in.flash);
    EXPECT_EQ(out.lock_bits, in.lock_bits);
    EXPECT_EQ(out.gpnvm_bits, in.gpnvm_bits);
    const std::string summary = client_.ReadFile("summary.txt");
    for (const char* line : {"flash_bytes_not_ff: 3\n", "lock_bits: 80000001\n", "gpnvm_bits: 4\n",
                             "frames: 3\n", "lost_bytes: 0\n"})
        EXPECT_NE(summary.find(line), std::string::npos) << line << summary;
}

TEST(SimProgramStartTest, RefusesABadStateFile) {
    char pattern[] = "/tmp/quillmere-state-XXXXXX";
    const int tmp = mkstemp(pattern);
    ASSERT_GE(tmp, 0);
    ASSERT_EQ(write(tmp, "QMSIMST1", 8), 8);
    close(tmp);
    SimClient client;
    std::string error;
    EXPECT_FALSE(client.Start(kProgram, {"--state-in", pattern}, &error));
    unlink(pattern);
    EXPECT_EQ(client.WaitExit(2000), 1);
}

// The wire log's lines of one kind ("host" and "dev" by default) without
// their millisecond field.
std::vector<std::string> WireLines(const std::string& log, const std::vector<std::string>& kinds = {"host", "dev"}) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        bool wanted = false;
        for (const std::string& k : kinds) wanted = wanted || line.compare(0, k.size() + 1, k + " ") == 0;
        if (!wanted) continue;
        const size_t a = line.find(' ');
        const size_t b = line.find(' ', a + 1);
        lines.push_back(line.substr(0, a) + line.substr(b));
    }
    return lines;
}

TEST_F(SimProgramTest, WireLogLines) {
    Launch({"--drop-reply", "3"});
    Ask("N#", 2);
    Ask("V#\n", 20);
    Quiet("S00201000,00000041#" + std::string(65, 'z'));
    Quiet("w00201000,4#");
    Quiet("S00201000,00000002#\r\\");
    EXPECT_EQ(client_.Stop(), 0);
    const std::vector<std::string> expected = {
        "host 0 N#",
        "dev 0 \\n\\r",
        "host 1 V#\\n",
        "dev 1 \\n\\rv1.4 Nov 10 2006\\n\\r",
        "host 2 S00201000,00000041#[65 bytes crc32 597A05D8]",
        "host 3 w00201000,4#",
        "dev 3 zzzz (dropped)",
        "host 4 S00201000,00000002#\\r\\\\",
    };
    EXPECT_EQ(WireLines(client_.ReadFile("wire.log")), expected) << client_.ReadFile("wire.log");
}

// On the USB link the wire log also tells what the PC's driver asked of the
// device: the enumeration at start, and the requests of the port's open.
TEST_F(SimProgramTest, WireLogUsbLines) {
    Launch();
    Ask("N#", 2);
    EXPECT_EQ(client_.Stop(), 0);
    const std::vector<std::string> usb = WireLines(client_.ReadFile("wire.log"), {"usb"});
    const std::vector<std::string> expected_start = {
        "usb 0 bus reset",
        "usb 0 GET_DESCRIPTOR device 18 bytes ok",
        "usb 0 SET_ADDRESS 1 ok",
        "usb 0 GET_DESCRIPTOR device 18 bytes ok",
        "usb 0 GET_DESCRIPTOR configuration 9 bytes ok",
        "usb 0 GET_DESCRIPTOR configuration 67 bytes ok",
        "usb 0 SET_CONFIGURATION 1 ok",
        "usb 0 enumerated: bulk OUT 0x01, bulk IN 0x82",
    };
    ASSERT_GE(usb.size(), expected_start.size()) << client_.ReadFile("wire.log");
    EXPECT_EQ(std::vector<std::string>(usb.begin(), usb.begin() + expected_start.size()), expected_start);
    // The client's open: DTR and RTS raised, the coding read and set.
    const std::string all = client_.ReadFile("wire.log");
    EXPECT_NE(all.find("SET_CONTROL_LINE_STATE 3 ok"), std::string::npos) << all;
    EXPECT_NE(all.find("GET_LINE_CODING"), std::string::npos) << all;
    const std::string summary = client_.ReadFile("summary.txt");
    EXPECT_NE(summary.find("link: usb\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("usb_lost_events: 0\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("usb_control_timed_out: 0\n"), std::string::npos) << summary;
}

TEST_F(SimProgramTest, ThrottleTakesLineTimeBothWays) {
    Launch({"--link", "serial", "--baud", "9600"});  // 960 bytes per second
    ASSERT_EQ(Binary(), "\n\r");
    auto elapsed_ms = [](std::chrono::steady_clock::time_point t0) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    };
    // 499 bytes to the device and 2 back: 522 ms of line time.
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(client_.Send("S00201000,000001E0#" + std::string(480, 'x')));
    EXPECT_EQ(client_.Exchange("N#", 2, 3000), "\n\r");
    EXPECT_GE(elapsed_ms(t0), 430);  // less up to 20 ms of slack per direction
    EXPECT_LT(elapsed_ms(t0), 1100);  // well below the line time of a slow throttle
    // 19 bytes to the device and 480 back: 520 ms.
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(client_.Exchange("R00201000,000001E0#", 480, 3000), std::string(480, 'x'));
    EXPECT_GE(elapsed_ms(t0), 430);  // less up to 20 ms of slack per direction
    EXPECT_LT(elapsed_ms(t0), 1100);
}

TEST_F(SimProgramTest, EndsOnSigterm) {
    Launch();
    Binary();
    EXPECT_EQ(client_.Stop(2000), 0);
    EXPECT_NE(client_.ReadFile("summary.txt").find("frames: 1\n"), std::string::npos);
    EXPECT_EQ(access(client_.PortPath(1).c_str(), F_OK), -1);  // link removed
}

TEST_F(SimProgramTest, ExitAfterCloseWaitsForTheHostToLeave) {
    Launch({"--exit-after-close", "--decoy", "silent:2"});
    Binary();
    client_.ClosePort();
    ASSERT_TRUE(client_.OpenPort(1));  // a close and reopen does not end it
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_TRUE(client_.Running());
    EXPECT_EQ(Ask("T#", 3), "\n\r>");
    client_.ClosePort();
    EXPECT_EQ(client_.WaitExit(3000), 0);
    EXPECT_NE(client_.ReadFile("sim.log").find("closed the port"), std::string::npos);
}

}  // namespace
}  // namespace sim
