// Standard output of the probe on POSIX systems: descriptor 1 moved with dup2.
#include "probe/console.h"

#include <unistd.h>

namespace probe {

namespace {

int saved_stdout = -1;  // descriptor 1 as it was before BeginCapture
int capture_read = -1;  // read end of the capture pipe

}  // namespace

std::FILE* SeparateReportStream() {
    std::fflush(stdout);
    const int report = dup(STDOUT_FILENO);
    if (report < 0) return nullptr;
    std::FILE* stream = fdopen(report, "w");
    if (stream == nullptr) {
        close(report);
        return nullptr;
    }
    if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
}

bool BeginCapture() {
    int ends[2];
    std::fflush(stdout);
    if (pipe(ends) != 0) return false;
    saved_stdout = dup(STDOUT_FILENO);
    if (saved_stdout < 0 || dup2(ends[1], STDOUT_FILENO) < 0) {
        if (saved_stdout >= 0) close(saved_stdout);
        saved_stdout = -1;
        close(ends[0]);
        close(ends[1]);
        return false;
    }
    close(ends[1]);
    capture_read = ends[0];
    return true;
}

std::string EndCapture() {
    std::string captured;
    if (saved_stdout < 0) return captured;
    std::fflush(stdout);
    // Putting descriptor 1 back closes the pipe's last write end: the reads
    // below end at its end.
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    saved_stdout = -1;
    char buffer[512];
    for (;;) {
        const ssize_t n = read(capture_read, buffer, sizeof buffer);
        if (n <= 0) break;
        captured.append(buffer, static_cast<size_t>(n));
    }
    close(capture_read);
    capture_read = -1;
    return captured;
}

}  // namespace probe
