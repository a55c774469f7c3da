// The chip's debug serial unit with its receive DMA, without the CPU. Time
// is passed in as a chip-time cycle count; received bytes come from a
// SerialLine no faster than one per kCyclesPerByte cycles, into a one-byte
// receive register (overrun when it is still full) or, with the receive DMA
// on, straight into SRAM.
#ifndef QUILLMERE_SIM_CHIP_DEBUG_UNIT_H
#define QUILLMERE_SIM_CHIP_DEBUG_UNIT_H

#include <cstdint>

#include "sim/chip/chip.h"

namespace sim {

// Register offsets from the unit's base 0xFFFFF200, and status bits.
constexpr uint32_t kDbguBase = 0xFFFFF200;
constexpr uint32_t kDbguControl = 0x00;
constexpr uint32_t kDbguMode = 0x04;
constexpr uint32_t kDbguIer = 0x08;
constexpr uint32_t kDbguIdr = 0x0C;
constexpr uint32_t kDbguImr = 0x10;
constexpr uint32_t kDbguStatus = 0x14;
constexpr uint32_t kDbguRhr = 0x18;
constexpr uint32_t kDbguThr = 0x1C;
constexpr uint32_t kDbguBrgr = 0x20;
constexpr uint32_t kDbguCidr = 0x40;
constexpr uint32_t kDbguExid = 0x44;
constexpr uint32_t kDbguRpr = 0x100;
constexpr uint32_t kDbguRcr = 0x104;
constexpr uint32_t kDbguRnpr = 0x110;
constexpr uint32_t kDbguRncr = 0x114;
constexpr uint32_t kDbguPtcr = 0x120;
constexpr uint32_t kDbguPtsr = 0x124;

constexpr uint32_t kCrRstrx = 1u << 2;
constexpr uint32_t kCrRsttx = 1u << 3;
constexpr uint32_t kCrRxen = 1u << 4;
constexpr uint32_t kCrRxdis = 1u << 5;
constexpr uint32_t kCrTxen = 1u << 6;
constexpr uint32_t kCrTxdis = 1u << 7;
constexpr uint32_t kCrRststa = 1u << 8;

constexpr uint32_t kSrRxrdy = 1u << 0;
constexpr uint32_t kSrTxrdy = 1u << 1;
constexpr uint32_t kSrEndrx = 1u << 3;
constexpr uint32_t kSrOvre = 1u << 5;
constexpr uint32_t kSrFrame = 1u << 6;
constexpr uint32_t kSrTxempty = 1u << 9;
constexpr uint32_t kSrRxbuff = 1u << 11;

constexpr uint32_t kPtcrRxten = 1u << 0;
constexpr uint32_t kPtcrRxtdis = 1u << 1;

class DebugUnit {
 public:
    // sram: the chip's SRAM (size bytes at target address sram_base), where
    // the receive DMA stores. chip_id: the identification word at +0x40.
    DebugUnit(uint8_t* sram, uint32_t sram_base, uint32_t sram_size, uint32_t chip_id);

    // Register read/write at `offset` from the base (0 to 0x1FF), at chip
    // time `now`, with line as the host side (may be null: nothing arrives,
    // sent bytes are dropped). Both first take in what arrived up to now.
    uint32_t Read(uint32_t offset, uint64_t now, SerialLine* line);
    void Write(uint32_t offset, uint32_t value, uint64_t now, SerialLine* line);

    // Takes the bytes the line delivers up to chip time `now`, one per
    // kCyclesPerByte cycles. Polls the line at most once per byte time.
    void Feed(uint64_t now, SerialLine* line);

    // Chip time at which the next byte can be complete.
    uint64_t NextByteAt() const { return rx_ready_at_; }
    // Code starts running at `now` after the host's last byte was taken by
    // someone else (the ROM monitor): bytes still coming need a byte time.
    void StartReceiving(uint64_t now) {
        rx_ready_at_ = now + kCyclesPerByte;
        line_empty_ = false;
    }
    // True when the last poll of the line found nothing.
    bool LineEmpty() const { return line_empty_; }
    // True while received bytes go to memory (RXTEN and a counter non-zero).
    bool DmaReceiving() const;
    // Status register value without side effects.
    uint32_t Status() const;

    // Bytes lost: overrun of the receive register, or arrived while the
    // receiver was disabled.
    uint64_t LostBytes() const { return lost_bytes_; }
    // The receive DMA pointed outside SRAM: the byte was dropped and this is
    // set with the address, until ClearDmaFault().
    bool DmaFault(uint32_t* address) const {
        *address = dma_fault_address_;
        return dma_fault_;
    }
    void ClearDmaFault() { dma_fault_ = false; }
    // Lowest and highest+1 SRAM offset written by the DMA since the last
    // TakeDirty(); false when nothing was written.
    bool TakeDirty(uint32_t* begin, uint32_t* end);

 private:
    void Receive(uint8_t byte);

    uint8_t* sram_;
    uint32_t sram_base_;
    uint32_t sram_size_;
    uint32_t chip_id_;

    bool rx_enabled_ = true;
    bool tx_enabled_ = true;
    bool rxrdy_ = false;
    bool ovre_ = false;
    uint8_t rhr_ = 0;
    uint32_t mode_ = 4u << 9;  // no parity, normal channel mode
    uint32_t imr_ = 0;
    uint32_t brgr_ = 26;       // 115200 baud at 48 MHz
    uint32_t rpr_ = 0, rcr_ = 0, rnpr_ = 0, rncr_ = 0;
    bool rxten_ = false;

    uint64_t rx_ready_at_ = 0;
    bool line_empty_ = true;
    uint64_t lost_bytes_ = 0;
    bool dma_fault_ = false;
    uint32_t dma_fault_address_ = 0;
    uint32_t dirty_begin_ = 0, dirty_end_ = 0;
};

}  // namespace sim

#endif
