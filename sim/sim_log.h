// The simulator's own log: faults, lost bytes and decisions, one line each,
// prefixed with the milliseconds since the simulator started.
#ifndef QUILLMERE_SIM_SIM_LOG_H
#define QUILLMERE_SIM_SIM_LOG_H

#include <cstdint>
#include <cstdio>

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

}  // namespace sim

#endif
