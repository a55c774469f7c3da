// Start values of the tool's globals, as the definitions give them.
#include "fuzz/reset_globals.h"

#include <cstring>

#include "applet/flash.h"
#include "applet/mailbox.h"
#include "monitor/frames.h"
#include "run/buffers.h"
#include "run/run.h"
#include "serial/port.h"
#include "serial/search.h"

void ResetToolGlobals() {
    PortHandle = nullptr;
    std::memset(PortName, 0, sizeof PortName);
    std::memcpy(PortName, "\\\\.\\COM1", 8);
    static const uint8_t kModeFrame[4] = {'N', '#', 0, 0};
    std::memcpy(ModeFrame, kModeFrame, sizeof ModeFrame);
    static const char kCommandFrame[20] = "W00000000,00000000#";
    std::memcpy(CommandFrame, kCommandFrame, sizeof CommandFrame);
    std::memset(ReadReply, 0, sizeof ReadReply);
    std::memset(mon_test_recive, 0, sizeof mon_test_recive);
    AppletInfo[0] = 0;
    AppletInfo[1] = 0;
    FlashOffset = 0;
    ChunkSize = 0;
    if (ProgramImage.is_open()) ProgramImage.close();
    ProgramImage.clear();
    std::memset(file_name, 0, sizeof file_name);
    VersionCode = 0;
}
