// Console pieces of a run, flushed one by one.
#include "run/console.h"

#include <cstdio>

void Say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void SayDecimal(int64_t value) {
    std::printf("%lld", static_cast<long long>(value));
    std::fflush(stdout);
}

void SayHex(uint32_t value) {
    std::printf("%X", static_cast<unsigned>(value));
    std::fflush(stdout);
}
