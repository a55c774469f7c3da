// Tests of the Windows platform layer against scripted devices.
//
// The devices are pseudo-terminals served by tests/wine/pty_peer.py and mapped
// into the Wine prefix as COM ports by tests/wine/platform.sh, which sets
// QUILLMERE_PTY_PEER and names each role's port (QUILLMERE_PORT_ECHO, ...).
// Without them the device tests are skipped, not passed.
//
// Wine does not refuse a second open of a port opened with share mode 0, so
// the exclusive open is tested only on Linux.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

// The long profile used for data transfers: no practical limit.
constexpr PlatformTimeouts kLong = {0x77BCB05C, 0x02861550, 0x77BC27D4, 0x02861550, 0x002DDB98};
constexpr PlatformTimeouts kShort = {0xFFFFFFFF, 1, 10, 1, 10};

// Path of the scripted device with the given role, or "" outside the harness.
std::string PortFor(const char* role) {
    std::string var = std::string("QUILLMERE_PORT_") + role;
    const char* n = std::getenv(var.c_str());
    return n == nullptr ? "" : std::string("\\\\.\\COM") + n;
}

bool InHarness() { return std::getenv("QUILLMERE_PTY_PEER") != nullptr; }

// Inside the harness a missing device is a failure, outside it a skip.
#define REQUIRE_PORT(var, role)                                                   \
    const std::string var = PortFor(role);                                         \
    if (var.empty() && InHarness()) FAIL() << "no scripted device for " << role;   \
    if (var.empty()) GTEST_SKIP() << "needs the scripted devices of tests/wine"

// Opens the port and puts it into the tool's line settings.
PlatformPort OpenConfigured(const std::string& path, const PlatformTimeouts& profile) {
    PlatformPort port = PlatformOpenPort(path.c_str());
    if (port == nullptr) return nullptr;
    PlatformLineSettings dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = 28;
    PlatformGetCommState(port, &dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = 0;
    dcb.StopBits = 0;
    dcb.fBinary = 1;
    dcb.fDtrControl = 0;
    dcb.fRtsControl = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    if (!PlatformSetCommState(port, &dcb) || !PlatformSetCommTimeouts(port, &profile)) {
        PlatformClosePort(port);
        return nullptr;
    }
    return port;
}

uint32_t Since(uint32_t start) { return PlatformTickCount() - start; }

TEST(Win32PortTest, MissingPortDoesNotOpenAndNullIsHarmless) {
    EXPECT_EQ(PlatformOpenPort("\\\\.\\COM97"), nullptr);
    PlatformClosePort(nullptr);
    uint32_t n = 99;
    EXPECT_EQ(PlatformReadFile(nullptr, &n, 1, &n), 0);
    EXPECT_EQ(n, 0u);
}

TEST(Win32PortTest, LineSettingsAreAppliedAndSurviveReopen) {
    REQUIRE_PORT(path, "ECHO");
    PlatformPort port = OpenConfigured(path, kShort);
    ASSERT_NE(port, nullptr);
    PlatformClosePort(port);

    port = PlatformOpenPort(path.c_str());
    ASSERT_NE(port, nullptr);
    PlatformLineSettings dcb;
    std::memset(&dcb, 0, sizeof dcb);
    ASSERT_NE(PlatformGetCommState(port, &dcb), 0);
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, 0);
    EXPECT_EQ(dcb.StopBits, 0);
    PlatformClosePort(port);
}

TEST(Win32PortTest, LongBlockMakesTheRoundTripIntact) {
    REQUIRE_PORT(path, "ECHO");
    PlatformPort port = OpenConfigured(path, kLong);
    ASSERT_NE(port, nullptr);
    // One applet chunk: larger than the pseudo-terminal's queue, so both the
    // write and the read come back in pieces.
    std::vector<uint8_t> out(21504), in(21504, 0);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    uint32_t written = 0, received = 0;
    ASSERT_NE(PlatformWriteFile(port, out.data(), static_cast<uint32_t>(out.size()), &written), 0);
    EXPECT_EQ(written, out.size());
    ASSERT_NE(PlatformReadFile(port, in.data(), static_cast<uint32_t>(in.size()), &received), 0);
    EXPECT_EQ(received, in.size());
    EXPECT_EQ(in, out);
    PlatformClosePort(port);
}

TEST(Win32PortTest, ReadOnASilentDevice) {
    REQUIRE_PORT(path, "SILENT");
    PlatformPort port = OpenConfigured(path, kShort);
    ASSERT_NE(port, nullptr);
    uint8_t buf[4];
    uint32_t received = 99;

    // Short profile: the time-out is no failure, the read returns empty in
    // about 10 + 2 ms.
    uint32_t start = PlatformTickCount();
    EXPECT_NE(PlatformReadFile(port, buf, 2, &received), 0);
    EXPECT_EQ(received, 0u);
    EXPECT_LT(Since(start), 1000u);

    // Long profile: 5000 ms without a byte is a failure, not a hang.
    ASSERT_NE(PlatformSetCommTimeouts(port, &kLong), 0);
    start = PlatformTickCount();
    EXPECT_EQ(PlatformReadFile(port, buf, 4, &received), 0);
    EXPECT_GE(Since(start), 4900u);
    EXPECT_LT(Since(start), 8000u);
    PlatformClosePort(port);
}

TEST(Win32PortTest, SlowDeviceIsNotCutOffWhileBytesKeepComing) {
    REQUIRE_PORT(path, "TRICKLE");
    PlatformPort port = OpenConfigured(path, kLong);
    ASSERT_NE(port, nullptr);
    uint32_t n = 0;
    ASSERT_NE(PlatformWriteFile(port, "?", 1, &n), 0);
    // Three bytes 2.2 s apart: longer than the bound in all, never 5 s silent.
    char buf[3] = {0, 0, 0};
    const uint32_t start = PlatformTickCount();
    ASSERT_NE(PlatformReadFile(port, buf, 3, &n), 0);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_GT(Since(start), 5000u);
    PlatformClosePort(port);
}

TEST(Win32PortTest, WriteToAStalledDeviceFailsInsteadOfHanging) {
    REQUIRE_PORT(path, "STUCK");
    PlatformPort port = OpenConfigured(path, kLong);
    ASSERT_NE(port, nullptr);
    std::vector<uint8_t> block(1 << 20, 0x55);
    uint32_t written = 0;
    const uint32_t start = PlatformTickCount();
    EXPECT_EQ(PlatformWriteFile(port, block.data(), static_cast<uint32_t>(block.size()), &written), 0);
    // What the line took before it stalled is reported.
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, block.size());
    EXPECT_GE(Since(start), 4900u);
    EXPECT_LT(Since(start), 8000u);
    PlatformClosePort(port);
}

TEST(Win32PortTest, DeviceGoneFailsTheRead) {
    REQUIRE_PORT(path, "HANGUP");
    PlatformPort port = OpenConfigured(path, kLong);
    ASSERT_NE(port, nullptr);
    uint32_t n = 0;
    ASSERT_NE(PlatformWriteFile(port, "x", 1, &n), 0);
    uint8_t buf[8];
    const uint32_t start = PlatformTickCount();
    EXPECT_EQ(PlatformReadFile(port, buf, sizeof buf, &n), 0);
    EXPECT_LT(Since(start), 8000u);
    PlatformClosePort(port);
}

}  // namespace
