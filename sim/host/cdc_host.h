// The PC's CDC driver on the other side of the chip's USB device port, in
// chip time: what the program on the PC does with its COM port (open,
// writes, line settings, close) becomes USB transactions on the port, seen
// through UsbBusDevice, and what the port sends becomes bytes the program can
// read.
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
// STALL in any stage fails it as well. A transaction that gets no answer at
// all (no handshake) is tried kTransactionTries times, one bus slot apart, as
// a host controller does; then the request fails with a transaction error
// (what the Linux driver sees as -EPROTO).
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
//   attach, bus reset: reset signalling (10 ms), reset recovery
//                   (CdcHostOptions::reset_recovery_cycles, 10 ms), then
//                   GET_DESCRIPTOR(device, 64) at address 0, SET_ADDRESS,
//                   GET_DESCRIPTOR(device, 18), GET_DESCRIPTOR(configuration,
//                   9), GET_DESCRIPTOR(configuration, wTotalLength),
//                   SET_CONFIGURATION 1. The descriptors of the first
//                   enumeration are kept; after a later bus reset the port
//                   comes back only if the device shows the same ones, else
//                   it is gone (HostSide::DeviceGone).
//   a failed enumeration request (no answer, STALL, time-out, an answer it
//                   cannot use): Linux tries each GET_DESCRIPTOR 3 times in a
//                   row and SET_ADDRESS twice, 200 ms apart; Windows tries
//                   each once. Then the attempt has failed: after
//                   kAttemptPauseCycles (100 ms) the port is reset again and
//                   the enumeration starts over, up to 4 attempts (Linux) or
//                   3 (Windows); after the last the port is gone.
#ifndef QUILLMERE_SIM_HOST_CDC_HOST_H
#define QUILLMERE_SIM_HOST_CDC_HOST_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "sim/chip/usb_bus.h"

namespace sim {

constexpr uint64_t kFrameCycles = 48000;           // 1 ms at 48 MHz
constexpr int kSlotsPerFrame = 19;
constexpr uint64_t kSlotCycles = kFrameCycles / kSlotsPerFrame;
constexpr uint64_t kControlTimeoutCycles = 5ull * 48000000;  // 5 s
constexpr uint64_t kResetCycles = 10 * kFrameCycles;         // reset signalling, 10 ms
constexpr uint64_t kHeldCycles = 10 * kFrameCycles;          // see "missing zero-length packet"
constexpr int kTransactionTries = 3;                         // tries of a transaction with no answer
constexpr uint64_t kAttemptPauseCycles = 100 * kFrameCycles; // after a failed enumeration attempt

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
    // Reset recovery: chip time from the end of the reset signalling to the
    // first request of the enumeration (10 ms, the least the USB rules give).
    uint64_t reset_recovery_cycles = 10 * kFrameCycles;
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
    uint64_t control_no_answer = 0;     // failed with a transaction error: the device did not answer
    uint64_t unanswered = 0;            // transactions the device did not answer at all
    uint64_t bus_resets = 0;
    uint64_t enumerations = 0;          // completed enumerations
    uint64_t enumeration_unanswered = 0;  // enumeration requests the device did not answer (of control_no_answer)
    uint64_t enumeration_retries = 0;     // enumeration attempts begun again with a new bus reset
};

class CdcHost {
 public:
    // port and side must outlive the host.
    CdcHost(const CdcHostOptions& options, UsbBusDevice* port, HostSide* side);

    // The device's pull-up came on at chip time now: reset the bus and
    // enumerate it (the first enumeration's descriptors are kept).
    void Attach(uint64_t now);
    // The device left the bus at chip time now (pull-up or transceiver off):
    // the port is gone (HostSide::DeviceGone).
    void Detach(uint64_t now);
    // True once the device is configured and bound to the driver.
    bool Configured() const;
    // True once the port is gone: an enumeration failed (the first, or one
    // after a bus reset showed other descriptors), the device attached again
    // while the host still had it, or it left the bus.
    bool Gone() const;

