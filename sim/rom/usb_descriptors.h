// The boot monitor's USB descriptors: a CDC virtual serial port with the
// endpoint layout of the chip sheet (0 control, 1 bulk OUT, 2 bulk IN, 3
// interrupt IN). The simulated boot ROM keeps them as constant tables in its
// ROM region, where code (and a probe reading memory) can find them by their
// shape; the native ROM monitor serves them from there.
#ifndef QUILLMERE_SIM_ROM_USB_DESCRIPTORS_H
#define QUILLMERE_SIM_ROM_USB_DESCRIPTORS_H

#include <cstdint>
#include <vector>

namespace sim {

class Chip;

// Where the tables lie in the boot ROM region (0x00300000 to 0x0030FFFF).
constexpr uint32_t kRomDeviceDescriptor = 0x0030A000;
constexpr uint32_t kRomConfigDescriptor = 0x0030A020;

// The simulated instrument's vendor and product ids (its own, not any
// maker's).
constexpr uint16_t kSimVendorId = 0xF00D;
constexpr uint16_t kSimProductId = 0x5EED;

// Variants of what the boot ROM shows, for checking a probe against a chip
// that differs from the sheet.
enum class RomDescriptorLayout {
    kSheet,     // as the sheet: 1 bulk OUT, 2 bulk IN, 3 interrupt IN
    kSwapped,   // bulk IN on endpoint 1, bulk OUT on endpoint 2
    kNone,      // no tables of that shape in the ROM region (the monitor keeps
                // its descriptors elsewhere)
};

// The 18-byte device descriptor and the whole configuration descriptor
// (configuration, interfaces, CDC functional descriptors, endpoints).
std::vector<uint8_t> DeviceDescriptor();
std::vector<uint8_t> ConfigurationDescriptor(RomDescriptorLayout layout = RomDescriptorLayout::kSheet);

// Puts the tables of layout into the chip's ROM region (nothing for kNone).
void InstallRomDescriptors(Chip* chip, RomDescriptorLayout layout);

}  // namespace sim

#endif
