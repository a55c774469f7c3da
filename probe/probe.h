// quillmere-probe: a read-only look at a real instrument. It finds the
// instrument and queries its boot monitor as the tool does, then only reads
// (w and R frames): the chip identification, the USB device port's
// registers, the power management controller's range and the boot ROM
// region with its USB descriptors. Each item is set against what the chip
// sheet expects; it ends with T# and closes the port.
#ifndef QUILLMERE_PROBE_PROBE_H
#define QUILLMERE_PROBE_PROBE_H

#include <cstdint>
#include <string>
#include <vector>

#include "probe/descriptors.h"
#include "run/run.h"

namespace probe {

// Where the probe reads (target addresses).
using ::kChipIdAddress;  // the tool's identity check (run/run.h)
using ::kChipIdMask;
using ::kChipIdValue;
constexpr uint32_t kUsbBase = 0xFFFB0000;
constexpr uint32_t kUsbFrmNum = kUsbBase + 0x000;
constexpr uint32_t kUsbGlbStat = kUsbBase + 0x004;
constexpr uint32_t kUsbFaddr = kUsbBase + 0x008;
constexpr uint32_t kUsbIsr = kUsbBase + 0x01C;
constexpr uint32_t kUsbCsr0 = kUsbBase + 0x030;  // + 4n for endpoint n
constexpr uint32_t kUsbTxvc = kUsbBase + 0x074;
constexpr uint32_t kPmcBase = 0xFFFFFC00;
constexpr uint32_t kPmcWords = 64;               // 0xFFFFFC00 to 0xFFFFFCFF
constexpr uint32_t kRomBase = 0x00300000;
constexpr uint32_t kRomSize = 0x10000;
// Bytes per R frame of the ROM read: not a multiple of 64, so that no answer
// needs a zero-length packet to reach the host. The last piece is 16 bytes.
constexpr uint32_t kRomPiece = 4095;
// Least time between the two reads of the frame number, in milliseconds.
constexpr uint32_t kFrameGapMs = 20;

enum class Verdict {
    kAsExpected,  // judged: what the sheet expects
    kDiffers,     // judged: not what the sheet expects, or could not be read
    kReported,    // the sheet gives no expectation: shown, not judged
};

// One named value of an item, for the JSON report; number: written bare
// (a decimal number or true/false), else as a string.
struct Field {
    std::string name;
    std::string value;
    bool number = false;
};

// One thing read and its verdict.
struct Item {
    std::string id;        // stable key, e.g. "usb.csr1"
    std::string title;     // e.g. "CSR1, endpoint 1"
    bool has_address = false;
    uint32_t address = 0;  // target address read
    bool has_word = false;
    uint32_t word = 0;     // the word read
    std::string reading;   // what it shows, in words
    std::string expected;  // what the sheet expects ("not on the sheet" for reported items)
    Verdict verdict = Verdict::kReported;
    std::vector<Field> fields;
};

// Why the probe did not reach the reads.
enum class Stage {
    kRead,       // the instrument answered; the reads ran (possibly cut short by a lost link)
    kSearch,     // no port answered N# (code: the search's code)
    kPrompt,     // the terminal prompt check failed (code: its result)
    kReconnect,  // the found port did not open again or took no line settings
    kVersion,    // the version query failed (code: its result)
};

struct Report {
    Stage stage = Stage::kSearch;
    int32_t code = 0;              // result of the step named by stage (0 for kRead)
    std::string port;              // e.g. "COM3"; empty when none was found
    std::string version_text;      // the monitor's version text, masked to printable ASCII
    int32_t version_code = 0;      // ten times the major version digit
    std::vector<Item> items;       // in the order read
    std::vector<DeviceDescriptor> device_descriptors;
    std::vector<ConfigurationDescriptor> configuration_descriptors;
    uint32_t rom_bytes = 0;        // bytes of the ROM region read (kRomSize when whole)
    std::vector<uint32_t> pmc;     // words read from kPmcBase on, raw
    std::string link_lost;         // id of the item whose read lost the link; empty if none
    bool terminal_sent = false;    // T# went out at the end
    std::vector<std::string> notices;  // captions of notices the layers raised (not shown)

    // 0 every judged item as expected; 1 any differs; 2 no instrument answered.
    int ExitCode() const;
};

// The whole probe: search, prompt check, reconnection, version query, the
// reads, T# and the port closed. Fills *report. Prints nothing of its own;
// the layers' console lines (search marks, "Chip ver : ") go to standard
// output, the version text is also captured for the report.
void RunProbe(Report* report);

// Captions of the notices the layers raised since the last call, which the
// probe does not show; clears the record.
std::vector<std::string> TakeSuppressedNotices();

}  // namespace probe

#endif
