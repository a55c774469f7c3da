// The platform layer of the fuzz targets: a device scripted by the fuzz input.
// See fuzz_platform.h for the input layout.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_platform.h"
#include "platform/platform.h"

namespace {

struct Port {
    bool open;
    bool decoy;  // the "\r\n" device below the real one
};

// Each open takes a fresh slot, so a handle kept after its close is still
// recognisable as stale (a run opens far fewer ports than this).
constexpr int kSlots = 512;
Port slots[kSlots];
int next_slot = 0;

const uint8_t* input = nullptr;
size_t input_size = 0;
size_t pos = 0;

bool present = false;
int device_port = 1;
uint8_t flags = 0;
int fail_write_at = -1;
int writes = 0;
int opens = 0;
int open_attempts = 0;
int open_ports = 0;
int stale_uses = 0;
int boxes = 0;
const char* last_caption = "";
uint64_t bytes_written = 0;
bool endless = false;
bool decoy_answered = false;
int trace = 0;

uint32_t now = 0;
PlatformTimeouts timeouts = {0, 0, 0, 0, 0};
PlatformLineSettings line = {};

constexpr uint8_t kFlagTimeoutsRejected = 0x01;
constexpr uint8_t kFlagLineRejected = 0x02;
constexpr uint8_t kFlagReopenRefused = 0x04;
constexpr uint8_t kFlagGetStateFails = 0x08;
constexpr uint8_t kFlagDecoy = 0x10;

bool Next(uint8_t* b) {
    if (pos >= input_size) return false;
    *b = input[pos++];
    return true;
}

Port* Lookup(PlatformPort handle) {
    Port* p = static_cast<Port*>(handle);
    if (p == nullptr || p < slots || p >= slots + kSlots || !p->open) {
        ++stale_uses;
        return nullptr;
    }
    return p;
}

// Port number from "\\.\COMn", or -1.
int PortNumber(const char* path) {
    if (path == nullptr || std::strncmp(path, "\\\\.\\COM", 7) != 0) return -1;
    const char* d = path + 7;
    int n = 0;
    int digits = 0;
    while (*d >= '0' && *d <= '9' && digits < 3) {
        n = n * 10 + (*d - '0');
        ++d;
        ++digits;
    }
    if (digits == 0 || *d != '\0') return -1;
    return n;
}

// The time a read of count bytes may take under the applied profile, capped
// by the no-progress bound that every implementation keeps.
uint32_t ReadAllowance(uint32_t count) {
    uint64_t t = static_cast<uint64_t>(timeouts.ReadTotalTimeoutMultiplier) * count +
                 timeouts.ReadTotalTimeoutConstant;
    return t > kPlatformNoProgressMs ? kPlatformNoProgressMs : static_cast<uint32_t>(t);
}

bool LongProfile(uint32_t count) {
    uint64_t t = static_cast<uint64_t>(timeouts.ReadTotalTimeoutMultiplier) * count +
                 timeouts.ReadTotalTimeoutConstant;
    return t > kPlatformNoProgressMs;
}

void Start(bool with_device) {
    std::memset(slots, 0, sizeof slots);
    next_slot = 0;
    pos = 0;
    present = with_device;
    device_port = 1;
    flags = 0;
    fail_write_at = -1;
    writes = 0;
    opens = 0;
    open_attempts = 0;
    open_ports = 0;
    stale_uses = 0;
    boxes = 0;
    last_caption = "";
    bytes_written = 0;
    endless = false;
    decoy_answered = false;
    now = 0;
    std::memset(&timeouts, 0, sizeof timeouts);
    std::memset(&line, 0, sizeof line);
}

}  // namespace

namespace fuzzdev {

void Begin(const uint8_t* data, size_t size) {
    Start(true);
    input = data;
    input_size = size;
    uint8_t b = 0;
    if (Next(&b)) device_port = 1 + b % 98;
    if (Next(&b)) flags = b;
    if (Next(&b)) fail_write_at = b == 0xFF ? -1 : b;
    if (Next(&b)) now = 0xFFFFFFFFu - static_cast<uint32_t>(b) * 16u;
    if (trace) std::fprintf(stderr, "fuzzdev: device on COM%d flags %02X\n", device_port, flags);
}

void BeginNoDevice() {
    Start(false);
    input = nullptr;
    input_size = 0;
}

int OpenPorts() { return open_ports; }
int OpenAttempts() { return open_attempts; }
int StaleHandleUses() { return stale_uses; }
int BoxesShown() { return boxes; }
const char* LastBoxCaption() { return last_caption; }
uint64_t BytesWritten() { return bytes_written; }
void SetTrace(int on) { trace = on; }

}  // namespace fuzzdev

