// The USB bus between the chip's device port and the PC's CDC driver, as the
// chip's clock sees it: the driver model (CdcHost) gets chip time from the
// chip, and when the chip has nothing to do the link moves chip time on to
// the bus's next event, or waits for the program on the PC in wall time.
//
// Two ways of keeping time:
// - default (tests): chip time runs as fast as the emulation allows; waiting
//   for the bus's next event costs no wall time; only waiting for the
//   program counts wall time into chip time. The order of packets, NAKs and
//   frames is the same as on the chip.
// - real time: chip time never runs ahead of wall time; the link sleeps
//   until the wall clock catches up, so a run takes as long as on a real
//   instrument (flash busy times and USB frames included).
#ifndef QUILLMERE_SIM_HOST_USB_LINK_H
#define QUILLMERE_SIM_HOST_USB_LINK_H

#include <cstdint>

#include "sim/chip/chip.h"
#include "sim/host/cdc_host.h"

namespace sim {

// The program's side as the link waits for it.
class HostWaiter {
 public:
    virtual ~HostWaiter() = default;
    // Blocks up to max_ms wall-clock milliseconds until the program did
    // something (true) or not (false).
    virtual bool WaitForHost(int max_ms) = 0;
    // True when the simulator must stop (signal, device gone, timeout).
    virtual bool StopRequested() = 0;
};

// Real time only: how far the wall clock ran ahead of chip time, that is
// how much longer the simulator took for its chip time than the chip would.
struct UsbLinkStats {
    uint64_t behind_cycles = 0;      // the catch-ups added up (chip time set forward to the wall clock)
    uint64_t max_behind_cycles = 0;  // the largest single one
};

class UsbLink : public BusClock {
 public:
    // Nothing is owned; chip's UsbPort must be host's port.
    UsbLink(Chip* chip, CdcHost* host, HostWaiter* waiter, bool real_time);

    uint64_t NextEventAt(uint64_t now) override;
    void AdvanceTo(uint64_t now) override;
    uint64_t Idle(uint64_t now) override;
    bool Stopped() override;

    const UsbLinkStats& Stats() const { return stats_; }

 private:
    // Real time: sleeps until the wall clock has reached the last frame end
    // at or before chip time `now` (a transfer finished in that frame reaches
    // the program then, never earlier), and further when chip time runs more
    // than a frame ahead.
    void Pace(uint64_t now);
    // Chip time that the wall clock has reached since the link started.
    uint64_t WallCycles() const;

    Chip* chip_;
    CdcHost* host_;
    HostWaiter* waiter_;
    bool real_time_;
    bool attached_ = false;
    uint64_t start_ns_ = 0;
    UsbLinkStats stats_;
};

}  // namespace sim

#endif
