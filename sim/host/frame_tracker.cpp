#include "sim/host/frame_tracker.h"


namespace sim {
namespace {

constexpr size_t kMaxText = 64;  // longer texts are never well formed

}  // namespace

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
