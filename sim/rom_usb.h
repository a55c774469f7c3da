// The ROM boot monitor's USB device side, served natively as the chip's
// firmware would serve it: through the port's registers (Chip bus accesses
// at 0xFFFB0000), keeping the CSR discipline of the chip sheet, in chip time
// (it waits through the BusClock).
//
// - Boot: switches the port onto the bus (transceiver and pull-up on, as the
//   boot ROM does) and, after the host's bus reset, enables endpoint 0 at
//   address 0.
// - Endpoint 0, whenever the monitor looks for host bytes or waits for a
//   bank: GET_DESCRIPTOR (device, configuration; other types STALL),
//   SET_ADDRESS (FADDR after the status stage), SET_CONFIGURATION (endpoints
//   1 to 3 enabled and reset, CONFG), GET_CONFIGURATION, GET_STATUS,
//   SET_FEATURE / CLEAR_FEATURE (ENDPOINT_HALT on 1 and 2: FORCESTALL, and
//   on clearing the endpoint's reset through RST_EP, toggle included),
//   SET_LINE_CODING (7 bytes kept), GET_LINE_CODING, SET_CONTROL_LINE_STATE;
//   STALL for anything else until the next SETUP. The descriptors are read
//   from the ROM region (or from the monitor's own copy when the ROM region
//   has none).
// - Bus reset (ENDBUSRES): FADDR = FEN, endpoint 0 as control, wait for the
//   new enumeration.
// - Host bytes: OUT packets on endpoint 1, banks taken in strict alternation
//   (the monitor's own note of the next bank, bank 0 after any reset of the
//   endpoint); a packet is copied out and its bank handed back before its
//   bytes are served.
// - Answers: IN packets of up to 64 bytes on endpoint 2 through both banks;
//   at the end of an answer a short packet, or a zero-length packet when the
//   answer's length is a multiple of 64.
// - While code started with G runs nobody serves the port: the banks hold
//   what the host sends and the port NAKs the rest.
#ifndef QUILLMERE_SIM_ROM_USB_H
#define QUILLMERE_SIM_ROM_USB_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/chip.h"
#include "sim/rom_monitor.h"
#include "sim/usb_descriptors.h"

namespace sim {

class UsbMonitorLine : public MonitorLine {
 public:
    // chip and bus are not owned; the chip's bus must be `bus`.
    UsbMonitorLine(Chip* chip, BusClock* bus, RomDescriptorLayout layout);

    // Puts the port on the bus, as the boot ROM does at reset.
    void Boot();

    // MonitorLine: the next host byte (serving endpoint 0 and bus resets
    // first); waiting advances chip time through the bus.
    bool PollByte(uint8_t* byte) override;
    bool WaitByte(int max_ms) override;
    void SendByte(uint8_t byte) override;
    bool Stopped() override;
    void BeginCall() override {}
    void EndCall(bool) override {}
    void EndOfAnswer() override;
    SerialLine* DebugUnitLine() override { return nullptr; }

    // The line coding the host set last (SET_LINE_CODING).
    const uint8_t* LineCodingBytes() const { return line_coding_; }
    // Requests answered with STALL.
    uint64_t StalledRequests() const { return stalled_requests_; }

 private:
    // (implementation state)
    uint8_t line_coding_[7] = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8};  // 115200 8N1
    uint64_t stalled_requests_ = 0;
};

}  // namespace sim

#endif