PlatformPort PlatformOpenPort(const char* path) {
    ++open_attempts;
    int n = PortNumber(path);
    if (!present || n < 0) return nullptr;
    bool decoy = (flags & kFlagDecoy) && device_port > 1 && n == device_port - 1;
    if (n != device_port && !decoy) return nullptr;
    if (!decoy) {
        if ((flags & kFlagReopenRefused) && opens > 0) return nullptr;
        ++opens;
    }
    Port* p = &slots[next_slot];
    next_slot = (next_slot + 1) % kSlots;
    p->open = true;
    p->decoy = decoy;
    decoy_answered = false;
    ++open_ports;
    if (trace) std::fprintf(stderr, "fuzzdev: open %s\n", path);
    return p;
}

void PlatformClosePort(PlatformPort port) {
    if (port == nullptr) return;
    Port* p = Lookup(port);
    if (p == nullptr) return;
    p->open = false;
    --open_ports;
}

int PlatformSetupComm(PlatformPort port, uint32_t, uint32_t) { return Lookup(port) != nullptr; }

int PlatformPurgeComm(PlatformPort port, uint32_t) { return Lookup(port) != nullptr; }

int PlatformGetCommState(PlatformPort port, PlatformLineSettings* dcb) {
    if (Lookup(port) == nullptr || (flags & kFlagGetStateFails)) return 0;
    std::memcpy(dcb, &line, sizeof line);
    return 1;
}

int PlatformSetCommState(PlatformPort port, const PlatformLineSettings* dcb) {
    if (Lookup(port) == nullptr || (flags & kFlagLineRejected)) return 0;
    std::memcpy(&line, dcb, sizeof line);
    return 1;
}

int PlatformSetCommTimeouts(PlatformPort port, const PlatformTimeouts* t) {
    if (Lookup(port) == nullptr || (flags & kFlagTimeoutsRejected)) return 0;
    timeouts = *t;
    return 1;
}

int PlatformSetCommMask(PlatformPort port, uint32_t) { return Lookup(port) != nullptr; }

int PlatformWriteFile(PlatformPort port, const void* buffer, uint32_t count, uint32_t* written) {
    *written = 0;
    Port* p = Lookup(port);
    if (p == nullptr) return 0;
    // The tool must never hand over more than it owns: touch every byte so the
    // address sanitizer sees an overrun of the caller's buffer.
    const volatile uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    uint8_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    (void)sum;
    if (!p->decoy && writes++ == fail_write_at) return 0;
    now += 1;
    bytes_written += count;
    *written = count;
    return 1;
}

int PlatformReadFile(PlatformPort port, void* buffer, uint32_t count, uint32_t* received) {
    *received = 0;
    Port* p = Lookup(port);
    if (p == nullptr) return 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    if (count == 0) return 1;
    if (p->decoy) {
        // Answers every probe with the two bytes in the wrong order.
        if (decoy_answered) {
            now += ReadAllowance(count);
            return LongProfile(count) ? 0 : 1;
        }
        static const uint8_t kCrLf[2] = {'\r', '\n'};
        uint32_t n = count < 2 ? count : 2;
        std::memcpy(out, kCrLf, n);
        *received = n;
        decoy_answered = true;
        now += 1;
        return 1;
    }
    if (endless) {
        std::memset(out, '>', count);
        *received = count;
        now += 1;
        return 1;
    }
    uint8_t c = 0;
    if (!Next(&c)) return 0;  // the device is gone
    now += 1;
    uint32_t want = count;
    if (c == 0xFF) return 0;
    if (c == 0xFE) {
        endless = true;
        std::memset(out, '>', count);
        *received = count;
        return 1;
    }
    if (c >= 0xF2) {
        now += ReadAllowance(count);
        return LongProfile(count) ? 0 : 1;
    }
    if (c == 0xF0) {
        uint8_t b = 0;
        if (!Next(&b)) return 0;
        std::memset(out, b, count);
        *received = count;
        return 1;
    }
    if (c == 0xF1) {
        uint8_t jump = 0;
        if (!Next(&jump)) return 0;
        now += jump;
        want = 1;
    } else if (c != 0) {
        want = c < count ? c : count;
    }
    size_t left = input_size - pos;
    uint32_t n = want < left ? want : static_cast<uint32_t>(left);
    if (n > 0) std::memcpy(out, input + pos, n);
    pos += n;
    *received = n;
    return 1;
}

uint32_t PlatformTickCount() { return now; }

void PlatformSleep(uint32_t ms) { now += ms; }

int PlatformMessageBox(const char* text, const char* caption, uint32_t type) {
    ++boxes;
    last_caption = caption;
    if (text == nullptr || caption == nullptr) std::abort();
    // Touch the whole text so an unterminated box text shows as an overrun.
    size_t length = std::strlen(text) + std::strlen(caption);
    if (trace) std::fprintf(stderr, "fuzzdev: box [%s] (%zu bytes)\n", caption, length);
    if (type != 0x33 && type != 0x34) return 1;
    uint8_t b = 0;
    if (!present || !Next(&b)) return 0;
    switch (b % 4) {
        case 0: return 6;
        case 1: return 7;
        case 2: return type == 0x33 ? 2 : 7;
        default: return 0;
    }
}
