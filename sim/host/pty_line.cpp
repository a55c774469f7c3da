#include "sim/host/pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "sim/sim_log.h"

namespace sim {

volatile std::sig_atomic_t g_stop_signal = 0;

namespace {

constexpr size_t kInQueueLimit = 65536;     // host bytes read ahead of the device
constexpr size_t kOutQueueLimit = 1 << 20;  // device bytes the host has not taken
constexpr size_t kReplayLimit = 65536;      // bytes kept while ROM-started code runs
constexpr uint64_t kPumpIntervalNs = 200000;
constexpr uint64_t kThrottleSlackNs = 20000000;  // the throttle's tolerance, 20 ms
constexpr uint64_t kExitAfterCloseNs = 1000000000;
// USB link: bytes of the program read off the pty ahead of the driver model
// (the tty layer's own buffer; the driver holds its share itself).
constexpr size_t kUsbReadAhead = 4096;

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool MakeDirs(const std::string& path, std::string* error) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
            *error = Errno(("mkdir " + partial).c_str());
            return false;
        }
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = path + " is not a directory";
        return false;
    }
    return true;
}

}  // namespace

bool OpenPtyEndpoint(const std::string& link_path, PtyEndpoint* pty, std::string* error) {
    *pty = PtyEndpoint{};
    pty->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->master < 0) {
        *error = Errno("posix_openpt");
        return false;
    }
    char name[128];
    if (grantpt(pty->master) != 0 || unlockpt(pty->master) != 0 ||
        ptsname_r(pty->master, name, sizeof name) != 0) {
        *error = Errno("pty setup");
        ClosePtyEndpoint(pty);
        return false;
    }
    pty->slave_path = name;
    pty->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->slave < 0) {
        *error = Errno(("open " + pty->slave_path).c_str());
        ClosePtyEndpoint(pty);
        return false;
    }
    termios tio{};
    if (tcgetattr(pty->slave, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
        tio.c_cflag |= CLOCAL | CREAD;
        tcsetattr(pty->slave, TCSANOW, &tio);
    }
    const int flags = fcntl(pty->master, F_GETFL);
    fcntl(pty->master, F_SETFL, flags | O_NONBLOCK);
    unlink(link_path.c_str());
    if (symlink(name, link_path.c_str()) != 0) {
        *error = Errno(("symlink " + link_path).c_str());
        ClosePtyEndpoint(pty);
        return false;
    }
    pty->link = link_path;
    return true;
}

void ClosePtyEndpoint(PtyEndpoint* pty) {
    if (!pty->link.empty()) unlink(pty->link.c_str());
    if (pty->slave >= 0) close(pty->slave);
    if (pty->master >= 0) close(pty->master);
    pty->link.clear();
    pty->slave = -1;
    pty->master = -1;
}

PtyLine::PtyLine(const LineOptions& options, WireLog* wire)
    : options_(options), wire_(wire), usb_(options.link == LinkKind::kUsb) {
    if (options.baud > 0 && !usb_) ns_per_byte_ = 10000000000ull / options.baud;
}

PtyLine::~PtyLine() { Shutdown(); }

