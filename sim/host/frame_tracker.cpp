#include "sim/host/frame_tracker.h"

#include <cstring>

namespace sim {
namespace {

constexpr size_t kMaxText = 64;  // longer texts are never well formed

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

TrackedByte FrameTracker::Start(uint8_t byte) {
    TrackedByte t;
    t.frame = next_frame_++;
    t.offset = 0;
    t.starts_frame = true;
    offset_ = 0;
    text_.clear();
    data_remaining_ = 0;
    if (byte == '#') {
        t.ends_frame = true;
        state_ = State::kAfterHash;
    } else {
        text_.push_back(static_cast<char>(byte));
        state_ = State::kInFrame;
    }
    return t;
}

TrackedByte FrameTracker::Feed(uint8_t byte) {
    switch (state_) {
        case State::kIdle:
            return Start(byte);
        case State::kAfterHash:
            if (byte != '\n') return Start(byte);
            state_ = State::kIdle;
            return TrackedByte{next_frame_ - 1, ++offset_, false, false, true};
        case State::kData: {
            TrackedByte t{next_frame_ - 1, ++offset_, false, true, false};
            if (--data_remaining_ == 0) {
                t.ends_frame = true;
                state_ = State::kIdle;
            }
            return t;
        }
        case State::kInFrame:
            break;
    }
    TrackedByte t{next_frame_ - 1, ++offset_, false, false, false};
    if (byte != '#') {
        if (text_.size() < kMaxText) text_.push_back(static_cast<char>(byte));
        return t;
    }
    ParsedFrame f = ParseFrame(reinterpret_cast<const uint8_t*>(text_.data()), text_.size());
    if (f.valid && f.letter == 'S' && f.value > 0) {
        data_remaining_ = f.value;
        state_ = State::kData;
    } else {
        t.ends_frame = true;
        state_ = State::kAfterHash;
    }
    return t;
}

}  // namespace sim
