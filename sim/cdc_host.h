// The PC's CDC driver on the other side of the chip's USB device port, in
// chip time: what the program on the PC does with its COM port (open,
// writes, line settings, close) becomes USB transactions on a UsbPort, and
// what the port sends becomes bytes the program can read.
//
// Bus timing (full speed): frames of kFrameCycles (1 ms); each frame starts
// with a start-of-frame and has kSlotsPerFrame slots, one bulk data packet
// each (about 19 packets per frame). In every slot the host makes at most one
// control transaction and at most one bulk transaction that moves data (an
// OUT or IN that is answered NAK moves nothing and leaves the slot to the
// other direction). A finished IN transfer reaches the program at the end of
// its frame.
//
// Writes: the program's bytes are cut into bulk OUT packets of up to 64
// bytes on the configuration's bulk OUT endpoint; a packet ends where one of
// the program's writes ends (HostEvent::unit_end) or at 64 bytes. Toggles
// alternate; a packet answered NAK is sent again in a later slot; STALL makes
// the driver clear the halt (CLEAR_FEATURE(ENDPOINT_HALT), toggle to DATA0)
// and send the packet again. The driver takes at most out_queue_limit bytes
// of the program's writes ahead of the bus.
// Reads: while the port is open, IN transfers of in_transfer_size bytes (128
// on Linux, 4096 on Windows) are pending on the bulk IN endpoint. A transfer
// ends with a packet shorter than 64 bytes (a zero-length one included) or
// when it is full. A packet with the wrong toggle is acknowledged and dropped
// as a repeat. Bytes of a transfer that ended with a full packet and then get
// no more packets for kHeldCycles stay on the host: logged once and counted
// as a missing zero-length packet (they reach the program when the transfer
// ends later).
// Control requests (endpoint 0, 8-byte packets): SETUP, data stage, status
// stage. A request that is not complete kControlTimeoutCycles (5 s) after it
// began fails (logged, counted) and the driver goes on with the next one; a
// STALL in any stage fails it as well. Transactions that get no answer are
// tried again in the next frame.
// Requests the driver makes:
//   open (Linux):   SET_CONTROL_LINE_STATE (DTR and RTS on), GET_LINE_CODING,
//                   SET_LINE_CODING (the port's settings)
//   open (Windows): CLEAR_FEATURE(ENDPOINT_HALT) to the bulk OUT and the bulk
//                   IN endpoint (its own toggles back to DATA0), then as Linux
//   line settings:  SET_LINE_CODING (Linux: only when the coding differs from
//                   the last one set), then SET_CONTROL_LINE_STATE with DTR
//                   and RTS off (the program's line configuration lowers them
//                   too; a pseudo-terminal does not show modem-line calls)
//   close:          SET_CONTROL_LINE_STATE 0; IN transfers are cancelled and
//                   their bytes dropped
//   attach, bus reset: reset signalling (10 ms), then GET_DESCRIPTOR(device,
//                   64) at address 0, SET_ADDRESS, GET_DESCRIPTOR(device, 18),
//                   GET_DESCRIPTOR(configuration, 9), GET_DESCRIPTOR(
//                   configuration, wTotalLength), SET_CONFIGURATION 1. The
//                   descriptors of the first enumeration are kept; after a
//                   later bus reset the port comes back only if the device
//                   shows the same ones, else it is gone (HostSide::DeviceGone).
#ifndef QUILLMERE_SIM_CDC_HOST_H
#define QUILLMERE_SIM_CDC_HOST_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "sim/usb_port.h"

