// The platform layer on POSIX systems: COM ports as serial device files,
// time-outs realised with poll, message boxes as lines on standard error.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "platform/platform_posix_testing.h"

namespace {

// One open port. A small fixed pool: the tool has at most one port open, a
// test may hold a second; nothing is allocated while a run proceeds.
struct PosixPort {
    bool used;
    int fd;
    PlatformTimeouts timeouts;
    uint32_t mask;
    char device[256];  // device file, to remember its modem lines by
};

// DTR and RTS as last set on a device. The driver keeps termios across a
// close, but raises DTR and RTS on every open; the open lowers them again
// so that they stay with the device like the rest of the line settings.
struct ModemLines {
    char device[256];
    int dtr_control;  // 0 off, 1 on
    int rts_control;  // 0 off, 1 on, 2 handshake (left to the driver)
};

ModemLines g_lines[8];

PosixPort g_ports[4];

uint32_t g_no_progress_ms = kPlatformNoProgressMs;

// A tty driver wakes the writers waiting for room once fewer than this many
// bytes are left in its output queue (the kernel's WAKEUP_CHARS); a poll for
// POLLOUT returns only then.
constexpr int kDriverWakeupBytes = 256;

int QueuedOutput(int fd, int* bytes) { return ioctl(fd, TIOCOUTQ, bytes) == 0; }

int WaitWritable(int fd, int timeout_ms) {
    struct pollfd pfd = {fd, POLLOUT, 0};
    int r = poll(&pfd, 1, timeout_ms);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) return -1;
    return r > 0 ? 1 : 0;
}

const PlatformPosixDrainHooks kRealDrainHooks = {QueuedOutput, WaitWritable};
PlatformPosixDrainHooks g_drain = kRealDrainHooks;

PosixPort* Port(PlatformPort port) {
    PosixPort* p = static_cast<PosixPort*>(port);
    for (PosixPort& slot : g_ports)
        if (&slot == p && slot.used) return p;
    return nullptr;
}

// Monotonic time in microseconds.
uint64_t NowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

// Maps "\\.\COMn" to the device path; false when the name denotes no port.
bool DevicePath(const char* name, char* out, size_t size) {
    static const char kPrefix[] = "\\\\.\\COM";
    if (name == nullptr || std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0) return false;
    const char* digits = name + sizeof kPrefix - 1;
    if (*digits < '0' || *digits > '9') return false;
    char* end = nullptr;
    long n = std::strtol(digits, &end, 10);
    if (*end != 0 || n < 1 || n > 999) return false;
    const char* dir = std::getenv("QUILLMERE_PORT_DIR");
    int written;
    if (dir != nullptr) {
        written = std::snprintf(out, size, "%s/COM%ld", dir, n);
    } else if (n <= 32) {
        written = std::snprintf(out, size, "/dev/ttyACM%ld", n - 1);
    } else if (n <= 64) {
        written = std::snprintf(out, size, "/dev/ttyUSB%ld", n - 33);
    } else if (n <= 98) {
        written = std::snprintf(out, size, "/dev/ttyS%ld", n - 65);
    } else {
        return false;
    }
    return written > 0 && size_t(written) < size;
}

struct BaudEntry {
    uint32_t rate;
    speed_t speed;
};

const BaudEntry kBauds[] = {{110, B110},         {300, B300},         {600, B600},       {1200, B1200},
                            {2400, B2400},       {4800, B4800},       {9600, B9600},     {19200, B19200},
                            {38400, B38400},     {57600, B57600},     {115200, B115200}, {230400, B230400},
                            {460800, B460800},   {921600, B921600}};

bool SpeedOf(uint32_t rate, speed_t* speed) {
    for (const BaudEntry& e : kBauds)
        if (e.rate == rate) {
            *speed = e.speed;
            return true;
        }
    return false;
}

uint32_t RateOf(speed_t speed) {
    for (const BaudEntry& e : kBauds)
        if (e.speed == speed) return e.rate;
    return 0;
}

// Remaining ms until deadline_us, rounded up, at least 0.
int MsUntil(uint64_t deadline_us, uint64_t now_us) {
    if (deadline_us <= now_us) return 0;
    uint64_t ms = (deadline_us - now_us + 999) / 1000;
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : int(ms);
}

ModemLines* LinesOf(const char* device, bool create) {
    for (ModemLines& l : g_lines)
        if (std::strcmp(l.device, device) == 0) return &l;
    if (!create) return nullptr;
    for (ModemLines& l : g_lines)
        if (l.device[0] == 0) {
            std::snprintf(l.device, sizeof l.device, "%s", device);
            return &l;
        }
    return nullptr;
}

