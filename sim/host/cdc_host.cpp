#include "sim/host/cdc_host.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace sim {
namespace {

constexpr size_t kBulkPacket = 64;    // bulk OUT and IN packets of the configuration
constexpr size_t kControlPacket = 8;  // endpoint 0
// The device gets 2 ms after SET_ADDRESS before the new address is used.
constexpr uint64_t kSetAddressRecoveryCycles = 2 * kFrameCycles;
// Enumeration attempts (each after a port reset) before the port is gone,
// and tries of the requests within one attempt (see the header).
constexpr int kLinuxAttempts = 4;
constexpr int kWindowsAttempts = 3;
constexpr int kLinuxDescriptorTries = 3;
constexpr int kLinuxAddressTries = 2;
constexpr uint64_t kLinuxAddressRetryCycles = 200 * kFrameCycles;
constexpr uint8_t kAddress = 1;  // the address the host gives the device

// bmRequestType and bRequest of the requests the driver makes.
constexpr uint8_t kToDevice = 0x00, kFromDevice = 0x80, kToEndpoint = 0x02;
constexpr uint8_t kClassToInterface = 0x21, kClassFromInterface = 0xA1;
constexpr uint8_t kGetDescriptor = 6, kSetAddress = 5, kSetConfiguration = 9, kClearFeature = 1;
constexpr uint8_t kSetLineCoding = 0x20, kGetLineCoding = 0x21, kSetControlLineState = 0x22;
constexpr uint8_t kDescDevice = 1, kDescConfiguration = 2, kDescInterface = 4, kDescEndpoint = 5;
constexpr uint8_t kClassComm = 0x02, kClassData = 0x0A;
constexpr uint16_t kDtrRts = 0x0003;

uint64_t NextFrameStart(uint64_t t) { return (t / kFrameCycles + 1) * kFrameCycles; }

std::string Hex2(uint8_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
}

// "115200 8N1", "9600 7E1.5".
std::string CodingText(const LineCoding& c) {
    static const char kParity[] = "NOEMS";
    std::string text = std::to_string(c.rate) + " " + std::to_string(c.data_bits);
    text += c.parity < 5 ? kParity[c.parity] : '?';
    text += c.stop_bits == 0 ? "1" : c.stop_bits == 1 ? "1.5" : c.stop_bits == 2 ? "2" : "?";
    return text;
}

}  // namespace

void LineCoding::ToBytes(uint8_t out[7]) const {
    out[0] = static_cast<uint8_t>(rate);
    out[1] = static_cast<uint8_t>(rate >> 8);
    out[2] = static_cast<uint8_t>(rate >> 16);
    out[3] = static_cast<uint8_t>(rate >> 24);
    out[4] = stop_bits;
    out[5] = parity;
    out[6] = data_bits;
}

LineCoding LineCoding::FromBytes(const uint8_t in[7]) {
    LineCoding c;
    c.rate = static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
             static_cast<uint32_t>(in[3]) << 24;
    c.stop_bits = in[4];
    c.parity = in[5];
    c.data_bits = in[6];
    return c;
}

CdcHost::CdcHost(const CdcHostOptions& options, UsbBusDevice* port, HostSide* side)
    : options_(options), port_(port), side_(side) {
    size_t size = options_.in_transfer_size;
    if (size == 0) size = options_.driver == HostDriver::kWindows ? 4096 : 128;
    // A transfer holds whole packets.
    in_transfer_size_ = (size + kBulkPacket - 1) / kBulkPacket * kBulkPacket;
    if (options_.out_queue_limit == 0) options_.out_queue_limit = 1;
}

void CdcHost::Log(const std::string& text) const {
    if (options_.log) options_.log(text);
}

void CdcHost::Note(const std::string& text) const {
    if (options_.note) options_.note(text);
}

bool CdcHost::Configured() const { return phase_ == Phase::kRunning; }
bool CdcHost::Gone() const { return phase_ == Phase::kGone; }
const std::vector<uint8_t>& CdcHost::DeviceDescriptor() const { return device_descriptor_; }
const std::vector<uint8_t>& CdcHost::ConfigurationDescriptor() const { return config_descriptor_; }
const LineCoding& CdcHost::DeviceLineCoding() const { return device_coding_; }
const CdcHostStats& CdcHost::Stats() const { return stats_; }

