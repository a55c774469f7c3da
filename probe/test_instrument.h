// Helpers of the probe's tests: descriptor tables of the sheet's shape, and
// the script of a whole probe against a scripted instrument.
#ifndef QUILLMERE_PROBE_TEST_INSTRUMENT_H
#define QUILLMERE_PROBE_TEST_INSTRUMENT_H

#include <cstdint>
#include <map>
#include <string>

#include "platform/fake_platform.h"
#include "probe/probe.h"

namespace probetest {

// A CDC device descriptor: USB 2.00, class 0x02, endpoint 0 packet size 8,
// vendor 0xF00D, product 0x5EED, one configuration.
inline std::string DeviceTable(uint8_t max_packet0 = 8) {
    const uint8_t b[] = {0x12, 0x01, 0x00, 0x02, 0x02, 0x00, 0x00, max_packet0, 0x0D,
                         0xF0, 0xED, 0x5E, 0x00, 0x01, 0x01, 0x02, 0x03, 0x01};
    return std::string(reinterpret_cast<const char*>(b), sizeof b);
}

// A CDC configuration of 67 bytes: interface 0 (class 0x02/0x02) with its
// class-specific descriptors and the interrupt IN endpoint ep_int, interface
// 1 (class 0x0A) with the bulk endpoints ep_out and ep_in, all 64 bytes.
inline std::string ConfigurationTable(uint8_t ep_out = 0x01, uint8_t ep_in = 0x82, uint8_t ep_int = 0x83) {
    const uint8_t b[] = {
        0x09, 0x02, 0x43, 0x00, 0x02, 0x01, 0x00, 0xC0, 0x32,  // configuration, 67 bytes, 2 interfaces
        0x09, 0x04, 0x00, 0x00, 0x01, 0x02, 0x02, 0x01, 0x00,  // interface 0, 1 endpoint, CDC control
        0x05, 0x24, 0x00, 0x10, 0x01,                          // CDC header
        0x05, 0x24, 0x01, 0x00, 0x01,                          // call management
        0x04, 0x24, 0x02, 0x02,                                // abstract control management
        0x05, 0x24, 0x06, 0x00, 0x01,                          // union
        0x07, 0x05, ep_int, 0x03, 0x40, 0x00, 0x10,            // interrupt IN
        0x09, 0x04, 0x01, 0x00, 0x02, 0x0A, 0x00, 0x00, 0x00,  // interface 1, 2 endpoints, CDC data
        0x07, 0x05, ep_out, 0x02, 0x40, 0x00, 0x00,            // bulk OUT
        0x07, 0x05, ep_in, 0x02, 0x40, 0x00, 0x00,             // bulk IN
    };
    return std::string(reinterpret_cast<const char*>(b), sizeof b);
}

// A ROM region of 64 KiB: some code-like filler, the device table at offset
// 0xA000 and the configuration table at 0xA020.
inline std::string RomWithTables(const std::string& device = DeviceTable(),
                                 const std::string& configuration = ConfigurationTable()) {
    std::string rom(probe::kRomSize, '\0');
    for (size_t i = 0; i < rom.size(); ++i) rom[i] = static_cast<char>((i * 7 + 0xE5) & 0xFF);
    rom.replace(0xA000, device.size(), device);
    rom.replace(0xA020, configuration.size(), configuration);
    return rom;
}

// What a scripted instrument answers.
struct Instrument {
    std::string version = std::string("\n\rv1.4 Nov 10 2006\n\r>");
    uint32_t chip_id = 0x272A0A40;
    uint32_t frame_first = 100;
    uint32_t frame_second = (100 + 21) | (1u << 17);  // FRM_OK
    uint32_t glb_stat = 0x3;                           // FADDEN, CONFG
    uint32_t faddr = 0x100 | 5;                        // FEN, address 5
    uint32_t isr = 1u << 11;                           // SOFINT
    uint32_t csr[8] = {0x8000, 0x8200, 0x8E00, 0x8700, 0, 0, 0, 0};
    uint32_t txvc = 1u << 9;                           // PUON
    std::string rom = RomWithTables();
    uint32_t pmc[probe::kPmcWords] = {};
};

// The frames of a whole probe of `in` found on the device's port: search,
// prompt, version query, every read in order and the final T#.
inline void ScriptProbe(fake::Device& d, const Instrument& in) {
    d.ExpectWrite("N#").Reply(std::string("\n\r", 2));
    d.ExpectWrite("T#").Reply(std::string("\n\r>", 3));
    d.ExpectWrite("V#\n").Reply(in.version);
    d.ExpectWrite("#\n");
    d.ExpectWrite("N#").Reply(std::string("\n\r", 2));
    d.ExpectReadWord(probe::kChipIdAddress, in.chip_id);
    d.ExpectReadWord(probe::kUsbFrmNum, in.frame_first);
    d.ExpectReadWord(probe::kUsbFrmNum, in.frame_second);
    d.ExpectReadWord(probe::kUsbGlbStat, in.glb_stat);
    d.ExpectReadWord(probe::kUsbFaddr, in.faddr);
    d.ExpectReadWord(probe::kUsbIsr, in.isr);
    for (uint32_t n = 0; n < 4; ++n) d.ExpectReadWord(probe::kUsbCsr0 + 4 * n, in.csr[n]);
    d.ExpectReadWord(probe::kUsbTxvc, in.txvc);
    for (uint32_t at = 0; at < probe::kRomSize; at += probe::kRomPiece)
        d.ExpectReceiveData(probe::kRomBase + at, in.rom.substr(at, probe::kRomPiece));
    for (uint32_t i = 0; i < probe::kPmcWords; ++i) d.ExpectReadWord(probe::kPmcBase + 4 * i, in.pmc[i]);
    for (uint32_t n = 4; n < 8; ++n) d.ExpectReadWord(probe::kUsbCsr0 + 4 * n, in.csr[n]);
    d.ExpectWrite("T#");
}

}  // namespace probetest

#endif
