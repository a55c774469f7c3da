// Splitting the host's byte stream into monitor frames, independent of who
// serves the line (the native ROM monitor or emulated code).
//
// A frame is every byte up to and including '#'; a '\n' that directly follows
// the '#' belongs to the same frame ("V#\n", "#\n"); an S frame's data (its
// length from the digits after the comma) belongs to the S frame. Frames are
// numbered from 0 in the order their first byte arrives.
#ifndef QUILLMERE_SIM_HOST_FRAME_TRACKER_H
#define QUILLMERE_SIM_HOST_FRAME_TRACKER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/rom/monitor_frame.h"

namespace sim {

// Where one host byte belongs.
struct TrackedByte {
    uint64_t frame = 0;      // index of the frame the byte belongs to
    uint32_t offset = 0;     // position of the byte within its frame
    bool starts_frame = false;
    bool in_data = false;    // part of an S frame's data
    bool ends_frame = false; // the frame may be complete after this byte
                             // (a '\n' may still join it)
};

class FrameTracker {
 public:
    // Classifies the next byte of the host's stream.
    TrackedByte Feed(uint8_t byte);
    // Number of frames started so far (index of the next frame).
    uint64_t FramesSeen() const { return next_frame_; }
    // Length of the S data the current frame still expects.
    uint32_t DataRemaining() const { return data_remaining_; }

 private:
    enum class State { kIdle, kInFrame, kAfterHash, kData };
    TrackedByte Start(uint8_t byte);

    State state_ = State::kIdle;
    uint64_t next_frame_ = 0;
    uint32_t offset_ = 0;
    uint32_t data_remaining_ = 0;
    std::string text_;  // frame text before '#', capped
};

}  // namespace sim

#endif
