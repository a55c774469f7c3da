// quillmere-sim: the simulated instrument on a pseudo-terminal. See
// sim/README.md for the options, the state file and what is modelled.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "sim/chip/chip.h"
#include "sim/host/cdc_host.h"
#include "sim/host/pty_line.h"
#include "sim/host/usb_link.h"
#include "sim/host/wire_log.h"
#include "sim/options.h"
#include "sim/rom/rom_monitor.h"
#include "sim/rom/rom_usb.h"
#include "sim/rom/usb_descriptors.h"
#include "sim/serial_link.h"
#include "sim/sim_log.h"
#include "sim/state_file.h"

namespace {

void OnStopSignal(int) { sim::g_stop_signal = 1; }

// Wall time the host may take to enumerate the instrument at start.
constexpr int kEnumerationWaitMs = 10000;

std::FILE* OpenOrNull(const std::string& path, const char* what) {
    if (path.empty()) return nullptr;
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) std::fprintf(stderr, "quillmere-sim: cannot open %s %s\n", what, path.c_str());
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    sim::SimOptions options;
    std::string error;
    if (!sim::ParseOptions(argc, argv, &options, &error)) {
        if (!error.empty()) std::fprintf(stderr, "quillmere-sim: %s\n", error.c_str());
        std::fputs(sim::UsageText(), error.empty() ? stdout : stderr);
        return error.empty() ? 0 : 2;
    }
    std::FILE* log_file = OpenOrNull(options.log, "log");
    std::FILE* wire_file = OpenOrNull(options.wire_log, "wire log");
    if ((!options.log.empty() && !log_file) || (!options.wire_log.empty() && !wire_file)) return 1;
    sim::SimLogOpen(log_file);

    sim::ChipOptions chip_options;
    chip_options.chip_id = options.chip_id;
    chip_options.flip_offset = options.flip_flash;
    chip_options.usb_endpoints = options.usb_endpoints;
    chip_options.log = [](const std::string& note) { sim::SimLog("chip: %s", note.c_str()); };
    sim::Chip chip(chip_options);
    if (!options.state_in.empty()) {
        sim::SimState state;
        if (!sim::ReadStateFile(options.state_in, &state, &error)) {
            std::fprintf(stderr, "quillmere-sim: %s\n", error.c_str());
            return 1;
        }
        chip.Flash() = state.flash;
        chip.SetLockBits(state.lock_bits);
        chip.SetGpnvmBits(state.gpnvm_bits);
    }

    // SIGINT and SIGTERM stay blocked except while the line waits, so a
    // signal is never lost between a check and a wait.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    sim::WireLog wire(wire_file);
    sim::PtyLine line(options, &wire);
    if (!line.Open(&error)) {
        std::fprintf(stderr, "quillmere-sim: %s\n", error.c_str());
        line.Shutdown();
        return 1;
    }
    const bool usb = options.link == sim::LinkKind::kUsb;
    sim::SimLog("monitor version \"%s\", chip id %08X, port COM%d at %s, link %s", options.version.c_str(),
                options.chip_id, options.port, line.SlavePath().c_str(), usb ? "usb" : "serial");
    sim::InstallRomDescriptors(&chip, options.rom_descriptors);

    // On the USB link the PC's driver sits between the pty and the chip's
    // port, and the ROM monitor serves the port as the boot ROM's firmware.
    std::unique_ptr<sim::CdcHost> host;
    std::unique_ptr<sim::UsbLink> link;
    std::unique_ptr<sim::UsbMonitorLine> usb_line;
    if (usb) {
        sim::CdcHostOptions host_options;
        host_options.driver = options.usb_windows ? sim::HostDriver::kWindows : sim::HostDriver::kLinux;
        host_options.reset_recovery_cycles = static_cast<uint64_t>(options.reset_recovery_ms) * sim::kFrameCycles;
        host_options.log = [](const std::string& note) { sim::SimLog("usb host: %s", note.c_str()); };
        host_options.note = [&line](const std::string& note) { line.UsbNote(note); };
        host.reset(new sim::CdcHost(host_options, &chip.Usb(), &line));
        link.reset(new sim::UsbLink(&chip, host.get(), &line, options.real_time));
        chip.SetBus(link.get());
        usb_line.reset(new sim::UsbMonitorLine(&chip, link.get(), options.rom_descriptors));
        usb_line->Boot();
        // The PC enumerates the instrument before its COM port exists.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEnumerationWaitMs);
        while (!host->Configured() && !link->Stopped() && std::chrono::steady_clock::now() < until) {
            usb_line->WaitByte(10);
        }
        if (!host->Configured()) {
            std::fprintf(stderr, "quillmere-sim: the simulated PC did not enumerate the instrument\n");
            line.Shutdown();
            return 1;
        }
        sim::SimLog("enumerated by the %s driver", options.usb_windows ? "Windows" : "Linux");
    }
    std::printf("ready COM%d %s\n", options.port, line.SlavePath().c_str());
    std::fflush(stdout);

    sim::SerialLinkLine serial_line(&line);
    sim::RomMonitor monitor(&chip, usb ? static_cast<sim::MonitorLine*>(usb_line.get()) : &serial_line,
                            options.version);
    monitor.Serve();
    line.Shutdown();

    int status = 0;
    if (!options.state_out.empty()) {
        sim::SimState state;
        state.flash = chip.Flash();
        state.lock_bits = chip.LockBits();
        state.gpnvm_bits = chip.GpnvmBits();
        if (!sim::WriteStateFile(options.state_out, state, &error)) {
            std::fprintf(stderr, "quillmere-sim: %s\n", error.c_str());
            status = 1;
        }
    }
    const sim::ChipStats& stats = chip.Stats();
    sim::SummaryFigures figures;
    figures.flash = &chip.Flash();
    figures.lock_bits = chip.LockBits();
    figures.gpnvm_bits = chip.GpnvmBits();
    figures.frames = line.FramesSeen();
    figures.recovered_bytes = monitor.RecoveredBytes();
    figures.lost_bytes = stats.lost_bytes - monitor.RecoveredBytes();
    figures.instructions = stats.instructions;
    figures.mmio_accesses = stats.mmio_accesses;
    figures.cycles = stats.cycles;
    figures.pmc_writes = stats.pmc_writes;
    figures.txvc_writes = stats.txvc_writes;
    figures.page_writes = stats.page_writes;
    figures.usb = usb;
    if (usb) {
        figures.port = chip.Usb().Stats();
        figures.host = host->Stats();
        figures.real_time = options.real_time;
        const uint64_t cycles_per_us = sim::kMasterClockHz / 1000000u;
        figures.behind_us = link->Stats().behind_cycles / cycles_per_us;
        figures.max_behind_us = link->Stats().max_behind_cycles / cycles_per_us;
    }
    const std::string summary = sim::FormatSummary(figures);
    if (figures.lost_bytes > 0) sim::SimLog("%llu host bytes lost to receive overrun",
                                            static_cast<unsigned long long>(figures.lost_bytes));
    std::FILE* summary_file = OpenOrNull(options.summary, "summary");
    std::fputs(summary.c_str(), summary_file ? summary_file : stderr);
    if (summary_file) std::fclose(summary_file);
    if (wire_file) std::fclose(wire_file);
    if (log_file) std::fclose(log_file);
    return status;
}
