// The instrument's line on a pseudo-terminal: the port link COMn in the port
// directory, decoy ports beside it, frame tracking, wire log and the injected
// faults between the program on the PC and the chip.
//
// On the debug serial unit link the pty is the serial line itself (with the
// throttle). On the USB link the pty stands for the COM port that the PC's
// CDC driver makes: the line is the driver model's HostSide. What the program
// does with the port is read off the pty as well as a pty shows it:
// - opens and closes: inotify on the slave's device file (IN_OPEN,
//   IN_CLOSE_*), for every process but the simulator itself;
// - line settings: the master in packet mode (TIOCPKT) with EXTPROC set in
//   the slave's settings reports every tcsetattr as TIOCPKT_IOCTL; the new
//   settings are then read from the master;
// - writes: a pty keeps no write boundaries; the tool sends every frame, and
//   an S frame's data, with one write, so a write is taken to end where a
//   frame (with a '\n' right after its '#') or S data ends, or where nothing
//   more comes for kWriteQuietMs;
// - DTR and RTS: a pty refuses the modem-line calls before any driver sees
//   them; they cannot be seen (the driver model lowers them with each change
//   of line settings, as the tool's line configuration does).
// Opens, closes and the program's bytes come through two channels (inotify
// and the master), so one look at the pty can hold several of each. inotify
// also reports each write (IN_MODIFY, consecutive ones merged), in order with
// the opens and closes. The master is read first, then inotify, and the
// writes read are matched with the last marks seen; marks left over belong
// to writes placed earlier or purged unread, and writes whose marks are
// still on their way follow everything seen.
#ifndef QUILLMERE_SIM_HOST_PTY_LINE_H
#define QUILLMERE_SIM_HOST_PTY_LINE_H

#include <poll.h>

#include <csignal>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "sim/host/cdc_host.h"
#include "sim/host/frame_tracker.h"
#include "sim/host/line_options.h"
#include "sim/host/usb_link.h"
#include "sim/host/wire_log.h"

namespace sim {

// One pseudo-terminal: the master the simulator serves, one fd of the slave
// kept open by the simulator, and the link to the slave in the port directory.
struct PtyEndpoint {
    int master = -1;
    int slave = -1;
    std::string slave_path;
    std::string link;  // empty when no link was made
};

// Opens a pty with its slave in raw mode at 115200 baud and keeps one slave
// fd open, so that the host's close and reopen does not hang the line up.
// Links link_path to the slave (replacing an old link). False with *error set
// on failure; nothing is left open then.
bool OpenPtyEndpoint(const std::string& link_path, PtyEndpoint* pty, std::string* error);

// Closes both fds and removes the link. Harmless on a closed endpoint.
void ClosePtyEndpoint(PtyEndpoint* pty);

// Set by the SIGINT/SIGTERM handler that main installs.
extern volatile std::sig_atomic_t g_stop_signal;

class PtyLine : public HostSide, public HostWaiter {
 public:
    // options and wire must outlive the line.
    PtyLine(const LineOptions& options, WireLog* wire);
    ~PtyLine() override;
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Creates the port directory, the instrument's pty and link, the decoys
    // and the watch on the slave. Signals SIGINT/SIGTERM must be blocked by
    // the caller; the line waits with them unblocked. False with *error set.
    bool Open(std::string* error);
    const std::string& SlavePath() const { return pty_.slave_path; }

    // The serial link (the ROM monitor's line and the debug unit's, through
    // the simulator's SerialLinkLine). PollByte takes the next host byte if
    // one is there; WaitByte blocks up to max_ms wall-clock milliseconds for
    // one; SendByte queues a device byte for the pty; Stopped: the simulator
    // must stop (signal, line closed, timeout). BeginCall: the ROM monitor
    // starts code, the bytes that code takes are kept; EndCall: the code has
    // stopped, and when it returned the kept bytes are offered again.
    bool PollByte(uint8_t* byte);
    bool WaitByte(int max_ms);
    void SendByte(uint8_t byte);
    bool Stopped();
    void BeginCall();
    void EndCall(bool returned);

