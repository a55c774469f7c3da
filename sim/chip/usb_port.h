// The chip's USB device port (base 0xFFFB0000), without the CPU: the
// registers code sees, and the bus side on which the PC's driver (the host)
// makes its transactions. Time is passed in as a chip-time cycle count
// ("now"), so the model runs the same inside the emulator, under the native
// ROM monitor and in unit tests.
//
// Endpoints (the boot monitor's layout; the port itself only knows FIFO
// sizes and banks, the rest is what code writes into CSRn):
//   0  control,   8-byte FIFO, 1 bank
//   1  64-byte FIFO, 2 banks (bulk OUT in the boot monitor's configuration)
//   2  64-byte FIFO, 2 banks (bulk IN)
//   3  64-byte FIFO, 1 bank  (interrupt IN)
//   4 to 7, when the port has them (UsbPortOptions::endpoints): 64 bytes, 2 banks.
//
// Behaviour modelled, register by register (bit names as in the chip sheet):
// - FRM_NUM: the frame number of the last start-of-frame (10:0) and FRM_OK.
// - GLB_STAT: FADDEN, CONFG, ESR, RSMINPR, RMWUPE as written; a bus reset
//   clears FADDEN and CONFG.
// - FADDR: FADD and FEN as written; a bus reset clears it. The port answers
//   transactions addressed to FADD while FEN is set, and no others.
// - IER/IDR/IMR: the mask is kept; no interrupt reaches the core.
// - ISR: EPnINT is set while any of CSRn's flags TXCOMP, RX_DATA_BK0,
//   RXSETUP, STALLSENT, RX_DATA_BK1 is set; RXSUSP, RXRSM, SOFINT, ENDBUSRES,
//   WAKEUP are latched until cleared through ICR.
// - RST_EP: while bit n is 1, endpoint n is held in reset: its banks are
//   empty, its toggle is DATA0, the host's transactions to it get NAK.
//   Writing 0 ends the reset.
// - CSRn: flags TXCOMP, RX_DATA_BK0, RXSETUP, STALLSENT, RX_DATA_BK1 are
//   cleared by writing 0 (1 has no effect); TXPKTRDY is set by writing 1
//   while it reads 0 (the bank being filled goes to the host; with nothing
//   written that is a zero-length packet), cleared by the port when the host
//   has taken the packet, and writing 0 does nothing; FORCESTALL, DIR,
//   EPTYPE, EPEDS are plain fields; DTGLE and RXBYTECNT are read-only.
//   A CSR write that changes something takes effect kCsrSettleMinCycles to
//   kCsrSettleMaxCycles cycles later (each write its own delay, from a fixed
//   pseudo-random sequence), however often code reads the CSR meanwhile;
//   until then reads show the old value. A write that changes nothing has
//   nothing to show. Writing CSRn again, or touching FDRn, before the write
//   shows is a discipline fault: counted, logged; a second write replaces
//   the first, a FIFO access acts on the old state.
//   When a write takes effect and clears a flag that the port set after
//   code last read that CSR (before the write), the event is lost: counted
//   and logged (for RX_DATA_BKn the packet in that bank is gone).
// - DTGLE: the data toggle of the next packet the endpoint takes (OUT) or
//   sends (IN). Banks and toggle move together from DATA0 and bank 0, so
//   with both OUT banks full the older one is bank DTGLE.
// - OUT, two banks: a packet goes into the bank after the one filled last
//   (bank 0 after a reset), only when that bank is free; otherwise NAK. A
//   packet whose toggle is not the expected one is acknowledged and dropped
//   as a repeat. FDRn reads take bytes of the older full bank; RXBYTECNT
//   counts the bytes left in it. Clearing the flag of the older bank hands
//   it back; clearing the flag of the newer bank while the older is still
//   full drops the newer packet unread (a discipline fault).
// - IN, two banks: FDRn writes fill the bank not yet released; setting
//   TXPKTRDY releases it and the next writes go to the other bank. The host
//   takes released banks in order; each taken packet sets TXCOMP, and
//   TXPKTRDY is cleared once no released bank is left. Writing FDRn while
//   both banks are released, or past 64 bytes, is a discipline fault (the
//   byte is dropped). A bank released while the other one still waits is
//   released too (a discipline fault as well: the sheet waits for TXCOMP).
// - Control endpoint 0: a SETUP is always acknowledged (also while
//   FORCESTALL is set): it empties the FIFO, puts the 8 bytes in it with
//   RXBYTECNT 8, sets RXSETUP, drops a packet waiting to go to the host and
//   sets the toggle to DATA1 for the data stage. The status stage, the
//   transaction in the direction opposite to DIR, always goes with DATA1.
//   While RXSETUP is set the endpoint answers NAK to IN and OUT. Clearing
//   RXSETUP with bytes of the SETUP still unread is a discipline fault (they
//   are dropped), and so is clearing it, for a request with a data stage,
//   while DIR differs from the request's direction (bmRequestType bit 7),
//   refused requests included: DIR goes in before RXSETUP is cleared.
// - FORCESTALL: the endpoint answers STALL to IN and OUT; each STALL sets
//   STALLSENT.
// - An endpoint whose EPEDS is 0, or whose EPTYPE does not match the
//   direction of a transaction, does not answer it (Handshake::kNone).
// - Bus reset: at its end every endpoint is disabled, reset and its CSR
//   cleared, FADDR, FADDEN and CONFG are cleared and ENDBUSRES is set. The
//   port measures how long code then takes until the port answers at
//   address 0 again (FEN set, endpoint 0 enabled as a control endpoint).
// - Suspend/resume: RXSUSP, and RXRSM with WAKEUP on resume; every setting
//   is kept.
// - TXVC: TXVDIS and PUON as written; the port is on the bus only while the
//   transceiver is on and the pull-up is on (Attached()).
// - Any other offset in the port's range is not a register: Read and Write
//   return false and the chip treats the access as a fault.
#ifndef QUILLMERE_SIM_CHIP_USB_PORT_H
#define QUILLMERE_SIM_CHIP_USB_PORT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/chip/usb_bus.h"
#include "sim/chip/usb_regs.h"

