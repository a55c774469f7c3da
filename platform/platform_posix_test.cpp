// The POSIX platform layer against real pseudo-terminals.
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/platform_posix_testing.h"

namespace {

const PlatformTimeouts kShort = {0xFFFFFFFFu, 1, 10, 1, 10};
const PlatformTimeouts kLongA = {0x77BCB05Cu, 0x02825650u, 0x77BC27D4u, 0x02825650u, 0x002DDB98u};

// Tolerance of the timing checks in ms: poll overshoots by about 0.1 ms, a
// loaded machine schedules the test a few ms late.
const int64_t kSlack = 15;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int OpenFdCount() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

// A pty whose slave is reachable as $QUILLMERE_PORT_DIR/COM5; the test
// plays the device on the master side.
class PtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quillmere-ports-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        int slave = -1;
        ASSERT_EQ(openpty(&master_, &slave, nullptr, nullptr, nullptr), 0);
        std::string slave_path = ttyname(slave);
        // The master side must not translate what the test writes.
        struct termios t;
        ASSERT_EQ(tcgetattr(slave, &t), 0);
        cfmakeraw(&t);
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
        close(slave);
        link_ = dir_ + "/COM5";
        ASSERT_EQ(symlink(slave_path.c_str(), link_.c_str()), 0);
        setenv("QUILLMERE_PORT_DIR", dir_.c_str(), 1);
        PlatformPosixSetNoProgressMs(kPlatformNoProgressMs);
    }
    void TearDown() override {
        if (port_) PlatformClosePort(port_);
        if (master_ >= 0) close(master_);
        unlink(link_.c_str());
        rmdir(dir_.c_str());
        unsetenv("QUILLMERE_PORT_DIR");
        PlatformPosixSetNoProgressMs(kPlatformNoProgressMs);
    }
    // Opens COM5 with the tool's line settings and the given profile.
    void OpenConfigured(const PlatformTimeouts& profile) {
        port_ = PlatformOpenPort("\\\\.\\COM5");
        ASSERT_NE(port_, nullptr);
        PlatformLineSettings dcb;
        std::memset(&dcb, 0, sizeof dcb);
        ASSERT_NE(PlatformGetCommState(port_, &dcb), 0);
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = 0;
        dcb.StopBits = 0;
        dcb.fBinary = 1;
        dcb.fAbortOnError = 1;
        ASSERT_NE(PlatformSetCommState(port_, &dcb), 0);
        ASSERT_NE(PlatformSetCommTimeouts(port_, &profile), 0);
    }
    void DeviceSends(const std::string& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // Bytes the tool sent, collected for up to ms.
    std::string DeviceReceives(size_t n, int ms = 200) {
        std::string got;
        int64_t end = NowMs() + ms;
        while (got.size() < n && NowMs() < end) {
            struct pollfd pfd = {master_, POLLIN, 0};
            if (poll(&pfd, 1, 10) > 0) {
                char buffer[256];
                ssize_t r = read(master_, buffer, sizeof buffer);
                if (r > 0) got.append(buffer, size_t(r));
            }
        }
        return got;
    }

    std::string dir_;
    std::string link_;
    int master_ = -1;
    PlatformPort port_ = nullptr;
};

TEST_F(PtyTest, PortNamesMapIntoThePortDirectory) {
    PlatformPort p = PlatformOpenPort("\\\\.\\COM5");
    EXPECT_NE(p, nullptr);
    PlatformClosePort(p);
    int fds = OpenFdCount();
    for (const char* name : {"\\\\.\\COM6", "\\\\.\\COM50", "COM5", "\\\\.\\COM", "\\\\.\\COM5x", "\\\\.\\COM0"})
        EXPECT_EQ(PlatformOpenPort(name), nullptr) << name;
    EXPECT_EQ(OpenFdCount(), fds);
}

