// The chip's core: the emulated CPU with its instruction timing, the run
// loop that hands chip time to the bus, faults, and the Chip interface. The
// peripheral registers are dispatched in chip_peripherals.cpp.
#include "sim/chip/chip.h"

#include <unicorn/unicorn.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "sim/chip/chip_core.h"

// The CPU emulator keeps a small per-page bitmap when code writes into a page
// it has translated (the applets' mailbox and buffer share pages with their
// code, and the SRAM monitor loads each applet over the last) and does not
// free it on close. Leak checking in sanitizer builds of every program and
// test that links the chip leaves that library's own allocations aside.
extern "C" const char* __lsan_default_suppressions() { return "leak:libunicorn\n"; }

namespace sim {

namespace {

class NullLine : public SerialLine {
 public:
    bool PollByte(uint8_t*) override { return false; }
    bool WaitByte(int) override { return false; }
    void SendByte(uint8_t) override {}
    bool Stopped() override { return false; }
};

uint64_t UsToCycles(uint32_t us) { return static_cast<uint64_t>(us) * (kMasterClockHz / 1000000); }

// Wait states of a data access, in master clock cycles, by what it reaches:
// SRAM none; flash one (FWS = 1, the setting for 48 MHz); the boot ROM one
// (taken as slow as the flash); peripheral registers one.
constexpr uint64_t kFlashWaitCycles = 1;
constexpr uint64_t kRomWaitCycles = 1;
constexpr uint64_t kPeriphWaitCycles = 1;

// Does the condition field of an ARM instruction pass with these CPSR flags?
bool ConditionPasses(uint32_t cond, uint32_t cpsr) {
    const bool n = cpsr & (1u << 31), z = cpsr & (1u << 30), c = cpsr & (1u << 29), v = cpsr & (1u << 28);
    switch (cond) {
        case 0x0: return z;
        case 0x1: return !z;
        case 0x2: return c;
        case 0x3: return !c;
        case 0x4: return n;
        case 0x5: return !n;
        case 0x6: return v;
        case 0x7: return !v;
        case 0x8: return c && !z;
        case 0x9: return !c || z;
        case 0xA: return n == v;
        case 0xB: return n != v;
        case 0xC: return !z && n == v;
        case 0xD: return z || n != v;
        default: return true;
    }
}

int PopCount16(uint32_t v) {
    int n = 0;
    for (v &= 0xFFFF; v; v &= v - 1) ++n;
    return n;
}

// Master clock cycles of an executed ARM7TDMI instruction in ARM state, from
// the core's S, N and I cycles (one clock each), without wait states: data
// processing 1 (+1 for a shift by a register, +2 writing pc); multiplies 3,
// with accumulate 4, long ones 4 and 5 (the multiplier's early end taken at
// two internal cycles); loads 3 (+2 into pc), stores 2; load multiple n+2
// (+2 with pc), store multiple n+1; swap 4; branches, bx and swi 3; status
// register moves 1. An instruction whose condition fails takes 1.
uint64_t ArmCycles(uint32_t insn) {
    const uint32_t rd = (insn >> 12) & 0xF;
    const bool load = (insn >> 20) & 1;
    switch ((insn >> 25) & 7) {
        case 0: {
            if ((insn & 0x0FFFFFF0u) == 0x012FFF10u) return 3;          // bx
            if ((insn & 0x0FC000F0u) == 0x00000090u) return (insn & (1u << 21)) ? 4 : 3;  // mul, mla
            if ((insn & 0x0F8000F0u) == 0x00800090u) return (insn & (1u << 21)) ? 5 : 4;  // long multiplies
            if ((insn & 0x0FB00FF0u) == 0x01000090u) return 4;          // swp, swpb
            if ((insn & 0x0E000090u) == 0x00000090u) return load ? (rd == 15 ? 5 : 3) : 2;  // half-word, signed
            if ((insn & 0x0F900000u) == 0x01000000u) return 1;          // mrs, msr (register)
            uint64_t c = (insn & 0x10u) ? 2 : 1;                         // shift by a register
            const uint32_t op = (insn >> 21) & 0xF;
            if (rd == 15 && (op < 8 || op > 11)) c += 2;
            return c;
        }
        case 1: {
            const uint32_t op = (insn >> 21) & 0xF;
            return rd == 15 && (op < 8 || op > 11) ? 3 : 1;
        }
        case 2:
        case 3:
            return load ? (rd == 15 ? 5 : 3) : 2;
        case 4: {
            const uint64_t n = static_cast<uint64_t>(PopCount16(insn));
            if (!load) return n + 1;
            return n + ((insn & (1u << 15)) ? 4 : 2);
        }
        case 5:
            return 3;  // b, bl
        default:
            return (insn & 0x0F000000u) == 0x0F000000u ? 3 : 1;  // swi; coprocessor instructions do not occur
    }
}

}  // namespace

ChipCore::ChipCore(const ChipOptions& o)
    : options(o),
      flash(kFlashSize, 0xFF),
      sram(kSramSize, 0),
      rom(kRomSize, 0),
      efc0(0, &flash, FlashTimes{UsToCycles(o.page_write_us), UsToCycles(o.erase_plane_us),
                                 UsToCycles(o.lock_gpnvm_us)}, o.flip_offset),
      efc1(1, &flash, FlashTimes{UsToCycles(o.page_write_us), UsToCycles(o.erase_plane_us),
                                 UsToCycles(o.lock_gpnvm_us)}, o.flip_offset),
      dbgu(sram.data(), kSramBase, kSramSize, o.chip_id),
      usb(UsbPortOptions{o.usb_endpoints, [this](const std::string& note) {
              if (options.log) options.log("usb port: " + note);
          }}) {
    for (size_t i = 0; i + 4 <= rom.size(); i += 4) std::memcpy(&rom[i], &kUndefined, 4);
}

ChipCore::~ChipCore() {
    if (uc) uc_close(uc);
}

void ChipCore::CheckFlashSize() {
    if (flash.size() != kFlashSize) flash.resize(kFlashSize, 0xFF);
}

uint32_t ChipCore::Pc() {
    uint32_t pc = 0;
    if (uc) uc_reg_read(uc, UC_ARM_REG_PC, &pc);
    return pc;
}

void ChipCore::SetFault(uint32_t address, const char* what, bool data) {
    if (faulted) return;
    faulted = true;
    data_fault = data;
    fault_address = address;
    fault_what = what;
    if (uc && running) uc_emu_stop(uc);
}

uint32_t ChipCore::CodeWord(uint32_t address) const {
    uint32_t v = 0;
    if (address >= kSramBase && address + 4 <= kSramBase + kSramSize) {
        std::memcpy(&v, &sram[address - kSramBase], 4);
    } else if (address >= kRomBase && address + 4 <= kRomBase + kRomSize) {
        std::memcpy(&v, &rom[address - kRomBase], 4);
    }
    return v;
}

uint32_t ChipCore::Reg(int r, uint32_t insn_address) {
    if (r == 15) return insn_address + 8;
    static const int kRegs[15] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,  UC_ARM_REG_R4,
                                  UC_ARM_REG_R5, UC_ARM_REG_R6, UC_ARM_REG_R7,  UC_ARM_REG_R8,  UC_ARM_REG_R9,
                                  UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR};
    uint32_t v = 0;
    uc_reg_read(uc, kRegs[r], &v);
    return v;
}

