// The descriptor search: which byte runs count as the tables, and what is
// read out of them.
#include "probe/descriptors.h"

#include <gtest/gtest.h>

#include <functional>

#include "probe/test_instrument.h"

namespace {

using probe::ConfigurationDescriptor;
using probe::DeviceDescriptor;

struct Found {
    std::vector<DeviceDescriptor> devices;
    std::vector<ConfigurationDescriptor> configurations;
};

Found Search(const std::string& bytes, uint32_t base = 0x00300000) {
    Found f;
    probe::FindDescriptors(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), base, &f.devices,
                           &f.configurations);
    return f;
}

// Padding that holds no table: code-like bytes without 0x12 0x01 or 0x09 0x02.
std::string Filler(size_t n) { return std::string(n, '\xE5'); }

TEST(DescriptorsTest, ReadsTheTablesOfTheSheetsShape) {
    const std::string rom = Filler(5) + probetest::DeviceTable() + Filler(3) + probetest::ConfigurationTable() +
                            Filler(4);
    const Found f = Search(rom);
    ASSERT_EQ(f.devices.size(), 1u);
    const DeviceDescriptor& d = f.devices[0];
    EXPECT_EQ(d.address, 0x00300005u);
    EXPECT_EQ(d.usb_version, 0x0200);
    EXPECT_EQ(d.device_class, 0x02);
    EXPECT_EQ(d.max_packet0, 8);
    EXPECT_EQ(d.vendor_id, 0xF00D);
    EXPECT_EQ(d.product_id, 0x5EED);
    EXPECT_EQ(d.device_version, 0x0100);
    EXPECT_EQ(d.configurations, 1);

    ASSERT_EQ(f.configurations.size(), 1u);
    const ConfigurationDescriptor& c = f.configurations[0];
    EXPECT_EQ(c.address, 0x00300005u + 18 + 3);
    EXPECT_EQ(c.total_length, 67);
    EXPECT_EQ(c.interface_count, 2);
    EXPECT_EQ(c.value, 1);
    ASSERT_EQ(c.interfaces.size(), 2u);
    EXPECT_EQ(c.interfaces[0].interface_class, 0x02);
    EXPECT_EQ(c.interfaces[0].interface_subclass, 0x02);
    EXPECT_EQ(c.interfaces[1].interface_class, 0x0A);
    ASSERT_EQ(c.endpoints.size(), 3u);
    const struct { int number; bool in; int type; int packet; int interface; } want[] = {
        {3, true, 3, 64, 0}, {1, false, 2, 64, 1}, {2, true, 2, 64, 1}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(c.endpoints[i].Number(), want[i].number);
        EXPECT_EQ(c.endpoints[i].In(), want[i].in);
        EXPECT_EQ(c.endpoints[i].TransferType(), want[i].type);
        EXPECT_EQ(c.endpoints[i].PacketSize(), want[i].packet);
        EXPECT_EQ(c.endpoints[i].interface_number, want[i].interface);
    }
}

// Byte runs that begin like a table but are not one.
TEST(DescriptorsTest, RefusesRunsOfAnotherShape) {
    auto device = [](std::function<void(std::string&)> change) {
        std::string t = probetest::DeviceTable();
        change(t);
        return t;
    };
    auto config = [](std::function<void(std::string&)> change) {
        std::string t = probetest::ConfigurationTable();
        change(t);
        return t;
    };
    const struct {
        const char* name;
        std::string bytes;
        size_t devices;
        size_t configurations;
    } cases[] = {
        {"both tables", probetest::DeviceTable() + probetest::ConfigurationTable(), 1, 1},
        {"device: endpoint 0 packet size 7", device([](std::string& t) { t[7] = 7; }), 0, 0},
        {"device: USB version 3", device([](std::string& t) { t[3] = 3; }), 0, 0},
        {"device: no configuration", device([](std::string& t) { t[17] = 0; }), 0, 0},
        {"device: cut off at the end", probetest::DeviceTable().substr(0, 17), 0, 0},
        {"configuration: total length one short", config([](std::string& t) { t[2] = 66; }), 0, 0},
        {"configuration: total length past the end", config([](std::string& t) { t[2] = 68; }), 0, 0},
        {"configuration: one interface announced", config([](std::string& t) { t[4] = 1; }), 0, 0},
        {"configuration: an interface announcing 2 endpoints, 1 following",
         config([](std::string& t) { t[13] = 2; }), 0, 0},
        {"configuration: an endpoint descriptor of 6 bytes", config([](std::string& t) { t[37] = 6; }), 0, 0},
        {"configuration: a descriptor of length 0", config([](std::string& t) { t[18] = 0; }), 0, 0},
        {"configuration: header only", std::string("\x09\x02\x09\x00\x01\x01\x00\xC0\x32", 9), 0, 0},
        {"configuration: cut off at the end", probetest::ConfigurationTable().substr(0, 66), 0, 0},
        {"zeros", std::string(200, '\0'), 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Found f = Search(Filler(2) + c.bytes);
        EXPECT_EQ(f.devices.size(), c.devices);
        EXPECT_EQ(f.configurations.size(), c.configurations);
    }
}

TEST(DescriptorsTest, FindsEveryCopyInAddressOrder) {
    const std::string rom = probetest::ConfigurationTable(0x02, 0x81) + probetest::DeviceTable(64) + Filler(100) +
                            probetest::DeviceTable() + probetest::ConfigurationTable();
    const Found f = Search(rom, 0x1000);
    ASSERT_EQ(f.devices.size(), 2u);
    EXPECT_EQ(f.devices[0].address, 0x1000u + 67);
    EXPECT_EQ(f.devices[0].max_packet0, 64);
    EXPECT_EQ(f.devices[1].address, 0x1000u + 67 + 18 + 100);
    ASSERT_EQ(f.configurations.size(), 2u);
    EXPECT_EQ(f.configurations[0].address, 0x1000u);
    EXPECT_EQ(f.configurations[0].endpoints[1].address, 0x02);
    EXPECT_EQ(f.configurations[1].address, 0x1000u + 67 + 18 + 100 + 18);
}

}  // namespace