TEST_F(PtyTest, OpenIsExclusiveAndFailedOpenLeavesNoFd) {
    port_ = PlatformOpenPort("\\\\.\\COM5");
    ASSERT_NE(port_, nullptr);
    int fds = OpenFdCount();
    EXPECT_EQ(PlatformOpenPort("\\\\.\\COM5"), nullptr) << "the tool's own second open";
    EXPECT_EQ(OpenFdCount(), fds);
    PlatformClosePort(port_);
    port_ = nullptr;

    // Another program holding the port's lock (root is not stopped by TIOCEXCL).
    int other = open(link_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(PlatformOpenPort("\\\\.\\COM5"), nullptr);
    close(other);

    // Closed properly, the same port opens again (TIOCEXCL cleared on close).
    port_ = PlatformOpenPort("\\\\.\\COM5");
    EXPECT_NE(port_, nullptr);
}

TEST_F(PtyTest, OpenDiscardsBytesLeftInTheLine) {
    OpenConfigured(kShort);
    PlatformClosePort(port_);
    DeviceSends("stale");
    usleep(20000);
    port_ = PlatformOpenPort("\\\\.\\COM5");
    ASSERT_NE(port_, nullptr);
    ASSERT_NE(PlatformSetCommTimeouts(port_, &kShort), 0);
    char buffer[8];
    uint32_t got = 99;
    EXPECT_NE(PlatformReadFile(port_, buffer, 5, &got), 0);
    EXPECT_EQ(got, 0u);
}

TEST_F(PtyTest, LineSettingsAreRawAndSurviveReopen) {
    OpenConfigured(kShort);
    PlatformClosePort(port_);
    port_ = PlatformOpenPort("\\\\.\\COM5");
    ASSERT_NE(port_, nullptr);
    PlatformLineSettings dcb;
    std::memset(&dcb, 0, sizeof dcb);
    ASSERT_NE(PlatformGetCommState(port_, &dcb), 0);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, 0);
    EXPECT_EQ(dcb.StopBits, 0);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);

    // Raw: no CR/LF translation, no signal characters, no echo.
    ASSERT_NE(PlatformSetCommTimeouts(port_, &kShort), 0);
    const std::string bytes("\r\n\x03\x7f\x11\x13\x00\xFF", 8);
    DeviceSends(bytes);
    char buffer[8];
    uint32_t got = 0;
    ASSERT_NE(PlatformReadFile(port_, buffer, 8, &got), 0);
    EXPECT_EQ(std::string(buffer, got), bytes);
    EXPECT_EQ(DeviceReceives(1, 30), "") << "nothing echoed";
}

TEST_F(PtyTest, UnsupportedLineSettingsAreRejected) {
    OpenConfigured(kShort);
    PlatformLineSettings dcb;
    ASSERT_NE(PlatformGetCommState(port_, &dcb), 0);
    PlatformLineSettings bad = dcb;
    bad.BaudRate = 12345;
    EXPECT_EQ(PlatformSetCommState(port_, &bad), 0);
    bad = dcb;
    bad.ByteSize = 9;
    EXPECT_EQ(PlatformSetCommState(port_, &bad), 0);
    bad = dcb;
    bad.StopBits = 1;  // one and a half
    EXPECT_EQ(PlatformSetCommState(port_, &bad), 0);
}

TEST_F(PtyTest, ShortProfileReadTiming) {
    OpenConfigured(kShort);
    char buffer[16];
    uint32_t got = 99;

    int64_t t0 = NowMs();
    ASSERT_NE(PlatformReadFile(port_, buffer, 4, &got), 0) << "running out of time is no failure";
    int64_t silent = NowMs() - t0;
    EXPECT_EQ(got, 0u);
    EXPECT_GE(silent, 14);
    EXPECT_LE(silent, 14 + kSlack);

    DeviceSends("ab");
    t0 = NowMs();
    ASSERT_NE(PlatformReadFile(port_, buffer, 10, &got), 0);
    int64_t partial = NowMs() - t0;
    EXPECT_EQ(std::string(buffer, got), "ab");
    EXPECT_GE(partial, 20);
    EXPECT_LE(partial, 20 + kSlack);

    DeviceSends("\n\r");
    t0 = NowMs();
    ASSERT_NE(PlatformReadFile(port_, buffer, 2, &got), 0);
    EXPECT_EQ(std::string(buffer, got), "\n\r");
    EXPECT_LT(NowMs() - t0, 12) << "returns as soon as all bytes are in, not after 12 ms";
}

TEST_F(PtyTest, LongProfileWaitsForBytesAndFailsWithoutProgress) {
    PlatformPosixSetNoProgressMs(300);
    OpenConfigured(kLongA);
    char buffer[4];
    uint32_t got = 0;

    std::thread device([this] {
        usleep(100000);
        DeviceSends("ab");
        usleep(150000);
        DeviceSends("cd");
    });
    EXPECT_NE(PlatformReadFile(port_, buffer, 4, &got), 0) << "gaps below the bound are waited out";
    device.join();
    EXPECT_EQ(std::string(buffer, got), "abcd");

    DeviceSends("x");
    int64_t t0 = NowMs();
    EXPECT_EQ(PlatformReadFile(port_, buffer, 2, &got), 0) << "no byte for the whole bound is a failure";
    int64_t waited = NowMs() - t0;
    EXPECT_GE(waited, 300);
    EXPECT_LE(waited, 300 + 100) << "bounded well below the next step of 5000 ms";
}