void CdcHost::Attach(uint64_t now) {
    AdvanceTo(now);
    if (phase_ == Phase::kGone) {
        Log("the device came onto the bus again; the port stays gone");
        return;
    }
    if (phase_ != Phase::kDetached) {
        // A new connection on the hub port ends the device the host knew.
        MakeGone("the device left the bus and came back");
        return;
    }
    StartReset(now);
}

void CdcHost::Detach(uint64_t now) {
    AdvanceTo(now);
    if (phase_ == Phase::kGone || phase_ == Phase::kDetached) return;
    MakeGone("the device left the bus");
}

// --- Time ---

uint64_t CdcHost::StepTime() const {
    const uint64_t start = frame_ * kFrameCycles;
    return step_ < kSlotsPerFrame ? start + static_cast<uint64_t>(step_) * kSlotCycles : start + kFrameCycles;
}

uint64_t CdcHost::StepAfter(uint64_t t) {
    const uint64_t start = t / kFrameCycles * kFrameCycles;
    const uint64_t slot = (t - start) / kSlotCycles + 1;
    return slot < static_cast<uint64_t>(kSlotsPerFrame) ? start + slot * kSlotCycles : start + kFrameCycles;
}

bool CdcHost::Busy(uint64_t t) const {
    if (phase_ != Phase::kEnumerating && phase_ != Phase::kRunning) return false;
    if (!finished_.empty() || active_) return true;
    if (!control_queue_.empty() && t >= control_not_before_) return true;
    if (phase_ != Phase::kRunning) return false;
    HostEvent event;
    if (side_->PeekEvent(&event)) return true;
    if (!out_halted_ && (out_packet_ready_ || OutPacketLength() > 0)) return true;
    return port_open_ && !in_halted_ && port_->InPending(in_ep_ & 0x0F);
}

uint64_t CdcHost::TimerBound() const {
    uint64_t bound = UINT64_MAX;
    if (phase_ == Phase::kResetting) bound = reset_end_;
    if (!active_ && !control_queue_.empty()) bound = std::min(bound, control_not_before_);
    if (held_armed_ && !held_logged_) bound = std::min(bound, held_since_ + kHeldCycles);
    return bound;
}

void CdcHost::AdvanceTo(uint64_t now) {
    for (;;) {
        const uint64_t t = StepTime();
        if (phase_ == Phase::kResetting && reset_end_ <= now && reset_end_ <= t) {
            EndReset();
            continue;
        }
        if (t > now) break;
        if (!Busy(t)) {
            // Nothing happens before the next timer: go straight to the last
            // frame that starts by then (its start-of-frame and slots run).
            // (A frame end that falls on a timer's time runs.)
            const uint64_t bound = TimerBound();
            const uint64_t frame = std::min(now, bound == 0 ? 0 : bound - 1) / kFrameCycles;
            if (frame > frame_) {
                frame_ = frame;
                step_ = 0;
                continue;
            }
        }
        DoStep(t);
        if (++step_ > kSlotsPerFrame) {
            step_ = 0;
            ++frame_;
        }
    }
}

uint64_t CdcHost::NextEventAt(uint64_t now) const {
    const uint64_t next_step = StepAfter(now);
    if (Busy(next_step)) return next_step;
    uint64_t next = UINT64_MAX;
    if (phase_ == Phase::kResetting) next = reset_end_;
    if ((phase_ == Phase::kEnumerating || phase_ == Phase::kRunning) && !active_ && !control_queue_.empty())
        next = std::min(next, control_not_before_ == 0 ? next_step : StepAfter(control_not_before_ - 1));
    if (held_armed_ && !held_logged_) next = std::min(next, NextFrameStart(held_since_ + kHeldCycles - 1));
    if (next <= now) next = next_step;
    return next;
}

void CdcHost::DoStep(uint64_t t) {
    if (step_ == kSlotsPerFrame) {
        EndOfFrame(t);
        return;
    }
    if (phase_ != Phase::kEnumerating && phase_ != Phase::kRunning) return;
    if (step_ == 0) port_->StartOfFrame(static_cast<uint32_t>(frame_ & kUsbFrameNumberMask), t);
    Slot(t);
}

