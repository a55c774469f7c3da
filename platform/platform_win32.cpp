// The platform layer on Windows: the Win32 communications functions for the
// COM port, the system tick and pause, and the system message box.
//
// Reads and writes never hand the caller's time-out profile to the driver as
// it stands. The profile is applied (so that a port which rejects it is told
// apart), and recorded; each read or write then runs as a loop of short
// driver calls under a slice profile of our own, and this layer keeps the
// profile's clock itself. That way the two long profiles, whose values set no
// practical bound (days), cannot hold the tool when the device has stopped
// answering: 5000 ms without a byte moved ends the call as a failure.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

namespace {

// Longest single driver call of a read or write loop, in ms. Short enough to
// notice the no-progress bound and the profile's own limits in time.
constexpr DWORD kSliceMs = 100;

// An open port: the driver handle, the profile the caller chose, and the
// time-outs last handed to the driver (to skip redundant driver calls).
struct Win32Port {
    HANDLE handle;
    PlatformTimeouts profile;
    COMMTIMEOUTS applied;
    bool applied_known;
};

// Open ports live in a small fixed table, so opening allocates nothing. The
// tool holds one port at a time; the spare slots serve tests that hold two.
constexpr int kMaxPorts = 8;
Win32Port g_ports[kMaxPorts];

Win32Port* FromHandle(PlatformPort port) { return static_cast<Win32Port*>(port); }

// The profile a freshly opened port works with until the caller sets one:
// no time limit of its own, so only the no-progress bound ends a transfer.
PlatformTimeouts NoTimeouts() { return PlatformTimeouts{0, 0, 0, 0, 0}; }

bool SetDriverTimeouts(Win32Port* p, const COMMTIMEOUTS& t) {
    if (p->applied_known && std::memcmp(&p->applied, &t, sizeof t) == 0) return true;
    COMMTIMEOUTS copy = t;
    if (!SetCommTimeouts(p->handle, &copy)) {
        p->applied_known = false;
        return false;
    }
    p->applied = t;
    p->applied_known = true;
    return true;
}

// Milliseconds left of a budget that started at start and lasts total ms
// (0 when it has run out). total UINT64_MAX means no budget.
uint64_t Remaining(uint64_t total, DWORD start) {
    if (total == UINT64_MAX) return UINT64_MAX;
    const uint64_t elapsed = static_cast<DWORD>(GetTickCount() - start);
    return elapsed >= total ? 0 : total - elapsed;
}

// A driver call that reports failure only because its time-out ran out: the
// slice ended with what moved, the port is fine.
bool SliceTimedOut() {
    const DWORD error = GetLastError();
    return error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT || error == ERROR_COUNTER_TIMEOUT;
}

DWORD Min3(uint64_t a, uint64_t b, uint64_t c) {
    uint64_t m = a < b ? a : b;
    if (c < m) m = c;
    return static_cast<DWORD>(m);
}

}  // namespace

PlatformPort PlatformOpenPort(const char* path) {
    if (path == nullptr) return nullptr;
    int slot = 0;
    while (slot < kMaxPorts && g_ports[slot].handle != nullptr) ++slot;
    if (slot == kMaxPorts) return nullptr;

    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) return nullptr;

    Win32Port* p = &g_ports[slot];
    p->handle = h;
    p->profile = NoTimeouts();
    p->applied_known = false;
    // A new connection starts with empty queues, whatever the device sent
    // while nobody held the port.
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return p;
}

void PlatformClosePort(PlatformPort port) {
    Win32Port* p = FromHandle(port);
    if (p == nullptr || p->handle == nullptr) return;
    CloseHandle(p->handle);
    p->handle = nullptr;
    p->applied_known = false;
}

int PlatformSetupComm(PlatformPort port, uint32_t in_queue, uint32_t out_queue) {
    Win32Port* p = FromHandle(port);
    if (p == nullptr) return 0;
    return SetupComm(p->handle, in_queue, out_queue) ? 1 : 0;
}

int PlatformPurgeComm(PlatformPort port, uint32_t flags) {
    Win32Port* p = FromHandle(port);
    if (p == nullptr) return 0;
    return PurgeComm(p->handle, flags) ? 1 : 0;
}

