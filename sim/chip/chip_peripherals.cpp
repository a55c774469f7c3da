// The chip's peripheral dispatch: the register accesses of running code and
// of the ROM monitor, sent to the debug unit, watchdog, power management
// controller, flash controllers and USB port, with the poll loops that let
// chip time jump; and the ROM monitor's bus accesses by region.
#include <cstdio>

#include "sim/chip/chip_core.h"

namespace sim {

uint32_t ChipCore::FlashRead(uint32_t offset, unsigned size) const {
    uint32_t v = 0;
    for (unsigned i = 0; i < size && offset + i < flash.size(); ++i) {
        v |= static_cast<uint32_t>(flash[offset + i]) << (8 * i);
    }
    return v;
}

uint64_t ChipCore::StatusPoll(uint64_t now) {
    if (dbgu.Status() & kSrRxrdy) {
        idle_polls = 0;
        return now;
    }
    idle_polls = (idle_polls > 0 && now - last_idle_poll <= kIdleGapCycles) ? idle_polls + 1 : 1;
    last_idle_poll = now;
    if (idle_polls < kIdlePolls) return now;
    // The code does nothing but poll the unit's status: nothing it can see
    // changes before the next byte, so chip time jumps there ...
    idle_polls = 0;
    if (!dbgu.LineEmpty()) {
        if (dbgu.NextByteAt() > now) now = stats.cycles = dbgu.NextByteAt();
        return now;
    }
    // ... or, on an empty line, the host waits for the line in wall time
    // instead of spinning a core.
    if (!efc0.Busy(now) && !efc1.Busy(now)) {
        idle_request = true;
        StopAtNextInstruction();
    } else {
        // A flash command still runs: its end comes first.
        uint64_t end = UINT64_MAX;
        if (efc0.Busy(now)) end = efc0.BusyUntil();
        if (efc1.Busy(now) && efc1.BusyUntil() < end) end = efc1.BusyUntil();
        now = stats.cycles = end;
    }
    return now;
}

bool ChipCore::PeriphRead(uint32_t address, uint32_t* value) {
    uint64_t now = stats.cycles;
    if (address >= kDbguBase && address < kDbguEnd) {
        uint32_t off = address - kDbguBase;
        if (off == kDbguStatus && running) {
            now = StatusPoll(now);
        } else {
            idle_polls = 0;
        }
        *value = dbgu.Read(off, now, line);
        return true;
    }
    idle_polls = 0;
    if (address >= kWdtBase && address < kWdtEnd) {
        *value = address == kWdtMode ? watchdog_mode : 0;
        return true;
    }
    if (address >= kPmcBase && address < kPmcEnd) {
        // Its registers are not modelled; they read as 0.
        *value = 0;
        return true;
    }
    if (address >= kEfcBase && address < kEfcEnd) {
        int i = address >= kEfcBase + 0x10 ? 1 : 0;
        FlashController& efc = i ? efc1 : efc0;
        switch (address & 0xF) {
            case 0x0: *value = efc.ReadMode(); break;
            case 0x8:
                *value = efc.ReadStatus(now);
                if (!(*value & kFsrFrdy) && running) {
                    // The code waits for the command: skip the wait loop.
                    if (++busy_polls[i] >= kBusyPolls) {
                        busy_polls[i] = 0;
                        stats.cycles = efc.BusyUntil();
                        StopAtNextInstruction();
                    }
                } else {
                    busy_polls[i] = 0;
                }
                break;
            default: *value = 0; break;
        }
        return true;
    }
    return false;
}

bool ChipCore::PeriphWrite(uint32_t address, uint32_t value) {
    uint64_t now = stats.cycles;
    idle_polls = 0;  // the code does more than wait for a byte
    if (address >= kDbguBase && address < kDbguEnd) {
        dbgu.Write(address - kDbguBase, value, now, line);
        return true;
    }
    if (address >= kPmcBase && address < kPmcEnd) {
        // The clocks stay as the boot monitor set them; a write is counted
        // and logged, not applied.
        ++stats.pmc_writes;
        if (options.log) {
            char note[96];
            std::snprintf(note, sizeof note, "write of 0x%08X to the power management controller at 0x%08X ignored",
                          value, address);
            options.log(note);
        }
        return true;
    }
    if (address >= kWdtBase && address < kWdtEnd) {
        if (address == kWdtMode) {
            // Write-once after reset: later writes are recorded, not applied.
            if (watchdog_writes.empty()) watchdog_mode = value;
            watchdog_writes.push_back(value);
        }
        return true;
    }
    if (address >= kEfcBase && address < kEfcEnd) {
        FlashController& efc = address >= kEfcBase + 0x10 ? efc1 : efc0;
        switch (address & 0xF) {
            case 0x0: efc.WriteMode(value); break;
            case 0x4:
                efc.WriteCommand(value, now);
                stats.page_writes = efc0.PageWrites() + efc1.PageWrites();
                break;
            default: break;
        }
        uint64_t errors = efc0.FmcnErrors() + efc1.FmcnErrors();
        if (errors != fmcn_errors_logged) {
            fmcn_errors_logged = errors;
            stats.fmcn_errors = errors;
            if (options.log) options.log(efc.LastFmcnError());
        }
        return true;
    }
    return false;
}

bool ChipCore::UsbRead(uint32_t offset, uint32_t* value) {
    const uint64_t now = stats.cycles;
    const bool fifo = offset >= kUsbFdr0 && offset < kUsbFdr0 + 4 * kUsbMaxEndpoints;
    if (!usb.Read(offset, now, value)) return false;
    idle_polls = 0;
    if (running && bus != nullptr && usb.TakeBusChange()) {
        // A CSR write took effect with this read: let the bus look at once.
        usb_idle_polls = 0;
        StopAtNextInstruction();
        return true;
    }
    if (!running || bus == nullptr || fifo || usb.WritePending()) {
        usb_idle_polls = 0;
        return true;
    }
    // A register that shows something new is news to the code, not a poll.
    bool changed = false;
    if (offset < sizeof usb_seen) {
        changed = usb_seen[offset / 4] != *value;
        usb_seen[offset / 4] = *value;
    }
    usb_idle_polls = (usb_idle_polls > 0 && !changed && now - last_usb_poll <= kIdleGapCycles) ? usb_idle_polls + 1 : 1;
    last_usb_poll = now;
    if (usb_idle_polls >= kUsbIdlePolls) {
        // The code does nothing but look at the port: nothing it can see
        // changes before the bus's next event.
        usb_idle_polls = 0;
        usb_idle_request = true;
        StopAtNextInstruction();
    }
    return true;
}

bool ChipCore::UsbWrite(uint32_t offset, uint32_t value) {
    idle_polls = 0;
    usb_idle_polls = 0;
    usb_idle_request = false;  // the code acts: it was not only waiting
    if (offset == kUsbTxvc) ++stats.txvc_writes;
    if (!usb.Write(offset, value, stats.cycles)) return false;
    // The host may see something new (a packet released, a bank handed
    // back): let the bus look before the slice ends.
    if (running && bus != nullptr && usb.TakeBusChange()) StopAtNextInstruction();
    return true;
}

// --- Bus accesses of the ROM monitor -----------------------------------------

namespace {

enum class Region { kNone, kSram, kFlash, kRom, kUsb, kPeriph };

Region Classify(uint32_t address, uint32_t size) {
    uint64_t end = static_cast<uint64_t>(address) + size;
    if (address >= kSramBase && end <= kSramBase + kSramSize) return Region::kSram;
    if (address >= kFlashBase && end <= kFlashBase + static_cast<uint64_t>(kFlashSize)) return Region::kFlash;
    if (address >= kRomBase && end <= kRomBase + kRomSize) return Region::kRom;
    if (address >= kUsbBase && end <= static_cast<uint64_t>(kUsbBase) + kUsbSize) return Region::kUsb;
    if (address >= kPeriphBase) return Region::kPeriph;
    return Region::kNone;
}

}  // namespace

static bool BusRead(ChipCore& m, uint32_t address, uint32_t size, uint32_t* value) {
    m.CheckFlashSize();
    uint32_t v = 0;
    switch (Classify(address, size)) {
        case Region::kSram:
            for (uint32_t i = 0; i < size; ++i) v |= static_cast<uint32_t>(m.sram[address - kSramBase + i]) << (8 * i);
            break;
        case Region::kFlash:
            v = m.FlashRead(address - kFlashBase, size);
            break;
        case Region::kRom:
            for (uint32_t i = 0; i < size; ++i) v |= static_cast<uint32_t>(m.rom[address - kRomBase + i]) << (8 * i);
            break;
        case Region::kUsb: {
            uint32_t reg = 0;
            if (!m.UsbRead((address - kUsbBase) & ~3u, &reg)) return false;
            v = reg >> (8 * (address & 3));
            if (size < 4) v &= (1u << (8 * size)) - 1;
            break;
        }
        case Region::kPeriph: {
            uint32_t reg = 0;
            if (!m.PeriphRead(address & ~3u, &reg)) return false;
            v = reg >> (8 * (address & 3));
            if (size < 4) v &= (1u << (8 * size)) - 1;
            break;
        }
        case Region::kNone:
            return false;
    }
    *value = v;
    return true;
}

static bool BusWrite(ChipCore& m, uint32_t address, uint32_t size, uint32_t value) {
    switch (Classify(address, size)) {
        case Region::kSram:
            for (uint32_t i = 0; i < size; ++i) m.sram[address - kSramBase + i] = static_cast<uint8_t>(value >> (8 * i));
            m.sram_dirty = true;
            return true;
        case Region::kFlash:
        case Region::kRom:
            return true;  // read-only to the monitor: ignored
        case Region::kUsb:
            return m.UsbWrite((address - kUsbBase) & ~3u, value << (8 * (address & 3)));
        case Region::kPeriph:
            return m.PeriphWrite(address & ~3u, value << (8 * (address & 3)));
        case Region::kNone:
            return false;
    }
    return false;
}

bool Chip::Read8(uint32_t address, uint8_t* value) {
    uint32_t v;
    if (!BusRead(*impl_, address, 1, &v)) return false;
    *value = static_cast<uint8_t>(v);
    return true;
}

bool Chip::Read16(uint32_t address, uint16_t* value) {
    uint32_t v;
    if (!BusRead(*impl_, address, 2, &v)) return false;
    *value = static_cast<uint16_t>(v);
    return true;
}

bool Chip::Read32(uint32_t address, uint32_t* value) { return BusRead(*impl_, address, 4, value); }
bool Chip::Write8(uint32_t address, uint8_t value) { return BusWrite(*impl_, address, 1, value); }
bool Chip::Write16(uint32_t address, uint16_t value) { return BusWrite(*impl_, address, 2, value); }
bool Chip::Write32(uint32_t address, uint32_t value) { return BusWrite(*impl_, address, 4, value); }

}  // namespace sim