void CdcHost::Slot(uint64_t t) {
    if (phase_ == Phase::kRunning) TakeEvents(t);
    if (phase_ == Phase::kEnumerating || phase_ == Phase::kRunning) ControlTransaction(t);
    if (phase_ != Phase::kRunning) return;
    // One bulk transaction that moves data per slot; the direction that moved
    // data last time goes second.
    const bool can_in = port_open_ && !in_halted_ && t >= in_retry_at_;
    const bool can_out = !out_halted_ && t >= out_retry_at_ && (out_packet_ready_ || FormOutPacket());
    if (last_bulk_out_) {
        if (can_in && TryIn(t)) {
            last_bulk_out_ = false;
        } else if (can_out && TryOut(t)) {
            last_bulk_out_ = true;
        }
    } else {
        if (can_out && TryOut(t)) {
            last_bulk_out_ = true;
        } else if (can_in && TryIn(t)) {
            last_bulk_out_ = false;
        }
    }
}

void CdcHost::EndOfFrame(uint64_t t) {
    while (!finished_.empty()) {
        const Transfer transfer = std::move(finished_.front());
        finished_.pop_front();
        if (!transfer.data.empty()) side_->Deliver(transfer.data.data(), transfer.tags.data(), transfer.data.size());
    }
    if (held_armed_ && !held_logged_ && t >= held_since_ + kHeldCycles) {
        held_logged_ = true;
        ++stats_.missing_zlp;
        Log(std::to_string(transfer_.data.size()) +
            " bytes held on the host: the device's last packet was full and no zero-length packet followed");
    }
}

// --- The program's events ---

void CdcHost::TakeEvents(uint64_t t) {
    HostEvent event;
    while (phase_ == Phase::kRunning && side_->PeekEvent(&event)) {
        const bool out_busy = out_packet_ready_ || !out_queue_.empty();
        switch (event.kind) {
            case HostEvent::kData:
                // Not before the program's open or line change has returned (its
                // requests have ended); no more than the driver holds.
                if (call_pending_ || out_queue_.size() >= options_.out_queue_limit) return;
                out_queue_.push_back(OutByte{event.byte, event.tag, event.unit_end});
                side_->PopEvent();
                break;
            case HostEvent::kOpen:
                if (!ControlIdle()) return;
                side_->PopEvent();
                QueueOpen(event.coding);
                break;
            case HostEvent::kLineSettings:
                if (!ControlIdle()) return;
                side_->PopEvent();
                QueueLineSettings(event.coding);
                break;
            case HostEvent::kClose:
                // The close waits until what was written has gone.
                if (!ControlIdle() || out_busy) return;
                side_->PopEvent();
                Queue(Request::kSetControlLineState, kClassToInterface, kSetControlLineState, 0, comm_interface_, {},
                      0, After::kPortClosed);
                break;
            case HostEvent::kBusReset:
                if (!ControlIdle() || out_busy) return;
                side_->PopEvent();
                StartReset(t);
                return;
        }
    }
}

void CdcHost::QueueOpen(const LineCoding& coding) {
    call_pending_ = true;
    if (options_.driver == HostDriver::kWindows) {
        QueueClearHalt(out_ep_, false);
        QueueClearHalt(in_ep_, false);
    }
    Queue(Request::kSetControlLineState, kClassToInterface, kSetControlLineState, kDtrRts, comm_interface_, {}, 0);
    Queue(Request::kGetLineCoding, kClassFromInterface, kGetLineCoding, 0, comm_interface_, {}, 7);
    uint8_t bytes[7];
    coding.ToBytes(bytes);
    Queue(Request::kSetLineCoding, kClassToInterface, kSetLineCoding, 0, comm_interface_,
          std::vector<uint8_t>(bytes, bytes + 7), 0, After::kPortOpen);
    line_coding_ = coding;
    line_set_ = true;
}

void CdcHost::QueueLineSettings(const LineCoding& coding) {
    if (options_.driver == HostDriver::kWindows || !line_set_ || coding != line_coding_) {
        uint8_t bytes[7];
        coding.ToBytes(bytes);
        Queue(Request::kSetLineCoding, kClassToInterface, kSetLineCoding, 0, comm_interface_,
              std::vector<uint8_t>(bytes, bytes + 7), 0);
        line_coding_ = coding;
        line_set_ = true;
    }
    call_pending_ = true;
    Queue(Request::kSetControlLineState, kClassToInterface, kSetControlLineState, 0, comm_interface_, {}, 0,
          After::kCallReturns);
}