// The emulator reports the start of the running block as pc after a bad
// data access. Within that block the faulting instruction is the only load
// or store, or the one whose address (from the registers as they are now)
// is the faulting address; failing both, the block start is reported.
uint32_t ChipCore::FaultPc() {
    uint32_t pc = Pc();
    if (!data_fault || pc != block_start || block_size <= 4) return pc;
    uint32_t only = 0;
    int memory_insns = 0;
    for (uint32_t a = block_start; a < block_start + block_size; a += 4) {
        uint32_t insn = CodeWord(a);
        uint32_t rn = Reg((insn >> 16) & 0xF, a);
        bool pre = insn & (1u << 24), up = insn & (1u << 23);
        bool has_ea = false;
        uint32_t offset = 0;
        if ((insn & 0x0C000000u) == 0x04000000u) {  // word/byte load or store
            ++memory_insns;
            only = a;
            if (!(insn & (1u << 25))) {
                offset = insn & 0xFFF;
                has_ea = true;
            } else if ((insn & 0xFF0u) == 0) {  // register offset, no shift
                offset = Reg(insn & 0xF, a);
                has_ea = true;
            }
        } else if ((insn & 0x0E000090u) == 0x00000090u && (insn & 0x60u) != 0) {  // half-word, signed
            ++memory_insns;
            only = a;
            offset = (insn & (1u << 22)) ? (((insn >> 4) & 0xF0u) | (insn & 0xFu)) : Reg(insn & 0xF, a);
            has_ea = true;
        } else if ((insn & 0x0E000000u) == 0x08000000u) {  // load/store multiple
            ++memory_insns;
            only = a;
        }
        if (has_ea) {
            uint32_t ea = pre ? (up ? rn + offset : rn - offset) : rn;
            if (ea == fault_address) return a;
        }
    }
    return memory_insns == 1 ? only : pc;
}

