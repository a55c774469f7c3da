#include "sim/rom/monitor_frame.h"

#include <cstring>

namespace sim {
namespace {

int HexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Reads 1 to 8 hex digits from text[*pos]; false when none or more than 8.
bool ReadHex(const uint8_t* text, size_t length, size_t* pos, uint32_t* value) {
    size_t digits = 0;
    uint32_t v = 0;
    while (*pos < length && HexValue(text[*pos]) >= 0) {
        if (++digits > 8) return false;
        v = (v << 4) | static_cast<uint32_t>(HexValue(text[*pos]));
        ++*pos;
    }
    *value = v;
    return digits > 0;
}

}  // namespace

ParsedFrame ParseFrame(const uint8_t* text, size_t length) {
    ParsedFrame f;
    if (length == 0) {
        f.valid = true;
        return f;
    }
    f.letter = static_cast<char>(text[0]);
    if (std::strchr("NTV", f.letter) != nullptr) {
        f.valid = (length == 1);
        return f;
    }
    if (std::strchr("WHOwoSRG", f.letter) == nullptr) return f;
    size_t pos = 1;
    if (!ReadHex(text, length, &pos, &f.address)) return f;
    if (pos < length && text[pos] == ',') {
        ++pos;
        if (!ReadHex(text, length, &pos, &f.value)) return f;
        f.has_value = true;
    }
    if (pos != length) return f;
    const bool needs_value = std::strchr("WHOSR", f.letter) != nullptr;
    if (needs_value && !f.has_value) return f;
    if (f.letter == 'G' && f.has_value) return f;
    f.valid = true;
    return f;
}

}  // namespace sim