// --- Bus reset and enumeration ---

void CdcHost::StartReset(uint64_t t, bool first) {
    ++stats_.bus_resets;
    Note("bus reset");
    if (first) attempts_ = 0;
    phase_ = Phase::kResetting;
    reset_end_ = t + kResetCycles;
    address_ = 0;
    active_ = false;
    control_queue_.clear();
    control_not_before_ = 0;
    if (!transfer_.data.empty())
        Log(std::to_string(transfer_.data.size()) + " bytes of an unfinished IN transfer dropped by the bus reset");
    transfer_ = Transfer();
    held_armed_ = false;
    held_logged_ = false;
    out_halted_ = in_halted_ = false;
    out_retry_at_ = in_retry_at_ = 0;
}

void CdcHost::EndReset() {
    port_->BusReset(reset_end_);
    phase_ = Phase::kEnumerating;
    control_not_before_ = reset_end_ + options_.reset_recovery_cycles;
    ++attempts_;
    Enumerate(Request::kDeviceDescriptor64, 64);
}

void CdcHost::EnumerationRequestFailed(const ControlRequest& r, Result result, const std::string& text, uint64_t t) {
    if (result == Result::kNoAnswer) ++stats_.enumeration_unanswered;
    if (r.tries > 1) {
        ControlRequest again = r;
        --again.tries;
        control_queue_.push_front(again);
        control_not_before_ = t + again.retry_gap;
        return;
    }
    const int attempts = options_.driver == HostDriver::kWindows ? kWindowsAttempts : kLinuxAttempts;
    if (attempts_ >= attempts) {
        EnumerationFailed(text);
        return;
    }
    ++stats_.enumeration_retries;
    Note("enumeration attempt " + std::to_string(attempts_) + " failed: " + text);
    // The port is reset again after a pause, and the enumeration starts over.
    StartReset(t + kAttemptPauseCycles - kResetCycles, false);
}

void CdcHost::Enumerate(Request request, uint16_t length) {
    const bool linux_driver = options_.driver == HostDriver::kLinux;
    switch (request) {
        case Request::kDeviceDescriptor64:
        case Request::kDeviceDescriptor:
            Queue(request, kFromDevice, kGetDescriptor, kDescDevice << 8, 0, {}, length);
            break;
        case Request::kConfigHead:
        case Request::kConfigAll:
            Queue(request, kFromDevice, kGetDescriptor, kDescConfiguration << 8, 0, {}, length);
            break;
        case Request::kSetAddress:
            Queue(request, kToDevice, kSetAddress, kAddress, 0, {}, 0);
            break;
        case Request::kSetConfiguration:
            Queue(request, kToDevice, kSetConfiguration, config_value_, 0, {}, 0);
            return;
        default:
            return;
    }
    // Linux tries the descriptor reads and SET_ADDRESS again within one attempt.
    if (!linux_driver) return;
    ControlRequest& queued = control_queue_.back();
    if (request == Request::kSetAddress) {
        queued.tries = kLinuxAddressTries;
        queued.retry_gap = kLinuxAddressRetryCycles;
    } else {
        queued.tries = kLinuxDescriptorTries;
    }
}

void CdcHost::EnumerationFailed(const std::string& why) {
    Note("enumeration failed: " + why);
    MakeGone("enumeration failed: " + why);
}

void CdcHost::MakeGone(const std::string& why) {
    phase_ = Phase::kGone;
    active_ = false;
    control_queue_.clear();
    out_queue_.clear();
    out_packet_ready_ = false;
    port_open_ = false;
    call_pending_ = false;
    transfer_ = Transfer();
    finished_.clear();
    held_armed_ = false;
    Log("the port is gone: " + why);
    side_->DeviceGone(why.c_str());
}