int PlatformGetCommState(PlatformPort port, PlatformLineSettings* dcb) {
    Win32Port* p = FromHandle(port);
    if (p == nullptr || dcb == nullptr) return 0;
    DCB d;
    std::memset(&d, 0, sizeof d);
    d.DCBlength = sizeof d;
    // On failure the caller's record stays as it was.
    if (!GetCommState(p->handle, &d)) return 0;
    dcb->DCBlength = d.DCBlength;
    dcb->BaudRate = d.BaudRate;
    dcb->fBinary = d.fBinary;
    dcb->fParity = d.fParity;
    dcb->fOutxCtsFlow = d.fOutxCtsFlow;
    dcb->fOutxDsrFlow = d.fOutxDsrFlow;
    dcb->fDtrControl = d.fDtrControl;
    dcb->fDsrSensitivity = d.fDsrSensitivity;
    dcb->fTXContinueOnXoff = d.fTXContinueOnXoff;
    dcb->fOutX = d.fOutX;
    dcb->fInX = d.fInX;
    dcb->fErrorChar = d.fErrorChar;
    dcb->fNull = d.fNull;
    dcb->fRtsControl = d.fRtsControl;
    dcb->fAbortOnError = d.fAbortOnError;
    dcb->fDummy2 = d.fDummy2;
    dcb->wReserved = d.wReserved;
    dcb->XonLim = d.XonLim;
    dcb->XoffLim = d.XoffLim;
    dcb->ByteSize = d.ByteSize;
    dcb->Parity = d.Parity;
    dcb->StopBits = d.StopBits;
    dcb->XonChar = d.XonChar;
    dcb->XoffChar = d.XoffChar;
    dcb->ErrorChar = d.ErrorChar;
    dcb->EofChar = d.EofChar;
    dcb->EvtChar = d.EvtChar;
    dcb->wReserved1 = d.wReserved1;
    return 1;
}

int PlatformSetCommState(PlatformPort port, const PlatformLineSettings* dcb) {
    Win32Port* p = FromHandle(port);
    if (p == nullptr || dcb == nullptr) return 0;
    DCB d;
    std::memset(&d, 0, sizeof d);
    d.DCBlength = dcb->DCBlength;
    d.BaudRate = dcb->BaudRate;
    d.fBinary = dcb->fBinary;
    d.fParity = dcb->fParity;
    d.fOutxCtsFlow = dcb->fOutxCtsFlow;
    d.fOutxDsrFlow = dcb->fOutxDsrFlow;
    d.fDtrControl = dcb->fDtrControl;
    d.fDsrSensitivity = dcb->fDsrSensitivity;
    d.fTXContinueOnXoff = dcb->fTXContinueOnXoff;
    d.fOutX = dcb->fOutX;
    d.fInX = dcb->fInX;
    d.fErrorChar = dcb->fErrorChar;
    d.fNull = dcb->fNull;
    d.fRtsControl = dcb->fRtsControl;
    d.fAbortOnError = dcb->fAbortOnError;
    d.fDummy2 = dcb->fDummy2;
    d.wReserved = dcb->wReserved;
    d.XonLim = dcb->XonLim;
    d.XoffLim = dcb->XoffLim;
    d.ByteSize = dcb->ByteSize;
    d.Parity = dcb->Parity;
    d.StopBits = dcb->StopBits;
    d.XonChar = dcb->XonChar;
    d.XoffChar = dcb->XoffChar;
    d.ErrorChar = dcb->ErrorChar;
    d.EofChar = dcb->EofChar;
    d.EvtChar = dcb->EvtChar;
    d.wReserved1 = dcb->wReserved1;
    return SetCommState(p->handle, &d) ? 1 : 0;
}

int PlatformSetCommTimeouts(PlatformPort port, const PlatformTimeouts* timeouts) {
    Win32Port* p = FromHandle(port);
    if (p == nullptr || timeouts == nullptr) return 0;
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = timeouts->ReadIntervalTimeout;
    t.ReadTotalTimeoutMultiplier = timeouts->ReadTotalTimeoutMultiplier;
    t.ReadTotalTimeoutConstant = timeouts->ReadTotalTimeoutConstant;
    t.WriteTotalTimeoutMultiplier = timeouts->WriteTotalTimeoutMultiplier;
    t.WriteTotalTimeoutConstant = timeouts->WriteTotalTimeoutConstant;
    // The driver decides whether it takes the profile; a rejected profile
    // leaves the one before in force.
    if (!SetDriverTimeouts(p, t)) return 0;
    p->profile = *timeouts;
    return 1;
}

int PlatformSetCommMask(PlatformPort port, uint32_t mask) {
    Win32Port* p = FromHandle(port);
    if (p == nullptr) return 0;
    return SetCommMask(p->handle, mask) ? 1 : 0;
}

int PlatformWriteFile(PlatformPort port, const void* buffer, uint32_t count, uint32_t* written) {
    Win32Port* p = FromHandle(port);
    if (written != nullptr) *written = 0;
    if (p == nullptr || (buffer == nullptr && count > 0)) return 0;

    const PlatformTimeouts& prof = p->profile;
    // The profile's total for this block; both fields 0 means no limit.
    uint64_t total = UINT64_MAX;
    if (prof.WriteTotalTimeoutMultiplier != 0 || prof.WriteTotalTimeoutConstant != 0) {
        total = static_cast<uint64_t>(prof.WriteTotalTimeoutMultiplier) * count +
                prof.WriteTotalTimeoutConstant;
    }

    const uint8_t* at = static_cast<const uint8_t*>(buffer);
    uint32_t sent = 0;
    const DWORD start = GetTickCount();
    DWORD last_progress = start;
    while (sent < count) {
        const uint64_t left = Remaining(total, start);
        if (left == 0) break;  // the profile's time ran out before the block was sent
        const uint64_t stall = Remaining(kPlatformNoProgressMs, last_progress);
        if (stall == 0) break;  // 5000 ms without a byte leaving
        COMMTIMEOUTS t = p->applied_known ? p->applied : COMMTIMEOUTS{};
        t.WriteTotalTimeoutMultiplier = 0;
        t.WriteTotalTimeoutConstant = Min3(left, stall, kSliceMs);
        if (!SetDriverTimeouts(p, t)) return 0;
        DWORD done = 0;
        if (!WriteFile(p->handle, at + sent, count - sent, &done, nullptr) && !SliceTimedOut()) return 0;
        if (done > count - sent) done = count - sent;
        if (done > 0) {
            sent += done;
            if (written != nullptr) *written = sent;
            last_progress = GetTickCount();
        }
    }
    return sent == count ? 1 : 0;
}

