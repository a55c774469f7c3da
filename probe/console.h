// Standard output of the probe: the report alone goes there, the layers'
// console lines (search marks, the version line) go to standard error. One
// implementation file per system (console_posix.cpp, console_win32.cpp).
#ifndef QUILLMERE_PROBE_CONSOLE_H
#define QUILLMERE_PROBE_CONSOLE_H

#include <cstdio>
#include <string>

namespace probe {

// Returns a new stream on the process's standard output for the report and
// points standard output's descriptor at standard error, so that what the
// layers print there cannot mix with the report. nullptr when that fails
// (then nothing has changed and the caller writes the report to stdout).
std::FILE* SeparateReportStream();

// Sends what is printed to standard output from now on into a pipe, until
// EndCapture. For one short layer call only (well under 4096 bytes): nobody
// reads the pipe before EndCapture. false when it cannot (nothing changed).
bool BeginCapture();

// Ends a capture begun with BeginCapture: standard output goes where it went
// before, and the captured bytes are returned.
std::string EndCapture();

}  // namespace probe

#endif
