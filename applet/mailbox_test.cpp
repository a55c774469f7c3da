// Applet start-up and the completion poll, against the scripted device.
#include "applet/mailbox.h"

#include <gtest/gtest.h>

#include "applet/test_scripts.h"
#include "run/test_outcomes.h"

namespace {

using script::Op;

class MailboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        dev = &script::OpenDevice();
        AppletInfo[0] = AppletInfo[1] = 0;
    }
    void TearDown() override {
        EXPECT_EQ(fake::Remaining(), "");
        ClosePort();
    }
    fake::Device* dev = nullptr;
};

TEST_F(MailboxTest, UploadSucceedsAndKeepsBufferAddressAndSize) {
    script::UploadOk(*dev);
    EXPECT_EQ(UploadApplets(), 0);
    EXPECT_EQ(AppletInfo[0], 0x00202AF4u);
    EXPECT_EQ(AppletInfo[1], 0x5400u);
    EXPECT_EQ(GetAppletBufferSize(), 0x5400);
    // Five checks per stage plus three reads of argument 4 each.
    EXPECT_EQ(script::WordReads(), 16);
}

TEST_F(MailboxTest, BufferSizeIsZeroBeforeUpload) {
    EXPECT_EQ(GetAppletBufferSize(), 0);
}

// Every step of the start-up failed in turn: the step's code, nothing sent
// after it, and exactly the word reads up to the failing one.
TEST_F(MailboxTest, EveryFailingStepGivesItsCodeAndStopsThere) {
    const std::vector<Op> ops = script::UploadOps();
    for (size_t fail = 0; fail < ops.size(); ++fail) {
        const Op& op = ops[fail];
        if (op.kind == Op::kGo) continue;
        SCOPED_TRACE("step " + std::to_string(fail) + ", code " + std::to_string(op.code));
        fake::Device& d = script::OpenDevice();
        AppletInfo[0] = AppletInfo[1] = 0;
        int reads = 0;
        for (size_t i = 0; i < fail; ++i) {
            script::Play(d, ops[i]);
            reads += ops[i].kind == Op::kRead;
        }
        switch (op.kind) {
            case Op::kSend: d.FailWrite(); break;
            case Op::kWrite: d.FailWrite(); break;
            case Op::kRead: d.ExpectReadWord(op.address, op.value ^ 0x10); ++reads; break;
            case Op::kGo: break;
        }
        EXPECT_EQ(UploadApplets(), op.code);
        outcometest::ExpectListed("upload", op.code);
        EXPECT_EQ(fake::Remaining(), "");
        EXPECT_EQ(script::WordReads(), reads);
        ClosePort();
    }
}

TEST_F(MailboxTest, FailedImageDataGivesTheSendCode) {
    dev->ExpectWrite("S00202000,00000440#").FailWrite();
    EXPECT_EQ(UploadApplets(), 121);
}

TEST_F(MailboxTest, FailedGoShowsAsWrongCommandWord) {
    const std::vector<Op> ops = script::UploadOps();
    for (size_t i = 0; ops[i].kind != Op::kGo; ++i) script::Play(*dev, ops[i]);
    dev->FailWrite();  // Go closes the port; reads then deliver 0 unsent
    EXPECT_EQ(UploadApplets(), 201);
    EXPECT_EQ(script::WordReads(), 0);
}

TEST_F(MailboxTest, WrongBufferSizeKeepsAddressOnly) {
    const std::vector<Op> ops = script::UploadOps();
    size_t i = 0;
    for (; ops[i].code != 451; ++i) script::Play(*dev, ops[i]);
    dev->ExpectReadWord(script::kArg3, 0x4000);
    EXPECT_EQ(UploadApplets(), 451);
    EXPECT_EQ(AppletInfo[0], 0x00202AF4u);
    EXPECT_EQ(AppletInfo[1], 0u);
    EXPECT_EQ(GetAppletBufferSize(), 0);
}

// Scripted checks of WaitAppletDone(0x5400, -3): each check is the list of
// words the device shows, read until the first mismatch.
struct PollCase {
    const char* name;
    std::vector<std::vector<uint32_t>> checks;
    int32_t result;
};

TEST_F(MailboxTest, WaitAppletDonePollsUpToSixTimes) {
    const uint32_t done = 0xFFFFFFFD, n = 0x5400;
    const std::vector<PollCase> cases = {
        {"finished at once", {{done, 0, n}}, 0},
        {"status clears at the second check", {{done, 5}, {done, 0, n}}, 0},
        {"finished at the sixth check", {{2}, {2}, {2}, {2}, {2}, {done, 0, n}}, 0},
        {"command word stays", {{2}, {2}, {2}, {2}, {2}, {2}}, 1},
        {"status stays non-zero", {{done, 1}, {done, 1}, {done, 1}, {done, 1}, {done, 1}, {done, 1}}, 2},
        {"count short by one", {{2}, {2}, {2}, {2}, {2}, {done, 0, n - 1}}, 3},
    };
    const uint32_t addresses[3] = {script::kCmd, script::kStatus, script::kArg1};
    for (const PollCase& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Device& d = script::OpenDevice();
        int reads = 0;
        for (const auto& check : c.checks) {
            for (size_t k = 0; k < check.size(); ++k) d.ExpectReadWord(addresses[k], check[k]);
            reads += int(check.size());
        }
        EXPECT_EQ(WaitAppletDone(int32_t(n), -3), c.result);
        if (c.result != 0) {
            // The write pass adds 900, a chunk read 540.
            outcometest::ExpectListed("write", c.result + 900);
            outcometest::ExpectListed("compare", c.result + 540);
        }
        EXPECT_EQ(fake::Remaining(), "");
        EXPECT_EQ(script::WordReads(), reads);
        // A pause of 2 ms after every failed check, none after a good one.
        const size_t pauses = c.result == 0 ? c.checks.size() - 1 : 6;
        EXPECT_EQ(fake::Sleeps(), std::vector<uint32_t>(pauses, 2));
        ClosePort();
    }
}

TEST_F(MailboxTest, CheckAppletDoneStopsAtFirstMismatch) {
    dev->ExpectReadWord(script::kCmd, 0xFFFFFFFC).ExpectReadWord(script::kStatus, 0);
    dev->ExpectReadWord(script::kArg1, 0x53FF);
    EXPECT_EQ(CheckAppletDone(0x5400, -4), 3);
    EXPECT_EQ(script::WordReads(), 3);
}

}  // namespace
