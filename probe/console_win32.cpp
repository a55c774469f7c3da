// Standard output of the probe on Windows: descriptor 1 of the C runtime
// moved with _dup2 (printf and the layers write through it).
#include "probe/console.h"

#include <fcntl.h>
#include <io.h>

namespace probe {

namespace {

int saved_stdout = -1;  // descriptor 1 as it was before BeginCapture
int capture_read = -1;  // read end of the capture pipe
// Room of the capture pipe: a write that does not fit would wait for a
// reader, and nobody reads before EndCapture.
constexpr unsigned kCapturePipeBytes = 4096;

}  // namespace

std::FILE* SeparateReportStream() {
    std::fflush(stdout);
    const int report = _dup(1);
    if (report < 0) return nullptr;
    std::FILE* stream = _fdopen(report, "w");
    if (stream == nullptr) {
        _close(report);
        return nullptr;
    }
    if (_dup2(2, 1) != 0) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
}

bool BeginCapture() {
    int ends[2];
    std::fflush(stdout);
    if (_pipe(ends, kCapturePipeBytes, _O_BINARY) != 0) return false;
    saved_stdout = _dup(1);
    if (saved_stdout < 0 || _dup2(ends[1], 1) != 0) {
        if (saved_stdout >= 0) _close(saved_stdout);
        saved_stdout = -1;
        _close(ends[0]);
        _close(ends[1]);
        return false;
    }
    _close(ends[1]);
    capture_read = ends[0];
    return true;
}

std::string EndCapture() {
    std::string captured;
    if (saved_stdout < 0) return captured;
    std::fflush(stdout);
    // Putting descriptor 1 back closes the pipe's last write end: the reads
    // below end at its end.
    _dup2(saved_stdout, 1);
    _close(saved_stdout);
    saved_stdout = -1;
    char buffer[512];
    for (;;) {
        const int n = _read(capture_read, buffer, sizeof buffer);
        if (n <= 0) break;
        captured.append(buffer, static_cast<size_t>(n));
    }
    _close(capture_read);
    capture_read = -1;
    return captured;
}

}  // namespace probe
