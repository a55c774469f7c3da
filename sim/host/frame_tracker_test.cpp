// Frame splitting and the wire log's byte forms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/host/frame_tracker.h"
#include "sim/host/wire_log.h"

namespace sim {
namespace {

// Feeds a stream and returns, for each byte, its frame index as a digit
// (frames 0 to 9) so that a case reads as two aligned strings.
std::string FrameMap(const std::string& stream) {
    FrameTracker t;
    std::string map;
    for (char c : stream) map.push_back(static_cast<char>('0' + t.Feed(static_cast<uint8_t>(c)).frame));
    return map;
}

TEST(FrameTrackerTest, SplitsTheHostStreamIntoFrames) {
    struct Case {
        const char* name;
        std::string stream;
        std::string frames;
    };
    const Case cases[] = {
        {"mode frames", "N#T#N#", "001122"},
        {"a line feed right after '#' joins the frame", "V#\n#\nN#", "0001122"},
        {"a line feed later starts a frame", "N#\n\nN#", "000111"},
        {"S data with '#' inside belongs to the S frame",
         std::string("S0,3#") + "a#\n" + "N#", "0000000011"},
        {"S data is not followed by a joined line feed", std::string("S0,1#x") + "\nN#", "000000111"},
        {"an S frame of length 0 has no data", "S0,0#N#", "0000011"},
        {"a malformed S frame has no data", "S0#ab#", "000111"},
        {"a frame without '#' runs on", "W0,1W2,3#", "000000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FrameMap(c.stream), c.frames);
    }
}

TEST(FrameTrackerTest, OffsetsDataFlagAndCount) {
    FrameTracker t;
    const std::string s = "S00200000,00000002#AB";
    TrackedByte last{};
    for (size_t i = 0; i < s.size(); ++i) {
        last = t.Feed(static_cast<uint8_t>(s[i]));
        EXPECT_EQ(last.offset, i);
        EXPECT_EQ(last.in_data, i >= 19) << i;
        EXPECT_EQ(last.starts_frame, i == 0);
    }
    EXPECT_TRUE(last.ends_frame);
    EXPECT_EQ(t.FramesSeen(), 1u);
    EXPECT_TRUE(t.Feed('N').starts_frame);
    EXPECT_EQ(t.FramesSeen(), 2u);
}

TEST(WireLogTest, EscapesAndSummarises) {
    const std::string text = std::string("a\\\n\r ~", 6) + std::string("\x00\x7F\xFF", 3);
    EXPECT_EQ(EscapeBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
              "a\\\\\\n\\r ~\\x00\\x7F\\xFF");
    std::vector<uint8_t> block(kInlineBytes, 'x');
    EXPECT_EQ(DescribeBytes(block.data(), block.size()), std::string(kInlineBytes, 'x'));
    block.push_back('x');
    const std::string summary = DescribeBytes(block.data(), block.size());
    EXPECT_EQ(summary.rfind("[65 bytes crc32 ", 0), 0u) << summary;
    EXPECT_EQ(summary.size(), std::string("[65 bytes crc32 01234567]").size());
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc32(check, sizeof check), 0xCBF43926u);  // the standard check value
    EXPECT_EQ(Crc32(check + 4, 5, Crc32(check, 4)), 0xCBF43926u);
}

// Lines of a wire log fed through the tracker, with the ms field "t".
class WireLogLines {
 public:
    WireLogLines() : file_(std::tmpfile()), log_(file_) {}
    ~WireLogLines() { std::fclose(file_); }
    void Host(const std::string& bytes, uint64_t ms) {
        for (char c : bytes) {
            const TrackedByte t = tracker_.Feed(static_cast<uint8_t>(c));
            log_.HostByte(t.frame, static_cast<uint8_t>(c), t.in_data, t.ends_frame, ms);
        }
    }
    void Device(uint64_t frame, const std::string& bytes, uint64_t ms) {
        for (char c : bytes) log_.DeviceByte(frame, static_cast<uint8_t>(c), ms, nullptr);
    }
    WireLog& Log() { return log_; }
    std::string Text() {
        log_.Flush();
        std::rewind(file_);
        std::string out;
        for (int c; (c = std::fgetc(file_)) != EOF;) out.push_back(static_cast<char>(c));
        return out;
    }

 private:
    std::FILE* file_;
    WireLog log_;
    FrameTracker tracker_;
};

TEST(WireLogTest, FramesStayWholeWhenBytesTrickleIn) {
    WireLogLines w;
    // A throttled line: the reply to "V#" starts before the joining '\n'
    // arrives, and the line goes idle between single bytes.
    w.Host("V", 1);
    w.Log().IdleFlush(20);
    w.Host("#", 21);
    w.Device(0, "\n\rv1", 21);
    w.Log().IdleFlush(22);  // too soon after '#': a '\n' may still come
    w.Host("\n", 22);
    w.Device(0, ".4\n\r>", 22);
    w.Host("#", 30);
    w.Log().IdleFlush(40);
    w.Host("\n", 41);
    w.Host("S0,2#", 50);
    w.Log().IdleFlush(90);  // S data still due
    w.Host("ab", 91);
    EXPECT_EQ(w.Text(),
              "host 1 0 V#\\n\n"
              "dev 21 0 \\n\\rv1.4\\n\\r>\n"
              "host 30 1 #\n"
              "host 41 1 \\n\n"  // joined after an idle pause: written apart
              "host 50 2 S0,2#ab\n");
}

}  // namespace
}  // namespace sim
