// The probe's report in plain text and in JSON.
#include "probe/report.h"

#include <cstdio>

namespace probe {

namespace {

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

std::string Hex8(uint32_t value) { return Hex(value, 8); }

std::string ByteList(const std::vector<uint8_t>& bytes) {
    std::string out;
    char text[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(text, sizeof text, "%02X", bytes[i]);
        if (i != 0) out += ' ';
        out += text;
    }
    return out;
}

const char* StageName(Stage stage) {
    switch (stage) {
        case Stage::kRead: return "read";
        case Stage::kSearch: return "search";
        case Stage::kPrompt: return "prompt";
        case Stage::kReconnect: return "reconnect";
        case Stage::kVersion: return "version";
    }
    return "?";
}

// Why no instrument answered, in a sentence.
std::string NoInstrumentText(const Report& r) {
    const std::string code = std::to_string(r.code);
    switch (r.stage) {
        case Stage::kSearch:
            return "no port from COM1 to COM98 answered N# with \\n \\r (search code " + code + ")";
        case Stage::kPrompt:
            return r.port + " answered the search, but T# did not bring the boot monitor's prompt \\r > (code " +
                   code + ")";
        case Stage::kReconnect:
            return r.port + " answered, but it did not open again or took no line settings";
        case Stage::kVersion:
            return r.port + " answered, but the version query failed (code " + code + ")";
        case Stage::kRead: break;
    }
    return "";
}

struct Counts {
    int judged = 0;
    int as_expected = 0;
    int differ = 0;
    int reported = 0;
};

Counts Count(const Report& r) {
    Counts c;
    for (const Item& item : r.items) {
        switch (item.verdict) {
            case Verdict::kAsExpected: ++c.judged; ++c.as_expected; break;
            case Verdict::kDiffers: ++c.judged; ++c.differ; break;
            case Verdict::kReported: ++c.reported; break;
        }
    }
    return c;
}

std::string ExitText(int code) {
    switch (code) {
        case 0: return "exit code 0: every judged item is as expected";
        case 1: return "exit code 1: at least one judged item differs";
        default: return "exit code 2: no instrument answered";
    }
}

std::string Quoted(const std::string& s) { return "\"" + JsonEscape(s) + "\""; }

std::string Indent(int n) { return std::string(static_cast<size_t>(n), ' '); }

std::string JsonItem(const Item& item) {
    std::string out = "{\"id\": " + Quoted(item.id) + ", \"title\": " + Quoted(item.title);
    if (item.has_address) out += ", \"address\": " + Quoted(Hex8(item.address));
    if (item.has_word) out += ", \"word\": " + Quoted(Hex8(item.word));
    out += ", \"verdict\": " + Quoted(VerdictName(item.verdict));
    out += ", \"reading\": " + Quoted(item.reading) + ", \"expected\": " + Quoted(item.expected);
    out += ", \"fields\": {";
    for (size_t i = 0; i < item.fields.size(); ++i) {
        const Field& f = item.fields[i];
        if (i != 0) out += ", ";
        out += Quoted(f.name) + ": " + (f.number ? f.value : Quoted(f.value));
    }
    return out + "}}";
}

std::string JsonDevice(const DeviceDescriptor& d) {
    return "{\"address\": " + Quoted(Hex8(d.address)) + ", \"usb_version\": " + Quoted(Hex(d.usb_version, 4)) +
           ", \"class\": " + std::to_string(d.device_class) + ", \"subclass\": " +
           std::to_string(d.device_subclass) + ", \"protocol\": " + std::to_string(d.device_protocol) +
           ", \"max_packet0\": " + std::to_string(d.max_packet0) + ", \"vendor_id\": " +
           Quoted(Hex(d.vendor_id, 4)) + ", \"product_id\": " + Quoted(Hex(d.product_id, 4)) +
           ", \"device_version\": " + Quoted(Hex(d.device_version, 4)) + ", \"configurations\": " +
           std::to_string(d.configurations) + ", \"bytes\": " + Quoted(ByteList(d.bytes)) + "}";
}

std::string JsonConfiguration(const ConfigurationDescriptor& c, int indent) {
    std::string out = "{\"address\": " + Quoted(Hex8(c.address)) + ", \"total_length\": " +
                      std::to_string(c.total_length) + ", \"interface_count\": " +
                      std::to_string(c.interface_count) + ", \"configuration_value\": " + std::to_string(c.value) +
                      ", \"attributes\": " + Quoted(Hex(c.attributes, 2)) + ", \"max_power_ma\": " +
                      std::to_string(2 * c.max_power) + ",\n" + Indent(indent + 2) + "\"interfaces\": [";
    for (size_t i = 0; i < c.interfaces.size(); ++i) {
        const InterfaceDescriptor& f = c.interfaces[i];
        out += (i ? ", " : "") + std::string("{\"number\": ") + std::to_string(f.number) +
               ", \"alternate\": " + std::to_string(f.alternate) + ", \"class\": " +
               std::to_string(f.interface_class) + ", \"subclass\": " + std::to_string(f.interface_subclass) +
               ", \"protocol\": " + std::to_string(f.interface_protocol) + ", \"endpoints\": " +
               std::to_string(f.endpoints) + "}";
    }
    out += "],\n" + Indent(indent + 2) + "\"endpoints\": [";
    for (size_t i = 0; i < c.endpoints.size(); ++i) {
        const EndpointDescriptor& e = c.endpoints[i];
        static const char* const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
        out += (i ? ", " : "") + std::string("{\"address\": ") + Quoted(Hex(e.address, 2)) +
               ", \"number\": " + std::to_string(e.Number()) + ", \"direction\": " +
               Quoted(e.In() ? "IN" : "OUT") + ", \"type\": " + Quoted(kTypes[e.TransferType()]) +
               ", \"packet_size\": " + std::to_string(e.PacketSize()) + ", \"interval\": " +
               std::to_string(e.interval) + ", \"interface\": " + std::to_string(e.interface_number) + "}";
    }
    out += "],\n" + Indent(indent + 2) + "\"bytes\": " + Quoted(ByteList(c.bytes)) + "}";
    return out;
}

}  // namespace

const char* VerdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::kAsExpected: return "as expected";
        case Verdict::kDiffers: return "differs";
        case Verdict::kReported: return "reported";
    }
    return "?";
}