bool CdcHost::ParseConfiguration(const std::vector<uint8_t>& config, std::string* why) {
    // Bulk endpoints of the CDC data interface, else the first bulk ones.
    int data_out = -1, data_in = -1, any_out = -1, any_in = -1;
    int interface_class = -1;
    bool comm_found = false;
    size_t pos = 0;
    while (pos < config.size()) {
        const size_t length = config[pos];
        if (length < 2 || pos + length > config.size()) {
            *why = "configuration descriptor malformed at byte " + std::to_string(pos);
            return false;
        }
        const uint8_t type = config[pos + 1];
        if (type == kDescInterface && length >= 9) {
            interface_class = config[pos + 5];
            if (interface_class == kClassComm && !comm_found) {
                comm_interface_ = config[pos + 2];
                comm_found = true;
            }
        } else if (type == kDescEndpoint && length >= 7 && (config[pos + 3] & 3) == 2 &&
                   (config[pos + 2] & 0x0F) != 0) {
            const int address = config[pos + 2];
            const bool in = (address & 0x80) != 0;
            int& any = in ? any_in : any_out;
            int& data = in ? data_in : data_out;
            if (any < 0) any = address;
            if (interface_class == kClassData && data < 0) data = address;
        }
        pos += length;
    }
    if (data_out >= 0 && data_in >= 0) {
        any_out = data_out;
        any_in = data_in;
    }
    if (any_out < 0 || any_in < 0) {
        *why = "no bulk OUT and bulk IN endpoint in the configuration";
        return false;
    }
    out_ep_ = static_cast<uint8_t>(any_out);
    in_ep_ = static_cast<uint8_t>(any_in);
    config_value_ = config[5];
    return true;
}

// --- Control requests ---

void CdcHost::Queue(Request request, uint8_t type, uint8_t code, uint16_t value, uint16_t index,
                    std::vector<uint8_t> out, uint16_t in_length, After after, bool front) {
    ControlRequest r;
    r.request = request;
    const uint16_t length = out.empty() ? in_length : static_cast<uint16_t>(out.size());
    const uint8_t setup[8] = {type,
                              code,
                              static_cast<uint8_t>(value),
                              static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(index),
                              static_cast<uint8_t>(index >> 8),
                              static_cast<uint8_t>(length),
                              static_cast<uint8_t>(length >> 8)};
    std::copy(setup, setup + 8, r.setup);
    r.out = std::move(out);
    r.after = after;
    if (front) {
        control_queue_.push_front(std::move(r));
    } else {
        control_queue_.push_back(std::move(r));
    }
}

void CdcHost::HaltCleared(uint8_t endpoint) {
    if (endpoint == out_ep_) {
        out_toggle_ = 0;
        out_halted_ = false;
    }
    if (endpoint == in_ep_) {
        in_toggle_ = 0;
        in_halted_ = false;
    }
}

void CdcHost::QueueClearHalt(uint8_t endpoint, bool front) {
    Queue(Request::kClearHalt, kToEndpoint, kClearFeature, 0, endpoint, {}, 0, After::kNothing, front);
}

