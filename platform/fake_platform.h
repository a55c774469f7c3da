// Scripted test double of the platform layer: a fake device behind every
// function of platform/platform.h, fake time and recorded message boxes.
//
// Usage in a test:
//
//   fake::Reset();                      // no ports, tick 0, empty records
//   PortHandle = nullptr;               // the serial globals are the test's
//   fake::Device& dev = fake::AddPort(3);            // "\\.\COM3" exists
//   dev.ExpectWrite("N#").Reply(std::string("\n\r", 2));
//   dev.ExpectWord(0x00202004, 6);                   // "W00202004,00000006#"
//   dev.ExpectReadWord(0xFFFFF240, 0x12345678);      // "wFFFFF240,4#" + 4 bytes
//   dev.Silence().FailRead();                        // one empty read, then a failing one
//   ... run the code under test ...
//   EXPECT_EQ(fake::Remaining(), "");                // whole script consumed
//   EXPECT_EQ(fake::ConfigCalls(), (std::vector<std::string>{"open COM3", ...}));
//
// The script of a device is one ordered list of steps that survives closing
// and reopening the port:
// - A write consumes the first step that is not queued reply data; it must be
//   ExpectWrite (exact bytes; a mismatch is a test failure that shows both
//   byte strings escaped), ExpectAnyWrite(n) or FailWrite. A write nobody
//   expected is a test failure (unless SetLenient(true)) and succeeds.
// - Reply steps are bytes the device has sent; they wait at the head of the
//   script until read. A read takes up to the asked count from consecutive
//   leading Reply steps. ReplyInPieces limits what each read call gets from
//   that step (the rest arrives later). Purge with bit 0x8 discards the
//   leading Reply steps; opening a port does not, so a script may queue a
//   reply before the open.
// - A read that gets fewer bytes than asked lasts the read time-out of the
//   applied profile (multiplier * n + constant ms of fake time) and succeeds
//   with what came. Under a profile without a practical bound (total above
//   kPlatformNoProgressMs, or no total at all) it fails after 5000 fake ms.
//   Under the return-at-once profile (interval 0xFFFFFFFF, totals 0) a short
//   read takes no time when it got bytes and 1 ms when it got none.
//   Silence() makes one read call get nothing; FailRead() makes one fail.
// - Vanish(): from this point on the device is gone: reads, writes and
//   opens fail. OpenFails(), RejectLine(), RejectTimeouts(): the next such
//   call fails when the step is at the head of the script (one-shot); the
//   Device flags refuse_open, reject_line, reject_timeouts do it always.
// - A port is exclusive: a second open while it is open fails.
//
// Calls() records every platform call as a short text: "open COM3",
// "open COM3 failed", "close", "queues 4096", "purge 15", "mask 1",
// "timeouts short" / "timeouts A" / "timeouts B" / "timeouts <5 fields>"
// (" rejected" appended when refused), "line" / "line rejected",
// "write <escaped bytes>", "write <escaped bytes> failed",
// "read <n> -> <got>" / "read <n> -> failed", "sleep <ms>",
// "box [<caption>] 0x<type>". ConfigCalls() is the same without reads,
// writes, sleeps and boxes.
#ifndef QUILLMERE_PLATFORM_FAKE_PLATFORM_H
#define QUILLMERE_PLATFORM_FAKE_PLATFORM_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

// One scripted event of a device (built through the Device methods).
struct Step {
    enum Kind {
        kExpectWrite,
        kAnyWrite,
        kFailWrite,
        kReply,
        kSilence,
        kFailRead,
        kVanish,
        kOpenFails,
        kRejectLine,
        kRejectTimeouts
    };
    Kind kind = kExpectWrite;
    std::string bytes;            // expected write, or reply bytes
    uint32_t size = 0;            // byte count of kAnyWrite
    std::vector<uint32_t> pieces; // per-read-call limits of a reply
    size_t next_piece = 0;        // pieces already used
    size_t offset = 0;            // reply bytes already read
};