TEST_F(PtyTest, WriteSendsTheWholeBlock) {
    OpenConfigured(kShort);
    uint32_t written = 0;
    const std::string frame = "W00202004,00000006#";
    ASSERT_NE(PlatformWriteFile(port_, frame.data(), uint32_t(frame.size()), &written), 0);
    EXPECT_EQ(written, frame.size());
    EXPECT_EQ(DeviceReceives(frame.size()), frame);
}

TEST_F(PtyTest, WriteThatStopsMovingFails) {
    PlatformPosixSetNoProgressMs(300);
    OpenConfigured(kLongA);
    std::string block(1 << 20, 'x');  // more than the pty buffers while nobody reads
    uint32_t written = 0;
    int64_t t0 = NowMs();
    EXPECT_EQ(PlatformWriteFile(port_, block.data(), uint32_t(block.size()), &written), 0);
    int64_t waited = NowMs() - t0;
    EXPECT_GE(waited, 300);
    // The pty takes a last few bytes late once, which restarts the bound.
    EXPECT_LE(waited, 3 * 300);
}

// A driver with an output queue, played for the drain wait (a pty shows no
// queue): queue(ms) is what it holds that many ms after the write began, and
// like a tty driver it wakes a writer's wait once fewer than 256 bytes are left.
struct DriverScript {
    int (*queue)(int64_t ms);
    bool wait_fails;
    int64_t start = 0;
    int queries = 0;
    int waits = 0;
};
DriverScript* g_driver = nullptr;

int ScriptedQueued(int, int* bytes) {
    ++g_driver->queries;
    *bytes = g_driver->queue(NowMs() - g_driver->start);
    return 1;
}

int ScriptedWait(int, int timeout_ms) {
    ++g_driver->waits;
    if (g_driver->wait_fails) return -1;
    const int64_t end = NowMs() + timeout_ms;
    while (g_driver->queue(NowMs() - g_driver->start) >= 256) {
        if (NowMs() >= end) return 0;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return 1;
}

TEST_F(PtyTest, WriteEndsWhenTheDriverQueueHasEmptied) {
    struct Row {
        const char* what;
        DriverScript driver;
        uint32_t no_progress_ms;
        bool ok;
        int64_t min_ms, max_ms;  // how long the write takes
        int max_queries;         // looks at the queue
    } rows[] = {
        // A CDC port: its transfers in flight count until the last completes.
        {"transfers complete after 40 ms", {[](int64_t ms) { return ms < 40 ? 20480 : 0; }, false}, 5000, true, 40,
         40 + kSlack, 3},
        // A UART: 115 bytes at 115200 baud take 10 ms, too few to be woken for.
        {"a UART's last bytes",
         {[](int64_t ms) { return ms < 10 ? 115 - int(ms * 115 / 10) : 0; }, false}, 5000, true, 9, 10 + kSlack, 6},
        {"a queue that never moves", {[](int64_t) { return 20480; }, false}, 60, false, 60, 60 + kSlack, 4},
        // Shrinking by 1000 bytes every 30 ms: never 60 ms without progress.
        {"a queue that moves slowly",
         {[](int64_t ms) { return ms < 150 ? 5000 - int(ms / 30) * 1000 : 0; }, false}, 60, true, 150,
         150 + kSlack, 12},
        {"the port fails while waiting", {[](int64_t) { return 20480; }, true}, 5000, false, 0, kSlack, 2},
    };
    OpenConfigured(kLongA);
    const PlatformPosixDrainHooks hooks = {ScriptedQueued, ScriptedWait};
    PlatformPosixSetDrainHooks(&hooks);
    for (Row& row : rows) {
        SCOPED_TRACE(row.what);
        PlatformPosixSetNoProgressMs(row.no_progress_ms);
        g_driver = &row.driver;
        uint32_t written = 0;
        row.driver.start = NowMs();
        const int ok = PlatformWriteFile(port_, "w00202004,4#", 12, &written);
        const int64_t took = NowMs() - row.driver.start;
        EXPECT_EQ(ok != 0, row.ok);
        EXPECT_GE(took, row.min_ms);
        EXPECT_LE(took, row.max_ms);
        EXPECT_LE(row.driver.queries, row.max_queries) << "the wait polls instead of waiting to be woken";
        EXPECT_EQ(DeviceReceives(12), "w00202004,4#");
    }
    PlatformPosixSetDrainHooks(nullptr);
    g_driver = nullptr;
}

TEST_F(PtyTest, PurgeDiscardsUnreadInput) {
    OpenConfigured(kShort);
    DeviceSends("junk");
    usleep(20000);
    EXPECT_NE(PlatformPurgeComm(port_, 10), 0);
    char buffer[4];
    uint32_t got = 99;
    ASSERT_NE(PlatformReadFile(port_, buffer, 4, &got), 0);
    EXPECT_EQ(got, 0u);
}

TEST_F(PtyTest, DeviceGoneFailsReadsAndWrites) {
    OpenConfigured(kLongA);
    close(master_);
    master_ = -1;
    char buffer[2];
    uint32_t got = 0;
    int64_t t0 = NowMs();
    EXPECT_EQ(PlatformReadFile(port_, buffer, 2, &got), 0);
    EXPECT_LE(NowMs() - t0, 100) << "a vanished device fails at once";
    uint32_t written = 0;
    EXPECT_EQ(PlatformWriteFile(port_, "N#", 2, &written), 0);
}

TEST(PlatformTime, TickCountFollowsSleep) {
    uint32_t t0 = PlatformTickCount();
    PlatformSleep(20);
    uint32_t elapsed = PlatformTickCount() - t0;
    EXPECT_GE(elapsed, 20u);
    EXPECT_LE(elapsed, 20u + kSlack);
}

// Message boxes: standard input replaced by a pipe with the operator's lines.
class MessageBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
        saved_stdin_ = dup(STDIN_FILENO);
    }
    void TearDown() override {
        dup2(saved_stdin_, STDIN_FILENO);
        close(saved_stdin_);
        clearerr(stdin);
    }
    void Input(const std::string& lines) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], lines.data(), lines.size()), ssize_t(lines.size()));
        close(fds[1]);
        dup2(fds[0], STDIN_FILENO);
        close(fds[0]);
        clearerr(stdin);
    }
    int saved_stdin_ = -1;
};

