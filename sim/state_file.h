// The simulated instrument's persistent state on disk, and the summary
// printed on exit.
//
// State file (all integers little-endian), 524,304 bytes:
//   offset 0   8 bytes  magic "QMSIMST1"
//   offset 8   u32      lock bits (bit r = lock region r)
//   offset 12  u32      GPNVM bits (bit b = GPNVMb)
//   offset 16  524,288  flash content from flash offset 0
#ifndef QUILLMERE_SIM_STATE_FILE_H
#define QUILLMERE_SIM_STATE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/chip/usb_port.h"
#include "sim/host/cdc_host.h"

namespace sim {

constexpr char kStateMagic[9] = "QMSIMST1";
constexpr size_t kStateFileSize = 16 + 0x80000;

struct SimState {
    std::vector<uint8_t> flash;  // 524,288 bytes
    uint32_t lock_bits = 0;
    uint32_t gpnvm_bits = 0;
};

// Reads a state file. False with *error set when it cannot be read, is not
// exactly kStateFileSize bytes or has another magic.
bool ReadStateFile(const std::string& path, SimState* state, std::string* error);

// Writes a state file through a temporary file renamed into place, so a
// reader never sees half a file. False with *error set on failure.
bool WriteStateFile(const std::string& path, const SimState& state, std::string* error);

// What the summary reports.
struct SummaryFigures {
    const std::vector<uint8_t>* flash = nullptr;
    uint32_t lock_bits = 0;
    uint32_t gpnvm_bits = 0;
    uint64_t frames = 0;
    uint64_t lost_bytes = 0;       // lost to receive overrun
    uint64_t recovered_bytes = 0;  // counted by the debug unit, taken by the ROM monitor
    uint64_t instructions = 0;
    uint64_t mmio_accesses = 0;
    uint64_t cycles = 0;
    uint64_t pmc_writes = 0;       // writes by code to the power management controller
    uint64_t txvc_writes = 0;      // writes by code to the USB port's TXVC
    uint64_t page_writes = 0;      // flash pages programmed
    bool real_time = false;        // wall time followed chip time (USB link)
    uint64_t behind_us = 0;        // real time: the wall clock's lead over chip time, added up
    uint64_t max_behind_us = 0;    // ... and its largest single lead
    bool usb = false;              // the link was the USB device port
    UsbPortStats port;             // the device port's figures (USB link)
    CdcHostStats host;             // the PC driver's figures (USB link)
};

// The summary, one "key: value" line each:
//   flash_bytes_not_ff, flash_crc32 (8 hex digits), lock_bits (8 hex digits),
//   gpnvm_bits (hex), frames, lost_bytes, rom_caught_bytes, instructions,
//   mmio_accesses, cycles, pmc_writes, txvc_writes, flash_page_writes,
//   link (usb or serial);
// on the USB link also: usb_out_packets, usb_in_packets (both as the PC's
// driver counted them), usb_zero_length_packets, usb_naks (OUT tries the
// port refused), usb_repeats_dropped (wrong toggle, either way),
// usb_lost_events, usb_discipline_faults, usb_missing_zlp,
// usb_control_requests, usb_control_ok, usb_control_stalled,
// usb_control_timed_out, usb_unanswered, usb_bus_resets,
// usb_enumeration_unanswered (enumeration requests the device did not answer
// at all), usb_enumeration_retries (enumeration attempts begun again with a
// new bus reset), usb_reset_answer_us (longest chip time, in microseconds,
// from a bus reset's end until the port answered at address 0 again); in real
// time also real_time_behind_us and real_time_max_behind_us (how far the wall
// clock ran ahead of chip time: the simulator's own slowness).
std::string FormatSummary(const SummaryFigures& figures);

}  // namespace sim

#endif
