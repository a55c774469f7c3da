// The probe's steps and its judgement of each value read.
#include "probe/probe.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <tuple>
#include <utility>

#include "monitor/frames.h"
#include "monitor/handshakes.h"
#include "platform/platform.h"
#include "probe/console.h"
#include "serial/port.h"
#include "serial/search.h"

namespace probe {

namespace {

// Bits of the USB device port's registers, as the chip sheet names them.
constexpr uint32_t kFrameNumberMask = 0x7FF;  // FRM_NUM 10:0
constexpr uint32_t kFrameErr = 1u << 16;
constexpr uint32_t kFrameOk = 1u << 17;
constexpr uint32_t kFadden = 1u << 0;         // GLB_STAT
constexpr uint32_t kConfg = 1u << 1;
constexpr uint32_t kEsr = 1u << 2;
constexpr uint32_t kRsminpr = 1u << 3;
constexpr uint32_t kRmwupe = 1u << 4;
constexpr uint32_t kFaddMask = 0x7F;          // FADDR 6:0
constexpr uint32_t kFen = 1u << 8;
constexpr uint32_t kTxvdis = 1u << 8;         // TXVC
constexpr uint32_t kPuon = 1u << 9;
constexpr uint32_t kEptypeShift = 8;          // CSRn 10:8
constexpr uint32_t kDir = 1u << 7;
constexpr uint32_t kDtgle = 1u << 11;
constexpr uint32_t kEpeds = 1u << 15;
constexpr uint32_t kRxbytecntShift = 16;      // CSRn 26:16
constexpr uint32_t kRxbytecntMask = 0x7FF;

// The CSRn flags, bit and name.
const std::pair<uint32_t, const char*> kCsrFlags[] = {
    {1u << 0, "TXCOMP"},   {1u << 1, "RX_DATA_BK0"}, {1u << 2, "RXSETUP"},    {1u << 3, "STALLSENT"},
    {1u << 4, "TXPKTRDY"}, {1u << 5, "FORCESTALL"},  {1u << 6, "RX_DATA_BK1"},
};

// The ISR bits, bit and name (EPnINT are bits 0 to 7).
const std::pair<uint32_t, const char*> kIsrBits[] = {
    {1u << 8, "RXSUSP"}, {1u << 9, "RXRSM"}, {1u << 11, "SOFINT"}, {1u << 12, "ENDBUSRES"}, {1u << 13, "WAKEUP"},
};

// EPTYPE values of the endpoints 0 to 3 of the boot monitor's configuration.
constexpr uint32_t kEptypeControl = 0;
constexpr uint32_t kEptypeBulkOut = 2;
constexpr uint32_t kEptypeBulkIn = 6;
constexpr uint32_t kEptypeInterruptIn = 7;

// The endpoint table: number, IN, transfer type (2 bulk, 3 interrupt), packet size.
struct TableEndpoint {
    int number;
    bool in;
    int type;
    int packet;
};
const TableEndpoint kEndpointTable[] = {{1, false, 2, 64}, {2, true, 2, 64}, {3, true, 3, 64}};
constexpr int kEndpoint0Packet = 8;

// The boot ROM region as the R frames brought it.
uint8_t RomCopy[kRomSize];

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

std::string Hex8(uint32_t value) { return Hex(value, 8); }

std::string Bit(uint32_t word, uint32_t bit) { return (word & bit) ? "1" : "0"; }

Field Number(const std::string& name, long long value) { return Field{name, std::to_string(value), true}; }
Field Flag(const std::string& name, bool value) { return Field{name, value ? "true" : "false", true}; }
Field Text(const std::string& name, const std::string& value) { return Field{name, value, false}; }

Item MakeItem(const std::string& id, const std::string& title, uint32_t address) {
    Item item;
    item.id = id;
    item.title = title;
    item.has_address = true;
    item.address = address;
    return item;
}

Verdict Judge(bool as_expected) { return as_expected ? Verdict::kAsExpected : Verdict::kDiffers; }

// What the CSRn EPTYPE values mean.
std::string EptypeName(uint32_t type) {
    switch (type) {
        case 0: return "control";
        case 1: return "isochronous OUT";
        case 2: return "bulk OUT";
        case 3: return "interrupt OUT";
        case 5: return "isochronous IN";
        case 6: return "bulk IN";
        case 7: return "interrupt IN";
        default: return "type 4 (not on the sheet)";
    }
}

std::string TransferTypeName(int type) {
    switch (type) {
        case 0: return "control";
        case 1: return "isochronous";
        case 2: return "bulk";
        default: return "interrupt";
    }
}

// Names of the set bits among `bits`, joined by blanks, or "none".
template <size_t N>
std::string BitNames(uint32_t word, const std::pair<uint32_t, const char*> (&bits)[N]) {
    std::string names;
    for (const auto& bit : bits) {
        if (!(word & bit.first)) continue;
        if (!names.empty()) names += ' ';
        names += bit.second;
    }
    return names.empty() ? "none" : names;
}

// An item that was not read because the link was lost before it.
Item NotRead(Item item, bool judged, const std::string& lost_at) {
    item.has_word = false;
    item.word = 0;
    item.fields.clear();
    item.reading = "not read: the link was lost at " + lost_at;
    item.verdict = judged ? Verdict::kDiffers : Verdict::kReported;
    return item;
}

// --- Judgement of the words read ---------------------------------------------

Item ChipIdItem(uint32_t word) {
    Item item = MakeItem("chip_id", "chip identification", kChipIdAddress);
    item.has_word = true;
    item.word = word;
    item.reading = Hex8(word);
    item.expected = Hex8(kChipIdValue) + " under the mask " + Hex8(kChipIdMask) + ", as the tool checks it";
    item.verdict = Judge((word & kChipIdMask) == kChipIdValue);
    return item;
}

Item FrameNumberItem(uint32_t first, uint32_t second, uint32_t elapsed_ms) {
    Item item = MakeItem("usb.frm_num", "FRM_NUM, frame number", kUsbFrmNum);
    const uint32_t a = first & kFrameNumberMask;
    const uint32_t b = second & kFrameNumberMask;
    const uint32_t advance = (b - a) & kFrameNumberMask;
    item.reading = "frame " + std::to_string(a) + ", " + std::to_string(elapsed_ms) + " ms later frame " +
                   std::to_string(b) + ": advanced by " + std::to_string(advance) + "; FRM_OK " +
                   Bit(second, kFrameOk) + ", FRM_ERR " + Bit(second, kFrameErr) + " (" + Hex8(first) + ", " +
                   Hex8(second) + ")";
    item.expected = "the frame number advances between two reads at least " + std::to_string(kFrameGapMs) +
                    " ms apart (a start-of-frame every 1 ms on a live link; it wraps at 2048)";
    item.verdict = Judge(advance != 0);
    item.has_word = true;
    item.word = second;
    item.fields = {Text("first", Hex8(first)), Text("second", Hex8(second)),
                   Number("first_frame", a),   Number("second_frame", b),
                   Number("advance", advance), Number("elapsed_ms", elapsed_ms)};
    return item;
}

Item GlbStatItem(uint32_t word) {
    Item item = MakeItem("usb.glb_stat", "GLB_STAT", kUsbGlbStat);
    item.has_word = true;
    item.word = word;
    item.reading = "FADDEN " + Bit(word, kFadden) + ", CONFG " + Bit(word, kConfg) + ", ESR " + Bit(word, kEsr) +
                   ", RSMINPR " + Bit(word, kRsminpr) + ", RMWUPE " + Bit(word, kRmwupe);
    item.expected = "FADDEN 1 (address set) and CONFG 1 (configured)";
    item.verdict = Judge((word & kFadden) && (word & kConfg));
    item.fields = {Flag("FADDEN", word & kFadden), Flag("CONFG", word & kConfg), Flag("ESR", word & kEsr),
                   Flag("RSMINPR", word & kRsminpr), Flag("RMWUPE", word & kRmwupe)};
    return item;
}

Item FaddrItem(uint32_t word) {
    Item item = MakeItem("usb.faddr", "FADDR", kUsbFaddr);
    item.has_word = true;
    item.word = word;
    const uint32_t address = word & kFaddMask;
    item.reading = "FEN " + Bit(word, kFen) + ", FADD " + std::to_string(address);
    item.expected = "FEN 1 (function enabled) and an address (FADD not 0)";
    item.verdict = Judge((word & kFen) && address != 0);
    item.fields = {Flag("FEN", word & kFen), Number("FADD", address)};
    return item;
}

Item IsrItem(uint32_t word) {
    Item item = MakeItem("usb.isr", "ISR", kUsbIsr);
    item.has_word = true;
    item.word = word;
    std::string endpoints;
    for (int n = 0; n < 8; ++n) {
        if (!(word & (1u << n))) continue;
        if (!endpoints.empty()) endpoints += ' ';
        endpoints += "EP" + std::to_string(n) + "INT";
    }
    item.reading = "endpoints needing attention: " + (endpoints.empty() ? std::string("none") : endpoints) +
                   "; bus events: " + BitNames(word, kIsrBits);
    item.expected = "no expectation on the sheet";
    item.verdict = Verdict::kReported;
    return item;
}

// CSRn decoded; for n 0 to 3 judged against the endpoint table.
Item CsrItem(int n, uint32_t word) {
    Item item = MakeItem("usb.csr" + std::to_string(n), "CSR" + std::to_string(n) + ", endpoint " +
                                                            std::to_string(n),
                         kUsbCsr0 + 4u * static_cast<uint32_t>(n));
    item.has_word = true;
    item.word = word;
    const uint32_t type = (word >> kEptypeShift) & 7;
    const bool enabled = (word & kEpeds) != 0;
    const uint32_t toggle = (word & kDtgle) ? 1 : 0;
    const uint32_t waiting = (word >> kRxbytecntShift) & kRxbytecntMask;
    item.reading = EptypeName(type) + " (EPTYPE " + std::to_string(type) + "), " +
                   (enabled ? "enabled" : "disabled") + ", toggle DATA" + std::to_string(toggle) + ", DIR " +
                   Bit(word, kDir) + ", flags " + BitNames(word, kCsrFlags) + ", RXBYTECNT " +
                   std::to_string(waiting);
    item.fields = {Number("EPTYPE", type),        Text("type", EptypeName(type)), Flag("EPEDS", enabled),
                   Number("DTGLE", toggle),        Flag("DIR", word & kDir),
                   Text("flags", BitNames(word, kCsrFlags)), Number("RXBYTECNT", waiting)};
    uint32_t want = 0;
    switch (n) {
        case 0: want = kEptypeControl; break;
        case 1: want = kEptypeBulkOut; break;
        case 2: want = kEptypeBulkIn; break;
        case 3: want = kEptypeInterruptIn; break;
        default:
            item.expected = "not on the sheet (endpoints 0 to 3 are); a port without this endpoint may answer 0";
            item.verdict = Verdict::kReported;
            return item;
    }
    item.expected = EptypeName(want) + " (EPTYPE " + std::to_string(want) + "), enabled (EPEDS 1); toggle not judged";
    item.verdict = Judge(type == want && enabled);
    return item;
}

Item TxvcItem(uint32_t word) {
    Item item = MakeItem("usb.txvc", "TXVC, transceiver", kUsbTxvc);
    item.has_word = true;
    item.word = word;
    item.reading = "TXVDIS " + Bit(word, kTxvdis) + ((word & kTxvdis) ? " (transceiver off)" : " (transceiver on)") +
                   ", PUON " + Bit(word, kPuon) + ((word & kPuon) ? " (pull-up on)" : " (pull-up off)");
    item.expected = "TXVDIS 0 (transceiver on) and PUON 1 (pull-up on D+ on)";
    item.verdict = Judge(!(word & kTxvdis) && (word & kPuon));
    item.fields = {Flag("TXVDIS", word & kTxvdis), Flag("PUON", word & kPuon)};
    return item;
}

Item VersionItem(const std::string& text, int32_t code) {
    Item item;
    item.id = "monitor.version";
    item.title = "boot monitor version";
    item.reading = (text.empty() ? std::string("(no text)") : "\"" + text + "\"") + ", version code " +
                   std::to_string(code);
    item.expected = "major version 1 or 2 (version code 10 or 20), the versions the tool supports";
    item.verdict = Judge(code == 10 || code == 20);
    item.fields = {Text("text", text), Number("code", code)};
    return item;
}

Item PmcItem(const std::vector<uint32_t>& words) {
    Item item;
    item.id = "pmc";
    item.title = "power management controller, " + Hex8(kPmcBase) + " to " + Hex8(kPmcBase + 4 * kPmcWords - 1);
    size_t nonzero = 0;
    for (uint32_t w : words) nonzero += w != 0;
    item.reading = std::to_string(words.size()) + " words read, " + std::to_string(nonzero) +
                   " not 0 (listed below, raw)";
    item.expected = "the sheet gives the range only, no registers: the port needs its peripheral clock and its "
                    "48 MHz clock on; compare the words with the chip's own datasheet";
    item.verdict = Verdict::kReported;
    item.fields = {Number("words", static_cast<long long>(words.size()))};
    return item;
}

// "USB 2.00, vendor 0x..., ..." for a device descriptor.
std::string DescribeDevice(const DeviceDescriptor& d) {
    char usb[16];
    std::snprintf(usb, sizeof usb, "%X.%02X", d.usb_version >> 8, d.usb_version & 0xFF);
    return "at " + Hex8(d.address) + ": vendor " + Hex(d.vendor_id, 4) + ", product " + Hex(d.product_id, 4) +
           ", USB " + usb + ", class " + Hex(d.device_class, 2) + ", endpoint 0 packet size " +
           std::to_string(d.max_packet0) + ", " + std::to_string(d.configurations) + " configuration" +
           (d.configurations == 1 ? "" : "s");
}

std::string DescribeEndpoints(const ConfigurationDescriptor& c) {
    std::string out;
    for (const EndpointDescriptor& e : c.endpoints) {
        if (!out.empty()) out += ", ";
        out += Hex(e.address, 2) + " " + TransferTypeName(e.TransferType()) + (e.In() ? " IN " : " OUT ") +
               std::to_string(e.PacketSize());
    }
    return out.empty() ? "none" : out;
}

std::string DescribeConfiguration(const ConfigurationDescriptor& c) {
    std::string out = "at " + Hex8(c.address) + ": " + std::to_string(c.total_length) + " bytes, configuration " +
                      std::to_string(c.value) + ", interfaces";
    for (const InterfaceDescriptor& i : c.interfaces) {
        out += " " + std::to_string(i.number) + " (class " + Hex(i.interface_class, 2) + " subclass " +
               Hex(i.interface_subclass, 2) + ")";
    }
    return out + ", " + std::to_string(c.endpoints.size()) + " endpoints";
}

// " (N bytes of the region read)" when the ROM read stopped early.
std::string PartNote(uint32_t bytes) {
    if (bytes >= kRomSize) return "";
    return " in the " + std::to_string(bytes) + " bytes read before the link was lost";
}

// Where more tables than one were found: the others' addresses, and whether
// their bytes are the same.
template <typename T>
std::string OthersNote(const std::vector<T>& found, bool* same) {
    *same = true;
    std::string out;
    for (size_t i = 1; i < found.size(); ++i) {
        const bool equal = found[i].bytes == found[0].bytes;
        *same = *same && equal;
        out += "; also at " + Hex8(found[i].address) + (equal ? " (the same bytes)" : " (other bytes)");
    }
    return out;
}

void AddRomItems(Report* r) {
    const std::string where = " in the boot ROM region";
    Item device;
    device.id = "rom.device_descriptor";
    device.title = "device descriptor" + where;
    device.expected = "one table of 18 bytes beginning 0x12 0x01 in " + Hex8(kRomBase) + " to " +
                      Hex8(kRomBase + kRomSize - 1) + ", endpoint 0 packet size " + std::to_string(kEndpoint0Packet);
    if (r->device_descriptors.empty()) {
        device.reading = "not found" + PartNote(r->rom_bytes);
        device.verdict = Verdict::kDiffers;
    } else {
        const DeviceDescriptor& d = r->device_descriptors.front();
        bool same = true;
        device.reading = DescribeDevice(d) + OthersNote(r->device_descriptors, &same);
        device.has_address = true;
        device.address = d.address;
        device.verdict = Judge(same && d.max_packet0 == kEndpoint0Packet);
        device.fields = {Number("found", static_cast<long long>(r->device_descriptors.size()))};
    }

    Item config;
    config.id = "rom.configuration_descriptor";
    config.title = "configuration descriptor" + where;
    config.expected =
        "one table beginning 0x09 0x02 whose wTotalLength covers its interfaces and endpoints, configuration "
        "value not 0";
    Item endpoints;
    endpoints.id = "rom.endpoints";
    endpoints.title = "endpoints of the configuration descriptor";
    endpoints.expected = "as the endpoint table: 0x01 bulk OUT 64, 0x82 bulk IN 64, 0x83 interrupt IN 64";
    if (r->configuration_descriptors.empty()) {
        config.reading = "not found" + PartNote(r->rom_bytes);
        config.verdict = Verdict::kDiffers;
        endpoints.reading = "no configuration descriptor to read them from";
        endpoints.verdict = Verdict::kDiffers;
    } else {
        const ConfigurationDescriptor& c = r->configuration_descriptors.front();
        bool same = true;
        config.reading = DescribeConfiguration(c) + OthersNote(r->configuration_descriptors, &same);
        config.has_address = true;
        config.address = c.address;
        config.verdict = Judge(same && c.value != 0);
        config.fields = {Number("found", static_cast<long long>(r->configuration_descriptors.size()))};

        std::set<std::tuple<int, bool, int, int>> got;
        std::set<std::tuple<int, bool, int, int>> want;
        for (const EndpointDescriptor& e : c.endpoints)
            got.insert(std::make_tuple(e.Number(), e.In(), e.TransferType(), e.PacketSize()));
        for (const TableEndpoint& t : kEndpointTable) want.insert(std::make_tuple(t.number, t.in, t.type, t.packet));
        endpoints.reading = DescribeEndpoints(c);
        endpoints.has_address = true;
        endpoints.address = c.address;
        endpoints.verdict = Judge(got == want && c.endpoints.size() == want.size());
    }
    if (r->rom_bytes == 0 && !r->link_lost.empty()) {
        // The ROM region was not reached: nothing was searched.
        device = NotRead(device, true, r->link_lost);
        config = NotRead(config, true, r->link_lost);
        endpoints = NotRead(endpoints, true, r->link_lost);
    }
    r->items.push_back(device);
    r->items.push_back(config);
    r->items.push_back(endpoints);
}

// --- Talking to the instrument ------------------------------------------------

// The tool's reconnection to the found port: closed and opened twice, then
// queues, purge, the short profile and the line settings. false when an open
// or the line settings fail (no port is open then).
bool Reconnect() {
    for (int i = 0; i < 2; ++i) {
        ClosePort();
        if (OpenPort() != 0) return false;
    }
    SetQueueSizes(4096);
    PurgePort(15);
    SetShortTimeouts();
    return ConfigureLine() == 0;
}

// The version text out of what QueryVersion printed: after "Chip ver : ",
// line breaks and tabs made blanks, blanks at both ends dropped.
std::string VersionText(const std::string& printed) {
    const std::string head = "Chip ver : ";
    std::string text = printed.compare(0, head.size(), head) == 0 ? printed.substr(head.size()) : printed;
    for (char& c : text) {
        if (c == '\r' || c == '\n' || c == '\t') c = ' ';
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    }
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Reads after the version query. Under the long profile the query leaves,
// a read either brings all its bytes or fails and closes the port, so an
// open port after a read means the answer came whole.
class Reader {
 public:
    explicit Reader(Report* report) : report_(report) {}

    bool Lost() const { return !report_->link_lost.empty(); }

    // The word at address, read for the item `id`; false when the link is
    // lost (now or before).
    bool Word(uint32_t address, const std::string& id, uint32_t* word) {
        if (Lost()) return false;
        *word = ReadWord(address);
        if (PortHandle == nullptr) {
            report_->link_lost = id;
            return false;
        }
        return true;
    }

    // count bytes from address into destination with one R frame.
    bool Bytes(uint32_t address, uint32_t count, uint8_t* destination, const std::string& id) {
        if (Lost()) return false;
        if (ReceiveData(address, count, destination) != 0 || PortHandle == nullptr) {
            report_->link_lost = id;
            return false;
        }
        return true;
    }

    const std::string& LostAt() const { return report_->link_lost; }

 private:
    Report* report_;
};

void ReadEverything(Report* r) {
    Reader read(r);
    uint32_t word = 0;

    if (read.Word(kChipIdAddress, "chip_id", &word)) {
        r->items.push_back(ChipIdItem(word));
    } else {
        r->items.push_back(NotRead(ChipIdItem(0), true, read.LostAt()));
    }

    // The frame number twice, at least kFrameGapMs apart on the host's clock
    // (counted from the first answer, so the instrument read it at least that
    // much later too).
    uint32_t first = 0;
    uint32_t second = 0;
    bool frames = read.Word(kUsbFrmNum, "usb.frm_num", &first);
    uint32_t elapsed = 0;
    if (frames) {
        const uint32_t answered = PlatformTickCount();
        while ((elapsed = PlatformTickCount() - answered) < kFrameGapMs) PlatformSleep(kFrameGapMs - elapsed);
        frames = read.Word(kUsbFrmNum, "usb.frm_num", &second);
    }
    if (frames) {
        r->items.push_back(FrameNumberItem(first, second, elapsed));
    } else {
        r->items.push_back(NotRead(FrameNumberItem(0, 0, 0), true, read.LostAt()));
    }

    struct Register {
        uint32_t address;
        const char* id;
        Item (*judge)(uint32_t);
        bool judged;
    };
    const Register registers[] = {
        {kUsbGlbStat, "usb.glb_stat", GlbStatItem, true},
        {kUsbFaddr, "usb.faddr", FaddrItem, true},
        {kUsbIsr, "usb.isr", IsrItem, false},
        {kUsbCsr0, "usb.csr0", [](uint32_t w) { return CsrItem(0, w); }, true},
        {kUsbCsr0 + 4, "usb.csr1", [](uint32_t w) { return CsrItem(1, w); }, true},
        {kUsbCsr0 + 8, "usb.csr2", [](uint32_t w) { return CsrItem(2, w); }, true},
        {kUsbCsr0 + 12, "usb.csr3", [](uint32_t w) { return CsrItem(3, w); }, true},
    };
    for (const Register& reg : registers) {
        if (read.Word(reg.address, reg.id, &word)) {
            r->items.push_back(reg.judge(word));
        } else {
            Item shape = reg.judge(0);
            r->items.push_back(NotRead(shape, reg.judged, read.LostAt()));
        }
    }
    // CSR4 to CSR7 are read last (a port without those endpoints might not
    // answer at all), but reported here, after CSR3.
    const size_t csr_high_at = r->items.size();
    if (read.Word(kUsbTxvc, "usb.txvc", &word)) {
        r->items.push_back(TxvcItem(word));
    } else {
        r->items.push_back(NotRead(TxvcItem(0), true, read.LostAt()));
    }

    // The boot ROM region, in pieces of kRomPiece bytes.
    for (uint32_t at = 0; at < kRomSize;) {
        const uint32_t count = std::min(kRomPiece, kRomSize - at);
        if (!read.Bytes(kRomBase + at, count, RomCopy + at, "rom")) break;
        at += count;
        r->rom_bytes = at;
    }
    FindDescriptors(RomCopy, r->rom_bytes, kRomBase, &r->device_descriptors, &r->configuration_descriptors);
    AddRomItems(r);

    // The power management controller's range, word by word, raw.
    for (uint32_t i = 0; i < kPmcWords; ++i) {
        if (!read.Word(kPmcBase + 4 * i, "pmc", &word)) break;
        r->pmc.push_back(word);
    }
    if (r->pmc.size() == kPmcWords) {
        r->items.push_back(PmcItem(r->pmc));
    } else {
        Item pmc = PmcItem(r->pmc);
        r->items.push_back(NotRead(pmc, false, read.LostAt()));
    }

    std::vector<Item> high;
    for (int n = 4; n < 8; ++n) {
        const std::string id = "usb.csr" + std::to_string(n);
        const uint32_t address = kUsbCsr0 + 4u * static_cast<uint32_t>(n);
        if (read.Word(address, id, &word)) {
            high.push_back(CsrItem(n, word));
        } else {
            high.push_back(NotRead(CsrItem(n, 0), false, read.LostAt()));
        }
    }
    r->items.insert(r->items.begin() + static_cast<std::ptrdiff_t>(csr_high_at), high.begin(), high.end());
}

// The end of every probe that opened a port: T# when a port is open, then
// the port closed.
void Finish(Report* r) {
    if (PortHandle != nullptr) r->terminal_sent = ReturnToTerminal() == 0;
    ClosePort();
    r->notices = TakeSuppressedNotices();
}

}  // namespace

int Report::ExitCode() const {
    if (stage != Stage::kRead) return 2;
    for (const Item& item : items)
        if (item.verdict == Verdict::kDiffers) return 1;
    return 0;
}

void RunProbe(Report* report) {
    Report& r = *report;
    r = Report();
    TakeSuppressedNotices();

    const int32_t found = SearchDevice();
    if (found != 0) {
        r.stage = Stage::kSearch;
        r.code = found;
        r.notices = TakeSuppressedNotices();
        return;
    }
    r.port = PortName + 4;  // past the "\\.\" of the path

    const int prompt = CheckTerminalPrompt();
    if (prompt != 0) {
        r.stage = Stage::kPrompt;
        r.code = prompt;
        Finish(&r);
        return;
    }
    if (!Reconnect()) {
        r.stage = Stage::kReconnect;
        r.code = 1;
        Finish(&r);
        return;
    }

    // The version line goes to the console as in the tool; its text is
    // taken for the report on the way.
    const bool capturing = BeginCapture();
    const int32_t version = QueryVersion();
    if (capturing) {
        const std::string printed = EndCapture();
        std::fwrite(printed.data(), 1, printed.size(), stdout);
        r.version_text = VersionText(printed);
    }
    std::fputs(" \n", stdout);
    std::fflush(stdout);
    // Failure codes are never multiples of 10; version codes always are.
    if (version % 10 != 0) {
        r.stage = Stage::kVersion;
        r.code = version;
        Finish(&r);
        return;
    }
    r.stage = Stage::kRead;
    r.version_code = version;
    r.items.push_back(VersionItem(r.version_text, version));

    ReadEverything(&r);
    Finish(&r);
}

}  // namespace probe
