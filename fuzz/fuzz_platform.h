// A device whose every answer comes from a fuzz input, behind platform/platform.h.
//
// platform_fuzz.cpp implements the whole platform header for the fuzz targets:
// ports, line settings, time-out profiles, reads, writes, the tick count,
// sleeps and message boxes. Nothing waits for real: the clock is a counter
// that reads and sleeps advance.
//
// Input layout (all optional; a short input simply ends the device early):
//   byte 0   port number of the device: 1 + byte % 98 (the only port that exists)
//   byte 1   flags: 0x01 every time-out profile rejected, 0x02 line settings
//            rejected, 0x04 every open after the first refused, 0x08 reading the
//            line settings fails, 0x10 a second device answering "\r\n" on the
//            port just below the device's
//   byte 2   index of the write call that fails (0xFF: none), counted from 0
//   byte 3   start of the clock: 0xFFFFFFFF - byte * 16 ms, so runs cross the wrap
//   then one event per read call or question, consumed as the tool asks:
//   read     control byte c:
//              0x00          deliver all requested bytes, taken from the input
//              0x01..0xEF    deliver at most c bytes, taken from the input
//              0xF0 b        deliver all requested bytes, each equal to b
//              0xF1 n        the clock jumps n ms, then one byte from the input
//              0xF2..0xFD    silence: no byte; the clock advances by the read's
//                            time-out (under a long profile the 5000 ms
//                            no-progress bound passes and the read fails)
//              0xFE          the device sends without end: all requested bytes
//                            are 0x3E ('>') and stay so for the rest of the run
//              0xFF          the read fails (device gone)
//   question one byte: % 4 gives Yes 6, No 7, Cancel 2, or 0 (box not shown)
// When the input is used up, every read fails and every question returns 0,
// so each run ends after a bounded number of platform calls.
#ifndef QUILLMERE_FUZZ_FUZZ_PLATFORM_H
#define QUILLMERE_FUZZ_FUZZ_PLATFORM_H

#include <cstddef>
#include <cstdint>

namespace fuzzdev {

// Starts a new device from the input; forgets everything of the previous one.
// The bytes must stay valid until the run ends.
void Begin(const uint8_t* data, size_t size);

// A device that is absent: no port exists, every question returns 0.
void BeginNoDevice();

// Ports open right now (0 after a run that released everything).
int OpenPorts();

// Calls of PlatformOpenPort in this run, successful or not.
int OpenAttempts();

// Calls that used a port handle that was not open (closed or never opened).
int StaleHandleUses();

// Number of notices and questions shown in this run, and the caption of the
// last one ("" when none).
int BoxesShown();
const char* LastBoxCaption();

// Bytes the tool wrote to the device in this run.
uint64_t BytesWritten();

// Writes every box and the device's events to stderr when non-zero.
void SetTrace(int on);

}  // namespace fuzzdev

#endif