// Sets DTR and RTS as recorded; ports without modem lines (ptys) refuse, which is no failure.
void ApplyModemLines(int fd, const ModemLines& l) {
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    ioctl(fd, l.dtr_control == 0 ? TIOCMBIC : TIOCMBIS, &dtr);
    if (l.rts_control != 2) ioctl(fd, l.rts_control == 0 ? TIOCMBIC : TIOCMBIS, &rts);
}

// Microseconds that n bytes take on the line at the port's settings (start
// bit, data bits, parity, stop bits); 1000 per byte when the speed is unknown.
uint64_t LineTimeUs(int fd, int n) {
    struct termios t;
    uint32_t rate = tcgetattr(fd, &t) == 0 ? RateOf(cfgetospeed(&t)) : 0;
    if (rate == 0) return uint64_t(n) * 1000u;
    uint32_t bits = 1 + 8 + 1;
    switch (t.c_cflag & CSIZE) {
        case CS5: bits = 1 + 5 + 1; break;
        case CS6: bits = 1 + 6 + 1; break;
        case CS7: bits = 1 + 7 + 1; break;
        default: break;
    }
    if (t.c_cflag & PARENB) ++bits;
    if (t.c_cflag & CSTOPB) ++bits;
    return (uint64_t(n) * bits * 1000000u + rate - 1) / rate;
}

void SleepUs(uint64_t us) {
    struct timespec want = {time_t(us / 1000000u), long(us % 1000000u) * 1000L};
    struct timespec left;
    while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

// Waits until the driver's output queue on fd is empty: the bytes of the
// write have left. *last_progress moves on whenever the queue shrinks; the
// wait fails at give_up_at() (which counts from *last_progress). Returns
// false when it failed (time limit, or the port failed while waiting).
template <typename GiveUpAt>
bool DrainOutput(int fd, uint64_t* last_progress, GiveUpAt give_up_at) {
    int queued = 0;
    int last_queued = -1;
    bool wakes_early = false;  // the driver woke writers with a full queue
    while (g_drain.queued(fd, &queued) && queued > 0) {
        uint64_t now = NowUs();
        if (queued != last_queued) {
            *last_progress = now;
            last_queued = queued;
        }
        uint64_t until = give_up_at();
        if (now >= until) return false;
        if (queued >= kDriverWakeupBytes && !wakes_early) {
            // A CDC port counts the bytes of its transfers in flight and wakes
            // writers when the last one has completed: one wait, no polling.
            int r = g_drain.wait_writable(fd, MsUntil(until, now));
            if (r < 0) return false;
            int after = 0;
            if (r > 0 && g_drain.queued(fd, &after) && after >= kDriverWakeupBytes && after == queued)
                wakes_early = true;
            continue;
        }
        // Too few bytes left for the driver to wake anyone (a UART's last
        // bytes): they need their time on the line, and no more.
        uint64_t us = LineTimeUs(fd, queued);
        if (us < 100) us = 100;
        if (now + us > until) us = until - now;
        SleepUs(us);
    }
    return true;
}

}  // namespace

void PlatformPosixSetNoProgressMs(uint32_t ms) { g_no_progress_ms = ms; }

void PlatformPosixSetDrainHooks(const PlatformPosixDrainHooks* hooks) {
    g_drain = hooks != nullptr ? *hooks : kRealDrainHooks;
}

PlatformPort PlatformOpenPort(const char* path) {
    char device[256];
    if (!DevicePath(path, device, sizeof device)) return nullptr;
    PosixPort* slot = nullptr;
    for (PosixPort& p : g_ports)
        if (!p.used) {
            slot = &p;
            break;
        }
    if (slot == nullptr) return nullptr;
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // Exclusive like a port opened without sharing: the lock on this new open
    // file fails while another program holds one (this also stops root, whom
    // TIOCEXCL does not stop); TIOCEXCL refuses later opens by other users.
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return nullptr;
    }
    // Bytes left in the line from before are not answers to anything sent now.
    tcflush(fd, TCIOFLUSH);
    slot->used = true;
    slot->fd = fd;
    std::memset(&slot->timeouts, 0, sizeof slot->timeouts);
    slot->mask = 0;
    std::snprintf(slot->device, sizeof slot->device, "%s", device);
    if (const ModemLines* lines = LinesOf(device, false)) ApplyModemLines(fd, *lines);
    return slot;
}