namespace sim {

// How long a CSR write takes to show, in master clock cycles (0.5 to 2
// microseconds; see the file comment). The chip sheet says "a few clocks"
// and asks code to read the CSR until the write shows. The model takes
// longer on purpose, and varies the delay from write to write: code that
// goes on without reading back (or waits a fixed count) meets a write that
// has not shown yet and is caught as a discipline fault, while code that
// reads until the write shows never notices the delay.
constexpr uint64_t kCsrSettleMinCycles = 24;
constexpr uint64_t kCsrSettleMaxCycles = 96;

struct UsbPortOptions {
    int endpoints = 4;  // 4 to 8
    // Receives the port's notes for the simulator's log (discipline faults,
    // lost events); may be empty.
    std::function<void(const std::string&)> log;
};

struct UsbPortStats {
    uint64_t out_packets = 0;      // OUT data packets taken into a bank (repeats not counted)
    uint64_t in_packets = 0;       // IN data packets the host took (zero-length ones included)
    uint64_t zero_length_in = 0;   // of these, zero-length packets
    uint64_t setup_packets = 0;
    uint64_t out_naks = 0;         // OUT and control OUT transactions answered NAK
    uint64_t in_naks = 0;          // IN transactions answered NAK
    uint64_t stalls = 0;           // transactions answered STALL
    uint64_t unanswered = 0;       // transactions answered kNone
    uint64_t repeats_dropped = 0;  // OUT packets with the wrong toggle, acknowledged and dropped
    uint64_t lost_events = 0;      // flags cleared by a CSR write before code had seen them
    uint64_t discipline_faults = 0;  // CSR written again before it showed, FIFO touched then, FIFO misuse, ...
    uint64_t bus_resets = 0;
    uint64_t txvc_writes = 0;      // writes to TXVC (transceiver, pull-up)
    // Longest chip time, in cycles, from the end of a bus reset until the
    // port answered at address 0 again (FADDR.FEN set, endpoint 0 enabled as
    // a control endpoint); resets after which it never did are not in it.
    uint64_t reset_answer_cycles = 0;
};

class UsbPort : public UsbBusDevice {
 public:
    explicit UsbPort(const UsbPortOptions& options);

    // --- The chip's side: register access at offset (0 to kUsbSize - 1)
    // from kUsbBase, 32 bits, at chip time now. False for an offset that is
    // not a register (the access is a fault).
    bool Read(uint32_t offset, uint64_t now, uint32_t* value);
    bool Write(uint32_t offset, uint32_t value, uint64_t now);

    // --- The bus side: the host's transactions at chip time now, as
    // UsbBusDevice describes them. ---
    Handshake Setup(uint8_t address, const uint8_t setup[8], uint64_t now) override;
    Handshake Out(uint8_t address, int endpoint, const uint8_t* data, size_t n, int toggle,
                  const uint64_t* tags, uint64_t now) override;
    Handshake In(uint8_t address, int endpoint, InPacket* packet, uint64_t now) override;
    void BusReset(uint64_t now) override;
    void StartOfFrame(uint32_t frame, uint64_t now) override;
    // The bus goes idle (suspend) / resumes.
    void Suspend(uint64_t now);
    void Resume(uint64_t now);

    // True while the port is on the bus: transceiver on and pull-up on.
    bool Attached() const;
    // What the boot monitor leaves after the host configured the device is
    // set up by the monitor through the registers; tests may use this to
    // put the port into a state directly (transceiver on, pull-up on).
    void PowerOn();

