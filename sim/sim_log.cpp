#include "sim/sim_log.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <ctime>

namespace sim {
namespace {

std::FILE* g_file = nullptr;
uint64_t g_start_ns = 0;

}  // namespace

uint64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

void SleepNs(uint64_t ns) {
    timespec ts{static_cast<time_t>(ns / 1000000000u), static_cast<long>(ns % 1000000000u)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void SimLogOpen(std::FILE* file) {
    g_file = file;
    g_start_ns = NowNs();
}

uint64_t SimMs() {
    if (g_start_ns == 0) g_start_ns = NowNs();
    return (NowNs() - g_start_ns) / 1000000u;
}

void SimLog(const char* format, ...) {
    std::FILE* f = g_file ? g_file : stderr;
    std::fprintf(f, "[%" PRIu64 " ms] ", SimMs());
    va_list args;
    va_start(args, format);
    std::vfprintf(f, format, args);
    va_end(args);
    std::fputc('\n', f);
    std::fflush(f);
}

std::string EscapeBytes(const uint8_t* data, size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const uint8_t b = data[i];
        if (b == '\\') {
            out += "\\\\";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\r') {
            out += "\\r";
        } else if (b >= 0x20 && b <= 0x7E) {
            out.push_back(static_cast<char>(b));
        } else {
            out += "\\x";
            out.push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 0xF]);
        }
    }
    return out;
}

}  // namespace sim
