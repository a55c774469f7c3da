// The simulator's own log: faults, lost bytes and decisions, one line each,
// prefixed with the milliseconds since the simulator started.
#ifndef QUILLMERE_SIM_SIM_LOG_H
#define QUILLMERE_SIM_SIM_LOG_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

// Directs the log to file (not owned); nullptr means stderr. Also starts the
// millisecond clock that SimMs counts from.
void SimLogOpen(std::FILE* file);

// The monotonic wall clock in nanoseconds, and a sleep on it (signals do
// not cut it short).
uint64_t NowNs();
void SleepNs(uint64_t ns);

// Milliseconds since SimLogOpen (wall clock, monotonic).
uint64_t SimMs();

// Writes one line (printf format, no trailing newline needed).
void SimLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Bytes as both logs write them: printable ASCII (0x20 to 0x7E) as it is,
// except '\' written "\\"; line feed "\n", carriage return "\r", every
// other byte "\xNN" (uppercase hex).
std::string EscapeBytes(const uint8_t* data, size_t length);

}  // namespace sim

#endif
