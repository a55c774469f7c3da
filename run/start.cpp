// Start of a run: banner, job file, program image, device search, the
// terminal-prompt check and the reconnection to the found port; and the
// end-of-run sequence through which every outcome after the image opened
// leaves.
#include <fstream>

#include "monitor/handshakes.h"
#include "run/buffers.h"
#include "run/console.h"
#include "run/notices.h"
#include "run/run.h"
#include "serial/port.h"
#include "serial/search.h"

char file_name[101];

namespace {

// Opens ProgramImage on file_name and checks its size without reading it.
// Returns true when the image is open and fits into the 24 chunks; otherwise
// the image is closed again, the size line printed when it is too long, and
// ShowImageOpenErrorNotice shown.
bool OpenProgramImage() {
    ProgramImage.clear();
    ProgramImage.open(file_name, std::ios::in | std::ios::binary);
    if (!ProgramImage.is_open()) {
        ShowImageOpenErrorNotice();
        return false;
    }
    // A name that opens but cannot be read (a directory, say) would otherwise
    // be programmed as an image of zeros: it counts as an image that cannot
    // be opened, as does one whose size cannot be found.
    ProgramImage.peek();
    const bool unreadable = ProgramImage.bad();
    ProgramImage.clear();
    ProgramImage.seekg(0, std::ios::end);
    const std::streamoff size = ProgramImage.tellg();
    ProgramImage.clear();
    ProgramImage.seekg(0, std::ios::beg);
    if (unreadable || size < 0 || size > kMaxImageSize) {
        // Only 24 chunks are written and verified; a longer image must not be
        // cut silently.
        if (!unreadable && size > kMaxImageSize) {
            Say(" error image size = ");
            SayDecimal(size);
            Say(" \n");
        }
        ProgramImage.close();
        ShowImageOpenErrorNotice();
        return false;
    }
    return true;
}

// Closes and reopens the found port twice, then sets queues, purges, the
// short profile and the line settings. false after " Error port ! \n" and
// ShowCommandErrorNotice.
bool Reconnect() {
    for (int i = 0; i < 2; ++i) {
        ClosePort();
        if (OpenPort() != 0) {
            Say(" Error port ! \n");
            ShowCommandErrorNotice();
            return false;
        }
    }
    SetQueueSizes(4096);
    PurgePort(15);
    SetShortTimeouts();
    if (ConfigureLine() != 0) {
        Say(" Error port ! \n");
        ShowCommandErrorNotice();
        return false;
    }
    return true;
}

// Everything after the image opened; the caller runs the end-of-run sequence.
void ConnectAndProgram() {
    Say(" \n");
    Say("2. Search Device ... \n ");
    Say("   ");
    const int32_t found = SearchDevice();
    Say(" \n");
    if (found != 0) {
        Say(" \n");
        if (found == 6) {
            ShowWillNotWorkNotice();
        } else {
            ShowNoDeviceNotice();
        }
        return;
    }

    Say("3. Test Device ...  ");
    const int prompt = CheckTerminalPrompt();
    if (prompt != 0) {
        Say("Error N");
        SayDecimal(prompt);
        Say(" \n");
        ShowWillNotWorkNotice();
        return;
    }
    Say(" OK \n");

    if (!Reconnect()) return;
    ProgrammingSequence();
}

}  // namespace

void EndOfRun() {
    ReturnToTerminal();
    ClosePort();
    ProgramImage.close();
}

int RunProgramming() {
    Say("\n");
    Say("  ***  QUILLMERE PROGRAMMING  *** ( V2.1 ) \n");
    Say("\n");

    // The job-file stream stays open until this function returns.
    std::ifstream fp2(kJobFileName, std::ios::in | std::ios::binary);
    if (!fp2.is_open()) {
        ShowNoJobFileNotice();
        return 0;
    }
    // The name must end at the end of the file: a line break after it, or
    // more than 99 bytes, leaves the end of the file unreached.
    file_name[0] = '\0';
    fp2.getline(file_name, 100);
    // A job file that opens but cannot be read (a directory, say) counts as
    // one that cannot be opened; nothing was read from it.
    if (fp2.bad()) {
        ShowNoJobFileNotice();
        return 0;
    }
    if (!fp2.eof()) {
        ShowBadJobFileNotice();
        return 0;
    }

    Say("1. Input file  ");
    Say("\n");
    Say("   New program : ");
    Say(file_name);
    Say(" \n");

    if (!OpenProgramImage()) return 0;

    ConnectAndProgram();
    EndOfRun();
    return 0;
}