void ChipCore::ComposeFault() {
    char text[160];
    std::snprintf(text, sizeof text, "pc=0x%08X address=0x%08X %s", FaultPc(), fault_address, fault_what.c_str());
    fault = text;
}

// --- Unicorn callbacks ------------------------------------------------------

namespace {

void OnBlock(uc_engine*, uint64_t address, uint32_t size, void* user) {
    auto* impl = static_cast<ChipCore*>(user);
    impl->block_start = static_cast<uint32_t>(address);
    impl->block_size = size;
}

// Each instruction adds its own cycles before it runs, so that a peripheral
// access sees the chip time of its own instruction, not that of its block.
// A slice ends before the first instruction at or past its end: stopped in
// this hook, the instruction does not run, and the next slice resumes
// exactly at it (pc is exact here, unlike inside a memory access).
void OnCode(uc_engine* uc, uint64_t address, uint32_t size, void* user) {
    auto* impl = static_cast<ChipCore*>(user);
    if (impl->stats.cycles >= impl->slice_end) {
        uc_emu_stop(uc);
        return;
    }
    ++impl->stats.instructions;
    if (size != 4) {
        impl->stats.cycles += 1;  // Thumb: not used by the images; one cycle
        return;
    }
    const uint32_t insn = impl->CodeWord(static_cast<uint32_t>(address));
    const uint32_t cond = insn >> 28;
    if (cond < 0xE) {
        uint32_t cpsr = 0;
        uc_reg_read(uc, UC_ARM_REG_CPSR, &cpsr);
        if (!ConditionPasses(cond, cpsr)) {
            impl->stats.cycles += 1;
            return;
        }
    }
    impl->stats.cycles += ArmCycles(insn);
}

void OnMemAccess(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* user) {
    auto* impl = static_cast<ChipCore*>(user);
    if (size > 1 && (address & static_cast<uint64_t>(size - 1)) != 0) {
        impl->SetFault(static_cast<uint32_t>(address), type == UC_MEM_WRITE ? "unaligned write" : "unaligned read");
    }
    // Wait states, before the access sees the chip time.
    if (address >= kFlashBase && address < kFlashBase + kFlashSize) {
        impl->stats.cycles += kFlashWaitCycles;
    } else if (address >= kRomBase && address < kRomBase + kRomSize) {
        impl->stats.cycles += kRomWaitCycles;
    } else if (address >= kUsbBase) {
        impl->stats.cycles += kPeriphWaitCycles;
    }
}

bool OnBadAccess(uc_engine*, uc_mem_type type, uint64_t address, int, int64_t, void* user) {
    auto* impl = static_cast<ChipCore*>(user);
    const char* what = "bad access";
    switch (type) {
        case UC_MEM_READ_UNMAPPED: what = "read of an unmapped address"; break;
        case UC_MEM_WRITE_UNMAPPED: what = "write to an unmapped address"; break;
        case UC_MEM_FETCH_UNMAPPED: what = "instruction fetch from an unmapped address"; break;
        case UC_MEM_WRITE_PROT: what = "write to read-only memory"; break;
        case UC_MEM_READ_PROT: what = "read of protected memory"; break;
        case UC_MEM_FETCH_PROT: what = "instruction fetch from non-executable memory"; break;
        default: break;
    }
    impl->SetFault(static_cast<uint32_t>(address), what,
                   type != UC_MEM_FETCH_UNMAPPED && type != UC_MEM_FETCH_PROT);
    return false;
}

void OnInterrupt(uc_engine*, uint32_t intno, void* user) {
    auto* impl = static_cast<ChipCore*>(user);
    char what[64];
    const char* name = "exception";
    switch (intno) {
        case 1: name = "undefined instruction"; break;
        case 2: name = "software interrupt"; break;
        case 3: name = "prefetch abort"; break;
        case 4: name = "data abort"; break;
        case 7: name = "breakpoint"; break;
        default: break;
    }
    std::snprintf(what, sizeof what, "%s (exception %u)", name, intno);
    impl->SetFault(impl->Pc(), what, false);
}

bool OnInvalidInsn(uc_engine*, void* user) {
    auto* impl = static_cast<ChipCore*>(user);
    impl->SetFault(impl->Pc(), "invalid instruction", false);
    return false;
}

uint64_t OnFlashRead(uc_engine*, uint64_t offset, unsigned size, void* user) {
    auto* impl = static_cast<ChipCore*>(user);
    impl->idle_polls = 0;
    ++impl->stats.mmio_accesses;
    if (size > 1 && (offset & (size - 1)) != 0) {
        impl->SetFault(kFlashBase + static_cast<uint32_t>(offset), "unaligned read");
        return 0;
    }
    return impl->FlashRead(static_cast<uint32_t>(offset), size);
}

void OnFlashWrite(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user) {
    auto* impl = static_cast<ChipCore*>(user);
    impl->idle_polls = 0;
    ++impl->stats.mmio_accesses;
    if (size > 1 && (offset & (size - 1)) != 0) {
        impl->SetFault(kFlashBase + static_cast<uint32_t>(offset), "unaligned write");
        return;
    }
    uint32_t off = static_cast<uint32_t>(offset);
    FlashController& efc = off >= kFlashPlaneSize ? impl->efc1 : impl->efc0;
    efc.WriteLatch(off % kFlashPlaneSize, static_cast<uint32_t>(value), static_cast<int>(size));
}

uint64_t OnPeriphRead(uc_engine*, uint64_t offset, unsigned size, void* user) {
    auto* impl = static_cast<ChipCore*>(user);
    ++impl->stats.mmio_accesses;
    uint32_t address = kPeriphBase + static_cast<uint32_t>(offset);
    if (size > 1 && (offset & (size - 1)) != 0) {
        impl->SetFault(address, "unaligned read");
        return 0;
    }
    uint32_t value = 0;
    if (!impl->PeriphRead(address & ~3u, &value)) {
        impl->SetFault(address, "read of an unmapped peripheral address");
        return 0;
    }
    return (value >> (8 * (address & 3))) & (size >= 4 ? 0xFFFFFFFFu : ((1u << (8 * size)) - 1));
}

void OnPeriphWrite(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user) {
    auto* impl = static_cast<ChipCore*>(user);
    ++impl->stats.mmio_accesses;
    uint32_t address = kPeriphBase + static_cast<uint32_t>(offset);
    if (size > 1 && (offset & (size - 1)) != 0) {
        impl->SetFault(address, "unaligned write");
        return;
    }
    // Registers are 32 bits wide; a narrower write lands in the low bits.
    uint32_t v = static_cast<uint32_t>(value) << (8 * (address & 3));
    if (!impl->PeriphWrite(address & ~3u, v)) {
        impl->SetFault(address, "write to an unmapped peripheral address");
    }
}

uint64_t OnUsbRead(uc_engine*, uint64_t offset, unsigned size, void* user) {
    auto* impl = static_cast<ChipCore*>(user);
    ++impl->stats.mmio_accesses;
    const uint32_t address = kUsbBase + static_cast<uint32_t>(offset);
    if (size > 1 && (offset & (size - 1)) != 0) {
        impl->SetFault(address, "unaligned read");
        return 0;
    }
    uint32_t value = 0;
    if (!impl->UsbRead(static_cast<uint32_t>(offset) & ~3u, &value)) {
        impl->SetFault(address, "read of an address that is not a USB port register");
        return 0;
    }
    return (value >> (8 * (address & 3))) & (size >= 4 ? 0xFFFFFFFFu : ((1u << (8 * size)) - 1));
}

void OnUsbWrite(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user) {
    auto* impl = static_cast<ChipCore*>(user);
    ++impl->stats.mmio_accesses;
    const uint32_t address = kUsbBase + static_cast<uint32_t>(offset);
    if (size > 1 && (offset & (size - 1)) != 0) {
        impl->SetFault(address, "unaligned write");
        return;
    }
    const uint32_t v = static_cast<uint32_t>(value) << (8 * (address & 3));
    if (!impl->UsbWrite(static_cast<uint32_t>(offset) & ~3u, v)) {
        impl->SetFault(address, "write to an address that is not a USB port register");
    }
}

}  // namespace

