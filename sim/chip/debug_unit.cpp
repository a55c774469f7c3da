#include "sim/chip/debug_unit.h"

namespace sim {

DebugUnit::DebugUnit(uint8_t* sram, uint32_t sram_base, uint32_t sram_size, uint32_t chip_id)
    : sram_(sram), sram_base_(sram_base), sram_size_(sram_size), chip_id_(chip_id) {}

bool DebugUnit::DmaReceiving() const { return rxten_ && (rcr_ != 0 || rncr_ != 0); }

uint32_t DebugUnit::Status() const {
    uint32_t s = 0;
    if (rxrdy_) s |= kSrRxrdy;
    if (tx_enabled_) s |= kSrTxrdy | kSrTxempty;
    if (rcr_ == 0) s |= kSrEndrx;
    if (ovre_) s |= kSrOvre;
    if (rcr_ == 0 && rncr_ == 0) s |= kSrRxbuff;
    return s;
}

void DebugUnit::Receive(uint8_t byte) {
    if (!rx_enabled_) {
        ++lost_bytes_;
        return;
    }
    if (rxten_ && rcr_ == 0 && rncr_ != 0) {
        rpr_ = rnpr_;
        rcr_ = rncr_;
        rncr_ = 0;
    }
    if (rxten_ && rcr_ != 0) {
        uint32_t at = rpr_ - sram_base_;
        if (rpr_ < sram_base_ || at >= sram_size_) {
            dma_fault_ = true;
            dma_fault_address_ = rpr_;
            ++lost_bytes_;
            return;
        }
        sram_[at] = byte;
        if (dirty_begin_ == dirty_end_) {
            dirty_begin_ = at;
            dirty_end_ = at + 1;
        } else {
            if (at < dirty_begin_) dirty_begin_ = at;
            if (at + 1 > dirty_end_) dirty_end_ = at + 1;
        }
        ++rpr_;
        if (--rcr_ == 0 && rncr_ != 0) {
            rpr_ = rnpr_;
            rcr_ = rncr_;
            rncr_ = 0;
        }
        return;
    }
    if (rxrdy_) {
        // The one-byte receive register is still full: the new byte is lost.
        ovre_ = true;
        ++lost_bytes_;
        return;
    }
    rhr_ = byte;
    rxrdy_ = true;
}

void DebugUnit::Feed(uint64_t now, SerialLine* line) {
    if (!line) return;
    while (rx_ready_at_ <= now) {
        uint8_t byte;
        if (!line->PollByte(&byte)) {
            // Nothing on the line: a byte that starts now is complete one
            // byte time later at the earliest.
            line_empty_ = true;
            rx_ready_at_ = now + kCyclesPerByte;
            return;
        }
        if (line_empty_) {
            // The line was empty at the last look: this byte came in since,
            // at the latest now. Bytes behind it follow one byte time apart.
            rx_ready_at_ = now;
            line_empty_ = false;
        }
        Receive(byte);
        rx_ready_at_ += kCyclesPerByte;
    }
}

bool DebugUnit::TakeDirty(uint32_t* begin, uint32_t* end) {
    if (dirty_begin_ == dirty_end_) return false;
    *begin = dirty_begin_;
    *end = dirty_end_;
    dirty_begin_ = dirty_end_ = 0;
    return true;
}

uint32_t DebugUnit::Read(uint32_t offset, uint64_t now, SerialLine* line) {
    Feed(now, line);
    switch (offset) {
        case kDbguMode: return mode_;
        case kDbguImr: return imr_;
        case kDbguStatus: return Status();
        case kDbguRhr:
            rxrdy_ = false;
            return rhr_;
        case kDbguBrgr: return brgr_;
        case kDbguCidr: return chip_id_;
        case kDbguExid: return 0;
        case kDbguRpr: return rpr_;
        case kDbguRcr: return rcr_;
        case kDbguRnpr: return rnpr_;
        case kDbguRncr: return rncr_;
        case kDbguPtsr: return rxten_ ? 1u : 0u;
        default: return 0;
    }
}

void DebugUnit::Write(uint32_t offset, uint32_t value, uint64_t now, SerialLine* line) {
    Feed(now, line);
    switch (offset) {
        case kDbguControl:
            if (value & kCrRstrx) {
                rxrdy_ = false;
                rx_enabled_ = false;
            }
            if (value & kCrRsttx) tx_enabled_ = false;
            if (value & kCrRxen) rx_enabled_ = true;
            if (value & kCrRxdis) rx_enabled_ = false;
            if (value & kCrTxen) tx_enabled_ = true;
            if (value & kCrTxdis) tx_enabled_ = false;
            if (value & kCrRststa) ovre_ = false;
            break;
        case kDbguMode: mode_ = value; break;
        case kDbguIer: imr_ |= value; break;
        case kDbguIdr: imr_ &= ~value; break;
        case kDbguThr:
            if (tx_enabled_ && line) line->SendByte(static_cast<uint8_t>(value));
            break;
        case kDbguBrgr: brgr_ = value & 0xFFFF; break;
        case kDbguRpr: rpr_ = value; break;
        case kDbguRcr: rcr_ = value & 0xFFFF; break;
        case kDbguRnpr: rnpr_ = value; break;
        case kDbguRncr: rncr_ = value & 0xFFFF; break;
        case kDbguPtcr:
            if (value & kPtcrRxten) rxten_ = true;
            if (value & kPtcrRxtdis) rxten_ = false;
            break;
        default: break;
    }
}

}  // namespace sim
