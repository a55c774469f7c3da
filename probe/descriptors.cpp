// The search for the boot monitor's USB descriptors in a copy of the ROM region.
#include "probe/descriptors.h"

#include <set>

namespace probe {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// The device descriptor at p (18 bytes available), or false when the bytes
// do not have its shape.
bool ParseDevice(const uint8_t* p, uint32_t address, DeviceDescriptor* out) {
    if (p[0] != kDeviceDescriptorLength || p[1] != kTypeDevice) return false;
    const uint16_t usb_version = Le16(p + 2);
    const uint8_t max_packet0 = p[7];
    const uint8_t configurations = p[17];
    const uint8_t major = static_cast<uint8_t>(usb_version >> 8);
    if (major != 0x01 && major != 0x02) return false;
    if (max_packet0 != 8 && max_packet0 != 16 && max_packet0 != 32 && max_packet0 != 64) return false;
    if (configurations == 0) return false;
    out->address = address;
    out->usb_version = usb_version;
    out->device_class = p[4];
    out->device_subclass = p[5];
    out->device_protocol = p[6];
    out->max_packet0 = max_packet0;
    out->vendor_id = Le16(p + 8);
    out->product_id = Le16(p + 10);
    out->device_version = Le16(p + 12);
    out->configurations = configurations;
    out->bytes.assign(p, p + kDeviceDescriptorLength);
    return true;
}

// The configuration descriptor at p with `available` bytes behind it, or
// false when the bytes do not have its shape.
bool ParseConfiguration(const uint8_t* p, size_t available, uint32_t address, ConfigurationDescriptor* out) {
    if (available < kConfigurationHeaderLength) return false;
    if (p[0] != kConfigurationHeaderLength || p[1] != kTypeConfiguration) return false;
    const uint16_t total = Le16(p + 2);
    if (total < kConfigurationHeaderLength + kInterfaceDescriptorLength || total > available) return false;

    ConfigurationDescriptor c;
    c.address = address;
    c.total_length = total;
    c.interface_count = p[4];
    c.value = p[5];
    c.attributes = p[7];
    c.max_power = p[8];
    std::set<uint8_t> numbers;
    int endpoints_due = 0;  // endpoint descriptors the current interface still announces
    size_t at = kConfigurationHeaderLength;
    while (at < total) {
        if (total - at < 2) return false;
        const uint8_t length = p[at];
        const uint8_t type = p[at + 1];
        if (length < 2 || length > total - at) return false;
        if (type == kTypeInterface) {
            if (length != kInterfaceDescriptorLength || endpoints_due != 0) return false;
            InterfaceDescriptor i;
            i.number = p[at + 2];
            i.alternate = p[at + 3];
            i.endpoints = p[at + 4];
            i.interface_class = p[at + 5];
            i.interface_subclass = p[at + 6];
            i.interface_protocol = p[at + 7];
            endpoints_due = i.endpoints;
            numbers.insert(i.number);
            c.interfaces.push_back(i);
        } else if (type == kTypeEndpoint) {
            if (length != kEndpointDescriptorLength || endpoints_due == 0) return false;
            EndpointDescriptor e;
            e.interface_number = c.interfaces.back().number;
            e.address = p[at + 2];
            e.attributes = p[at + 3];
            e.max_packet = Le16(p + at + 4);
            e.interval = p[at + 6];
            --endpoints_due;
            c.endpoints.push_back(e);
        } else if (type == kTypeDevice || type == kTypeConfiguration) {
            // The next table begins: wTotalLength ran past the end of this one.
            return false;
        }
        // Any other type (class-specific descriptors) is passed over by its length.
        at += length;
    }
    if (endpoints_due != 0 || c.interfaces.empty()) return false;
    if (numbers.size() != c.interface_count) return false;
    c.bytes.assign(p, p + total);
    *out = c;
    return true;
}

}  // namespace

void FindDescriptors(const uint8_t* bytes, size_t size, uint32_t base, std::vector<DeviceDescriptor>* devices,
                     std::vector<ConfigurationDescriptor>* configurations) {
    for (size_t at = 0; at + 2 <= size; ++at) {
        const uint32_t address = base + static_cast<uint32_t>(at);
        if (at + kDeviceDescriptorLength <= size) {
            DeviceDescriptor d;
            if (ParseDevice(bytes + at, address, &d)) devices->push_back(d);
        }
        ConfigurationDescriptor c;
        if (ParseConfiguration(bytes + at, size - at, address, &c)) configurations->push_back(c);
    }
}

}  // namespace probe
