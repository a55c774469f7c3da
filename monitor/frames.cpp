// The boot monitor's address command frames, built in CommandFrame.
#include "monitor/frames.h"

#include "applet/images.h"
#include "serial/port.h"

uint8_t ModeFrame[4] = {'N', '#', 0, 0};
uint8_t CommandFrame[20] = {'W', '0', '0', '0', '0', '0', '0', '0', '0', ',',
                            '0', '0', '0', '0', '0', '0', '0', '0', '#', 0};
uint8_t ReadReply[4];

// Uppercase hexadecimal digit of the low 4 bits of v.
static uint8_t HexDigit(uint32_t v) {
    uint32_t n = v & 0xF;
    return static_cast<uint8_t>(n <= 9 ? n + 48 : n + 55);
}

void EncodeAddress(uint32_t address) {
    uint32_t v = address;
    for (int i = 0; i < 8; ++i) {
        CommandFrame[8 - i] = HexDigit(v);
        v >>= 4;
    }
}

// Digit count of a value of width bytes: 2, 4 or 8 (2 for any other width).
static int DigitCount(int32_t width) {
    if (width == 2) return 4;
    if (width == 4) return 8;
    return 2;
}

void EncodeValue(uint32_t value, int32_t width) {
    const int n = DigitCount(width);
    uint32_t v = value;
    for (int i = 0; i < n; ++i) {
        CommandFrame[9 + n - i] = HexDigit(v);
        v >>= 4;
    }
}

// Builds letter, address, ',', value digits, '#', 0 and returns the frame length.
static uint32_t BuildValueFrame(uint8_t letter, uint32_t address, uint32_t value, int32_t width) {
    const int n = DigitCount(width);
    CommandFrame[0] = letter;
    EncodeAddress(address);
    CommandFrame[9] = ',';
    EncodeValue(value, width);
    CommandFrame[10 + n] = '#';
    CommandFrame[11 + n] = 0;
    return static_cast<uint32_t>(11 + n);
}

// Builds the read frame "<letter><address>,4#" (12 bytes).
static void BuildReadFrame(uint8_t letter, uint32_t address) {
    CommandFrame[0] = letter;
    EncodeAddress(address);
    CommandFrame[9] = ',';
    CommandFrame[10] = '4';
    CommandFrame[11] = '#';
    CommandFrame[12] = 0;
}

int WriteWord(uint32_t address, uint32_t value) {
    uint32_t length = BuildValueFrame('W', address, value, 4);
    return WritePort(CommandFrame, length) == 0 ? 0 : 1;
}

int WriteHalfWord(uint32_t address, uint16_t value) {
    uint32_t length = BuildValueFrame('H', address, value, 2);
    return WritePort(CommandFrame, length) == 0 ? 0 : 1;
}

int WriteOctet(uint32_t address, uint8_t value) {
    uint32_t length = BuildValueFrame('O', address, value, 1);
    return WritePort(CommandFrame, length) == 0 ? 0 : 1;
}

uint32_t ReadWord(uint32_t address) {
    BuildReadFrame('w', address);
    if (WritePort(CommandFrame, 12) != 0) return 0;
    // A short answer leaves the earlier bytes of ReadReply; callers take the value anyway.
    ReadPort(ReadReply, 4);
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | ReadReply[3 - i];
    return value;
}

uint8_t ReadOctet(uint32_t address) {
    BuildReadFrame('o', address);
    if (WritePort(CommandFrame, 12) != 0) return 0;
    ReadPort(ReadReply, 1);
    return ReadReply[0];
}

int SendData(uint32_t address, uint32_t length, const uint8_t* bytes) {
    uint32_t frame_length = BuildValueFrame('S', address, length, 4);
    if (WritePort(CommandFrame, frame_length) != 0) return 1;
    if (WritePort(bytes, length) != 0) return 2;
    return 0;
}

int StartSramMonitorUpload() { return SendData(kSramMonitorBase, sizeof SramMonitorImage, SramMonitorImage); }

int SendApplet(uint32_t length, const uint8_t* image) { return SendData(AppletBase, length, image); }

int ReceiveData(uint32_t address, uint32_t count, uint8_t* destination) {
    uint32_t frame_length = BuildValueFrame('R', address, count, 4);
    if (WritePort(CommandFrame, frame_length) != 0) return 1;
    if (ReadPort(destination, count) != 0) return 2;
    return 0;
}

int Go(uint32_t address) {
    CommandFrame[0] = 'G';
    EncodeAddress(address);
    CommandFrame[9] = '#';
    CommandFrame[10] = 0;
    return WritePort(CommandFrame, 10) == 0 ? 0 : 1;
}
