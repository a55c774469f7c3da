// quillmere-probe: checks a real instrument against the chip sheet with
// reads only, and reports each item as expected, differing or reported.
#include <cstdio>
#include <cstring>
#include <string>

#include "probe/console.h"
#include "probe/probe.h"
#include "probe/report.h"

namespace {

const char kUsage[] =
    "usage: quillmere-probe [--json]\n"
    "\n"
    "Finds the instrument as quillmere does (COM1 to COM98; on Linux QUILLMERE_PORT_DIR), checks the\n"
    "boot monitor's prompt (T#), queries its version, and from then on only reads (w and R frames):\n"
    "the chip identification, the USB device port's registers, the power management controller's\n"
    "range and the boot ROM region with its USB descriptors. It ends with T# and closes the port.\n"
    "It writes nothing to the chip, starts nothing on it, asks nothing and shows no boxes.\n"
    "\n"
    "The report goes to standard output, as plain text or, with --json, as one JSON object; the\n"
    "search marks and the version line go to standard error.\n"
    "\n"
    "Exit code: 0 every judged item as expected, 1 an item differs, 2 no instrument answered,\n"
    "3 an unknown argument (nothing sent).\n";

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "quillmere-probe: unknown argument %s\n\n%s", argv[i], kUsage);
            return 3;
        }
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::FILE* out = probe::SeparateReportStream();
    if (out == nullptr) out = stdout;

    probe::Report report;
    probe::RunProbe(&report);
    const std::string text = json ? probe::JsonReport(report) : probe::TextReport(report);
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
    return report.ExitCode();
}