int PlatformReadFile(PlatformPort port, void* buffer, uint32_t count, uint32_t* received) {
    Win32Port* p = FromHandle(port);
    if (received != nullptr) *received = 0;
    if (p == nullptr || (buffer == nullptr && count > 0)) return 0;
    if (count == 0) return 1;

    const PlatformTimeouts& prof = p->profile;
    const bool no_totals = prof.ReadTotalTimeoutMultiplier == 0 && prof.ReadTotalTimeoutConstant == 0;
    uint8_t* at = static_cast<uint8_t*>(buffer);

    if (prof.ReadIntervalTimeout == MAXDWORD && no_totals) {
        // Return at once with whatever has arrived.
        COMMTIMEOUTS t = p->applied_known ? p->applied : COMMTIMEOUTS{};
        t.ReadIntervalTimeout = MAXDWORD;
        t.ReadTotalTimeoutMultiplier = 0;
        t.ReadTotalTimeoutConstant = 0;
        if (!SetDriverTimeouts(p, t)) return 0;
        DWORD got = 0;
        if (!ReadFile(p->handle, at, count, &got, nullptr)) return 0;
        if (received != nullptr) *received = got > count ? count : got;
        return 1;
    }

    // The profile's total for this request; both fields 0 means no limit.
    const uint64_t total =
        no_totals ? UINT64_MAX
                  : static_cast<uint64_t>(prof.ReadTotalTimeoutMultiplier) * count + prof.ReadTotalTimeoutConstant;
    // The gap allowed between two bytes once the first has come; 0 and the
    // maximum both set no gap limit.
    const uint64_t gap = (prof.ReadIntervalTimeout == 0 || prof.ReadIntervalTimeout == MAXDWORD)
                             ? UINT64_MAX
                             : prof.ReadIntervalTimeout;
    // Only where the profile itself would wait longer than the bound does the
    // bound apply: a short profile ends with what came, as the driver would.
    const bool bounded = total <= kPlatformNoProgressMs;

    uint32_t got_total = 0;
    const DWORD start = GetTickCount();
    DWORD last_byte = start;
    while (got_total < count) {
        const uint64_t left = Remaining(total, start);
        if (left == 0) break;
        uint64_t stall = bounded ? UINT64_MAX : Remaining(kPlatformNoProgressMs, last_byte);
        if (stall == 0) return 0;  // the device stopped answering
        if (got_total > 0 && gap != UINT64_MAX) {
            const uint64_t gap_left = Remaining(gap, last_byte);
            if (gap_left == 0) break;
            if (gap_left < stall) stall = gap_left;
        }
        COMMTIMEOUTS t = p->applied_known ? p->applied : COMMTIMEOUTS{};
        t.ReadIntervalTimeout = 0;
        t.ReadTotalTimeoutMultiplier = 0;
        t.ReadTotalTimeoutConstant = Min3(left, stall, kSliceMs);
        if (!SetDriverTimeouts(p, t)) return 0;
        DWORD got = 0;
        if (!ReadFile(p->handle, at + got_total, count - got_total, &got, nullptr) && !SliceTimedOut()) return 0;
        if (got > count - got_total) got = count - got_total;
        if (got > 0) {
            got_total += got;
            if (received != nullptr) *received = got_total;
            last_byte = GetTickCount();
        }
    }
    return 1;
}

uint32_t PlatformTickCount() { return GetTickCount(); }

void PlatformSleep(uint32_t ms) { Sleep(ms); }

int PlatformMessageBox(const char* text, const char* caption, uint32_t type) {
    // The texts are stored in code page 1251 and shown as such on every
    // system, whatever its own ANSI code page is.
    wchar_t wide_text[1024];
    wchar_t wide_caption[256];
    if (text == nullptr || caption == nullptr) return 0;
    if (MultiByteToWideChar(1251, 0, text, -1, wide_text, 1024) == 0) return 0;
    if (MultiByteToWideChar(1251, 0, caption, -1, wide_caption, 256) == 0) return 0;
    const int answer = MessageBoxW(nullptr, wide_text, wide_caption, type);
    switch (answer) {
        case IDOK:
        case IDCANCEL:
        case IDYES:
        case IDNO:
            return answer;
        default:
            return 0;  // not shown, or an answer no box of ours offers
    }
}
