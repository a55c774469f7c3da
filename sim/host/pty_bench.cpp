// Benchmark, not a test: what a pseudo-terminal costs on its own between the
// PC's CDC driver and the tool. A writer thread plays the driver on the
// master side, handing each finished IN transfer to the pty in one write at
// the end of its 1 ms frame, as the bus delivers them (Linux: 128-byte
// transfers, 19 packets a frame); the reader reads through the tool's own
// platform layer, with its line settings and its long time-out profile, the
// way the tool reads an answer. The figure is the time from the last frame's
// end (its writes begin) to the read having every byte: the pty's cost
// beyond the bus.
//
// Usage: pty_bench [repeats]   (default 24, the R answers of a full run)
// Prints one line per answer size, and a last line "floor_ms <R> <small>"
// with the medians in ms, for bench/bench.py.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr size_t kPacket = 64;
constexpr size_t kTransfer = 128;       // the Linux driver's IN transfers
constexpr int kPacketsPerFrame = 19;    // bulk packets in a 1 ms frame
constexpr size_t kReadBack = 0x5400 - 1;  // an R answer of a full chunk
constexpr size_t kWord = 4;             // a w answer

uint64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

void SleepUntilNs(uint64_t at) {
    timespec ts = {time_t(at / 1000000000u), long(at % 1000000000u)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
    }
}

// The writes of one answer of n bytes: for each frame, the transfers that
// finished in it (a transfer ends full or with a short packet).
std::vector<std::vector<size_t>> FrameWrites(size_t n) {
    std::vector<std::vector<size_t>> frames(1);
    size_t sent = 0, transfer = 0;
    int packets = 0;
    while (sent < n) {
        const size_t p = std::min(kPacket, n - sent);
        sent += p;
        transfer += p;
        if (++packets > kPacketsPerFrame) {
            frames.emplace_back();
            packets = 1;
        }
        if (p < kPacket || transfer == kTransfer || sent == n) {
            frames.back().push_back(transfer);
            transfer = 0;
        }
    }
    return frames;
}

struct Result {
    double after_last_ms;  // the last frame's writes begin to read complete
    double total_ms;       // first write to read complete
};

// One answer of n bytes through the pty: the writer delivers frame by frame
// from a start 2 ms ahead, the reader (this thread) reads it as the tool does.
bool OneAnswer(int master, PlatformPort port, size_t n, Result* out) {
    const std::vector<std::vector<size_t>> frames = FrameWrites(n);
    std::vector<uint8_t> data(n), got(n);
    for (size_t i = 0; i < n; ++i) data[i] = uint8_t(i * 7 + 3);
    const uint64_t start = NowNs() + 2000000u;
    std::atomic<uint64_t> last_write{0};
    std::thread writer([&] {
        size_t at = 0;
        for (size_t f = 0; f < frames.size(); ++f) {
            SleepUntilNs(start + (f + 1) * 1000000u);  // the frame's end
            last_write = NowNs();                        // the last frame's writes begin
            for (size_t len : frames[f]) {
                for (size_t done = 0; done < len;) {
                    const ssize_t w = write(master, data.data() + at + done, len - done);
                    if (w > 0) done += size_t(w);
                }
                at += len;
            }
        }
    });
    uint32_t received = 0;
    const int ok = PlatformReadFile(port, got.data(), uint32_t(n), &received);
    const uint64_t done = NowNs();
    writer.join();
    if (!ok || received != n || got != data) return false;
    out->after_last_ms = double(int64_t(done - last_write.load())) / 1e6;
    out->total_ms = double(done - (start + 1000000u)) / 1e6;
    return true;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 24;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pty");
        return 1;
    }
    char dir[] = "/tmp/quillmere-pty-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    const std::string link = std::string(dir) + "/COM1";
    if (symlink(ptsname(master), link.c_str()) != 0) return 1;
    setenv("QUILLMERE_PORT_DIR", dir, 1);
    // A slave fd of our own keeps the line up, as the simulator's does.
    const int keep = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios raw;
    tcgetattr(keep, &raw);
    cfmakeraw(&raw);
    tcsetattr(keep, TCSANOW, &raw);

    // The tool's port: its line settings and its long profile (A).
    PlatformPort port = PlatformOpenPort("\\\\.\\COM1");
    PlatformLineSettings dcb;
    std::memset(&dcb, 0, sizeof dcb);
    PlatformGetCommState(port, &dcb);
    dcb.DCBlength = 28;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.fBinary = 1;
    dcb.fAbortOnError = 1;
    dcb.XoffChar = char(0xFF);
    const PlatformTimeouts profile = {0x77BCB05Cu, 0x02825650u, 0x77BC27D4u, 0x02825650u, 0x002DDB98u};
    if (port == nullptr || !PlatformSetCommState(port, &dcb) || !PlatformSetCommTimeouts(port, &profile)) {
        std::fprintf(stderr, "cannot open the pty as the tool does\n");
        return 1;
    }

    double medians[2] = {0, 0};
    const size_t sizes[2] = {kReadBack, kWord};
    for (int s = 0; s < 2; ++s) {
        std::vector<double> after, total;
        for (int i = 0; i < repeats; ++i) {
            Result r;
            if (!OneAnswer(master, port, sizes[s], &r)) {
                std::fprintf(stderr, "answer of %zu bytes not read back\n", sizes[s]);
                return 1;
            }
            after.push_back(r.after_last_ms);
            total.push_back(r.total_ms);
        }
        medians[s] = Median(after);
        std::printf("%5zu-byte answer in %zu writes over %zu frames: last frame end to read done %.3f ms median "
                    "(%.3f - %.3f), first frame end to read done %.3f ms median\n",
                    sizes[s], [&] {
                        size_t w = 0;
                        for (const auto& f : FrameWrites(sizes[s])) w += f.size();
                        return w;
                    }(),
                    FrameWrites(sizes[s]).size(), medians[s], *std::min_element(after.begin(), after.end()),
                    *std::max_element(after.begin(), after.end()), Median(total));
    }
    std::printf("floor_ms %.3f %.3f\n", medians[0], medians[1]);
    PlatformClosePort(port);
    close(keep);
    close(master);
    unlink(link.c_str());
    rmdir(dir);
    return 0;
}