    // Runs the bus up to chip time now: every start-of-frame, slot and end of
    // frame that falls at or before now, in order.
    void AdvanceTo(uint64_t now);
    // Chip time (> now) of the next slot or frame end at which the bus does
    // something that code or the program could see, or UINT64_MAX when
    // nothing happens until the program does something or code releases a
    // packet (the port's TakeBusChange()).
    uint64_t NextEventAt(uint64_t now) const;

    // A CLEAR_FEATURE(ENDPOINT_HALT) of the bulk endpoint address (0x01,
    // 0x82, ...) made by another program through the host's stack succeeded:
    // the host's own toggle of that endpoint goes back to DATA0, as the
    // stack's clear-halt call does. Other endpoints: no effect.
    void HaltCleared(uint8_t endpoint);

    // The descriptors read at the first enumeration (empty before).
    const std::vector<uint8_t>& DeviceDescriptor() const;
    const std::vector<uint8_t>& ConfigurationDescriptor() const;
    // The line coding the device answered last to GET_LINE_CODING.
    const LineCoding& DeviceLineCoding() const;

    const CdcHostStats& Stats() const;

 private:
    // How far the host is with the device.
    enum class Phase {
        kDetached,     // no device yet
        kResetting,    // reset signalling until reset_end_
        kEnumerating,  // enumeration requests
        kRunning,      // configured and bound: the program's events are served
        kGone,         // the port is gone for good
    };
    // The requests the driver makes; what happens when one ends depends on it.
    enum class Request {
        kDeviceDescriptor64,  // GET_DESCRIPTOR(device, 64) at address 0
        kSetAddress,
        kDeviceDescriptor,    // GET_DESCRIPTOR(device, 18)
        kConfigHead,          // GET_DESCRIPTOR(configuration, 9)
        kConfigAll,           // GET_DESCRIPTOR(configuration, wTotalLength)
        kSetConfiguration,
        kClearHalt,
        kSetControlLineState,
        kGetLineCoding,
        kSetLineCoding,
    };
    // What follows the end of a request (whatever its result): the program's
    // call returns (data may follow), the port is open (also), or closed.
    enum class After { kNothing, kCallReturns, kPortOpen, kPortClosed };
    enum class Stage { kSetup, kDataIn, kDataOut, kStatusIn, kStatusOut };
    enum class Result { kOk, kStalled, kTimedOut, kUnexpected, kNoAnswer };
    struct ControlRequest {
        Request request = Request::kSetAddress;
        uint8_t setup[8] = {};
        std::vector<uint8_t> out;  // OUT data stage
        After after = After::kNothing;
        int tries = 1;             // tries left of an enumeration request, this one included
        uint64_t retry_gap = 0;    // chip time between them
    };
    struct OutByte {
        uint8_t byte;
        uint64_t tag;
        bool unit_end;
    };
    // An IN transfer: its bytes and their tags.
    struct Transfer {
        std::vector<uint8_t> data;
        std::vector<uint64_t> tags;
    };

    // Chip time of the step the bus is at: steps 0 to 18 are the slots of
    // frame frame_ (step 0 right after its start-of-frame), step 19 its end.
    uint64_t StepTime() const;
    // Earliest step time (slot or frame end) after t.
    static uint64_t StepAfter(uint64_t t);
    // True when the next slot may do something (see NextEventAt).
    bool Busy(uint64_t t) const;
    // Chip time at which the earliest timer runs out (reset signalling ends,
    // a request's hold-off ends, held bytes are due for the log), or
    // UINT64_MAX: idle frames up to it may be skipped.
    uint64_t TimerBound() const;
    void DoStep(uint64_t t);
    void Slot(uint64_t t);
    void EndOfFrame(uint64_t t);
    void TakeEvents(uint64_t t);
    bool ControlIdle() const { return !active_ && control_queue_.empty(); }

    // Resets the bus from chip time t on (the reset signalling ends
    // kResetCycles later); `first`: a new enumeration, not a retry of one.
    void StartReset(uint64_t t, bool first = true);
    // An enumeration request failed: tried again, or the attempt has failed.
    void EnumerationRequestFailed(const ControlRequest& r, Result result, const std::string& text, uint64_t t);
    void EndReset();
    void Enumerate(Request request, uint16_t length);
    void EnumerationFailed(const std::string& why);
    void MakeGone(const std::string& why);
    bool ParseConfiguration(const std::vector<uint8_t>& config, std::string* why);

