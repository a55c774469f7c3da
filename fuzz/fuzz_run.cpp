// Fuzz target: one whole programming run against a device whose replies,
// piece lengths, silences, failures and the operator's answers all come from
// the input (see fuzz_platform.h). The image is two chunks: 0x5410 bytes,
// sixteen bytes of a pattern and zeros after them.
//
// Checked after every run, besides the sanitizers: the entry point returned
// 0, no port is left open, the image is closed, and no port handle was used
// after its close.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_platform.h"
#include "fuzz/fuzz_workdir.h"
#include "fuzz/reset_globals.h"
#include "run/buffers.h"
#include "run/run.h"

namespace {
// The first sixteen bytes of the image; the seed corpus answers with them.
const uint8_t kImageHead[16] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0,
                                0x80, 0x05, 0xFF, 0x00, 0x7E, 0x3E, 0x0A, 0x0D};
constexpr size_t kImageSize = 0x5400 + 16;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietConsole();
    EnterScratchDirectory("fuzz-run");
    static uint8_t image[kImageSize];
    std::memcpy(image, kImageHead, sizeof kImageHead);
    WriteWholeFile("image.bin", image, sizeof image);
    static const char kJob[] = "image.bin";
    WriteWholeFile(kJobFileName, reinterpret_cast<const uint8_t*>(kJob), sizeof kJob - 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ResetToolGlobals();
    fuzzdev::Begin(data, size);
    if (RunProgramming() != 0) std::abort();
    if (fuzzdev::OpenPorts() != 0) std::abort();         // a port left open
    if (ProgramImage.is_open()) std::abort();            // the image left open
    if (fuzzdev::StaleHandleUses() != 0) std::abort();   // a closed handle used
    return 0;
}