void PlatformClosePort(PlatformPort port) {
    PosixPort* p = Port(port);
    if (p == nullptr) return;
    // TIOCEXCL outlives the close on a pty; clear it so the same port reopens.
    ioctl(p->fd, TIOCNXCL);
    close(p->fd);
    p->used = false;
    p->fd = -1;
}

int PlatformSetupComm(PlatformPort port, uint32_t, uint32_t) {
    // The driver sizes its own queues; the sizes are advisory.
    return Port(port) != nullptr;
}

int PlatformPurgeComm(PlatformPort port, uint32_t flags) {
    PosixPort* p = Port(port);
    if (p == nullptr) return 0;
    // Reads and writes are synchronous, so nothing is pending to end (0x1, 0x2).
    if ((flags & 0x4) && (flags & 0x8)) return tcflush(p->fd, TCIOFLUSH) == 0;
    if (flags & 0x4) return tcflush(p->fd, TCOFLUSH) == 0;
    if (flags & 0x8) return tcflush(p->fd, TCIFLUSH) == 0;
    return 1;
}

int PlatformGetCommState(PlatformPort port, PlatformLineSettings* dcb) {
    PosixPort* p = Port(port);
    struct termios t;
    if (p == nullptr || dcb == nullptr || tcgetattr(p->fd, &t) != 0) return 0;
    dcb->DCBlength = 28;
    dcb->BaudRate = RateOf(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
        case CS5: dcb->ByteSize = 5; break;
        case CS6: dcb->ByteSize = 6; break;
        case CS7: dcb->ByteSize = 7; break;
        default: dcb->ByteSize = 8; break;
    }
    dcb->Parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 1 : 2) : 0;
    dcb->StopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
    dcb->fBinary = 1;
    dcb->fParity = (t.c_iflag & INPCK) ? 1 : 0;
    dcb->fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fOutX = (t.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    int lines = 0;
    if (ioctl(p->fd, TIOCMGET, &lines) == 0) {
        dcb->fDtrControl = (lines & TIOCM_DTR) ? 1 : 0;
        dcb->fRtsControl = (t.c_cflag & CRTSCTS) ? 2 : ((lines & TIOCM_RTS) ? 1 : 0);
    }
    dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return 1;
}

int PlatformSetCommState(PlatformPort port, const PlatformLineSettings* dcb) {
    PosixPort* p = Port(port);
    struct termios t;
    if (p == nullptr || dcb == nullptr || tcgetattr(p->fd, &t) != 0) return 0;
    speed_t speed;
    if (!SpeedOf(dcb->BaudRate, &speed)) return 0;
    tcflag_t size;
    switch (dcb->ByteSize) {
        case 5: size = CS5; break;
        case 6: size = CS6; break;
        case 7: size = CS7; break;
        case 8: size = CS8; break;
        default: return 0;
    }
    // No parity, odd and even only; one or two stop bits; no DSR handshake.
    if (dcb->Parity > 2 || (dcb->StopBits != 0 && dcb->StopBits != 2) || dcb->fOutxDsrFlow) return 0;

    // Raw bytes both ways: no line editing, echo, signals or translation.
    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                           INPCK | IGNPAR);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
    t.c_cflag |= size | CLOCAL | CREAD;
    if (dcb->Parity != 0) t.c_cflag |= PARENB | (dcb->Parity == 1 ? PARODD : 0);
    if (dcb->fParity) t.c_iflag |= INPCK;
    if (dcb->StopBits == 2) t.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == 2) t.c_cflag |= CRTSCTS;
    if (dcb->fOutX) t.c_iflag |= IXON;
    if (dcb->fInX) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
    // Reads wait in poll, never in the driver; with VMIN 1 a read without
    // data reports EAGAIN and a read of 0 bytes means end of file.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return 0;
    if (tcsetattr(p->fd, TCSANOW, &t) != 0) return 0;
    // tcsetattr succeeds if any change took; check that the speed and size did.
    struct termios check;
    if (tcgetattr(p->fd, &check) != 0 || cfgetospeed(&check) != speed || (check.c_cflag & CSIZE) != size)
        return 0;

    ModemLines asked = {"", dcb->fDtrControl == 0 ? 0 : 1, dcb->fRtsControl == 0 ? 0 : (dcb->fRtsControl == 2 ? 2 : 1)};
    ApplyModemLines(p->fd, asked);
    if (ModemLines* kept = LinesOf(p->device, true)) {
        kept->dtr_control = asked.dtr_control;
        kept->rts_control = asked.rts_control;
    }
    return 1;
}