    // HostSide (USB link; in pty_line_usb.cpp).
    bool PeekEvent(HostEvent* event) override;
    void PopEvent() override;
    bool MoreMayFollow() override;
    void Deliver(const uint8_t* data, const uint64_t* tags, size_t n) override;
    void DeviceGone(const char* why) override;
    // HostWaiter (USB link).
    bool WaitForHost(int max_ms) override { return WaitByte(max_ms); }
    bool StopRequested() override { return Stopped(); }

    // The frame the last host byte belongs to (for wire-log notes).
    uint64_t CurrentFrame() const { return tracker_.FramesSeen() == 0 ? 0 : tracker_.FramesSeen() - 1; }
    // A line for the wire log about the USB link ("usb <ms> <frame> <text>").
    void UsbNote(const std::string& text);

    // Stops the line; why goes to the simulator log.
    void RequestStop(const char* why);
    // Frames the host has started so far.
    uint64_t FramesSeen() const { return tracker_.FramesSeen(); }
    // Sends what is still queued (up to about 200 ms), writes the wire log,
    // removes every link and closes every fd.
    void Shutdown();

 private:
    void Pump(int timeout_ms);
    void MaybePump();
    void ReadHost();
    // Throttled serial link: the wall time (NowNs) from which ReadHost may
    // take the next host byte.
    uint64_t NextHostByteDueNs(uint64_t now) const;
    // USB link: one read of the master in packet mode; false when nothing.
    bool ReadHostPacket(std::vector<HostEvent>* out);
    void TakeHostByte(uint8_t byte, std::vector<HostEvent>* usb_out = nullptr);
    // Puts one device byte behind those not yet written to the pty, with the
    // reply faults and the throttle applied; WriteOutput sends them.
    void QueueTagged(uint8_t byte, uint64_t frame);
    LineCoding CurrentCoding();
    bool HostQueueEmpty() const { return usb_ ? events_.empty() : in_queue_.empty(); }
    // Puts the items read off the master in this look (writes and
    // line-settings reports) in order with the opens and closes seen.
    void MergeLook(const std::vector<HostEvent>& items);
    void WriteOutput();
    void CloseDevice();
    // The port vanishes: pty and link removed, the simulator stops (why).
    void RemovePort(const char* why);
    void ServeDecoys(const std::vector<int>& ready);
    void HandleWatch();
    void CheckTimers();
    int64_t DefaultCorruptOffset(uint8_t letter) const;

    const LineOptions& options_;
    WireLog* wire_;
    PtyEndpoint pty_;
    std::vector<std::pair<Decoy, PtyEndpoint>> decoys_;
    int watch_fd_ = -1;
    std::vector<pollfd> poll_fds_;

    bool stop_ = false;
    bool closed_ = false;   // the device vanished (--close-at)
    bool silent_ = false;   // --silent-from reached

    FrameTracker tracker_;
    uint8_t frame_letter_ = 0;
    bool corrupt_done_ = false;
    std::deque<std::pair<uint8_t, uint64_t>> in_queue_;  // byte, frame
    std::vector<std::pair<uint8_t, uint64_t>> replay_;
    bool calling_ = false;
    bool replay_overflow_ = false;
    uint64_t reply_frame_ = 0;
    bool reply_corrupted_ = false;
    std::vector<uint8_t> out_buf_;
    size_t out_pos_ = 0;

    uint64_t ns_per_byte_ = 0;  // 0: unthrottled
    uint64_t in_next_ns_ = 0;
    uint64_t out_next_ns_ = 0;
    uint64_t last_pump_ns_ = 0;
    uint64_t start_ns_ = 0;

    int other_opens_ = 0;
    bool seen_open_ = false;
    uint64_t closed_since_ns_ = 0;

    // USB link.
    bool usb_ = false;
    std::deque<HostEvent> events_;
    // An open, a close or a write of the program, as inotify reported it.
    struct WatchEvent {
        enum Kind { kOpen, kClose, kWrite } kind;
        HostEvent event;
    };
    std::vector<WatchEvent> pending_watch_;  // of this look at the pty
    uint64_t last_host_byte_ns_ = 0;
    bool last_unit_end_ = true;             // the last byte read off the pty ends a write
};

}  // namespace sim

#endif
