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
// - Endpoints: bulk OUT 1 and bulk IN 2 as the sheet's table; with the
//   swapped descriptor layout, the endpoints its descriptors show.
// - Host bytes: OUT packets on endpoint 1, banks taken in strict alternation
//   (the monitor's own note of the next bank, bank 0 after any reset of the
//   endpoint); a packet is copied out and its bank handed back before its
//   bytes are served.
// - Answers: IN packets of up to 64 bytes on endpoint 2 through both banks;
//   at the end of an answer a short packet, or a zero-length packet when the
//   answer's length is a multiple of 64.
// - While code started with G runs nobody serves the port: the banks hold
//   what the host sends and the port NAKs the rest.
#ifndef QUILLMERE_SIM_ROM_ROM_USB_H
#define QUILLMERE_SIM_ROM_ROM_USB_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/chip/chip.h"
#include "sim/chip/usb_regs.h"
#include "sim/rom/rom_monitor.h"
#include "sim/rom/usb_descriptors.h"

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
    // Stages of a control transfer on endpoint 0.
    enum class Ep0Stage {
        kIdle,       // waiting for a SETUP (or refusing with FORCESTALL)
        kDataIn,     // sending the data stage, 8 bytes a packet
        kStatusOut,  // waiting for the host's zero-length OUT packet
        kDataOut,    // taking the data stage (SET_LINE_CODING)
        kStatusIn,   // the zero-length IN packet is released; waiting for TXCOMP
    };
    // What a request needs besides its stages, done before its status stage
    // (or, for SET_ADDRESS, after it).
    enum class Ep0Action { kNone, kSetAddress, kSetConfiguration, kSetHalt, kClearHalt, kLineCoding };

    // Port registers at kUsbBase + offset.
    uint32_t Reg(uint32_t offset);
    void SetReg(uint32_t offset, uint32_t value);
    uint32_t Csr(int endpoint) { return Reg(kUsbCsr0 + 4 * static_cast<uint32_t>(endpoint)); }
    // Changes CSRn from `seen` (its value as last read): clears the flags in
    // `clear` (only flags seen set), sets the plain fields of `mask` to
    // `fields`, sets TXPKTRDY when `release`; then reads CSRn until the change
    // shows. Returns the CSR as last read.
    uint32_t ChangeCsr(int endpoint, uint32_t seen, uint32_t clear, uint32_t mask, uint32_t fields, bool release);
    // Holds the endpoints of `mask` (bit n: endpoint n) in reset and lets
    // them go (banks empty, toggles DATA0).
    void ResetEndpoints(uint32_t mask);

    // Brings the bus up to chip time, then serves bus resets, the other
    // latched events and endpoint 0 once. True when it did something.
    bool Service();
    // Serves the port once; when there was nothing to do, lets the bus move
    // chip time on to its next event. False once the bus is stopped.
    bool WaitStep();
    // After the host's bus reset: endpoint 0 at address 0, all else forgotten.
    void OnBusReset();
    // Moves endpoint 0's control transfer on by one event; true when there
    // was one.
    bool ServeEndpoint0();
    // Takes the SETUP in the FIFO (CSR0 as read: `csr`), answers or refuses it.
    void OnSetup(uint32_t csr);
    // Writes the next data-stage packet (up to 8 bytes, or zero-length) of
    // endpoint 0 and releases it.
    void SendEp0Packet(uint32_t csr);
    // Does what the current request asks before its status stage.
    void FinishEp0Action();
    // SET_CONFIGURATION: 1 enables and resets endpoints 1 to 3 and sets
    // CONFG; 0 disables them.
    void Configure(uint8_t value);
    // The descriptor of `type` (1 device, 2 configuration) as the ROM has it,
    // or the monitor's own copy for RomDescriptorLayout::kNone.
    std::vector<uint8_t> Descriptor(int type);
    // `length` bytes of the ROM region at address (empty for a length no
    // table can have).
    std::vector<uint8_t> RomTable(uint32_t address, size_t length);

    // Host bytes: copies the next OUT packet into rx_ (rx_ must be empty).
    bool TakeOutPacket();
    // Answers: the other IN bank may be filled while one waits for the host.
    // Releases the bank being filled (nothing written: a zero-length
    // packet), after the host has taken the one released before. False when
    // the endpoint was reset meanwhile or the bus stopped.
    bool ReleaseInBank();
    // Waits for TXCOMP of the released bank and clears it; false as above.
    bool WaitInTaken();
    // The IN banks were emptied (bus or endpoint reset, new configuration).
    void ResetInState();

    Chip* chip_;
    BusClock* bus_;
    RomDescriptorLayout layout_;
    int out_ep_ = 1;  // bulk OUT (host bytes)
    int in_ep_ = 2;   // bulk IN (answers)
    uint64_t bus_time_ = 0;  // chip time the bus was last brought up to

    bool configured_ = false;
    uint8_t configuration_ = 0;

    // Endpoint 0.
    Ep0Stage stage_ = Ep0Stage::kIdle;
    Ep0Action action_ = Ep0Action::kNone;
    uint8_t setup_[8] = {};
    std::vector<uint8_t> ep0_data_;  // IN data stage, or the OUT data stage taken so far
    size_t ep0_sent_ = 0;
    bool ep0_zlp_ = false;           // the data stage ends with a zero-length packet
    size_t ep0_expected_ = 0;        // bytes of an OUT data stage

    // OUT endpoint: the next bank due (strict alternation) and the bytes of
    // the packet taken last.
    int out_next_bank_ = 0;
    uint8_t rx_[64] = {};
    size_t rx_length_ = 0;
    size_t rx_pos_ = 0;
    bool resync_logged_ = false;

    // IN endpoint: bytes written into the bank being filled, whether the
    // other bank is released and not yet taken, and a count of resets that
    // throw away what the banks held.
    size_t in_fill_ = 0;
    bool in_released_ = false;
    uint64_t in_resets_ = 0;
    bool dropping_answer_ = false;

    uint8_t line_coding_[7] = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8};  // 115200 8N1
    uint64_t stalled_requests_ = 0;
};

}  // namespace sim

#endif
