// Start of a run: job file, image, search, prompt check and reconnection.
#include <gtest/gtest.h>

#include "run/test_run.h"

namespace {

using runtest::kBanner;
using runtest::kSearchHead;
using runtest::Named;
using Strings = std::vector<std::string>;

class StartTest : public runtest::RunTest {};

TEST_F(StartTest, MissingJobFile) {
    EXPECT_EQ(Run(), kBanner);
    EXPECT_EQ(Captions(), Strings{"Error 1"});
    EXPECT_TRUE(fake::Calls().size() == 1);  // the box only
    Shows("job-missing");
}

// A job file that opens but cannot be read (here a directory) is a job file
// that cannot be opened, not one with a wrong line.
TEST_F(StartTest, JobFileThatCannotBeRead) {
    std::filesystem::create_directory("f_write.txt");
    EXPECT_EQ(Run(), kBanner);
    EXPECT_EQ(Captions(), Strings{"Error 1"});
    EXPECT_EQ(fake::Calls().size(), 1u);
}

// Job files refused by the line check: nothing after the banner, no port.
TEST_F(StartTest, BadJobFiles) {
    const struct { const char* name; std::string content; } cases[] = {
        {"line feed", "image.bin\n"},
        {"carriage return and line feed", "image.bin\r\n"},
        {"100 bytes", std::string(100, 'a')},
        {"99 bytes and a line feed", std::string(99, 'a') + "\n"},
        {"second line", "image.bin\nother.bin"},
    };
    WriteFile("image.bin", "x");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetRun();
        WriteFile("f_write.txt", c.content);
        EXPECT_EQ(Run(), kBanner);
        EXPECT_EQ(Captions(), Strings{"Error 2"});
        EXPECT_EQ(fake::Calls().size(), 1u);
        Shows("job-bad");
    }
}

// Names that pass the line check but open no image.
TEST_F(StartTest, ImageThatCannotBeOpened) {
    const struct { const char* name; std::string content; std::string shown; } cases[] = {
        {"empty job file", "", ""},
        {"lone carriage return is part of the name", "image.bin\r", "image.bin\r"},
        {"missing image", "absent.bin", "absent.bin"},
        {"a directory", "folder", "folder"},
    };
    WriteFile("image.bin", "x");
    std::filesystem::create_directory("folder");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetRun();
        WriteFile("f_write.txt", c.content);
        EXPECT_EQ(Run(), kBanner + Named(c.shown));
        EXPECT_EQ(Captions(), Strings{"Error 3"});
        EXPECT_EQ(fake::Calls().size(), 1u);
        Shows("image-open");
    }
}

// Accepted names go on to the search; with no device it finds nothing.
TEST_F(StartTest, AcceptedNamesReachTheSearch) {
    const std::string longest(99, 'n');
    const char* names[] = {"image.bin", "100%d%s%n.bin", longest.c_str()};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        ResetRun();
        WriteFile(name, "x");
        WriteFile("f_write.txt", name);
        EXPECT_EQ(Run(), kBanner + Named(name) + kSearchHead + " \n \n \n");
        EXPECT_EQ(Captions(), Strings{"Error 4"});
        EXPECT_EQ(Writes(), 0);
        Shows("search-none");
    }
}

// An image longer than 24 chunks is refused before any port is touched;
// one of exactly 24 chunks is taken.
TEST_F(StartTest, ImageSizeLimit) {
    WriteFile("f_write.txt", "big.bin");
    WriteFile("big.bin", std::string(516097, 'b'));
    EXPECT_EQ(Run(), kBanner + Named("big.bin") + " error image size = 516097 \n");
    EXPECT_EQ(Captions(), Strings{"Error 3"});
    Shows("image-size");
    EXPECT_EQ(fake::Calls().size(), 1u);

    ResetRun();
    WriteFile("big.bin", std::string(516096, 'b'));
    EXPECT_EQ(Run(), kBanner + Named("big.bin") + kSearchHead + " \n \n \n");
    EXPECT_EQ(Captions(), Strings{"Error 4"});
}

TEST_F(StartTest, WrongReplyOnTheLastPortProbed) {
    WriteFile("f_write.txt", "image.bin");
    WriteFile("image.bin", "x");
    fake::AddPort(98).ExpectWrite("N#").Reply("\r\n");
    EXPECT_EQ(Run(), kBanner + Named("image.bin") + kSearchHead + ".98. \n \n \n");
    EXPECT_EQ(Captions(), Strings{"Error 5"});
    EXPECT_EQ(Writes(), 1);  // the probe; the closed port gets no "T#"
    Shows("search-answer");
}

TEST_F(StartTest, WrongTerminalPrompt) {
    WriteFile("f_write.txt", "image.bin");
    WriteFile("image.bin", "x");
    fake::Device& d = fake::AddPort(3);
    d.ExpectWrite("N#").Reply(std::string("\n\r", 2));
    d.ExpectWrite("T#").Reply(std::string("\n\r\n", 3));
    d.ExpectWrite("T#");  // end of the run
    EXPECT_EQ(Run(), kBanner + Named("image.bin") + kSearchHead + runtest::kFoundOn3 +
                         "3. Test Device ...  Error N4 \n");
    EXPECT_EQ(Captions(), Strings{"Error 5"});
    Shows("prompt");
}

// The reconnection: closed and opened twice, queues, purge, short profile and
// line settings; a port that does not reopen or refuses the line settings
// ends the run with the port line and nothing sent at the end.
TEST_F(StartTest, ReconnectionFailures) {
    WriteFile("f_write.txt", "image.bin");
    WriteFile("image.bin", "x");
    for (int reject_line = 0; reject_line < 2; ++reject_line) {
        SCOPED_TRACE(reject_line ? "line refused" : "reopen fails");
        ResetRun();
        fake::Device& d = fake::AddPort(3);
        runtest::ScriptConnect(d);
        if (reject_line) {
            d.RejectLine();
        } else {
            d.OpenFails();
        }
        EXPECT_EQ(Run(), kBanner + Named("image.bin") + kSearchHead + runtest::kFoundOn3 + runtest::kTested +
                             " Error port ! \n");
        EXPECT_EQ(Captions(), Strings{"Error 7"});
        EXPECT_EQ(Writes(), 2);
        Shows("reconnect");
    }
}

}  // namespace