namespace sim {

constexpr uint64_t kFrameCycles = 48000;           // 1 ms at 48 MHz
constexpr int kSlotsPerFrame = 19;
constexpr uint64_t kSlotCycles = kFrameCycles / kSlotsPerFrame;
constexpr uint64_t kControlTimeoutCycles = 5ull * 48000000;  // 5 s
constexpr uint64_t kResetCycles = 10 * kFrameCycles;         // reset signalling, 10 ms
constexpr uint64_t kHeldCycles = 10 * kFrameCycles;          // see "missing zero-length packet"

enum class HostDriver { kLinux, kWindows };

// CDC line coding, the 7 bytes of SET_LINE_CODING / GET_LINE_CODING.
struct LineCoding {
    uint32_t rate = 9600;   // dwDTERate, bits per second
    uint8_t stop_bits = 0;  // bCharFormat: 0 one, 1 one and a half, 2 two
    uint8_t parity = 0;     // bParityType: 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t data_bits = 8;  // bDataBits
    void ToBytes(uint8_t out[7]) const;
    static LineCoding FromBytes(const uint8_t in[7]);
    bool operator==(const LineCoding& o) const {
        return rate == o.rate && stop_bits == o.stop_bits && parity == o.parity && data_bits == o.data_bits;
    }
    bool operator!=(const LineCoding& o) const { return !(*this == o); }
};

// What the program on the PC did with its COM port, in order.
struct HostEvent {
    enum Kind {
        kOpen,          // the program opened the port; coding: its settings then
        kClose,         // the program closed it
        kLineSettings,  // the program changed the line settings; coding: the new ones
        kData,          // one byte the program wrote
        kBusReset,      // the host resets the bus (error recovery), then enumerates again
    };
    Kind kind = kData;
    LineCoding coding;
    uint8_t byte = 0;
    uint64_t tag = 0;        // kData: the host frame the byte belongs to
    bool unit_end = false;   // kData: one of the program's writes ends with this byte
};

// The program's side, implemented by the simulator's pseudo-terminal line.
class HostSide {
 public:
    virtual ~HostSide() = default;
    // The next thing the program did, if any (never blocks).
    virtual bool PeekEvent(HostEvent* event) = 0;
    virtual void PopEvent() = 0;
    // True when the program may still be writing: bytes of a write that is
    // not complete yet can follow (a packet shorter than 64 bytes is not sent
    // for a write that has not ended).
    virtual bool MoreMayFollow() = 0;
    // A finished IN transfer reaches the program: n bytes, a tag per byte.
    virtual void Deliver(const uint8_t* data, const uint64_t* tags, size_t n) = 0;
    // The port vanished from the PC (enumeration failed, device detached).
    virtual void DeviceGone(const char* why) = 0;
};

struct CdcHostOptions {
    HostDriver driver = HostDriver::kLinux;
    size_t in_transfer_size = 0;     // 0: 128 (Linux) or 4096 (Windows)
    size_t out_queue_limit = 20480;  // the program's bytes the driver holds ahead of the bus
    // The simulator's log (failures, held bytes); may be empty.
    std::function<void(const std::string&)> log;
    // One line per control request, bus reset and enumeration, for the wire
    // log (e.g. "SET_LINE_CODING 115200 8N1 ok"); may be empty.
    std::function<void(const std::string&)> note;
};

struct CdcHostStats {
    uint64_t out_packets = 0;           // bulk OUT packets the device took (not counting NAKed tries)
    uint64_t out_bytes = 0;
    uint64_t out_naks = 0;              // bulk OUT tries answered NAK
    uint64_t in_packets = 0;            // bulk IN packets received (repeats not counted)
    uint64_t in_bytes = 0;
    uint64_t in_repeats_dropped = 0;    // IN packets with the wrong toggle
    uint64_t missing_zlp = 0;           // transfers left on the host after a full packet
    uint64_t control_requests = 0;      // requests begun
    uint64_t control_ok = 0;
    uint64_t control_stalled = 0;       // refused with STALL
    uint64_t control_timed_out = 0;     // not complete within 5 s
    uint64_t control_unexpected = 0;    // completed, but with an answer the driver could not use
    uint64_t unanswered = 0;            // transactions the device did not answer at all
    uint64_t bus_resets = 0;
    uint64_t enumerations = 0;          // completed enumerations
};

class CdcHost {
 public:
    // port and side must outlive the host.
    CdcHost(const CdcHostOptions& options, UsbPort* port, HostSide* side);

    // The device's pull-up came on at chip time now: reset the bus and
    // enumerate it (the first enumeration's descriptors are kept).
    void Attach(uint64_t now);
    // True once the device is configured and bound to the driver.
    bool Configured() const;
    // True once the port is gone (enumeration failed after a bus reset, the
    // device left the bus).
    bool Gone() const;

    // Runs the bus up to chip time now: every start-of-frame, slot and end of
    // frame that falls at or before now, in order.
    void AdvanceTo(uint64_t now);
    // Chip time (> now) of the next slot or frame end at which the bus does
    // something that code or the program could see, or UINT64_MAX when
    // nothing happens until the program does something or code releases a
    // packet (UsbPort::TakeBusChange()).
    uint64_t NextEventAt(uint64_t now) const;

    // The descriptors read at the first enumeration (empty before).
    const std::vector<uint8_t>& DeviceDescriptor() const;
    const std::vector<uint8_t>& ConfigurationDescriptor() const;
    // The line coding the device answered last to GET_LINE_CODING.
    const LineCoding& DeviceLineCoding() const;

    const CdcHostStats& Stats() const;

 private:
    // (implementation state)
};

}  // namespace sim

#endif