void CdcHost::ControlTransaction(uint64_t t) {
    if (!active_) {
        if (control_queue_.empty() || t < control_not_before_) return;
        request_ = std::move(control_queue_.front());
        control_queue_.pop_front();
        active_ = true;
        stage_ = Stage::kSetup;
        request_start_ = t;
        control_retry_at_ = 0;
        control_toggle_ = 0;
        control_no_answer_ = 0;
        control_out_pos_ = 0;
        control_in_.clear();
        control_babble_ = false;
        ++stats_.control_requests;
    }
    if (t - request_start_ >= kControlTimeoutCycles) {
        FinishRequest(Result::kTimedOut, t);
        return;
    }
    if (t < control_retry_at_) return;
    const size_t length = static_cast<size_t>(request_.setup[6] | request_.setup[7] << 8);
    Handshake h = Handshake::kNak;
    switch (stage_) {
        case Stage::kSetup:
            h = port_->Setup(address_, request_.setup, t);
            if (h == Handshake::kAck) {
                control_toggle_ = 1;
                stage_ = length == 0 ? Stage::kStatusIn
                                     : (request_.setup[0] & kFromDevice) != 0 ? Stage::kDataIn : Stage::kDataOut;
            }
            break;
        case Stage::kDataIn: {
            InPacket packet;
            h = port_->In(address_, 0, &packet, t);
            if (h != Handshake::kAck || packet.toggle != control_toggle_) break;  // a repeat is acknowledged, dropped
            control_toggle_ ^= 1;
            const size_t room = length - control_in_.size();
            const size_t n = std::min(packet.data.size(), room);
            if (packet.data.size() > room || packet.data.size() > kControlPacket) control_babble_ = true;
            control_in_.insert(control_in_.end(), packet.data.begin(), packet.data.begin() + static_cast<long>(n));
            if (packet.data.size() < kControlPacket || control_in_.size() >= length || control_babble_) {
                stage_ = Stage::kStatusOut;
                control_toggle_ = 1;
            }
            break;
        }
        case Stage::kDataOut: {
            const size_t n = std::min(kControlPacket, request_.out.size() - control_out_pos_);
            h = port_->Out(address_, 0, request_.out.data() + control_out_pos_, n, control_toggle_, nullptr, t);
            if (h != Handshake::kAck) break;
            control_out_pos_ += n;
            control_toggle_ ^= 1;
            if (control_out_pos_ == request_.out.size()) {
                stage_ = Stage::kStatusIn;
                control_toggle_ = 1;
            }
            break;
        }
        case Stage::kStatusIn: {
            InPacket packet;
            h = port_->In(address_, 0, &packet, t);
            if (h != Handshake::kAck || packet.toggle != 1) break;
            if (!packet.data.empty()) control_babble_ = true;
            FinishRequest(control_babble_ ? Result::kUnexpected : Result::kOk, t);
            return;
        }
        case Stage::kStatusOut:
            h = port_->Out(address_, 0, nullptr, 0, 1, nullptr, t);
            if (h != Handshake::kAck) break;
            FinishRequest(control_babble_ ? Result::kUnexpected : Result::kOk, t);
            return;
    }
    if (h == Handshake::kStall) {
        FinishRequest(Result::kStalled, t);
    } else if (h == Handshake::kNone) {
        // The host controller tries the transaction again at once, and after
        // its last try reports a transaction error.
        ++stats_.unanswered;
        if (++control_no_answer_ >= kTransactionTries) {
            FinishRequest(Result::kNoAnswer, t);
        } else {
            control_retry_at_ = t + kSlotCycles;
        }
    } else {
        control_no_answer_ = 0;
    }
}

std::string CdcHost::Describe(const ControlRequest& r, Result result) const {
    const uint16_t value = static_cast<uint16_t>(r.setup[2] | r.setup[3] << 8);
    std::string text;
    switch (r.request) {
        case Request::kDeviceDescriptor64:
        case Request::kDeviceDescriptor:
            text = "GET_DESCRIPTOR device";
            break;
        case Request::kConfigHead:
        case Request::kConfigAll:
            text = "GET_DESCRIPTOR configuration";
            break;
        case Request::kSetAddress:
            text = "SET_ADDRESS " + std::to_string(value);
            break;
        case Request::kSetConfiguration:
            text = "SET_CONFIGURATION " + std::to_string(value);
            break;
        case Request::kClearHalt:
            text = "CLEAR_FEATURE ENDPOINT_HALT " + Hex2(r.setup[4]);
            break;
        case Request::kSetControlLineState:
            text = "SET_CONTROL_LINE_STATE " + std::to_string(value);
            break;
        case Request::kGetLineCoding:
            text = "GET_LINE_CODING";
            if (result == Result::kOk) text += " " + CodingText(device_coding_);
            break;
        case Request::kSetLineCoding:
            text = "SET_LINE_CODING " + CodingText(LineCoding::FromBytes(r.out.data()));
            break;
    }
    const bool reads = (r.setup[0] & kFromDevice) != 0 && r.request != Request::kGetLineCoding;
    switch (result) {
        case Result::kOk:
            return text + (reads ? " " + std::to_string(control_in_.size()) + " bytes ok" : " ok");
        case Result::kStalled:
            return text + " stalled";
        case Result::kTimedOut:
            return text + " timed out";
        case Result::kNoAnswer:
            return text + " not answered";
        case Result::kUnexpected:
            break;
    }
    return text + " answered unexpectedly (" + std::to_string(control_in_.size()) + " bytes)";
}

