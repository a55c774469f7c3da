// The programming sequence: version check, the SRAM monitor for version-2
// monitors, chip identification, applet upload, the operator's two
// questions, erase, write, verify, lock and GPNVM2.
#include "applet/flash.h"
#include "applet/mailbox.h"
#include "monitor/frames.h"
#include "monitor/handshakes.h"
#include "run/console.h"
#include "run/notices.h"
#include "run/run.h"
#include "serial/port.h"

int32_t VersionCode = 0;

namespace {

// Message-box answers.
constexpr int kYes = 6;
constexpr int kNo = 7;
constexpr int kCancel = 2;

// Prints a failing step's line and shows its notice.
void Fail(const char* line, void (*notice)()) {
    Say(line);
    notice();
}

// " error N ", code, " \n", then the notice.
void FailWithCode(int32_t code, void (*notice)()) {
    Say(" error N ");
    SayDecimal(code);
    Say(" \n");
    notice();
}

// Loads and starts the replacement monitor in SRAM and reconnects to it.
// false after the failing step's line and ShowCommandErrorNotice.
bool StartSramMonitor() {
    if (StartSramMonitorUpload() != 0) {
        Fail(" error 71! \n", ShowCommandErrorNotice);
        return false;
    }
    SetShortTimeouts();
    if (Go(kSramMonitorBase) != 0) {
        Fail(" error 72! \n", ShowCommandErrorNotice);
        return false;
    }
    if (CheckTerminalMode() != 0) {
        Fail(" error 73! \n", ShowCommandErrorNotice);
        return false;
    }
    SetLongTimeoutsA();
    ClosePort();
    if (OpenPort() != 0) {
        Fail(" Error port ! \n", ShowCommandErrorNotice);
        return false;
    }
    SetLongTimeoutsB();
    SetQueueSizes(8192);
    if (EnterNormalMode() != 0) {
        Fail(" error 74! \n", ShowCommandErrorNotice);
        return false;
    }
    return true;
}

// The operator declined programming: optionally leave programming mode by
// setting GPNVM2 alone.
void DeclineProgramming() {
    const int answer = AskCancelProgrammingMode();
    if (answer == kNo) return;
    if (answer != kYes) {
        ShowModeCancelledNotice();
        return;
    }
    Say(" 6. GPNVM2 SET .. ");
    const int32_t r = SetGpnvm2();
    if (r != 0) {
        FailWithCode(r, ShowCommandErrorNotice);
        return;
    }
    Say(" OK \n");
    ShowModeCancelledNotice();
}

// Erase, write, verify, lock and GPNVM2, after the operator's Yes.
void Program() {
    Say(" \n");
    Say(" 6. UNLOCK & ERASE ALL FLASH ..");
    int32_t r = UnlockAndEraseAll();
    if (r != 0) {
        FailWithCode(r, ShowCommandErrorNotice);
        return;
    }
    Say(" OK \n");

    if (WritePass() != 0) return;
    if (VerifyPass() != 0) return;

    Say(" 9. LOCK ALL FLASH ..");
    r = LockAllRegions();
    if (r != 0) {
        FailWithCode(r, ShowProgrammingFailedNotice);
        return;
    }
    Say(" OK \n");

    Say(" 10. GPNVM2 SET .. ");
    r = SetGpnvm2();
    if (r != 0) {
        FailWithCode(r, ShowProgrammingFailedNotice);
        return;
    }
    Say(" OK \n");
    ShowProgrammingDoneNotice();
}

}  // namespace

void ProgrammingSequence() {
    VersionCode = QueryVersion();
    Say(" \n");
    if (VersionCode != 10 && VersionCode != 20) {
        Say("Test version error N ");
        SayDecimal(VersionCode);
        Say(" \n");
        Say(" \n");
        ShowWillNotWorkNotice();
        return;
    }

    Say(" 4. Prepare programming ... ");
    if (VersionCode == 20 && !StartSramMonitor()) return;

    const uint32_t chip_id = ReadWord(kChipIdAddress);
    if ((chip_id & kChipIdMask) != kChipIdValue) {
        Say(" error chip ID = ");
        SayHex(chip_id);
        Say(" \n");
        ShowWillNotWorkNotice();
        return;
    }
    Say(" OK \n");

    Say(" 5. Upload applet ... ");
    const int32_t r = UploadApplets();
    if (r != 0) {
        FailWithCode(r, ShowCommandErrorNotice);
        return;
    }
    Say(" OK \n");

    const int answer = AskStartProgramming();
    if (answer == kCancel) return;
    if (answer == kNo) {
        DeclineProgramming();
        return;
    }
    if (answer != kYes) {
        Say(" \n");
        ShowNoDeviceNotice();
        return;
    }
    Program();
}
