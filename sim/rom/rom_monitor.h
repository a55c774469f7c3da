// The chip's ROM boot monitor, served natively (not emulated): it stands for
// the chip's ROM, whose inside is not ours, and it takes every byte the host
// sends, also while code it started with G runs.
//
// Terminal and binary mode (binary after N#, terminal after T# and at start):
//   N#        -> \n \r, binary mode
//   T#        -> \n \r >, terminal mode
//   V# ("V#\n") -> \n \r <version text> \n \r, plus > in terminal mode
//   #  ("#\n") -> nothing; a \n or \r before a frame's first byte is ignored
//   W/H/O addr,value#   store a word, half-word, byte (address bits below the
//                       access size are ignored, as the ARM store does)
//   w addr,4#  -> the word (rotated for an unaligned address, as the ARM load
//                 does): 4 raw bytes LSB first in binary mode, "\n\r0xXXXXXXXX\n\r>" in terminal mode
//   o addr,4#  -> the byte: 1 raw byte, or "\n\r0xXX\n\r>" in terminal mode
//   S addr,len#  then len raw bytes, stored from addr on
//   R addr,count#  -> count raw bytes (in either mode)
//   G addr#    runs the code at addr with lr = kRomReturnAddress
// A malformed frame is ignored (logged). Bus accesses outside the map are
// logged; reads then answer 0 so the reply keeps its length.
#ifndef QUILLMERE_SIM_ROM_ROM_MONITOR_H
#define QUILLMERE_SIM_ROM_ROM_MONITOR_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/chip/chip.h"

namespace sim {

// The address in the boot ROM to which code started with G returns.
constexpr uint32_t kRomReturnAddress = kRomBase + 0x100;

// The line as the ROM monitor uses it: a SerialLine that can hold back, for
// the ROM monitor, the bytes handed to code the monitor started.
class MonitorLine : public SerialLine {
 public:
    // The ROM monitor starts code: bytes taken by that code from now on are
    // kept, so that the monitor can take them itself if the code returns.
    virtual void BeginCall() = 0;
    // The code has stopped. returned: it came back to the ROM monitor, and the
    // kept bytes are offered again, in order, by the next PollByte calls.
    virtual void EndCall(bool returned) = 0;
    // The monitor has answered a frame completely (a link that sends in
    // packets sends the rest now). Nothing to do on a byte-wise line.
    virtual void EndOfAnswer() {}
    // The line to wire to the debug serial unit while code runs: this one on
    // the debug unit's link, null when the monitor's link is another port.
    virtual SerialLine* DebugUnitLine() { return this; }
};

class RomMonitor {
 public:
    // version: the text answered to V#. Neither chip nor line is owned.
    RomMonitor(Chip* chip, MonitorLine* line, std::string version);

    // Serves frames until line->Stopped(). Returns how it ended: kStopped
    // normally, kFault when code faulted (the monitor then only dropped bytes
    // until the line stopped).
    RunResult Serve();

    // Handles one host byte; exposed for tests. Returns false once the chip
    // hangs (a fault in code started with G).
    bool Feed(uint8_t byte);

    bool BinaryMode() const { return binary_; }
    // Bytes lost to receive overrun while code started by this monitor ran
    // and then returned: the monitor took those bytes itself.
    uint64_t RecoveredBytes() const { return recovered_; }

 private:
    void Execute();
    void Send(const uint8_t* data, size_t length);
    void SendText(const char* text);
    uint32_t ReadWordRotated(uint32_t address);
    void Go(uint32_t address);

    Chip* chip_;
    MonitorLine* line_;
    std::string version_;
    bool binary_ = false;
    bool hung_ = false;
    uint8_t text_[64];
    size_t text_length_ = 0;
    bool overflow_ = false;
    uint32_t data_remaining_ = 0;
    uint32_t data_address_ = 0;
    bool data_fault_logged_ = false;
    uint64_t recovered_ = 0;
};

}  // namespace sim

#endif