// A fake serial device at one port path.
struct Device {
    std::string path;              // e.g. "\\.\COM3"
    bool refuse_open = false;      // every open fails (absent driver, held by another program)
    bool reject_line = false;      // every SetCommState is refused
    bool reject_timeouts = false;  // every SetCommTimeouts is refused
    bool gone = false;             // set by a Vanish step: reads, writes and opens fail
    bool open = false;             // a handle is open on it
    PlatformLineSettings line{};   // line settings, kept across close and reopen
    PlatformTimeouts timeouts{};   // applied profile, kept across close and reopen
    std::deque<Step> script;

    // The next write must be exactly these bytes.
    Device& ExpectWrite(const std::string& bytes);
    // The next write must be n bytes, of any content (image and chunk data).
    Device& ExpectAnyWrite(uint32_t n);
    // The next write fails (device gone for that call).
    Device& FailWrite();
    // The device sends these bytes.
    Device& Reply(const std::string& bytes);
    // The device sends these bytes; read call k gets at most pieces[k] of
    // them (0 = that call gets nothing from this step).
    Device& ReplyInPieces(const std::string& bytes, const std::vector<uint32_t>& pieces);
    // One read call gets nothing (the device stays silent for its time-out).
    Device& Silence();
    // One read call fails.
    Device& FailRead();
    // From here on the device is gone.
    Device& Vanish();
    // The next open, SetCommState or SetCommTimeouts at this point fails.
    Device& OpenFails();
    Device& RejectLine();
    Device& RejectTimeouts();

    // Frame builders: "W<addr>,<value>#"; "w<addr>,4#" answered with the
    // 4 little-endian bytes of reply; "o<addr>,4#" answered with one byte;
    // "G<addr>#"; "S<addr>,<len>#" followed by a write of exactly data;
    // "R<addr>,<count>#" answered with data.
    Device& ExpectWord(uint32_t address, uint32_t value);
    Device& ExpectReadWord(uint32_t address, uint32_t reply);
    Device& ExpectReadOctet(uint32_t address, uint8_t reply);
    Device& ExpectGo(uint32_t address);
    Device& ExpectSendData(uint32_t address, const std::string& data);
    Device& ExpectReceiveData(uint32_t address, const std::string& data);
};

// Forgets every port, record, answer and setting; the tick count becomes 0.
// Handles given out before are invalid afterwards (calls on them fail).
void Reset();

// Makes the port "\\.\COM<number>" (or the given path) exist and returns its
// device; adding an existing path returns the existing device.
Device& AddPort(int number);
Device& AddPort(const std::string& path);

// The device at a path, or nullptr.
Device* FindPort(const std::string& path);

// Empty when every device's script has been consumed; else one line per
// device naming its remaining steps.
std::string Remaining();

// Records of platform calls (format in the header comment).
const std::vector<std::string>& Calls();
std::vector<std::string> ConfigCalls();
int ReadCalls();   // number of PlatformReadFile calls
int WriteCalls();  // number of PlatformWriteFile calls

// Fake time in ms: PlatformTickCount returns it; sleeps and waiting reads
// advance it (wrapping at 2^32).
void SetTick(uint32_t ms);
uint32_t Tick();
const std::vector<uint32_t>& Sleeps();  // every PlatformSleep argument

// Message boxes shown, in order, and the answers they get: queued answers
// first; with an empty queue notices (0x10, 0x40) get 1, questions 0.
struct Box {
    std::string caption;  // code page 1251 bytes
    std::string text;     // code page 1251 bytes
    uint32_t type;
};
const std::vector<Box>& Boxes();
void QueueAnswer(int answer);

// Lenient mode (fuzzing): unexpected writes are accepted without a test failure.
void SetLenient(bool lenient);

// Helpers for scripts: bytes as C-like escaped text ("N#\n\x00"), and the
// 4 little-endian bytes of a word.
std::string Escape(const std::string& bytes);
std::string Word(uint32_t value);

}  // namespace fake

#endif
