// A full 516,096-byte programming session over the simulator's pty, with a
// version-1 ROM monitor and with a version-2 one (SRAM monitor started).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/images_session.h"
#include "sim/sim_client.h"

namespace {

std::vector<uint8_t> TestImage() {
    std::vector<uint8_t> image(24 * images_session::kChunk);
    uint32_t x = 1;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return image;
}

class ImageSessionTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ImageSessionTest, FullSessionLeavesImageLockedAndBootFlagSet) {
    sim::SimClient client;
    std::string error;
    // The version-2 session moves every byte through the emulated SRAM monitor.
    ASSERT_TRUE(client.Start(QUILLMERE_SIM_PATH, {"--version", GetParam(), "--timeout", "300"}, &error)) << error;
    ASSERT_TRUE(client.OpenPort(1));
    bool version2 = GetParam()[1] == '2';
    std::vector<uint8_t> image = TestImage();
    images_session::Session session(&client, QUILLMERE_SOURCE_DIR);
    EXPECT_TRUE(session.Run(version2, image, &error)) << error << "\n" << client.ReadFile("sim.log");
    client.ClosePort();
    ASSERT_EQ(client.Stop(), 0) << client.ReadFile("sim.log") << client.ReadFile("stderr.txt");

    sim::SimState state;
    ASSERT_TRUE(client.ReadState(&state, &error)) << error;
    ASSERT_EQ(state.flash.size(), 0x80000u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), state.flash.begin()));
    for (size_t i = image.size(); i < state.flash.size(); ++i) ASSERT_EQ(state.flash[i], 0xFF) << i;
    EXPECT_EQ(state.lock_bits, 0xFFFFFFFFu);
    EXPECT_EQ(state.gpnvm_bits & 4u, 4u);
    EXPECT_NE(client.ReadFile("summary.txt").find("lost_bytes: 0\n"), std::string::npos)
        << client.ReadFile("summary.txt");
}

INSTANTIATE_TEST_SUITE_P(Monitors, ImageSessionTest, ::testing::Values("v1.4 Nov 10 2006", "v2.0 Jan 01 2010"));

}  // namespace
