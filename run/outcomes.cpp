// The list of every outcome of a run that the operator can see. Each line
// and code here is what run/, serial/, monitor/ and applet/ print and return;
// their tests hold the list to it, and the sheets' test holds the sheets to
// the list.
#include "run/outcomes.h"

#include <cstdlib>
#include <cstring>

#include "run/notices.h"

namespace {

// Stage headings as the run prints them.
constexpr const char* kInput = "   New program : ";
constexpr const char* kSearch = "2. Search Device ... \n ";
constexpr const char* kTest = "3. Test Device ...  ";
constexpr const char* kVersion = "Chip ver : ";
constexpr const char* kPrepare = " 4. Prepare programming ... ";
constexpr const char* kUpload = " 5. Upload applet ... ";
constexpr const char* kQuestion = " 5. Upload applet ...  OK \n";
constexpr const char* kGpnvmCancel = " 6. GPNVM2 SET .. ";
constexpr const char* kErase = " 6. UNLOCK & ERASE ALL FLASH ..";
constexpr const char* kWrite = " 7. Write flash ..";
constexpr const char* kCompare = " 8. Compare ..";
constexpr const char* kLock = " 9. LOCK ALL FLASH ..";
constexpr const char* kGpnvm = " 10. GPNVM2 SET .. ";

// The failure forms shared by several stages.
constexpr const char* kCodeLine = " error N %d \n";
constexpr const char* kPortLine = " Error port ! \n";
constexpr const char* kImageReadLine = " error image read \n";
constexpr const char* kGpnvmCodes = "361 362 371-373";

}  // namespace

const Outcome kOutcomes[] = {
    // Job file and image: no line of their own.
    {"job-missing", "", "", "", Notice::kError1},
    {"job-bad", "", "", "", Notice::kError2},
    {"image-open", kInput, "", "", Notice::kError3},
    {"image-size", kInput, " error image size = %n \n", "", Notice::kError3},
    // The search prints its port marks only; its code picks the box.
    {"search-none", kSearch, "", "1-5", Notice::kError4},
    {"search-answer", kSearch, "", "6", Notice::kError5},
    {"prompt", kTest, "Error N%d \n", "1 2 4", Notice::kError5},
    {"reconnect", kTest, kPortLine, "", Notice::kError7},
    // The version query: an unsupported version, a text without a version
    // digit, and the link failing during the query.
    {"version-unsupported", kVersion, "Test version error N %d \n \n", "30 40 50 60 70 80 90", Notice::kError5},
    {"version-unreadable", kVersion, "Test version error N %d \n \n", "0 -480 x10", Notice::kError5},
    {"version-link", kVersion, "Test version error N %d \n \n", "1 4 41 42 51 52 61 62 87", Notice::kError5},
    {"sram-monitor", kPrepare, " error %d! \n", "71-74", Notice::kError7},
    {"sram-port", kPrepare, kPortLine, "", Notice::kError7},
    {"chip-id", kPrepare, " error chip ID = %X \n", "", Notice::kError5},
    {"upload", kUpload, kCodeLine, "101-106 121 201-206 321 401-404 447-451 501", Notice::kError7},
    // The operator's answers.
    {"question-cancel", kQuestion, "", "", Notice::kNone},
    {"question-failed", kQuestion, " \n", "", Notice::kError4},
    {"decline-keep", kQuestion, "", "", Notice::kNone},
    {"decline-failed", kQuestion, "", "", Notice::kModeCancelled},
    {"decline-gpnvm", kGpnvmCancel, " OK \n", "", Notice::kModeCancelled},
    {"gpnvm-cancel", kGpnvmCancel, kCodeLine, kGpnvmCodes, Notice::kError7},
    // After Yes.
    {"erase", kErase, kCodeLine, "80-86", Notice::kError7},
    {"write", kWrite, kCodeLine, "701 702 721-724 731 901-903", Notice::kError11},
    {"write-image", kWrite, kImageReadLine, "", Notice::kError11},
    {"compare", kCompare, kCodeLine, "521-524 531 541-543 564 565", Notice::kError11},
    {"compare-mismatch", kCompare, " Error !  \nADR = %X , DFILE = %X , DFLASH = %X \n", "", Notice::kError11},
    {"compare-image", kCompare, kImageReadLine, "", Notice::kError11},
    {"lock", kLock, kCodeLine, "380-383", Notice::kError11},
    {"gpnvm", kGpnvm, kCodeLine, kGpnvmCodes, Notice::kError11},
    {"done", kGpnvm, " OK \n", "", Notice::kProgrammingDone},
    // A read asked for after the link was lost shows "Error 4" in the middle
    // of a stage; the stage's own line and box follow.
    {"port-lost", "", "", "", Notice::kError4},
};
const size_t kOutcomeCount = sizeof kOutcomes / sizeof kOutcomes[0];

