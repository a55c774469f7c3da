// Mode, version and monitor-start handshakes, all sent from ModeFrame.
#include "monitor/handshakes.h"

#include <cstdio>
#include <cstring>

#include "monitor/frames.h"
#include "serial/port.h"

// Sends the two-byte frame c0 c1 and reads n reply bytes; accepts when reply
// bytes first and first + 1 are a and b. 0 accepted, 1 send failed, 2 read
// failed, 4 other answer.
static int ModeHandshake(uint8_t c0, uint8_t c1, uint32_t n, int first, uint8_t a, uint8_t b) {
    uint8_t mon_recive[3] = {0, 0, 0};
    ModeFrame[0] = c0;
    ModeFrame[1] = c1;
    if (WritePort(ModeFrame, 2) != 0) return 1;
    if (ReadPort(mon_recive, n) != 0) return 2;
    return (mon_recive[first] == a && mon_recive[first + 1] == b) ? 0 : 4;
}

int EnterNormalMode() { return ModeHandshake('N', '#', 2, 0, '\n', '\r'); }

int CheckTerminalPrompt() { return ModeHandshake('T', '#', 3, 1, '\r', '>'); }

int CheckTerminalMode() { return ModeHandshake('T', '#', 3, 1, '\r', '\n'); }

int ReturnToTerminal() {
    ModeFrame[0] = 'T';
    ModeFrame[1] = '#';
    return WritePort(ModeFrame, 2);
}

// Prints the version text up to its first 0 byte. Printable ASCII, carriage
// return, line feed and tab pass as they are; any other byte prints as '?',
// so that a device cannot send terminal control sequences to the console.
static void PrintVersionText(const uint8_t* text, size_t size) {
    char shown[41];
    size_t i = 0;
    for (; i < size && i < sizeof shown - 1 && text[i] != 0; ++i) {
        uint8_t c = text[i];
        bool plain = (c >= 0x20 && c <= 0x7E) || c == '\r' || c == '\n' || c == '\t';
        shown[i] = plain ? static_cast<char>(c) : '?';
    }
    shown[i] = 0;
    std::fputs(shown, stdout);
    std::fflush(stdout);
}

int32_t QueryVersion() {
    uint8_t mailbox_rd[128];
    uint8_t mon_recive_b[2] = {0, 0};
    std::memset(mailbox_rd, 0, sizeof mailbox_rd);

    ModeFrame[0] = 'V';
    ModeFrame[2] = '\n';
    if (WritePort(ModeFrame, 3) != 0) return 1;

    // A text shorter than 40 bytes ends the read when the budget runs out.
    ReadPort(mailbox_rd, 40);
    for (int i = 2; i < 40; ++i)
        if (mailbox_rd[i] == '>') mailbox_rd[i] = 0;

    std::fputs("Chip ver : ", stdout);
    std::fflush(stdout);
    PrintVersionText(mailbox_rd, 40);

    const int32_t version_code = (static_cast<int32_t>(static_cast<int8_t>(mailbox_rd[3])) - 48) * 10;

    ModeFrame[0] = '#';
    ModeFrame[1] = '\n';
    int result = WritePort(ModeFrame, 2);
    if (result != 0) return 40 + result;

    PurgePort(10);
    PurgePort(5);
    ClosePort();
    if (OpenPort() != 0) return 87;
    SetLongTimeoutsA();
    SetQueueSizes(8192);

    ModeFrame[0] = 'N';
    ModeFrame[1] = '#';
    result = WritePort(ModeFrame, 2);
    if (result != 0) return 60 + result;
    result = ReadPort(mon_recive_b, 2);
    if (result != 0) return 50 + result;
    if (mon_recive_b[0] == '\n' && mon_recive_b[1] == '\r') return version_code;
    return 4;
}
