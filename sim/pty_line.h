// The instrument's serial line on a pseudo-terminal: the port link COMn in the
// port directory, decoy ports beside it, the throttle, frame tracking, wire
// log and the injected faults between the host and the chip.
#ifndef QUILLMERE_SIM_PTY_LINE_H
#define QUILLMERE_SIM_PTY_LINE_H

#include <poll.h>

#include <csignal>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "sim/frame_tracker.h"
#include "sim/options.h"
#include "sim/rom_monitor.h"
#include "sim/wire_log.h"

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

class PtyLine : public MonitorLine {
 public:
    // options and wire must outlive the line.
    PtyLine(const SimOptions& options, WireLog* wire);
    ~PtyLine() override;
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Creates the port directory, the instrument's pty and link, the decoys
    // and the watch on the slave. Signals SIGINT/SIGTERM must be blocked by
    // the caller; the line waits with them unblocked. False with *error set.
    bool Open(std::string* error);
    const std::string& SlavePath() const { return pty_.slave_path; }

    bool PollByte(uint8_t* byte) override;
    bool WaitByte(int max_ms) override;
    void SendByte(uint8_t byte) override;
    bool Stopped() override;
    void BeginCall() override;
    void EndCall(bool returned) override;

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
    void TakeHostByte(uint8_t byte);
    void WriteOutput();
    void CloseDevice();
    void ServeDecoys(const std::vector<int>& ready);
    void HandleWatch();
    void CheckTimers();
    int64_t DefaultCorruptOffset(uint8_t letter) const;

    const SimOptions& options_;
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
};

}  // namespace sim

#endif
