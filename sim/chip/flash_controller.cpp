#include "sim/chip/flash_controller.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr uint32_t kFmcnBitNvm = 48;    // 1 us at 48 MHz
constexpr uint32_t kFmcnWriteErase = 72;  // 1.5 us at 48 MHz

}  // namespace

FlashController::FlashController(int index, std::vector<uint8_t>* flash, const FlashTimes& times,
                                 int64_t flip_offset)
    : index_(index), flash_(flash), times_(times), flip_offset_(flip_offset) {
    std::memset(latch_, 0xFF, sizeof latch_);
}

void FlashController::WriteLatch(uint32_t plane_offset, uint32_t value, int size) {
    uint32_t at = plane_offset % kFlashPageSize;
    for (int i = 0; i < size && at + i < kFlashPageSize; ++i) {
        latch_[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void FlashController::ProgramPage(uint32_t page, uint64_t now) {
    size_t base = static_cast<size_t>(index_) * kFlashPlaneSize + static_cast<size_t>(page) * kFlashPageSize;
    if (flash_->size() < base + kFlashPageSize) {
        Fail(kFsrProge);
        return;
    }
    uint8_t* dst = flash_->data() + base;
    if (mode_ & kFmrNebp) {
        for (uint32_t i = 0; i < kFlashPageSize; ++i) dst[i] &= latch_[i];
    } else {
        std::memcpy(dst, latch_, kFlashPageSize);
    }
    if (flip_offset_ >= 0 && static_cast<uint64_t>(flip_offset_) >= base &&
        static_cast<uint64_t>(flip_offset_) < base + kFlashPageSize) {
        (*flash_)[static_cast<size_t>(flip_offset_)] ^= 0xFF;
    }
    // The latch is consumed by the write: untouched words of the next page
    // program as erased.
    std::memset(latch_, 0xFF, sizeof latch_);
    ++page_writes_;
    busy_until_ = now + times_.page_write;
}

void FlashController::WriteCommand(uint32_t value, uint64_t now) {
    uint32_t fcmd = value & 0xF;
    uint32_t pagen = (value >> 8) & 0x3FF;
    uint32_t key = value >> 24;
    if (Busy(now) || key != kFlashKey) {
        // A command while another runs is refused rather than queued: the
        // code must wait for FRDY first.
        Fail(kFsrProge);
        return;
    }
    uint32_t expected_fmcn = 0;
    switch (fcmd) {
        case kFcmdWritePage: case kFcmdWritePageLock: case kFcmdEraseAll:
            expected_fmcn = kFmcnWriteErase;
            break;
        case kFcmdSetLock: case kFcmdClearLock: case kFcmdSetGpnvm: case kFcmdClearGpnvm:
        case kFcmdSetSecurity:
            expected_fmcn = kFmcnBitNvm;
            break;
        default:
            Fail(kFsrProge);
            return;
    }
    ++commands_;
    uint32_t fmcn = (mode_ >> 16) & 0xFF;
    if (fmcn != expected_fmcn) {
        ++fmcn_errors_;
        char text[96];
        std::snprintf(text, sizeof text, "flash controller %d: command 0x%X with FMCN %u, expected %u",
                      index_, fcmd, fmcn, expected_fmcn);
        last_fmcn_error_ = text;
    }
    uint32_t region = pagen / kFlashPagesPerRegion;
    switch (fcmd) {
        case kFcmdWritePage:
        case kFcmdWritePageLock:
            if (locks_ & (1u << region)) {
                Fail(kFsrLocke);
                return;
            }
            ProgramPage(pagen, now);
            if (fcmd == kFcmdWritePageLock) locks_ |= static_cast<uint16_t>(1u << region);
            break;
        case kFcmdSetLock:
        case kFcmdClearLock:
            if (fcmd == kFcmdSetLock) {
                locks_ |= static_cast<uint16_t>(1u << region);
            } else {
                locks_ &= static_cast<uint16_t>(~(1u << region));
            }
            busy_until_ = now + times_.lock_gpnvm;
            break;
        case kFcmdEraseAll: {
            if (locks_ != 0) {
                Fail(kFsrLocke);
                return;
            }
            size_t base = static_cast<size_t>(index_) * kFlashPlaneSize;
            if (flash_->size() >= base + kFlashPlaneSize) {
                std::memset(flash_->data() + base, 0xFF, kFlashPlaneSize);
            }
            busy_until_ = now + times_.erase_plane;
            break;
        }
        case kFcmdSetGpnvm:
        case kFcmdClearGpnvm:
            if (index_ != 0 || pagen > 2) {
                Fail(kFsrProge);
                return;
            }
            if (fcmd == kFcmdSetGpnvm) {
                gpnvm_ |= 1u << pagen;
            } else {
                gpnvm_ &= ~(1u << pagen);
            }
            busy_until_ = now + times_.lock_gpnvm;
            break;
        case kFcmdSetSecurity:
            security_ = true;
            busy_until_ = now + times_.lock_gpnvm;
            break;
        default:
            break;
    }
}

uint32_t FlashController::ReadStatus(uint64_t now) {
    uint32_t status = static_cast<uint32_t>(locks_) << 16;
    if (security_) status |= kFsrSecurity;
    if (index_ == 0) status |= gpnvm_ << 8;
    if (Busy(now)) return status;
    status |= kFsrFrdy | pending_errors_;
    pending_errors_ = 0;
    return status;
}

}  // namespace sim
