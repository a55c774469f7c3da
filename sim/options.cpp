#include "sim/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

bool ToInt(const char* text, int base, int64_t min, int64_t max, int64_t* out) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text, &end, base);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

// "K", "K:OFFSET" or "K:OFFSET:MASK" (mask in hex).
bool ParseCorruptRequest(const char* text, SimOptions* o) {
    std::string s = text;
    std::string parts[3];
    size_t n = 0, start = 0;
    for (;;) {
        if (n == 3) return false;
        size_t colon = s.find(':', start);
        parts[n++] = s.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    int64_t v = 0;
    if (!ToInt(parts[0].c_str(), 10, 0, INT64_MAX / 2, &v)) return false;
    o->corrupt_request = v;
    if (n >= 2) {
        if (!ToInt(parts[1].c_str(), 10, 0, 0x7FFFFFFF, &v)) return false;
        o->corrupt_request_offset = v;
    }
    if (n >= 3) {
        if (!ToInt(parts[2].c_str(), 16, 1, 0xFF, &v)) return false;
        o->corrupt_request_mask = static_cast<uint8_t>(v);
    }
    return true;
}

bool ParseDecoy(const char* text, SimOptions* o) {
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr) return false;
    std::string kind(text, colon);
    Decoy d{};
    if (kind == "silent") {
        d.kind = DecoyKind::kSilent;
    } else if (kind == "crlf") {
        d.kind = DecoyKind::kCrlf;
    } else if (kind == "held") {
        d.kind = DecoyKind::kHeld;
    } else {
        return false;
    }
    int64_t n = 0;
    if (!ToInt(colon + 1, 10, 0, 999, &n)) return false;
    d.port = static_cast<int>(n);
    o->decoys.push_back(d);
    return true;
}

}  // namespace

const char* UsageText() {
    return "usage: quillmere-sim [options]\n"
           "  --port N                link name COMn in the port directory (default 1)\n"
           "  --port-dir DIR          port directory, created if missing (default ./ports)\n"
           "  --version TEXT          monitor version text (default \"v1.4 Nov 10 2006\")\n"
           "  --chip-id HEX           chip identification word (default 272A0A40)\n"
           "  --flip-flash OFFSET     flip a flash byte after a page write covers it\n"
           "  --link usb|serial       the instrument's link: its USB device port (default) or the\n"
           "                          debug serial unit\n"
           "  --usb-driver linux|windows\n"
           "                          the PC's CDC driver on the USB link (default linux)\n"
           "  --real-time             wall time follows chip time (a run takes as long as on the chip)\n"
           "  --bus-reset-at K        the host resets the bus and enumerates again before frame K\n"
           "  --reset-recovery-ms N   the host's first request comes N ms after a bus reset's end\n"
           "                          (default 10, the least the USB rules allow)\n"
           "  --usb-endpoints N       endpoints of the USB device port, 4 to 8 (default 4)\n"
           "  --rom-descriptors sheet|swapped|none\n"
           "                          the boot ROM's USB descriptors: as the sheet (default), bulk IN\n"
           "                          on endpoint 1 and OUT on 2, or none in the ROM region\n"
           "  --baud N                serial link: throttle both ways to N/10 bytes per second\n"
           "  --wire-log FILE         log every frame and reply\n"
           "  --log FILE              simulator log (default stderr)\n"
           "  --summary FILE          summary on exit (default stderr)\n"
           "  --state-in FILE         load flash, lock and GPNVM bits\n"
           "  --state-out FILE        save them on exit\n"
           "  --drop-reply K          frame K's reply never reaches the host\n"
           "  --corrupt-reply K       xor 0xFF the first byte of frame K's reply\n"
           "  --close-at K            the device vanishes when frame K arrives\n"
           "  --silent-from K         from frame K on nothing is answered\n"
           "  --corrupt-request K[:OFFSET[:MASK]]\n"
           "                          xor one byte of frame K on its way in (mask hex, default 01)\n"
           "  --decoy KIND:N          decoy port COMn: silent, crlf or held (repeatable)\n"
           "  --exit-after-close      exit once the tool has closed the port for good\n"
           "  --timeout SECONDS       exit after that long regardless\n";
}

