// Console pieces of a run, flushed one by one.
#include "run/console.h"

#include <cstdio>

void Say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void SayDecimal(int64_t value) {
    // Built by hand: every C runtime the tool links prints it the same way.
    char digits[24];
    char* p = digits + sizeof digits;
    *--p = '\0';
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) *--p = '-';
    Say(p);
}

void SayHex(uint32_t value) {
    std::printf("%X", static_cast<unsigned>(value));
    std::fflush(stdout);
}
