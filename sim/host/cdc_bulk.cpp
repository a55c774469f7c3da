// The CDC driver model's bulk transfers: the program's bytes as bulk OUT
// packets, the IN transfers that reach the program.
#include <algorithm>
#include <utility>

#include "sim/host/cdc_host.h"
#include "sim/host/cdc_host_parts.h"

namespace sim {

using namespace cdc;

// --- Bulk ---

size_t CdcHost::OutPacketLength() const {
    size_t n = 0;
    bool unit_end = false;
    while (n < out_queue_.size() && n < kBulkPacket && !unit_end) unit_end = out_queue_[n++].unit_end;
    if (n == 0 || n == kBulkPacket || unit_end) return n;
    // A short packet of a write that has not ended goes only when nothing
    // more can join it.
    if (out_queue_.size() >= options_.out_queue_limit) return n;
    HostEvent event;
    if (side_->PeekEvent(&event)) return event.kind == HostEvent::kData ? 0 : n;
    return side_->MoreMayFollow() ? 0 : n;
}

bool CdcHost::FormOutPacket() {
    const size_t n = OutPacketLength();
    if (n == 0) return false;
    out_packet_.clear();
    out_tags_.clear();
    for (size_t i = 0; i < n; ++i) {
        out_packet_.push_back(out_queue_.front().byte);
        out_tags_.push_back(out_queue_.front().tag);
        out_queue_.pop_front();
    }
    out_packet_ready_ = true;
    return true;
}

bool CdcHost::TryOut(uint64_t t) {
    const Handshake h =
        port_->Out(address_, out_ep_ & 0x0F, out_packet_.data(), out_packet_.size(), out_toggle_, out_tags_.data(), t);
    switch (h) {
        case Handshake::kAck:
            ++stats_.out_packets;
            stats_.out_bytes += out_packet_.size();
            out_toggle_ ^= 1;
            out_packet_ready_ = false;
            out_stall_logged_ = false;
            return true;
        case Handshake::kNak:
            ++stats_.out_naks;
            return false;
        case Handshake::kStall:
            // Logged once until a packet goes through (a device that stalls
            // again after every clear would fill the log).
            if (!out_stall_logged_) Log("bulk OUT " + Hex2(out_ep_) + " stalled: clearing the halt");
            out_stall_logged_ = true;
            out_halted_ = true;
            QueueClearHalt(out_ep_, true);
            return false;
        case Handshake::kNone:
            ++stats_.unanswered;
            out_retry_at_ = NextFrameStart(t);
            return false;
    }
    return false;
}

bool CdcHost::TryIn(uint64_t t) {
    InPacket packet;
    const Handshake h = port_->In(address_, in_ep_ & 0x0F, &packet, t);
    switch (h) {
        case Handshake::kAck: {
            if (packet.toggle != in_toggle_) {
                ++stats_.in_repeats_dropped;
                Log("bulk IN packet of " + std::to_string(packet.data.size()) +
                    " bytes with the wrong data toggle dropped as a repeat");
                return true;
            }
            in_toggle_ ^= 1;
            in_stall_logged_ = false;
            ++stats_.in_packets;
            stats_.in_bytes += packet.data.size();
            const size_t n = std::min(packet.data.size(), in_transfer_size_ - transfer_.data.size());
            transfer_.data.insert(transfer_.data.end(), packet.data.begin(),
                                  packet.data.begin() + static_cast<long>(n));
            for (size_t i = 0; i < n; ++i) transfer_.tags.push_back(i < packet.tags.size() ? packet.tags[i] : 0);
            if (packet.data.size() < kBulkPacket || transfer_.data.size() >= in_transfer_size_) {
                CompleteTransfer();
            } else {
                held_armed_ = true;
                held_logged_ = false;
                held_since_ = t;
            }
            return true;
        }
        case Handshake::kNak:
            return false;
        case Handshake::kStall:
            if (!in_stall_logged_) Log("bulk IN " + Hex2(in_ep_) + " stalled: clearing the halt");
            in_stall_logged_ = true;
            in_halted_ = true;
            QueueClearHalt(in_ep_, true);
            return false;
        case Handshake::kNone:
            ++stats_.unanswered;
            in_retry_at_ = NextFrameStart(t);
            return false;
    }
    return false;
}

void CdcHost::CompleteTransfer() {
    finished_.push_back(std::move(transfer_));
    transfer_ = Transfer();
    held_armed_ = false;
    held_logged_ = false;
}

void CdcHost::DropTransfers(const char* why) {
    size_t bytes = transfer_.data.size();
    for (const Transfer& f : finished_) bytes += f.data.size();
    transfer_ = Transfer();
    finished_.clear();
    held_armed_ = false;
    held_logged_ = false;
    if (bytes > 0) Log(std::to_string(bytes) + " received bytes " + why);
}

}  // namespace sim
