#include "sim/rom/usb_descriptors.h"

#include <initializer_list>

#include "sim/chip/chip.h"

namespace sim {

namespace {

constexpr uint8_t kEndpointIn = 0x80;  // direction bit of bEndpointAddress
constexpr uint8_t kBulk = 0x02;
constexpr uint8_t kInterrupt = 0x03;
constexpr uint8_t kMaxPacket = 64;

void Append(std::vector<uint8_t>* out, std::initializer_list<uint8_t> bytes) {
    out->insert(out->end(), bytes);
}

void Endpoint(std::vector<uint8_t>* out, uint8_t address, uint8_t attributes, uint8_t interval) {
    Append(out, {7, 0x05, address, attributes, kMaxPacket, 0, interval});
}

}  // namespace

std::vector<uint8_t> DeviceDescriptor() {
    return {
        18, 0x01,                  // bLength, DEVICE
        0x00, 0x02,                // bcdUSB 2.00
        0x02, 0x00, 0x00,          // class: communications device; subclass, protocol per interface
        8,                         // bMaxPacketSize0
        kSimVendorId & 0xFF, kSimVendorId >> 8,
        kSimProductId & 0xFF, kSimProductId >> 8,
        0x00, 0x01,                // bcdDevice 1.00
        0, 0, 0,                   // no manufacturer, product or serial-number strings
        1,                         // one configuration
    };
}

std::vector<uint8_t> ConfigurationDescriptor(RomDescriptorLayout layout) {
    const bool swapped = layout == RomDescriptorLayout::kSwapped;
    const uint8_t bulk_out = swapped ? 0x02 : 0x01;
    const uint8_t bulk_in = kEndpointIn | (swapped ? 0x01 : 0x02);
    std::vector<uint8_t> d;
    // Configuration: wTotalLength filled in below, 2 interfaces, value 1, no
    // string, bus-powered, 100 mA.
    Append(&d, {9, 0x02, 0, 0, 2, 1, 0, 0x80, 50});
    // Communication interface 0: one endpoint, CDC, abstract control model,
    // AT commands (V.250).
    Append(&d, {9, 0x04, 0, 0, 1, 0x02, 0x02, 0x01, 0});
    Append(&d, {5, 0x24, 0x00, 0x10, 0x01});  // header, CDC 1.10
    Append(&d, {5, 0x24, 0x01, 0x00, 1});     // call management: none by the device; data interface 1
    Append(&d, {4, 0x24, 0x02, 0x02});        // ACM: line coding and control line state requests
    Append(&d, {5, 0x24, 0x06, 0, 1});        // union: interface 0 controls interface 1
    Endpoint(&d, kEndpointIn | 3, kInterrupt, 16);
    // Data interface 1: two bulk endpoints, in the order of their numbers.
    Append(&d, {9, 0x04, 1, 0, 2, 0x0A, 0x00, 0x00, 0});
    if (swapped) {
        Endpoint(&d, bulk_in, kBulk, 0);
        Endpoint(&d, bulk_out, kBulk, 0);
    } else {
        Endpoint(&d, bulk_out, kBulk, 0);
        Endpoint(&d, bulk_in, kBulk, 0);
    }
    d[2] = static_cast<uint8_t>(d.size());
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}

void InstallRomDescriptors(Chip* chip, RomDescriptorLayout layout) {
    if (layout == RomDescriptorLayout::kNone) return;
    const std::vector<uint8_t> device = DeviceDescriptor();
    const std::vector<uint8_t> config = ConfigurationDescriptor(layout);
    chip->WriteRom(kRomDeviceDescriptor - kRomBase, device.data(), device.size());
    chip->WriteRom(kRomConfigDescriptor - kRomBase, config.data(), config.size());
}

}  // namespace sim
