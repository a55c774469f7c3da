// The bench the CDC driver model's tests run on: a real USB port model with
// device firmware behind it that serves the port through its registers as
// the chip sheet asks, a fake program's side, and the bus run in chip time.
#ifndef QUILLMERE_SIM_HOST_CDC_HOST_TEST_BENCH_H
#define QUILLMERE_SIM_HOST_CDC_HOST_TEST_BENCH_H

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "sim/chip/usb_port.h"
#include "sim/host/cdc_host.h"
#include "sim/rom/usb_descriptors.h"

namespace sim {
namespace cdc_bench {

constexpr uint32_t kFields = kCsrForcestall | kCsrDir | kCsrEptypeMask | kCsrEpeds;
constexpr uint64_t kFirmwarePeriod = 500;  // cycles between two looks of the firmware at the port

inline std::vector<uint8_t> Bytes(size_t n, uint8_t first = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

// Device firmware for the tests: serves the port through its registers as
// the chip sheet asks (every CSR change read back until it shows), with a
// CDC device on endpoint 0 and a bulk OUT and bulk IN endpoint.
class Firmware {
 public:
    Firmware(UsbPort* port, RomDescriptorLayout layout, std::vector<std::string>* timeline)
        : config(ConfigurationDescriptor(layout)),
          out_ep(layout == RomDescriptorLayout::kSwapped ? 2 : 1),
          in_ep(layout == RomDescriptorLayout::kSwapped ? 1 : 2),
          port_(port),
          timeline_(timeline) {}

    // Looks at the port once, at chip time t; returns the time after its accesses.
    uint64_t Service(uint64_t t) {
        now_ = std::max(now_, t);
        if (Read(kUsbIsr) & kIsrEndbusres) {
            Write(kUsbIcr, kIsrEndbusres);
            Write(kUsbFaddr, kFaddrFen);
            Change(0, 0, kFields, kCsrEpeds | kEptypeControl << kCsrEptypeShift);
            ep0_ = Ep0::kIdle;
            ResetBulkState();
        }
        if (serve_ep0) ServeEp0();
        if (stall_out) Change(out_ep, 0, kCsrForcestall, kCsrForcestall);
        if (serve_out) ServeOut();
        ServeIn();
        return now_;
    }
    // An answer in IN packets of 64 bytes, with a zero-length packet after a
    // full last one when zlp.
    void Send(const std::vector<uint8_t>& bytes, bool zlp) {
        for (size_t i = 0; i < bytes.size(); i += 64)
            to_send.emplace_back(bytes.begin() + i, bytes.begin() + std::min(bytes.size(), i + 64));
        if (zlp && bytes.size() % 64 == 0) to_send.emplace_back();
    }
    // Resets the bulk IN endpoint behind the host's back (its toggle goes to DATA0).
    void ResetIn() {
        Write(kUsbRstEp, 1u << in_ep);
        Write(kUsbRstEp, 0);
        in_released_ = in_filled_ = false;
    }

    std::vector<uint8_t> device = DeviceDescriptor();
    std::vector<uint8_t> config;
    const int out_ep, in_ep;
    bool serve_ep0 = true, serve_out = true, stall_out = false;
    std::set<uint8_t> stall_requests;  // bRequest values refused with STALL
    uint8_t coding[7] = {0x80, 0x25, 0, 0, 0, 0, 8};  // 9600 8N1
    std::vector<uint8_t> received;                    // bulk OUT bytes in order
    std::vector<size_t> out_packets;                  // their packet sizes
    std::deque<std::vector<uint8_t>> to_send;         // IN packets still to go
    std::vector<std::pair<uint64_t, uint8_t>> setups;  // chip time and bRequest of each SETUP
    uint64_t address_set_at = 0;

 private:
    enum class Ep0 { kIdle, kDataIn, kDataOut, kStatusIn };

    uint32_t Read(uint32_t offset) {
        uint32_t v = 0;
        EXPECT_TRUE(port_->Read(offset, now_++, &v));
        return v;
    }
    void Write(uint32_t offset, uint32_t value) { EXPECT_TRUE(port_->Write(offset, value, now_++)); }
    uint32_t Csr(int n) { return Read(kUsbCsr0 + 4 * static_cast<uint32_t>(n)); }
    // Clears the flags of `clear`, sets the fields of `mask` to `fields`,
    // releases an IN bank when `release`; then reads CSRn until it shows.
    void Change(int n, uint32_t clear, uint32_t mask, uint32_t fields, bool release = false) {
        const uint32_t seen = Csr(n);
        Write(kUsbCsr0 + 4 * static_cast<uint32_t>(n), (kCsrW0cFlags & ~clear) | (seen & kFields & ~mask) |
                                                           (fields & mask) | (release ? kCsrTxpktrdy : 0));
        now_ += kCsrSettleMaxCycles;  // the write has shown
    }
    void ResetEndpoint(int n) {
        Write(kUsbRstEp, 1u << n);
        Write(kUsbRstEp, 0);
    }
    void ResetBulkState() {
        out_bank_ = 0;
        in_released_ = in_filled_ = false;
    }
    void Ep0Packet(const std::vector<uint8_t>& data) {
        for (uint8_t b : data) Write(kUsbFdr0, b);
        Change(0, 0, 0, 0, true);
    }
    void Status() {
        Ep0Packet({});
        ep0_ = Ep0::kStatusIn;
    }

    void ServeEp0() {
        const uint32_t csr = Csr(0);
        if (csr & kCsrRxsetup) {
            uint8_t s[8];
            for (uint8_t& b : s) b = static_cast<uint8_t>(Read(kUsbFdr0));
            setups.emplace_back(now_, s[1]);
            const uint16_t value = static_cast<uint16_t>(s[2] | s[3] << 8);
            const uint16_t length = static_cast<uint16_t>(s[6] | s[7] << 8);
            const uint32_t control = kCsrEpeds | kEptypeControl << kCsrEptypeShift;
            std::vector<uint8_t> data;
            bool known = true;
            if (s[1] == 6 && (value >> 8) == 1) {
                data = device;
            } else if (s[1] == 6 && (value >> 8) == 2) {
                data = config;
            } else if (s[1] == 0x21) {
                data.assign(coding, coding + 7);
            } else {
                known = s[1] == 5 || s[1] == 9 || s[1] == 1 || s[1] == 0x20 || s[1] == 0x22;
            }
            if (!known || stall_requests.count(s[1])) {
                Change(0, kCsrRxsetup | kCsrStallsent, kFields, control | kCsrForcestall);
                ep0_ = Ep0::kIdle;
                return;
            }
            const bool in = (s[0] & 0x80) && length > 0;
            Change(0, kCsrRxsetup | kCsrStallsent, kFields, control | (in ? kCsrDir : 0));
            if (in) {
                if (data.size() > length) data.resize(length);
                in_packets_.clear();
                for (size_t i = 0; i < data.size(); i += 8)
                    in_packets_.emplace_back(data.begin() + i, data.begin() + std::min(data.size(), i + 8));
                if (data.size() < length && data.size() % 8 == 0) in_packets_.emplace_back();
                ep0_ = Ep0::kDataIn;
                Ep0Packet(in_packets_.front());
                in_packets_.pop_front();
                return;
            }
            pending_address_ = -1;
            if (s[1] == 5) pending_address_ = value;
            if (s[1] == 9) {
                Change(out_ep, 0, kFields, kCsrEpeds | kEptypeBulkOut << kCsrEptypeShift);
                Change(in_ep, 0, kFields, kCsrEpeds | kEptypeBulkIn << kCsrEptypeShift);
                ResetEndpoint(out_ep);
                ResetEndpoint(in_ep);
                ResetBulkState();
                Write(kUsbGlbStat, Read(kUsbGlbStat) | kGlbConfg);
            }
            if (s[1] == 1) {  // CLEAR_FEATURE(ENDPOINT_HALT): the endpoint is reset, its toggle too
                const int ep = s[4] & 0x0F;
                Change(ep, kCsrStallsent, kCsrForcestall, 0);
                ResetEndpoint(ep);
                if (ep == out_ep) {
                    out_bank_ = 0;
                    stall_out = false;
                } else {
                    in_released_ = in_filled_ = false;
                }
            }
            if (s[1] == 0x20) {
                ep0_ = Ep0::kDataOut;
                ep0_out_.clear();
                return;
            }
            Status();
            return;
        }
        if (csr & kCsrRxDataBk0) {
            const uint32_t n = (csr & kCsrRxbytecntMask) >> kCsrRxbytecntShift;
            for (uint32_t i = 0; i < n; ++i) ep0_out_.push_back(static_cast<uint8_t>(Read(kUsbFdr0)));
            Change(0, kCsrRxDataBk0, 0, 0);
            if (ep0_ == Ep0::kDataOut && ep0_out_.size() >= 7) {
                std::copy(ep0_out_.begin(), ep0_out_.begin() + 7, coding);
                Status();
            } else if (ep0_ != Ep0::kDataOut) {
                ep0_ = Ep0::kIdle;  // the host's status stage
            }
            return;
        }
        if (csr & kCsrTxcomp) {
            Change(0, kCsrTxcomp, 0, 0);
            if (ep0_ == Ep0::kDataIn && !in_packets_.empty()) {
                Ep0Packet(in_packets_.front());
                in_packets_.pop_front();
            } else if (ep0_ == Ep0::kStatusIn) {
                if (pending_address_ >= 0) {
                    Write(kUsbFaddr, kFaddrFen | static_cast<uint32_t>(pending_address_));
                    Write(kUsbGlbStat, Read(kUsbGlbStat) | kGlbFadden);
                    address_set_at = now_;
                    pending_address_ = -1;
                }
                ep0_ = Ep0::kIdle;
            }
        }
    }

    void ServeOut() {
        for (;;) {
            const uint32_t csr = Csr(out_ep);
            const uint32_t flag = out_bank_ ? kCsrRxDataBk1 : kCsrRxDataBk0;
            if (!(csr & flag)) return;
            const uint32_t n = (csr & kCsrRxbytecntMask) >> kCsrRxbytecntShift;
            for (uint32_t i = 0; i < n; ++i) received.push_back(static_cast<uint8_t>(Read(kUsbFdr0 + 4u * out_ep)));
            out_packets.push_back(n);
            timeline_->push_back("out " + std::to_string(n));
            Change(out_ep, flag, 0, 0);
            out_bank_ ^= 1;
        }
    }

    // One bank released at a time; the next packet is written into the
    // other bank at once and released when TXCOMP shows.
    void ServeIn() {
        if (in_released_ && (Csr(in_ep) & kCsrTxcomp)) {
            Change(in_ep, kCsrTxcomp, 0, 0);
            in_released_ = false;
        }
        if (!in_filled_ && !to_send.empty()) {
            for (uint8_t b : to_send.front()) Write(kUsbFdr0 + 4u * in_ep, b);
            to_send.pop_front();
            in_filled_ = true;
        }
        if (in_filled_ && !in_released_) {
            Change(in_ep, 0, 0, 0, true);
            in_released_ = true;
            in_filled_ = false;
        }
    }

    UsbPort* port_;
    std::vector<std::string>* timeline_;
    uint64_t now_ = 0;
    Ep0 ep0_ = Ep0::kIdle;
    std::deque<std::vector<uint8_t>> in_packets_;
    std::vector<uint8_t> ep0_out_;
    int pending_address_ = -1;
    int out_bank_ = 0;
    bool in_released_ = false, in_filled_ = false;
};

// The program's side: scripted events, recorded deliveries.
class FakeSide : public HostSide {
 public:
    bool PeekEvent(HostEvent* event) override {
        if (events.empty()) return false;
        *event = events.front();
        return true;
    }
    void PopEvent() override { events.pop_front(); }
    bool MoreMayFollow() override { return more; }
    void Deliver(const uint8_t* data, const uint64_t*, size_t n) override {
        got.insert(got.end(), data, data + n);
        deliveries.push_back(n);
    }
    void DeviceGone(const char* why) override { gone = why; }

    void Add(HostEvent::Kind kind, LineCoding coding = LineCoding()) {
        HostEvent e;
        e.kind = kind;
        e.coding = coding;
        events.push_back(e);
    }
    void Write(const std::vector<uint8_t>& bytes, bool unit_end = true) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            HostEvent e;
            e.byte = bytes[i];
            e.unit_end = unit_end && i + 1 == bytes.size();
            events.push_back(e);
        }
    }

