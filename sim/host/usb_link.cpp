#include "sim/host/usb_link.h"

#include <cstdint>

#include "sim/sim_log.h"

namespace sim {

namespace {

// Longest wall-clock wait for the program in one Idle call, in ms.
constexpr int kHostWaitMs = 2;
// Real time: chip time may run ahead of the wall clock by this much before
// the link sleeps (sleeps shorter than that overshoot more than they help).
constexpr uint64_t kPaceSlackCycles = kFrameCycles;

uint64_t CyclesToNs(uint64_t cycles) { return cycles * 1000u / (kMasterClockHz / 1000000u); }

}  // namespace

UsbLink::UsbLink(Chip* chip, CdcHost* host, HostWaiter* waiter, bool real_time)
    : chip_(chip), host_(host), waiter_(waiter), real_time_(real_time), start_ns_(NowNs()) {}

uint64_t UsbLink::WallCycles() const {
    return (NowNs() - start_ns_) * (kMasterClockHz / 1000000u) / 1000u;
}

void UsbLink::Pace(uint64_t now) {
    if (!real_time_) return;
    const uint64_t wall = WallCycles();
    if (now > wall + kPaceSlackCycles) {
        SleepNs(CyclesToNs(now - wall));
        return;
    }
    // The bus is about to run the frame ends up to now, and a finished IN
    // transfer reaches the program at its frame's end: not before the wall
    // clock gets there.
    const uint64_t frame_end = now / kFrameCycles * kFrameCycles;
    if (frame_end > wall) SleepNs(CyclesToNs(frame_end - wall));
}

uint64_t UsbLink::NextEventAt(uint64_t now) {
    if (chip_->Usb().Attached() != attached_) return now + 1;  // the host notices at once
    return host_->NextEventAt(now);
}

void UsbLink::AdvanceTo(uint64_t now) {
    const bool attached = chip_->Usb().Attached();
    if (attached && !attached_) {
        attached_ = true;
        host_->Attach(now);
    } else if (!attached && attached_) {
        // The pull-up or the transceiver went off: the device left the bus.
        attached_ = false;
        host_->Detach(now);
    }
    Pace(now);
    host_->AdvanceTo(now);
}

uint64_t UsbLink::Idle(uint64_t now) {
    const uint64_t next = NextEventAt(now);
    if (next == UINT64_MAX) {
        // Nothing happens on the bus until the program acts: wait for it and
        // let chip time follow the wall clock.
        const uint64_t t0 = NowNs();
        waiter_->WaitForHost(kHostWaitMs);
        now += (NowNs() - t0) * (kMasterClockHz / 1000000u) / 1000u;
        if (real_time_) {
            const uint64_t wall = WallCycles();
            if (wall > now) {
                // The simulator fell behind the chip it stands for (the
                // emulation or the process ran slower than the chip would).
                stats_.behind_cycles += wall - now;
                if (wall - now > stats_.max_behind_cycles) stats_.max_behind_cycles = wall - now;
                now = wall;
            }
        }
    } else if (next > now) {
        now = next;
    }
    AdvanceTo(now);
    return now;
}

bool UsbLink::Stopped() { return waiter_->StopRequested() || host_->Gone(); }

}  // namespace sim
