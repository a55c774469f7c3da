// Test support for the USB link in chip time: the bus without wall time,
// driving the PC's CDC driver model (or no host at all), and control
// requests of the test's own on endpoint 0, one transaction a bus slot,
// between the driver's own transactions.
#ifndef QUILLMERE_SIM_HOST_USB_TEST_BUS_H
#define QUILLMERE_SIM_HOST_USB_TEST_BUS_H

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "sim/chip/chip.h"
#include "sim/chip/usb_port.h"
#include "sim/host/cdc_host.h"

namespace sim {

// A control request made by the test itself on endpoint 0, one transaction a
// bus slot, between the driver's own transactions.
struct RawRequest {
    uint8_t setup[8] = {};
    std::vector<uint8_t> out;  // data stage to the device
    std::vector<uint8_t> in;   // data stage the device answered
    bool done = false;
    bool stalled = false;
    bool bad_toggle = false;

    static RawRequest Make(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                           std::vector<uint8_t> out = {}) {
        RawRequest r;
        const uint8_t s[8] = {type, request, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8),
                              static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
        std::copy(s, s + 8, r.setup);
        r.out = std::move(out);
        return r;
    }
    uint16_t Length() const { return static_cast<uint16_t>(setup[6] | setup[7] << 8); }
};

// The bus without wall time: idle time goes to the driver's next event (or
// the test's own next transaction), or a frame on when there is none.
// host may be null: a test that plays the host itself, transaction by
// transaction, on the port.
class TestBus : public BusClock {
 public:
    TestBus(UsbPort* port, CdcHost* host) : port_(port), host_(host) {}

    // Makes request on endpoint 0 from the next slot on; request->done once
    // it has ended (completed, stalled, or given up after 1 s).
    void Start(RawRequest* request) {
        raw_ = request;
        stage_ = kSetup;
        raw_at_ = (now_ / kSlotCycles + 1) * kSlotCycles + kSlotCycles / 2;
        raw_give_up_ = raw_at_ + 1000 * kFrameCycles;
    }
    uint64_t Now() const { return now_; }

    uint64_t NextEventAt(uint64_t now) override {
        uint64_t next = UINT64_MAX;
        if (host_ != nullptr) {
            if (port_->Attached() && !attached_) return now + 1;
            next = host_->NextEventAt(now);
        }
        if (raw_ != nullptr) next = std::min(next, std::max(raw_at_, now + 1));
        return next;
    }
    void AdvanceTo(uint64_t now) override {
        if (host_ != nullptr && port_->Attached() && !attached_) {
            attached_ = true;
            host_->Attach(now);
        }
        while (raw_ != nullptr && raw_at_ <= now) {
            if (host_ != nullptr) host_->AdvanceTo(raw_at_);
            RawTransaction(raw_at_);
            raw_at_ += kSlotCycles;
        }
        if (host_ != nullptr) host_->AdvanceTo(now);
        now_ = std::max(now_, now);
    }
    uint64_t Idle(uint64_t now) override {
        uint64_t next = NextEventAt(now);
        if (next == UINT64_MAX || next <= now) next = now + kFrameCycles;
        AdvanceTo(next);
        return next;
    }
    bool Stopped() override {
        return (host_ != nullptr && host_->Gone() && !run_when_gone) || now_ >= deadline || (done && done());
    }

    bool run_when_gone = false;  // keep the chip running after the port has gone from the PC
    uint64_t deadline = UINT64_MAX;
    std::function<bool()> done;

 private:
    enum Stage { kSetup, kDataIn, kDataOut, kStatusIn, kStatusOut };

    void RawTransaction(uint64_t t) {
        RawRequest& r = *raw_;
        uint32_t faddr = 0;
        port_->Read(kUsbFaddr, t, &faddr);
        const uint8_t address = static_cast<uint8_t>(faddr & kFaddrFaddMask);
        InPacket packet;
        Handshake h = Handshake::kNone;
        switch (stage_) {
            case kSetup:
                if (port_->Setup(address, r.setup, t) == Handshake::kAck) {
                    toggle_ = 1;
                    sent_ = 0;
                    stage_ = !r.out.empty() ? kDataOut : (r.setup[0] & 0x80) && r.Length() ? kDataIn : kStatusIn;
                }
                break;
            case kDataIn:
                h = port_->In(address, 0, &packet, t);
                if (h == Handshake::kAck) {
                    r.bad_toggle |= packet.toggle != toggle_;
                    toggle_ ^= 1;
                    r.in.insert(r.in.end(), packet.data.begin(), packet.data.end());
                    if (packet.data.size() < 8 || r.in.size() >= r.Length()) stage_ = kStatusOut;
                }
                break;
            case kDataOut: {
                const size_t n = std::min<size_t>(8, r.out.size() - sent_);
                h = port_->Out(address, 0, r.out.data() + sent_, n, toggle_, nullptr, t);
                if (h == Handshake::kAck) {
                    toggle_ ^= 1;
                    sent_ += n;
                    if (sent_ >= r.out.size()) stage_ = kStatusIn;
                }
                break;
            }
            case kStatusIn:
                h = port_->In(address, 0, &packet, t);
                if (h == Handshake::kAck) {
                    r.bad_toggle |= packet.toggle != 1 || !packet.data.empty();
                    Finish(true);
                }
                break;
            case kStatusOut:
                h = port_->Out(address, 0, nullptr, 0, 1, nullptr, t);
                if (h == Handshake::kAck) Finish(true);
                break;
        }
        if (raw_ != nullptr && h == Handshake::kStall) {
            r.stalled = true;
            Finish();
        }
        if (raw_ != nullptr && t >= raw_give_up_) Finish();
    }
    // completed: the status stage was acknowledged.
    void Finish(bool completed = false) {
        // A clear-halt goes through the host's stack, which puts its own
        // toggle of the endpoint back to DATA0 as well.
        const RawRequest& r = *raw_;
        if (completed && host_ != nullptr && r.setup[0] == 0x02 && r.setup[1] == 1 && r.setup[2] == 0 && r.setup[3] == 0)
            host_->HaltCleared(r.setup[4]);
        raw_->done = true;
        raw_ = nullptr;
    }

    UsbPort* port_;
    CdcHost* host_;
    bool attached_ = false;
    uint64_t now_ = 0;
    RawRequest* raw_ = nullptr;
    Stage stage_ = kSetup;
    uint64_t raw_at_ = 0;
    uint64_t raw_give_up_ = 0;
    int toggle_ = 0;
    size_t sent_ = 0;
};

}  // namespace sim

#endif  // QUILLMERE_SIM_HOST_USB_TEST_BUS_H
