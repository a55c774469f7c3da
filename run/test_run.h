// Helpers of the run-layer tests: a fresh working directory per test, image
// contents, and the scripts of whole chunk passes.
#ifndef QUILLMERE_RUN_TEST_RUN_H
#define QUILLMERE_RUN_TEST_RUN_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "applet/test_scripts.h"

namespace runtest {

// Changes into a new empty directory for the test and back afterwards.
class WorkDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char* cwd = getcwd(nullptr, 0);
        old_dir_ = cwd;
        std::free(cwd);
        char pattern[] = "/tmp/quillmere-run-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override {
        EXPECT_EQ(chdir(old_dir_.c_str()), 0);
        EXPECT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
    static void WriteFile(const std::string& name, const std::string& bytes) {
        std::ofstream out(name, std::ios::binary);
        out.write(bytes.data(), std::streamsize(bytes.size()));
    }

private:
    std::string old_dir_;
    std::string dir_;
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

}  // namespace runtest

#endif
