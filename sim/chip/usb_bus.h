// The USB bus as a device port meets it: the transactions a host makes
// (SETUP, OUT, IN, start-of-frame, reset signalling) and the port's
// handshakes, in chip time. The PC's driver sees the chip's port through
// this and nothing else.
#ifndef QUILLMERE_SIM_CHIP_USB_BUS_H
#define QUILLMERE_SIM_CHIP_USB_BUS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

// A start-of-frame carries the low 11 bits of the frame number.
constexpr uint32_t kUsbFrameNumberMask = 0x7FF;

// The port's answer to one transaction of the host.
enum class Handshake {
    kAck,    // taken (OUT, SETUP) or data sent (IN)
    kNak,    // not now; the host tries again later
    kStall,  // the endpoint is halted (FORCESTALL)
    kNone,   // no answer at all: not addressed to this port, endpoint off or of another type, port off the bus
};

// One packet the port sent to the host: its bytes, the data toggle it went
// with, and for each byte the tag that code had last read from the FIFO of
// an endpoint other than 0 when it wrote the byte (the simulator uses the host frame number, so that
// a reply is known by the frame it answers).
struct InPacket {
    std::vector<uint8_t> data;
    std::vector<uint64_t> tags;
    int toggle = 0;
};

// A device port on the bus, as the host's side drives it; time is chip time
// ("now", master clock cycles).
class UsbBusDevice {
 public:
    virtual ~UsbBusDevice() = default;
    // SETUP to endpoint 0 (always DATA0, 8 bytes).
    virtual Handshake Setup(uint8_t address, const uint8_t setup[8], uint64_t now) = 0;
    // An OUT data packet of n bytes (0 to the endpoint's FIFO size) with
    // data toggle `toggle` (0 or 1); tags: one per byte (may be null: 0).
    virtual Handshake Out(uint8_t address, int endpoint, const uint8_t* data, size_t n, int toggle,
                          const uint64_t* tags, uint64_t now) = 0;
    // An IN token. On kAck, *packet holds what the port sent; the host's
    // acknowledgement is implied (the port counts the packet as taken).
    virtual Handshake In(uint8_t address, int endpoint, InPacket* packet, uint64_t now) = 0;
    // The host's reset signalling has ended at now.
    virtual void BusReset(uint64_t now) = 0;
    // A start-of-frame with frame number `frame` (11 bits).
    virtual void StartOfFrame(uint32_t frame, uint64_t now) = 0;
    // True when an IN endpoint (or endpoint 0) has a packet waiting for the
    // host, or one is about to be released.
    virtual bool InPending(int endpoint) const = 0;
};

}  // namespace sim

#endif
