// The CDC driver model: the bus's frames, slots and chip time, attach and
// detach, and the program's events on its COM port. Control requests are in
// cdc_control.cpp, bulk transfers in cdc_bulk.cpp.
#include "sim/host/cdc_host.h"

#include <algorithm>
#include <utility>

#include "sim/host/cdc_host_parts.h"

namespace sim {

using namespace cdc;

void LineCoding::ToBytes(uint8_t out[7]) const {
    out[0] = static_cast<uint8_t>(rate);
    out[1] = static_cast<uint8_t>(rate >> 8);
    out[2] = static_cast<uint8_t>(rate >> 16);
    out[3] = static_cast<uint8_t>(rate >> 24);
    out[4] = stop_bits;
    out[5] = parity;
    out[6] = data_bits;
}

LineCoding LineCoding::FromBytes(const uint8_t in[7]) {
    LineCoding c;
    c.rate = static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
             static_cast<uint32_t>(in[3]) << 24;
    c.stop_bits = in[4];
    c.parity = in[5];
    c.data_bits = in[6];
    return c;
}

CdcHost::CdcHost(const CdcHostOptions& options, UsbBusDevice* port, HostSide* side)
    : options_(options), port_(port), side_(side) {
    size_t size = options_.in_transfer_size;
    if (size == 0) size = options_.driver == HostDriver::kWindows ? 4096 : 128;
    // A transfer holds whole packets.
    in_transfer_size_ = (size + kBulkPacket - 1) / kBulkPacket * kBulkPacket;
    if (options_.out_queue_limit == 0) options_.out_queue_limit = 1;
}

void CdcHost::Log(const std::string& text) const {
    if (options_.log) options_.log(text);
}

void CdcHost::Note(const std::string& text) const {
    if (options_.note) options_.note(text);
}

bool CdcHost::Configured() const { return phase_ == Phase::kRunning; }
bool CdcHost::Gone() const { return phase_ == Phase::kGone; }
const std::vector<uint8_t>& CdcHost::DeviceDescriptor() const { return device_descriptor_; }
const std::vector<uint8_t>& CdcHost::ConfigurationDescriptor() const { return config_descriptor_; }
const LineCoding& CdcHost::DeviceLineCoding() const { return device_coding_; }
const CdcHostStats& CdcHost::Stats() const { return stats_; }

void CdcHost::Attach(uint64_t now) {
    AdvanceTo(now);
    if (phase_ == Phase::kGone) {
        Log("the device came onto the bus again; the port stays gone");
        return;
    }
    if (phase_ != Phase::kDetached) {
        // A new connection on the hub port ends the device the host knew.
        MakeGone("the device left the bus and came back");
        return;
    }
    StartReset(now);
}

void CdcHost::Detach(uint64_t now) {
    AdvanceTo(now);
    if (phase_ == Phase::kGone || phase_ == Phase::kDetached) return;
    MakeGone("the device left the bus");
}

// --- Time ---

uint64_t CdcHost::StepTime() const {
    const uint64_t start = frame_ * kFrameCycles;
    return step_ < kSlotsPerFrame ? start + static_cast<uint64_t>(step_) * kSlotCycles : start + kFrameCycles;
}

uint64_t CdcHost::StepAfter(uint64_t t) {
    const uint64_t start = t / kFrameCycles * kFrameCycles;
    const uint64_t slot = (t - start) / kSlotCycles + 1;
    return slot < static_cast<uint64_t>(kSlotsPerFrame) ? start + slot * kSlotCycles : start + kFrameCycles;
}

bool CdcHost::Busy(uint64_t t) const {
    if (phase_ != Phase::kEnumerating && phase_ != Phase::kRunning) return false;
    if (!finished_.empty() || active_) return true;
    if (!control_queue_.empty() && t >= control_not_before_) return true;
    if (phase_ != Phase::kRunning) return false;
    HostEvent event;
    if (side_->PeekEvent(&event)) return true;
    if (!out_halted_ && (out_packet_ready_ || OutPacketLength() > 0)) return true;
    return port_open_ && !in_halted_ && port_->InPending(in_ep_ & 0x0F);
}

uint64_t CdcHost::TimerBound() const {
    uint64_t bound = UINT64_MAX;
    if (phase_ == Phase::kResetting) bound = reset_end_;
    if (!active_ && !control_queue_.empty()) bound = std::min(bound, control_not_before_);
    if (held_armed_ && !held_logged_) bound = std::min(bound, held_since_ + kHeldCycles);
    return bound;
}

void CdcHost::AdvanceTo(uint64_t now) {
    for (;;) {
        const uint64_t t = StepTime();
        if (phase_ == Phase::kResetting && reset_end_ <= now && reset_end_ <= t) {
            EndReset();
            continue;
        }
        if (t > now) break;
        if (!Busy(t)) {
            // Nothing happens before the next timer: go straight to the last
            // frame that starts by then (its start-of-frame and slots run).
            // (A frame end that falls on a timer's time runs.)
            const uint64_t bound = TimerBound();
            const uint64_t frame = std::min(now, bound == 0 ? 0 : bound - 1) / kFrameCycles;
            if (frame > frame_) {
                frame_ = frame;
                step_ = 0;
                continue;
            }
        }
        DoStep(t);
        if (++step_ > kSlotsPerFrame) {
            step_ = 0;
            ++frame_;
        }
    }
}

uint64_t CdcHost::NextEventAt(uint64_t now) const {
    const uint64_t next_step = StepAfter(now);
    if (Busy(next_step)) return next_step;
    uint64_t next = UINT64_MAX;
    if (phase_ == Phase::kResetting) next = reset_end_;
    if ((phase_ == Phase::kEnumerating || phase_ == Phase::kRunning) && !active_ && !control_queue_.empty())
        next = std::min(next, control_not_before_ == 0 ? next_step : StepAfter(control_not_before_ - 1));
    if (held_armed_ && !held_logged_) next = std::min(next, NextFrameStart(held_since_ + kHeldCycles - 1));
    if (next <= now) next = next_step;
    return next;
}

void CdcHost::DoStep(uint64_t t) {
    if (step_ == kSlotsPerFrame) {
        EndOfFrame(t);
        return;
    }
    if (phase_ != Phase::kEnumerating && phase_ != Phase::kRunning) return;
    if (step_ == 0) port_->StartOfFrame(static_cast<uint32_t>(frame_ & kUsbFrameNumberMask), t);
    Slot(t);
}

void CdcHost::Slot(uint64_t t) {
    if (phase_ == Phase::kRunning) TakeEvents(t);
    if (phase_ == Phase::kEnumerating || phase_ == Phase::kRunning) ControlTransaction(t);
    if (phase_ != Phase::kRunning) return;
    // One bulk transaction that moves data per slot; the direction that moved
    // data last time goes second.
    const bool can_in = port_open_ && !in_halted_ && t >= in_retry_at_;
    const bool can_out = !out_halted_ && t >= out_retry_at_ && (out_packet_ready_ || FormOutPacket());
    if (last_bulk_out_) {
        if (can_in && TryIn(t)) {
            last_bulk_out_ = false;
        } else if (can_out && TryOut(t)) {
            last_bulk_out_ = true;
        }
    } else {
        if (can_out && TryOut(t)) {
            last_bulk_out_ = true;
        } else if (can_in && TryIn(t)) {
            last_bulk_out_ = false;
        }
    }
}

void CdcHost::EndOfFrame(uint64_t t) {
    while (!finished_.empty()) {
        const Transfer transfer = std::move(finished_.front());
        finished_.pop_front();
        if (!transfer.data.empty()) side_->Deliver(transfer.data.data(), transfer.tags.data(), transfer.data.size());
    }
    if (held_armed_ && !held_logged_ && t >= held_since_ + kHeldCycles) {
        held_logged_ = true;
        ++stats_.missing_zlp;
        Log(std::to_string(transfer_.data.size()) +
            " bytes held on the host: the device's last packet was full and no zero-length packet followed");
    }
}

// --- The program's events ---

void CdcHost::TakeEvents(uint64_t t) {
    HostEvent event;
    while (phase_ == Phase::kRunning && side_->PeekEvent(&event)) {
        const bool out_busy = out_packet_ready_ || !out_queue_.empty();
        switch (event.kind) {
            case HostEvent::kData:
                // Not before the program's open or line change has returned (its
                // requests have ended); no more than the driver holds.
                if (call_pending_ || out_queue_.size() >= options_.out_queue_limit) return;
                out_queue_.push_back(OutByte{event.byte, event.tag, event.unit_end});
                side_->PopEvent();
                break;
            case HostEvent::kOpen:
                if (!ControlIdle()) return;
                side_->PopEvent();
                QueueOpen(event.coding);
                break;
            case HostEvent::kLineSettings:
                if (!ControlIdle()) return;
                side_->PopEvent();
                QueueLineSettings(event.coding);
                break;
            case HostEvent::kClose:
                // The close waits until what was written has gone.
                if (!ControlIdle() || out_busy) return;
                side_->PopEvent();
                Queue(Request::kSetControlLineState, kClassToInterface, kSetControlLineState, 0, comm_interface_, {},
                      0, After::kPortClosed);
                break;
            case HostEvent::kBusReset:
                if (!ControlIdle() || out_busy) return;
                side_->PopEvent();
                StartReset(t);
                return;
        }
    }
}

void CdcHost::QueueOpen(const LineCoding& coding) {
    call_pending_ = true;
    if (options_.driver == HostDriver::kWindows) {
        QueueClearHalt(out_ep_, false);
        QueueClearHalt(in_ep_, false);
    }
    Queue(Request::kSetControlLineState, kClassToInterface, kSetControlLineState, kDtrRts, comm_interface_, {}, 0);
    Queue(Request::kGetLineCoding, kClassFromInterface, kGetLineCoding, 0, comm_interface_, {}, 7);
    uint8_t bytes[7];
    coding.ToBytes(bytes);
    Queue(Request::kSetLineCoding, kClassToInterface, kSetLineCoding, 0, comm_interface_,
          std::vector<uint8_t>(bytes, bytes + 7), 0, After::kPortOpen);
    line_coding_ = coding;
    line_set_ = true;
}

void CdcHost::QueueLineSettings(const LineCoding& coding) {
    if (options_.driver == HostDriver::kWindows || !line_set_ || coding != line_coding_) {
        uint8_t bytes[7];
        coding.ToBytes(bytes);
        Queue(Request::kSetLineCoding, kClassToInterface, kSetLineCoding, 0, comm_interface_,
              std::vector<uint8_t>(bytes, bytes + 7), 0);
        line_coding_ = coding;
        line_set_ = true;
    }
    call_pending_ = true;
    Queue(Request::kSetControlLineState, kClassToInterface, kSetControlLineState, 0, comm_interface_, {}, 0,
          After::kCallReturns);
}

}  // namespace sim