std::string JsonEscape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c > 0x7E) {
                    char text[8];
                    std::snprintf(text, sizeof text, "\\u%04X", c);
                    out += text;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string TextReport(const Report& r) {
    std::string out = "quillmere-probe: the instrument against the chip sheet (read only)\n\n";
    if (r.stage != Stage::kRead) {
        out += "No instrument answered: " + NoInstrumentText(r) + ".\n";
    } else {
        out += "Instrument on " + r.port + ", boot monitor " +
               (r.version_text.empty() ? std::string("(no version text)") : "\"" + r.version_text + "\"") +
               ", version code " + std::to_string(r.version_code) + ".\n\n";
        for (const Item& item : r.items) {
            std::string verdict = std::string("[") + VerdictName(item.verdict) + "]";
            verdict.resize(14, ' ');
            out += verdict + item.id + ": " + item.title;
            if (item.has_address) out += " at " + Hex8(item.address);
            if (item.has_word) out += " = " + Hex8(item.word);
            out += "\n              read:     " + item.reading + "\n";
            out += "              expected: " + item.expected + "\n";
        }

        out += "\nBoot ROM region " + Hex8(kRomBase) + " to " + Hex8(kRomBase + kRomSize - 1) + ": " +
               std::to_string(r.rom_bytes) + " bytes read with R frames of at most " + std::to_string(kRomPiece) +
               " bytes.\n";
        if (r.device_descriptors.empty() && r.configuration_descriptors.empty())
            out += "  No device or configuration descriptor of the sheet's shape found.\n";
        for (const DeviceDescriptor& d : r.device_descriptors) {
            out += "  device descriptor at " + Hex8(d.address) + ": vendor " + Hex(d.vendor_id, 4) + ", product " +
                   Hex(d.product_id, 4) + ", class " + Hex(d.device_class, 2) + "/" + Hex(d.device_subclass, 2) +
                   ", endpoint 0 packet size " + std::to_string(d.max_packet0) + "\n";
            out += "    " + ByteList(d.bytes) + "\n";
        }
        for (const ConfigurationDescriptor& c : r.configuration_descriptors) {
            out += "  configuration descriptor at " + Hex8(c.address) + ": " + std::to_string(c.total_length) +
                   " bytes, " + std::to_string(c.interface_count) + " interfaces, configuration value " +
                   std::to_string(c.value) + "\n";
            for (const InterfaceDescriptor& f : c.interfaces) {
                out += "    interface " + std::to_string(f.number) + " (alternate " + std::to_string(f.alternate) +
                       "): class " + Hex(f.interface_class, 2) + ", subclass " + Hex(f.interface_subclass, 2) +
                       ", protocol " + Hex(f.interface_protocol, 2) + "\n";
                for (const EndpointDescriptor& e : c.endpoints) {
                    if (e.interface_number != f.number) continue;
                    static const char* const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
                    out += "      endpoint " + Hex(e.address, 2) + ": " + std::to_string(e.Number()) + " " +
                           kTypes[e.TransferType()] + (e.In() ? " IN" : " OUT") + ", packet size " +
                           std::to_string(e.PacketSize()) + ", interval " + std::to_string(e.interval) + "\n";
                }
            }
        }

        out += "\nPower management controller " + Hex8(kPmcBase) + " to " + Hex8(kPmcBase + 4 * kPmcWords - 1) +
               ", raw words (the sheet gives no register layout; not judged):\n";
        if (r.pmc.empty()) out += "  not read\n";
        for (size_t i = 0; i < r.pmc.size(); i += 8) {
            out += "  " + Hex8(kPmcBase + 4 * static_cast<uint32_t>(i)) + " ";
            char word[12];
            for (size_t j = i; j < r.pmc.size() && j < i + 8; ++j) {
                std::snprintf(word, sizeof word, " %08X", static_cast<unsigned>(r.pmc[j]));
                out += word;
            }
            out += "\n";
        }
    }

    out += "\n";
    if (!r.link_lost.empty())
        out += "The link was lost while reading " + r.link_lost + "; the items after it were not read.\n";
    if (!r.port.empty())
        out += r.terminal_sent ? "T# sent, port closed.\n" : "T# not sent (no port open), port closed.\n";
    for (const std::string& caption : r.notices)
        out += "A layer raised the notice [" + caption + "]; the probe shows no boxes.\n";
    if (r.stage == Stage::kRead) {
        const Counts c = Count(r);
        out += std::to_string(c.judged) + " judged items: " + std::to_string(c.as_expected) + " as expected, " +
               std::to_string(c.differ) + " differ; " + std::to_string(c.reported) + " reported, not judged.\n";
        for (const Item& item : r.items)
            if (item.verdict == Verdict::kDiffers) out += "differs: " + item.id + "\n";
    }
    out += ExitText(r.ExitCode()) + ".\n";
    return out;
}

std::string JsonReport(const Report& r) {
    const Counts c = Count(r);
    std::string out = "{\n";
    out += "  \"program\": \"quillmere-probe\",\n";
    out += "  \"stage\": " + Quoted(StageName(r.stage)) + ",\n";
    out += "  \"code\": " + std::to_string(r.code) + ",\n";
    out += "  \"instrument_answered\": " + std::string(r.stage == Stage::kRead ? "true" : "false") + ",\n";
    if (r.stage != Stage::kRead) out += "  \"why\": " + Quoted(NoInstrumentText(r)) + ",\n";
    out += "  \"port\": " + (r.port.empty() ? std::string("null") : Quoted(r.port)) + ",\n";
    out += "  \"version\": {\"text\": " + Quoted(r.version_text) + ", \"code\": " + std::to_string(r.version_code) +
           "},\n";
    out += "  \"items\": [";
    for (size_t i = 0; i < r.items.size(); ++i) out += (i ? ",\n    " : "\n    ") + JsonItem(r.items[i]);
    out += r.items.empty() ? "],\n" : "\n  ],\n";
    out += "  \"rom\": {\"base\": " + Quoted(Hex8(kRomBase)) + ", \"bytes_read\": " + std::to_string(r.rom_bytes) +
           ",\n    \"device_descriptors\": [";
    for (size_t i = 0; i < r.device_descriptors.size(); ++i)
        out += (i ? ",\n      " : "\n      ") + JsonDevice(r.device_descriptors[i]);
    out += "],\n    \"configuration_descriptors\": [";
    for (size_t i = 0; i < r.configuration_descriptors.size(); ++i)
        out += (i ? ",\n      " : "\n      ") + JsonConfiguration(r.configuration_descriptors[i], 6);
    out += "]},\n";
    out += "  \"pmc\": [";
    for (size_t i = 0; i < r.pmc.size(); ++i) {
        out += (i % 4 == 0 ? (i ? ",\n    " : "\n    ") : ", ");
        out += "{\"address\": " + Quoted(Hex8(kPmcBase + 4 * static_cast<uint32_t>(i))) + ", \"word\": " +
               Quoted(Hex8(r.pmc[i])) + "}";
    }
    out += r.pmc.empty() ? "],\n" : "\n  ],\n";
    out += "  \"link_lost_at\": " + (r.link_lost.empty() ? std::string("null") : Quoted(r.link_lost)) + ",\n";
    out += "  \"terminal_sent\": " + std::string(r.terminal_sent ? "true" : "false") + ",\n";
    out += "  \"notices\": [";
    for (size_t i = 0; i < r.notices.size(); ++i) out += (i ? ", " : "") + Quoted(r.notices[i]);
    out += "],\n";
    out += "  \"summary\": {\"judged\": " + std::to_string(c.judged) + ", \"as_expected\": " +
           std::to_string(c.as_expected) + ", \"differ\": " + std::to_string(c.differ) + ", \"reported\": " +
           std::to_string(c.reported) + "},\n";
    out += "  \"exit_code\": " + std::to_string(r.ExitCode()) + "\n";
    out += "}\n";
    return out;
}

}  // namespace probe