void CdcHost::FinishRequest(Result result, uint64_t t) {
    active_ = false;
    const ControlRequest r = std::move(request_);
    const std::vector<uint8_t>& in = control_in_;
    // Answers the driver cannot use.
    if (result == Result::kOk) {
        switch (r.request) {
            case Request::kDeviceDescriptor64:
                if (in.size() < 8 || in[1] != kDescDevice) result = Result::kUnexpected;
                break;
            case Request::kDeviceDescriptor:
                if (in.size() != 18 || in[0] != 18 || in[1] != kDescDevice) result = Result::kUnexpected;
                break;
            case Request::kConfigHead:
                if (in.size() < 9 || in[1] != kDescConfiguration || (in[2] | in[3] << 8) < 9)
                    result = Result::kUnexpected;
                break;
            case Request::kConfigAll:
                if (in.size() != static_cast<size_t>(r.setup[6] | r.setup[7] << 8) || in[1] != kDescConfiguration)
                    result = Result::kUnexpected;
                break;
            case Request::kGetLineCoding:
                if (in.size() != 7) {
                    result = Result::kUnexpected;
                } else {
                    device_coding_ = LineCoding::FromBytes(in.data());
                }
                break;
            default:
                break;
        }
    }
    switch (result) {
        case Result::kOk:
            ++stats_.control_ok;
            break;
        case Result::kStalled:
            ++stats_.control_stalled;
            break;
        case Result::kTimedOut:
            ++stats_.control_timed_out;
            break;
        case Result::kUnexpected:
            ++stats_.control_unexpected;
            break;
        case Result::kNoAnswer:
            ++stats_.control_no_answer;
            break;
    }
    const std::string text = Describe(r, result);
    Note(text);
    if (result != Result::kOk) Log("request failed: " + text);

    switch (r.request) {
        case Request::kDeviceDescriptor64:
        case Request::kSetAddress:
        case Request::kDeviceDescriptor:
        case Request::kConfigHead:
        case Request::kConfigAll:
        case Request::kSetConfiguration:
            if (result != Result::kOk) {
                EnumerationRequestFailed(r, result, text, t);
                return;
            }
            break;
        default:
            break;
    }
    switch (r.request) {
        case Request::kDeviceDescriptor64:
            Enumerate(Request::kSetAddress, 0);
            break;
        case Request::kSetAddress:
            address_ = kAddress;
            control_not_before_ = t + kSetAddressRecoveryCycles;
            Enumerate(Request::kDeviceDescriptor, 18);
            break;
        case Request::kDeviceDescriptor:
            new_device_ = in;
            if (enumerated_once_ && new_device_ != device_descriptor_) {
                EnumerationFailed("the device descriptor differs from the first enumeration's");
                return;
            }
            Enumerate(Request::kConfigHead, 9);
            break;
        case Request::kConfigHead:
            Enumerate(Request::kConfigAll, static_cast<uint16_t>(in[2] | in[3] << 8));
            break;
        case Request::kConfigAll: {
            new_config_ = in;
            if (enumerated_once_) {
                if (new_config_ != config_descriptor_) {
                    EnumerationFailed("the configuration descriptor differs from the first enumeration's");
                    return;
                }
            } else {
                std::string why;
                if (!ParseConfiguration(new_config_, &why)) {
                    EnumerationFailed(why);
                    return;
                }
            }
            Enumerate(Request::kSetConfiguration, 0);
            break;
        }
        case Request::kSetConfiguration:
            phase_ = Phase::kRunning;
            out_toggle_ = in_toggle_ = 0;
            ++stats_.enumerations;
            if (enumerated_once_) {
                Note("enumerated: descriptors as before");
            } else {
                enumerated_once_ = true;
                device_descriptor_ = new_device_;
                config_descriptor_ = new_config_;
                Note("enumerated: bulk OUT " + Hex2(out_ep_) + ", bulk IN " + Hex2(in_ep_));
            }
            break;
        case Request::kClearHalt:
            // The host's own toggle goes back to DATA0 once the device has done so.
            if (r.setup[4] == out_ep_) {
                if (result == Result::kOk) out_toggle_ = 0;
                out_halted_ = false;
            }
            if (r.setup[4] == in_ep_) {
                if (result == Result::kOk) in_toggle_ = 0;
                in_halted_ = false;
            }
            break;
        default:
            break;
    }
    if (r.after == After::kCallReturns) {
        call_pending_ = false;
    } else if (r.after == After::kPortOpen) {
        call_pending_ = false;
        port_open_ = true;
    } else if (r.after == After::kPortClosed) {
        port_open_ = false;
        DropTransfers("dropped at the close");
    }
}

// --- Bulk ---

