// quillmere-probe: checks a real instrument against the chip sheet with
// reads only, and reports each item as expected, differing or reported.
#include <cstdio>
#include <cstring>
#include <string>

#include "probe/console.h"
#include "probe/probe.h"
#include "probe/report.h"
#include "probe/udev.h"

namespace {

const char kUsage[] =
    "usage: quillmere-probe [--json | --udev-rule]\n"
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
    "With --udev-rule it reads the same, but prints instead of the report the udev rule for this\n"
    "instrument on Linux, with the USB vendor and product id of the boot ROM's device descriptor:\n"
    "  quillmere-probe --udev-rule | sudo tee /etc/udev/rules.d/70-quillmere.rules\n"
    "\n"
    "Exit code: 0 every judged item as expected (--udev-rule: the rule was printed), 1 an item\n"
    "differs (--udev-rule: no device descriptor in the boot ROM region, nothing printed), 2 no\n"
    "instrument answered, 3 an unknown argument (nothing sent).\n";

// --udev-rule: the rule on the report's stream, or why there is none on
// standard error. Returns the exit code.
int PrintUdevRule(const probe::Report& report, std::FILE* out) {
    const int code = probe::UdevRuleExitCode(report);
    if (code == 2) {
        std::fputs("quillmere-probe: no instrument answered; no rule.\n", stderr);
    } else if (code == 1) {
        std::fputs("quillmere-probe: no USB device descriptor found in the boot ROM region; no rule.\n"
                   "Run quillmere-probe without --udev-rule for the whole report.\n",
                   stderr);
    } else {
        const std::string rule = probe::UdevRule(report);
        std::fwrite(rule.data(), 1, rule.size(), out);
        std::fflush(out);
        if (report.ExitCode() != 0)
            std::fputs("quillmere-probe: some items differ from the chip sheet; run quillmere-probe without\n"
                       "--udev-rule for the report before a version-2 run.\n",
                       stderr);
    }
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    bool udev_rule = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--udev-rule") == 0) {
            udev_rule = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "quillmere-probe: unknown argument %s\n\n%s", argv[i], kUsage);
            return 3;
        }
    }
    if (json && udev_rule) {
        std::fprintf(stderr, "quillmere-probe: --json and --udev-rule exclude each other\n\n%s", kUsage);
        return 3;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::FILE* out = probe::SeparateReportStream();
    if (out == nullptr) out = stdout;

    probe::Report report;
    probe::RunProbe(&report);
    if (udev_rule) return PrintUdevRule(report, out);
    const std::string text = json ? probe::JsonReport(report) : probe::TextReport(report);
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
    return report.ExitCode();
}
