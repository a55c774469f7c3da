// Applet start-up and the completion poll of the SRAM mailbox.
//
// An applet command is one cycle: the host writes the command word and its
// arguments, starts the applet with Go(AppletBase), and reads the words back.
// The monitor answers the next frame only after the applet has returned, so
// start-up replies are read right after Go.
#include "applet/mailbox.h"

#include "applet/images.h"
#include "monitor/frames.h"
#include "platform/platform.h"

uint32_t AppletInfo[2] = {0, 0};

namespace {

// Done value of the init command (bitwise NOT of command code 0).
constexpr uint32_t kInitDone = 0xFFFFFFFF;
// What FlashApplet's init reports: flash size, buffer address and size, and
// the lock-region layout (32 regions of 0x4000 bytes).
constexpr uint32_t kFlashSize = 0x00080000;
constexpr uint32_t kBufferAddress = 0x00202AF4;
constexpr uint32_t kBufferSize = 0x00005400;
constexpr uint32_t kRegionLayout = 0x00204000;
// Pause between two completion checks, in ms, and the number of checks.
constexpr uint32_t kPollPauseMs = 2;
constexpr int kPollChecks = 6;

struct MailboxWrite {
    uint32_t address;
    uint32_t value;
    int32_t code;  // returned when the write frame cannot be sent
};

struct MailboxExpect {
    uint32_t address;
    uint32_t value;
    int32_t code;     // returned when the word read differs
    uint32_t* keep;   // where the word is stored once it passed, or nullptr
};

// Reads address up to three times; passes only after three reads in a row
// gave expected, stops at the first read that did not.
bool ReadsStayAt(uint32_t address, uint32_t expected) {
    for (int i = 0; i < 3; ++i) {
        if (ReadWord(address) != expected) return false;
    }
    return true;
}

// Sends one applet, fills its mailbox, starts it and checks its init reply
// word by word. Returns 0 or the code of the first failing step.
int32_t StartApplet(const uint8_t* image, uint32_t size, int32_t send_code,
                    const MailboxWrite* writes, int write_count,
                    const MailboxExpect* expects, int expect_count,
                    uint32_t repeated_value, int32_t repeated_code) {
    if (SendApplet(size, image) != 0) return send_code;
    for (int i = 0; i < write_count; ++i) {
        if (WriteWord(writes[i].address, writes[i].value) != 0) return writes[i].code;
    }
    // A failed Go has no code of its own: it closes the port, the command
    // word then reads back as 0 and the first check fails.
    Go(AppletBase);
    for (int i = 0; i < expect_count; ++i) {
        uint32_t word = ReadWord(expects[i].address);
        if (word != expects[i].value) return expects[i].code;
        if (expects[i].keep != nullptr) *expects[i].keep = word;
    }
    if (!ReadsStayAt(kMailboxArg4, repeated_value)) return repeated_code;
    return 0;
}

}  // namespace

int32_t UploadApplets() {
    static const MailboxWrite kInitWrites[] = {
        {kMailboxCommand, 0, 101}, {kMailboxArg1, 0, 102}, {kMailboxArg2, 4, 103},
        {kMailboxArg3, 0, 104},    {kMailboxArg4, 0, 105}, {kMailboxArg5, 0, 106},
    };
    static const MailboxExpect kInitReply[] = {
        {kMailboxCommand, kInitDone, 201, nullptr}, {kMailboxStatus, 0, 202, nullptr},
        {kMailboxArg1, 0, 203, nullptr},            {kMailboxArg2, 4, 204, nullptr},
        {kMailboxArg3, 0, 205, nullptr},
    };
    // Stage 2 leaves arguments 4 and 5 at the zeros of the fresh image.
    static const MailboxWrite kFlashWrites[] = {
        {kMailboxCommand, 0, 401}, {kMailboxArg1, 0, 402}, {kMailboxArg2, 4, 403}, {kMailboxArg3, 0, 404},
    };
    static const MailboxExpect kFlashReply[] = {
        {kMailboxCommand, kInitDone, 447, nullptr},
        {kMailboxStatus, 0, 448, nullptr},
        {kMailboxArg1, kFlashSize, 449, nullptr},
        {kMailboxArg2, kBufferAddress, 450, &AppletInfo[0]},
        {kMailboxArg3, kBufferSize, 451, &AppletInfo[1]},
    };

    int32_t r = StartApplet(InitApplet, sizeof InitApplet, 121, kInitWrites, 6, kInitReply, 5, 0, 206);
    if (r != 0) return r;
    return StartApplet(FlashApplet, sizeof FlashApplet, 321, kFlashWrites, 4, kFlashReply, 5, kRegionLayout, 501);
}

int32_t GetAppletBufferSize() {
    return static_cast<int32_t>(AppletInfo[1]);
}

int32_t CheckAppletDone(int32_t count, int32_t doneValue) {
    if (ReadWord(kMailboxCommand) != static_cast<uint32_t>(doneValue)) return 1;
    if (ReadWord(kMailboxStatus) != 0) return 2;
    if (ReadWord(kMailboxArg1) != static_cast<uint32_t>(count)) return 3;
    return 0;
}

int32_t WaitAppletDone(int32_t count, int32_t doneValue) {
    int32_t r = 0;
    for (int attempt = 0; attempt < kPollChecks; ++attempt) {
        r = CheckAppletDone(count, doneValue);
        if (r == 0) return 0;
        PlatformSleep(kPollPauseMs);
    }
    return r;
}