    // Something the host can see changed since the last call (a bank
    // released or handed back, a flag the host waits for): the bus should
    // be looked at again before the next planned event.
    bool TakeBusChange();
    // True when an IN endpoint (or endpoint 0) has a released packet waiting
    // for the host, or a CSR write that releases one is on its way (it shows
    // within kCsrSettleMaxCycles).
    bool InPending(int endpoint) const override;
    // True while any CSR write has not yet shown.
    bool WritePending() const;

    const UsbPortStats& Stats() const { return stats_; }

 private:
    // One bank of an endpoint's FIFO: its bytes, a tag per byte, and (OUT)
    // how many of them code has read.
    struct Bank {
        std::vector<uint8_t> data;
        std::vector<uint64_t> tags;
        size_t read = 0;
        void Clear() {
            data.clear();
            tags.clear();
            read = 0;
        }
    };
    // A CSR write that has not shown yet.
    struct PendingWrite {
        bool active = false;
        uint32_t value = 0;
        uint64_t due = 0;           // chip time at which it shows
        uint64_t read_serial = 0;   // the CSR's last read before the write (see flag_serial)
    };
    struct Endpoint {
        int banks = 1;            // 1 or 2
        size_t fifo = 64;         // bytes per bank
        uint32_t flags = 0;       // TXCOMP, RX_DATA_BK0, RXSETUP, STALLSENT, TXPKTRDY, RX_DATA_BK1
        uint32_t fields = 0;      // FORCESTALL, DIR, EPTYPE, EPEDS
        int toggle = 0;           // DTGLE
        // Serial number (serial_) at which the port last set each flag, by bit number.
        uint64_t flag_serial[8] = {};
        uint64_t last_read = 0;   // serial number of code's last read of the CSR
        PendingWrite pending;
        uint8_t setup[8] = {};    // the last SETUP taken (control endpoint)
        Bank out[2];              // OUT banks (bank 0 also holds a SETUP)
        int next_out = 0;         // the bank the next OUT packet goes into
        Bank in[2];               // IN banks
        bool released[2] = {false, false};
        int fill = 0;             // the IN bank FDR writes go to
        int queue[2] = {0, 0};    // released IN banks, oldest first
        int queued = 0;
    };
    enum class Dir { kSetup, kOut, kIn };

    void Note(const std::string& text, uint64_t now);
    void Fault(const std::string& text, uint64_t now);
    // Applies the CSR writes that have shown by now.
    void Settle(uint64_t now);
    void Apply(int n, uint64_t now);
    // Would writing value to CSRn change something the host sees?
    bool HostVisible(int n, uint32_t value) const;
    // Would writing value to CSRn change anything at all?
    bool Changes(int n, uint32_t value) const;
    // The delay of the next CSR write (kCsrSettleMinCycles to kCsrSettleMaxCycles).
    uint64_t NextSettleDelay();
    // Notes when the port answers at address 0 after a bus reset.
    void CheckAnswering(uint64_t now);
    void ReleaseInBank(int n, uint64_t now);
    void ResetEndpoint(int n);
    void SetFlag(int n, uint32_t flag);
    bool HeldInReset(int n) const { return (rst_ep_ >> n) & 1; }
    // The OUT bank FDR reads take bytes from, or null.
    Bank* ReadBank(int n);
    uint32_t CsrValue(int n);
    uint8_t ReadFifo(int n, uint64_t now);
    void WriteFifo(int n, uint8_t byte, uint64_t now);
    // Addressing, endpoint enable and type; false: the port does not answer.
    bool Answers(uint8_t address, int endpoint, Dir dir) const;
    Handshake Unanswered();

    UsbPortOptions options_;
    int endpoints_ = 4;
    Endpoint ep_[kUsbMaxEndpoints];
    int pending_writes_ = 0;
    uint64_t serial_ = 0;
    uint64_t current_tag_ = 0;
    uint32_t frame_ = 0;      // FRM_NUM value (frame number, FRM_OK)
    uint32_t glb_stat_ = 0;
    uint32_t faddr_ = 0;
    uint32_t imr_ = 0;
    uint32_t isr_latched_ = 0;  // RXSUSP, RXRSM, SOFINT, ENDBUSRES, WAKEUP
    uint32_t rst_ep_ = 0;
    uint32_t txvc_ = 0;
    bool bus_change_ = false;
    uint32_t settle_state_ = 0x9E3779B9u;  // the delay sequence
    bool awaiting_answer_ = false;         // a bus reset ended; not answering at address 0 yet
    uint64_t reset_at_ = 0;
    UsbPortStats stats_;
};

}  // namespace sim

#endif
