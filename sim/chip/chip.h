// The simulated instrument's microcontroller: memory map, flash controllers,
// debug serial unit with its receive DMA, USB device port, watchdog, chip
// identification, and an ARM CPU (emulated) that runs code started with a G
// frame.
//
// Chip time: a master-clock cycle count at 48 MHz, advanced by emulated
// instructions and by waiting. Each instruction takes the ARM7TDMI's cycles
// for it (data processing 1, loads 3, stores 2, branches 3, load and store
// multiple by their registers, 1 when its condition fails; see ArmCycles in
// chip.cpp) plus one wait state for every data access to the flash, the boot
// ROM or a peripheral register (SRAM has none); code runs from SRAM. Time
// moves on instruction by instruction, so every peripheral access sees the
// chip time of its own instruction. Flash busy times, the debug unit's byte
// time (4,166 cycles at 115200 baud) and the USB bus's frames are counted in
// it.
#ifndef QUILLMERE_SIM_CHIP_CHIP_H
#define QUILLMERE_SIM_CHIP_CHIP_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/chip/usb_port.h"

namespace sim {

constexpr uint32_t kFlashBase = 0x00100000;
constexpr uint32_t kFlashSize = 0x00080000;
constexpr uint32_t kSramBase = 0x00200000;
constexpr uint32_t kSramSize = 0x00008000;
constexpr uint32_t kRomBase = 0x00300000;
constexpr uint32_t kChipIdAddress = 0xFFFFF240;
constexpr uint64_t kMasterClockHz = 48000000;
constexpr uint64_t kCyclesPerByte = 4166;  // one byte at 115200 baud

// The host side of the debug serial unit, as the chip sees it. Implemented
// by the simulator program on top of the pseudo-terminal (throttling, frame
// tracking, wire log and injected faults live there).
class SerialLine {
 public:
    virtual ~SerialLine() = default;
    // Takes the next byte the host has sent, if one is there now. Never blocks.
    virtual bool PollByte(uint8_t* byte) = 0;
    // Blocks up to max_ms wall-clock milliseconds until a host byte is there
    // (true) or not (false). Used when the emulated code only polls an empty line.
    virtual bool WaitByte(int max_ms) = 0;
    // The chip transmits one byte to the host.
    virtual void SendByte(uint8_t byte) = 0;
    // True when the simulator must stop running code (signal, line closed).
    virtual bool Stopped() = 0;
};

// What keeps time beside the CPU: the USB bus with the PC's driver on it.
// Chip::Run hands it chip time; the native ROM monitor waits through it.
class BusClock {
 public:
    virtual ~BusClock() = default;
    // Chip time (> now) of the next bus event that code could see, or
    // UINT64_MAX when nothing happens until the host's program acts.
    virtual uint64_t NextEventAt(uint64_t now) = 0;
    // Runs the bus's events up to chip time now.
    virtual void AdvanceTo(uint64_t now) = 0;
    // The chip has nothing to do before the bus does something: returns the
    // chip time to go on at (the next event, or now plus the wall time spent
    // waiting for the host), with the bus's events up to then done.
    virtual uint64_t Idle(uint64_t now) = 0;
    // True when the simulator must stop running code (signal, device gone).
    virtual bool Stopped() = 0;
};

struct ChipOptions {
    uint32_t chip_id = 0x272A0A40;
    int usb_endpoints = 4;  // endpoints of the USB device port, 4 to 8
    // Busy times in microseconds of chip time.
    uint32_t page_write_us = 3000;
    uint32_t erase_plane_us = 15000;
    uint32_t lock_gpnvm_us = 2000;
    // After a page write that covers this flash offset, flip its byte (xor
    // 0xFF); -1 for none.
    int64_t flip_offset = -1;
    // Receives the chip's notes for the simulator's log (a flash command
    // started with a wrong FMCN value); may be empty.
    std::function<void(const std::string&)> log;
};

struct ChipStats {
    uint64_t cycles = 0;          // chip time
    uint64_t instructions = 0;    // emulated instructions
    uint64_t mmio_accesses = 0;   // peripheral register and flash accesses by code
    uint64_t lost_bytes = 0;      // bytes lost to receive overrun
    uint64_t fmcn_errors = 0;     // flash commands started with a wrong FMCN
    uint64_t page_writes = 0;     // flash pages programmed, both controllers
    uint64_t pmc_writes = 0;      // writes by code to the power management controller
    uint64_t txvc_writes = 0;     // writes by code to the USB port's TXVC (transceiver, pull-up)
};

enum class RunResult {
    kReturned,  // the code returned to the given return address
    kFault,     // CPU fault, unmapped or unaligned access: see LastFault()
    kStopped,   // the line asked to stop
};

class Chip {
 public:
    explicit Chip(const ChipOptions& options);
    ~Chip();
    Chip(const Chip&) = delete;
    Chip& operator=(const Chip&) = delete;

    // Bus accesses as the ROM monitor makes them (SRAM read/write, flash
    // read-only, peripheral registers). Return false for an unmapped address.
    bool Read8(uint32_t address, uint8_t* value);
    bool Read16(uint32_t address, uint16_t* value);
    bool Read32(uint32_t address, uint32_t* value);
    bool Write8(uint32_t address, uint8_t value);
    bool Write16(uint32_t address, uint16_t value);
    bool Write32(uint32_t address, uint32_t value);

    // Runs ARM code from address with lr = return_address, the debug unit
    // wired to line, until the code branches to return_address, faults, or
    // line->Stopped() or the bus's Stopped(). A monitor that never returns
    // (the SRAM monitor) runs until the line or the bus stops. line may be
    // null (nothing arrives on the debug unit, sent bytes are dropped). The
    // bus set with SetBus gets chip time while the code runs.
    // sp is left as it is (0x00208000 on a fresh chip); ARM state.
    RunResult Run(uint32_t address, uint32_t return_address, SerialLine* line);

    // The bus beside the CPU (the USB bus and the PC's driver), or null when
    // nothing is on the USB port. Not owned.
    void SetBus(BusClock* bus);
    // The USB device port (registers at 0xFFFB0000).
    UsbPort& Usb();
    // Chip time in cycles. SetNow moves it forward (never back).
    uint64_t Now() const;
    void SetNow(uint64_t cycles);
    // Writes n bytes into the boot ROM region at offset (the boot monitor's
    // own tables; code cannot write the ROM).
    void WriteRom(uint32_t offset, const uint8_t* data, size_t n);

    // "pc=... address=... what" of the last fault.
    const std::string& LastFault() const;

    // Persistent state: 512 KiB of flash, 32 lock bits (bit r = region r),
    // 3 GPNVM bits (bit b = GPNVMb).
    std::vector<uint8_t>& Flash();
    uint32_t LockBits() const;
    void SetLockBits(uint32_t bits);
    uint32_t GpnvmBits() const;
    void SetGpnvmBits(uint32_t bits);

    const ChipStats& Stats() const;

    // Every value code wrote to the watchdog mode register, in order; only
    // the first takes effect (the register is write-once after reset).
    const std::vector<uint32_t>& WatchdogModeWrites() const;

 private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim

#endif
