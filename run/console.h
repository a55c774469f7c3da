// Console pieces of a run. Each piece reaches standard output at once, so
// progress dots show while their operations run.
#ifndef QUILLMERE_RUN_CONSOLE_H
#define QUILLMERE_RUN_CONSOLE_H

#include <cstdint>

// Writes text verbatim (never used as a format) and flushes it.
void Say(const char* text);

// Writes value in decimal ("%d") and flushes it.
void SayDecimal(int64_t value);

// Writes value in uppercase hexadecimal without leading zeros ("%X").
void SayHex(uint32_t value);

#endif
