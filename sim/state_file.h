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
};

// The summary, one "key: value" line each:
//   flash_bytes_not_ff, flash_crc32 (8 hex digits), lock_bits (8 hex digits),
//   gpnvm_bits (hex), frames, lost_bytes, instructions, mmio_accesses, cycles.
std::string FormatSummary(const SummaryFigures& figures);

}  // namespace sim

#endif
