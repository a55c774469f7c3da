// The pty line on the USB link: the pty as the COM port that the PC's CDC
// driver makes. What the program did is read off the master in packet mode
// (its bytes, and a report for each change of line settings) and put in
// order with the opens, closes and writes that inotify reported; finished IN
// transfers go back to the program in one write each.
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "sim/host/pty_line.h"
#include "sim/sim_log.h"

namespace sim {
namespace {

// USB link: a write that has not visibly ended counts as ended when nothing
// more came for this long.
constexpr uint64_t kWriteQuietNs = 20000000;
// Packet-mode status bits of the master (linux/tty.h's TIOCPKT_*).
constexpr uint8_t kPktIoctl = 0x40;

}  // namespace

bool PtyLine::ReadHostPacket(std::vector<HostEvent>* out) {
    uint8_t buf[1 + 1024];
    const ssize_t n = read(pty_.master, buf, sizeof buf);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) return false;
    if (buf[0] != 0) {
        // A status report of packet mode: TIOCPKT_IOCTL means the program
        // set the line (flushes and flow-control changes need nothing here).
        if (buf[0] & kPktIoctl) {
            HostEvent e;
            e.kind = HostEvent::kLineSettings;
            e.coding = CurrentCoding();
            out->push_back(e);
        }
        return true;
    }
    last_host_byte_ns_ = NowNs();
    for (ssize_t i = 1; i < n && !closed_; ++i) TakeHostByte(buf[i], out);
    return true;
}

LineCoding PtyLine::CurrentCoding() {
    LineCoding c;
    termios tio{};
    if (pty_.slave < 0 || tcgetattr(pty_.slave, &tio) != 0) return c;
    static const struct {
        speed_t code;
        uint32_t rate;
    } kSpeeds[] = {{B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
                   {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
                   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
                   {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    const speed_t speed = cfgetospeed(&tio);
    c.rate = 0;
    for (const auto& s : kSpeeds)
        if (s.code == speed) c.rate = s.rate;
    switch (tio.c_cflag & CSIZE) {
        case CS5: c.data_bits = 5; break;
        case CS6: c.data_bits = 6; break;
        case CS7: c.data_bits = 7; break;
        default: c.data_bits = 8; break;
    }
    c.stop_bits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    c.parity = !(tio.c_cflag & PARENB) ? 0 : ((tio.c_cflag & PARODD) ? 1 : 2);
    return c;
}

void PtyLine::MergeLook(const std::vector<HostEvent>& items) {
    // The items read off the master, cut into the program's writes: a write
    // with the line-settings reports in front of it; reports after the last
    // write stand alone.
    struct Write {
        size_t begin, end;
        bool data;
    };
    std::vector<Write> writes;
    for (size_t begin = 0, i = 0; i < items.size(); ++i) {
        const bool end = items[i].kind == HostEvent::kData && items[i].unit_end;
        if (end || i + 1 == items.size()) {
            bool data = false;
            for (size_t k = begin; k <= i; ++k) data = data || items[k].kind == HostEvent::kData;
            writes.push_back(Write{begin, i + 1, data});
            begin = i + 1;
        }
    }
    // The master was read before inotify, so the marks of these writes are
    // among the marks seen (but for a write whose mark was still on its way).
    // Marks are matched from the last backwards: marks left over at the
    // front belong to writes read in an earlier look, or to writes the
    // program purged before they were read.
    size_t data_writes = 0;
    for (const Write& w : writes) data_writes += w.data;
    size_t marks = 0;
    for (const WatchEvent& w : pending_watch_) marks += w.kind == WatchEvent::kWrite;
    // Writes beyond the marks are the newest: they follow everything seen
    // (placed after the loop).
    size_t skip = marks > data_writes ? marks - data_writes : 0;
    size_t next = 0;  // next write to place
    auto place = [&](size_t w) { events_.insert(events_.end(), items.begin() + static_cast<long>(writes[w].begin),
                                                items.begin() + static_cast<long>(writes[w].end)); };
    for (const WatchEvent& w : pending_watch_) {
        if (w.kind != WatchEvent::kWrite) {
            events_.push_back(w.event);
            continue;
        }
        if (skip > 0) {
            --skip;
            continue;
        }
        // This mark's write, with the reports in front of it.
        while (next < writes.size() && !writes[next].data) place(next++);
        if (next < writes.size()) place(next++);
    }
    pending_watch_.clear();
    while (next < writes.size()) place(next++);
}

bool PtyLine::PeekEvent(HostEvent* event) {
    if (events_.empty()) MaybePump();
    if (events_.empty() || stop_) return false;
    *event = events_.front();
    return true;
}

void PtyLine::PopEvent() {
    if (!events_.empty()) events_.pop_front();
}

bool PtyLine::MoreMayFollow() {
    // The last byte read off the pty ends no write, and bytes came recently.
    if (last_unit_end_) return false;
    MaybePump();
    return NowNs() - last_host_byte_ns_ < kWriteQuietNs;
}

void PtyLine::Deliver(const uint8_t* data, const uint64_t* tags, size_t n) {
    // The driver hands a finished transfer to the tty layer in one piece, so
    // the program's read wakes once for it, not once per byte.
    for (size_t i = 0; i < n; ++i) QueueTagged(data[i], tags[i]);
    WriteOutput();
}

void PtyLine::DeviceGone(const char* why) {
    if (closed_) return;
    SimLog("the port is gone from the PC: %s", why);
    RemovePort("the device left the PC");
}

void PtyLine::UsbNote(const std::string& text) { wire_->Note(SimMs(), CurrentFrame(), "usb", text); }

}  // namespace sim
