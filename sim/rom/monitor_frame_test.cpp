// The monitor's frame texts: well-formed frames of every letter and
// malformed ones.
#include <gtest/gtest.h>

#include <string>

#include "sim/rom/monitor_frame.h"

namespace sim {
namespace {

ParsedFrame Parse(const std::string& text) {
    return ParseFrame(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

TEST(ParseFrameTest, FramesOfTheHostAndMalformedOnes) {
    struct Case {
        std::string text;
        bool valid;
        char letter;
        uint32_t address;
        uint32_t value;
    };
    const Case cases[] = {
        {"", true, 0, 0, 0},
        {"N", true, 'N', 0, 0},
        {"T", true, 'T', 0, 0},
        {"V", true, 'V', 0, 0},
        {"W00202004,00000006", true, 'W', 0x00202004, 6},
        {"wFFFFF240,4", true, 'w', 0xFFFFF240, 4},
        {"o00200000,4", true, 'o', 0x00200000, 4},
        {"H00202010,BEEF", true, 'H', 0x00202010, 0xBEEF},
        {"O00202010,7F", true, 'O', 0x00202010, 0x7F},
        {"S00202000,000009D8", true, 'S', 0x00202000, 0x9D8},
        {"R00202AF4,000053FF", true, 'R', 0x00202AF4, 0x53FF},
        {"G00202000", true, 'G', 0x00202000, 0},
        {"w00202004", true, 'w', 0x00202004, 0},  // count is optional for reads
        {"NX", false, 'N', 0, 0},                 // mode frames take no fields
        {"W00202004", false, 'W', 0x00202004, 0},  // a write needs its value
        {"S00202000", false, 'S', 0x00202000, 0},
        {"G00202000,1", false, 'G', 0x00202000, 0},
        {"W002020040,1", false, 'W', 0, 0},       // nine address digits
        {"W0020200G,1", false, 'W', 0, 0},        // not a hex digit
        {"W00202004,", false, 'W', 0x00202004, 0},
        {"X00202004,1", false, 'X', 0, 0},
        {"W00202004,1\n", false, 'W', 0x00202004, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const ParsedFrame f = Parse(c.text);
        EXPECT_EQ(f.valid, c.valid);
        EXPECT_EQ(f.letter, c.letter);
        if (c.valid) {
            EXPECT_EQ(f.address, c.address);
            EXPECT_EQ(f.value, c.value);
        }
    }
}

}  // namespace
}  // namespace sim
