#include "sim/state_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "sim/chip/chip.h"
#include "sim/host/wire_log.h"

namespace sim {
namespace {

void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

bool ReadStateFile(const std::string& path, SimState* state, std::string* error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> data(kStateFileSize + 1);
    const size_t n = std::fread(data.data(), 1, data.size(), f);
    std::fclose(f);
    if (n != kStateFileSize) {
        *error = path + ": not a state file (size " + std::to_string(n) + ")";
        return false;
    }
    if (std::memcmp(data.data(), kStateMagic, 8) != 0) {
        *error = path + ": not a state file (magic)";
        return false;
    }
    state->lock_bits = GetU32(&data[8]);
    state->gpnvm_bits = GetU32(&data[12]);
    state->flash.assign(data.begin() + 16, data.begin() + kStateFileSize);
    return true;
}

bool WriteStateFile(const std::string& path, const SimState& state, std::string* error) {
    if (state.flash.size() != kFlashSize) {
        *error = "flash image has the wrong size";
        return false;
    }
    uint8_t header[16];
    std::memcpy(header, kStateMagic, 8);
    PutU32(header + 8, state.lock_bits);
    PutU32(header + 12, state.gpnvm_bits);
    const std::string temp = path + ".tmp";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (f == nullptr) {
        *error = temp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(header, 1, sizeof header, f) == sizeof header &&
              std::fwrite(state.flash.data(), 1, state.flash.size(), f) == state.flash.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

std::string FormatSummary(const SummaryFigures& s) {
    size_t not_ff = 0;
    uint32_t crc = 0;
    if (s.flash != nullptr) {
        for (uint8_t b : *s.flash) not_ff += (b != 0xFF);
        crc = Crc32(s.flash->data(), s.flash->size());
    }
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "flash_bytes_not_ff: %zu\n"
                  "flash_crc32: %08" PRIX32 "\n"
                  "lock_bits: %08" PRIX32 "\n"
                  "gpnvm_bits: %" PRIX32 "\n"
                  "frames: %" PRIu64 "\n"
                  "lost_bytes: %" PRIu64 "\n"
                  "rom_caught_bytes: %" PRIu64 "\n"
                  "instructions: %" PRIu64 "\n"
                  "mmio_accesses: %" PRIu64 "\n"
                  "cycles: %" PRIu64 "\n",
                  not_ff, crc, s.lock_bits, s.gpnvm_bits, s.frames, s.lost_bytes, s.recovered_bytes,
                  s.instructions, s.mmio_accesses, s.cycles);
    std::string out = buf;
    std::snprintf(buf, sizeof buf,
                  "pmc_writes: %" PRIu64 "\ntxvc_writes: %" PRIu64 "\nflash_page_writes: %" PRIu64 "\nlink: %s\n",
                  s.pmc_writes, s.txvc_writes, s.page_writes, s.usb ? "usb" : "serial");
    out += buf;
    if (!s.usb) return out;
    std::snprintf(buf, sizeof buf,
                  "usb_out_packets: %" PRIu64 "\n"
                  "usb_in_packets: %" PRIu64 "\n"
                  "usb_zero_length_packets: %" PRIu64 "\n"
                  "usb_naks: %" PRIu64 "\n"
                  "usb_repeats_dropped: %" PRIu64 "\n"
                  "usb_lost_events: %" PRIu64 "\n"
                  "usb_discipline_faults: %" PRIu64 "\n"
                  "usb_missing_zlp: %" PRIu64 "\n"
                  "usb_control_requests: %" PRIu64 "\n"
                  "usb_control_ok: %" PRIu64 "\n"
                  "usb_control_stalled: %" PRIu64 "\n"
                  "usb_control_timed_out: %" PRIu64 "\n"
                  "usb_unanswered: %" PRIu64 "\n"
                  "usb_bus_resets: %" PRIu64 "\n",
                  s.host.out_packets, s.host.in_packets, s.port.zero_length_in, s.host.out_naks,
                  s.port.repeats_dropped + s.host.in_repeats_dropped, s.port.lost_events, s.port.discipline_faults,
                  s.host.missing_zlp, s.host.control_requests, s.host.control_ok, s.host.control_stalled,
                  s.host.control_timed_out, s.host.unanswered, s.host.bus_resets);
    out += buf;
    std::snprintf(buf, sizeof buf,
                  "usb_enumeration_unanswered: %" PRIu64 "\n"
                  "usb_enumeration_retries: %" PRIu64 "\n"
                  "usb_reset_answer_us: %" PRIu64 "\n",
                  s.host.enumeration_unanswered, s.host.enumeration_retries,
                  s.port.reset_answer_cycles / (kMasterClockHz / 1000000));
    out += buf;
    if (!s.real_time) return out;
    std::snprintf(buf, sizeof buf, "real_time_behind_us: %" PRIu64 "\nreal_time_max_behind_us: %" PRIu64 "\n",
                  s.behind_us, s.max_behind_us);
    return out + buf;
}

}  // namespace sim