const char kWillNotWork[] =
    "  ***    \xCF\xD0\xCE\xC3\xD0\xC0\xCC\xCC\xC0 \xD0\xC0\xC1\xCE\xD2\xC0\xD2\xDC \xCD\xC5 "
    "\xC1\xD3\xC4\xC5\xD2 !     ***    ";
const char kStart[] =
    " \xC7\xE0\xEF\xF3\xF1\xF2\xE8\xF2\xFC \xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xE8\xF0\xEE\xE2\xE0\xED\xE8\xE5 ? ";

TEST_F(MessageBoxTest, NoticeLineInUtf8KeepsEveryBlank) {
    Input("");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(PlatformMessageBox(kWillNotWork, "Error 5", 0x10), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[Error 5]   ***    ПРОГРАММА РАБОТАТЬ НЕ БУДЕТ !     ***    \n");
}

TEST_F(MessageBoxTest, QuestionAnswers) {
    const struct {
        uint32_t type;
        const char* input;
        int answer;
        int asked;  // times the question line was shown
    } cases[] = {
        {0x33, "y\n", 6, 1},         {0x33, "YES\n", 6, 1},     {0x33, "n\n", 7, 1},
        {0x33, "No\n", 7, 1},        {0x33, "c\n", 2, 1},       {0x33, "Cancel\n", 2, 1},
        {0x33, "maybe\n\ny\n", 6, 3}, {0x33, "", 0, 1},          {0x33, "what\n", 0, 2},
        {0x33, " y \r\n", 6, 1},     {0x34, "c\nn\n", 7, 2},    {0x34, "cancel\nYes\n", 6, 2},
        {0x34, "yes", 6, 1},
    };
    for (const auto& c : cases) {
        Input(c.input);
        ::testing::internal::CaptureStderr();
        int answer = PlatformMessageBox(kStart, " Attention ", c.type);
        std::string shown = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(answer, c.answer) << c.input;
        std::string line = std::string("[ Attention ]  Запустить программирование ? ") +
                           (c.type == 0x33 ? " [y/n/c]? " : " [y/n]? ");
        size_t count = 0;
        for (size_t at = shown.find(line); at != std::string::npos; at = shown.find(line, at + 1)) ++count;
        EXPECT_EQ(count, size_t(c.asked)) << c.input << "\n" << shown;
    }
}

}  // namespace