// --- Chip -------------------------------------------------------------------

Chip::Chip(const ChipOptions& options) : impl_(new Impl(options)) {
    Impl& m = *impl_;
    uc_err err = uc_open(UC_ARCH_ARM, UC_MODE_ARM, &m.uc);
    if (err != UC_ERR_OK) {
        m.init_error = std::string("cannot start the CPU emulator: ") + uc_strerror(err);
        m.uc = nullptr;
        return;
    }
    uc_ctl_set_cpu_model(m.uc, UC_CPU_ARM_926);
    void* user = &m;
    uc_hook h;
    bool ok = uc_mem_map_ptr(m.uc, kSramBase, kSramSize, UC_PROT_ALL, m.sram.data()) == UC_ERR_OK &&
              uc_mem_map_ptr(m.uc, kRomBase, kRomSize, UC_PROT_READ | UC_PROT_EXEC, m.rom.data()) ==
                  UC_ERR_OK &&
              uc_mmio_map(m.uc, kFlashBase, kFlashSize, OnFlashRead, user, OnFlashWrite, user) == UC_ERR_OK &&
              uc_mmio_map(m.uc, kPeriphBase, kPeriphSize, OnPeriphRead, user, OnPeriphWrite, user) ==
                  UC_ERR_OK &&
              uc_mmio_map(m.uc, kUsbBase, kUsbSize, OnUsbRead, user, OnUsbWrite, user) == UC_ERR_OK &&
              uc_hook_add(m.uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(OnBlock), user, 1, 0) ==
                  UC_ERR_OK &&
              uc_hook_add(m.uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(OnCode), user, 1, 0) == UC_ERR_OK &&
              uc_hook_add(m.uc, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                          reinterpret_cast<void*>(OnMemAccess), user, 1, 0) ==
                  UC_ERR_OK &&
              uc_hook_add(m.uc, &h, UC_HOOK_MEM_UNMAPPED | UC_HOOK_MEM_PROT,
                          reinterpret_cast<void*>(OnBadAccess), user, 1, 0) == UC_ERR_OK &&
              uc_hook_add(m.uc, &h, UC_HOOK_INTR, reinterpret_cast<void*>(OnInterrupt), user, 1, 0) ==
                  UC_ERR_OK &&
              uc_hook_add(m.uc, &h, UC_HOOK_INSN_INVALID, reinterpret_cast<void*>(OnInvalidInsn), user, 1,
                          0) == UC_ERR_OK;
    if (!ok) {
        m.init_error = "cannot set up the emulated memory map";
        uc_close(m.uc);
        m.uc = nullptr;
        return;
    }
    uint32_t sp = kDefaultSp;
    uc_reg_write(m.uc, UC_ARM_REG_SP, &sp);
}

