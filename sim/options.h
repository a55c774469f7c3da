// Command-line options of the simulated instrument (quillmere-sim).
#ifndef QUILLMERE_SIM_OPTIONS_H
#define QUILLMERE_SIM_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/rom/usb_descriptors.h"

namespace sim {

// A frame index, or none.
constexpr int64_t kNoFrame = -1;

enum class DecoyKind { kSilent, kCrlf, kHeld };

// The instrument's link to the PC: its USB device port (a CDC virtual serial
// port, as on the instrument) or the debug serial unit.
enum class LinkKind { kUsb, kSerial };

struct Decoy {
    DecoyKind kind;
    int port;  // COM number of its link
};

struct SimOptions {
    int port = 1;                           // --port N: link COMn
    std::string port_dir = "./ports";       // --port-dir DIR
    std::string version = "v1.4 Nov 10 2006";  // --version TEXT
    uint32_t chip_id = 0x272A0A40;          // --chip-id HEX
    int64_t flip_flash = -1;                // --flip-flash OFFSET (flash offset)
    uint32_t baud = 0;                      // --baud N; 0 = unthrottled (serial link only)
    LinkKind link = LinkKind::kUsb;         // --link usb|serial
    bool usb_windows = false;               // --usb-driver linux|windows: the PC's CDC driver
    bool real_time = false;                 // --real-time: wall time follows chip time (USB link)
    int64_t bus_reset_at = kNoFrame;        // --bus-reset-at K: bus reset and enumeration before frame K
    int64_t reset_recovery_ms = 10;         // --reset-recovery-ms N: from a bus reset to the host's first request
    int usb_endpoints = 4;                  // --usb-endpoints N: endpoints of the USB port, 4 to 8
    RomDescriptorLayout rom_descriptors = RomDescriptorLayout::kSheet;  // --rom-descriptors sheet|swapped|none
    std::string wire_log;                   // --wire-log FILE
    std::string log;                        // --log FILE; empty = stderr
    std::string summary;                    // --summary FILE; empty = stderr
    std::string state_in;                   // --state-in FILE
    std::string state_out;                  // --state-out FILE
    int64_t drop_reply = kNoFrame;          // --drop-reply K
    int64_t corrupt_reply = kNoFrame;       // --corrupt-reply K
    int64_t close_at = kNoFrame;            // --close-at K
    int64_t silent_from = kNoFrame;         // --silent-from K
    int64_t corrupt_request = kNoFrame;     // --corrupt-request K[:OFFSET[:MASK]]
    int64_t corrupt_request_offset = -1;    //   -1: the default byte of the frame
    uint8_t corrupt_request_mask = 0x01;    //   xor mask
    bool exit_after_close = false;          // --exit-after-close
    double timeout_s = 0;                   // --timeout SECONDS; 0 = none
    std::vector<Decoy> decoys;              // --decoy silent:N|crlf:N|held:N
};

// Parses argv. Returns true on success; false with *error set to a one-line
// message otherwise. "--help" returns false with *error empty.
bool ParseOptions(int argc, char** argv, SimOptions* options, std::string* error);

// The usage text printed for --help and after an option error.
const char* UsageText();

}  // namespace sim

#endif