int PlatformSetCommTimeouts(PlatformPort port, const PlatformTimeouts* timeouts) {
    PosixPort* p = Port(port);
    if (p == nullptr || timeouts == nullptr) return 0;
    p->timeouts = *timeouts;
    return 1;
}

int PlatformSetCommMask(PlatformPort port, uint32_t mask) {
    PosixPort* p = Port(port);
    if (p == nullptr) return 0;
    p->mask = mask;
    return 1;
}

int PlatformWriteFile(PlatformPort port, const void* buffer, uint32_t count, uint32_t* written) {
    if (written) *written = 0;
    PosixPort* p = Port(port);
    if (p == nullptr) return 0;
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    const uint64_t start = NowUs();
    const uint64_t total_ms =
        uint64_t(p->timeouts.WriteTotalTimeoutMultiplier) * count + p->timeouts.WriteTotalTimeoutConstant;
    const bool has_total = total_ms != 0;
    const uint64_t deadline = start + total_ms * 1000;
    uint64_t last_progress = start;
    // The write gives up at its total time-out or after the no-progress bound.
    auto give_up_at = [&]() {
        uint64_t stall_end = last_progress + uint64_t(g_no_progress_ms) * 1000;
        return has_total && deadline < stall_end ? deadline : stall_end;
    };
    uint32_t sent = 0;
    while (sent < count) {
        ssize_t n = write(p->fd, bytes + sent, count - sent);
        if (n > 0) {
            sent += uint32_t(n);
            last_progress = NowUs();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return 0;
        uint64_t now = NowUs();
        uint64_t until = give_up_at();
        if (now >= until) return 0;  // the whole block, or failure
        struct pollfd pfd = {p->fd, POLLOUT, 0};
        int r = poll(&pfd, 1, MsUntil(until, now));
        if (r < 0 && errno != EINTR) return 0;
        if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) return 0;
    }
    // The driver takes a block into its output queue long before the last
    // byte has left the line (5,392 bytes take almost half a second at
    // 115200 baud). The monitor answers a frame only after it has received
    // everything before it, so a read that followed at once would spend its
    // short budget while the line is still busy. The write therefore ends
    // when the driver's queue is empty, within the same time limits. A
    // pseudo-terminal reports an empty queue at once.
    if (written) *written = sent;
    return DrainOutput(p->fd, &last_progress, give_up_at) ? 1 : 0;
}

int PlatformReadFile(PlatformPort port, void* buffer, uint32_t count, uint32_t* received) {
    if (received) *received = 0;
    PosixPort* p = Port(port);
    if (p == nullptr) return 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const PlatformTimeouts& t = p->timeouts;
    const uint64_t start = NowUs();
    const uint64_t total_ms = uint64_t(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
    // Interval at its maximum with both totals 0: return at once with what is there.
    const bool at_once = t.ReadIntervalTimeout == 0xFFFFFFFFu && total_ms == 0;
    const bool has_total = total_ms != 0;
    const bool has_interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != 0xFFFFFFFFu;
    const uint64_t deadline = start + total_ms * 1000;
    uint64_t last_progress = start;
    uint32_t got = 0;
    while (got < count) {
        ssize_t n = read(p->fd, out + got, count - got);
        if (n > 0) {
            got += uint32_t(n);
            last_progress = NowUs();
            continue;
        }
        if (n == 0) {
            // End of file after a hang-up, or simply no data under VMIN 0.
            struct pollfd check = {p->fd, POLLIN, 0};
            if (poll(&check, 1, 0) > 0 && (check.revents & (POLLHUP | POLLERR | POLLNVAL))) return 0;
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return 0;  // EIO: the device is gone
        }
        if (at_once) break;
        uint64_t now = NowUs();
        uint64_t stall_end = last_progress + uint64_t(g_no_progress_ms) * 1000;
        uint64_t until = stall_end;
        bool ends_ok = false;  // the wait ends by a time-out that returns what came
        if (has_total && deadline <= until) {
            until = deadline;
            ends_ok = true;
        }
        if (has_interval && got > 0) {
            uint64_t gap_end = last_progress + uint64_t(t.ReadIntervalTimeout) * 1000;
            if (gap_end <= until) {
                until = gap_end;
                ends_ok = true;
            }
        }
        if (now >= until) {
            if (ends_ok) break;
            return 0;  // no byte moved within the no-progress bound
        }
        struct pollfd pfd = {p->fd, POLLIN, 0};
        int r = poll(&pfd, 1, MsUntil(until, now));
        if (r < 0 && errno != EINTR) return 0;
        if (r > 0 && (pfd.revents & (POLLERR | POLLNVAL))) return 0;
        if (r > 0 && (pfd.revents & POLLHUP) && !(pfd.revents & POLLIN)) return 0;
    }
    if (received) *received = got;
    return 1;
}

uint32_t PlatformTickCount() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
}