bool ParseOptions(int argc, char** argv, SimOptions* o, std::string* error) {
    error->clear();
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") return false;
        if (name == "--exit-after-close") {
            o->exit_after_close = true;
            continue;
        }
        if (name == "--real-time") {
            o->real_time = true;
            continue;
        }
        if (i + 1 >= argc) {
            *error = "option " + name + " needs a value";
            return false;
        }
        const char* value = argv[++i];
        int64_t v = 0;
        bool ok = true;
        if (name == "--port") {
            ok = ToInt(value, 10, 0, 999, &v);
            o->port = static_cast<int>(v);
        } else if (name == "--port-dir") {
            o->port_dir = value;
            ok = *value != '\0';
        } else if (name == "--version") {
            o->version = value;
            // The reply must fit the monitor's answer; the host reads 40 bytes.
            ok = std::strlen(value) <= 200;
        } else if (name == "--chip-id") {
            ok = ToInt(value, 16, 0, 0xFFFFFFFFLL, &v);
            o->chip_id = static_cast<uint32_t>(v);
        } else if (name == "--flip-flash") {
            ok = ToInt(value, 0, 0, 0x7FFFF, &v);
            o->flip_flash = v;
        } else if (name == "--baud") {
            ok = ToInt(value, 10, 10, 100000000, &v);
            o->baud = static_cast<uint32_t>(v);
        } else if (name == "--link") {
            const std::string link = value;
            ok = link == "usb" || link == "serial";
            o->link = link == "serial" ? LinkKind::kSerial : LinkKind::kUsb;
        } else if (name == "--usb-driver") {
            const std::string driver = value;
            ok = driver == "linux" || driver == "windows";
            o->usb_windows = driver == "windows";
        } else if (name == "--bus-reset-at") {
            ok = ToInt(value, 10, 0, INT64_MAX / 2, &o->bus_reset_at);
        } else if (name == "--reset-recovery-ms") {
            ok = ToInt(value, 10, 0, 10000, &o->reset_recovery_ms);
        } else if (name == "--usb-endpoints") {
            ok = ToInt(value, 10, 4, 8, &v);
            o->usb_endpoints = static_cast<int>(v);
        } else if (name == "--rom-descriptors") {
            const std::string layout = value;
            ok = layout == "sheet" || layout == "swapped" || layout == "none";
            o->rom_descriptors = layout == "swapped" ? RomDescriptorLayout::kSwapped
                                 : layout == "none"  ? RomDescriptorLayout::kNone
                                                     : RomDescriptorLayout::kSheet;
        } else if (name == "--wire-log") {
            o->wire_log = value;
        } else if (name == "--log") {
            o->log = value;
        } else if (name == "--summary") {
            o->summary = value;
        } else if (name == "--state-in") {
            o->state_in = value;
        } else if (name == "--state-out") {
            o->state_out = value;
        } else if (name == "--drop-reply") {
            ok = ToInt(value, 10, 0, INT64_MAX / 2, &o->drop_reply);
        } else if (name == "--corrupt-reply") {
            ok = ToInt(value, 10, 0, INT64_MAX / 2, &o->corrupt_reply);
        } else if (name == "--close-at") {
            ok = ToInt(value, 10, 0, INT64_MAX / 2, &o->close_at);
        } else if (name == "--silent-from") {
            ok = ToInt(value, 10, 0, INT64_MAX / 2, &o->silent_from);
        } else if (name == "--corrupt-request") {
            ok = ParseCorruptRequest(value, o);
        } else if (name == "--decoy") {
            ok = ParseDecoy(value, o);
        } else if (name == "--timeout") {
            char* end = nullptr;
            o->timeout_s = std::strtod(value, &end);
            ok = *end == '\0' && o->timeout_s > 0 && o->timeout_s < 1e7;
        } else {
            *error = "unknown option " + name;
            return false;
        }
        if (!ok) {
            *error = "bad value for " + name + ": " + value;
            return false;
        }
    }
    if (o->link == LinkKind::kUsb && o->baud != 0) {
        *error = "--baud throttles the debug serial unit: it needs --link serial";
        return false;
    }
    if (o->link == LinkKind::kSerial && (o->real_time || o->bus_reset_at != kNoFrame)) {
        *error = "--real-time and --bus-reset-at need the USB link";
        return false;
    }
    for (size_t i = 0; i < o->decoys.size(); ++i) {
        bool taken = o->decoys[i].port == o->port;
        for (size_t j = 0; j < i; ++j) taken = taken || o->decoys[j].port == o->decoys[i].port;
        if (taken) {
            *error = "port number " + std::to_string(o->decoys[i].port) + " is used twice";
            return false;
        }
    }
    return true;
}

}  // namespace sim
