// Fuzz target: the job file and the program image, with no device present.
//
// Input: byte 0 selects the situation (0x01 no job file, 0x02 the job names
// "image.bin" followed by the fuzzed tail, 0x04 no image file, 0x08 the image
// is a directory); byte 1 is the job file's length; then the job file bytes
// ('/' becomes '_', so every name stays inside the scratch directory); then
// four bytes of image size (little-endian, modulo 600,000); the rest is the
// start of the image, zeros after it.
//
// Checked after every run: the entry point returned 0, nothing is left open,
// and no port was even tried when the job file or image was refused (a
// missing or bad job file, a missing image, an image over 516,096 bytes).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_platform.h"
#include "fuzz/fuzz_workdir.h"
#include "fuzz/reset_globals.h"
#include "run/buffers.h"
#include "run/run.h"

namespace {

constexpr uint8_t kNoJob = 0x01;
constexpr uint8_t kImageName = 0x02;
constexpr uint8_t kNoImage = 0x04;
constexpr uint8_t kImageDirectory = 0x08;
constexpr uint32_t kSizeRange = 600000;

void RemoveImage() {
    if (unlink("image.bin") != 0) rmdir("image.bin");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietConsole();
    EnterScratchDirectory("fuzz-jobfile");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    size_t job_size = data[1];
    size_t pos = 2;
    if (job_size > size - pos) job_size = size - pos;

    static uint8_t job[16 + 256];
    size_t n = 0;
    if (mode & kImageName) {
        std::memcpy(job, "image.bin", 9);
        n = 9;
    }
    for (size_t i = 0; i < job_size; ++i) job[n++] = data[pos + i] == '/' ? '_' : data[pos + i];
    pos += job_size;

    uint32_t image_size = 0;
    for (int i = 0; i < 4 && pos < size; ++i) image_size |= static_cast<uint32_t>(data[pos++]) << (8 * i);
    image_size %= kSizeRange;

    unlink(kJobFileName);
    if (!(mode & kNoJob)) WriteWholeFile(kJobFileName, job, n);
    RemoveImage();
    if (mode & kImageDirectory) {
        mkdir("image.bin", 0755);
    } else if (!(mode & kNoImage)) {
        size_t head = size - pos;
        if (head > image_size) head = image_size;
        WriteWholeFile("image.bin", data + pos, head);
        if (truncate("image.bin", image_size) != 0) std::abort();
    }

    ResetToolGlobals();
    fuzzdev::BeginNoDevice();
    if (RunProgramming() != 0) std::abort();
    if (fuzzdev::OpenPorts() != 0 || ProgramImage.is_open()) std::abort();
    if (fuzzdev::StaleHandleUses() != 0) std::abort();

    // A refused job file or image never reaches the device search.
    bool refused = (mode & kNoJob) || n > 99 || std::memchr(job, '\n', n) != nullptr;
    if (!refused && (mode & kImageName) && n == 9)
        refused = (mode & (kNoImage | kImageDirectory)) || image_size > 24u * 0x5400u;
    if (refused && fuzzdev::OpenAttempts() != 0) std::abort();
    return 0;
}
