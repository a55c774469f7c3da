// Scratch directory and console handling shared by the fuzz targets.
#include "fuzz/fuzz_workdir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_platform.h"

const char* EnterScratchDirectory(const char* tag) {
    static char path[4096];
    const char* base = std::getenv("TMPDIR");
    if (base == nullptr || *base == '\0') base = "/tmp";
    std::snprintf(path, sizeof path, "%s/quillmere-%s-XXXXXX", base, tag);
    if (mkdtemp(path) == nullptr || chdir(path) != 0) {
        std::perror("fuzz scratch directory");
        std::abort();
    }
    return path;
}

void WriteWholeFile(const char* path, const uint8_t* data, size_t size) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::perror(path);
        std::abort();
    }
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            std::perror(path);
            std::abort();
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
}

int QuietConsole() {
    const char* trace = std::getenv("QUILLMERE_FUZZ_TRACE");
    int on = trace != nullptr && *trace != '\0' && *trace != '0';
    if (!on && std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    fuzzdev::SetTrace(on);
    return on;
}
