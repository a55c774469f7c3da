#include "sim/rom/rom_usb.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>

#include "sim/sim_log.h"

namespace sim {

namespace {

// CSR fields that keep what was written (everything else is a flag or
// read-only).
constexpr uint32_t kPlainFields = kCsrForcestall | kCsrDir | kCsrEptypeMask | kCsrEpeds;
constexpr uint32_t kRxBanks = kCsrRxDataBk0 | kCsrRxDataBk1;
// Reads of a CSR after which a write that has not shown is given up on. The
// port shows a write within a few dozen cycles; this only keeps a broken port
// model from hanging the simulator.
constexpr int kMaxSettleReads = 1000;
// Chip time of the monitor's register accesses, as firmware's would take:
// a read with its wait state and the test after it (ldr 3 + 1, tst 1), a
// write with its wait state (str 2 + 1).
constexpr uint64_t kRegisterReadCycles = 5;
constexpr uint64_t kRegisterWriteCycles = 3;
constexpr size_t kBulkPacket = 64;
constexpr size_t kControlPacket = 8;
constexpr uint64_t kCyclesPerMs = kMasterClockHz / 1000;
// Longest descriptor table taken from the ROM region.
constexpr size_t kMaxDescriptor = 1024;

// bmRequestType values.
constexpr uint8_t kHostToDevice = 0x00;
constexpr uint8_t kHostToEndpoint = 0x02;
constexpr uint8_t kDeviceToHost = 0x80;
constexpr uint8_t kInterfaceToHost = 0x81;
constexpr uint8_t kEndpointToHost = 0x82;
constexpr uint8_t kClassToInterface = 0x21;
constexpr uint8_t kClassFromInterface = 0xA1;
// bRequest values.
constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kSetFeature = 3;
constexpr uint8_t kSetAddress = 5;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kGetConfiguration = 8;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kSetLineCoding = 0x20;
constexpr uint8_t kGetLineCoding = 0x21;
constexpr uint8_t kSetControlLineState = 0x22;
constexpr uint16_t kEndpointHalt = 0;
constexpr size_t kLineCodingSize = 7;

uint32_t Fdr(int endpoint) { return kUsbFdr0 + 4 * static_cast<uint32_t>(endpoint); }
size_t ByteCount(uint32_t csr) { return (csr & kCsrRxbytecntMask) >> kCsrRxbytecntShift; }

}  // namespace

UsbMonitorLine::UsbMonitorLine(Chip* chip, BusClock* bus, RomDescriptorLayout layout)
    : chip_(chip), bus_(bus), layout_(layout) {
    // The endpoints the monitor serves are the ones its descriptors show.
    if (layout == RomDescriptorLayout::kSwapped) {
        out_ep_ = 2;
        in_ep_ = 1;
    }
}

void UsbMonitorLine::Boot() { chip_->Usb().PowerOn(); }

// --- Registers ---------------------------------------------------------------

uint32_t UsbMonitorLine::Reg(uint32_t offset) {
    uint32_t value = 0;
    chip_->SetNow(chip_->Now() + kRegisterReadCycles);
    if (!chip_->Read32(kUsbBase + offset, &value))
        SimLog("rom monitor: USB register read at offset 0x%03" PRIX32 " refused", offset);
    return value;
}

void UsbMonitorLine::SetReg(uint32_t offset, uint32_t value) {
    chip_->SetNow(chip_->Now() + kRegisterWriteCycles);
    if (!chip_->Write32(kUsbBase + offset, value))
        SimLog("rom monitor: USB register write at offset 0x%03" PRIX32 " refused", offset);
}

uint32_t UsbMonitorLine::ChangeCsr(int endpoint, uint32_t seen, uint32_t clear, uint32_t mask, uint32_t fields,
                                   bool release) {
    // Only flags seen set are cleared; every other flag is written 1, which
    // leaves it alone, so an event the port flags meanwhile is kept.
    clear &= seen & kCsrW0cFlags;
    mask &= kPlainFields;
    fields &= mask;
    if (clear == 0 && !release && (seen & mask) == fields) return seen;  // nothing would change
    const uint32_t value =
        (seen & kPlainFields & ~mask) | fields | (kCsrW0cFlags & ~clear) | (release ? kCsrTxpktrdy : 0);
    SetReg(kUsbCsr0 + 4 * static_cast<uint32_t>(endpoint), value);
    // The write shows a few clocks later; nothing touches this CSR or its
    // FIFO before it does. A released packet shows as TXPKTRDY, or as TXCOMP
    // once the host has taken it.
    uint32_t csr = seen;
    for (int i = 0; i < kMaxSettleReads; ++i) {
        csr = Csr(endpoint);
        if ((csr & clear) == 0 && (csr & mask) == fields &&
            (!release || (csr & (kCsrTxpktrdy | kCsrTxcomp)) != 0))
            return csr;
    }
    SimLog("rom monitor: USB CSR%d write 0x%08" PRIX32 " did not show (CSR reads 0x%08" PRIX32 ")", endpoint, value,
           csr);
    return csr;
}

void UsbMonitorLine::ResetEndpoints(uint32_t mask) {
    SetReg(kUsbRstEp, mask);
    SetReg(kUsbRstEp, 0);
    for (int ep = 0; ep < kUsbMaxEndpoints; ++ep) {
        if (!(mask & (1u << ep))) continue;
        // Completions and packets of before the reset belong to nothing now.
        const uint32_t csr = Csr(ep);
        ChangeCsr(ep, csr, csr & kCsrW0cFlags, 0, 0, false);
    }
}

// --- Serving the port ----------------------------------------------------------

bool UsbMonitorLine::Service() {
    const uint64_t now = chip_->Now();
    if (now > bus_time_) {
        // Code started with G moved chip time on: the bus catches up first.
        bus_->AdvanceTo(now);
        bus_time_ = now;
    }
    const uint32_t isr = Reg(kUsbIsr);
    if (isr & kIsrEndbusres) {
        OnBusReset();
        return true;
    }
    // Suspend, resume and start-of-frame keep every setting; their flags are
    // only cleared.
    const uint32_t latched = isr & (kIsrRxsusp | kIsrRxrsm | kIsrSofint | kIsrWakeup);
    if (latched) SetReg(kUsbIcr, latched);
    return ServeEndpoint0();
}

bool UsbMonitorLine::WaitStep() {
    const uint64_t bus_before = bus_time_;
    if (Service()) return !bus_->Stopped();
    if (bus_->Stopped()) return false;
    // The bus just caught up with the monitor's own time (its register
    // accesses take chip time): what the caller waits for may have come
    // meanwhile, so it looks again before the bus moves on.
    if (bus_time_ != bus_before) return true;
    const uint64_t to = bus_->Idle(chip_->Now());
    chip_->SetNow(to);
    bus_time_ = std::max(bus_time_, to);
    return true;
}

void UsbMonitorLine::OnBusReset() {
    SetReg(kUsbIcr, kIsrEndbusres);
    // The port has disabled every endpoint and forgotten the address: answer
    // at address 0 on endpoint 0 until the host has enumerated the device.
    SetReg(kUsbFaddr, kFaddrFen);
    const uint32_t csr = Csr(0);
    ChangeCsr(0, csr, csr & kCsrW0cFlags, kPlainFields, kCsrEpeds | (kEptypeControl << kCsrEptypeShift), false);
    if (configured_ || in_fill_ > 0 || in_released_) SimLog("rom monitor: USB bus reset; waiting for enumeration");
    configured_ = false;
    configuration_ = 0;
    stage_ = Ep0Stage::kIdle;
    action_ = Ep0Action::kNone;
    out_next_bank_ = 0;
    ResetInState();
}

void UsbMonitorLine::ResetInState() {
    in_fill_ = 0;
    in_released_ = false;
    ++in_resets_;
}

bool UsbMonitorLine::ServeEndpoint0() {
    uint32_t csr = Csr(0);
    if (!(csr & kCsrEpeds)) return false;  // not enabled before the first bus reset
    if (csr & kCsrRxsetup) {
        OnSetup(csr);
        return true;
    }
    switch (stage_) {
        case Ep0Stage::kIdle:
            // Leftovers of a transfer the host gave up on.
            if (csr & (kCsrRxDataBk0 | kCsrTxcomp)) {
                ChangeCsr(0, csr, kCsrRxDataBk0 | kCsrTxcomp, 0, 0, false);
                return true;
            }
            return false;
        case Ep0Stage::kDataIn:
            if (csr & kCsrRxDataBk0) {
                // The host ended the data stage with its status packet.
                ChangeCsr(0, csr, kCsrRxDataBk0 | kCsrTxcomp, 0, 0, false);
                stage_ = Ep0Stage::kIdle;
                return true;
            }
            if (csr & kCsrTxcomp) {
                csr = ChangeCsr(0, csr, kCsrTxcomp, 0, 0, false);
                if (ep0_sent_ < ep0_data_.size() || ep0_zlp_) {
                    SendEp0Packet(csr);
                } else {
                    stage_ = Ep0Stage::kStatusOut;
                }
                return true;
            }
            return false;
        case Ep0Stage::kStatusOut:
            if (csr & kCsrRxDataBk0) {
                ChangeCsr(0, csr, kCsrRxDataBk0, 0, 0, false);
                stage_ = Ep0Stage::kIdle;
                return true;
            }
            return false;
        case Ep0Stage::kDataOut:
            if (csr & kCsrRxDataBk0) {
                const size_t n = ByteCount(csr);
                for (size_t i = 0; i < n; ++i) {
                    const uint8_t byte = static_cast<uint8_t>(Reg(Fdr(0)));
                    if (ep0_data_.size() < ep0_expected_) ep0_data_.push_back(byte);
                }
                csr = ChangeCsr(0, csr, kCsrRxDataBk0, 0, 0, false);
                if (ep0_data_.size() < ep0_expected_ && n == kControlPacket) return true;  // more to come
                if (ep0_data_.size() < ep0_expected_) {
                    // The data stage ended short: refuse the status stage.
                    ++stalled_requests_;
                    SimLog("rom monitor: USB request 0x%02X ended its data stage after %zu of %zu bytes; STALL",
                           setup_[1], ep0_data_.size(), ep0_expected_);
                    ChangeCsr(0, csr, 0, kCsrForcestall, kCsrForcestall, false);
                    stage_ = Ep0Stage::kIdle;
                    action_ = Ep0Action::kNone;
                    return true;
                }
                FinishEp0Action();
                ChangeCsr(0, Csr(0), 0, 0, 0, true);  // status stage: a zero-length packet
                stage_ = Ep0Stage::kStatusIn;
                return true;
            }
            return false;
        case Ep0Stage::kStatusIn:
            if (csr & kCsrTxcomp) {
                ChangeCsr(0, csr, kCsrTxcomp, 0, 0, false);
                stage_ = Ep0Stage::kIdle;
                if (action_ == Ep0Action::kSetAddress) {
                    // Only now: the status stage went at the old address.
                    const uint32_t address = setup_[2] & kFaddrFaddMask;
                    SetReg(kUsbFaddr, kFaddrFen | address);
                    const uint32_t glb = Reg(kUsbGlbStat);
                    SetReg(kUsbGlbStat, address != 0 ? (glb | kGlbFadden) : (glb & ~(kGlbFadden | kGlbConfg)));
                }
                action_ = Ep0Action::kNone;
                return true;
            }
            return false;
    }
    return false;
}

void UsbMonitorLine::OnSetup(uint32_t csr) {
    const size_t n = ByteCount(csr);
    uint8_t s[8] = {};
    for (size_t i = 0; i < n; ++i) {
        const uint8_t byte = static_cast<uint8_t>(Reg(Fdr(0)));
        if (i < sizeof s) s[i] = byte;
    }
    // A SETUP ends whatever the request before it was doing.
    std::memcpy(setup_, s, sizeof setup_);
    stage_ = Ep0Stage::kIdle;
    action_ = Ep0Action::kNone;
    ep0_data_.clear();
    ep0_sent_ = 0;
    ep0_zlp_ = false;
    ep0_expected_ = 0;

    const uint8_t type = s[0];
    const uint8_t request = s[1];
    const uint16_t value = static_cast<uint16_t>(s[2] | (s[3] << 8));
    const uint16_t index = static_cast<uint16_t>(s[4] | (s[5] << 8));
    const uint16_t length = static_cast<uint16_t>(s[6] | (s[7] << 8));
    const int endpoint = index & 0x0F;
    bool ok = n == sizeof s;
    bool in_data = false;
    bool out_data = false;
    if (ok) {
        ok = false;
        if (type == kDeviceToHost && request == kGetDescriptor) {
            // Index 0 only: one configuration, no language table.
            ep0_data_ = (value & 0xFF) == 0 ? Descriptor(value >> 8) : std::vector<uint8_t>();
            ok = in_data = !ep0_data_.empty();
        } else if (type == kDeviceToHost && request == kGetConfiguration) {
            ep0_data_ = {configuration_};
            ok = in_data = true;
        } else if (type == kDeviceToHost && request == kGetStatus) {
            ep0_data_ = {0, 0};  // bus-powered, no remote wakeup
            ok = in_data = true;
        } else if (type == kInterfaceToHost && request == kGetStatus && configured_ && index <= 1) {
            ep0_data_ = {0, 0};
            ok = in_data = true;
        } else if (type == kEndpointToHost && request == kGetStatus &&
                   (endpoint == 0 || (configured_ && endpoint <= 3))) {
            const bool halted = endpoint != 0 && (Csr(endpoint) & kCsrForcestall) != 0;
            ep0_data_ = {static_cast<uint8_t>(halted ? 1 : 0), 0};
            ok = in_data = true;
        } else if (type == kHostToDevice && request == kSetAddress && value <= kFaddrFaddMask && length == 0) {
            action_ = Ep0Action::kSetAddress;
            ok = true;
        } else if (type == kHostToDevice && request == kSetConfiguration && value <= 1 && length == 0) {
            action_ = Ep0Action::kSetConfiguration;
            ok = true;
        } else if (type == kHostToEndpoint && (request == kSetFeature || request == kClearFeature) &&
                   value == kEndpointHalt && configured_ && (endpoint == out_ep_ || endpoint == in_ep_) &&
                   length == 0) {
            action_ = request == kSetFeature ? Ep0Action::kSetHalt : Ep0Action::kClearHalt;
            ok = true;
        } else if (type == kClassToInterface && request == kSetLineCoding && index == 0 &&
                   length == kLineCodingSize) {
            action_ = Ep0Action::kLineCoding;
            ep0_expected_ = kLineCodingSize;
            ok = out_data = true;
        } else if (type == kClassFromInterface && request == kGetLineCoding && index == 0) {
            ep0_data_.assign(line_coding_, line_coding_ + kLineCodingSize);
            ok = in_data = true;
        } else if (type == kClassToInterface && request == kSetControlLineState && index == 0 && length == 0) {
            ok = true;  // DTR and RTS mean nothing to a USB link
        }
    }
    if (in_data) {
        // The data stage holds what was asked for at most; a shorter one
        // that ends on a full packet ends with a zero-length packet.
        if (ep0_data_.size() > length) ep0_data_.resize(length);
        ep0_zlp_ = ep0_data_.size() < length && ep0_data_.size() % kControlPacket == 0;
        in_data = !ep0_data_.empty() || ep0_zlp_;
    }

    // DIR as the request's direction says (a refused request's too, so the
    // port's data stage direction is never wrong) and FORCESTALL for a
    // refusal go in before RXSETUP is cleared; a refusal of before and
    // leftovers of the last transfer go now.
    const bool to_host = (type & kDeviceToHost) != 0 && length > 0;
    const uint32_t fields = (to_host ? kCsrDir : 0) | (ok ? 0 : kCsrForcestall);
    csr = ChangeCsr(0, csr, kCsrStallsent | kCsrTxcomp | kCsrRxDataBk0, kCsrDir | kCsrForcestall, fields, false);
    csr = ChangeCsr(0, csr, kCsrRxsetup, 0, 0, false);
    if (!ok) {
        ++stalled_requests_;
        SimLog("rom monitor: USB request type 0x%02X request 0x%02X value 0x%04X index 0x%04X length %u refused "
               "with STALL", type, request, value, index, length);
        return;
    }
    if (in_data) {
        stage_ = Ep0Stage::kDataIn;
        SendEp0Packet(csr);
        return;
    }
    if (out_data) {
        stage_ = Ep0Stage::kDataOut;
        return;
    }
    FinishEp0Action();
    ChangeCsr(0, Csr(0), 0, 0, 0, true);  // status stage: a zero-length packet
    stage_ = Ep0Stage::kStatusIn;
}

void UsbMonitorLine::SendEp0Packet(uint32_t csr) {
    const size_t n = std::min(kControlPacket, ep0_data_.size() - ep0_sent_);
    for (size_t i = 0; i < n; ++i) SetReg(Fdr(0), ep0_data_[ep0_sent_ + i]);
    ep0_sent_ += n;
    if (n == 0) ep0_zlp_ = false;  // this is the zero-length end
    ChangeCsr(0, csr, 0, 0, 0, true);
}

void UsbMonitorLine::FinishEp0Action() {
    const int endpoint = setup_[4] & 0x0F;
    switch (action_) {
        case Ep0Action::kNone:
        case Ep0Action::kSetAddress:  // after the status stage
            return;
        case Ep0Action::kSetConfiguration:
            Configure(setup_[2]);
            return;
        case Ep0Action::kSetHalt: {
            const uint32_t csr = Csr(endpoint);
            ChangeCsr(endpoint, csr, 0, kCsrForcestall, kCsrForcestall, false);
            return;
        }
        case Ep0Action::kClearHalt: {
            // The endpoint starts afresh, toggle included, as the host's
            // side does after this request.
            const uint32_t csr = Csr(endpoint);
            ChangeCsr(endpoint, csr, kCsrStallsent, kCsrForcestall, 0, false);
            ResetEndpoints(1u << endpoint);
            if (endpoint == out_ep_) out_next_bank_ = 0;
            if (endpoint == in_ep_) {
                if (in_fill_ > 0 || in_released_)
                    SimLog("rom monitor: CLEAR_FEATURE(ENDPOINT_HALT) on endpoint %d drops an answer", endpoint);
                ResetInState();
            }
            return;
        }
        case Ep0Action::kLineCoding:
            std::memcpy(line_coding_, ep0_data_.data(), kLineCodingSize);
            return;
    }
}

void UsbMonitorLine::Configure(uint8_t value) {
    uint32_t glb = Reg(kUsbGlbStat);
    if (value == 1) {
        for (int ep = 1; ep <= 3; ++ep) {
            const uint32_t type = ep == out_ep_ ? kEptypeBulkOut : ep == in_ep_ ? kEptypeBulkIn : kEptypeIntIn;
            const uint32_t csr = Csr(ep);
            ChangeCsr(ep, csr, 0, kPlainFields, kCsrEpeds | (type << kCsrEptypeShift), false);
        }
        ResetEndpoints(0xEu);
        glb |= kGlbConfg;
    } else {
        for (int ep = 1; ep <= 3; ++ep) {
            const uint32_t csr = Csr(ep);
            ChangeCsr(ep, csr, 0, kCsrEpeds | kCsrForcestall, 0, false);
        }
        glb &= ~kGlbConfg;
    }
    SetReg(kUsbGlbStat, glb);
    configured_ = value == 1;
    configuration_ = value;
    out_next_bank_ = 0;
    ResetInState();
}

std::vector<uint8_t> UsbMonitorLine::Descriptor(int type) {
    if (layout_ == RomDescriptorLayout::kNone) {
        if (type == 1) return DeviceDescriptor();
        if (type == 2) return ConfigurationDescriptor(RomDescriptorLayout::kSheet);
        return {};
    }
    uint8_t b0 = 0, b2 = 0, b3 = 0;
    if (type == 1) {
        chip_->Read8(kRomDeviceDescriptor, &b0);
        return RomTable(kRomDeviceDescriptor, b0);
    }
    if (type == 2) {
        chip_->Read8(kRomConfigDescriptor + 2, &b2);
        chip_->Read8(kRomConfigDescriptor + 3, &b3);
        return RomTable(kRomConfigDescriptor, static_cast<size_t>(b2 | (b3 << 8)));
    }
    return {};
}

std::vector<uint8_t> UsbMonitorLine::RomTable(uint32_t address, size_t length) {
    std::vector<uint8_t> table;
    if (length < 2 || length > kMaxDescriptor) return table;  // no table there
    table.resize(length);
    for (size_t i = 0; i < length; ++i) chip_->Read8(address + static_cast<uint32_t>(i), &table[i]);
    return table;
}

// --- Host bytes ------------------------------------------------------------

bool UsbMonitorLine::TakeOutPacket() {
    if (!configured_) return false;
    for (;;) {
        const uint32_t csr = Csr(out_ep_);
        const uint32_t due = out_next_bank_ ? kCsrRxDataBk1 : kCsrRxDataBk0;
        uint32_t bank = due;
        if (!(csr & due)) {
            if (!(csr & kRxBanks)) return false;
            // Only the other bank is full: the note went wrong (code started
            // with G took packets). That bank is the older one; go on from it.
            bank = csr & kRxBanks;
            out_next_bank_ ^= 1;
            if (!resync_logged_) {
                SimLog("rom monitor: USB OUT packet in bank %d, bank %d was due; following the port",
                       out_next_bank_, out_next_bank_ ^ 1);
                resync_logged_ = true;
            }
        }
        const size_t n = std::min(ByteCount(csr), sizeof rx_);
        for (size_t i = 0; i < n; ++i) rx_[i] = static_cast<uint8_t>(Reg(Fdr(out_ep_)));
        // The bank goes back to the port before its bytes are served.
        ChangeCsr(out_ep_, csr, bank, 0, 0, false);
        out_next_bank_ ^= 1;
        rx_length_ = n;
        rx_pos_ = 0;
        if (n > 0) return true;
        // A zero-length packet carries nothing: look at the next bank.
    }
}

bool UsbMonitorLine::PollByte(uint8_t* byte) {
    if (rx_pos_ >= rx_length_) {
        Service();
        if (!TakeOutPacket()) return false;
    }
    *byte = rx_[rx_pos_++];
    return true;
}

bool UsbMonitorLine::WaitByte(int max_ms) {
    if (rx_pos_ < rx_length_) return true;
    const auto wall_start = std::chrono::steady_clock::now();
    const uint64_t chip_start = chip_->Now();
    const uint64_t chip_limit = max_ms > 0 ? static_cast<uint64_t>(max_ms) * kCyclesPerMs : 0;
    for (;;) {
        const bool did = Service();
        if (TakeOutPacket()) return true;
        if (bus_->Stopped()) return false;
        // Bounded by wall time as asked, and by as much chip time, so that a
        // bus whose waits cost no wall time comes back as well.
        const auto waited = std::chrono::steady_clock::now() - wall_start;
        if (chip_->Now() - chip_start >= chip_limit || waited >= std::chrono::milliseconds(max_ms)) return false;
        if (!did) {
            const uint64_t to = bus_->Idle(chip_->Now());
            chip_->SetNow(to);
            bus_time_ = std::max(bus_time_, to);
        }
    }
}

bool UsbMonitorLine::Stopped() { return bus_->Stopped(); }

// --- Answers -----------------------------------------------------------------

bool UsbMonitorLine::WaitInTaken() {
    const uint64_t resets = in_resets_;
    for (;;) {
        const uint32_t csr = Csr(in_ep_);
        if (csr & kCsrTxcomp) {
            ChangeCsr(in_ep_, csr, kCsrTxcomp, 0, 0, false);
            in_released_ = false;
            return true;
        }
        if (!WaitStep() || in_resets_ != resets) return false;
    }
}

bool UsbMonitorLine::ReleaseInBank() {
    const uint64_t resets = in_resets_;
    // One bank waits for the host at a time: the next is released when
    // TXCOMP shows the last has gone.
    if (in_released_ && !WaitInTaken()) return false;
    if (in_resets_ != resets || !configured_) return false;
    ChangeCsr(in_ep_, Csr(in_ep_), 0, 0, 0, true);
    in_released_ = true;
    in_fill_ = 0;
    return true;
}

void UsbMonitorLine::SendByte(uint8_t byte) {
    if (dropping_answer_) return;
    if (!configured_ || (in_fill_ == kBulkPacket && !ReleaseInBank())) {
        // Bus reset, endpoint reset or stop in the middle of the answer: its
        // banks are gone, and so is the rest of it.
        if (!bus_->Stopped()) SimLog("rom monitor: the USB link went away during an answer; the rest is dropped");
        dropping_answer_ = true;
        return;
    }
    SetReg(Fdr(in_ep_), byte);
    ++in_fill_;
}

void UsbMonitorLine::EndOfAnswer() {
    if (dropping_answer_) {
        dropping_answer_ = false;
        return;
    }
    if (in_fill_ == 0) {
        if (in_released_) WaitInTaken();
        return;
    }
    // The last packet is short, or a zero-length one follows a full one, so
    // that the host's transfer ends with the answer.
    const bool full = in_fill_ == kBulkPacket;
    if (!ReleaseInBank()) return;
    if (full && !ReleaseInBank()) return;
    // The answer is complete once the host has it: code started by the next
    // frame finds the IN endpoint idle.
    WaitInTaken();
}

}  // namespace sim
