// Scripted test double of the platform layer (see platform/fake_platform.h).
#include "platform/fake_platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>

namespace fake {
namespace {

struct Handle {
    Device* device;
    bool open;
};

struct State {
    std::map<std::string, Device> ports;
    std::map<uintptr_t, Handle> handles;
    uintptr_t next_handle = 1;
    std::vector<std::string> calls;
    uint32_t tick = 0;
    std::vector<uint32_t> sleeps;
    std::vector<Box> boxes;
    std::deque<int> answers;
    bool lenient = false;
};

State& S() {
    static State state;
    return state;
}

void Log(const std::string& entry) { S().calls.push_back(entry); }

std::string Hex8(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

std::string ShortName(const std::string& path) {
    return path.compare(0, 4, "\\\\.\\") == 0 ? path.substr(4) : path;
}

std::string Describe(const Step& step) {
    switch (step.kind) {
        case Step::kExpectWrite: return "write \"" + Escape(step.bytes) + "\"";
        case Step::kAnyWrite: return "write of " + std::to_string(step.size) + " bytes";
        case Step::kFailWrite: return "failing write";
        case Step::kReply: return "reply \"" + Escape(step.bytes.substr(step.offset)) + "\"";
        case Step::kSilence: return "silence";
        case Step::kFailRead: return "failing read";
        case Step::kVanish: return "vanish";
        case Step::kOpenFails: return "failing open";
        case Step::kRejectLine: return "rejected line settings";
        case Step::kRejectTimeouts: return "rejected time-outs";
    }
    return "?";
}

Handle* Find(PlatformPort port) {
    auto it = S().handles.find(reinterpret_cast<uintptr_t>(port));
    if (it == S().handles.end() || !it->second.open) return nullptr;
    return &it->second;
}

// A Vanish step at the head of the script takes effect at the next call.
void TakeVanish(Device& d) {
    while (!d.script.empty() && d.script.front().kind == Step::kVanish) {
        d.gone = true;
        d.script.pop_front();
    }
}

void DropQueuedReplies(Device& d) {
    while (!d.script.empty() && d.script.front().kind == Step::kReply) d.script.pop_front();
}

// Consumes a one-shot step of the given kind when it heads the script.
bool TakeOneShot(Device& d, Step::Kind kind) {
    if (!d.script.empty() && d.script.front().kind == kind) {
        d.script.pop_front();
        return true;
    }
    return false;
}

std::string ProfileName(const PlatformTimeouts& t) {
    if (t.ReadIntervalTimeout == 0xFFFFFFFFu && t.ReadTotalTimeoutMultiplier == 1 &&
        t.ReadTotalTimeoutConstant == 10 && t.WriteTotalTimeoutMultiplier == 1 &&
        t.WriteTotalTimeoutConstant == 10)
        return "short";
    if (t.ReadIntervalTimeout == 0x77BCB05Cu && t.ReadTotalTimeoutConstant == 0x77BC27D4u &&
        t.WriteTotalTimeoutConstant == 0x002DDB98u) {
        if (t.ReadTotalTimeoutMultiplier == 0x02825650u && t.WriteTotalTimeoutMultiplier == 0x02825650u)
            return "A";
        if (t.ReadTotalTimeoutMultiplier == 0x02861550u && t.WriteTotalTimeoutMultiplier == 0x02861550u)
            return "B";
    }
    return std::to_string(t.ReadIntervalTimeout) + "/" + std::to_string(t.ReadTotalTimeoutMultiplier) +
           "/" + std::to_string(t.ReadTotalTimeoutConstant) + "/" +
           std::to_string(t.WriteTotalTimeoutMultiplier) + "/" + std::to_string(t.WriteTotalTimeoutConstant);
}

// Time a read of count bytes may wait under the device's profile, in ms;
// returns false when the profile sets no bound below the no-progress bound.
bool ReadWait(const Device& d, uint32_t count, uint64_t* wait) {
    const PlatformTimeouts& t = d.timeouts;
    uint64_t total = uint64_t(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
    if (total == 0 && t.ReadIntervalTimeout == 0xFFFFFFFFu) {  // return at once with what is there
        *wait = 0;
        return true;
    }
    if (total == 0 || total > kPlatformNoProgressMs) {
        *wait = kPlatformNoProgressMs;
        return false;
    }
    *wait = total;
    return true;
}

Step MakeStep(Step::Kind kind, const std::string& bytes) {
    Step s;
    s.kind = kind;
    s.bytes = bytes;
    return s;
}

void Report(const std::string& message) {
    if (!S().lenient) ADD_FAILURE() << message;
}

}  // namespace

Device& Device::ExpectWrite(const std::string& bytes) {
    Step s = MakeStep(Step::kExpectWrite, bytes);
    script.push_back(s);
    return *this;
}
Device& Device::ExpectAnyWrite(uint32_t n) {
    Step s = MakeStep(Step::kAnyWrite, "");
    s.size = n;
    script.push_back(s);
    return *this;
}
Device& Device::FailWrite() {
    script.push_back(MakeStep(Step::kFailWrite, ""));
    return *this;
}
Device& Device::Reply(const std::string& bytes) {
    script.push_back(MakeStep(Step::kReply, bytes));
    return *this;
}
Device& Device::ReplyInPieces(const std::string& bytes, const std::vector<uint32_t>& pieces) {
    Step s = MakeStep(Step::kReply, bytes);
    s.pieces = pieces;
    script.push_back(s);
    return *this;
}
Device& Device::Silence() {
    script.push_back(MakeStep(Step::kSilence, ""));
    return *this;
}
Device& Device::FailRead() {
    script.push_back(MakeStep(Step::kFailRead, ""));
    return *this;
}
Device& Device::Vanish() {
    script.push_back(MakeStep(Step::kVanish, ""));
    return *this;
}
Device& Device::OpenFails() {
    script.push_back(MakeStep(Step::kOpenFails, ""));
    return *this;
}
Device& Device::RejectLine() {
    script.push_back(MakeStep(Step::kRejectLine, ""));
    return *this;
}
Device& Device::RejectTimeouts() {
    script.push_back(MakeStep(Step::kRejectTimeouts, ""));
    return *this;
}
Device& Device::ExpectWord(uint32_t address, uint32_t value) {
    return ExpectWrite("W" + Hex8(address) + "," + Hex8(value) + "#");
}
Device& Device::ExpectReadWord(uint32_t address, uint32_t reply) {
    return ExpectWrite("w" + Hex8(address) + ",4#").Reply(Word(reply));
}
Device& Device::ExpectReadOctet(uint32_t address, uint8_t reply) {
    return ExpectWrite("o" + Hex8(address) + ",4#").Reply(std::string(1, char(reply)));
}
Device& Device::ExpectGo(uint32_t address) { return ExpectWrite("G" + Hex8(address) + "#"); }
Device& Device::ExpectSendData(uint32_t address, const std::string& data) {
    return ExpectWrite("S" + Hex8(address) + "," + Hex8(uint32_t(data.size())) + "#").ExpectWrite(data);
}
Device& Device::ExpectReceiveData(uint32_t address, const std::string& data) {
    return ExpectWrite("R" + Hex8(address) + "," + Hex8(uint32_t(data.size())) + "#").Reply(data);
}

void Reset() {
    State& s = S();
    s.ports.clear();
    s.handles.clear();
    s.calls.clear();
    s.tick = 0;
    s.sleeps.clear();
    s.boxes.clear();
    s.answers.clear();
    s.lenient = false;
    // next_handle keeps counting so that handles from before never match again.
}

Device& AddPort(int number) { return AddPort("\\\\.\\COM" + std::to_string(number)); }

Device& AddPort(const std::string& path) {
    auto it = S().ports.find(path);
    if (it != S().ports.end()) return it->second;
    Device& d = S().ports[path];
    d.path = path;
    d.line.DCBlength = 28;
    d.line.BaudRate = 9600;
    d.line.ByteSize = 8;
    d.line.fBinary = 1;
    return d;
}

Device* FindPort(const std::string& path) {
    auto it = S().ports.find(path);
    return it == S().ports.end() ? nullptr : &it->second;
}

std::string Remaining() {
    std::string out;
    for (const auto& entry : S().ports) {
        const Device& d = entry.second;
        if (d.script.empty()) continue;
        out += ShortName(d.path) + ":";
        for (const Step& step : d.script) out += " [" + Describe(step) + "]";
        out += "\n";
    }
    return out;
}

const std::vector<std::string>& Calls() { return S().calls; }

std::vector<std::string> ConfigCalls() {
    std::vector<std::string> out;
    for (const std::string& c : S().calls) {
        if (c.compare(0, 5, "read ") == 0 || c.compare(0, 6, "write ") == 0 ||
            c.compare(0, 6, "sleep ") == 0 || c.compare(0, 4, "box ") == 0)
            continue;
        out.push_back(c);
    }
    return out;
}

static int CountPrefix(const char* prefix) {
    int n = 0;
    size_t len = std::strlen(prefix);
    for (const std::string& c : S().calls)
        if (c.compare(0, len, prefix) == 0) ++n;
    return n;
}
int ReadCalls() { return CountPrefix("read "); }
int WriteCalls() { return CountPrefix("write "); }

void SetTick(uint32_t ms) { S().tick = ms; }
uint32_t Tick() { return S().tick; }
const std::vector<uint32_t>& Sleeps() { return S().sleeps; }
const std::vector<Box>& Boxes() { return S().boxes; }
void QueueAnswer(int answer) { S().answers.push_back(answer); }
void SetLenient(bool lenient) { S().lenient = lenient; }

std::string Escape(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\\' || c == '"') {
            out += '\\';
            out += char(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string Word(uint32_t value) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[i] = char((value >> (8 * i)) & 0xFF);
    return out;
}

}  // namespace fake

using namespace fake;

PlatformPort PlatformOpenPort(const char* path) {
    std::string p = path ? path : "";
    Device* d = FindPort(p);
    bool ok = d != nullptr;
    if (ok) {
        TakeVanish(*d);
        if (TakeOneShot(*d, Step::kOpenFails) || d->refuse_open || d->gone || d->open) ok = false;
    }
    if (!ok) {
        Log("open " + ShortName(p) + " failed");
        return nullptr;
    }
    d->open = true;
    uintptr_t id = S().next_handle++;
    S().handles[id] = Handle{d, true};
    Log("open " + ShortName(p));
    return reinterpret_cast<PlatformPort>(id);
}

void PlatformClosePort(PlatformPort port) {
    if (port == nullptr) return;
    Log("close");
    Handle* h = Find(port);
    if (h == nullptr) return;
    h->open = false;
    h->device->open = false;
}

int PlatformSetupComm(PlatformPort port, uint32_t in_queue, uint32_t out_queue) {
    Log(in_queue == out_queue ? "queues " + std::to_string(in_queue)
                              : "queues " + std::to_string(in_queue) + "/" + std::to_string(out_queue));
    return Find(port) != nullptr;
}

int PlatformPurgeComm(PlatformPort port, uint32_t flags) {
    Log("purge " + std::to_string(flags));
    Handle* h = Find(port);
    if (h == nullptr) return 0;
    if (flags & 0x8) DropQueuedReplies(*h->device);
    return 1;
}

int PlatformGetCommState(PlatformPort port, PlatformLineSettings* dcb) {
    Handle* h = Find(port);
    if (h == nullptr || dcb == nullptr) return 0;
    *dcb = h->device->line;
    return 1;
}

int PlatformSetCommState(PlatformPort port, const PlatformLineSettings* dcb) {
    Handle* h = Find(port);
    bool ok = h != nullptr && dcb != nullptr;
    if (ok && (TakeOneShot(*h->device, Step::kRejectLine) || h->device->reject_line)) ok = false;
    Log(ok ? "line" : "line rejected");
    if (ok) h->device->line = *dcb;
    return ok;
}

int PlatformSetCommTimeouts(PlatformPort port, const PlatformTimeouts* timeouts) {
    Handle* h = Find(port);
    bool ok = h != nullptr && timeouts != nullptr;
    if (ok && (TakeOneShot(*h->device, Step::kRejectTimeouts) || h->device->reject_timeouts)) ok = false;
    Log("timeouts " + (timeouts ? ProfileName(*timeouts) : std::string("null")) + (ok ? "" : " rejected"));
    if (ok) h->device->timeouts = *timeouts;
    return ok;
}

int PlatformSetCommMask(PlatformPort port, uint32_t mask) {
    Log("mask " + std::to_string(mask));
    return Find(port) != nullptr;
}

int PlatformWriteFile(PlatformPort port, const void* buffer, uint32_t count, uint32_t* written) {
    if (written) *written = 0;
    std::string bytes(static_cast<const char*>(buffer), count);
    Handle* h = Find(port);
    if (h != nullptr) TakeVanish(*h->device);
    if (h == nullptr || h->device->gone) {
        Log("write " + Escape(bytes) + " failed");
        return 0;
    }
    Device& d = *h->device;
    auto it = d.script.begin();
    while (it != d.script.end() && it->kind == Step::kReply) ++it;
    bool ok = true;
    if (it == d.script.end()) {
        Report("unexpected write \"" + Escape(bytes) + "\" to " + ShortName(d.path) + ": script is used up");
    } else if (it->kind == Step::kExpectWrite) {
        if (it->bytes != bytes)
            Report("write to " + ShortName(d.path) + " differs\n  expected: \"" + Escape(it->bytes) +
                   "\"\n  written:  \"" + Escape(bytes) + "\"");
        d.script.erase(it);
    } else if (it->kind == Step::kAnyWrite) {
        if (it->size != count)
            Report("write to " + ShortName(d.path) + " of " + std::to_string(count) + " bytes, expected " +
                   std::to_string(it->size) + " bytes");
        d.script.erase(it);
    } else if (it->kind == Step::kFailWrite) {
        d.script.erase(it);
        ok = false;
    } else {
        Report("unexpected write \"" + Escape(bytes) + "\" to " + ShortName(d.path) + " while the script has " +
               Describe(*it));
    }
    Log("write " + Escape(bytes) + (ok ? "" : " failed"));
    if (ok && written) *written = count;
    return ok;
}

int PlatformReadFile(PlatformPort port, void* buffer, uint32_t count, uint32_t* received) {
    if (received) *received = 0;
    Handle* h = Find(port);
    if (h != nullptr) TakeVanish(*h->device);
    if (h == nullptr || h->device->gone) {
        Log("read " + std::to_string(count) + " -> failed");
        return 0;
    }
    Device& d = *h->device;
    if (TakeOneShot(d, Step::kFailRead)) {
        Log("read " + std::to_string(count) + " -> failed");
        return 0;
    }
    uint64_t wait = 0;
    const bool bounded = ReadWait(d, count, &wait);
    uint32_t got = 0;
    if (count == 0 || !TakeOneShot(d, Step::kSilence)) {
        unsigned char* out = static_cast<unsigned char*>(buffer);
        while (got < count && !d.script.empty() && d.script.front().kind == Step::kReply) {
            Step& step = d.script.front();
            size_t left = step.bytes.size() - step.offset;
            size_t take = std::min<size_t>(left, count - got);
            bool limited = false;
            if (step.next_piece < step.pieces.size()) {
                uint32_t piece = step.pieces[step.next_piece++];
                if (piece < take) take = piece;
                limited = bounded;  // without a time bound the read waits for the rest
            }
            std::memcpy(out + got, step.bytes.data() + step.offset, take);
            step.offset += take;
            got += uint32_t(take);
            if (step.offset == step.bytes.size()) d.script.pop_front();
            if (limited) break;
        }
    }
    if (got < count) {
        // Under a profile that returns at once, a call that found nothing
        // still takes 1 ms, so that polling loops advance in fake time.
        if (wait == 0 && got == 0) wait = 1;
        S().tick += uint32_t(wait);
        if (!bounded) {
            Log("read " + std::to_string(count) + " -> failed");
            return 0;
        }
    }
    Log("read " + std::to_string(count) + " -> " + std::to_string(got));
    if (received) *received = got;
    return 1;
}

uint32_t PlatformTickCount() { return S().tick; }

void PlatformSleep(uint32_t ms) {
    S().sleeps.push_back(ms);
    S().tick += ms;
    Log("sleep " + std::to_string(ms));
}

int PlatformMessageBox(const char* text, const char* caption, uint32_t type) {
    Box box{caption ? caption : "", text ? text : "", type};
    S().boxes.push_back(box);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", type);
    Log("box [" + box.caption + "] " + hex);
    if (!S().answers.empty()) {
        int answer = S().answers.front();
        S().answers.pop_front();
        return answer;
    }
    return (type == 0x33 || type == 0x34) ? 0 : 1;
}
