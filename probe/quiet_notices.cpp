// The notices of run/notices.h for the probe, which asks no questions and
// shows no message boxes: it is linked in place of the tool's boxes, so that
// a notice a layer raises (a read with no port open shows "Error 4") cannot
// hold the probe on a box nobody answers. Each notice is recorded by its
// caption for the report; each question answers 0, "the box could not be
// shown", as a failed box would.
#include <string>
#include <vector>

#include "probe/probe.h"
#include "run/notices.h"

namespace {

std::vector<std::string>& Raised() {
    static std::vector<std::string> raised;
    return raised;
}

void Record(const char* caption) { Raised().push_back(caption); }

}  // namespace

namespace probe {

std::vector<std::string> TakeSuppressedNotices() {
    std::vector<std::string> taken;
    taken.swap(Raised());
    return taken;
}

}  // namespace probe

void ShowNoJobFileNotice() { Record("Error 1"); }
void ShowBadJobFileNotice() { Record("Error 2"); }
void ShowImageOpenErrorNotice() { Record("Error 3"); }
void ShowNoDeviceNotice() { Record("Error 4"); }
void ShowWillNotWorkNotice() { Record("Error 5"); }
void ShowCommandErrorNotice() { Record("Error 7"); }
void ShowProgrammingFailedNotice() { Record("Error 11"); }
void ShowModeCancelledNotice() { Record("QUILLMERE"); }
void ShowProgrammingDoneNotice() { Record("QUILLMERE"); }

int AskStartProgramming() {
    Record(" Attention ");
    return 0;
}

int AskCancelProgrammingMode() {
    Record(" Attention ");
    return 0;
}
