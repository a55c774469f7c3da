// Flash operations, each built from flash-applet commands through the SRAM
// mailbox. Every Go here starts the resident flash applet at AppletBase.
#include "applet/flash.h"

#include <cstdio>

#include "applet/mailbox.h"
#include "monitor/frames.h"
#include "platform/platform.h"
#include "run/buffers.h"

int32_t FlashOffset = 0;

namespace {

// Command codes of the flash applet and their done values (bitwise NOT).
constexpr uint32_t kCmdErase = 1;
constexpr uint32_t kCmdWrite = 2;
constexpr uint32_t kCmdRead = 3;
constexpr uint32_t kCmdLock = 4;
constexpr uint32_t kCmdUnlock = 5;
constexpr uint32_t kCmdGpnvm = 6;
constexpr uint32_t DoneValue(uint32_t command) { return ~command; }

// Last byte of the applet buffer (0x00202AF4 + 0x5400 - 1), the last byte of
// every chunk.
constexpr uint32_t kBufferLastByte = 0x00207EF3;

constexpr int kLockRegions = 32;
// Pause between starting the full erase and reading its status, in ms.
constexpr uint32_t kErasePauseMs = 2;

// Progress marks go out at once, without waiting for the end of the line.
void Mark(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// One lock or unlock command per region 0-31, a dot after every fourth.
// codes: write command, write region, command word, status word.
int32_t WalkRegions(uint32_t command, const int32_t codes[4]) {
    for (int region = 0; region < kLockRegions; ++region) {
        if (WriteWord(kMailboxCommand, command) != 0) return codes[0];
        if (WriteWord(kMailboxArg1, static_cast<uint32_t>(region)) != 0) return codes[1];
        // A failed Go closes the port; the command word then reads 0.
        Go(AppletBase);
        if (ReadWord(kMailboxCommand) != DoneValue(command)) return codes[2];
        if (ReadWord(kMailboxStatus) != 0) return codes[3];
        if ((region + 1) % 4 == 0) Mark(".");
    }
    return 0;
}

// Writes the command word and the three transfer arguments, then starts the
// applet. Returns 0, or base + 1..4 for a failed write, go_code for Go.
int32_t StartTransfer(uint32_t command, int32_t count, int32_t base, int32_t go_code) {
    if (WriteWord(kMailboxCommand, command) != 0) return base + 1;
    if (WriteWord(kMailboxArg1, AppletInfo[0]) != 0) return base + 2;
    if (WriteWord(kMailboxArg2, static_cast<uint32_t>(count)) != 0) return base + 3;
    if (WriteWord(kMailboxArg3, static_cast<uint32_t>(FlashOffset)) != 0) return base + 4;
    if (Go(AppletBase) != 0) return go_code;
    FlashOffset += count;
    return 0;
}

}  // namespace

int32_t UnlockAndEraseAll() {
    static const int32_t kUnlockCodes[4] = {80, 81, 82, 83};
    int32_t r = WalkRegions(kCmdUnlock, kUnlockCodes);
    if (r != 0) return r;
    if (WriteWord(kMailboxCommand, kCmdErase) != 0) return 84;
    if (WriteWord(kMailboxArg1, 0) != 0) return 85;
    Go(AppletBase);
    PlatformSleep(kErasePauseMs);
    // After the full erase only the status word decides.
    ReadWord(kMailboxCommand);
    if (ReadWord(kMailboxStatus) != 0) {
        Mark("+ ");
        return 86;
    }
    return 0;
}

int32_t SendChunk(uint32_t address, int32_t count) {
    return SendData(address, static_cast<uint32_t>(count), TransferBuffer);
}

int32_t WriteChunk(int32_t count) {
    int32_t r = SendChunk(AppletInfo[0], count);
    if (r != 0) return 700 + r;
    // The completion is confirmed by the caller's WaitAppletDone.
    return StartTransfer(kCmdWrite, count, 720, 731);
}

void ResetFlashOffset() {
    FlashOffset = 0;
}

int32_t ReadChunk(int32_t count) {
    int32_t r = StartTransfer(kCmdRead, count, 520, 531);
    if (r != 0) return r;
    r = WaitAppletDone(count, static_cast<int32_t>(DoneValue(kCmdRead)));
    if (r != 0) return 540 + r;
    return 0;
}

int32_t FetchChunk(int32_t count) {
    // count - 1 bytes through the R frame, the last one by a byte read of the
    // applet buffer's last byte; a wrong last byte shows in the comparison.
    int r = ReceiveData(AppletInfo[0], static_cast<uint32_t>(count - 1), TransferBuffer);
    if (r == 1) return 564;
    if (r != 0) return 565;
    TransferBuffer[count - 1] = ReadOctet(kBufferLastByte);
    return 0;
}

int32_t LockAllRegions() {
    static const int32_t kLockCodes[4] = {380, 381, 382, 383};
    return WalkRegions(kCmdLock, kLockCodes);
}

int32_t SetGpnvm2() {
    if (WriteWord(kMailboxCommand, kCmdGpnvm) != 0) return 371;
    if (WriteWord(kMailboxArg1, 1) != 0) return 372;
    if (WriteWord(kMailboxArg2, 2) != 0) return 373;
    if (Go(AppletBase) != 0) return 361;
    if (ReadWord(kMailboxCommand) != DoneValue(kCmdGpnvm)) return 361;
    if (ReadWord(kMailboxStatus) != 0) return 362;
    return 0;
}
