// The device search over COM1 to COM98.
#include "serial/search.h"

#include <cstdio>

#include "monitor/frames.h"
#include "serial/port.h"

uint8_t mon_test_recive[2];

void SetPortNumber(int32_t n) {
    if (n < 10) {
        PortName[7] = static_cast<char>('0' + n);
        PortName[8] = 0;
    } else {
        PortName[7] = static_cast<char>('0' + n / 10);
        PortName[8] = static_cast<char>('0' + n % 10);
        PortName[9] = 0;
    }
}

int32_t SearchDevice() {
    int32_t code = 1;
    PortHandle = nullptr;
    for (int32_t n = 1; n < 99; ++n) {
        ClosePort();
        SetPortNumber(n);
        if (OpenPort() != 0) {
            code = 1;
        } else {
            std::printf(".%s.", PortName + 7);
            std::fflush(stdout);
            PlatformSetCommMask(PortHandle, 0x0001);  // EV_RXCHAR; outcome ignored
            SetQueueSizes(4096);
            PurgePort(15);
            if (SetShortTimeouts() != 0) {
                ClosePort();
                code = 2;
            } else if (ConfigureLine() != 0) {
                code = 3;  // ConfigureLine has closed the port
            } else if (WritePort(ModeFrame, 2) != 0) {
                ClosePort();
                code = 4;
            } else if (ReadPort(mon_test_recive, 2) != 0) {
                ClosePort();
                code = 5;
            } else if (mon_test_recive[0] == 0x0A && mon_test_recive[1] == 0x0D) {
                std::printf(" \n");
                std::fflush(stdout);
                return 0;
            } else {
                ClosePort();
                code = 6;
            }
        }
        PortHandle = nullptr;
    }
    std::printf(" \n");
    std::fflush(stdout);
    return code;
}
