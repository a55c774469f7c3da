#include "sim/chip/usb_port.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

// Where the chip sheet is silent, the port does what device ports of this
// kind do:
// - Control transfers: after a SETUP the data stage runs from DATA1 in the
//   direction DIR gives; a transaction in the other direction is the status
//   stage and always goes with DATA1 (an OUT status packet with DATA0 is a
//   repeat). So DIR must say the data stage's direction, 0 when it has none.
// - While RXSETUP is set, endpoint 0 answers NAK even with FORCESTALL set:
//   code refuses a request by setting FORCESTALL and then clearing RXSETUP.
// - A SETUP to an endpoint held in reset (RST_EP) gets NAK like any other
//   transaction to it; a SETUP empties endpoint 0's FIFO: RX_DATA_BK0 and
//   TXPKTRDY go with the bytes they describe, TXCOMP and STALLSENT stay.
// - OUT: with the due bank full the port answers NAK before it looks at the
//   toggle (it has nowhere to put the packet). A data packet longer than the
//   FIFO gets no answer (the host sees a bus error).
// - Clearing the flag of a bank with bytes still unread hands it back
//   without complaint (code may drop a packet on purpose); only RXSETUP
//   with bytes unread and the newer bank while the older is full are faults.
// - Writing TXPKTRDY 1 while it reads 1: on a two-bank endpoint it releases
//   the other bank (a fault, see the header); on a one-bank endpoint, or
//   with both banks out, it does nothing.
// - An endpoint reset (RST_EP) empties the banks and clears RX_DATA_BK0/1,
//   RXSETUP and TXPKTRDY with them; TXCOMP, STALLSENT and the fields stay.
//   FIFO writes and TXPKTRDY while held in reset are dropped (faults).
// - FDRn reads with nothing left to read return 0; FIFO writes to endpoint 0
//   while RXSETUP is set are dropped (the FIFO holds the SETUP): faults.
// - A lost event is judged against code's last read of the CSR before the
//   write: a flag the port set after that read, or while the write was on
//   its way, is lost when the write clears it.
// - Bus events (reset, start-of-frame, suspend, resume) reach the port only
//   while it is on the bus; a bus reset drops CSR writes still on their way,
//   keeps RST_EP, the interrupt mask, ESR, RSMINPR, RMWUPE and TXVC.
// - Write-only registers (IER, IDR, ICR) read 0; writes to read-only ones
//   (FRM_NUM, IMR, ISR) are ignored. Isochronous endpoint types are handled
//   like bulk ones (nothing uses them here).

