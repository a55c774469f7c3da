// The wire log: one text line per host frame and per device reply chunk, so
// tests and people can check the exact bytes that crossed the line.
//
// Line format (fields separated by one space):
//   host <ms> <frame> <bytes>[ <note>]
//   dev <ms> <frame> <bytes>[ <note>]
//   usb <ms> <frame> <text>
// A usb line tells what happened on the USB link (a control request and its
// outcome, a bus reset, an enumeration); <frame> is the host frame seen last.
// It is written when it happens, host and dev lines when their frame or
// reply chunk is complete, so a usb line may come before them.
// <ms> counts milliseconds since the simulator started, <frame> is the frame
// index (a reply belongs to the frame whose bytes the device took last).
// <bytes> is the escaped text (see EscapeBytes in sim/sim_log.h); an S
// frame's data follows its header text directly. Runs of more than
// kInlineBytes bytes are written as "[<n> bytes crc32 <8 hex digits>]".
// Notes start with '(' and tell what a fault did, e.g. "(dropped)".
#ifndef QUILLMERE_SIM_HOST_WIRE_LOG_H
#define QUILLMERE_SIM_HOST_WIRE_LOG_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/sim_log.h"

namespace sim {

// Byte runs up to this length are written out; longer ones are summarised.
constexpr size_t kInlineBytes = 64;

// CRC-32 (IEEE 802.3, reflected, initial and final xor 0xFFFFFFFF). Pass the
// previous result as crc to continue over several pieces; 0 to start.
uint32_t Crc32(const uint8_t* data, size_t length, uint32_t crc = 0);

// EscapeBytes for up to kInlineBytes bytes, the summary form above otherwise.
std::string DescribeBytes(const uint8_t* data, size_t length);

class WireLog {
 public:
    // file may be nullptr: nothing is written. The log does not own the file.
    explicit WireLog(std::FILE* file) : file_(file) {}

    // Adds one host byte of frame `frame` (in_data: part of an S frame's
    // data); complete: the frame may end with this byte. Writes the previous
    // host frame and reply chunk when this byte starts a new frame.
    void HostByte(uint64_t frame, uint8_t byte, bool in_data, bool complete, uint64_t ms);
    // Attaches a note to the current host frame.
    void HostNote(const std::string& note);
    // Adds one byte sent (or, with a note, meant to be sent) by the device.
    void DeviceByte(uint64_t frame, uint8_t byte, uint64_t ms, const char* note);
    // The line is idle at ms: writes the reply chunk, and the host frame
    // first when it is complete and no byte came for kQuietMs (a '\n' may
    // still join a frame that ended with '#').
    void IdleFlush(uint64_t ms);
    // Writes whatever is pending.
    void Flush();
    // Writes one "<kind> <ms> <frame> <text>" line at once (see above).
    void Note(uint64_t ms, uint64_t frame, const char* kind, const std::string& text);

    static constexpr uint64_t kQuietMs = 5;

 private:
    void FlushHost();
    void FlushDevice();

    std::FILE* file_;
    bool host_open_ = false;
    uint64_t host_frame_ = 0;
    uint64_t host_ms_ = 0;
    uint64_t host_last_ms_ = 0;
    bool host_complete_ = false;
    std::vector<uint8_t> host_text_;
    std::vector<uint8_t> host_data_;
    std::string host_note_;
    bool dev_open_ = false;
    uint64_t dev_frame_ = 0;
    uint64_t dev_ms_ = 0;
    std::string dev_note_;
    std::vector<uint8_t> dev_bytes_;
};

}  // namespace sim

#endif