size_t CdcHost::OutPacketLength() const {
    size_t n = 0;
    bool unit_end = false;
    while (n < out_queue_.size() && n < kBulkPacket && !unit_end) unit_end = out_queue_[n++].unit_end;
    if (n == 0 || n == kBulkPacket || unit_end) return n;
    // A short packet of a write that has not ended goes only when nothing
    // more can join it.
    if (out_queue_.size() >= options_.out_queue_limit) return n;
    HostEvent event;
    if (side_->PeekEvent(&event)) return event.kind == HostEvent::kData ? 0 : n;
    return side_->MoreMayFollow() ? 0 : n;
}

bool CdcHost::FormOutPacket() {
    const size_t n = OutPacketLength();
    if (n == 0) return false;
    out_packet_.clear();
    out_tags_.clear();
    for (size_t i = 0; i < n; ++i) {
        out_packet_.push_back(out_queue_.front().byte);
        out_tags_.push_back(out_queue_.front().tag);
        out_queue_.pop_front();
    }
    out_packet_ready_ = true;
    return true;
}

bool CdcHost::TryOut(uint64_t t) {
    const Handshake h =
        port_->Out(address_, out_ep_ & 0x0F, out_packet_.data(), out_packet_.size(), out_toggle_, out_tags_.data(), t);
    switch (h) {
        case Handshake::kAck:
            ++stats_.out_packets;
            stats_.out_bytes += out_packet_.size();
            out_toggle_ ^= 1;
            out_packet_ready_ = false;
            out_stall_logged_ = false;
            return true;
        case Handshake::kNak:
            ++stats_.out_naks;
            return false;
        case Handshake::kStall:
            // Logged once until a packet goes through (a device that stalls
            // again after every clear would fill the log).
            if (!out_stall_logged_) Log("bulk OUT " + Hex2(out_ep_) + " stalled: clearing the halt");
            out_stall_logged_ = true;
            out_halted_ = true;
            QueueClearHalt(out_ep_, true);
            return false;
        case Handshake::kNone:
            ++stats_.unanswered;
            out_retry_at_ = NextFrameStart(t);
            return false;
    }
    return false;
}

bool CdcHost::TryIn(uint64_t t) {
    InPacket packet;
    const Handshake h = port_->In(address_, in_ep_ & 0x0F, &packet, t);
    switch (h) {
        case Handshake::kAck: {
            if (packet.toggle != in_toggle_) {
                ++stats_.in_repeats_dropped;
                Log("bulk IN packet of " + std::to_string(packet.data.size()) +
                    " bytes with the wrong data toggle dropped as a repeat");
                return true;
            }
            in_toggle_ ^= 1;
            in_stall_logged_ = false;
            ++stats_.in_packets;
            stats_.in_bytes += packet.data.size();
            const size_t n = std::min(packet.data.size(), in_transfer_size_ - transfer_.data.size());
            transfer_.data.insert(transfer_.data.end(), packet.data.begin(),
                                  packet.data.begin() + static_cast<long>(n));
            for (size_t i = 0; i < n; ++i) transfer_.tags.push_back(i < packet.tags.size() ? packet.tags[i] : 0);
            if (packet.data.size() < kBulkPacket || transfer_.data.size() >= in_transfer_size_) {
                CompleteTransfer();
            } else {
                held_armed_ = true;
                held_logged_ = false;
                held_since_ = t;
            }
            return true;
        }
        case Handshake::kNak:
            return false;
        case Handshake::kStall:
            if (!in_stall_logged_) Log("bulk IN " + Hex2(in_ep_) + " stalled: clearing the halt");
            in_stall_logged_ = true;
            in_halted_ = true;
            QueueClearHalt(in_ep_, true);
            return false;
        case Handshake::kNone:
            ++stats_.unanswered;
            in_retry_at_ = NextFrameStart(t);
            return false;
    }
    return false;
}

void CdcHost::CompleteTransfer() {
    finished_.push_back(std::move(transfer_));
    transfer_ = Transfer();
    held_armed_ = false;
    held_logged_ = false;
}

void CdcHost::DropTransfers(const char* why) {
    size_t bytes = transfer_.data.size();
    for (const Transfer& f : finished_) bytes += f.data.size();
    transfer_ = Transfer();
    finished_.clear();
    held_armed_ = false;
    held_logged_ = false;
    if (bytes > 0) Log(std::to_string(bytes) + " received bytes " + why);
}

}  // namespace sim
