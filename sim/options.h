// Command-line options of the simulated instrument (quillmere-sim).
#ifndef QUILLMERE_SIM_OPTIONS_H
#define QUILLMERE_SIM_OPTIONS_H

#include <cstdint>
#include <string>

#include "sim/host/line_options.h"
#include "sim/rom/usb_descriptors.h"

namespace sim {

// The line's options (see LineOptions), and those of the chip, the ROM
// monitor, the PC's driver and the simulator's files.
struct SimOptions : LineOptions {
    std::string version = "v1.4 Nov 10 2006";  // --version TEXT
    uint32_t chip_id = 0x272A0A40;          // --chip-id HEX
    int64_t flip_flash = -1;                // --flip-flash OFFSET (flash offset)
    bool usb_windows = false;               // --usb-driver linux|windows: the PC's CDC driver
    bool real_time = false;                 // --real-time: wall time follows chip time (USB link)
    int64_t reset_recovery_ms = 10;         // --reset-recovery-ms N: from a bus reset to the host's first request
    int usb_endpoints = 4;                  // --usb-endpoints N: endpoints of the USB port, 4 to 8
    RomDescriptorLayout rom_descriptors = RomDescriptorLayout::kSheet;  // --rom-descriptors sheet|swapped|none
    std::string wire_log;                   // --wire-log FILE
    std::string log;                        // --log FILE; empty = stderr
    std::string summary;                    // --summary FILE; empty = stderr
    std::string state_in;                   // --state-in FILE
    std::string state_out;                  // --state-out FILE
};

// Parses argv. Returns true on success; false with *error set to a one-line
// message otherwise. "--help" returns false with *error empty.
bool ParseOptions(int argc, char** argv, SimOptions* options, std::string* error);

// The usage text printed for --help and after an option error.
const char* UsageText();

}  // namespace sim

#endif