void PlatformSleep(uint32_t ms) { SleepUs(uint64_t(ms) * 1000u); }

namespace {

// Writes CP1251 text to standard error in the locale's character set.
// Bytes that cannot be shown there print as '?'.
void PutCp1251(const char* text) {
    static bool locale_checked = false;
    if (!locale_checked) {
        // The tool's entry point selects the user's locale; do it here when it has not.
        const char* current = std::setlocale(LC_CTYPE, nullptr);
        if (current == nullptr || std::strcmp(current, "C") == 0 || std::strcmp(current, "POSIX") == 0)
            std::setlocale(LC_CTYPE, "");
        locale_checked = true;
    }
    char target[64];
    std::snprintf(target, sizeof target, "%s//TRANSLIT", nl_langinfo(CODESET));
    iconv_t cd = iconv_open(target, "CP1251");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (const char* c = text; *c; ++c) std::fputc((static_cast<unsigned char>(*c) < 0x80) ? *c : '?', stderr);
        return;
    }
    char* in = const_cast<char*>(text);
    size_t in_left = std::strlen(text);
    char buffer[256];
    while (in_left > 0) {
        char* out = buffer;
        size_t out_left = sizeof buffer;
        size_t r = iconv(cd, &in, &in_left, &out, &out_left);
        std::fwrite(buffer, 1, sizeof buffer - out_left, stderr);
        if (r == size_t(-1) && errno != E2BIG) {
            std::fputc('?', stderr);  // a byte without a counterpart: skip it
            ++in;
            --in_left;
        }
    }
    char* out = buffer;
    size_t out_left = sizeof buffer;
    iconv(cd, nullptr, nullptr, &out, &out_left);
    std::fwrite(buffer, 1, sizeof buffer - out_left, stderr);
    iconv_close(cd);
}

// Reads one line from standard input into line (the rest of a long line is
// dropped). Returns false at end of input.
bool ReadLine(char* line, size_t size) {
    if (std::fgets(line, int(size), stdin) == nullptr) return false;
    size_t len = std::strlen(line);
    if (len > 0 && line[len - 1] != '\n') {
        int c;
        while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
        }
    }
    return true;
}

// Trims blanks and line ends around word in place.
char* Trim(char* word) {
    while (*word == ' ' || *word == '\t') ++word;
    size_t len = std::strlen(word);
    while (len > 0 && (word[len - 1] == '\n' || word[len - 1] == '\r' || word[len - 1] == ' ' ||
                       word[len - 1] == '\t'))
        word[--len] = 0;
    return word;
}

}  // namespace

int PlatformMessageBox(const char* text, const char* caption, uint32_t type) {
    const bool question = type == 0x33 || type == 0x34;
    std::fflush(stdout);  // console lines before the box line
    for (;;) {
        std::fputc('[', stderr);
        PutCp1251(caption ? caption : "");
        std::fputs("] ", stderr);
        PutCp1251(text ? text : "");
        if (!question) {
            std::fputc('\n', stderr);
            std::fflush(stderr);
            if (isatty(STDIN_FILENO)) {
                char line[256];
                ReadLine(line, sizeof line);
            }
            return 1;
        }
        std::fputs(type == 0x33 ? " [y/n/c]? " : " [y/n]? ", stderr);
        std::fflush(stderr);
        char line[256];
        if (!ReadLine(line, sizeof line)) {
            std::fputc('\n', stderr);
            return 0;
        }
        const char* answer = Trim(line);
        if (strcasecmp(answer, "y") == 0 || strcasecmp(answer, "yes") == 0) return 6;
        if (strcasecmp(answer, "n") == 0 || strcasecmp(answer, "no") == 0) return 7;
        if (type == 0x33 && (strcasecmp(answer, "c") == 0 || strcasecmp(answer, "cancel") == 0)) return 2;
    }
}
