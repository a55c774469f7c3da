// Helpers of the run-layer tests: a fresh working directory per test, image
// contents, and the scripts of whole chunk passes.
#ifndef QUILLMERE_RUN_TEST_RUN_H
#define QUILLMERE_RUN_TEST_RUN_H

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "applet/flash.h"
#include "applet/mailbox.h"
#include "applet/test_scripts.h"
#include "monitor/frames.h"
#include "run/buffers.h"
#include "run/run.h"
#include "run/test_outcomes.h"

namespace runtest {

// Changes into a new empty directory for the test and back afterwards.
class WorkDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        old_dir_ = fs::current_path();
        std::random_device random;
        for (;;) {
            dir_ = fs::temp_directory_path() / ("quillmere-run-" + std::to_string(random()));
            if (fs::create_directory(dir_)) break;
        }
        fs::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(old_dir_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    static void WriteFile(const std::string& name, const std::string& bytes) {
        std::ofstream out(name, std::ios::binary);
        out.write(bytes.data(), std::streamsize(bytes.size()));
    }

private:
    std::filesystem::path old_dir_;
    std::filesystem::path dir_;
};

// A whole run in a fresh working directory against the scripted device;
// afterwards every scripted step must have been used, and the port and the
// image must be closed again.
class RunTest : public WorkDirTest {
protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        ResetRun();
    }
    // Fresh fake and the process-start state of the run's globals.
    static void ResetRun() {
        fake::Reset();
        PortHandle = nullptr;
        // A process starts with the mode frame "N#", which the search sends
        // unchanged; earlier runs in this process left other bytes there.
        const uint8_t start_frame[4] = {'N', '#', 0, 0};
        std::memcpy(ModeFrame, start_frame, sizeof ModeFrame);
        AppletInfo[0] = AppletInfo[1] = 0;
        FlashOffset = 0;
    }
    void TearDown() override {
        EXPECT_EQ(fake::Remaining(), "");
        EXPECT_EQ(PortHandle, nullptr);
        EXPECT_FALSE(ProgramImage.is_open());
        WorkDirTest::TearDown();
    }
    // Runs the tool's run and returns its console output.
    static std::string Run() {
        testing::internal::CaptureStdout();
        EXPECT_EQ(RunProgramming(), 0);
        LastConsole() = testing::internal::GetCapturedStdout();
        return LastConsole();
    }
    // Console output of the last Run().
    static std::string& LastConsole() {
        static std::string console;
        return console;
    }
    // The last Run() ended in the listed outcome key (see run/outcomes.h).
    static void Shows(const char* key) { outcometest::ExpectOutcome(key, LastConsole(), Captions()); }
    static std::vector<std::string> Captions() {
        std::vector<std::string> out;
        for (const fake::Box& b : fake::Boxes()) out.push_back(b.caption);
        return out;
    }
    // Number of writes that reached any port.
    static int Writes() {
        int n = 0;
        for (const std::string& c : fake::Calls()) n += c.compare(0, 6, "write ") == 0;
        return n;
    }
};

// An image of n bytes whose bytes never repeat with the chunk stride and are
// never all zero in a chunk.
inline std::string Image(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 31 + i / 251 + 1) & 0xFF);
    return s;
}

// Chunk k of an image, padded with zeros to 0x5400 bytes.
inline std::string Chunk(const std::string& image, size_t k) {
    std::string c(script::kChunk, '\0');
    const size_t start = k * script::kChunk;
    if (start < image.size()) c.replace(0, std::min<size_t>(script::kChunk, image.size() - start),
                                        image.substr(start, script::kChunk));
    return c;
}

// Write pass of `chunks` chunks of image on a device that keeps up.
inline void WritePassOk(fake::Device& d, const std::string& image, int chunks) {
    for (int k = 0; k < chunks; ++k) {
        if (k > 0) script::DoneCheck(d, 0xFFFFFFFD, script::kChunk);
        script::WriteChunkOk(d, Chunk(image, k), uint32_t(k) * script::kChunk);
    }
    script::DoneCheck(d, 0xFFFFFFFD, script::kChunk);
}

// Verify pass of `chunks` chunks whose flash holds the image.
inline void VerifyPassOk(fake::Device& d, const std::string& image, int chunks) {
    for (int k = 0; k < chunks; ++k) {
        script::ReadChunkOk(d, script::kChunk, uint32_t(k) * script::kChunk);
        script::FetchChunkOk(d, Chunk(image, k));
    }
}

// Console pieces of a run, as the operator sees them.
const std::string kBanner = "\n  ***  QUILLMERE PROGRAMMING  *** ( V2.1 ) \n\n";
inline std::string Named(const std::string& name) {
    return "1. Input file  \n   New program : " + name + " \n";
}
const std::string kSearchHead = " \n2. Search Device ... \n    ";
const std::string kFoundOn3 = ".3. \n \n";
const std::string kTested = "3. Test Device ...   OK \n";
const std::string kPrepared = " 4. Prepare programming ...  OK \n";
const std::string kUploaded = " 5. Upload applet ...  OK \n";
const std::string kProgrammed =
    " \n 6. UNLOCK & ERASE ALL FLASH .......... OK \n"
    " 7. Write flash .. OK \n 8. Compare .. OK \n"
    " 9. LOCK ALL FLASH .......... OK \n 10. GPNVM2 SET ..  OK \n";

// The monitor found by the search on COM3 and its terminal prompt.
inline void ScriptConnect(fake::Device& d) {
    d.ExpectWrite("N#").Reply(std::string("\n\r", 2));
    d.ExpectWrite("T#").Reply(std::string("\n\r>", 3));
}

// The version handshake with the monitor's version text.
inline void ScriptVersion(fake::Device& d, const std::string& text) {
    d.ExpectWrite("V#\n").Reply(text);
    d.ExpectWrite("#\n");
    d.ExpectWrite("N#").Reply(std::string("\n\r", 2));
}

// The replacement monitor's start for a version-2 chip.
inline void ScriptSramMonitor(fake::Device& d) {
    d.ExpectSendData(0x00200000, script::Bytes(SramMonitorImage, sizeof SramMonitorImage));
    d.ExpectGo(0x00200000);
    d.ExpectWrite("T#").Reply(std::string("\n\r\n", 3));
    d.ExpectWrite("N#").Reply(std::string("\n\r", 2));
}

// Everything up to the first question, version-1 monitor, good chip.
inline void ScriptToQuestion(fake::Device& d) {
    ScriptConnect(d);
    ScriptVersion(d, "v1.1");
    d.ExpectReadWord(0xFFFFF240, 0x272A0A40);
    script::UploadOk(d);
}

}  // namespace runtest

#endif