const BoxEntry kBoxEntries[] = {
    {"error-1", "Error 1", Notice::kError1, ShowNoJobFileNotice, nullptr},
    {"error-2", "Error 2", Notice::kError2, ShowBadJobFileNotice, nullptr},
    {"error-3", "Error 3", Notice::kError3, ShowImageOpenErrorNotice, nullptr},
    {"error-4", "Error 4", Notice::kError4, ShowNoDeviceNotice, nullptr},
    {"error-5", "Error 5", Notice::kError5, ShowWillNotWorkNotice, nullptr},
    {"error-7", "Error 7", Notice::kError7, ShowCommandErrorNotice, nullptr},
    {"error-11", "Error 11", Notice::kError11, ShowProgrammingFailedNotice, nullptr},
    {"cancelled", "QUILLMERE", Notice::kModeCancelled, ShowModeCancelledNotice, nullptr},
    {"done", "QUILLMERE", Notice::kProgrammingDone, ShowProgrammingDoneNotice, nullptr},
    {"ask-start", " Attention ", Notice::kNone, nullptr, AskStartProgramming},
    {"ask-cancel", " Attention ", Notice::kNone, nullptr, AskCancelProgrammingMode},
};
const size_t kBoxEntryCount = sizeof kBoxEntries / sizeof kBoxEntries[0];

const char* NoticeCaption(Notice notice) {
    for (size_t i = 0; i < kBoxEntryCount; ++i)
        if (kBoxEntries[i].notice == notice && notice != Notice::kNone) return kBoxEntries[i].caption;
    return "";
}

bool HasCode(const Outcome& outcome, int32_t code) {
    const char* p = outcome.codes;
    while (*p != '\0') {
        if (*p == ' ') {
            ++p;
            continue;
        }
        if (std::strncmp(p, "x10", 3) == 0) {
            // Any multiple of ten that no other outcome of the same line lists.
            if (code % 10 == 0) {
                bool elsewhere = false;
                for (size_t i = 0; i < kOutcomeCount; ++i) {
                    const Outcome& other = kOutcomes[i];
                    if (&other == &outcome || std::strcmp(other.line, outcome.line) != 0) continue;
                    if (std::strstr(other.codes, "x10") == nullptr && HasCode(other, code)) elsewhere = true;
                }
                // 10 and 20 are the supported versions, never a failure.
                if (!elsewhere && code != 10 && code != 20) return true;
            }
            p += 3;
            continue;
        }
        char* end = nullptr;
        const long low = std::strtol(p, &end, 10);
        long high = low;
        if (*end == '-' && end[1] >= '0' && end[1] <= '9') high = std::strtol(end + 1, &end, 10);
        if (code >= low && code <= high) return true;
        p = end;
    }
    return false;
}

const Outcome* FindOutcome(const char* key) {
    for (size_t i = 0; i < kOutcomeCount; ++i)
        if (std::strcmp(kOutcomes[i].key, key) == 0) return &kOutcomes[i];
    return nullptr;
}
