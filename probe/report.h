// The probe's report, as plain text for the bench and as JSON for programs.
#ifndef QUILLMERE_PROBE_REPORT_H
#define QUILLMERE_PROBE_REPORT_H

#include <string>

#include "probe/probe.h"

namespace probe {

// "as expected", "differs" or "reported".
const char* VerdictName(Verdict verdict);

// The report as lines of plain ASCII text, ending with the summary and the
// exit code.
std::string TextReport(const Report& report);

// The report as one JSON object (ASCII; every string escaped), ending with
// a line break.
std::string JsonReport(const Report& report);

// s as the body of a JSON string: quote, backslash and control characters
// escaped, bytes outside ASCII as \u00XX.
std::string JsonEscape(const std::string& s);

}  // namespace probe

#endif