namespace sim {

namespace {

constexpr uint32_t kCsrFields = kCsrForcestall | kCsrDir | kCsrEptypeMask | kCsrEpeds;
constexpr uint32_t kCsrRxBanks = kCsrRxDataBk0 | kCsrRxDataBk1;
constexpr uint32_t kIsrLatched = kIsrRxsusp | kIsrRxrsm | kIsrSofint | kIsrEndbusres | kIsrWakeup;
constexpr uint32_t kEpIntFlags = kCsrTxcomp | kCsrRxDataBk0 | kCsrRxsetup | kCsrStallsent | kCsrRxDataBk1;
constexpr size_t kControlFifo = 8;

const char* FlagName(uint32_t flag) {
    switch (flag) {
        case kCsrTxcomp: return "TXCOMP";
        case kCsrRxDataBk0: return "RX_DATA_BK0";
        case kCsrRxsetup: return "RXSETUP";
        case kCsrStallsent: return "STALLSENT";
        case kCsrRxDataBk1: return "RX_DATA_BK1";
        default: return "?";
    }
}

uint32_t Eptype(uint32_t fields) { return (fields & kCsrEptypeMask) >> kCsrEptypeShift; }

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
    char text[200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace

UsbPort::UsbPort(const UsbPortOptions& options) : options_(options) {
    endpoints_ = std::min(std::max(options.endpoints, 4), kUsbMaxEndpoints);
    for (int n = 0; n < kUsbMaxEndpoints; ++n) {
        ep_[n].banks = (n == 0 || n == 3) ? 1 : 2;
        ep_[n].fifo = n == 0 ? kControlFifo : 64;
    }
}

void UsbPort::Note(const std::string& text, uint64_t now) {
    if (!options_.log) return;
    options_.log(text + " (cycle " + std::to_string(now) + ")");
}

void UsbPort::Fault(const std::string& text, uint64_t now) {
    ++stats_.discipline_faults;
    Note(text, now);
}

void UsbPort::SetFlag(int n, uint32_t flag) {
    Endpoint& e = ep_[n];
    e.flags |= flag;
    for (int bit = 0; bit < 8; ++bit) {
        if (flag & (1u << bit)) e.flag_serial[bit] = ++serial_;
    }
}

void UsbPort::Settle(uint64_t now) {
    while (pending_writes_ > 0) {
        int due = -1;
        for (int n = 0; n < endpoints_; ++n) {
            const PendingWrite& w = ep_[n].pending;
            if (w.active && now >= w.due && (due < 0 || w.due < ep_[due].pending.due)) due = n;
        }
        if (due < 0) return;
        Apply(due, now);
    }
}

uint64_t UsbPort::NextSettleDelay() {
    // xorshift32: the same sequence of delays in every run.
    settle_state_ ^= settle_state_ << 13;
    settle_state_ ^= settle_state_ >> 17;
    settle_state_ ^= settle_state_ << 5;
    return kCsrSettleMinCycles + settle_state_ % (kCsrSettleMaxCycles - kCsrSettleMinCycles + 1);
}

void UsbPort::CheckAnswering(uint64_t now) {
    if (!awaiting_answer_ || !Answers(0, 0, Dir::kSetup)) return;
    awaiting_answer_ = false;
    stats_.reset_answer_cycles = std::max(stats_.reset_answer_cycles, now - reset_at_);
}

bool UsbPort::Changes(int n, uint32_t value) const {
    const Endpoint& e = ep_[n];
    return (value & kCsrTxpktrdy) || (e.flags & kCsrW0cFlags & ~value) || ((value ^ e.fields) & kCsrFields);
}

bool UsbPort::HostVisible(int n, uint32_t value) const {
    const Endpoint& e = ep_[n];
    return (value & kCsrTxpktrdy) || (e.flags & (kCsrRxBanks | kCsrRxsetup) & ~value) ||
           ((value ^ e.fields) & kCsrFields);
}

void UsbPort::Apply(int n, uint64_t now) {
    Endpoint& e = ep_[n];
    const PendingWrite w = e.pending;
    e.pending.active = false;
    --pending_writes_;

    if ((w.value ^ e.fields) & kCsrFields) bus_change_ = true;
    e.fields = w.value & kCsrFields;

    const uint32_t cleared = e.flags & kCsrW0cFlags & ~w.value;
    uint32_t lost = 0;
    for (int bit = 0; bit < 8; ++bit) {
        const uint32_t flag = 1u << bit;
        if (!(cleared & flag) || e.flag_serial[bit] <= w.read_serial) continue;
        lost |= flag;
        ++stats_.lost_events;
        std::string text = Format("CSR%d: a write cleared ", n) + FlagName(flag) + " that code had not seen set";
        if (flag & kCsrRxBanks) text += Format(": the packet in bank %d is gone", flag == kCsrRxDataBk1 ? 1 : 0);
        if (flag == kCsrRxsetup) text += ": the SETUP is gone";
        Note(text, now);
    }
    if (cleared & kCsrRxsetup) {
        const Bank& b = e.out[0];
        if (!(lost & kCsrRxsetup) && b.read < b.data.size()) {
            Fault(Format("CSR%d: RXSETUP cleared with %zu bytes of the SETUP unread (dropped)", n,
                         b.data.size() - b.read), now);
        }
        // DIR names the data stage's direction from the moment RXSETUP is
        // cleared; a request without data stage has none to name.
        const bool to_host = e.setup[0] & 0x80;
        const bool data_stage = (e.setup[6] | e.setup[7]) != 0;
        if (!(lost & kCsrRxsetup) && data_stage && to_host != ((e.fields & kCsrDir) != 0)) {
            Fault(Format("CSR%d: RXSETUP cleared with DIR %d for request 0x%02X 0x%02X, whose data stage goes to the "
                         "%s", n, (e.fields & kCsrDir) ? 1 : 0, e.setup[0], e.setup[1],
                         to_host ? "host" : "device"), now);
        }
        e.out[0].Clear();
        bus_change_ = true;
    }
    const bool both_full = (e.flags & kCsrRxBanks) == kCsrRxBanks;
    for (int b = 0; b < 2; ++b) {
        const uint32_t flag = b ? kCsrRxDataBk1 : kCsrRxDataBk0;
        if (!(cleared & flag)) continue;
        // With both banks full the older is the one due next (next_out); the
        // newer one handed back first (or with it in one write) goes unread.
        if (both_full && b != e.next_out && !(lost & flag)) {
            Fault(Format("CSR%d: bank %d handed back while the older bank %d was still full: its packet is "
                         "dropped unread", n, b, 1 - b), now);
        }
        e.out[b].Clear();
        bus_change_ = true;
    }
    e.flags &= ~cleared;

    if (w.value & kCsrTxpktrdy) ReleaseInBank(n, now);
    CheckAnswering(now);
}

void UsbPort::ReleaseInBank(int n, uint64_t now) {
    Endpoint& e = ep_[n];
    if (HeldInReset(n)) {
        Fault(Format("CSR%d: TXPKTRDY set while the endpoint is held in reset (nothing is sent)", n), now);
        return;
    }
    if (e.flags & kCsrTxpktrdy) {
        if (e.banks == 1 || e.released[e.fill]) return;
        Fault(Format("CSR%d: TXPKTRDY set while a released bank still waits: bank %d (%zu bytes) is released "
                     "too", n, e.fill, e.in[e.fill].data.size()), now);
    }
    e.released[e.fill] = true;
    e.queue[e.queued++] = e.fill;
    e.flags |= kCsrTxpktrdy;
    if (e.banks == 2) e.fill ^= 1;
    bus_change_ = true;
}

void UsbPort::ResetEndpoint(int n) {
    Endpoint& e = ep_[n];
    e.flags &= ~(kCsrRxBanks | kCsrRxsetup | kCsrTxpktrdy);
    for (int b = 0; b < 2; ++b) {
        e.out[b].Clear();
        e.in[b].Clear();
        e.released[b] = false;
    }
    e.queued = 0;
    e.fill = 0;
    e.next_out = 0;
    e.toggle = 0;
}

UsbPort::Bank* UsbPort::ReadBank(int n) {
    Endpoint& e = ep_[n];
    if (e.flags & kCsrRxsetup) return &e.out[0];
    const bool full0 = e.flags & kCsrRxDataBk0, full1 = e.flags & kCsrRxDataBk1;
    if (full0 && full1) return &e.out[e.next_out];
    if (full0) return &e.out[0];
    if (full1) return &e.out[1];
    return nullptr;
}

uint32_t UsbPort::CsrValue(int n) {
    const Endpoint& e = ep_[n];
    const Bank* b = ReadBank(n);
    const uint32_t left = b ? static_cast<uint32_t>(b->data.size() - b->read) : 0;
    return e.flags | e.fields | (e.toggle ? kCsrDtgle : 0) | ((left << kCsrRxbytecntShift) & kCsrRxbytecntMask);
}

uint8_t UsbPort::ReadFifo(int n, uint64_t now) {
    if (ep_[n].pending.active) Fault(Format("FDR%d read before the write to CSR%d showed", n, n), now);
    Bank* b = ReadBank(n);
    if (b == nullptr || b->read >= b->data.size()) {
        Fault(Format("FDR%d read with no received byte left", n), now);
        return 0;
    }
    const size_t i = b->read++;
    if (n != 0) current_tag_ = b->tags[i];
    return b->data[i];
}

void UsbPort::WriteFifo(int n, uint8_t byte, uint64_t now) {
    Endpoint& e = ep_[n];
    if (e.pending.active) Fault(Format("FDR%d written before the write to CSR%d showed", n, n), now);
    if (HeldInReset(n)) {
        Fault(Format("FDR%d written while the endpoint is held in reset (byte dropped)", n), now);
        return;
    }
    if (e.flags & kCsrRxsetup) {
        Fault(Format("FDR%d written while RXSETUP is set (byte dropped)", n), now);
        return;
    }
    Bank& b = e.in[e.fill];
    if (e.released[e.fill]) {
        Fault(Format("FDR%d written while no IN bank is free (byte dropped)", n), now);
        return;
    }
    if (b.data.size() >= e.fifo) {
        Fault(Format("FDR%d written past the bank's %zu bytes (byte dropped)", n, e.fifo), now);
        return;
    }
    b.data.push_back(byte);
    b.tags.push_back(current_tag_);
}

bool UsbPort::Read(uint32_t offset, uint64_t now, uint32_t* value) {
    if ((offset & 3) != 0 || offset >= kUsbSize) return false;
    Settle(now);
    if (offset >= kUsbCsr0 && offset < kUsbCsr0 + 4 * kUsbMaxEndpoints) {
        const int n = static_cast<int>((offset - kUsbCsr0) / 4);
        if (n >= endpoints_) return false;
        Endpoint& e = ep_[n];
        *value = CsrValue(n);
        e.last_read = ++serial_;
        return true;
    }
    if (offset >= kUsbFdr0 && offset < kUsbFdr0 + 4 * kUsbMaxEndpoints) {
        const int n = static_cast<int>((offset - kUsbFdr0) / 4);
        if (n >= endpoints_) return false;
        *value = ReadFifo(n, now);
        return true;
    }
    switch (offset) {
        case kUsbFrmNum: *value = frame_; return true;
        case kUsbGlbStat: *value = glb_stat_; return true;
        case kUsbFaddr: *value = faddr_; return true;
        case kUsbIer: case kUsbIdr: case kUsbIcr: *value = 0; return true;
        case kUsbImr: *value = imr_; return true;
        case kUsbIsr: {
            uint32_t isr = isr_latched_;
            for (int n = 0; n < endpoints_; ++n) {
                if (ep_[n].flags & kEpIntFlags) isr |= kIsrEpInt(n);
            }
            *value = isr;
            return true;
        }
        case kUsbRstEp: *value = rst_ep_; return true;
        case kUsbTxvc: *value = txvc_; return true;
        default: return false;
    }
}

bool UsbPort::Write(uint32_t offset, uint32_t value, uint64_t now) {
    if ((offset & 3) != 0 || offset >= kUsbSize) return false;
    Settle(now);
    const uint32_t endpoint_bits = (1u << endpoints_) - 1;
    if (offset >= kUsbCsr0 && offset < kUsbCsr0 + 4 * kUsbMaxEndpoints) {
        const int n = static_cast<int>((offset - kUsbCsr0) / 4);
        if (n >= endpoints_) return false;
        PendingWrite& w = ep_[n].pending;
        if (w.active) {
            Fault(Format("CSR%d written again before its previous write showed (that write is replaced)", n), now);
        } else if (!Changes(n, value)) {
            return true;  // nothing to show
        } else {
            ++pending_writes_;
        }
        w.active = true;
        w.value = value;
        w.due = now + NextSettleDelay();
        w.read_serial = ep_[n].last_read;
        // Stop a run of code early: the host sees the change once it shows.
        if (HostVisible(n, value)) bus_change_ = true;
        return true;
    }
    if (offset >= kUsbFdr0 && offset < kUsbFdr0 + 4 * kUsbMaxEndpoints) {
        const int n = static_cast<int>((offset - kUsbFdr0) / 4);
        if (n >= endpoints_) return false;
        WriteFifo(n, static_cast<uint8_t>(value), now);
        return true;
    }
    switch (offset) {
        case kUsbFrmNum: case kUsbImr: case kUsbIsr:
            return true;
        case kUsbGlbStat: {
            const uint32_t v = value & (kGlbFadden | kGlbConfg | kGlbEsr | kGlbRsminpr | kGlbRmwupe);
            if ((v ^ glb_stat_) & kGlbConfg) bus_change_ = true;
            glb_stat_ = v;
            return true;
        }
        case kUsbFaddr: {
            const uint32_t v = value & (kFaddrFaddMask | kFaddrFen);
            if (v != faddr_) bus_change_ = true;
            faddr_ = v;
            CheckAnswering(now);
            return true;
        }
        case kUsbIer: imr_ |= value & (endpoint_bits | kIsrLatched); return true;
        case kUsbIdr: imr_ &= ~value; return true;
        case kUsbIcr: isr_latched_ &= ~(value & kIsrLatched); return true;
        case kUsbRstEp: {
            const uint32_t v = value & endpoint_bits;
            if (v != rst_ep_) bus_change_ = true;
            rst_ep_ = v;
            for (int n = 0; n < endpoints_; ++n) {
                if (HeldInReset(n)) ResetEndpoint(n);
            }
            CheckAnswering(now);
            return true;
        }
        case kUsbTxvc: {
            ++stats_.txvc_writes;
            const bool was = Attached();
            txvc_ = value & (kTxvcTxvdis | kTxvcPuon);
            if (Attached() != was) bus_change_ = true;
            return true;
        }
        default:
            return false;
    }
}

bool UsbPort::Answers(uint8_t address, int endpoint, Dir dir) const {
    if (!Attached() || !(faddr_ & kFaddrFen) || (faddr_ & kFaddrFaddMask) != address) return false;
    if (endpoint < 0 || endpoint >= endpoints_) return false;
    const uint32_t fields = ep_[endpoint].fields;
    if (!(fields & kCsrEpeds)) return false;
    const uint32_t type = Eptype(fields);
    switch (dir) {
        case Dir::kSetup: return type == kEptypeControl;
        case Dir::kOut: return type == kEptypeControl || (type >= kEptypeIsoOut && type <= kEptypeIntOut);
        case Dir::kIn: return type == kEptypeControl || (type >= kEptypeIsoIn && type <= kEptypeIntIn);
    }
    return false;
}

Handshake UsbPort::Unanswered() {
    ++stats_.unanswered;
    return Handshake::kNone;
}

Handshake UsbPort::Setup(uint8_t address, const uint8_t setup[8], uint64_t now) {
    Settle(now);
    if (!Answers(address, 0, Dir::kSetup)) return Unanswered();
    if (HeldInReset(0)) {
        ++stats_.out_naks;
        return Handshake::kNak;
    }
    Endpoint& e = ep_[0];
    ++stats_.setup_packets;
    std::copy(setup, setup + 8, e.setup);
    e.out[0].Clear();
    e.out[1].Clear();
    e.out[0].data.assign(setup, setup + 8);
    e.out[0].tags.assign(8, 0);
    for (int b = 0; b < 2; ++b) {
        e.in[b].Clear();
        e.released[b] = false;
    }
    e.queued = 0;
    e.fill = 0;
    e.next_out = 0;
    e.flags &= ~(kCsrRxBanks | kCsrTxpktrdy);
    SetFlag(0, kCsrRxsetup);
    e.toggle = 1;
    return Handshake::kAck;
}

Handshake UsbPort::Out(uint8_t address, int endpoint, const uint8_t* data, size_t n, int toggle,
                       const uint64_t* tags, uint64_t now) {
    Settle(now);
    if (!Answers(address, endpoint, Dir::kOut)) return Unanswered();
    Endpoint& e = ep_[endpoint];
    if (n > e.fifo) {
        Note(Format("OUT packet of %zu bytes to endpoint %d, whose FIFO holds %zu: not acknowledged", n,
                    endpoint, e.fifo), now);
        return Unanswered();
    }
    if (HeldInReset(endpoint) || (e.flags & kCsrRxsetup)) {
        ++stats_.out_naks;
        return Handshake::kNak;
    }
    if (e.fields & kCsrForcestall) {
        ++stats_.stalls;
        SetFlag(endpoint, kCsrStallsent);
        return Handshake::kStall;
    }
    const int b = e.banks == 2 ? e.next_out : 0;
    const uint32_t flag = b ? kCsrRxDataBk1 : kCsrRxDataBk0;
    if (e.flags & flag) {
        ++stats_.out_naks;
        return Handshake::kNak;
    }
    // The status stage of a control transfer with an IN data stage.
    const bool status = Eptype(e.fields) == kEptypeControl && (e.fields & kCsrDir);
    if (toggle != (status ? 1 : e.toggle)) {
        ++stats_.repeats_dropped;
        return Handshake::kAck;
    }
    Bank& bank = e.out[b];
    bank.Clear();
    if (n > 0) bank.data.assign(data, data + n);
    if (tags != nullptr) {
        bank.tags.assign(tags, tags + n);
    } else {
        bank.tags.assign(n, 0);
    }
    SetFlag(endpoint, flag);
    e.toggle = status ? 0 : e.toggle ^ 1;
    if (e.banks == 2) e.next_out ^= 1;
    ++stats_.out_packets;
    return Handshake::kAck;
}

Handshake UsbPort::In(uint8_t address, int endpoint, InPacket* packet, uint64_t now) {
    Settle(now);
    if (!Answers(address, endpoint, Dir::kIn)) return Unanswered();
    Endpoint& e = ep_[endpoint];
    if (HeldInReset(endpoint) || (e.flags & kCsrRxsetup)) {
        ++stats_.in_naks;
        return Handshake::kNak;
    }
    if (e.fields & kCsrForcestall) {
        ++stats_.stalls;
        SetFlag(endpoint, kCsrStallsent);
        return Handshake::kStall;
    }
    if (e.queued == 0) {
        ++stats_.in_naks;
        return Handshake::kNak;
    }
    const int b = e.queue[0];
    e.queue[0] = e.queue[1];
    --e.queued;
    e.released[b] = false;
    packet->data.swap(e.in[b].data);
    packet->tags.swap(e.in[b].tags);
    e.in[b].Clear();
    // The status stage of a control transfer without an IN data stage.
    const bool status = Eptype(e.fields) == kEptypeControl && !(e.fields & kCsrDir);
    packet->toggle = status ? 1 : e.toggle;
    e.toggle = status ? 0 : e.toggle ^ 1;
    SetFlag(endpoint, kCsrTxcomp);
    if (e.queued == 0) e.flags &= ~kCsrTxpktrdy;
    ++stats_.in_packets;
    if (packet->data.empty()) ++stats_.zero_length_in;
    return Handshake::kAck;
}

void UsbPort::BusReset(uint64_t now) {
    Settle(now);
    if (!Attached()) return;
    for (int n = 0; n < kUsbMaxEndpoints; ++n) {
        Endpoint fresh;
        fresh.banks = ep_[n].banks;
        fresh.fifo = ep_[n].fifo;
        ep_[n] = fresh;
    }
    pending_writes_ = 0;
    faddr_ = 0;
    glb_stat_ &= ~(kGlbFadden | kGlbConfg);
    isr_latched_ |= kIsrEndbusres;
    ++stats_.bus_resets;
    bus_change_ = true;
    awaiting_answer_ = true;
    reset_at_ = now;
}

void UsbPort::StartOfFrame(uint32_t frame, uint64_t now) {
    Settle(now);
    if (!Attached()) return;
    frame_ = (frame & kFrmNumMask) | kFrmOk;
    isr_latched_ |= kIsrSofint;
}

void UsbPort::Suspend(uint64_t now) {
    Settle(now);
    if (Attached()) isr_latched_ |= kIsrRxsusp;
}

void UsbPort::Resume(uint64_t now) {
    Settle(now);
    if (Attached()) isr_latched_ |= kIsrRxrsm | kIsrWakeup;
}

bool UsbPort::Attached() const { return !(txvc_ & kTxvcTxvdis) && (txvc_ & kTxvcPuon); }

void UsbPort::PowerOn() {
    if (!Attached()) bus_change_ = true;
    txvc_ = kTxvcPuon;
}

bool UsbPort::TakeBusChange() {
    const bool change = bus_change_;
    bus_change_ = false;
    return change;
}

bool UsbPort::InPending(int endpoint) const {
    if (endpoint < 0 || endpoint >= endpoints_) return false;
    const Endpoint& e = ep_[endpoint];
    if (e.queued > 0) return true;
    // A write that releases a bank is on its way; it shows within
    // kCsrSettleMaxCycles, before the host's next transaction.
    return e.pending.active && (e.pending.value & kCsrTxpktrdy) && !HeldInReset(endpoint);
}

bool UsbPort::WritePending() const { return pending_writes_ > 0; }

}  // namespace sim