bool PtyLine::Open(std::string* error) {
    start_ns_ = NowNs();
    if (ns_per_byte_ > 0) {
        // The throttled line sleeps until the next host byte is due; the
        // kernel's default timer slack (50 us) would add most of a byte time
        // at 115200 baud to each of those waits.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    if (!MakeDirs(options_.port_dir, error)) return false;
    const std::string dir = options_.port_dir + "/";
    if (!OpenPtyEndpoint(dir + "COM" + std::to_string(options_.port), &pty_, error)) return false;
    for (const Decoy& d : options_.decoys) {
        PtyEndpoint e;
        if (!OpenPtyEndpoint(dir + "COM" + std::to_string(d.port), &e, error)) return false;
        if (d.kind == DecoyKind::kHeld) {
            // Another program holds this port: an exclusive open by anyone
            // else fails (TIOCEXCL for ordinary users, the lock even for root).
            if (flock(e.slave, LOCK_EX | LOCK_NB) != 0 || ioctl(e.slave, TIOCEXCL) != 0) {
                *error = Errno("holding decoy port");
                ClosePtyEndpoint(&e);
                return false;
            }
        }
        decoys_.emplace_back(d, e);
    }
    if (usb_) {
        // The program's changes of the line settings show on the master as
        // packet-mode status (TIOCPKT_IOCTL), as long as EXTPROC is set.
        const int on = 1;
        termios tio{};
        if (ioctl(pty_.master, TIOCPKT, &on) != 0 || tcgetattr(pty_.slave, &tio) != 0) {
            *error = Errno("packet mode on the port");
            return false;
        }
        tio.c_lflag |= EXTPROC;
        if (tcsetattr(pty_.slave, TCSANOW, &tio) != 0) {
            *error = Errno("packet mode on the port");
            return false;
        }
    }
    if (options_.exit_after_close || usb_) {
        // The simulator's own slave fd is already open, so only other
        // processes' opens and closes are counted.
        watch_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (watch_fd_ < 0 ||
            inotify_add_watch(watch_fd_, pty_.slave_path.c_str(), IN_OPEN | IN_CLOSE | (usb_ ? IN_MODIFY : 0)) <
                0) {
            *error = Errno("watching the port");
            return false;
        }
    }
    return true;
}

void PtyLine::RequestStop(const char* why) {
    if (!stop_) SimLog("stopping: %s", why);
    stop_ = true;
}

bool PtyLine::Stopped() {
    MaybePump();
    return stop_;
}

void PtyLine::MaybePump() {
    const uint64_t now = NowNs();
    if (now - last_pump_ns_ >= kPumpIntervalNs) Pump(0);
}

bool PtyLine::PollByte(uint8_t* byte) {
    if (in_queue_.empty()) MaybePump();
    if (in_queue_.empty() || stop_) return false;
    const auto entry = in_queue_.front();
    in_queue_.pop_front();
    if (entry.second != reply_frame_) reply_corrupted_ = false;
    reply_frame_ = entry.second;
    if (calling_) {
        if (replay_.size() < kReplayLimit) {
            replay_.push_back(entry);
        } else {
            replay_overflow_ = true;
        }
    }
    *byte = entry.first;
    return true;
}

bool PtyLine::WaitByte(int max_ms) {
    const uint64_t deadline = NowNs() + static_cast<uint64_t>(max_ms < 0 ? 0 : max_ms) * 1000000u;
    if (HostQueueEmpty()) wire_->IdleFlush(SimMs());
    for (;;) {
        if (!HostQueueEmpty() || stop_) return !HostQueueEmpty();
        const uint64_t now = NowNs();
        if (now >= deadline) {
            Pump(0);
            return !HostQueueEmpty();
        }
        Pump(static_cast<int>((deadline - now + 999999) / 1000000));
    }
}

void PtyLine::SendByte(uint8_t byte) {
    QueueTagged(byte, reply_frame_);
    WriteOutput();
}

void PtyLine::QueueTagged(uint8_t byte, uint64_t reply_frame) {
    if (closed_) return;
    const char* note = nullptr;
    const int64_t frame = static_cast<int64_t>(reply_frame);
    const bool drop = silent_ || frame == options_.drop_reply;
    if (silent_) {
        note = "(silent)";
    } else if (frame == options_.drop_reply) {
        note = "(dropped)";
    } else if (frame == options_.corrupt_reply && !reply_corrupted_) {
        byte ^= 0xFF;
        reply_corrupted_ = true;
        note = "(byte xor FF)";
        SimLog("fault: first reply byte of frame %" PRId64 " corrupted", frame);
    }
    wire_->DeviceByte(reply_frame, byte, SimMs(), note);
    if (drop) return;
    if (ns_per_byte_ > 0) {
        // Each byte takes its byte time; sleeps of at least a millisecond
        // keep the average exact although a sleep overshoots.
        uint64_t now = NowNs();
        if (out_next_ns_ > now + kThrottleSlackNs) {
            SleepNs(out_next_ns_ - now);
            now = NowNs();
        }
        if (out_next_ns_ + kThrottleSlackNs < now) out_next_ns_ = now - kThrottleSlackNs;
        out_next_ns_ += ns_per_byte_;
    }
    if (out_buf_.size() - out_pos_ >= kOutQueueLimit) {
        SimLog("host is not reading: %zu device bytes dropped", out_buf_.size() - out_pos_);
        out_buf_.clear();
        out_pos_ = 0;
    }
    out_buf_.push_back(byte);
}

void PtyLine::WriteOutput() {
    while (pty_.master >= 0 && out_pos_ < out_buf_.size()) {
        const ssize_t n = write(pty_.master, out_buf_.data() + out_pos_, out_buf_.size() - out_pos_);
        if (n > 0) {
            out_pos_ += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;  // EAGAIN: the host's input queue is full; try again later
    }
    if (out_pos_ == out_buf_.size()) {
        out_buf_.clear();
        out_pos_ = 0;
    }
}

void PtyLine::BeginCall() {
    calling_ = true;
    replay_.clear();
    replay_overflow_ = false;
}

void PtyLine::EndCall(bool returned) {
    calling_ = false;
    if (!returned) {
        replay_.clear();
        return;
    }
    if (replay_overflow_) SimLog("more than %zu bytes arrived while code ran; later ones lost", kReplayLimit);
    // The ROM monitor takes every byte: what the code took is offered again.
    in_queue_.insert(in_queue_.begin(), replay_.begin(), replay_.end());
    replay_.clear();
}

int64_t PtyLine::DefaultCorruptOffset(uint8_t letter) const {
    // The last hex digit before '#' of the frames the host sends (a value or
    // count digit; for reads and G the last address digit), the first data
    // byte of an S frame, the first byte of a mode frame.
    switch (letter) {
        case 'W': case 'R': return 17;
        case 'H': return 13;
        case 'O': return 11;
        case 'w': case 'o': case 'G': return 8;
        case 'S': return 19;
        default: return 0;
    }
}

void PtyLine::TakeHostByte(uint8_t byte, std::vector<HostEvent>* usb_out) {
    const TrackedByte t = tracker_.Feed(byte);
    const int64_t frame = static_cast<int64_t>(t.frame);
    const uint64_t ms = SimMs();
    if (t.starts_frame && usb_out != nullptr && frame == options_.bus_reset_at) {
        SimLog("fault: bus reset before frame %" PRId64, frame);
        HostEvent reset;
        reset.kind = HostEvent::kBusReset;
        usb_out->push_back(reset);
    }
    if (t.starts_frame) {
        if (frame == options_.corrupt_request + 1 && options_.corrupt_request >= 0 && !corrupt_done_)
            SimLog("fault: frame %" PRId64 " ended before the byte to corrupt", options_.corrupt_request);
        frame_letter_ = byte;
        if (frame == options_.close_at) {
            wire_->HostByte(t.frame, byte, false, true, ms);
            wire_->HostNote("(line closed)");
            CloseDevice();
            return;
        }
        if (frame == options_.silent_from) {
            silent_ = true;
            SimLog("fault: silent from frame %" PRId64, frame);
        }
    }
    wire_->HostByte(t.frame, byte, t.in_data, t.ends_frame, ms);
    if (frame == options_.corrupt_request && !corrupt_done_) {
        const int64_t target = options_.corrupt_request_offset >= 0 ? options_.corrupt_request_offset
                                                                    : DefaultCorruptOffset(frame_letter_);
        if (static_cast<int64_t>(t.offset) == target) {
            char note[64];
            std::snprintf(note, sizeof note, "(byte %u xor %02X on the way in)", t.offset,
                          options_.corrupt_request_mask);
            wire_->HostNote(note);
            SimLog("fault: frame %" PRId64 " byte %u 0x%02X corrupted to 0x%02X", frame, t.offset, byte,
                   byte ^ options_.corrupt_request_mask);
            byte ^= options_.corrupt_request_mask;
            corrupt_done_ = true;
        }
    }
    if (silent_) return;  // a silent device drops every byte
    if (usb_out == nullptr) {
        in_queue_.emplace_back(byte, t.frame);
        return;
    }
    // Where the program's write ends: after a frame's '#' (a '\n' right
    // behind it joins the write), after an S frame's header and its data.
    HostEvent e;
    e.kind = HostEvent::kData;
    e.byte = byte;
    e.tag = t.frame;
    const bool s_header_end = byte == '#' && !t.in_data && tracker_.DataRemaining() > 0 && !t.ends_frame;
    e.unit_end = t.ends_frame || s_header_end;
    if (!t.starts_frame && !t.in_data && byte == '\n' && t.ends_frame) {
        // The '\n' of "V#\n" or "#\n": the write ends here, not at the '#'.
        HostEvent* last = nullptr;
        if (!usb_out->empty()) {
            last = &usb_out->back();
        } else if (!events_.empty()) {
            last = &events_.back();
        }
        if (last != nullptr && last->kind == HostEvent::kData && last->tag == t.frame) last->unit_end = false;
    }
    last_unit_end_ = e.unit_end;
    usb_out->push_back(e);
}

void PtyLine::ReadHost() {
    if (pty_.master < 0 || closed_) return;
    if (usb_) {
        // Read ahead only as far as the tty layer would buffer.
        std::vector<HostEvent> data;
        while (!closed_ && events_.size() + data.size() < kUsbReadAhead && ReadHostPacket(&data)) {
        }
        if (watch_fd_ >= 0) HandleWatch();
        MergeLook(data);
        return;
    }
    size_t allowed = kInQueueLimit > in_queue_.size() ? kInQueueLimit - in_queue_.size() : 0;
    if (ns_per_byte_ > 0) {
        const uint64_t now = NowNs();
        // Credit of at most kThrottleSlackNs builds up while nobody reads,
        // so the rate holds on average without bursts beyond that.
        if (in_next_ns_ + kThrottleSlackNs < now) in_next_ns_ = now - kThrottleSlackNs;
        const uint64_t credit = now >= in_next_ns_ ? (now - in_next_ns_) / ns_per_byte_ : 0;
        if (credit < allowed) allowed = static_cast<size_t>(credit);
    }
    uint8_t buf[4096];
    while (allowed > 0 && !closed_) {
        const size_t want = allowed < sizeof buf ? allowed : sizeof buf;
        const ssize_t n = read(pty_.master, buf, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // EAGAIN: nothing more now; EIO: no slave open (not while ours is)
        if (ns_per_byte_ > 0) in_next_ns_ += static_cast<uint64_t>(n) * ns_per_byte_;
        allowed -= static_cast<size_t>(n);
        for (ssize_t i = 0; i < n && !closed_; ++i) TakeHostByte(buf[i]);
    }
}

uint64_t PtyLine::NextHostByteDueNs(uint64_t now) const {
    // As ReadHost counts the credit: a byte is due one byte time after
    // in_next_ns_, which lags now by at most kThrottleSlackNs.
    const uint64_t from = in_next_ns_ + kThrottleSlackNs < now ? now - kThrottleSlackNs : in_next_ns_;
    return from + ns_per_byte_;
}

void PtyLine::CloseDevice() {
    SimLog("fault: the device vanishes at frame %" PRIu64 "; line closed, link removed",
           tracker_.FramesSeen() - 1);
    RemovePort("the line was closed");
}

void PtyLine::RemovePort(const char* why) {
    closed_ = true;
    in_queue_.clear();
    events_.clear();
    out_buf_.clear();
    out_pos_ = 0;
    ClosePtyEndpoint(&pty_);
    RequestStop(why);
}

void PtyLine::ServeDecoys(const std::vector<int>& ready) {
    for (size_t i = 0; i < decoys_.size(); ++i) {
        if (!ready[i]) continue;
        PtyEndpoint& e = decoys_[i].second;
        uint8_t buf[512];
        const ssize_t n = read(e.master, buf, sizeof buf);
        if (n <= 0) continue;
        if (decoys_[i].first.kind == DecoyKind::kCrlf && std::memchr(buf, '#', static_cast<size_t>(n))) {
            const uint8_t answer[2] = {'\r', '\n'};
            if (write(e.master, answer, 2) != 2) SimLog("decoy COM%d: answer not sent", decoys_[i].first.port);
        }
    }
}

void PtyLine::HandleWatch() {
    alignas(inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = read(watch_fd_, buf, sizeof buf);
        if (n <= 0) break;
        for (ssize_t pos = 0; pos < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + pos);
            if (ev->mask & IN_OPEN) {
                ++other_opens_;
                seen_open_ = true;
                if (usb_) {
                    HostEvent e;
                    e.kind = HostEvent::kOpen;
                    e.coding = CurrentCoding();
                    pending_watch_.push_back(WatchEvent{WatchEvent::kOpen, e});
                }
            }
            if (ev->mask & IN_CLOSE) {
                --other_opens_;
                if (usb_) {
                    HostEvent e;
                    e.kind = HostEvent::kClose;
                    pending_watch_.push_back(WatchEvent{WatchEvent::kClose, e});
                }
            }
            if ((ev->mask & IN_MODIFY) && usb_) pending_watch_.push_back(WatchEvent{WatchEvent::kWrite, HostEvent{}});
            pos += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
    }
    if (other_opens_ <= 0 && closed_since_ns_ == 0) closed_since_ns_ = NowNs();
    if (other_opens_ > 0) closed_since_ns_ = 0;
}

void PtyLine::CheckTimers() {
    const uint64_t now = NowNs();
    if (g_stop_signal) RequestStop("signal");
    if (options_.timeout_s > 0 && now - start_ns_ >= static_cast<uint64_t>(options_.timeout_s * 1e9))
        RequestStop("--timeout reached");
    if (watch_fd_ >= 0 && seen_open_ && other_opens_ <= 0 && closed_since_ns_ != 0 &&
        now - closed_since_ns_ >= kExitAfterCloseNs)
        RequestStop("the host closed the port");
}

void PtyLine::Pump(int timeout_ms) {
    last_pump_ns_ = NowNs();
    // The line, the watch and every decoy port (any number of them).
    std::vector<pollfd>& fds = poll_fds_;
    fds.resize(2 + decoys_.size());
    nfds_t n = 0;
    int master_index = -1, watch_index = -1;
    const bool want_input = pty_.master >= 0 && !closed_ &&
                            (usb_ ? events_.size() < kUsbReadAhead : in_queue_.size() < kInQueueLimit);
    uint64_t timeout_ns = static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms) * 1000000u;
    bool poll_input = want_input;
    if (want_input && ns_per_byte_ > 0) {
        // The throttle: no host byte before its time has come. The pty holds
        // what the host wrote ahead and would report it readable at once, so
        // until the next byte is due the master is not asked for input and
        // the wait ends when that byte is due.
        const uint64_t now = last_pump_ns_;
        const uint64_t due = NextHostByteDueNs(now);
        if (due > now) {
            poll_input = false;
            if (timeout_ns > due - now) timeout_ns = due - now;
        }
    }
    if (pty_.master >= 0) {
        short events = 0;
        if (poll_input) events |= POLLIN;
        if (out_pos_ < out_buf_.size()) events |= POLLOUT;
        master_index = static_cast<int>(n);
        fds[n++] = pollfd{pty_.master, events, 0};
    }
    if (watch_fd_ >= 0) {
        watch_index = static_cast<int>(n);
        fds[n++] = pollfd{watch_fd_, POLLIN, 0};
    }
    const nfds_t decoy_base = n;
    for (const auto& d : decoys_) fds[n++] = pollfd{d.second.master, POLLIN, 0};
    sigset_t unblocked;
    sigemptyset(&unblocked);
    timespec ts{static_cast<time_t>(timeout_ns / 1000000000u), static_cast<long>(timeout_ns % 1000000000u)};
    const int r = ppoll(fds.data(), n, &ts, &unblocked);
    if (r > 0) {
        if (!usb_ && watch_index >= 0 && (fds[watch_index].revents & POLLIN)) HandleWatch();
        if (master_index >= 0 && (fds[master_index].revents & POLLOUT)) WriteOutput();
        std::vector<int> ready(decoys_.size(), 0);
        for (size_t i = 0; i < decoys_.size() && decoy_base + i < n; ++i)
            ready[i] = (fds[decoy_base + i].revents & POLLIN) != 0;
        ServeDecoys(ready);
    }
    if (usb_) {
        // The master first, then inotify: every write read now has its mark
        // queued by the time inotify is read (see MergeLook).
        ReadHost();
    } else {
        if (want_input) ReadHost();  // also under the throttle when poll timed out
        if (watch_fd_ >= 0) HandleWatch();
    }
    CheckTimers();
}

void PtyLine::Shutdown() {
    if (pty_.master >= 0) {
        const uint64_t until = NowNs() + 200000000u;
        while (out_pos_ < out_buf_.size() && NowNs() < until) {
            WriteOutput();
            if (out_pos_ < out_buf_.size()) SleepNs(5000000);
        }
    }
    wire_->Flush();
    ClosePtyEndpoint(&pty_);
    for (auto& d : decoys_) ClosePtyEndpoint(&d.second);
    decoys_.clear();
    if (watch_fd_ >= 0) close(watch_fd_);
    watch_fd_ = -1;
}

}  // namespace sim
