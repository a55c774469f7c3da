// The search for the boot monitor's USB descriptors in a copy of the boot ROM
// region: a device descriptor (18 bytes beginning 0x12 0x01) and a
// configuration descriptor (beginning 0x09 0x02) followed by its interfaces
// and endpoints, all within its wTotalLength.
#ifndef QUILLMERE_PROBE_DESCRIPTORS_H
#define QUILLMERE_PROBE_DESCRIPTORS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace probe {

// Lengths and types of the descriptors the search knows by their shape.
constexpr uint8_t kDeviceDescriptorLength = 18;
constexpr uint8_t kConfigurationHeaderLength = 9;
constexpr uint8_t kInterfaceDescriptorLength = 9;
constexpr uint8_t kEndpointDescriptorLength = 7;
constexpr uint8_t kTypeDevice = 0x01;
constexpr uint8_t kTypeConfiguration = 0x02;
constexpr uint8_t kTypeInterface = 0x04;
constexpr uint8_t kTypeEndpoint = 0x05;

// A device descriptor found at a target address.
struct DeviceDescriptor {
    uint32_t address = 0;          // target address of its first byte
    uint16_t usb_version = 0;      // bcdUSB, e.g. 0x0200
    uint8_t device_class = 0;      // bDeviceClass, bDeviceSubClass, bDeviceProtocol
    uint8_t device_subclass = 0;
    uint8_t device_protocol = 0;
    uint8_t max_packet0 = 0;       // bMaxPacketSize0: endpoint 0's packet size in bytes
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint16_t device_version = 0;   // bcdDevice
    uint8_t configurations = 0;    // bNumConfigurations
    std::vector<uint8_t> bytes;    // the 18 bytes as found
};

// An interface descriptor inside a configuration descriptor.
struct InterfaceDescriptor {
    uint8_t number = 0;            // bInterfaceNumber
    uint8_t alternate = 0;         // bAlternateSetting
    uint8_t endpoints = 0;         // bNumEndpoints
    uint8_t interface_class = 0;   // bInterfaceClass, bInterfaceSubClass, bInterfaceProtocol
    uint8_t interface_subclass = 0;
    uint8_t interface_protocol = 0;
};

// An endpoint descriptor inside a configuration descriptor.
struct EndpointDescriptor {
    uint8_t interface_number = 0;  // bInterfaceNumber of the interface it belongs to
    uint8_t address = 0;           // bEndpointAddress: bit 7 set for IN, 3:0 the endpoint number
    uint8_t attributes = 0;        // bmAttributes: 1:0 the transfer type
    uint16_t max_packet = 0;       // wMaxPacketSize, bits 10:0 the packet size in bytes
    uint8_t interval = 0;          // bInterval

    int Number() const { return address & 0x0F; }
    bool In() const { return (address & 0x80) != 0; }
    // 0 control, 1 isochronous, 2 bulk, 3 interrupt.
    int TransferType() const { return attributes & 0x03; }
    int PacketSize() const { return max_packet & 0x7FF; }
};

// A configuration descriptor with everything its wTotalLength covers.
struct ConfigurationDescriptor {
    uint32_t address = 0;          // target address of its first byte
    uint16_t total_length = 0;     // wTotalLength in bytes
    uint8_t interface_count = 0;   // bNumInterfaces
    uint8_t value = 0;             // bConfigurationValue
    uint8_t attributes = 0;        // bmAttributes
    uint8_t max_power = 0;         // bMaxPower, in units of 2 mA
    std::vector<InterfaceDescriptor> interfaces;
    std::vector<EndpointDescriptor> endpoints;  // in the order they appear
    std::vector<uint8_t> bytes;    // the total_length bytes as found
};

// Searches size bytes copied from target address base for descriptors of
// the shapes above, every byte offset a candidate; the found ones are
// appended in address order. A device descriptor must also have a USB
// version 1.x or 2.x, an endpoint 0 packet size of 8, 16, 32 or 64 and at
// least one configuration. A configuration descriptor must lie wholly in the
// copy; its wTotalLength must be exactly the sum of the descriptors after
// the header (each at least 2 bytes long); interface and endpoint
// descriptors must have their standard lengths; each interface's
// bNumEndpoints must match the endpoint descriptors that follow it; and the
// distinct interface numbers must count bNumInterfaces (at least one).
void FindDescriptors(const uint8_t* bytes, size_t size, uint32_t base, std::vector<DeviceDescriptor>* devices,
                     std::vector<ConfigurationDescriptor>* configurations);

}  // namespace probe

#endif
