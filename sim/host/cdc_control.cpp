// The CDC driver model's control side: bus reset and enumeration, with its
// retries and new attempts, and the control requests on endpoint 0 (their
// queue, SETUP, data and status stages, time-outs and results).
#include <algorithm>
#include <utility>

#include "sim/host/cdc_host.h"
#include "sim/host/cdc_host_parts.h"

namespace sim {

using namespace cdc;

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

}  // namespace sim