Chip::~Chip() = default;

RunResult Chip::Run(uint32_t address, uint32_t return_address, SerialLine* line) {
    Impl& m = *impl_;
    NullLine null_line;
    m.line = line ? line : &null_line;
    m.faulted = false;
    m.fault.clear();
    if (!m.uc) {
        m.fault = m.init_error;
        return RunResult::kFault;
    }
    m.CheckFlashSize();
    if (m.sram_dirty) {
        // Code loaded by the host since the last run replaces what the
        // emulator may have translated at the same addresses.
        uc_ctl_remove_cache(m.uc, static_cast<uint64_t>(kSramBase), static_cast<uint64_t>(kSramBase + kSramSize));
        m.sram_dirty = false;
    }
    uint32_t lr = return_address;
    uint32_t cpsr = 0;
    uc_reg_write(m.uc, UC_ARM_REG_LR, &lr);
    uc_reg_read(m.uc, UC_ARM_REG_CPSR, &cpsr);
    cpsr &= ~(1u << 5);  // ARM state
    uc_reg_write(m.uc, UC_ARM_REG_CPSR, &cpsr);
    uint32_t pc = address & ~1u;
    uint32_t until = return_address & ~1u;
    m.dbgu.StartReceiving(m.stats.cycles);
    m.idle_polls = 0;
    m.usb_idle_polls = 0;
    m.busy_polls[0] = m.busy_polls[1] = 0;
    int slices = 0;
    RunResult result = RunResult::kStopped;
    m.running = true;
    for (;;) {
        if (++slices >= kSlicesPerStopCheck) {
            slices = 0;
            if (m.line->Stopped() || (m.bus && m.bus->Stopped())) break;
        }
        uint64_t now = m.stats.cycles;
        uint64_t next = m.dbgu.NextByteAt();
        m.slice_end = now + kSliceCycles;
        if (next > now && next < m.slice_end) m.slice_end = next;
        if (m.bus) {
            // The bus's events up to now are done; the slice ends at its next.
            m.bus->AdvanceTo(now);
            const uint64_t bus_next = m.bus->NextEventAt(now);
            if (bus_next > now && bus_next < m.slice_end) m.slice_end = bus_next;
        }
        m.idle_request = false;
        m.usb_idle_request = false;
        uc_err err = uc_emu_start(m.uc, pc, until, 0, 0);
        pc = m.Pc();
        if (m.faulted) {
            m.ComposeFault();
            result = RunResult::kFault;
            break;
        }
        if (err != UC_ERR_OK) {
            m.SetFault(pc, uc_strerror(err), false);
            m.ComposeFault();
            result = RunResult::kFault;
            break;
        }
        if (pc == until) {
            result = RunResult::kReturned;
            break;
        }
        uc_reg_read(m.uc, UC_ARM_REG_CPSR, &cpsr);
        if (cpsr & (1u << 5)) pc |= 1;  // resume in Thumb state
        if (m.idle_request) {
            // The code polls an empty line: wait for the host in wall time
            // and let chip time follow it.
            m.idle_polls = 0;
            slices = 0;
            if (m.line->Stopped()) break;
            auto t0 = std::chrono::steady_clock::now();
            bool got = m.line->WaitByte(kIdleWaitMs);
            auto waited = std::chrono::steady_clock::now() - t0;
            m.stats.cycles += static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(waited).count()) * (kMasterClockHz / 1000000);
            // A byte that came meanwhile completes one byte time after the
            // last look at the empty line at the earliest.
            if (got && m.stats.cycles < m.dbgu.NextByteAt()) m.stats.cycles = m.dbgu.NextByteAt();
        }
        if (m.usb_idle_request && m.bus) {
            // The code only looks at the USB port: the bus moves chip time
            // to its next event (or waits for the host in wall time).
            slices = 0;
            if (m.bus->Stopped()) break;
            const uint64_t to = m.bus->Idle(m.stats.cycles);
            if (to > m.stats.cycles) m.stats.cycles = to;
        }
        m.dbgu.Feed(m.stats.cycles, m.line);
        uint32_t dma_address;
        if (m.dbgu.DmaFault(&dma_address)) {
            m.dbgu.ClearDmaFault();
            m.SetFault(dma_address, "receive DMA to an address outside SRAM", false);
            m.ComposeFault();
            result = RunResult::kFault;
            break;
        }
        uint32_t begin, end;
        if (m.dbgu.TakeDirty(&begin, &end)) {
            uc_ctl_remove_cache(m.uc, static_cast<uint64_t>(kSramBase + begin), static_cast<uint64_t>(kSramBase + end));
        }
    }
    m.running = false;
    m.stats.lost_bytes = m.dbgu.LostBytes();
    m.line = nullptr;
    return result;
}

