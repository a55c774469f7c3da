// The ROM monitor's frames, as text: the letter and the hex fields of a frame
// before its '#'. The monitor parses what it serves with it; the simulator's
// frame numbering on the PC's side reads an S frame's length with it.
#ifndef QUILLMERE_SIM_ROM_MONITOR_FRAME_H
#define QUILLMERE_SIM_ROM_MONITOR_FRAME_H

#include <cstddef>
#include <cstdint>

namespace sim {

// A frame's text (the bytes before '#') taken apart.
struct ParsedFrame {
    bool valid = false;      // letter known and every field well formed
    char letter = 0;         // 'N', 'T', 'V', 'W', 'H', 'O', 'w', 'o', 'S', 'R', 'G'; 0 when empty
    uint32_t address = 0;    // up to 8 hex digits after the letter
    bool has_value = false;  // a comma and 1 to 8 hex digits followed
    uint32_t value = 0;
};

// Parses the bytes of a frame before its '#'. An empty text ("#") is valid
// with letter 0. Mode frames (N, T, V) take no fields; W, H, O, S and R need
// a value; w and o may carry one (the count, ignored); G takes none.
// Hex digits may be upper or lower case.
ParsedFrame ParseFrame(const uint8_t* text, size_t length);

}  // namespace sim

#endif
