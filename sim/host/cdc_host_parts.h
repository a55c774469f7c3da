// What the three files of the CDC driver model share: the request codes it
// uses, its packet sizes and retry counts, and small text helpers for the
// log. cdc_host.cpp keeps the bus's time and the program's events,
// cdc_control.cpp the bus reset, enumeration and control requests,
// cdc_bulk.cpp the bulk transfers. Only these files include it.
#ifndef QUILLMERE_SIM_HOST_CDC_HOST_PARTS_H
#define QUILLMERE_SIM_HOST_CDC_HOST_PARTS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "sim/host/cdc_host.h"

namespace sim {
namespace cdc {

constexpr size_t kBulkPacket = 64;    // bulk OUT and IN packets of the configuration
constexpr size_t kControlPacket = 8;  // endpoint 0
// The device gets 2 ms after SET_ADDRESS before the new address is used.
constexpr uint64_t kSetAddressRecoveryCycles = 2 * kFrameCycles;
// Enumeration attempts (each after a port reset) before the port is gone,
// and tries of the requests within one attempt (see the header).
constexpr int kLinuxAttempts = 4;
constexpr int kWindowsAttempts = 3;
constexpr int kLinuxDescriptorTries = 3;
constexpr int kLinuxAddressTries = 2;
constexpr uint64_t kLinuxAddressRetryCycles = 200 * kFrameCycles;
constexpr uint8_t kAddress = 1;  // the address the host gives the device

// bmRequestType and bRequest of the requests the driver makes.
constexpr uint8_t kToDevice = 0x00, kFromDevice = 0x80, kToEndpoint = 0x02;
constexpr uint8_t kClassToInterface = 0x21, kClassFromInterface = 0xA1;
constexpr uint8_t kGetDescriptor = 6, kSetAddress = 5, kSetConfiguration = 9, kClearFeature = 1;
constexpr uint8_t kSetLineCoding = 0x20, kGetLineCoding = 0x21, kSetControlLineState = 0x22;
constexpr uint8_t kDescDevice = 1, kDescConfiguration = 2, kDescInterface = 4, kDescEndpoint = 5;
constexpr uint8_t kClassComm = 0x02, kClassData = 0x0A;
constexpr uint16_t kDtrRts = 0x0003;

inline uint64_t NextFrameStart(uint64_t t) { return (t / kFrameCycles + 1) * kFrameCycles; }

inline std::string Hex2(uint8_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
}

// "115200 8N1", "9600 7E1.5".
inline std::string CodingText(const LineCoding& c) {
    static const char kParity[] = "NOEMS";
    std::string text = std::to_string(c.rate) + " " + std::to_string(c.data_bits);
    text += c.parity < 5 ? kParity[c.parity] : '?';
    text += c.stop_bits == 0 ? "1" : c.stop_bits == 1 ? "1.5" : c.stop_bits == 2 ? "2" : "?";
    return text;
}

}  // namespace cdc
}  // namespace sim

#endif
