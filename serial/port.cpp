// The one COM port: open and close by PortName, line settings, time-out
// profiles, and the block write and the budgeted read.
#include "serial/port.h"

#include <cstring>

#include "run/notices.h"

PlatformPort PortHandle = nullptr;
char PortName[16] = "\\\\.\\COM1";
const uint32_t ReadTimeoutSetting = 10;
PlatformLineSettings ComDCM;
PlatformTimeouts CommTimeOuts;

int OpenPort() {
    PortHandle = PlatformOpenPort(PortName);
    return PortHandle != nullptr ? 0 : 1;
}

void ClosePort() {
    if (PortHandle != nullptr) {
        PlatformClosePort(PortHandle);
        PortHandle = nullptr;
    }
}

int IsPortClosed() { return PortHandle == nullptr ? 1 : 0; }

int SetQueueSizes(uint32_t size) { return PlatformSetupComm(PortHandle, size, size); }

int PurgePort(uint32_t flags) { return PlatformPurgeComm(PortHandle, flags); }

int ConfigureLine() {
    std::memset(&ComDCM, 0, sizeof ComDCM);
    ComDCM.DCBlength = 28;
    // A failed read leaves the zeroed record; the fields below are set anyway.
    PlatformGetCommState(PortHandle, &ComDCM);
    ComDCM.BaudRate = 115200;
    ComDCM.ByteSize = 8;
    ComDCM.Parity = 0;
    ComDCM.StopBits = 0;
    ComDCM.fBinary = 1;
    ComDCM.fParity = 0;
    ComDCM.fOutxCtsFlow = 0;
    ComDCM.fOutxDsrFlow = 0;
    ComDCM.fDtrControl = 0;
    ComDCM.fOutX = 0;
    ComDCM.fInX = 0;
    ComDCM.fErrorChar = 0;
    ComDCM.fNull = 0;
    ComDCM.fRtsControl = 0;
    ComDCM.fAbortOnError = 1;
    ComDCM.XonLim = 0;
    ComDCM.XoffLim = 0;
    ComDCM.XonChar = 0x00;
    ComDCM.XoffChar = static_cast<char>(0xFF);
    if (PlatformSetCommState(PortHandle, &ComDCM) != 0) return 0;
    ClosePort();
    return 1;
}

// Fills CommTimeOuts with one profile and applies it: 0 applied, 1 rejected.
static int ApplyTimeouts(uint32_t interval, uint32_t read_mult, uint32_t read_const, uint32_t write_mult,
                         uint32_t write_const) {
    CommTimeOuts.ReadIntervalTimeout = interval;
    CommTimeOuts.ReadTotalTimeoutMultiplier = read_mult;
    CommTimeOuts.ReadTotalTimeoutConstant = read_const;
    CommTimeOuts.WriteTotalTimeoutMultiplier = write_mult;
    CommTimeOuts.WriteTotalTimeoutConstant = write_const;
    return PlatformSetCommTimeouts(PortHandle, &CommTimeOuts) != 0 ? 0 : 1;
}

int SetShortTimeouts() { return ApplyTimeouts(0xFFFFFFFFu, 1, 10, 1, 10); }

int SetLongTimeoutsA() {
    return ApplyTimeouts(0x77BCB05Cu, 0x02825650u, 0x77BC27D4u, 0x02825650u, 0x002DDB98u);
}

int SetLongTimeoutsB() {
    return ApplyTimeouts(0x77BCB05Cu, 0x02861550u, 0x77BC27D4u, 0x02861550u, 0x002DDB98u);
}

int WritePort(const void* buffer, uint32_t count) {
    if (PortHandle == nullptr) return 1;
    uint32_t feedback = 0;
    // The count sent is not compared: a successful call sent the block.
    if (PlatformWriteFile(PortHandle, buffer, count, &feedback) == 0) {
        ClosePort();
        return 2;
    }
    return 0;
}

int ReadPort(void* buffer, uint32_t numb) {
    if (PortHandle == nullptr) ShowNoDeviceNotice();
    uint8_t* position = static_cast<uint8_t*>(buffer);
    uint32_t feedback = 0;
    int attempts = 3;
    const uint32_t start = PlatformTickCount();
    while (numb > 0) {
        if (attempts == 0) {
            // Unsigned difference: a wrap of the tick counter neither ends nor extends the budget.
            if (static_cast<uint32_t>(PlatformTickCount() - start) >= ReadTimeoutSetting / 3) break;
        } else {
            --attempts;
        }
        feedback = 0;
        // With no port open the platform read fails on the null handle.
        int ok = PlatformReadFile(PortHandle, position, numb, &feedback) != 0;
        // A read never delivers more than asked; a platform that claims so is
        // treated as a failed read rather than trusted past the buffer's end.
        if (!ok || feedback > numb) {
            ClosePort();
            return 1;
        }
        position += feedback;
        numb -= feedback;
    }
    return numb == 0 ? 0 : 2;
}