    void Queue(Request request, uint8_t type, uint8_t code, uint16_t value, uint16_t index,
               std::vector<uint8_t> out, uint16_t in_length, After after = After::kNothing, bool front = false);
    void QueueClearHalt(uint8_t endpoint, bool front);
    void QueueOpen(const LineCoding& coding);
    void QueueLineSettings(const LineCoding& coding);
    void ControlTransaction(uint64_t t);
    void FinishRequest(Result result, uint64_t t);
    std::string Describe(const ControlRequest& r, Result result) const;

    // Bytes of the next bulk OUT packet that may go now (0: none).
    size_t OutPacketLength() const;
    bool FormOutPacket();
    bool TryOut(uint64_t t);
    bool TryIn(uint64_t t);
    void CompleteTransfer();
    void DropTransfers(const char* why);

    void Log(const std::string& text) const;
    void Note(const std::string& text) const;

    CdcHostOptions options_;
    UsbBusDevice* port_;
    HostSide* side_;
    CdcHostStats stats_;
    size_t in_transfer_size_ = 128;

    Phase phase_ = Phase::kDetached;
    uint64_t frame_ = 0;  // frame of the next step
    int step_ = 0;
    uint64_t reset_end_ = 0;
    int attempts_ = 0;               // enumeration attempts since the last Attach or program's reset
    bool enumerated_once_ = false;
    uint8_t address_ = 0;
    std::vector<uint8_t> device_descriptor_;
    std::vector<uint8_t> config_descriptor_;
    std::vector<uint8_t> new_device_;  // read during a later enumeration
    std::vector<uint8_t> new_config_;
    uint8_t config_value_ = 1;
    uint8_t out_ep_ = 0x01;  // endpoint addresses from the configuration descriptor
    uint8_t in_ep_ = 0x82;
    uint8_t comm_interface_ = 0;  // wIndex of the CDC requests

    // Control requests: the one in progress, and those waiting.
    std::deque<ControlRequest> control_queue_;
    bool active_ = false;
    ControlRequest request_;
    Stage stage_ = Stage::kSetup;
    uint64_t request_start_ = 0;
    uint64_t control_retry_at_ = 0;   // no answer: not before the next frame
    uint64_t control_not_before_ = 0; // reset recovery, SET_ADDRESS recovery
    int control_toggle_ = 0;
    int control_no_answer_ = 0;       // transactions in a row without an answer
    size_t control_out_pos_ = 0;
    std::vector<uint8_t> control_in_;
    bool control_babble_ = false;     // the device sent more than asked for

    // The program's port.
    bool call_pending_ = false;  // an open's or line change's requests are not finished
    bool port_open_ = false;     // IN transfers pending
    bool line_set_ = false;
    LineCoding line_coding_;     // the coding set last (SET_LINE_CODING)
    LineCoding device_coding_;   // the device's answer to GET_LINE_CODING

    // Bulk OUT.
    std::deque<OutByte> out_queue_;
    std::vector<uint8_t> out_packet_;
    std::vector<uint64_t> out_tags_;
    bool out_packet_ready_ = false;
    int out_toggle_ = 0;
    bool out_halted_ = false;   // a STALL: waiting for CLEAR_FEATURE
    bool out_stall_logged_ = false;
    uint64_t out_retry_at_ = 0;
    // Bulk IN.
    Transfer transfer_;               // the transfer being filled
    std::deque<Transfer> finished_;   // delivered at the end of the frame
    int in_toggle_ = 0;
    bool in_halted_ = false;
    bool in_stall_logged_ = false;
    uint64_t in_retry_at_ = 0;
    bool last_bulk_out_ = false;      // the direction that moved data last goes second
    bool held_armed_ = false;         // transfer_'s last packet was full (no end yet)
    bool held_logged_ = false;        // ... and that has been logged
    uint64_t held_since_ = 0;         // chip time of that packet
};

}  // namespace sim

#endif
