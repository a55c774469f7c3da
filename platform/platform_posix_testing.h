// Test-only control of the POSIX platform layer; the tool never calls it.
#ifndef QUILLMERE_PLATFORM_PLATFORM_POSIX_TESTING_H
#define QUILLMERE_PLATFORM_PLATFORM_POSIX_TESTING_H

#include <cstdint>

// Sets the no-progress bound of reads and writes, in ms (kPlatformNoProgressMs
// at start), so that tests need not wait 5 seconds for it.
void PlatformPosixSetNoProgressMs(uint32_t ms);

#endif
