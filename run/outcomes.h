// Every outcome of a run that the operator can see: the console line that
// ends the log, the codes it can carry, the stage it completes and the box
// that follows. The operator's sheets have one row for each entry, and the
// run's tests check what the run prints against this list.
#ifndef QUILLMERE_RUN_OUTCOMES_H
#define QUILLMERE_RUN_OUTCOMES_H

#include <cstddef>
#include <cstdint>

// The box that ends an outcome (kNone: the run ends without one).
enum class Notice {
    kNone,
    kError1,
    kError2,
    kError3,
    kError4,
    kError5,
    kError7,
    kError11,
    kModeCancelled,
    kProgrammingDone,
};

struct Outcome {
    // Key of the outcome's row in the operator's sheets.
    const char* key;
    // Console text the outcome follows: a stage's heading as printed (the
    // last such text before the line), "" before the first stage or where
    // no console line tells it.
    const char* after;
    // The console line that ends the log, exactly as printed, with "%d" for
    // the result code, "%n" for a decimal number that is no code (a size)
    // and "%X" for a word or byte in hexadecimal; "" when the log shows none.
    const char* line;
    // The codes "%d" (or the search's unprinted result) can take: numbers
    // and ranges such as "101-106", separated by blanks; "x10" stands for
    // any multiple of ten not listed otherwise. "" when there is no code.
    const char* codes;
    Notice notice;
};

// The outcomes, grouped by stage in the order a run reaches them.
extern const Outcome kOutcomes[];
extern const size_t kOutcomeCount;

// One of the eleven boxes: its key in the operator's sheets, its caption,
// and the operation that shows it (a notice, or a question).
struct BoxEntry {
    const char* key;
    const char* caption;
    Notice notice;            // kNone for the two questions
    void (*show)();           // the notice, or nullptr
    int (*ask)();             // the question, or nullptr
};

extern const BoxEntry kBoxEntries[];
extern const size_t kBoxEntryCount;

// Caption of the box notice stands for ("" for kNone).
const char* NoticeCaption(Notice notice);

// True when code is one of outcome's codes.
bool HasCode(const Outcome& outcome, int32_t code);

// The outcome with key, or nullptr.
const Outcome* FindOutcome(const char* key);

#endif