    std::deque<HostEvent> events;
    bool more = false;
    std::vector<uint8_t> got;
    std::vector<size_t> deliveries;
    std::string gone;
};

inline LineCoding Coding(uint32_t rate, uint8_t data_bits = 8, uint8_t parity = 0, uint8_t stop_bits = 0) {
    LineCoding c;
    c.rate = rate;
    c.data_bits = data_bits;
    c.parity = parity;
    c.stop_bits = stop_bits;
    return c;
}

struct Bench {
    explicit Bench(HostDriver driver = HostDriver::kLinux, RomDescriptorLayout layout = RomDescriptorLayout::kSheet)
        : port(UsbPortOptions()), fw(&port, layout, &timeline), host(Options(driver), &port, &side) {}

    CdcHostOptions Options(HostDriver driver) {
        CdcHostOptions o;
        o.driver = driver;
        o.note = [this](const std::string& text) { timeline.push_back(text); };
        o.log = [this](const std::string& text) { logs.push_back(text); };
        return o;
    }
    // Runs the host and (when it runs) the firmware up to chip time until.
    void Run(uint64_t until) {
        while (now < until) {
            uint64_t next = host.NextEventAt(now);
            if (firmware_runs) next = std::min(next, now + kFirmwarePeriod);
            now = std::min(next, until);
            host.AdvanceTo(now);
            if (firmware_runs) now = std::max(now, fw.Service(now));
        }
        host.AdvanceTo(now);  // the firmware's accesses took a few cycles
    }
    void Frames(uint64_t n) { Run(now + n * kFrameCycles); }
    void Up() {
        port.PowerOn();
        host.Attach(now);
        while (!host.Configured() && !host.Gone() && now < 200 * kFrameCycles) Frames(1);
        ASSERT_TRUE(host.Configured());
    }
    void Open(LineCoding coding = Coding(115200)) {
        side.Add(HostEvent::kOpen, coding);
        Frames(5);
    }
    // The host's notes (and the firmware's "out n") from index `from` on.
    std::vector<std::string> Since(size_t from) const {
        return std::vector<std::string>(timeline.begin() + static_cast<long>(from), timeline.end());
    }

    std::vector<std::string> timeline, logs;
    UsbPort port;
    FakeSide side;
    Firmware fw;
    CdcHost host;
    uint64_t now = 0;
    bool firmware_runs = true;
};

using Notes = std::vector<std::string>;

}  // namespace cdc_bench
}  // namespace sim

#endif