void Chip::SetBus(BusClock* bus) { impl_->bus = bus; }
UsbPort& Chip::Usb() { return impl_->usb; }
uint64_t Chip::Now() const { return impl_->stats.cycles; }

void Chip::SetNow(uint64_t cycles) {
    if (cycles > impl_->stats.cycles) impl_->stats.cycles = cycles;
}

void Chip::WriteRom(uint32_t offset, const uint8_t* data, size_t n) {
    Impl& m = *impl_;
    if (offset >= m.rom.size()) return;
    if (n > m.rom.size() - offset) n = m.rom.size() - offset;
    std::memcpy(&m.rom[offset], data, n);
    if (m.uc) uc_ctl_remove_cache(m.uc, static_cast<uint64_t>(kRomBase + offset), static_cast<uint64_t>(kRomBase + offset + n));
}

const std::string& Chip::LastFault() const { return impl_->fault; }

std::vector<uint8_t>& Chip::Flash() { return impl_->flash; }

uint32_t Chip::LockBits() const {
    return static_cast<uint32_t>(impl_->efc0.LockBits()) | (static_cast<uint32_t>(impl_->efc1.LockBits()) << 16);
}

void Chip::SetLockBits(uint32_t bits) {
    impl_->efc0.SetLockBits(static_cast<uint16_t>(bits));
    impl_->efc1.SetLockBits(static_cast<uint16_t>(bits >> 16));
}

uint32_t Chip::GpnvmBits() const { return impl_->efc0.GpnvmBits(); }
void Chip::SetGpnvmBits(uint32_t bits) { impl_->efc0.SetGpnvmBits(bits); }

const ChipStats& Chip::Stats() const {
    impl_->stats.lost_bytes = impl_->dbgu.LostBytes();
    return impl_->stats;
}

const std::vector<uint32_t>& Chip::WatchdogModeWrites() const { return impl_->watchdog_writes; }

}  // namespace sim
