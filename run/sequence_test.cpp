// The programming sequence through whole runs against the scripted device:
// both monitor versions, the chip check, the operator's answers and the
// failure rows with their console lines and boxes.
#include <gtest/gtest.h>

#include "run/notices.h"
#include "run/test_run.h"

namespace {

using runtest::kBanner;
using Strings = std::vector<std::string>;

const std::string kToTest = kBanner + runtest::Named("image.bin") + runtest::kSearchHead + runtest::kFoundOn3 +
                            runtest::kTested;
const std::string kToQuestion = kToTest + "Chip ver : v1.1 \n" + runtest::kPrepared + runtest::kUploaded;

// The text a notice shows, for telling the two information notices apart.
// Resets the fake: call it after the run's records have been checked.
std::string TextOf(void (*notice)()) {
    fake::Reset();
    notice();
    const std::string text = fake::Boxes().at(0).text;
    return text;
}

class SequenceTest : public runtest::RunTest {
protected:
    void SetUp() override {
        runtest::RunTest::SetUp();
        image = runtest::Image(1);
        WriteFile("f_write.txt", "image.bin");
        WriteFile("image.bin", image);
    }
    // Platform configuration calls from the reconnection after the search on.
    static Strings ConfigFromReconnect() {
        const Strings all = fake::ConfigCalls();
        auto first_close = std::find(all.begin(), all.end(), "close");
        return Strings(first_close, all.end());
    }
    // Everything after the first question on a device that does it all right.
    void ScriptProgramming(fake::Device& d) {
        script::UnlockEraseOk(d);
        runtest::WritePassOk(d, image, 1);
        runtest::VerifyPassOk(d, image, 1);
        script::LockOk(d);
        script::GpnvmOk(d);
    }
    std::string image;
};

TEST_F(SequenceTest, SuccessfulRunWithVersion1Monitor) {
    fake::Device& d = fake::AddPort(3);
    runtest::ScriptToQuestion(d);
    ScriptProgramming(d);
    d.ExpectWrite("T#");
    fake::QueueAnswer(6);
    EXPECT_EQ(Run(), kToQuestion + runtest::kProgrammed);
    const std::vector<fake::Box> boxes = fake::Boxes();
    Shows("done");
    EXPECT_EQ(Captions(), (Strings{" Attention ", "QUILLMERE"}));
    // No SRAM monitor: the port is not reopened after the version query.
    EXPECT_EQ(ConfigFromReconnect(),
              (Strings{"close", "open COM3", "close", "open COM3", "queues 4096", "purge 15", "timeouts short",
                       "line", "purge 10", "purge 5", "close", "open COM3", "timeouts A", "queues 8192", "close"}));
    EXPECT_EQ(boxes.at(1).text, TextOf(ShowProgrammingDoneNotice));
}

TEST_F(SequenceTest, SuccessfulRunWithVersion2MonitorStartsSramMonitor) {
    fake::Device& d = fake::AddPort(3);
    runtest::ScriptConnect(d);
    runtest::ScriptVersion(d, "v1.2");
    runtest::ScriptSramMonitor(d);
    d.ExpectReadWord(0xFFFFF240, 0x272A0A40);
    script::UploadOk(d);
    ScriptProgramming(d);
    d.ExpectWrite("T#");
    fake::QueueAnswer(6);
    EXPECT_EQ(Run(), kToTest + "Chip ver : v1.2 \n" + runtest::kPrepared + runtest::kUploaded +
                         runtest::kProgrammed);
    EXPECT_EQ(Captions(), (Strings{" Attention ", "QUILLMERE"}));
    EXPECT_EQ(ConfigFromReconnect(),
              (Strings{"close", "open COM3", "close", "open COM3", "queues 4096", "purge 15", "timeouts short",
                       "line", "purge 10", "purge 5", "close", "open COM3", "timeouts A", "queues 8192",
                       "timeouts short", "timeouts A", "close", "open COM3", "timeouts B", "queues 8192",
                       "close"}));
}

// A failing step of the SRAM monitor start: its line, the command-error
// box, and "T#" at the end only when the port is still open.
TEST_F(SequenceTest, SramMonitorStartFailures) {
    const std::string sram = script::Bytes(SramMonitorImage, sizeof SramMonitorImage);
    const struct { const char* line; int step; bool port_open; } cases[] = {
        {" error 71! \n", 0, false},
        {" error 72! \n", 1, false},
        {" error 73! \n", 2, true},
        {" Error port ! \n", 3, false},
        {" error 74! \n", 4, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ResetRun();
        fake::Device& d = fake::AddPort(3);
        runtest::ScriptConnect(d);
        runtest::ScriptVersion(d, "v1.2");
        if (c.step == 0) {
            d.FailWrite();
        } else {
            d.ExpectSendData(0x00200000, sram);
            if (c.step == 1) {
                d.FailWrite();
            } else {
                d.ExpectGo(0x00200000);
                if (c.step == 2) {
                    d.ExpectWrite("T#").Reply(std::string("\n\r>", 3));
                } else {
                    d.ExpectWrite("T#").Reply(std::string("\n\r\n", 3));
                    if (c.step == 3) {
                        d.OpenFails();
                    } else {
                        d.ExpectWrite("N#").Reply(std::string("\r\n", 2));
                    }
                }
            }
        }
        if (c.port_open) d.ExpectWrite("T#");
        EXPECT_EQ(Run(), kToTest + "Chip ver : v1.2 \n" + " 4. Prepare programming ... " + c.line);
        EXPECT_EQ(Captions(), Strings{"Error 7"});
        Shows(c.step == 3 ? "sram-port" : "sram-monitor");
        EXPECT_EQ(fake::Remaining(), "");
    }
}

// Versions other than 1 and 2, also one whose text is too short to carry a
// digit: the code is printed in decimal, sign included.
TEST_F(SequenceTest, UnsupportedVersion) {
    const struct { const char* text; const char* code; const char* outcome; } cases[] = {
        {"v1.3", "30", "version-unsupported"}, {"v1", "-480", "version-unreadable"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ResetRun();
        fake::Device& d = fake::AddPort(3);
        runtest::ScriptConnect(d);
        runtest::ScriptVersion(d, c.text);
        d.ExpectWrite("T#");
        EXPECT_EQ(Run(), kToTest + "Chip ver : " + c.text + " \nTest version error N " + c.code + " \n \n");
        EXPECT_EQ(Captions(), Strings{"Error 5"});
        Shows(c.outcome);
        EXPECT_EQ(fake::Remaining(), "");
    }
}

// The identity is compared under the mask 0xFFFF0FF0. An accepted chip goes
// on to the applet upload, here failing at its first frame (a command error).
TEST_F(SequenceTest, ChipIdentification) {
    const struct { uint32_t id; bool accepted; } cases[] = {
        {0x272A0A40, true}, {0x272A0A41, true}, {0x272AFA4F, true},
        {0x272B0A40, false}, {0x272A0A50, false}, {0xA72A0A40, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        ResetRun();
        fake::Device& d = fake::AddPort(3);
        runtest::ScriptConnect(d);
        runtest::ScriptVersion(d, "v1.1");
        d.ExpectReadWord(0xFFFFF240, c.id);
        std::string tail;
        if (c.accepted) {
            d.FailWrite();
            tail = runtest::kPrepared + " 5. Upload applet ...  error N 121 \n";
        } else {
            d.ExpectWrite("T#");
            char line[64];
            std::snprintf(line, sizeof line, " 4. Prepare programming ...  error chip ID = %X \n", c.id);
            tail = line;
        }
        EXPECT_EQ(Run(), kToTest + "Chip ver : v1.1 \n" + tail);
        EXPECT_EQ(Captions(), Strings{c.accepted ? "Error 7" : "Error 5"});
        Shows(c.accepted ? "upload" : "chip-id");
        EXPECT_EQ(fake::Remaining(), "");
    }
}

TEST_F(SequenceTest, ChipIdReadThatCannotBeSentShowsZero) {
    fake::Device& d = fake::AddPort(3);
    runtest::ScriptConnect(d);
    runtest::ScriptVersion(d, "v1.1");
    d.FailWrite();
    EXPECT_EQ(Run(), kToTest + "Chip ver : v1.1 \n 4. Prepare programming ...  error chip ID = 0 \n");
    EXPECT_EQ(Captions(), Strings{"Error 5"});
    Shows("chip-id");
}

// The operator's answers. Only "No, then Yes" touches the device (GPNVM2).
TEST_F(SequenceTest, OperatorAnswers) {
    const struct {
        const char* name;
        std::vector<int> answers;
        bool gpnvm;
        const char* tail;
        Strings captions;
        const char* outcome;
    } cases[] = {
        {"Cancel", {2}, false, "", {" Attention "}, "question-cancel"},
        {"No, No", {7, 7}, false, "", {" Attention ", " Attention "}, "decline-keep"},
        {"No, Yes", {7, 6}, true, " 6. GPNVM2 SET ..  OK \n", {" Attention ", " Attention ", "QUILLMERE"},
         "decline-gpnvm"},
        {"No, box failed", {7, 0}, false, "", {" Attention ", " Attention ", "QUILLMERE"}, "decline-failed"},
        {"box failed", {0}, false, " \n", {" Attention ", "Error 4"}, "question-failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetRun();
        fake::Device& d = fake::AddPort(3);
        runtest::ScriptToQuestion(d);
        if (c.gpnvm) script::GpnvmOk(d);
        d.ExpectWrite("T#");
        for (int a : c.answers) fake::QueueAnswer(a);
        EXPECT_EQ(Run(), kToQuestion + c.tail);
        const std::vector<fake::Box> boxes = fake::Boxes();
        EXPECT_EQ(Captions(), c.captions);
        Shows(c.outcome);
        EXPECT_EQ(boxes.at(0).type, 0x33u);
        if (boxes.size() > 1) {
            EXPECT_EQ(boxes[1].type, c.answers[0] == 7 ? 0x34u : 0x10u);
        }
        if (c.captions.back() == "QUILLMERE") {
            EXPECT_EQ(boxes.back().text, TextOf(ShowModeCancelledNotice));
        }
        EXPECT_EQ(fake::Remaining(), "");
    }
}

TEST_F(SequenceTest, GpnvmFailureAfterDecliningIsACommandError) {
    fake::Device& d = fake::AddPort(3);
    runtest::ScriptToQuestion(d);
    d.ExpectWord(script::kCmd, 6).ExpectWord(script::kArg1, 1).ExpectWord(script::kArg2, 2).ExpectGo(script::kBase);
    d.ExpectReadWord(script::kCmd, 0xFFFFFFF9).ExpectReadWord(script::kStatus, 3);
    d.ExpectWrite("T#");
    fake::QueueAnswer(7);
    fake::QueueAnswer(6);
    EXPECT_EQ(Run(), kToQuestion + " 6. GPNVM2 SET ..  error N 362 \n");
    EXPECT_EQ(Captions(), (Strings{" Attention ", " Attention ", "Error 7"}));
    Shows("gpnvm-cancel");
}

// Failures after the operator's Yes: the erase is a command error, the lock
// and the final GPNVM2 are programming failures; later stages do not run.
TEST_F(SequenceTest, ProgrammingStageFailures) {
    const struct { const char* name; int stage; const char* tail; const char* box; } cases[] = {
        {"erase", 0, " \n 6. UNLOCK & ERASE ALL FLASH .. error N 80 \n", "Error 7"},
        {"lock", 1, " \n 6. UNLOCK & ERASE ALL FLASH .......... OK \n 7. Write flash .. OK \n"
                    " 8. Compare .. OK \n 9. LOCK ALL FLASH .... error N 383 \n", "Error 11"},
        {"final GPNVM2", 2, " \n 6. UNLOCK & ERASE ALL FLASH .......... OK \n 7. Write flash .. OK \n"
                            " 8. Compare .. OK \n 9. LOCK ALL FLASH .......... OK \n 10. GPNVM2 SET ..  error N 362 \n",
         "Error 11"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetRun();
        fake::Device& d = fake::AddPort(3);
        runtest::ScriptToQuestion(d);
        if (c.stage == 0) {
            d.FailWrite();
        } else {
            script::UnlockEraseOk(d);
            runtest::WritePassOk(d, image, 1);
            runtest::VerifyPassOk(d, image, 1);
            if (c.stage == 1) {
                for (uint32_t r = 0; r < 8; ++r) script::RegionOk(d, 4, r);
                d.ExpectWord(script::kCmd, 4).ExpectWord(script::kArg1, 8).ExpectGo(script::kBase);
                d.ExpectReadWord(script::kCmd, 0xFFFFFFFB).ExpectReadWord(script::kStatus, 1);
            } else {
                script::LockOk(d);
                d.ExpectWord(script::kCmd, 6).ExpectWord(script::kArg1, 1).ExpectWord(script::kArg2, 2);
                d.ExpectGo(script::kBase);
                d.ExpectReadWord(script::kCmd, 0xFFFFFFF9).ExpectReadWord(script::kStatus, 1);
            }
            d.ExpectWrite("T#");
        }
        fake::QueueAnswer(6);
        EXPECT_EQ(Run(), kToQuestion + c.tail);
        EXPECT_EQ(Captions(), (Strings{" Attention ", c.box}));
        Shows(c.name == std::string("erase") ? "erase" : c.stage == 1 ? "lock" : "gpnvm");
        EXPECT_EQ(fake::Remaining(), "");
    }
}

}  // namespace
