// What the line between the program on the PC and the instrument needs to
// know: the port's name and place, its decoys, the link it stands for, the
// serial throttle, the faults it injects and when the simulator ends.
#ifndef QUILLMERE_SIM_HOST_LINE_OPTIONS_H
#define QUILLMERE_SIM_HOST_LINE_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

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

struct LineOptions {
    int port = 1;                           // --port N: link COMn
    std::string port_dir = "./ports";       // --port-dir DIR
    uint32_t baud = 0;                      // --baud N; 0 = unthrottled (serial link only)
    LinkKind link = LinkKind::kUsb;         // --link usb|serial
    int64_t bus_reset_at = kNoFrame;        // --bus-reset-at K: bus reset and enumeration before frame K
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

}  // namespace sim

#endif
