#include "sim/rom/rom_monitor.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

#include "sim/rom/monitor_frame.h"
#include "sim/sim_log.h"

namespace sim {

RomMonitor::RomMonitor(Chip* chip, MonitorLine* line, std::string version)
    : chip_(chip), line_(line), version_(std::move(version)) {}

RunResult RomMonitor::Serve() {
    while (!line_->Stopped()) {
        uint8_t byte = 0;
        if (!line_->PollByte(&byte)) {
            line_->WaitByte(100);
            continue;
        }
        if (hung_) continue;  // a hung chip reads nothing: the byte is gone
        Feed(byte);
    }
    return hung_ ? RunResult::kFault : RunResult::kStopped;
}

bool RomMonitor::Feed(uint8_t byte) {
    if (hung_) return false;
    if (data_remaining_ > 0) {
        if (!chip_->Write8(data_address_, byte) && !data_fault_logged_) {
            SimLog("rom monitor: S data to 0x%08" PRIX32 " is outside the map; dropped", data_address_);
            data_fault_logged_ = true;
        }
        ++data_address_;
        --data_remaining_;
        return true;
    }
    if (text_length_ == 0 && !overflow_ && (byte == '\n' || byte == '\r')) return true;
    if (byte == '#') {
        Execute();
        if (!hung_) line_->EndOfAnswer();
        text_length_ = 0;
        overflow_ = false;
        return !hung_;
    }
    if (text_length_ < sizeof text_) {
        text_[text_length_++] = byte;
    } else {
        overflow_ = true;
    }
    return true;
}

void RomMonitor::Send(const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) line_->SendByte(data[i]);
}

void RomMonitor::SendText(const char* text) {
    for (; *text; ++text) line_->SendByte(static_cast<uint8_t>(*text));
}

uint32_t RomMonitor::ReadWordRotated(uint32_t address) {
    uint32_t word = 0;
    if (!chip_->Read32(address & ~3u, &word)) {
        SimLog("rom monitor: word read at 0x%08" PRIX32 " is outside the map; answering 0", address);
        return 0;
    }
    const unsigned shift = (address & 3u) * 8;
    return shift ? (word >> shift) | (word << (32 - shift)) : word;
}

void RomMonitor::Execute() {
    if (overflow_) {
        SimLog("rom monitor: frame longer than %zu bytes ignored", sizeof text_);
        return;
    }
    const ParsedFrame f = ParseFrame(text_, text_length_);
    if (!f.valid) {
        SimLog("rom monitor: malformed frame \"%s#\" ignored", EscapeBytes(text_, text_length_).c_str());
        return;
    }
    char buf[32];
    switch (f.letter) {
        case 0:
            return;  // "#": nothing to do, nothing answered
        case 'N':
            binary_ = true;
            SendText("\n\r");
            return;
        case 'T':
            binary_ = false;
            SendText("\n\r>");
            return;
        case 'V':
            SendText("\n\r");
            Send(reinterpret_cast<const uint8_t*>(version_.data()), version_.size());
            SendText(binary_ ? "\n\r" : "\n\r>");
            return;
        case 'W':
            if (!chip_->Write32(f.address & ~3u, f.value))
                SimLog("rom monitor: word write to 0x%08" PRIX32 " refused", f.address);
            return;
        case 'H':
            if (!chip_->Write16(f.address & ~1u, static_cast<uint16_t>(f.value)))
                SimLog("rom monitor: half-word write to 0x%08" PRIX32 " refused", f.address);
            return;
        case 'O':
            if (!chip_->Write8(f.address, static_cast<uint8_t>(f.value)))
                SimLog("rom monitor: byte write to 0x%08" PRIX32 " refused", f.address);
            return;
        case 'w': {
            const uint32_t v = ReadWordRotated(f.address);
            if (binary_) {
                const uint8_t raw[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                        static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
                Send(raw, 4);
            } else {
                std::snprintf(buf, sizeof buf, "\n\r0x%08" PRIX32 "\n\r>", v);
                SendText(buf);
            }
            return;
        }
        case 'o': {
            uint8_t v = 0;
            if (!chip_->Read8(f.address, &v))
                SimLog("rom monitor: byte read at 0x%08" PRIX32 " is outside the map; answering 0", f.address);
            if (binary_) {
                Send(&v, 1);
            } else {
                std::snprintf(buf, sizeof buf, "\n\r0x%02X\n\r>", v);
                SendText(buf);
            }
            return;
        }
        case 'S':
            data_address_ = f.address;
            data_remaining_ = f.value;
            data_fault_logged_ = false;
            return;
        case 'R': {
            bool logged = false;
            for (uint32_t i = 0; i < f.value && !line_->Stopped(); ++i) {
                uint8_t v = 0;
                if (!chip_->Read8(f.address + i, &v) && !logged) {
                    SimLog("rom monitor: block read at 0x%08" PRIX32 " leaves the map; answering 0",
                           f.address + i);
                    logged = true;
                }
                line_->SendByte(v);
            }
            return;
        }
        case 'G':
            Go(f.address);
            return;
        default:
            return;
    }
}

void RomMonitor::Go(uint32_t address) {
    const uint64_t lost_before = chip_->Stats().lost_bytes;
    line_->BeginCall();
    const RunResult r = chip_->Run(address, kRomReturnAddress, line_->DebugUnitLine());
    line_->EndCall(r == RunResult::kReturned);
    switch (r) {
        case RunResult::kReturned: {
            // The ROM took the bytes that arrived meanwhile; whatever the
            // debug unit's model counted as overrun was not lost.
            const uint64_t lost = chip_->Stats().lost_bytes - lost_before;
            recovered_ += lost;
            return;
        }
        case RunResult::kFault:
            SimLog("rom monitor: code started at 0x%08" PRIX32 " faulted: %s; the chip hangs, the line stays silent",
                   address, chip_->LastFault().c_str());
            hung_ = true;
            return;
        case RunResult::kStopped:
            return;
    }
}

}  // namespace sim
