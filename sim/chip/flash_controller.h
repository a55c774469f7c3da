// One of the chip's two flash controllers, without the CPU: mode, command and
// status registers, the page latch, lock bits, GPNVM bits and busy times.
// Time is passed in explicitly as a chip-time cycle count ("now"), so the
// model runs the same inside the emulator and in unit tests.
#ifndef QUILLMERE_SIM_CHIP_FLASH_CONTROLLER_H
#define QUILLMERE_SIM_CHIP_FLASH_CONTROLLER_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Register bits and sizes of the flash controllers.
constexpr uint32_t kFlashPlaneSize = 0x40000;   // bytes per plane / controller
constexpr uint32_t kFlashPageSize = 256;        // bytes per page
constexpr uint32_t kFlashPagesPerRegion = 64;   // pages per lock region
constexpr uint32_t kFlashRegionsPerPlane = 16;
constexpr uint32_t kFlashKey = 0x5A;

constexpr uint32_t kFsrFrdy = 1u << 0;
constexpr uint32_t kFsrLocke = 1u << 2;
constexpr uint32_t kFsrProge = 1u << 3;
constexpr uint32_t kFsrSecurity = 1u << 4;
constexpr uint32_t kFmrNebp = 1u << 7;

enum FlashCommand : uint32_t {
    kFcmdWritePage = 0x1,
    kFcmdSetLock = 0x2,
    kFcmdWritePageLock = 0x3,
    kFcmdClearLock = 0x4,
    kFcmdEraseAll = 0x8,
    kFcmdSetGpnvm = 0xB,
    kFcmdClearGpnvm = 0xD,
    kFcmdSetSecurity = 0xF,
};

// Busy times of the commands, in chip-time cycles.
struct FlashTimes {
    uint64_t page_write = 0;
    uint64_t erase_plane = 0;
    uint64_t lock_gpnvm = 0;
};

class FlashController {
 public:
    // index 0 or 1: the controller of plane `index` of *flash (512 KiB, owned
    // by the caller and outliving this object). flip_offset: a flash offset
    // whose byte is inverted after a page write covering it, or -1.
    FlashController(int index, std::vector<uint8_t>* flash, const FlashTimes& times,
                    int64_t flip_offset = -1);

    // Mode register (read/write).
    uint32_t ReadMode() const { return mode_; }
    void WriteMode(uint32_t value) { mode_ = value; }

    // Command register write at chip time `now`. Refused commands set PROGE
    // (bad key, unknown command, GPNVM on controller 1 or bit > 2, any
    // command while a previous one still runs) or LOCKE (write or erase-all
    // touching a locked region); refused commands change no flash or bits.
    void WriteCommand(uint32_t value, uint64_t now);

    // Status register read at chip time `now`. FRDY is 0 until the running
    // command's busy time has passed. LOCKE and PROGE show once FRDY is 1,
    // in the same value, and are cleared by that read.
    uint32_t ReadStatus(uint64_t now);

    // A write by code to a flash address of this plane (plane_offset 0 to
    // 0x3FFFF, size 1, 2 or 4 bytes, little-endian): goes to the page latch.
    void WriteLatch(uint32_t plane_offset, uint32_t value, int size);

    // True while a command runs at chip time `now`; BusyUntil() is its end.
    bool Busy(uint64_t now) const { return now < busy_until_; }
    uint64_t BusyUntil() const { return busy_until_; }

    // Lock bits of the plane's 16 regions (bit i = region i of this plane).
    uint16_t LockBits() const { return locks_; }
    void SetLockBits(uint16_t bits) { locks_ = bits; }
    // GPNVM bits 0-2 (meaningful on controller 0 only).
    uint32_t GpnvmBits() const { return gpnvm_; }
    void SetGpnvmBits(uint32_t bits) { gpnvm_ = bits & 7u; }
    bool Security() const { return security_; }

    // Commands accepted so far, and those started with an FMCN value that
    // does not match the command kind (48 for lock/unlock/GPNVM/security, 72
    // for page write and erase-all at 48 MHz). Such a command still runs, as
    // on the chip, whose flash timing it would spoil; LastFmcnError() says
    // which.
    uint64_t Commands() const { return commands_; }
    // Pages programmed (page write commands that were not refused).
    uint64_t PageWrites() const { return page_writes_; }
    uint64_t FmcnErrors() const { return fmcn_errors_; }
    const std::string& LastFmcnError() const { return last_fmcn_error_; }

 private:
    void Fail(uint32_t bit) { pending_errors_ |= bit; }
    void ProgramPage(uint32_t page, uint64_t now);

    int index_;
    std::vector<uint8_t>* flash_;
    FlashTimes times_;
    int64_t flip_offset_;
    uint32_t mode_ = 0;
    uint8_t latch_[kFlashPageSize];
    uint64_t busy_until_ = 0;
    uint32_t pending_errors_ = 0;
    uint16_t locks_ = 0;
    uint32_t gpnvm_ = 0;
    bool security_ = false;
    uint64_t commands_ = 0;
    uint64_t page_writes_ = 0;
    uint64_t fmcn_errors_ = 0;
    std::string last_fmcn_error_;
};

}  // namespace sim

#endif
