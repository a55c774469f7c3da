// Test-only control of the POSIX platform layer; the tool never calls it.
#ifndef QUILLMERE_PLATFORM_PLATFORM_POSIX_TESTING_H
#define QUILLMERE_PLATFORM_PLATFORM_POSIX_TESTING_H

#include <cstdint>

// Sets the no-progress bound of reads and writes, in ms (kPlatformNoProgressMs
// at start), so that tests need not wait 5 seconds for it.
void PlatformPosixSetNoProgressMs(uint32_t ms);

// The two looks at the driver with which a write waits until its bytes have
// left (see PlatformWriteFile), so that tests can play a driver whose output
// queue a pseudo-terminal cannot show.
struct PlatformPosixDrainHooks {
    // Stores in *bytes what the driver still holds for output on fd
    // (TIOCOUTQ). Returns 0 when the driver cannot tell.
    int (*queued)(int fd, int* bytes);
    // Waits up to timeout_ms until the driver wakes writers on fd (poll for
    // POLLOUT). Returns 1 when it did, 0 when the time ran out, -1 when the
    // port failed.
    int (*wait_writable)(int fd, int timeout_ms);
};

// Replaces the drain hooks; nullptr puts the real ones back.
void PlatformPosixSetDrainHooks(const PlatformPosixDrainHooks* hooks);

#endif
