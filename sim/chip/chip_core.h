// Inside the chip model: the memory map's inner constants and the state that
// the core's run loop (chip.cpp) and the peripheral dispatch
// (chip_peripherals.cpp) share. Only these two files include it.
#ifndef QUILLMERE_SIM_CHIP_CHIP_CORE_H
#define QUILLMERE_SIM_CHIP_CHIP_CORE_H

#include <unicorn/unicorn.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/chip/chip.h"
#include "sim/chip/debug_unit.h"
#include "sim/chip/flash_controller.h"
#include "sim/chip/usb_port.h"

namespace sim {

constexpr uint32_t kRomSize = 0x10000;
constexpr uint32_t kPeriphBase = 0xFFFFF000;
constexpr uint32_t kPeriphSize = 0x1000;
constexpr uint32_t kDbguEnd = 0xFFFFF400;
constexpr uint32_t kWdtBase = 0xFFFFFD40;
constexpr uint32_t kWdtMode = 0xFFFFFD44;
constexpr uint32_t kWdtEnd = 0xFFFFFD50;
constexpr uint32_t kEfcBase = 0xFFFFFF60;
constexpr uint32_t kEfcEnd = 0xFFFFFF80;
// The power management controller: only its range is known; code of ours
// must not write it (the boot monitor set the clocks the port needs).
constexpr uint32_t kPmcBase = 0xFFFFFC00;
constexpr uint32_t kPmcEnd = 0xFFFFFD00;
constexpr uint32_t kDefaultSp = 0x00208000;
// A permanently undefined ARM instruction: code that runs into the ROM area
// anywhere but at the return address stops with a fault.
constexpr uint32_t kUndefined = 0xE7F000F0;
// Longest run of code between two looks at the line, in cycles.
constexpr uint64_t kSliceCycles = kCyclesPerByte;
// Status polls of an empty line in a row, each within kIdleGapCycles of the
// previous, after which the code counts as idle and the host waits instead.
constexpr int kIdlePolls = 8;
constexpr uint64_t kIdleGapCycles = 64;
constexpr int kIdleWaitMs = 2;
// Busy-status polls of a flash controller in a row after which chip time
// jumps to the end of the command instead of emulating the wait loop.
constexpr int kBusyPolls = 4;
// Slices between looks at line->Stopped() when the code keeps running.
constexpr int kSlicesPerStopCheck = 16;
// Reads of the USB port's status registers in a row (no write, no FIFO
// access, no CSR write pending, each register showing what it showed at its
// last read), each within kIdleGapCycles of the previous, after which the
// code counts as waiting for the bus.
constexpr int kUsbIdlePolls = 8;

struct ChipCore {
    explicit ChipCore(const ChipOptions& o);
    ~ChipCore();

    // Peripheral page, offset from 0xFFFFF000. Returns false for an address
    // that is not a register of the map.
    bool PeriphRead(uint32_t address, uint32_t* value);
    // A status read of the debug unit by running code at chip time `now`;
    // detects a tight poll loop and returns the (maybe advanced) chip time.
    uint64_t StatusPoll(uint64_t now);
    bool PeriphWrite(uint32_t address, uint32_t value);
    uint32_t FlashRead(uint32_t offset, unsigned size) const;
    // The USB port's registers, at the current chip time; a read by running
    // code that only polls may ask the bus to move time on.
    bool UsbRead(uint32_t offset, uint32_t* value);
    bool UsbWrite(uint32_t offset, uint32_t value);
    // Records a fault of the running code and stops it; the message is made
    // by ComposeFault() once the emulator has stopped and its pc is exact.
    // data: a bad load or store (its pc is found by FaultPc()).
    void SetFault(uint32_t address, const char* what, bool data = true);
    void ComposeFault();
    uint32_t FaultPc();
    uint32_t CodeWord(uint32_t address) const;
    uint32_t Reg(int r, uint32_t insn_address);
    uint32_t Pc();
    void CheckFlashSize();
    // Ends the running slice before the next instruction. A stop asked for
    // inside a peripheral access would make the emulator resume at the start
    // of the current block with registers the block has already changed, so
    // the stop waits for the next instruction's hook, where pc is exact.
    void StopAtNextInstruction() { slice_end = 0; }

    ChipOptions options;
    std::vector<uint8_t> flash;
    std::vector<uint8_t> sram;
    std::vector<uint8_t> rom;
    FlashController efc0;
    FlashController efc1;
    DebugUnit dbgu;
    UsbPort usb;
    BusClock* bus = nullptr;
    std::vector<uint32_t> watchdog_writes;
    uint32_t watchdog_mode = 0;
    ChipStats stats;

    uc_engine* uc = nullptr;
    std::string init_error;
    std::string fault;
    bool faulted = false;
    uint32_t fault_address = 0;
    bool data_fault = false;
    std::string fault_what;
    // The translated block running now (start address, bytes): the emulator
    // reports a block's start as pc inside hooks and after a bad access.
    uint32_t block_start = 0;
    uint32_t block_size = 0;
    bool sram_dirty = true;  // written by the host since the code last ran
    SerialLine* line = nullptr;
    bool running = false;
    uint64_t slice_end = 0;
    int idle_polls = 0;
    uint64_t last_idle_poll = 0;
    bool idle_request = false;
    int usb_idle_polls = 0;
    uint64_t last_usb_poll = 0;
    uint32_t usb_seen[0x80 / 4] = {};  // the value each port register showed at its last read
    bool usb_idle_request = false;
    int busy_polls[2] = {0, 0};
    uint64_t fmcn_errors_logged = 0;
};

struct Chip::Impl : ChipCore {
    using ChipCore::ChipCore;
};

}  // namespace sim

#endif
